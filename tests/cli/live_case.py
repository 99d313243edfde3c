#!/usr/bin/env python3
"""Checks `silsplit split --live` with WAV fed through a pipe.

  live_case.py identity EXE DIR
      the files and chapters.json written live from a pipe are byte for byte
      those of the offline split of the same WAV file (16-bit mono, 24-bit
      stereo at 44.1 kHz, 32-bit float), with fixed options, --max-chapter
      and --mono16; --auto refused, --keep-all cut at the end; past the
      chapter limit, status 1 with the 10000 files written listed.
  live_case.py latency EXE DIR
      a feeder writes the WAV chunk by chunk (0.1 s of audio each) and
      waits, before each chunk, for every chapter file whose boundary became
      certain at least 1.0 s of audio earlier: each piece exists by then,
      measured against the audio written so far (the wait only guards
      against a hang).
  live_case.py follow EXE DIR
      `split --follow` of a WAV file another process is still writing
      (header sizes 0): the pieces appear while it grows; it ends when the
      writer puts the final size into the header, or (a writer that never
      does) after --follow-timeout seconds without growth. Either way the
      files are those of the offline split of the finished file.
  live_case.py interrupt EXE DIR
      Ctrl-C at 20 points: status 130, every listed piece complete and
      valid, chapters.json lists exactly the pieces, no temporary file left.

The recordings are made by sox: bursts of noise between quiet pauses.
"""
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import time
import wave

# Sounds and pauses (seconds): a chapter per sound, one sound longer than
# 30 s for the pieces of --max-chapter.
PARTS = [(0.5, 0), (8.0, 1), (2.0, 0), (6.5, 1), (1.5, 0), (34.0, 1), (2.5, 0), (7.0, 1),
         (1.2, 0), (9.0, 1), (3.0, 0)]


def make(path, rate, channels, bits, encoding="signed-integer"):
    parts = []
    for k, (s, loud) in enumerate(PARTS):
        p = "%s.%d.wav" % (path, k)
        subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-b", str(bits),
                        "-e", encoding, p, "synth", str(s), "whitenoise", "vol",
                        "0.3" if loud else "0.0003"], check=True)
        parts.append(p)
    subprocess.run(["sox"] + parts + [path], check=True)
    for p in parts:
        os.remove(p)


def split(exe, src, out, args, live):
    if os.path.exists(out):
        shutil.rmtree(out)
    if live:
        with open(src, "rb") as f:
            r = subprocess.run([exe, "split", "-q", "--live"] + args + ["-", out], stdin=f,
                               capture_output=True, text=True)
    else:
        # A live split writes no checksum manifest: compare the rest.
        r = subprocess.run([exe, "split", "-q", "--no-manifest"] + args + [src, out],
                           capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("split %s failed (%d): %s" % (args, r.returncode, r.stderr))
    return sorted(os.listdir(out))


def identity(exe, d):
    inputs = [("m16.wav", 16000, 1, 16, "signed-integer"),
              ("s24.wav", 44100, 2, 24, "signed-integer"),
              ("f32.wav", 48000, 2, 32, "floating-point")]
    for name, rate, ch, bits, enc in inputs:
        src = os.path.join(d, name)
        make(src, rate, ch, bits, enc)
        for args in ([], ["--max-chapter", "10"], ["--padding", "0", "--min-chapter", "1"],
                     ["--mono16", "--max-chapter", "30"]):
            a = split(exe, src, os.path.join(d, "off"), args, False)
            b = split(exe, src, os.path.join(d, "live"), args, True)
            if a != b:
                sys.exit("%s %s: files differ: %s / %s" % (name, args, a, b))
            for f in a:
                x = open(os.path.join(d, "off", f), "rb").read()
                y = open(os.path.join(d, "live", f), "rb").read()
                if x != y:
                    sys.exit("%s %s: %s differs from the offline split's" % (name, args, f))
            print("%s %s: %d files identical" % (name, args, len(a)))
    # --auto is refused; options decided from the whole recording say so
    # and give the offline split's files.
    src = os.path.join(d, "m16.wav")
    out = os.path.join(d, "auto")
    shutil.rmtree(out, ignore_errors=True)
    with open(src, "rb") as f:
        r = subprocess.run([exe, "split", "-q", "--live", "--auto", "-", out], stdin=f,
                           capture_output=True, text=True)
    if r.returncode != 2 or "--auto is not decided live yet" not in r.stderr \
            or os.path.exists(out):
        sys.exit("--live --auto: status %d, %s" % (r.returncode, r.stderr))
    a = split(exe, src, os.path.join(d, "off"), ["--keep-all"], False)
    shutil.rmtree(os.path.join(d, "live-all"), ignore_errors=True)
    with open(src, "rb") as f:
        r = subprocess.run([exe, "split", "-q", "--live", "--keep-all", src,
                            os.path.join(d, "live-all")], capture_output=True, text=True)
    if r.returncode != 0 or "keep_all needs the whole recording" not in r.stderr:
        sys.exit("--live --keep-all: status %d, %s" % (r.returncode, r.stderr))
    for f in a:
        if open(os.path.join(d, "off", f), "rb").read() != \
                open(os.path.join(d, "live-all", f), "rb").read():
            sys.exit("--live --keep-all: %s differs from the offline split's" % f)
    print("--auto refused; --keep-all cut at the end, as offline")
    # Past the chapter limit the split fails as offline, and the 10000
    # files written stay, listed.
    lim = os.path.join(d, "limit")
    shutil.rmtree(lim, ignore_errors=True)
    with open(src, "rb") as f:
        r = subprocess.run([exe, "split", "-q", "--live", "--max-chapter", "0.003",
                            "--min-chapter", "1", "-", lim], stdin=f, capture_output=True,
                           text=True)
    if r.returncode != 1 or "chapter count exceeds 10000" not in r.stderr:
        sys.exit("limit: status %d, %s" % (r.returncode, r.stderr))
    if check_folder(lim, "limit") != 10000:
        sys.exit("limit: not the 10000 files")
    print("limit: status 1, the 10000 files written listed")


def stream_header(src):
    """The WAV's header with the sizes a streaming writer leaves, its frames."""
    with wave.open(src, "rb") as w:
        rate, ch, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
        frames = w.readframes(w.getnframes())
    fmt = struct.pack("<HHIIHH", 1, ch, rate, rate * ch * width, ch * width, 8 * width)
    head = (b"RIFF" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + b"fmt " +
            struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", 0xFFFFFFFF))
    return head, frames, rate, ch * width


def certain_times(report, opts):
    """When each chapter's boundary becomes certain, in seconds of audio: a
    chapter end once the pause after it is min_silence_s long and its padding
    heard; a piece of the maximum once the audio reaches its end and the
    sound it ends in is sure to be a chapter (min_chapter_s long)."""
    starts, at = [], 0.0
    for s, loud in PARTS:
        if loud:
            starts.append(at)
        at += s
    ch = report["chapters"]
    out = []
    for i, c in enumerate(ch):
        piece = i + 1 < len(ch) and ch[i + 1]["t0"] == c["t1"]
        sound = max([t for t in starts if t <= c["t1"]] or [0.0])
        out.append(max(c["t1"], sound + opts["min_chapter"]) if piece
                   else c["t1"] + opts["pad"] + opts["min_silence"])
    return out


def latency(exe, d):
    src = os.path.join(d, "lat.wav")
    make(src, 16000, 1, 16)
    for args, opts in (([], {"pad": 0.25, "min_silence": 0.8, "min_chapter": 5}),
                       (["--max-chapter", "5"],
                        {"pad": 0.25, "min_silence": 0.8, "min_chapter": 5})):
        split(exe, src, os.path.join(d, "off"), args, False)
        report = json.load(open(os.path.join(d, "off", "chapters.json")))
        certain = certain_times(report, opts)
        out = os.path.join(d, "live")
        shutil.rmtree(out, ignore_errors=True)
        head, frames, rate, fb = stream_header(src)
        p = subprocess.Popen([exe, "split", "-q", "--live"] + args + ["-", out],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        p.stdin.write(head)
        chunk = rate // 10 * fb
        for at in range(0, len(frames), chunk):
            written_s = at / fb / rate
            for i, t in enumerate(certain[:-1]):
                if t + 1.0 > written_s:
                    continue
                name = os.path.join(out, "ch_%03d.wav" % (i + 1))
                deadline = time.monotonic() + 20
                while not os.path.exists(name):
                    if time.monotonic() > deadline:
                        p.kill()
                        sys.exit("%s: ch_%03d.wav (certain at %.2f s) missing with %.2f s "
                                 "written" % (args, i + 1, t, written_s))
                    time.sleep(0.01)
            p.stdin.write(frames[at:at + chunk])
            p.stdin.flush()
        p.stdin.close()
        if p.wait() != 0:
            sys.exit("live split failed: %s" % p.stderr.read())
        live = sorted(os.listdir(out))
        if live != sorted(os.listdir(os.path.join(d, "off"))):
            sys.exit("%s: live files %s" % (args, live))
        print("%s: %d pieces, each within 1.0 s of audio after it became certain"
              % (args, len(live) - 1))


def follow(exe, d):
    src = os.path.join(d, "fol.wav")
    make(src, 16000, 1, 16)
    split(exe, src, os.path.join(d, "off"), [], False)
    want = sorted(os.listdir(os.path.join(d, "off")))
    head, frames, rate, fb = stream_header(src)
    head = head[:4] + struct.pack("<I", 0) + head[8:-4] + struct.pack("<I", 0)
    chunk = rate * fb  # a second of audio a time
    for final_header in (True, False):
        grow = os.path.join(d, "grow-%d.wav" % final_header)
        out = os.path.join(d, "fol-%d" % final_header)
        shutil.rmtree(out, ignore_errors=True)
        with open(grow, "wb") as g:
            g.write(head)
            g.write(frames[:chunk])
            g.flush()
            p = subprocess.Popen([exe, "split", "-q", "--follow", "--follow-timeout", "1.5",
                                  grow, out], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            seen_early = False
            for at in range(chunk, len(frames), chunk):
                # The pieces come while the file grows: wait (a hang guard only)
                # for the first one once half the recording is written.
                if at >= len(frames) // 2 and not seen_early:
                    deadline = time.monotonic() + 20
                    while not os.path.exists(os.path.join(out, "ch_001.wav")):
                        if time.monotonic() > deadline:
                            p.kill()
                            sys.exit("follow: no piece while the file grows")
                        time.sleep(0.01)
                    seen_early = True
                g.write(frames[at:at + chunk])
                g.flush()
                time.sleep(0.02)
            if final_header:
                g.seek(4)
                g.write(struct.pack("<I", len(head) - 8 + len(frames)))
                g.seek(len(head) - 4)
                g.write(struct.pack("<I", len(frames)))
                g.flush()
        rc = p.wait(timeout=60)
        if rc != 0:
            sys.exit("follow: status %d: %s" % (rc, p.stderr.read()))
        got = sorted(os.listdir(out))
        if got != want:
            sys.exit("follow: files %s, offline %s" % (got, want))
        for f in want:
            if open(os.path.join(out, f), "rb").read() != \
                    open(os.path.join(d, "off", f), "rb").read():
                sys.exit("follow: %s differs from the offline split's" % f)
        print("follow (%s): %d files identical" %
              ("ended by the final header" if final_header else "ended by the timeout",
               len(want)))


def check_folder(out, what):
    names = sorted(os.listdir(out)) if os.path.isdir(out) else []
    temps = [n for n in names if ".part-" in n]
    if temps:
        sys.exit("%s: temporary files left: %s" % (what, temps))
    pieces = sorted((n for n in names if n.startswith("ch_")),
                    key=lambda n: int(n[3:n.index(".")]))
    if not pieces:
        if "chapters.json" in names:
            sys.exit("%s: chapters.json without pieces" % what)
        return 0
    listed = json.load(open(os.path.join(out, "chapters.json")))["chapters"]
    if ["ch_%03d.wav" % c["i"] for c in listed] != pieces:
        sys.exit("%s: chapters.json lists %d, the folder holds %d pieces (%s ...)"
                 % (what, len(listed), len(pieces), pieces[:5]))
    for n, c in zip(pieces, listed):
        with wave.open(os.path.join(out, n), "rb") as w:
            got = w.getnframes()
            data = w.readframes(got)
            if len(data) != got * w.getsampwidth() * w.getnchannels():
                sys.exit("%s: %s is short" % (what, n))
    return len(pieces)


def interrupt(exe, d):
    src = os.path.join(d, "int.wav")
    make(src, 44100, 2, 16)
    head, frames, rate, fb = stream_header(src)
    chunk = rate // 10 * fb
    rnd = random.Random(33)
    for stop_s in sorted(round(rnd.uniform(1.0, 75.0), 1) for _ in range(20)):
        out = os.path.join(d, "int-%.1f" % stop_s)
        shutil.rmtree(out, ignore_errors=True)
        p = subprocess.Popen([exe, "split", "-q", "--live", "--max-chapter", "10", "-", out],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        p.stdin.write(head)
        end = min(len(frames), int(stop_s * rate) * fb)
        for at in range(0, end, chunk):
            p.stdin.write(frames[at:min(at + chunk, end)])
        p.stdin.flush()
        time.sleep(0.1)  # let it read some of what came (the result holds either way)
        p.send_signal(signal.SIGINT)
        rc = p.wait(timeout=20)
        p.stdin.close()
        if rc != 130:
            sys.exit("Ctrl-C at %.0f s: status %d: %s" % (stop_s, rc, p.stderr.read()))
        n = check_folder(out, "Ctrl-C at %.0f s" % stop_s)
        print("Ctrl-C at %.0f s: status 130, %d complete pieces listed" % (stop_s, n))


def main():
    cmd, exe, d = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(d, exist_ok=True)
    {"identity": identity, "latency": latency, "follow": follow,
     "interrupt": interrupt}[cmd](exe, d)


if __name__ == "__main__":
    main()
