"""The recording profile reaches the video encoder: a clip saved under
"ligero" and one saved under "calidad" carry different encoder settings (x264
writes its settings into the stream's first keyframe)."""
import json
import os
import signal
import time
import unittest

from e2e_support import Desktop, wait_until

BIN = os.environ["CORVANE_BIN"]
READY = "[CORVANE] Listo: grabando en segundo plano."


def x264_options(clip):
    """The settings text x264 wrote into the clip's first keyframe, as a dict."""
    with open(clip, "rb") as f:
        data = f.read()
    at = data.find(b"options: ")
    if at < 0:
        raise AssertionError("no x264 settings text in %s" % clip)
    end = data.find(b"\0", at)
    text = data[at + len(b"options: "):end].decode("ascii", "replace")
    return dict(item.split("=", 1) for item in text.split() if "=" in item)


class ProfileEncoderTest(unittest.TestCase):

    def record_clip(self, profile):
        d = Desktop(self, BIN, sound=False)
        d.write_ini("[grabacion]\nperfil = %s\n[avanzado]\ncodec = h264\n" % profile)
        p = d.start("--no-window")
        if not wait_until(lambda: READY in d.log() or p.poll() is not None, timeout=60):
            self.fail("no ready line; log:\n" + d.log())
        self.assertIsNone(p.poll(), d.output(p))
        self.assertEqual(d.run_tool("xdotool", "keydown", "ctrl+w").returncode, 0)
        try:
            self.assertTrue(wait_until(lambda: "[OK] Clip guardado" in d.log(), timeout=60),
                            d.log()[-2000:])
        finally:
            d.run_tool("xdotool", "keyup", "ctrl+w")
        day = time.strftime("%Y-%m-%d")
        folder = os.path.join(d.clips, day, "Manual")
        clips = [os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".mp4")]
        self.assertEqual(len(clips), 1, clips)
        probe = d.run_tool("ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                           "stream=codec_name", "-of", "json", clips[0])
        stream = json.loads(probe.stdout)["streams"][0]
        options = x264_options(clips[0])
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=30), 0)
        return stream, options

    def test_ligero_and_calidad_clips_differ_in_encoder_settings(self):
        light_stream, light = self.record_clip("ligero")
        sharp_stream, sharp = self.record_clip("calidad")
        self.assertEqual(light_stream["codec_name"], "h264")
        # ligero (33) → superfast: diamond search, sub-pel level 1, one reference.
        self.assertEqual((light["me"], light["subme"], light["ref"]), ("dia", "1", "1"), light)
        # calidad (80) → fast: hexagon search, sub-pel level 6, two references.
        self.assertEqual((sharp["me"], sharp["subme"], sharp["ref"]), ("hex", "6", "2"), sharp)
        self.assertEqual(sharp_stream["codec_name"], "h264")
        # Each at its profile's rate, with the same low-delay shape.
        self.assertEqual((light["keyint"], sharp["keyint"]), ("30", "60"))
        self.assertEqual((light["bframes"], sharp["bframes"]), ("0", "0"))


if __name__ == "__main__":
    unittest.main()
