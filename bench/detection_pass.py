"""One detector pass at 1080p on one core while a libx264 encoder (1080p,
30 fps, the live-stream tuning the recorder uses) runs on another; prints the
helper's lines. The encoder is stopped by its pid."""
import os
import subprocess
import sys
import time

build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..",
                                                         "build", "release"))
helper = os.path.join(build, "bench", "detection_pass_helper")
# Only CPUs this process may use: a job given some cores keeps to them. The
# helper takes the first of them for itself, the encoder the next.
allowed = sorted(os.sched_getaffinity(0))
encoder = subprocess.Popen(
    ["taskset", "-c", str(allowed[1 % len(allowed)]), "ffmpeg", "-v", "error", "-re", "-f", "lavfi",
     "-i", "testsrc2=size=1920x1080:rate=30", "-c:v", "libx264", "-preset", "veryfast",
     "-tune", "zerolatency", "-threads", "1", "-f", "null", "-"],
    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    time.sleep(1.0)
    out = subprocess.run([helper, "40"], stdout=subprocess.PIPE, timeout=600)
    sys.stdout.write(out.stdout.decode())
finally:
    encoder.terminate()
    try:
        encoder.wait(timeout=10)
    except subprocess.TimeoutExpired:
        encoder.kill()
        encoder.wait()
