"""The target build's INF: it parses, everything it names exists, and it sets
the values the drivers read.  The checker itself is shown to catch what it
claims to catch on broken copies."""

import os
import sys
import unittest

SOURCE_DIR = os.environ.get("SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "cross", "inf"))

import check_inf  # noqa: E402

INF = os.path.join(SOURCE_DIR, "cross", "inf", "usbcvt.inf")
TARGET_DIR = os.path.join(SOURCE_DIR, "build", "target")
HARDWARE_ID = "USB\\VID_FFFE&PID_0001"  # the world's converter


def load():
    with open(INF, encoding="latin-1") as f:
        return f.read()


class ShippedInf(unittest.TestCase):
    def test_parses_and_names_only_what_exists_with_the_built_drivers(self):
        self.assertTrue(os.path.isfile(os.path.join(TARGET_DIR, "norva.sys")),
                        "build the target build first (make target)")
        problems = check_inf.check(check_inf.Inf(load()), TARGET_DIR, HARDWARE_ID)
        self.assertEqual(problems, [])

    def test_lines_end_in_crlf_as_setup_expects(self):
        with open(INF, "rb") as f:
            data = f.read()
        self.assertEqual(data.count(b"\n"), data.count(b"\r\n"))

    def test_sets_the_driver_values_and_the_upper_filter(self):
        inf = check_inf.Inf(load())
        addreg = {tuple(check_inf.fields(v)[:3]): check_inf.fields(v) for k, v, _ in inf.entries("Converter.AddReg")
                  for v in [v if k is None else k + "=" + v]}
        self.assertEqual(addreg[("HKR", "", "EndPointCaps")][3:], ["0x00010001", "2"])
        self.assertEqual(addreg[("HKR", "", "DebugLevel")][3:], ["0x00010001", "3"])
        self.assertEqual(addreg[("HKR", "", "NTMPDriver")][4], "tembris.sys")
        hw = [check_inf.fields(v) for _, v, _ in inf.entries("Converter.HW.AddReg")]
        self.assertIn(["HKR", "", "UpperFilters", "0x00010000", "norva.sys"], hw)


class Checker(unittest.TestCase):
    def problems(self, text, files=None):
        return check_inf.check(check_inf.Inf(text), files, HARDWARE_ID)

    def test_a_missing_section_is_reported(self):
        broken = load().replace("[Converter.HW.AddReg]", "[Something.Else]")
        self.assertTrue(any("[Converter.HW.AddReg] does not exist" in p for p in self.problems(broken)))

    def test_an_undefined_string_is_reported(self):
        broken = load().replace("%Maker%=Models", "%Vendor%=Models")
        self.assertTrue(any("%Vendor%" in p for p in self.problems(broken)))

    def test_a_file_that_is_not_built_or_not_on_a_disk_is_reported(self):
        broken = load().replace("norva.sys=1", "norva.sys=2")
        problems = self.problems(broken, files=os.path.dirname(INF))
        self.assertTrue(any("disk 2" in p for p in problems))
        self.assertTrue(any("tembris.sys: not found" in p for p in problems))

    def test_wrong_value_types_and_a_missing_filter_are_reported(self):
        broken = load().replace("HKR,,DebugLevel,0x00010001,3", "HKR,,DebugLevel,,3")
        broken = broken.replace("HKR,,UpperFilters,0x00010000,norva.sys", "HKR,,UpperFilters,0x00010000,other.sys")
        problems = self.problems(broken)
        self.assertTrue(any("DebugLevel must be a DWORD" in p for p in problems))
        self.assertTrue(any("upper filter other.sys is not copied" in p for p in problems))

    def test_comments_quotes_and_continuations_are_read_as_setup_reads_them(self):
        inf = check_inf.Inf('[A]\r\nx = "a;b" ; comment\r\ny = 1,\\\r\n   2\r\n')
        self.assertEqual(inf.values("a", "x"), ['"a;b"'])
        self.assertEqual(inf.values("A", "Y"), ["1,2"])
        self.assertEqual(inf.problems, [])

    def test_the_wrong_hardware_id_is_reported(self):
        problems = check_inf.check(check_inf.Inf(load()), None, "USB\\VID_1234&PID_5678")
        self.assertTrue(any("hardware ID" in p for p in problems))


if __name__ == "__main__":
    unittest.main(verbosity=2)
