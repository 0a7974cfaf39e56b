"""`vcp pty` driven by pyserial and socat: the speed follows the application,
a refused speed is taken back on the terminal, 64 KiB cross unchanged through
the loopback plug and between two terminals, a TCP far end, Ctrl-C; nothing
is lost without --realtime (a late reader, a writer that never reads, a far
end that floods), and with it every loss is counted and shown; B0 hangs up;
--link replaces only a stale link."""

import fcntl
import os
import random
import re
import socket
import subprocess
import tempfile
import termios
import threading
import time
import unittest

import serial

from vcp_harness import Pty, Running, read_exactly, rss_mib, run, sanitized, wait_for


def transfer(writer, reader, data):
    """Writes data on one port while reading it on the other; returns what
    was read."""
    t = threading.Thread(target=writer.write, args=(data,))
    t.start()
    got = read_exactly(reader, len(data))
    t.join()
    return got


class PseudoTerminal(unittest.TestCase):
    def start(self, *args, peer=None):
        p = Pty(*args, peer=peer)
        self.addCleanup(p.close)
        return p

    def open(self, path, baudrate=9600):
        ser = serial.Serial(path, baudrate, timeout=10)
        self.addCleanup(ser.close)
        return ser

    def stop(self, p):
        self.assertEqual(p.stop(), 0, p.output())
        self.assertIn("nothing left in the kernel", p.output())
        self.assertFalse(os.path.lexists(p.link), "the link outlived vcp")
        log = p.command_log()
        self.assertTrue(log["kernelClean"], log["leaks"])
        return log

    def test_speed_follows_the_application_and_64_kib_come_back_unchanged(self):
        p = self.start("--variant", "2")
        ser = self.open(p.link)
        ser.baudrate = 19200
        p.wait_line(r"line settings now 19200 8N1")

        data = random.Random(1).randbytes(64 * 1024)
        back = transfer(ser, ser, data)
        self.assertEqual(len(back), len(data))
        self.assertTrue(back == data, "the bytes came back changed")

        # 57600 is not in variant 2's table: refused, and the terminal is put
        # back at the speed in force.
        ser.baudrate = 57600
        p.wait_line(r"refused 57600 8N1")
        self.assertTrue(wait_for(lambda: termios.tcgetattr(ser.fd)[5] == termios.B19200),
                        termios.tcgetattr(ser.fd)[5])
        ser.close()

        log = self.stop(p)
        line_settings = [c["bytes"] for c in log["commands"] if c["kind"] == "line-setting"]
        self.assertEqual(line_settings, ["00 04", "00 05"])  # 9600 8N1 at open, then 19200 8N1
        self.assertEqual(log["converter"]["settings"], "19200 8N1")
        self.assertEqual(log["counters"]["refusals"], 1)

    def test_data_bits_and_parity_come_from_the_format_option(self):
        p = self.start("--variant", "3", "--format", "7E2", "--baud", "38400")
        ser = self.open(p.link, 38400)  # one stop bit
        p.wait_line(r"line settings now 38400 7E1")
        # 76800 has no B constant: pyserial sets it through termios2.
        ser.baudrate = 76800
        p.wait_line(r"line settings now 76800 7E1")
        ser.close()
        log = self.stop(p)
        # Variant 3: 00, baud code (6 38400, 7 76800), setting 0x04 even
        # (7 data bits; 0x02 two stop bits at first).
        self.assertEqual([c["bytes"] for c in log["commands"] if c["kind"] == "line-setting"],
                         ["00 06 06", "00 06 04", "00 07 04"])

    def test_two_terminal_programs_talk_through_the_whole_stack(self):
        p = self.start("--variant", "1", peer="pty")
        a = self.open(p.link)
        b = self.open(p.peer_link)
        forth = random.Random(2).randbytes(64 * 1024)
        back = random.Random(3).randbytes(64 * 1024)
        got_back = []
        t = threading.Thread(target=lambda: got_back.append(transfer(b, a, back)))
        t.start()
        self.assertTrue(transfer(a, b, forth) == forth, "a -> b changed the bytes")
        t.join(150)
        self.assertTrue(got_back and got_back[0] == back, "b -> a changed the bytes")
        a.close()
        b.close()
        log = self.stop(p)
        self.assertEqual(log["counters"]["peerBytesFromLine"], len(forth))
        self.assertEqual(log["counters"]["peerBytesToLine"], len(back))

    def test_socat_as_a_terminal_program(self):
        p = self.start()
        r = subprocess.run(["socat", "-t", "2", "-", f"FILE:{p.link},rawer"], input=b"hello from socat\n",
                           capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"hello from socat\n")
        self.stop(p)

    def test_a_tcp_far_end(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        # An echo server: every connection gets its own cat.
        echo = subprocess.Popen(["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,fork", "EXEC:cat"])
        self.addCleanup(lambda: (echo.kill(), echo.wait()))

        def listening():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return False
        self.assertTrue(wait_for(listening))

        p = self.start(peer=f"tcp:127.0.0.1:{port}")
        ser = self.open(p.link)
        ser.write(b"ping over tcp")
        self.assertEqual(ser.read(13), b"ping over tcp")
        ser.close()
        self.stop(p)

    def test_an_application_that_writes_256_kib_before_it_reads_gets_all_of_it_back(self):
        # What a serial port keeps for a reader that is late (the tty layer
        # holds up to 640 KiB): variant 0, without line-status reads, too.
        for variant in ("2", "0"):
            with self.subTest(variant=variant):
                p = self.start("--variant", variant)
                ser = self.open(p.link)
                ser.write_timeout = 60
                data = random.Random(256 + int(variant)).randbytes(256 * 1024)
                ser.write(data)
                back = read_exactly(ser, len(data))
                self.assertEqual(len(back), len(data))
                self.assertTrue(back == data, "the bytes came back changed")
                ser.close()
                log = self.stop(p)
                self.assertEqual(log["converter"]["bytesToHost"], len(data))
                self.assertEqual(log["loss"]["total"], 0, log["loss"])
                self.assertRegex(p.output(), r"(?m)^loss\s+none$")

    def test_a_writer_that_never_reads_is_held_back_and_loses_nothing(self):
        p = self.start()
        ser = self.open(p.link)
        fd = ser.fileno()
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
        pattern = random.Random(7).randbytes(1 << 20)
        accepted = 0
        quiet_since = time.monotonic()
        # Writes until the port has taken nothing for two seconds: the whole
        # way back to this write is full, as with hardware flow control.
        while time.monotonic() - quiet_since < 2 and accepted < 64 << 20:
            try:
                n = os.write(fd, pattern[accepted % len(pattern):] or pattern)
                accepted += n
                quiet_since = time.monotonic()
            except BlockingIOError:
                time.sleep(0.01)
        self.assertLess(accepted, 8 << 20, "the writer was never held back")
        if not sanitized(p.proc.pid):
            self.assertLess(rss_mib(p.proc.pid), 64, "vcp grew with what it held")
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
        back = read_exactly(ser, accepted)
        expected = (pattern * (accepted // len(pattern) + 1))[:accepted]
        self.assertEqual(len(back), accepted)
        self.assertTrue(back == expected, "the bytes came back changed")
        ser.close()
        log = self.stop(p)
        self.assertEqual(log["loss"]["total"], 0, log["loss"])

    def test_realtime_counts_and_shows_what_the_converter_loses(self):
        # 115200 baud, a 16 KiB receive buffer, and an application that
        # writes without reading: once the port holds reception the
        # converter's FIFO overruns, as hardware would.
        p = self.start("--realtime", "--baud", "115200", "--rx-buffer", "16K")
        ser = self.open(p.link, 115200)
        ser.write_timeout = 60
        writer = threading.Thread(target=ser.write, args=(bytes(160 * 1024),), daemon=True)
        writer.start()
        p.wait_line(r"^status\s.*\| DATA LOST", timeout=120)
        writer.join(60)
        ser.close()
        log = self.stop(p)
        lost = log["loss"]
        self.assertGreater(lost["converterOverrun"], 0, lost)
        self.assertEqual(lost["total"], lost["converterOverrun"], lost)
        self.assertEqual(log["converter"]["rxLostBytes"], lost["converterOverrun"])
        m = re.search(r"(?m)^loss\s+(.*)$", p.output())
        self.assertTrue(m and "converter's receive FIFO" in m.group(1), p.output())

    def far_end(self, serve):
        """A TCP far end on a free port: serve(connection) runs on a thread
        of its own for the one connection vcp makes.  Returns the port."""
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)

        def accept():
            conn, _ = listener.accept()
            with conn:
                serve(conn)

        threading.Thread(target=accept, daemon=True).start()
        return listener.getsockname()[1]

    def test_a_tcp_far_end_that_floods_a_reader_that_never_reads_is_held_back(self):
        sent = []
        opened = threading.Event()
        pattern = bytes(range(256)) * 256

        def flood(conn):
            opened.wait(60)  # pyserial's open flushes what came before it
            conn.settimeout(3)
            total = 0
            try:
                while total < 64 << 20:
                    total += conn.send(pattern)
            except (socket.timeout, OSError):
                pass
            sent.append(total)
            time.sleep(30)

        port = self.far_end(flood)
        p = self.start(peer=f"tcp:127.0.0.1:{port}")
        ser = self.open(p.link)
        # pyserial's open flushes the input, and the port's side with it once
        # vcp has seen the flush: the flood comes after.
        p.wait_line(r"^settings\s+purged the receive side")
        opened.set()
        self.assertTrue(wait_for(lambda: sent, timeout=120), "the far end was never held back")
        self.assertLess(sent[0], 16 << 20)
        if not sanitized(p.proc.pid):
            self.assertLess(rss_mib(p.proc.pid), 64, "vcp grew with what it held")
        back = read_exactly(ser, sent[0])
        self.assertEqual(len(back), sent[0])
        self.assertTrue(back == (pattern * (sent[0] // len(pattern) + 1))[:sent[0]], "bytes changed or lost")
        ser.close()
        log = self.stop(p)
        self.assertEqual(log["loss"]["total"], 0, log["loss"])

    def test_a_tcp_far_end_that_closes_is_said_and_what_is_sent_after_is_counted(self):
        got = []
        port = self.far_end(lambda conn: got.append(conn.recv(5)))
        p = self.start(peer=f"tcp:127.0.0.1:{port}")
        ser = self.open(p.link)
        ser.write(b"hello")
        self.assertTrue(wait_for(lambda: got, timeout=20))
        self.assertEqual(got, [b"hello"])
        p.wait_line(r"^peer\s+the far end 127\.0\.0\.1:\d+ closed the connection")
        p.wait_line(r"-CTS -DSR -RI -DCD")
        ser.write(b"x" * 1000)
        p.wait_line(r"^status\s.*\| DATA LOST")
        ser.close()
        log = self.stop(p)
        self.assertGreater(log["counters"]["peerBytesDropped"], 0)
        self.assertEqual(log["loss"]["farEnd"], log["counters"]["peerBytesDropped"])
        self.assertRegex(p.output(), r"(?m)^loss\s+.*far end")

    def test_b0_hangs_up_and_a_speed_raises_the_lines_again(self):
        p = self.start("--variant", "2")
        ser = self.open(p.link)
        attrs = termios.tcgetattr(ser.fd)
        attrs[4] = attrs[5] = termios.B0
        termios.tcsetattr(ser.fd, termios.TCSANOW, attrs)
        p.wait_line(r"hang-up \(speed 0\): DTR and RTS off")
        p.wait_line(r"^status\s.*\| -DTR -RTS \|")
        attrs[4] = attrs[5] = termios.B9600
        termios.tcsetattr(ser.fd, termios.TCSANOW, attrs)
        p.wait_line(r"a speed again: DTR and RTS on")
        ser.close()
        log = self.stop(p)
        lines = [c["meaning"] for c in log["commands"] if c["kind"] == "modem-control"]
        self.assertIn("RTS off, DTR off", lines)
        self.assertEqual(lines[-1], "RTS on, DTR on")

    def test_a_link_is_replaced_only_when_it_is_stale(self):
        tmp = tempfile.mkdtemp(prefix="vcp-link-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", tmp]))
        path = os.path.join(tmp, "port")
        # A link to a file of the user's: refused, and the file stays.
        target = os.path.join(tmp, "notes.txt")
        with open(target, "w") as f:
            f.write("keep")
        os.symlink(target, path)
        r = run("pty", "--link", path, timeout=60)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("not at a pseudo-terminal", r.stderr)
        self.assertEqual(os.readlink(path), target)
        os.unlink(path)
        # A link held by a running vcp: the second is refused, the first keeps it.
        first = self.start()
        r = run("pty", "--link", first.link, timeout=60)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("in use", r.stderr)
        self.assertTrue(os.path.exists(first.link))
        self.stop(first)
        # A link left by a vcp that was killed: replaced, and said.
        os.symlink("/dev/pts/999999", path)
        second = Running("pty", "--link", path, command_log=False)
        self.addCleanup(second.close)
        second.wait_line(r"^link\s+replaced the stale link " + re.escape(path))
        second.wait_line(r"^port\s+/dev/pts/")
        self.assertTrue(os.readlink(path).startswith("/dev/pts/"))
        self.assertEqual(second.stop(), 0, second.output())
        self.assertFalse(os.path.lexists(path))

    def test_ctrl_c_during_a_transfer_leaves_nothing_behind(self):
        p = self.start(peer="pty")
        a = self.open(p.link)
        stop = threading.Event()

        def pump():
            chunk = bytes(range(256)) * 16
            while not stop.is_set():
                try:
                    a.write(chunk)
                except (serial.SerialException, OSError):
                    return

        t = threading.Thread(target=pump, daemon=True)
        t.start()
        time.sleep(0.5)
        self.stop(p)
        stop.set()
        self.assertIsNotNone(p.proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
