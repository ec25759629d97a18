"""How a session on the desktop ends and what it tells: Ctrl+C in the
terminal (and the launcher's own SIGTERM after it, as scripts/run sends)
announces the quit once and leaves no file holding the session key; the
tray's "Detector apagado" balloon names the save key the INI sets."""
import os
import pty
import re
import signal
import subprocess
import unittest

from e2e_support import Desktop, stop_process, wait_until
from session_support import (READY, CLOSED, TerminalReader, read, read_interfaz, request,
                             start_notifications)

BIN = os.environ["CORVANE_BIN"]
CLOSING = "[CORVANE] Cerrando…"
# Menu rows have fixed heights: 4 px of padding, 26 per row, 9 per dividing line.
MENU = ["row", "row", "sep", "row", "row", "row", "row", "sep", "row", "row", "row", "row",
        "sep", "row", "row"]
DETECTOR = 6


def row_middle(index):
    y = 4
    for kind in MENU[:index]:
        y += 9 if kind == "sep" else 26
    return y + 13


class SessionEndTest(unittest.TestCase):

    def test_ctrl_c_quits_once_and_leaves_no_key_behind(self):
        d = Desktop(self, BIN, sound=False)
        # A browser that takes the address and ends well: the launch page is written.
        folder = os.path.join(d.root, "bin")
        os.makedirs(folder)
        with open(os.path.join(folder, "chromium"), "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(os.path.join(folder, "chromium"), 0o755)
        d.env["PATH"] = folder + ":" + d.env["PATH"]

        pid, master = pty.fork()
        if pid == 0:
            os.chdir(d.root)
            os.execve(d.exe, [d.exe, "--consola", "--no-window"], d.env)
        ended = {}

        def reap():
            if "code" not in ended:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        self.addCleanup(reap)
        terminal = TerminalReader(master)
        self.addCleanup(os.close, master)

        self.assertTrue(wait_until(lambda: READY in d.log(), timeout=120), d.log()[-3000:])
        interfaz = read_interfaz(d.data)
        token = interfaz["clave"]
        reply = request(interfaz["puerto"], ("GET /api/abrir?t=%s&tab=clips HTTP/1.1\r\nHost: "
                                             "127.0.0.1:%d\r\nConnection: close\r\n\r\n"
                                             % (token, interfaz["puerto"])).encode())
        self.assertTrue(reply.startswith("HTTP/1.1 200"), reply[:200])
        launch_page = os.path.join(d.data, "abrir.html")
        self.assertTrue(wait_until(lambda: os.path.exists(launch_page), timeout=30))

        # Ctrl+C in the terminal, then the launcher's SIGTERM while it closes.
        os.write(master, b"\x03")
        self.assertTrue(wait_until(lambda: CLOSING in d.log(), timeout=30))
        os.kill(pid, signal.SIGTERM)
        _, status = os.waitpid(pid, 0)
        ended["code"] = status
        self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status)
        log = d.log()
        self.assertTrue(log.endswith(CLOSED + "\r\n"), log[-500:])
        self.assertEqual(log.count(CLOSING), 1, log[-1000:])
        shown = terminal.text()
        self.assertEqual(shown.count(CLOSING), 1, shown[-1000:])

        # No file of the data folder holds the key any more.
        self.assertFalse(os.path.exists(os.path.join(d.data, "interfaz.json")))
        self.assertFalse(os.path.exists(launch_page))
        for root, _, files in os.walk(d.data):
            for name in files:
                with open(os.path.join(root, name), "rb") as f:
                    self.assertNotIn(token.encode(), f.read(), name)

    def test_detector_balloon_names_the_save_key_of_the_ini(self):
        d = Desktop(self, BIN, sound=False)
        d.write_ini("[grabacion]\nperfil = ligero\n[teclas]\nguardar = Alt+F9\n")
        monitor = start_notifications(self, d)
        trayer = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                   "request", "--height", "24", "--SetDockType", "false",
                                   "--SetPartialStrut", "false"], env=d.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, trayer)
        p = d.start("--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log(), timeout=120), d.log()[-3000:])
        self.assertIn("  Guardar    : Alt+F9  (", d.log())

        def window(name):
            ids = d.run_tool("xdotool", "search", "--name", "^%s$" % name).stdout.decode().split()
            return ids[0] if ids else None

        def docked(wid):
            text = d.run_tool("xwininfo", "-id", wid, "-tree").stdout.decode()
            root = re.search(r"Root window id: (0x[0-9a-f]+)", text)
            parent = re.search(r"Parent window id: (0x[0-9a-f]+)", text)
            mapped = d.run_tool("xwininfo", "-id", wid).stdout.decode()
            return (root and parent and root.group(1) != parent.group(1)
                    and "IsViewable" in mapped)

        self.assertTrue(wait_until(lambda: window("Corvane") is not None, timeout=30))
        icon = window("Corvane")
        self.assertTrue(wait_until(lambda: docked(icon), timeout=30))
        self.assertEqual(d.run_tool("xdotool", "mousemove", "--window", icon, "5", "5",
                                    "click", "3").returncode, 0)
        self.assertTrue(wait_until(lambda: window("Corvane menu") is not None, timeout=30))
        menu = window("Corvane menu")
        self.assertEqual(d.run_tool("xdotool", "mousemove", "--window", menu, "40",
                                    str(row_middle(DETECTOR)), "click", "1").returncode, 0)
        self.assertTrue(wait_until(lambda: "Detector apagado" in read(monitor), timeout=30),
                        read(monitor)[-2000:])
        self.assertIn("No lee la pantalla ni guarda clips automáticos. La grabación y Alt+F9 "
                      "siguen funcionando.", read(monitor))
        self.assertNotIn("Ctrl+W", read(monitor))
        self.assertIn("[DETECTOR] Apagado (no lee la pantalla; la grabación y Alt+F9 siguen "
                      "funcionando).", d.log())
        p.terminate()
        self.assertEqual(p.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
