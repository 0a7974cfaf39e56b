"""vcp's memory stays bounded in a long-running session: bytes through
`vcp serve`, client after client, with idle stretches between them
(scripts/soak.py, which `vcp bench --only soak` runs on a gigabyte)."""

import os
import subprocess
import unittest

SOURCE_DIR = os.environ.get("SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
VCP = os.environ.get("VCP") or os.path.join(SOURCE_DIR, "build", "host", "tools", "vcp", "vcp")


class Soak(unittest.TestCase):
    def test_memory_stays_flat_while_clients_move_bytes_and_leave(self):
        maps = subprocess.run(["ldd", VCP], capture_output=True, text=True).stdout
        if "libasan" in maps or "libtsan" in maps:
            self.skipTest("a sanitizer's shadow memory and quarantine are no measure of vcp's")
        r = subprocess.run(["/usr/bin/python3", os.path.join(SOURCE_DIR, "scripts", "soak.py"), "--vcp", VCP,
                            "--megabytes", "96", "--clients", "4", "--idle", "0.5"],
                           capture_output=True, text=True, timeout=280)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        figures = dict(line.split() for line in r.stdout.splitlines() if len(line.split()) == 2)
        kib = {k: int(float(v)) for k, v in figures.items()}
        self.assertEqual(kib["bytes_lost"], 0, r.stdout)
        self.assertEqual(kib["bytes_out_of_place"], 0, r.stdout)
        # After the first client every buffer has reached its size: what
        # follows may not add more than a few MiB, nor what a client leaves.
        self.assertLess(kib["growth_kib"], 4096, r.stdout)
        self.assertLess(kib["rss_after_disconnect_max_kib"], kib["rss_warm_kib"] + 4096, r.stdout)
        self.assertLess(kib["rss_max_kib"], 64 * 1024, r.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
