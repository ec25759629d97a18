"""The user manual as a user gets it: the build tree holds it beside the
program, `cmake --install` lays out the program folder an update package
carries ("Corvane/" with the program, its manual and the licences), and from
either the running program answers "/api/manual" in Spanish and English with
the whole manual, its comment lines dropped and its placeholders filled; the
help page in Chromium draws it (headings, lists, tables, quotes, links, code)
without a console error."""
import filecmp
import http.client
import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
BUILD = os.environ["CORVANE_BUILD_DIR"]
SRC = os.environ["CORVANE_SOURCE_DIR"]
READY = "[CORVANE] Listo: grabando en segundo plano. Controles en el ícono junto al reloj."
LANGS = ("es", "en")


def constant(path, name):
    with open(os.path.join(SRC, path), encoding="utf-8") as f:
        return re.search(r'\b%s\s*=\s*"([^"]*)"' % name, f.read()).group(1)


def expected_manual(lang):
    """The served text worked out from the source file independently of the
    program: comment lines out, the four placeholders filled."""
    with open(os.path.join(SRC, "manual", "manual_%s.md" % lang), encoding="utf-8") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    kept = [l.rstrip("\r") for l in lines if not l.lstrip().startswith("<!--")]
    text = "\n".join(kept)
    for key, value in (("{{VERSION}}", constant("apps/corvane/src/base/version.h", "kVersionText")),
                       ("{{DATE}}", constant("apps/corvane/src/base/version.h", "kBuildDateText")),
                       ("{{CONTACT}}", constant("apps/corvane/src/web/help.h", "kUiContact")),
                       ("{{DONATE}}", constant("apps/corvane/src/web/help.h", "kUiDonate"))):
        text = text.replace(key, value)
    return text


def get_json(port, token, target):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", target, headers={"X-CRVN-Clave": token})
        r = conn.getresponse()
        return r.status, json.loads(r.read().decode("utf-8"))
    finally:
        conn.close()


class ManualTest(unittest.TestCase):

    def start(self, d):
        """Starts the program of `d` and returns its port and token."""
        os.makedirs(d.data, exist_ok=True)
        with open(os.path.join(d.data, "corvane.ini"), "w", encoding="utf-8") as f:
            f.write("[grabacion]\nperfil = ligero\n")
        p = d.start("--no-window")
        self.assertTrue(wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=90), d.log())
        self.assertIsNone(p.poll(), d.output(p))
        with open(os.path.join(d.data, "interfaz.json"), encoding="utf-8") as f:
            interfaz = json.load(f)
        return interfaz["puerto"], interfaz["clave"]

    def check_api(self, port, token, where):
        for lang in LANGS:
            status, reply = get_json(port, token, "/api/manual?lang=" + lang)
            self.assertEqual(status, 200, where)
            self.assertEqual(reply.get("ok"), True, (where, reply))
            self.assertEqual(reply["lang"], lang, where)
            self.assertEqual(reply["md"], expected_manual(lang), (where, lang))
            self.assertNotIn("{{", reply["md"], where)
            self.assertNotIn("<!--", reply["md"], where)

    def test_from_the_build_tree(self):
        built = os.path.join(os.path.dirname(BIN), "manual")
        for lang in LANGS:
            name = "manual_%s.md" % lang
            self.assertTrue(filecmp.cmp(os.path.join(built, name), os.path.join(SRC, "manual", name),
                                        shallow=False), name)
        d = Desktop(self, BIN)
        # The program reads the build tree's own copy; its data stays in the test's folder.
        os.symlink(built, os.path.join(d.app, "manual"))
        port, token = self.start(d)
        self.check_api(port, token, "build tree")

    def test_from_an_installed_folder_and_in_chromium(self):
        prefix = tempfile.mkdtemp(prefix="corvane-installed-")
        self.addCleanup(shutil.rmtree, prefix, True)
        run = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        folder = os.path.join(prefix, "Corvane")
        self.assertEqual(sorted(os.listdir(prefix)), ["Corvane"])
        self.assertEqual(sorted(os.listdir(folder)), ["corvane", "licenses", "manual"])
        self.assertEqual(sorted(os.listdir(os.path.join(folder, "manual"))), ["manual_en.md", "manual_es.md"])
        self.assertIn("fonts-dejavu.txt", os.listdir(os.path.join(folder, "licenses")))
        exe = os.path.join(folder, "corvane")
        self.assertTrue(os.stat(exe).st_mode & stat.S_IXUSR)

        d = Desktop(self, BIN)
        d.exe = exe
        d.data = os.path.join(folder, "data")
        port, token = self.start(d)
        self.check_api(port, token, "installed folder")

        env = dict(d.env, PORT=str(port), TOKEN=token, NODE_PATH=os.path.join(SRC, "node_modules"))
        run = subprocess.run(["node", os.path.join(SRC, "tests", "e2e", "pages", "manual_real.mjs")],
                             env=env, capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stderr[-3000:])
        out = json.loads(run.stdout.strip().splitlines()[-1])
        print("drawn:", json.dumps({lang: out[lang]["count"] for lang in LANGS}))
        self.assertEqual(out["errors"], [])
        self.assertEqual(out["outside"], [])
        for lang in LANGS:
            page = out[lang]
            source = expected_manual(lang)
            self.assertEqual(page["marked"], [lang])
            # Every block kind of the manual is drawn, as many times as the source has it.
            self.assertEqual(page["count"]["h1"], len(re.findall(r"^# ", source, re.M)))
            self.assertEqual(page["count"]["h2"], len(re.findall(r"^## ", source, re.M)))
            self.assertEqual(page["count"]["h3"], len(re.findall(r"^### ", source, re.M)))
            self.assertEqual(page["count"]["tr"], len(re.findall(r"^\|", source, re.M)) - page["count"]["table"])
            self.assertEqual(page["count"]["blockquote"], len(re.findall(r"(?:^|\n)(?!>)[^\n]*\n>", "\n" + source)))
            for kind in ("ul", "ol", "li", "table", "code", "strong", "em", "hr"):
                self.assertGreater(page["count"][kind], 0, (lang, kind))
            self.assertEqual(page["toc"], page["count"]["h2"])
            self.assertEqual(page["missing_targets"], [])
            self.assertEqual(page["other_links"], 0)
            self.assertGreater(page["count"]["a_http"], 0)
            self.assertEqual(page["mailto"], ["mailto:" + constant("apps/corvane/src/web/help.h", "kUiContact")])
            self.assertIn(constant("apps/corvane/src/web/help.h", "kUiDonate"), page["http"])
            self.assertTrue(all(t == "_blank" for t in page["http_targets"]), page["http_targets"])
            self.assertIn(constant("apps/corvane/src/base/version.h", "kVersionText"), page["text"])
            # Nothing of the Markdown itself shows through as text.
            for raw in ("**", "`", "](", "{{", "<!--", "\n#", "| --- |", "|---|"):
                self.assertNotIn(raw, page["text"], (lang, raw))


if __name__ == "__main__":
    unittest.main()
