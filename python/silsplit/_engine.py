"""ctypes binding of libsilsplit-engine (include/silsplit_engine.h): sessions
that take frames as they arrive, files of any format the media module reads,
error codes, and the engine's option table.
"""

import ctypes
import ctypes.util
import enum
import json as _json
import math
import numbers
import os
import sys
import threading
from array import array
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

from ._core import (Chapter, Error, OptionValue, PathArg, ProgressFn, Report, _list_arg,
                    _list_entry, _path_arg, _title)

__all__ = ["ErrorCode", "Option", "Session", "SessionChapter", "analyze_file",
           "engine_library_path", "options"]

ENGINE_NAME = "silsplit-engine"
_ENGINE_FILES = ("lib" + ENGINE_NAME + ".so.1", "lib" + ENGINE_NAME + ".so")


class ErrorCode(enum.IntEnum):
    """What went wrong (sle_status); Error.code holds one."""
    FAILED = 1
    ARGS = 2
    MEMORY = 3
    CANCELLED = 4
    READ = 5
    WRITE = 6
    FORMAT = 7
    TOO_LARGE = 8
    MEDIA = 9       # the input needs the media module (FFmpeg), which is not there
    STATE = 10      # a call out of order: push after finish


class _Option(ctypes.Structure):
    _fields_ = [("key", ctypes.c_char_p), ("kind", ctypes.c_int), ("fallback", ctypes.c_double),
                ("min", ctypes.c_double), ("max", ctypes.c_double),
                ("min_excluded", ctypes.c_int), ("flag", ctypes.c_char_p),
                ("help", ctypes.c_char_p)]


class _Chapter(ctypes.Structure):
    _fields_ = [("index", ctypes.c_int), ("t0", ctypes.c_double), ("t1", ctypes.c_double),
                ("frame0", ctypes.c_int64), ("frame1", ctypes.c_int64),
                ("peak_db", ctypes.c_double), ("start_confidence", ctypes.c_double),
                ("end_confidence", ctypes.c_double), ("title", ctypes.c_char_p)]


class _Input(ctypes.Structure):
    _fields_ = [("rate", ctypes.c_int), ("channels", ctypes.c_int), ("frames", ctypes.c_int64)]


_PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)
_CHAPTER_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_Chapter), ctypes.c_void_p)

_KINDS = {0: "number", 1: "flag", 2: "count", 3: "list"}


@dataclass(frozen=True)
class Option:
    """One key of the engine's option table."""
    key: str
    kind: str        # "number", "flag", "count" or "list"
    default: float   # flags 0, counts 0 (unset), lists 0 (none)
    min: float       # for a list: fewest entries
    max: float       # for a list: most entries
    min_excluded: bool
    flag: str        # the program's flag, or ""
    help: str


@dataclass(frozen=True)
class SessionChapter:
    """A chapter once it is final: its times, its frames [frame0, frame1) at
    the input's rate, its title ("" without one), and how clearly the
    boundaries before and after it stand out (0..1; None where there is no
    boundary or it was not measured: only auto and report_pauses measure)."""
    index: int
    t0: float
    t1: float
    frame0: int
    frame1: int
    peak_db: float
    title: str
    start_confidence: Optional[float]
    end_confidence: Optional[float]


# ---------------------------------------------------------------------------
# Loading the library
# ---------------------------------------------------------------------------

_load_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None


def _bind(lib: ctypes.CDLL) -> None:
    c_session_p = ctypes.c_void_p
    sigs: Dict[str, Tuple[Any, List[Any]]] = {
        "sle_version": (ctypes.c_char_p, []),
        "sle_strerror": (ctypes.c_char_p, [ctypes.c_int]),
        "sle_last_error": (ctypes.c_char_p, []),
        "sle_option_count": (ctypes.c_int, []),
        "sle_option_at": (ctypes.POINTER(_Option), [ctypes.c_int]),
        "sle_check_options": (ctypes.c_int, [ctypes.c_char_p]),
        "sle_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
                                    ctypes.POINTER(c_session_p)]),
        "sle_open_file": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p,
                                         ctypes.POINTER(c_session_p)]),
        "sle_set_progress": (ctypes.c_int, [c_session_p, _PROGRESS_FN, ctypes.c_void_p]),
        "sle_set_chapter_fn": (ctypes.c_int, [c_session_p, _CHAPTER_FN, ctypes.c_void_p]),
        "sle_push": (ctypes.c_int, [c_session_p, ctypes.c_void_p, ctypes.c_size_t]),
        "sle_finish": (ctypes.c_int, [c_session_p]),
        "sle_free": (None, [c_session_p]),
        "sle_chapter_count": (ctypes.c_int, [c_session_p]),
        "sle_get_chapter": (ctypes.c_int, [c_session_p, ctypes.c_int, ctypes.POINTER(_Chapter)]),
        "sle_report": (ctypes.c_char_p, [c_session_p]),
        "sle_get_input": (ctypes.c_int, [c_session_p, ctypes.POINTER(_Input)]),
    }
    for name, (restype, argtypes) in sigs.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def _candidates() -> List[str]:
    env = os.environ.get("SILSPLIT_ENGINE_LIBRARY")
    if env:
        return [env]  # an explicit choice is the only one tried
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in _ENGINE_FILES]
    # Beside the seven-function library that SILSPLIT_LIBRARY names (a build
    # folder holds both).
    seven = os.environ.get("SILSPLIT_LIBRARY")
    if seven:
        folder = os.path.dirname(os.path.abspath(seven))
        found += [os.path.join(folder, name) for name in _ENGINE_FILES]
    found = [f for f in found if os.path.exists(f)]
    system = ctypes.util.find_library(ENGINE_NAME)
    return found + ([system] if system else []) + list(_ENGINE_FILES)


def _library() -> ctypes.CDLL:
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    with _load_lock:
        if _lib is not None:
            return _lib
        tried = []
        for target in _candidates():
            try:
                lib = ctypes.CDLL(target)
                _bind(lib)
            except (OSError, AttributeError) as exc:
                tried.append("%s: %s" % (target, exc))
                continue
            _lib, _lib_path = lib, target
            return lib
        raise Error("cannot load lib%s; tried:\n  %s\nInstall the package with pip, or set "
                    "SILSPLIT_ENGINE_LIBRARY to its path." % (ENGINE_NAME, "\n  ".join(tried)))


def engine_library_path() -> str:
    """The file the engine library was loaded from (loading it if needed)."""
    _library()
    assert _lib_path is not None
    return _lib_path


def _fail(lib: ctypes.CDLL, status: int) -> Error:
    msg = lib.sle_last_error()
    text = msg.decode("utf-8", "replace") if msg else ""
    if not text:
        text = lib.sle_strerror(status).decode("ascii", "replace")
    try:
        code: Optional[ErrorCode] = ErrorCode(status)
    except ValueError:
        code = None
    return Error(text, code=code)


def _check(lib: ctypes.CDLL, status: int) -> None:
    if status != 0:
        raise _fail(lib, status)


# ---------------------------------------------------------------------------
# Options: the engine's table
# ---------------------------------------------------------------------------

_table: Optional[Tuple[Option, ...]] = None


def options() -> Tuple[Option, ...]:
    """The engine's option table: every key, its kind, default and range."""
    global _table
    if _table is None:
        lib = _library()
        rows = []
        for i in range(lib.sle_option_count()):
            o = lib.sle_option_at(i).contents
            rows.append(Option(key=o.key.decode("ascii"), kind=_KINDS[o.kind],
                               default=o.fallback, min=o.min, max=o.max,
                               min_excluded=bool(o.min_excluded),
                               flag=o.flag.decode("ascii"), help=o.help.decode("utf-8")))
        _table = tuple(rows)
    return _table


def _options_json(func: str, given: Mapping[str, object]) -> Optional[bytes]:
    """The options text of keyword options, each checked by the kind the
    engine's table gives it; the engine then checks the whole text (an
    Error with code ARGS names the key or entry)."""
    table = {o.key: o for o in options()}
    obj: Dict[str, object] = {}
    for key, value in given.items():
        o = table.get(key)
        if o is None:
            raise TypeError("%s() got an unexpected keyword argument %r (options: %s)"
                            % (func, key, ", ".join(table)))
        if value is None:
            continue  # the engine's default
        if o.kind == "flag":
            if not isinstance(value, bool):
                raise TypeError("%s must be True or False, not %s" % (key, type(value).__name__))
            obj[key] = value
        elif o.kind == "count":
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise TypeError("%s must be a whole number, not %s"
                                % (key, type(value).__name__))
            obj[key] = int(value)
        elif o.kind == "number":
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError("%s must be a number, not %s" % (key, type(value).__name__))
            if not math.isfinite(float(value)):
                raise ValueError("%s must be a finite number, not %r" % (key, float(value)))
            obj[key] = float(value)
        elif key == "titles":
            obj[key] = [_title(t, "titles[%d]" % i) for i, t in enumerate(_list_arg(key, value))]
        else:
            obj[key] = [_list_entry(key, i, e) for i, e in enumerate(_list_arg(key, value))]
    if not obj:
        return None
    text = _json.dumps(obj).encode("ascii")
    lib = _library()
    _check(lib, lib.sle_check_options(text))
    return text


# ---------------------------------------------------------------------------
# Frames
# ---------------------------------------------------------------------------

# (dtype kind, item size) -> the full scale of an integer sample, or None for
# floats (as analyze_pcm takes them).
_NUMPY_KINDS = {("f", 4): None, ("f", 8): None, ("i", 2): 32768.0, ("i", 4): 2147483648.0}
_NATIVE = "<" if sys.byteorder == "little" else ">"


def _frames_arg(samples: Any, channels: int) -> Tuple[int, int, object]:
    """(address of interleaved native float32 frames, frame count, object
    to keep alive during the call)."""
    np = sys.modules.get("numpy")  # never imported here: only used if the caller has it
    if np is not None and isinstance(samples, np.ndarray):
        scale = _NUMPY_KINDS.get((samples.dtype.kind, samples.dtype.itemsize), False)
        if scale is False or samples.ndim not in (1, 2):
            raise TypeError("push() takes a numpy array of float32, float64, int16 or int32 "
                            "samples, one-dimensional (interleaved) or two-dimensional "
                            "(frames x channels), not %s of %d dimensions"
                            % (samples.dtype, samples.ndim))
        if samples.ndim == 2 and samples.shape[1] != channels:
            raise ValueError("the array has %d channels, the session %d"
                             % (samples.shape[1], channels))
        arr = np.ascontiguousarray(samples, dtype=np.float32)
        if scale is not None:
            arr = arr / np.float32(scale)  # a power of two: exact
        if arr.size % channels:
            raise ValueError("%d samples are not whole frames of %d channels"
                             % (arr.size, channels))
        return int(arr.ctypes.data), arr.size // channels, arr
    try:
        view: Optional[memoryview] = memoryview(samples)
    except TypeError:
        view = None
    if view is not None:
        if view.format not in ("f", "=f", "@f", _NATIVE + "f", "B", "b", "c"):
            raise TypeError("push() takes float32 buffers, not format %r" % view.format)
        values = array("f")
        values.frombytes(view.cast("B") if view.format not in ("B", "b", "c") else view)
    else:
        values = array("f", samples)  # any iterable of numbers
    if len(values) % channels:
        raise ValueError("%d samples are not whole frames of %d channels"
                         % (len(values), channels))
    address = values.buffer_info()[0] if len(values) else 0
    return address, len(values) // channels, values


# ---------------------------------------------------------------------------
# Sessions
# ---------------------------------------------------------------------------

def _record(c: _Chapter) -> SessionChapter:
    return SessionChapter(index=c.index, t0=c.t0, t1=c.t1, frame0=c.frame0, frame1=c.frame1,
                          peak_db=c.peak_db, title=(c.title or b"").decode("utf-8"),
                          start_confidence=None if c.start_confidence < 0 else c.start_confidence,
                          end_confidence=None if c.end_confidence < 0 else c.end_confidence)


class Session:
    """An analysis fed frames as they arrive (a microphone, a stream, a
    decoder of your own):

        with silsplit.Session(48000, channels=2, min_chapter_s=2) as s:
            for block in blocks:                 # numpy arrays, frames x 2
                for ch in s.push(block):
                    print("closed:", ch.t0, ch.t1)
            report = s.finish()                  # the report of the whole stream

    push() takes a numpy array (float32, float64, int16 or int32; frames x
    channels, or interleaved in one dimension), or float32 bytes, array('f')
    or numbers, interleaved; channels are mixed as the WAV reader mixes a
    file's, so any split into pushes gives the report analyze() gives for the
    same recording. push() and finish() return the chapters that became
    final during the call (today all come at finish()); on_chapter, when
    given, is also called with each. A session is used by one thread at a
    time. Every failure is an Error with .code (an ErrorCode).
    """

    channels: int
    sample_rate: int

    def __init__(self, sample_rate: int, channels: int = 1, *,
                 on_chapter: Optional[Callable[[SessionChapter], object]] = None,
                 **options: OptionValue) -> None:
        self._lib = _library()
        self._handle: Optional[int] = None
        if isinstance(sample_rate, bool) or not isinstance(sample_rate, numbers.Integral):
            raise TypeError("sample_rate must be a whole number of Hz")
        if isinstance(channels, bool) or not isinstance(channels, numbers.Integral):
            raise TypeError("channels must be a whole number")
        opts = _options_json("Session", options)
        handle = ctypes.c_void_p()
        _check(self._lib, self._lib.sle_open(opts, int(sample_rate), int(channels),
                                             ctypes.byref(handle)))
        self._handle = handle.value
        self.channels = int(channels)
        self.sample_rate = int(sample_rate)
        self._setup(on_chapter)

    @classmethod
    def _from_handle(cls, handle: int,
                     on_chapter: Optional[Callable[[SessionChapter], object]]) -> "Session":
        self = cls.__new__(cls)
        self._lib = _library()
        self._handle = handle
        self.channels = 0
        self.sample_rate = 0
        self._setup(on_chapter)
        return self

    def _setup(self, on_chapter: Optional[Callable[[SessionChapter], object]]) -> None:
        self._closed: List[SessionChapter] = []
        self._fresh: List[SessionChapter] = []
        self._raised: List[BaseException] = []
        self._on_chapter = on_chapter
        self._report: Optional[Report] = None

        def told(ptr: Any, _user: Optional[int]) -> int:
            try:
                ch = _record(ptr.contents)
                self._closed.append(ch)
                self._fresh.append(ch)
                if self._on_chapter is not None and self._on_chapter(ch):
                    return 1
                return 0
            except BaseException as exc:  # noqa: B902 - raised again by the caller
                self._raised.append(exc)
                return 1

        # Kept on the session: the library calls it until the session is freed.
        self._chapter_thunk = _CHAPTER_FN(told)
        _check(self._lib, self._lib.sle_set_chapter_fn(self._handle, self._chapter_thunk, None))

    def _call(self, status: int) -> List[SessionChapter]:
        fresh, self._fresh = self._fresh, []
        if self._raised:
            raise self._raised.pop()
        _check(self._lib, status)
        return fresh

    def _live(self) -> int:
        if self._handle is None:
            raise Error("the session is closed", code=ErrorCode.STATE)
        return self._handle

    def push(self, samples: Any) -> List[SessionChapter]:
        """Adds frames; the chapters that became final meanwhile."""
        address, n, keep = _frames_arg(samples, self.channels or 1)
        status = self._lib.sle_push(self._live(), address, n)
        del keep
        return self._call(status)

    def finish(self) -> Report:
        """Ends the stream: the report of all of it (chapters not yet told
        are told first, to on_chapter)."""
        self._call(self._lib.sle_finish(self._live()))
        text = self._lib.sle_report(self._handle)
        self._report = Report.from_json(text.decode("utf-8"))
        return self._report

    @property
    def chapters(self) -> Tuple[SessionChapter, ...]:
        """Every chapter final so far, in order."""
        return tuple(self._closed)

    def close(self) -> None:
        """Frees the session (also when it is collected)."""
        if self._handle is not None:
            self._lib.sle_free(self._handle)
            self._handle = None

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()


def _open_file(path: PathArg, opts: Optional[bytes]) -> Tuple[Optional[int], int]:
    """(session handle or None, status) of sle_open_file."""
    lib = _library()
    handle = ctypes.c_void_p()
    status = lib.sle_open_file(_path_arg(path), opts, ctypes.byref(handle))
    return handle.value, status


def analyze_file(path: PathArg, *, progress: Optional[ProgressFn] = None,
                 on_chapter: Optional[Callable[[SessionChapter], object]] = None,
                 **options: OptionValue) -> Report:
    """Report of a file of any format: WAV read by the engine, anything else
    (MP3, FLAC, M4B, Opus, ...) through the media module (FFmpeg) when it is
    there, else Error with code MEDIA. progress(percent, stage) as for
    analyze()."""
    return _analyze_file(path, progress, on_chapter, options)


def _analyze_file(path: PathArg, progress: Optional[ProgressFn],
                  on_chapter: Optional[Callable[[SessionChapter], object]],
                  options: Mapping[str, OptionValue]) -> Report:
    opts = _options_json("analyze_file", options)
    lib = _library()
    handle, status = _open_file(path, opts)
    _check(lib, status)
    assert handle is not None
    session = Session._from_handle(handle, on_chapter)
    with session:
        if progress is not None:
            report_progress = progress

            def relay(percent: int, stage: Optional[bytes], _user: Optional[int]) -> int:
                try:
                    text = stage.decode("ascii", "replace") if stage else ""
                    return 1 if report_progress(percent, text) else 0
                except BaseException as exc:  # noqa: B902 - raised again below
                    session._raised.append(exc)
                    return 1

            thunk = _PROGRESS_FN(relay)
            _check(lib, lib.sle_set_progress(handle, thunk, None))
        return session.finish()


def reads_through_media(path: PathArg) -> Optional[bool]:
    """For analyze(): True when the engine reads path through the media
    module, False when that module is missing, None when the library's own
    reader takes the file (or the engine library is not there)."""
    try:
        lib = _library()
    except Error:
        return None
    handle, status = _open_file(path, None)
    if status == ErrorCode.MEDIA:
        return False
    if status != 0 or handle is None:
        return None
    info = _Input()
    lib.sle_get_input(handle, ctypes.byref(info))
    lib.sle_free(handle)
    return True if info.channels == 0 else None
