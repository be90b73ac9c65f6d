# Shared helpers of the end-to-end scenarios. A scenario sources this file:
# it gets a fresh sandbox laid out as a unit's image ($ROOT), starts orv-sim
# in it, drives it only from outside (the control FIFO, settings files, the sim
# control) and checks only what the unit leaves outside (its files, the status
# log, the command journal, gpio.log, its console). On exit, whatever happened,
# orv-sim is killed and the sandbox removed.
set -euo pipefail

E2E_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../scripts/sandbox-layout.sh
. "$E2E_REPO/scripts/sandbox-layout.sh"

: "${ORV_SIM:?ORV_SIM must name the orv-sim executable}"
export TZ=Asia/Tokyo
# 50 ms a tick: a 600-tick rhythm takes half a minute, and two scenarios side by
# side on two busy cores still keep their ticks.
export ORV_SIM_TICK_MS=${ORV_SIM_TICK_MS:-50}
# How long a scenario waits for what it expects, in seconds of wall time.
E2E_WAIT=${E2E_WAIT:-90}

SCENARIO=$(basename "$0" .sh)
ROOT=$(mktemp -d /tmp/orv-e2e-XXXXXX)
export ORV_ROOT=$ROOT
orv_sandbox_layout "$ROOT"
SIM_PID=
# Helper processes of a scenario (a responder, ...), ended on exit.
E2E_PIDS=()
CONTROL=$ROOT/var/kelvatro/maincontrol
CONF=$ROOT/var/kelvatro/conf

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "$SIM_PID" ]; then
        kill -9 "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    rm -rf "$ROOT"
}
trap e2e_cleanup EXIT

# ---- reporting -------------------------------------------------------------

fail() {
    echo "FAIL [$SCENARIO]: $*" >&2
    echo "--- status log (last 40 lines)" >&2
    cat "$ROOT"/var/www/StatusLog.txt 2>/dev/null | tail -n 40 >&2 || true
    echo "--- command journal (last 30 lines)" >&2
    tail -n 30 "$ROOT/sim/commands.log" >&2 2>/dev/null || true
    echo "--- gpio.log (last 15 lines)" >&2
    tail -n 15 "$ROOT/sim/gpio.log" >&2 2>/dev/null || true
    echo "--- console (last 40 lines)" >&2
    tail -n 40 "$ROOT/sim/console.log" >&2 2>/dev/null || true
    exit 1
}

pass() { echo "PASS [$SCENARIO]"; }

step() { echo "-- $*"; }

# ---- the simulated unit ----------------------------------------------------

# Lines for the sim's start file, applied before the unit starts.
sim_start_file() { printf '%s\n' "$@" >"$ROOT/sim/start"; }

# The command that runs orv-sim: in a cross build through the emulator that
# ORV_SIM_EMULATOR names (a command and its options).
read -ra SIM_COMMAND <<<"${ORV_SIM_EMULATOR:-}"
SIM_COMMAND+=("$ORV_SIM")

# orv-sim runs in $ROOT/sim, so that nothing it might do relative to its working
# directory lands outside the sandbox.
sim_start() {
    (cd "$ROOT/sim" && exec "${SIM_COMMAND[@]}") </dev/null >"$ROOT/sim/console.log" 2>&1 &
    SIM_PID=$!
}

sim_alive() { [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; }

# wait_for DESCRIPTION COMMAND...: polls COMMAND until it succeeds; fails the
# scenario when the deadline passes or orv-sim ends first.
wait_for() {
    local what=$1
    shift
    local deadline=$((SECONDS + E2E_WAIT))
    until "$@"; do
        if [ -n "$SIM_PID" ] && ! sim_alive; then
            "$@" && return 0
            fail "orv-sim ended while waiting for: $what"
        fi
        [ $SECONDS -lt $deadline ] || fail "timed out waiting for: $what"
        sleep 0.05
    done
}

# Writes TEXT (backslash escapes interpreted) into a FIFO in one write.
fifo_write() {
    local fifo=$1 text=$2 tmp
    wait_for "FIFO $fifo" test -p "$fifo"
    tmp=$(mktemp "$ROOT/sim/msg.XXXXXX")
    printf '%b' "$text" >"$tmp"
    timeout 10 dd if="$tmp" of="$fifo" bs=512 count=1 conv=nocreat,notrunc status=none ||
        fail "could not write into $fifo"
    rm -f "$tmp"
}

# A message into the unit's control FIFO.
send() { fifo_write "$CONTROL" "$1"; }
# A "[SetupChange]" message naming a unit path.
send_setup_change() { send "[SetupChange]\nFileName=$1\n"; }
# A command to the sim control.
sim_control() { fifo_write "$ROOT/sim/control" "$1\n"; }

# Waits for the unit to end; checks exit status 0 and a clean console.
sim_wait_exit() {
    local deadline=$((SECONDS + E2E_WAIT)) status=0
    while sim_alive; do
        [ $SECONDS -lt $deadline ] || fail "orv-sim did not end"
        sleep 0.05
    done
    wait "$SIM_PID" || status=$?
    SIM_PID=
    [ "$status" -eq 0 ] || fail "orv-sim ended with status $status"
    if grep -qE 'ERROR: (Address|Leak|Thread)Sanitizer|runtime error:' "$ROOT/sim/console.log"; then
        fail "sanitizer report in the console"
    fi
}

# Waits until the unit has handled every message sent before (each one seen
# handled already): the FIFO is served in order, so the echo of a test command
# sent now comes after them. Then "nothing more happened" can be checked.
settle() {
    local echoes
    echoes=$(log_count "reg (r) : addr=0000FF00")
    send "reg ff00\n"
    wait_for "the unit to finish what it was sent" \
        eval '[ "$(log_count "reg (r) : addr=0000FF00")" -gt '"$echoes"' ]'
}

# Ends the unit with END: it powers off ("shutdown -h now", journaled only).
sim_end() {
    send "END\n"
    sim_wait_exit
    journal_has "shutdown -h now" || fail "END did not journal shutdown -h now"
    log_has "Main Program End" || fail "END was not logged"
}

# ---- what the unit shows ---------------------------------------------------

status_logs() {
    local f
    for f in "$ROOT"/var/www/StatusLog7.txt "$ROOT"/var/www/StatusLog{6,5,4,3,2,1}.txt \
        "$ROOT"/var/www/StatusLog.txt; do
        [ -f "$f" ] && cat "$f"
    done
    return 0
}
log_has() { status_logs | grep -F -- "$1" >/dev/null; }
log_count() { status_logs | grep -cF -- "$1" || true; }

# The journaled commands without their timestamps.
journal() { [ -f "$ROOT/sim/commands.log" ] && cut -d' ' -f2- "$ROOT/sim/commands.log" || true; }
journal_has() { journal | grep -F -- "$1" >/dev/null; }
journal_count() { journal | grep -cF -- "$1" || true; }

console_has() { grep -qF -- "$1" "$ROOT/sim/console.log"; }
console_count() { grep -cF -- "$1" "$ROOT/sim/console.log" || true; }

# The values written to the GPIO output register, one a line, as 0x%04X.
gpio_values() {
    [ -f "$ROOT/sim/gpio.log" ] || return 0
    local v
    awk '{print $NF}' "$ROOT/sim/gpio.log" | while read -r v; do
        v=${v#0x}
        v=${v#0X}
        printf '0x%04X\n' "$((16#$v))"
    done
}
gpio_has() { gpio_values | grep -x -- "$1" >/dev/null; }
gpio_count() { gpio_values | grep -cx -- "$1" || true; }
gpio_last() { gpio_values | tail -n 1; }

# The value of KEY in a unit INI file (up to the TAB before the comment).
ini_value() {
    awk -v k="$2" 'index($0, k "=") == 1 { v = substr($0, length(k) + 2); sub(/\t.*/, "", v); print v; exit }' "$1" 2>/dev/null
}
ini_is() { [ "$(ini_value "$1" "$2")" = "$3" ]; }

# ---- checks ----------------------------------------------------------------

expect() {
    local what=$1
    shift
    "$@" || fail "expected: $what"
}

expect_eq() {
    [ "$2" = "$3" ] || fail "$1: expected '$3', got '$2'"
}

# Waits for N more ticks of the time service (the TOT status file is rewritten
# on every tick).
wait_ticks() {
    local i stamp status=$CONF/Status_05_01.txt
    for ((i = 0; i < $1; i++)); do
        stamp=$(stat -c %y "$status" 2>/dev/null || true)
        wait_for "a tick" eval '[ "$(stat -c %y "$status" 2>/dev/null)" != "$stamp" ]'
    done
}

# The clock settings journaled, one a line: "<journal stamp> <date argument>".
date_settings() {
    [ -f "$ROOT/sim/commands.log" ] || return 0
    sed -n 's/^\([0-9.]*\) \/bin\/date -s "\(.*\)"$/\1 \2/p' "$ROOT/sim/commands.log"
}

# Waits until the unit serves broadcast time: a time taken (0x4500).
wait_serving() {
    wait_for "Main Program Ready" log_has "Main Program Ready"
    wait_for "a broadcast time taken (0x4500)" gpio_has 0x4500
    wait_for "the NTP daemon started" log_has "Start TOT Time Server"
}

# The network settings file in the unit's format, with the given addresses.
network_file() {
    local ip=$1 mask=$2 gw=$3 dns=${4:-0.0.0.0} extra=${5:-}
    printf '%s\n' \
        ';;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;' \
        '; ORV ネットワーク情報         ;' \
        '; SDカード上に保存されるデータ ;' \
        ';;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;' \
        $'[ORVNetwork]\t; ORVネットワーク設定' \
        "IP=$ip"$'\t; IPアドレス' \
        "NetMask=$mask"$'\t; サブネットマスク' \
        "Gateway=$gw"$'\t; デフォルトゲートウェイ' \
        'Syslog=192.168.0.100'$'\t; Syslogサーバ' \
        'snmp=192.168.0.100'$'\t; snmp' \
        "DnsP=$dns"$'\t; プライマリDNSサーバ' \
        'DnsS=0.0.0.0'$'\t; セカンダリDNSサーバ'
    [ -z "$extra" ] || printf '%s\n' "$extra"
}
