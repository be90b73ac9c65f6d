#!/usr/bin/env python3
"""The tests' SNTP server on 127.0.0.1:123. Usage: ntp_responder.py DIR [PORT]

Answers as DIR/mode says: "good" (stratum 2 or that of DIR/stratum, the request's
transmit stamp echoed, the Unix time of DIR/time), "distant" (as good, root dispersion 3.5 s),
"zeros", "kod" (RATE), "unsync" (leap 3, stratum 16), "originate" (not echoed),
"short" (47 bytes), "late" (good, 1.2 s late) or "silent". On PORT, when given
(0: one the system picks, written to DIR/port). Makes DIR/ready once bound;
logs "<monotonic time> <mode> <1 if well-formed>" per request to DIR/queries;
ends with its parent.
"""
import os, select, socket, struct, sys, time


def stamp(unix_seconds):
    seconds = int(unix_seconds)
    return struct.pack(">II", seconds + 2208988800, int(round((unix_seconds - seconds) * 2**32)) & 0xFFFFFFFF)


def read(name, default):
    try:
        with open(os.path.join(folder, name)) as f:
            return f.read().strip() or default
    except OSError:
        return default


def answer(mode, request, now):
    originate = bytes(7) + b"\x01" if mode == "originate" else request[40:48]
    if mode == "kod":
        return bytes([0xE4, 0, 0, 0]) + bytes(8) + b"RATE" + bytes(8) + originate + bytes(16)
    if mode == "unsync":
        return bytes([0xCC, 16, 0, 0]) + bytes(8) + b"INIT" + bytes(8) + originate + stamp(now) * 2
    reply = bytes([0x0C, int(read("stratum", "2")), 0, 0]) + bytes(8) + b"GPS\0" + bytes(8) + originate + stamp(now) * 2
    if mode == "distant":
        return reply[:8] + struct.pack(">I", 0x38000) + reply[12:]
    return bytes(48) if mode == "zeros" else reply[:47] if mode == "short" else reply


folder, parent, deadline = sys.argv[1], os.getppid(), time.time() + 120
server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
while True:
    try:
        server.bind(("127.0.0.1", int(sys.argv[2]) if len(sys.argv) > 2 else 123))
        break
    except OSError:  # another test holds the port for a moment
        if time.time() > deadline:
            sys.exit("ntp_responder: port 123 stays busy")
        time.sleep(0.1)
with open(os.path.join(folder, "port"), "w") as f:
    f.write("%d\n" % server.getsockname()[1])
open(os.path.join(folder, "ready"), "w").close()
while os.getppid() == parent:
    if not select.select([server], [], [], 0.2)[0]:
        continue
    request, peer = server.recvfrom(512)
    mode = read("mode", "good")
    well_formed = len(request) == 48 and request[0] == 0x0B and not any(request[1:40]) and any(request[40:])
    with open(os.path.join(folder, "queries"), "a") as f:
        f.write("%.6f %s %d\n" % (time.monotonic(), mode, well_formed))
    if mode == "late":
        time.sleep(1.2)
    if mode != "silent":
        server.sendto(answer(mode, request, float(read("time", str(time.time())))), peer)
