#!/usr/bin/env bash
# Power cuts, as SIGKILL: runs orv-sim in a sandbox while a stream of setup
# changes makes it rewrite ORV_System.ini (each names a copy with an old
# version, which the unit resets and writes back with its SD copy) and RESETs
# make it read every settings file anew; kills it at a random moment, then
# checks that every settings file, on the RAM disk and on the SD card, is whole.
# Prints the counts; exits 1 when a file was found damaged.
#
#   scripts/kill-test.sh [kills]     (default 200; ORV_SIM names the orv-sim
#                                     to run, default build/orv-sim)
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 [kills]     (default 200; ORV_SIM names the orv-sim to run)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kills=${1:-200}
# shellcheck source=sandbox-layout.sh
. "$repo/scripts/sandbox-layout.sh"
sim=$(orv_sim_path "$repo")

root=$(mktemp -d /tmp/orv-kill-XXXXXX)
export ORV_ROOT=$root TZ=Asia/Tokyo ORV_SIM_TICK_MS=5
orv_sandbox_layout "$root"
conf=$root/var/kelvatro/conf
sd=$root/usr/kelvatro/conf
control=$root/var/kelvatro/maincontrol
sim_pid=
driver_pid=
cleanup() {
    for pid in $driver_pid $sim_pid; do
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$root"
}
trap cleanup EXIT
trap "exit 1" INT TERM

# whole FILE SECTION KEY...: a regular file with the section header and, after
# it, every key, each on a whole line.
whole() {
    local file=$1 section=$2 key
    shift 2
    [ -f "$file" ] && [ ! -L "$file" ] && [ -s "$file" ] && [ -z "$(tail -c 1 "$file")" ] || return 1
    sed -n "/^$(sed 's/[][]/\\&/g' <<<"$section")/,\$p" "$file" >"$root/section" || return 1
    [ -s "$root/section" ] || return 1
    for key; do grep -q "^$key=" "$root/section" || return 1; done
}
system_whole() {
    whole "$1" "[ORVSystem]" Version UnitID UnitName SystemInfo OptionInfo CustumInfo Language \
        HeaderTime TimeAdjust TimeAdjustInt WebControl MakeDate MakeTime ModifyDate ModifyTime \
        AutoReset AutoResetTime
}
network_whole() { whole "$1" "[ORVNetwork]" IP NetMask Gateway Syslog snmp DnsP DnsS; }
tot_whole() { whole "$1" "[TOT]" Status Set_TOT_CH_TYPE Set_TOT_CH_NUM Set_TOT_STRATUM; }

# A message into the control FIFO, only while the unit holds it open.
send() {
    printf '%b' "$1" >"$root/sim/message"
    dd if="$root/sim/message" of="$control" bs=4096 oflag=nonblock conv=nocreat,notrunc \
        status=none 2>/dev/null || true
}

# The web front end: an edited system file with an old version, put in place
# whole, then the setup change; now and then a RESET.
drive() {
    local n=0
    while :; do
        n=$((n + 1))
        if [ -f "$sd/ORV_System.ini" ]; then
            sed 's/^Version=[0-9A-F]*/Version=01000003/' "$sd/ORV_System.ini" >"$conf/edit.tmp" &&
                mv "$conf/edit.tmp" "$conf/ORV_System.ini" || true
        fi
        send "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_System.ini\n"
        [ $((n % 10)) -ne 0 ] || send "RESET\n"
        sleep 0.005
    done
}

start_unit() {
    (cd "$root/sim" && exec "$sim") </dev/null >>"$root/sim/console.log" 2>&1 &
    sim_pid=$!
}

ready_count() { cat "$root/sim/console.log" 2>/dev/null | grep -c "Main Program Ready" || true; }

# Starts the unit and waits until it serves the FIFO.
start_and_wait() {
    local before
    before=$(ready_count)
    start_unit
    for _ in $(seq 1200); do
        [ "$(ready_count)" -le "$before" ] || return 0
        sleep 0.02
    done
    echo "kill-test: orv-sim did not start" >&2
    exit 1
}

checked=0
damaged=0
for kill in $(seq "$kills"); do
    start_and_wait
    drive &
    driver_pid=$!
    sleep "0.$(printf "%03d" $((RANDOM % 400)))"
    kill -9 "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
    kill -9 "$driver_pid"
    wait "$driver_pid" 2>/dev/null || true
    driver_pid=
    for dir in "$conf" "$sd"; do
        for check in "system_whole $dir/ORV_System.ini" "network_whole $dir/ORV_Network.ini" \
            "tot_whole $dir/Setup_05_01.ini"; do
            checked=$((checked + 1))
            if ! $check; then
                damaged=$((damaged + 1))
                echo "kill $kill: damaged: ${check#* }" >&2
            fi
        done
    done
    [ $((kill % 20)) -ne 0 ] || echo "kill-test: $kill kills, $damaged damaged files" >&2
done

logs=$(cat "$root/sim/console.log")
echo "kills:                  $kills"
echo "version resets written: $(grep -c "<<Resetting Version>>" <<<"$logs" || true)"
echo "settings files checked: $checked"
echo "damaged files:          $damaged"
echo "restored at start:      $(grep -c "not whole" <<<"$logs" || true)"
echo "failed writes:          $(grep -c "<ERR> Cannot write" <<<"$logs" || true)"
[ "$damaged" -eq 0 ]
