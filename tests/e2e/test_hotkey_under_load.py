"""The save key pressed a hundred times, as short taps, while eight processes
keep every core busy: each press gives its "Guardando" line, and each line
ends as a clip on disk or as a log line that says why there is none (a press
that arrives while an earlier one still waits for the saver is joined to it)."""
import json
import os
import re
import statistics
import subprocess
import sys
import time
import unittest

from e2e_support import Desktop, stop_process, wait_until

BIN = os.environ["CORVANE_BIN"]
READY = "[CORVANE] Listo: grabando en segundo plano."
PRESS = "[Ctrl+W] Guardando clip..."
SAVED = "[OK] Clip guardado: "
# Why a press gave no clip of its own.
JOINED = "[AVISO] La petición de clip anterior (manual) aún esperaba turno"
NO_VIDEO = "[AVISO] Todavía no hay video en el búfer."
FAILED = "[ERROR] No se pudo guardar el clip: "
PRESSES = 100
BURNERS = 8
# Taps as a hurried player makes them: held for less than two of the key
# thread's polls, and (every other press) down and up at once.
HOLD_SECONDS = "0.04"


def press_args(i):
    if i % 2:
        return ["xdotool", "key", "ctrl+w"]
    return ["xdotool", "keydown", "ctrl+w", "sleep", HOLD_SECONDS, "keyup", "ctrl+w"]


class HotkeyUnderLoadTest(unittest.TestCase):

    def manual_clips(self, d):
        out = []
        for root, _dirs, files in os.walk(d.clips):
            if os.path.basename(root) == "Manual":
                out += [os.path.join(root, f) for f in files if f.endswith(".mp4")]
        return sorted(out)

    def test_every_press_is_saved_or_explained(self):
        d = Desktop(self, BIN, sound=False)
        os.makedirs(d.data)
        with open(os.path.join(d.data, "corvane.ini"), "w", encoding="utf-8") as f:
            f.write("[grabacion]\nperfil = ligero\n[avanzado]\ncodec = h264\nfps = 30\n"
                    "buffer_segundos = 10\n[detector]\nactivo = no\n[aviso]\nsonido = no\n")
        p = d.start("--no-window")
        if not wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=120):
            self.fail("no ready line; log:\n" + d.log()[-3000:])
        self.assertIsNone(p.poll(), d.output(p))

        burners = []
        for _ in range(BURNERS):
            b = subprocess.Popen([sys.executable, "-c", "while True: pass"])
            self.addCleanup(stop_process, b)
            burners.append(b)

        delays = []
        for i in range(1, PRESSES + 1):
            r = d.run_tool(*press_args(i))
            self.assertEqual(r.returncode, 0, r.stderr)
            released = time.monotonic()
            # Bounded: a press the program never saw must not stall the rest.
            if wait_until(lambda: d.log().count(PRESS) >= i, timeout=15):
                delays.append(time.monotonic() - released)

        log = d.log()
        seen = log.count(PRESS)

        def accounted(text):
            return (text.count(SAVED) + text.count(JOINED) + text.count(NO_VIDEO)
                    + text.count(FAILED))

        # Every press seen ends one way or another once the saver is done.
        done = wait_until(lambda: accounted(d.log()) >= seen, timeout=300, step=0.5)
        for b in burners:
            stop_process(b)
        log = d.log()
        counts = {what: log.count(what) for what in (SAVED, JOINED, NO_VIDEO, FAILED)}
        ready_ms = [int(m) for m in re.findall(r"listo en (\d+) ms", log)]
        sys.stderr.write("presses seen %d/%d; release to log line: median %.3f s, max %.3f s; "
                         "clip ready in at most %s ms; %s\n"
                         % (seen, PRESSES, statistics.median(delays) if delays else -1,
                            max(delays) if delays else -1, max(ready_ms) if ready_ms else "-",
                            counts))
        self.assertEqual(seen, PRESSES, "presses without a log line; counts %s" % counts)
        self.assertTrue(done, "presses without a clip or a reason: %s\n%s" % (counts, log[-3000:]))
        self.assertEqual(accounted(log), PRESSES, counts)
        self.assertEqual(counts[FAILED], 0, log[-3000:])
        self.assertGreater(counts[SAVED], 0)

        # Each "[OK]" line is a playable clip of its own on disk.
        clips = self.manual_clips(d)
        self.assertEqual(len(clips), counts[SAVED], clips)
        for clip in clips:
            probe = d.run_tool("ffprobe", "-v", "error", "-show_entries",
                               "stream=codec_type:format=duration", "-of", "json", clip)
            self.assertEqual(probe.returncode, 0, (clip, probe.stderr))
            info = json.loads(probe.stdout)
            self.assertIn("video", [s["codec_type"] for s in info["streams"]], clip)
            self.assertGreater(float(info["format"]["duration"]), 0.0, clip)

        p.terminate()
        self.assertEqual(p.wait(timeout=60), 0)


if __name__ == "__main__":
    unittest.main()
