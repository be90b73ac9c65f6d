#!/usr/bin/env bash
# Cold start with the network-init switch untouched: six off readings, the
# user's network kept and applied, ORV_Current.ini every second, a set date
# from the web front end taken without signal (refused once serving:
# SetupChangeTest), END. A second cold start with the switch held
# brings back the factory network, and the switch still held once serving ends
# the program. A third, with an FPGA that reads all ones: no switch reading
# (the user's network stays, no END while serving), no broadcast time (the
# clock never set, the NTP daemon never started), each kind of failed read
# logged once.
. "$(dirname "$0")/lib.sh"

network_file 10.20.30.40 255.255.255.0 10.20.30.1 >"$CONF/ORV_Network.ini"
cp -p "$CONF/ORV_Network.ini" "$SD/"
echo "signal off" >"$ROOT/sim/start"
sim_restart

step "start-up indication, network, current state"
expect_eq "first GPIO writes" "$(gpio_values | head -n 9 | tr '\n' ' ')" \
    "0x1100 0x1100 0x1100 0x1100 0x1100 0x1100 0x1100 0x1100 0x0100 "
expect "the network files kept" eval '[ "$(network_file 10.20.30.40 255.255.255.0 10.20.30.1)" = "$(cat "$CONF/ORV_Network.ini")" ] &&
    cmp -s "$CONF/ORV_Network.ini" "$SD/ORV_Network.ini"'
expect "user's address applied" journal_has "ifconfig eth0 10.20.30.40 netmask 255.255.255.0"
wait_for "ORV_Current.ini" ini_is "$CONF/ORV_Current.ini" SetDate 0000/00/00
now=$(ini_value "$CONF/ORV_Current.ini" NowTime)
wait_for "NowTime to change" eval '[ "$(ini_value "$CONF/ORV_Current.ini" NowTime)" != "$now" ]'

step "a set date from the web front end's copy of ORV_Current.ini"
printf '%s\n' '[ORVCurrent]' $'SetDate=2031/02/03\t; 設定年月日' $'SetTime=04:05:06\t; 設定時分秒' >"$CONF/ORV_Current.edit.ini"
send_setup_change /var/kelvatro/conf/ORV_Current.edit.ini
wait_for "the set date and time shown" eval 'ini_is "$CONF/ORV_Current.ini" SetDate 2031/02/03 &&
    ini_is "$CONF/ORV_Current.ini" SetTime 04:05:06'
expect "the clock set" journal_has 'date -s "2031-02-03 04:05:06"'
sim_end

step "cold start with the switch held"
echo "switch on" >"$ROOT/sim/start"
sim_restart
expect_eq "first GPIO writes" "$(gpio_values | head -n 6 | tr '\n' ' ')" \
    "0x1100 0x0200 0x0200 0x0200 0x1100 0x0100 "
expect "factory IP in both files" eval 'ini_is "$CONF/ORV_Network.ini" IP 192.168.105.10 && ini_is "$SD/ORV_Network.ini" IP 192.168.105.10'
expect "factory address applied" journal_has "ifconfig eth0 192.168.105.10 netmask 255.255.255.0"
sim_wait_exit
expect_eq "both network files removed at the start only" "$(journal | grep -A2 '^rm -rf /usr/kelvatro/conf/ORV_Network.ini$' | tr '\n' '|')" \
    "rm -rf /usr/kelvatro/conf/ORV_Network.ini|rm -rf /var/kelvatro/conf/ORV_Network.ini|sync|"
expect "ended by END" log_has "Main Program End"

step "cold start with an FPGA that does not answer"
rm -f "$CONF/Status_05_01.txt"
network_file 10.20.30.40 255.255.255.0 10.20.30.1 >"$CONF/ORV_Network.ini"
echo "fpga ones" >"$ROOT/sim/start"
sim_restart
expect_eq "off readings" "$(grep -c "network init sw off : FFFFFFFF" "$ROOT/sim/console.log")" 6
expect_eq "switch read error logged once" "$(log_count "Network init switch read error (FFFFFFFF): network settings kept")" 1
expect "user's address applied" journal_has "ifconfig eth0 10.20.30.40 netmask 255.255.255.0"
wait_for "lock shown" ini_is "$CONF/Status_05_01.txt" Now_TunerLock 1
for _ in $(seq 12); do # ticks of the time service, each rewriting its status file
    stamp=$(stat -c %y "$CONF/Status_05_01.txt") && wait_for "a tick" eval '[ "$(stat -c %y "$CONF/Status_05_01.txt")" != "$stamp" ]'
done
expect_eq "switch read error logged once while serving" "$(status_logs | grep -c 'Network init switch read error (FFFFFFFF)$' || true)" 1
expect "clock never set, NTP daemon never started, no END" eval '! journal | grep -qE "^/bin/date -s|^sudo /etc/init.d/ntp start|^echo END"'
sim_end
pass
