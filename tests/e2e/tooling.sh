#!/usr/bin/env bash
# A tree that does not build stops run-sim.sh with the build's status before
# it lays out a sandbox or runs anything; the build's output goes to stderr.
. "$(dirname "$0")/lib.sh"

repo=$ROOT/repo
mkdir -p "$repo/scripts" "$ROOT/bin"
cp "$E2E_REPO"/scripts/{run-sim.sh,sandbox-layout.sh} "$repo/scripts/"
printf '#!/bin/sh\necho "cmake $*"\nexit 3\n' >"$ROOT/bin/cmake"
chmod +x "$ROOT/bin/cmake"
status=0
out=$(env -u ORV_SIM PATH="$ROOT/bin:$PATH" ORV_ROOT="$ROOT/sandbox" \
    bash "$repo/scripts/run-sim.sh" 2>"$ROOT/err" </dev/null) || status=$?
expect_eq "status of the build" "$status" 3
expect_eq "nothing run" "$out" ""
expect "no sandbox laid out" test ! -e "$ROOT/sandbox"
expect_eq "the build's output" "$(cat "$ROOT/err")" \
    "cmake -S $repo -B $repo/build -DCMAKE_BUILD_TYPE=RelWithDebInfo"
pass
