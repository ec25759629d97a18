#!/usr/bin/env python3
"""Video path against ffmpeg's x11grab + libx264 on the same Xvfb display.

For 1280x720@30 and 1920x1080@60 a private Xvfb shows a moving pattern; our
capture → clock → NV12 → libx264 path records it for 20 s, then ffmpeg records
it for 20 s with the same encoder settings (ultrafast, zerolatency, the same
bit rates, GOP = fps, no B frames, BT.709 NV12). Printed per size:
  video_<size>_cpu_s_per_s   CPU seconds per recorded second
  video_<size>_fps           frames recorded per second
  video_<size>_cpu_ms_per_frame  CPU milliseconds per recorded frame (fair
                             when one side keeps up and the other does not)
  video_<size>_late_ticks    our late ticks against ffmpeg's dropped frames
Runs take a few minutes; they are never a pass/fail test.
"""
import os
import re
import resource
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
    """Runs args; returns (stdout, cpu seconds of the child, wall seconds)."""
    t0 = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
    wall = time.monotonic() - t0
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return proc.returncode, out.decode(errors="replace"), err.decode(errors="replace"), usage, wall


def cpu_of(before, after):
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def ratio(a, b):
    return f"{a / b:.3f}" if b else "nan"


def bench(w, h, fps):
    name = f"video_{h}p{fps}"
    xvfb, display = spawn_xvfb(w, h)
    anim = subprocess.Popen([helper, "animate", display, str(w), str(h), str(fps), str(2 * SECONDS + 30)])
    try:
        time.sleep(1.0)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        rc, out, err, _, _ = run_measured([helper, "record", display, str(w), str(h), str(fps), str(SECONDS)])
        if rc != 0:
            print(f"# {name}: el grabador falló: {err.strip()}", file=sys.stderr)
            return
        ours = dict(re.findall(r"(\w+)=(\S+)", out))
        bitrate = int(ours["bitrate"])
        # The helper measures its own CPU from the first capture on.
        ours_cpu = float(ours["cpu_s"]) / float(ours["wall_s"])
        ours_fps = float(ours["frames"]) / float(ours["wall_s"])

        progress = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"crvn-bench-{os.getpid()}.txt")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        rc, _, err, after, wall = run_measured([
            "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
            "-f", "x11grab", "-framerate", str(fps), "-video_size", f"{w}x{h}", "-i", display,
            "-t", str(SECONDS),
            "-vf", "scale=out_color_matrix=bt709:out_range=tv,format=nv12",
            "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
            "-b:v", str(bitrate), "-maxrate", str(bitrate * 3 // 2), "-bufsize", str(bitrate * 3 // 2),
            "-g", str(fps), "-keyint_min", str(fps), "-bf", "0",
            "-progress", progress, "-f", "null", "-"])
        if rc != 0:
            print(f"# {name}: ffmpeg falló: {err.strip()}", file=sys.stderr)
            return
        ref_cpu = cpu_of(before, after) / SECONDS
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
        print(f"# {name}: codificador {ours['encoder']}, {bitrate} bit/s, {ours['ticks']} ticks, "
              f"{ours['grabbed']} capturas", file=sys.stderr)
    finally:
        anim.kill()
        anim.wait()
        xvfb.terminate()
        xvfb.wait()


def main():
    if not os.path.exists(helper):
        sys.exit(f"falta {helper}: compila con cmake --build --preset release")
    for w, h, fps in ((1280, 720, 30), (1920, 1080, 60)):
        bench(w, h, fps)


if __name__ == "__main__":
    main()
