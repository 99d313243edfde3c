#!/usr/bin/env python3
"""Runs the silsplit program once and checks what it did.

  cli_case.py run EXE DIR RC GOLDEN [--stderr TEXT] [--stdout KIND] -- ARGS...
      runs EXE ARGS in DIR; the exit status must be RC (128 + N for a death by
      signal N) and stdout must equal the file GOLDEN ("-": stdout must be
      empty); with --stderr, stderr must contain TEXT. With --stdout, stdout
      is not captured but is KIND: "full" (/dev/full), "closed" (no
      descriptor 1) or "broken" (a pipe whose reader has gone).
  cli_case.py split EXE DIR WAV CHAPTERS
      cuts DIR/WAV into a fresh folder and checks the files written.
  cli_case.py sigint EXE DIR WAV
      interrupts the analysis of DIR/WAV with SIGINT while it runs; the program
      must end with 130 and print no report.
  cli_case.py make SRC
      checks what the make targets of the source tree SRC would run (make -n):
      `check` builds and runs the tests without the sanitizer builds and the
      fuzz run, `test` runs all of it.
"""
import difflib
import fcntl
import json
import math
import os
import shutil
import signal
import struct
import subprocess
import sys


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


def read_wav(path):
    data = open(path, "rb").read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE" or data[12:16] != b"fmt ":
        fail(path + ": not a RIFF/WAVE file")
    fmt, channels, rate, _, _, bits = struct.unpack("<HHIIHH", data[20:36])
    if data[36:40] != b"data":
        fail(path + ": data chunk not where expected")
    size = struct.unpack("<I", data[40:44])[0]
    return fmt, channels, rate, bits, size


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def case_split(exe, cwd, wav, chapters):
    out = os.path.join(cwd, "split-" + os.path.splitext(os.path.basename(wav))[0])
    shutil.rmtree(out, ignore_errors=True)
    proc = subprocess.run([exe, "split", wav, out], cwd=cwd, capture_output=True)
    if proc.returncode != 0:
        fail(show(proc))
    n = int(chapters)
    if proc.stdout != ("%d chapters written to %s\n" % (n, out)).encode():
        fail("unexpected message\n" + show(proc))
    names = ["ch_%03d.wav" % i for i in range(1, n + 1)] + ["chapters.json"]
    if sorted(os.listdir(out)) != names:
        fail("files written: %s, expected %s" % (sorted(os.listdir(out)), names))
    # chapters.json is the report that analyze prints.
    report = subprocess.run([exe, "analyze", wav], cwd=cwd, capture_output=True, check=True).stdout
    if open(os.path.join(out, "chapters.json"), "rb").read() + b"\n" != report:
        fail("chapters.json differs from the analyze report")
    parsed = json.loads(report)
    src_rate = parsed["sample_rate"]
    for ch, name in zip(parsed["chapters"], names):
        fmt, channels, rate, bits, size = read_wav(os.path.join(out, name))
        if (fmt, channels, rate, bits) != (1, 1, src_rate, 16):
            fail("%s: format %s" % (name, (fmt, channels, rate, bits)))
        # single-precision products, as the library computes them
        frames = math.ceil(f32(f32(ch["t1"]) * rate)) - math.floor(f32(f32(ch["t0"]) * rate))
        if size != 2 * frames:
            fail("%s: %d data bytes, expected %d" % (name, size, 2 * frames))


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


def case_make(src):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MAKE")}

    def dry_run(target):
        proc = subprocess.run(["make", "-n", "-C", src, target, "BUILD=build-dry-run"], env=env,
                              capture_output=True)
        if proc.returncode != 0:
            fail("make -n %s\n%s" % (target, show(proc)))
        return proc.stdout.decode()

    parts = {"tests": "ctest --output-on-failure", "asan": "--preset asan", "tsan": "--preset tsan",
             "fuzz": "scripts/fuzz.sh", "hardening packages": "install-deps.sh --hardening"}
    for target, wanted in (("check", {"tests"}), ("test", set(parts))):
        text = dry_run(target)
        ran = {name for name, marker in parts.items() if marker in text}
        if ran != wanted:
            fail("make %s runs %s, expected %s\n%s" % (target, sorted(ran), sorted(wanted), text))


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
    else:
        fail("unknown mode " + mode)


if __name__ == "__main__":
    main()
