#!/usr/bin/env bash
# What stands around orv-sim. It runs only inside a sandbox root: without
# ORV_ROOT, or with a root that is not a plain absolute path, it refuses with a
# line about it and status 1 (each run also has a bad tick length, checked only
# after the root: a failed guard would still stop before the unit starts). A
# kept sandbox gets back the parts of the unit's image it lacks and keeps the
# rest. A tree that does not build stops the scripts that build orv-sim with
# the build's status before they lay out a sandbox or run anything; the
# build's output goes to stderr. Every script of scripts/ and tests/ answers
# --help with its usage on stdout before it runs anything. run-sim.sh names the
# control FIFO and shows the status log to its last line. plot-metrics.sh
# without matplotlib or a virtual environment for it installs nothing and says
# what it needs.
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

copy=$ROOT/repo
mkdir -p "$copy"
(cd "$repo" && cp --parents scripts/{run-sim,sandbox-layout,install-packages}.sh tests/tools/{lib,kill-test}.sh tests/e2e/lib.sh "$copy")
stub "$ROOT/bin/cmake" 'echo "cmake $*"; exit 3'
for run in scripts/run-sim.sh "tests/tools/kill-test.sh 0"; do
    read -r script arguments <<<"$run"
    status=0
    out=$(env -u ORV_SIM PATH="$ROOT/bin:$PATH" ORV_ROOT="$ROOT/sandbox" \
        bash "$copy/$script" $arguments 2>"$ROOT/err" </dev/null) || status=$?
    expect_eq "$script: the build's status and output, nothing run, no sandbox" \
        "$status|$out|$(cat "$ROOT/err")|$(ls -d "$ROOT/sandbox" 2>/dev/null)" \
        "3||cmake -S $copy -B $copy/build -DCMAKE_BUILD_TYPE=RelWithDebInfo|"
done

for tool in apt-get dpkg dpkg-query cmake mmdebstrap qemu-system-x86_64 chroot; do
    stub "$ROOT/ran/$tool" "echo \"$tool \$*\" >>\"$ROOT/ran/log\"; exit 1"
done
for script in $(grep -lE '^#!/usr/bin/env bash' -r "$repo/scripts" "$repo/tests"); do
    status=0
    out=$(PATH="$ROOT/ran:$PATH" timeout 10 bash "$script" --help 2>"$ROOT/err" </dev/null) || status=$?
    [ $status = 0 ] && [[ $out == Usage:* ]] && [ ! -s "$ROOT/err" ] && [ ! -e "$ROOT/ran/log" ] ||
        fail "$script --help: status $status, out: $out, err: $(cat "$ROOT/err" "$ROOT/ran/log" 2>&1)"
done

stub "$ROOT/ran/python3" 'exit 1'
status=0 && err=$(PATH="$ROOT/ran:$PATH" ORV_PLOT_PYTHON=$ROOT/ran/python3 ORV_PLOT_VENV=$ROOT/venv bash "$repo/scripts/plot-metrics.sh" "$ROOT/m.png" 2>&1 >/dev/null) || status=$?
expect_eq "plot-metrics.sh without matplotlib" "$status|$(cat "$ROOT/ran/log" 2>&1)|$(tail -n 1 <<<"$err")" \
    "1|cat: $ROOT/ran/log: No such file or directory|plot-metrics.sh: no matplotlib: install Debian's python3-matplotlib, or python3-venv for a virtual environment in $ROOT/venv (pip fetches matplotlib into it)"

stub "$ROOT/bin/sim" 'echo "2026/12/08 06:00:00 <INF> Main Program End" >>"$ORV_ROOT/var/www/StatusLog.txt"'
out=$(ORV_SIM=$ROOT/bin/sim ORV_ROOT=$ROOT/run bash "$repo/scripts/run-sim.sh" </dev/null)
[[ $out == *"control FIFO $ROOT/run/var/kelvatro/maincontrol"* ]] || fail "no control FIFO named: $out"
expect_eq "the log to its last line" "$(tail -n 2 <<<"$out")" \
    $'2026/12/08 06:00:00 <INF> Main Program End\norv-sim: ended with status 0'
pass
