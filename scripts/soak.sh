#!/usr/bin/env bash
# A day of operation of the simulated unit: 86,400 ticks of orv-sim (10 ms a
# tick unless ORV_SIM_TICK_MS says otherwise) with the signal, the TOT and the
# switch changing every few simulated minutes, the tuner falling silent now and
# then, a test command every minute and a setup change every hour. Prints the
# open descriptors, threads and resident memory of the process every few hours
# (the first and the last simulated hour among them) and the most status log
# files seen; fails when the unit ends early or leaves more than eight log files.
#
# Usage: scripts/soak.sh            (SOAK_HOURS=N for a shorter day)
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0      (a simulated day; SOAK_HOURS=N for a shorter one)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/sandbox-layout.sh
. "$repo/scripts/sandbox-layout.sh"

export TZ=${TZ:-Asia/Tokyo}
export ORV_SIM_TICK_MS=${ORV_SIM_TICK_MS:-10}
hours=${SOAK_HOURS:-24}
tick_ms=$ORV_SIM_TICK_MS

ORV_SIM=$(orv_sim_path "$repo")

root=$(mktemp -d /tmp/orv-soak-XXXXXX)
orv_sandbox_layout "$root"
export ORV_ROOT=$root
conf=$root/var/kelvatro/conf
sim_pid=

finish() {
    if [ -n "$sim_pid" ]; then
        kill -9 "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$root"
}
trap finish EXIT

# Seven older log generations and a current log near its limit, so that the
# day's lines rotate the full set at least once.
for n in 1 2 3 4 5 6 7; do head -c 131072 /dev/zero | tr '\0' '.' >"$root/var/www/StatusLog$n.txt"; done
head -c 126000 /dev/zero | tr '\0' '.' >"$root/var/www/StatusLog.txt"
echo >>"$root/var/www/StatusLog.txt"

(cd "$root/sim" && exec "$ORV_SIM") </dev/null >/dev/null 2>"$root/sim/stderr.log" &
sim_pid=$!

wait_for_file() {
    local deadline=$((SECONDS + 60))
    until [ -p "$1" ]; do
        kill -0 "$sim_pid" 2>/dev/null || { echo "soak: orv-sim ended at start" >&2; exit 1; }
        [ $SECONDS -lt $deadline ] || { echo "soak: no $1" >&2; exit 1; }
        sleep 0.1
    done
}
wait_for_file "$root/var/kelvatro/maincontrol"
wait_for_file "$root/sim/control"
# Writing ends held open for the whole day: no process per command, one write a
# message. A private FIFO that never has data serves as a sleep without a process.
exec 7>"$root/sim/control" 9>"$root/var/kelvatro/maincontrol"
mkfifo "$root/sim/pause"
exec 8<>"$root/sim/pause"

sim() { printf '%s\n' "$1" >&7; }

# gpio.log read as it grows, without a process per look.
exec 6<"$root/sim/gpio.log"
gpio_seen=
gpio_catch_up() {
    local line
    while read -r -u 6 line || [ -n "$line" ]; do gpio_seen=${line##* }; line=; done
}
# The switch held until the unit shows it (0x8900), at most two ticks: an
# indication, never the four ticks in a row that end the program.
switch_pulse() {
    local deadline
    now_ms
    deadline=$((now + 2 * tick_ms))
    gpio_catch_up
    sim "switch on"
    while now_ms && [ "$now" -lt "$deadline" ]; do
        gpio_catch_up
        [ "$gpio_seen" != 0x8900 ] || break
        pause_ms 1
    done
    sim "switch off"
}
send() { printf '%b' "$1" >&9; }
pause_ms() { read -r -t "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))" -u 8 || true; }

# Sets now to the wall clock in milliseconds.
now_ms() {
    local t=${EPOCHREALTIME/./}
    now=$((t / 1000))
}
now_ms
start_ms=$now
# Waits until the given simulated minute of the day has begun.
until_minute() {
    local target=$((start_ms + $1 * 60 * tick_ms))
    now_ms
    [ "$now" -ge "$target" ] || pause_ms $((target - now))
}

max_logs=0
count_logs() {
    local n
    n=$(find "$root/var/www" -maxdepth 1 -name 'StatusLog*.txt' | wc -l)
    [ "$n" -le "$max_logs" ] || max_logs=$n
}

sample() {
    local fds threads rss
    fds=$(find "/proc/$sim_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
    threads=$(find "/proc/$sim_pid/task" -mindepth 1 -maxdepth 1 | wc -l)
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$sim_pid/status")
    printf 'hour %2d: descriptors %3d  threads %2d  VmRSS %6d kB  log files %d\n' \
        "$1" "$fds" "$threads" "$rss" "$max_logs"
    eval "fds_$1=$fds threads_$1=$threads rss_$1=$rss"
}

network_file() {
    printf '%s\n' '[ORVNetwork]' "IP=$1"$'\t; IPアドレス' $'NetMask=255.255.255.0\t; サブネットマスク' \
        "Gateway=${1%.*}.1"$'\t; デフォルトゲートウェイ'
}
tot_file() {
    printf '%s\n' '[TOT]' $'Status=1\t\t\t\t;' $'Set_TOT_CH_TYPE=0\t\t;' "Set_TOT_CH_NUM=$1"$'\t\t;' \
        $'Set_TOT_STRATUM=7\t\t;'
}

# The hourly setup change, one kind after another.
setup_change() {
    local hour=$1 name
    case $((hour % 4)) in
    0)
        network_file "10.0.$((hour % 200)).10" >"$conf/ORV_Network.ini"
        name=ORV_Network.ini
        ;;
    1)
        tot_file $((27 + hour % 2)) >"$conf/Setup_05_01.ini"
        name=Setup_05_01.ini
        ;;
    2) name=ORV_System.ini ;;
    3)
        printf '%s\n' '[ORVCurrent]' "SetDate=2030/01/$(printf %02d $((hour % 28 + 1)))" \
            'SetTime=12:00:00' >"$conf/ORV_Current.edit.ini"
        name=ORV_Current.edit.ini
        ;;
    esac
    send "[SetupChange]\nFileName=/var/kelvatro/conf/$name\n"
}

ended_early() {
    echo "soak: orv-sim ended $1; the last of its status log and journal:" >&2
    tail -n 5 "$root/var/www/StatusLog.txt" "$root/sim/commands.log" "$root/sim/stderr.log" >&2 || true
    exit 1
}

echo "soak: $hours simulated hours at $tick_ms ms a tick, sandbox $root, pid $sim_pid"
minutes=$((hours * 60))
pulses=0
for ((m = 1; m <= minutes; m++)); do
    until_minute "$m"
    kill -0 "$sim_pid" 2>/dev/null || ended_early "in minute $m"
    send "reg ff00\n"
    case $((m % 7)) in 0) sim "signal off" ;; 2) sim "signal on" ;; esac
    case $((m % 29)) in 0) sim "tot off" ;; 18) sim "tot on" ;; esac
    case $((m % 97)) in 0) sim "tuner silent" ;; 1) sim "tuner normal" ;; esac
    if [ $((m % 11)) -eq 5 ]; then
        switch_pulse
        pulses=$((pulses + 1))
    fi
    if [ $((m % 60)) -eq 30 ]; then
        pause_ms $((tick_ms * 5)) # apart from the test command, or one read takes both
        setup_change $((m / 60))
    fi
    count_logs
    if [ $((m % 60)) -eq 0 ]; then
        h=$((m / 60))
        if [ "$h" -eq 1 ] || [ "$h" -eq "$hours" ] || [ $((h % 6)) -eq 0 ]; then sample "$h"; fi
    fi
done

journal=$root/sim/commands.log
printf 'takes and alignments: %d  tuner restarts: %d  NTP daemon starts: %d  0x8900 shown: %d times, switch pulses: %d\n' \
    "$(grep -c ' /bin/date -s ' "$journal" || true)" \
    "$(cat "$root"/var/www/StatusLog*.txt | grep -c 'Tuner Restart' || true)" \
    "$(grep -c 'ntp start' "$journal" || true)" \
    "$(grep -c ' 0x8900$' "$root/sim/gpio.log" || true)" "$pulses"
pause_ms $((tick_ms * 5))
send "END\n"
exec 7>&- 9>&-
deadline=$((SECONDS + 60))
while kill -0 "$sim_pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || { echo "soak: orv-sim did not end on END" >&2; exit 1; }
    sleep 0.1
done
status=0
wait "$sim_pid" || status=$?
sim_pid=
echo "soak: orv-sim ended with status $status; at most $max_logs status log files"
first=1
last=$hours
eval "echo \"soak: first hour fds \$fds_$first threads \$threads_$first rss \$rss_$first kB;" \
    "last hour fds \$fds_$last threads \$threads_$last rss \$rss_$last kB\""
[ "$status" -eq 0 ] && [ "$max_logs" -le 8 ]
