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

With --encoded, the ffmpeg program writes three 6-second tones between 3-second
pauses (27 s) in several WAV layouts, each named after its layout, e.g.
s24-stereo-48k.wav (see ENCODED), and two files are rebuilt from them with
unusual chunk orders:

  chunks-reordered.wav  a decoy fmt and data chunk first (the data chunk of
                        odd size, which has no pad byte), odd-sized chunks of
                        other kinds with their pad byte, then the real data
                        chunk before the real fmt chunk: the last ones count
  odd-fmt.wav           a fmt chunk of 19 bytes, without a pad byte
"""
import os
import struct
import subprocess
import sys
from array import array

# name: (rate, channels, codec, frames); odd frame counts make odd data chunks
# for 8-bit and 24-bit mono. More than two channels makes ffmpeg write
# WAVE_FORMAT_EXTENSIBLE.
ENCODED = {
    "s24-stereo-48k": (48000, 2, "pcm_s24le", 48000 * 27),
    "u8-mono-11k": (11025, 1, "pcm_u8", 11025 * 27 + 1),
    "s24-mono-8k": (8000, 1, "pcm_s24le", 8000 * 27 + 1),
    "f32-stereo-44k": (44100, 2, "pcm_f32le", 44100 * 27),
    "s32-3ch-22k": (22050, 3, "pcm_s32le", 22050 * 27),
    "s16-6ch-16k": (16000, 6, "pcm_s16le", 16000 * 27),
    "f32-3ch-32k": (32000, 3, "pcm_f32le", 32000 * 27),
}


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


def encode(path, rate, channels, codec, frames):
    tone = "if(between(mod(t,9),1.5,7.5),0.4*sin(2*PI*%d*t),0)"
    expr = "|".join(tone % (330 + 110 * c) for c in range(channels))
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
                    "-i", "aevalsrc='%s':s=%d:d=28" % (expr, rate), "-af", "atrim=end_sample=%d" % frames,
                    "-c:a", codec, "-f", "wav", path + ".tmp"], check=True)
    os.replace(path + ".tmp", path)


def chunks(data):
    """The (id, body) chunks of a plain RIFF/WAVE file, pad bytes skipped."""
    out, pos = [], 12
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        out.append((cid, data[pos + 8:pos + 8 + size]))
        pos += 8 + size + (size & 1)
    return out


def riff(parts):
    body = b"WAVE" + b"".join(parts)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def chunk(cid, body, pad=True):
    return cid + struct.pack("<I", len(body)) + body + (b"\0" if pad and len(body) & 1 else b"")


def rebuilt(source):
    found = dict(chunks(source))
    fmt, data = found[b"fmt "], found[b"data"]
    decoy_fmt = struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8)
    reordered = riff([chunk(b"fmt ", decoy_fmt), chunk(b"junk", b"abcde"),
                      chunk(b"data", bytes(range(99)) * 10 + b"x", pad=False),
                      chunk(b"LIST", b"xyz"), chunk(b"data", data), chunk(b"fmt ", fmt),
                      chunk(b"tail", b"end")])
    odd = riff([chunk(b"fmt ", fmt[:16] + b"\0\0\x7f", pad=False), chunk(b"data", data)])
    return reordered, odd


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    tones = [("quiet", 1), ("tone", 6), ("quiet", 2), ("tone", 7), ("quiet", 2), ("tone", 5.5), ("quiet", 1)]
    write(os.path.join(out, "tones.wav"), wav_bytes(16000, 1, bursts(16000, 1, tones, 8192)))
    single = [("quiet", 0.5), ("tone", 8), ("quiet", 0.5)]
    write(os.path.join(out, "single.wav"), wav_bytes(8000, 2, bursts(8000, 2, single, 16384)))
    write(os.path.join(out, "not_a_wav.wav"), b"this is not a wav file\n")
    if "--encoded" in sys.argv[2:]:
        for name, (rate, channels, codec, frames) in ENCODED.items():
            path = os.path.join(out, name + ".wav")
            if not os.path.exists(path):
                encode(path, rate, channels, codec, frames)
        reordered, odd = rebuilt(open(os.path.join(out, "s24-stereo-48k.wav"), "rb").read())
        write(os.path.join(out, "chunks-reordered.wav"), reordered)
        odd_source = open(os.path.join(out, "s16-6ch-16k.wav"), "rb").read()
        write(os.path.join(out, "odd-fmt.wav"), rebuilt(odd_source)[1])
    if "--long" in sys.argv[2:]:
        path = os.path.join(out, "long.wav")
        cycle = bursts(16000, 1, [("tone", 20), ("quiet", 1)], 8192)
        samples = cycle * (40 * 60 // 21)
        content = wav_bytes(16000, 1, samples)
        if not (os.path.exists(path) and os.path.getsize(path) == len(content)):
            write(path, content)


if __name__ == "__main__":
    main()
