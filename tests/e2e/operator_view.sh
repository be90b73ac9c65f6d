#!/usr/bin/env bash
# The operator's view: orvctl on a sandboxed unit with shm delivery and a
# metrics directory, run as the README's quick start runs it (run-sim.sh, whose sandbox
# answers as a unit does: its NTP daemon's stand-in, on the port it sets in
# the sandbox, answers at the configured stratum while the unit runs its
# daemon; orvctl status exits 0 without being told where). Its JSON status to a
# user who may not open the control FIFO (nothing told), through a signal loss
# (the failure logged, the lock cleared in the status file), the holdover, the
# holdover limit (the daemon stopped: its port refuses) and the return, the
# address applied shown (not the file's, edited without a setup change), and a
# held switch that ends the unit; on the stopped unit `orvctl send` refuses and
# makes nothing, and the metrics file says that it ended. The metrics file
# parses as Prometheus text (when python3's prometheus_client is installed or
# unpacked into build/promclient/) and gives the daemon's answer.
. "$(dirname "$0")/lib.sh"

mkdir -p "$ROOT/etc/default" "$ROOT/metrics"
printf '%s\n' ORV_TIME_DELIVERY=shm ORV_SHM_UNIT=$UNIT ORV_METRICS_DIR=/metrics ORV_HOLDOVER_S=240 >"$ROOT/etc/default/orv-main"
METRICS=$ROOT/metrics/orv_main.prom
export PYTHONPATH=$repo/build/promclient/usr/lib/python3/dist-packages

# status_is PYTHON-EXPRESSION [RUN...]: true of the JSON status `d` (as RUN runs orvctl).
status_is() { { "${@:2}" "${CTL[@]}" status --json || true; } | python3 -c "import json,sys; d=json.load(sys.stdin); sys.exit(not ($1))"; }
# metrics_parse PYTHON-EXPRESSION: the metrics file parses as Prometheus text
# and the expression holds of its values `m` (unchecked without the parser).
metrics_parse() {
    python3 -c 'import prometheus_client' 2>/dev/null || { echo "-- no prometheus_client: metrics file not parsed" && return; }
    python3 -c "import sys; from prometheus_client.parser import text_string_to_metric_families as p
m = {f.name: f.samples[0].value for f in p(open(sys.argv[1]).read()) if f.samples}
sys.exit(not ($1))" "$METRICS" || fail "metrics file: $(cat "$METRICS")"
}
# As a user who may not open the FIFO: nobody when run as root.
as_other() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; else "$@"; fi; }

ORV_ROOT=$ROOT "$repo/scripts/run-sim.sh" </dev/null >"$ROOT/run-sim.out" 2>&1 & SIM_PID=$!
wait_serving
query=$(sed -n 's/^ORV_NTP_QUERY=//p' "$ROOT/etc/default/orv-main")
expect "the sandbox's NTP port named" grep -qF "orv-sim: the sandbox's NTP daemon answers on $query while the unit runs it" "$ROOT/run-sim.out"
wait_for "orvctl status: served, the daemon agrees" eval '"${CTL[@]}" status >/dev/null'
# daemon_is LINES: the daemon's answer as the unit's metrics give it.
daemon_is() { [ "$(grep -E '^orv_ntp_(synchronised|stratum|root_distance_seconds) ' "$METRICS")" = "$1" ]; }
wait_for "the daemon's answer in the metrics" daemon_is $'orv_ntp_synchronised 1\norv_ntp_stratum 7\norv_ntp_root_distance_seconds 0'
network_file 10.9.9.9 255.255.255.0 10.9.9.1 >"$CONF/ORV_Network.ini" # no setup change
expect "the address applied shown, not the file's" status_is 'd["ip"] == "192.168.105.10"'
wait_for "serving on shm samples" status_is 'd["running"] and d["serving"] and d["locked"] and d["delivery"] == "shm" and d["shm_unit"] == '"$UNIT"' and d["shm_count"] > 0 and d["last_take_age_seconds"] >= 0 and d["last_take"].endswith("+09:00") and d["ntp_served_stratum"] == 7'
chmod 0 "$CONTROL"
expect "nothing told to another user" status_is 'd["running"] is None and d["serving"] is None' as_other
chmod 0622 "$CONTROL"
expect "the delivery logged" log_has "<INF> Time delivery: shm, NTP shared-memory unit $UNIT (key $KEY)"
metrics_parse 'm["orv_tuner_locked"] == 1 and m["orv_serving"] == 1 and "orv_last_take_age_seconds" in m'
sed -i 's/^Set_TOT_STRATUM=[0-9]*/Set_TOT_STRATUM=3/' "$CONF/Setup_05_01.ini"
send_setup_change /var/kelvatro/conf/Setup_05_01.ini
wait_for "the stratum set answered" status_is 'd["serving"] and d["ntp_stratum"] == 3'

step "signal lost and back"
sim_control "signal off"
wait_for "holdover and why" status_is 'not d["locked"] and d["holdover"] and d["reason"] == "holdover: no lock"'
wait_for "the failure logged, the lock cleared" eval 'log_has "Failed to get TOT ( Lock:NG / CH:UHF-27 / BER:... / TOT:" &&
    ini_is "$CONF/Status_05_01.txt" Now_TunerLock 0'
wait_for "stopped at the limit" status_is 'not d["serving"] and not d["holdover"] and d["reason"] == "stopped at the holdover limit: no lock"'
wait_for "the daemon's port refuses" eval '{ "${CTL[@]}" status || true; } | grep -qx "NTP answer   : none from $query (Connection refused)"'
wait_for "the unit sees it" daemon_is "orv_ntp_synchronised 0"
sim_control "signal on"
wait_for "serving again" status_is 'd["serving"] and d["locked"] and not d["holdover"] and d["reason"] == "serving"'

step "switch held: the unit ends"
sim_control "switch on"
sim_wait_exit
expect "stopped, not serving, no reception shown" status_is 'not d["running"] and not d["serving"] and d["reason"] == "unit not running" and d["locked"] is None and d["level"] is None and d["holdover"] is None'
expect_eq "the metrics at the end" "$(grep -v -e '^#' -e '^orv_start_time_seconds ' "$METRICS")" \
    $'orv_up 0\norv_serving 0\norv_holdover 0'
refused() { ! out=$(timeout 5 "${CTL[@]}" send END 2>&1) && [ "$out" = "orvctl: $CONTROL $1" ]; }
expect "send refused without a FIFO" refused "does not exist: the unit is not running"
expect "no file made" test ! -e "$CONTROL"
mkfifo "$CONTROL"
expect "send refused without a reader" refused "has no reader: the unit is not running"
pass
