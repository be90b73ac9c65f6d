# Shared by the test scripts. Sourced first: --help prints the script's opening
# comment, whose first line is its usage (or "Usage: $USAGE" before it), and
# ends it before anything runs; then strict mode, $repo, orv_install_packages
# and stub PATH SCRIPT, a shell script that stands in for a command.
# tools_sandbox runs orv-sim as the end-to-end scenarios do (tests/e2e/lib.sh:
# a fresh sandbox $ROOT, orv-sim and E2E_PIDS killed and the sandbox removed on
# exit), $ORV_SIM or else build/orv-sim, built when needed; set ORV_SIM_TICK_MS first.
case ${1:-} in -h | --help) { [ -z "${USAGE:-}" ] || echo "Usage: $USAGE"; } && awk 'NR > 1 { if (!/^#/ || /^# shellcheck/) exit; sub(/^# ?/, ""); print }' "$0" && exit 0 ;; esac
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$repo/scripts/install-packages.sh"
stub() { mkdir -p "${1%/*}" && printf '#!/bin/sh\n%s\n' "$2" >"$1" && chmod 755 "$1"; }
tools_sandbox() {
    . "$repo/scripts/sandbox-layout.sh"
    ORV_SIM=$(orv_sim_path "$repo") || exit
    export ORV_SIM
    . "$repo/tests/e2e/lib.sh"
}
