#!/usr/bin/env bash
# Cold start with the network-init switch held: three on readings remove both
# network settings files, which come back with the factory values, and the
# factory address is applied. The switch still held once the time service runs
# then ends the program: 0x8900, 0x0A00 and END, powering off.
. "$(dirname "$0")/lib.sh"

network_file 10.20.30.40 255.255.255.0 10.20.30.1 >"$CONF/ORV_Network.ini"
cp -p "$CONF/ORV_Network.ini" "$ROOT/usr/kelvatro/conf/"
sim_start_file "switch on"

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"

step "three on readings, then the start goes on at once"
expect_eq "first GPIO writes" "$(gpio_values | head -n 6 | tr '\n' ' ')" \
    "0x1100 0x0200 0x0200 0x0200 0x1100 0x0100 "

step "both network files removed and written anew with factory values"
expect "SD copy removed" journal_has "rm -rf /usr/kelvatro/conf/ORV_Network.ini"
expect "RAM copy removed" journal_has "rm -rf /var/kelvatro/conf/ORV_Network.ini"
expect "factory set logged" log_has "<<Network file factory set>>"
for f in "$CONF/ORV_Network.ini" "$ROOT/usr/kelvatro/conf/ORV_Network.ini"; do
    expect "factory IP in $f" ini_is "$f" IP 192.168.105.10
    expect "factory gateway in $f" ini_is "$f" Gateway 192.168.105.1
    expect "factory DNS in $f" ini_is "$f" DnsP 0.0.0.0
done
expect "factory address applied" journal_has "ifconfig eth0 192.168.105.10 netmask 255.255.255.0"
expect "factory route applied" journal_has "route add default gw 192.168.105.1"
expect "old address never applied" eval '! journal_has "ifconfig eth0 10.20.30.40"'

step "the switch still held ends the program"
sim_wait_exit
expect "0x8900 shown" gpio_has 0x8900
expect "0x0A00 shown" gpio_has 0x0A00
expect "END sent through the FIFO" journal_has "echo END > /var/kelvatro/maincontrol"
expect "END logged" log_has "Main Program End"
expect "power-off journaled" journal_has "shutdown -h now"
pass
