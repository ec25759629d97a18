#!/usr/bin/env python3
"""Soak: the whole program recording a moving 1280x720 picture at 30 fps for a
long time (CORVANE_SOAK_MINUTES, 30 by default) on a private Xvfb and a
private PulseAudio null sink. Never a pass/fail test, and too long for CI.

Printed (ratio = ours / reference):
  soak_rss_mb                    resident memory at the end of the run against
                                 the resident memory when the buffer first held
                                 its whole window (flat memory: ratio ≈ 1)
  soak_window_s                  length of a clip saved at the end against the
                                 configured window (the window is held: ≈ 1)
  soak_late_ticks                frame slots missing from that clip (late ticks
                                 of the frame clock) against the frames it
                                 should hold (≈ 0)
  soak_cpu_s_per_recorded_s      CPU seconds per recorded second of the whole
                                 program against ffmpeg's x11grab + libx264
                                 recording the same display at the same rate
Details (growth per hour, warnings in the log) go to standard error.
"""
import functools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MINUTES = float(os.environ.get("CORVANE_SOAK_MINUTES", "30"))
WIDTH, HEIGHT, FPS = 1280, 720, 30
WINDOW_S = 60
SAMPLE_S = 5.0
REFERENCE_S = 60.0

here = os.path.dirname(os.path.abspath(__file__))
build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(here, "..", "build", "release"))
binary = os.environ.get("CORVANE_BIN", os.path.join(build, "apps", "corvane", "corvane"))
helper = os.path.join(build, "bench", "recording_video_helper")
CLK_TCK = os.sysconf("SC_CLK_TCK")

sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
import e2e_support  # noqa: E402
from e2e_support import spawn_xvfb, stop_process  # noqa: E402

wait_until = functools.partial(e2e_support.wait_until, step=0.1)


def note(text):
    print("# " + text, file=sys.stderr, flush=True)


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime


def slope_per_hour(points):
    """Least-squares slope of (seconds, MB) points, in MB per hour."""
    n = len(points)
    if n < 2:
        return 0.0
    mx = sum(p[0] for p in points) / n
    my = sum(p[1] for p in points) / n
    den = sum((p[0] - mx) ** 2 for p in points)
    if den == 0:
        return 0.0
    return sum((p[0] - mx) * (p[1] - my) for p in points) / den * 3600.0


def ratio(a, b):
    return f"{a / b:.3f}" if b else "nan"


def clip_missing_frames(clip, env):
    """Frame slots missing between consecutive video frames of the clip, and
    the number of frames the clip should hold."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=pts_time", "-of", "csv=p=0", clip],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    times = sorted(float(t) for t in out.stdout.decode().split() if t.strip())
    period = 1.0 / FPS
    missing = 0
    for a, b in zip(times, times[1:]):
        slots = round((b - a) / period)
        if slots > 1:
            missing += slots - 1
    expected = round((times[-1] - times[0]) / period) + 1 if times else 0
    return missing, expected


def reference_cpu_per_s(display, bitrate, env):
    """ffmpeg recording the same display for REFERENCE_S seconds."""
    before = os.times()
    subprocess.run([
        "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
        "-f", "x11grab", "-framerate", str(FPS), "-video_size", f"{WIDTH}x{HEIGHT}", "-i", display,
        "-t", str(REFERENCE_S), "-vf", "scale=out_color_matrix=bt709:out_range=tv,format=nv12",
        # The program runs the default profile, equilibrado: x264's "faster".
        "-c:v", "libx264", "-preset", "faster", "-tune", "zerolatency",
        "-b:v", str(bitrate), "-maxrate", str(bitrate * 3 // 2), "-bufsize", str(bitrate * 3 // 2),
        "-g", str(FPS), "-bf", "0", "-f", "null", "-"], env=env, check=True,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = os.times()
    used = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return used / REFERENCE_S


def save_buffer_clip(env, log, clips, timeout):
    """Presses the save key and waits for the clip: the path of the clip of
    the whole buffer, or None when none was saved within `timeout` seconds."""
    saved = log().count("[OK] Clip guardado")
    subprocess.run(["xdotool", "keydown", "ctrl+w"], env=env, check=True)
    wait_until(lambda: "Guardando clip..." in log(), 10)
    subprocess.run(["xdotool", "keyup", "ctrl+w"], env=env, check=True)
    if not wait_until(lambda: log().count("[OK] Clip guardado") > saved, timeout):
        return None
    rel = log().split("[OK] Clip guardado: ")[-1].split("  (")[0].strip()
    return os.path.join(clips, rel)


def main():
    for tool in ("Xvfb", "pulseaudio", "pactl", "xdotool", "ffprobe", "ffmpeg"):
        if not shutil.which(tool):
            sys.exit(f"falta {tool}")
    if not os.path.exists(binary) or not os.path.exists(helper):
        sys.exit("compila primero: cmake --build --preset release")

    root = tempfile.mkdtemp(prefix="corvane-soak-")
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
        total_s = MINUTES * 60.0
        anim = subprocess.Popen([helper, "animate", display, str(WIDTH), str(HEIGHT), str(FPS),
                                 str(total_s + REFERENCE_S + 120)],
                                stderr=subprocess.DEVNULL)
        procs.append(anim)

        log_path = os.path.join(app, "data", "corvane.log")

        def log():
            try:
                with open(log_path, encoding="utf-8", errors="replace") as f:
                    return f.read()
            except FileNotFoundError:
                return ""

        out = open(os.path.join(root, "salida.txt"), "wb")
        prog = subprocess.Popen([exe, "--no-window"], cwd=root, env=env, stdout=out,
                                stderr=subprocess.STDOUT)
        procs.insert(0, prog)
        if not wait_until(lambda: "[CORVANE] Listo" in log() or prog.poll() is not None, 120):
            sys.exit("Corvane no arrancó")
        if prog.poll() is not None:
            sys.exit("Corvane terminó al arrancar:\n" + log())
        bitrate = 4_000_000
        for line in log().splitlines():
            if "  Bitrate    : " in line:
                bitrate = int(float(line.split("Bitrate    : ")[1].split()[0]) * 1_000_000)

        t0 = time.monotonic()
        cpu0 = cpu_s(prog.pid)
        full_at = WINDOW_S + 30.0  # the buffer holds its whole window by then
        full_rss = None
        samples = []
        note(f"grabando {MINUTES:g} min a {WIDTH}x{HEIGHT}@{FPS}, {bitrate} bit/s")
        while True:
            elapsed = time.monotonic() - t0
            if elapsed >= total_s:
                break
            if prog.poll() is not None:
                sys.exit("Corvane terminó durante la prueba:\n" + log()[-4000:])
            rss = rss_mb(prog.pid)
            samples.append((elapsed, rss))
            if full_rss is None and elapsed >= full_at:
                full_rss = rss
            time.sleep(SAMPLE_S)
        wall = time.monotonic() - t0
        cpu_per_s = (cpu_s(prog.pid) - cpu0) / wall
        end_rss = max(r for t, r in samples if t >= total_s * 0.9)
        after_full = [(t, r) for t, r in samples if t >= full_at]

        # Save the buffer: its length and its gaps.
        clip = save_buffer_clip(env, log, os.path.join(home, "Videos", "Corvane"), 120)
        if clip is None:
            sys.exit("no se guardó el clip final:\n" + log()[-4000:])
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                                "-of", "json", clip], env=env, stdout=subprocess.PIPE, check=True)
        duration = float(json.loads(probe.stdout)["format"]["duration"])
        missing, expected = clip_missing_frames(clip, env)

        prog.send_signal(signal.SIGTERM)
        prog.wait(timeout=60)
        warnings = [l for l in log().splitlines() if "[AVISO]" in l or "[ERROR]" in l]

        ref_cpu = reference_cpu_per_s(display, bitrate, env)

        print(f"soak_rss_mb ours={end_rss:.1f} reference={full_rss or 0:.1f} "
              f"ratio={ratio(end_rss, full_rss or 0)}")
        print(f"soak_window_s ours={duration:.2f} reference={WINDOW_S} ratio={ratio(duration, WINDOW_S)}")
        print(f"soak_late_ticks ours={missing} reference={expected} ratio={ratio(missing, expected)}")
        print(f"soak_cpu_s_per_recorded_s ours={cpu_per_s:.3f} reference={ref_cpu:.3f} "
              f"ratio={ratio(cpu_per_s, ref_cpu)}")
        note(f"memoria tras llenar el búfer: {slope_per_hour(after_full):+.1f} MB/hora "
             f"({len(after_full)} muestras)")
        note(f"avisos y errores en el registro: {len(warnings)}")
        for w in warnings[:10]:
            note(w)
    finally:
        for p in procs:
            stop_process(p)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
