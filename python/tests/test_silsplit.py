import ctypes
import json
import math
import os
import random
import subprocess
import sys
import threading
from array import array

import pytest

import silsplit
from silsplit import _core
from conftest import RATE, SPEECH, riff, signal, write_wav


def chapter_spans(report):
    return [(c.t0, c.t1) for c in report.chapters]


# ---------------------------------------------------------------------------
# Each public function
# ---------------------------------------------------------------------------

def test_version():
    assert silsplit.version() == "1.1.0"


def test_analyze_reads_the_report(speech_wav):
    report = silsplit.analyze(speech_wav)
    assert report.sample_rate == RATE
    assert report.duration_s == pytest.approx(15.0)
    assert [c.index for c in report.chapters] == [1, 2]
    first, second = report.chapters
    assert first.t0 == pytest.approx(0.25, abs=0.05)
    assert second.t1 == pytest.approx(15.0)   # the last 0.5 s is too short to end it
    assert first.dur == pytest.approx(first.t1 - first.t0)
    assert first.peak_db == pytest.approx(-9.03, abs=0.1)  # a sine of amplitude 0.5
    assert report.silences_removed_s > 0
    # .json is the library's text unchanged, and the fields come from it.
    data = json.loads(report.json)
    assert data["chapters"][1]["t0"] == second.t0
    assert silsplit.Report.from_json(report.json) == report


def test_analyze_pcm_matches_the_file(speech_wav):
    assert chapter_spans(silsplit.analyze_pcm(signal(SPEECH))) == \
        chapter_spans(silsplit.analyze(speech_wav))


def test_split_writes_chapter_files(speech_wav, tmp_path):
    out = tmp_path / "out"
    assert silsplit.split(speech_wav, out) == 2
    assert sorted(os.listdir(out)) == ["ch_001.wav", "ch_002.wav", "chapters.json"]
    assert (out / "chapters.json").read_text() == silsplit.analyze(speech_wav).json


def test_split_into_an_earlier_split(speech_wav, tmp_path):
    # An earlier split's files are refused without overwrite=True; with it
    # they go (no stale chapter stays), and files of other names stay.
    out = tmp_path / "out"
    out.mkdir()
    for name in ("ch_001.wav", "ch_007.wav", "chapters.json", "ch_1.txt", "notes.wav"):
        (out / name).write_bytes(b"earlier")
    with pytest.raises(silsplit.Error, match="holds an earlier split .*overwrite=True"):
        silsplit.split(speech_wav, out)
    assert (out / "ch_007.wav").read_bytes() == b"earlier"
    assert silsplit.split(speech_wav, out, overwrite=True) == 2
    assert sorted(os.listdir(out)) == ["ch_001.wav", "ch_002.wav", "ch_1.txt", "chapters.json",
                                       "notes.wav"]
    # A split that fails leaves the earlier one whole, and nothing of its own.
    before = {n: (out / n).read_bytes() for n in os.listdir(out)}
    with pytest.raises(silsplit.Error, match="t0 is not before the end"):
        silsplit.split(speech_wav, out, overwrite=True, chapters=[0.0, 500.0])
    assert {n: (out / n).read_bytes() for n in os.listdir(out)} == before
    # The recording under a name the split replaces is never removed.
    inside = out / "ch_002.wav"
    with pytest.raises(silsplit.Error, match="is the same file as"):
        silsplit.split(inside, out, overwrite=True)
    assert sorted(os.listdir(out)) == ["ch_001.wav", "ch_002.wav", "ch_1.txt", "chapters.json",
                                       "notes.wav"]


# A report with every member an option can add, in the library's layout.
FULL_REPORT = (
    '{"sample_rate":16000,"duration_s":3.0,"silences_removed_s":1.0,'
    '"chapters":[{"i":1,"t0":0.5,"t1":2.5,"dur":2.0,"peak_db":-6.5}],'
    '"threshold_db":-43.5,"threshold_track":[{"t":0.0,"db":-44.0},{"t":2.0,"db":-43.0}],'
    '"pauses":[{"t0":0.0,"t1":0.5,"dur":0.5,"level_db":-70.2,"score":3.5,"rank":2},'
    '{"t0":2.5,"t1":3.0,"dur":0.5,"level_db":-80.0,"score":4.25,"rank":1}],'
    '"levels":{"hop_s":0.01,"db":[-120.0,-60.5,-6.5]},'
    '"chapter_count":{"requested":2,"found":1}}')


def test_report_members_asked_for():
    report = silsplit.Report.from_json(FULL_REPORT)
    assert report.chapters == (silsplit.Chapter(1, 0.5, 2.5, 2.0, -6.5),)
    assert report.threshold_db == -43.5
    assert report.threshold_track == (silsplit.ThresholdPoint(0.0, -44.0),
                                      silsplit.ThresholdPoint(2.0, -43.0))
    assert report.pauses == (silsplit.Pause(0.0, 0.5, 0.5, -70.2, 3.5, 2),
                             silsplit.Pause(2.5, 3.0, 0.5, -80.0, 4.25, 1))
    assert report.levels == silsplit.Levels(0.01, (-120.0, -60.5, -6.5))
    assert repr(report.levels) == "Levels(hop_s=0.01, db=<3 values>)"
    assert report.chapter_count == silsplit.ChapterCount(requested=2, found=1)
    assert report.json == FULL_REPORT


def test_report_members_absent_are_none(speech_wav):
    report = silsplit.analyze(speech_wav)
    assert (report.threshold_db, report.threshold_track, report.pauses, report.levels,
            report.chapter_count) == (None,) * 5
    # A constant threshold comes without a track.
    data = json.loads(FULL_REPORT)
    del data["threshold_track"]
    report = silsplit.Report.from_json(json.dumps(data))
    assert report.threshold_db == -43.5 and report.threshold_track is None


def _drifting_floor(rate=8000):
    """90 s: 6 s of tone every 10 s over a noise floor that rises from -70 to
    -35 dBFS half way, so a threshold found from the levels must follow it."""
    rng = random.Random(1)
    out = array("f")
    for k in range(90 * rate):
        t = k / rate
        floor = 10 ** ((-70 if t < 45 else -35) / 20)
        tone = 0.3 * math.sin(2 * math.pi * 200 * t) if t % 10 < 6 else 0.0
        out.append(tone + floor * rng.gauss(0, 1))
    return out


ANALYSES = {
    "analyze": lambda path, samples, **o: silsplit.analyze(path, **o),
    "analyze-progress": lambda path, samples, **o: silsplit.analyze(
        path, progress=lambda p, s: None, **o),
    "analyze_pcm": lambda path, samples, **o: silsplit.analyze_pcm(samples, **o),
}


@pytest.fixture(params=list(ANALYSES))
def analysis(request, tmp_path):
    """An analysis of the SPEECH signal from a file, or from the samples."""
    samples = signal(SPEECH)
    path = write_wav(tmp_path / "speech.wav", samples)
    return lambda **o: ANALYSES[request.param](path, samples, **o)


def test_report_pauses_from_the_library(analysis):
    report = analysis(report_pauses=True)
    # The one gap between the tones, from 6.5 s to 8.5 s.
    (pause,) = report.pauses
    assert (pause.t0, pause.t1) == pytest.approx((6.5, 8.5), abs=0.02)
    assert pause.dur == pytest.approx(pause.t1 - pause.t0, abs=1e-6)
    assert pause.rank == 1 and pause.level_db == -120.0 and pause.score > 0
    assert report.chapters == analysis().chapters
    assert (report.levels, report.threshold_db, report.chapter_count) == (None, None, None)


def test_report_levels_from_the_library(analysis):
    report = analysis(report_levels=True)
    levels = report.levels
    assert levels.hop_s == pytest.approx(0.01)
    assert len(levels.db) == pytest.approx(report.duration_s / levels.hop_s, abs=2)
    assert levels.db[:40] == (-120.0,) * 40               # the first 0.4 s is silent
    assert levels.db[100:500] == (-9.0,) * 400            # a sine of amplitude 0.5
    assert levels.db == tuple(json.loads(report.json)["levels"]["db"])
    assert report.pauses is None


@pytest.mark.parametrize("options, check", [
    ({"chapter_count": 1},
     lambda r: len(r.chapters) == 1 and r.chapter_count == silsplit.ChapterCount(1, 1)),
    ({"chapter_count": 2},
     lambda r: len(r.chapters) == 2 and r.chapter_count == silsplit.ChapterCount(2, 2)),
    ({"keep_all": True},
     lambda r: r.chapters[0].t0 == 0 and r.chapters[-1].t1 == r.duration_s
     and all(a.t1 == b.t0 for a, b in zip(r.chapters, r.chapters[1:]))),
    ({"max_chapter_s": 4.0, "cut_at_pause": True},
     lambda r: len(r.chapters) == 4 and all(c.dur <= 4.0 + 1e-6 for c in r.chapters)),
    ({"auto_threshold": True},
     lambda r: r.threshold_db is not None and r.threshold_track is None
     and len(r.chapters) == 2),
], ids=["count-1", "count-2", "keep-all", "cut-at-pause", "auto-threshold"])
def test_chapter_options_reach_the_library(analysis, options, check):
    report = analysis(**options)
    assert check(report), report


def test_speech_members():
    text = ('{"sample_rate":16000,"duration_s":1.0,"silences_removed_s":0.0,"chapters":[],'
            '"pauses":[{"t0":0.5,"t1":0.8,"dur":0.3,"level_db":-30.0,"score":0.3095,"rank":1,'
            '"speech_p":0.05}],"speech":{"hop_s":0.032,"p":[0.0,0.25,1.0]}}')
    report = silsplit.Report.from_json(text)
    assert report.pauses == (silsplit.Pause(0.5, 0.8, 0.3, -30.0, 0.3095, 1, 0.05),)
    assert report.speech == silsplit.Speech(0.032, (0.0, 0.25, 1.0))
    assert repr(report.speech) == "Speech(hop_s=0.032, p=<3 values>)"
    assert silsplit.Report.from_json(FULL_REPORT).pauses[0].speech_p is None


def test_speech_options_reach_the_library(analysis):
    report = analysis(report_speech=True)
    assert report.chapters == analysis().chapters
    assert report.speech.hop_s == 0.032
    assert len(report.speech.p) == math.ceil(report.duration_s / 0.032)
    assert all(0.0 <= p <= 1.0 for p in report.speech.p)
    # Tones are no speech: with speech=True there is nothing to keep.
    assert analysis(speech=True).chapters == ()


def test_threshold_track_from_the_library():
    report = silsplit.analyze_pcm(_drifting_floor(), sample_rate=8000, auto_threshold=True)
    track = report.threshold_track
    assert track is not None and len(track) > 2
    times = [p.t for p in track]
    assert times == sorted(times) and times[-1] <= report.duration_s
    assert track[-1].db > track[0].db + 20                # the floor rose by 35 dB
    assert min(p.db for p in track) <= report.threshold_db <= max(p.db for p in track)
    assert json.loads(report.json)["threshold_track"][0] == {"t": track[0].t, "db": track[0].db}


def test_paths_may_be_bytes_or_pathlike(speech_wav, tmp_path):
    import pathlib
    expected = silsplit.analyze(speech_wav).json
    assert silsplit.analyze(pathlib.Path(speech_wav)).json == expected
    assert silsplit.analyze(os.fsencode(speech_wav)).json == expected


# ---------------------------------------------------------------------------
# Samples in every accepted form give the same report
# ---------------------------------------------------------------------------

SAMPLES = signal(SPEECH)


def _numpy_float32():
    np = pytest.importorskip("numpy")
    return np.asarray(SAMPLES, dtype=np.float32)


def _numpy_strided():
    np = pytest.importorskip("numpy")
    return np.repeat(np.asarray(SAMPLES, dtype=np.float32), 2)[::2]


@pytest.mark.parametrize("make", [
    lambda: SAMPLES,
    lambda: list(SAMPLES),
    lambda: tuple(SAMPLES),
    lambda: (v for v in SAMPLES),
    lambda: SAMPLES.tobytes(),
    lambda: bytearray(SAMPLES.tobytes()),
    lambda: memoryview(SAMPLES.tobytes()),
    lambda: memoryview(SAMPLES.tobytes()).cast("f"),
    lambda: memoryview(b"\0\0\0\0" + SAMPLES.tobytes())[4:],
    lambda: memoryview(array("f", [v for v in SAMPLES for _ in (0, 1)]))[::2],
    lambda: array("d", SAMPLES),
    _numpy_float32,
    _numpy_strided,
], ids=["array-f", "list", "tuple", "generator", "bytes", "bytearray", "memoryview-bytes",
        "memoryview-f", "memoryview-slice", "memoryview-strided", "array-d", "numpy",
        "numpy-strided"])
def test_sample_forms(make):
    assert silsplit.analyze_pcm(make()).json == silsplit.analyze_pcm(SAMPLES).json


def _address(buf):
    if isinstance(buf, memoryview):
        buf = buf.obj
    if isinstance(buf, bytes):
        return ctypes.cast(buf, ctypes.c_void_p).value
    return ctypes.addressof(ctypes.c_char.from_buffer(buf))


@pytest.mark.parametrize("make", [
    lambda: array("f", SAMPLES),
    lambda: bytearray(SAMPLES.tobytes()),
    lambda: SAMPLES.tobytes(),
    lambda: memoryview(SAMPLES.tobytes()),
], ids=["array-f", "bytearray", "bytes", "memoryview-bytes"])
def test_samples_are_shared_not_copied(make, monkeypatch):
    lib = _core._library()
    real = lib.silsplit_analyze_pcm
    seen = []

    def spy(pointer, n, opts):
        seen.append(_address(pointer))
        return real(pointer, n, opts)

    monkeypatch.setattr(lib, "silsplit_analyze_pcm", spy)
    buf = make()
    silsplit.analyze_pcm(buf)
    assert seen == [_address(buf)]


def test_empty_samples():
    report = silsplit.analyze_pcm([])
    assert report.duration_s == 0 and report.chapters == ()


@pytest.mark.parametrize("samples, error", [
    (b"\0\0\0", ValueError),                                  # not whole float32 values
    (memoryview(bytes(16)).cast("f", (2, 2)), ValueError),    # two dimensions
    (array("h", [0, 1, 2]), TypeError),                       # integer PCM
    (["a", "b"], TypeError),
])
def test_bad_samples(samples, error):
    with pytest.raises(error):
        silsplit.analyze_pcm(samples)


# ---------------------------------------------------------------------------
# Options reach the library
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("segments, option, count_default, count_with", [
    # A tone at -30 dBFS: loud at -40, silent at -20.
    ([(6.0, 0.0316)], {"threshold_db": -20}, 1, 0),
    # A 1 s gap, 0.5 s once padded: merged at the default 0.8 s, kept at 0.3 s.
    ([(6.0, 0.5), (1.0, 0.0), (6.0, 0.5)], {"min_silence_s": 0.3}, 1, 2),
    # A 2 s tone is dropped at the default 5 s minimum.
    ([(1.0, 0.0), (2.0, 0.5), (1.0, 0.0)], {"min_chapter_s": 1.0}, 0, 1),
    # A 12 s tone is cut into pieces of at most 5 s.
    ([(12.0, 0.5)], {"max_chapter_s": 5.0}, 1, 3),
])
def test_options_change_the_chapters(segments, option, count_default, count_with, tmp_path):
    samples = signal(segments)
    assert len(silsplit.analyze_pcm(samples).chapters) == count_default
    assert len(silsplit.analyze_pcm(samples, **option).chapters) == count_with
    path = write_wav(tmp_path / "x.wav", samples)
    assert len(silsplit.analyze(path, **option).chapters) == count_with
    assert len(silsplit.analyze(path, progress=lambda p, s: None, **option).chapters) \
        == count_with
    assert silsplit.split(path, tmp_path / "out", **option) == count_with


def test_padding_and_none_meaning_default():
    samples = signal([(2.0, 0.0), (6.0, 0.5), (2.0, 0.0)])
    base = silsplit.analyze_pcm(samples)
    padded = silsplit.analyze_pcm(samples, padding_s=1.0)
    assert padded.chapters[0].t0 == pytest.approx(base.chapters[0].t0 - 0.75, abs=1e-3)
    assert silsplit.analyze_pcm(samples, padding_s=None).json == base.json


def test_sample_rate_reaches_the_library():
    samples = signal(SPEECH, rate=8000)
    report = silsplit.analyze_pcm(samples, sample_rate=8000)
    assert report.sample_rate == 8000
    assert report.duration_s == pytest.approx(15.0)
    assert chapter_spans(report) == pytest.approx(chapter_spans(silsplit.analyze_pcm(
        signal(SPEECH))), abs=0.02)


def _broken_library():
    raise AssertionError("the library must not be called")


CALLS = {
    "analyze": lambda p, o: silsplit.analyze(p, **o),
    "analyze-progress": lambda p, o: silsplit.analyze(p, progress=lambda *a: None, **o),
    "analyze_pcm": lambda p, o: silsplit.analyze_pcm([0.0], **o),
    "split": lambda p, o: silsplit.split(p, p + ".out", **o),
}
BAD_OPTIONS = {
    "unknown": {"threshhold_db": -30},
    "text": {"padding_s": "0.5"},
    "bool": {"padding_s": True},
    "flag-number": {"keep_all": 1},
    "flag-text": {"report_levels": "yes"},
    "count-fraction": {"chapter_count": 2.5},
    "count-bool": {"chapter_count": True},
}


@pytest.mark.parametrize("name, options", [(c, o) for c in CALLS for o in BAD_OPTIONS.values()]
                         # only analyze_pcm takes a rate
                         + [(c, {"sample_rate": 8000}) for c in CALLS if c != "analyze_pcm"])
def test_bad_options_fail_before_the_library(name, options, speech_wav, monkeypatch):
    monkeypatch.setattr(_core, "_library", _broken_library)
    with pytest.raises(TypeError):
        CALLS[name](speech_wav, options)


@pytest.fixture
def options_passed(monkeypatch):
    """The options text each library call receives."""
    lib = _core._library()
    seen = []
    for name, at in (("silsplit_analyze", 1), ("silsplit_analyze_progress", 1),
                     ("silsplit_analyze_pcm", 2), ("silsplit_write_chapters", 1)):
        def spy(*args, real=getattr(lib, name), at=at):
            seen.append(args[at])
            return real(*args)
        monkeypatch.setattr(lib, name, spy)
    return seen


@pytest.mark.parametrize("options, text", [
    ({}, None),
    ({"threshold_db": -30, "padding_s": None}, b'{"threshold_db": -30.0}'),
    ({"auto_threshold": True, "cut_at_pause": False},
     b'{"auto_threshold": true, "cut_at_pause": false}'),
    ({"chapter_count": 3}, b'{"chapter_count": 3}'),
    ({"keep_all": True, "report_pauses": True, "report_levels": True},
     b'{"keep_all": true, "report_pauses": true, "report_levels": true}'),
    # Always in the order of OPTION_NAMES, whatever the order of the keywords.
    ({"report_levels": True, "max_chapter_s": 60, "chapter_count": 2, "auto_threshold": False},
     b'{"max_chapter_s": 60.0, "auto_threshold": false, "chapter_count": 2, '
     b'"report_levels": true}'),
], ids=["none", "numbers", "flags", "count", "reports", "order"])
def test_options_text(options, text, options_passed, speech_wav, tmp_path):
    for name, call in CALLS.items():
        if name == "split":
            silsplit.split(speech_wav, str(tmp_path / "out"), **options)
        else:
            call(speech_wav, options)
    with_rate = b'{"sample_rate": 16000}' if text is None \
        else text[:-1] + b', "sample_rate": 16000}'
    assert options_passed == [text, text, with_rate, text]


@pytest.mark.parametrize("rate", [0, -8000, 44100.5, "44100", True])
def test_bad_sample_rate(rate, monkeypatch):
    monkeypatch.setattr(_core, "_library", _broken_library)
    with pytest.raises(ValueError):
        silsplit.analyze_pcm([0.0], sample_rate=rate)


# ---------------------------------------------------------------------------
# Every failure is a silsplit.Error with the library's message
# ---------------------------------------------------------------------------

FILE_ERRORS = [
    (None, "cannot open wav file"),
    (b"RIFF", "file too small for WAV"),
    # The library's message, and what to do about it.
    (b"x" * 64, r"not a RIFF/WAVE file; decode it first \(the silsplit program reads any format FFmpeg "
                r"decodes\) or pass its samples to analyze_pcm"),
    (riff(with_data=False) + b"\0" * 16, "missing fmt or data chunk"),
    (riff(channels=0), "invalid channel/sample rate"),
    (riff(fmt_tag=2), "unsupported WAV format"),
    (riff(bits=12), "unsupported bit depth"),
    (riff()[:-8], "data read fail"),
]


def _file(tmp_path, content):
    path = tmp_path / "in.wav"
    if content is not None:
        path.write_bytes(content)
    return str(path)


@pytest.mark.parametrize("content, message", FILE_ERRORS)
@pytest.mark.parametrize("call", [
    lambda p, d: silsplit.analyze(p),
    lambda p, d: silsplit.analyze(p, progress=lambda *a: None),
    lambda p, d: silsplit.split(p, d),
], ids=["analyze", "analyze-progress", "split"])
def test_file_errors(call, content, message, tmp_path):
    with pytest.raises(silsplit.Error, match="^%s$" % message) as info:
        call(_file(tmp_path, content), str(tmp_path / "out"))
    assert isinstance(info.value, RuntimeError)


@pytest.mark.parametrize("options, message", [
    ({"threshold_db": float("nan")}, "^threshold_db must be a finite number, not nan$"),
    ({"max_chapter_s": float("inf")}, "^max_chapter_s must be a finite number, not inf$"),
    ({"chapter_count": 0}, "^chapter_count must be a whole number from 1 to 10000, not 0$"),
    ({"chapter_count": 10001}, "^chapter_count must be a whole number from 1 to 10000, not 10001$"),
])
def test_option_values_out_of_range(options, message):
    # Checked before the library is called: a ValueError naming the key.
    with pytest.raises(ValueError, match=message):
        silsplit.analyze_pcm([0.0], **options)


def test_chapter_count_limit():
    # 10001 chapters of 50 ms tone and 50 ms silence, at a low input rate.
    unit = [0.5] * 50 + [0.0] * 50
    with pytest.raises(silsplit.Error, match="^chapter count exceeds 10000$"):
        silsplit.analyze_pcm(unit * 10001, sample_rate=1000, min_chapter_s=0,
                             min_silence_s=0.02, padding_s=0)


@pytest.mark.parametrize("out_dir, message", [
    (lambda t: t / "file", "out_dir exists but is not a directory"),
    (lambda t: t / "missing" / "out", "cannot create out_dir"),
    (lambda t: "x" * 1020, "output path too long"),
])
def test_split_errors(out_dir, message, speech_wav, tmp_path):
    (tmp_path / "file").write_text("")
    with pytest.raises(silsplit.Error, match="^%s$" % message):
        silsplit.split(speech_wav, out_dir(tmp_path))


def test_null_byte_in_path():
    with pytest.raises(ValueError):
        silsplit.analyze("a\0b.wav")


# ---------------------------------------------------------------------------
# Progress and cancellation
# ---------------------------------------------------------------------------

def test_progress_stages(speech_wav):
    calls = []
    report = silsplit.analyze(speech_wav, progress=lambda p, s: calls.append((p, s)))
    assert report.json == silsplit.analyze(speech_wav).json
    assert calls[0] == (0, "read") and calls[-1] == (100, "done")
    percents = [p for p, _ in calls]
    assert percents == sorted(percents)
    assert {s for _, s in calls} == {"read", "resample", "detect", "done"}


class Stop(Exception):
    pass


def _stop(p, s):
    raise Stop(s)


def _interrupt(p, s):
    raise KeyboardInterrupt


@pytest.mark.parametrize("at_stage", ["read", "resample", "detect", "done"])
@pytest.mark.parametrize("how, raises", [
    (lambda p, s: True, silsplit.Error),
    (lambda p, s: 1, silsplit.Error),
    (_stop, Stop),
    (_interrupt, KeyboardInterrupt),
])
def test_cancel(at_stage, how, raises, speech_wav):
    calls = []

    def progress(p, s):
        calls.append(s)
        if s == at_stage:
            return how(p, s)
        return None

    with pytest.raises(raises) as info:
        silsplit.analyze(speech_wav, progress=progress)
    if raises is silsplit.Error:
        assert str(info.value) == "cancelled"
    if raises is Stop:
        assert str(info.value) == at_stage
    assert calls[-1] == at_stage          # nothing is called after the cancel
    # The thread's next call starts clean.
    assert len(silsplit.analyze(speech_wav).chapters) == 2


# ---------------------------------------------------------------------------
# Report text is freed
# ---------------------------------------------------------------------------

def test_every_report_is_freed(speech_wav, tmp_path, monkeypatch):
    lib = _core._library()
    returned, freed = [], []

    def spy(name):
        real = getattr(lib, name)

        def call(*args):
            ptr = real(*args)
            returned.append(ptr)
            return ptr
        monkeypatch.setattr(lib, name, call)

    for name in ("silsplit_analyze", "silsplit_analyze_progress", "silsplit_analyze_pcm"):
        spy(name)
    real_free = lib.silsplit_free_string
    monkeypatch.setattr(lib, "silsplit_free_string",
                        lambda ptr: (freed.append(ptr), real_free(ptr)))

    silsplit.analyze(speech_wav)
    silsplit.analyze(speech_wav, progress=lambda p, s: None)
    silsplit.analyze_pcm(SAMPLES)
    with pytest.raises(silsplit.Error):
        silsplit.analyze(speech_wav, progress=lambda p, s: s == "done")
    with pytest.raises(silsplit.Error):
        silsplit.analyze(str(tmp_path / "missing.wav"))
    reports = [p for p in returned if p]
    assert len(reports) == 3 and sorted(freed) == sorted(reports)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_no_growth_over_many_calls():
    # 300 chapters of 50 ms at 1 kHz: reports of about 20 KB each, so 1000
    # unfreed ones would add some 20 MB.
    samples = array("f", ([0.5] * 50 + [0.0] * 50) * 300)
    options = dict(sample_rate=1000, min_chapter_s=0, min_silence_s=0.02, padding_s=0)
    assert len(silsplit.analyze_pcm(samples, **options).json) > 15000

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(100):
        silsplit.analyze_pcm(samples, **options)
    before = rss()
    for _ in range(1000):
        silsplit.analyze_pcm(samples, **options)
    assert rss() - before < 8 * 2**20


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------

def test_threads_give_identical_reports(speech_wav, tmp_path):
    bad = _file(tmp_path, b"x" * 64)
    expected = silsplit.analyze(speech_wav).json
    pcm_inputs = [signal([(1.0, 0.0), (6.0 + k, 0.5), (1.0, 0.0)]) for k in range(4)]
    pcm_expected = [silsplit.analyze_pcm(s).json for s in pcm_inputs]
    results, errors = [], []

    def work(k):
        for _ in range(5):
            results.append(silsplit.analyze(speech_wav, progress=lambda p, s: None).json
                           == expected)
            results.append(silsplit.analyze_pcm(pcm_inputs[k % 4]).json == pcm_expected[k % 4])
            try:
                silsplit.analyze(bad)
            except silsplit.Error as exc:
                errors.append(str(exc))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results and all(results)
    assert [e.split(";")[0] for e in errors] == ["not a RIFF/WAVE file"] * len(threads) * 5


# ---------------------------------------------------------------------------
# Finding the library
# ---------------------------------------------------------------------------

PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(silsplit.__file__)))


def _run(code, env_library, pythonpath):
    env = dict(os.environ, PYTHONPATH=pythonpath, PYTHONDONTWRITEBYTECODE="1",
               LD_LIBRARY_PATH="")
    env.pop("SILSPLIT_LIBRARY", None)
    if env_library is not None:
        env["SILSPLIT_LIBRARY"] = env_library
    # Run from pythonpath, so the working directory adds no other copy.
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, cwd=pythonpath)


def test_library_from_environment():
    out = _run("import silsplit; print(silsplit.library_path(), silsplit.version())",
               silsplit.library_path(), PACKAGE_DIR)
    assert out.stdout.split() == [silsplit.library_path(), "1.1.0"], out.stderr


def test_library_beside_the_package(tmp_path):
    import shutil
    shutil.copytree(os.path.join(PACKAGE_DIR, "silsplit"), tmp_path / "silsplit")
    beside = tmp_path / "silsplit" / "libkestrova-audio-silence-splitter.so.1"
    shutil.copy(silsplit.library_path(), beside)
    out = _run("import silsplit; print(silsplit.library_path())", None, str(tmp_path))
    assert out.stdout.strip() == str(beside), out.stderr


def test_missing_library_says_where_it_looked(tmp_path):
    code = ("import silsplit\n"
            "try:\n    silsplit.version()\n"
            "except silsplit.Error as e:\n    print(e)\n")
    out = _run(code, str(tmp_path / "nowhere.so"), PACKAGE_DIR)
    assert str(tmp_path / "nowhere.so") in out.stdout and "SILSPLIT_LIBRARY" in out.stdout
    # Without the variable, the package's own folder and the system path are
    # listed (unless the library is installed on this machine).
    out = _run(code + "else:\n    print('loaded')\n", None, PACKAGE_DIR)
    if out.stdout.strip() != "loaded":
        assert "beside the package" in out.stdout
        assert "system library path" in out.stdout
