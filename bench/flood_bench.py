#!/usr/bin/env python3
"""Memory of the built zelmftp under a flood of commands, on loopback (not a test: it prints
figures).

A logged-in client sends up to MEGABYTES of NOOPs and never reads a reply (its receive buffer
shrunk to 4 KiB): the server must stop reading once its replies cannot go out, instead of
queueing the client's commands or its own replies without bound. Reported: the server's
resident memory before and after the flood, its growth, and how much of the flood the
sockets took before the server stopped reading. The goal is a growth below GOAL_MIB (checked
on a normal build; sanitizer builds keep far more memory per allocation).

Usage: python3 bench/flood_bench.py BUILD_DIR [--megabytes 32] [--repeat 3]
"""
import argparse
import os
import socket
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
if len(sys.argv) > 1:
    os.environ["ZELM_BUILD"] = sys.argv[1]
from zelm_fixture import ServerFixture  # noqa: E402

KIB = 1024
MIB = 1024 * KIB
GOAL_MIB = 16
ALL = 0x100000


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def flood_once(server, limit):
    """One flood on a fresh session; returns (resident before, after, bytes taken) in KiB."""
    pid = server.process.pid
    flood = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    replies = flood.makefile("rb")
    replies.readline()
    flood.sendall(b"USER bob\r\nPASS secret\r\n")
    replies.readline()
    replies.readline()
    flood.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    before = resident_kib(pid)
    block = b"NOOP\r\n" * 10000
    flood.settimeout(0.5)
    sent = 0
    try:
        while sent < limit:
            sent += flood.send(block)
    except (socket.timeout, OSError):
        pass  # the server stopped reading: its replies are not being taken
    after = resident_kib(pid)
    replies.close()
    flood.close()
    return before, after, sent / KIB


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--megabytes", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    server = ServerFixture({"bob": ("secret", "bob", ALL)})
    os.makedirs(os.path.join(server.main, "bob"), exist_ok=True)
    growths = []
    try:
        for run in range(args.repeat):
            before, after, taken = flood_once(server, args.megabytes * MIB)
            growths.append((after - before) / KIB)
            print(f"run {run + 1}: resident {before / KIB:.1f} MiB before, {after / KIB:.1f} MiB "
                  f"after; grew {growths[-1]:.1f} MiB; the sockets took {taken / KIB:.1f} MiB "
                  f"of {args.megabytes} MiB", flush=True)
    finally:
        server.stop()
        server.close()
    worst = max(growths)
    print(f"flood of {args.megabytes} MiB of NOOPs, unread replies: resident growth median "
          f"{statistics.median(growths):.1f} MiB, worst {worst:.1f} MiB (goal: below "
          f"{GOAL_MIB} MiB): {'met' if worst < GOAL_MIB else 'MISSED'}")
    return 0 if worst < GOAL_MIB else 1


if __name__ == "__main__":
    sys.exit(main())
