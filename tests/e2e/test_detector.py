"""The whole program with a stand-in game window: the detector's start line,
the "in front" line when a window of a program named cod25 has the focus, the
pause line when another program's window takes it, and "detector.log"."""
import os
import shutil
import signal
import subprocess
import unittest

from e2e_support import Desktop, stop_process, wait_until

BIN = os.environ["CORVANE_BIN"]
HELPER = os.path.join(os.environ["CORVANE_BUILD_DIR"], "apps", "corvane", "cod25")
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
ACTIVE = ("[DETECTOR] Activo (OCR Tesseract). Tu gamertag se aprende solo con tus primeras "
          "bajas (o escríbelo en [general] gamertag de la Configuración).")
FRONT = "[DETECTOR] Juego al frente: Warzone · Black Ops 7 (cod25). Leyendo."
PAUSE = "[DETECTOR] En pausa: el juego no está al frente (ventana: otro)."


def log_messages(text):
    return [line[24:] for line in text.split("\r\n") if len(line) >= 24]


class DetectorTest(unittest.TestCase):

    def window(self, d, exe):
        """Starts a stand-in window program; returns its window id. It ends
        when its input closes (or is killed by the clean-up)."""
        p = subprocess.Popen([exe], env=d.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(stop_process, p)
        self.addCleanup(p.stdin.close)
        line = p.stdout.readline().decode().strip()
        self.assertTrue(line.isdigit(), "the window helper did not start")
        return line

    def focus(self, d, window_id):
        r = d.run_tool("xdotool", "windowfocus", "--sync", window_id)
        self.assertEqual(r.returncode, 0, r.stderr.decode())

    def test_game_in_front_then_another_window(self):
        d = Desktop(self, BIN)
        p = d.start("--no-window")
        if not wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60):
            self.fail("no ready line; log:\n" + d.log())
        self.assertIsNone(p.poll(), d.output(p))
        self.assertTrue(wait_until(lambda: ACTIVE in log_messages(d.log()), timeout=60), d.log())

        game = self.window(d, HELPER)
        self.focus(d, game)
        self.assertTrue(wait_until(lambda: FRONT in log_messages(d.log()), timeout=30), d.log())

        # The reading statistics: the first reading pass 10 s after the start.
        stats = os.path.join(d.data, "detector.log")
        self.assertTrue(wait_until(lambda: os.path.exists(stats), timeout=60), d.log())
        with open(stats, encoding="utf-8") as f:
            first = f.readline()
        self.assertRegex(first, r"^\d\d:\d\d:\d\d lecturas=[1-9]\d* ms_prom=\d+ ms_lento=\d+ "
                                r"menu=0 previa=0 killfeed=\d+ tarjetas_baja=0 "
                                r"tarjetas_muerte=0 gamertag=-\n$")

        other_exe = os.path.join(d.root, "otro")
        shutil.copy2(HELPER, other_exe)
        other = self.window(d, other_exe)
        self.focus(d, other)
        self.assertTrue(wait_until(lambda: PAUSE in log_messages(d.log()), timeout=30), d.log())

        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=60), 0)
        self.assertIn("[CORVANE] Cerrado.", log_messages(d.log()))


if __name__ == "__main__":
    unittest.main()
