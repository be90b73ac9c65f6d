#!/usr/bin/env bash
# Cold start with the network-init switch untouched: six off readings, the
# network settings kept as they are and applied, the function, TOT settings and
# current-state files written, then the unit powers off on END.
. "$(dirname "$0")/lib.sh"

network_file 10.20.30.40 255.255.255.0 10.20.30.1 >"$CONF/ORV_Network.ini"
cp -p "$CONF/ORV_Network.ini" "$ROOT/usr/kelvatro/conf/"
network_before=$(cat "$CONF/ORV_Network.ini")
system_before=$(cat "$CONF/ORV_System.ini")

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"

step "start-up indication: 0x1100 at start, after six off readings and after the network apply, then 0x0100"
expect_eq "first GPIO writes" "$(gpio_values | head -n 9 | tr '\n' ' ')" \
    "0x1100 0x1100 0x1100 0x1100 0x1100 0x1100 0x1100 0x1100 0x0100 "
expect "no on reading" test "$(gpio_count 0x0200)" -eq 0

step "network settings kept and applied"
expect_eq "RAM-disk network file" "$(cat "$CONF/ORV_Network.ini")" "$network_before"
expect_eq "SD-card network file" "$(cat "$ROOT/usr/kelvatro/conf/ORV_Network.ini")" "$network_before"
expect "no network factory set" eval '! log_has "<<Network file factory set>>"'
expect "interface configured" journal_has "ifconfig eth0 10.20.30.40 netmask 255.255.255.0"
expect "default route" journal_has "route add default gw 10.20.30.1"
expect "dhcpcd reloaded" journal_has "sudo service dhcpcd reload"
expect_eq "dhcpcd.conf" "$(cat "$CONF/dhcpcd.conf")" "interface eth0
static ip_address=10.20.30.40/24
static routers=10.20.30.1
static domain_name_servers=0.0.0.0"
expect_eq "dhcpcd.conf under /etc" "$(cat "$ROOT/etc/dhcpcd.conf")" "$(cat "$CONF/dhcpcd.conf")"
expect_eq "resolv.conf" "$(cat "$ROOT/etc/resolv.conf")" "nameserver 0.0.0.0
nameserver 0.0.0.0"

step "system settings read as they stand"
expect_eq "system file" "$(cat "$CONF/ORV_System.ini")" "$system_before"
expect "system info logged" log_has "System Info : 04000000"

step "function file and TOT settings"
expect "IntSlotNum" ini_is "$CONF/ORV_Function.ini" IntSlotNum 1
expect "TOT slot" ini_is "$CONF/ORV_Function.ini" Name TOT
expect "TOT factory set" log_has "<<TOT file factory set>>"
expect "factory channel" ini_is "$CONF/Setup_05_01.ini" Set_TOT_CH_NUM 27
expect "factory stratum" ini_is "$CONF/Setup_05_01.ini" Set_TOT_STRATUM 7
expect "TOT settings saved" test -f "$ROOT/usr/kelvatro/conf/Setup_05_01.ini"
expect "tuner opened" eval '! log_has "Tuner Init NG"'

step "current-state file rewritten every second"
wait_for "ORV_Current.ini" test -f "$CONF/ORV_Current.ini"
expect "no set date yet" ini_is "$CONF/ORV_Current.ini" SetDate 0000/00/00
first=$(ini_value "$CONF/ORV_Current.ini" NowTime)
wait_for "NowTime to change" eval '[ "$(ini_value "$CONF/ORV_Current.ini" NowTime)" != "$first" ]'

sim_end
expect "nothing but END ended it" test "$(journal_count reboot)" -eq 0
pass
