#!/usr/bin/env python3
"""What a split delivers beside its chapter files, checked with real tools.

  deliver_case.py manifest EXE DIR WAV
      splits DIR/WAV (the library's WAV route) and an MP3 made from it (the
      packet-copy route): each folder holds SHA256SUMS, which `sha256sum -c`
      accepts and `silsplit verify` passes; one flipped byte in any listed
      file, a missing piece, or a piece left out of the manifest fails verify
      with that file named; --original finds a changed sample even when the
      manifest was made again to match it; --manifest and --no-manifest.
  deliver_case.py loudness EXE DIR WAV...
      splits each DIR/WAV, and MP3, FLAC and M4A files made from the first
      two, with --loudness --true-peak: each chapter's integrated loudness in
      chapters.json is within 0.1 LU of what `ffmpeg -af ebur128` measures on
      its chapter file, its true peak within 0.3 dB of ffmpeg's.
  deliver_case.py check EXE DIR
      a recording made of pieces that each break one rule of --check
      audiobook (and one that breaks none), cut at given chapters: the report
      and the table (of analyze, and of chapters) name exactly the rules each
      piece fails; exit status 3, or 0 when every piece passes.
  deliver_case.py flac EXE DIR WAV...
      splits each DIR/WAV (integer samples) with --to flac --keep-all: every
      piece passes `flac -t`, keeps the recording's channels, rate and bits,
      and the pieces decoded by flac, one after the other, are the
      recording's data chunk byte for byte; verify --original agrees, and
      finds a piece put in another's place; inputs FLAC cannot hold exactly
      are refused.
"""
import json
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def show(proc):
    return "exit %d\nstdout: %s\nstderr: %s" % (proc.returncode, proc.stdout, proc.stderr)


def run(args, cwd, rc=0):
    proc = subprocess.run(args, cwd=cwd, capture_output=True)
    if proc.returncode != rc:
        fail("%s: expected exit %d\n%s" % (" ".join(args), rc, show(proc)))
    return proc


def fresh(cwd, name):
    path = os.path.join(cwd, name)
    shutil.rmtree(path, ignore_errors=True)
    return path


def manifest_names(folder, name="SHA256SUMS"):
    return [line.split("  ", 1)[1] for line in open(os.path.join(folder, name)).read().splitlines()]


def flip(path, at=None):
    data = bytearray(open(path, "rb").read())
    k = len(data) // 2 if at is None else at
    data[k] ^= 0x01
    open(path, "wb").write(bytes(data))


def check_folder(exe, cwd, out, pieces, original=None):
    """out holds pieces + chapters.json and a manifest of them all; every
    way of breaking one file is caught and names it."""
    names = manifest_names(out)
    if names != pieces + ["chapters.json"]:
        fail("%s lists %s, expected %s" % (out, names, pieces + ["chapters.json"]))
    run(["sha256sum", "--strict", "-c", "SHA256SUMS"], out)
    extra = ["--original", original] if original else []
    proc = run([exe, "verify", out] + extra, cwd)
    if ("%d of %d files match" % (len(names), len(names))).encode() not in proc.stdout:
        fail("verify of an intact folder\n" + show(proc))
    # One flipped byte in any listed file.
    broken = out + "-broken"
    for name in names:
        shutil.rmtree(broken, ignore_errors=True)
        shutil.copytree(out, broken)
        flip(os.path.join(broken, name))
        proc = run([exe, "verify", broken], cwd, rc=1)
        if ("%s: checksum differs" % os.path.join(broken, name)).encode() not in proc.stderr:
            fail("a flipped byte in %s was not named\n%s" % (name, show(proc)))
    # A missing piece.
    shutil.rmtree(broken, ignore_errors=True)
    shutil.copytree(out, broken)
    os.unlink(os.path.join(broken, pieces[-1]))
    proc = run([exe, "verify", broken], cwd, rc=1)
    if ("%s: missing" % os.path.join(broken, pieces[-1])).encode() not in proc.stderr:
        fail("a missing piece was not named\n" + show(proc))
    # A piece left out of the manifest (its line removed).
    shutil.rmtree(broken, ignore_errors=True)
    shutil.copytree(out, broken)
    lines = open(os.path.join(broken, "SHA256SUMS")).read().splitlines(True)
    open(os.path.join(broken, "SHA256SUMS"), "w").write("".join(lines[1:]))
    proc = run([exe, "verify", broken], cwd, rc=1)
    if ("%s: not in the manifest" % os.path.join(broken, pieces[0])).encode() not in proc.stderr:
        fail("a piece left out of the manifest was not named\n" + show(proc))
    shutil.rmtree(broken)


def case_manifest(exe, cwd, wav):
    # The WAV route: the library's frame ranges, pieces in the input's format.
    out = fresh(cwd, "deliver-wav")
    run([exe, "split", "-q", wav, out], cwd)
    pieces = sorted(f for f in os.listdir(out) if f.endswith(".wav"))
    check_folder(exe, cwd, out, pieces, original=wav)
    proc = run([exe, "verify", out, "--original", wav], cwd)
    if ("%d of %d pieces equal" % (len(pieces), len(pieces))).encode() not in proc.stdout:
        fail("--original on intact pieces\n" + show(proc))

    # A missing piece: named, and the others still compared.
    gone = fresh(cwd, "deliver-wav-gone")
    shutil.copytree(out, gone)
    os.unlink(os.path.join(gone, pieces[0]))
    proc = run([exe, "verify", gone, "--original", wav], cwd, rc=1)
    if (("%s: missing" % os.path.join(gone, pieces[0])).encode() not in proc.stderr
            or ("%d of %d pieces equal" % (len(pieces) - 1, len(pieces))).encode() not in proc.stdout):
        fail("--original with a missing piece\n" + show(proc))

    # A changed sample with a manifest made again to match: only the
    # comparison with the original finds it, and names the frame.
    changed = fresh(cwd, "deliver-wav-resampled")
    shutil.copytree(out, changed)
    flip(os.path.join(changed, pieces[1]), at=44 + 2 * 1000)  # a sample byte well inside the data
    sums = subprocess.run(["sha256sum"] + pieces + ["chapters.json"], cwd=changed, capture_output=True,
                          check=True).stdout
    open(os.path.join(changed, "SHA256SUMS"), "wb").write(sums)
    run([exe, "verify", changed], cwd)
    proc = run([exe, "verify", changed, "--original", wav], cwd, rc=1)
    if ("%s: frame " % os.path.join(changed, pieces[1])).encode() not in proc.stderr:
        fail("a changed sample was not found by --original\n" + show(proc))
    # Pieces that are not in the original's format cannot be compared: said.
    mono = fresh(cwd, "deliver-wav-mono16")
    run([exe, "split", "-q", "--mono16", wav, mono], cwd)
    run([exe, "verify", mono], cwd)
    proc = run([exe, "verify", mono, "--original", wav], cwd, rc=1)
    if b"not in the original's sample format" not in proc.stderr:
        fail("--original on 16-bit mono pieces of a stereo input\n" + show(proc))

    # The packet-copy route, from an MP3 of the same recording.
    mp3 = os.path.join(cwd, "deliver.mp3")
    run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", wav, "-c:a", "libmp3lame", "-b:a", "64k",
         mp3], cwd)
    out = fresh(cwd, "deliver-mp3")
    run([exe, "split", "-q", mp3, out], cwd)
    pieces = sorted(f for f in os.listdir(out) if f.endswith(".mp3"))
    if not pieces:
        fail("no MP3 pieces")
    check_folder(exe, cwd, out, pieces)

    # A name sha256sum has to escape, a manifest of another name, none.
    out = fresh(cwd, "deliver-named")
    run([exe, "split", "-q", "--manifest", "checksums.sha256", "--name-template", "{n}\\back", wav, out], cwd)
    if os.path.exists(os.path.join(out, "SHA256SUMS")):
        fail("SHA256SUMS written beside --manifest checksums.sha256")
    run(["sha256sum", "--strict", "-c", "checksums.sha256"], out)
    run([exe, "verify", "--manifest", "checksums.sha256", out], cwd)
    run([exe, "verify", out], cwd, rc=1)  # no SHA256SUMS there
    out = fresh(cwd, "deliver-none")
    run([exe, "split", "-q", "--no-manifest", wav, out], cwd)
    if sorted(os.listdir(out)) != pieces_and_report(out):
        fail("--no-manifest wrote %s" % sorted(os.listdir(out)))
    # An earlier split's manifest goes with --overwrite, even without a new one.
    out = fresh(cwd, "deliver-again")
    run([exe, "split", "-q", wav, out], cwd)
    run([exe, "split", "-q", wav, out], cwd, rc=1)
    run([exe, "split", "-q", "--overwrite", "--no-manifest", wav, out], cwd)
    if os.path.exists(os.path.join(out, "SHA256SUMS")):
        fail("--overwrite --no-manifest kept the earlier split's SHA256SUMS")
    run([exe, "split", "-q", "--manifest", "x/y", wav, fresh(cwd, "deliver-bad")], cwd, rc=2)


def pieces_and_report(out):
    return sorted(f for f in os.listdir(out) if f.endswith(".wav")) + ["chapters.json"]


def ffmpeg_r128(path):
    """ffmpeg's integrated loudness (to 0.001 LU, from the filter's frame
    metadata: its summary rounds to 0.1) and true peak of a file."""
    proc = subprocess.run(["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-i", path, "-af",
                           "ebur128=peak=true:metadata=1,ametadata=mode=print:key=lavfi.r128.I",
                           "-f", "null", "-"], capture_output=True, text=True)
    summary = proc.stderr[proc.stderr.rfind("Summary:"):]
    i = list(re.finditer(r"lavfi\.r128\.I=(-?[\d.]+|-inf)", proc.stderr))
    i = i[-1] if i else None
    peak = re.search(r"True peak:\s+Peak:\s+(-?[\d.]+|-inf) dBFS", summary)
    if proc.returncode != 0 or not i or not peak:
        fail("ffmpeg ebur128 on %s\n%s" % (path, proc.stderr[-800:]))
    return float(i.group(1)), float(peak.group(1))


def case_loudness(exe, cwd, *wavs):
    # The media route too: the first recording as MP3 and FLAC, the second
    # as AAC in M4A (one more decoding pass, over the frames each piece holds).
    encoded = []
    for wav, ext, codec in [(wavs[0], "mp3", ["-c:a", "libmp3lame", "-b:a", "96k"]),
                            (wavs[0], "flac", []), (wavs[1], "m4a", ["-c:a", "aac", "-b:a", "192k"])]:
        name = os.path.join(cwd, "loudness-input-%s.%s" % (ext, ext))
        run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", wav] + codec + [name], cwd)
        encoded.append(name)
    for wav in list(wavs) + encoded:
        out = fresh(cwd, "loudness-" + os.path.basename(wav).replace(".", "-"))
        proc = run([exe, "split", "-q", "--loudness", "--true-peak", wav, out], cwd)
        if b"LUFS" not in proc.stdout:
            fail("no levels table\n" + show(proc))
        chapters = json.load(open(os.path.join(out, "chapters.json")))["chapters"]
        pieces = sorted(f for f in os.listdir(out) if f.startswith("ch_"))
        if len(pieces) != len(chapters):
            fail("%s: %d pieces for %d chapters" % (out, len(pieces), len(chapters)))
        run([exe, "verify", out], cwd)  # the manifest covers the chapters.json with levels
        for ch, name in zip(chapters, pieces):
            piece = os.path.join(out, name)
            lufs, true_peak = ffmpeg_r128(piece)
            ours = ch["levels"]
            if ours["integrated_lufs"] is None or abs(ours["integrated_lufs"] - lufs) > 0.1:
                fail("%s: %s LUFS, ffmpeg %s" % (piece, ours["integrated_lufs"], lufs))
            if abs(ours["true_peak_db"] - true_peak) > 0.3:
                fail("%s: true peak %s dB, ffmpeg %s" % (piece, ours["true_peak_db"], true_peak))
            if not ours["peak_db"] <= ours["true_peak_db"] + 1e-9:
                fail("%s: sample peak above the true peak: %s" % (piece, ours))


RATE = 48000

# Pieces of the check's recording: (name, head s, tone s, tail s, tone RMS
# dB over the whole piece, room tone dB, click dBFS or None) and the rules
# each must fail. A tone is a square wave (its RMS is its amplitude) in both
# channels; room tone is white noise.
PIECES = [
    ("pass",       0.75, 3.0, 2.0, -20.0, -70.0, None, []),
    ("quiet",      0.75, 3.0, 2.0, -28.0, -70.0, None, ["rms"]),
    ("loud",       0.75, 3.0, 2.0, -15.0, -70.0, None, ["rms"]),
    ("click",      0.75, 3.0, 2.0, -20.0, -70.0, -1.0, ["peak"]),
    ("noisy",      0.75, 3.0, 2.0, -20.0, -50.0, None, ["noise_floor"]),
    ("head-short", 0.20, 3.0, 2.0, -20.0, -70.0, None, ["head"]),
    ("head-long",  1.50, 3.0, 2.0, -20.0, -70.0, None, ["head"]),
    ("tail-short", 0.75, 3.0, 0.5, -20.0, -70.0, None, ["tail"]),
    ("tail-long",  0.75, 3.0, 6.0, -20.0, -70.0, None, ["tail"]),
]


def check_recording(path, pieces):
    """A 48 kHz 16-bit stereo WAV of the pieces one after the other; the
    label track of their chapters."""
    rng = random.Random(7)
    frames = []
    labels = []
    t = 0
    for name, head, tone, tail, rms, room, click, _ in pieces:
        total = head + tone + tail
        # The square wave's amplitude that gives the piece this RMS (the
        # room tone adds next to nothing).
        amp = 10 ** ((rms - 10 * math.log10(tone / total)) / 20)
        noise = 10 ** (room / 20) * math.sqrt(3)  # uniform noise of that RMS
        n_head, n_tone, n_tail = (int(round(x * RATE)) for x in (head, tone, tail))
        for k in range(n_head + n_tone + n_tail):
            x = rng.uniform(-noise, noise)
            if n_head <= k < n_head + n_tone:
                x += amp if (k // 60) % 2 == 0 else -amp  # 400 Hz
            if click is not None and k == n_head + n_tone // 2:
                x = 10 ** (click / 20)
            frames.append(max(-32768, min(32767, int(round(x * 32768)))))
        labels.append("%.6f\t%.6f\t%s" % (t / RATE, len(frames) / RATE, name))
        t = len(frames)
    with open(path, "wb") as f:
        data = b"".join(struct.pack("<hh", s, s) for s in frames)
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
                struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * 4, 4, 16) + b"data" +
                struct.pack("<I", len(data)) + data)
    return "\n".join(labels) + "\n"


def case_check(exe, cwd):
    wav = os.path.join(cwd, "check-pieces.wav")
    labels = os.path.join(cwd, "check-pieces.txt")
    open(labels, "w").write(check_recording(wav, PIECES))
    proc = run([exe, "analyze", "--check", "audiobook", "--chapters", labels, wav], cwd, rc=3)
    report = json.loads(proc.stdout)
    chapters = report["chapters"]
    if len(chapters) != len(PIECES):
        fail("%d chapters for %d pieces" % (len(chapters), len(PIECES)))
    for ch, piece in zip(chapters, PIECES):
        if ch["check"]["failed"] != piece[-1] or ch["check"]["pass"] != (not piece[-1]):
            fail("%s: fails %s, expected %s; levels %s" % (piece[0], ch["check"]["failed"], piece[-1],
                                                            ch["levels"]))
    if report["check"] != {"profile": "audiobook", "pieces": len(PIECES),
                           "failed": sum(1 for p in PIECES if p[-1])}:
        fail("the report's check: %s" % report["check"])
    # The table says the same, one line per piece; so does chapters, of the
    # chapters it marks.
    marked = os.path.join(cwd, "check-marked.mka")
    for args in (["analyze", "-f", "table"], ["chapters", "-q", "-o", marked]):
        if os.path.exists(marked):
            os.unlink(marked)
        proc = run([exe] + args + ["--check", "audiobook", "--chapters", labels, wav], cwd, rc=3)
        lines = proc.stdout.decode().splitlines()
        verdicts = [line[line.rindex("  ") + 2:] for line in lines
                    if re.match(r"^\s+\d+\s+-?[\d.]+\s+-", line)]
        want = ["pass" if not p[-1] else "FAIL " + " ".join(p[-1]) for p in PIECES]
        if verdicts != want:
            fail("%s: table verdicts %s, expected %s\n%s" % (args[0], verdicts, want, proc.stdout.decode()))
    # A split with --check writes everything, then exits 3; a recording of
    # passing pieces only exits 0.
    out = fresh(cwd, "check-split")
    run([exe, "split", "-q", "--check", "audiobook", "--chapters", labels, wav, out], cwd, rc=3)
    run([exe, "verify", out], cwd)
    good = os.path.join(cwd, "check-good.wav")
    open(labels, "w").write(check_recording(good, [PIECES[0], PIECES[0]]))
    run([exe, "analyze", "--check", "audiobook", "--chapters", labels, good], cwd)
    # Levels show in json and table only; standard input cannot be read twice.
    run([exe, "analyze", "-f", "cue", "--loudness", good], cwd, rc=2)
    proc = subprocess.run([exe, "analyze", "--loudness", "-"], cwd=cwd, stdin=open(good, "rb"),
                          capture_output=True)
    if proc.returncode != 1 or b"standard input" not in proc.stderr:
        fail("--loudness on standard input\n" + show(proc))


def wav_data(path):
    """The data chunk of a WAV file and its fmt chunk's channels, rate, bits."""
    raw = open(path, "rb").read()
    at, fmt, data = 12, None, None
    while at + 8 <= len(raw):
        cid, size = raw[at:at + 4], struct.unpack("<I", raw[at + 4:at + 8])[0]
        if cid == b"fmt ":
            fmt = struct.unpack("<HI", raw[at + 10:at + 16]) + struct.unpack("<H", raw[at + 22:at + 24])
        elif cid == b"data":
            data = raw[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
    return fmt, data


def case_flac(exe, cwd, *wavs):
    for wav in wavs:
        out = fresh(cwd, "flac-" + os.path.splitext(wav)[0])
        run([exe, "split", "-q", "--to", "flac", "--keep-all", wav, out], cwd)
        pieces = sorted(f for f in os.listdir(out) if f.endswith(".flac"))
        if len(pieces) < 2:
            fail("%s: pieces %s" % (wav, pieces))
        run(["flac", "-t", "-s"] + pieces, out)
        layout, want = wav_data(os.path.join(cwd, wav))
        got = b""
        for piece in pieces:
            back = os.path.join(os.path.abspath(out), piece + ".wav")
            run(["flac", "-d", "-s", "-f", "-o", back, piece], out)
            piece_layout, data = wav_data(back)
            if piece_layout != layout:
                fail("%s: channels, rate, bits %s, the recording's %s" % (piece, piece_layout, layout))
            got += data
            os.unlink(back)
        if got != want:
            fail("%s: the pieces decoded hold %d bytes, the recording %d; first difference at %d" % (
                wav, len(got), len(want), next((k for k, (a, b) in enumerate(zip(got, want)) if a != b),
                                               min(len(got), len(want)))))
        proc = run([exe, "verify", out, "--original", wav], cwd)
        if ("%d of %d pieces equal" % (len(pieces), len(pieces))).encode() not in proc.stdout:
            fail("verify --original on FLAC pieces\n" + show(proc))
        # A piece in another's place, the manifest made again to match.
        shutil.copy(os.path.join(out, pieces[0]), os.path.join(out, pieces[1]))
        sums = subprocess.run(["sha256sum"] + pieces + ["chapters.json"], cwd=out, capture_output=True,
                              check=True).stdout
        open(os.path.join(out, "SHA256SUMS"), "wb").write(sums)
        proc = run([exe, "verify", out, "--original", wav], cwd, rc=1)
        if ("%s: " % os.path.join(out, pieces[1])).encode() not in proc.stderr:
            fail("a piece in another's place was not found\n" + show(proc))
    # What FLAC cannot hold exactly, or what is no WAV file, is refused
    # before anything is written.
    for refused in ["f32-stereo-44k.wav", os.path.join(cwd, "loudness-input-mp3.mp3")]:
        if not os.path.exists(os.path.join(cwd, refused)):
            run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", wavs[0], refused], cwd)
        out = fresh(cwd, "flac-refused")
        run([exe, "split", "-q", "--to", "flac", refused, out], cwd, rc=1)
        if os.path.exists(out):
            fail("a refused --to flac left %s" % out)
    run([exe, "split", "--to", "flac", "--mono16", wavs[0], fresh(cwd, "flac-usage")], cwd, rc=2)


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "manifest":
        case_manifest(*args)
    elif mode == "loudness":
        case_loudness(*args)
    elif mode == "check":
        case_check(*args)
    elif mode == "flac":
        case_flac(*args)
    else:
        fail("unknown case " + mode)


if __name__ == "__main__":
    main()
