"""Session and analyze_file() on the engine library: frames fed as they
arrive give the report of the whole file; chapters come as records; errors
carry codes; options come from the engine's table; other formats go through
the media module as the program reads them."""

import os
import shutil
import subprocess
import wave
from array import array

import pytest

import silsplit
from silsplit import _core
from conftest import RATE, SPEECH, signal, write_wav

np = pytest.importorskip("numpy")

# Five chapters of tone between pauses of 1.5 s, on two channels of
# different levels (the mix matters), at 44.1 kHz.
LONG = [(0.3, 0.0)] + [(4.0, 0.4), (1.5, 0.0)] * 5


def stereo_wav(path, segments, rate):
    left = np.array(signal(segments, rate), dtype=np.float64)
    frames = np.stack([left, left * 0.25], axis=1)
    pcm = np.clip(np.round(frames * 32767), -32768, 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())
    return str(path), pcm


@pytest.mark.parametrize("options", [{}, {"auto": True, "report_pauses": True},
                                     {"min_chapter_s": 1, "keep_all": True,
                                      "titles": ["One", None, "Three"]}])
def test_one_second_chunks_give_the_files_report(tmp_path, options):
    path, pcm = stereo_wav(tmp_path / "long.wav", LONG, 44100)
    told = []
    with silsplit.Session(44100, channels=2, on_chapter=told.append, **options) as s:
        closed = []
        for at in range(0, len(pcm), 44100):
            closed += s.push(pcm[at:at + 44100])      # int16 frames x channels
        report = s.finish()
        closed += s.chapters[len(closed):]
    assert report.json == silsplit.analyze(path, **options).json
    assert [c.index for c in told] == [c.index for c in report.chapters]
    assert [(c.t0, c.t1) for c in closed] == [(c.t0, c.t1) for c in report.chapters]
    for c in closed:
        assert c.frame0 <= round(c.t0 * 44100) + 1 and c.frame1 >= round(c.t1 * 44100) - 1
    if options.get("keep_all"):
        assert [c.title for c in closed][:3] == ["One", "", "Three"]
        assert closed[0].frame0 == 0 and closed[-1].frame1 == len(pcm)
        assert all(a.frame1 == b.frame0 for a, b in zip(closed, closed[1:]))
    if options.get("auto"):
        assert closed[0].start_confidence is None
        assert all(0 <= c.start_confidence <= 1 for c in closed[1:])


def test_float_buffers_of_any_kind(tmp_path):
    """Interleaved float32 bytes, array('f') and plain numbers give the same
    report as the file."""
    path, pcm = stereo_wav(tmp_path / "short.wav", SPEECH, RATE)
    floats = (pcm.astype(np.float32) / np.float32(32768)).reshape(-1)
    want = silsplit.analyze(path).json
    for convert in (lambda a: a.tobytes(), lambda a: array("f", a.tobytes()),
                    lambda a: [float(v) for v in a]):
        s = silsplit.Session(RATE, channels=2)
        for at in range(0, len(floats), 2 * 7001):
            s.push(convert(floats[at:at + 2 * 7001]))
        assert s.finish().json == want
        s.close()


def test_errors_carry_codes():
    with pytest.raises(silsplit.Error) as e:
        silsplit.Session(RATE, hints=[3.0, 2.0])
    assert e.value.code == silsplit.ErrorCode.ARGS
    assert str(e.value) == "hints[1]: is not after the hint before it"
    with pytest.raises(silsplit.Error) as e:
        silsplit.Session(0)
    assert e.value.code == silsplit.ErrorCode.ARGS
    with pytest.raises(TypeError):
        silsplit.Session(RATE, keep_all=1)
    with pytest.raises(TypeError):
        silsplit.Session(RATE, no_such_option=1)
    s = silsplit.Session(RATE)
    with pytest.raises(ValueError):
        silsplit.Session(RATE, channels=2).push(array("f", [0.0, 0.1, 0.2]))
    with pytest.raises(silsplit.Error) as e:
        s.finish()                                     # nothing pushed
    assert e.value.code == silsplit.ErrorCode.ARGS
    with pytest.raises(silsplit.Error) as e:
        s.push(array("f", [0.0] * 100))                # a failed session is over
    assert e.value.code == silsplit.ErrorCode.STATE
    with pytest.raises(silsplit.Error) as e:
        silsplit.analyze_file("/nonexistent/x.wav")
    assert e.value.code == silsplit.ErrorCode.READ


def test_a_chapter_callback_stops_the_session():
    def stop(ch):
        raise KeyError(ch.index)
    s = silsplit.Session(RATE, on_chapter=stop)
    s.push(signal(SPEECH))
    with pytest.raises(KeyError):
        s.finish()


def test_the_option_table_is_the_engines():
    table = silsplit.options()
    assert tuple(o.key for o in table) == _core.OPTION_NAMES + (
        "hint_window_s", "chapters", "hints", "titles")
    by_key = {o.key: o for o in table}
    assert by_key["threshold_db"].default == -40.0 and by_key["threshold_db"].flag == "--threshold-db"
    assert by_key["chapter_count"].kind == "count" and by_key["chapter_count"].max == 10000
    assert by_key["hint_window_s"].min_excluded


def _media():
    module = os.environ.get("SILSPLIT_MEDIA_MODULE", "")
    program = os.path.join(os.path.dirname(module), "silsplit")
    if not (os.path.isfile(module) and os.access(program, os.X_OK) and shutil.which("ffmpeg")):
        pytest.skip("no media module, program or ffmpeg")
    return program


@pytest.mark.parametrize("ext", ["mp3", "flac", "m4b"])
def test_other_formats_read_as_the_program_reads_them(tmp_path, ext):
    program = _media()
    wav, _ = stereo_wav(tmp_path / "talk.wav", LONG, 44100)
    path = str(tmp_path / ("talk." + ext))
    codec = ["-c:a", "aac"] if ext == "m4b" else []
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", wav] + codec + [path], check=True,
                   stdin=subprocess.DEVNULL)
    expected = subprocess.run([program, "analyze", "--min-chapter", "2", path], check=True,
                              stdout=subprocess.PIPE).stdout.decode().strip()
    assert silsplit.analyze(path, min_chapter_s=2).json == expected
    told = []
    assert silsplit.analyze_file(path, min_chapter_s=2, on_chapter=told.append).json == expected
    assert len(told) == 5


def test_the_readmes_session_example(monkeypatch, capsys):
    """The README's Session block, run beside the example recording."""
    from test_readme import readme_script
    code = readme_script("Streams, and other formats", "silsplit.Session")
    monkeypatch.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                   os.pardir, "examples", "audio"))
    exec(compile(code, "README.md", "exec"), {})
    out = capsys.readouterr().out
    assert out.count("closed: ") == 3 and out.splitlines()[3].startswith("1 ")
