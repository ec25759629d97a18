"""The interface window on a private display with a window manager: a second
start brings the open, minimised interface window back instead of starting a
browser, and quitting closes every interface window by its title. Browser
windows are played by a small stand-in that shows one titled window of the
browser's class and ends when asked to close."""
import json
import os
import socket
import subprocess
import unittest

from e2e_support import Desktop, stop_process, wait_until

BIN = os.environ["CORVANE_BIN"]
FAKE = os.path.join(os.environ["CORVANE_BUILD_DIR"], "apps", "corvane", "fake_browser")
CLOSED = "[CORVANE] Cerrado."


class InterfaceWindowTest(unittest.TestCase):

    def start_window_manager(self, d):
        ready = os.path.join(d.root, "wm_listo")
        # Openbox runs its start-up command once it manages windows.
        wm = subprocess.Popen(["openbox", "--sm-disable", "--startup", "touch " + ready], env=d.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, wm)
        self.assertTrue(wait_until(lambda: os.path.exists(ready), timeout=30))

    def open_window(self, d, title):
        env = dict(d.env, FAKE_BROWSER_TITLE=title, FAKE_BROWSER_LOG=os.devnull)
        p = subprocess.Popen([FAKE], env=env)
        self.addCleanup(stop_process, p)
        self.assertTrue(wait_until(lambda: self.window_id(d, title) is not None, timeout=30), title)
        return p

    def window_id(self, d, title):
        for wid in d.run_tool("xdotool", "search", "--class", "Chromium").stdout.split():
            name = d.run_tool("xprop", "-id", wid, "_NET_WM_NAME").stdout.decode("utf-8", "replace")
            if name.strip() == '_NET_WM_NAME(UTF8_STRING) = "%s"' % title:
                return wid.decode()
        return None

    def state(self, d, wid):
        return d.run_tool("xprop", "-id", wid, "WM_STATE").stdout.decode()

    def test_second_start_restores_the_window_and_quitting_closes_them(self):
        d = Desktop(self, BIN)
        self.start_window_manager(d)
        main = self.open_window(d, "Corvane")
        page = self.open_window(d, "Corvane · Ajustes")
        other = self.open_window(d, "Otra")
        wid = self.window_id(d, "Corvane")
        self.assertEqual(d.run_tool("xdotool", "windowminimize", "--sync", wid).returncode, 0)
        self.assertTrue(wait_until(lambda: "Iconic" in self.state(d, wid)), self.state(d, wid))

        p = d.start_ready(self, "--no-window")

        # The second start hands over; the open window comes back, no browser starts.
        second = d.start("--no-window")
        self.assertEqual(second.wait(timeout=60), 0)
        self.assertTrue(wait_until(lambda: "[VENTANA] Abriendo Corvane (clips)." in d.log()))
        self.assertTrue(wait_until(lambda: "Normal" in self.state(d, wid), timeout=30), self.state(d, wid))
        self.assertFalse(os.path.exists(os.path.join(d.data, "abrir.html")))
        self.assertIsNone(main.poll())

        # Quitting closes the interface's windows by title, and only those.
        with open(os.path.join(d.data, "interfaz.json"), encoding="utf-8") as f:
            interfaz = json.load(f)
        body = b'{"a":"salir"}'
        with socket.create_connection(("127.0.0.1", interfaz["puerto"]), timeout=30) as s:
            s.sendall(("POST /api/accion HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-CRVN-Clave: %s\r\n"
                       "Content-Length: %d\r\n\r\n" % (interfaz["puerto"], interfaz["clave"], len(body))).encode()
                      + body)
            self.assertTrue(s.recv(65536).startswith(b"HTTP/1.1 200 OK"))
        self.assertEqual(p.wait(timeout=60), 0)
        self.assertTrue(d.log().endswith(CLOSED + "\r\n"), d.log()[-500:])
        self.assertEqual(main.wait(timeout=30), 0)
        self.assertEqual(page.wait(timeout=30), 0)
        self.assertIsNone(other.poll())


if __name__ == "__main__":
    unittest.main()
