#!/usr/bin/env bash
# A day of operation of the simulated unit: 86,400 ticks of orv-sim (10 ms a
# tick unless ORV_SIM_TICK_MS says otherwise) with the signal, the TOT and the
# switch changing every few simulated minutes, the tuner falling silent now and
# then, a test command every minute and a setup change every hour. Prints the
# open descriptors, threads and resident memory of the process every few hours
# (the first and the last simulated hour among them) and the most status log
# files seen; fails when the unit ends early or leaves more than eight log files.
# Usage: tests/tools/soak.sh            (SOAK_HOURS=N for a shorter day)
case ${1:-} in -h | --help) echo "Usage: $0      (a simulated day; SOAK_HOURS=N for a shorter one)" && exit 0 ;; esac
export ORV_SIM_TICK_MS=${ORV_SIM_TICK_MS:-10}
hours=${SOAK_HOURS:-24}
tick_ms=$ORV_SIM_TICK_MS
# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# Seven older log generations and a current log near its limit, so that the
# day's lines rotate the full set at least once.
for n in 1 2 3 4 5 6 7; do head -c 131072 /dev/zero | tr '\0' '.' >"$ROOT/var/www/StatusLog$n.txt"; done
head -c 126000 /dev/zero | tr '\0' '.' >"$ROOT/var/www/StatusLog.txt"
echo >>"$ROOT/var/www/StatusLog.txt"

sim_start
wait_for "the control FIFOs" eval '[ -p "$CONTROL" ] && [ -p "$ROOT/sim/control" ]'
# Writing ends held open for the whole day: no process per command, one write a
# message. A private FIFO that never has data serves as a sleep without a process.
exec 7>"$ROOT/sim/control" 9>"$CONTROL"
mkfifo "$ROOT/sim/pause"
exec 8<>"$ROOT/sim/pause"

sim() { printf '%s\n' "$1" >&7; }

# gpio.log read as it grows, without a process per look.
exec 6<"$ROOT/sim/gpio.log"
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
    n=$(find "$ROOT/var/www" -maxdepth 1 -name 'StatusLog*.txt' | wc -l)
    [ "$n" -le "$max_logs" ] || max_logs=$n
}

sample() {
    local fds threads rss
    fds=$(find "/proc/$SIM_PID/fd" -mindepth 1 -maxdepth 1 | wc -l)
    threads=$(find "/proc/$SIM_PID/task" -mindepth 1 -maxdepth 1 | wc -l)
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$SIM_PID/status")
    printf 'hour %2d: descriptors %3d  threads %2d  VmRSS %6d kB  log files %d\n' \
        "$1" "$fds" "$threads" "$rss" "$max_logs"
}

# The hourly setup change, one kind after another.
setup_change() {
    local hour=$1 name
    case $((hour % 4)) in
    0)
        printf '%s\n' '[ORVNetwork]' "IP=10.0.$((hour % 200)).10"$'\t; IPアドレス' \
            $'NetMask=255.255.255.0\t; サブネットマスク' "Gateway=10.0.$((hour % 200)).1" >"$CONF/ORV_Network.ini"
        name=ORV_Network.ini
        ;;
    1)
        printf '%s\n' '[TOT]' 'Status=1' 'Set_TOT_CH_TYPE=0' "Set_TOT_CH_NUM=$((27 + hour % 2))" \
            'Set_TOT_STRATUM=7' >"$CONF/Setup_05_01.ini"
        name=Setup_05_01.ini
        ;;
    2) name=ORV_System.ini ;;
    3)
        printf '%s\n' '[ORVCurrent]' "SetDate=2030/01/$(printf %02d $((hour % 28 + 1)))" \
            'SetTime=12:00:00' >"$CONF/ORV_Current.edit.ini"
        name=ORV_Current.edit.ini
        ;;
    esac
    send "[SetupChange]\nFileName=/var/kelvatro/conf/$name\n"
}

echo "soak: $hours simulated hours at $tick_ms ms a tick, sandbox $ROOT, pid $SIM_PID"
minutes=$((hours * 60))
pulses=0
for ((m = 1; m <= minutes; m++)); do
    until_minute "$m"
    sim_alive || fail "orv-sim ended in minute $m"
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

printf 'takes and alignments: %d  tuner restarts: %d  NTP daemon starts: %d  0x8900 shown: %d times, switch pulses: %d\n' \
    "$(journal_count "/bin/date -s ")" "$(log_count "Tuner Restart")" "$(journal_count "ntp start")" \
    "$(gpio_count 0x8900)" "$pulses"
pause_ms $((tick_ms * 5))
send "END\n"
exec 7>&- 9>&-
sim_wait_exit
echo "soak: orv-sim ended with status 0; at most $max_logs status log files"
[ "$max_logs" -le 8 ]
