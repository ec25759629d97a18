"""The analysis page end to end: the program records a clip, then the real
web server (the http_serve tool, whose AI calls go to a local HTTPS stand-in
of the AI service) serves the clips page. In Debian's Chromium the clip's 🧠
button opens the analysis pop-up, which starts the analysis, shows its
progress, then the result, and a click on a moment plays that part of the
video; the clips page, loaded again, shows the clip as analysed."""
import glob
import json
import os
import secrets
import subprocess
import unittest
import urllib.parse

from e2e_support import Desktop, stop_process, wait_until
from test_interface_api import call

BIN = os.environ["CORVANE_BIN"]
SRC = os.environ["CORVANE_SOURCE_DIR"]
BUILD = os.environ["CORVANE_BUILD_DIR"]
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
MODEL = "gemini-3.8-flash"

ANSWER = {
    "resumen": "Entraste al cuarto en 0:01 sin cubrirte.",
    "como_fue": "Corriste por el pasillo.", "por_que": "Nadie te cubría.", "punteria": "Buena.",
    "posicionamiento": "Expuesto en 0:02.",
    "errores": ["Correr en abierto"], "aciertos": ["Buen primer tiro en 0:01"], "consejos": ["Usa humo"],
    "momentos": [{"segundo": 1, "texto": "Entras al cuarto"}],
    "justo": {"nivel": "Baja", "senales": ["Giro rápido"], "nota": "Nada raro."},
}


def sse(event):
    return "data: " + json.dumps(event, ensure_ascii=False) + "\n\n"


def parts(*items):
    return {"candidates": [{"content": {"parts": list(items)}}]}


def scenario():
    answer = json.dumps(ANSWER, ensure_ascii=False)
    thoughts = ["**Veo la pelea** desde el inicio", "El jugador entra sin cubrirse", "**Conclusión** lista"]
    chunks = [sse(parts({"text": t, "thought": True})) for t in thoughts]
    chunks += [sse(parts({"text": answer[:40]})), sse(parts({"text": answer[40:]})),
               sse({"usageMetadata": {"promptTokenCount": 5210, "thoughtsTokenCount": 830, "totalTokenCount": 6400}})]
    return {
        "POST /upload/v1beta/files": [{"status": 200, "body": "{}",
                                       "headers": {"X-GOOG-Upload-Url": "https://127.0.0.1:{port}/up/1?upload_id=9"}}],
        "POST /up/1?upload_id=9": [{"status": 200, "body": json.dumps({"file": {"name": "files/abc", "uri": "https://x/files/abc"}})}],
        "GET /v1beta/files/abc": [{"status": 200, "body": '{"state":"PROCESSING"}'},
                                  {"status": 200, "body": '{"state":"ACTIVE","videoMetadata":{"videoDuration":"4s"}}'}],
        "POST /v1beta/models/%s:streamGenerateContent?alt=sse" % MODEL: [{"status": 200, "chunks": chunks, "pause": 1.0}],
        "DELETE /v1beta/files/abc": [{"status": 200, "body": "{}"}],
    }


def duration(path):
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                           capture_output=True, text=True, check=True)
    return float(probe.stdout.strip())


def first_line(proc):
    line = proc.stdout.readline()
    if not line:
        raise AssertionError("no port printed")
    return int(line)


class AnalysisPageRealTest(unittest.TestCase):

    def test_a_whole_analysis_of_a_recorded_clip_from_the_clips_page(self):
        d = Desktop(self, BIN)
        os.makedirs(d.data)
        with open(os.path.join(d.data, "corvane.ini"), "w", encoding="utf-8") as f:
            f.write("[general]\ncarpeta_clips = %s\n[grabacion]\nperfil = ligero\n"
                    "[ia]\nclave_gemini = clave-de-prueba\nmodelo = %s\n" % (d.clips, MODEL))

        # The program records a clip, then goes away.
        p = d.start("--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60), d.log())
        with open(os.path.join(d.data, "interfaz.json"), encoding="utf-8") as f:
            interfaz = json.load(f)
        found = []

        def long_clip():
            # Saves a clip; the first ones may hold only the little the buffer had yet.
            saved = d.log().count("[OK] Clip guardado")
            status, reply = call(interfaz["puerto"], interfaz["clave"], "POST", "/api/accion", {"a": "guardar_clip"})
            self.assertEqual((status, reply.get("ok")), ("HTTP/1.1 200 OK", True), reply)
            self.assertTrue(wait_until(lambda: d.log().count("[OK] Clip guardado") > saved, timeout=90), d.log()[-2000:])
            newest = max(glob.glob(os.path.join(d.clips, "*", "Manual", "CRVN_*.mp4")), key=os.path.getmtime)
            if duration(newest) >= 5:
                found.append(newest)
            return bool(found)

        self.assertTrue(wait_until(long_clip, timeout=180, step=1), d.log()[-2000:])
        stop_process(p)
        clips = found
        name = os.path.relpath(clips[0], d.clips)

        # The stand-in of the AI service, with a certificate made here.
        certs = os.path.join(d.root, "certs")
        os.makedirs(certs)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", os.path.join(certs, "k.pem"),
                        "-out", os.path.join(certs, "c.pem")], check=True, capture_output=True)
        with open(os.path.join(certs, "scenario.json"), "w", encoding="utf-8") as f:
            json.dump(scenario(), f, ensure_ascii=False)
        requests_log = os.path.join(certs, "requests.jsonl")
        fake = subprocess.Popen(["python3", os.path.join(SRC, "apps", "corvane", "tests", "ai", "tools", "fake_gemini.py"),
                                 os.path.join(certs, "c.pem"), os.path.join(certs, "k.pem"),
                                 os.path.join(certs, "scenario.json"), requests_log],
                                stdout=subprocess.PIPE, text=True)
        self.addCleanup(fake.stdout.close)
        self.addCleanup(stop_process, fake)
        fake_port = first_line(fake)

        # The real web server on the program's folder, its AI calls sent to the stand-in.
        token = secrets.token_hex(16)
        server = subprocess.Popen([os.path.join(BUILD, "apps", "corvane", "http_serve"), token, "600", d.app,
                                   "https://127.0.0.1:%d" % fake_port, os.path.join(certs, "c.pem")],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=d.env)
        self.addCleanup(server.stdout.close)
        self.addCleanup(server.stdin.close)
        self.addCleanup(stop_process, server)
        port = first_line(server)

        env = dict(d.env, BASE="http://127.0.0.1:%d" % port, TOKEN=token, CLIP=name, CORVANE_BUILD_DIR=BUILD,
                   NODE_PATH=os.path.join(SRC, "node_modules"))
        run = subprocess.run(["node", os.path.join(SRC, "tests", "e2e", "pages", "analysis_real.mjs")],
                             env=env, capture_output=True, text=True, timeout=400)
        self.assertEqual(run.returncode, 0, run.stderr[-3000:])
        out = json.loads(run.stdout.strip().splitlines()[-1])
        if out["can_play"] == "":
            self.skipTest("this Chromium cannot play H.264 here")
        self.assertEqual(out["errors"], [])
        self.assertEqual(out["outside"], [])

        # The pop-up the clips page opened, at the address it builds for the clip.
        self.assertEqual(out["ai_button"], "🧠")
        self.assertEqual(out["popup_url"], "http://127.0.0.1:%d/analisis?t=%s&clip=%s"
                         % (port, token, urllib.parse.quote(name, safe="-_.!~*'()")))
        self.assertEqual(out["popup_name"], "crvn_analisis")
        self.assertTrue(out["opener_is_clips"])
        self.assertEqual(out["title"], "Corvane · Análisis · " + os.path.basename(name))
        self.assertGreaterEqual(out["duration"], 4.5)
        self.assertEqual(out["button"], "Analizar con Gemini")

        # Progress as it went: steps of the run, the bar moving, the model, thoughts and tiles.
        samples = out["samples"]
        stages = [s["stage"] for s in samples]
        self.assertIn("Analizando con %s…" % MODEL, stages)
        self.assertTrue(any(s.startswith("Archivo en Google") or s.startswith("Google está procesando") for s in stages), stages)
        self.assertTrue(all(s["button_disabled"] for s in samples))
        widths = [float(s["bar"].rstrip("%")) for s in samples]
        self.assertGreater(max(widths), widths[0])
        self.assertIn(MODEL, [s["model"] for s in samples])
        self.assertTrue(any("Veo la pelea" in s["thoughts"] and "Ideas de la IA" in s["tiles"] for s in samples), samples[-3:])
        self.assertTrue(any("Clip subido" in s["tiles"] for s in samples))
        self.assertTrue(any("Análisis de " + name in s["log"] for s in samples))

        # The result, and polling over.
        self.assertEqual(out["error_box"], "none")
        self.assertEqual(out["headings"], ["RESUMEN", "LA PELEA", "QUÉ MEJORAR", "MOMENTOS CLAVE", "¿FUE JUSTO?"])
        self.assertEqual(out["resumen"], ANSWER["resumen"])
        self.assertEqual(out["moments"], ["0:01\nEntras al cuarto"])
        self.assertEqual(out["badge"], "SOSPECHA BAJA")
        self.assertRegex(out["foot"], r"^Analizado con %s · \d{4}-\d\d-\d\d \d\d:\d\d:\d\d · 6,400 tokens$" % MODEL)
        self.assertEqual(out["button_after"], "Analizar de nuevo")
        self.assertEqual(out["polls_after"], 0)

        # The moment at second 1 plays from 0 to 4.
        self.assertEqual(out["segment"], [0, 4])
        self.assertEqual(out["segment_text"], "Viendo 0:00 – 0:04")
        self.assertGreater(out["before_click"], 4.3)
        self.assertFalse(out["played"][1])
        self.assertLessEqual(out["played"][0], 4.3)
        self.assertEqual(out["ai_button_after"], "🧠✓")

        # What the run left: the result beside the clip, the whole clip uploaded.
        with open(os.path.splitext(clips[0])[0] + ".analisis.json", encoding="utf-8") as f:
            saved = json.load(f)
        self.assertEqual(saved["resumen"], ANSWER["resumen"])
        self.assertEqual(saved["_modelo"], MODEL)
        with open(requests_log, encoding="utf-8") as f:
            reqs = [json.loads(line) for line in f if line.strip()]
        upload = [r for r in reqs if r["path"].startswith("/up/1")]
        self.assertEqual(upload[0]["length"], os.path.getsize(clips[0]))
        self.assertEqual(reqs[-1]["method"], "DELETE")


if __name__ == "__main__":
    unittest.main()
