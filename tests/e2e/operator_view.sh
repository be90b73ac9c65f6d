#!/usr/bin/env bash
# The operator's view: orvctl on a sandboxed unit with shm delivery and a
# metrics directory. Its JSON status through a signal loss and return and a
# held switch that ends the unit; on the stopped unit `orvctl send` refuses
# and makes nothing. The metrics file parses as Prometheus text (when python3's
# prometheus_client is installed or unpacked into build/promclient/).
. "$(dirname "$0")/lib.sh"

: "${ORVCTL:?ORVCTL must name the orvctl executable}"
UNIT=$((2 + $$ % 254))
KEY=$(printf '0x%08X' $((0x4E545030 + UNIT)))
trap 'e2e_cleanup; ipcrm -M "$KEY" 2>/dev/null || true' EXIT
mkdir -p "$ROOT/etc/default" "$ROOT/metrics"
printf '%s\n' ORV_TIME_DELIVERY=shm ORV_SHM_UNIT=$UNIT ORV_METRICS_DIR=/metrics >"$ROOT/etc/default/orv-main"
export PYTHONPATH=$E2E_REPO/build/promclient/usr/lib/python3/dist-packages
read -ra CTL <<<"${ORV_SIM_EMULATOR:-} $ORVCTL"

# status_is PYTHON-EXPRESSION: true of the JSON status `d`.
status_is() { "${CTL[@]}" status --json | python3 -c "import json,sys; d=json.load(sys.stdin); sys.exit(not ($1))"; }

sim_start
wait_serving
wait_for "serving on shm samples" status_is 'd["running"] and d["serving"] and d["locked"] and d["delivery"] == "shm" and d["shm_unit"] == '"$UNIT"' and d["shm_count"] > 0 and d["last_take_age_seconds"] >= 0'
expect "the delivery logged" log_has "<INF> Time delivery: shm, NTP shared-memory unit $UNIT (key $KEY)"
if python3 -c 'import prometheus_client' 2>/dev/null; then
    python3 -c 'import sys; from prometheus_client.parser import text_string_to_metric_families as p
names = {f.name: f.samples[0].value for f in p(open(sys.argv[1]).read())}
sys.exit(not (names["orv_tuner_locked"] == 1 and names["orv_serving"] == 1 and "orv_last_take_age_seconds" in names))' \
        "$ROOT/metrics/orv_main.prom" || fail "metrics file: $(cat "$ROOT/metrics/orv_main.prom")"
else
    echo "-- no prometheus_client: metrics file not parsed"
fi

step "signal lost and back"
sim_control "signal off"
wait_for "holdover and why" status_is 'not d["locked"] and d["holdover"] and d["reason"] == "holdover: no lock"'
expect "the reason logged" log_has "<ERR> No TOT taken for 61 s: no lock"
sim_control "signal on"
wait_for "serving again" status_is 'd["locked"] and not d["holdover"] and d["reason"] == "serving"'
expect "the return logged" log_has "<INF> TOT taken again after"

step "switch held: the unit ends"
sim_control "switch on"
sim_wait_exit
expect "the reason logged" log_has "<ERR> Network init switch held for 3 s: ending the unit"
expect "stopped, not serving" status_is 'not d["running"] and not d["serving"] and d["reason"] == "unit not running"'
refused() { ! out=$(timeout 5 "${CTL[@]}" send END 2>&1) && [ "$out" = "orvctl: $CONTROL $1" ]; }
expect "send refused without a FIFO" refused "does not exist: the unit is not running"
expect "no file made" test ! -e "$CONTROL"
mkfifo "$CONTROL"
expect "send refused without a reader" refused "has no reader: the unit is not running"
pass
