"""`vcp demo` and `vcp info` from the outside: exit status, verdict, JSON."""

import json
import os
import signal
import struct
import subprocess
import tempfile
import time
import unittest

from vcp_harness import run


class Demo(unittest.TestCase):
    def check_demo(self, *args):
        r = run("demo", *args)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"(?m)^verdict\s+PASS: (\d+) of \1 checks passed$")
        self.assertNotIn("FAIL", r.stdout)
        self.assertLessEqual(len(r.stdout.splitlines()), 40, r.stdout)
        return r.stdout

    def test_every_variant_passes_with_a_verdict(self):
        for variant in range(4):
            with self.subTest(variant=variant):
                out = self.check_demo("--variant", str(variant))
                self.assertIn(f"variant {variant}", out)

    def test_settings_and_lines_reach_the_converter_on_variants_with_commands(self):
        out = self.check_demo("--variant", "3")
        # Variant 3: {0x00, baud code 8 (115200), 0x01 (8 data bits)}.
        self.assertIn("00 08 01", out)
        self.assertRegex(out, r"modem status back: CTS DSR -RI DCD")

    def test_the_windows_98_unplug_passes_too(self):
        out = self.check_demo("--win98-unplug")
        self.assertIn("Windows 98 removal", out)

    def test_real_time_pacing_passes_too(self):
        out = self.check_demo("--realtime")
        self.assertIn("1 ms frames", out)

    def test_no_subcommand_runs_the_demo(self):
        r = run()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("vcp demo:", r.stdout)

    def test_debug_level_echoes_norvas_traces(self):
        r = run("demo", "--debug-level", "0x7f")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("FilterDeviceControl", r.stderr)


class CommandLine(unittest.TestCase):
    def test_help_everywhere(self):
        for args in ([], ["demo"], ["pty"], ["serve"], ["info"]):
            with self.subTest(args=args):
                r = run(*args, "--help")
                self.assertEqual(r.returncode, 0)
                self.assertIn("--help", r.stdout)
                self.assertIn("Exit status: 0", r.stdout)
        pty_help = run("pty", "--help").stdout.replace("\n", " ").replace("  ", " ")
        self.assertIn("force 8 data bits and", pty_help)
        self.assertIn("none (an open line", pty_help)
        self.assertIn("nothing is ever lost", pty_help)

    def test_a_bad_argument_is_a_usage_error_in_one_line(self):
        for args in (["demo", "--variant", "7"], ["serve"], ["info", "--descriptors", "/nonexistent"],
                     ["demo", "--debug-level", "lots"], ["frobnicate"], ["pty", "--peer-link", "/tmp/x"],
                     ["serve", "--rfc2217", "2217", "--peer", "loopback", "--peer-link", "/tmp/x"],
                     ["pty", "--peer", "serial"], ["pty", "--format", "9Z1"], ["serve", "--rfc2217", "::1:2217"],
                     ["pty", "--rx-buffer", "12"]):
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        self.assertIn("needs --peer pty", run("pty", "--peer-link", "/tmp/x").stderr)

    def test_modules_that_are_not_what_they_are_given_as_are_refused_before_anything_runs(self):
        build = os.path.join(os.path.dirname(os.environ.get("VCP", "")), "..", "..")
        norva = os.path.join(build, "norva", "norva.so")
        tembris = os.path.join(build, "tembris", "tembris.so")
        if not (os.path.exists(norva) and os.path.exists(tembris)):
            self.skipTest("the modules are not in the build tree")
        for args, words in ((["--norva", tembris, "--tembris", norva], "is not norva"),
                            (["--norva", norva, "--tembris", norva], "the same module")):
            with self.subTest(args=args):
                r = run("info", *args)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(words, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                # The demo gives its verdict.
                r = run("demo", *args)
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                self.assertRegex(r.stdout, r"(?m)^boot\s+FAIL .*" + words)
                self.assertRegex(r.stdout, r"(?m)^verdict\s+FAIL")
                self.assertNotIn("violation", (r.stdout + r.stderr).lower())


# A composite device: interface 0 vendor-specific with bulk OUT 0x01, bulk IN
# 0x82 (512-byte packets) and interrupt IN 0x85; interface 1 a HID keyboard
# with its own interrupt IN 0x84.  tembris takes the first interface only.
def composite_descriptors():
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0xEF, 0x02, 0x01, 64, 0x1234, 0x5678, 0x0100, 1, 2, 3, 1)
    iface0 = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 3, 0xFF, 0x00, 0x00, 0)
    ep1 = struct.pack("<BBBBHB", 7, 5, 0x01, 2, 512, 0)
    ep2 = struct.pack("<BBBBHB", 7, 5, 0x82, 2, 512, 0)
    ep3 = struct.pack("<BBBBHB", 7, 5, 0x85, 3, 16, 4)
    iface1 = struct.pack("<BBBBBBBBB", 9, 4, 1, 0, 1, 0x03, 0x01, 0x01, 0)
    hid = struct.pack("<BBHBBBH", 9, 0x21, 0x0111, 0, 1, 0x22, 63)
    ep4 = struct.pack("<BBBBHB", 7, 5, 0x84, 3, 8, 10)
    body = iface0 + ep1 + ep2 + ep3 + iface1 + hid + ep4
    config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(body), 2, 1, 0, 0x80, 50) + body
    return device + config


class Info(unittest.TestCase):
    def info(self, *args):
        r = run("info", "--json", *args)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        data = json.loads(r.stdout)
        self.assertTrue(data["kernelClean"], data["leaks"])
        return data

    def test_variant_2_has_three_pipes(self):
        pipes = self.info("--variant", "2")["pipes"]
        self.assertEqual([(p["name"], p["type"], p["endpointAddress"]) for p in pipes],
                         [("PIPE00", "bulk", 0x02), ("PIPE01", "bulk", 0x81), ("PIPE02", "interrupt", 0x83)])
        self.assertEqual({p["maximumTransferSize"] for p in pipes}, {102400})

    def test_variant_0_has_two_pipes(self):
        pipes = self.info("--variant", "0")["pipes"]
        self.assertEqual([(p["name"], p["type"], p["direction"]) for p in pipes],
                         [("PIPE00", "bulk", "out"), ("PIPE01", "bulk", "in")])

    def test_stack_interfaces_and_the_ports_identity(self):
        data = self.info()
        drivers = [d["driver"] for d in data["stack"]]
        self.assertEqual(len(drivers), 4, data["stack"])
        self.assertTrue(drivers[1].endswith("tembris") and drivers[2].endswith("norva"), drivers)
        self.assertEqual({i["class"] for i in data["interfaces"]}, {"GUID_CLASS_USBCVT", "GUID_WDMVXD"})
        port = data["port"]
        self.assertEqual((port["deviceId"], port["instanceId"]), ("VOZ_BUS\\VOZ_0001", "0000"))
        self.assertEqual(port["busInformation"]["busType"].upper(), "{35A906D6-DF35-4465-B74F-8E6F21847B9E}")
        ranges = [(r["minimum"], r["maximum"]) for r in port["resourceRequirements"]]
        self.assertEqual(ranges, [(0x3F8, 0x3FF), (0x2F8, 0x2FF), (0x3E8, 0x3EF), (0x2E8, 0x2EF), (0x200, 0xFFF)])

    def test_the_pipes_of_a_composite_devices_descriptor_file(self):
        with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
            f.write(composite_descriptors())
        try:
            data = self.info("--descriptors", f.name)
        finally:
            os.unlink(f.name)
        self.assertTrue(data["descriptorsFromFile"])
        self.assertEqual(data["configuration"]["interfaces"], 2)
        self.assertEqual([(p["endpointAddress"], p["type"], p["maximumPacketSize"], p["interval"])
                          for p in data["pipes"]],
                         [(0x01, "bulk", 512, 0), (0x82, "bulk", 512, 0), (0x85, "interrupt", 16, 4)])

    def test_a_descriptor_file_that_lies_is_refused_with_a_reason(self):
        data = bytearray(composite_descriptors())
        data[20] += 1  # wTotalLength one more than the file holds
        with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
            f.write(bytes(data))
        try:
            r = run("info", "--descriptors", f.name)
        finally:
            os.unlink(f.name)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("wTotalLength", r.stderr)

    def descriptors_refused(self, data, *words):
        with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
            f.write(bytes(data))
        try:
            r = run("info", "--descriptors", f.name)
        finally:
            os.unlink(f.name)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        for w in words:
            self.assertIn(w, r.stderr)
        return r.stderr

    def test_a_malformed_descriptor_is_named_with_its_field(self):
        good = bytearray(composite_descriptors())
        # Interface 0 (the configuration's first descriptor after its own,
        # at byte 27 of the file) says 3 endpoints; make it 4.
        data = bytearray(good)
        data[27 + 4] = 4
        self.descriptors_refused(data, "interface 0", "byte 27", "bNumEndpoints is 4", "3 endpoint descriptors")
        # The bulk IN endpoint's wMaxPacketSize 0.
        data = bytearray(good)
        data[36 + 7 + 4] = data[36 + 7 + 5] = 0
        self.descriptors_refused(data, "0x82", "byte 43", "wMaxPacketSize is 0")
        # A descriptor of length 0 inside the configuration.
        data = bytearray(good)
        data[36 + 7 * 3 + 9] = 0
        self.descriptors_refused(data, "byte 66", "bLength is 0")

    def test_an_interface_without_the_ports_pipes_is_refused(self):
        device = composite_descriptors()[:18]
        iface0 = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 0, 0xFF, 0x00, 0x00, 0)
        config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(iface0), 1, 1, 0, 0x80, 50) + iface0
        self.descriptors_refused(device + config, "interface 0", "bNumEndpoints is 0", "bulk OUT", "bulk IN")

    def test_a_descriptor_file_that_never_ends_is_refused(self):
        r = run("info", "--descriptors", "/dev/zero", timeout=60)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("65536 bytes", r.stderr)

    def test_signals_work_while_a_descriptor_file_is_read(self):
        tmp = tempfile.mkdtemp(prefix="vcp-fifo-")
        fifo = os.path.join(tmp, "descriptors")
        os.mkfifo(fifo)
        # A writer that holds the FIFO open and never writes: vcp waits.
        holder = os.open(fifo, os.O_RDWR)
        try:
            p = subprocess.Popen([os.environ["VCP"], "info", "--descriptors", fifo], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
            time.sleep(0.5)
            self.assertIsNone(p.poll(), "vcp did not wait for the writer")
            p.send_signal(signal.SIGTERM)
            out, err = p.communicate(timeout=20)
            self.assertEqual(p.returncode, 128 + signal.SIGTERM, err)
            self.assertIn("stopped", err)
        finally:
            os.close(holder)
            os.unlink(fifo)
            os.rmdir(tmp)

    def test_text_output_reads_as_a_table(self):
        r = run("info")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"PIPE02\s+interrupt\s+IN")
        self.assertIn("VOZ_BUS\\VOZ_0001", r.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
