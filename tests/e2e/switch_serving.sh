#!/usr/bin/env bash
# The network-init switch held while serving: 0x8900 for three ticks, then
# 0x0A00 and END through the control FIFO; the program ends and powers off.
. "$(dirname "$0")/lib.sh"

sim_start
wait_serving

step "switch held"
sim_control "switch on"
sim_wait_exit
expect_eq "indication after the takes" "$(gpio_values | awk '$0 != "0x4500"' | tail -n 2 | tr '\n' ' ')" "0x8900 0x0A00 "
expect "END sent through the FIFO" journal_has "echo END > /var/kelvatro/maincontrol"
expect "END logged" log_has "Main Program End"
expect "power-off journaled" journal_has "shutdown -h now"
expect "no reboot" eval '! journal_has "reboot"'
expect "network settings kept" eval '! journal_has "rm -rf /var/kelvatro/conf/ORV_Network.ini"'
pass
