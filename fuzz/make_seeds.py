#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: valid and malformed WAV files for
fuzz_wav_reader, options and samples for fuzz_analyze_pcm, options and
signals/chapter lists for fuzz_refine_report, short recordings in several
containers and codecs (made by the ffmpeg program, when it is installed)
for fuzz_media_input.

Usage: make_seeds.py OUT_DIR   (makes OUT_DIR/<target>/<name> files)
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile


def chunk(cid, body, pad=True):
    out = cid + struct.pack("<I", len(body)) + body
    if pad and len(body) % 2:
        out += b"\0"
    return out


def riff(*chunks, riff_size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if riff_size is None else riff_size) + body


def fmt(tag, channels, rate, bits, extra=b""):
    block = channels * (bits // 8)
    return chunk(b"fmt ", struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, bits) + extra)


def wave(frames, rate):
    """Bursts and silences: 40 ms loud, 40 ms silent, repeated (values in -1..1)."""
    period = max(1, rate // 25)
    return [0.6 * math.sin(i * 0.3) if (i // period) % 2 == 0 else 0.0 for i in range(frames)]


def pcm(samples, bits, channels, is_float=False):
    out = bytearray()
    for s in samples:
        for ch in range(channels):
            v = s if ch == 0 else -s / 2
            if is_float:
                out += struct.pack("<f", v)
            elif bits == 8:
                out += struct.pack("<B", int(128 + v * 127))
            elif bits == 16:
                out += struct.pack("<h", int(v * 32767))
            elif bits == 24:
                out += struct.pack("<i", int(v * 8388607))[:3]
            else:
                out += struct.pack("<i", int(v * 2147483647))
    return bytes(out)


def extensible(channels, rate, bits, float_guid=False):
    guid = struct.pack("<H", 3 if float_guid else 1) + bytes.fromhex("000000001000800000aa00389b71")
    extra = struct.pack("<HHI", 22, bits, 3) + guid
    return fmt(0xFFFE, channels, rate, bits, extra)


def wav_seeds():
    s = wave(400, 8000)
    good16 = riff(fmt(1, 1, 8000, 16), chunk(b"data", pcm(s, 16, 1)))
    seeds = {
        "pcm8_mono.wav": riff(fmt(1, 1, 8000, 8), chunk(b"data", pcm(s, 8, 1))),
        "pcm16_mono.wav": good16,
        "pcm16_stereo_44k.wav": riff(fmt(1, 2, 44100, 16), chunk(b"data", pcm(wave(300, 44100), 16, 2))),
        "pcm24_stereo.wav": riff(fmt(1, 2, 11025, 24), chunk(b"data", pcm(wave(200, 11025), 24, 2))),
        "pcm32_mono.wav": riff(fmt(1, 1, 16000, 32), chunk(b"data", pcm(wave(300, 16000), 32, 1))),
        "float32_mono.wav": riff(fmt(3, 1, 22050, 32), chunk(b"data", pcm(wave(300, 22050), 32, 1, True))),
        "extensible24.wav": riff(extensible(2, 8000, 24), chunk(b"data", pcm(wave(150, 8000), 24, 2))),
        "extensible_float.wav": riff(extensible(1, 8000, 32, True), chunk(b"data", pcm(s, 32, 1, True))),
        "multi_chunk.wav": riff(fmt(1, 2, 8000, 16), chunk(b"LIST", b"INFOINAMx"),
                                chunk(b"data", pcm(wave(200, 8000), 16, 2)), chunk(b"junk", b"\1\2\3", pad=False)),
        "data_before_fmt.wav": riff(chunk(b"data", pcm(s, 16, 1)), fmt(1, 1, 8000, 16)),
        "two_data_chunks.wav": riff(fmt(1, 1, 8000, 16), chunk(b"data", pcm(s[:100], 16, 1)),
                                    chunk(b"data", pcm(s, 16, 1))),
        "odd_channels.wav": riff(fmt(1, 3, 8000, 16), chunk(b"data", pcm(s[:200], 16, 3) + b"\1")),
        "low_rate.wav": riff(fmt(1, 1, 3, 8), chunk(b"data", pcm(s[:60], 8, 1))),
        "empty_data.wav": riff(fmt(1, 1, 8000, 16), chunk(b"data", b""), chunk(b"pad ", b"\0" * 8)),
        # Malformed:
        "truncated_data.wav": good16[: len(good16) // 2],
        "huge_data_size.wav": riff(fmt(1, 1, 8000, 16)) + b"data" + struct.pack("<I", 0xFFFFFFF0) + b"\0" * 64,
        "huge_other_chunk.wav": riff(fmt(1, 1, 8000, 16)) + b"LIST" + struct.pack("<I", 0x7FFFFFFF) + b"\0" * 64,
        "short_fmt.wav": riff(chunk(b"fmt ", b"\1\0\1\0"), chunk(b"data", pcm(s, 16, 1))),
        "long_fmt.wav": riff(fmt(1, 1, 8000, 16, b"\0" * 30), chunk(b"data", pcm(s, 16, 1))),
        "bits12.wav": riff(fmt(1, 1, 8000, 12), chunk(b"data", pcm(s, 16, 1))),
        "zero_channels.wav": riff(fmt(1, 0, 8000, 16), chunk(b"data", pcm(s, 16, 1))),
        "tag_mp3.wav": riff(fmt(0x55, 1, 8000, 16), chunk(b"data", pcm(s, 16, 1))),
        "no_data.wav": riff(fmt(1, 1, 8000, 16), chunk(b"LIST", b"\0" * 40)),
        "not_wave.wav": b"RIFX" + good16[4:],
        "tiny.wav": good16[:20],
    }
    return seeds


def pcm_seeds():
    def floats(vals):
        return struct.pack("<%df" % len(vals), *vals)
    loud = floats([0.5, -0.5, 0.25, -0.25])
    quiet = floats([0.0])
    nan = float("nan")
    inf = float("inf")
    return {
        "defaults": b"\0" + struct.pack("<H", 600) + loud,
        "empty_object": b"{}\0" + struct.pack("<H", 100) + loud + quiet * 4,
        "short_chapters": b'{"min_silence_s":0.05,"min_chapter_s":0.01,"padding_s":0}\0'
                          + struct.pack("<H", 2000) + loud * 40 + quiet * 200,
        "rate_44k": b'{"sample_rate":44100,"min_chapter_s":0.1}\0' + struct.pack("<H", 3000) + loud * 50 + quiet * 300,
        "rate_1": b'{"sample_rate":1}\0' + struct.pack("<H", 1) + loud,
        "max_chapter": b'{"max_chapter_s":0.01,"min_chapter_s":0}\0' + struct.pack("<H", 4000) + loud,
        "nan_inf": b'{"threshold_db":-60}\0' + struct.pack("<H", 500) + floats([nan, inf, -inf, 3e38, 1e-40, 0.5]),
        "huge_numbers": b'{"threshold_db":1e400,"padding_s":-1e400,"sample_rate":1e20}\0'
                        + struct.pack("<H", 10) + loud,
        "bad_json": b'{"threshold_db":\0' + loud,
        "not_object": b"[1,2,3]",
        "options_only": b'{"min_silence_s":"x","padding_s":null,"max_chapter_s":true}',
        "auto_threshold": b'{"auto_threshold":true,"report_pauses":true}\0' + struct.pack("<H", 3000)
                          + loud * 30 + floats([0.001, -0.002, 0.0015]) * 100,
        "cut_at_pause": b'{"max_chapter_s":0.5,"cut_at_pause":true,"min_chapter_s":0}\0'
                        + struct.pack("<H", 4000) + loud * 60 + quiet * 8,
        "chapter_count": b'{"chapter_count":3,"min_silence_s":0.05,"padding_s":0.5}\0'
                         + struct.pack("<H", 4000) + loud * 40 + quiet * 50 + loud * 40 + quiet * 90,
        "keep_all": b'{"keep_all":true,"min_chapter_s":1,"report_levels":true,"sample_rate":22050}\0'
                    + struct.pack("<H", 3000) + loud * 40 + quiet * 120,
        "all_rules": b'{"auto_threshold":true,"cut_at_pause":true,"max_chapter_s":0.2,"chapter_count":2,'
                     b'"keep_all":true,"report_pauses":true,"report_levels":true}\0'
                     + struct.pack("<H", 2000) + loud * 20 + quiet * 30 + floats([nan, 1e-30]),
        "wrong_types": b'{"auto_threshold":1,"chapter_count":"2","keep_all":null}',
        "speech": b'{"speech":true,"report_speech":true,"report_pauses":true,"keep_all":true,'
                  b'"min_chapter_s":0.5}\0' + struct.pack("<H", 4000) + loud * 40 + quiet * 50,
        "chapters": b'{"chapters":[{"t0":0,"t1":0.5,"title":"a"},{"t0":0.75},{"t0":2,"t1":1e9}],'
                    b'"report_pauses":true}\0' + struct.pack("<H", 4000) + loud * 40 + quiet * 50,
        "hints": b'{"hints":[0,{"t":1.5,"title":"b"},2.5,3],"hint_window_s":2,"keep_all":true,'
                 b'"titles":["x",null]}\0' + struct.pack("<H", 6000) + loud * 40 + quiet * 60,
        "hints_auto": b'{"hints":[0.5,1,9],"auto":true,"min_silence_s":0.05}\0'
                      + struct.pack("<H", 6000) + loud * 30 + quiet * 70 + loud * 20 + quiet * 90,
        "bad_lists": b'{"chapters":[{"t0":3},{"t0":1}],"hints":[{"t":-1}],"titles":[5]}',
    }


def refine_seeds():
    def opts(*v):
        return struct.pack("<5f", *v)
    runs = bytes([40, 0, 60, 249, 100, 0, 30, 200, 90, 0, 200, 249, 10, 0])
    many = bytes([1, 249, 1, 0] * 300)
    specials = bytes([20, 250, 20, 0, 20, 251, 20, 0, 20, 253, 20, 254, 20, 255])
    chapters = struct.pack("<9f", 0.5, 3.25, -3.5, 4.0, 9.75, -1.0, 10.0, 10.0, -120.0)
    return {
        "defaults_runs": opts(-40, 0.8, 5.0, 0.25, 0) + runs,
        "short_runs": opts(-40, 0.05, 0.01, 0.02, 0) + runs,
        "split_runs": opts(-40, 0.05, 0.01, 0.0, 0.003) + runs,
        "many_chapters": opts(-40, 0.001, 0.0, 0.0, 0) + many,
        "negative_padding": opts(-40, 0.02, 0.0, -0.5, 0) + runs,
        "special_levels": opts(-60, 0.02, 0.0, 0.01, 0.5) + specials,
        "chapter_list": opts(12.0, 0.0, 0.0, 0.0, 0) + chapters,
        "nan_options": struct.pack("<5I", 0x7FC00000, 0x7F800000, 0xFF800000, 0x7FC00001, 0x00000001) + runs,
    }


def media_seeds():
    """Half a second of bursts in each container the media input meets, and a
    few broken ones."""
    seeds = {
        "wav_pcm16": riff(fmt(1, 2, 8000, 16), chunk(b"data", pcm(wave(800, 8000), 16, 2))),
        "id3_header_only": b"ID3\x04\x00\x00\x00\x00\x00\x10" + bytes(16),
        "ogg_page_only": b"OggS\x00\x02" + bytes(22),
        "empty": b"",
    }
    if not shutil.which("ffmpeg"):
        return seeds
    formats = {
        "mp3": ["-c:a", "libmp3lame", "-b:a", "32k", "-f", "mp3"],
        "m4a": ["-c:a", "aac", "-b:a", "32k", "-f", "mp4"],
        "flac": ["-c:a", "flac", "-f", "flac"],
        "opus": ["-c:a", "libopus", "-b:a", "16k", "-f", "ogg"],
        "mka_vorbis": ["-ac", "2", "-c:a", "libvorbis", "-f", "matroska"],
        "adts": ["-c:a", "aac", "-b:a", "32k", "-f", "adts"],
        "wav_u8_3ch": ["-ac", "3", "-c:a", "pcm_u8", "-f", "wav"],
    }
    with tempfile.TemporaryDirectory() as tmp:
        for name, args in formats.items():
            path = os.path.join(tmp, name)
            cmd = ["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                   "sine=frequency=300:sample_rate=8000:duration=0.5,volume='lt(mod(t,0.2),0.1)':eval=frame"]
            if subprocess.run(cmd + args + [path], capture_output=True).returncode == 0:
                seeds[name] = open(path, "rb").read()
    return seeds


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    for target, seeds in (("fuzz_wav_reader", wav_seeds()), ("fuzz_analyze_pcm", pcm_seeds()),
                          ("fuzz_refine_report", refine_seeds()), ("fuzz_media_input", media_seeds())):
        d = os.path.join(out, target)
        os.makedirs(d, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
