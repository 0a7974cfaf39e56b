"""`vcp serve --rfc2217` driven by pyserial's rfc2217:// client: settings,
refusals, modem lines through the loopback plug, 64 KiB both ways, one client
at a time, Ctrl-C in the middle of a transfer."""

import os
import random
import socket
import threading
import time
import unittest

import serial

from vcp_harness import Server, read_exactly, wait_for

# The converter's commands (vendor request 0x0B) for variants 1 and 2:
#   line setting   00 SS   SS: bits 0-1 baud code (0 9600, 1 19200, 2 38400,
#                               3 115200), 0x04 8 data bits, 0x08 two stop bits,
#                               0x10 even, 0x20 odd
#   modem control  01 MM   MM: 0x01 RTS, 0x02 DTR


def modem_lines(ser):
    return (ser.cts, ser.dsr, ser.cd)


class Rfc2217(unittest.TestCase):
    def setUp(self):
        self.server = Server("--variant", "2")
        self.addCleanup(self.server.close)

    def open(self, **settings):
        ser = serial.serial_for_url(self.server.url, timeout=5, **settings)
        self.addCleanup(ser.close)
        return ser

    def wait_disconnects(self, n):
        self.assertTrue(wait_for(lambda: self.server.output().count("disconnected") >= n),
                        self.server.output())

    def stop(self):
        self.assertEqual(self.server.stop(), 0, self.server.output())
        log = self.server.command_log()
        self.assertTrue(log["kernelClean"], log["leaks"])
        return log

    def test_settings_lines_and_64_kib_through_the_whole_stack(self):
        ser = self.open(baudrate=9600, bytesize=7, parity="E", stopbits=2)
        # Opening sends baud rate (9600: already in force), data size, parity,
        # stop size, then DTR and RTS on.
        self.assertTrue(wait_for(lambda: modem_lines(ser) == (True, True, True)), modem_lines(ser))

        ser.baudrate = 115200
        ser.bytesize = 8
        ser.parity = "N"
        ser.stopbits = 1

        # The loopback plug: RTS -> CTS, DTR -> DSR and DCD.
        ser.dtr = False
        self.assertTrue(wait_for(lambda: modem_lines(ser) == (True, False, False)), modem_lines(ser))
        ser.rts = False
        self.assertTrue(wait_for(lambda: modem_lines(ser) == (False, False, False)), modem_lines(ser))
        ser.dtr = True
        ser.rts = True
        self.assertTrue(wait_for(lambda: modem_lines(ser) == (True, True, True)), modem_lines(ser))

        data = random.Random(2217).randbytes(64 * 1024)
        writer = threading.Thread(target=ser.write, args=(data,))
        writer.start()
        back = read_exactly(ser, len(data))
        writer.join()
        self.assertEqual(len(back), len(data))
        self.assertTrue(back == data, "the bytes came back changed")
        ser.close()

        log = self.stop()
        self.assertEqual([c["bytes"] for c in log["commands"]], [
            "00 00",  # 9600 7N1   (data size 7)
            "00 10",  # 9600 7E1   (parity even)
            "00 18",  # 9600 7E2   (stop size 2)
            "01 02",  # DTR on
            "01 03",  # DTR on, RTS on
            "00 1b",  # 115200 7E2
            "00 1f",  # 115200 8E2
            "00 0f",  # 115200 8N2
            "00 07",  # 115200 8N1
            "01 01",  # DTR off, RTS on
            "01 00",  # both off
            "01 02",  # DTR on
            "01 03",  # RTS on
        ])
        self.assertFalse(any(c["stalled"] for c in log["commands"]))
        self.assertEqual(log["converter"]["settings"], "115200 8N1")
        self.assertEqual(log["converter"]["bytesFromHost"], len(data))

    def test_refused_settings_come_back_refused_and_change_nothing(self):
        refusals = (("parity", serial.PARITY_MARK), ("bytesize", 5), ("baudrate", 57600))
        for n, (name, value) in enumerate(refusals, 1):
            with self.subTest(setting=name):
                ser = self.open(baudrate=19200)
                with self.assertRaises((ValueError, serial.SerialException)):
                    setattr(ser, name, value)
                ser.close()
                self.wait_disconnects(n)
        # The answer itself: SET-PARITY MARK (4) is answered NONE (1).
        with socket.create_connection((self.server.host, self.server.port), timeout=5) as s:
            s.sendall(bytes([255, 251, 44, 255, 250, 44, 3, 4, 255, 240]))
            got = b""
            deadline = time.monotonic() + 5
            while bytes([255, 250, 44, 103]) not in got and time.monotonic() < deadline:
                got += s.recv(4096)
            at = got.index(bytes([255, 250, 44, 103]))
            self.assertEqual(got[at + 4], 1)
        log = self.stop()
        line_settings = [c for c in log["commands"] if c["kind"] == "line-setting"]
        self.assertEqual([c["bytes"] for c in line_settings], ["00 05"])  # 19200 8N1, once, nothing refused sent
        self.assertEqual(log["converter"]["settings"], "19200 8N1")
        self.assertEqual(log["converter"]["rejectedCommands"], 0)

    def test_one_client_at_a_time_and_the_next_after_it_leaves(self):
        first = self.open()
        # The server says the port is busy and hangs up: pyserial sees the
        # connection go (a broken pipe, or no negotiation).
        with self.assertRaises((serial.SerialException, OSError)):
            serial.serial_for_url(self.server.url, timeout=1)
        first.write(b"still here")
        self.assertEqual(first.read(10), b"still here")
        first.close()
        self.server.wait_line(r"disconnected")
        second = self.open()
        second.write(b"next")
        self.assertEqual(second.read(4), b"next")
        second.close()
        log = self.stop()
        self.assertEqual(log["counters"]["refused"], 1)

    def test_a_terminal_at_the_far_end_of_the_line(self):
        peer_link = os.path.join(self.server.dir.name, "unused")  # the default server has a loopback plug
        far = Server("--variant", "1", "--peer", "pty", "--peer-link", peer_link + "-peer")
        self.addCleanup(far.close)
        far.wait_line(r"^peer\s+/dev/pts/")
        remote = serial.serial_for_url(far.url, baudrate=38400, timeout=5)
        self.addCleanup(remote.close)
        local = serial.Serial(peer_link + "-peer", 38400, timeout=5)
        self.addCleanup(local.close)
        # The terminal program at the far end holds its lines up.
        self.assertTrue(wait_for(lambda: modem_lines(remote) == (True, True, True)), modem_lines(remote))
        remote.write(b"over the network, down the line")
        self.assertEqual(local.read(31), b"over the network, down the line")
        local.write(b"and back")
        self.assertEqual(remote.read(8), b"and back")
        remote.close()
        local.close()
        self.assertEqual(far.stop(), 0, far.output())
        self.assertFalse(os.path.lexists(peer_link + "-peer"))

    def test_ctrl_c_during_a_transfer_leaves_nothing_behind(self):
        ser = self.open(baudrate=115200)
        stop = threading.Event()

        def pump():
            chunk = bytes(range(256)) * 64
            while not stop.is_set():
                try:
                    ser.write(chunk)
                    ser.read(ser.in_waiting or 1)
                except (serial.SerialException, OSError):
                    return

        t = threading.Thread(target=pump, daemon=True)
        t.start()
        self.server.wait_line(r"connected")
        time.sleep(0.5)
        self.assertEqual(self.server.stop(), 0, self.server.output())
        stop.set()
        t.join(10)
        self.assertIn("nothing left in the kernel", self.server.output())
        self.assertIsNotNone(self.server.proc.poll())
        log = self.server.command_log()
        self.assertTrue(log["kernelClean"], log["leaks"])
        self.assertGreater(log["converter"]["bytesFromHost"], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
