#!/usr/bin/env python3
"""Streams that change on the way, through the program, made by the ffmpeg
program at test time:

- 30 chained Ogg Opus links of 8 s, stereo and mono by turns: every link
  is analysed, and the report, levels and all, is the same at -j 1, 2 and 7;
  split's packet copy puts every packet in a piece once, and `chapters`
  marks a copy, although each link's timestamps start again;
- two MP3 files, 44.1 kHz then 48 kHz, one after the other: the second is
  resampled onto the first one's timeline, the same at any -j; split's
  packet copy puts every packet in a piece once, the pieces after the
  change included, and --to-wav writes the whole timeline;
- two FLAC files of those rates: split refuses the sample-exact pieces
  before writing any, and --to-wav writes them.

Usage: changing_streams.py SILSPLIT
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def run(args, cwd, rc=0):
    proc = subprocess.run(args, cwd=cwd, capture_output=True)
    if proc.returncode != rc:
        fail("%s: exit %d, expected %d\n%s" % (" ".join(args), proc.returncode, rc,
                                               proc.stderr.decode(errors="replace")[:2000]))
    return proc


def ffmpeg(args, cwd):
    run(["ffmpeg", "-v", "error", "-nostdin", "-y"] + args, cwd)


def packet_count(path, cwd):
    out = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-count_packets", "-show_entries",
               "stream=nb_read_packets", "-of", "csv=p=0", path], cwd).stdout
    return int(out.decode().strip().strip(","))


def concat(parts, out):
    with open(out, "wb") as o:
        for p in parts:
            with open(p, "rb") as f:
                shutil.copyfileobj(f, o)


def same_at_any_jobs(exe, cwd, name, extra):
    want = run([exe, "analyze", *extra, "-j", "1", name], cwd).stdout
    for jobs in ("2", "7"):
        got = run([exe, "analyze", *extra, "-j", jobs, name], cwd).stdout
        if got != want:
            fail("analyze %s -j %s %s differs from -j 1" % (" ".join(extra), jobs, name))
    return json.loads(want)


def case_chained_opus(exe, cwd):
    links = []
    for k in range(30):
        stereo = k % 2 == 0
        link = os.path.join(cwd, "link%02d.opus" % k)
        shape = ("aformat=channel_layouts=stereo,pan=stereo|c0=c0|c1=0.2*c0" if stereo else "anull")
        ffmpeg(["-f", "lavfi", "-i",
                "sine=frequency=%d:sample_rate=48000:duration=8,volume=0.4*lt(mod(t\\,3)\\,2):eval=frame"
                % (300 + 10 * k), "-af", shape, "-ac", "2" if stereo else "1",
                "-c:a", "libopus", "-b:a", "32k", link], cwd)
        links.append(link)
    concat(links, os.path.join(cwd, "chain.opus"))
    rep = same_at_any_jobs(exe, cwd, "chain.opus", ["-q", "--report-levels"])
    if abs(rep["duration_s"] - 240.0) > 0.05:
        fail("chain.opus: %.3f s analysed of 240" % rep["duration_s"])
    # The packet copy: each link's times start again, the pieces' run on;
    # and so do those of a copy with chapter marks.
    every_packet_once(exe, cwd, "chain.opus", rep, ".opus")
    run([exe, "chapters", "--keep-all", "chain.opus", "--output", "marked.mka"], cwd)
    marks = json.loads(run(["ffprobe", "-v", "error", "-show_chapters", "-show_entries", "format=duration",
                            "-of", "json", "marked.mka"], cwd).stdout)
    chapters = json.loads(run([exe, "analyze", "--keep-all", "chain.opus"], cwd).stdout)["chapters"]
    if len(marks["chapters"]) != len(chapters) or abs(float(marks["format"]["duration"]) - 240.0) > 0.5:
        fail("chapters chain.opus: %d marks of %d, %s s" % (len(marks["chapters"]), len(chapters),
                                                            marks["format"]["duration"]))


def every_packet_once(exe, cwd, name, rep, ext):
    """A packet copy with --keep-all: each packet in one piece, the cuts on
    the analysis's timeline."""
    out = os.path.join(cwd, "split-" + name)
    run([exe, "split", "--keep-all", name, out], cwd)
    with open(os.path.join(out, "chapters.json")) as f:
        got = json.load(f)
    pieces = sorted(n for n in os.listdir(out) if n.endswith(ext))
    if len(pieces) != len(got["chapters"]):
        fail("split %s: %d pieces for %d chapters" % (name, len(pieces), len(got["chapters"])))
    held = sum(packet_count(os.path.join(out, p), cwd) for p in pieces)
    if held != packet_count(name, cwd):
        fail("split %s: the pieces hold %d packets of %d" % (name, held, packet_count(name, cwd)))
    for ch in got["chapters"]:
        if ch["cut_t1"] <= ch["cut_t0"] or abs(ch["cut_t0"] - ch["t0"]) > 0.1:
            fail("split %s: chapter %d (%.3f to %.3f) cut at %.3f to %.3f"
                 % (name, ch["i"], ch["t0"], ch["t1"], ch["cut_t0"], ch["cut_t1"]))
    if abs(got["chapters"][-1]["cut_t1"] - rep["duration_s"]) > 0.01:
        fail("split %s: the last piece ends at %.3f s of %.3f"
             % (name, got["chapters"][-1]["cut_t1"], rep["duration_s"]))


def case_rates_mp3(exe, cwd):
    for name, rate, period in (("a44.mp3", 44100, 9), ("b48.mp3", 48000, 11)):
        ffmpeg(["-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=%d:duration=60,volume=0.4*lt(mod(t\\,%d)\\,%d):eval=frame"
                % (rate, period, period - 3), "-c:a", "libmp3lame", "-b:a", "64k", name], cwd)
    concat([os.path.join(cwd, n) for n in ("a44.mp3", "b48.mp3")], os.path.join(cwd, "ab.mp3"))
    rep = same_at_any_jobs(exe, cwd, "ab.mp3", ["--keep-all"])
    if rep["sample_rate"] != 44100 or abs(rep["duration_s"] - 120.0) > 0.1:
        fail("ab.mp3: %.3f s at %d Hz, expected 120 s at 44100 Hz" % (rep["duration_s"], rep["sample_rate"]))
    if rep["chapters"][-1]["t1"] < rep["duration_s"] - 0.05:
        fail("ab.mp3: the chapters end at %.3f s of %.3f" % (rep["chapters"][-1]["t1"], rep["duration_s"]))

    # The packet copy: every packet in one piece, the cuts on the timeline.
    every_packet_once(exe, cwd, "ab.mp3", rep, ".mp3")

    # Decoded pieces: the whole timeline, at the first rate.
    out = os.path.join(cwd, "towav")
    run([exe, "split", "--keep-all", "--to-wav", "ab.mp3", out], cwd)
    frames = 0
    for name in os.listdir(out):
        if name.endswith(".wav"):
            with open(os.path.join(out, name), "rb") as f:
                head = f.read(44)
            if struct.unpack("<I", head[24:28])[0] != 44100:
                fail("towav: %s is not at 44100 Hz" % name)
            frames += struct.unpack("<I", head[40:44])[0] // 2
    if abs(frames - rep["duration_s"] * 44100) > 2:
        fail("towav: %d frames written of %.0f" % (frames, rep["duration_s"] * 44100))


def case_rates_flac(exe, cwd):
    for name, rate in (("a44.flac", 44100), ("b48.flac", 48000)):
        ffmpeg(["-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=%d:duration=20,volume=0.4*lt(mod(t\\,5)\\,3):eval=frame" % rate,
                "-c:a", "flac", name], cwd)
    concat([os.path.join(cwd, n) for n in ("a44.flac", "b48.flac")], os.path.join(cwd, "ab.flac"))
    rep = same_at_any_jobs(exe, cwd, "ab.flac", ["--keep-all"])
    if abs(rep["duration_s"] - 40.0) > 0.01:
        fail("ab.flac: %.3f s analysed of 40" % rep["duration_s"])
    out = os.path.join(cwd, "exact")
    proc = run([exe, "split", "--keep-all", "ab.flac", out], cwd, rc=1)
    want = ("silsplit: ab.flac: the stream changes its sample rate from 44100 Hz to 48000 Hz at "
            "0:00:20.000, so its chapters cannot be cut sample-exact; --to-wav writes them\n")
    if proc.stderr.decode() != want:
        fail("split ab.flac said %r, expected %r" % (proc.stderr.decode(), want))
    if os.path.isdir(out) and os.listdir(out):
        fail("split ab.flac failed and left %s" % sorted(os.listdir(out)))
    run([exe, "split", "--keep-all", "--to-wav", "ab.flac", os.path.join(cwd, "flacwav")], cwd)


def main():
    exe = os.path.abspath(sys.argv[1])
    cwd = tempfile.mkdtemp(prefix="silsplit-changing-")
    try:
        case_chained_opus(exe, cwd)
        case_rates_mp3(exe, cwd)
        case_rates_flac(exe, cwd)
    finally:
        shutil.rmtree(cwd, ignore_errors=True)


if __name__ == "__main__":
    main()
