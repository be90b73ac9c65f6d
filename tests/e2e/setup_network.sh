#!/usr/bin/env bash
# A setup change of the network settings file: re-read and applied (interface,
# route, resolver, the dhcpcd entries rewritten in place).
. "$(dirname "$0")/lib.sh"

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"
expect "factory network applied at start" journal_has "ifconfig eth0 192.168.105.10 netmask 255.255.255.0"

step "new network settings"
network_file 10.1.2.3 255.255.254.0 10.1.2.1 192.0.2.53 >"$CONF/ORV_Network.ini"
send_setup_change /var/kelvatro/conf/ORV_Network.ini
wait_for "the new address applied" journal_has "ifconfig eth0 10.1.2.3 netmask 255.255.254.0"
wait_for "dhcpcd reloaded twice" eval '[ "$(journal_count "sudo service dhcpcd reload")" -eq 2 ]'
expect "route replaced" journal_has "route add default gw 10.1.2.1"
expect "printed" log_has "IP Addr     : 10.1.2.3"
expect "DNS printed" log_has "DNS P       : 192.0.2.53"
expect_eq "dhcpcd.conf entries rewritten in place" "$(cat "$CONF/dhcpcd.conf")" "interface eth0
static ip_address=10.1.2.3/23
static routers=10.1.2.1
static domain_name_servers=192.0.2.53"
expect_eq "dhcpcd.conf under /etc" "$(cat "$ROOT/etc/dhcpcd.conf")" "$(cat "$CONF/dhcpcd.conf")"
expect_eq "resolv.conf" "$(cat "$ROOT/etc/resolv.conf")" "nameserver 192.0.2.53
nameserver 0.0.0.0"
expect "file not rewritten" ini_is "$CONF/ORV_Network.ini" IP 10.1.2.3

sim_end
pass
