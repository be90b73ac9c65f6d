#!/usr/bin/env bash
# Good signal to served time: the broadcast time is taken and set with
# "/bin/date -s" to the microsecond, the NTP daemon is started once with the
# configured stratum, and the status and current-state files follow every tick.
# The broadcast lies past January 2038, where a 32-bit time_t would overflow.
. "$(dirname "$0")/lib.sh"

sim_start_file "broadcast 2038-02-01 00:00:00"
sim_start
wait_serving

step "takes set the clock from the broadcast"
date_re='^/bin/date -s "2038/2/1 00:[0-5][0-9]:[0-5][0-9]\.[0-9]{6}"$'
wait_for "three clock settings" eval '[ "$(journal | grep -cE "$date_re")" -ge 3 ]'
snapshot=$(journal)
expect_eq "clock settings that carry the broadcast time" \
    "$(grep -cE "$date_re" <<<"$snapshot")" "$(grep -c '^/bin/date -s' <<<"$snapshot")"
expect "taken time shown" gpio_has 0x4500
expect "the first take logs no TOT Updated" eval '! log_has "TOT Updated"'

step "the NTP daemon started once, on the configured stratum"
expect_eq "NTP starts" "$(journal_count "sudo /etc/init.d/ntp start")" 1
expect_eq "server start logged" "$(log_count "Start TOT Time Server")" 1
expect "no NTP stop" eval '! journal_has "sudo /etc/init.d/ntp stop"'
expect "stratum edit journaled" journal_has "grep -l 'fudge 127.127.1.0 stratum' /var/kelvatro/conf/ntp.conf | xargs sed -i -e 's/fudge 127.127.1.0 stratum.*/fudge 127.127.1.0 stratum 6/g'"
expect "stratum 6 in the working copy" grep -qx "fudge 127.127.1.0 stratum 6" "$CONF/ntp.conf"
expect "stratum 6 under /etc" grep -qx "fudge 127.127.1.0 stratum 6" "$ROOT/etc/ntp.conf"
expect "local clock kept" grep -qx "server 127.127.1.0" "$CONF/ntp.conf"

step "status file"
status=$CONF/Status_05_01.txt
wait_for "lock shown" ini_is "$status" Now_TunerLock 1
expect "NTP shown running" ini_is "$status" Now_TOTNTP 1
expect "channel" ini_is "$status" Now_TOTCHNUM UHF-27
expect "stratum" ini_is "$status" Now_TOTSTRATUM 7
expect "broadcast date" ini_is "$status" Now_TOTDATE 2038/02/01
expect "good SNR" ini_is "$status" Now_TOTSNR 28
expect "no bit errors" ini_is "$status" Now_TOTber 0

step "status file rewritten every tick, current-state file every second"
stamp=$(stat -c %y "$status")
wait_for "status file rewritten" eval '[ "$(stat -c %y "$status")" != "$stamp" ]'
now=$(ini_value "$CONF/ORV_Current.ini" NowTime)
wait_for "NowTime to change" eval '[ "$(ini_value "$CONF/ORV_Current.ini" NowTime)" != "$now" ]'

sim_end
pass
