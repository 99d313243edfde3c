#!/usr/bin/env python3
"""Runs the silsplit program once and checks what it did.

  cli_case.py run EXE DIR RC GOLDEN [--stderr TEXT] [--stdout KIND] -- ARGS...
      runs EXE ARGS in DIR; the exit status must be RC (128 + N for a death by
      signal N) and stdout must equal the file GOLDEN ("-": stdout must be
      empty); with --stderr, stderr must contain TEXT. With --stdout, stdout
      is not captured but is KIND: "full" (/dev/full), "closed" (no
      descriptor 1) or "broken" (a pipe whose reader has gone).
  cli_case.py split EXE DIR WAV CHAPTERS
      cuts DIR/WAV into a fresh folder and checks the files written: each
      holds the input's fmt chunk and the frames of its chapter, byte for byte.
  cli_case.py mono16 EXE WRITER DIR WAV
      cuts DIR/WAV with --mono16, and with the library's
      silsplit_write_chapters (the program WRITER, write_chapters.c): the two
      folders must be the same byte for byte.
  cli_case.py overwrite EXE DIR
      a second split into a folder that holds an earlier one's files is
      refused; with --overwrite it replaces them, and only them.
  cli_case.py same-file EXE DIR
      a split whose input is (by device and inode) a file it would replace is
      refused; review.html is replaced only with --overwrite; a folder
      another split has locked is refused at once.
  cli_case.py sigint-split EXE DIR WAV STAGE
      interrupts a split of DIR/WAV with SIGINT during STAGE (read: the
      analysis, into a new folder; write: the chapter files, an --overwrite
      of an earlier split): exit 130, and the folder as it was before (none,
      or the earlier split), no file of the new split, temporary or not.
  cli_case.py names EXE DIR
      names that are not UTF-8 stay valid JSON, as \\u00XX escapes of bytes.
  cli_case.py make-run SRC BUILD
      the split of `make run` works when run twice.
  cli_case.py installed SRC BUILD CC
      installs BUILD into a custom prefix and follows the README there: the
      installed silsplit starts (also once the prefix is moved), and a C host
      built with PKG_CONFIG_PATH and -Wl,-rpath, or with CMake and
      CMAKE_PREFIX_PATH, runs without LD_LIBRARY_PATH.
  cli_case.py sigint EXE DIR WAV
      interrupts the analysis of DIR/WAV with SIGINT while it runs; the program
      must end with 130 and print no report.
  cli_case.py sigint-wait EXE DIR
      SIGINT ends with 130 a command waiting for input: a FIFO with no
      writer, a FIFO or a pipe whose writer stays silent.
  cli_case.py index EXE DIR LONG_WAV
      analyze --index: interrupted during DIR/LONG_WAV, the files done are in
      the index and printed; a rerun skips them and prints one {"file", ...}
      line per file it analyses, even one; a name that is not UTF-8 is
      known again by its exact bytes.
  cli_case.py make SRC
      checks what the make targets of the source tree SRC would run (make -n):
      `run` installs the build's packages only, `check` the tests' too and
      runs the tests without the sanitizer builds and the fuzz run, `test`
      runs all of it.
"""
import base64
import difflib
import fcntl
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


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def show(proc):
    return "exit %d\n--- stdout\n%s\n--- stderr\n%s" % (
        proc.returncode, proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace"))


def run_with_stdout(cmd, cwd, kind):
    """Runs cmd with stdout of the given kind; stdout reads as empty."""
    if kind == "full":
        with open("/dev/full", "wb") as out:
            proc = subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.PIPE)
    elif kind == "closed":
        proc = subprocess.run(cmd, cwd=cwd, stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))
    elif kind == "broken":
        r, w = os.pipe()
        os.close(r)
        proc = subprocess.run(cmd, cwd=cwd, stdout=w, stderr=subprocess.PIPE)
        os.close(w)
    else:
        fail("unknown stdout kind " + kind)
    proc.stdout = b""
    return proc


def case_run(exe, cwd, rc, golden, stderr_text, stdout_kind, args):
    if stdout_kind is None:
        proc = subprocess.run([exe] + args, cwd=cwd, capture_output=True)
    else:
        proc = run_with_stdout([exe] + args, cwd, stdout_kind)
    status = proc.returncode if proc.returncode >= 0 else 128 - proc.returncode
    if status != int(rc):
        fail("expected exit %s\n%s" % (rc, show(proc)))
    want = b"" if golden == "-" else open(golden, "rb").read()
    if proc.stdout != want:
        diff = difflib.unified_diff(want.decode().splitlines(True), proc.stdout.decode(errors="replace").splitlines(True),
                                    "expected", "actual")
        fail("stdout differs from %s\n%s\n%s" % (golden, "".join(diff), show(proc)))
    if stderr_text is not None and stderr_text.encode() not in proc.stderr:
        fail("stderr lacks %r\n%s" % (stderr_text, show(proc)))


def u32(b, pos):
    return struct.unpack("<I", b[pos:pos + 4])[0]


def wav_layout(data):
    """(fmt body, data offset, data size) of the last fmt and data chunks, as
    the library's reader walks the chunks: no pad byte after fmt and data,
    a pad byte after any other chunk, a move past the end ends the walk."""
    pos, fmt, found = 12, None, None
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], u32(data, pos + 4)
        body = pos + 8
        if cid == b"fmt ":
            fmt = data[body:body + size]
            pos = min(body + size, len(data))
        elif cid == b"data":
            found = (body, size)
            pos = body + size
        else:
            skip = size + (size & 1)
            pos = min(body + skip, len(data)) if 0 < skip < 2 ** 31 else body
    return fmt, found[0], found[1]


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def frame_range(ch, rate, frames):
    """The chapter's frames as the library's export cuts them: single-precision
    products, floor and ceil, clamped into the file."""
    start = math.floor(f32(f32(ch["t0"]) * rate))
    end = math.ceil(f32(f32(ch["t1"]) * rate))
    start = min(max(start, 0), frames)
    end = max(min(end, frames), start)
    return start, end


def expected_chapter(source, ch, rate):
    fmt, offset, size = wav_layout(source)
    channels, bits = struct.unpack("<H", fmt[2:4])[0], struct.unpack("<H", fmt[14:16])[0]
    frame = channels * (bits // 8)
    start, end = frame_range(ch, rate, size // frame)
    samples = source[offset + start * frame:offset + end * frame]
    if len(fmt) & 1:
        fmt += b"\0"
    body = (b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(samples))
            + samples + (b"\0" if len(samples) & 1 else b""))
    return b"RIFF" + struct.pack("<I", len(body)) + body


def split_into(exe, cwd, wav, out, extra=()):
    shutil.rmtree(out, ignore_errors=True)
    proc = subprocess.run([exe, "split"] + list(extra) + [wav, out], cwd=cwd, capture_output=True)
    if proc.returncode != 0:
        fail(show(proc))
    return proc


def case_split(exe, cwd, wav, chapters):
    out = os.path.join(cwd, "split-" + os.path.splitext(os.path.basename(wav))[0])
    proc = split_into(exe, cwd, wav, out)
    n = int(chapters)
    if proc.stdout != ("%d chapters written to %s\n" % (n, out)).encode():
        fail("unexpected message\n" + show(proc))
    names = ["ch_%03d.wav" % i for i in range(1, n + 1)] + ["chapters.json"]
    if sorted(os.listdir(out)) != sorted(names + ["SHA256SUMS"]):
        fail("files written: %s, expected %s" % (sorted(os.listdir(out)), names))
    # chapters.json is the report that analyze prints.
    report = subprocess.run([exe, "analyze", wav], cwd=cwd, capture_output=True, check=True).stdout
    if open(os.path.join(out, "chapters.json"), "rb").read() + b"\n" != report:
        fail("chapters.json differs from the analyze report")
    parsed = json.loads(report)
    source = open(os.path.join(cwd, wav), "rb").read()
    for ch, name in zip(parsed["chapters"], names):
        got = open(os.path.join(out, name), "rb").read()
        want = expected_chapter(source, ch, parsed["sample_rate"])
        if got != want:
            fail("%s: %d bytes, expected %d; first difference at byte %d" % (
                name, len(got), len(want), next((k for k, (a, b) in enumerate(zip(got, want)) if a != b),
                                                min(len(got), len(want)))))
        # The library reads the chapter back at the input's rate.
        back = subprocess.run([exe, "analyze", os.path.join(out, name)], capture_output=True)
        if back.returncode != 0 or json.loads(back.stdout)["sample_rate"] != parsed["sample_rate"]:
            fail("%s does not read back\n%s" % (name, show(back)))


def case_mono16(exe, writer, cwd, wav):
    stem = os.path.splitext(os.path.basename(wav))[0]
    ours = os.path.join(cwd, "mono16-" + stem)
    theirs = os.path.join(cwd, "library-" + stem)
    split_into(exe, cwd, wav, ours, ["--mono16"])
    shutil.rmtree(theirs, ignore_errors=True)
    proc = subprocess.run([writer, wav, theirs], cwd=cwd, capture_output=True)
    if proc.returncode != 0 or int(proc.stdout) < 1:
        fail("the library's export\n" + show(proc))
    names = sorted(os.listdir(theirs))
    if sorted(f for f in os.listdir(ours) if f != "SHA256SUMS") != names:
        fail("files: %s, the library's: %s" % (sorted(os.listdir(ours)), names))
    for name in names:
        if open(os.path.join(ours, name), "rb").read() != open(os.path.join(theirs, name), "rb").read():
            fail("%s differs from the library's" % name)


def snapshot(folder):
    return {name: open(os.path.join(folder, name), "rb").read() for name in sorted(os.listdir(folder))}


def case_overwrite(exe, cwd):
    out = os.path.join(cwd, "overwrite-case")
    # A process that has ended (its temporary files are leftovers) and one
    # that runs (this one: its temporary files are not the split's).
    ended = subprocess.Popen(["true"])
    ended.wait()
    dead, live = ended.pid, os.getpid()
    # What a folder may hold before a split without --overwrite.
    refused = [["ch_002.wav"], ["chapters.json"], ["ch_1234.flac"], ["ch_003.wav.part-%d-0" % dead],
               ["stdin.part-%d-0" % dead], ["review.html.part-%d-0" % dead]]
    # Names the program never writes, kept even by --overwrite.
    foreign = ["notes.txt", "ch_notes.txt", "chapters.txt", "ch_.wav", ".ch_001.wav", "ch_1.txt",
               "ch_2024.pdf", "ch_01", "ch_0012.wav", ".ch_7.doc.part", "chapters.json.partial_notes",
               ".ch_004.mp3.part123", "ch_005.wav.part-x-0", "ch_005.doc.part-%d-0" % dead,
               "ch_006.wav.part-%d-0" % live]
    accepted = [[], foreign]
    for names in refused + accepted:
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        for name in names:
            open(os.path.join(out, name), "wb").write(b"keep")
        before = snapshot(out)
        proc = subprocess.run([exe, "split", "tones.wav", out], cwd=cwd, capture_output=True)
        if names in refused:
            if proc.returncode != 1 or b"--overwrite" not in proc.stderr or snapshot(out) != before:
                fail("a folder holding %s was not refused untouched\n%s" % (names, show(proc)))
        elif proc.returncode != 0 or any(snapshot(out)[name] != b"keep" for name in names):
            fail("a folder holding %s was not split into\n%s" % (names, show(proc)))

    # Three chapters, then one into the same folder: the second run replaces
    # the first's files and leaves the rest alone.
    split_into(exe, cwd, "tones.wav", out)
    for name in foreign + ["ch_004.wav.part-%d-0" % dead]:
        open(os.path.join(out, name), "wb").write(b"other")
    before = snapshot(out)
    again = [exe, "split", "--min-chapter", "6.5", "tones.wav", out]
    proc = subprocess.run(again, cwd=cwd, capture_output=True)
    if proc.returncode != 1 or snapshot(out) != before:
        fail("a second split was not refused\n" + show(proc))
    if ("silsplit: %s: holds the files of an earlier split" % out).encode() not in proc.stderr:
        fail("unexpected message\n" + show(proc))
    proc = subprocess.run(again[:2] + ["--overwrite"] + again[2:], cwd=cwd, capture_output=True)
    if proc.returncode != 0 or proc.stdout != ("1 chapter written to %s\n" % out).encode():
        fail(show(proc))
    after = snapshot(out)
    if sorted(after) != sorted(["ch_001.wav", "chapters.json", "SHA256SUMS"] + foreign):
        fail("files after --overwrite: %s" % sorted(after))
    if len(json.loads(after["chapters.json"])["chapters"]) != 1 or after["notes.txt"] != b"other":
        fail("--overwrite left the wrong files")

    # A recording is never replaced by its own chapters.
    inside = os.path.join(out, "ch_009.wav")
    shutil.copy(os.path.join(cwd, "tones.wav"), inside)
    proc = subprocess.run([exe, "split", "--overwrite", inside, out], cwd=cwd, capture_output=True)
    if proc.returncode != 1 or b"choose another folder" not in proc.stderr or not os.path.exists(inside):
        fail("a split of a file into its own folder was not refused\n" + show(proc))
    os.unlink(inside)

    # The same for a recording that FFmpeg reads: its chapter files replace
    # the WAV ones.
    flac = os.path.join(out, os.pardir, "overwrite-case.flac")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", os.path.join(cwd, "tones.wav"), flac],
                   check=True)
    proc = subprocess.run([exe, "split", flac, out], cwd=cwd, capture_output=True)
    if proc.returncode != 1 or snapshot(out) != after:
        fail("a split of a FLAC file was not refused\n" + show(proc))
    proc = subprocess.run([exe, "split", "--overwrite", flac, out], cwd=cwd, capture_output=True)
    names = sorted(os.listdir(out))
    if proc.returncode != 0 or names != sorted(["ch_001.flac", "ch_002.flac", "ch_003.flac", "chapters.json", "SHA256SUMS"] + foreign):
        fail("files after --overwrite with a FLAC file: %s\n%s" % (names, show(proc)))


def case_same_file(exe, cwd):
    """The recording is never removed or replaced: under any name (a link, a
    hard link) that is a file a split into the folder replaces, the split is
    refused and the recording kept."""
    root = os.path.join(cwd, "same-file-case")
    flac = os.path.join(root, "talk.flac")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", os.path.join(cwd, "tones.wav"), flac],
                   check=True)
    # (recording, its name in the folder, how the input names it)
    for source, inside, how in [("tones.wav", "ch_001.wav", "symlink"), ("tones.wav", "ch_002.wav", "hardlink"),
                                (flac, "ch_001.flac", "symlink"), (flac, "ch_003.flac", "hardlink"),
                                ("tones.wav", "review.html", "symlink")]:
        out = os.path.join(root, "out")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        shutil.copy(os.path.join(cwd, source), os.path.join(out, inside))
        data = open(os.path.join(out, inside), "rb").read()
        arg = os.path.join(root, "input" + os.path.splitext(source)[1])
        if os.path.lexists(arg):
            os.unlink(arg)
        (os.symlink if how == "symlink" else os.link)(os.path.join(out, inside), arg)
        proc = subprocess.run([exe, "split", "--overwrite", "--review", arg, out], cwd=cwd, capture_output=True)
        message = "silsplit: %s: is the same file as %s" % (arg, os.path.join(out, inside))
        if (proc.returncode != 1 or message.encode() not in proc.stderr or b"choose another folder" not in proc.stderr
                or sorted(os.listdir(out)) != [inside] or open(arg, "rb").read() != data):
            fail("%s as a %s was not refused untouched\n%s" % (inside, how, show(proc)))

    # review.html is replaced only with --overwrite.
    out = os.path.join(root, "review")
    os.makedirs(out)
    open(os.path.join(out, "review.html"), "wb").write(b"mine")
    proc = subprocess.run([exe, "split", "--review", "tones.wav", out], cwd=cwd, capture_output=True)
    if (proc.returncode != 1 or b"review.html: exists; add --overwrite" not in proc.stderr
            or os.listdir(out) != ["review.html"] or open(os.path.join(out, "review.html"), "rb").read() != b"mine"):
        fail("an existing review.html was not refused untouched\n" + show(proc))
    proc = subprocess.run([exe, "split", "--review", "--overwrite", "tones.wav", out], cwd=cwd, capture_output=True)
    if proc.returncode != 0 or open(os.path.join(out, "review.html"), "rb").read() == b"mine":
        fail("review.html was not replaced with --overwrite\n" + show(proc))

    # A split of standard input writes its review from the copy it kept,
    # the same page as a split of the file names (but for the names).
    pages = {}
    for name, source in [("wav", "tones.wav"), ("flac", flac)]:
        for how in ("file", "stdin"):
            out = os.path.join(root, "review-%s-%s" % (name, how))
            if how == "file":
                proc = subprocess.run([exe, "split", "--review", source, out], cwd=cwd, capture_output=True)
            else:
                with open(os.path.join(cwd, source), "rb") as stdin:
                    proc = subprocess.run([exe, "split", "--review", "-", out], cwd=cwd, stdin=stdin,
                                          capture_output=True)
            page = os.path.join(out, "review.html")
            if proc.returncode != 0 or not os.path.exists(page):
                fail("split --review of %s from %s failed\n%s" % (name, how, show(proc)))
            text = open(page, encoding="utf-8").read()
            pages[how] = re.sub(r'"(audio|command|file|input|out_dir|input_arg|out_dir_arg|cue_type)":"[^"]*"', "", text)
        if pages["file"] != pages["stdin"]:
            fail("the review of %s from standard input differs from the file's" % name)

    # A folder another split holds (its lock file locked) is refused at once,
    # and the holder's lock file stays.
    out = os.path.join(root, "locked")
    os.makedirs(out)
    lock_path = os.path.join(out, ".silsplit.lock")
    with open(lock_path, "wb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        proc = subprocess.run([exe, "split", "tones.wav", out], cwd=cwd, capture_output=True)
        message = "silsplit: %s: another split is writing into this folder" % out
        if proc.returncode != 1 or message.encode() not in proc.stderr or os.listdir(out) != [".silsplit.lock"]:
            fail("a locked folder was not refused\n" + show(proc))
    proc = subprocess.run([exe, "split", "tones.wav", out], cwd=cwd, capture_output=True)
    if proc.returncode != 0 or ".silsplit.lock" in os.listdir(out):
        fail("a released folder was not split into, or its lock file stayed\n" + show(proc))
    # A split that fails leaves no folder it made.
    fresh = os.path.join(root, "fresh")
    proc = subprocess.run([exe, "split", "missing.wav", fresh], cwd=cwd, capture_output=True)
    if proc.returncode != 1 or os.path.exists(fresh):
        fail("a failed split left its folder\n" + show(proc))


def case_sigint_split(exe, cwd, wav, stage):
    # As in case_sigint: long progress lines and a small pipe keep the
    # program close behind the line read here.
    name = "interrupted-" + "x" * 200 + ".wav"
    link = os.path.join(cwd, name)
    if not os.path.lexists(link):
        os.symlink(wav, link)
    out = os.path.join(cwd, "interrupted-split-" + stage)
    shutil.rmtree(out, ignore_errors=True)
    # Interrupted in its writing, an --overwrite keeps the earlier split.
    before = {}
    if stage == "write":
        subprocess.run([exe, "split", "-q", "tones.wav", out], cwd=cwd, check=True, capture_output=True)
        before = snapshot(out)
    overwrite = ["--overwrite"] if before else []
    r, w = os.pipe()
    fcntl.fcntl(r, fcntl.F_SETPIPE_SZ, 4096)
    # Options that make each 20-second burst a chapter of its own.
    tuning = ["--min-silence", "0.5", "--padding", "0.1"]
    proc = subprocess.Popen([exe, "split", "--progress"] + overwrite + tuning + [name, out], cwd=cwd, stdout=subprocess.PIPE,
                            stderr=w)
    os.close(w)
    # Into the writing far enough that some chapter files are complete.
    marker = re.compile((r": %s (\d+)%%" % stage).encode())

    def far_enough(line):
        m = marker.search(line)
        return m and (stage == "read" or int(m.group(1)) >= 20)

    line = b""
    while not far_enough(line):
        line = b""
        while not line.endswith(b"\n"):
            c = os.read(r, 1)
            if not c:
                proc.kill()
                fail("no %s progress line" % stage)
            line += c
    proc.send_signal(signal.SIGINT)
    rest = b""
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            break
        rest += chunk
    out_text = proc.stdout.read()
    proc.wait()
    os.close(r)
    if proc.returncode != 130 or out_text != b"":
        fail("exit %d after SIGINT, expected 130\nstdout: %r\nstderr tail: %r" % (proc.returncode, out_text,
                                                                               rest[-400:]))
    if b"write 100%" in rest:
        fail("the split went on to the end: %r" % rest[-400:])
    # Nothing of the new split: the folder as it was (none, before the
    # analysis; the earlier split, while writing).
    left = snapshot(out) if os.path.isdir(out) else {}
    if left != before:
        fail("files after SIGINT: %s, before: %s" % (sorted(left), sorted(before)))


def case_names(exe, cwd):
    # The same recording under a Latin-1 name and a UTF-8 one (hard links:
    # the review page would name a symbolic link's target).
    for name in (b"caf\xe9.wav", "café.wav".encode()):
        link = os.path.join(cwd.encode(), name)
        if os.path.lexists(link):
            os.unlink(link)
        os.link(os.path.join(cwd.encode(), b"tones.wav"), link)
    report = subprocess.run([exe, "analyze", "tones.wav"], cwd=cwd, capture_output=True, check=True).stdout
    for pretty in ([], ["--pretty"]):
        proc = subprocess.run([exe, "analyze"] + pretty + [b"caf\xe9.wav", "café.wav".encode()], cwd=cwd,
                              capture_output=True)
        if proc.returncode != 0:
            fail(show(proc))
        try:
            text = proc.stdout.decode("utf-8")
        except UnicodeDecodeError as e:
            fail("output is not UTF-8 (%s)\n%s" % (e, show(proc)))
        docs, pos = [], 0
        decoder = json.JSONDecoder()
        while text[pos:].strip():
            doc, pos = decoder.raw_decode(text, pos + len(text[pos:]) - len(text[pos:].lstrip()))
            docs.append(doc)
        if [d["file"] for d in docs] != ["caf\u00e9.wav", "café.wav"]:
            fail("names read back as %r" % [d["file"] for d in docs])
        if any(d["report"] != json.loads(report) for d in docs):
            fail("reports differ from the file's")
        # The byte E9 is the escape \u00E9; the UTF-8 name stays as it is.
        if b'"caf\\u00E9.wav"' not in proc.stdout or '"café.wav"'.encode() not in proc.stdout:
            fail("names not written as expected\n" + show(proc))
    # The review page carries the name (and the command line) in its data.
    out = os.path.join(cwd, "names-review")
    split_into(exe, cwd, b"caf\xe9.wav".decode(errors="surrogateescape"), out, ["--review"])
    page = open(os.path.join(out, "review.html"), "rb").read()
    try:
        page.decode("utf-8")
    except UnicodeDecodeError as e:
        fail("review.html is not UTF-8 (%s)" % e)
    if b'"file":"caf\\u00E9.wav"' not in page:
        fail("review.html does not name caf\\u00E9.wav")
    # A line break in a name stays inside the CUE sheet's FILE field.
    name = "two\nTRACK 99 AUDIO.wav"
    link = os.path.join(cwd, name)
    if os.path.lexists(link):
        os.unlink(link)
    os.link(os.path.join(cwd, "tones.wav"), link)
    proc = subprocess.run([exe, "analyze", "-f", "cue", name], cwd=cwd, capture_output=True)
    lines = proc.stdout.decode().splitlines()
    if proc.returncode != 0 or lines[0] != 'FILE "two TRACK 99 AUDIO.wav" WAVE' or "TRACK 99" in "".join(lines[1:]):
        fail("a line break in a name reached the CUE sheet\n" + show(proc))


def case_make_run(src, build):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAKE")}
    out = os.path.join(build, "make-run-out")
    shutil.rmtree(out, ignore_errors=True)
    proc = subprocess.run(["make", "-n", "-C", src, "run", "BUILD=" + build, "RUN_OUT=" + out], env=env,
                          capture_output=True)
    if proc.returncode != 0:
        fail(show(proc))
    commands = [line for line in proc.stdout.decode().splitlines() if "/cli/silsplit " in line]
    if not any(" split " in c for c in commands):
        fail("make run splits nothing:\n" + proc.stdout.decode())
    for attempt in (1, 2):
        for command in commands:
            run = subprocess.run(["bash", "-c", command], cwd=src, capture_output=True)
            if run.returncode != 0:
                fail("run %d of %s\n%s" % (attempt, command, show(run)))


def case_installed(src, build, cc):
    import tempfile
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH") and not k.startswith("MAKE")}

    def run(cmd, **kw):
        proc = subprocess.run(cmd, env=kw.pop("env", env), capture_output=True, **kw)
        if proc.returncode != 0:
            fail("%s\n%s" % (" ".join(cmd), show(proc)))
        return proc.stdout

    talk = os.path.join(src, "examples", "audio", "talk.wav")
    expected = open(os.path.join(src, "examples", "expected_output.txt"), "rb").read()
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "prefix")
        run(["cmake", "--install", build, "--prefix", prefix])
        pcs = [os.path.join(d, f) for d, _, fs in os.walk(prefix) for f in fs if f == "silsplit.pc"]
        if len(pcs) != 1:
            fail("installed .pc files: %s" % pcs)
        libdir = os.path.dirname(os.path.dirname(pcs[0]))
        # The program, from its prefix and from wherever the prefix moves.
        for place in ("prefix", "moved"):
            here = os.path.join(tmp, place)
            if here != prefix:
                os.rename(prefix, here)
            run([os.path.join(here, "bin", "silsplit"), "--version"])
            run([os.path.join(here, "bin", "silsplit"), "analyze", talk])
        os.rename(os.path.join(tmp, "moved"), prefix)
        # A C host: pkg-config finds the package through PKG_CONFIG_PATH, and
        # -Wl,-rpath lets the host find the library when it runs.
        pc_env = dict(env, PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "silsplit"], env=pc_env).decode().split()
        host = os.path.join(tmp, "print_chapters")
        run([cc, os.path.join(src, "examples", "print_chapters.c")] + flags + ["-Wl,-rpath," + libdir, "-o", host])
        examples = os.path.join(src, "examples")
        if run([host, "audio/talk.wav"], cwd=examples) != expected:
            fail("the pkg-config host prints something else")
        # A CMake host: find_package through CMAKE_PREFIX_PATH.
        project = os.path.join(tmp, "cmake-host")
        os.makedirs(project)
        open(os.path.join(project, "CMakeLists.txt"), "w").write(
            "cmake_minimum_required(VERSION 3.16)\nproject(host C)\n"
            "find_package(silsplit 1.1 REQUIRED)\n"
            "add_executable(host %s)\n"
            "target_link_libraries(host PRIVATE silsplit::silsplit)\n" % os.path.join(src, "examples", "print_chapters.c"))
        run(["cmake", "-S", project, "-B", os.path.join(project, "build"), "-DCMAKE_PREFIX_PATH=" + prefix,
             "-DCMAKE_C_COMPILER=" + cc])
        run(["cmake", "--build", os.path.join(project, "build")])
        if run([os.path.join(project, "build", "host"), "audio/talk.wav"], cwd=examples) != expected:
            fail("the CMake host prints something else")


def case_sigint(exe, cwd, wav):
    # Progress lines name the file; a long name makes them long. The pipe
    # holds 4096 bytes, so the program can be at most that far ahead of the
    # line read here: it is still reading the file when the signal comes.
    name = "interrupted-" + "x" * 200 + ".wav"
    link = os.path.join(cwd, name)
    if not os.path.lexists(link):
        os.symlink(wav, link)
    r, w = os.pipe()
    fcntl.fcntl(r, fcntl.F_SETPIPE_SZ, 4096)
    proc = subprocess.Popen([exe, "analyze", "--progress", "--format", "table", name], cwd=cwd,
                            stdout=subprocess.PIPE, stderr=w)
    os.close(w)
    first = b""
    while not first.endswith(b"\n"):
        c = os.read(r, 1)
        if not c:
            break
        first += c
    if b": read " not in first:
        proc.kill()
        fail("no progress line before the analysis, got %r" % first)
    proc.send_signal(signal.SIGINT)
    rest = b""
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            break
        rest += chunk
    out = proc.stdout.read()
    proc.wait()
    os.close(r)
    if proc.returncode != 130:
        fail("exit %d after SIGINT, expected 130\nstdout: %r\nstderr tail: %r" % (proc.returncode, out, rest[-400:]))
    if out != b"":
        fail("report printed after SIGINT: %r" % out[:200])
    if b": done 100%" in rest or b"cancelled" in rest:
        fail("analysis went on to the end or printed an error: %r" % rest[-400:])


def case_sigint_wait(exe, cwd):
    """Ctrl-C ends a command that waits for input: on a FIFO with no writer,
    on a FIFO or a pipe whose writer stays silent. The signal is sent once a
    thread of the program waits in poll, the program must end with 130."""
    root = os.path.join(cwd, "sigint-wait-case")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    fifo = os.path.join(root, "talk.fifo")
    head = open(os.path.join(cwd, "tones.wav"), "rb").read()[:4096]
    # (command, the FIFO's writer: None for no writer, else the bytes it
    # writes before it stalls; "-" reads a silent pipe)
    cases = [(["analyze", fifo], None), (["analyze", fifo], head),
             (["split", fifo, os.path.join(root, "out")], None), (["analyze", "-"], b"")]
    for args, writer in cases:
        if os.path.lexists(fifo):
            os.unlink(fifo)
        os.mkfifo(fifo)
        r, w = os.pipe()
        proc = subprocess.Popen([exe] + args, cwd=cwd, stdin=r, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(r)
        held = None
        if writer is not None and args[-1] != "-":
            held = open(fifo, "wb", buffering=0)  # waits for the program to open the FIFO
            held.write(writer)
        # Waiting: some thread of the program sleeps in poll.
        for _ in range(2000):
            waits = []
            for task in os.listdir("/proc/%d/task" % proc.pid):
                try:
                    waits.append(open("/proc/%d/task/%s/wchan" % (proc.pid, task)).read())
                except OSError:
                    pass
            if any("poll" in x for x in waits) or proc.poll() is not None:
                break
            subprocess.run(["sleep", "0.01"])
        proc.send_signal(signal.SIGINT)
        try:
            out, err = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            fail("%s went on waiting after SIGINT" % args)
        finally:
            os.close(w)
            if held:
                held.close()
        if proc.returncode != 130 or out != b"":
            fail("%s with writer %r: exit %d after SIGINT, expected 130\nstdout: %r\nstderr: %r"
                 % (args, writer if writer is None else len(writer), proc.returncode, out[:200], err[-400:]))


def case_make(src):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAKE")}

    def dry_run(target):
        proc = subprocess.run(["make", "-n", "-C", src, target, "BUILD=build-dry-run"], env=env,
                              capture_output=True)
        if proc.returncode != 0:
            fail("make -n %s\n%s" % (target, show(proc)))
        return proc.stdout.decode()

    parts = {"tests": "ctest --output-on-failure", "asan": "--preset asan", "tsan": "--preset tsan",
             "fuzz": "scripts/fuzz.sh", "build packages": "scripts/install-deps.sh",
             "test packages": "install-deps.sh --tests", "hardening packages": "--hardening"}
    packages = {"build packages", "test packages"}
    for target, wanted in (("run", {"build packages"}), ("check", {"tests"} | packages),
                           ("test", set(parts))):
        text = dry_run(target)
        ran = {name for name, marker in parts.items() if marker in text}
        if ran != wanted:
            fail("make %s runs %s, expected %s\n%s" % (target, sorted(ran), sorted(wanted), text))


def case_index(exe, cwd, long_wav):
    index = os.path.join(cwd, "index.jsonl")
    if os.path.exists(index):
        os.unlink(index)
    latin1 = os.path.join(cwd.encode(), b"index-caf\xe9.wav")
    if not os.path.lexists(latin1):
        os.link(os.path.join(cwd.encode(), b"tones.wav"), latin1)
    tones = json.loads(subprocess.run([exe, "analyze", "tones.wav"], cwd=cwd, capture_output=True,
                                      check=True).stdout)

    def lines(data):
        return [json.loads(line) for line in data.decode("utf-8").splitlines()]

    # Ctrl-C during the long file: tones.wav is done, in the index and printed.
    proc = subprocess.Popen([exe, "analyze", "-j", "1", "--index", "index.jsonl", "tones.wav",
                             long_wav], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while proc.poll() is None and not (os.path.exists(index) and
                                       open(index, "rb").read().endswith(b"\n")):
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate()
    if proc.returncode != 130 or lines(out) != [{"file": "tones.wav", "report": tones}]:
        fail("interrupted: exit %d\n%r\n%r" % (proc.returncode, out, err))
    held = lines(open(index, "rb").read())
    if [line["path"] for line in held] != [os.path.join(cwd, "tones.wav")]:
        fail("index after the interrupt: %r" % held)

    # The one file left is printed as one of several; a file that fails is
    # held too (its error on stderr); the Latin-1 name is known by its bytes.
    for args, printed, rc in (
            (["tones.wav", "single.wav"], ["single.wav"], 0),
            ([b"index-caf\xe9.wav", b"tones.wav", b"not_a_wav.wav"],
             ["index-caf\u00e9.wav"], 1),
            ([latin1, b"./tones.wav", b"single.wav"], [], 0)):
        proc = subprocess.run([exe, "analyze", "--index", "index.jsonl"] + args, cwd=cwd,
                              capture_output=True)
        if proc.returncode != rc or [d["file"] for d in lines(proc.stdout)] != printed:
            fail("rerun of %r\n%s" % (args, show(proc)))
    held = lines(open(index, "rb").read())
    keys = [base64.b64decode(line["path_b64"]) if "path_b64" in line else line["path"].encode()
            for line in held]
    expected = [os.path.join(cwd, name).encode() for name in ("tones.wav", "single.wav")] + \
        [latin1, os.path.join(cwd, "not_a_wav.wav").encode()]
    if sorted(keys) != sorted(expected) or len(keys) != len(expected):
        fail("index holds %r" % keys)


def main():
    argv = sys.argv[1:]
    mode = argv[0]
    if mode == "run":
        sep = argv.index("--")
        head, args = argv[1:sep], argv[sep + 1:]
        extra = {}
        for flag in ("--stderr", "--stdout"):
            extra[flag] = None
            if flag in head:
                k = head.index(flag)
                extra[flag] = head[k + 1]
                del head[k:k + 2]
        case_run(*head, extra["--stderr"], extra["--stdout"], args)
    elif mode == "split":
        case_split(*argv[1:])
    elif mode == "sigint":
        case_sigint(*argv[1:])
    elif mode == "make":
        case_make(*argv[1:])
    elif mode == "mono16":
        case_mono16(*argv[1:])
    elif mode == "overwrite":
        case_overwrite(*argv[1:])
    elif mode == "sigint-wait":
        case_sigint_wait(*argv[1:])
    elif mode == "same-file":
        case_same_file(*argv[1:])
    elif mode == "sigint-split":
        case_sigint_split(*argv[1:])
    elif mode == "names":
        case_names(*argv[1:])
    elif mode == "index":
        case_index(*argv[1:])
    elif mode == "make-run":
        case_make_run(*argv[1:])
    elif mode == "installed":
        case_installed(*argv[1:])
    else:
        fail("unknown mode " + mode)


if __name__ == "__main__":
    main()
