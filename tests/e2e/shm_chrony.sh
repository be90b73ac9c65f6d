#!/usr/bin/env bash
# The shared-memory segment as a real NTP daemon reads it: orv-sim with shm
# delivery at one tick a second beside chronyd (-x: it never touches the clock)
# reading the unit's segment. The TOT source is reachable and agrees with the
# simulated broadcast (this machine's clock) to 1 ms, the clock never stepped.
# Skipped without chronyd (tests/tools/chrony.sh). A cross build meets its
# target's chronyd: ORV_CHRONY_DIR names the tree "tests/tools/chrony.sh ARCH
# RELEASE" unpacks, ORV_CHRONY_EMULATOR the command that runs its programs
# (qemu-arm -L TREE).
export ORV_SIM_TICK_MS=1000
. "$(dirname "$0")/lib.sh"

CHRONY_DIR=${ORV_CHRONY_DIR:-$repo/build/chrony}
read -ra CHRONY_RUN <<<"${ORV_CHRONY_EMULATOR:-}"
skip() { echo "SKIP [$SCENARIO]: $1" && exit 77; }
[ -x "$CHRONY_DIR/usr/sbin/chronyd" ] || skip "no chronyd in $CHRONY_DIR (tests/tools/chrony.sh unpacks it)"
[[ ${ORV_SIM_EMULATOR:-} != qemu-arm\ * || -n ${ORV_CHRONY_EMULATOR:-} ]] ||
    skip "a 32-bit unit's segment is read by a chronyd of its own target (ORV_CHRONY_EMULATOR)"

CHRONY=$ROOT/chrony
mkdir -p "$ROOT/etc/default"
printf 'ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=%s\n' "$UNIT" >"$ROOT/etc/default/orv-main"
mkdir -m 0700 "$CHRONY"
# A poll every 4 s, each with the sample of the last take (about one in 5 s);
# no NTP or command port, everything in the sandbox.
printf '%s\n' "refclock SHM $UNIT refid TOT poll 1 dpoll 0 filter 1" "cmdport 0" "port 0" \
    "bindcmdaddress $CHRONY/chronyd.sock" "pidfile $CHRONY/chronyd.pid" \
    "driftfile $CHRONY/drift" >"$CHRONY/chrony.conf"
"${CHRONY_RUN[@]}" "$CHRONY_DIR/usr/sbin/chronyd" -x -d -u root -f "$CHRONY/chrony.conf" >"$CHRONY/chronyd.log" 2>&1 &
E2E_PIDS+=($!)

# The TOT source's statistics in chronyc's CSV: name,samples,runs,span,
# frequency,skew,offset,std dev; the offset within a millisecond, from four
# samples on.
tot_stats() { "${CHRONY_RUN[@]}" "$CHRONY_DIR/usr/bin/chronyc" -h "$CHRONY/chronyd.sock" -n -c sourcestats 2>/dev/null | grep -F 'TOT,'; }
agrees() { tot_stats | awk -F, '{ ok = $2 >= 4 && $7 < 0.001 && $7 > -0.001 } END { exit !ok }'; }

sim_start
wait_serving
wait_for "four samples of the TOT source, its offset within 1 ms" agrees
expect_eq "clock steps" "$(journal_count "/bin/date -s")" 0
sim_end
pass
