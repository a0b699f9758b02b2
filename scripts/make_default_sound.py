#!/usr/bin/env python3
"""Writes the default alarm sound: a short two-tone chime.

16-bit PCM, mono, 22050 Hz: 0.6 s of sound followed by 0.25 s of silence.
Each tone starts with a short attack and decays exponentially (to about a
seventh of its peak) with a short fade at its end, so there are no clicks at
the joins. The silence keeps the chime whole on audio outputs that
end a stream a little before its last samples, and spaces the chimes when the
sound loops. Uses only the standard library; the output is deterministic.

Usage: make_default_sound.py [output.wav]
(default: src/platform/resources/default_alarm.wav beside this script's repo)
"""

import math
import os
import struct
import sys
import wave

RATE = 22050
AMPLITUDE = 0.6  # of full scale
# (frequency in Hz, start in s, length in s)
TONES = [(880.0, 0.00, 0.30), (660.0, 0.28, 0.32)]
LENGTH = 0.60
TRAIL = 0.25  # silence after the chime


def envelope(t, length):
    attack = 0.008
    if t < attack:
        return t / attack
    release = 0.02
    decay = math.exp(-2.0 * (t - attack) / length)
    if t > length - release:
        decay *= max(0.0, (length - t) / release)
    return decay


def samples():
    total = int(RATE * LENGTH)
    for n in range(total + int(RATE * TRAIL)):
        t = n / RATE
        value = 0.0
        for freq, start, length in TONES:
            local = t - start
            if 0.0 <= local < length:
                tone = math.sin(2 * math.pi * freq * local)
                tone += 0.25 * math.sin(2 * math.pi * 2 * freq * local)
                value += tone / 1.25 * envelope(local, length)
        value = max(-1.0, min(1.0, value * AMPLITUDE))
        yield int(round(value * 32767))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        root, "src", "platform", "resources", "default_alarm.wav")
    data = b"".join(struct.pack("<h", s) for s in samples())
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(data)
    print(f"{out}: {len(data) // 2} frames")


if __name__ == "__main__":
    main()
