"""The shipped images import only what Windows 98 provides, and the check
that says so fails on images with a forbidden import planted in them."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
CROSS = os.path.join(SOURCE_DIR, "cross")
sys.path.insert(0, CROSS)

import check_imports  # noqa: E402

TARGET_DIR = os.path.join(SOURCE_DIR, "build", "target")
IMAGES = [os.path.join(TARGET_DIR, name) for name in ("norva.sys", "tembris.sys")]


def plant(data, old, new):
    """The image with the import name `old` (routine or module) replaced by
    `new`, which must not be longer; the rest of the entry is zeroed."""
    needle = old.encode() + b"\0"
    at = data.find(needle)
    assert at > 0, f"{old} is not imported"
    assert len(new) <= len(old)
    return data[:at] + new.encode().ljust(len(old), b"\0") + data[at + len(old):]


class ShippedImages(unittest.TestCase):
    def test_both_images_import_only_allowed_routines(self):
        for image in IMAGES:
            self.assertTrue(os.path.isfile(image), "build the target build first (make target)")
            self.assertEqual(check_imports.check(image), [])

    def test_memcpy_and_memset_are_resolved_inside_each_image(self):
        for image in IMAGES:
            with open(image, "rb") as f:
                routines = [r for _, r, _ in check_imports.Image(f.read()).imports()]
            self.assertNotIn("memcpy", routines)
            self.assertNotIn("memset", routines)

    def test_the_program_passes_them(self):
        run = subprocess.run([sys.executable, os.path.join(CROSS, "check_imports.py")] + IMAGES,
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)


class PlantedImports(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        with open(IMAGES[0], "rb") as f:
            self.data = f.read()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def run_check(self, data):
        path = os.path.join(self.dir, "norva.sys")
        with open(path, "wb") as f:
            f.write(data)
        run = subprocess.run([sys.executable, os.path.join(CROSS, "check_imports.py"), path],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 1, run.stdout)
        return run.stdout.splitlines()

    def test_a_routine_windows_98_lacks_is_named(self):
        for missing in ("IoAllocateWorkItem", "ExFreePoolWithTag", "IoReuseIrp", "PsGetVersion"):
            lines = self.run_check(plant(self.data, "IoGetAttachedDeviceReference", missing))
            self.assertEqual(lines, [f"norva.sys: imports {missing} from ntoskrnl.exe, which Windows 98 does "
                                     f"not provide to drivers (cross/imports-denied.txt)"])

    def test_a_c_runtime_routine_from_the_kernel_is_refused(self):
        lines = self.run_check(plant(self.data, "IoGetAttachedDeviceReference", "memcpy"))
        self.assertEqual(len(lines), 1)
        self.assertIn("imports memcpy from ntoskrnl.exe, which Windows 98 does not provide", lines[0])

    def test_a_routine_off_the_allow_list_is_refused(self):
        lines = self.run_check(plant(self.data, "IoGetAttachedDeviceReference", "IoGetDeviceObjectPointer"))
        self.assertEqual(len(lines), 1)
        self.assertIn("IoGetDeviceObjectPointer from ntoskrnl.exe, which is not on the list", lines[0])

    def test_another_module_is_refused(self):
        lines = self.run_check(plant(self.data, "ntoskrnl.exe", "kernel32.dll"))
        self.assertTrue(lines)
        self.assertTrue(all("from kernel32.dll, which is neither" in line for line in lines), lines)

    def test_decorated_names_are_judged_by_the_routine(self):
        self.assertEqual(check_imports.undecorated("_IoReuseIrp@8"), "IoReuseIrp")
        self.assertEqual(check_imports.undecorated("@IofCallDriver@8"), "IofCallDriver")
        self.assertEqual(check_imports.undecorated("memset"), "memset")


if __name__ == "__main__":
    unittest.main()
