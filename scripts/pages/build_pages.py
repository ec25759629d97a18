#!/usr/bin/python3
"""Build step for the embedded pages: copies assets/ to OUT, and in every
page (.html) replaces the build markers by the shared style and script
(assets/pages/common/) and by the font and logo as data addresses, so each
page is one self-contained text. The markers use "@", which base64 never
holds, so the inlined data cannot collide with the server's "__X__"
placeholders.

usage: build_pages.py ASSETS OUT WORK"""
import base64
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_SRC = "/usr/share/fonts/truetype/dejavu/DejaVuSansCondensed-Bold.ttf"
# Latin-1 and the few signs the pages write in the display face.
UNICODES = ("U+0020-007E,U+00A0-00FF,U+00B7,U+2013,U+2014,U+2018,U+2019,"
            "U+201C,U+201D,U+2026,U+2022,U+2190-2193,U+21BB,U+25CF,U+2B07,U+00D7")


def make_font(work):
    ttf = os.path.join(work, "raj.ttf")
    subprocess.run(["/usr/bin/python3", "-m", "fontTools.subset", FONT_SRC,
                    "--unicodes=" + UNICODES, "--layout-features=kern,liga",
                    "--no-hinting", "--desubroutinize", "--output-file=" + ttf],
                   check=True)
    subprocess.run(["woff2_compress", ttf], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(work, "raj.woff2"), "rb") as f:
        return f.read()


def make_logo(work):
    png = os.path.join(work, "logo.png")
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "draw_logo.py"), png], check=True)
    with open(png, "rb") as f:
        return f.read()


def main():
    src, out, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    font = "data:font/woff2;base64," + base64.b64encode(make_font(work)).decode()
    logo = "data:image/png;base64," + base64.b64encode(make_logo(work)).decode()
    common = os.path.join(src, "pages", "common")
    with open(os.path.join(common, "shared.css"), encoding="utf-8") as f:
        css = f.read().replace("@FONT_RAJ@", font)
    with open(os.path.join(common, "shared.js"), encoding="utf-8") as f:
        js = f.read()
    tmp = out + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    for root, dirs, files in os.walk(src):
        rel = os.path.relpath(root, src)
        if rel == os.path.join("pages", "common"):
            dirs[:] = []
            continue
        os.makedirs(os.path.join(tmp, rel), exist_ok=True)
        for name in files:
            a, b = os.path.join(root, name), os.path.join(tmp, rel, name)
            if name.endswith(".html"):
                with open(a, encoding="utf-8") as f:
                    text = f.read()
                text = (text.replace("/*@SHARED_CSS@*/", css).replace("/*@SHARED_JS@*/", js)
                        .replace("@LOGO_PNG@", logo).replace("@FONT_RAJ@", font))
                if "@FONT_RAJ@" in text or "@LOGO_PNG@" in text or "@SHARED_" in text:
                    sys.exit(f"build_pages: marker left in {a}")
                with open(b, "w", encoding="utf-8") as f:
                    f.write(text)
            else:
                shutil.copyfile(a, b)
    shutil.rmtree(out, ignore_errors=True)
    os.rename(tmp, out)


if __name__ == "__main__":
    main()
