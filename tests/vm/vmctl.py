#!/usr/bin/env python3
"""The host's side of the VM test: the guest agent over qemu's socket, and an SNTP
client of 127.0.0.1:PORT that reads leap, stratum and the transmit time.
  run SOCK CMD               the command's output; exits with its status
  broadcast SOCK AHEAD       the simulated broadcast AHEAD s ahead of this machine
  watch PORT STOPFILE        until STOPFILE exists: fails on a synchronised answer
  served PORT AHEAD STRATUM TIMEOUT   waits for the broadcast time at STRATUM
  unsync PORT TIMEOUT        waits until no answer claims synchronisation
"""
import os, socket, struct, sys, time

NTP_EPOCH = 2208988800


def agent(sock_path, line, timeout=900):
    """The output of a request to the guest's agent and the value of its answer."""
    request = os.urandom(6).hex()
    data, mark = b"", f"@rc {request} ".encode()
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(timeout)
        s.connect(sock_path)
        s.sendall(f"{request} {line}\n".encode())
        while not any(t.startswith(mark) for t in data.split(b"\n")[:-1]):
            chunk = s.recv(65536)
            if not chunk:
                raise RuntimeError("agent closed")
            data += chunk
    lines = data.split(b"\n")
    i = next(i for i, text in enumerate(lines) if text.startswith(mark))
    # Lines before an earlier request's answer are that request's.
    own = [j for j, t in enumerate(lines[:i]) if t.startswith(b"@rc ")]
    return b"\n".join(lines[own[-1] + 1 if own else 0:i]).decode(errors="replace"), lines[i].decode().split()[2]


def sntp(port):
    """(leap, stratum, offset of the transmit time to this machine) or None."""
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
    transmit = struct.unpack("!Q", reply[40:48])[0] / 2**32 - NTP_EPOCH
    return reply[0] >> 6, reply[1], transmit - (t1 + t4) / 2


def synchronised(answer):
    return answer is not None and answer[0] != 3 and 1 <= answer[1] <= 15


def poll(port, done, timeout, times=1):
    """The answer that met `done` `times` polls in a row, and when."""
    start, row = time.monotonic(), 0
    while time.monotonic() - start < timeout:
        answer = sntp(port)
        row = row + 1 if done(answer) else 0
        if row == times:
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
    agent(sock_path, f"echo 'broadcast {ahead - guest_ahead:+.6f}' >/var/lib/orv-vmtest/control")
    print(f"guest clock {guest_ahead * 1e3:+.0f} ms (round trip {rtt * 1e3:.0f} ms)")


def main(cmd, *args):
    if cmd == "run":
        out, rc = agent(args[0], " ".join(args[1:]))
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
        ahead, stratum = int(args[1]), int(args[2])
        answer, waited = poll(int(args[0]), lambda a: synchronised(a) and a[1] == stratum and
                              abs(a[2] - ahead) <= 0.05, float(args[3]))
        print(f"offset {(answer[2] - ahead) * 1e3:+.1f} ms, stratum {answer[1]}, after {waited:.0f} s")
    elif cmd == "unsync":
        # Three in a row: one lost reply is no loss of synchronisation.
        answer, waited = poll(int(args[0]), lambda a: not synchronised(a), float(args[1]), 3)
        print(f"{'no answer' if answer is None else 'leap %d stratum %d' % answer[:2]} after {waited:.0f} s")


if __name__ == "__main__":
    main(*sys.argv[1:])
