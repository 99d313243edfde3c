#!/usr/bin/env python3
"""Writes the command-line tests' input files into the directory given.

Every sample is an integer picked by rule, so the files are the same byte for
byte on every machine:

  tones.wav      16 kHz mono: three bursts of a square tone (6 s, 7 s, 5.5 s)
                 between pauses of 2 s, with 1 s of silence at each end
  single.wav     8 kHz stereo: one louder 8 s burst
  not_a_wav.wav  plain text under a .wav name
  long.wav       (only with --long) 40 minutes of tone bursts, large enough
                 that its analysis is still running when the test interrupts it
"""
import os
import struct
import sys
from array import array


def wav_bytes(rate, channels, samples):
    data = samples.tobytes() if sys.byteorder == "little" else _swapped(samples)
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * channels * 2, channels * 2, 16)
    return (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE"
            + b"fmt " + struct.pack("<I", len(fmt)) + fmt
            + b"data" + struct.pack("<I", len(data)) + data)


def _swapped(samples):
    s = array("h", samples)
    s.byteswap()
    return s.tobytes()


def square(rate, channels, seconds, amplitude, period=40):
    half = period // 2
    one = array("h", [amplitude] * (half * channels) + [-amplitude] * (half * channels))
    n = int(round(seconds * rate))
    whole, rest = divmod(n, period)
    return one * whole + one[: rest * channels]


def silence(rate, channels, seconds):
    return array("h", [0]) * (int(round(seconds * rate)) * channels)


def bursts(rate, channels, layout, amplitude):
    out = array("h")
    for kind, seconds in layout:
        out += square(rate, channels, seconds, amplitude) if kind == "tone" else silence(rate, channels, seconds)
    return out


def write(path, content):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(content)
    os.replace(tmp, path)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    tones = [("quiet", 1), ("tone", 6), ("quiet", 2), ("tone", 7), ("quiet", 2), ("tone", 5.5), ("quiet", 1)]
    write(os.path.join(out, "tones.wav"), wav_bytes(16000, 1, bursts(16000, 1, tones, 8192)))
    single = [("quiet", 0.5), ("tone", 8), ("quiet", 0.5)]
    write(os.path.join(out, "single.wav"), wav_bytes(8000, 2, bursts(8000, 2, single, 16384)))
    write(os.path.join(out, "not_a_wav.wav"), b"this is not a wav file\n")
    if "--long" in sys.argv[2:]:
        path = os.path.join(out, "long.wav")
        cycle = bursts(16000, 1, [("tone", 20), ("quiet", 1)], 8192)
        samples = cycle * (40 * 60 // 21)
        content = wav_bytes(16000, 1, samples)
        if not (os.path.exists(path) and os.path.getsize(path) == len(content)):
            write(path, content)


if __name__ == "__main__":
    main()
