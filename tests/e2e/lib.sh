# Shared helpers of the end-to-end scenarios: a fresh sandbox laid out as a
# unit's image ($ROOT), orv-sim driven and watched only from outside, and on
# exit, whatever happened, orv-sim killed and the sandbox removed. A scenario
# asked for --help prints this usage and its opening comment.
USAGE="ORV_SIM=build/orv-sim ORVCTL=build/orvctl $0     (or: ctest --test-dir build -R e2e_$(basename "$0" .sh))"
. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
. "$repo/scripts/sandbox-layout.sh"
# As root, in a network namespace of its own: 127.0.0.1:123 shared with no one.
if [ -z "${E2E_OWN_NETWORK:-}" ] && [ "$(id -u)" = 0 ]; then
    E2E_OWN_NETWORK=1 exec unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi

: "${ORV_SIM:?ORV_SIM must name the orv-sim executable}"
# 50 ms a tick: a 600-tick rhythm takes half a minute, and two scenarios side by
# side on two busy cores still keep their ticks.
export TZ=Asia/Tokyo ORV_SIM_TICK_MS=${ORV_SIM_TICK_MS:-50}
unset ORV_NTP_QUERY # the sandbox's own, or a scenario's
# How long a scenario waits for what it expects, in seconds of wall time.
E2E_WAIT=${E2E_WAIT:-90}

SCENARIO=$(basename "$0" .sh) ROOT=$(mktemp -d /tmp/orv-e2e-XXXXXX)
export ORV_ROOT=$ROOT
orv_sandbox_layout "$ROOT"
SIM_PID= E2E_PIDS=() # E2E_PIDS: helper processes of a scenario, ended on exit
CONTROL=$ROOT/var/kelvatro/maincontrol CONF=$ROOT/var/kelvatro/conf SD=$ROOT/usr/kelvatro/conf
# A shared-memory unit of this run only, so that no daemon of this machine reads
# its segment (KEY), which goes on exit.
UNIT=$((2 + $$ % 254)) && KEY=$(printf '0x%08X' $((0x4E545030 + UNIT)))

e2e_cleanup() {
    local pid lock=$ROOT/var/kelvatro/orv-main.lock
    for pid in "${E2E_PIDS[@]}" $SIM_PID; do { kill -9 "$pid" && wait "$pid"; } 2>/dev/null || true; done
    # An orv-sim that run-sim.sh started holds the lock until it ends.
    [ ! -f "$lock" ] || flock -n "$lock" true || kill -9 "$(head -n 1 "$lock")" 2>/dev/null || true
    rm -rf "$ROOT"
    ipcrm -M "$KEY" 2>/dev/null || true
}
trap e2e_cleanup EXIT

fail() {
    echo "FAIL [$SCENARIO]: $*" >&2
    tail -n 30 "$ROOT"/{var/www/StatusLog.txt,sim/commands.log,sim/gpio.log,sim/console.log} >&2 2>/dev/null || true
    exit 1
}
pass() { echo "PASS [$SCENARIO]"; }
step() { echo "-- $*"; }
expect() { "${@:2}" || fail "expected: $1"; }
expect_eq() { [ "$2" = "$3" ] || fail "$1: expected '$3', got '$2'"; }

# orv-sim, in a cross build through the emulator that ORV_SIM_EMULATOR names;
# it runs in $ROOT/sim, so that nothing it does relative to its working
# directory lands outside the sandbox.
read -ra SIM_COMMAND <<<"${ORV_SIM_EMULATOR:-}"
SIM_COMMAND+=("$ORV_SIM")
read -ra CTL <<<"${ORV_SIM_EMULATOR:-} ${ORVCTL:-orvctl}" # orvctl, in a cross build through the same emulator
sim_start() { (cd "$ROOT/sim" && exec "${SIM_COMMAND[@]}") </dev/null >"$ROOT/sim/console.log" 2>&1 & SIM_PID=$!; }
sim_alive() { [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; }
# A new start of the unit, the status log and the records of an earlier run
# removed; waits until it is ready.
sim_restart() {
    rm -f "$ROOT"/var/www/StatusLog*.txt "$ROOT"/sim/{commands,gpio}.log
    sim_start
    wait_for "Main Program Ready" log_has "Main Program Ready"
}

# wait_for DESCRIPTION COMMAND...: polls COMMAND until it succeeds; fails the
# scenario when the deadline passes or orv-sim ends first.
wait_for() {
    local deadline=$((SECONDS + E2E_WAIT))
    until "${@:2}"; do
        if [ -n "$SIM_PID" ] && ! sim_alive; then "${@:2}" && return || fail "orv-sim ended while waiting for: $1"; fi
        [ $SECONDS -lt $deadline ] || fail "timed out waiting for: $1"
        sleep 0.05
    done
}

# ntp_responder DIR [PYTHON]: the tests' NTP responder (ntp_responder.py, its
# mode in DIR/mode) on a loopback port of its own, which ORV_NTP_QUERY names to
# orvctl; PYTHON runs it (another name for python3 gives its process that name).
ntp_responder() {
    mkdir -p "$1"
    "${2:-python3}" "$repo/tests/e2e/ntp_responder.py" "$1" 0 & E2E_PIDS+=($!)
    wait_for "the NTP responder" test -e "$1/ready"
    export ORV_NTP_QUERY=127.0.0.1:$(cat "$1/port")
}

# A UDP port of 127.0.0.1 that nothing holds now.
free_udp_port() { python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Writes TEXT (backslash escapes interpreted) into a FIFO in one write.
fifo_write() {
    wait_for "FIFO $1" test -p "$1"
    printf '%b' "$2" | timeout 10 dd of="$1" bs=512 count=1 iflag=fullblock conv=nocreat,notrunc status=none ||
        fail "could not write into $1"
}
send() { fifo_write "$CONTROL" "$1"; }
send_setup_change() { send "[SetupChange]\nFileName=$1\n"; }
sim_control() { fifo_write "$ROOT/sim/control" "$1\n"; }

# Waits for the unit to end; checks exit status 0 and a clean console.
sim_wait_exit() {
    local status=0
    wait_for "orv-sim to end" eval '! sim_alive'
    wait "$SIM_PID" || status=$? && SIM_PID=
    [ "$status" -eq 0 ] || fail "orv-sim ended with status $status"
    ! grep -qE 'ERROR: (Address|Leak|Thread)Sanitizer|runtime error:' "$ROOT/sim/console.log" ||
        fail "sanitizer report in the console"
}

# Ends the unit with END: it powers off ("shutdown -h now", journaled only).
sim_end() {
    send "END\n"
    sim_wait_exit
    expect "END logged, power-off journaled" eval 'log_has "Main Program End" && journal_has "shutdown -h now"'
}

# The status log with its rotated parts, oldest first.
status_logs() { cat "$ROOT"/var/www/StatusLog{7,6,5,4,3,2,1,}.txt 2>/dev/null || true; }
log_has() { status_logs | grep -qF -- "$1"; }
log_count() { status_logs | grep -cF -- "$1" || true; }
# The journaled commands without their timestamps.
journal() { cut -d' ' -f2- "$ROOT/sim/commands.log" 2>/dev/null || true; }
journal_has() { journal | grep -qF -- "$1"; }
journal_count() { journal | grep -cF -- "$1" || true; }
console_has() { grep -qF -- "$1" "$ROOT/sim/console.log"; }
# The values written to the GPIO output register, one a line (0x%04X).
gpio_values() { awk '{ print $NF }' "$ROOT/sim/gpio.log" 2>/dev/null || true; }
gpio_count() { gpio_values | grep -cx -- "$1" || true; }

# The value of KEY in a unit INI file (up to the TAB before the comment).
ini_value() { awk -v k="$2" 'index($0, k "=") == 1 { v = substr($0, length(k) + 2); sub(/\t.*/, "", v); print v; exit }' "$1" 2>/dev/null; }
ini_is() { [ "$(ini_value "$1" "$2")" = "$3" ]; }

# Waits until the unit serves broadcast time: a time taken (0x4500).
wait_serving() {
    wait_for "Main Program Ready" log_has "Main Program Ready"
    wait_for "a broadcast time taken (0x4500)" eval 'gpio_values | grep -qx 0x4500'
    wait_for "the NTP daemon started" log_has "Start TOT Time Server"
}

# A network settings file: IP NETMASK GATEWAY [DNS [EXTRA LINE]].
network_file() {
    printf '%s\n' $'[ORVNetwork]\t; ORVネットワーク設定' "IP=$1"$'\t; IPアドレス' "NetMask=$2" "Gateway=$3" \
        Syslog=192.168.0.100 snmp=192.168.0.100 "DnsP=${4:-0.0.0.0}" DnsS=0.0.0.0 ${5:+"$5"}
}
