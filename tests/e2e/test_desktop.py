"""The whole program on a private desktop: a tray host (trayer), a private
session bus with a notification daemon (dunst), the game watcher seeing a
process named cod25, and "Salir" chosen from the tray menu."""
import os
import re
import shutil
import signal
import subprocess
import unittest

from e2e_support import Desktop, stop_process, wait_until

BIN = os.environ["CORVANE_BIN"]
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
CLOSED = "[CORVANE] Cerrado."
# Menu rows have fixed heights: 4 px of padding, 26 per row, 9 per dividing line.
MENU = ["row", "row", "sep", "row", "row", "row", "row", "sep", "row", "row", "row", "row",
        "sep", "row", "row"]
SALIR = 14


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def row_middle(index):
    y = 4
    for kind in MENU[:index]:
        y += 9 if kind == "sep" else 26
    return y + 13


class DesktopShell(unittest.TestCase):
    def start(self, args, env, out=subprocess.DEVNULL):
        p = subprocess.Popen(args, env=env, stdout=out, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, p)
        return p

    def window(self, d, name):
        r = d.run_tool("xdotool", "search", "--name", "^%s$" % name)
        ids = r.stdout.decode().split()
        return ids[0] if ids else None

    def docked(self, d, wid):
        """True while the window sits in a host (its parent is not the root)."""
        r = d.run_tool("xwininfo", "-id", wid, "-tree")
        text = r.stdout.decode()
        root = re.search(r"Root window id: (0x[0-9a-f]+)", text)
        parent = re.search(r"Parent window id: (0x[0-9a-f]+)", text)
        mapped = d.run_tool("xwininfo", "-id", wid).stdout.decode()
        return (root and parent and root.group(1) != parent.group(1)
                and "IsViewable" in mapped)

    def test_tray_balloons_watcher_and_quit(self):
        d = Desktop(self, BIN)
        address_file = os.path.join(d.root, "bus.txt")
        with open(address_file, "wb") as out:
            self.start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], d.env, out)
        self.assertTrue(wait_until(lambda: read(address_file).endswith("\n")))
        d.env["DBUS_SESSION_BUS_ADDRESS"] = read(address_file).strip()
        monitor_file = os.path.join(d.root, "monitor.txt")
        with open(monitor_file, "wb") as out:
            self.start(["dbus-monitor", "--address", d.env["DBUS_SESSION_BUS_ADDRESS"],
                        "interface='org.freedesktop.Notifications',member='Notify'"],
                       d.env, out)
        self.start(["dunst"], d.env)
        trayer_args = ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                       "--height", "24", "--SetDockType", "false", "--SetPartialStrut", "false"]
        trayer = self.start(trayer_args, d.env)

        program = d.start("--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log(), timeout=120), d.output(program))

        # The icon docks; the first run greets with a balloon through the daemon.
        self.assertTrue(wait_until(lambda: self.window(d, "Corvane") is not None, timeout=30))
        icon = self.window(d, "Corvane")
        self.assertTrue(wait_until(lambda: self.docked(d, icon), timeout=30))
        self.assertTrue(wait_until(
            lambda: "Corvane está grabando" in read(monitor_file),
            timeout=30))

        # The host restarts: the icon docks again.
        stop_process(trayer)
        self.assertTrue(wait_until(lambda: not self.docked(d, icon), timeout=30))
        self.start(trayer_args, d.env)
        self.assertTrue(wait_until(lambda: self.docked(d, icon), timeout=30))

        # A process whose program file is named cod25 is the game, and its end is seen.
        game = os.path.join(d.root, "cod25")
        shutil.copy("/bin/sleep", game)
        p = self.start([game, "300"], d.env)
        self.assertTrue(wait_until(
            lambda: "[JUEGO] Abierto: Warzone · Black Ops 7 (cod25)" in d.log(), timeout=30))
        p.send_signal(signal.SIGKILL)
        p.wait()
        self.assertTrue(wait_until(
            lambda: "[JUEGO] Ningún Call of Duty abierto." in d.log(), timeout=30))

        # "Salir" from the menu: the icon goes and the program ends.
        self.assertEqual(d.run_tool("xdotool", "mousemove", "--window", icon, "5", "5",
                                    "click", "3").returncode, 0)
        self.assertTrue(wait_until(lambda: self.window(d, "Corvane menu") is not None,
                                   timeout=30))
        menu = self.window(d, "Corvane menu")
        self.assertEqual(d.run_tool("xdotool", "mousemove", "--window", menu, "40",
                                    str(row_middle(SALIR)), "click", "1").returncode, 0)
        self.assertEqual(program.wait(timeout=60), 0)
        self.assertIn(CLOSED, d.log())
        self.assertTrue(wait_until(lambda: self.window(d, "Corvane") is None, timeout=10))


if __name__ == "__main__":
    unittest.main()
