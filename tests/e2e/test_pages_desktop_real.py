"""What the whole program says about this desktop and this machine, in
Debian's Chromium against the real program: no page it serves, nor any JSON
those pages read, names another system's parts ("Windows", "Bloc de notas");
the settings page's codec row names the codec the saved clips really have
(ffprobe); the start-up warning of a codec fallback is one plain line; and
an update search that cannot reach the placeholder update address says why
in words, with libcurl's number kept."""
import glob
import json
import os
import re
import subprocess
import unittest

from e2e_support import api_request, Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
SRC = os.environ["CORVANE_SOURCE_DIR"]
# The words another system's pages used for the parts of the desktop.
FOREIGN = re.compile(r"Windows|Bloc de notas|Videos\\\\?Corvane")
CODEC_WORDS = {"h264": "H.264", "hevc": "HEVC", "av1": "AV1"}
NOT_FOUND = "no se encontró el servidor (error de red 6)"


def call(port, token, method, target, body=None):
    return api_request(port, token, method, target, body)[1]


def video_codec(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=codec_name",
                        "-of", "default=nw=1:nk=1", path], capture_output=True, text=True, timeout=60)
    return r.stdout.strip()


class PagesDesktopRealTest(unittest.TestCase):

    def test_pages_name_this_desktop_and_the_codec_really_recorded(self):
        d = Desktop(self, BIN)
        # The program's own update address, as shipped: a placeholder host.
        d.env.pop("KV_UPDATE_URL", None)
        d.write_ini("[grabacion]\nperfil = ligero\n")
        p = d.start_ready(self, "--no-window")
        port, token = d.interface()

        # A fallback from the default codec is told in one plain line, without
        # the encoders' own texts nested in it.
        for line in d.log().splitlines():
            if "no disponible" in line:
                self.assertRegex(line, r"\[AVISO\] [^()]+ \([^()]+\) no disponible \([^()]+\)\. Se usará [^()]+( \([^()]+\))?\.$")

        # The start-up search of the shipped program cannot find its server: said in words.
        self.assertTrue(wait_until(lambda: "[ACTUALIZACIÓN] No se pudo buscar" in d.log(), timeout=90), d.log()[-2000:])
        self.assertIn("[ACTUALIZACIÓN] No se pudo buscar actualizaciones: " + NOT_FOUND, d.log())

        # One clip, to learn what the recorder really writes.
        self.assertEqual(call(port, token, "POST", "/api/accion", {"a": "guardar_clip"}), {"ok": True})
        self.assertTrue(wait_until(lambda: "[OK] Clip guardado" in d.log(), timeout=90), d.log()[-2000:])
        clips = glob.glob(os.path.join(d.clips, "*", "Manual", "CRVN_*.mp4"))
        self.assertEqual(len(clips), 1)
        codec = video_codec(clips[0])
        self.assertIn(codec, CODEC_WORDS)
        estado = call(port, token, "GET", "/api/estado")
        self.assertEqual(estado["codec"]["usado"], codec)

        env = dict(d.env, BASE="http://127.0.0.1:%d" % port, TOKEN=token, CLIP=os.path.relpath(clips[0], d.clips),
                   NODE_PATH=os.path.join(SRC, "node_modules"))
        run = subprocess.run(["node", os.path.join(SRC, "tests", "e2e", "pages", "desktop_real.mjs")],
                             env=env, capture_output=True, text=True, timeout=600)
        self.assertEqual(run.returncode, 0, run.stderr[-3000:])
        out = json.loads(run.stdout.strip().splitlines()[-1])
        self.assertEqual(out["errors"], [])
        self.assertEqual(out["outside"], [])

        # Every page and every JSON reply, as sent and as shown.
        served = {b["url"].split("?")[0] for b in out["bodies"]}
        for path in ("/", "/ajustes", "/ayuda", "/clips", "/analisis", "/api/estado", "/api/registro",
                     "/api/manual", "/api/actualizacion", "/api/analisis", "/api/pestana"):
            self.assertIn("http://127.0.0.1:%d%s" % (port, path), served)
        for b in out["bodies"]:
            found = FOREIGN.search(b["text"])
            self.assertIsNone(found, "%s holds %r" % (b["url"], found and b["text"][max(0, found.start() - 80):found.end() + 80]))
        for address, text in out["shown"].items():
            found = FOREIGN.search(text)
            self.assertIsNone(found, "%s shows %r" % (address, found and text[max(0, found.start() - 80):found.end() + 80]))

        # The codec row names what the clip holds.
        self.assertEqual(out["codec"]["selected"], "Automático (%s)" % CODEC_WORDS[codec])
        self.assertIn("Ahora se graba en %s" % CODEC_WORDS[codec], out["codec"]["help"])

        # "Buscar" on the help page: the same words, on the page and in the reply.
        self.assertEqual(out["search_reply"], {"ok": True})
        self.assertEqual(out["update_message"], "No se pudo buscar actualizaciones: " + NOT_FOUND)


if __name__ == "__main__":
    unittest.main()
