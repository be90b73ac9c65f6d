# Shared set-up of the manual verification tools (kill-test, soak,
# tick-cadence, torn-read-check): the orv-sim to run ($ORV_SIM, else
# build/orv-sim, built when needed), a fresh sandbox $ROOT laid out as a unit's
# image, and on exit orv-sim and the processes in TOOL_PIDS killed and the
# sandbox removed. Source it, then call tool_sandbox.
set -euo pipefail

TOOL_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../scripts/sandbox-layout.sh
. "$TOOL_REPO/scripts/sandbox-layout.sh"
export TZ=${TZ:-Asia/Tokyo}
TOOL=$(basename "$0" .sh)
TOOL_PIDS=()
SIM_PID=

tool_sandbox() {
    SIM=$(orv_sim_path "$TOOL_REPO")
    ROOT=$(mktemp -d "/tmp/orv-$TOOL-XXXXXX")
    export ORV_ROOT=$ROOT
    orv_sandbox_layout "$ROOT"
    CONF=$ROOT/var/kelvatro/conf
    SD=$ROOT/usr/kelvatro/conf
    CONTROL=$ROOT/var/kelvatro/maincontrol
    trap tool_cleanup EXIT
    trap 'exit 1' INT TERM
}

# Kills orv-sim and the processes in TOOL_PIDS.
tool_kill() {
    local pid
    for pid in "${TOOL_PIDS[@]}" $SIM_PID; do
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    TOOL_PIDS=()
    SIM_PID=
}
tool_cleanup() {
    tool_kill
    rm -rf "$ROOT"
}

# sim_start [OUT]: orv-sim in the sandbox, its standard output appended to OUT
# (default sim/console.log), its standard error to sim/console.log.
sim_start() {
    (cd "$ROOT/sim" && exec "$SIM") </dev/null >>"${1:-$ROOT/sim/console.log}" 2>>"$ROOT/sim/console.log" &
    SIM_PID=$!
}

# tool_wait DESCRIPTION COMMAND...: polls COMMAND for at most a minute; exits 1
# when the time passes or orv-sim ends first.
tool_wait() {
    local what=$1 deadline=$((SECONDS + 60))
    shift
    until "$@"; do
        kill -0 "$SIM_PID" 2>/dev/null || { echo "$TOOL: orv-sim ended before $what" >&2; exit 1; }
        [ $SECONDS -lt $deadline ] || { echo "$TOOL: no $what within a minute" >&2; exit 1; }
        sleep 0.02
    done
}
