#!/usr/bin/env python3
"""Independent computation of the two synthesised sounds, and a check of a
WAV file with the standard library's wave reader.

usage: sound_reference.py VOLUME chime|tone [WAV_FILE]
prints "wave CHANNELS WIDTH RATE FRAMES MATCH" when a file is given (MATCH is
1 when the file's frames equal the bytes after its 44-byte header), then one
sample per line.
"""
import math
import struct
import sys
import wave

RATE = 44100


def note(f, k, n_total, v):
    out = []
    for n in range(n_total):
        t = n / RATE
        attack = min(n / 220.0, 1.0)
        decay = math.exp(-n / k)
        tone = 0.85 * math.sin(2 * math.pi * f * t) + 0.15 * math.sin(2 * math.pi * 2 * f * t)
        x = decay * attack * tone * v * 32767.0
        x = max(-32768.0, min(32767.0, x))
        out.append(int(x))  # int() truncates toward zero
    return out


def main():
    v = struct.unpack("f", struct.pack("f", float(sys.argv[1])))[0]  # as a 32-bit float
    which = sys.argv[2]
    if which == "chime":
        samples = note(1046.5, 1389.15, 3969, v) + [0] * 1102 + note(1568.0, 2160.9, 6174, v)
    else:
        samples = note(330.0, 3395.7, 9702, v)
    lines = []
    if len(sys.argv) > 3:
        with wave.open(sys.argv[3], "rb") as w:
            frames = w.readframes(w.getnframes())
            with open(sys.argv[3], "rb") as f:
                raw = f.read()
            lines.append("wave %d %d %d %d %d" % (w.getnchannels(), w.getsampwidth(), w.getframerate(),
                                                   w.getnframes(), 1 if frames == raw[44:] else 0))
    lines.extend(str(s) for s in samples)
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
