#!/usr/bin/env bash
# A tree that does not build stops the scripts that build orv-sim with the
# build's status before they lay out a sandbox or run anything; the build's
# output goes to stderr.
. "$(dirname "$0")/lib.sh"

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
