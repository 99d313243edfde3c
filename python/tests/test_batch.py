"""Many files at once, on a thread pool and on a Dask cluster of two worker
processes: the results are those of a plain loop, each file once, and a
failing file never stops the others."""

import io
import itertools
import json
import logging
import os
import pathlib

import pytest

import silsplit
from silsplit import _core
from silsplit.batch import analyze_many
from conftest import riff, signal, write_wav

OPTIONS = {"min_silence_s": 0.5, "min_chapter_s": 2.0}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Three dozen recordings of one to four chapters at 8 and 16 kHz, and
    three that fail each in its own way."""
    folder = tmp_path_factory.mktemp("archive")
    paths = []
    for k in range(36):
        segments = [(0.3, 0.0)]
        for c in range(1 + k % 4):
            segments += [(2.0 + (k + c) % 3, 0.2 + 0.1 * c), (0.4 + 0.2 * ((k + c) % 4), 0.0)]
        rate = 8000 if k % 3 else 16000
        paths.append(write_wav(folder / ("rec_%02d.wav" % k), signal(segments, rate), rate))
    (folder / "text.wav").write_bytes(b"x" * 64)
    (folder / "twelve_bit.wav").write_bytes(riff(bits=12))
    return paths + [str(folder / "text.wav"), str(folder / "twelve_bit.wav"),
                    str(folder / "missing.wav")]


def plain_loop(paths, **options):
    out = {}
    for path in paths:
        try:
            out[path] = silsplit.analyze(path, **options).json
        except silsplit.Error as exc:
            out[path] = "error: %s" % exc
    return out


def collected(results):
    out = {}
    for path, result in results:
        assert path not in out, "%s came twice" % path
        if isinstance(result, silsplit.Error):
            out[path] = "error: %s" % result
        else:
            assert isinstance(result, silsplit.Report)
            assert result == silsplit.Report.from_json(result.json)
            out[path] = result.json
    return out


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    # Two worker processes, which inherit SILSPLIT_LIBRARY and PYTHONPATH.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster) as client:
            client.wait_for_workers(2)
            yield client


@pytest.fixture(params=["threads", "dask"])
def run_many(request):
    """analyze_many on a pool of two threads, or on the Dask cluster."""
    if request.param == "threads":
        return lambda paths, **kw: analyze_many(paths, threads=2, **kw)
    client = request.getfixturevalue("dask_client")
    return lambda paths, **kw: analyze_many(paths, client, **kw)


# ---------------------------------------------------------------------------
# The same results as a loop
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("options", [
    {}, OPTIONS,
    {"auto_threshold": True, "report_pauses": True, "report_levels": True, "chapter_count": 2},
], ids=["defaults", "options", "report-members"])
def test_results_equal_the_plain_loop(run_many, files, options):
    expected = plain_loop(files, **options)
    assert collected(run_many(files, **options)) == expected
    assert sum(v.startswith("error: ") for v in expected.values()) == 3
    assert expected[files[-1]] == "error: cannot open wav file"


def test_work_is_spread_over_both_workers(dask_client, files):
    distributed = pytest.importorskip("distributed")
    with distributed.get_task_stream(dask_client) as stream:
        got = collected(analyze_many(files, dask_client))
    assert got == plain_loop(files)
    assert len({task["worker"] for task in stream.data}) == 2


def test_paths_come_back_as_given(run_many, files):
    given = [files[0], pathlib.Path(files[1]), os.fsencode(files[2]), files[0]]
    got = list(run_many(given))
    assert sorted(map(repr, (p for p, _ in got))) == sorted(map(repr, given))
    for path, result in got:
        assert result.json == silsplit.analyze(path).json


def test_a_path_the_library_cannot_take_is_one_error(run_many, files):
    got = dict(run_many([files[0], "a\0b.wav", files[1]]))
    assert str(got["a\0b.wav"]) == "ValueError: embedded null byte in path"
    assert isinstance(got["a\0b.wav"], silsplit.Error)
    assert got[files[0]].json == silsplit.analyze(files[0]).json
    assert got[files[1]].json == silsplit.analyze(files[1]).json


def _fails_on_the_worker(path, options):
    raise RuntimeError("worker gone")


def test_a_failed_task_is_one_error(dask_client, files, monkeypatch):
    # A task that fails in Dask rather than in the library (here: a task
    # function that raises, shipped to the workers by value).
    import sys
    import cloudpickle
    import silsplit.batch
    monkeypatch.setattr(silsplit.batch, "_analyze_file", _fails_on_the_worker)
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        got = dict(analyze_many(files[:5], dask_client))
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    assert sorted(got) == sorted(files[:5])
    assert [str(r) for r in got.values()] == ["RuntimeError: worker gone"] * 5
    assert all(isinstance(r, silsplit.Error) for r in got.values())


# ---------------------------------------------------------------------------
# The JSON Lines index
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("to_file", [True, False], ids=["file-name", "open-file"])
def test_index(run_many, files, tmp_path, to_file):
    target = tmp_path / "index.jsonl" if to_file else io.StringIO()
    yielded = [path for path, _ in run_many(files, index=target, **OPTIONS)]
    text = target.read_text() if to_file else target.getvalue()
    lines = [json.loads(line) for line in text.splitlines()]
    # One line per file, in the order the results were yielded.
    assert [line["path"] for line in lines] == yielded
    expected = plain_loop(files, **OPTIONS)
    for line in lines:
        if "error" in line:
            assert expected[line["path"]] == "error: " + line["error"]
        else:
            assert line["report"] == json.loads(expected[line["path"]])


def test_index_names_not_utf8(files, tmp_path):
    # A name that is not UTF-8 is written as the program writes it (its bytes
    # as \u00XX escapes), and no result is lost for it.
    name = os.path.join(os.fsencode(tmp_path), b"caf\xe9.wav")
    os.link(files[0], name)
    target = tmp_path / "index.jsonl"
    got = dict(analyze_many([name, files[1]], threads=2, index=target, **OPTIONS))
    assert set(got) == {name, files[1]}
    raw = target.read_bytes()
    assert b'caf\\u00E9.wav"' in raw
    lines = [json.loads(line) for line in raw.decode("utf-8").splitlines()]
    assert {line["path"] for line in lines} == {os.path.join(str(tmp_path), "caf\u00e9.wav"), files[1]}


# ---------------------------------------------------------------------------
# Arguments, and stopping early
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, error", [
    ({"threshhold_db": -30}, TypeError),
    ({"padding_s": "0.5"}, TypeError),
    ({"keep_all": 1}, TypeError),
    ({"sample_rate": 8000}, TypeError),
    ({"threads": 0}, ValueError),
    ({"max_pending": 0}, ValueError),
])
def test_bad_arguments_fail_at_the_call(kwargs, error, files, monkeypatch):
    monkeypatch.setattr(_core, "_library", lambda: pytest.fail("the library was called"))
    with pytest.raises(error):
        analyze_many(files, **kwargs)


def test_paths_are_taken_as_needed_and_stopping_cancels(run_many, files):
    taken = []

    def endless():
        for path in itertools.cycle(files[:4]):
            taken.append(path)
            yield path

    results = run_many(endless(), max_pending=3)
    first = [next(results) for _ in range(5)]
    assert len(taken) <= 5 + 3
    results.close()
    count = len(taken)
    assert [r.json for _, r in first] == [silsplit.analyze(p).json for p, _ in first]
    assert len(taken) == count
