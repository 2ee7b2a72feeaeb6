#!/usr/bin/env python3
"""The clients scripts/load.sh cannot make with curl or wrk.

idle PORT COUNT [LIMIT]  holds COUNT connections, each with a request that never ends; prints
                         "held COUNT" once all are sent, then "closed N FIRST LAST": how many the
                         server closed within LIMIT seconds (default 20) and the shortest and
                         longest time, from its own request, that one of them was kept open.
silent PATH              binds a Unix datagram socket at PATH that takes every message and never
                         answers; prints "bound" and runs until it is killed.
forge DIR SECONDS        sends forged replies, for SECONDS, to every asynchronous endpoint that a
                         request of the server holds in its run directory DIR (tmp_a...): whole
                         messages with a cookie the server never sent, and datagrams too short to
                         be one; prints "forged N": how many an endpoint took.
"""
import os
import struct
import selectors
import socket
import sys
import time

UNFINISHED = b"GET /api/v1/system/device HTTP/1.1\r\nHost: x\r\n"


def idle(port, count, limit):
    sel = selectors.DefaultSelector()
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", port))
        sock.sendall(UNFINISHED)
        sock.setblocking(False)
        sel.register(sock, selectors.EVENT_READ, time.monotonic())
    print("held", count, flush=True)
    end = time.monotonic() + limit
    kept = []
    while len(kept) < count and time.monotonic() < end:
        for key, _ in sel.select(timeout=0.2):
            try:
                # A status body may come first; the connection counts as closed at its end.
                data = key.fileobj.recv(65536)
            except OSError:
                data = b""
            if not data:
                kept.append(time.monotonic() - key.data)
                sel.unregister(key.fileobj)
                key.fileobj.close()
    times = kept or [0.0]
    print("closed %d %.2f %.2f" % (len(kept), min(times), max(times)), flush=True)


def silent(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    print("bound", flush=True)
    while True:
        sock.recv(65536)


def forge(run_dir, seconds):
    # A whole message of this machine's layout (the cookie is a pointer): a GET reply to the latest
    # event command, its cookie pointing nowhere.
    wide = struct.calcsize("P") == 8
    reply = bytearray(21416 if wide else 21408)
    struct.pack_into("<iiQi", reply, 160, 2, 4001, 1, 0)
    reply[184 if wide else 180:192 if wide else 184] = b"\x41" * (8 if wide else 4)
    # A burst at each endpoint found: it lives only while its request waits.
    forged = [bytes(reply), b"short"] * 4
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.setblocking(False)
    taken = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        with os.scandir(run_dir) as entries:
            names = [e.path for e in entries if e.name.startswith("tmp_a")]
        for path in names:
            for data in forged:
                try:
                    sock.sendto(data, path)
                    taken += 1
                except OSError:
                    break  # the request ended, or its endpoint is full
    print("forged", taken, flush=True)


def main(argv):
    if len(argv) >= 3 and argv[0] == "idle":
        idle(int(argv[1]), int(argv[2]), float(argv[3]) if len(argv) > 3 else 20.0)
    elif len(argv) == 2 and argv[0] == "silent":
        silent(argv[1])
    elif len(argv) == 3 and argv[0] == "forge":
        forge(argv[1], float(argv[2]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
