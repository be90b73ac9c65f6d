#!/usr/bin/env bash
# Good signal to served time, and nothing lost on the way: a directory in the
# control FIFO's place is moved aside; RESET with a directory in the place of
# ORV_System.ini starts a new pass that restores it from its SD copy and serves
# again; the network and TOT settings changed in one write are both taken; a
# burst of 1,000 "reg" messages is handled whole; no TOT for 600 locked ticks
# restarts the tuner (reason 1), and the NTP daemon serves on through it and
# through the tune to a new channel (restarted only for the holdover, 4 strata
# higher, and at the take that ends it).
. "$(dirname "$0")/lib.sh"

ntp_starts() { journal_count "sudo /etc/init.d/ntp start"; }
ntp_stops() { journal_count "sudo /etc/init.d/ntp stop"; }

mkdir -p "$CONTROL/in-the-way"
sim_start
wait_serving
expect "the obstacle moved aside and reported" eval 'test -d "$CONTROL.aside/in-the-way" && log_has \
    "<ERR> /var/kelvatro/maincontrol was no FIFO: moved to /var/kelvatro/maincontrol.aside"'

step "RESET with a directory in the place of ORV_System.ini"
rm "$CONF/ORV_System.ini" && mkdir "$CONF/ORV_System.ini"
taken=$(journal_count "/bin/date -s")
send "RESET\n"
wait_for "a second pass" eval '[ "$(log_count "Main Program Ready")" -eq 2 ]'
expect "restored" cmp -s "$CONF/ORV_System.ini" "$SD/ORV_System.ini"
wait_for "time served" eval '[ "$(journal_count "/bin/date -s")" -gt $taken ]'
expect_eq "switch polled again: eight start-up writes a pass" "$(gpio_count 0x1100)" 16
expect "no reboot, no power-off" eval '! journal_has shutdown && ! journal_has reboot'

step "network and TOT settings changed in one write"
network_file 10.1.2.3 255.255.254.0 10.1.2.1 192.0.2.53 >"$CONF/ORV_Network.ini"
sed -i 's/^Set_TOT_CH_NUM=[0-9]*/Set_TOT_CH_NUM=30/' "$CONF/Setup_05_01.ini"
stops=$(ntp_stops)
send "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_Network.ini\n[SetupChange]\nFileName=/var/kelvatro/conf/Setup_05_01.ini\n"
wait_for "tuned to channel 30" console_has "575142857[Hz] Tuning start..."
expect "the network applied" journal_has "ifconfig eth0 10.1.2.3 netmask 255.255.254.0"
taken=$(journal_count "/bin/date -s")
wait_for "taken on the new channel" eval '[ "$(journal_count "/bin/date -s")" -gt $taken ]'
expect_eq "the NTP daemon served on through the tune" "$(ntp_stops)" "$stops"

step "1,000 reg messages in a burst"
exec 3>"$CONTROL"
for _ in $(seq 1000); do printf 'reg 6200\n' >&3; done
exec 3>&-
# Logged once a second, the rest counted: the lines and the counts make 1,000.
reg_echoes() { status_logs | awk '/reg \(r\) : addr=00006200/ { n += $4 == "Held" ? $6 : 1 } END { print n + 0 }'; }
wait_for "every reg handled, none dropped" eval '[ "$(reg_echoes)" -eq 1000 ]'

step "no TOT arrives"
starts=$(ntp_starts) stops=$(ntp_stops)
sim_control "tot off"
wait_for "the tuner restart after 600 ticks" log_has "Tuner Restart (1)"
wait_for "the board restart script run" journal_has "/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;"
expect_eq "the NTP daemon restarted only for the holdover" "$(ntp_stops) $(ntp_starts)" "$((stops + 1)) $((starts + 1))"
sim_control "tot on"
wait_for "restarted at the take that ends the holdover" eval '[ "$(ntp_starts)" -gt $((starts + 1)) ]'
sim_end
pass
