#!/usr/bin/env python3
"""The clients scripts/load.sh cannot make with curl or wrk.

idle PORT COUNT [LIMIT]  holds COUNT connections, each with a request that never ends; prints
                         "held COUNT" once all are sent, then "closed N FIRST LAST": how many the
                         server closed within LIMIT seconds (default 20) and the shortest and
                         longest time, from its own request, that one of them was kept open.
silent PATH              binds a Unix datagram socket at PATH that takes every message and never
                         answers; prints "bound" and runs until it is killed.
"""
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


def main(argv):
    if len(argv) >= 3 and argv[0] == "idle":
        idle(int(argv[1]), int(argv[2]), float(argv[3]) if len(argv) > 3 else 20.0)
    elif len(argv) == 2 and argv[0] == "silent":
        silent(argv[1])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
