#!/usr/bin/env bash
# orvctl weighs what the NTP daemon itself answers against what the unit
# believes, both ways: on a unit that serves with ntpsec, a daemon that does
# not answer, one that answers unsynchronised (leap 3, or stratum 16 or 0 at
# leap 0), one whose root distance a default client refuses and one at another
# stratum than the unit configured come first in the status and in the JSON
# reason (exit status 1, orvctl wait times out, --timeout 0 asking once, the
# serving line and the JSON agree); past the holdover limit and after END, a
# daemon that still answers synchronised does too (its clients take a clock
# that broadcast time does not keep). A daemon process that answers as
# configured (the tests' responder, named ntpd, with its pid file) makes the
# status 0 and ends orvctl wait. The status names the file the daemon reads.
# Before the start and after END the status is unknown (2). The unit asks the
# daemon too, and its metrics give each answer as orvctl reads it; orvctl send
# END prints the unit's answer. In a holdover the daemon may answer at a
# higher stratum than configured (one fed by shared memory raises its own).
. "$(dirname "$0")/lib.sh"

mkdir -p "$ROOT/etc/default" "$ROOT/etc/ntpsec/ntp.d" "$ROOT/run" "$ROOT/bin" "$ROOT/metrics"
printf '%s\n' ORV_NTP_DAEMON=ntpsec ORV_NTP_CONF_COPY=/etc/ntpsec/ntp.d/orv-main.conf ORV_METRICS_DIR=/metrics ORV_HOLDOVER_S=90 >"$ROOT/etc/default/orv-main"
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
json_is() { { "${CTL[@]}" status --json || true; } | python3 -c "import json,sys; d=json.load(sys.stdin); sys.exit(not ($1))" "${@:2}"; }

step "not started: unknown"
expect_eq "exit status" "$(status_lines | tail -1)" "exit 2"

sim_start
wait_serving
step "a daemon that does not answer"
unit_sees silent "orv_ntp_synchronised 0"
expect_eq "status" "$(status_of)" \
    "Disagreement : the unit serves, but the NTP daemon does not answer on $ORV_NTP_QUERY (no answer within 1 s)
Unit         : running
Serving      : no (the unit serves, the NTP daemon disagrees)
NTP daemon   : running (the unit's view), process ntpd $(cat "$ROOT/run/ntpd.pid"), stratum 7 served by /etc/ntpsec/ntp.d/orv-main.conf (setting 7)
NTP answer   : none from $ORV_NTP_QUERY (no answer within 1 s)
exit 1"
expect "JSON: not serving, why" json_is 'not d["serving"] and d["unit_serving"] and d["unit_reason"] == "serving" and not d["ntp_answered"] and d["reason"].startswith("the unit serves, but the NTP daemon does not answer")'
out=$(timeout 30 "${CTL[@]}" wait --timeout 0 2>&1) && fail "wait returned 0"
expect_eq "wait --timeout 0 asks once" "$out" "orvctl: not serving within 0 s: the unit serves, but the NTP daemon does not answer on $ORV_NTP_QUERY (no answer within 1 s)"

step "a daemon that answers unsynchronised: leap 3, or a stratum outside 1 to 15"
while IFS='|' read -r mode stratum leap refid; do
    echo "$stratum" >"$NTP/stratum"
    unit_sees "$mode" $'orv_ntp_synchronised 0\norv_ntp_stratum '"${leap##* }"$'\norv_ntp_root_distance_seconds 0'
    expect_eq "status: $leap" "$(status_of 'Disagreement|NTP answer')" \
        "Disagreement : the unit serves, but the NTP daemon answers unsynchronised ($leap)
NTP answer   : $leap, refid $refid, root delay 0.000 ms, root dispersion 0.000 ms, offset ms
exit 1"
done <<'TABLE'
good|16|leap 0, stratum 16|GPS
unsync|16|leap 3, stratum 16|INIT
good|0|leap 0, stratum 0|GPS
TABLE
rm "$NTP/stratum"

step "a daemon too far from its reference for a default client"
unit_sees distant $'orv_ntp_synchronised 1\norv_ntp_stratum 2\norv_ntp_root_distance_seconds 3.5'
expect_eq "status" "$(status_of 'Disagreement|NTP answer')" \
    "Disagreement : the unit serves, but the NTP daemon's root distance 3.500 s exceeds the 3.0 s a default client accepts
NTP answer   : leap 0, stratum 2, refid GPS, root delay 0.000 ms, root dispersion 3500.000 ms, offset ms
exit 1"

step "a daemon at another stratum than the unit configured"
unit_sees good $'orv_ntp_synchronised 1\norv_ntp_stratum 2\norv_ntp_root_distance_seconds 0'
expect_eq "status" "$(status_of 'Disagreement|Serving')" \
    "Disagreement : the unit serves, but the NTP daemon answers at stratum 2, not at the 7 that the unit configured
Serving      : no (the unit serves, the NTP daemon disagrees)
exit 1"

step "a daemon that answers as configured"
echo 7 >"$NTP/stratum"
expect "wait returns" timeout 30 "${CTL[@]}" wait
expect_eq "status" "$(status_of)" \
    "Unit         : running
Serving      : yes (serving)
NTP daemon   : running (the unit's view), process ntpd $(cat "$ROOT/run/ntpd.pid"), stratum 7 served by /etc/ntpsec/ntp.d/orv-main.conf (setting 7)
NTP answer   : leap 0, stratum 7, refid GPS, root delay 0.000 ms, root dispersion 0.000 ms, offset ms
exit 0"
# an hour behind: the offset lies between the hour less the time after the
# answer and the hour less the time before the query
hour_ago=$(($(date +%s) - 3600)) && echo "$hour_ago" >"$NTP/time" && before=$(date +%s.%N)
expect "JSON: serving, the daemon's view" json_is 'd["serving"] and d["reason"] == "serving" and d["ntp_synchronised"] and d["ntp_stratum"] == 7 and d["ntp_refid"] == "GPS" and d["ntp_daemon_process"] == "ntpd" and
    int(sys.argv[1]) - __import__("time").time() - 0.001 <= d["ntp_offset_ms"] / 1000 <= int(sys.argv[1]) - float(sys.argv[2]) + 0.001' "$hour_ago" "$before"
rm "$NTP/time"

step "past the holdover limit, a daemon that still answers"
sim_control "signal off"
wait_for "the holdover limit" json_is 'd["unit_reason"] == "stopped at the holdover limit: no lock"'
free="but the NTP daemon answers synchronised at stratum 7: its clients take a clock that broadcast time does not keep"
expect_eq "status" "$(status_of 'Disagreement|Serving')" \
    "Disagreement : the unit does not serve (stopped at the holdover limit: no lock), $free
Serving      : no (stopped at the holdover limit: no lock)
exit 1"
expect "JSON: the disagreement its reason" json_is 'not d["serving"] and not d["unit_serving"] and d["reason"].endswith(sys.argv[1])' "$free"

step "END answered; unknown after it, the daemon still answering"
expect_eq "orvctl send END" "$("${CTL[@]}" send END | cut -d' ' -f3-)" "<INF> Main Program End"
sim_wait_exit
expect_eq "status" "$(status_of 'Disagreement|Unit|Serving')" "Disagreement : the unit does not serve (unit not running), $free
Unit         : not running
Serving      : no (unit not running)
exit 2"

step "in a holdover a higher stratum is no disagreement, a lower one is"
mkfifo "$CONTROL" && exec 3<>"$CONTROL" # a reader, as a running unit
sed -i -e 's/^Serving=[^\t]*/Serving=1/' -e 's/^Holdover=[^\t]*/Holdover=1/' "$CONF/ORV_State.ini"
for stratum in 9 5; do
    echo $stratum >"$NTP/stratum"
    [ $stratum = 9 ] && lines="exit 0" || lines="Disagreement : the unit serves, but the NTP daemon answers at stratum 5, not at the 7 that the unit configured
exit 1"
    expect_eq "stratum $stratum" "$(status_of 'Disagreement')" "$lines"
done
pass
