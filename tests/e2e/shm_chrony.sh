#!/usr/bin/env bash
# Broadcast time handed to a real NTP daemon: orv-sim with shm delivery at one
# tick a second beside chronyd (-x: it never touches the clock) reading the
# unit's segment. The TOT source is reachable and agrees with the simulated
# broadcast (this machine's clock) to 1 ms, the clock never stepped; without a
# signal the source is unreachable until the signal is back. Skipped without
# chronyd (tests/tools/chrony.sh). A cross build meets its target's chronyd:
# ORV_CHRONY_DIR names the tree "tests/tools/chrony.sh ARCH RELEASE" unpacks,
# ORV_CHRONY_EMULATOR the command that runs its programs (qemu-arm -L TREE).
export ORV_SIM_TICK_MS=1000
. "$(dirname "$0")/lib.sh"

CHRONY_DIR=${ORV_CHRONY_DIR:-$E2E_REPO/build/chrony}
read -ra CHRONY_RUN <<<"${ORV_CHRONY_EMULATOR:-}"
skip() { echo "SKIP [$SCENARIO]: $1" && exit 77; }
[ -x "$CHRONY_DIR/usr/sbin/chronyd" ] || skip "no chronyd in $CHRONY_DIR (tests/tools/chrony.sh unpacks it)"
[[ ${ORV_SIM_EMULATOR:-} != qemu-arm\ * || -n ${ORV_CHRONY_EMULATOR:-} ]] ||
    skip "a 32-bit unit's segment is read by a chronyd of its own target (ORV_CHRONY_EMULATOR)"

# A unit of this run only: no daemon of this machine reads its segment.
UNIT=$((2 + $$ % 254))
KEY=$(printf '0x%x' $((0x4E545030 + UNIT)))
CHRONY=$ROOT/chrony
trap 'e2e_cleanup; ipcrm -M "$KEY" 2>/dev/null || true' EXIT

mkdir -p "$ROOT/etc/default"
printf 'ORV_TIME_DELIVERY=shm\nORV_SHM_UNIT=%s\n' "$UNIT" >"$ROOT/etc/default/orv-main"
mkdir -m 0700 "$CHRONY"
# A poll every 4 s, each with the sample of the last take (about one in 5 s);
# no NTP or command port, everything in the sandbox.
printf '%s\n' "refclock SHM $UNIT refid TOT poll 2 dpoll 0 filter 1" "cmdport 0" "port 0" \
    "bindcmdaddress $CHRONY/chronyd.sock" "pidfile $CHRONY/chronyd.pid" \
    "driftfile $CHRONY/drift" >"$CHRONY/chrony.conf"
"${CHRONY_RUN[@]}" "$CHRONY_DIR/usr/sbin/chronyd" -x -d -u root -f "$CHRONY/chrony.conf" >"$CHRONY/chronyd.log" 2>&1 &
E2E_PIDS+=($!)

# The TOT source in chronyc's CSV: mode,state,name,stratum,poll,reach,last rx,
# offset,measured offset,error; its statistics: name,samples,runs,span,
# frequency,skew,offset,std dev.
chronyc() { "${CHRONY_RUN[@]}" "$CHRONY_DIR/usr/bin/chronyc" -h "$CHRONY/chronyd.sock" -n -c "$@" 2>/dev/null; }
tot_source() { chronyc sources | grep -F ',TOT,' || true; }
tot_stats() { chronyc sourcestats | grep -F 'TOT,' || true; }
tot_reach() { tot_source | cut -d, -f6; }
reachable() { [ -n "$(tot_reach)" ] && [ "$(tot_reach)" != 0 ]; }
unreachable() { [ "$(tot_reach)" = 0 ]; }
samples_at_least() { [ "$(tot_stats | cut -d, -f2)" -ge "$1" ] 2>/dev/null; }
# chronyd's estimate of the source's offset, within a millisecond.
offset_within_1ms() { tot_stats | awk -F, '{ ok = $7 < 0.001 && $7 > -0.001 } END { exit !ok }'; }

sim_start
wait_serving
expect "the shared-memory clock in ntp.conf" grep -qx "server 127.127.28.$UNIT minpoll 4 maxpoll 4" "$CONF/ntp.conf"
expect "its stratum" grep -qx "fudge 127.127.28.$UNIT refid TOT stratum 6" "$CONF/ntp.conf"

step "chronyd reads the broadcast time"
wait_for "the TOT source reachable" reachable
wait_for "four samples" samples_at_least 4
wait_for "an offset within 1 ms" offset_within_1ms
expect_eq "clock steps" "$(journal_count "/bin/date -s")" 0

step "no signal: the source becomes unreachable"
sim_control "signal off"
wait_for "the TOT source unreachable" unreachable

step "signal back: the source returns"
sim_control "signal on"
wait_for "the TOT source reachable again" reachable
wait_for "an offset within 1 ms again" offset_within_1ms
expect_eq "clock steps" "$(journal_count "/bin/date -s")" 0

sim_end
pass
