#!/usr/bin/env bash
# The operator's tools on a sandboxed unit: a metrics directory that is missing
# at start (said once, the file written once it is made); TimeAdjust=1 beside
# the TOT function logged and shown as a conflict; a second unit on the same
# sandbox refused, by orv-sim and by run-sim.sh (which says why on its own
# output), the first one's FIFOs kept, the lock file 0644; orvctl's usage
# errors (one line, where to read on, status 2) and its version; orvctl
# refusing an unknown command word and a control character (C0 or C1), the
# unit logging unknown messages once a second with their count; orvctl send
# printing the unit's answer, carried out or refused (a setup change of a file
# that does not exist, or of one the unit does not take, logged); the counters
# and the signal level and SNR through a signal loss, the holdover and the
# return, a silent tuner's BER shown as none; a command sent behind a RESET
# answered by the next pass; SIGTERM ending the unit as END does but without
# the power-off (the NTP daemon stopped, orv_up 0); orvctl on a unit that
# starts (its lock held, no FIFO yet) and one that restarts, on a state file
# that lacks values (null) and on a state file and log that hold control
# characters (escaped, the JSON valid); orvctl log -f going on in a rotated log
# and from the start of one cut short. With the promtool unpacked into
# build/promtool/, the metrics files pass its lint, the shipped alerting rules
# its lint and their cases (orv-main.rules.test.yml); the rules and the
# dashboard name only metrics the unit writes, and the dashboard's queries
# all take its unit variable, its 0/1 panels saying what 0 and 1 mean; the
# scenarios are executable; install-packages.sh takes no package of another
# architecture for the machine's own.
. "$(dirname "$0")/lib.sh"

mkdir -p "$ROOT/etc/default"
printf '%s\n' ORV_METRICS_DIR=/metrics ORV_HOLDOVER_S=240 "ORV_NTP_QUERY=127.0.0.1:$(free_udp_port)" >"$ROOT/etc/default/orv-main"
METRICS=$ROOT/metrics/orv_main.prom STATE=$CONF/ORV_State.ini
sample() { awk -v n="$1" '$1 == n { print $2 }' "$METRICS" 2>/dev/null; }
sample_is() { [ "$(sample "$1")" = "$2" ]; }
sample_above() { [ "$(sample "$1")" -gt "$2" ] 2>/dev/null; }
ctl_fails() { # STATUS OUTPUT ARG...: orvctl exits STATUS printing OUTPUT
    local out status=0
    out=$("${CTL[@]}" "${@:3}" 2>&1) || status=$?
    [ "$status" = "$1" ] && [ "$out" = "$2" ]
}
# answer COMMAND...: orvctl send's exit status and its lines without their times.
answer() { local out status=0 && out=$("${CTL[@]}" send "$@") || status=$? && echo "$status|$(cut -d' ' -f3- <<<"$out")"; }

sed -i 's/^TimeAdjust=0/TimeAdjust=1/' "$CONF/ORV_System.ini"
install -m 0044 /dev/null "$ROOT/var/kelvatro/orv-main.lock" # as an earlier version left it
sim_start
wait_serving
conflict="TimeAdjust 1 (the NTP client) with the TOT function on: only broadcast time sets the clock while the unit keeps it"
expect "the conflict logged" log_has "<ERR> Time source conflict: $conflict"
wait_for "the conflict shown" eval '{ "${CTL[@]}" status || true; } | grep -qxF "Conflict     : $conflict"'
expect "in the JSON" eval '{ "${CTL[@]}" status --json || true; } | python3 -c "import json,sys; sys.exit(json.load(sys.stdin)[\"conflict\"] != sys.argv[1])" "$conflict"'
missing="<ERR> ORV_METRICS_DIR /metrics does not exist: no metrics written until it is made"
expect "the missing metrics directory said" log_has "$missing"
mkdir "$ROOT/metrics"
wait_for "the metrics written" test -f "$METRICS"
expect_eq "said once" "$(log_count "$missing")" 1

step "a second unit on the same sandbox"
status=0 && out=$(cd "$ROOT/sim" && "${SIM_COMMAND[@]}" 2>&1) || status=$?
expect_eq "orv-sim refused" "$status:$out" "1:Another unit runs on $ROOT/var/kelvatro (pid $SIM_PID): this one ends"
status=0 && out=$(ORV_ROOT=$ROOT timeout 60 "$repo/scripts/run-sim.sh" </dev/null 2>&1) || status=$?
expect_eq "run-sim.sh refused, saying why" "$status:$out" "1:run-sim.sh: Another unit runs on $ROOT/var/kelvatro (pid $SIM_PID): this one ends"
expect "the FIFOs kept" eval 'test -p "$CONTROL" && test -p "$ROOT/sim/control"'
expect_eq "the lock file's mode" "$(stat -c %a "$ROOT/var/kelvatro/orv-main.lock")" 644

step "usage errors, the version; commands refused by orvctl, unknown ones counted by the unit"
while IFS='|' read -r fault args; do
    read -ra words <<<"$args"
    expect "usage error: $args" ctl_fails 2 "orvctl: $fault"$'\n'"Try 'orvctl --help' for more information." "${words[@]}"
done <<'TABLE'
missing command|
unknown command 'stat'|stat
status: unknown option '-j'|status -j
status: too many arguments|status --json x
wait: --timeout takes a number of seconds|wait --timeout soon
send: missing command word|send
log: unknown option '-F'|log -F
TABLE
expect "the version" ctl_fails 0 "orvctl (orv-main) $(sed -n 's/^project(orv VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")" --version
expect "unknown word" ctl_fails 2 "orvctl: unknown command FOO: not sent (the unit takes: reg iic [SetupChange] [UpLoad] [UpLoadFpga] RESET END REBOOT FACTORY_RESET LOG_DELETE)" send FOO bar
for arg in $'0\nEND' $'0\rEND' $'0\xc2\x9b2J' $'\x9b'; do
    expect "a control character" ctl_fails 2 "orvctl: argument 1 holds a control character: not sent" send reg "$arg"
done
send "FOO\nx\n" # one message: its second line is no command
wait_for "an unknown message" log_has "Unknown control message ignored: FOO"
send "BAR\nLOG_DELETE\n"
wait_for "BAR, held back a second at most" log_has "Unknown control message ignored: BAR"
expect_eq "unknown messages" "$(status_logs | grep -o '<ERR> Unknown.*')" \
    $'<ERR> Unknown control message ignored: FOO\n<ERR> Unknown control message ignored: BAR'

step "orvctl send prints the unit's answer"
while IFS='|' read -r status answer args; do
    read -ra words <<<"$args"
    expect "answer to $args" eval '[ "$(answer "${words[@]}")" = "$status|${answer//ROOT/$ROOT}" ]'
done <<'TABLE'
0|<DEBUG> reg (r) : addr=00006200, data=00000000|reg 6200
1|<ERR> reg : no register address, not done|reg
0|<INF> ORV Log delete|LOG_DELETE
1|<ERR> Setup change refused: /var/kelvatro/conf/Setup_5_1.ini does not exist (looked at ROOT/var/kelvatro/conf/Setup_5_1.ini)|[SetupChange] /var/kelvatro/conf/Setup_5_1.ini
1|<ERR> Setup change refused: /var/kelvatro/conf/ORV_Function.ini is no settings file that the unit takes over (ORV_System.ini, ORV_Network.ini, ORV_Current.ini or Setup_05_01.ini)|[SetupChange] /var/kelvatro/conf/ORV_Function.ini
TABLE
cp "$CONF/Setup_05_01.ini" "$CONF/Setup_5_1.ini" # the same message again, now carried out
expect "the file made: taken" eval '[[ "$(answer [SetupChange] /var/kelvatro/conf/Setup_5_1.ini)" == "0|<INF> "* ]]'

step "signal lost and back: counters, no level or SNR without a signal"
takes=$(sample orv_takes_total)
expect "takes counted" test "${takes:-0}" -gt 0
expect "the info line" grep -qx 'orv_info{version="[0-9.]*",delivery="step",daemon="ntp"} 1' "$METRICS"
sim_control "signal off" # (a retune after the setup change above also unlocks, at its level)
wait_for "no lock, no level, no SNR" eval 'sample_is orv_tuner_locked 0 && sample_is orv_signal_level 0 && sample_is orv_snr_decibels 0 && ini_is "$STATE" Level 0 && ini_is "$STATE" SNR 0'
wait_for "the holdover counted" sample_is orv_holdovers_total 1
sim_control "signal on"
wait_for "takes again" sample_above orv_takes_total "$takes"
expect "the last take's time" sample_above orv_last_take_timestamp_seconds 1700000000
expect "the daemon started once" sample_is orv_daemon_starts_total 1
wait_for "the daemon's answer" eval 'cp "$METRICS" "$ROOT/serving.prom" && grep -q "^orv_ntp_stratum " "$ROOT/serving.prom"'
sim_control "tuner silent"
wait_for "a silent tuner" ini_is "$STATE" BER 100000
expect "its BER shown as none" eval '{ "${CTL[@]}" status || true; } | grep -qx "Reception    : no lock, UHF-27, level 0, SNR 0 dB, BER unknown" &&
    { "${CTL[@]}" status --json || true; } | python3 -c "import json,sys; sys.exit(json.load(sys.stdin)[\"ber_e5\"] is not None)"'
sim_control "tuner normal"

step "a command sent behind a RESET is answered by the next pass"
expect_eq "RESET" "$(answer RESET)" "0|<INF> Main Program Reset"
expect_eq "reg" "$(answer reg 6200)" "0|<DEBUG> reg (r) : addr=00006200, data=00000000"
expect "read after the restart" eval 'status_logs | grep -o "Main Program Reset\|Main Program Ready\|reg (r) : addr=00006200" | tail -n 3 | paste -sd, - | grep -qx "Main Program Reset,Main Program Ready,reg (r) : addr=00006200"'

step "SIGTERM: the unit ends as END does, without the power-off"
wait_for "serving after the restart" ini_is "$STATE" Serving 1
stops=$(journal_count "sudo /etc/init.d/ntp stop")
kill -TERM "$SIM_PID"
sim_wait_exit
expect "logged" eval 'log_has "<INF> SIGTERM received" && log_has "<INF> Main Program End"'
expect "the NTP daemon stopped, no power-off" eval '[ "$(journal_count "sudo /etc/init.d/ntp stop")" = $((stops + 1)) ] && ! journal_has "shutdown -h now"'
expect_eq "the metrics at the end" "$(grep -v -e '^#' -e '^orv_start_time_seconds ' "$METRICS")" \
    $'orv_up 0\norv_serving 0\norv_holdover 0'
expect "the state at the end" eval 'ini_is "$STATE" Serving 0 && ini_is "$STATE" NtpDaemon stopped'
expect "no FIFO left" test ! -e "$CONTROL"

step "orvctl on a unit that starts: its lock held, no FIFO yet"
python3 -c 'import fcntl, sys, time; f = open(sys.argv[1], "a"); fcntl.flock(f, fcntl.LOCK_EX); open(sys.argv[2], "w").close(); time.sleep(600)' \
    "$ROOT/var/kelvatro/orv-main.lock" "$ROOT/locked" & E2E_PIDS+=($!)
wait_for "the lock held" test -e "$ROOT/locked"
expect_eq "starting" "$({ "${CTL[@]}" status || echo "exit $?"; } | grep -E '^(Unit|Serving|Reception|exit)')" \
    "Unit         : starting (pid ${E2E_PIDS[-1]})
Serving      : no (starting)
Reception    : unknown (starting)
exit 1"
expect "send refused" ctl_fails 1 "orvctl: $CONTROL has no reader: the unit (pid ${E2E_PIDS[-1]}) is starting or stopping" send RESET
kill "${E2E_PIDS[-1]}"

step "orvctl on a unit that restarts"
mkfifo "$CONTROL" && exec 3<>"$CONTROL" # a reader, as the restarting unit holds the FIFO
sed -i -e 's/^Reason=[^\t]*/Reason=restarting/' -e 's/^Pid=[^\t]*/Pid=4321/' "$STATE"
expect "restarting with its pid" eval '{ "${CTL[@]}" status || true; } | grep -qx "Unit         : restarting (pid 4321)"'
expect "in the JSON" eval '{ "${CTL[@]}" status --json || true; } | grep -q "\"unit\":\"restarting\",.*\"reason\":\"restarting\",.*\"pid\":4321}"'
printf '[State]\nPid=4321\nServing=0\n' >"$ROOT/state.ini" && mv "$STATE" "$ROOT/full.ini" && mv "$ROOT/state.ini" "$STATE"
expect "what the state file lacks is null" eval '{ "${CTL[@]}" status --json || true; } | python3 -c "import json,sys; d=json.load(sys.stdin)
sys.exit(any(d[k] is not None for k in (\"delivery\", \"ip\", \"dns\", \"version\", \"unit_reason\", \"ber_e5\", \"last_take\")))"'
mv "$ROOT/full.ini" "$STATE"
printf 'Reason=spi=on\e[1A\e[2K\x7f\xc2\x9b\xff"\\x\nChannel=nan\n' >>"$STATE" # written by anyone
expect "no control character shown" eval '! { "${CTL[@]}" status || true; } | grep -q "[[:cntrl:]]"'
shown='spi=on\x1B[1A\x1B[2K\x7F\xC2\x9B\xFF"\x' # whole past an '='
expect "escaped in the JSON" eval '{ "${CTL[@]}" status --json || true; } | python3 -c "import json,sys; d=json.load(sys.stdin)
sys.exit(d[\"unit_reason\"] != sys.argv[1] or d[\"channel\"] is not None)" "$shown"'
exec 3<&-
printf 'x\e[2Jy\n' >>"$ROOT/var/www/StatusLog.txt"
expect_eq "the log's control characters escaped" "$("${CTL[@]}" log | tail -n 1)" 'x\x1B[2Jy'
LOG=$ROOT/var/www/StatusLog.txt
"${CTL[@]}" log -f >"$ROOT/followed" & E2E_PIDS+=($!)
followed() { [ "$(tail -n 1 "$ROOT/followed")" = "$1" ]; }
wait_for "the log followed" followed 'x\x1B[2Jy'
mv "$LOG" "$LOG.1" && { cat "$LOG.1" && echo moved; } >"$LOG" # another file, longer
wait_for "the new log followed" followed moved
: >"$LOG" && echo cut >>"$LOG" # cut short
wait_for "the log followed from its start" followed cut
kill "${E2E_PIDS[-1]}"


step "the alerting rules and the dashboard"
names=$(awk '/^# TYPE orv_/ { print $3 }' "$ROOT/serving.prom" "$METRICS" | sort -u)
for file in "$repo/packaging/orv-main.rules.yml" "$repo/packaging/orv-main.dashboard.json"; do
    for name in $(grep -o 'orv_[a-z_]*' "$file" | grep -vx 'orv_main' | sort -u); do
        grep -qx "$name" <<<"$names" || fail "$(basename "$file") names $name, which the unit does not write"
    done
done
promtool=$repo/build/promtool/usr/bin/promtool
if [ -x "$promtool" ]; then
    for file in "$ROOT/serving.prom" "$METRICS"; do expect "promtool check metrics" eval '"$promtool" check metrics <"$file"'; done
    expect "promtool check rules" "$promtool" check rules --lint=all "$repo/packaging/orv-main.rules.yml"
    expect "promtool test rules" "$promtool" test rules "$repo/tests/e2e/orv-main.rules.test.yml"
else echo "-- no promtool in build/promtool: the rules are not checked (scripts/test.sh unpacks it)"; fi
expect "the dashboard's unit variable and 0/1 mappings" python3 - "$repo/packaging/orv-main.dashboard.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
assert [v["definition"] for v in d["templating"]["list"] if v["name"] == "instance"] == ["label_values(orv_up, instance)"]
for p in d["panels"]:
    assert all('{instance=~"$instance"}' in t["expr"] for t in p["targets"]), p["title"]
    if p["type"] == "stat":
        assert set(p["fieldConfig"]["defaults"]["mappings"][0]["options"]) == {"0", "1"}, p["title"]
PY
# install-packages.sh on a machine with libx for armhf only and liby for all:
# the machine's own libx is missing (a bare name finds any architecture).
mkdir -p "$ROOT/bin" && printf '#!/bin/sh\necho amd64\n' >"$ROOT/bin/dpkg"
printf '#!/bin/sh\ncase $3 in libx | libx:armhf | liby | liby:all) printf "install ok installed" ;; *) exit 1 ;; esac\n' >"$ROOT/bin/dpkg-query"
chmod +x "$ROOT/bin/dpkg" "$ROOT/bin/dpkg-query"
expect "another architecture's package not the machine's own" eval '(PATH=$ROOT/bin:$PATH && . "$repo/scripts/install-packages.sh" &&
    ! orv_package_installed libx && orv_package_installed libx:armhf && orv_package_installed liby)'
for script in "$repo"/tests/e2e/*.sh; do
    [ "$(basename "$script")" = lib.sh ] || expect "$(basename "$script") executable" test -x "$script"
done
pass
