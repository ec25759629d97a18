"""Two real processes: one copy per session, the hand-off of a second start,
the box when that fails, the wait for a previous copy and the quit signals."""
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from e2e_support import wait_until

BIN = os.environ["CORVANE_BIN"]
BOX_TEXT = "Corvane ya está abierto: búscalo en los íconos "
STARTED = "[CORVANE] Iniciando v0.10.45 (2026-10-25)"
# Lines the running copy's own threads write whenever they see something: the
# game watcher (any process on the machine named like the game), the status
# minute, the update check due seconds after the start, the desktop's absence.
BACKGROUND = ("[JUEGO] ", "[ESTADO] ", "[ACTUALIZACIÓN] ", "No hay bandeja del sistema",
              "Los avisos del escritorio no se muestran", "Avisos en pantalla:",
              "Tu escritorio no permite ocultar")


def foreground(log):
    """The log's lines without those of the background threads."""
    return [line for line in log.split("\r\n") if not any(b in line for b in BACKGROUND)]
READY = "[CORVANE] Listo: grabando en segundo plano."


def start_xvfb(test):
    """A private Xvfb on a random display number; -displayfd tells when it is
    ready. Several test programs start servers at once: letting each pick the
    lowest free number makes them race for it, a random one does not."""
    rng = random.SystemRandom()
    for _ in range(20):
        number = rng.randrange(200, 30000)
        r, w = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-displayfd", str(w), "-screen", "0",
                                 "640x360x24", "-nolisten", "tcp"], pass_fds=(w,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        ready = b""
        while not ready.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            ready += chunk
        if ready == b"%d\n" % number:
            # The server may write to the pipe again: keep it open while it runs.
            test.addCleanup(os.close, r)
            test.addCleanup(lambda: (xvfb.terminate(), xvfb.wait()))
            return ":%d" % number
        os.close(r)
        xvfb.kill()
        xvfb.wait()
    raise AssertionError("no Xvfb display could be started")


class Program:
    """A program folder with a copy of the binary and a private runtime folder."""

    def __init__(self, test):
        self.root = tempfile.mkdtemp(prefix="corvane-e2e-")
        self.app = os.path.join(self.root, "app")
        self.exe = os.path.join(self.app, "corvane")
        self.data = os.path.join(self.app, "data")
        self.run = os.path.join(self.root, "run")
        os.makedirs(self.app)
        os.makedirs(self.run, mode=0o700)
        shutil.copy2(BIN, self.exe)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.run)
        self.env.pop("DISPLAY", None)
        self.procs = []
        self.test = test
        self._desktop_env = None
        test.addCleanup(self.cleanup)

    def desktop_env(self):
        """The environment of a copy that records: a private X display. The
        other starts keep no display, so that their box goes to stderr."""
        if self._desktop_env is None:
            self._desktop_env = dict(self.env, DISPLAY=start_xvfb(self.test))
        return self._desktop_env

    def start(self, *args, env=None):
        p = subprocess.Popen([self.exe, *args], cwd=self.root, env=env or self.env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(p)
        return p

    def run_to_end(self, *args, env=None, timeout=60):
        t0 = time.monotonic()
        p = self.start(*args, env=env)
        out, err = p.communicate(timeout=timeout)
        return p.returncode, out.decode(), err.decode(), time.monotonic() - t0

    def log(self):
        try:
            with open(os.path.join(self.data, "corvane.log"), encoding="utf-8", newline="") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def interfaz(self):
        try:
            with open(os.path.join(self.data, "interfaz.json"), encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def start_first(self, *args):
        """Starts a copy and waits until it has started up completely."""
        before = self.log().count(READY)
        # The detector thread logs its own start line after the ready line.
        detector_before = self.detector_started()
        p = self.start("--no-window", *args, env=self.desktop_env())
        if not wait_until(lambda: (self.log().count(READY) > before and
                                   self.detector_started() > detector_before)
                          or p.poll() is not None):
            raise AssertionError("the first copy did not start")
        if p.poll() is not None:
            raise AssertionError("the first copy ended: %r" % (p.communicate(),))
        return p

    def detector_started(self):
        log = self.log()
        return log.count("[DETECTOR] Activo") + log.count("[AVISO] No hay OCR disponible")

    def write_interfaz(self, text):
        os.makedirs(self.data, exist_ok=True)
        with open(os.path.join(self.data, "interfaz.json"), "w", encoding="utf-8") as f:
            f.write(text)

    def cleanup(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.communicate()
        shutil.rmtree(self.root, ignore_errors=True)


class Peer:
    """Plays the running copy's web interface on 127.0.0.1: one thread per
    connection, each request recorded, answered as `mode` says."""

    def __init__(self, test, mode="ok", token="0123456789abcdef0123456789abcdef"):
        self.mode = mode
        self.token = token
        self.requests = []
        self.stop = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()
        test.addCleanup(self.close)

    def interfaz(self, pid, port=None, token=None):
        """The file as the running copy writes it after binding its listener."""
        return json.dumps({"puerto": self.port if port is None else port,
                           "clave": self.token if token is None else token,
                           "pid": pid}, separators=(",", ":"))

    def close(self):
        self.stop.set()
        self.sock.close()

    def _accept(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            data = b""
            conn.settimeout(10)
            try:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    data += chunk
            except OSError:
                return
            self.requests.append(data)
            try:
                self._answer(conn, data)
            except OSError:
                pass

    def _answer(self, conn, request):
        if self.mode == "ok":
            good = request.startswith(b"GET /api/abrir?t=%s&" % self.token.encode())
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
                         if good else
                         b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        elif self.mode == "http10":
            conn.sendall(b"HTTP/1.0 200 OK\r\n\r\nok")
        elif self.mode == "bad_utf8":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n\xff")
        elif self.mode == "silent":
            self.stop.wait(30)
        elif self.mode == "trickle":
            # A chatty program on a stale port: a byte every 100 ms for up to 30 s.
            for _ in range(300):
                if self.stop.is_set():
                    break
                conn.sendall(b"x")
                time.sleep(0.1)


class HandOff(unittest.TestCase):
    def test_second_start_hands_off_to_the_running_copy(self):
        prog = Program(self)
        first = prog.start_first()
        path = os.path.join(prog.data, "interfaz.json")
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        info = json.loads(prog.interfaz())
        self.assertEqual(list(info), ["puerto", "clave", "pid"])
        self.assertEqual(prog.interfaz(),
                         '{"puerto":%d,"clave":"%s","pid":%d}' % (info["puerto"], info["clave"],
                                                                first.pid))
        self.assertRegex(info["clave"], r"^[0-9a-f]{32}$")
        for args in ((), ("--config",)):
            with self.subTest(args=args):
                rc, out, err, _ = prog.run_to_end(*args)
                self.assertEqual(rc, 0)
                self.assertEqual(err, "")
        self.assertIsNone(first.poll())
        # A new start of the program has a new token.
        first.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(timeout=30), 0)
        again = prog.start_first()
        self.assertNotEqual(json.loads(prog.interfaz())["clave"], info["clave"])
        again.send_signal(signal.SIGTERM)
        self.assertEqual(again.wait(timeout=30), 0)

    def test_hand_off_request_is_exact(self):
        prog = Program(self)
        first = prog.start_first()
        peer = Peer(self)
        prog.write_interfaz(peer.interfaz(first.pid))
        log_before = foreground(prog.log())
        for args, tab in (((), "clips"), (("--config",), "ajustes")):
            with self.subTest(args=args):
                rc, out, err, _ = prog.run_to_end(*args)
                self.assertEqual(rc, 0)
                self.assertEqual(err, "")
                self.assertEqual(
                    peer.requests[-1],
                    ("GET /api/abrir?t=%s&tab=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                     "Connection: close\r\n\r\n" % (peer.token, tab, peer.port)).encode())
        self.assertEqual(len(peer.requests), 2)
        # Nothing is logged on this path, and the first copy runs on.
        self.assertEqual(foreground(prog.log()), log_before)
        self.assertIsNone(first.poll())

    def test_failed_hand_offs_show_the_box(self):
        prog = Program(self)
        first = prog.start_first()
        ok = Peer(self)
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        closed_port = closed.getsockname()[1]
        closed.close()
        cases = [
            ("closed port", ok, ok.interfaz(first.pid, port=closed_port), False),
            ("403 for a wrong token", ok, ok.interfaz(first.pid, token="ffff"), True),
            ("HTTP/1.0 200", Peer(self, "http10"), None, True),
            ("200 with invalid UTF-8", Peer(self, "bad_utf8"), None, True),
            ("not JSON", ok, "{puerto: 1}", False),
            ("not an object", ok, "[%d]" % ok.port, False),
            ("port as text", ok, '{"puerto":"%d","clave":"%s"}' % (ok.port, ok.token), False),
            ("port beyond 16 bits", ok, ok.interfaz(first.pid, port=65536 + ok.port), False),
            ("token with a line break", ok,
             ok.interfaz(first.pid, token=ok.token + "\r\nX-Otro: 1"), False),
            ("missing file", ok, "", False),
        ]
        for name, peer, text, reaches_peer in cases:
            with self.subTest(name):
                if text == "":
                    os.remove(os.path.join(prog.data, "interfaz.json"))
                else:
                    prog.write_interfaz(text if text is not None else peer.interfaz(first.pid))
                seen = len(peer.requests)
                rc, out, err, _ = prog.run_to_end()
                self.assertEqual(rc, 0)
                self.assertIn(BOX_TEXT, err)
                self.assertEqual(len(peer.requests) > seen, reaches_peer)
        self.assertIsNone(first.poll())

    def test_silent_and_chatty_listeners_give_the_box_after_the_time_out(self):
        prog = Program(self)
        first = prog.start_first()
        for mode in ("silent", "trickle"):
            with self.subTest(mode):
                peer = Peer(self, mode)
                prog.write_interfaz(peer.interfaz(first.pid))
                rc, out, err, elapsed = prog.run_to_end(timeout=60)
                peer.close()
                self.assertEqual(rc, 0)
                self.assertIn(BOX_TEXT, err)
                self.assertEqual(len(peer.requests), 1)
                # It waited for the reply (about 3 s) and no longer than a bound,
                # however long the peer keeps talking.
                self.assertGreaterEqual(elapsed, 2.5)
                self.assertLess(elapsed, 20)


class Lifetime(unittest.TestCase):
    def test_killed_first_copy_frees_the_lock_at_once(self):
        prog = Program(self)
        first = prog.start_first()
        first.kill()
        first.wait()
        second = prog.start_first()
        self.assertEqual(prog.log().count(STARTED), 2)
        second.send_signal(signal.SIGTERM)
        self.assertEqual(second.wait(timeout=30), 0)

    def test_quit_signals_end_the_copy_in_order(self):
        prog = Program(self)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(sig.name):
                p = prog.start_first()
                p.send_signal(sig)
                self.assertEqual(p.wait(timeout=30), 0)
                tail = [line for line in foreground(prog.log()) if line][-2:]
                self.assertTrue(tail[0].endswith(" [CORVANE] Cerrando…"), tail)
                self.assertTrue(tail[1].endswith(" [CORVANE] Cerrado."), tail)

    def test_esperar_pid_waits_for_the_given_process(self):
        prog = Program(self)
        sleeper = subprocess.Popen(["sleep", "120"])
        self.addCleanup(lambda: (sleeper.kill(), sleeper.wait()))
        waiting = prog.start("--no-window", "--esperar-pid", "+%d" % sleeper.pid,
                             env=prog.desktop_env())
        time.sleep(1.5)
        self.assertIsNone(waiting.poll())
        self.assertNotIn(STARTED, prog.log())
        # Once it has ended (a zombie nobody reaped yet) the wait is over.
        sleeper.send_signal(signal.SIGKILL)
        self.assertTrue(wait_until(lambda: READY in prog.log(), timeout=30))
        self.assertIsNone(sleeper.returncode)
        waiting.send_signal(signal.SIGTERM)
        self.assertEqual(waiting.wait(timeout=30), 0)

    def test_only_the_lock_holder_rotates_the_log(self):
        prog = Program(self)
        os.makedirs(prog.data)
        big = os.path.join(prog.data, "corvane.log")
        old = os.path.join(prog.data, "corvane.1.log")
        with open(big, "wb") as f:
            f.write(b"x" * (5 * 1024 * 1024 + 1))
        first = prog.start_first()
        self.assertEqual(os.path.getsize(old), 5 * 1024 * 1024 + 1)
        os.remove(old)
        with open(big, "ab") as f:
            f.write(b"y" * (5 * 1024 * 1024 + 1))
        rc, out, err, _ = prog.run_to_end()
        self.assertEqual(rc, 0)
        self.assertFalse(os.path.exists(old))
        self.assertIsNone(first.poll())

    def test_apply_update_needs_two_arguments(self):
        prog = Program(self)
        rc, out, err, _ = prog.run_to_end("--apply-update", "origen", "destino")
        self.assertEqual(rc, 0)
        # Install mode opens no log and takes no lock.
        self.assertFalse(os.path.exists(os.path.join(prog.data, "corvane.log")))
        self.assertEqual(os.listdir(prog.run), [])
        # With one argument the program starts normally.
        p = prog.start_first("--apply-update", "origen")
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=30), 0)


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class Box(unittest.TestCase):
    def test_box_waits_for_the_user_and_closes_with_return(self):
        display = start_xvfb(self)

        prog = Program(self)
        prog.start_first()
        os.remove(os.path.join(prog.data, "interfaz.json"))
        env = dict(prog.env, DISPLAY=display)
        second = prog.start(env=env)

        def box_shown():
            return subprocess.run(["xdotool", "search", "--name", "^Corvane$"], env=env,
                                  stdout=subprocess.DEVNULL).returncode == 0
        self.assertTrue(wait_until(box_shown, timeout=30))
        time.sleep(0.3)
        self.assertIsNone(second.poll())  # held until the user closes it
        subprocess.run(["xdotool", "key", "Return"], env=env, check=True)
        out, err = second.communicate(timeout=30)
        self.assertEqual(second.returncode, 0)
        self.assertEqual(err, b"")

    def test_signal_during_the_box_leaves_the_running_copys_log_alone(self):
        display = start_xvfb(self)
        prog = Program(self)
        first = prog.start_first()
        os.remove(os.path.join(prog.data, "interfaz.json"))
        env = dict(prog.env, DISPLAY=display)
        second = prog.start(env=env)

        def box_shown():
            return subprocess.run(["xdotool", "search", "--name", "^Corvane$"], env=env,
                                  stdout=subprocess.DEVNULL).returncode == 0
        self.assertTrue(wait_until(box_shown, timeout=30))
        before = prog.log()
        second.send_signal(signal.SIGTERM)
        second.communicate(timeout=30)
        self.assertEqual(second.returncode, -signal.SIGTERM)
        # The log is the running copy's: the second start wrote nothing there.
        self.assertEqual(prog.log(), before)
        self.assertIsNone(first.poll())


if __name__ == "__main__":
    unittest.main()
