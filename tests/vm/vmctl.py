#!/usr/bin/env python3
"""The host's side of the VM test: the guest agent over qemu's socket, and an SNTP
client of 127.0.0.1:PORT that reads leap, stratum, root distance and the
transmit time. A synchronised answer is one that a client with chronyd's
defaults takes: leap not 3, stratum 1 to 15, root distance under 3 s.
  run [--timeout S] SOCK CMD   the command's output; exits with its status, or 124
                             when the whole answer has not come in S seconds
                             (default $ORV_VM_AGENT_TIMEOUT, else 30: a guest that
                             reboots answers nothing, and the caller asks again)
  broadcast SOCK AHEAD       the simulated broadcast AHEAD s ahead of this machine
  watch PORT STOPFILE        until STOPFILE exists: fails on a synchronised answer
  served PORT AHEAD STRATUM TIMEOUT   waits for the broadcast time at STRATUM; fails
                             when the first answer a client takes is 100 ms off
  worst PORT AHEAD SECONDS   the worst offset of quick answers over SECONDS (takes
                             between them): fails beyond 100 ms either way
  outage PORT AHEAD STRATUM TIMEOUT   from a fault: when the answers stop being
                             synchronised, then when the broadcast time at STRATUM
                             is served again (each within TIMEOUT)
  holdover PORT STRATUM TIMEOUT   from the signal's loss: every answer synchronised
                             until the daemon stops, degraded (a stratum above
                             STRATUM, or a root dispersion of at least 50 ppm of the
                             time since, less 8 s) from 75 s on; fails without a stop
                             by TIMEOUT
"""
import os, socket, struct, sys, time

NTP_EPOCH = 2208988800
MAX_DISTANCE = 3.0  # chronyd's default maxdistance
TOLERANCE = 50e-6  # the unit's crystal


def agent(sock_path, line, timeout=None):
    """The output of a request to the guest's agent and the value of its answer;
    TimeoutError when the answer is not complete within TIMEOUT s."""
    timeout = timeout or float(os.environ.get("ORV_VM_AGENT_TIMEOUT", 30))
    deadline = time.monotonic() + timeout
    request = os.urandom(6).hex()
    data, mark = b"", f"@rc {request} ".encode()
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(5)
        s.connect(sock_path)
        s.sendall(f"{request} {line}\n".encode())
        while not any(t.startswith(mark) for t in data.split(b"\n")[:-1]):
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no answer from the guest in {timeout:.0f} s")
            s.settimeout(left)
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise RuntimeError("agent closed")
            data += chunk
    lines = data.split(b"\n")
    i = next(i for i, text in enumerate(lines) if text.startswith(mark))
    # Lines before an earlier request's answer are that request's.
    own = [j for j, t in enumerate(lines[:i]) if t.startswith(b"@rc ")]
    return b"\n".join(lines[own[-1] + 1 if own else 0:i]).decode(errors="replace"), lines[i].decode().split()[2]


def sntp(port):
    """(leap, stratum, offset of the transmit time to this machine, root distance,
    root dispersion, round trip) or None."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(1)
    t1 = time.time()
    s.sendto(b"\x23" + bytes(39) + struct.pack("!Q", int((t1 + NTP_EPOCH) * 2**32)),
             ("127.0.0.1", port))
    try:
        reply, t4 = s.recv(512), time.time()
    except OSError:
        return None
    if len(reply) < 48:
        return None
    delay, dispersion = (v / 2**16 for v in struct.unpack("!II", reply[4:12]))
    transmit = struct.unpack("!Q", reply[40:48])[0] / 2**32 - NTP_EPOCH
    return (reply[0] >> 6, reply[1], transmit - (t1 + t4) / 2, delay / 2 + dispersion,
            dispersion, t4 - t1)


def synchronised(answer):
    return answer is not None and answer[0] != 3 and 1 <= answer[1] <= 15 and \
        answer[3] < MAX_DISTANCE


def poll(port, done, timeout):
    """The first answer that met `done`, and when."""
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        answer = sntp(port)
        if done(answer):
            return answer, time.monotonic() - start
        time.sleep(0.5)
    print(f"timeout after {timeout} s, last answer {answer}")
    sys.exit(1)


def broadcast(sock_path, ahead):
    # The guest's clock against this machine's, from the quickest of a few round
    # trips; the broadcast is set against the guest's clock, which nothing sets
    # before the first take, so that the command's way into the guest is no error.
    samples = []
    for _ in range(8):
        t1 = time.time()
        guest = float(agent(sock_path, "@clock")[1])
        t4 = time.time()
        samples.append((t4 - t1, guest - (t1 + t4) / 2))
    rtt, guest_ahead = min(samples)
    agent(sock_path, f"echo 'broadcast {ahead - guest_ahead:+.6f}' >/var/lib/orv-board/control")
    print(f"guest clock {guest_ahead * 1e3:+.0f} ms (round trip {rtt * 1e3:.0f} ms)")


def worst(port, ahead, seconds):
    """Answers as quick as the link allows (a round trip under 10 ms bounds the
    error to 5 ms) through several takes: the one furthest from the broadcast,
    printed; a failure only beyond 100 ms either way (a clock stepped back by
    the date command's latency, or set ahead), as emulation's own jitter of tens
    of milliseconds is no fault of the unit."""
    end, answers, far, beyond = time.monotonic() + seconds, 0, None, 0
    while time.monotonic() < end:
        answer = sntp(port)
        if synchronised(answer) and answer[5] < 0.01:
            answers += 1
            error = answer[2] - ahead
            far = error if far is None or abs(error) > abs(far) else far
            beyond += abs(error) > 0.01
        time.sleep(0.02)
    if far is None:
        print(f"no quick synchronised answer in {seconds:.0f} s")
        sys.exit(1)
    # How many were off tells a moment's error from one that lasted until the next take.
    print(f"worst offset {far * 1e3:+.1f} ms of {answers} answers in {seconds:.0f} s,"
          f" {beyond} beyond 10 ms (limit 100 ms either way)")
    sys.exit(abs(far) > 0.1)


def holdover(port, stratum, timeout):
    """From the signal's loss to the daemon's stop (no answer for 10 s): every
    answer that claims synchronisation within chronyd's maximum distance, each
    degraded from 75 s on; a restart's short gap is counted, answers refused
    for their distance are a failure."""
    start, since, gaps, refused = time.monotonic(), None, 0, 0
    degraded_at, widest, last, failure = None, 0.0, None, ""
    while time.monotonic() - start < timeout:
        answer, t = sntp(port), time.monotonic() - start
        if answer is None:
            gaps += since is None
            since = t if since is None else since
            if t - since >= 10:
                break
        elif synchronised(answer):
            since, last, widest = None, answer, max(widest, answer[3])
            # The last sample may have been taken up to a poll (4 s) after the loss.
            degraded = answer[1] > stratum or (t > 8 and answer[4] >= TOLERANCE * (t - 8))
            degraded_at = t if degraded and degraded_at is None else degraded_at
            if not degraded and t >= 75 and not failure:
                failure = f"not degraded at {t:.0f} s: stratum {answer[1]}, " \
                    f"root dispersion {answer[4] * 1e3:.3f} ms"
        else:
            since = None
            if answer[0] != 3 and 1 <= answer[1] <= 15:
                refused += 1
                failure = failure or f"refused from {t:.0f} s: root distance {answer[3]:.3f} s"
        time.sleep(0.5)
    else:
        failure = failure or f"still served after {timeout:.0f} s"
    shown = "never" if degraded_at is None else f"from {degraded_at:.0f} s"
    if last:
        shown += f" (last: stratum {last[1]}, root dispersion {last[4] * 1e3:.3f} ms)"
    print(f"{failure or 'ok'}: degraded {shown}, root distance at most "
          f"{widest * 1e3:.1f} ms, {refused} refused, {gaps - 1} restart gaps, stopped after "
          f"{since or 0:.0f} s")
    sys.exit(bool(failure) or degraded_at is None)


def main(cmd, *args):
    if cmd == "run":
        timeout = None
        if args[0] == "--timeout":
            timeout, args = float(args[1]), args[2:]
        try:
            out, rc = agent(args[0], " ".join(args[1:]), timeout)
        except (OSError, RuntimeError) as e:  # TimeoutError is an OSError
            print(e, file=sys.stderr)
            sys.exit(124)
        print(out)
        sys.exit(int(rc))
    elif cmd == "broadcast":
        broadcast(args[0], int(args[1]))
    elif cmd == "watch":
        answers = 0
        while not os.path.exists(args[1]):
            answer = sntp(int(args[0]))
            if synchronised(answer):
                print(f"synchronised answer {answer}")
                sys.exit(1)
            answers += answer is not None
            time.sleep(0.5)
        print(f"{answers} answers, none synchronised")
    elif cmd == "served":
        # Also when a client first takes an answer, at whatever stratum: when (also on
        # the broadcast's clock, this machine's + AHEAD), and how far off; a client
        # that first takes a clock off by more than the worst row's limit fails it.
        ahead, stratum, start, taken = int(args[1]), int(args[2]), time.monotonic(), []
        def done(a):
            if synchronised(a) and not taken:
                taken.extend((time.monotonic() - start, time.time() + ahead, a[2] - ahead, a[1]))
            return synchronised(a) and a[1] == stratum and abs(a[2] - ahead) <= 0.05
        answer, waited = poll(int(args[0]), done, float(args[3]))
        print(f"offset {(answer[2] - ahead) * 1e3:+.1f} ms, stratum {answer[1]}, root distance "
              f"{answer[3] * 1e3:.1f} ms, after {waited:.0f} s (taken after {taken[0]:.0f} s, "
              f"{taken[2] * 1e3:+.1f} ms at stratum {taken[3]}, at {taken[1]:.1f})")
        sys.exit(abs(taken[2]) > 0.1)
    elif cmd == "outage":
        port, ahead, stratum, timeout = int(args[0]), int(args[1]), int(args[2]), float(args[3])
        stopped = poll(port, lambda a: not synchronised(a), timeout)[1]
        back = poll(port, lambda a: synchronised(a) and a[1] == stratum and abs(a[2] - ahead) <= 0.05,
                    timeout)[1]
        print(f"unsynchronised after {stopped:.0f} s, served again {back:.0f} s later")
    elif cmd == "worst":
        worst(int(args[0]), int(args[1]), float(args[2]))
    elif cmd == "holdover":
        holdover(int(args[0]), int(args[1]), float(args[2]))

if __name__ == "__main__":
    main(*sys.argv[1:])
