"""The bus capture (--capture) as the real dissector, tshark, reads it, and the
drivers' traces in a file (--debug-log)."""

import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest

import serial

from vcp_harness import VCP, Pty, Server, read_exactly, run, wait_for

TSHARK = shutil.which("tshark") or "/usr/bin/tshark"
CAPINFOS = shutil.which("capinfos") or "/usr/bin/capinfos"
ROOT_WARNING = 'Running as user "root" and group "root". This could be dangerous.'
CUT_SHORT = re.compile(r"appears to have been cut short in the middle of a packet")
# What the application writes in the demo: every printable character, three
# times, more than one bulk packet's worth.
MESSAGE = "".join(chr(c) for c in range(0x20, 0x7F)) * 3


def tshark(capture, *args, stdin=None, cut_short=False):
    """tshark -r on a capture file (or "-" with stdin); returns its output.
    Anything it says on stderr but the warning about running as root fails
    the test, and so does its exit status; a capture cut short may say so
    (and exit 2) when cut_short."""
    env = dict(os.environ, WIRESHARK_CONFIG_DIR=tempfile.gettempdir() + "/vcp-e2e-no-wireshark-profile")
    r = subprocess.run([TSHARK, "-r", capture, *args], input=stdin, capture_output=True, timeout=120, env=env)
    complaints = [line for line in r.stderr.decode(errors="replace").splitlines()
                  if line.strip() and line.strip() != ROOT_WARNING]
    if cut_short:
        assert all(CUT_SHORT.search(line) for line in complaints), complaints
        assert r.returncode in (0, 2), (r.returncode, complaints)
    else:
        assert not complaints, complaints
        assert r.returncode == 0, r.returncode
    return r.stdout.decode()


def fields(capture, *names, filter=None, **kw):
    """One dict per record: field name -> text ('' when absent; repeated
    occurrences joined by ',')."""
    args = ["-T", "fields", "-E", "separator=;", "-E", "occurrence=a", "-E", "aggregator=,"]
    if filter:
        args += ["-Y", filter]
    for name in names:
        args += ["-e", name]
    out = tshark(capture, *args, **kw)
    return [dict(zip(names, line.split(";"))) for line in out.splitlines()]


def complaints_of_the_dissector(capture, **kw):
    """Records the dissector calls malformed or warns about."""
    return tshark(capture, "-Y", '_ws.malformed || _ws.expert.severity >= "Warning"', **kw).strip()


def records_said(output):
    """The record count vcp gives in its capture line."""
    m = re.search(r"(?m)^capture\s+.*?: (\d+) records \((\d+) submissions, (\d+) completions, (\d+) refused\)", output)
    assert m, output
    return [int(g) for g in m.groups()]


def blocks(data):
    """(offset, type, length) of each pcapng block."""
    out, at = [], 0
    while at + 8 <= len(data):
        kind, length = struct.unpack_from("<II", data, at)
        out.append((at, kind, length))
        at += length
    return out


def check_pairs(test, rows):
    """Every submission has exactly one completion of the same URB after
    it; nothing completes that was not submitted; a refusal stands alone."""
    open_urbs = {}
    for r in rows:
        urb, kind = r["usb.urb_id"], r["usb.urb_type"]
        if kind == "'S'":
            test.assertNotIn(urb, open_urbs, "submitted twice before its completion")
            open_urbs[urb] = r
        elif kind == "'C'":
            test.assertIn(urb, open_urbs, "a completion without its submission")
            del open_urbs[urb]
        else:
            test.assertEqual(kind, "'E'")
            test.assertNotIn(urb, open_urbs)
    test.assertEqual(open_urbs, {}, "submissions without a completion")


class DemoCapture(unittest.TestCase):
    """One `vcp demo` on variant 3 with its capture, read back."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="vcp-capture-")
        cls.path = os.path.join(cls.dir.name, "demo.pcapng")
        cls.started = time.time()
        r = run("demo", "--variant", "3", "--message", MESSAGE, "--capture", cls.path)
        cls.finished = time.time()
        assert r.returncode == 0, r.stdout + r.stderr
        cls.output = r.stdout
        cls.said = records_said(r.stdout)
        cls.rows = fields(cls.path, "frame.protocols", "frame.time_epoch", "usb.urb_id", "usb.urb_type",
                          "usb.transfer_type", "usb.endpoint_address", "usb.device_address", "usb.urb_status",
                          "usb.urb_len", "usb.data_len", "usb.bmRequestType", "usb.setup.bRequest",
                          "usb.setup.wValue", "usb.setup.wLength", "usb.data_fragment", "usb.capdata")

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_every_record_is_usb_and_nothing_is_malformed(self):
        total, submissions, completions, refused = self.said
        self.assertEqual(len(self.rows), total)
        self.assertEqual(submissions, completions)
        for r in self.rows:
            self.assertRegex(r["frame.protocols"], r"^usb(:|$)")
        self.assertEqual(complaints_of_the_dissector(self.path), "")
        info = subprocess.run([CAPINFOS, "-k", "-E", self.path], capture_output=True, text=True).stdout
        self.assertIn("Timestamps: wall clock", info)
        self.assertRegex(info, r"USB packets with Linux header and padding")

    def test_timestamps_are_the_wall_clock_of_the_run(self):
        times = [float(r["frame.time_epoch"]) for r in self.rows]
        self.assertEqual(times, sorted(times))
        self.assertGreaterEqual(times[0], self.started - 1)
        self.assertLessEqual(times[-1], self.finished + 1)

    def test_descriptors_show_the_configuration_the_transfers_use(self):
        device = fields(self.path, "usb.bDescriptorType", "usb.idVendor", "usb.bNumConfigurations",
                        filter="usb.bDescriptorType == 1 && usb.urb_type == 'C'")
        self.assertEqual(len(device), 1)
        self.assertEqual(device[0]["usb.bNumConfigurations"], "1")
        config = fields(self.path, "usb.wTotalLength", "usb.bNumInterfaces", "usb.bConfigurationValue",
                        "usb.bInterfaceClass", "usb.bEndpointAddress", "usb.bmAttributes",
                        filter="usb.bDescriptorType == 2 && usb.urb_type == 'C' && usb.wTotalLength")
        # tembris reads 9 bytes and then the whole; the whole lists the endpoints.
        whole = [c for c in config if c["usb.bEndpointAddress"]]
        self.assertEqual(len(whole), 1, config)
        c = whole[0]
        self.assertEqual(c["usb.bNumInterfaces"], "1")
        self.assertEqual(c["usb.bInterfaceClass"], "0xff")
        endpoints = c["usb.bEndpointAddress"].split(",")
        kinds = {"0x02": "bulk", "0x03": "interrupt"}
        attributes = c["usb.bmAttributes"].split(",")[-len(endpoints):]
        described = {e: kinds[a] for e, a in zip(endpoints, attributes)}
        self.assertEqual(described, {"0x02": "bulk", "0x81": "bulk", "0x83": "interrupt"})
        # Every transfer goes to an endpoint the descriptor names, of its type.
        types = {"0x03": "bulk", "0x01": "interrupt"}
        for r in self.rows:
            if r["usb.transfer_type"] in types and r["usb.urb_type"] != "'E'":
                self.assertEqual(described.get(r["usb.endpoint_address"]), types[r["usb.transfer_type"]], r)
        # Then SET_CONFIGURATION with its value.
        sets = fields(self.path, "usb.bmRequestType", "usb.bConfigurationValue", filter="usb.setup.bRequest == 9")
        self.assertEqual([(r["usb.bmRequestType"], r["usb.bConfigurationValue"]) for r in sets], [("0x00", "1")])

    def test_vendor_requests_carry_the_commands_the_converter_got(self):
        said = re.findall(r"vendor request 0x0B  ((?:[0-9A-F]{2} ?)+)", self.output)
        self.assertGreaterEqual(len(said), 3, self.output)  # the line setting, DTR, RTS
        sent = [r for r in self.rows if r["usb.urb_type"] == "'S'" and r["usb.bmRequestType"] == "0x40"]
        self.assertEqual([r["usb.setup.bRequest"] for r in sent], ["11"] * len(said))
        self.assertEqual([r["usb.data_fragment"] for r in sent], [s.replace(" ", "").lower() for s in said])
        self.assertEqual([int(r["usb.setup.wLength"]) for r in sent], [len(s.split()) for s in said])
        self.assertEqual(sent[0]["usb.data_fragment"], "000801", "variant 3: 115200 8N1")
        done = {r["usb.urb_id"]: r for r in self.rows if r["usb.urb_type"] == "'C'"}
        for r in sent:
            self.assertEqual(done[r["usb.urb_id"]]["usb.urb_status"], "0")

    def test_bulk_data_is_what_was_written_and_what_came_back(self):
        out = "".join(r["usb.capdata"] for r in self.rows
                      if r["usb.urb_type"] == "'S'" and r["usb.endpoint_address"] == "0x02")
        back = "".join(r["usb.capdata"] for r in self.rows
                       if r["usb.urb_type"] == "'C'" and r["usb.endpoint_address"] == "0x81")
        self.assertEqual(bytes.fromhex(out).decode(), MESSAGE)
        self.assertEqual(bytes.fromhex(back).decode(), MESSAGE)

    def test_line_status_reads_are_one_byte_interrupt_transfers(self):
        status = [r for r in self.rows if r["usb.endpoint_address"] == "0x83" and r["usb.urb_type"] == "'C'"
                  and r["usb.urb_status"] == "0"]
        self.assertGreater(len(status), 0)
        for r in status:
            self.assertEqual(r["usb.transfer_type"], "0x01")
            self.assertEqual(r["usb.data_len"], "1")

    def test_every_submission_completes_and_the_unplug_ends_what_was_outstanding(self):
        check_pairs(self, self.rows)
        # The receive loop keeps one read going (data or line status) until
        # the unplug ends it: that read completes with the device gone
        # (-ESHUTDOWN) or cancelled (-ENOENT), or, sent just after the
        # unplug, is refused (-ENODEV; its pipe already gone, so endpoint 0).
        reads = [r for r in self.rows if r["usb.endpoint_address"] in ("0x81", "0x83", "0x80")]
        self.assertIn((reads[-1]["usb.urb_type"], reads[-1]["usb.urb_status"]),
                      (("'C'", "-108"), ("'C'", "-2"), ("'E'", "-19")), reads[-3:])


class Streams(unittest.TestCase):
    def test_a_capture_to_standard_output_feeds_tshark_and_vcp_talks_on_stderr(self):
        vcp = subprocess.Popen([VCP, "demo", "--capture", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        pcap, err = vcp.communicate(timeout=120)
        self.assertEqual(vcp.returncode, 0, err.decode())
        err = err.decode()
        self.assertRegex(err, r"(?m)^verdict\s+PASS")
        self.assertTrue(pcap.startswith(b"\x0a\x0d\x0d\x0a"), "stdout holds the capture and nothing else")
        rows = fields("-", "usb.urb_type", "usb.urb_id", stdin=pcap)
        self.assertEqual(len(rows), records_said(err)[0])
        self.assertIn("capture        standard output:", err)

    def test_a_capture_to_a_terminal_is_refused_in_one_line(self):
        import pty as ptymod
        master, slave = ptymod.openpty()
        try:
            r = subprocess.run([VCP, "demo", "--capture", "-"], stdout=slave, stderr=subprocess.PIPE, text=True,
                               timeout=60)
        finally:
            os.close(slave)
            os.close(master)
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        self.assertIn("terminal", r.stderr)

    def test_a_reader_that_goes_away_stops_the_capture_not_the_session(self):
        vcp = subprocess.Popen([VCP, "demo", "--capture", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        vcp.stdout.read(100)
        vcp.stdout.close()
        with vcp.stderr:
            err = vcp.stderr.read().decode()
        self.assertEqual(vcp.wait(120), 0, err)
        self.assertRegex(err, r"(?m)^verdict\s+PASS")
        self.assertIn("writing stopped: the reader closed the pipe", err)

    def test_snap_length_cuts_records_as_libpcap_does(self):
        with tempfile.TemporaryDirectory(prefix="vcp-capture-") as d:
            path = os.path.join(d, "snap.pcapng")
            r = run("demo", "--message", MESSAGE, "--capture", path, "--snaplen", "80")
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            rows = fields(path, "frame.len", "frame.cap_len", "usb.urb_type", "usb.endpoint_address",
                          "usb.data_len", "usb.capdata")
            self.assertTrue(all(int(x["frame.cap_len"]) <= 80 for x in rows))
            writes = [x for x in rows if x["usb.urb_type"] == "'S'" and x["usb.endpoint_address"] == "0x02"]
            self.assertEqual(int(writes[0]["frame.len"]), 64 + len(MESSAGE), "the record keeps its length")
            self.assertEqual(int(writes[0]["usb.data_len"]), len(MESSAGE))
            self.assertEqual(bytes.fromhex(writes[0]["usb.capdata"]).decode(), MESSAGE[:16])
            self.assertEqual(tshark(path, "-Y", "_ws.malformed").strip(), "")
        r = run("demo", "--capture", "/dev/null", "--snaplen", "63")
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)


class CutShort(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="vcp-capture-")
        cls.path = os.path.join(cls.dir.name, "whole.pcapng")
        r = run("demo", "--capture", cls.path)
        assert r.returncode == 0, r.stdout + r.stderr
        with open(cls.path, "rb") as f:
            cls.data = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_a_capture_cut_anywhere_opens_up_to_its_last_whole_record(self):
        packets = [(at, length) for at, kind, length in blocks(self.data) if kind == 6]
        self.assertGreater(len(packets), 10)
        cut = os.path.join(self.dir.name, "cut.pcapng")
        for k in (0, 5, len(packets) // 2, len(packets) - 1):
            at, length = packets[k]
            for where in (at + 4, at + length // 2, at + length - 1):
                with self.subTest(record=k, cut_at=where - at):
                    with open(cut, "wb") as f:
                        f.write(self.data[:where])
                    rows = fields(cut, "usb.urb_type", cut_short=True)
                    self.assertEqual(len(rows), k)
                    self.assertEqual(complaints_of_the_dissector(cut, cut_short=True), "")

    def test_a_session_killed_while_it_writes_leaves_whole_records(self):
        with tempfile.TemporaryDirectory(prefix="vcp-capture-") as d:
            path = os.path.join(d, "killed.pcapng")
            pty = Pty("--capture", path)
            stop = threading.Event()
            try:
                port = serial.Serial(pty.link, 115200, timeout=0.1)

                def traffic():
                    try:
                        while not stop.is_set():
                            port.write(b"x" * 512)
                            port.read(4096)
                    except serial.SerialException:
                        pass  # the port went with the killed vcp

                writer = threading.Thread(target=traffic, daemon=True)
                writer.start()
                self.assertTrue(wait_for(lambda: os.path.getsize(path) > 256 * 1024, timeout=60),
                                "the capture did not grow")
                pty.proc.send_signal(signal.SIGKILL)
                pty.proc.wait(30)
                stop.set()
                writer.join(10)
                port.close()
            finally:
                stop.set()
                pty.close()
            rows = fields(path, "frame.protocols", "usb.urb_type", cut_short=True)
            self.assertGreater(len(rows), 100)
            self.assertTrue(all(re.match(r"^usb(:|$)", r["frame.protocols"]) for r in rows))
            self.assertEqual(complaints_of_the_dissector(path, cut_short=True), "")


class StoppedSessions(unittest.TestCase):
    """pty and serve stopped with Ctrl-C: the capture is whole, and every
    transfer in it has ended."""

    def check_whole(self, path, output):
        rows = fields(path, "usb.urb_type", "usb.urb_id", "usb.setup.bRequest")
        self.assertEqual(len(rows), records_said(output)[0])
        check_pairs(self, rows)
        self.assertIn("9", [r["usb.setup.bRequest"] for r in rows], "SET_CONFIGURATION")
        self.assertEqual(complaints_of_the_dissector(path), "")
        return rows

    def test_pty(self):
        with tempfile.TemporaryDirectory(prefix="vcp-capture-") as d:
            path = os.path.join(d, "pty.pcapng")
            pty = Pty("--capture", path)
            try:
                with serial.Serial(pty.link, 115200, timeout=0.2) as port:
                    port.write(b"through the capture " * 50)
                    self.assertEqual(len(read_exactly(port, 1000)), 1000)
                self.assertEqual(pty.stop(), 0, pty.output())
                rows = self.check_whole(path, pty.output())
                self.assertGreater(len(rows), 20)
            finally:
                pty.close()

    def test_serve(self):
        with tempfile.TemporaryDirectory(prefix="vcp-capture-") as d:
            path = os.path.join(d, "serve.pcapng")
            server = Server("--capture", path)
            try:
                self.assertEqual(server.stop(), 0, server.output())
                self.check_whole(path, server.output())
            finally:
                server.close()


class InfoCapture(unittest.TestCase):
    def test_info_captures_the_start_and_says_which_clock(self):
        with tempfile.TemporaryDirectory(prefix="vcp-capture-") as d:
            path = os.path.join(d, "info.pcapng")
            r = run("info", "--json", "--capture", path)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            import json
            info = json.loads(r.stdout)
            capture = info["capture"]
            self.assertEqual(capture["timestamps"], "wall clock")
            self.assertEqual(capture["linkType"], 220)
            self.assertEqual(capture["submissions"], capture["completions"])
            self.assertEqual(capture["bytes"], os.path.getsize(path))
            rows = fields(path, "usb.urb_type", "usb.setup.bRequest", "usb.bEndpointAddress", "usb.urb_id")
            self.assertEqual(len(rows), capture["submissions"] + capture["completions"] + capture["refused"])
            check_pairs(self, rows)
            endpoints = [e for r in rows for e in r["usb.bEndpointAddress"].split(",") if e]
            self.assertEqual(sorted(set(int(e, 16) for e in endpoints)),
                             sorted(p["endpointAddress"] for p in info["pipes"]), "what tembris saw")
            self.assertIn("9", [r["usb.setup.bRequest"] for r in rows], "SET_CONFIGURATION")


class DebugLog(unittest.TestCase):
    LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{6} f\s*(\d+|-) cpu\d+ (PASSIVE_LEVEL|APC_LEVEL|DISPATCH_LEVEL)\s+(.*)$")

    def read(self, path):
        with open(path) as f:
            return f.read().splitlines()

    def test_each_trace_is_one_line_with_time_frame_processor_and_irql(self):
        with tempfile.TemporaryDirectory(prefix="vcp-log-") as d:
            path = os.path.join(d, "norva.log")
            r = run("demo", "--debug-level", "0x7f", "--debug-log", path)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertEqual(r.stderr, "", "the traces go to the file, not stderr")
            lines = self.read(path)
            self.assertIn('"DebugLevel" 0x7f', lines[0])
            traces = [l for l in lines if not l.startswith("#")]
            matches = [self.LINE.match(l) for l in traces]
            self.assertTrue(all(matches), [l for l, m in zip(traces, matches) if not m][:3])
            m = re.search(r"(?m)^debug log\s+.*: (\d+) line\(s\)", r.stdout)
            self.assertEqual(int(m.group(1)), len(traces))
            # A location prefix and its message are one line, whatever ran
            # between the two calls on other threads.
            texts = [m.group(3) for m in matches]
            self.assertIn("FilterDispatchPnp", {t.split(":", 1)[-1] for t in texts if t.startswith("filter(")})
            self.assertNotIn("FilterDispatchPnp", texts, "a message without its prefix")
            # Completion routines print at DISPATCH_LEVEL, dispatch routines at PASSIVE_LEVEL.
            irqls = {m.group(2) for m in matches}
            self.assertEqual(irqls & {"PASSIVE_LEVEL", "DISPATCH_LEVEL"}, {"PASSIVE_LEVEL", "DISPATCH_LEVEL"})

    def test_without_a_level_the_log_has_norvas_default_mask(self):
        with tempfile.TemporaryDirectory(prefix="vcp-log-") as d:
            path = os.path.join(d, "norva.log")
            r = run("demo", "--debug-log", path)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            lines = self.read(path)
            self.assertIn("not set (norva's default, 3)", lines[0])
            self.assertTrue(any(l.endswith(":rx finish") for l in lines), "a state change (0x02)")
            self.assertFalse(any(l.endswith(":FilterPass") for l in lines), "an entry trace (0x04)")

    def test_the_log_rotates_at_its_limit(self):
        with tempfile.TemporaryDirectory(prefix="vcp-log-") as d:
            path = os.path.join(d, "norva.log")
            r = run("demo", "--debug-level", "0x7f", "--debug-log", path, "--debug-log-limit", "8KiB")
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertRegex(r.stdout, r"rotated \d+ time\(s\)")
            for p in (path, path + ".1"):
                self.assertLessEqual(os.path.getsize(p), 8192 + 512, p)  # its notes may pass the limit
            lines = self.read(path)
            self.assertTrue(lines[0].startswith("# continued"), lines[0])
            self.assertRegex(lines[-1], r"^# log ends")
            r = run("demo", "--debug-log", path, "--debug-log-limit", "100")
            self.assertNotEqual(r.returncode, 0)
            self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)


if __name__ == "__main__":
    unittest.main()
