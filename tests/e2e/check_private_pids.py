"""The whole-program tests run through private_pids.py: a process named like
the game that runs on the machine outside the test is not seen from inside,
where the program under test looks for games, while the test's own is.
Runs outside the wrapper itself, as it must start a process out there."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from e2e_support import stop_process

HERE = os.path.dirname(os.path.abspath(__file__))
WRAPPER = os.path.join(HERE, "private_pids.py")

# Lists the program files named cod25 among the processes in /proc, as the
# game watcher reads them; starts one of its own first when asked.
PROBE = r"""
import os, subprocess, sys
own = None
if len(sys.argv) > 1:
    own = subprocess.Popen([sys.argv[1], "60"])
found = []
for e in os.listdir("/proc"):
    if e.isdigit():
        try:
            exe = os.readlink("/proc/%s/exe" % e)
        except OSError:
            continue
        if os.path.basename(exe) == "cod25":
            found.append(e)
print(" ".join(sorted(found)))
if own:
    own.kill()
    own.wait()
"""


class PrivatePids(unittest.TestCase):
    def test_outside_game_is_not_seen_inside(self):
        root = tempfile.mkdtemp(prefix="corvane-pids-")
        self.addCleanup(shutil.rmtree, root, True)
        outside_dir = os.path.join(root, "fuera")
        inside_dir = os.path.join(root, "dentro")
        os.makedirs(outside_dir)
        os.makedirs(inside_dir)
        outside = os.path.join(outside_dir, "cod25")
        inside = os.path.join(inside_dir, "cod25")
        shutil.copy("/bin/sleep", outside)
        shutil.copy("/bin/sleep", inside)
        game = subprocess.Popen([outside, "300"])
        self.addCleanup(stop_process, game)

        def probe(*cmd):
            r = subprocess.run(list(cmd), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
            return r.stdout.decode().split(), r.stderr.decode(errors="replace")

        # Without the wrapper the outside game is seen: the probe works.
        seen, _ = probe(sys.executable, "-c", PROBE)
        self.assertIn(str(game.pid), seen)

        seen, err = probe(sys.executable, WRAPPER, sys.executable, "-c", PROBE, inside)
        if "private_pids:" in err:
            self.skipTest(err.strip())
        # Inside: exactly one cod25, the test's own (the outside one is not
        # there under any pid).
        self.assertEqual(len(seen), 1, seen)
        outside_there = probe(sys.executable, WRAPPER, sys.executable, "-c", PROBE)[0]
        self.assertEqual(outside_there, [])


if __name__ == "__main__":
    unittest.main()
