"""The "--consola" copy of the log when nobody reads the console: a full
standard output pipe must not stall start-up, the log or the quit signal."""
import os
import signal
import subprocess
import time
import unittest

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
READY = "[CORVANE] Listo: grabando en segundo plano."
CLOSED = "[CORVANE] Cerrado."


def full_pipe():
    """A pipe whose buffer is already full; the write end is blocking again,
    as a real standard output is. Returns (read end, write end, bytes in it)."""
    r, w = os.pipe()
    os.set_blocking(w, False)
    filled = 0
    try:
        while True:
            filled += os.write(w, b"x" * 65536)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)
    return r, w, filled


class ConsoleTest(unittest.TestCase):

    def test_full_console_pipe_does_not_stall_the_program(self):
        d = Desktop(self, BIN, sound=False)
        r, w, filled = full_pipe()
        self.addCleanup(os.close, r)
        p = subprocess.Popen([d.exe, "--consola", "--no-window"], cwd=d.root, env=d.env,
                             stdout=w, stderr=subprocess.DEVNULL)
        d.procs.append(p)
        os.close(w)

        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=90),
                        "no ready line; log:\n" + d.log())
        self.assertIsNone(p.poll(), d.log())

        t0 = time.monotonic()
        p.send_signal(signal.SIGTERM)
        code = p.wait(timeout=30)
        elapsed = time.monotonic() - t0
        self.assertEqual(code, 0)
        self.assertLess(elapsed, 1.0)
        self.assertTrue(d.log().endswith(CLOSED + "\r\n"), d.log()[-300:])

        # The console got nothing while it was full, not even part of a line.
        os.set_blocking(r, False)
        seen = b""
        try:
            while True:
                chunk = os.read(r, 65536)
                if not chunk:
                    break
                seen += chunk
        except BlockingIOError:
            pass
        self.assertEqual(seen, b"x" * filled)


if __name__ == "__main__":
    unittest.main()
