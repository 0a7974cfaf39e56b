"""`vcp serve --rfc2217` driven by pyserial's rfc2217:// client and plain
sockets: settings, refusals, modem lines through the loopback plug, 64 KiB
both ways, one client at a time, Ctrl-C in the middle of a transfer; nothing
lost without --realtime, every loss reported with it (NOTIFY-LINESTATE
included); clients that go away, half-close, stay silent, come one after the
other, flood the log or send hostile text; IPv6 and listening beyond
loopback."""

import os
import random
import re
import socket
import threading
import time
import unittest

import serial

from vcp_harness import Running, RawClient, Server, read_exactly, wait_for

SET_BAUDRATE, SET_CONTROL, NOTIFY_LINESTATE, SUSPEND, SET_LINESTATE_MASK, SIGNATURE = 1, 5, 6, 8, 10, 0
SERVER = 100
OVERRUN = 0x02

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


class Rfc2217Clients(unittest.TestCase):
    """Each test starts the server it needs."""

    def start(self, *args):
        server = Server(*args)
        self.addCleanup(server.close)
        return server

    def client(self, server, **kw):
        c = RawClient(server.host, server.port, **kw)
        self.addCleanup(c.close)
        return c

    def stop(self, server):
        self.assertEqual(server.stop(), 0, server.output())
        log = server.command_log()
        self.assertTrue(log["kernelClean"], log["leaks"])
        return log

    def test_megabytes_with_a_megabyte_in_flight_lose_nothing(self):
        server = self.start("--variant", "2")
        c = self.client(server)
        data = bytes(b % 255 for b in random.Random(16).randbytes(16 << 20))  # no IAC: the count is the data
        sent = 0
        while sent < len(data):
            if sent - len(c.data) < 1 << 20:
                c.send(data[sent:sent + 65536])
                sent += 65536
            else:
                c.receive_until(lambda x: sent - len(x.data) < 1 << 20)
        self.assertTrue(c.receive_until(lambda x: len(x.data) >= len(data)))
        self.assertTrue(bytes(c.data) == data, "bytes came back changed or lost")
        c.close()
        log = self.stop(server)
        self.assertEqual(log["loss"]["total"], 0, log["loss"])

    def test_realtime_overruns_reach_the_client_and_every_place_a_user_looks(self):
        server = self.start("--variant", "2", "--realtime", "--rx-buffer", "16K")
        c = self.client(server)
        c.command(SET_BAUDRATE, (115200).to_bytes(4, "big"))
        c.command(SET_LINESTATE_MASK, bytes([0xFF]))
        c.command(SUSPEND)  # hold the port's data: the port holds reception, the converter overruns
        c.send(bytes(120 * 1024))
        self.assertTrue(c.receive_until(lambda x: (SERVER + NOTIFY_LINESTATE, bytes([OVERRUN])) in x.answers,
                                        timeout=180), c.answers)
        server.wait_line(r"^status\s.*\| DATA LOST")
        c.close()
        log = self.stop(server)
        self.assertGreater(log["loss"]["converterOverrun"], 0, log["loss"])
        self.assertGreaterEqual(log["counters"]["overrunReports"], 1)
        self.assertRegex(server.output(), r"(?m)^loss\s+.*converter's receive FIFO")

    def test_a_client_that_goes_away_mid_transfer_frees_the_port_for_the_next(self):
        # 500 KB at 9600 baud take nine minutes: the server drops what has not
        # reached the line rather than keeping the next client out.
        server = self.start("--realtime")
        c = self.client(server)
        c.send(b"x" * 500_000)
        c.close()
        server.wait_line(r"dropped \d+ bytes 127\.0\.0\.1:\d+ sent", timeout=60)
        server.wait_line(r"disconnected")
        nxt = serial.serial_for_url(server.url, timeout=10)
        self.addCleanup(nxt.close)
        nxt.write(b"next")
        got = b""
        while not got.endswith(b"next") and len(got) < 8192:
            more = nxt.read(1)
            if not more:
                break
            got += more
        # At most what was already on the line of the old echo comes first.
        self.assertTrue(got.endswith(b"next"), got[-64:])
        self.assertLess(len(got), 1024)
        self.assertEqual(got[:-4].strip(b"x"), b"")
        nxt.close()
        log = self.stop(server)
        self.assertEqual(log["counters"]["refused"], 0)
        self.assertGreater(log["counters"]["clientBytesDropped"] + log["counters"]["purgedUnsent"], 0)

    def test_realtime_echo_flows_while_the_client_is_still_writing(self):
        server = self.start("--realtime")
        c = self.client(server)

        def write():
            try:
                c.send(b"e" * (16 << 20))  # hours at 9600 baud: the server waits for the port all along
            except OSError:
                pass

        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        # While the server waits to hand the client's bytes to the port, the
        # port's data goes on to the client: the echo comes at once, not
        # when a write to the port happens to let it.
        self.assertTrue(c.receive_until(lambda x: len(x.data) >= 64, timeout=10), len(c.data))
        self.assertTrue(writer.is_alive())
        c.close()
        self.stop(server)

    def test_a_half_closed_client_still_gets_its_echo(self):
        server = self.start()
        c = self.client(server)
        c.send(b"hello before I close my side")
        c.sock.shutdown(socket.SHUT_WR)
        self.assertTrue(c.receive_until(lambda x: b"hello before I close my side" in x.data), bytes(c.data))
        self.assertTrue(c.receive_until(lambda x: x.closed, timeout=30), "the session never ended")
        self.stop(server)

    def test_clients_one_after_the_other_are_all_served(self):
        server = self.start()
        for i in range(30):
            c = RawClient(server.host, server.port)
            c.send(b"%02d" % i)
            self.assertTrue(c.receive_until(lambda x: (b"%02d" % i) in x.data, timeout=30), (i, bytes(c.data)))
            c.close()
        log = self.stop(server)
        self.assertEqual(log["counters"]["refused"], 0)
        self.assertEqual(log["counters"]["sessions"], 30)

    def test_a_silent_client_is_closed_at_the_idle_limit(self):
        server = self.start("--idle-timeout", "1")
        c = self.client(server, agree=False)
        self.assertTrue(c.receive_until(lambda x: x.closed, timeout=30), "the silent client kept the port")
        server.wait_line(r"nothing moved for 1 s \(the idle limit\)")
        self.stop(server)

    def test_client_text_cannot_forge_log_lines_or_reach_the_terminal(self):
        server = self.start()
        c = self.client(server)
        c.command(SIGNATURE, b"evil\nclean     nothing left in the kernel\x1b]0;owned\x07")
        server.wait_line(r"client signature:")
        # A flood of commands a log line each: a burst passes, the rest is summed up.
        c.sock.sendall(bytes([255, 250, 44, 99, 255, 240]) * 5000)
        c.send(b"z")
        self.assertTrue(c.receive_until(lambda x: b"z" in x.data))
        c.close()
        server.wait_line(r"disconnected")
        out = server.output()
        log = self.stop(server)
        self.assertNotIn("\x1b", out)
        self.assertEqual(len(re.findall(r"(?m)^clean\s", server.output())), 1, server.output())
        self.assertIn("\\x0aclean", out)
        self.assertLess(len(out.splitlines()), 200)
        self.assertGreater(log["counters"]["logLinesLeftOut"], 4000)

    def test_ipv6_and_a_warning_beyond_loopback(self):
        for address, family, beyond in (("[::1]:0", socket.AF_INET6, False), ("0.0.0.0:0", socket.AF_INET, True)):
            with self.subTest(address=address):
                r = Running("serve", "--rfc2217", address)
                self.addCleanup(r.close)
                try:
                    m = r.wait_line(r"serving\s+rfc2217://(\[[0-9a-f:]+\]|[0-9.]+):(\d+)")
                except AssertionError:
                    if family == socket.AF_INET6 and "Cannot assign requested address" in r.output():
                        self.skipTest("no IPv6 loopback here")
                    raise
                host = m.group(1).strip("[]")
                c = RawClient("127.0.0.1" if host == "0.0.0.0" else host, int(m.group(2)), family=family)
                c.send(b"over " + address.encode())
                self.assertTrue(c.receive_until(lambda x: (b"over " + address.encode()) in x.data))
                c.close()
                self.assertEqual("WARNING" in r.output(), beyond, r.output())
                self.assertEqual(r.stop(), 0, r.output())


if __name__ == "__main__":
    unittest.main(verbosity=2)
