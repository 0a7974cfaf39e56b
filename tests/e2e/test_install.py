"""`cmake --install` (what `make install` runs) into a DESTDIR, and the
installed copy at work: vcp with its own modules, its man page, its bash
completion and the Windows 98 driver files."""

import filecmp
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("SOURCE_DIR") or os.path.join(HERE, "..", "..")
BUILD = os.environ.get("BUILD_DIR") or os.path.join(SOURCE, "build", "host")
TARGET = os.environ.get("TARGET_BUILD_DIR") or os.path.join(SOURCE, "build", "target")
COMMANDS = ["demo", "pty", "serve", "info", "bench"]


def options_in_help(vcp, *command):
    """The options `vcp [COMMAND] --help` lists."""
    out = subprocess.run([vcp, *command, "--help"], capture_output=True, text=True, check=True).stdout
    found = set()
    for line in out.splitlines():
        m = re.match(r"^\s+(?:-\w,)?(--[a-z0-9-]+)", line)
        if m:
            found.add(m.group(1))
    return found


def complete(completion, *words):
    """What the bash completion offers for the words so far (the last one is
    being typed)."""
    script = f"""
source '{completion}'
COMP_WORDS=({' '.join("'" + w + "'" for w in ("vcp",) + words)})
COMP_CWORD={len(words)}
_vcp 2>/dev/null
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    r = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return set(line for line in r.stdout.splitlines() if line)


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="vcp-install-")
        cls.destdir = os.path.join(cls.tmp.name, "root")
        r = subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr/local"], capture_output=True, text=True,
                           env=dict(os.environ, DESTDIR=cls.destdir), timeout=300)
        assert r.returncode == 0, r.stdout + r.stderr
        cls.install_output = r.stdout + r.stderr
        cls.prefix = os.path.join(cls.destdir, "usr", "local")
        cls.vcp = os.path.join(cls.prefix, "bin", "vcp")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def run_vcp(self, vcp, *args):
        return subprocess.run([vcp, *args], capture_output=True, text=True, timeout=300, cwd=self.tmp.name)

    def test_the_installed_vcp_runs_the_demo_to_pass_with_its_own_modules(self):
        r = self.run_vcp(self.vcp, "demo")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"(?m)^verdict\s+PASS: (\d+) of \1 checks passed$")
        info = json.loads(self.run_vcp(self.vcp, "info", "--json").stdout)
        modules = os.path.realpath(os.path.join(self.prefix, "lib", "vcp"))
        for name in ("norva", "tembris"):
            self.assertEqual(os.path.dirname(os.path.realpath(info["modules"][name])), modules,
                             "the installed modules, not the build tree's")
        self.assertRegex(self.run_vcp(self.vcp, "--version").stdout, r"^vcp \d+\.\d+")

    def test_everything_lands_under_the_prefix_in_its_place(self):
        installed = []
        for top, _, files in os.walk(self.destdir):
            installed += [os.path.relpath(os.path.join(top, f), self.prefix) for f in files]
        self.assertTrue(all(not p.startswith("..") for p in installed), installed)
        for path in ("bin/vcp", "lib/vcp/libntos.so", "lib/vcp/norva.so", "lib/vcp/tembris.so",
                     "share/man/man1/vcp.1", "share/bash-completion/completions/vcp", "share/vcp/win98/usbcvt.inf",
                     "share/vcp/scripts/callgrind-per-byte.sh", "share/vcp/scripts/bridge-vs-socat.py"):
            self.assertIn(path, installed)
        self.assertTrue(os.access(os.path.join(self.prefix, "bin/vcp"), os.X_OK))
        # The driver disk: the target build's files as they are.
        win98 = os.path.join(self.prefix, "share", "vcp", "win98")
        for sys in ("norva.sys", "tembris.sys"):
            built = os.path.join(TARGET, sys)
            if os.path.exists(built):
                self.assertTrue(filecmp.cmp(built, os.path.join(win98, sys), shallow=False), sys)
            else:
                self.assertIn(f"{sys} is not installed", self.install_output)

    def test_a_copied_tree_runs_and_names_a_missing_module(self):
        copy = os.path.join(self.tmp.name, "elsewhere")
        shutil.copytree(self.prefix, copy, symlinks=True)
        vcp = os.path.join(copy, "bin", "vcp")
        r = self.run_vcp(vcp, "demo")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        os.unlink(os.path.join(copy, "lib", "vcp", "norva.so"))
        r = self.run_vcp(vcp, "demo")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("norva.so is neither next to vcp nor in", r.stdout)
        shutil.rmtree(copy)

    def test_the_man_page_is_the_programs_own_help(self):
        with open(os.path.join(self.prefix, "share", "man", "man1", "vcp.1")) as f:
            page = f.read()
        self.assertRegex(page, r'(?m)^\.TH VCP "?1"?')
        for command in COMMANDS:
            self.assertIn(f'.SS "vcp {command}"', page)
            for option in options_in_help(self.vcp, command):
                self.assertIn(option.replace("-", "\\-"), page, f"vcp {command} {option}")
        self.assertIn("wireshark \\-k \\-i \\-", page, "the live-capture example")

    def test_bash_completion_offers_what_each_command_takes(self):
        completion = os.path.join(self.prefix, "share", "bash-completion", "completions", "vcp")
        self.assertEqual(complete(completion, ""), set(COMMANDS))
        self.assertEqual(complete(completion, "--"), options_in_help(self.vcp))
        for command in COMMANDS:
            with self.subTest(command=command):
                self.assertEqual(complete(completion, command, "--"), options_in_help(self.vcp, command))
        self.assertEqual(complete(completion, "demo", "--variant", ""), {"0", "1", "2", "3"})
        self.assertEqual(complete(completion, "pty", "--peer", "lo"), {"loopback"})
        help_text = self.run_vcp(self.vcp, "bench", "--help").stdout
        sections = set(re.search(r"--only TEXT:\{([a-z,-]+)\}", help_text).group(1).split(","))
        self.assertEqual({s.split(",")[-1] for s in complete(completion, "bench", "--only", "duplex,")}, sections)


if __name__ == "__main__":
    unittest.main()
