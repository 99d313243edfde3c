#!/usr/bin/env python3
"""Checks the silsplit program on recordings that FFmpeg decodes.

The inputs are made at test time from the example recording by the ffmpeg
program, with real encoders:

  media_case.py fixtures DIR WAV
      writes DIR/talk.mp3, talk.m4a (AAC), talk.flac, talk.opus (Opus in Ogg),
      talk.mkv (a video with the talk as its sound track), tail.mp3 (a tone
      whose last 5-second chapter lies in its last packet), a video without
      sound, damaged (MP3, FLAC) and truncated files, a 40-minute FLAC with many
      chapters, and lossless stereo files (WAV of five sample formats, RF64,
      Wave64, AIFF, CAF, 24-bit FLAC, ALAC, 16- and 32-bit WavPack).
  media_case.py match EXE DIR NAME WAV
      the chapters of DIR/NAME are those of WAV within 30 ms (the encoder's
      priming is removed), and so is its length.
  media_case.py same EXE DIR A B [ARGS...]
      `analyze ARGS A` prints exactly what `analyze B` prints.
  media_case.py stdin EXE DIR NAME
      NAME piped into `analyze -` gives the report of the file itself (for
      MP3, the same chapters within 30 ms).
  media_case.py split EXE DIR NAME
      `split` names and tags its files; of a lossy input it copies packets: each chapter file holds the input's packets
      from the one holding the chapter's first frame to the last boundary at
      or before its end, no packet in two files, with title and track tags;
      chapters.json is the report with the times cut (cut_t0, cut_t1).
  media_case.py exact EXE DIR NAME plain|keep-all
      `split` of a lossless input: each piece decodes to exactly the input's
      frames of its chapter, in the input's codec, sample format and
      channels, passes `flac -t` (FLAC) and reports its own duration; with
      keep-all the pieces add up to the input.
  media_case.py tile EXE DIR NAME MAX_S
      `split --keep-all --max-chapter MAX_S`: the files hold every packet once,
      in order, each where the decoded audio puts it, none over MAX_S.
  media_case.py towav EXE DIR NAME
      `split --to-wav` writes 16-bit WAV files of the chapters' frame ranges.
  media_case.py marks EXE DIR NAME OUT
      `chapters NAME -o OUT` copies the streams and adds chapter marks that
      ffprobe lists; a second run needs --replace.
  media_case.py ranges EXE DIR
      `analyze -j N` decodes a file in ranges with the report of `-j 1`;
      a pipe, an AAC and a Vorbis input are decoded by one decoder, with the
      same report, and --progress says why.
  media_case.py bad EXE DIR
      broken inputs fail with "silsplit: FILE: reason" and status 1, damaged
      packets are skipped with a warning.
  media_case.py cue EXE DIR
      the CUE sheet's FILE type follows the input's format.
  media_case.py broken EXE DIR
      inputs that break off (MP3, FLAC, Opus, MKV, a WAV whose data ends
      early, a pipe closed before the WAV header's end) are analysed and
      split as far as they go, with a warning and status 1; whole, the same
      inputs end with status 0 and no warning.
  media_case.py interrupt EXE DIR
      Ctrl-C during an --overwrite split leaves the earlier split as it was.
  media_case.py keep-old EXE DIR
      an --overwrite split that fails (a chapter past the end, also from
      standard input) or is interrupted while it analyses or writes (packet
      copy, exact and --to-wav) leaves the earlier split as it was and no
      file of its own; one that succeeds replaces it.
  media_case.py whole EXE DIR
      split --keep-all keeps the last frames of a recording that is no whole
      number of 16 kHz samples long (WAV, FLAC, Wave64, piped), and no more
      (no Wave64 padding read as audio); and of an MP3 piped or in a FIFO
      (into WAV files too), whose copy is read again as the pipe was.
  media_case.py cover EXE DIR WAV
      an M4B's, an MP3's and a FLAC's cover picture is kept by `chapters`
      and in every piece of `split`.
  media_case.py mp3-lengths EXE DIR
      MP3 pieces decode to their cut ranges, less 529 frames (the decoder's
      delay) for every piece but the first.
  media_case.py quiet EXE DIR WAV
      a quiet speaker under the threshold: analyze warns and names --auto,
      split and chapters fail and write nothing (an earlier split kept).
  media_case.py changed EXE DIR
      an input cut short while it is split (packet copy, exact, --to-wav)
      fails with status 1, and the earlier split stays as it was.
  media_case.py interrupt-ranges EXE DIR
      Ctrl-C while an MP3 is decoded in ranges on several threads ends the
      analysis with status 130 and no report.
  media_case.py module EXE DIR WAV
      with the media module made unloadable (SILSPLIT_MEDIA_MODULE), the WAV
      files the library reads are analysed and split as before, and every
      input that needs FFmpeg fails with "media support not available".
  media_case.py installed EXE BUILD DIR
      an installation into a temporary prefix finds its media module, also
      once the prefix is moved: it reports an MP3 as the build tree does.
  media_case.py memory EXE DIR
      a 10-hour MP3 (one encoded minute, its packets repeated) is analysed
      in at most 64 MiB: the decoded audio streams through the analysis.
  media_case.py wavmemory EXE DIR [to-wav|flac]
      `split --keep-all` of a 1-hour FLAC with a 40-minute chapter, to WAV
      or FLAC files, runs in at most 64 MiB, its files holding every frame
      once.
  media_case.py wrapped EXE DIR
      a sparse 37-hour WAV whose size fields wrapped past 4 GiB is analysed
      to its end, the warning naming the wrapped size (77: no sparse file).
"""
import fcntl
import hashlib
import json
import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

TOLERANCE_S = 0.030


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def show(proc):
    return "exit %d\n--- stdout\n%s\n--- stderr\n%s" % (
        proc.returncode, proc.stdout.decode(errors="replace")[:2000],
        proc.stderr.decode(errors="replace")[:2000])


def run(args, cwd, rc=0, stdin=None):
    proc = subprocess.run(args, cwd=cwd, capture_output=True, stdin=stdin)
    if proc.returncode != rc:
        fail("%s: expected exit %d\n%s" % (" ".join(args), rc, show(proc)))
    return proc


def ffmpeg(args, cwd):
    run(["ffmpeg", "-v", "error", "-nostdin", "-y"] + args, cwd)


def report(exe, cwd, name, extra=()):
    return json.loads(run([exe, "analyze", *extra, name], cwd).stdout)


def packets(path, cwd):
    """(pts_time, duration_time, md5) of each packet of the first audio stream."""
    out = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_data_hash", "MD5",
               "-show_entries", "packet=pts_time,duration_time,data_hash", "-of", "json", path],
              cwd).stdout
    return [(float(p["pts_time"]), float(p.get("duration_time", 0)), p["data_hash"])
            for p in json.loads(out)["packets"]]


# ---------------------------------------------------------------------------
# Fixtures
# ---------------------------------------------------------------------------

def case_fixtures(out, wav):
    os.makedirs(out, exist_ok=True)
    wav = os.path.abspath(wav)
    ffmpeg(["-i", wav, "-c:a", "libmp3lame", "-b:a", "64k", "talk.mp3"], out)
    ffmpeg(["-i", wav, "-c:a", "aac", "-b:a", "64k", "talk.m4a"], out)
    ffmpeg(["-i", wav, "-c:a", "flac", "talk.flac"], out)
    ffmpeg(["-i", wav, "-c:a", "libopus", "-b:a", "32k", "talk.opus"], out)
    ffmpeg(["-f", "lavfi", "-i", "testsrc=size=96x64:rate=5", "-i", wav, "-shortest", "-map", "0:v",
            "-map", "1:a", "-c:v", "mpeg4", "-c:a", "libvorbis", "talk.mkv"], out)
    ffmpeg(["-f", "lavfi", "-i", "testsrc=size=96x64:rate=5", "-t", "2", "-c:v", "mpeg4",
            "silent-video.mkv"], out)
    # A video whose audio stream holds no packet.
    ffmpeg(["-f", "lavfi", "-i", "testsrc=size=96x64:rate=5", "-f", "lavfi", "-i", "anullsrc=r=44100:cl=mono",
            "-map", "0", "-map", "1", "-c:v", "mpeg4", "-c:a", "flac", "-frames:a", "0", "-t", "2",
            "empty-audio.mkv"], out)
    # An MP3 whose middle frames are overwritten with noise, and one cut short.
    data = bytearray(open(os.path.join(out, "talk.mp3"), "rb").read())
    mid = len(data) // 2
    for i in range(mid, mid + 4000):
        data[i] = (i * 7919) & 0xFF
    open(os.path.join(out, "damaged.mp3"), "wb").write(bytes(data))
    # A FLAC whose middle frames are overwritten in the same way.
    data = bytearray(open(os.path.join(out, "talk.flac"), "rb").read())
    mid = len(data) // 2
    for i in range(mid, mid + 4000):
        data[i] = (i * 7919) & 0xFF
    open(os.path.join(out, "damaged.flac"), "wb").write(bytes(data))
    # A WAV file as streaming writers leave it: RIFF and data sizes 0xFFFFFFFF.
    with open(os.path.join(out, "streamed.wav"), "wb") as f:
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", wav, "-f", "wav", "-"], stdout=f, check=True)
    if open(os.path.join(out, "streamed.wav"), "rb").read(8)[4:] != b"\xff\xff\xff\xff":
        fail("ffmpeg wrote a WAV file with its sizes")
    # Matroska whose timestamps jump 100 s ahead at 13 s.
    ffmpeg(["-i", wav, "-af", "asetpts='if(gte(T,13),PTS+100/TB,PTS)'", "-c:a", "libopus", "-b:a", "32k",
            "jump.mka"], out)
    m4a = open(os.path.join(out, "talk.m4a"), "rb").read()
    open(os.path.join(out, "truncated.m4a"), "wb").write(m4a[: len(m4a) // 3])
    open(os.path.join(out, "noise.mp3"), "wb").write(hashlib.sha512(b"x").digest() * 64)
    # Lossless inputs in stereo, the channels different and the samples
    # using every bit: WAV read by the library (16-bit, 24-bit, 32-bit
    # float) and through FFmpeg (64-bit float, mu-law, A-law), RF64, Wave64, AIFF, CAF,
    # 24-bit FLAC and ALAC.
    stereo = ["-af", "pan=stereo|c0=c0|c1=0.6*c0,volume=0.9"]
    for fname, args in (("talk-s16.wav", ["-c:a", "pcm_s16le"]), ("talk-s24.wav", ["-c:a", "pcm_s24le"]),
                        ("talk-f32.wav", ["-c:a", "pcm_f32le"]), ("talk-f64.wav", ["-c:a", "pcm_f64le"]),
                        ("talk-mulaw.wav", ["-c:a", "pcm_mulaw"]), ("talk-alaw.wav", ["-c:a", "pcm_alaw"]),
                        ("talk.rf64", ["-c:a", "pcm_s24le", "-f", "wav", "-rf64", "always"]),
                        ("talk.w64", ["-c:a", "pcm_f32le"]), ("talk.aiff", ["-c:a", "pcm_s16be"]),
                        ("talk.caf", ["-c:a", "pcm_s24le"]), ("talk-s24.flac", ["-c:a", "flac", "-sample_fmt", "s32"]),
                        ("talk.alac.m4a", ["-c:a", "alac"]), ("talk.wv", ["-c:a", "wavpack"]),
                        ("talk-s32.wv", ["-c:a", "wavpack", "-sample_fmt", "s32p"])):
        ffmpeg(["-i", wav, *stereo, *args, fname], out)
    # 10.002 s of tone at 44.1 kHz: split at 5 s, its last chapter lies in
    # the MP3's last packet.
    ffmpeg(["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=10.002", "-c:a", "libmp3lame",
            "-b:a", "64k", "tail.mp3"], out)
    # Inputs that break off two thirds of the way through, and an Ogg file
    # cut where a page begins.
    for fname in ("talk.mp3", "talk.flac", "talk-s16.wav", "talk.opus", "talk.mkv"):
        data = open(os.path.join(out, fname), "rb").read()
        open(os.path.join(out, "cut-" + fname), "wb").write(data[:len(data) * 2 // 3])
    data = open(os.path.join(out, "talk.opus"), "rb").read()
    open(os.path.join(out, "cut-page-talk.opus"), "wb").write(data[:data.rindex(b"OggS", 0, len(data) * 2 // 3)])
    # 40 minutes of 19-second tones between 2-second pauses: over a hundred
    # chapters, so that a split is still writing when it is interrupted.
    ffmpeg(["-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=8000:duration=2400,volume='lt(mod(t,21),19)':eval=frame",
            "-c:a", "flac", "long.flac"], out)


# ---------------------------------------------------------------------------
# Analysis
# ---------------------------------------------------------------------------

def same_chapters(got, want, what):
    if len(got["chapters"]) != len(want["chapters"]):
        fail("%s: %d chapters, the WAV has %d\n%s\n%s" % (what, len(got["chapters"]), len(want["chapters"]),
                                                       got, want))
    for g, w in zip(got["chapters"], want["chapters"]):
        for key in ("t0", "t1"):
            if abs(g[key] - w[key]) > TOLERANCE_S:
                fail("%s: chapter %d %s %.4f, the WAV's is %.4f" % (what, g["i"], key, g[key], w[key]))


def case_match(exe, cwd, name, wav):
    want = report(exe, cwd, os.path.abspath(wav))
    got = report(exe, cwd, name)
    same_chapters(got, want, name)
    # Priming and padding removed: the decoded length is the WAV's.
    if abs(got["duration_s"] - want["duration_s"]) > TOLERANCE_S:
        fail("%s: %.4f s long, the WAV %.4f s" % (name, got["duration_s"], want["duration_s"]))


def case_same(exe, cwd, a, b, *args):
    got = run([exe, "analyze", *args, a], cwd).stdout
    want = run([exe, "analyze", b], cwd).stdout
    if got != want:
        fail("analyze %s %s:\n%s\nanalyze %s:\n%s" % (" ".join(args), a, got, b, want))


def case_stdin(exe, cwd, name):
    path = os.path.join(cwd, name)
    want = run([exe, "analyze", name], cwd).stdout
    with open(path, "rb") as f:
        # A real pipe, not a file: the program cannot seek in it.
        feeder = subprocess.Popen(["cat"], stdin=f, stdout=subprocess.PIPE)
        got = run([exe, "analyze", "-"], cwd, stdin=feeder.stdout).stdout
        feeder.stdout.close()
        feeder.wait()
    if name.endswith(".mp3"):
        # Through a pipe the end of the stream is not known in advance, so the
        # encoder's padding in the last frame is not trimmed: the same
        # chapters within the tolerance, not the same bits.
        same_chapters(json.loads(got), json.loads(want), name + " through a pipe")
    elif got != want:
        fail("%s through a pipe:\n%s\nthe file itself:\n%s" % (name, got, want))


def case_ranges(exe, cwd):
    why = {"talk.m4a": "AAC's noise substitution carries its state from the first frame",
           "talk.mkv": "vorbis is not decoded in ranges"}
    for name in ("talk.mp3", "talk.flac", "talk.opus", "talk.m4a", "talk.mkv"):
        want = run([exe, "analyze", "-j", "1", name], cwd).stdout
        for jobs in ("2", "3"):
            proc = run([exe, "analyze", "--progress", "-j", jobs, name], cwd)
            if proc.stdout != want:
                fail("analyze -j %s %s:\n%s\nwith -j 1:\n%s" % (jobs, name, proc.stdout.decode(), want.decode()))
            notes = [line for line in proc.stderr.decode().splitlines() if not line.endswith("%")]
            expected = ["silsplit: %s: decoding on one thread: %s" % (name, why[name])] if name in why else []
            if notes != expected:
                fail("analyze --progress -j %s %s: %r, expected %r" % (jobs, name, notes, expected))
        # Without --progress (stderr is not a terminal) nothing is said.
        quiet = run([exe, "analyze", "-j", "2", name], cwd)
        if quiet.stderr:
            fail("analyze -j 2 %s said %r" % (name, quiet.stderr))
    want = run([exe, "analyze", "-j", "1", "talk.flac"], cwd).stdout
    with open(os.path.join(cwd, "talk.flac"), "rb") as f:
        feeder = subprocess.Popen(["cat"], stdin=f, stdout=subprocess.PIPE)
        proc = run([exe, "analyze", "--progress", "-j", "2", "-"], cwd, stdin=feeder.stdout)
        feeder.stdout.close()
        feeder.wait()
    if proc.stdout != want:
        fail("talk.flac through a pipe with -j 2:\n%s\nthe file with -j 1:\n%s" % (proc.stdout.decode(), want.decode()))
    if "silsplit: -: decoding on one thread: the input is a pipe\n" not in proc.stderr.decode():
        fail("a pipe with -j 2 did not say it is decoded by one decoder:\n" + proc.stderr.decode())


# ---------------------------------------------------------------------------
# Cutting
# ---------------------------------------------------------------------------

def fresh(cwd, name):
    out = os.path.join(cwd, name)
    shutil.rmtree(out, ignore_errors=True)
    return out


def lossless(name):
    """Inputs cut by encoding their decoded chapters again (FLAC, ALAC, WavPack, PCM)."""
    return name.endswith((".flac", ".wav", ".w64", ".aiff", ".caf", ".rf64", ".wv")) or ".alac." in name


def case_split(exe, cwd, name):
    rep = report(exe, cwd, name)
    out = fresh(cwd, "split-" + name.replace(".", "-"))
    proc = run([exe, "split", "--progress", name, out], cwd)
    n = len(rep["chapters"])
    if proc.stdout != ("%d chapters written to %s\n" % (n, out)).encode():
        fail("unexpected message\n" + show(proc))
    # Progress: the analysis by the position in the input, then the copy.
    lines = proc.stderr.decode().splitlines()
    prefix = "silsplit: %s: " % name
    if not lines or lines[0] != prefix + "read 0%" or lines[-1] != prefix + "write 100%" or \
            prefix + "done 100%" not in lines:
        fail("progress lines\n" + show(proc))
    files = sorted(f for f in os.listdir(out) if f != "SHA256SUMS")
    if "chapters.json" not in files or len(files) != n + 1:
        fail("files written: %s" % files)
    written = json.load(open(os.path.join(out, "chapters.json")))
    exact = lossless(name)  # cut on the chapters' own frames: see case_exact
    cuts = [] if exact else [(c.pop("cut_t0"), c.pop("cut_t1")) for c in written["chapters"]]
    if written != rep:
        fail("chapters.json is not the report" + ("" if exact else " with the times cut"))
    chapter_files = [f for f in files if f != "chapters.json"]
    ext = os.path.splitext(chapter_files[0])[1]
    if chapter_files != ["ch_%03d%s" % (k, ext) for k in range(1, n + 1)]:
        fail("chapter files named %s" % chapter_files)
    if ext != os.path.splitext(name)[1] and name.endswith((".mp3", ".flac", ".opus")):
        fail("chapter files of another container than the input's: %s" % chapter_files)

    for ch, fname in zip(rep["chapters"], chapter_files):
        tags = json.loads(run(["ffprobe", "-v", "error", "-show_entries", "format_tags:stream_tags", "-of",
                               "json", os.path.join(out, fname)], cwd).stdout)
        merged = {k.lower(): v for part in (tags.get("format", {}), *tags.get("streams", []))
                  for k, v in part.get("tags", {}).items()}
        if merged.get("title") != "Chapter %d" % ch["i"] or not merged.get("track", "").startswith(str(ch["i"])):
            fail("%s tags: %s" % (fname, merged))
    if exact:
        return
    source = packets(name, cwd)
    hashes = [p[2] for p in source]
    longest = max(p[1] for p in source)
    elapsed = [0.0]
    for p in source:
        elapsed.append(elapsed[-1] + p[1])
    previous_end = 0
    for ch, (cut_t0, cut_t1), fname in zip(rep["chapters"], cuts, chapter_files):
        mine = [p[2] for p in packets(os.path.join(out, fname), cwd)]
        if not mine:
            fail("%s holds no packets" % fname)
        # The run of the input's packets that the file copies, after the
        # previous file's (no packet in two files); silent stretches repeat
        # their packets, so the run nearest the time cut is taken.
        starts = [i for i in range(previous_end, len(hashes) - len(mine) + 1)
                  if hashes[i:i + len(mine)] == mine]
        if not starts:
            fail("%s: its packets are not a run of the input's packets after the previous file's" % fname)
        first = min(starts, key=lambda i: abs(elapsed[i] - cut_t0))
        previous_end = first + len(mine)
        # The cut starts at the packet holding the chapter's first frame (an
        # MP3's last piece one packet earlier, so as to hold two) and ends on
        # the last packet boundary at or before the chapter's end.
        before = 2 * longest if name.endswith(".mp3") and ch is rep["chapters"][-1] else longest
        if not (ch["t0"] - before - 1e-6 <= cut_t0 <= ch["t0"] + 1e-6):
            fail("%s cut at %.3f s for a chapter at %.3f s" % (fname, cut_t0, ch["t0"]))
        if not (ch["t1"] - 2 * longest - 1e-6 <= cut_t1 <= ch["t1"] + 1e-6) and ch is not rep["chapters"][-1]:
            fail("%s cut to %.3f s for a chapter ending at %.3f s" % (fname, cut_t1, ch["t1"]))
        held = elapsed[previous_end] - elapsed[first]
        if abs(held - (cut_t1 - cut_t0)) > longest + 0.06:  # within a packet and the encoder's priming
            fail("%s holds %.3f s of packets for a cut of %.3f s" % (fname, held, cut_t1 - cut_t0))


def case_tile(exe, cwd, name, max_s):
    """split --keep-all --max-chapter MAX_S --cut-at-pause: the files hold
    every packet of the input once, in order, each file where the decoded
    audio puts it (whatever the timestamps say), none longer than MAX_S."""
    max_s = float(max_s)
    out = fresh(cwd, "tile-" + name.replace(".", "-"))
    run([exe, "split", "--quiet", "--keep-all", "--max-chapter", str(max_s), "--cut-at-pause", name, out], cwd)
    chapters = json.load(open(os.path.join(out, "chapters.json")))["chapters"]
    files = sorted(f for f in os.listdir(out) if f not in ("chapters.json", "SHA256SUMS"))
    if len(files) != len(chapters):
        fail("%d files for %d chapters" % (len(files), len(chapters)))
    source = packets(name, cwd)
    longest = max(p[1] for p in source)
    at, elapsed = 0, 0.0
    for ch, fname in zip(chapters, files):
        mine = packets(os.path.join(out, fname), cwd)
        if [p[2] for p in mine] != [p[2] for p in source[at:at + len(mine)]]:
            fail("%s does not hold the input's packets from packet %d on" % (fname, at))
        if ch["cut_t1"] - ch["cut_t0"] > max_s + 1e-9:
            fail("%s: %.4f s cut, more than %.1f s" % (fname, ch["cut_t1"] - ch["cut_t0"], max_s))
        if abs(elapsed - ch["cut_t0"]) > longest + 0.06:  # within a packet and the encoder's priming
            fail("%s starts at %.3f s of the audio, cut at %.3f s" % (fname, elapsed, ch["cut_t0"]))
        held = sum(p[1] for p in mine)
        if held > max_s + 0.06:
            fail("%s holds %.3f s of packets, more than %.1f s" % (fname, held, max_s))
        at += len(mine)
        elapsed += held
    if at != len(source):
        fail("the files hold %d of the input's %d packets" % (at, len(source)))


def case_towav(exe, cwd, name):
    rep = report(exe, cwd, name)
    out = fresh(cwd, "towav-" + name.replace(".", "-"))
    run([exe, "split", "--to-wav", name, out], cwd)
    n = len(rep["chapters"])
    names = ["ch_%03d.wav" % k for k in range(1, n + 1)]
    if sorted(os.listdir(out)) != sorted(names + ["chapters.json", "SHA256SUMS"]):
        fail("files written: %s" % sorted(os.listdir(out)))
    import struct
    rate = rep["sample_rate"]
    total = round(rep["duration_s"] * rate)
    for ch, fname in zip(rep["chapters"], names):
        data = open(os.path.join(out, fname), "rb").read()
        fmt, channels, file_rate, _, _, bits = struct.unpack("<HHIIHH", data[20:36])
        if (fmt, channels, file_rate, bits) != (1, 1, rate, 16):
            fail("%s: format %s" % (fname, (fmt, channels, file_rate, bits)))
        size = struct.unpack("<I", data[40:44])[0]
        f32 = lambda x: struct.unpack("<f", struct.pack("<f", x))[0]
        import math
        start = math.floor(f32(f32(ch["t0"]) * rate))
        end = min(math.ceil(f32(f32(ch["t1"]) * rate)), total)
        if abs(size - 2 * (end - start)) > 2:
            fail("%s: %d data bytes, expected %d" % (fname, size, 2 * (end - start)))


def decoded(path, cwd):
    """The audio of path's first stream as 64-bit floats (exact for every
    integer and float sample)."""
    # One decoding thread: FFmpeg's frame threads drop more of a damaged
    # FLAC than its decoder alone, which the program uses.
    return run(["ffmpeg", "-v", "error", "-nostdin", "-threads", "1", "-i", path, "-map", "0:a:0", "-c:a",
                "pcm_f64le", "-f", "f64le", "-"], cwd).stdout


def case_whole(exe, cwd):
    """split --keep-all keeps every frame to the last: a recording whose
    length is no whole number of 16 kHz samples (441,001 frames at 44.1 kHz)
    by the library's reader, as FLAC, and through a pipe; and a piped MP3,
    whose copy is read again as the pipe was (its padding kept), cut into
    WAV files and into packets, its last chapter running to the end."""
    ffmpeg(["-f", "lavfi", "-i", "anoisesrc=r=44100:a=0.3:d=11", "-af", "atrim=end_sample=441001",
            "-c:a", "pcm_s16le", "odd.wav"], cwd)
    ffmpeg(["-i", "odd.wav", "-c:a", "flac", "odd.flac"], cwd)
    # A Wave64 file whose data chunk says its own size (FFmpeg's writer
    # counts the alignment padding in), as sox writes it.
    run(["sox", "odd.wav", "odd.w64"], cwd)
    source = decoded("odd.wav", cwd)
    if len(source) != 441001 * 8 or decoded("odd.w64", cwd) != source:
        fail("odd.wav holds %d frames, odd.w64 %d" % (len(source) // 8, len(decoded("odd.w64", cwd)) // 8))
    for name, piped in (("odd.wav", False), ("odd.flac", False), ("odd.w64", False), ("odd.wav", True),
                        ("odd.flac", True)):
        out = fresh(cwd, "whole-" + name.replace(".", "-") + ("-piped" if piped else ""))
        with open(os.path.join(cwd, name), "rb") as f:
            # Pieces of 3 s, the last one of 1 s and a frame (odd in size).
            run([exe, "split", "-q", "--keep-all", "--max-chapter", "3", "-" if piped else name, out], cwd,
                stdin=f if piped else None)
        pieces = sorted(p for p in os.listdir(out) if p not in ("chapters.json", "SHA256SUMS"))
        got = b"".join(decoded(os.path.join(out, p), cwd) for p in pieces)
        if got != source:
            fail("split --keep-all %s%s: %d frames of 441001, %s" % (name, " (piped)" if piped else "",
                                                                   len(got) // 8, "the same" if source.startswith(got) else "others"))
    # The pipe's own decoding of the MP3: what the analysis read.
    with open(os.path.join(cwd, "tail.mp3"), "rb") as f:
        frames = len(run(["ffmpeg", "-v", "error", "-i", "-", "-f", "s16le", "-ac", "1", "-"], cwd, stdin=f).stdout) // 2
    # Standard input, and a FIFO, which cannot be opened a second time
    # either: both are copied while they are read.
    fifo = os.path.join(cwd, "tail.fifo")
    if os.path.lexists(fifo):
        os.unlink(fifo)
    os.mkfifo(fifo)
    for extra, through in ((["--to-wav"], "-"), ([], "-"), (["--to-wav"], fifo)):
        out = fresh(cwd, "whole-piped-mp3" + "".join(extra) + ("-fifo" if through == fifo else ""))
        with open(os.path.join(cwd, "tail.mp3"), "rb") as f:
            feeder = subprocess.Popen(["cp", "tail.mp3", fifo], cwd=cwd) if through == fifo else None
            proc = run([exe, "split", "-q", "--keep-all", *extra, through, out], cwd,
                       stdin=f if through == "-" else None)
            if feeder:
                feeder.wait()
        rep = json.load(open(os.path.join(out, "chapters.json")))
        if round(rep["duration_s"] * rep["sample_rate"]) != frames:
            fail("piped tail.mp3: %.6f s analysed, the pipe holds %d frames" % (rep["duration_s"], frames))
        if extra:
            total = sum(len(decoded(os.path.join(out, "ch_%03d.wav" % k), cwd)) // 8
                        for k in range(1, len(rep["chapters"]) + 1))
            if total != frames:
                fail("piped tail.mp3 --to-wav: %d frames in the pieces of %d\n%s" % (total, frames, show(proc)))


def pictures(path, cwd):
    """The MD5 of each attached picture in path."""
    out = run(["ffprobe", "-v", "error", "-show_data_hash", "MD5", "-show_entries",
               "stream=index:stream_disposition=attached_pic:packet=stream_index,data_hash", "-of", "json", path],
              cwd).stdout
    got = json.loads(out)
    pics = [s["index"] for s in got["streams"] if s["disposition"]["attached_pic"]]
    return [p["data_hash"] for p in got.get("packets", []) if p["stream_index"] in pics]


def case_cover(exe, cwd, wav):
    """The cover picture of an M4B, an MP3 and a FLAC file is kept by
    `chapters` and in every piece of `split`, the audio packets untouched."""
    ffmpeg(["-f", "lavfi", "-i", "testsrc=size=64x64:rate=1", "-frames:v", "1", "cover.png"], cwd)
    for name, codec in (("cover.m4b", ["-c:a", "aac", "-b:a", "64k"]),
                        ("cover.mp3", ["-c:a", "libmp3lame", "-b:a", "64k", "-id3v2_version", "3"]),
                        ("cover.flac", ["-c:a", "flac"])):
        ffmpeg(["-i", wav, "-i", "cover.png", "-map", "0:a", "-map", "1:v", *codec, "-c:v", "png",
                "-disposition:v", "attached_pic", name], cwd)
        want = pictures(name, cwd)
        if len(want) != 1:
            fail("%s holds %d pictures" % (name, len(want)))
        marked = os.path.join(cwd, "marked-" + name)
        if os.path.exists(marked):
            os.unlink(marked)
        run([exe, "chapters", "-q", name, "-o", marked], cwd)
        out = fresh(cwd, "cover-" + name.replace(".", "-"))
        run([exe, "split", "-q", "--keep-all", name, out], cwd)
        pieces = sorted(os.path.join(out, p) for p in os.listdir(out)
                        if p not in ("chapters.json", "SHA256SUMS"))
        for path in [marked] + pieces:
            if pictures(path, cwd) != want:
                fail("%s: pictures %s, the input's %s" % (path, pictures(path, cwd), want))
        if not name.endswith(".flac"):  # packet copies: every packet once
            got = [p[2] for piece in pieces for p in packets(piece, cwd)]
            if got != [p[2] for p in packets(name, cwd)]:
                fail("%s: the pieces' packets are not the input's" % name)


def case_mp3_lengths(exe, cwd):
    """MP3 pieces decode to their cut_t0..cut_t1 ranges, less the decoder's
    delay of 529 frames that readers of the LAME tag skip at the start of
    every piece but the first (which keeps the input's encoder delay), the
    last trimmed of the input's end padding as the input is."""
    for name, extra in (("talk.mp3", []), ("tail.mp3", []), ("talk.mp3", ["--max-chapter", "4"])):
        out = fresh(cwd, "mp3-lengths-" + name.replace(".", "-") + "".join(extra))
        run([exe, "split", "-q", "--keep-all", *extra, name, out], cwd)
        rep = json.load(open(os.path.join(out, "chapters.json")))
        rate = rep["sample_rate"]
        for k, ch in enumerate(rep["chapters"]):
            piece = os.path.join(out, "ch_%03d.mp3" % (k + 1))
            got = len(run(["ffmpeg", "-v", "error", "-i", piece, "-f", "s16le", "-ac", "1", "-"], cwd).stdout) // 2
            want = round((ch["cut_t1"] - ch["cut_t0"]) * rate) - (529 if k else 0)
            if got != want:
                fail("%s %s: %s decodes to %d frames, expected %d" % (name, " ".join(extra), piece, got, want))


def case_quiet(exe, cwd, wav):
    """A speaker at -53 dB RMS, under the default threshold: analyze warns
    that no chapter was found and names --auto (status 0); split (WAV and
    FLAC) and chapters fail (status 1) and write nothing, an earlier split
    kept; --auto finds the chapters."""
    run(["sox", wav, "quiet.wav", "gain", "-30"], cwd)
    ffmpeg(["-i", "quiet.wav", "-c:a", "flac", "quiet.flac"], cwd)
    hint = b"no chapters found: no sound above the threshold lasts long enough for one; --auto sets"
    proc = run([exe, "analyze", "quiet.wav", "quiet.flac"], cwd)
    if proc.stderr.count(hint) != 2:
        fail("analyze: no warning naming --auto\n" + show(proc))
    for name in ("quiet.wav", "quiet.flac"):
        out = fresh(cwd, "quiet-" + name.replace(".", "-"))
        proc = run([exe, "split", "-q", name, out], cwd, rc=1)
        if hint not in proc.stderr or b"nothing was written" not in proc.stderr or os.path.exists(out):
            fail("split %s: %s\n%s" % (name, os.listdir(out) if os.path.exists(out) else "no folder", show(proc)))
        run([exe, "split", "-q", "--auto", name, out], cwd)
        before = snapshot(out)
        if len(before) < 3:
            fail("split --auto %s wrote %s" % (name, sorted(before)))
        run([exe, "split", "-q", "--overwrite", name, out], cwd, rc=1)
        if snapshot(out) != before:
            fail("split --overwrite %s without chapters replaced the earlier split: %s" % (name, sorted(os.listdir(out))))
    marked = os.path.join(cwd, "quiet-marked.mka")
    if os.path.exists(marked):
        os.unlink(marked)
    proc = run([exe, "chapters", "-q", "quiet.flac", "-o", marked], cwd, rc=1)
    if hint not in proc.stderr or os.path.exists(marked):
        fail("chapters without chapters\n" + show(proc))


def stream_info(path, cwd):
    out = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
               "stream=codec_name,sample_fmt,channels,sample_rate,bits_per_raw_sample,bits_per_sample:"
               "format=duration", "-of", "json", path], cwd).stdout
    got = json.loads(out)
    return got["streams"][0], float(got["format"]["duration"])


def case_exact(exe, cwd, name, keep_all):
    """A lossless input is cut on its chapters' own frames into files of its
    codec, sample format and channels: each piece decodes to exactly the
    input's frames of its range, passes its format's checker and reports its
    own duration; with keep_all the pieces add up to the input."""
    import math
    keep_all = keep_all == "keep-all"
    out = fresh(cwd, "exact-%s-%s" % (name.replace(".", "-"), keep_all))
    run([exe, "split", "--quiet", *(["--keep-all", "--max-chapter", "5", "--cut-at-pause"] if keep_all else []),
         name, out], cwd)
    rep = json.load(open(os.path.join(out, "chapters.json")))
    files = sorted(f for f in os.listdir(out) if f not in ("chapters.json", "SHA256SUMS"))
    if len(files) != len(rep["chapters"]) or any("cut_t0" in c for c in rep["chapters"]):
        fail("files %s for %d chapters, or times cut in an exact split" % (files, len(rep["chapters"])))
    whole = decoded(name, cwd)
    source_info, _ = stream_info(name, cwd)
    frame_bytes = 8 * source_info["channels"]
    rate = rep["sample_rate"]
    total = len(whole) // frame_bytes
    if total != round(rep["duration_s"] * rate):
        fail("the input decodes to %d frames, the analysis counted %.3f s" % (total, rep["duration_s"]))
    f32 = lambda x: struct.unpack("<f", struct.pack("<f", x))[0]
    at, previous_t1 = 0, None
    for ch, fname in zip(rep["chapters"], files):
        path = os.path.join(out, fname)
        if os.path.splitext(fname)[1] != os.path.splitext(name)[1] and not name.endswith(".rf64"):
            fail("%s: not the input's container" % fname)
        info, duration = stream_info(path, cwd)
        if info != source_info:
            fail("%s: %s, the input %s" % (fname, info, source_info))
        piece = decoded(path, cwd)
        frames = len(piece) // frame_bytes
        start = math.floor(f32(f32(ch["t0"]) * rate))
        end = min(math.ceil(f32(f32(ch["t1"]) * rate)), total)
        if ch["t0"] == previous_t1:  # chapters that meet share no frame
            start = max(start, at)
            end = max(end, start)
        if keep_all and start != at:
            fail("%s starts at frame %d, the previous piece ended at %d" % (fname, start, at))
        if frames != end - start or piece != whole[start * frame_bytes:end * frame_bytes]:
            fail("%s: %d frames that are not the input's frames %d-%d" % (fname, frames, start, end))
        if abs(duration - frames / rate) > 0.5 / rate + 1e-6:
            fail("%s reports %.6f s for %d frames" % (fname, duration, frames))
        if fname.endswith(".flac"):
            run(["flac", "-t", "-s", path], cwd)
        at, previous_t1 = end, ch["t1"]
    if keep_all and at != total:
        fail("the pieces hold %d of the input's %d frames" % (at, total))


def chapter_list(path, cwd):
    out = run(["ffprobe", "-v", "error", "-show_chapters", "-of", "json", path], cwd).stdout
    return json.loads(out)["chapters"]


def case_marks(exe, cwd, name, out_name):
    rep = report(exe, cwd, name)
    out = os.path.join(cwd, out_name)
    if os.path.exists(out):
        os.remove(out)
    # What a killed run left beside the output goes; a running one's stays.
    ended = subprocess.Popen(["true"])
    ended.wait()
    dead = os.path.join(cwd, "%s.part-%d-0" % (out_name, ended.pid))
    live = os.path.join(cwd, "%s.part-%d-0" % (out_name, os.getpid()))
    for path in (dead, live):
        open(path, "wb").write(b"left")
    proc = run([exe, "chapters", "--progress", name, "-o", out_name], cwd)
    if os.path.exists(dead) or not os.path.exists(live):
        fail("a killed run's temporary file stayed, or a running one's went")
    os.remove(live)
    lines = proc.stderr.decode().splitlines()
    prefix = "silsplit: %s: " % name
    if not lines or lines[0] != prefix + "read 0%" or lines[-1] != prefix + "write 100%":
        fail("progress lines\n" + show(proc))
    marks = chapter_list(out_name, cwd)
    if len(marks) != len(rep["chapters"]):
        fail("%s: ffprobe lists %d chapters, the report has %d" % (out_name, len(marks), len(rep["chapters"])))
    for k, (m, ch) in enumerate(zip(marks, rep["chapters"])):
        start = float(m["start_time"])
        # MP4 chapter tracks begin at the start of the file.
        if not (abs(start - ch["t0"]) < 0.002 or (k == 0 and start == 0.0)):
            fail("%s: chapter %d starts at %.3f, the report says %.3f" % (out_name, k + 1, start, ch["t0"]))
        title = m.get("tags", {}).get("title")
        if title is not None and title != "Chapter %d" % (k + 1):
            fail("%s: chapter %d titled %r" % (out_name, k + 1, title))
    # The streams are copied, not re-encoded.
    if [p[2] for p in packets(out_name, cwd)] != [p[2] for p in packets(name, cwd)]:
        fail("%s: the audio packets differ from the input's" % out_name)
    # A file with chapters keeps them unless --replace.
    again = out_name + ".again" + os.path.splitext(out_name)[1]
    if os.path.exists(os.path.join(cwd, again)):
        os.remove(os.path.join(cwd, again))
    proc = run([exe, "chapters", out_name, "-o", again], cwd, rc=1)
    if b"silsplit: " + out_name.encode() + b": " not in proc.stderr or os.path.exists(os.path.join(cwd, again)):
        fail("second marking without --replace\n" + show(proc))
    run([exe, "chapters", "--replace", out_name, "-o", again], cwd)
    if len(chapter_list(again, cwd)) != len(rep["chapters"]):
        fail("--replace did not give the same chapters")
    # Only this case's own outputs: the other cases write into the same
    # folder at the same time.
    leftovers = [f for f in os.listdir(cwd)
                 if ".part" in f and (f.startswith(out_name + ".part") or f.startswith(again + ".part"))]
    if leftovers:
        fail("temporary files left: %s" % leftovers)


# ---------------------------------------------------------------------------
# Failures and interruption
# ---------------------------------------------------------------------------

def case_bad(exe, cwd):
    cases = [
        ("noise.mp3", ["analyze"]),
        ("truncated.m4a", ["analyze"]),
        ("silent-video.mkv", ["analyze"]),
        ("missing.mp3", ["analyze"]),
        ("talk.mkv", ["analyze", "--stream", "0"]),
        ("talk.mkv", ["analyze", "--stream", "7"]),
        ("noise.mp3", ["split", "out-noise"]),
        ("noise.mp3", ["chapters", "-o", "out-noise.mka"]),
    ]
    for name, args in cases:
        cmd = [exe, args[0], name] + args[1:]
        proc = run(cmd, cwd, rc=1)
        lines = proc.stderr.decode(errors="replace").strip().splitlines()
        prefix = "silsplit: %s: " % name
        if len(lines) != 1 or not lines[0].startswith(prefix) or len(lines[0]) <= len(prefix):
            fail("%s: expected one line \"%s<reason>\"\n%s" % (" ".join(cmd), prefix, show(proc)))
        if proc.stdout:
            fail("output for a failed file\n" + show(proc))
    for folder in ("out-noise",):
        path = os.path.join(cwd, folder)
        if os.path.isdir(path) and os.listdir(path):
            fail("%s holds %s after a failure" % (folder, os.listdir(path)))
    if os.path.exists(os.path.join(cwd, "out-noise.mka")):
        fail("chapters left an output after a failure")
    # A container that cannot hold the audio as it is: the message says which
    # codec, what the container holds, and what to do.
    for name, out, holds in [("streamed.wav", "refused.m4b", "pcm_s16le audio without re-encoding (it holds AAC"),
                             ("talk.m4a", "refused.mp3", "aac audio without re-encoding (it holds MP3)")]:
        proc = run([exe, "chapters", name, "-o", out], cwd, rc=1)
        if holds.encode() not in proc.stderr or b"name the output .mka" not in proc.stderr \
                or os.path.exists(os.path.join(cwd, out)):
            fail("a container that cannot hold the audio\n" + show(proc))
    proc = run([exe, "analyze", "empty-audio.mkv"], cwd, rc=1)
    if proc.stderr != b"silsplit: empty-audio.mkv: the audio stream holds no samples\n":
        fail("an audio stream without packets\n" + show(proc))
    # Damaged packets in an otherwise good stream: skipped and counted, by
    # the analysis and the split.
    for name in ("damaged.mp3", "damaged.flac"):
        proc = run([exe, "analyze", name], cwd)
        if ("silsplit: %s: skipped " % name).encode() not in proc.stderr or not json.loads(proc.stdout)["chapters"]:
            fail("damaged packets\n" + show(proc))
        proc = run([exe, "split", "--quiet", name, fresh(cwd, "out-" + name.replace(".", "-"))], cwd)
        if ("silsplit: %s: skipped " % name).encode() not in proc.stderr:
            fail("damaged packets in a split\n" + show(proc))
    # Empty standard input.
    proc = run([exe, "analyze", "-"], cwd, rc=1, stdin=subprocess.DEVNULL)
    if not proc.stderr.startswith(b"silsplit: -: "):
        fail("empty standard input\n" + show(proc))


def case_interrupt_ranges(exe, cwd):
    """Ctrl-C while an MP3 is decoded in ranges on several threads: every
    thread stops, status 130, no report."""
    ffmpeg(["-f", "lavfi", "-i", "sine=frequency=300:sample_rate=8000:duration=60,volume='lt(mod(t,21),19)':eval=frame",
            "-c:a", "libmp3lame", "-b:a", "8k", "ranges-minute.mp3"], cwd)
    with open(os.path.join(cwd, "ranges-minutes.txt"), "w") as f:
        f.write("file 'ranges-minute.mp3'\n" * 600)
    ffmpeg(["-f", "concat", "-safe", "0", "-i", "ranges-minutes.txt", "-c", "copy", "hours.mp3"], cwd)
    proc = subprocess.Popen([exe, "analyze", "--progress", "-j", "3", "hours.mp3"], cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Interrupt once the decoding has got under way.
    for line in proc.stderr:
        if line.startswith(b"silsplit: hours.mp3: read ") and not line.endswith(b" 0%\n"):
            break
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate()
    os.remove(os.path.join(cwd, "hours.mp3"))
    if proc.returncode != 130 or stdout:
        fail("exit %d after SIGINT, expected 130 and no report\n%s\n%s" % (proc.returncode, stdout, stderr))
    if b"decoding on one thread" in stderr:
        fail("the MP3 was not decoded in ranges\n%s" % stderr)


def case_cue(exe, cwd):
    """The CUE sheet's FILE line names the file's type: WAVE, MP3, AIFF, or
    BINARY for the rest."""
    for name, kind in (("talk-s16.wav", "WAVE"), ("talk.rf64", "WAVE"), ("talk.mp3", "MP3"),
                       ("talk.aiff", "AIFF"), ("talk.flac", "BINARY"), ("talk.m4a", "BINARY")):
        first = run([exe, "analyze", "-f", "cue", name], cwd).stdout.decode().splitlines()[0]
        if first != 'FILE "%s" %s' % (name, kind):
            fail("%s: %s" % (name, first))


def case_broken(exe, cwd):
    """Inputs that break off before their declared end: a warning with how
    much was read, the result of what was read, and status 1; the same
    inputs whole end cleanly, with status 0 and no warning."""
    # (input, read through a pipe, breaks off)
    cases = [("cut-talk.mp3", False, True), ("cut-talk.flac", False, True), ("cut-talk-s16.wav", False, True),
             ("cut-talk-s16.wav", True, True), ("cut-talk.opus", False, True), ("cut-page-talk.opus", False, True),
             ("cut-talk.mkv", False, True), ("cut-talk.mkv", True, True),
             ("talk-s16.wav", True, False), ("talk.opus", False, False), ("talk.mkv", False, False),
             ("talk.mkv", True, False)]
    for name, piped, broken in cases:
        shown = "-" if piped else name
        for command in ("analyze", "split"):
            out = fresh(cwd, "broken-" + name.replace(".", "-"))
            args = [exe, command, "--quiet", shown] + ([out] if command == "split" else [])
            with open(os.path.join(cwd, name), "rb") as f:
                # A real pipe, not a file: the program cannot seek in it.
                feeder = subprocess.Popen(["cat"], stdin=f, stdout=subprocess.PIPE) if piped else None
                proc = run(args, cwd, rc=1 if broken else 0, stdin=feeder.stdout if piped else None)
                if feeder:
                    feeder.stdout.close()
                    feeder.wait()
            what = "%s%s" % (" ".join(args), " (through a pipe)" if piped else "")
            warnings = [l for l in proc.stderr.decode().splitlines()
                        if l.startswith("silsplit: %s: the input breaks off" % shown)]
            if len(warnings) != (1 if broken else 0):
                fail("%s: %s warning that the input breaks off\n%s" % (what, "no" if broken else "a", show(proc)))
            if command == "analyze":
                if not json.loads(proc.stdout)["chapters"]:
                    fail("%s: no chapters\n%s" % (what, show(proc)))
            elif not os.path.exists(os.path.join(out, "chapters.json")) or len(os.listdir(out)) < 2:
                fail("%s wrote %s" % (what, os.listdir(out)))


def snapshot(folder):
    return {name: open(os.path.join(folder, name), "rb").read() for name in sorted(os.listdir(folder))}


def case_interrupt(exe, cwd):
    # An earlier split in the folder, then an --overwrite interrupted once
    # the first chapter file is being written: the earlier split stays as
    # it was, and nothing of the new one.
    out = fresh(cwd, "interrupted-split")
    run([exe, "split", "-q", "talk.flac", out], cwd)
    before = snapshot(out)
    proc = subprocess.Popen([exe, "split", "--overwrite", "long.flac", out], cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    while proc.poll() is None:
        if any(".part-" in f and not f.startswith("stdin") for f in os.listdir(out)):
            break
        time.sleep(0.001)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate()
    if proc.returncode != 130:
        fail("exit %d after SIGINT, expected 130\n%s\n%s" % (proc.returncode, stdout, stderr))
    if snapshot(out) != before:
        fail("after SIGINT the folder holds %s, before it held %s" % (sorted(os.listdir(out)), sorted(before)))


def interrupt_at(exe, cwd, args, stage, act=lambda proc: proc.send_signal(signal.SIGINT)):
    """`split --progress ARGS`, interrupted (act) at its first `stage`
    progress line (write: at 20 % or more). Its stderr is a 4 KiB pipe and
    the input (the last but one argument) is named through a 200-character
    link, so that the program, blocked on its long progress lines, is never
    more than a few lines ahead of the one read here. The exit status,
    stdout and the rest of stderr."""
    link = os.path.join(cwd, "interrupted-" + "x" * 200 + os.path.splitext(args[-2])[1])
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.path.abspath(os.path.join(cwd, args[-2])), link)
    r, w = os.pipe()
    fcntl.fcntl(r, fcntl.F_SETPIPE_SZ, 4096)
    proc = subprocess.Popen([exe, "split", "--progress"] + args[:-2] + [link, args[-1]], cwd=cwd,
                            stdout=subprocess.PIPE, stderr=w)
    os.close(w)
    marker = re.compile((r": %s (\d+)%%" % stage).encode())
    line = b""
    while True:
        m = marker.search(line)
        if m and (stage == "read" or int(m.group(1)) >= 20):
            break
        line = b""
        while not line.endswith(b"\n"):
            c = os.read(r, 1)
            if not c:
                proc.kill()
                fail("%s: no %s progress line" % (" ".join(args), stage))
            line += c
    act(proc)
    rest = b""
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            break
        rest += chunk
    os.close(r)
    out = proc.stdout.read()
    proc.wait()
    os.unlink(link)
    return proc.returncode, out, rest


def case_changed(exe, cwd):
    """An input cut short while it is split, after its analysis: every route
    (packet copy, exact, --to-wav) fails with status 1 and says so, and the
    earlier split in the folder stays as it was."""
    for name, extra in (("talk.mp3", []), ("talk.m4a", []), ("talk.flac", []), ("talk.mp3", ["--to-wav"])):
        copy = os.path.join(cwd, "changing-" + name)
        shutil.copy(os.path.join(cwd, name), copy)
        out = fresh(cwd, "changed-" + name.replace(".", "-") + "".join(extra))
        run([exe, "split", "-q", *extra, copy, out], cwd)
        before = snapshot(out)
        size = os.path.getsize(copy)
        rc, stdout, rest = interrupt_at(exe, cwd, ["--overwrite", "--keep-all", *extra, copy, out], "write",
                                        lambda proc: os.truncate(copy, size * 6 // 10))
        what = "split --keep-all %s %s cut short while it was split" % (" ".join(extra), name)
        if rc != 1 or stdout or b"the input changed while it was split" not in rest:
            fail("%s: exit %d\nstdout: %r\nstderr: %r" % (what, rc, stdout, rest[-600:]))
        if snapshot(out) != before:
            fail("%s: the folder holds %s, before it held %s" % (what, sorted(os.listdir(out)), sorted(before)))
        os.unlink(copy)


def case_keep_old(exe, cwd):
    """An --overwrite that fails or is interrupted, in the analysis or while it
    writes, leaves the earlier split as it was and no file of its own; one
    that succeeds replaces it."""
    pastend = os.path.join(cwd, "pastend.txt")
    with open(pastend, "w") as f:
        f.write("0 a\n500 b\n")
    for name, extra in (("talk.mp3", []), ("talk.flac", []), ("talk.mp3", ["--to-wav"]), ("talk.m4a", [])):
        out = fresh(cwd, "kept-" + name.replace(".", "-") + "".join(extra))
        run([exe, "split", "-q", "--max-chapter", "5", *extra, name, out], cwd)
        open(os.path.join(out, "notes.txt"), "w").write("mine")
        before = snapshot(out)
        what = "split --overwrite %s %s" % (" ".join(extra), name)

        def kept(how):
            if snapshot(out) != before:
                fail("%s %s: the folder holds %s, before it held %s"
                     % (what, how, sorted(os.listdir(out)), sorted(before)))

        # A chapter past the end: refused once the analysis is done.
        proc = run([exe, "split", "-q", "--overwrite", "--chapters", pastend, *extra, name, out], cwd, rc=1)
        if b"not before the end of the recording" not in proc.stderr:
            fail("%s with a chapter past the end\n%s" % (what, show(proc)))
        kept("with a chapter past the end")
        # The same from standard input: its copy in the folder goes too.
        with open(os.path.join(cwd, name), "rb") as f:
            run([exe, "split", "-q", "--overwrite", "--chapters", pastend, *extra, "-", out], cwd, rc=1, stdin=f)
        kept("of standard input with a chapter past the end")
        for stage in ("read", "write"):
            rc, stdout, _ = interrupt_at(exe, cwd, ["--overwrite", *extra, name, out], stage)
            if rc != 130 or stdout:
                fail("%s: exit %d after SIGINT in %s, expected 130\n%r" % (what, rc, stage, stdout))
            kept("interrupted in " + stage)
        # A split that succeeds replaces the earlier one, and nothing else.
        run([exe, "split", "-q", "--overwrite", *extra, name, out], cwd)
        left = sorted(os.listdir(out))
        chapters = json.load(open(os.path.join(out, "chapters.json")))["chapters"]
        # The pieces, chapters.json, SHA256SUMS and the user's own notes.txt.
        if len(left) != len(chapters) + 3 or "notes.txt" not in left or len(chapters) >= len(before) - 2:
            fail("%s: files after the split that succeeded: %s" % (what, left))
    # A split into a new folder that fails removes the folder it made.
    out = fresh(cwd, "kept-new-folder")
    run([exe, "split", "-q", "--chapters", pastend, "talk.mp3", out], cwd, rc=1)
    if os.path.exists(out):
        fail("a failed split left %s: %s" % (out, os.listdir(out)))


# ---------------------------------------------------------------------------
# The media module
# ---------------------------------------------------------------------------

def case_module(exe, cwd, wav):
    env = dict(os.environ, SILSPLIT_MEDIA_MODULE=os.path.join(cwd, "no-such-module.so"))

    def run_without(args, stdin=None):
        return subprocess.run([exe] + args, cwd=cwd, capture_output=True, env=env, stdin=stdin)

    # WAV files never load the module: the same output as with it.
    for args in (["analyze", wav], ["analyze", "-j", "2", "-f", "table", wav, wav],
                 ["analyze", "-f", "cue", wav]):
        got = run_without(args)
        want = run([exe] + args, cwd)
        if got.returncode != 0 or got.stdout != want.stdout or got.stderr != want.stderr:
            fail("%s without the module\n%s" % (" ".join(args), show(got)))
    out = fresh(cwd, "out-no-module-wav")
    got = run_without(["split", wav, out])
    if got.returncode != 0 or not os.path.exists(os.path.join(out, "chapters.json")):
        fail("split of a WAV file without the module\n" + show(got))
    # Every input that needs FFmpeg: one line naming the file and why.
    cases = [
        ("talk.mp3", ["analyze", "talk.mp3"], None),
        ("talk.flac", ["analyze", "-j", "2", "talk.flac", "talk.mp3"], None),
        ("streamed.wav", ["analyze", "streamed.wav"], None),
        ("-", ["analyze", "-"], "talk.flac"),
        ("talk.mp3", ["split", "talk.mp3", "out-no-module"], None),
        ("streamed.wav", ["split", "streamed.wav", "out-no-module"], None),
        ("talk.mp3", ["chapters", "talk.mp3", "-o", "out-no-module.mp3"], None),
    ]
    for name, args, stdin_name in cases:
        if stdin_name:
            with open(os.path.join(cwd, stdin_name), "rb") as f:
                got = run_without(args, stdin=f)
        else:
            got = run_without(args)
        prefix = "silsplit: %s: media support not available: " % name
        lines = got.stderr.decode(errors="replace").splitlines()
        if got.returncode != 1 or not lines or not lines[0].startswith(prefix) \
                or "no-such-module.so" not in lines[0]:
            fail("%s without the module: expected \"%s...\"\n%s" % (" ".join(args), prefix, show(got)))
    if os.path.exists(os.path.join(cwd, "out-no-module.mp3")):
        fail("chapters left an output without the module")


def case_installed(exe, build, cwd):
    import tempfile
    want = run([exe, "analyze", "talk.mp3"], cwd).stdout
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "prefix")
        run(["cmake", "--install", build, "--prefix", prefix], cwd)
        modules = [os.path.relpath(os.path.join(d, f), prefix)
                   for d, _, fs in os.walk(prefix) for f in fs if f == "silsplit-media.so"]
        if len(modules) != 1 or os.path.basename(os.path.dirname(modules[0])) != "silsplit":
            fail("installed media modules: %s" % modules)
        for place in ("prefix", "moved"):
            here = os.path.join(tmp, place)
            if here != prefix:
                os.rename(prefix, here)
            got = run([os.path.join(here, "bin", "silsplit"), "analyze", "talk.mp3"], cwd).stdout
            if got != want:
                fail("the program installed in %s reports talk.mp3 otherwise" % place)


def case_memory(exe, cwd):
    ffmpeg(["-f", "lavfi", "-i", "sine=frequency=300:sample_rate=8000:duration=60,volume='lt(mod(t,21),19)':eval=frame",
            "-c:a", "libmp3lame", "-b:a", "8k", "minute.mp3"], cwd)
    with open(os.path.join(cwd, "minutes.txt"), "w") as f:
        f.write("file 'minute.mp3'\n" * 600)
    ffmpeg(["-f", "concat", "-safe", "0", "-i", "minutes.txt", "-c", "copy", "ten-hours.mp3"], cwd)
    proc = subprocess.Popen([exe, "analyze", "-f", "table", "ten-hours.mp3"], cwd=cwd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout = proc.stdout.read()
    stderr = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    os.remove(os.path.join(cwd, "ten-hours.mp3"))
    if status != 0:
        fail("analysis failed: %r" % stderr)
    summary = stdout.decode().strip().splitlines()[-1]
    if " of 10:0" not in summary:
        fail("not ten hours long: %s" % summary)
    peak_mib = usage.ru_maxrss / 1024.0  # kilobytes on Linux
    if peak_mib > 64:
        fail("peak resident memory %.1f MiB, more than 64 MiB" % peak_mib)
    print("10-hour MP3: peak resident memory %.1f MiB; %s" % (peak_mib, summary))


def case_wavmemory(exe, cwd, route="to-wav"):
    """An hour of FLAC with a 40-minute chapter, split --keep-all in at most
    64 MiB, to WAV files (route to-wav) or to FLAC files (route flac): each
    chapter streams to its file, and the files hold every frame of the input
    once."""
    source = "hour-%s.flac" % route  # the routes' tests may run at the same time
    ffmpeg(["-f", "lavfi", "-i", "sine=frequency=300:sample_rate=8000:duration=3600,volume='lt(t,2400)+gt(t,2402)':eval=frame",
            "-c:a", "flac", source], cwd)
    out = fresh(cwd, "hour-" + route)
    proc = subprocess.Popen([exe, "split", "--quiet", *(["--to-wav"] if route == "to-wav" else []), "--keep-all",
                             source, out], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout = proc.stdout.read()
    stderr = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    os.remove(os.path.join(cwd, source))
    if status != 0:
        fail("split failed: %r %r" % (stdout, stderr))
    import struct
    sizes = []
    for fname in sorted(os.listdir(out)):
        if fname.endswith(".wav"):
            with open(os.path.join(out, fname), "rb") as f:
                sizes.append(struct.unpack("<I", f.read(44)[40:44])[0] // 2)
        elif fname.endswith(".flac"):
            run(["flac", "-t", "-s", os.path.join(out, fname)], cwd)
            with open(os.path.join(out, fname), "rb") as f:  # STREAMINFO's total samples
                info = f.read(26)[18:26]
                sizes.append(int.from_bytes(info, "big") & ((1 << 36) - 1))
    shutil.rmtree(os.path.join(cwd, out))
    if sum(sizes) != 3600 * 8000 or max(sizes) < 2400 * 8000:
        fail("chapter frames %s, expected a 40-minute chapter and %d in all" % (sizes, 3600 * 8000))
    peak_mib = usage.ru_maxrss / 1024.0  # kilobytes on Linux
    if peak_mib > 64:
        fail("peak resident memory %.1f MiB, more than 64 MiB" % peak_mib)
    print("1-hour FLAC, %s: %d chapters, peak resident memory %.1f MiB" % (route, len(sizes), peak_mib))


def case_wrapped(exe, cwd):
    """A WAV file of just over 4 GiB whose size fields wrapped past 2^32 (as
    sox writes them), made sparse: 37 hours of 16 kHz mono with a tone near
    each end. The analysis reads it to its end and names the wrapped size.
    Skipped (77) where the filesystem cannot make a sparse file."""
    rate, extra = 16000, 16000 * 2 * 10
    data_bytes = (1 << 32) + extra
    path = os.path.join(cwd, "wrapped-37h.wav")
    tone = b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate))) for i in range(rate * 3))
    try:
        with open(path, "wb") as f:
            f.truncate(44 + data_bytes)
            f.write(b"RIFF" + struct.pack("<I", (36 + data_bytes) & 0xFFFFFFFF) + b"WAVE" +
                    b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) +
                    b"data" + struct.pack("<I", data_bytes & 0xFFFFFFFF))
            f.seek(44 + rate * 2 * 2)
            f.write(tone)
            f.seek(44 + data_bytes - rate * 2 * 5)
            f.write(tone)
        if os.stat(path).st_blocks * 512 > 64 << 20:
            print("skipped: the filesystem made no sparse file")
            os.remove(path)
            sys.exit(77)
        proc = run([exe, "analyze", os.path.basename(path)], cwd)
    finally:
        if os.path.exists(path):
            os.remove(path)
    got = json.loads(proc.stdout)
    length = struct.unpack("<f", struct.pack("<f", data_bytes / 2 / rate))[0]  # the report's 32-bit float
    if got["duration_s"] != length:
        fail("%.3f s analysed of %.3f s" % (got["duration_s"], length))
    if ("the data size says %d bytes, the file holds %d" % (extra, data_bytes)).encode() not in proc.stderr:
        fail("no warning naming the wrapped size\n" + show(proc))


def main():
    argv = sys.argv[1:]
    mode = argv[0]
    cases = {"fixtures": case_fixtures, "match": case_match, "same": case_same, "stdin": case_stdin, "split": case_split,
             "tile": case_tile, "towav": case_towav, "ranges": case_ranges, "marks": case_marks, "bad": case_bad, "interrupt": case_interrupt,
             "interrupt-ranges": case_interrupt_ranges, "keep-old": case_keep_old,
             "changed": case_changed, "whole": case_whole, "cover": case_cover,
             "mp3-lengths": case_mp3_lengths, "quiet": case_quiet,


             "tile": case_tile, "exact": case_exact, "towav": case_towav, "marks": case_marks, "bad": case_bad, "broken": case_broken, "cue": case_cue, "interrupt": case_interrupt,
             "module": case_module, "installed": case_installed, "memory": case_memory,
             "wavmemory": case_wavmemory, "wrapped": case_wrapped}
    if mode not in cases:
        fail("unknown mode " + mode)
    cases[mode](*argv[1:])


if __name__ == "__main__":
    main()
