"""Many files at once, on a thread pool and on a Dask cluster of two worker
processes: the results are those of a plain loop, each file once, and a
failing file never stops the others. A cluster of `dask scheduler` and
`dask worker` processes is killed and started again: a lost scheduler is a
ClusterError within seconds, and a rerun with the index finishes the rest."""

import base64
import filecmp
import gc
import io
import itertools
import json
import logging
import os
import pathlib
import re
import signal as signals
import socket
import subprocess
import sys
import time

import pytest

import silsplit
from silsplit import _core
from silsplit.batch import ClusterError, Written, analyze_many, split_many
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


ON_WORKER = re.compile(r" \(on worker tcp://[0-9.]+:[0-9]+\)\Z")


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

    def on_dask(paths, **kw):
        # An error on a worker names it; the rest is the error of a thread.
        for path, result in analyze_many(paths, client, **kw):
            if isinstance(result, silsplit.Error):
                assert ON_WORKER.search(str(result)), str(result)
                result = silsplit.Error(ON_WORKER.sub("", str(result)))
            yield path, result
    return on_dask


# ---------------------------------------------------------------------------
# The same results as a loop
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("options", [
    {}, OPTIONS,
    {"auto_threshold": True, "report_pauses": True, "report_levels": True, "chapter_count": 2},
], ids=["defaults", "options", "report-members"])
def test_results_equal_the_plain_loop(run_many, files, options):
    expected = plain_loop(files, **options)
    assert sum(v.startswith("error: ") for v in expected.values()) == 3
    assert expected[files[-1]] == "error: cannot open wav file"
    # With the system's reason.
    expected[files[-1]] = "error: cannot open wav file: No such file or directory"
    assert collected(run_many(files, **options)) == expected


def test_work_is_spread_over_both_workers(dask_client, files):
    distributed = pytest.importorskip("distributed")
    with distributed.get_task_stream(dask_client) as stream:
        got = collected(analyze_many(files[:36], dask_client))
    assert got == plain_loop(files[:36])
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


def _fails_on_the_worker(items, overwrite, options):
    raise RuntimeError("worker gone")


def test_a_failed_task_is_one_error(dask_client, files, monkeypatch, tmp_path):
    # A task that fails in Dask rather than in the library (here: a task
    # function that raises, shipped to the workers by value): an error for
    # each of its files, marked in the index as the cluster's, so that a
    # rerun tries them again.
    import cloudpickle
    import silsplit.batch
    monkeypatch.setattr(silsplit.batch, "_run_task", _fails_on_the_worker)
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        got = dict(analyze_many(files[:5], dask_client, index=tmp_path / "index.jsonl"))
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    assert sorted(got) == sorted(files[:5])
    assert [str(r) for r in got.values()] == ["RuntimeError: worker gone"] * 5
    assert all(isinstance(r, silsplit.Error) for r in got.values())
    monkeypatch.undo()
    again = dict(analyze_many(files[:5], dask_client, index=tmp_path / "index.jsonl"))
    assert sorted(again) == sorted(files[:5])
    assert all(isinstance(r, silsplit.Report) for r in again.values())


@pytest.mark.parametrize("retries", [3, 0])
def test_a_restart_mid_run_hands_the_tasks_out_again(dask_client, files, tmp_path, retries):
    # client.restart() cancels every task: those files are analysed again
    # (or, with retries=0, the run stops), never recorded as "task cancelled".
    good = files[:36]
    got = {}
    target = tmp_path / "index.jsonl"
    try:
        for path, result in analyze_many(good, dask_client, index=target, max_pending=8,
                                         retries=retries):
            assert path not in got
            got[path] = result
            if len(got) == 4:
                dask_client.restart()
    except ClusterError as exc:
        assert retries == 0
        assert re.fullmatch(r"a task of \d files was cancelled 1 times by the cluster", str(exc))
    else:
        assert retries > 0
        assert {p: r.json for p, r in got.items()} == plain_loop(good)
    lines = [json.loads(line) for line in target.read_text().splitlines()]
    assert sorted(line["path"] for line in lines) == sorted(got)
    assert all("report" in line for line in lines)


def _dies_on_bad(items, overwrite, options):
    import silsplit.batch
    if any(os.fsdecode(path).endswith("bad.wav") for path, _ in items):
        os._exit(1)  # the worker process dies, as on a crash
    return silsplit.batch._run_task(items, overwrite, options)


def test_a_file_that_kills_its_workers_is_found(files, tmp_path, monkeypatch):
    # A task whose worker dies (here at once: no deaths allowed) is split
    # into one task per file; the file that kills workers is an error of the
    # cluster's, tried again by a rerun, and so is any file that died beside
    # it; the others are analysed, and not again.
    distributed = pytest.importorskip("distributed")
    import cloudpickle
    import dask
    import silsplit.batch
    bad = str(tmp_path / "bad.wav")
    os.link(files[0], bad)
    given = files[1:6] + [bad]
    target = tmp_path / "index.jsonl"
    monkeypatch.setattr(silsplit.batch, "_run_task", _dies_on_bad)
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
                distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                         dashboard_address=None,
                                         silence_logs=logging.CRITICAL) as cluster, \
                distributed.Client(cluster) as client:
            client.wait_for_workers(1)
            got = dict(analyze_many(given, client, index=target))
            assert sorted(got) == sorted(given)
            assert str(got[bad]).startswith("KilledWorker: ")
            # A file that was on the worker beside it may have died with it.
            lost = {p for p, r in got.items() if isinstance(r, silsplit.Error)}
            assert all(str(got[p]).startswith("KilledWorker: ") for p in lost)
            assert {p: r.json for p, r in got.items() if p not in lost} == \
                {p: r for p, r in plain_loop(files[1:6]).items() if p not in lost}
            again = dict(analyze_many(given, client, index=target))
            assert bad in again and set(again) <= lost
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    lines = [json.loads(line) for line in target.read_text().splitlines()]
    assert all(line.get("cluster") for line in lines if "error" in line)
    assert [line.get("cluster") for line in lines if line["path"] == bad] == [True, True]


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
    expected[files[-1]] = "error: cannot open wav file: No such file or directory"
    for line in lines:
        if "error" in line:
            assert expected[line["path"]] == "error: " + line["error"]
        else:
            assert line["report"] == json.loads(expected[line["path"]])


def test_index_names_not_utf8(run_many, files, tmp_path):
    # A name that is not UTF-8 is written as the program writes it (its bytes
    # as \u00XX escapes) with its exact bytes beside it; a rerun knows it
    # (and not the UTF-8 "caf\u00e9.wav", which the escapes alone would not
    # tell apart).
    name = os.path.join(os.fsencode(tmp_path), b"caf\xe9.wav")
    utf8 = os.path.join(str(tmp_path), "caf\u00e9.wav")
    os.link(files[0], name)
    os.link(files[1], utf8)
    target = tmp_path / "index.jsonl"
    got = dict(run_many([name], index=target, **OPTIONS))
    assert set(got) == {name}
    raw = target.read_bytes()
    assert b'caf\\u00E9.wav"' in raw
    [line] = [json.loads(line) for line in raw.decode("utf-8").splitlines()]
    assert line["path"] == utf8
    assert base64.b64decode(line["path_b64"]) == name
    again = dict(run_many([name, utf8, os.fsdecode(name)], index=target, **OPTIONS))
    assert set(again) == {utf8}
    assert again[utf8].json == silsplit.analyze(files[1], **OPTIONS).json


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
    ({"retries": -1}, ValueError),
    ({"reconnect_s": 0}, ValueError),
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


# ---------------------------------------------------------------------------
# Resuming with the index
# ---------------------------------------------------------------------------

def test_a_rerun_with_the_index_finishes_the_rest(run_many, files, tmp_path, monkeypatch):
    # Stopped after a few results, with a line cut off by a crash and the
    # error of a lost task written by an earlier version: the rerun does
    # every file the index does not hold yet, once, and nothing twice; paths
    # relative to the folder the call is made in are the same files.
    target = tmp_path / "index.jsonl"
    first = run_many(files, index=target, max_pending=4)
    [next(first) for _ in range(5)]
    first.close()
    recorded = {json.loads(line)["path"] for line in target.read_text().splitlines()}
    assert 5 <= len(recorded) < len(files)
    lost = next(f for f in files[:36] if f not in recorded)
    with open(target, "a") as f:
        f.write('{"path":%s,"error":"task cancelled"}\n{"path":"%s","rep'
                % (json.dumps(lost), files[-1]))
    monkeypatch.chdir(os.path.dirname(files[0]))
    relative = [os.path.basename(f) for f in files]
    rest = [path for path, _ in run_many(relative + relative[:3], index=target)]
    assert sorted(rest) == sorted(os.path.basename(f) for f in files if f not in recorded)
    lines = [json.loads(line) for line in target.read_text().splitlines()
             if line.endswith("}")]
    finished = [line["path"] for line in lines if line.get("error") != "task cancelled"]
    assert sorted(finished) == sorted(files)
    assert not any(line.get("cluster") for line in lines)


# ---------------------------------------------------------------------------
# A cluster of processes, killed and started again
# ---------------------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Processes:
    """`dask scheduler` and `dask worker` processes started here, in a folder
    other than the tests', and killed at the end."""

    def __init__(self, folder):
        self.folder = folder
        self.started = []
        self.port = free_port()
        self.address = "tcp://127.0.0.1:%d" % self.port

    def start(self, *args, env=None):
        proc = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_" + args[0]]
                                + list(args[1:]) + ["--no-dashboard"], cwd=self.folder,
                                env=env or os.environ.copy(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.started.append(proc)
        return proc

    def scheduler(self):
        return self.start("scheduler", "--host", "127.0.0.1", "--port", str(self.port))

    def workers(self, count, env=None):
        # Their working folders here: a worker killed leaves its own behind.
        return [self.start("worker", self.address, "--nthreads", "1", "--no-nanny",
                           "--local-directory", str(self.folder), env=env)
                for _ in range(count)]

    def client(self, workers):
        distributed = pytest.importorskip("distributed")
        client = distributed.Client(self.address, timeout=20)
        if workers:
            client.wait_for_workers(workers, timeout=30)
        return client

    def kill_all(self):
        for proc in self.started:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        self.started = []


@pytest.fixture
def processes(tmp_path_factory):
    pytest.importorskip("distributed")
    procs = Processes(tmp_path_factory.mktemp("elsewhere"))
    yield procs
    procs.kill_all()


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Two hundred 4-second recordings."""
    folder = tmp_path_factory.mktemp("long_archive")
    wav = write_wav(folder / "base.wav", signal([(0.5, 0.0), (1.5, 0.5), (1.0, 0.0),
                                                   (1.0, 0.4)]))
    paths = []
    for k in range(200):
        paths.append(str(folder / ("take_%03d.wav" % k)))
        os.link(wav, paths[-1])
    return paths


def interrupt_after(seconds):
    """Ctrl-C in this process after seconds."""
    signals.signal(signals.SIGALRM, lambda *_: os.kill(os.getpid(), signals.SIGINT))
    signals.setitimer(signals.ITIMER_REAL, seconds)


def test_a_lost_scheduler_raises_and_a_rerun_finishes(processes, archive, tmp_path):
    target = tmp_path / "index.jsonl"
    scheduler = processes.scheduler()
    processes.workers(2)
    client = processes.client(2)
    expected = silsplit.analyze(archive[0]).json
    try:
        # Ctrl-C while the cluster works: KeyboardInterrupt, the tasks cancelled.
        with pytest.raises(KeyboardInterrupt):
            interrupt_after(0.5)
            for _ in analyze_many(itertools.cycle(archive[:1]), client, max_pending=4):
                pass
        # An interrupt that lands inside the client's own submit leaves that
        # future only in the dead frames of the traceback: collected here, as
        # a program that stops would drop it.
        gc.collect()
        deadline = time.monotonic() + 10
        while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
            gc.collect()
            assert time.monotonic() < deadline, "tasks left on the scheduler"
            time.sleep(0.1)

        # kill -9 of the scheduler mid-run: ClusterError within the bound,
        # and no file recorded as failed.
        got = []
        start = None
        with pytest.raises(ClusterError, match="no scheduler for 5 s|lost its scheduler"):
            for path, result in analyze_many(archive, client, index=target, max_pending=4,
                                             reconnect_s=5):
                got.append(path)
                assert result.json == expected
                if len(got) == 20:
                    os.kill(scheduler.pid, signals.SIGKILL)
                    start = time.monotonic()
        # Not a hang: the call ends well within a minute even on a loaded
        # machine (Dask's own client gives up reconnecting after 20 s).
        assert time.monotonic() - start < 60
        assert 20 <= len(got) < len(archive)

        # Ctrl-C while the scheduler is away: KeyboardInterrupt, nothing else.
        with pytest.raises(KeyboardInterrupt):
            interrupt_after(0.5)
            list(analyze_many(archive, client, index=target, reconnect_s=30))
    finally:
        signals.setitimer(signals.ITIMER_REAL, 0)
        client.close()
    processes.kill_all()

    # The cluster started again: the rerun does the rest, each file once.
    processes.scheduler()
    processes.workers(2)
    with processes.client(2) as client:
        rest = dict(analyze_many(archive, client, index=target))
    assert not set(rest) & set(got)
    assert sorted(set(rest) | set(got)) == archive
    lines = [json.loads(line) for line in target.read_text().splitlines()]
    assert sorted(line["path"] for line in lines) == archive
    assert all(json.dumps(line["report"], separators=(",", ":")) is not None
               and "error" not in line for line in lines)
    assert {r.json for r in rest.values()} == {expected}


def test_the_tasks_out_follow_the_workers_that_join(processes, archive):
    # Two tasks per worker thread: at most 2 with one worker, more (up to 4:
    # one is being read back as the results are yielded) once a second one
    # has joined mid-run.
    processes.scheduler()
    processes.workers(1)
    with processes.client(1) as client:
        def tasks():
            return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))
        results = analyze_many(itertools.cycle(archive), client)
        before = []
        for _, _ in zip(range(20), results):
            before.append(tasks())
        processes.workers(1)
        client.wait_for_workers(2, timeout=30)
        after = []
        deadline = time.monotonic() + 20
        for _ in results:
            after.append(tasks())
            if max(after) >= 3 or time.monotonic() > deadline:
                break
        results.close()
    assert max(before) <= 2
    assert max(after) >= 3


@pytest.mark.parametrize("fault, message", [
    ("no package", r"worker tcp://127\.0\.0\.1:\d+ cannot run the task: ModuleNotFoundError: "
                   r"No module named 'silsplit'; install the silsplit package"),
    ("no library", r"worker tcp://127\.0\.0\.1:\d+ cannot load the silsplit library: "
                   r"cannot load lib"),
    ("no worker", r"no workers for 2 s; 200 files were not finished"),
])
def test_a_worker_that_cannot_run_stops_the_run(processes, archive, tmp_path, fault, message):
    env = os.environ.copy()
    if fault == "no package":
        env.pop("PYTHONPATH", None)
    else:
        env["SILSPLIT_LIBRARY"] = str(tmp_path / "missing.so")
    processes.scheduler()
    count = 0 if fault == "no worker" else 1
    processes.workers(count, env=env)
    target = tmp_path / "index.jsonl"
    with processes.client(count) as client:
        with pytest.raises(ClusterError, match=message):
            list(analyze_many(archive, client, index=target, reconnect_s=2))
    assert target.read_text() == ""


def test_errors_on_a_worker_name_it_and_the_reason(processes, files, tmp_path):
    # Workers started in another folder, given relative paths: they find
    # the files; a path through a file says why it fails.
    processes.scheduler()
    processes.workers(1)
    here = os.getcwd()
    os.chdir(os.path.dirname(files[0]))
    try:
        with processes.client(1) as client:
            got = dict(analyze_many(["rec_00.wav", "rec_01.wav/take.wav"], client))
    finally:
        os.chdir(here)
    assert got["rec_00.wav"].json == silsplit.analyze(files[0]).json
    assert re.fullmatch(r"cannot open wav file: Not a directory \(on worker tcp://127\.0\.0\.1:"
                        r"\d+\)", str(got["rec_01.wav/take.wav"]))


# ---------------------------------------------------------------------------
# split_many
# ---------------------------------------------------------------------------

@pytest.fixture(params=["threads", "dask"])
def split_on(request):
    if request.param == "threads":
        return lambda *args, **kw: split_many(*args, threads=2, **kw)
    client = request.getfixturevalue("dask_client")
    return lambda *args, **kw: split_many(*args, client=client, **kw)


def test_split_many_writes_what_split_writes(split_on, files, tmp_path):
    # An archive of folders, mirrored under the output root: each folder
    # holds what silsplit.split writes for its file, byte for byte.
    root = tmp_path / "archive"
    tree = {}
    for k, path in enumerate(files[:12]):
        name = root / ("side_%d" % (k % 3)) / ("tape_%02d.wav" % k)
        name.parent.mkdir(parents=True, exist_ok=True)
        os.link(path, name)
        tree[str(name)] = path
    outside = files[12]
    out = tmp_path / "chapters"
    index = tmp_path / "index.jsonl"
    given = list(tree) + [outside]
    got = dict(split_on(given, root, out, index=index, **OPTIONS))

    for name, source in tree.items():
        written = got[name]
        assert isinstance(written, Written), written
        reference = tmp_path / "reference" / os.path.relpath(name, root)
        reference.parent.mkdir(parents=True, exist_ok=True)
        count = silsplit.split(source, reference, **OPTIONS)
        folder = out / os.path.relpath(name, root)[:-len(".wav")]
        assert written.out_dir == str(folder)
        assert written.chapters == count
        assert sorted(written.files) == sorted(os.listdir(reference)) == sorted(os.listdir(folder))
        assert all(filecmp.cmp(reference / f, folder / f, shallow=False) for f in written.files)
    assert re.match(r"%s is not under %s" % (re.escape(outside), re.escape(str(root))),
                    ON_WORKER.sub("", str(got[outside])))
    lines = [json.loads(line) for line in index.read_text().splitlines()]
    assert sorted(line["path"] for line in lines) == sorted(given)
    assert all(line["files"] == list(got[line["path"]].files) for line in lines
               if "files" in line)

    # The index makes a rerun skip every file; without it, a folder that
    # holds a split is refused, and overwrite=True replaces it.
    assert list(split_on(given, root, out, index=index, **OPTIONS)) == []
    again = dict(split_on(list(tree)[:2], root, out, **OPTIONS))
    assert all("holds an earlier split" in str(r) for r in again.values())
    again = dict(split_on(list(tree)[:2], root, out, overwrite=True, **OPTIONS))
    assert all(isinstance(r, Written) for r in again.values())


def test_split_many_refuses_two_files_for_one_folder(files, tmp_path):
    root = tmp_path / "archive"
    root.mkdir()
    for name in ("talk.wav", "talk.WAV"):
        os.link(files[0], root / name)
    got = {str(p): r for p, r in split_many([root / "talk.wav", root / "talk.WAV"], root,
                                            tmp_path / "out")}
    assert isinstance(got[str(root / "talk.wav")], Written)
    assert str(got[str(root / "talk.WAV")]) == "%s would be split into %s, as %s is" % (
        root / "talk.WAV", tmp_path / "out" / "talk", root / "talk.wav")
