#!/usr/bin/env python3
"""Memory of the whole program recording 1920x1080 at 60 fps with its 60 s
buffer, on a private Xvfb showing a moving picture and a private PulseAudio
null sink, against ffmpeg's x11grab + libx264 at the same settings plus the
buffer's own bytes.

  recording_1080p60_whole_rss_mb   the program's resident memory (VmRSS, the
        highest sample) once the buffer holds its whole window, against
        ffmpeg's peak (ru_maxrss) recording the same display with the same
        encoder settings, plus the bytes the buffer holds (the size of a clip
        of the whole window saved right after)
  recording_1080p60_whole_hwm_mb   the program's peak (VmHWM) over the run
        against the same reference
  recording_1080p60_clips_burst_rss_mb_after / _30s_later   the program's
        resident memory right after 1,000 "/clips" requests from 8 clients at
        once (2,000 clips in its folder), and 30 s later, against the memory
        before the burst (page built once)

Where the memory is (from /proc/PID/smaps, MB per kind of mapping) goes to
standard error. CORVANE_BIN runs another build of the program (A/B).
Several minutes; never a pass/fail test.
"""
import collections
import functools
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WIDTH, HEIGHT, FPS = 1920, 1080, 60
WINDOW_S = 60
SETTLE_S = 25  # after the window is full
REFERENCE_S = 20.0

here = os.path.dirname(os.path.abspath(__file__))
build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(here, "..", "build", "release"))
binary = os.environ.get("CORVANE_BIN", os.path.join(build, "apps", "corvane", "corvane"))
helper = os.path.join(build, "bench", "recording_video_helper")

sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
import e2e_support  # noqa: E402
from e2e_support import spawn_xvfb, stop_process  # noqa: E402
sys.path.insert(0, here)
from http_clips import burst_requests, get, make_clips, wait_settled  # noqa: E402
from recording_soak import save_buffer_clip  # noqa: E402

wait_until = functools.partial(e2e_support.wait_until, step=0.1)


def note(text):
    print("# " + text, file=sys.stderr, flush=True)


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        m = re.search(rf"^{key}:\s+(\d+) kB", f.read(), re.M)
    return int(m.group(1)) if m else 0


def smaps_parts(pid, exe):
    """Resident KiB by kind of mapping. Thread stacks are the anonymous
    mappings right above a guard page; allocator arenas the anonymous
    mappings that start on a 64 MiB boundary and run on into their reserved,
    inaccessible rest; other anonymous mappings are large blocks the
    allocator mapped on their own (pictures, encoder buffers) and the main
    heap's growth."""
    maps = []
    cur = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            m = re.match(r"^([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ \S+\s*(.*)$", line)
            if m:
                cur = {"start": int(m.group(1), 16), "end": int(m.group(2), 16), "perms": m.group(3),
                       "path": m.group(4).strip(), "rss": 0}
                maps.append(cur)
            elif line.startswith("Rss:") and cur is not None:
                cur["rss"] = int(line.split()[1])
    parts = collections.Counter()
    blocks = collections.Counter()  # own blocks: (size in MiB, rounded) -> [count, resident KiB]
    for i, m in enumerate(maps):
        size = m["end"] - m["start"]
        path = m["path"]
        prev = maps[i - 1] if i else None
        nxt = maps[i + 1] if i + 1 < len(maps) else None
        if path == "[heap]":
            kind = "montón principal (brk)"
        elif path == "[stack]":
            kind = "pilas de hilos"
        elif path.startswith("/SYSV") or "SYSV" in path:
            kind = "memoria compartida con X (MIT-SHM)"
        elif ".so" in os.path.basename(path):
            kind = "bibliotecas"
        elif path and os.path.realpath(path) == os.path.realpath(exe):
            kind = "programa"
        elif path.startswith("["):
            kind = "otros (" + path + ")"
        elif path:
            kind = "otros archivos"
        elif (m["perms"].startswith("rw") and prev and prev["perms"] == "---p" and prev["path"] == ""
              and prev["end"] == m["start"] and prev["end"] - prev["start"] <= 64 << 10):
            kind = "pilas de hilos"  # a thread's stack sits right above its guard page
        elif (m["perms"].startswith("rw") and m["start"] % (64 << 20) == 0 and
              (size == 64 << 20 or (nxt and nxt["perms"] == "---p" and nxt["start"] == m["end"]
                                    and nxt["end"] - m["start"] == 64 << 20))):
            kind = "arenas del asignador"
        else:
            kind = "bloques propios (mmap)"
            if m["rss"] >= 1024:
                blocks[round(size / 1048576, 1)] += m["rss"]
        parts[kind] += m["rss"]
    return parts, blocks


def main():
    for tool in ("Xvfb", "pulseaudio", "pactl", "xdotool", "ffmpeg"):
        if not shutil.which(tool):
            sys.exit(f"falta {tool}")
    if not os.path.exists(binary) or not os.path.exists(helper):
        sys.exit("compila primero: cmake --build --preset release")

    root = tempfile.mkdtemp(prefix="corvane-mem-")
    procs = []
    try:
        app, home, run = (os.path.join(root, d) for d in ("app", "home", "run"))
        for d in (app, home, run):
            os.makedirs(d, mode=0o700)
        exe = os.path.join(app, "corvane")
        shutil.copy2(binary, exe)
        os.makedirs(os.path.join(app, "data"), mode=0o700)
        with open(os.path.join(app, "data", "corvane.ini"), "w", encoding="utf-8") as f:
            f.write(f"[avanzado]\nfps = {FPS}\ncodec = h264\nbuffer_segundos = {WINDOW_S}\n")

        clips = os.path.join(home, "Videos", "Corvane")
        make_clips(clips, 2000, 4000)

        xvfb, display = spawn_xvfb(WIDTH, HEIGHT)
        procs.append(xvfb)
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=run, HOME=home)
        pulse = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-n",
             "--load=module-native-protocol-unix", "--load=module-null-sink sink_name=juego"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(pulse)
        wait_until(lambda: subprocess.run(["pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL).returncode == 0, 30)
        anim = subprocess.Popen([helper, "animate", display, str(WIDTH), str(HEIGHT), str(FPS),
                                 str(WINDOW_S + SETTLE_S + REFERENCE_S + 240)], stderr=subprocess.DEVNULL)
        procs.append(anim)

        log_path = os.path.join(app, "data", "corvane.log")

        def log():
            try:
                with open(log_path, encoding="utf-8", errors="replace") as f:
                    return f.read()
            except FileNotFoundError:
                return ""

        out = open(os.path.join(root, "salida.txt"), "wb")
        prog = subprocess.Popen([exe, "--no-window"], cwd=root, env=env, stdout=out, stderr=subprocess.STDOUT)
        procs.insert(0, prog)
        if not wait_until(lambda: "[CORVANE] Listo" in log() or prog.poll() is not None, 120):
            sys.exit("Corvane no arrancó")
        if prog.poll() is not None:
            sys.exit("Corvane terminó al arrancar:\n" + log())
        bitrate = 4_000_000
        preset = "faster"
        for line in log().splitlines():
            if "  Bitrate    : " in line:
                bitrate = int(float(line.split("Bitrate    : ")[1].split()[0]) * 1_000_000)

        t0 = time.monotonic()
        rss = []
        while time.monotonic() - t0 < WINDOW_S + SETTLE_S:
            if prog.poll() is not None:
                sys.exit("Corvane terminó durante la prueba:\n" + log()[-4000:])
            if time.monotonic() - t0 >= WINDOW_S + 5:
                rss.append(status_kib(prog.pid, "VmRSS"))
            time.sleep(1.0)
        ours_rss = max(rss) / 1024
        ours_hwm = status_kib(prog.pid, "VmHWM") / 1024
        parts, blocks = smaps_parts(prog.pid, exe)
        threads = len(os.listdir(f"/proc/{prog.pid}/task"))

        # The buffer's own bytes: a clip of the whole window, saved right after
        # the samples (the picture's bit rate, and so the buffer, drifts).
        clip = save_buffer_clip(env, log, os.path.join(home, "Videos", "Corvane"), 180)
        if clip is None:
            sys.exit("no se guardó el clip:\n" + log()[-4000:])
        buffer_mb = os.path.getsize(clip) / 1048576

        # A burst of clips page requests, and what is left of it 30 s later.
        with open(os.path.join(app, "data", "interfaz.json"), encoding="utf-8") as f:
            ui = json.load(f)
        wait_settled(clips)
        target = f"/clips?t={ui['clave']}"
        get(ui["puerto"], target)
        time.sleep(2)
        burst_before = status_kib(prog.pid, "VmRSS") / 1024
        parts_before, _ = smaps_parts(prog.pid, exe)
        bad = sum(s != 200 for s in burst_requests(ui["puerto"], target))
        if bad:
            note(f"ráfaga: {bad} respuestas distintas de 200")
        burst_after = status_kib(prog.pid, "VmRSS") / 1024
        time.sleep(30)
        burst_later = status_kib(prog.pid, "VmRSS") / 1024
        parts_later, _ = smaps_parts(prog.pid, exe)

        prog.send_signal(signal.SIGTERM)
        prog.wait(timeout=60)

        # ffmpeg at the same settings: the default profile (x264 "faster").
        t = subprocess.Popen([
            "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
            "-f", "x11grab", "-framerate", str(FPS), "-video_size", f"{WIDTH}x{HEIGHT}", "-i", display,
            "-t", str(REFERENCE_S), "-vf", "scale=out_color_matrix=bt709:out_range=tv,format=nv12",
            "-c:v", "libx264", "-preset", preset, "-tune", "zerolatency", "-profile:v", "high",
            "-x264-params", "scenecut=0:open-gop=0:rc-lookahead=0",
            "-b:v", str(bitrate), "-maxrate", str(bitrate * 3 // 2), "-bufsize", str(bitrate * 3 // 2),
            "-g", str(FPS), "-keyint_min", str(FPS), "-bf", "0", "-f", "null", "-"], env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(t.pid, 0)
        ffmpeg_mb = usage.ru_maxrss / 1024
        reference = ffmpeg_mb + buffer_mb

        print(f"recording_1080p60_whole_rss_mb ours={ours_rss:.1f} reference={reference:.1f} "
              f"ratio={ours_rss / reference:.3f}")
        print(f"recording_1080p60_whole_hwm_mb ours={ours_hwm:.1f} reference={reference:.1f} "
              f"ratio={ours_hwm / reference:.3f}")
        print(f"recording_1080p60_clips_burst_rss_mb_after ours={burst_after:.1f} reference={burst_before:.1f} "
              f"ratio={burst_after / burst_before:.3f}")
        print(f"recording_1080p60_clips_burst_rss_mb_30s_later ours={burst_later:.1f} "
              f"reference={burst_before:.1f} ratio={burst_later / burst_before:.3f}")
        note(f"ffmpeg {ffmpeg_mb:.1f} MB + búfer {buffer_mb:.1f} MB (clip de {WINDOW_S} s, {bitrate} bit/s); "
             f"{threads} hilos; carga {os.getloadavg()[0]:.1f}")
        for kind, kib in parts.most_common():
            if kib >= 102:
                note(f"  {kind}: {kib / 1024:.1f} MB")
        note("  bloques propios por tamaño (MiB del bloque: MB residentes): " +
             ", ".join(f"{size}: {kib / 1024:.1f}" for size, kib in blocks.most_common(12)))
        # The burst's leftovers by kind: the buffer lives in the main heap and
        # moves with the picture, the requests' memory in the arenas.
        note("ráfaga, 30 s después menos antes (MB): " +
             ", ".join(f"{kind}: {(parts_later[kind] - parts_before[kind]) / 1024:+.1f}"
                       for kind in sorted(set(parts_before) | set(parts_later))
                       if abs(parts_later[kind] - parts_before[kind]) >= 102))
    finally:
        for p in procs:
            stop_process(p)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
