"""The whole program on a private display and sound server: start-up, the
settings summary, the web interface's hand-off route, a clip saved from the
keyboard, a second start and the quit signal."""
import json
import os
import signal
import socket
import subprocess
import time
import unittest

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
RULE = "=" * 62
STARTED = "[CORVANE] Iniciando v0.10.45 (2026-10-25)"
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
CLOSED = "[CORVANE] Cerrado."
BANNER_PREFIXES = [
    RULE,
    "  Corvane v0.10.45 (2026-10-25)  -  Motor de captura",
    "  Desarrollado por ",
    RULE,
    "  Perfil     : ",
    "  Video      : 640x360 @ ",
    "  Codificador: ",
    "  Bitrate    : ",
    "  Búfer      : últimos ",
    "  Audio juego: ",
    "  Micrófono  : ",
    "  Guardar    : Ctrl+W  (con aviso sonoro)",
    "  Avisos     : ",
    "  Clips      : Ctrl+Shift+E (abre Corvane en Clips)",
    "  Actualizar : Ctrl+Shift+U (buscar / instalar, fuera de partida)",
    "  Carpeta    : ",
    "  Ajustes    : ",
    "  Registro   : ",
    RULE,
]


def log_messages(text):
    """The log's messages without their time stamps."""
    return [line[24:] for line in text.split("\r\n") if len(line) >= 24]


def http_get(port, target):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
                   % (target, port)).encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return data.decode("utf-8", "replace")


def rgb_at(clip, where, env):
    """The colour at the middle of the first ("first") or last ("last") frame."""
    args = ["ffmpeg", "-v", "error"]
    if where == "last":
        # Well before the end: on a busy machine the sound can run past the
        # last picture by more than a few frames.
        args += ["-sseof", "-2"]
    args += ["-i", clip, "-vf", "crop=2:2:319:179", "-frames:v", "1" if where == "first" else "1000",
             "-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    out = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         timeout=120)
    if out.returncode != 0 or len(out.stdout) < 3:
        raise AssertionError("ffmpeg could not decode %s: %s" % (clip, out.stderr.decode()))
    frame = out.stdout[-12:]  # the last 2x2 crop decoded
    return frame[0], frame[1], frame[2]


class StartupTest(unittest.TestCase):

    def start_ready(self, d, *args):
        p = d.start(*args)
        if not wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60):
            self.fail("no ready line; log:\n" + d.log())
        if p.poll() is not None:
            self.fail("the program ended: %s\n%s" % (p.returncode, d.output(p)))
        return p

    def test_start_interface_second_start_and_sigterm(self):
        d = Desktop(self, BIN)
        p = self.start_ready(d, "--consola", "--no-window")
        log = d.log()

        # The configuration file was written from the template on this first run.
        with open(os.path.join(d.data, "corvane.ini"), encoding="utf-8") as f:
            ini = f.read()
        self.assertIn("[teclas]", ini)
        self.assertIn("guardar", ini)

        # Rule line, start line, the banner in order, then the ready line.
        messages = log_messages(log)
        start = messages.index(STARTED)
        self.assertEqual(messages[start - 1], RULE)
        first = next(i for i in range(start + 1, len(messages))
                     if messages[i] == BANNER_PREFIXES[1]) - 1
        banner = messages[first:first + len(BANNER_PREFIXES)]
        for prefix, line in zip(BANNER_PREFIXES, banner):
            self.assertTrue(line.startswith(prefix), (prefix, line))
        self.assertEqual(banner[-1], RULE)
        self.assertIn(READY, messages[first + len(BANNER_PREFIXES):])
        self.assertIn("  Carpeta    : " + d.clips, banner)
        self.assertIn("  Ajustes    : " + os.path.join(d.data, "corvane.ini"), banner)
        self.assertIn("  Registro   : " + os.path.join(d.data, "corvane.log"), banner)
        # --no-window on a first run: no window is opened.
        self.assertNotIn("[VENTANA]", log)

        with open(os.path.join(d.data, "interfaz.json"), encoding="utf-8") as f:
            interfaz = json.load(f)
        self.assertEqual(interfaz["pid"], p.pid)
        port, token = interfaz["puerto"], interfaz["clave"]
        self.assertRegex(token, "^[0-9a-f]{32}$")

        reply = http_get(port, "/api/abrir?t=%s&tab=ayuda" % token)
        self.assertTrue(reply.startswith("HTTP/1.1 200"), reply[:200])
        self.assertTrue(wait_until(lambda: "[VENTANA] Abriendo Corvane (ayuda)." in d.log()))
        for target in ("/api/abrir", "/api/abrir?t=0123456789abcdef0123456789abcdef"):
            reply = http_get(port, target)
            self.assertTrue(reply.startswith("HTTP/1.1 403"), (target, reply[:200]))

        # A second start hands off to this one and leaves with 0.
        second = d.start("--no-window")
        self.assertEqual(second.wait(timeout=60), 0)
        self.assertTrue(wait_until(lambda: "[VENTANA] Abriendo Corvane (clips)." in d.log()))
        self.assertEqual(d.log().count(STARTED), 1)

        # SIGTERM: the same shutdown as a quit, within a second.
        t0 = time.monotonic()
        p.send_signal(signal.SIGTERM)
        code = p.wait(timeout=30)
        elapsed = time.monotonic() - t0
        self.assertEqual(code, 0)
        self.assertLess(elapsed, 1.0)
        # --consola copied the log to standard output.
        self.assertTrue(d.log().endswith(CLOSED + "\r\n"), d.log()[-300:])
        self.assertIn(READY, d.output(p))

    def test_save_hotkey_writes_a_clip_of_the_screen(self):
        d = Desktop(self, BIN)
        os.makedirs(d.data)
        # Not a first run; a light profile keeps the test cheap.
        with open(os.path.join(d.data, "corvane.ini"), "w", encoding="utf-8") as f:
            f.write("[grabacion]\nperfil = ligero\n[avisos]\nposicion = lejos\n")
        self.assertEqual(d.run_tool("xsetroot", "-solid", "#0000ff").returncode, 0)
        p = self.start_ready(d)
        # A refused value is reported at start-up, naming the file.
        self.assertIn("[AVISO] corvane.ini: ", d.log())
        self.assertIn("lejos", d.log())
        # Not a first run and no --no-window: the window opens at "clips".
        self.assertTrue(wait_until(lambda: "[VENTANA] Abriendo Corvane (clips)." in d.log()))

        def press(keys, seen, count):
            self.assertEqual(d.run_tool("xdotool", "keydown", keys).returncode, 0)
            try:
                self.assertTrue(wait_until(lambda: d.log().count(seen) >= count, timeout=30),
                                d.log()[-2000:])
            finally:
                d.run_tool("xdotool", "keyup", keys)

        # The viewer key opens the interface at its clips tab.
        press("ctrl+shift+e", "[VENTANA] Abriendo Corvane (clips).", 2)

        # A first clip proves that video is in the buffer.
        press("ctrl+w", "[Ctrl+W] Guardando clip...", 1)
        self.assertTrue(wait_until(lambda: d.log().count("[OK] Clip guardado") >= 1, timeout=60),
                        d.log()[-2000:])
        first_clip = self.manual_clips(d)
        self.assertEqual(len(first_clip), 1)

        # Paint the screen, then save: the clip starts blue and ends red.
        self.assertEqual(d.run_tool("xsetroot", "-solid", "#ff0000").returncode, 0)
        # Manual names have one-second resolution: let the second change.
        stamp = time.strftime("%H-%M-%S")
        self.assertTrue(wait_until(lambda: time.strftime("%H-%M-%S") != stamp, timeout=5))
        press("ctrl+w", "[Ctrl+W] Guardando clip...", 2)
        self.assertTrue(wait_until(lambda: d.log().count("[OK] Clip guardado") >= 2, timeout=60),
                        d.log()[-2000:])
        clips = self.manual_clips(d)
        self.assertEqual(len(clips), 2, clips)
        clip = [c for c in clips if c not in first_clip][0]

        probe = d.run_tool("ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_type,codec_name", "-of", "json", clip)
        streams = {s["codec_type"]: s["codec_name"]
                   for s in json.loads(probe.stdout)["streams"]}
        self.assertEqual(streams, {"video": "h264", "audio": "aac"})

        r, g, b = rgb_at(clip, "first", d.env)
        self.assertTrue(b > 180 and r < 80, (r, g, b))
        r, g, b = rgb_at(clip, "last", d.env)
        self.assertTrue(r > 180 and b < 80, (r, g, b))

        with open(clip[:-4] + ".json", encoding="utf-8") as f:
            sidecar = json.load(f)
        self.assertEqual(sidecar["clip"], os.path.basename(clip))
        self.assertGreater(sidecar["duracion"], 0)
        self.assertEqual(sidecar["eventos"], [])

        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=30), 0)
        self.assertIn(CLOSED, d.log())

    def manual_clips(self, d):
        day = time.strftime("%Y-%m-%d")
        folder = os.path.join(d.clips, day, "Manual")
        if not os.path.isdir(folder):
            return []
        names = sorted(n for n in os.listdir(folder)
                       if n.startswith("CRVN_" + day + "_") and n.endswith(".mp4"))
        return [os.path.join(folder, n) for n in names]


if __name__ == "__main__":
    unittest.main()
