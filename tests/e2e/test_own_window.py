"""The program's own interface window, a real Chromium app window under a
window manager: the save combination (Ctrl+W, also the browser's
close-window key) pressed while it is in front saves one clip and leaves it
open. With another window in front the combination is that window's again."""
import os
import subprocess
import unittest

from e2e_support import Desktop, stop_process, wait_until
from session_support import (CONTROL_MASK, READY, key_taken, start_window_manager)

BIN = os.environ["CORVANE_BIN"]
FAKE = os.path.join(os.environ["CORVANE_BUILD_DIR"], "apps", "corvane", "fake_browser")
SAVING = "[Ctrl+W] Guardando clip..."
SAVED = "[OK] Clip guardado"


def use_chromium(d):
    """Puts a "chromium" first on the program's PATH that starts the real one
    the way this machine can run it (as root Chromium needs --no-sandbox)."""
    folder = os.path.join(d.root, "bin")
    os.makedirs(folder)
    wrapper = os.path.join(folder, "chromium")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\nexec /usr/bin/chromium --no-sandbox "$@"\n')
    os.chmod(wrapper, 0o755)
    d.env["PATH"] = folder + ":" + d.env["PATH"]


class OwnWindowTest(unittest.TestCase):

    def window_id(self, d, title):
        for wid in d.run_tool("xdotool", "search", "--onlyvisible", "--class",
                              "Chromium").stdout.split():
            name = d.run_tool("xprop", "-id", wid, "_NET_WM_NAME").stdout.decode("utf-8", "replace")
            if name.strip() == '_NET_WM_NAME(UTF8_STRING) = "%s"' % title:
                return wid.decode()
        return None

    def active(self, d):
        return d.run_tool("xdotool", "getactivewindow").stdout.decode().strip()

    def manual_clips(self, d):
        found = []
        for folder, _, files in os.walk(d.clips):
            if os.path.basename(folder) == "Manual":
                found += [f for f in files if f.endswith(".mp4")]
        return found

    def test_save_key_in_our_window_saves_once_and_keeps_it_open(self):
        d = Desktop(self, BIN)
        start_window_manager(self, d)
        use_chromium(d)
        d.write_ini("[grabacion]\nperfil = ligero\n")
        self.assertFalse(key_taken(d.display, "w", CONTROL_MASK))

        p = d.start("--consola")
        self.assertTrue(wait_until(lambda: READY in d.log(), timeout=120), d.log()[-3000:])
        self.assertTrue(wait_until(lambda: self.window_id(d, "Corvane") is not None, timeout=120),
                        d.output(p)[-3000:])
        wid = self.window_id(d, "Corvane")

        # Our window in front: the combination is kept from the browser.
        d.run_tool("xdotool", "windowactivate", wid)
        self.assertTrue(wait_until(lambda: int(self.active(d) or 0) == int(wid), timeout=30))
        self.assertTrue(wait_until(lambda: key_taken(d.display, "w", CONTROL_MASK), timeout=30))
        self.assertEqual(d.run_tool("xdotool", "keydown", "ctrl+w").returncode, 0)
        try:
            self.assertTrue(wait_until(lambda: SAVING in d.log(), timeout=30), d.log()[-2000:])
        finally:
            d.run_tool("xdotool", "keyup", "ctrl+w")
        self.assertTrue(wait_until(lambda: SAVED in d.log(), timeout=60), d.log()[-2000:])
        self.assertEqual(d.log().count(SAVING), 1)
        self.assertEqual(len(self.manual_clips(d)), 1, self.manual_clips(d))
        self.assertEqual(self.window_id(d, "Corvane"), wid)

        # Another window in front: the combination is that window's again.
        env = dict(d.env, FAKE_BROWSER_TITLE="Otra", FAKE_BROWSER_LOG=os.devnull)
        stranger = subprocess.Popen([FAKE], env=env)
        self.addCleanup(stop_process, stranger)
        self.assertTrue(wait_until(lambda: self.window_id(d, "Otra") is not None, timeout=30))
        d.run_tool("xdotool", "windowactivate", self.window_id(d, "Otra"))
        self.assertTrue(wait_until(lambda: not key_taken(d.display, "w", CONTROL_MASK),
                                   timeout=30))

        stop_process(p)
        self.assertEqual(p.returncode, 0)


if __name__ == "__main__":
    unittest.main()
