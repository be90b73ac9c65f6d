#!/usr/bin/env bash
# Usage: tests/tools/kill-test.sh [kills]     (default 200)
# Power cuts, as SIGKILL: runs orv-sim in a sandbox while a stream of setup
# changes makes it rewrite ORV_System.ini (each names a copy with an old
# version, which the unit resets and writes back with its SD copy) and RESETs
# make it read every settings file anew; kills it at a random moment, then
# checks that every settings file, on the RAM disk and on the SD card, is whole.
# Prints the counts; exits 1 when a file was found damaged.
. "$(dirname "$0")/lib.sh"
kills=${1:-200}
export ORV_SIM_TICK_MS=5
tools_sandbox

# whole FILE SECTION KEY...: a regular file ending in a newline with the
# [SECTION] header and, after it, every key, each on a whole line.
whole() {
    [ -f "$1" ] && [ ! -L "$1" ] && [ -s "$1" ] && [ -z "$(tail -c 1 "$1")" ] &&
        awk -v keys="${*:3}" -v section="[$2]" 'index($0, section) == 1 && !n { left = n = split(keys, k) }
            n { for (i in k) if (index($0, k[i] "=") == 1) { delete k[i]; left-- } } END { exit !(n && !left) }' "$1"
}
checks=("ORV_System.ini ORVSystem Version UnitID UnitName SystemInfo OptionInfo CustumInfo Language
    HeaderTime TimeAdjust TimeAdjustInt WebControl MakeDate MakeTime ModifyDate ModifyTime AutoReset AutoResetTime"
    "ORV_Network.ini ORVNetwork IP NetMask Gateway Syslog snmp DnsP DnsS"
    "Setup_05_01.ini TOT Status Set_TOT_CH_TYPE Set_TOT_CH_NUM Set_TOT_STRATUM")

# A message into the control FIFO, only while the unit holds it open.
send() { printf '%b' "$1" | dd of="$CONTROL" bs=4096 iflag=fullblock oflag=nonblock conv=nocreat,notrunc status=none 2>/dev/null || true; }

# The web front end: an edited system file with an old version, put in place
# whole, then the setup change; now and then a RESET.
drive() {
    local n=0
    while n=$((n + 1)); do
        sed 's/^Version=[0-9A-F]*/Version=01000003/' "$SD/ORV_System.ini" >"$CONF/edit.tmp" 2>/dev/null &&
            mv "$CONF/edit.tmp" "$CONF/ORV_System.ini" || true
        send "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_System.ini\n"
        [ $((n % 10)) -ne 0 ] || send "RESET\n"
        sleep 0.005
    done
}

checked=0 damaged=0
for kill in $(seq "$kills"); do
    sim_start
    wait_for "Main Program Ready" console_has "Main Program Ready"
    drive & E2E_PIDS=($!)
    sleep "0.$(printf "%03d" $((RANDOM % 400)))"
    kill -9 "$SIM_PID" "${E2E_PIDS[@]}"
    wait "$SIM_PID" "${E2E_PIDS[@]}" 2>/dev/null || true
    SIM_PID= E2E_PIDS=()
    cat "$ROOT/sim/console.log" >>"$ROOT/sim/runs.log"
    for file in "${checks[@]/#/$CONF/}" "${checks[@]/#/$SD/}"; do
        set -- $file && checked=$((checked + 1)) # the file, its section and its keys as words
        whole "$@" || { damaged=$((damaged + 1)) && echo "kill $kill: damaged: $1" >&2; }
    done
    [ $((kill % 20)) -ne 0 ] || echo "kill-test: $kill kills, $damaged damaged files" >&2
done

runs() { grep -c "$1" "$ROOT/sim/runs.log" || true; }
printf '%-24s%s\n' "kills:" "$kills" "version resets written:" "$(runs "<<Resetting Version>>")" "settings files checked:" \
    "$checked" "damaged files:" "$damaged" "restored at start:" "$(runs "not whole")" "failed writes:" "$(runs "<ERR> Cannot write")"
[ "$damaged" -eq 0 ]
