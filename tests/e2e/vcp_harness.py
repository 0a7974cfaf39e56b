"""Runs the vcp program for the end-to-end tests: one-shot commands, and the
long-running `vcp serve` and `vcp pty` as processes that are stopped with
Ctrl-C (SIGINT), as a person stops them."""

import json
import socket
import os
import queue
import re
import signal
import subprocess
import tempfile
import threading
import time

VCP = os.environ.get("VCP") or os.path.join(os.path.dirname(__file__), "..", "..", "build", "host", "tools", "vcp",
                                            "vcp")


def run(*args, timeout=120):
    """Runs vcp to the end; returns the completed process (text output)."""
    return subprocess.run([VCP, *args], capture_output=True, text=True, timeout=timeout)


def wait_for(predicate, timeout=10.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def sanitized(pid):
    """Whether the process runs under ASan or TSan, whose shadow memory and
    quarantine make its resident size mean nothing for a bound."""
    with open(f"/proc/{pid}/maps") as f:
        return any("libasan" in line or "libtsan" in line for line in f)


def rss_mib(pid):
    """A process's resident memory in MiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError(f"no VmRSS for {pid}")


def read_exactly(ser, n, timeout=120.0):
    """Reads n bytes from a pyserial port, however many of its own timeouts
    that takes, up to timeout seconds in all (a sanitizer build is slow)."""
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < n and time.monotonic() < deadline:
        got += ser.read(n - len(got))
    return got


class Running:
    """A vcp command running in the background.  Its output is collected line
    by line; stop() sends SIGINT and waits for the exit."""

    def __init__(self, *args, command_log=True, stdin=False):
        self.dir = tempfile.TemporaryDirectory(prefix="vcp-e2e-")
        self.log_path = os.path.join(self.dir.name, "commands.json") if command_log else None
        extra = ["--command-log", self.log_path] if command_log else []
        self.proc = subprocess.Popen([VCP, *args, *extra], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.PIPE if stdin else subprocess.DEVNULL, text=True, bufsize=1)
        self.lines = []
        self._queue = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.returncode = None

    def _read(self):
        for line in self.proc.stdout:
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def _drain(self):
        while True:
            try:
                line = self._queue.get_nowait()
            except queue.Empty:
                return
            if line is not None:
                self.lines.append(line)

    def output(self):
        self._drain()
        return "\n".join(self.lines)

    def wait_line(self, pattern, timeout=20.0):
        """The first match of the regular expression in the output so far or
        to come; raises when vcp exits or the time is up without one."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        seen = 0
        while True:
            self._drain()
            for line in self.lines[seen:]:
                m = rx.search(line)
                if m:
                    return m
            seen = len(self.lines)
            if self.proc.poll() is not None and self._queue.empty():
                self._drain()
                raise AssertionError(f"vcp exited ({self.proc.returncode}) without {pattern!r}:\n{self.output()}")
            if time.monotonic() > deadline:
                raise AssertionError(f"no {pattern!r} from vcp in {timeout} s:\n{self.output()}")
            time.sleep(0.01)

    def stop(self, timeout=60):
        """Ctrl-C, then the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError(f"vcp did not exit {timeout} s after Ctrl-C:\n{self.output()}")
        self._reader.join(5)
        self._drain()
        return self.returncode

    def say(self, line):
        """A line on vcp's standard input (stdin=True)."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def command_log(self, port=None):
        """The --command-log file; with --ports, port's."""
        with open(self.log_path if port is None else f"{self.log_path}.{port}") as f:
            return json.load(f)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.dir.cleanup()


class Server(Running):
    """`vcp serve --rfc2217` on a free port."""

    def __init__(self, *args):
        super().__init__("serve", "--rfc2217", "127.0.0.1:0", *args)
        m = self.wait_line(r"serving\s+rfc2217://([0-9.]+):(\d+)")
        self.url = f"rfc2217://{m.group(1)}:{m.group(2)}"
        self.host, self.port = m.group(1), int(m.group(2))


class Pty(Running):
    """`vcp pty` with stable links to its terminals."""

    def __init__(self, *args, peer=None):
        self._tmp = tempfile.mkdtemp(prefix="vcp-pty-")
        self.link = os.path.join(self._tmp, "port")
        extra = ["--link", self.link]
        self.peer_link = None
        if peer == "pty":
            self.peer_link = os.path.join(self._tmp, "peer")
            extra += ["--peer", "pty", "--peer-link", self.peer_link]
        elif peer:
            extra += ["--peer", peer]
        super().__init__("pty", *extra, *args)
        self.wait_line(r"^port\s+/dev/pts/")

    def close(self):
        super().close()
        for name in ("port", "peer"):
            path = os.path.join(self._tmp, name)
            if os.path.islink(path):
                os.unlink(path)
        os.rmdir(self._tmp)


IAC, SB, SE, WILL, DO, NOP, COM_PORT = 255, 250, 240, 251, 253, 241, 44


class RawClient:
    """An RFC 2217 client on a plain socket, for what pyserial does not do
    (half-close, suspend, line-state masks, IPv6): the server's data comes
    back with Telnet commands taken out, its COM-PORT answers kept."""

    def __init__(self, host, port, family=socket.AF_INET, agree=True):
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.settimeout(120)
        self.sock.connect((host, port))
        self.data = bytearray()
        self.answers = []  # (code, value) of every COM-PORT subnegotiation
        self.closed = False
        self._state = "data"
        self._sub = bytearray()
        if agree:
            self.sock.sendall(bytes([IAC, WILL, COM_PORT, IAC, DO, COM_PORT]))

    def command(self, code, value=b""):
        body = bytes(value).replace(bytes([IAC]), bytes([IAC, IAC]))
        self.sock.sendall(bytes([IAC, SB, COM_PORT, code]) + body + bytes([IAC, SE]))

    def send(self, data):
        self.sock.sendall(bytes(data).replace(bytes([IAC]), bytes([IAC, IAC])))

    def _parse(self, chunk):
        # States: data, after IAC, after a negotiation verb, inside SB, IAC
        # inside SB.
        for b in chunk:
            st = self._state
            if st == "data":
                if b == IAC:
                    self._state = "iac"
                else:
                    self.data.append(b)
            elif st == "iac":
                if b == IAC:
                    self.data.append(IAC)
                    self._state = "data"
                elif b in (251, 252, 253, 254):
                    self._state = "verb"
                elif b == SB:
                    self._sub = bytearray()
                    self._state = "sb"
                else:
                    self._state = "data"
            elif st == "verb":
                self._state = "data"
            elif st == "sb":
                if b == IAC:
                    self._state = "sb-iac"
                else:
                    self._sub.append(b)
            elif st == "sb-iac":
                if b == IAC:
                    self._sub.append(IAC)
                    self._state = "sb"
                else:  # SE, or a broken-off subnegotiation
                    if len(self._sub) >= 2 and self._sub[0] == COM_PORT:
                        self.answers.append((self._sub[1], bytes(self._sub[2:])))
                    self._state = "data"

    def receive_until(self, predicate, timeout=120.0):
        """Reads until predicate(self) holds, the server closes or the time
        is up; returns whether it holds."""
        deadline = time.monotonic() + timeout
        while not predicate(self) and not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(min(left, 1.0))
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                self.closed = True
                break
            self._parse(chunk)
        return predicate(self)

    def close(self):
        self.sock.close()
