"""Test signals: 16-bit WAV files written with the wave module, and the same
signals as float lists."""

import math
import struct
import wave
from array import array

import pytest

RATE = 16000


def signal(segments, rate=RATE):
    """Float samples of (seconds, amplitude) segments: a tone of rate/40 Hz at
    that amplitude, or silence for amplitude 0."""
    period = [math.sin(2 * math.pi * k / 40) for k in range(40)]
    out = array("f")
    for seconds, amplitude in segments:
        n = int(round(seconds * rate))
        cycle = array("f", (amplitude * v for v in period))
        out.extend((cycle * (n // 40 + 1))[:n])
    return out


def write_wav(path, samples, rate=RATE, channels=1):
    """16-bit PCM; every channel carries the same samples."""
    pcm = array("h", (max(-32768, min(32767, int(round(v * 32767)))) for v in samples
                      for _ in range(channels)))
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())
    return str(path)


def riff(fmt_tag=1, channels=1, rate=RATE, bits=16, data=b"\0" * 64, with_fmt=True,
         with_data=True):
    """A hand-made RIFF/WAVE file, for headers the wave module will not write."""
    chunks = b""
    if with_fmt:
        align = channels * bits // 8
        chunks += b"fmt " + struct.pack("<IHHIIHH", 16, fmt_tag, channels, rate,
                                        rate * align, align, bits)
    if with_data:
        chunks += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks


# Two 6 s tones around 2 s of silence, with silence at both ends.
SPEECH = [(0.5, 0.0), (6.0, 0.5), (2.0, 0.0), (6.0, 0.5), (0.5, 0.0)]


@pytest.fixture
def speech_wav(tmp_path):
    return write_wav(tmp_path / "speech.wav", signal(SPEECH))
