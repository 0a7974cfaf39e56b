#!/usr/bin/env python3
"""soak.py - vcp's memory over a long session: `vcp serve --rfc2217` with a
loopback plug, clients one after the other, each moving its share of the
bytes through the whole stack and back with up to a mebibyte in flight, an
idle stretch between them, and vcp's resident memory sampled all along.

Every byte that comes back is compared with what was sent.  Prints
"NAME VALUE" lines:
  rss_start_kib          after the server is up
  rss_warm_kib           after the first client
  rss_max_kib            the most over the whole run
  rss_end_kib            after the last client
  rss_after_disconnect_max_kib  the most seen right after a client left
  growth_kib             rss_max_kib - rss_warm_kib
  bytes_moved, bytes_lost (never came back), bytes_out_of_place (came back
  where other bytes were expected: after a loss, or changed), seconds, clients
A client whose bytes stop coming back for ten seconds counts the rest as
lost.  Exits 1 when vcp failed or bytes were lost.
"""

import argparse
import os
import random
import re
import select
import signal
import socket
import subprocess
import sys
import time

IAC = 255
WINDOW = 1 << 20
CHUNK = 1 << 16


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Telnet:
    """What the server sends a client that negotiates nothing: its own
    requests (IAC verb option), and the data with IAC doubled."""

    def __init__(self):
        self.state = 0
        self.count = 0
        self.mismatch = 0
        self.expected = None  # the bytes sent, in order

    def feed(self, chunk, sent):
        for b in chunk:
            if self.state == 0:
                if b == IAC:
                    self.state = 1
                    continue
            elif self.state == 1:
                if b in (251, 252, 253, 254):
                    self.state = 2
                    continue
                self.state = 0
                if b != IAC:
                    continue
            else:
                self.state = 0
                continue
            if sent[self.count % len(sent)] != b:
                self.mismatch += 1
            self.count += 1


def one_client(host, port, total, pattern, sample, stall=10.0):
    """Moves total bytes and back; what has not come back after stall
    seconds without progress counts as lost."""
    s = socket.create_connection((host, port))
    s.setblocking(False)
    t = Telnet()
    sent = 0
    progress = time.monotonic()
    while t.count < total and time.monotonic() - progress < stall:
        want = []
        if sent < total and sent - t.count < WINDOW:
            want = [s]
        r, w, _ = select.select([s], want, [], 1.0)
        if w:
            at = sent % len(pattern)
            n = min(CHUNK, total - sent, len(pattern) - at)
            try:
                sent += s.send(pattern[at:at + n])
            except BlockingIOError:
                pass
        if r:
            chunk = s.recv(1 << 18)
            if not chunk:
                break
            t.feed(chunk, pattern)
            progress = time.monotonic()
        sample()
    s.close()
    return t.count, t.mismatch


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--vcp", required=True)
    ap.add_argument("--megabytes", type=int, default=1024, help="bytes moved in all, in MiB")
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--idle", type=float, default=2.0, help="seconds idle between clients")
    args = ap.parse_args()

    proc = subprocess.Popen([args.vcp, "serve", "--rfc2217", "127.0.0.1:0"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    line = ""
    for line in proc.stdout:
        m = re.search(r"serving\s+rfc2217://([0-9.]+):(\d+)", line)
        if m:
            break
    else:
        print("vcp did not start:", line, file=sys.stderr)
        return 1
    host, port = m.group(1), int(m.group(2))
    # The rest of vcp's output is drained so that it never blocks on it.
    drain = subprocess.Popen(["cat"], stdin=proc.stdout, stdout=subprocess.DEVNULL)

    pattern = bytes(b % 255 for b in random.Random(2217).randbytes(1 << 20))  # no IAC
    start = time.monotonic()
    figures = {"rss_start_kib": rss_kib(proc.pid), "rss_max_kib": 0, "rss_after_disconnect_max_kib": 0}
    moved = lost = changed = 0
    warm = [None]
    per_client = (args.megabytes << 20) // max(args.clients, 1)

    def sample():
        rss = rss_kib(proc.pid)
        figures["rss_max_kib"] = max(figures["rss_max_kib"], rss)

    for c in range(args.clients):
        count, mismatch = one_client(host, port, per_client, pattern, sample)
        moved += count
        lost += per_client - count
        changed += mismatch
        if warm[0] is None:
            warm[0] = rss_kib(proc.pid)
            figures["rss_max_kib"] = warm[0]
        time.sleep(args.idle)  # the session ends, the port idles
        after = rss_kib(proc.pid)
        figures["rss_after_disconnect_max_kib"] = max(figures["rss_after_disconnect_max_kib"], after)
        sample()
    figures["rss_end_kib"] = rss_kib(proc.pid)
    figures["rss_warm_kib"] = warm[0] or figures["rss_start_kib"]
    figures["growth_kib"] = max(0, figures["rss_max_kib"] - figures["rss_warm_kib"])
    proc.send_signal(signal.SIGINT)
    status = proc.wait(120)
    drain.wait(10)
    for name, value in figures.items():
        print(name, value)
    print("bytes_moved", moved)
    print("bytes_lost", lost)
    print("bytes_out_of_place", changed)
    print("clients", args.clients)
    print("seconds", round(time.monotonic() - start, 1))
    return 0 if status == 0 and lost == 0 and changed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
