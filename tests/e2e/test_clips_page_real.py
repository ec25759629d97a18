"""The clips page in Debian's Chromium against the whole program, with a clip
the program recorded (H.264/AAC, the voice in its own track): it plays in its
segment with the voice in step, is archived and then survives the disk limit;
events deleted on the page leave the history file, and deleted clips leave
the disk with their sidecars and voice tracks."""
import glob
import json
import os
import shutil
import subprocess
import time
import unittest
import urllib.request

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
SRC = os.environ["CORVANE_SOURCE_DIR"]
BUILD = os.environ["CORVANE_BUILD_DIR"]
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
INI = """[grabacion]
perfil = ligero
[avanzado]
codec = h264
[audio]
microfono = si
microfono_en_video = no
[clips]
limite_disco_gb = 1
"""


def companions(mp4):
    stem = mp4[:-4]
    return [mp4, stem + ".json", stem + "_mic.m4a"]


def probe(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name:format=duration",
                        "-of", "json", path], capture_output=True, text=True, timeout=60)
    return json.loads(r.stdout)


class ClipsPageRealTest(unittest.TestCase):

    def save_clip(self, d, port, token):
        req = urllib.request.Request("http://127.0.0.1:%d/api/accion" % port, method="POST",
                                     data=b'{"a":"guardar_clip"}',
                                     headers={"X-CRVN-Clave": token, "Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=30) as r:
            self.assertEqual(json.loads(r.read()).get("ok"), True)

    def test_clips_page_against_the_program(self):
        d = Desktop(self, BIN)
        d.write_ini(INI)
        p = d.start("--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60), d.log())
        port, token = d.interface()

        # Let the replay buffer hold more than the kill's segment, then save.
        started = time.monotonic()
        wait_until(lambda: time.monotonic() - started > 14, timeout=20)
        self.save_clip(d, port, token)
        self.assertTrue(wait_until(lambda: "[OK] Clip guardado" in d.log(), timeout=90), d.log()[-2000:])
        manual = glob.glob(os.path.join(d.clips, "*", "Manual", "CRVN_*.mp4"))
        self.assertEqual(len(manual), 1)
        manual = manual[0]
        self.assertTrue(wait_until(lambda: all(os.path.exists(x) for x in companions(manual)), timeout=30),
                        os.listdir(os.path.dirname(manual)))
        info = probe(manual)
        self.assertEqual(sorted(s["codec_name"] for s in info["streams"]), ["aac", "h264"])
        length = float(info["format"]["duration"])
        self.assertGreater(length, 10)
        self.assertEqual([s["codec_name"] for s in probe(companions(manual)[2])["streams"]], ["aac"])

        # A kill clip with the voice, and a death clip, made of the recorded clip.
        day = os.path.basename(os.path.dirname(os.path.dirname(manual)))
        stem = os.path.basename(manual)[:-4]
        kill = "%s/Bajas/%s_baja.mp4" % (day, stem)
        death = "%s/Muertes/%s_muerte.mp4" % (day, stem)
        for name, marks, mic in ((kill, [{"segundo": 6.0, "tipo": "baja", "enemigo": "Zeta"}], True),
                                 (death, [{"segundo": 3.0, "tipo": "killcam", "enemigo": "Muerto"}], False)):
            path = os.path.join(d.clips, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copyfile(manual, path)
            if mic:
                shutil.copyfile(companions(manual)[2], companions(path)[2])
            with open(companions(path)[1], "w", encoding="utf-8") as f:
                json.dump({"clip": name, "duracion": round(length, 1), "audio": {}, "eventos": marks}, f)
        history = os.path.join(d.clips, "estadisticas.jsonl")
        lines = [
            {"fecha": day, "hora": "10:00:00", "tipo": "baja", "enemigo": "Zeta", "clip": kill},
            {"fecha": day, "hora": "10:00:05", "tipo": "baja", "enemigo": "Borrar", "clip": None},
            {"fecha": day, "hora": "10:01:00", "tipo": "muerte", "enemigo": "Muerto", "clip": death},
        ]
        texts = [json.dumps(x, ensure_ascii=False, separators=(",", ":")) for x in lines]
        with open(history, "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(texts) + "\n")

        env = dict(d.env, PORT=str(port), TOKEN=token, NODE_PATH=os.path.join(SRC, "node_modules"))
        run = subprocess.run(["node", os.path.join(SRC, "tests", "e2e", "pages", "clips_real.mjs")],
                             env=env, capture_output=True, text=True, timeout=400)
        self.assertEqual(run.returncode, 0, run.stderr[-3000:])
        out = json.loads(run.stdout.strip().splitlines()[-1])
        print("voice drift:", json.dumps(out["drift"]))
        self.assertEqual(out["errors"], [])
        self.assertEqual(out["outside"], [])
        self.assertNotEqual(out["can_h264"], "")
        self.assertEqual(out["count"], "4 eventos · 3 con clip")

        # Segment 2–9 s, looped twice without leaving it, then stopped at its end.
        self.assertEqual(out["segment"], {"start": 2, "end": 9})
        self.assertTrue(out["mic_shown"])
        self.assertEqual(out["wraps"], 2)
        self.assertGreaterEqual(out["min_t"], 2 - 0.3)
        self.assertLessEqual(out["max_t"], 9 + 0.3)
        self.assertGreaterEqual(out["stopped_at"], 9 - 0.1)
        self.assertLessEqual(out["stopped_at"], 9 + 0.3)
        # The voice within 100 ms of the picture after seeks and at 0.4×.
        for step in out["drift"]:
            self.assertLessEqual(step["median"], 0.1, step)
        # At 0.4× both; the voice may be nudged a little while it closes a gap.
        self.assertEqual(out["rates"][0], 0.4)
        self.assertAlmostEqual(out["rates"][1], 0.4, delta=0.4 * 0.15)

        self.assertEqual(out["archived_label"], "📌 Archivado")
        with open(companions(os.path.join(d.clips, kill))[1], encoding="utf-8") as f:
            self.assertIs(json.load(f).get("archivado"), True)

        self.assertEqual(out["confirm"], ["¿Borrar 2 eventos?",
                                          "También se borra 1 clip (video, marcas y análisis). No se puede deshacer."])
        self.assertEqual(sorted(out["rows_after"]), ["Clip manual", "Eliminaste a Zeta"])
        self.assertEqual(out["rows_final"], ["Eliminaste a Zeta"])
        self.assertEqual(len(out["notes"]), 1)
        self.assertTrue(out["notes"][0].startswith("¿Borrar este clip (video, marcas y análisis)?"), out["notes"])
        # The history keeps only the kill, byte for byte; the deleted clips are gone with their files.
        with open(history, encoding="utf-8", newline="") as f:
            self.assertEqual(f.read(), texts[0] + "\n")
        for gone in companions(os.path.join(d.clips, death)) + companions(manual):
            self.assertFalse(os.path.exists(gone), gone)

        # The disk limit over the folder as the program and the page left it:
        # the archived kill, the oldest clip, stays; a big newer one goes.
        # (The program runs the limit only after automatic clips, which it
        # saves only from detected events.)
        kill_path = os.path.join(d.clips, kill)
        old = time.time() - 86400
        os.utime(kill_path, (old, old))
        big = os.path.join(d.clips, day, "Bajas", stem + "_grande.mp4")
        with open(big, "wb") as f:
            f.truncate(2 * 1024 ** 3)
        limit = subprocess.run([os.path.join(BUILD, "apps", "corvane", "disk_limit"), d.clips, "1"],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(limit.stdout.strip(), "1", limit.stderr)
        self.assertFalse(os.path.exists(big))
        self.assertTrue(os.path.exists(kill_path))
        self.assertTrue(os.path.exists(companions(kill_path)[2]))


if __name__ == "__main__":
    unittest.main()
