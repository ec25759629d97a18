#!/usr/bin/env python3
"""Sound path against ffmpeg: the same minute of a 44.1 kHz stereo tone,
resampled to 48 kHz and encoded to AAC-LC at 192 kbit/s, by our path
(resampler, voice leveller, ring, clock step, AAC encoder thread) and by
ffmpeg (aresample + its aac encoder). Printed:
  audio_cpu_s_per_s   CPU seconds per second of sound
Never a pass/fail test.
"""
import os
import resource
import subprocess
import sys

SECONDS = int(os.environ.get("CORVANE_BENCH_SECONDS", "60"))
here = os.path.dirname(os.path.abspath(__file__))
build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(here, "..", "build", "release"))
helper = os.path.join(build, "bench", "recording_audio_helper")


def cpu_of(args):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        print(f"# {args[0]} falló: {proc.stderr.decode(errors='replace').strip()}", file=sys.stderr)
        return None
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    ours = cpu_of([helper, str(SECONDS)])
    ref = cpu_of(["ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                  f"sine=frequency=1000:sample_rate=44100:duration={SECONDS}", "-ac", "2",
                  "-af", "aresample=48000", "-c:a", "aac", "-b:a", "192k", "-f", "null", "-"])
    if ours is None or ref is None:
        return
    a, b = ours / SECONDS, ref / SECONDS
    print(f"audio_cpu_s_per_s ours={a:.5f} reference={b:.5f} ratio={a / b if b else 0:.3f}")


main()
