#!/usr/bin/env bash
# A setup change of the system settings file selecting NTP: the NTP client
# queries the server named in the network settings (a responder on 127.0.0.1)
# and sets the clocks from its answer.
. "$(dirname "$0")/lib.sh"

# The client sends nothing from 23:55 to 00:06 local time: near Japan's
# midnight the unit runs in a zone twelve hours behind.
answer='date -s "2030-01-02 12:04:05"'
jst=$(TZ=Asia/Tokyo date +%H%M)
if [ "$jst" -ge 2350 ] || [ "$jst" -le 10 ]; then
    export TZ=Etc/GMT+3
    answer='date -s "2030-01-02 00:04:05"'
fi

# A one-address SNTP responder: every 48-byte answer carries 2030-01-02
# 03:04:05 UTC (12:04:05 in Japan) as its transmit time.
python3 - "$ROOT/sim/ntp-ready" "$ROOT/sim/ntp-queries" <<'PY' &
import calendar, socket, struct, sys, time
ready, queries = sys.argv[1], sys.argv[2]
stamp = calendar.timegm((2030, 1, 2, 3, 4, 5)) + 2208988800
deadline = time.time() + 60
while True:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("127.0.0.1", 123))
        break
    except OSError:  # another test holds the port for a moment
        s.close()
        if time.time() > deadline:
            sys.exit("port 123 stays busy")
        time.sleep(0.2)
open(ready, "w").close()
count = 0
while True:
    data, peer = s.recvfrom(512)
    count += 1
    open(queries, "w").write("%d\n" % count)
    reply = bytearray(48)
    reply[0] = 0x1C
    reply[1] = 1
    struct.pack_into(">I", reply, 40, stamp)
    s.sendto(bytes(reply), peer)
PY
E2E_PIDS+=($!)
wait_for "the NTP responder" test -f "$ROOT/sim/ntp-ready"

network_file 192.168.105.10 255.255.255.0 192.168.105.1 0.0.0.0 "NtpServer=127.0.0.1" >"$CONF/ORV_Network.ini"
sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"
expect "no query before NTP is selected" test ! -f "$ROOT/sim/ntp-queries"

step "TimeAdjust=1"
sed -i 's/^TimeAdjust=0/TimeAdjust=1/' "$CONF/ORV_System.ini"
send_setup_change /var/kelvatro/conf/ORV_System.ini
wait_for "the settings printed again" eval '[ "$(log_count "System Info : 04000000")" -eq 2 ]'
wait_for "a query answered" test -f "$ROOT/sim/ntp-queries"
wait_for "the clock set from the answer" journal_has "$answer"
wait_for "the hardware clock written" journal_has "hwclock -wu"
expect "system file kept" ini_is "$CONF/ORV_System.ini" TimeAdjust 1

sim_end
pass
