#!/usr/bin/env bash
# orvctl asks the NTP daemon itself: on a unit that serves with ntpsec, a
# daemon that does not answer, one that answers unsynchronised and one whose
# root distance a default client refuses come first in the status and in the
# JSON reason (exit status 1, orvctl wait times out);
# a daemon process that answers synchronised (the tests' responder, named
# ntpd, with its pid file) makes the status 0 and ends orvctl wait. The status
# names the file the daemon reads. Before the start and after END the status
# is unknown (2), whatever the daemon answers. The unit asks the daemon too,
# and its metrics give each answer as orvctl reads it.
. "$(dirname "$0")/lib.sh"

mkdir -p "$ROOT/etc/default" "$ROOT/etc/ntpsec/ntp.d" "$ROOT/run" "$ROOT/bin" "$ROOT/metrics"
printf '%s\n' ORV_NTP_DAEMON=ntpsec ORV_NTP_CONF_COPY=/etc/ntpsec/ntp.d/orv-main.conf ORV_METRICS_DIR=/metrics >"$ROOT/etc/default/orv-main"
NTP=$ROOT/ntp && mkdir -p "$NTP" && echo silent >"$NTP/mode"
ln -s "$(python3 -c 'import sys; print(sys.executable)')" "$ROOT/bin/ntpd"
ntp_responder "$NTP" "$ROOT/bin/ntpd"
echo "${E2E_PIDS[-1]}" >"$ROOT/run/ntpd.pid"

# status_lines: orvctl's status and, last, its exit status.
status_lines() { "${CTL[@]}" status && echo "exit 0" || echo "exit $?"; }
# status_of [LABELS]: its lines of the unit and the daemon (or those of LABELS,
# a regular expression) and its exit status, the daemon's offset left out.
status_of() { status_lines | grep -E "^(${1:-Disagreement|Unit|Serving|NTP}|exit)" | sed -E 's/offset [-+][0-9.]+ ms/offset ms/'; }
# unit_sees MODE LINES: once the responder answers as MODE, the daemon's answer
# as the unit's metrics give it.
unit_sees() {
    local lines=$2
    echo "$1" >"$NTP/mode"
    wait_for "the unit's view of $1" eval '[ "$(grep -E "^orv_ntp_(synchronised|stratum|root_distance_seconds) " "$ROOT/metrics/orv_main.prom")" = "$lines" ]'
}
# json_is PYTHON-EXPRESSION: true of the JSON status `d`.
json_is() { { "${CTL[@]}" status --json || true; } | python3 -c "import json,sys; d=json.load(sys.stdin); sys.exit(not ($1))"; }

step "not started: unknown"
expect_eq "exit status" "$(status_lines | tail -1)" "exit 2"

sim_start
wait_serving
step "a daemon that does not answer"
unit_sees silent "orv_ntp_synchronised 0"
expect_eq "status" "$(status_of)" \
    "Disagreement : the unit serves, but the NTP daemon does not answer on $ORV_NTP_QUERY (no answer within 1 s)
Unit         : running
Serving      : yes (serving)
NTP daemon   : running (the unit's view), process ntpd $(cat "$ROOT/run/ntpd.pid"), stratum 7 served by /etc/ntpsec/ntp.d/orv-main.conf (setting 7)
NTP answer   : none from $ORV_NTP_QUERY (no answer within 1 s)
exit 1"
expect "JSON: not serving, why" json_is 'not d["serving"] and d["unit_serving"] and d["unit_reason"] == "serving" and not d["ntp_answered"] and d["reason"].startswith("the NTP daemon does not answer")'
out=$(timeout 30 "${CTL[@]}" wait --timeout 1 2>&1) && fail "wait returned 0"
expect_eq "wait times out" "$out" "orvctl: not serving within 1 s: the NTP daemon does not answer on $ORV_NTP_QUERY (no answer within 1 s)"

step "a daemon that answers unsynchronised"
unit_sees unsync $'orv_ntp_synchronised 0\norv_ntp_stratum 16\norv_ntp_root_distance_seconds 0'
expect_eq "status" "$(status_of 'Disagreement|NTP answer')" \
    "Disagreement : the unit serves, but the NTP daemon answers unsynchronised (leap 3, stratum 16)
NTP answer   : leap 3, stratum 16, refid INIT, root delay 0.000 ms, root dispersion 0.000 ms, offset ms
exit 1"

step "a daemon too far from its reference for a default client"
unit_sees distant $'orv_ntp_synchronised 1\norv_ntp_stratum 2\norv_ntp_root_distance_seconds 3.5'
expect_eq "status" "$(status_of 'Disagreement|NTP answer')" \
    "Disagreement : the unit serves, but the NTP daemon's root distance 3.500 s exceeds the 3.0 s a default client accepts
NTP answer   : leap 0, stratum 2, refid GPS, root delay 0.000 ms, root dispersion 3500.000 ms, offset ms
exit 1"

step "a daemon that answers synchronised"
unit_sees good $'orv_ntp_synchronised 1\norv_ntp_stratum 2\norv_ntp_root_distance_seconds 0'
expect "wait returns" timeout 30 "${CTL[@]}" wait
expect_eq "status" "$(status_of)" \
    "Unit         : running
Serving      : yes (serving)
NTP daemon   : running (the unit's view), process ntpd $(cat "$ROOT/run/ntpd.pid"), stratum 7 served by /etc/ntpsec/ntp.d/orv-main.conf (setting 7)
NTP answer   : leap 0, stratum 2, refid GPS, root delay 0.000 ms, root dispersion 0.000 ms, offset ms
exit 0"
expect "JSON: serving, the daemon's view" json_is 'd["serving"] and d["reason"] == "serving" and d["ntp_synchronised"] and d["ntp_stratum"] == 2 and d["ntp_refid"] == "GPS" and abs(d["ntp_offset_ms"]) < 1000 and d["ntp_daemon_process"] == "ntpd"'

step "END: unknown, though the daemon answers"
sim_end
expect_eq "status" "$(status_of 'Disagreement|Unit|Serving')" "Unit         : not running
Serving      : no (unit not running)
exit 2"
pass
