#!/usr/bin/env python3
"""Video path against ffmpeg's x11grab + libx264 on the same Xvfb display.

For 1280x720@30 and 1920x1080@60 a private Xvfb shows a moving pattern. For
each recording profile (ligero, supercalidad, equilibrado, calidad: its own
quality-vs-speed figure, hence its own x264 preset) our capture → clock →
NV12 → libx264 path records it for CORVANE_BENCH_SECONDS (20) with a 10 s
buffer, then ffmpeg records it as long with the same encoder settings (the
same preset, zerolatency, the same bit rates, GOP = fps, no B frames, BT.709
NV12). Printed per size and profile:
  video_<size>_<profile>_cpu_s_per_s       CPU seconds per recorded second
  video_<size>_<profile>_fps               frames recorded per second
  video_<size>_<profile>_cpu_ms_per_frame  CPU milliseconds per recorded
                             frame (fair when one side keeps up and the
                             other does not)
  video_<size>_<profile>_late_ticks        our late ticks against ffmpeg's
                             dropped frames
  video_<size>_<profile>_rss_mb            our resident memory once the buffer
                             is full against ffmpeg's peak
CORVANE_BENCH_PROFILES (comma list) picks profiles. Runs take several
minutes; they are never a pass/fail test.
"""
import os
import re
import subprocess
import sys
import time

SECONDS = float(os.environ.get("CORVANE_BENCH_SECONDS", "20"))
here = os.path.dirname(os.path.abspath(__file__))
build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(here, "..", "build", "release"))
helper = os.path.join(build, "bench", "recording_video_helper")

sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
from e2e_support import spawn_xvfb  # noqa: E402


def run_measured(args):
    """Runs args; returns (returncode, stdout, stderr, resource usage of that
    child alone, wall seconds)."""
    t0 = time.monotonic()
    out_path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"crvn-bench-out-{os.getpid()}.txt")
    err_path = out_path + ".err"
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        proc = subprocess.Popen(args, stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - t0
    with open(out_path, errors="replace") as f:
        out = f.read()
    with open(err_path, errors="replace") as f:
        err = f.read()
    os.unlink(out_path)
    os.unlink(err_path)
    return proc.returncode, out, err, usage, wall


def cpu_of(usage):
    return usage.ru_utime + usage.ru_stime


def ratio(a, b):
    return f"{a / b:.3f}" if b else "nan"


PROFILES = {"ligero": 33, "supercalidad": 50, "equilibrado": 66, "calidad": 80}
BUFFER_S = 10


def bench(w, h, fps, profiles):
    size = f"{h}p{fps}"
    xvfb, display = spawn_xvfb(w, h)
    runs = len(profiles) * (2 * SECONDS + 5) + 30
    anim = subprocess.Popen([helper, "animate", display, str(w), str(h), str(fps), str(runs)])
    try:
        time.sleep(1.0)
        for profile in profiles:
            one(size, display, w, h, fps, profile, PROFILES[profile])
    finally:
        anim.kill()
        anim.wait()
        xvfb.terminate()
        xvfb.wait()


def one(size, display, w, h, fps, profile, quality):
    name = f"video_{size}_{profile}"
    rc, out, err, _, _ = run_measured([helper, "record", display, str(w), str(h), str(fps),
                                       str(SECONDS), str(quality), str(BUFFER_S)])
    if rc != 0:
        print(f"# {name}: el grabador falló: {err.strip()}", file=sys.stderr)
        return
    ours = dict(re.findall(r"(\w+)=(\S+)", out))
    bitrate = int(ours["bitrate"])
    preset = ours["preset"]
    # The helper measures its own CPU from the first capture on.
    ours_cpu = float(ours["cpu_s"]) / float(ours["wall_s"])
    ours_fps = float(ours["frames"]) / float(ours["wall_s"])

    progress = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"crvn-bench-{os.getpid()}.txt")
    rc, _, err, usage, wall = run_measured([
        "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
        "-f", "x11grab", "-framerate", str(fps), "-video_size", f"{w}x{h}", "-i", display,
        "-t", str(SECONDS),
        "-vf", "scale=out_color_matrix=bt709:out_range=tv,format=nv12",
        "-c:v", "libx264", "-preset", preset, "-tune", "zerolatency", "-profile:v", "high",
        "-x264-params", "scenecut=0:open-gop=0:rc-lookahead=0",
        "-b:v", str(bitrate), "-maxrate", str(bitrate * 3 // 2), "-bufsize", str(bitrate * 3 // 2),
        "-g", str(fps), "-keyint_min", str(fps), "-bf", "0",
        "-progress", progress, "-f", "null", "-"])
    if rc != 0:
        print(f"# {name}: ffmpeg falló: {err.strip()}", file=sys.stderr)
        return
    ref_cpu = cpu_of(usage) / SECONDS
    stats = {}
    with open(progress) as f:
        for line in f:
            k, _, v = line.strip().partition("=")
            stats[k] = v
    os.unlink(progress)
    ref_frames = int(stats.get("frame", "0"))
    ref_drops = int(stats.get("drop_frames", "0"))
    print(f"{name}_cpu_s_per_s ours={ours_cpu:.3f} reference={ref_cpu:.3f} ratio={ratio(ours_cpu, ref_cpu)}")
    print(f"{name}_fps ours={ours_fps:.2f} reference={ref_frames / SECONDS:.2f} "
          f"ratio={ratio(ours_fps, ref_frames / SECONDS)}")
    ours_ms = 1000.0 * float(ours["cpu_s"]) / max(1, int(ours["frames"]))
    ref_ms = 1000.0 * ref_cpu * SECONDS / max(1, ref_frames)
    print(f"{name}_cpu_ms_per_frame ours={ours_ms:.2f} reference={ref_ms:.2f} ratio={ratio(ours_ms, ref_ms)}")
    late = int(ours["late"])
    print(f"{name}_late_ticks ours={late} reference={ref_drops} ratio={ratio(late, ref_drops)}")
    ours_mb = int(ours["rss_kib"]) / 1024.0
    ref_mb = usage.ru_maxrss / 1024.0
    print(f"{name}_rss_mb ours={ours_mb:.1f} reference={ref_mb:.1f} ratio={ratio(ours_mb, ref_mb)}")
    print(f"# {name}: preset {preset}, codificador {ours['encoder']}, {bitrate} bit/s, "
          f"{ours['ticks']} ticks, {ours['grabbed']} capturas, búfer {BUFFER_S} s", file=sys.stderr)
    sys.stdout.flush()


def main():
    if not os.path.exists(helper):
        sys.exit(f"falta {helper}: compila con cmake --build --preset release")
    wanted = os.environ.get("CORVANE_BENCH_PROFILES", ",".join(PROFILES)).split(",")
    profiles = [p for p in wanted if p in PROFILES]
    for w, h, fps in ((1280, 720, 30), (1920, 1080, 60)):
        bench(w, h, fps, profiles)


if __name__ == "__main__":
    main()
