#!/usr/bin/env python3
"""p95 latency of "/api/estado" with 5,000 clips (goal: under 20 ms), while
the clips stay as they are (the settings page polling every 4 s) and with a
change to the clips folder before each request.

Reference: the same work done by Python in-process for each request (read
and parse the INI, walk the clips folder, stat every clip and its voice
track, read the sidecar of every automatic clip, serialise a reply), with no
HTTP around it. Prints "NAME ours=X reference=Y ratio=Z" (lower is better).
"""
import configparser, json, os, subprocess, sys, tempfile, time

here = os.path.dirname(os.path.abspath(__file__))
build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(here, "..", "build", "release"))
helper = os.path.join(build, "bench", "http_state_helper")
CLIPS, REQUESTS = 5000, 200

def reference(root):
    folder = os.path.join(root, "clips")
    ini = os.path.join(root, "data", "corvane.ini")
    times = []
    for _ in range(REQUESTS):
        t0 = time.perf_counter()
        cp = configparser.ConfigParser(strict=False, interpolation=None, comment_prefixes=(";",))
        try:
            cp.read(ini, encoding="utf-8")
        except configparser.Error:
            pass
        use = {"auto": 0, "archivados": 0, "manuales": 0}
        for d, _, files in os.walk(folder):
            for f in files:
                if not f.lower().endswith(".mp4"):
                    continue
                p = os.path.join(d, f)
                size = os.stat(p).st_size
                mic = p[:-4] + "_mic.m4a"
                if os.path.exists(mic):
                    size += os.stat(mic).st_size
                parent = os.path.basename(d)
                if parent not in ("Bajas", "Muertes"):
                    use["manuales"] += size
                    continue
                try:
                    with open(p[:-4] + ".json", encoding="utf-8") as fh:
                        archived = json.load(fh).get("archivado") is True
                except (OSError, ValueError):
                    archived = False
                use["archivados" if archived else "auto"] += size
        json.dumps({"valores": {s: dict(cp[s]) for s in cp.sections()}, "disco": use})
        times.append((time.perf_counter() - t0) * 1000)
    times.sort()
    return times[int(0.95 * (len(times) - 1))]

def main():
    if not os.access(helper, os.X_OK):
        sys.exit(f"falta {helper} (compila el preset release)")
    with tempfile.TemporaryDirectory() as root:
        out = subprocess.run([helper, root, str(CLIPS), str(REQUESTS)], check=True,
                             capture_output=True, text=True, timeout=600).stdout.split()
        polled, changed = float(out[0]), float(out[1])
        ref = reference(root)
    print(f"http_estado_p95_ms_{CLIPS}_clips ours={polled:.2f} reference={ref:.2f} ratio={polled / ref:.2f}")
    print(f"http_estado_changed_p95_ms_{CLIPS}_clips ours={changed:.2f} reference={ref:.2f} ratio={changed / ref:.2f}")

main()
