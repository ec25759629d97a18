"""The automatic road end to end: a window of a program named cod25 shows the
game's HUD (frames drawn by scripts/hud_frames.py) on a private X display,
and the whole program, left alone, reads it, logs the kill, appends it to
"estadisticas.jsonl" and saves a clip of it under "<date>/Bajas/". A card
shown while another program's window is in front, or during the warm-up
lobby, gives nothing; one shown while a notice card is up at the top of the
screen counts like any other, and the notice's own words give nothing."""
import glob
import json
import os
import shutil
import signal
import subprocess
import time
import unittest

from e2e_support import api_request, Desktop, stop_process, wait_until

BIN = os.environ["CORVANE_BIN"]
HELPER = os.path.join(os.environ["CORVANE_BUILD_DIR"], "apps", "corvane", "cod25")
FRAMES = os.path.join(os.environ["CORVANE_SOURCE_DIR"], "scripts", "hud_frames.py")
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
FRONT = "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo."
PAUSE = "[DETECTOR] En pausa: el juego no está al frente (ventana: otro)."
LOBBY = ("[PARTIDA] Lobby previo (calentamiento): no se guardan clips ni se cuentan bajas "
         "hasta que empiece la partida.")
MATCH = "[PARTIDA] Empieza la partida: el detector vuelve a guardar clips."
WIDTH, HEIGHT = 1280, 720
INI = """[grabacion]
perfil = ligero
[avanzado]
codec = h264
fps = 15
[audio]
juego = no
microfono = no
[clips]
segundos_antes = 2
segundos_despues = 1
[avisos]
duracion = 10
"""
NOTICE = "Corvane aviso"


def log_messages(text):
    return [line[24:] for line in text.split("\r\n") if len(line) >= 24]


def api_action(data_dir, name):
    """One action through the web interface, as its page sends it; its JSON
    reply."""
    with open(os.path.join(data_dir, "interfaz.json"), encoding="utf-8") as f:
        interfaz = json.load(f)
    return api_request(interfaz["puerto"], interfaz["clave"], "POST", "/api/accion", {"a": name})[1]


class Window:
    """A stand-in window program; show() puts a frame on it, covering the
    screen. It ends when its input closes (or is stopped by the clean-up)."""

    def __init__(self, test, d, exe):
        self.d = d
        self.p = subprocess.Popen([exe], env=d.env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        test.addCleanup(self.p.stdout.close)
        test.addCleanup(stop_process, self.p)
        test.addCleanup(self.p.stdin.close)
        self.id = self.p.stdout.readline().decode().strip()
        test.assertTrue(self.id.isdigit(), "the window helper did not start")
        self.test = test

    def show(self, png):
        self.p.stdin.write(("show %s\n" % png).encode())
        self.p.stdin.flush()
        self.test.assertEqual(self.p.stdout.readline().decode().strip(), "ok", png)

    def focus(self):
        r = self.d.run_tool("xdotool", "windowfocus", "--sync", self.id)
        self.test.assertEqual(r.returncode, 0, r.stderr.decode())


class AutoClipTest(unittest.TestCase):

    def frame(self, scene):
        out = os.path.join(self.d.root, "frames")
        subprocess.run(["/usr/bin/python3", FRAMES, "scene", scene, "--height", str(HEIGHT),
                        "--out", out], check=True)
        return os.path.join(out, "%s_%d.png" % (scene, HEIGHT))

    def messages(self):
        return log_messages(self.d.log())

    def kills(self):
        return [m for m in self.messages() if m.startswith("[BAJA]")]

    def history(self):
        path = os.path.join(self.d.clips, "estadisticas.jsonl")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def clips(self, folder):
        day = time.strftime("%Y-%m-%d")
        return sorted(glob.glob(os.path.join(self.d.clips, day, folder, "*.mp4")))

    def notice_up(self):
        r = self.d.run_tool("xwininfo", "-name", NOTICE)
        return r.returncode == 0 and b"Map State: IsViewable" in r.stdout

    def hold(self, seconds):
        """Lets the program read the screen for a while; nothing to wait for."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.assertIsNone(self.p.poll(), self.d.output(self.p))
            time.sleep(0.1)

    def test_kill_card_makes_an_automatic_clip_but_not_behind_another_window_or_in_lobby(self):
        d = self.d = Desktop(self, BIN, sound=False, width=WIDTH, height=HEIGHT)
        d.write_ini(INI)
        card, none = self.frame("baja"), self.frame("vacio")
        lobby, start = self.frame("lobby"), self.frame("partida")

        p = self.p = d.start("--no-window")
        if not wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60):
            self.fail("no ready line; log:\n" + d.log())
        self.assertIsNone(p.poll(), d.output(p))

        game = Window(self, d, HELPER)
        game.show(none)
        game.focus()
        self.assertTrue(wait_until(lambda: FRONT in self.messages(), timeout=60), d.log())

        # Another program in front shows the card: the detector does not read.
        other_exe = os.path.join(d.root, "otro")
        shutil.copy2(HELPER, other_exe)
        other = Window(self, d, other_exe)
        other.focus()
        self.assertTrue(wait_until(lambda: PAUSE in self.messages(), timeout=30), d.log())
        other.show(card)
        self.hold(4)
        stop_process(other.p)

        # The game in front again, in the warm-up lobby: its kill card counts
        # for nothing.
        game.show(lobby)
        game.focus()
        self.assertTrue(wait_until(lambda: LOBBY in self.messages(), timeout=30), d.log())
        game.show(card)
        self.hold(3)
        game.show(none)
        self.hold(5)
        self.assertEqual(self.kills(), [], d.log())
        self.assertEqual(self.history(), [])
        self.assertEqual(self.clips("Bajas"), [])

        # The match starts; the same card now is a kill with its clip.
        game.show(start)
        self.assertTrue(wait_until(lambda: MATCH in self.messages(), timeout=30), d.log())
        game.show(none)
        self.hold(1)
        # The card stays until it is read, as a game's card stays seconds: on a
        # loaded machine one pass of reading can take longer than a card's
        # usual time on screen. Held up, it must still count once.
        game.show(card)
        self.assertTrue(wait_until(lambda: self.kills(), timeout=45), d.log())
        self.hold(2)
        game.show(none)
        self.assertTrue(wait_until(lambda: any("[OK] Clip guardado" in m
                                                for m in self.messages()), timeout=60),
                        d.log()[-3000:])
        self.assertEqual(len(self.kills()), 1, d.log())
        self.assertRegex(self.kills()[0],
                         r"^\[BAJA\] Eliminaste a \S+ \(nivel 57\) \[HEADSHOT\] en \S+ — "
                         r"tu baja #2 de la partida$")

        rows = self.history()
        self.assertEqual(len(rows), 1, rows)
        row = rows[0]
        self.assertEqual(row["tipo"], "baja")
        self.assertEqual(row["nivel"], 57)
        self.assertEqual(row["baja_en_partida"], 2)
        self.assertEqual(row["juego"], "Warzone · Black Ops 7")
        day = time.strftime("%Y-%m-%d")
        self.assertRegex(row["clip"], r"^%s/Bajas/CRVN_%s_\d\d-\d\d-\d\d_baja\.mp4$" % (day, day))

        clips = self.clips("Bajas")
        self.assertEqual([os.path.relpath(c, d.clips) for c in clips], [row["clip"]])
        probe = d.run_tool("ffprobe", "-v", "error", "-show_entries",
                           "format=duration:stream=codec_name,codec_type", "-of", "json",
                           clips[0])
        self.assertEqual(probe.returncode, 0, probe.stderr.decode())
        info = json.loads(probe.stdout)
        duration = float(info["format"]["duration"])
        self.assertIn("h264", [s["codec_name"] for s in info["streams"]
                               if s["codec_type"] == "video"])
        with open(clips[0][:-4] + ".json", encoding="utf-8") as f:
            sidecar = json.load(f)
        self.assertAlmostEqual(sidecar["duracion"], duration, delta=1.1)
        events = sidecar["eventos"]
        self.assertEqual([e["tipo"] for e in events], ["baja"])
        # The kill lies inside the clip, after the lead of segundos_antes.
        self.assertGreaterEqual(events[0]["segundo"], 0.0)
        self.assertLessEqual(events[0]["segundo"], duration)
        self.assertEqual(self.clips("Muertes"), [])

        # A notice card at its usual place, the top centre, while another
        # kill card shows: the kill is read all the same; the card's words are
        # not the game's.
        self.assertTrue(wait_until(lambda: not self.notice_up(), timeout=60),
                        "the saved clip's notice stayed up")
        self.assertEqual(api_action(d.data, "probar_aviso"), {"ok": True})
        self.assertTrue(wait_until(self.notice_up, timeout=30), "no test notice on screen")
        game.show(self.frame("baja_otra"))
        read = wait_until(lambda: len(self.kills()) == 2 or not self.notice_up(), timeout=45)
        self.assertTrue(read and self.notice_up(),
                        "the kill card was not read while the notice was up:\n" + d.log())
        game.show(none)
        self.assertTrue(wait_until(lambda: len(self.clips("Bajas")) == 2, timeout=60),
                        d.log()[-3000:])
        self.assertRegex(self.kills()[1],
                         r"^\[BAJA\] Eliminaste a EMBERLYNX \(nivel 31\).* — "
                         r"tu baja #3 de la partida$")
        rows = self.history()
        self.assertEqual([(r["tipo"], r["enemigo"], r["nivel"]) for r in rows],
                         [("baja", row["enemigo"], 57), ("baja", "EMBERLYNX", 31)])
        self.assertEqual(os.path.relpath(self.clips("Bajas")[1], d.clips), rows[1]["clip"])
        self.hold(3)
        self.assertEqual(len(self.kills()), 2, d.log())
        self.assertFalse([m for m in self.messages() if "cubierta" in m], d.log())
        self.assertFalse([m for m in self.messages()
                          if m.startswith(("[MUERTE]", "[DERRIBO]"))], d.log())

        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=60), 0)
        self.assertIn("[CORVANE] Cerrado.", self.messages())


if __name__ == "__main__":
    unittest.main()
