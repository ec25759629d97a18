"""The browser behind the interface window, as the program finds it (the
first "chromium" on PATH): its own output goes to "navegador.log" in the data
folder, never into the program's console, and that file stays private and
bounded; a browser that ends at once with a failure, or none at all, is
reported in the log and in a balloon."""
import os
import stat
import unittest

from e2e_support import Desktop, wait_until
from session_support import READY, read, start_notifications

BIN = os.environ["CORVANE_BIN"]
FAILED = "[VENTANA] No se pudo abrir Corvane: "
BALLOON = "No se pudo abrir Corvane"


class BrowserOutputTest(unittest.TestCase):

    def desktop(self, browser_script, name="chromium"):
        """A desktop whose PATH holds only a folder with `browser_script` as
        `name` (None: no browser and no xdg-open either)."""
        d = Desktop(self, BIN, sound=False)
        folder = os.path.join(d.root, "bin")
        os.makedirs(folder)
        if browser_script is not None:
            path = os.path.join(folder, name)
            with open(path, "w") as f:
                f.write("#!/bin/sh\n" + browser_script)
            os.chmod(path, 0o755)
        d.env["PATH"] = folder
        d.write_ini("[grabacion]\nperfil = ligero\n")
        return d

    def start(self, d):
        p = d.start("--consola")
        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=120),
                        d.log()[-3000:])
        self.assertIsNone(p.poll(), d.output(p)[-3000:])
        self.assertTrue(wait_until(lambda: "[VENTANA] Abriendo Corvane (clips)." in d.log()))
        return p

    def test_browser_output_goes_to_its_own_bounded_private_log(self):
        d = self.desktop('echo "RUIDO-DEL-NAVEGADOR salida $1"\n'
                         'echo "RUIDO-DEL-NAVEGADOR error" >&2\n')
        browser_log = os.path.join(d.data, "navegador.log")
        # What earlier starts left: big, and readable by others.
        with open(browser_log, "wb") as f:
            f.write(b"viejo\n" * (2 * 1024 * 1024 // 6))
        os.chmod(browser_log, 0o644)
        old_size = os.path.getsize(browser_log)

        p = self.start(d)
        self.assertTrue(wait_until(lambda: "RUIDO-DEL-NAVEGADOR error" in read(browser_log),
                                   timeout=30), read(browser_log)[-500:])
        self.assertIn("RUIDO-DEL-NAVEGADOR salida --app=file://", read(browser_log))
        self.assertEqual(stat.S_IMODE(os.stat(browser_log).st_mode), 0o600)
        self.assertLess(os.path.getsize(browser_log), 4096)
        self.assertEqual(os.path.getsize(browser_log + ".1"), old_size)

        p.terminate()
        self.assertEqual(p.wait(timeout=30), 0)
        console = d.output(p)
        self.assertIn(READY, console)
        self.assertNotIn("RUIDO-DEL-NAVEGADOR", console)
        # Ending well (it handed the address to a running browser) is no failure.
        self.assertNotIn(FAILED, d.log())

    def test_browser_that_ends_at_once_is_reported(self):
        d = self.desktop('echo "falta libejemplo.so" >&2\nexit 3\n')
        monitor = start_notifications(self, d)
        p = self.start(d)
        self.assertTrue(wait_until(lambda: FAILED in d.log(), timeout=30), d.log()[-2000:])
        line = [l for l in d.log().split("\r\n") if FAILED in l][0]
        self.assertIn("se cerró al arrancar, con el código 3: «falta libejemplo.so»", line)
        self.assertIn(os.path.join(d.data, "navegador.log"), line)
        self.assertTrue(wait_until(lambda: BALLOON in read(monitor), timeout=30), read(monitor))
        self.assertIn("El navegador se cerró al arrancar (con el código 3)", read(monitor))
        p.terminate()
        self.assertEqual(p.wait(timeout=30), 0)

    def test_missing_browser_is_reported(self):
        d = self.desktop(None)
        monitor = start_notifications(self, d)
        p = self.start(d)
        self.assertTrue(wait_until(lambda: FAILED in d.log(), timeout=30), d.log()[-2000:])
        self.assertIn(FAILED + "no se encontró Chromium ni xdg-open para abrir la dirección.",
                      d.log())
        self.assertTrue(wait_until(lambda: BALLOON in read(monitor), timeout=30), read(monitor))
        self.assertIn("Instala Chromium para ver Corvane.", read(monitor))
        p.terminate()
        self.assertEqual(p.wait(timeout=30), 0)

    def test_desktop_opener_that_finds_no_browser_is_reported(self):
        d = self.desktop('echo "xdg-open: no method available for opening $1" >&2\nexit 3\n',
                         name="xdg-open")
        monitor = start_notifications(self, d)
        p = self.start(d)
        self.assertTrue(wait_until(lambda: FAILED in d.log(), timeout=30), d.log()[-2000:])
        self.assertIn("[VENTANA] No se encontró Chromium: se usa el navegador predeterminado.",
                      d.log())
        line = [l for l in d.log().split("\r\n") if FAILED in l][0]
        self.assertIn("xdg-open) se cerró al arrancar, con el código 3: «xdg-open: no method "
                      "available for opening file://", line)
        self.assertTrue(wait_until(lambda: BALLOON in read(monitor), timeout=30), read(monitor))
        # Quoted in our own line, never written to the console by the opener itself.
        self.assertNotIn("\nxdg-open: no method", "\n" + d.output(p))
        p.terminate()
        self.assertEqual(p.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
