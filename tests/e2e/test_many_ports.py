"""Many converters in one vcp: `vcp serve --ports N` and `vcp pty --ports N`
driven by pyserial on every port at once, each port at settings of its own;
one converter unplugged in the middle of the transfers (and plugged again)
while the others carry their data intact; `vcp info --ports N --json`."""

import json
import os
import random
import re
import shutil
import tempfile
import threading
import time
import unittest

import serial

from vcp_harness import Running, read_exactly, run, wait_for

# Each port's settings: (baud, data bits, parity, stop bits) and the text
# vcp's status line shows for them.
SETTINGS = [
    (9600, 7, "E", 2, "9600 7E2"),
    (19200, 8, "N", 1, "19200 8N1"),
    (38400, 8, "O", 1, "38400 8O1"),
    (115200, 8, "N", 2, "115200 8N2"),
]
SIZE = 1024 * 1024  # each way on every port: long enough to pull one converter mid-transfer


class Transfer:
    """Writes SIZE random bytes on a port while reading them back; an error
    on either side (the port pulled away) ends it and is kept."""

    def __init__(self, ser, seed, pause=0.0):
        self.ser = ser
        self.pause = pause
        self.data = random.Random(seed).randbytes(SIZE)
        self.back = bytearray()
        self.written = 0
        self.error = None
        self.writer = threading.Thread(target=self._write, daemon=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.writer.start()
        self.reader.start()

    def _write(self):
        try:
            for at in range(0, SIZE, 16384):
                self.ser.write(self.data[at:at + 16384])
                self.written = at + 16384
                time.sleep(self.pause)
        except Exception as e:  # the port went away under the writer
            self.error = self.error or e

    def _read(self):
        try:
            while len(self.back) < SIZE:
                chunk = self.ser.read(min(65536, SIZE - len(self.back)))
                if not chunk and self.error:
                    return
                self.back += chunk
        except Exception as e:
            self.error = self.error or e

    def join(self, timeout=240):
        self.reader.join(timeout)
        self.writer.join(5)
        return not self.reader.is_alive()

    def intact(self):
        return len(self.back) == SIZE and bytes(self.back) == self.data


class ManyServers(unittest.TestCase):
    def test_four_ports_at_their_own_settings_and_one_pulled_mid_transfer(self):
        vcp = Running("serve", "--ports", "4", "--rfc2217", "127.0.0.1:0", "--variants", "2,1,2,1",
                      "--stdin-control", stdin=True)
        self.addCleanup(vcp.close)
        urls = {}
        for k in range(4):
            m = vcp.wait_line(rf"^port {k}\s+(rfc2217://[0-9.]+:\d+)\s+\(hub port (\d+), variant {2 - k % 2}\)")
            urls[k] = m.group(1)
        self.assertEqual(len(set(urls.values())), 4, vcp.output())

        ports = []
        for k, (baud, bits, parity, stop, _) in enumerate(SETTINGS):
            ser = serial.serial_for_url(urls[k], baudrate=baud, bytesize=bits, parity=parity, stopbits=stop,
                                        timeout=5)
            self.addCleanup(ser.close)
            ports.append(ser)
        # Each port's own status line, with its own settings and client.
        for k, setting in enumerate(SETTINGS):
            vcp.wait_line(rf"^port {k}\s+{setting[4]} \| DTR RTS \| CTS DSR -RI DCD \| client connected")

        # 16 KiB every 10 ms on each port, every 50 ms on port 2: its
        # converter is pulled once some of its data has come back, while
        # the others are still writing theirs.
        transfers = [Transfer(ser, k, pause=0.05 if k == 2 else 0.01) for k, ser in enumerate(ports)]
        self.assertTrue(wait_for(lambda: len(transfers[2].back) >= 64 * 1024, timeout=120), vcp.output())
        vcp.say("unplug 2")
        self.assertTrue(all(transfers[k].written < SIZE for k in (0, 1, 3)), [t.written for t in transfers])
        pulled = vcp.wait_line(r"^port 2\s+unplugged; lost (.*)$")
        for k, t in enumerate(transfers):
            self.assertTrue(t.join(), f"port {k}'s transfer hangs:\n{vcp.output()}")
        for k in (0, 1, 3):
            self.assertIsNone(transfers[k].error, f"port {k}: {transfers[k].error}")
            self.assertTrue(transfers[k].intact(), f"port {k}: {len(transfers[k].back)} of {SIZE} bytes back, "
                            f"{'changed' if len(transfers[k].back) == SIZE else 'short'}")
        self.assertLess(len(transfers[2].back), SIZE, "port 2 carried everything though it was pulled")
        self.assertTrue(bytes(transfers[2].back) == transfers[2].data[:len(transfers[2].back)],
                        "what port 2 carried before the unplug came back changed")
        ports[2].close()

        # Plugged again: a new converter behind the same TCP port, at the
        # settings its new client asks for.
        vcp.say("plug 2")
        m = vcp.wait_line(r"^port 2\s+plugged again: (rfc2217://[0-9.]+:\d+)\s+\(hub port 3, variant 2\)")
        self.assertEqual(m.group(1), urls[2])
        again = serial.serial_for_url(urls[2], baudrate=38400, timeout=5)
        self.addCleanup(again.close)
        again.write(b"back on the hub")
        self.assertEqual(read_exactly(again, 15), b"back on the hub")
        again.close()
        vcp.say("unplug 9")
        vcp.wait_line(r'"unplug 9" not understood')
        for ser in ports:
            ser.close()

        self.assertEqual(vcp.stop(), 0, vcp.output())
        out = vcp.output()
        self.assertIn("nothing left in the kernel", out)
        for k, setting in enumerate(SETTINGS):
            log = vcp.command_log(k)
            self.assertTrue(log["kernelClean"], log["leaks"])
            if k == 2:
                # What its client had sent and the pulled converter never took
                # is lost, and said so at the unplug; nothing else is.
                loss = log["loss"]
                self.assertEqual(loss["total"], loss["clients"], loss)
                self.assertLessEqual(loss["clients"], transfers[2].written, loss)
                self.assertEqual(pulled.group(1) == "none", loss["clients"] == 0, (pulled.group(0), loss))
            else:
                self.assertEqual(log["loss"]["total"], 0, (k, log["loss"]))
            self.assertEqual(log["variant"], 2 - k % 2)
            if k != 2:
                self.assertEqual(log["converter"]["settings"], setting[4])
                self.assertEqual(log["converter"]["bytesFromHost"], SIZE)
        # Port 2's log is its second converter's: 38400 8N1 and the 15 bytes.
        self.assertEqual(vcp.command_log(2)["converter"]["settings"], "38400 8N1")
        self.assertEqual(vcp.command_log(2)["converter"]["bytesFromHost"], 15)
        self.assertRegex(out, r"loss\s+port 3: none")


class ManyTerminals(unittest.TestCase):
    def test_three_terminals_one_pulled_while_the_others_carry_their_data(self):
        tmp = tempfile.mkdtemp(prefix="vcp-ports-")
        self.addCleanup(shutil.rmtree, tmp)
        prefix = os.path.join(tmp, "tty")
        vcp = Running("pty", "--ports", "3", "--link", prefix, "--variant", "2", "--stdin-control", stdin=True)
        self.addCleanup(vcp.close)
        for k in range(3):
            vcp.wait_line(rf"^port {k}\s+/dev/pts/\d+ \({re.escape(prefix)}{k}\)")
        # A pseudo-terminal carries the speed (the data bits and parity come
        # from --format): each port at a speed of its own.
        speeds = (19200, 38400, 115200)
        ports = []
        for k in range(3):
            ser = serial.Serial(f"{prefix}{k}", speeds[k], timeout=5)
            self.addCleanup(ser.close)
            ports.append(ser)
            vcp.wait_line(rf"^port {k}\s+line settings now {speeds[k]} 8N1")

        transfers = [Transfer(ser, 100 + k, pause=0.05 if k == 1 else 0.01) for k, ser in enumerate(ports)]
        self.assertTrue(wait_for(lambda: len(transfers[1].back) >= 64 * 1024, timeout=120), vcp.output())
        vcp.say("unplug 1")
        self.assertTrue(all(transfers[k].written < SIZE for k in (0, 2)), [t.written for t in transfers])
        vcp.wait_line(r"^port 1\s+unplugged; lost ")
        for k, t in enumerate(transfers):
            self.assertTrue(t.join(), f"port {k}'s transfer hangs:\n{vcp.output()}")
        for k in (0, 2):
            self.assertIsNone(transfers[k].error, f"port {k}: {transfers[k].error}")
            self.assertTrue(transfers[k].intact(), f"port {k}: {len(transfers[k].back)} of {SIZE} bytes back")
        self.assertLess(len(transfers[1].back), SIZE)
        # The pulled port's terminal and its link are gone with it.
        self.assertFalse(os.path.lexists(f"{prefix}1"), "the link outlived its converter")
        self.assertTrue(os.path.lexists(f"{prefix}0"))
        for ser in ports:
            ser.close()
        self.assertEqual(vcp.stop(), 0, vcp.output())
        self.assertIn("nothing left in the kernel", vcp.output())
        for k in range(3):
            self.assertFalse(os.path.lexists(f"{prefix}{k}"), "a link outlived vcp")
            log = vcp.command_log(k)
            self.assertTrue(log["kernelClean"], log["leaks"])
            if k != 1:
                self.assertEqual(log["converter"]["settings"], f"{speeds[k]} 8N1")
                self.assertEqual(log["converter"]["bytesFromHost"], SIZE)


class ManyInfo(unittest.TestCase):
    def test_info_lists_every_port_in_the_walk_of_get_next_pdo(self):
        r = run("info", "--ports", "5", "--variants", "0,1,2,3", "--json")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        info = json.loads(r.stdout)
        ports = info["ports"]
        self.assertEqual([p["index"] for p in ports], list(range(5)))
        self.assertEqual(sorted(p["hubPort"] for p in ports), [1, 2, 3, 4, 5])
        self.assertEqual(sorted(p["getNextPdo"] for p in ports), list(range(5)))
        self.assertEqual(len({p["instancePath"] for p in ports}), 5)
        self.assertEqual([p["variant"] for p in ports], [0, 1, 2, 3, 0])
        self.assertEqual([p["pipes"] for p in ports], [2, 3, 3, 3, 2])  # variant 0 has no status pipe
        self.assertTrue(info["kernelClean"])
        r = run("info", "--ports", "128")
        self.assertEqual(r.returncode, 2, r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()
