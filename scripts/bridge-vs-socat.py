#!/usr/bin/env python3
"""bridge-vs-socat.py - bytes through `vcp pty --peer pty` against socat.

Two client processes move the same bytes twice in one run: a writer puts
them into one pseudo-terminal and a reader takes them from another.  First
the two terminals are the ends of `vcp pty --peer pty` (the port's terminal,
through norva, tembris, the hub and the converter, to the terminal on the
converter's serial side); then they are two terminals that socat joins
directly.  Each client holds its terminal in raw mode.  The time runs from
the writer's start to the reader's last byte; the reader checks the bytes.

Each round is a pair, vcp then socat, and gives a ratio of their rates:
the machine's load weighs on both of a pair alike.  The figure is the
median of the rounds' ratios, and every round's is printed.

Prints "NAME VALUE" lines (vcp_bytes_per_second, socat_bytes_per_second,
the best of each; ratio, the median of the pairs; ratios, each pair's,
comma-separated; *_intact); exits 2 when socat is missing.
"""

import argparse
import hashlib
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty

CHUNK = 65536


def data(size, seed=1):
    return random.Random(seed).randbytes(size)


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    return fd


def client_write(path, size):
    fd = open_raw(path)
    payload = memoryview(data(size))
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    sys.stdin.readline()  # go
    done = 0
    while done < size:
        done += os.write(fd, payload[done:done + CHUNK])
    sys.stdin.readline()  # hold the terminal open until the reader is done
    os.close(fd)


def client_read(path, size):
    fd = open_raw(path)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    digest = hashlib.sha256()
    got = 0
    while got < size:
        ready, _, _ = select.select([fd], [], [], 20.0)
        if not ready:
            break
        chunk = os.read(fd, min(CHUNK, size - got))
        digest.update(chunk)
        got += len(chunk)
    sys.stdout.write(f"{time.monotonic()} {got} {digest.hexdigest()}\n")
    sys.stdout.flush()
    os.close(fd)


def wait_for(paths, proc, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not all(os.path.exists(p) for p in paths):
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not make its terminals ({proc.returncode})")
        time.sleep(0.02)


def move(a, b, size):
    """Moves size bytes from terminal a to terminal b; (seconds, intact)."""
    me = [sys.executable, os.path.abspath(__file__)]
    reader = subprocess.Popen(me + ["--client-read", b, "--bytes", str(size)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    writer = subprocess.Popen(me + ["--client-write", a, "--bytes", str(size)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        for p in (reader, writer):
            if p.stdout.readline().strip() != "ready":
                raise RuntimeError("a client did not start")
        start = time.monotonic()
        writer.stdin.write("go\n")
        writer.stdin.flush()
        line = reader.stdout.readline().split()
        writer.stdin.write("end\n")
        writer.stdin.flush()
    finally:
        for p in (reader, writer):
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
    end, got, hexdigest = float(line[0]), int(line[1]), line[2]
    intact = got == size and hexdigest == hashlib.sha256(data(size)).hexdigest()
    return end - start, intact


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--vcp", help="the vcp program")
    ap.add_argument("--bytes", type=int, default=16 << 20)
    ap.add_argument("--rounds", type=int, default=5, help="pairs of runs, vcp then socat")
    ap.add_argument("--client-write")
    ap.add_argument("--client-read")
    args = ap.parse_args()
    if args.client_write:
        return client_write(args.client_write, args.bytes)
    if args.client_read:
        return client_read(args.client_read, args.bytes)
    if not args.vcp:
        ap.error("--vcp is required")
    if not shutil.which("socat"):
        print("socat is not installed")
        return 2

    results = {"vcp": [], "socat": []}
    with tempfile.TemporaryDirectory() as d:
        a, b = os.path.join(d, "a"), os.path.join(d, "b")
        for _ in range(args.rounds):
            # vcp: the port's terminal a, the far end's terminal b.
            proc = subprocess.Popen([args.vcp, "pty", "--peer", "pty", "--link", a, "--peer-link", b],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            try:
                wait_for([a, b], proc, "vcp pty")
                results["vcp"].append(move(a, b, args.bytes))
            finally:
                stop(proc)
            # socat joining two terminals directly.
            proc = subprocess.Popen(["socat", f"pty,raw,echo=0,link={a}", f"pty,raw,echo=0,link={b}"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                wait_for([a, b], proc, "socat")
                results["socat"].append(move(a, b, args.bytes))
            finally:
                stop(proc)
                for p in (a, b):
                    if os.path.lexists(p):
                        os.unlink(p)

    pairs = [(socat / vcp if vcp > 0 else 0) for (vcp, _), (socat, _) in zip(results["vcp"], results["socat"])]
    ordered = sorted(pairs)
    median = ordered[len(ordered) // 2] if len(ordered) % 2 else sum(ordered[len(ordered) // 2 - 1:][:2]) / 2
    rates = {}
    for name, runs in results.items():
        best = min(seconds for seconds, _ in runs)
        rates[name] = args.bytes / best if best > 0 else 0
        print(f"{name}_seconds {best:.4f}")
        print(f"{name}_bytes_per_second {rates[name]:.0f}")
        print(f"{name}_intact {int(all(ok for _, ok in runs))}")
    print(f"bytes {args.bytes}")
    print(f"ratio {median:.3f}")
    print("ratios " + ",".join(f"{r:.3f}" for r in pairs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
