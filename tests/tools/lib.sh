# The manual verification tools run orv-sim as the end-to-end scenarios do
# (tests/e2e/lib.sh: a fresh sandbox $ROOT, orv-sim and E2E_PIDS killed and the
# sandbox removed on exit); the orv-sim is $ORV_SIM, else build/orv-sim, built
# when needed. Set ORV_SIM_TICK_MS, then source this file.
TOOLS_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../scripts/sandbox-layout.sh
. "$TOOLS_REPO/scripts/sandbox-layout.sh"
ORV_SIM=$(orv_sim_path "$TOOLS_REPO") || exit
export ORV_SIM
# shellcheck source=../e2e/lib.sh
. "$TOOLS_REPO/tests/e2e/lib.sh"
