#!/usr/bin/env bash
# Good signal to served time, on a broadcast past January 2038 (where a 32-bit
# time_t would overflow), and nothing lost on the way: a directory in the
# control FIFO's place is moved aside; RESET with ORV_System.ini damaged (any
# bytes, a directory) starts a new pass in the same process that restores it from its SD copy
# and serves again; the network and TOT settings changed in one write are both
# taken; a burst of 1,000 "reg" messages is handled whole.
. "$(dirname "$0")/lib.sh"

sim_start_file "broadcast 2038-02-01 00:00:00"
mkdir -p "$CONTROL/in-the-way"
sim_start
wait_serving
pid=$SIM_PID
fifo_made=$(stat -c %z "$CONTROL")
expect "the obstacle moved aside" test -d "$CONTROL.aside/in-the-way"
expect "the obstacle reported" log_has \
    "<ERR> /var/kelvatro/maincontrol was no FIFO: moved to /var/kelvatro/maincontrol.aside"

step "takes set the clock from the broadcast; the NTP daemon started once on stratum 7 - 1"
date_re='^/bin/date -s "2038/2/1 00:[0-5][0-9]:[0-5][0-9]\.[0-9]{6}"$'
wait_for "three clock settings" eval '[ "$(journal | grep -cE "$date_re")" -ge 3 ]'
snapshot=$(journal)
expect_eq "clock settings that carry the broadcast time" \
    "$(grep -cE "$date_re" <<<"$snapshot")" "$(grep -c '^/bin/date -s' <<<"$snapshot")"
expect_eq "NTP starts" "$(grep -c '^sudo /etc/init.d/ntp start$' <<<"$snapshot")" 1
expect "stratum 6 under /etc" grep -qx "fudge 127.127.1.0 stratum 6" "$ROOT/etc/ntp.conf"
wait_for "the broadcast date shown" ini_is "$CONF/Status_05_01.txt" Now_TOTDATE 2038/02/01

step "RESET with a damaged ORV_System.ini"
passes=1
for damage in random directory; do
    case $damage in
    random) head -c 2000 /dev/urandom >"$CONF/ORV_System.ini" ;;
    directory) rm "$CONF/ORV_System.ini" && mkdir "$CONF/ORV_System.ini" ;;
    esac
    taken=$(journal_count "/bin/date -s")
    send "RESET\n"
    passes=$((passes + 1))
    wait_for "pass $passes" eval '[ "$(log_count "Main Program Ready")" -eq $passes ]'
    expect "$damage: restored" cmp -s "$CONF/ORV_System.ini" "$SD/ORV_System.ini"
    wait_for "$damage: time served" eval '[ "$(journal_count "/bin/date -s")" -gt $taken ]'
done
expect_eq "restores reported" "$(log_count "<ERR> /var/kelvatro/conf/ORV_System.ini not whole")" 2
expect_eq "resets logged" "$(log_count "Main Program Reset")" 2
expect_eq "start banners" "$(log_count "<INF> ----- Main Program Start -----")" 3
expect_eq "process" "$SIM_PID" "$pid"
expect "FIFO made anew" eval '[ "$(stat -c %z "$CONTROL")" != "$fifo_made" ] && test -p "$CONTROL"'
expect_eq "switch polled again: eight start-up writes a pass" "$(gpio_count 0x1100)" 24
expect "no reboot, no power-off" eval '! journal_has shutdown && ! journal_has reboot'

step "network and TOT settings changed in one write"
network_file 10.1.2.3 255.255.254.0 10.1.2.1 192.0.2.53 >"$CONF/ORV_Network.ini"
sed -i -e 's/^Set_TOT_CH_NUM=[0-9]*/Set_TOT_CH_NUM=30/' -e 's/^Set_TOT_STRATUM=[0-9]*/Set_TOT_STRATUM=4/' \
    "$CONF/Setup_05_01.ini"
starts=$(journal_count "sudo /etc/init.d/ntp start")
stops=$(journal_count "sudo /etc/init.d/ntp stop")
send "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_Network.ini\n[SetupChange]\nFileName=/var/kelvatro/conf/Setup_05_01.ini\n"
wait_for "the TOT settings taken" log_has "SetChannel  : 30"
expect "the stratum logged" log_has "SetStratum  : 4"
expect "the network applied" journal_has "ifconfig eth0 10.1.2.3 netmask 255.255.254.0"
wait_for "tuned to channel 30" console_has "575142857[Hz] Tuning start..."
expect "NTP daemon stopped" eval '[ "$(journal_count "sudo /etc/init.d/ntp stop")" -gt $stops ]'
wait_for "stratum 3 under /etc" grep -qx "fudge 127.127.1.0 stratum 3" "$ROOT/etc/ntp.conf"
wait_for "the new channel shown" ini_is "$CONF/Status_05_01.txt" Now_TOTCHNUM UHF-30
expect "the new stratum shown" ini_is "$CONF/Status_05_01.txt" Now_TOTSTRATUM 4
wait_for "NTP daemon started again" eval '[ "$(journal_count "sudo /etc/init.d/ntp start")" -gt $starts ]'

step "1,000 reg messages in a burst"
exec 3>"$CONTROL"
for _ in $(seq 1000); do printf 'reg 6200\n' >&3; done
exec 3>&-
wait_for "every reg handled" eval '[ "$(log_count "reg (r) : addr=00006200")" -eq 1000 ]'
expect_eq "nothing dropped" "$(log_count "Control message")" 0

sim_end
pass
