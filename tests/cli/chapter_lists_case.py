#!/usr/bin/env python3
"""Checks the program's chapter lists: --chapters, --hints, --titles,
--hints-from-input and --name-template.

  chapter_lists_case.py apply EXE DIR WAV
      `split --chapters` with the chapters.json of a split writes the same
      files, byte for byte; with an edited chapters.json (a boundary moved,
      titles) each file holds exactly the input's samples of its edited
      chapter, with its title in its tags and name.
  chapter_lists_case.py packets EXE DIR NAME
      the same for a packet copy: the chapters.json of a split applied again
      gives files with the same packets, cut at the same times; titles go
      into the files' tags, and into the INFO chunks of --to-wav files.
  chapter_lists_case.py marks EXE DIR NAME OUT
      `chapters --chapters LIST NAME -o OUT` marks the listed starts with
      their titles (ffprobe lists them).
  chapter_lists_case.py names EXE DIR WAV
      --name-template with titles a file system would not take: '/', a
      leading dot, control characters, letters that differ only in case, a
      title too long; the names stay in the folder and are unique.
  chapter_lists_case.py overwrite EXE DIR WAV NAME
      a templated split (WAV, and NAME through FFmpeg) is recognised by the
      next split into its folder, and --overwrite replaces exactly its files;
      a name the split would write that exists is refused without
      --overwrite, the input itself always.
  chapter_lists_case.py formats EXE DIR WAV
      titles reach the table, CUE, ffmetadata, label and WebVTT outputs, and the
      first three read back (by the program and by the Python package) as
      the same chapters.
  chapter_lists_case.py messages EXE DIR WAV
      what the program says about lists and inputs it cannot take: times
      closer than single precision holds them, a hint window past any
      recording, a WAV file without samples (named or on standard input),
      terminal escapes in a list (shown escaped in errors and the table).
  chapter_lists_case.py hints EXE DIR
      hints a few seconds off move onto the pauses, a hint with no pause in
      its window stays and is warned about; --hints-from-input corrects the
      approximate marks of an M4B, and a WAV file without marks is refused.
"""
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
from silsplit.chapter_files import read_chapters  # noqa: E402  (pure Python, no library)


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def show(proc):
    return "exit %d\n--- stdout\n%s\n--- stderr\n%s" % (
        proc.returncode, proc.stdout.decode(errors="replace")[:2000],
        proc.stderr.decode(errors="replace")[:2000])


def run(args, cwd, rc=0):
    proc = subprocess.run(args, cwd=cwd, capture_output=True)
    if proc.returncode != rc:
        fail("%s: expected exit %d\n%s" % (" ".join(args), rc, show(proc)))
    return proc


def fresh(cwd, name):
    out = os.path.join(cwd, name)
    shutil.rmtree(out, ignore_errors=True)
    return out


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def analyze(exe, cwd, *args):
    return json.loads(run([exe, "analyze", *args], cwd).stdout)


def probe_tags(path, cwd):
    """The format and stream tags of a file, keys in lower case."""
    out = json.loads(run(["ffprobe", "-v", "error", "-show_entries", "format_tags:stream_tags",
                          "-of", "json", path], cwd).stdout)
    return {k.lower(): v for part in (out.get("format", {}), *out.get("streams", []))
            for k, v in part.get("tags", {}).items()}


def probe_chapters(path, cwd):
    out = run(["ffprobe", "-v", "error", "-show_chapters", "-of", "json", path], cwd).stdout
    return [(float(c["start_time"]), c.get("tags", {}).get("title")) for c in json.loads(out)["chapters"]]


def packet_hashes(path, cwd):
    out = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_data_hash", "MD5",
               "-show_entries", "packet=data_hash", "-of", "json", path], cwd).stdout
    return [p["data_hash"] for p in json.loads(out)["packets"]]


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def frame_range(t0, t1, rate, total):
    """The frames the split takes for a chapter (single-precision, as the
    library computes them)."""
    start = min(max(math.floor(f32(f32(t0) * rate)), 0), total)
    end = min(max(math.ceil(f32(f32(t1) * rate)), 0), total)
    return start, max(start, end)


def pcm(path):
    with wave.open(path, "rb") as w:
        return w.getnchannels() * w.getsampwidth(), w.getframerate(), w.readframes(w.getnframes())


def chapter_files(out):
    return sorted(f for f in os.listdir(out) if f not in ("chapters.json", "SHA256SUMS"))


def same_times(got, want, what, tol=1e-6):
    if len(got) != len(want):
        fail("%s: %d chapters, expected %d" % (what, len(got), len(want)))
    for k, (g, w) in enumerate(zip(got, want)):
        for key in ("t0", "t1"):
            if key in w and abs(g[key] - w[key]) > tol:
                fail("%s: chapter %d %s %.6f, expected %.6f" % (what, k + 1, key, g[key], w[key]))


# ---------------------------------------------------------------------------
# Applying a chapter list
# ---------------------------------------------------------------------------

def edited(chapters, titles):
    """The chapters with the boundary between the first two moved 0.4 s
    earlier and titles given."""
    out = [{"t0": c["t0"], "t1": c["t1"], "title": t} for c, t in zip(chapters, titles)]
    out[0]["t1"] -= 0.4
    out[1]["t0"] -= 0.4
    return out


def case_apply(exe, cwd, wav):
    wav = os.path.abspath(wav)
    tag = os.path.basename(wav).replace(".", "-")
    first = fresh(cwd, "apply-first-" + tag)
    run([exe, "split", wav, first], cwd)
    again = fresh(cwd, "apply-again-" + tag)
    run([exe, "split", "--chapters", os.path.join(first, "chapters.json"), wav, again], cwd)
    if chapter_files(first) != chapter_files(again):
        fail("files %s, then %s" % (chapter_files(first), chapter_files(again)))
    for name in chapter_files(first):
        if open(os.path.join(first, name), "rb").read() != open(os.path.join(again, name), "rb").read():
            fail("%s differs when its chapters.json is applied" % name)
    detected = json.load(open(os.path.join(first, "chapters.json")))["chapters"]
    same_times(json.load(open(os.path.join(again, "chapters.json")))["chapters"], detected,
               "chapters.json applied")

    titles = ["Opening", "The/Storm", "Caf\u00e9 \"Noir\""][:len(detected)]
    want = edited(detected, titles)
    listing = write(os.path.join(cwd, "apply-edited-%s.json" % tag), json.dumps({"chapters": want}))
    out = fresh(cwd, "apply-edited-" + tag)
    run([exe, "split", "--chapters", listing, "--name-template", "{n:02} - {title}", wav, out], cwd)
    report = json.load(open(os.path.join(out, "chapters.json")))
    same_times(report["chapters"], want, "edited chapters.json")
    # '"' is one of the characters Windows refuses in a name.
    names = ["01 - Opening.wav", "02 - The_Storm.wav", "03 - Caf\u00e9 _Noir_.wav"][:len(want)]
    if chapter_files(out) != sorted(names):
        fail("files named %s, expected %s" % (chapter_files(out), names))
    if [c.get("file") for c in report["chapters"]] != names:
        fail("chapters.json lists the files as %s" % [c.get("file") for c in report["chapters"]])
    frame_bytes, rate, source = pcm(wav)
    total = len(source) // frame_bytes
    for ch, name, title in zip(want, names, titles):
        start, end = frame_range(ch["t0"], ch["t1"], rate, total)
        got = pcm(os.path.join(out, name))[2]
        if got != source[start * frame_bytes:end * frame_bytes]:
            fail("%s does not hold frames %d to %d of the input" % (name, start, end))
        tag = probe_tags(os.path.join(out, name), cwd).get("title")
        if tag != title:
            fail("%s is titled %r, expected %r" % (name, tag, title))


def case_packets(exe, cwd, name):
    first = fresh(cwd, "packets-first-" + name.replace(".", "-"))
    run([exe, "split", name, first], cwd)
    again = fresh(cwd, "packets-again-" + name.replace(".", "-"))
    run([exe, "split", "--chapters", os.path.join(first, "chapters.json"), name, again], cwd)
    if chapter_files(first) != chapter_files(again):
        fail("files %s, then %s" % (chapter_files(first), chapter_files(again)))
    for f in chapter_files(first):
        if packet_hashes(os.path.join(first, f), cwd) != packet_hashes(os.path.join(again, f), cwd):
            fail("%s: other packets when its chapters.json is applied" % f)
    a = json.load(open(os.path.join(first, "chapters.json")))["chapters"]
    b = json.load(open(os.path.join(again, "chapters.json")))["chapters"]
    if [(c.get("cut_t0"), c.get("cut_t1")) for c in a] != [(c.get("cut_t0"), c.get("cut_t1")) for c in b]:
        fail("other cuts when chapters.json is applied")
    titles = ["Part %d: \u00e9t\u00e9" % (k + 1) for k in range(len(a))]
    listing = write(os.path.join(cwd, "packets-%s.json" % name),
                    json.dumps([{"t0": c["t0"], "t1": c["t1"], "title": t} for c, t in zip(a, titles)]))
    titled = fresh(cwd, "packets-titled-" + name.replace(".", "-"))
    run([exe, "split", "--chapters", listing, name, titled], cwd)
    for f, title in zip(chapter_files(titled), titles):
        tag = probe_tags(os.path.join(titled, f), cwd).get("title")
        if tag != title:
            fail("%s is titled %r, expected %r" % (f, tag, title))
    # Decoded into WAV files, the titles go into their INFO chunks.
    decoded = fresh(cwd, "packets-wav-" + name.replace(".", "-"))
    run([exe, "split", "--to-wav", "--chapters", listing, name, decoded], cwd)
    for f, title in zip(chapter_files(decoded), titles):
        with wave.open(os.path.join(decoded, f), "rb") as w:
            w.readframes(w.getnframes())  # a WAV reader still reads it
        tag = probe_tags(os.path.join(decoded, f), cwd).get("title")
        if tag != title:
            fail("%s is titled %r, expected %r" % (f, tag, title))


def case_marks(exe, cwd, name, out_name):
    rep = analyze(exe, cwd, name)["chapters"]
    # A title of some 200 bytes: ID3v2.4 CHAP frames of 128 bytes or more
    # did not read back.
    titles = ["Prologue", "Chapter \u00bbOne\u00ab" + ", and so on" * 17, "The End"][:len(rep)]
    # One start per line, as a listing gives them.
    lines = ["%.3f %s" % (c["t0"], t) for c, t in zip(rep, titles)]
    listing = write(os.path.join(cwd, "marks-%s.txt" % out_name), "\n".join(lines) + "\n")
    out = os.path.join(cwd, out_name)
    if os.path.exists(out):
        os.remove(out)
    run([exe, "chapters", "--chapters", listing, name, "-o", out_name], cwd)
    # Every mark with its title, the last one too (Ogg and FLAC hold them as
    # comments, CHAPTER001 and CHAPTER001NAME, ..., each name after its time).
    marks = probe_chapters(out_name, cwd)
    if [m[1] for m in marks] != titles:
        fail("%s: marks titled %s, expected %s" % (out_name, [m[1] for m in marks], titles))
    for k, ((start, _), c) in enumerate(zip(marks, rep)):
        # MP4 chapter tracks begin at the start of the file.
        if not (abs(start - round(c["t0"], 3)) < 0.002 or (k == 0 and start == 0.0)):
            fail("%s: mark %d at %.3f, listed at %.3f" % (out_name, k + 1, start, c["t0"]))


# ---------------------------------------------------------------------------
# Names
# ---------------------------------------------------------------------------

def case_names(exe, cwd, wav):
    wav = os.path.abspath(wav)
    long_title = "\u00e9" * 150  # 300 bytes of UTF-8
    titles = ["../../etc/passwd", ".hidden", "tab\there\u0001", "Dup", "dup", long_title, "", "   "]
    listing = [{"t0": 3.0 * k, "title": t} for k, t in enumerate(titles)]
    path = write(os.path.join(cwd, "names.json"), json.dumps({"chapters": listing}))
    out = fresh(cwd, "names")
    run([exe, "split", "--chapters", path, "--name-template", "{title}", wav, out], cwd)
    want = ["_._.._etc_passwd.wav", "_hidden.wav", "tab_here_.wav", "Dup.wav", "dup (2).wav",
            "\u00e9" * 100 + ".wav", "Chapter 7.wav", "ch_008.wav"]
    if chapter_files(out) != sorted(want):
        fail("files named %s, expected %s" % (chapter_files(out), sorted(want)))
    # Names one volume or another takes for the same file (case outside
    # ASCII, NFC and NFD), characters some system refuses, and Windows'
    # device names.
    titles = ["\u00c9lan", "\u00e9lan", "\u00c9LAN", "e\u0301lan", "a\u0085b\u2028c", 'w:x*y?"<z>|\\',
              "CON", "com1.notes", "aux ", "dots...", "Stra\u00dfe", "STRASSE"]
    listing = [{"t0": 1.5 * k, "title": t} for k, t in enumerate(titles)]
    path = write(os.path.join(cwd, "names2.json"), json.dumps({"chapters": listing}))
    out = fresh(cwd, "names2")
    run([exe, "split", "--chapters", path, "--name-template", "{title}", wav, out], cwd)
    want = ["\u00c9lan.wav", "\u00e9lan (2).wav", "\u00c9LAN (3).wav", "e\u0301lan (4).wav", "a_b_c.wav",
            "w_x_y___z___.wav", "CON_.wav", "com1_.notes.wav", "aux_.wav", "dots.wav", "Stra\u00dfe.wav",
            "STRASSE (2).wav"]
    if chapter_files(out) != sorted(want):
        fail("files named %s, expected %s" % (chapter_files(out), sorted(want)))
    # A template that names another folder, or has an unknown field.
    for bad, message in (("{n}/x", "must not hold '/'"), ("{num}", "unknown field {num}"),
                         ("{n", "a '{' without its '}'")):
        proc = run([exe, "split", "--name-template", bad, wav, fresh(cwd, "names-bad")], cwd, rc=2)
        if message.encode() not in proc.stderr:
            fail("--name-template %s\n%s" % (bad, show(proc)))


def case_overwrite(exe, cwd, wav, name):
    wav = os.path.abspath(wav)
    for source, ext in ((wav, ".wav"), (name, os.path.splitext(name)[1])):
        out = fresh(cwd, "overwrite-" + os.path.basename(source).replace(".", "-"))
        run([exe, "split", "--name-template", "{n:02} part", source, out], cwd)
        first = chapter_files(out)
        if first != ["%02d part%s" % (k + 1, ext) for k in range(len(first))]:
            fail("files named %s" % first)
        proc = run([exe, "split", "--name-template", "{n:02} part", source, out], cwd, rc=1)
        if b"holds the files of an earlier split" not in proc.stderr:
            fail("a second split without --overwrite\n" + show(proc))
        # A file of the user's stays; the earlier split's files go.
        write(os.path.join(out, "notes.txt"), "mine")
        run([exe, "split", "--overwrite", "--name-template", "part {n}", source, out], cwd)
        files = chapter_files(out)
        if files != sorted(["part %d%s" % (k + 1, ext) for k in range(len(first))] + ["notes.txt"]):
            fail("after --overwrite: %s" % files)

    # chapters.json may list only the folder's own files.
    out = fresh(cwd, "overwrite-listed")
    run([exe, "split", "--name-template", "{n} x", wav, out], cwd)
    outside = write(os.path.join(cwd, "outside.wav"), "not a split's")
    listed = json.load(open(os.path.join(out, "chapters.json")))
    listed["chapters"][0]["file"] = "../outside.wav"
    json.dump(listed, open(os.path.join(out, "chapters.json"), "w"))
    run([exe, "split", "--overwrite", wav, out], cwd)
    if not os.path.exists(outside):
        fail("--overwrite removed a file outside the folder")

    # A name the split would write that is there already: the user's file
    # is refused without --overwrite, the input itself always.
    out = fresh(cwd, "overwrite-taken")
    os.makedirs(out)
    write(os.path.join(out, "01 part.wav"), "mine")
    proc = run([exe, "split", "--name-template", "{n:02} part", wav, out], cwd, rc=1)
    if b"01 part.wav: exists; add --overwrite" not in proc.stderr:
        fail("a taken name\n" + show(proc))
    if open(os.path.join(out, "01 part.wav")).read() != "mine":
        fail("the user's file was replaced")
    own = os.path.join(out, "01 part.wav")
    shutil.copy(wav, own)
    proc = run([exe, "split", "--overwrite", "--name-template", "{n:02} part", own, out], cwd, rc=1)
    if b"is the same file as" not in proc.stderr:
        fail("the input under a name the split writes\n" + show(proc))
    if open(own, "rb").read() != open(wav, "rb").read():
        fail("the input was replaced")


# ---------------------------------------------------------------------------
# Output formats
# ---------------------------------------------------------------------------

def case_formats(exe, cwd, wav):
    wav = os.path.abspath(wav)
    rep = analyze(exe, cwd, wav)["chapters"]
    titles = ["A \"quoted\" = one; #1", "Tab\tand -->arrow", "\u00e9t\u00e9"][:len(rep)]
    titles_file = write(os.path.join(cwd, "formats-titles.txt"), "\n".join(titles) + "\n")
    outputs = {}
    for fmt in ("cue", "ffmetadata", "labels", "vtt", "table"):
        outputs[fmt] = run([exe, "analyze", "-f", fmt, "--titles", titles_file, wav], cwd).stdout.decode()
    # What each format can hold of a title.
    cue_titles = [t.replace('"', "'").replace("\t", " ") for t in titles]
    line_titles = [t.replace("\t", " ") for t in titles]
    vtt_titles = [t.replace("-->", "->") for t in line_titles]
    for t in line_titles:
        if "  " + t + "\n" not in outputs["table"]:
            fail("table without %r\n%s" % (t, outputs["table"]))
    for t in vtt_titles:
        if "\n" + t + "\n" not in outputs["vtt"]:
            fail("WebVTT without %r\n%s" % (t, outputs["vtt"]))
    for fmt, want_titles, tol in (("cue", cue_titles, 0.5 / 75), ("ffmetadata", titles, 0.0005),
                                  ("labels", line_titles, 1e-6)):
        path = write(os.path.join(cwd, "formats." + fmt), outputs[fmt])
        back = read_chapters(path)
        if [c.get("title") for c in back] != want_titles:
            fail("%s read back with titles %s\n%s" % (fmt, [c.get("title") for c in back], outputs[fmt]))
        same_times(back, [{"t0": c["t0"]} for c in rep], fmt + " read back", tol)
        # The program reads it back as the same chapters.
        again = analyze(exe, cwd, "--chapters", path, wav)["chapters"]
        if [c.get("title") for c in again] != want_titles:
            fail("%s applied: titles %s" % (fmt, [c.get("title") for c in again]))
        same_times(again, [{"t0": c["t0"]} for c in back], fmt + " applied")
    # Line breaks of every kind inside a title survive ffmetadata (escaped),
    # in both readers.
    titles = ["One\r[CHAPTER]", "Two\nlines", "Three\r\n;x"]
    listing = write(os.path.join(cwd, "breaks.json"),
                    json.dumps([{"t0": 2.0 * k, "title": t} for k, t in enumerate(titles)]))
    text = run([exe, "analyze", "-f", "ffmetadata", "--chapters", listing, wav], cwd).stdout
    with open(os.path.join(cwd, "breaks.ffmetadata"), "wb") as f:
        f.write(text)
    back = read_chapters(os.path.join(cwd, "breaks.ffmetadata"))
    again = analyze(exe, cwd, "--chapters", os.path.join(cwd, "breaks.ffmetadata"), wav)["chapters"]
    for got in ([c.get("title") for c in back], [c.get("title") for c in again]):
        if got != titles:
            fail("ffmetadata with line breaks read back as %r\n%r" % (got, text))


# ---------------------------------------------------------------------------
# Hints
# ---------------------------------------------------------------------------

def case_hints(exe, cwd):
    os.makedirs(cwd, exist_ok=True)
    # Tones of 20-30 s between pauses of 2 s, and a tone of 100 s in which
    # no pause lies near its middle.
    parts, t, pauses = [], 0.0, []
    for seconds in (24, 30, 20, 100, 20):
        parts.append("sine=frequency=440:sample_rate=16000:duration=%d" % seconds)
        parts.append("anullsrc=r=16000:cl=mono,atrim=duration=2")
        t += seconds
        pauses.append((t, t + 2))
        t += 2
    graph = "".join("%s[a%d];" % (p, k) for k, p in enumerate(parts))
    graph += "".join("[a%d]" % k for k in range(len(parts))) + "concat=n=%d:v=0:a=1" % len(parts)
    run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-filter_complex", graph, "-c:a", "pcm_s16le",
         "hints.wav"], cwd)
    # Another edition's starts: a lead-in of 3 s, each a little off; the
    # fifth in the middle of the long tone.
    starts = [0.0, 26 + 3.5, 58 + 1.2, 80 + 2.8, 130.0]
    listing = write(os.path.join(cwd, "hints.txt"),
                    "".join("%.1f Part %d\n" % (s, k + 1) for k, s in enumerate(starts)))
    proc = run([exe, "analyze", "--hints", listing, "hints.wav"], cwd)
    chapters = json.loads(proc.stdout)["chapters"]
    if [c.get("title") for c in chapters] != ["Part %d" % (k + 1) for k in range(len(starts))]:
        fail("titles %s" % [c.get("title") for c in chapters])
    for k, c in enumerate(chapters[1:4], 1):
        a, b = pauses[k - 1]
        if not (a - 0.3 <= c["t0"] <= b + 0.3) or c.get("snap") in (None, "none"):
            fail("chapter %d starts at %.3f (%s), the pause is %.1f-%.1f" % (k + 1, c["t0"], c.get("snap"), a, b))
    # Left where the drift of the hints before it puts it, inside the tone.
    if chapters[4].get("snap") != "none" or not (pauses[2][1] + 5 < chapters[4]["t0"] < pauses[3][0] - 5):
        fail("the hint without a pause: %s" % chapters[4])
    warning = "silsplit: hints.wav: hint 5 at 0:02:10.000: no pause within the window"
    if warning.encode() not in proc.stderr:
        fail("no warning for the hint without a pause\n" + show(proc))

    # An M4B whose marks are a few seconds off, corrected in a copy.
    meta = ";FFMETADATA1\n" + "".join(
        "\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=%d\nEND=%d\ntitle=Part %d\n"
        % (round(s * 1000), round(e * 1000), k + 1)
        for k, (s, e) in enumerate(zip(starts[:4], starts[1:4] + [150.0])))
    write(os.path.join(cwd, "approx.txt"), meta)
    run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", "hints.wav", "-f", "ffmetadata", "-i",
         "approx.txt", "-map", "0:a", "-map_chapters", "1", "-c:a", "aac", "-b:a", "48k", "approx.m4b"], cwd)
    if os.path.exists(os.path.join(cwd, "fixed.m4b")):
        os.remove(os.path.join(cwd, "fixed.m4b"))
    run([exe, "chapters", "--hints-from-input", "approx.m4b", "-o", "fixed.m4b"], cwd)
    marks = probe_chapters("fixed.m4b", cwd)
    if [m[1] for m in marks] != ["Part %d" % (k + 1) for k in range(4)]:
        fail("corrected marks titled %s" % [m[1] for m in marks])
    for k, (start, _) in enumerate(marks[1:], 1):
        a, b = pauses[k - 1]
        if not (a - 0.3 <= start <= b + 0.3):
            fail("corrected mark %d at %.3f, the pause is %.1f-%.1f" % (k + 1, start, a, b))
    proc = run([exe, "analyze", "--hints-from-input", "hints.wav"], cwd, rc=1)
    if b"has no chapter marks to use as hints" not in proc.stderr:
        fail("a WAV file with --hints-from-input\n" + show(proc))

    # Marks whose titles a muxer wrote in Latin-1 (an MKA and an M4B): read
    # as Latin-1 with a warning, in every command, not "out of memory".
    with open(os.path.join(cwd, "latin1.txt"), "wb") as f:
        f.write(meta.replace("Part 2", "Caf\u00e9").encode("latin-1"))
    for name in ("latin1.mka", "latin1.m4b"):
        run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", "hints.wav", "-f", "ffmetadata", "-i",
             "latin1.txt", "-map", "0:a", "-map_chapters", "1", "-c:a", "aac", "-b:a", "48k", name], cwd)
        out = fresh(cwd, "latin1-split")
        for args in (["analyze"], ["split", "-q", name, out], ["chapters", "-o", "latin1-fixed" + name[-4:]]):
            if os.path.exists(os.path.join(cwd, "latin1-fixed" + name[-4:])):
                os.remove(os.path.join(cwd, "latin1-fixed" + name[-4:]))
            cmd = [exe, args[0], "--hints-from-input"] + args[1:] + ([name] if args[0] != "split" else [])
            proc = run(cmd, cwd)
            if "the title of chapter mark 2 is not UTF-8: read as Latin-1 (\"Caf\u00e9\")".encode() not in proc.stderr:
                fail("%s: no warning for the Latin-1 title\n%s" % (" ".join(cmd), show(proc)))
        if json.loads(run([exe, "analyze", "--hints-from-input", name], cwd).stdout)["chapters"][1]["title"] != "Caf\u00e9":
            fail(name + ": the Latin-1 title is not read as Latin-1")

    # Hints past the end would be empty chapters: refused in every command
    # and route, nothing written.
    past = write(os.path.join(cwd, "past.txt"), "0 a\n60 b\n500 c\n600 d\n")
    want = b"hints 3 to 4 (from 0:08:20.000) lie at or past the end of the recording (0:03:24."
    for name in ("hints.wav", "approx.m4b"):
        out = fresh(cwd, "past-split")
        for cmd in ([exe, "analyze", "--hints", past, name], [exe, "split", "-q", "--hints", past, name, out],
                    [exe, "chapters", "--replace", "--hints", past, name, "-o", "past" + name[-4:]]):
            proc = run(cmd, cwd, rc=1)
            if want not in proc.stderr:
                fail("%s: hints past the end\n%s" % (" ".join(cmd), show(proc)))
        if (os.path.exists(out) and os.listdir(out)) or os.path.exists(os.path.join(cwd, "past" + name[-4:])):
            fail(name + ": hints past the end wrote files")


# ---------------------------------------------------------------------------
# Messages
# ---------------------------------------------------------------------------

def case_messages(exe, cwd, wav):
    os.makedirs(cwd, exist_ok=True)
    wav = os.path.abspath(wav)
    near = write(os.path.join(cwd, "near.json"), "[1000000.0, 1000000.01]")
    near_end = write(os.path.join(cwd, "near_end.json"), '[{"t0": 1, "t1": 1.00000001}]')
    zero = os.path.join(cwd, "zero.wav")
    with wave.open(zero, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(44100)
    escapes = os.path.join(cwd, "escapes.txt")
    with open(escapes, "wb") as f:
        f.write(b"0 \x1b]0;title\x07One\n5 \x1b[2JTwo\xc2\x9b\n")
    bad_escape = os.path.join(cwd, "bad-escape.txt")
    with open(bad_escape, "wb") as f:
        f.write(b"0 a\n\x1b[31mred\n")
    cases = [
        (["analyze", "--chapters", near, wav], 2,
         b"near.json: chapters[1]: starts at 1000000.01, 0.01 s after the start of the chapter before it: "
         b"times are kept to 0.0625 s near 1000000 s"),
        (["analyze", "--chapters", near_end, wav], 2,
         b"near_end.json: chapters[0]: ends at 1.00000001, 1e-08 s after its start: times are kept to 1.19e-07 s"),
        (["analyze", "--hint-window", "1e300", "--hints", near_end, wav], 2,
         b"--hint-window: 1e300 seconds is longer than any recording"),
        (["analyze", zero], 1, b"zero.wav: the audio stream holds no samples"),
        (["split", zero, os.path.join(cwd, "zero-split")], 1, b"zero.wav: the audio stream holds no samples"),
        (["analyze", "--chapters", bad_escape, wav], 2, b"bad-escape.txt:2: not a start (seconds, M:SS, "
         b"H:MM:SS or H:MM:SS.mmm): '\\x1b[31mred'"),
    ]
    # An entry the analysis refuses is named by the file's line (or, in a
    # JSON list, its entry), not by its place in the options.
    past = write(os.path.join(cwd, "pastend.txt"), "# the book\n0 a\n\n500 b\n")
    past_json = write(os.path.join(cwd, "pastend.json"), '{"chapters": [{"t0": 0}, {"t0": 500}]}')
    mp3 = os.path.join(cwd, "talk.mp3")
    if not os.path.exists(mp3):
        run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", wav, mp3], cwd)
    for args in (["analyze", "--chapters", past, wav], ["split", "--chapters", past, wav, os.path.join(cwd, "past-w")],
                 ["split", "--chapters", past, mp3, os.path.join(cwd, "past-m")],
                 ["chapters", "--chapters", past, mp3, "-o", os.path.join(cwd, "past.mka")]):
        cases.append((args, 1, b"pastend.txt:4: t0 is not before the end of the recording (26.3"))
    cases.append((["analyze", "--chapters", past_json, wav], 1,
                  b"pastend.json: chapters[1]: t0 is not before the end of the recording (26.3"))
    for args, rc, want in cases:
        proc = run([exe] + args, cwd, rc=rc)
        if want not in proc.stderr or b"\x1b" in proc.stderr:
            fail("%s: expected %r\n%s" % (" ".join(args), want, show(proc)))
    with open(zero, "rb") as f:
        proc = subprocess.run([exe, "analyze", "-"], input=f.read(), capture_output=True)
    if proc.returncode != 1 or b"-: the audio stream holds no samples" not in proc.stderr:
        fail("a WAV file without samples on standard input\n" + show(proc))
    # The table shows the titles' escapes as text; the data formats keep them.
    table = run([exe, "analyze", "-f", "table", "--chapters", escapes, wav], cwd).stdout
    if b"\\x1b]0;title\\x07One" not in table or b"\\x1b[2JTwo\\xc2\\x9b" not in table or b"\x1b" in table:
        fail("the table with terminal escapes in titles:\n%r" % table)
    labels = run([exe, "analyze", "-f", "labels", "--chapters", escapes, wav], cwd).stdout
    if b"\x1b[2JTwo" not in labels:
        fail("the label track lost the titles' bytes:\n%r" % labels)


def main():
    argv = sys.argv[1:]
    cases = {"apply": case_apply, "packets": case_packets, "marks": case_marks, "names": case_names,
             "overwrite": case_overwrite, "formats": case_formats, "hints": case_hints,
             "messages": case_messages}
    if not argv or argv[0] not in cases:
        fail("unknown mode %s" % (argv[:1],))
    exe, cwd = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    cases[argv[0]](exe, cwd, *argv[3:])


if __name__ == "__main__":
    main()
