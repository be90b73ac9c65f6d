#!/usr/bin/env bash
# orv-sim runs only inside a sandbox root: without ORV_ROOT, or with a root that
# is not a plain absolute path, it refuses with a line about it and status 1.
# Each run is also given a bad tick length, which orv-sim checks only after the
# root: a guard that failed would still stop before the unit starts. A kept
# sandbox gets back the parts of the unit's image it lacks and keeps the rest.
. "$(dirname "$0")/lib.sh"

for root in unset "" sim-root "$ROOT/a b" "$ROOT/a;b" "$ROOT/\$(x)"; do
    [ "$root" = unset ] && env=(-u ORV_ROOT) || env=("ORV_ROOT=$root")
    status=0
    err=$(env "${env[@]}" ORV_SIM_TICK_MS=bad timeout -s KILL 10 "${SIM_COMMAND[@]}" 2>&1 >/dev/null) || status=$?
    expect_eq "exit status with ORV_ROOT $root" "$status" 1
    [[ $err == *ORV_ROOT* ]] || fail "ORV_ROOT $root: no line about ORV_ROOT: $err"
done
expect "nothing journaled" test ! -e "$ROOT/sim/commands.log"

rm "$CONF/ORV_System.ini" "$ROOT/var/kelvatro/bin/kelvsys_end"
echo kept >"$CONF/ntp.conf"
orv_sandbox_layout "$ROOT"
expect "the TOT system file laid out again" ini_is "$CONF/ORV_System.ini" SystemInfo 04000000
expect "the end script laid out again" test -x "$ROOT/var/kelvatro/bin/kelvsys_end"
expect_eq "ntp.conf kept" "$(cat "$CONF/ntp.conf")" kept
pass
