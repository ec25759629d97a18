#!/usr/bin/env python3
"""Idle cost of the desktop threads: the whole program on a private Xvfb with a
tray host, a notification daemon on a private session bus and a compositor,
while nothing happens (no game, no clicks, no notices). The CPU time of the
tray ("crvn-bandeja"), game watcher ("crvn-juego"), status ("crvn-estado") and
notices ("crvn-avisos") threads is read from /proc over a quiet minute.

Printed (ratio = ours / reference):
  desktop_idle_cpu_percent   those four threads' CPU time as a percentage of
                             one core against the budget of 1 %
Never a pass/fail test.
"""
import os
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
from e2e_support import Desktop, stop_process, wait_until  # noqa: E402

build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(here, "..", "build", "release"))
binary = os.environ.get("CORVANE_BIN", os.path.join(build, "apps", "corvane", "corvane"))
QUIET_S = float(os.environ.get("CORVANE_IDLE_SECONDS", "60"))
THREADS = {"crvn-bandeja", "crvn-juego", "crvn-estado", "crvn-avisos"}
CLK_TCK = os.sysconf("SC_CLK_TCK")
READY = "[CORVANE] Listo"


class Cleanups:
    """What a unittest case would do with addCleanup, for a script."""

    def __init__(self):
        self.items = []

    def addCleanup(self, fn, *args):
        self.items.append((fn, args))

    def run(self):
        for fn, args in reversed(self.items):
            try:
                fn(*args)
            except Exception:  # noqa: BLE001 - clean up as much as possible
                pass


def thread_ticks(pid):
    """utime + stime of the named threads, in clock ticks."""
    total = 0
    found = set()
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            if name not in THREADS:
                continue
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
            found.add(name)
        except (FileNotFoundError, ProcessLookupError):
            continue
    return total, found


def main():
    c = Cleanups()
    try:
        d = Desktop(c, binary)
        path = os.path.join(d.root, "bus.txt")
        with open(path, "wb") as out:
            bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                   env=d.env, stdout=out, stderr=subprocess.DEVNULL)
        c.addCleanup(stop_process, bus)
        wait_until(lambda: open(path).read().endswith("\n"))
        d.env["DBUS_SESSION_BUS_ADDRESS"] = open(path).read().strip()
        for args in (["dunst"], ["xcompmgr"],
                     ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                      "--height", "24"]):
            p = subprocess.Popen(args, env=d.env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            c.addCleanup(stop_process, p)
        program = d.start("--no-window")
        if not wait_until(lambda: READY in d.log(), timeout=120):
            print("no arrancó:\n" + d.output(program), file=sys.stderr)
            return
        time.sleep(5)  # the first balloon, the first scans
        start_ticks, found = thread_ticks(program.pid)
        start = time.monotonic()
        time.sleep(QUIET_S)
        end_ticks, _ = thread_ticks(program.pid)
        elapsed = time.monotonic() - start
        if found != THREADS:
            print("hilos no encontrados: %s" % sorted(THREADS - found), file=sys.stderr)
        percent = 100.0 * (end_ticks - start_ticks) / CLK_TCK / elapsed
        print("desktop_idle_cpu_percent ours=%.3f reference=1.0 ratio=%.3f" % (percent, percent))
    finally:
        c.run()


if __name__ == "__main__":
    main()
