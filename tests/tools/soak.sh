#!/usr/bin/env bash
# Usage: [SOAK_HOURS=24] [ORV_SIM_TICK_MS=10] tests/tools/soak.sh     (SOAK_HOURS=1 ORV_SIM_TICK_MS=2: 3,600 rewrites under the reader)
# A day of operation of the simulated unit: 86,400 ticks of orv-sim with the
# signal, the TOT and the switch changing every few simulated minutes, the tuner
# falling silent now and then, a test command every minute and a setup change
# every hour, while a reader polls ORV_Current.ini and Status_05_01.txt as the
# web front end does. Prints descriptors, threads and resident memory every few
# hours (the first and last hour among them); fails when the unit ends early,
# leaves more than eight status log files or a read finds a file not whole
# (banner to last key).
. "$(dirname "$0")/lib.sh"
export ORV_SIM_TICK_MS=${ORV_SIM_TICK_MS:-10}
hours=${SOAK_HOURS:-24} tick_ms=$ORV_SIM_TICK_MS
tools_sandbox

# Seven older log generations and a current log near its limit, so that the
# day's lines rotate the full set at least once.
for n in 1 2 3 4 5 6 7; do head -c 131072 /dev/zero | tr '\0' '.' >"$ROOT/var/www/StatusLog$n.txt"; done
{ head -c 126000 /dev/zero | tr '\0' '.' && echo; } >"$ROOT/var/www/StatusLog.txt"

sim_start
wait_for "the control FIFOs and status files" eval '[ -p "$CONTROL" ] && [ -p "$ROOT/sim/control" ] &&
    [ -f "$CONF/Status_05_01.txt" ] && [ -f "$CONF/ORV_Current.ini" ]'

# Reads both files over and over; each must begin with its banner and end with
# the whole line of its last key, which stands only there. On TERM, leaves its
# counts in sim/reads.
reader() {
    local reads=0 partial=0 text file last
    trap 'echo "$reads $partial" >"$ROOT/sim/reads"; exit' TERM
    while :; do
        for file in ORV_Current.ini:0F Status_05_01.txt:Now_TOTTIME; do
            text= && IFS= read -r -d '' text <"$CONF/${file%:*}" || true
            last=${text%$'\n'} && last=${last##*$'\n'} && reads=$((reads + 1))
            [[ $text == ";;;;"* && $text == *$'\n' && $last == "${file#*:}="* ]] ||
                { partial=$((partial + 1)) && echo "partial ${file%:*}: ${#text} bytes" >&2; }
        done
    done
}
reader & reader_pid=$! && E2E_PIDS+=("$reader_pid")

# Writing ends held open for the whole day: no process per command, one write a
# message. A private FIFO that never has data serves as a sleep without a process.
mkfifo "$ROOT/sim/pause"
exec 7>"$ROOT/sim/control" 9>"$CONTROL" 8<>"$ROOT/sim/pause"
sim() { printf '%s\n' "$1" >&7; }
send() { printf '%b' "$1" >&9; }
pause_ms() { read -r -t "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))" -u 8 || true; }
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
start_ms=$(now_ms)
# Waits until the given simulated minute of the day has begun.
until_minute() { local wait=$((start_ms + $1 * 60 * tick_ms - $(now_ms))) && [ "$wait" -le 0 ] || pause_ms "$wait"; }
sample() {
    local fds=("/proc/$SIM_PID/fd/"*) threads=("/proc/$SIM_PID/task/"*)
    printf 'hour %2d: descriptors %3d  threads %2d  VmRSS %6d kB  log files %d\n' "$1" ${#fds[@]} \
        ${#threads[@]} "$(awk '/^VmRSS:/ {print $2}' "/proc/$SIM_PID/status")" "$max_logs"
}

# The hourly setup change, one kind after another (the system file as it is).
setup_change() {
    local h=$1 name=ORV_System.ini
    case $((h % 4)) in
    0) name=ORV_Network.ini && network_file "10.0.$((h % 200)).10" 255.255.255.0 "10.0.$((h % 200)).1" >"$CONF/$name" ;;
    1) name=Setup_05_01.ini && printf '[TOT]\nStatus=1\nSet_TOT_CH_TYPE=0\nSet_TOT_CH_NUM=%d\nSet_TOT_STRATUM=7\n' \
        $((27 + h % 2)) >"$CONF/$name" ;;
    3) name=ORV_Current.edit.ini && printf '[ORVCurrent]\nSetDate=2030/01/%02d\nSetTime=12:00:00\n' $((h % 28 + 1)) >"$CONF/$name" ;;
    esac
    send "[SetupChange]\nFileName=/var/kelvatro/conf/$name\n"
}

echo "soak: $hours simulated hours at $tick_ms ms a tick, sandbox $ROOT, pid $SIM_PID"
pulses=0 max_logs=0
for ((m = 1; m <= hours * 60; m++)); do
    until_minute "$m"
    sim_alive || fail "orv-sim ended in minute $m"
    send "reg ff00\n"
    case $((m % 7)) in 0) sim "signal off" ;; 2) sim "signal on" ;; esac
    case $((m % 29)) in 0) sim "tot off" ;; 18) sim "tot on" ;; esac
    case $((m % 97)) in 0) sim "tuner silent" ;; 1) sim "tuner normal" ;; esac
    # The switch held for a tick and a half: an indication, never the four
    # ticks in a row that end the program.
    [ $((m % 11)) -ne 5 ] || { sim "switch on" && pause_ms $((tick_ms * 3 / 2)) && sim "switch off" && pulses=$((pulses + 1)); }
    # A setup change apart from the test command, or one read takes both.
    [ $((m % 60)) -ne 30 ] || { pause_ms $((tick_ms * 5)) && setup_change $((m / 60)); }
    logs=("$ROOT"/var/www/StatusLog*.txt) h=$((m / 60))
    [ ${#logs[@]} -le "$max_logs" ] || max_logs=${#logs[@]}
    [ $((m % 60)) -ne 0 ] || { [ "$h" -ne 1 ] && [ "$h" -ne "$hours" ] && [ $((h % 6)) -ne 0 ]; } || sample "$h"
done

kill -TERM "$reader_pid" && wait "$reader_pid" || true
read -r reads partial <"$ROOT/sim/reads"
printf 'takes and alignments: %d  tuner restarts: %d  NTP daemon starts: %d  0x8900 shown: %d times, switch pulses: %d\nreads: %d  partial reads: %d\n' \
    "$(journal_count "/bin/date -s ")" "$(log_count "Tuner Restart")" "$(journal_count "ntp start")" \
    "$(gpio_count 0x8900)" "$pulses" "$reads" "$partial"
pause_ms $((tick_ms * 5))
send "END\n"
exec 7>&- 9>&-
sim_wait_exit
echo "soak: orv-sim ended with status 0; at most $max_logs status log files"
[ "$max_logs" -le 8 ] && [ "$partial" -eq 0 ]
