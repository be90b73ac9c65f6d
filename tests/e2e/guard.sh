#!/usr/bin/env bash
# orv-sim runs only inside a sandbox root: without ORV_ROOT, or with a root that
# is not a plain absolute path, it refuses with a clear line and status 1.
# Each run is also given a bad tick length, which orv-sim checks only after the
# root: a guard that failed would still stop before the unit starts. A kept
# sandbox gets back the parts of the unit's image it lacks and keeps the rest.
. "$(dirname "$0")/lib.sh"

refuses() {
    local what=$1 status=0 err
    shift
    err=$(env "$@" ORV_SIM_TICK_MS=bad timeout -s KILL 10 "${SIM_COMMAND[@]}" 2>&1 >/dev/null) || status=$?
    expect_eq "exit status $what" "$status" 1
    case "$err" in
        *ORV_ROOT*) ;;
        *) fail "$what: no line about ORV_ROOT: $err" ;;
    esac
}

refuses "without ORV_ROOT" -u ORV_ROOT
refuses "with an empty ORV_ROOT" ORV_ROOT=
refuses "with a relative ORV_ROOT" ORV_ROOT=sim-root
refuses "with a blank in ORV_ROOT" "ORV_ROOT=$ROOT/a b"
refuses "with a ; in ORV_ROOT" "ORV_ROOT=$ROOT/a;b"
refuses "with a \$ in ORV_ROOT" "ORV_ROOT=$ROOT/\$(x)"
expect "nothing journaled" test ! -e "$ROOT/sim/commands.log"

rm "$CONF/ORV_System.ini" "$ROOT/var/kelvatro/bin/kelvsys_end"
echo kept >"$CONF/ntp.conf"
orv_sandbox_layout "$ROOT"
expect "the TOT system file laid out again" ini_is "$CONF/ORV_System.ini" SystemInfo 04000000
expect "the end script laid out again" test -x "$ROOT/var/kelvatro/bin/kelvsys_end"
expect_eq "ntp.conf kept" "$(cat "$CONF/ntp.conf")" kept
pass
