#!/usr/bin/env bash
# A setup change of the TOT settings (board 5): re-read, tuned to the new
# channel, the NTP daemon stopped and the new stratum written, then started
# again on the next take. A setup file of another board changes nothing.
. "$(dirname "$0")/lib.sh"

tot_file() {
    printf '%s\n' \
        ';;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;' \
        '; 内部機能 (TOT)                                 ;' \
        '; 本機能はORV_System.iniのSystemInfoで機能設定する ;' \
        ';;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;' \
        '[TOT]' \
        $'Status=1\t\t\t\t;10進数(8b) 0=Disable, 1=Enable' \
        $'Set_TOT_CH_TYPE=0\t\t;設定されているチャンネルタイプ(UHF,VHF,CATV)' \
        "Set_TOT_CH_NUM=$1"$'\t\t;設定されているチャンネル番号' \
        "Set_TOT_STRATUM=$2"$'\t\t;設定されているstratum値'
}

sim_start
wait_serving

step "channel 30, stratum 4"
tot_file 30 4 >"$CONF/Setup_05_01.ini"
send_setup_change /var/kelvatro/conf/Setup_05_01.ini
wait_for "the settings logged" log_has "SetChannel  : 30"
expect "stratum logged" log_has "SetStratum  : 4"
wait_for "tuned to channel 30" console_has "575142857[Hz] Tuning start..."
expect "NTP daemon stopped" journal_has "sudo /etc/init.d/ntp stop"
wait_for "stratum 3 under /etc" grep -qx "fudge 127.127.1.0 stratum 3" "$ROOT/etc/ntp.conf"
expect "stratum 3 written" grep -qx "fudge 127.127.1.0 stratum 3" "$CONF/ntp.conf"
wait_for "the new channel shown" ini_is "$CONF/Status_05_01.txt" Now_TOTCHNUM UHF-30
expect "the new stratum shown" ini_is "$CONF/Status_05_01.txt" Now_TOTSTRATUM 4
wait_for "NTP daemon started again" eval '[ "$(journal_count "sudo /etc/init.d/ntp start")" -eq 2 ]'

step "a setup file of board 6"
tot_file 40 9 >"$CONF/Setup_06_01.ini"
send_setup_change /var/kelvatro/conf/Setup_06_01.ini
wait_for "the setup pass printed" eval '[ "$(console_count "<DBG>pass:orv_parser_setup")" -eq 2 ]'
settle
expect_eq "nothing re-read" "$(log_count "SetChannel")" 1
expect_eq "nothing stopped" "$(journal_count "sudo /etc/init.d/ntp stop")" 1
expect "channel kept" ini_is "$CONF/Status_05_01.txt" Now_TOTCHNUM UHF-30

sim_end
pass
