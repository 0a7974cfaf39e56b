"""`vcp pty` driven by pyserial and socat: the speed follows the application,
a refused speed is taken back on the terminal, 64 KiB cross unchanged through
the loopback plug and between two terminals, a TCP far end, Ctrl-C."""

import os
import random
import socket
import subprocess
import termios
import threading
import time
import unittest

import serial

from vcp_harness import Pty, read_exactly, wait_for


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
