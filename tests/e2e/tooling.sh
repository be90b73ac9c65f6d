#!/usr/bin/env bash
# What stands around orv-sim. It runs only inside a sandbox root: without
# ORV_ROOT, or with a root that is not a plain absolute path, it refuses with a
# line about it and status 1 (each run also has a bad tick length, checked only
# after the root: a failed guard would still stop before the unit starts). A
# kept sandbox gets back the parts of the unit's image it lacks and keeps the
# rest. A tree that does not build stops the scripts that build orv-sim with
# the build's status before they lay out a sandbox or run anything; the
# build's output goes to stderr.
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

repo=$ROOT/repo
mkdir -p "$repo/scripts" "$repo/tests/tools" "$repo/tests/e2e" "$ROOT/bin"
for file in scripts/run-sim.sh scripts/sandbox-layout.sh tests/tools/lib.sh \
    tests/tools/tick-cadence.sh tests/e2e/lib.sh; do
    cp "$E2E_REPO/$file" "$repo/$file"
done
printf '#!/bin/sh\necho "cmake $*"\nexit 3\n' >"$ROOT/bin/cmake"
chmod +x "$ROOT/bin/cmake"
for run in scripts/run-sim.sh "tests/tools/tick-cadence.sh 0"; do
    read -r script arguments <<<"$run"
    status=0
    out=$(env -u ORV_SIM PATH="$ROOT/bin:$PATH" ORV_ROOT="$ROOT/sandbox" \
        bash "$repo/$script" $arguments 2>"$ROOT/err" </dev/null) || status=$?
    expect_eq "$script: status of the build" "$status" 3
    expect_eq "$script: nothing run" "$out" ""
    expect "$script: no sandbox laid out" test ! -e "$ROOT/sandbox"
    expect_eq "$script: the build's output" "$(cat "$ROOT/err")" \
        "cmake -S $repo -B $repo/build -DCMAKE_BUILD_TYPE=RelWithDebInfo"
done
pass
