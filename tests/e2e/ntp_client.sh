#!/usr/bin/env bash
# The NTP client against the tests' responder on 127.0.0.1: with TimeAdjust=1 in
# ORV_System.ini it queries from the start, without any setup change; a good
# reply sets the clocks to the microsecond (a time before the program's build
# not at all: NtpClientTest); a silent server costs no tick (TimeAdjustInt=1: a
# query a tick).
. "$(dirname "$0")/lib.sh"

# The client sends nothing from 23:55 to 00:06 local time: near Japan's
# midnight the unit runs in a zone twelve hours behind.
hour=12
jst=$(TZ=Asia/Tokyo date +%H%M)
if [ "$jst" -ge 2350 ] || [ "$jst" -le 10 ]; then export TZ=Etc/GMT+3 && hour=00; fi

# The responder answers as $NTP/mode says (good when it is missing), with
# 2030-01-02 03:04:05.5 UTC (12:04:05.5 in Japan) as its transmit time.
NTP=$ROOT/sim/ntp
mkdir -p "$NTP" && echo 1893553445.5 >"$NTP/time" && : >"$NTP/queries"
python3 "$repo/tests/e2e/ntp_responder.py" "$NTP" & E2E_PIDS+=($!)
wait_for "the NTP responder" test -f "$NTP/ready"
queries() { grep -c " $1 " "$NTP/queries" || true; }

network_file 192.168.105.10 255.255.255.0 192.168.105.1 0.0.0.0 "NtpServer=127.0.0.1" >"$CONF/ORV_Network.ini"
sed -i -e 's/^SystemInfo=04000000/SystemInfo=00000000/' -e 's/^TimeAdjust=0/TimeAdjust=1/' \
    -e 's/^TimeAdjustInt=3600/TimeAdjustInt=1/' "$CONF/ORV_System.ini"
sim_start

step "a good answer sets the clocks to the microsecond"
wait_for "21 good answers, without a setup change" eval '[ "$(queries good)" -ge 21 ]'
setting=$(journal | grep -m1 -A2 '^date -s' | tr '\n' '|')
fraction=${setting#date -s \"2030-01-02 $hour:04:05.} && fraction=${fraction%%\"|clock_settime 1893553445.*|hwclock -wu|}
expect "the answer's fraction, a little later for half the round trip ($setting)" eval '[[ $fraction =~ ^[5-9][0-9]{5}$ ]]'

step "a silent server: still a query every tick"
echo silent >"$NTP/mode"
wait_for "21 silent queries" eval '[ "$(queries silent)" -ge 21 ]'
# The mean interval of 20 queries, answered or silent: a tick each, however
# busy the machine (a query waited for inside the tick would double it).
mean_ms() { awk -v mode="$1" '$2 == mode { t[++n] = $1 } END { printf "%d", (t[21] - t[1]) * 50 }' "$NTP/queries"; }
answered_ms=$(mean_ms good) silent_ms=$(mean_ms silent)
expect "ticks kept (a query every $answered_ms ms answered, every $silent_ms ms silent)" [ $((silent_ms * 2)) -lt $((answered_ms * 3)) ]
expect "well-formed requests" eval '! grep -q " 0$" "$NTP/queries"'
sim_end
pass
