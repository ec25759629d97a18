"""What the desktop-session tests share: the running copy's web interface
(its address file, an action posted with its key), the copies a restart
leaves behind, and a desktop with a window manager, a session bus and a
notification daemon."""
import ctypes
import json
import os
import signal
import socket
import subprocess
import threading

from e2e_support import stop_process, wait_until

READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
STARTED = "[CORVANE] Iniciando v"
CLOSED = "[CORVANE] Cerrado."


def read_interfaz(data):
    """The running copy's "interfaz.json", or None while it is missing or half
    written."""
    try:
        with open(os.path.join(data, "interfaz.json"), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def request(port, raw, timeout=30):
    """Sends `raw` and returns the whole reply as text ("" when nobody answers)."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(raw)
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return ""
    return data.decode("utf-8", "replace")


def post_action(interfaz, action):
    body = json.dumps({"a": action}).encode()
    head = ("POST /api/accion HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-CRVN-Clave: %s\r\n"
            "Connection: close\r\nContent-Length: %d\r\n\r\n"
            % (interfaz["puerto"], interfaz["clave"], len(body)))
    return request(interfaz["puerto"], head.encode() + body)


def status_answers(interfaz):
    """Whether the copy behind `interfaz` serves its status route."""
    head = ("GET /api/estado HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-CRVN-Clave: %s\r\n"
            "Connection: close\r\n\r\n" % (interfaz["puerto"], interfaz["clave"]))
    return request(interfaz["puerto"], head.encode(), timeout=10).startswith("HTTP/1.1 200")


def become_subreaper():
    """Copies whose parent ended come back to this process, so that the test
    can end and reap them."""
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl")


def end_pid(pid):
    """Ends a process this test caused (SIGTERM, then SIGKILL) and reaps it
    when it is our child."""
    if pid <= 0:
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return

    def gone():
        try:
            done, _ = os.waitpid(pid, os.WNOHANG)
            return done == pid
        except ChildProcessError:
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                return True
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
        except ProcessLookupError:
            return True

    if not wait_until(gone, timeout=15):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            return
        wait_until(gone, timeout=15)


def start_window_manager(test, d):
    ready = os.path.join(d.root, "wm_listo")
    # Openbox runs its start-up command once it manages windows.
    wm = subprocess.Popen(["openbox", "--sm-disable", "--startup", "touch " + ready], env=d.env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    test.addCleanup(stop_process, wm)
    test.assertTrue(wait_until(lambda: os.path.exists(ready), timeout=30))


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def start_notifications(test, d):
    """A private session bus with a notification daemon; returns the file where
    every balloon sent to it is written (dbus-monitor)."""
    def start(args, out=subprocess.DEVNULL):
        # The program's PATH may be a test's own: the helpers come from ours.
        env = dict(d.env, PATH=os.environ["PATH"])
        p = subprocess.Popen(args, env=env, stdout=out, stderr=subprocess.DEVNULL)
        test.addCleanup(stop_process, p)
        return p

    address_file = os.path.join(d.root, "bus.txt")
    with open(address_file, "wb") as out:
        start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], out)
    test.assertTrue(wait_until(lambda: read(address_file).endswith("\n")))
    d.env["DBUS_SESSION_BUS_ADDRESS"] = read(address_file).strip()
    monitor_file = os.path.join(d.root, "monitor.txt")
    with open(monitor_file, "wb") as out:
        start(["dbus-monitor", "--address", d.env["DBUS_SESSION_BUS_ADDRESS"],
               "interface='org.freedesktop.Notifications',member='Notify'"], out)
    start(["dunst"])
    return monitor_file


def key_taken(display, key, modifiers):
    """Whether some client holds a passive grab of `key` (a keysym name) with
    `modifiers` (an X modifier mask) on the root window: an attempt to take
    the same grab is refused with BadAccess."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XStringToKeysym.restype = ctypes.c_ulong
    x.XStringToKeysym.argtypes = [ctypes.c_char_p]
    x.XKeysymToKeycode.restype = ctypes.c_ubyte
    x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XGrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong,
                           ctypes.c_int, ctypes.c_int, ctypes.c_int]
    x.XUngrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    errors = []
    handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
    handler = handler_type(lambda d, e: errors.append(1) or 0)
    x.XSetErrorHandler.argtypes = [handler_type]
    x.XSetErrorHandler.restype = ctypes.c_void_p
    d = x.XOpenDisplay(display.encode())
    if not d:
        raise OSError("no display " + display)
    try:
        x.XSetErrorHandler(handler)
        root = x.XDefaultRootWindow(d)
        code = x.XKeysymToKeycode(d, x.XStringToKeysym(key.encode()))
        GrabModeAsync = 1
        x.XGrabKey(d, code, modifiers, root, 0, GrabModeAsync, GrabModeAsync)
        x.XSync(d, 0)
        taken = bool(errors)
        if not taken:
            x.XUngrabKey(d, code, modifiers, root)
            x.XSync(d, 0)
        return taken
    finally:
        x.XCloseDisplay(d)


CONTROL_MASK = 1 << 2


class TerminalReader:
    """Everything a pseudo-terminal's program side shows, read on a thread of
    its own until the terminal closes."""

    def __init__(self, master):
        self._screen = bytearray()
        self._lock = threading.Lock()
        self.closed = threading.Event()
        threading.Thread(target=self._read, args=(master,), daemon=True).start()

    def _read(self, master):
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            with self._lock:
                self._screen.extend(chunk)
        self.closed.set()

    def text(self):
        with self._lock:
            return self._screen.decode("utf-8", "replace")
