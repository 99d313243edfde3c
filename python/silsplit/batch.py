"""Many recordings at once: on this machine's cores, or on the workers of a
Dask cluster.

    from silsplit.batch import analyze_many, split_many

    for path, result in analyze_many(paths, index="index.jsonl", min_silence_s=1.0):
        if isinstance(result, silsplit.Error):
            print(path, "failed:", result)

    from distributed import Client
    with Client("tcp://scheduler:8786") as client:
        for path, result in analyze_many(paths, client, index="index.jsonl"):
            ...
        for path, result in split_many(paths, "/archive", "/chapters", client):
            ...

Each file is analysed (or split) by the package's own functions on one
thread of a worker; a failure of one file becomes that file's result and
never stops the others. A fault of the cluster (a lost scheduler, a worker
that cannot import this package) is not a file's result: it is retried or
raised as ClusterError. The index, a JSON Lines file, is appended to as each
result arrives, and a rerun with the same index skips the files it holds.
"""

import base64
import collections
import concurrent.futures
import json as _json
import os
import re
import time
from dataclasses import dataclass
from typing import (IO, Any, cast, Callable, Deque, Dict, Generator, Iterable, Iterator, List,
                    Optional, Protocol, Set, Tuple, TypeVar, Union)

from . import _core
from ._core import Error, OptionValue, PathArg, Report, _options_text, split

__all__ = ["ClusterError", "DaskClient", "Result", "SplitResult", "Written", "analyze_many",
           "split_many"]


class DaskClient(Protocol):
    """What analyze_many and split_many use of a distributed.Client."""

    status: str

    def submit(self, func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any: ...

    def scheduler_info(self) -> Any: ...

    def cancel(self, futures: Any) -> Any: ...

    def run_on_scheduler(self, function: Callable[..., Any], *args: Any) -> Any: ...


class ClusterError(RuntimeError):
    """A fault of the cluster rather than of any file: the scheduler lost for
    longer than reconnect_s, tasks cancelled more often than retries allows,
    a worker that cannot import this package or load its library. The files
    without a line in the index are the ones to run again."""


@dataclass(frozen=True)
class Written:
    """What split_many wrote for one file: the folder, the number of chapters
    and the names of the files in it (the chapter files and chapters.json)."""
    out_dir: str
    chapters: int
    files: Tuple[str, ...]


#: A path as the caller gives it, and as it comes back with its result.
PathT = TypeVar("PathT", bound=PathArg)

#: What each file gives: its Report, or the Error that stopped its analysis.
Result = Union[Report, Error]

#: What each file gives split_many: what was written, or the Error.
SplitResult = Union[Written, Error]

# What travels back from a worker for one file: ("report", report text),
# ("split", the index members of what was written, as JSON text),
# ("error", message) or ("fault", message) for a failure that is the
# cluster's rather than the file's. Plain text pickles everywhere and keeps
# the library's report unchanged.
_Outcome = Tuple[str, str]

# The seconds of work a task is given, once the speed of the work is known:
# Dask's own cost per task (some milliseconds of CPU on the scheduler, the
# client and the worker) is then about one percent of it.
TASK_SECONDS = 0.5
# The first guess of a file's cost before any task has come back: a fixed
# part per file and a part per byte (WAV read and analysed at about 1 GB/s).
_FILE_SECONDS = 50e-6
_BYTE_SECONDS = 1e-9
# On threads: files go to a thread in groups of up to this many, or of
# about this many seconds of work.
_THREAD_FILES = 32
_THREAD_SECONDS = 0.002
# How often the loop looks at the cluster while it waits for results.
_POLL_SECONDS = 0.5
# Error texts of a cluster's fault, as earlier versions wrote them into the
# index as a file's error: such files are run again.
_OLD_CLUSTER_ERRORS = re.compile(r"\Atask (cancelled|lost)\Z|\A(KilledWorker|CancelledError|"
                                 r"CommClosedError|ModuleNotFoundError|ImportError):")


# ---------------------------------------------------------------------------
# On the worker
# ---------------------------------------------------------------------------

def _with_reason(message: str, path: Union[str, bytes]) -> str:
    """A library message about a file it could not open, with the system's
    reason (as open(2) gives it on this machine)."""
    if not message.startswith("cannot open"):
        return message
    try:
        os.close(os.open(path, os.O_RDONLY))
    except OSError as exc:
        return "%s: %s" % (message, exc.strerror)
    except ValueError:
        pass
    return message


def _analyze_file(path: Union[str, bytes], opts: Optional[bytes]) -> _Outcome:
    """The outcome of one file, never an exception: the library's report
    text as it is (the client reads it; no Report is made here)."""
    try:
        lib = _core._library()
        return "report", _core._take_text(lib, lib.silsplit_analyze(_core._path_arg(path), opts))
    except Error as exc:
        return "error", _with_reason(str(exc), path)
    except Exception as exc:  # a path the library cannot take, ...
        return "error", "%s: %s" % (type(exc).__name__, exc)


def _split_file(path: Union[str, bytes], out_dir: Union[str, bytes], overwrite: bool,
                options: Dict[str, OptionValue]) -> _Outcome:
    """Splits one file into out_dir (made with its parents); the outcome,
    never an exception."""
    try:
        os.makedirs(out_dir, exist_ok=True)
        count = split(path, out_dir, overwrite=overwrite, **options)
        files = [os.fsdecode(name) for name in _core._earlier_split(os.fsencode(out_dir))]
        return "split", '"out_dir":%s,"chapters":%d,"files":%s' % (
            _json_name(out_dir), count, _json.dumps(files))
    except Error as exc:
        return "error", _with_reason(str(exc), path)
    except OSError as exc:
        where = exc.filename if exc.filename is not None else out_dir
        return "error", "%s: %s" % (exc.strerror or type(exc).__name__, os.fsdecode(where))
    except Exception as exc:
        return "error", "%s: %s" % (type(exc).__name__, exc)


# One file of a task: its path, and the folder for its split (None: analyse).
_Item = Tuple[Union[str, bytes], Optional[Union[str, bytes]]]


def _run_items(items: List[_Item], overwrite: bool,
               options: Dict[str, OptionValue]) -> List[_Outcome]:
    opts = _options_text("analyze", options)  # once for all the files
    return [_analyze_file(path, opts) if out_dir is None
            else _split_file(path, out_dir, overwrite, options) for path, out_dir in items]


def _run_task(items: List[_Item], overwrite: bool,
              options: Dict[str, OptionValue]) -> Dict[str, Any]:
    """A Dask task: the files of items in turn, with the worker's address
    and the seconds they took."""
    worker: Optional[str] = None
    try:
        from distributed import get_worker
        worker = get_worker().address
    except Exception:  # not on a worker (called directly)
        pass
    try:
        _core._library()
    except Error as exc:
        return {"worker": worker, "fault": str(exc)}
    start = time.perf_counter()
    outcomes = _run_items(items, overwrite, options)
    return {"worker": worker, "seconds": time.perf_counter() - start, "outcomes": outcomes}


# ---------------------------------------------------------------------------
# The index
# ---------------------------------------------------------------------------

def _json_name(path: PathArg) -> str:
    """A path as a JSON string, as the program writes names: bytes that are
    not UTF-8 become \\u00XX escapes of themselves (os.fsdecode keeps them as
    lone surrogates, which no UTF-8 file can hold)."""
    text = _json.dumps(os.fsdecode(path), ensure_ascii=False)
    return re.sub("[\udc80-\udcff]", lambda m: "\\u00%02X" % (ord(m.group()) - 0xDC00), text)


def _path_members(raw: bytes) -> str:
    """"path" (readable), and "path_b64" (the exact bytes) when the name is
    not UTF-8, whose \\u00XX escapes no longer tell its bytes apart."""
    members = '"path":%s' % _json_name(raw)
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        members += ',"path_b64":"%s"' % base64.b64encode(raw).decode("ascii")
    return members


def _line_key(line: Dict[str, Any]) -> Optional[bytes]:
    """The exact bytes of an index line's path."""
    try:
        if "path_b64" in line:
            return base64.b64decode(line["path_b64"], validate=True)
        return str(line["path"]).encode("utf-8")
    except (ValueError, TypeError, KeyError, UnicodeEncodeError):
        return None


def _line_done(line: Dict[str, Any], splitting: bool) -> bool:
    """Whether an index line is a finished file's (of this kind of run): a
    report, what a split wrote, or the file's own error; not a fault of the
    cluster, which is run again."""
    if ("out_dir" in line or line.get("kind") == "split") != splitting:
        return False
    if line.get("cluster"):
        return False
    error = line.get("error")
    if error is not None:
        return not _OLD_CLUSTER_ERRORS.search(str(error))
    return "report" in line or "out_dir" in line


class _Index:
    """The JSON Lines index: one line per file, appended and flushed as its
    result comes; a file name is read first for the files it holds."""

    def __init__(self, target: Union[str, os.PathLike[str], IO[str], None],
                 splitting: bool) -> None:
        self.text: Optional[IO[str]] = None
        self.raw: Optional[IO[bytes]] = None
        self.done: Set[bytes] = set()
        self.splitting = splitting
        if target is None:
            return
        if not isinstance(target, (str, os.PathLike)):
            self.text = target
            return
        self.raw = open(target, "a+b")
        try:
            self.raw.seek(0)
            last = b"\n"
            for text in self.raw:  # a line at a time: an archive's index may be large
                last = text
                try:
                    line = _json.loads(text)
                except ValueError:  # a line cut off by a crash, or not ours
                    continue
                if isinstance(line, dict) and _line_done(line, splitting):
                    key = _line_key(line)
                    if key is not None:
                        self.done.add(key)
            if not last.endswith(b"\n"):
                self.raw.write(b"\n")  # the cut-off line stays a line of its own
                self.raw.flush()
        except BaseException:
            self.raw.close()
            raise

    @property
    def active(self) -> bool:
        return self.text is not None or self.raw is not None

    def holds(self, key: bytes) -> bool:
        return key in self.done

    def write(self, key: bytes, outcome: _Outcome, worker: Optional[str],
              cluster: bool) -> None:
        if not self.active:
            return
        kind, text = outcome
        line = "{" + _path_members(key)
        if worker is not None:
            line += ',"worker":%s' % _json.dumps(worker)
        if kind == "report":
            # The report is one line of JSON already: it goes in as it is.
            line += ',"report":%s}\n' % text
        elif kind == "split":
            line += ",%s}\n" % text
        else:
            if self.splitting:
                line += ',"kind":"split"'
            if cluster:
                line += ',"cluster":true'
            line += ',"error":%s}\n' % _json.dumps(text)
        if self.raw is not None:
            self.raw.write(line.encode("utf-8"))
            self.raw.flush()
        elif self.text is not None:
            self.text.write(line)
            self.text.flush()
        self.done.add(key)

    def close(self) -> None:
        if self.raw is not None:
            self.raw.close()


# ---------------------------------------------------------------------------
# The public functions
# ---------------------------------------------------------------------------

def analyze_many(paths: Iterable[PathT], client: Optional[DaskClient] = None, *,
                 threads: Optional[int] = None,
                 index: Union[str, os.PathLike[str], IO[str], None] = None,
                 max_pending: Optional[int] = None,
                 retries: int = 3, reconnect_s: float = 30.0,
                 **options: OptionValue) -> Iterator[Tuple[PathT, Result]]:
    """Analyses every WAV file of paths and yields (path, result) as each
    result arrives, in the order they finish: result is the file's Report, or
    the silsplit.Error that stopped it (on a cluster its message ends with
    the worker's address).

    client: a distributed.Client (to a LocalCluster or to any scheduler
      address); its workers do the work, many files to a task, so each needs
      this package installed (or SILSPLIT_LIBRARY set) and the files at the
      same paths. Without a client, a pool of threads on this machine does it
      (threads: how many; default one per core this process may use).
      Relative paths are made absolute here, before any worker sees them.
    index: a file name or an open text file; one JSON line per file is
      appended as its result arrives: {"path": ..., "report": {...}} or
      {"path": ..., "error": "..."} ("path_b64" beside "path" holds the exact
      bytes of a name that is not UTF-8; "worker" names the Dask worker). A
      file name is never truncated: the files it holds already are skipped
      (not yielded), except those that a fault of the cluster stopped.
    max_pending: at most this many files are read from paths ahead of their
      results (default: on threads, 128 per thread; on Dask, what the
      workers' tasks need), so paths may be a lazy iterator of any length.
    retries: how many times a task the cluster cancelled (a restart, a
      scheduler that came back) is handed out again before ClusterError.
    reconnect_s: how long a lost scheduler (or a cluster without workers)
      is waited for before ClusterError.
    options: as for silsplit.analyze (checked here, before any work starts).

    Stopping the iteration early (or Ctrl-C) cancels the files not yet
    started.
    """
    _options_text("analyze_many", options)  # TypeError now rather than on every worker
    _check_counts(threads, max_pending, retries, reconnect_s)
    index_file = _Index(index, splitting=False)
    items = _items(paths, index_file, None)
    return _start(items, client, threads, index_file, max_pending, retries, reconnect_s,
                  False, options, _result)


def split_many(paths: Iterable[PathT], root: PathArg, out_root: PathArg,
               client: Optional[DaskClient] = None, *, overwrite: bool = False,
               threads: Optional[int] = None,
               index: Union[str, os.PathLike[str], IO[str], None] = None,
               max_pending: Optional[int] = None,
               retries: int = 3, reconnect_s: float = 30.0,
               **options: OptionValue) -> Iterator[Tuple[PathT, SplitResult]]:
    """Splits every WAV file of paths, each into its own folder: the file's
    path relative to root, without its extension, under out_root
    (root/a/talk.wav into out_root/a/talk/ch_001.wav, ..., chapters.json).
    Yields (path, result) as each file is done: result is what was Written,
    or the silsplit.Error that stopped it (a file outside root, two files
    that would share a folder, a folder that holds an earlier split).

    Each split follows silsplit.split's rules: a folder holding an earlier
    split's files is refused unless overwrite=True, which replaces those
    files and only them. The index lines are {"path": ..., "out_dir": ...,
    "chapters": N, "files": [...]} or {"path": ..., "error": ...}. The other
    arguments are analyze_many's.
    """
    _options_text("split_many", options)
    if not isinstance(overwrite, bool):
        raise TypeError("overwrite must be True or False, not %s" % type(overwrite).__name__)
    _check_counts(threads, max_pending, retries, reconnect_s)
    roots = (os.path.abspath(os.fsencode(root)), os.path.abspath(os.fsencode(out_root)))
    index_file = _Index(index, splitting=True)
    items = _items(paths, index_file, roots)
    return _start(items, client, threads, index_file, max_pending, retries, reconnect_s,
                  overwrite, options, _written)


def _check_counts(threads: Optional[int], max_pending: Optional[int], retries: int,
                  reconnect_s: float) -> None:
    if threads is not None and threads < 1:
        raise ValueError("threads must be at least 1, not %r" % (threads,))
    if max_pending is not None and max_pending < 1:
        raise ValueError("max_pending must be at least 1, not %r" % (max_pending,))
    if retries < 0:
        raise ValueError("retries must be 0 or more, not %r" % (retries,))
    if not reconnect_s > 0:
        raise ValueError("reconnect_s must be more than 0, not %r" % (reconnect_s,))


def _result(outcome: _Outcome) -> Result:
    kind, text = outcome
    return Report.from_json(text) if kind == "report" else Error(text)


def _written(outcome: _Outcome) -> SplitResult:
    kind, text = outcome
    if kind != "split":
        return Error(text)
    data = _json.loads("{%s}" % text)
    return Written(out_dir=data["out_dir"], chapters=data["chapters"],
                   files=tuple(data["files"]))


# One file as the loops take it: the path as given, its exact absolute bytes
# (the index's key), what the worker is given, and an error found here (a
# split folder that cannot be had), if any.
_Work = Tuple[Any, bytes, _Item, Optional[str]]


def _items(paths: Iterable[PathT], index: _Index,
           roots: Optional[Tuple[bytes, bytes]]) -> Iterator[_Work]:
    """The files of paths that the index does not hold yet."""
    folders: Dict[bytes, bytes] = {}
    seen: Set[bytes] = set()
    for path in paths:
        given: Union[str, bytes] = os.fspath(cast(Any, path))
        absolute: Union[str, bytes] = os.path.abspath(given)
        key = os.fsencode(absolute)
        if index.holds(key) or key in seen:
            continue
        if index.active:
            seen.add(key)  # with an index, each file once
        alone: _Item = (absolute, None)
        if roots is None:
            yield path, key, alone, None
            continue
        root, out_root = roots
        relative = os.path.relpath(key, root)
        if relative == b"." or relative.startswith(b".." + os.sep.encode()) or relative == b"..":
            yield path, key, alone, "%s is not under %s" % (
                os.fsdecode(absolute), os.fsdecode(root))
            continue
        folder = os.path.join(out_root, os.path.splitext(relative)[0])
        if folder in folders:
            yield path, key, alone, "%s would be split into %s, as %s is" % (
                os.fsdecode(absolute), os.fsdecode(folder), os.fsdecode(folders[folder]))
            continue
        folders[folder] = key
        out_dir: Union[str, bytes] = folder if isinstance(absolute, bytes) else os.fsdecode(folder)
        both: _Item = (absolute, out_dir)
        yield path, key, both, None


_Wrap = Callable[[_Outcome], Any]
# A file done: its work, outcome, the worker's address, and whether the
# outcome is a fault of the cluster.
_Done = Tuple[_Work, _Outcome, Optional[str], bool]


def _start(items: Iterator[_Work], client: Optional[DaskClient], threads: Optional[int],
           index: _Index, max_pending: Optional[int], retries: int, reconnect_s: float,
           overwrite: bool, options: Dict[str, OptionValue], wrap: _Wrap) -> Iterator[Any]:
    results: Generator[List[_Done], None, None]
    if client is not None:
        results = _on_dask(client, items, overwrite, options, max_pending, retries,
                           reconnect_s)
    else:
        workers = threads or _cores()
        results = _on_threads(workers, items, overwrite, options,
                              max_pending or 4 * _THREAD_FILES * workers)
    return _indexed(results, index, wrap)


def _cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _indexed(results: Generator[List[_Done], None, None],
             index: _Index, wrap: _Wrap) -> Iterator[Tuple[Any, Any]]:
    try:
        for batch in results:
            # All of a task's files go into the index as it comes back, even
            # when the caller stops before taking them all.
            for work, outcome, worker, cluster in batch:
                index.write(work[1], outcome, worker, cluster)
            for work, outcome, worker, cluster in batch:
                result = wrap(outcome)
                if worker is not None and isinstance(result, Error):
                    result = Error("%s (on worker %s)" % (result, worker))
                yield work[0], result
    finally:
        results.close()
        index.close()


# ---------------------------------------------------------------------------
# A pool of threads
# ---------------------------------------------------------------------------

def _on_threads(workers: int, items: Iterator[_Work], overwrite: bool,
                options: Dict[str, OptionValue], window: int
                ) -> Generator[List[_Done], None, None]:
    """Files in small groups (of about _THREAD_SECONDS, by their size), so
    that short files do not each pay for a future of their own."""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers,
                                                 thread_name_prefix="silsplit")
    pending: Dict["concurrent.futures.Future[List[_Outcome]]", List[_Work]] = {}
    in_flight = 0
    exhausted = False
    try:
        while True:
            while not exhausted and len(pending) < 4 * workers and in_flight < window:
                group: List[_Work] = []
                cost = 0.0
                while in_flight + len(group) < window and len(group) < _THREAD_FILES \
                        and cost < _THREAD_SECONDS:
                    work = next(items, None)
                    if work is None:
                        exhausted = True
                        break
                    if work[3] is not None:  # refused here: no thread needed
                        yield [(work, ("error", work[3]), None, False)]
                        continue
                    group.append(work)
                    cost += _cost(work)
                if group:
                    pending[pool.submit(_run_items, [w[2] for w in group], overwrite,
                                        options)] = group
                    in_flight += len(group)
            if not pending:
                return
            done, _ = concurrent.futures.wait(pending,
                                              return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                group = pending.pop(future)
                in_flight -= len(group)
                yield [(work, outcome, None, False)
                       for work, outcome in zip(group, future.result())]
    finally:
        pool.shutdown(wait=False, cancel_futures=True)


# ---------------------------------------------------------------------------
# A Dask cluster
# ---------------------------------------------------------------------------

def _cost(work: _Work) -> float:
    """The first guess of a file's seconds of work, from its size."""
    try:
        size = os.stat(work[2][0]).st_size
    except (OSError, ValueError, TypeError):
        size = 0
    return _FILE_SECONDS + _BYTE_SECONDS * size


class _Task:
    """The files of one Dask task, and how often it was handed out."""

    def __init__(self, files: List[Tuple[_Work, float]]) -> None:
        self.files = files
        self.tries = 0
        self.cost = sum(c for _, c in files)


def _worker_threads(client: DaskClient) -> int:
    """The threads of the workers the client knows of now (its view of the
    scheduler is refreshed every few seconds, as workers join and leave)."""
    try:
        workers = client.scheduler_info().get("workers", {})
        return sum(int(w.get("nthreads", 1)) for w in workers.values())
    except Exception:
        return 0


def _erred_on(client: DaskClient, key: str) -> str:
    """The workers where a task failed, as the scheduler knows them."""
    try:
        found = client.run_on_scheduler(
            lambda dask_scheduler: sorted(getattr(dask_scheduler.tasks.get(key), "erred_on",
                                                  None) or ()))
        return ", ".join(found) or "unknown"
    except Exception:
        return "unknown"


def _on_dask(client: DaskClient, items: Iterator[_Work], overwrite: bool,
             options: Dict[str, OptionValue], max_pending: Optional[int], retries: int,
             reconnect_s: float
             ) -> Generator[List[_Done], None, None]:
    from concurrent.futures import CancelledError
    from distributed import wait
    from distributed.scheduler import KilledWorker

    buffer: Deque[Tuple[_Work, float]] = collections.deque()
    buffered = 0.0          # the guessed seconds of the files in buffer
    pending: Dict[Any, _Task] = {}
    again: List[_Task] = []  # tasks the cluster cancelled, to hand out again
    in_flight = 0           # files handed out
    exhausted = False
    scale = 1.0             # measured seconds over guessed seconds
    measured = [0.0, 0.0]   # (guessed, measured) seconds of the tasks back
    lost_since: Optional[float] = None
    idle_since: Optional[float] = None  # since when no worker was there
    sorted_once = False

    def unfinished() -> int:
        return in_flight + len(buffer) + sum(len(t.files) for t in again)

    def submit(task: _Task) -> None:
        nonlocal in_flight
        task.tries += 1
        # pure=False: the same files twice are two tasks, each with its result.
        future = client.submit(_run_task, [w[2] for w, _ in task.files], overwrite, options,
                               pure=False)
        pending[future] = task
        in_flight += len(task.files)

    def take(future: Any) -> _Task:
        nonlocal in_flight
        task = pending.pop(future)
        in_flight -= len(task.files)
        return task

    def fill(slots: int) -> Iterator[List[_Done]]:
        """Reads files ahead into the buffer, enough for slots tasks."""
        nonlocal buffered, exhausted
        wanted = slots * TASK_SECONDS / scale
        while not exhausted and buffered < wanted:
            if max_pending is not None and in_flight + len(buffer) >= max_pending:
                return
            work = next(items, None)
            if work is None:
                exhausted = True
                return
            if work[3] is not None:
                yield [(work, ("error", work[3]), None, False)]
                continue
            cost = _cost(work)
            buffer.append((work, cost))
            buffered += cost

    def next_task(free: int) -> Optional[_Task]:
        nonlocal buffered, sorted_once
        if not buffer:
            return None
        if exhausted and not sorted_once:
            # The last files the longest first, so that no worker waits for
            # another at the end.
            ordered = sorted(buffer, key=lambda wc: -wc[1])
            buffer.clear()
            buffer.extend(ordered)
            sorted_once = True
        # Less than a task's work for each free slot (the last files, or
        # max_pending): what there is, shared out among them.
        target = min(TASK_SECONDS / scale, buffered / max(free, 1))
        files = [buffer.popleft()]
        total = files[0][1]
        while buffer and total + buffer[0][1] <= target:
            files.append(buffer.popleft())
            total += files[-1][1]
        buffered -= total
        return _Task(files)

    try:
        while True:
            if client.status != "running":
                if client.status in ("closing", "closed"):
                    raise ClusterError("the Dask client lost its scheduler and closed; %d files "
                                       "were not finished" % unfinished())
                if lost_since is None:
                    lost_since = time.monotonic()
                elif time.monotonic() - lost_since > reconnect_s:
                    raise ClusterError("no scheduler for %g s; %d files were not finished"
                                       % (reconnect_s, unfinished()))
                time.sleep(_POLL_SECONDS / 5)
                continue
            lost_since = None
            while again:
                submit(again.pop())
            # Two tasks per worker thread: one running, one waiting beside it.
            threads = _worker_threads(client)
            if threads or not pending:
                idle_since = None
            elif idle_since is None:
                idle_since = time.monotonic()
            elif time.monotonic() - idle_since > reconnect_s:
                raise ClusterError("no workers for %g s; %d files were not finished"
                                   % (reconnect_s, unfinished()))
            slots = 2 * max(threads, 1)
            if len(pending) < slots:
                yield from fill(slots)
                while len(pending) < slots:
                    task = next_task(slots - len(pending))
                    if task is None:
                        break
                    submit(task)
            if not pending:
                if exhausted and not buffer:
                    return
                continue
            try:
                done = wait(list(pending), timeout=_POLL_SECONDS,
                            return_when="FIRST_COMPLETED").done
            except TimeoutError:
                continue
            except CancelledError:  # raised for a cancelled future: taken below
                done = {f for f in pending if f.status != "pending"}
            except Exception:  # the client lost the scheduler: seen at the top
                time.sleep(_POLL_SECONDS / 5)
                continue
            for future in done:
                status = future.status
                if status == "finished":
                    try:
                        value = future.result()
                    except Exception:  # the connection went while fetching it
                        status = "cancelled"
                if status == "finished":
                    task = take(future)
                    future.release()
                    if "fault" in value:
                        raise ClusterError("worker %s cannot load the silsplit library: %s"
                                           % (value["worker"], value["fault"]))
                    measured[0] += task.cost
                    measured[1] += value["seconds"]
                    if measured[0] > 0.05:
                        scale = max(measured[1] / measured[0], 1e-3)
                    yield [(work, outcome, value["worker"], False)
                           for (work, _), outcome in zip(task.files, value["outcomes"])]
                if status == "error":
                    try:
                        exc = future.exception()
                    except Exception:  # the connection went while fetching it
                        status = "cancelled"
                if status == "error":
                    if isinstance(exc, ImportError):
                        raise ClusterError(
                            "worker %s cannot run the task: %s: %s; install the silsplit package "
                            "(the same version) on every worker"
                            % (_erred_on(client, future.key), type(exc).__name__, exc))
                    task = take(future)
                    future.release()
                    if isinstance(exc, KilledWorker) and len(task.files) > 1:
                        # Each file on its own, to find the one that kills workers.
                        for one in task.files:
                            submit(_Task([one]))
                        continue
                    text = "%s: %s" % (type(exc).__name__, exc)
                    yield [(work, ("error", text), None, True) for work, _ in task.files]
                elif status != "finished":  # cancelled (a restart, a lost scheduler), lost
                    task = take(future)
                    future.release()
                    if task.tries > retries:
                        raise ClusterError("a task of %d files was %s %d times by the cluster"
                                           % (len(task.files), status, task.tries))
                    again.append(task)  # handed out again once the scheduler is back
    finally:
        left: List[Any] = list(pending)
        if left:
            try:
                if client.status == "running":
                    client.cancel(left)
            except Exception:  # the client may be gone: nothing left to cancel
                pass
