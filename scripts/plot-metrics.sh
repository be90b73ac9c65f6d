#!/usr/bin/env bash
# Usage: scripts/plot-metrics.sh [PNG]     (default doc/metrics.png; about 3 minutes)
# Draws the unit's metrics over a run of orv-sim in a sandbox of its own, in
# seconds of the unit's ticks: serving, the signal lost for two minutes (no lock,
# the holdover after a minute, the NTP daemon stopped at the holdover limit of
# 100 s: the sandbox's daemon answers no more), and the signal back (the next
# take serves again). The metrics file is read once a second. Draws with the
# matplotlib of $ORV_PLOT_PYTHON, else of a python3 on the PATH (Debian's
# python3-matplotlib), else of a virtual environment, $ORV_PLOT_VENV (default
# build/plot-venv), made with python3-venv and filled by pip the first time: it
# installs nothing for the system and needs no root. Builds orv-sim in build/
# unless ORV_SIM names it. doc/operator-guide.md shows the picture: run this again
# whenever the metrics change.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case ${1:-} in -h | --help) sed -n '2,13s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
png=$(realpath -m "${1:-$repo/doc/metrics.png}")
# shellcheck source=scripts/sandbox-layout.sh
. "$repo/scripts/sandbox-layout.sh"

# A python3 with matplotlib: the one named, else one on the PATH, else the
# virtual environment's, made and filled when none has it.
plot_python() {
    local venv=${ORV_PLOT_VENV:-$repo/build/plot-venv} python
    for python in ${ORV_PLOT_PYTHON:-$(type -ap python3)} "$venv/bin/python3"; do
        if "$python" -c 'import matplotlib' 2>/dev/null; then echo "$python" && return; fi
    done
    python=${ORV_PLOT_PYTHON:-python3}
    echo "plot-metrics.sh: no matplotlib for $python: pip installs it into $venv" >&2
    if "$python" -m venv "$venv" >&2 && "$venv/bin/pip" install -q matplotlib >&2; then
        echo "$venv/bin/python3" && return
    fi
    echo "plot-metrics.sh: no matplotlib: install Debian's python3-matplotlib, or python3-venv for a virtual environment in $venv (pip fetches matplotlib into it)" >&2
    return 1
}
python=$(plot_python)
sim=$(orv_sim_path "$repo")

root=$(mktemp -d /tmp/orv-plot-XXXXXX)
trap 'rm -rf "$root"' EXIT
orv_sandbox_layout "$root"
mkdir -p "$root/etc/default" "$root/metrics"
# The sandbox's own NTP daemon (orv-sim's stand-in) on a port that is free now.
port=$("$python" -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '%s\n' ORV_METRICS_DIR=/metrics ORV_HOLDOVER_S=100 "ORV_NTP_QUERY=127.0.0.1:$port" >"$root/etc/default/orv-main"
ORV_ROOT=$root ORV_SIM_TICK_MS=1000 TZ=Asia/Tokyo "$python" - "$sim" "$root" "$png" <<'PY'
import os, subprocess, sys, time
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt

sim, root, png = sys.argv[1:]
metrics = os.path.join(root, "metrics/orv_main.prom")
control = os.path.join(root, "sim/control")
off_at, on_at, end_at = 30, 150, 200  # seconds after the first take

def sample():
    values = {}
    try:
        with open(metrics) as f:
            for line in f:
                if line.startswith("#") or not line.strip():
                    continue
                name, value = line.rsplit(" ", 1)
                values[name.split("{")[0]] = float(value)
    except FileNotFoundError:
        pass
    return values

def sim_control(line):
    with open(control, "w") as f:
        f.write(line + "\n")

unit = subprocess.Popen([sim], cwd=os.path.join(root, "sim"), stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    while sample().get("orv_takes_total", 0) < 1:
        if unit.poll() is not None:
            sys.exit("plot-metrics: orv-sim ended before its first take")
        time.sleep(0.2)
    start, rows, state = time.monotonic(), [], "on"
    while (t := time.monotonic() - start) < end_at:
        if state == "on" and t >= off_at:
            sim_control("signal off"); state = "off"
        elif state == "off" and t >= on_at:
            sim_control("signal on"); state = "back"
        rows.append((t, sample()))
        time.sleep(1 - (time.monotonic() - start) % 1)
finally:
    unit.terminate()
    unit.wait()

t = [r[0] for r in rows]
def series(name):
    return [r[1].get(name, float("nan")) for r in rows]

fig, axes = plt.subplots(4, 1, sharex=True, figsize=(9, 8.5))
panels = [
    ("Reception", [("orv_signal_level", "signal level (0-255)"), ("orv_snr_decibels", "SNR (dB)")]),
    ("State (0/1, offset for reading)", [("orv_tuner_locked", "tuner locked"),
                                         ("orv_serving", "serving"), ("orv_holdover", "holdover"),
                                         ("orv_ntp_synchronised", "NTP daemon synchronised")]),
    ("Last take", [("orv_last_take_age_seconds", "age (s)")]),
    ("Counters", [("orv_takes_total", "takes / 10"), ("orv_holdovers_total", "holdovers"),
                  ("orv_daemon_starts_total", "NTP daemon starts")]),
]
for ax, (title, lines) in zip(axes, panels):
    for i, (name, label) in enumerate(lines):
        y = series(name)
        if title.startswith("State"):
            y = [v + 0.04 * i for v in y]
        if name == "orv_takes_total":
            y = [v / 10 for v in y]
        ax.step(t, y, where="post", label=label)
    ax.axvspan(off_at, on_at, color="0.9", zorder=0)
    ax.set_title(title, loc="left", fontsize=10)
    ax.legend(loc="upper right", fontsize=8)
axes[0].text(off_at + 2, axes[0].get_ylim()[1] * 0.85, "signal lost", fontsize=8)
axes[-1].set_xlabel("seconds after the first take (orv-sim, ORV_HOLDOVER_S=100)")
fig.suptitle("orv-main metrics through a signal loss, the holdover and the return")
fig.tight_layout()
fig.savefig(png, dpi=80)
print("plot-metrics: " + png)
PY
