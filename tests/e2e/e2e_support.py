"""What the whole-program tests share: a private X display, a private sound
server with a null sink, and waiting on conditions. Every process started
here is stopped by its own pid when the test ends."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time


# The start of the line the program logs once it records.
READY_LINE = "[CORVANE] Listo: grabando en segundo plano."

def api_request(port, token, method, target, body=None):
    """One request to the program's interface with its key header; the
    reply's status line and its JSON body."""
    data = json.dumps(body).encode() if body is not None else b""
    head = ("%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-CRVN-Clave: %s\r\n"
            "Content-Length: %d\r\nConnection: close\r\n\r\n" % (method, target, port, token, len(data)))
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(head.encode() + data)
        reply = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
    status, _, rest = reply.partition(b"\r\n")
    return status.decode(), json.loads(rest.partition(b"\r\n\r\n")[2].decode())


def wait_until(pred, timeout=30.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(step)
    return pred()


def stop_process(proc):
    """Stops a process we started: SIGTERM, then SIGKILL after 10 s."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def spawn_xvfb(width=640, height=360):
    """An Xvfb on a display number it picks itself. Returns the process and
    ":N"; the caller stops the process. RuntimeError when it did not start."""
    r, w = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % (width, height),
         "-nolisten", "tcp", "-noreset"],
        pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    with os.fdopen(r, "rb") as f:
        while True:
            c = f.read(1)
            if not c or c == b"\n":
                break
            number += c
    if not number:
        proc.kill()
        proc.wait()
        raise RuntimeError("Xvfb no arrancó")
    return proc, ":" + number.decode()


def start_xvfb(test, width=640, height=360):
    """An Xvfb on a display number it picks itself, stopped when the test
    ends; returns ":N"."""
    try:
        proc, display = spawn_xvfb(width, height)
    except RuntimeError:
        raise AssertionError("Xvfb did not start") from None
    test.addCleanup(stop_process, proc)
    return display


def start_pulseaudio(test, runtime_dir, home):
    """A private PulseAudio daemon with a null sink "juego" as the default
    output, reachable through `runtime_dir`. Returns the environment for it."""
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime_dir, HOME=home)
    env.pop("PULSE_SERVER", None)
    proc = subprocess.Popen(
        ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-n",
         "--load=module-native-protocol-unix",
         "--load=module-null-sink sink_name=juego",
         "--load=module-always-sink"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    test.addCleanup(stop_process, proc)

    def ready():
        return subprocess.run(["pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    if not wait_until(ready, timeout=30):
        raise AssertionError("PulseAudio did not start")
    return env


class Desktop:
    """A temporary program folder holding a copy of the binary (the program
    keeps its data beside its own file), a home folder, a private X display
    and a private sound server."""

    def __init__(self, test, binary, sound=True, width=640, height=360):
        self.root = tempfile.mkdtemp(prefix="corvane-e2e-")
        test.addCleanup(shutil.rmtree, self.root, True)
        self.app = os.path.join(self.root, "app")
        self.home = os.path.join(self.root, "home")
        self.run = os.path.join(self.root, "run")
        os.makedirs(self.app)
        os.makedirs(self.home)
        os.makedirs(self.run, mode=0o700)
        self.exe = os.path.join(self.app, "corvane")
        shutil.copy2(binary, self.exe)
        self.data = os.path.join(self.app, "data")
        self.clips = os.path.join(self.home, "Videos", "Corvane")
        self.display = start_xvfb(test, width, height)
        if sound:
            self.env = start_pulseaudio(test, self.run, self.home)
        else:
            self.env = dict(os.environ, XDG_RUNTIME_DIR=self.run, HOME=self.home)
        self.env["DISPLAY"] = self.display
        self.env.pop("XDG_CONFIG_HOME", None)
        # Never the user's session bus: balloons would land on the real desktop.
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.procs = []
        test.addCleanup(self._stop_all)

    def start(self, *args):
        """Starts the program; its standard output and error go to a file (a
        pipe nobody reads could fill and stall it): see output()."""
        path = os.path.join(self.root, "out-%d.txt" % len(self.procs))
        with open(path, "wb") as out:
            p = subprocess.Popen([self.exe, *args], cwd=self.root, env=self.env,
                                 stdout=out, stderr=subprocess.STDOUT)
        p.output_path = path
        self.procs.append(p)
        return p

    @staticmethod
    def output(p):
        with open(p.output_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def write_ini(self, text):
        """The program's settings file, written before it starts."""
        os.makedirs(self.data, exist_ok=True)
        with open(os.path.join(self.data, "corvane.ini"), "w", encoding="utf-8") as f:
            f.write(text)

    def start_ready(self, test, *args):
        """Starts the program and waits for its ready line; the test fails
        with the log if the program ends or never gets there."""
        p = self.start(*args)
        test.assertTrue(wait_until(lambda: READY_LINE in self.log() or p.poll() is not None,
                                   timeout=60), self.log())
        test.assertIsNone(p.poll(), self.output(p))
        return p

    def interface(self):
        """(port, key) of the running program's web interface."""
        with open(os.path.join(self.data, "interfaz.json"), encoding="utf-8") as f:
            interfaz = json.load(f)
        return interfaz["puerto"], interfaz["clave"]

    def run_tool(self, *args):
        return subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)

    def log(self):
        try:
            with open(os.path.join(self.data, "corvane.log"), encoding="utf-8",
                      errors="replace", newline="") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def _stop_all(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
