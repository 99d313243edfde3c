"""Many recordings at once: on this machine's cores, or on the workers of a
Dask cluster.

    from silsplit.batch import analyze_many

    for path, result in analyze_many(paths, index="index.jsonl", min_silence_s=1.0):
        if isinstance(result, silsplit.Error):
            print(path, "failed:", result)

    from distributed import Client
    with Client("tcp://scheduler:8786") as client:
        for path, result in analyze_many(paths, client):
            ...

Each file is analysed by silsplit.analyze on one thread of a worker; a
failure of one file becomes that file's result and never stops the others.
"""

import concurrent.futures
import json as _json
import os
import re
from typing import (IO, Any, Callable, Dict, Generator, Iterable, Iterator, List, Optional,
                    Protocol, Tuple, TypeVar, Union)

from ._core import Error, OptionValue, PathArg, Report, _options_text, analyze

__all__ = ["DaskClient", "Result", "analyze_many"]


class DaskClient(Protocol):
    """What analyze_many uses of a distributed.Client."""

    def submit(self, func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any: ...

    def nthreads(self) -> Any: ...

    def cancel(self, futures: Any) -> Any: ...


#: A path as the caller gives it, and as it comes back with its result.
PathT = TypeVar("PathT", bound=PathArg)

#: What each file gives: its Report, or the Error that stopped its analysis.
Result = Union[Report, Error]

# What travels back from a worker: ("report", text) or ("error", message).
# Plain text pickles everywhere and keeps the library's report unchanged.
_Outcome = Tuple[str, str]

_END = object()


def _analyze_file(path: Union[str, bytes], options: Dict[str, OptionValue]) -> _Outcome:
    """Runs on a worker: the outcome of one file, never an exception."""
    try:
        return "report", analyze(path, progress=None, **options).json
    except Error as exc:
        return "error", str(exc)
    except Exception as exc:  # a path the library cannot take, a missing library, ...
        return "error", "%s: %s" % (type(exc).__name__, exc)


def _result(outcome: _Outcome) -> Result:
    kind, text = outcome
    return Report.from_json(text) if kind == "report" else Error(text)


def _json_name(path: PathArg) -> str:
    """A path as a JSON string, as the program writes names: bytes that are
    not UTF-8 become \\u00XX escapes of themselves (os.fsdecode keeps them as
    lone surrogates, which no UTF-8 file can hold)."""
    text = _json.dumps(os.fsdecode(path), ensure_ascii=False)
    return re.sub("[\udc80-\udcff]", lambda m: "\\u00%02X" % (ord(m.group()) - 0xDC00), text)


class _Index:
    """The JSON Lines index: one line per file, written as its result comes."""

    def __init__(self, target: Union[str, os.PathLike[str], IO[str], None]) -> None:
        self.file: Optional[IO[str]] = None
        self.owned = False
        if target is None:
            return
        if isinstance(target, (str, os.PathLike)):
            self.file = open(target, "w", encoding="utf-8")
            self.owned = True
        else:
            self.file = target

    def write(self, path: PathArg, outcome: _Outcome) -> None:
        if self.file is None:
            return
        kind, text = outcome
        name = _json_name(path)
        if kind == "report":
            # The report is one line of JSON already: it goes in as it is.
            self.file.write('{"path":%s,"report":%s}\n' % (name, text))
        else:
            self.file.write('{"path":%s,"error":%s}\n' % (name, _json.dumps(text)))
        self.file.flush()

    def close(self) -> None:
        if self.owned and self.file is not None:
            self.file.close()


def analyze_many(paths: Iterable[PathT], client: Optional[DaskClient] = None, *,
                 threads: Optional[int] = None,
                 index: Union[str, os.PathLike[str], IO[str], None] = None,
                 max_pending: Optional[int] = None,
                 **options: OptionValue) -> Iterator[Tuple[PathT, Result]]:
    """Analyses every WAV file of paths and yields (path, result) as each
    result arrives, in the order they finish: result is the file's Report, or
    the silsplit.Error that stopped it (its message is the library's, or
    names what else went wrong, such as a worker lost).

    client: a distributed.Client (to a LocalCluster or to any scheduler
      address); its workers do the work, so each needs this package installed
      (or SILSPLIT_LIBRARY set) and the files at the same paths. Without a
      client, a pool of threads on this machine does it (threads: how many;
      default one per core this process may use).
    index: a file name or an open text file; one JSON line per file is
      written as its result arrives: {"path": ..., "report": {...}} or
      {"path": ..., "error": "..."}. A file name is overwritten.
    max_pending: how many files are handed out ahead of the results (default
      four per worker thread), so paths may be a lazy iterator of any length.
    options: as for silsplit.analyze (checked here, before any work starts).

    Stopping the iteration early cancels the files not yet started.
    """
    _options_text("analyze_many", options)  # TypeError now rather than on every worker
    if threads is not None and threads < 1:
        raise ValueError("threads must be at least 1, not %r" % (threads,))
    if max_pending is not None and max_pending < 1:
        raise ValueError("max_pending must be at least 1, not %r" % (max_pending,))
    if client is not None:
        workers = sum(client.nthreads().values()) or 1
        results = _on_dask(client, iter(paths), options, max_pending or 4 * workers)
    else:
        workers = threads or _cores()
        results = _on_threads(workers, iter(paths), options, max_pending or 4 * workers)
    return _indexed(results, _Index(index))


def _cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _indexed(results: Generator[Tuple[PathT, _Outcome], None, None],
             index: _Index) -> Iterator[Tuple[PathT, Result]]:
    try:
        for path, outcome in results:
            index.write(path, outcome)
            yield path, _result(outcome)
    finally:
        results.close()
        index.close()


def _next_path(paths: Iterator[PathT]) -> Any:
    return next(paths, _END)


def _on_threads(workers: int, paths: Iterator[PathT], options: Dict[str, OptionValue],
                window: int) -> Generator[Tuple[PathT, _Outcome], None, None]:
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers,
                                                 thread_name_prefix="silsplit")
    pending: Dict["concurrent.futures.Future[_Outcome]", PathT] = {}
    try:
        while True:
            while len(pending) < window:
                path = _next_path(paths)
                if path is _END:
                    break
                pending[pool.submit(_analyze_file, os.fspath(path), options)] = path
            if not pending:
                return
            done, _ = concurrent.futures.wait(pending,
                                              return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                yield pending.pop(future), future.result()
    finally:
        pool.shutdown(wait=False, cancel_futures=True)


def _on_dask(client: DaskClient, paths: Iterator[PathT], options: Dict[str, OptionValue],
             window: int) -> Generator[Tuple[PathT, _Outcome], None, None]:
    from distributed import as_completed

    pending: Dict[Any, PathT] = {}
    # Results are fetched as tasks finish; a failed task's value is not used
    # (its exception is asked for by status below).
    finished = as_completed(with_results=True, raise_errors=False)
    submit: Callable[..., Any] = client.submit

    def hand_out() -> None:
        while len(pending) < window:
            path = _next_path(paths)
            if path is _END:
                return
            # pure=False: the same file twice is two tasks, each with its result.
            future = submit(_analyze_file, os.fspath(path), options, pure=False)
            pending[future] = path
            finished.add(future)

    try:
        hand_out()
        for future, value in finished:
            path = pending.pop(future)
            outcome: _Outcome
            if future.status == "finished":
                outcome = value
            elif future.status == "error":
                exc = future.exception()
                outcome = ("error", "%s: %s" % (type(exc).__name__, exc))
            else:
                outcome = ("error", "task %s" % future.status)
            future.release()
            hand_out()
            yield path, outcome
    finally:
        left: List[Any] = list(pending)
        if left:
            client.cancel(left)
