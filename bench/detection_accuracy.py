"""The detector's accuracy on drawn HUD frames: scripts/hud_frames.py draws a
varied set (busy backgrounds, names with accents and symbols, 720p to 1440p)
plus frames without any HUD; the helper runs each through the real reading
road (Tesseract, classifier, event engine, on a simulated clock) and compares
what it reports with what the frame shows. Prints:

    hud_events_found ours=FOUND reference=SHOWN ratio=FOUND/SHOWN
    hud_false_events_hud_frames ours=FALSE reference=FRAMES ratio=...
    hud_false_events_blank_frames ours=FALSE reference=FRAMES ratio=...
    hud_fields_ok ours=RIGHT reference=CHECKED ratio=...
    hud_names_exact ours=EXACT reference=NAMES ratio=...

then found/shown by kind (hud_events_found_kind_*), and for each trait of the
frames (font drawn from outside the tuning set, sky, text effect, plate, blur,
upscaling, name shape, screen height, countdown at the top) found/shown and
exact names: hud_events_found_trait_*, hud_names_exact_trait_*. Options:
--count N (HUD frames, default 200), --blank N (default 50), --seed N,
--jobs N (helper processes, default 2), --keep DIR (keep frames and results)."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict

here = os.path.dirname(os.path.abspath(__file__))
build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(here, "..", "build", "release"))
helper = os.path.join(build, "bench", "detection_accuracy_helper")
frames_tool = os.path.join(here, "..", "scripts", "hud_frames.py")


def line(name, ours, ref):
    ratio = ours / ref if ref else 0.0
    print("%s ours=%d reference=%d ratio=%.3f" % (name, ours, ref, ratio))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=200)
    ap.add_argument("--blank", type=int, default=50)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--keep")
    args = ap.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="hud-accuracy-")
    os.makedirs(folder, exist_ok=True)
    try:
        subprocess.run(["/usr/bin/python3", frames_tool, "set", "--count", str(args.count),
                        "--blank", str(args.blank), "--seed", str(args.seed), "--out", folder],
                       check=True)
        env = dict(os.environ, OMP_THREAD_LIMIT="1")
        procs = [subprocess.Popen([helper, folder, str(i), str(args.jobs)], env=env,
                                  stdout=subprocess.PIPE) for i in range(args.jobs)]
        results = []
        try:
            for p in procs:
                out, _ = p.communicate()
                results += [json.loads(l) for l in out.decode().splitlines() if l.strip()]
        finally:
            for p in procs:
                if p.poll() is None:
                    p.kill()
                    p.wait()
        with open(os.path.join(folder, "results.jsonl"), "w", encoding="utf-8") as f:
            for r in sorted(results, key=lambda r: r["file"]):
                f.write(json.dumps(r, ensure_ascii=False) + "\n")
        hud = [r for r in results if r["kind"] != "vacio"]
        blank = [r for r in results if r["kind"] == "vacio"]
        line("hud_events_found", sum(r["found"] for r in hud), sum(r["shown"] for r in hud))
        line("hud_false_events_hud_frames", sum(r["false"] for r in hud), len(hud))
        line("hud_false_events_blank_frames", sum(r["false"] for r in blank), len(blank))
        line("hud_fields_ok", sum(r["fields_ok"] for r in hud), sum(r["fields"] for r in hud))
        line("hud_names_exact", sum(r["names_exact"] for r in hud),
             sum(r["names"] for r in hud))
        by = defaultdict(lambda: [0, 0, 0, 0])
        for r in hud:
            keys = ["kind_" + r["kind"]] + ["trait_" + t for t in r.get("traits", [])]
            for key in keys:
                by[key][0] += r["found"]
                by[key][1] += r["shown"]
                by[key][2] += r["names_exact"]
                by[key][3] += r["names"]
        for key in sorted(by):
            line("hud_events_found_" + key, by[key][0], by[key][1])
        for key in sorted(by):
            if by[key][3]:
                line("hud_names_exact_" + key, by[key][2], by[key][3])
        if args.keep:
            print("detalle por imagen: %s" % os.path.join(folder, "results.jsonl"),
                  file=sys.stderr)
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
