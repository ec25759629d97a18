"""A restart keeps the mode the program was started in and outlives the
copy that asked for it: run in a terminal that closes with the old copy
(a pseudo-terminal, as "script -c" gives), and run detached with its output
in a file. In both the new copy copies its log to the same console and opens
no window, as "--consola --no-window" asked."""
import os
import pty
import subprocess
import unittest

from e2e_support import Desktop, wait_until
from session_support import (READY, STARTED, TerminalReader, become_subreaper, end_pid, post_action,
                             read_interfaz, status_answers)

BIN = os.environ["CORVANE_BIN"]


class RestartTest(unittest.TestCase):

    def setUp(self):
        become_subreaper()

    def restart_and_find_new_copy(self, d, old_pid):
        """Asks the running copy for a restart through its web interface;
        returns the new copy's address record once it has taken over."""
        interfaz = read_interfaz(d.data)
        self.assertEqual(interfaz["pid"], old_pid)
        self.assertTrue(post_action(interfaz, "reiniciar").startswith("HTTP/1.1 200"))
        # Whatever happens next, the new copy does not outlive the test.
        found = {}

        def new_copy():
            i = read_interfaz(d.data)
            if i and i["pid"] != old_pid:
                if "pid" not in found:
                    found["pid"] = i["pid"]
                    self.addCleanup(end_pid, i["pid"])
                return d.log().count(READY) >= 2
            return False

        self.assertTrue(wait_until(new_copy, timeout=120), d.log()[-3000:])
        return read_interfaz(d.data)

    def test_restart_in_a_terminal_that_closes_with_the_old_copy(self):
        d = Desktop(self, BIN, sound=False)
        pid, master = pty.fork()
        if pid == 0:
            os.chdir(d.root)
            os.execve(d.exe, [d.exe, "--consola", "--no-window"], d.env)
        self.addCleanup(end_pid, pid)
        terminal = TerminalReader(master)
        shown = terminal.text

        self.assertTrue(wait_until(lambda: READY in d.log(), timeout=120), d.log()[-3000:])
        interfaz = self.restart_and_find_new_copy(d, pid)
        os.waitpid(pid, 0)
        # The new copy writes to the same terminal: its start shows there too.
        self.assertTrue(wait_until(lambda: shown().count(READY) >= 2, timeout=30), shown()[-3000:])
        # The terminal goes away, as "script" closes it when its command ends.
        os.close(master)
        self.assertTrue(terminal.closed.wait(30))
        self.assertTrue(status_answers(interfaz))
        self.assertTrue(wait_until(lambda: status_answers(interfaz), timeout=10))
        after_restart = d.log().split(STARTED)[-1]
        self.assertNotIn("[VENTANA]", after_restart)
        self.assertNotIn("Cerrando", after_restart)

    def test_restart_detached(self):
        d = Desktop(self, BIN, sound=False)
        out_path = os.path.join(d.root, "salida.txt")
        with open(out_path, "wb") as out:
            p = subprocess.Popen([d.exe, "--consola", "--no-window"], cwd=d.root, env=d.env,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True)
        d.procs.append(p)

        def output():
            with open(out_path, encoding="utf-8", errors="replace") as f:
                return f.read()

        self.assertTrue(wait_until(lambda: READY in d.log(), timeout=120), d.log()[-3000:])
        interfaz = self.restart_and_find_new_copy(d, p.pid)
        self.assertEqual(p.wait(timeout=60), 0)
        # The console copy of the log goes on in the same output.
        self.assertTrue(wait_until(lambda: output().count(READY) >= 2, timeout=30), output()[-3000:])
        self.assertTrue(status_answers(interfaz))
        after_restart = d.log().split(STARTED)[-1]
        self.assertNotIn("[VENTANA]", after_restart)


if __name__ == "__main__":
    unittest.main()
