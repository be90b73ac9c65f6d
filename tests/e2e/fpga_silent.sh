#!/usr/bin/env bash
# An FPGA that does not answer, read as all ones from power-on: no reading of
# the network-init switch (the user's network settings stay, no END while
# serving) and no broadcast time (the clock is never set, the NTP daemon never
# started); each kind of failed read is logged once.
. "$(dirname "$0")/lib.sh"

network_file 10.20.30.40 255.255.255.0 10.20.30.1 >"$CONF/ORV_Network.ini"
sim_start_file "fpga ones"
sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"

step "the start reads the switch as off and keeps the user's network"
expect_eq "off readings" "$(console_count "network init sw off : FFFFFFFF")" 6
expect_eq "switch read error logged once" \
    "$(log_count "Network init switch read error (FFFFFFFF): network settings kept")" 1
expect "user's address applied" journal_has "ifconfig eth0 10.20.30.40 netmask 255.255.255.0"

step "serving: locked, but no time and no switch"
wait_for "lock shown" ini_is "$CONF/Status_05_01.txt" Now_TunerLock 1
wait_ticks 12
expect_eq "switch read error logged once while serving" \
    "$(status_logs | grep -c 'Network init switch read error (FFFFFFFF)$' || true)" 1
expect "clock never set, NTP daemon never started, no END" \
    eval '! journal | grep -qE "^/bin/date -s|^sudo /etc/init.d/ntp start|^echo END"'
sim_end
pass
