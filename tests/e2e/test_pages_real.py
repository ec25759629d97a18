"""The home and help pages in Debian's Chromium against the whole program:
the home page follows a tab asked for through "/api/abrir", the log viewer
shows the program's own last lines, "Guardar clip" saves a clip the log
reports; the pages' weight figures are printed."""
import glob
import json
import os
import subprocess
import unittest

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
SRC = os.environ["CORVANE_SOURCE_DIR"]
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."


class PagesRealTest(unittest.TestCase):

    def test_home_and_help_pages_against_the_program(self):
        d = Desktop(self, BIN)
        d.write_ini("[grabacion]\nperfil = ligero\n")
        p = d.start("--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60), d.log())
        with open(os.path.join(d.data, "interfaz.json"), encoding="utf-8") as f:
            interfaz = json.load(f)
        env = dict(d.env, PORT=str(interfaz["puerto"]), TOKEN=interfaz["clave"],
                   NODE_PATH=os.path.join(SRC, "node_modules"))
        run = subprocess.run(["node", os.path.join(SRC, "tests", "e2e", "pages", "real_program.mjs")],
                             env=env, capture_output=True, text=True, timeout=240)
        self.assertEqual(run.returncode, 0, run.stderr[-3000:])
        out = json.loads(run.stdout.strip().splitlines()[-1])
        print("page weight:", json.dumps(out["weight"]), "abrir followed after", out["follow_ms"], "ms")
        self.assertEqual(out["errors"], [])
        self.assertEqual(out["outside"], [])
        self.assertLess(out["abrir_status"], 300)
        self.assertIn(READY, out["log_text"])
        self.assertEqual(out["toast"], "Guardando clip… aparece en Clips en unos segundos")
        self.assertTrue(wait_until(lambda: "[OK] Clip guardado" in d.log(), timeout=90), d.log()[-2000:])
        self.assertEqual(len(glob.glob(os.path.join(d.clips, "*", "Manual", "CRVN_*.mp4"))), 1)
        for page in ("/", "/ayuda"):
            self.assertGreater(out["weight"][page]["bytes"], 10000)


if __name__ == "__main__":
    unittest.main()
