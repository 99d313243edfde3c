#!/usr/bin/env python3
"""What a split delivers beside its chapter files, checked with real tools.

  deliver_case.py manifest EXE DIR WAV
      splits DIR/WAV (the library's WAV route) and an MP3 made from it (the
      packet-copy route): each folder holds SHA256SUMS, which `sha256sum -c`
      accepts and `silsplit verify` passes; one flipped byte in any listed
      file, a missing piece, or a piece left out of the manifest fails verify
      with that file named; --original finds a changed sample even when the
      manifest was made again to match it; --manifest and --no-manifest.
"""
import os
import shutil
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


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "manifest":
        case_manifest(*args)
    else:
        fail("unknown case " + mode)


if __name__ == "__main__":
    main()
