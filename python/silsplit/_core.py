"""ctypes binding of libkestrova-audio-silence-splitter.

Every call runs on the calling thread; ctypes releases the GIL while the
library works, so several Python threads analyse in parallel.
"""

import ctypes
import ctypes.util
import json as _json
import numbers
import os
import sys
import threading
from array import array
from dataclasses import dataclass, field
from typing import Callable, Optional, Tuple

__all__ = ["Chapter", "Error", "Report", "analyze", "analyze_pcm", "library_path",
           "split", "version"]

LIBRARY_NAME = "kestrova-audio-silence-splitter"
# Tried beside the package and then by name on the system's library path.
_FILE_NAMES = ("lib" + LIBRARY_NAME + ".so.1", "lib" + LIBRARY_NAME + ".so")

OPTION_NAMES = ("threshold_db", "min_silence_s", "min_chapter_s", "padding_s", "max_chapter_s")

_INT_MAX = 2**31 - 1


class Error(RuntimeError):
    """A failure of the library (its message is the exception's text), or the
    library itself could not be loaded."""


# int (*)(int percent, const char *stage, void *user)
_PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


# ---------------------------------------------------------------------------
# Loading the library
# ---------------------------------------------------------------------------

_load_lock = threading.Lock()
_lib = None
_lib_path = None


def _bind(lib):
    """Declares the seven functions; AttributeError when one is missing."""
    lib.silsplit_version.argtypes = []
    lib.silsplit_version.restype = ctypes.c_char_p
    lib.silsplit_last_error.argtypes = []
    lib.silsplit_last_error.restype = ctypes.c_char_p
    lib.silsplit_free_string.argtypes = [ctypes.c_void_p]
    lib.silsplit_free_string.restype = None
    # Reports come back as c_void_p, not c_char_p: c_char_p would turn them
    # into bytes and lose the pointer that silsplit_free_string needs.
    lib.silsplit_analyze_pcm.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p]
    lib.silsplit_analyze_pcm.restype = ctypes.c_void_p
    lib.silsplit_analyze.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.silsplit_analyze.restype = ctypes.c_void_p
    lib.silsplit_analyze_progress.argtypes = [ctypes.c_char_p, ctypes.c_char_p, _PROGRESS_FN,
                                              ctypes.c_void_p]
    lib.silsplit_analyze_progress.restype = ctypes.c_void_p
    lib.silsplit_write_chapters.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
    lib.silsplit_write_chapters.restype = ctypes.c_int


def _candidates():
    """(what to load, where it comes from) in the order they are tried."""
    env = os.environ.get("SILSPLIT_LIBRARY")
    if env:
        # An explicit choice is the only one tried: falling back to another
        # copy would hide the mistake.
        return [(env, "SILSPLIT_LIBRARY")]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [(os.path.join(here, name), "beside the package") for name in _FILE_NAMES]
    names = []
    system = ctypes.util.find_library(LIBRARY_NAME)
    if system:
        names.append(system)
    names += [name for name in _FILE_NAMES if name not in names]
    found += [(name, "system library path") for name in names]
    return found


def _library():
    global _lib, _lib_path
    lib = _lib
    if lib is not None:
        return lib
    with _load_lock:
        if _lib is not None:
            return _lib
        tried = []
        for target, where in _candidates():
            if where == "beside the package" and not os.path.exists(target):
                tried.append("%s (%s): no such file" % (target, where))
                continue
            try:
                lib = ctypes.CDLL(target)
                _bind(lib)
            except (OSError, AttributeError) as exc:
                tried.append("%s (%s): %s" % (target, where, exc))
                continue
            _lib, _lib_path = lib, target
            return lib
        raise Error("cannot load lib%s; tried:\n  %s\nInstall the library (and run ldconfig) "
                    "or set SILSPLIT_LIBRARY to its path." % (LIBRARY_NAME, "\n  ".join(tried)))


def library_path() -> str:
    """The file or name the library was loaded from (loading it if needed)."""
    _library()
    return _lib_path


def _last_error(lib) -> str:
    # Read on the same thread right after the failing call: the message is
    # kept per thread.
    msg = lib.silsplit_last_error()
    return msg.decode("utf-8", "replace") if msg else "unknown error"


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Chapter:
    index: int      # from 1
    t0: float       # start, seconds
    t1: float       # end, seconds
    dur: float      # t1 - t0, seconds
    peak_db: float  # loudest frame, dBFS


@dataclass(frozen=True)
class Report:
    sample_rate: int
    duration_s: float
    silences_removed_s: float
    chapters: Tuple[Chapter, ...]
    json: str = field(repr=False)  # the library's text, unchanged

    @classmethod
    def from_json(cls, text: str) -> "Report":
        data = _json.loads(text)
        chapters = tuple(Chapter(index=c["i"], t0=c["t0"], t1=c["t1"], dur=c["dur"],
                                 peak_db=c["peak_db"]) for c in data["chapters"])
        return cls(sample_rate=data["sample_rate"], duration_s=data["duration_s"],
                   silences_removed_s=data["silences_removed_s"], chapters=chapters, json=text)


def _take_report(lib, ptr) -> Report:
    """Copies the report out of the library's memory and frees it."""
    if not ptr:
        raise Error(_last_error(lib))
    try:
        text = ctypes.string_at(ptr).decode("utf-8")
    finally:
        lib.silsplit_free_string(ptr)
    return Report.from_json(text)


# ---------------------------------------------------------------------------
# Arguments
# ---------------------------------------------------------------------------

def _options_text(func: str, options: dict, sample_rate: Optional[int] = None) -> Optional[bytes]:
    for key in options:
        if key not in OPTION_NAMES:
            raise TypeError("%s() got an unexpected keyword argument %r (options: %s)"
                            % (func, key, ", ".join(OPTION_NAMES)))
    obj = {}
    for key in OPTION_NAMES:
        value = options.get(key)
        if value is None:
            continue  # the library's default
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError("%s must be a number, not %s" % (key, type(value).__name__))
        obj[key] = float(value)
    if sample_rate is not None:
        obj["sample_rate"] = sample_rate
    return _json.dumps(obj).encode("ascii") if obj else None


def _path_arg(path, what="path") -> bytes:
    raw = os.fsencode(path)
    if b"\0" in raw:
        raise ValueError("embedded null byte in %s" % what)
    return raw


def _rate_arg(sample_rate) -> int:
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, numbers.Real) \
            or sample_rate != int(sample_rate) or not 0 < sample_rate <= _INT_MAX:
        raise ValueError("sample_rate must be a positive whole number of Hz, not %r"
                         % (sample_rate,))
    return int(sample_rate)


_RAW_BYTE_FORMATS = ("B", "b", "c")
_NATIVE = "<" if sys.byteorder == "little" else ">"
_FLOAT32_FORMATS = ("f", "=f", "@f", _NATIVE + "f")
_FLOAT64_FORMATS = ("d", "=d", "@d", _NATIVE + "d")


def _pcm_arg(samples):
    """(pointer argument, sample count, object to keep alive during the call).

    float32 buffers are passed without a copy: numpy arrays, array('f'),
    bytearray and writable memoryviews, and bytes (or a memoryview of all of
    a bytes object). Other read-only buffers are copied once; float64 buffers
    and plain sequences are converted to float32.
    """
    np = sys.modules.get("numpy")  # never imported here: only used if the caller has it
    if np is not None and isinstance(samples, np.ndarray):
        arr = np.ascontiguousarray(samples, dtype=np.float32)
        if arr.ndim != 1:
            raise ValueError("samples must be one channel (a 1-D array), got shape %r"
                             % (arr.shape,))
        return _checked(arr.ctypes.data if arr.size else None, arr.size, arr)

    try:
        view = memoryview(samples)
    except TypeError:
        view = None
    if view is None:
        values = array("f", samples)  # any iterable of numbers
        return _from_view(memoryview(values))
    if view.ndim != 1:
        raise ValueError("samples must be one channel (a 1-D buffer), got %d dimensions"
                         % view.ndim)
    if view.itemsize == 1 and view.format in _RAW_BYTE_FORMATS:
        if view.nbytes % 4:
            raise ValueError("a byte buffer of float32 samples needs a length divisible by 4,"
                             " got %d bytes" % view.nbytes)
        obj = view.obj
        if isinstance(obj, bytes) and view.c_contiguous and view.nbytes == len(obj):
            return _checked(obj if obj else None, len(obj) // 4, obj)
        if not view.c_contiguous:
            view = memoryview(view.tobytes())
        return _from_view(view.cast("B").cast("f"))
    if view.itemsize == 4 and view.format in _FLOAT32_FORMATS:
        if not view.c_contiguous:
            view = memoryview(view.tobytes())
        return _from_view(view.cast("B").cast("f"))
    if view.format in _FLOAT64_FORMATS:
        return _from_view(memoryview(array("f", view.tolist())))
    raise TypeError("samples must be float32 or float64 values at full scale 1.0, got a "
                    "buffer of format %r (integer PCM: divide by its full scale first)"
                    % view.format)


def _from_view(view):
    n = len(view)
    if n == 0:
        return None, 0, view
    if view.readonly:
        return _checked((ctypes.c_float * n).from_buffer_copy(view), n, view)
    # Shares the memory; the buffer cannot be resized while it is exported.
    return _checked((ctypes.c_float * n).from_buffer(view), n, view)


def _checked(pointer, n, keep):
    if n > _INT_MAX:
        raise ValueError("at most %d samples per call, got %d" % (_INT_MAX, n))
    return pointer, n, keep


# ---------------------------------------------------------------------------
# Public functions
# ---------------------------------------------------------------------------

def version() -> str:
    """The library's version, such as "1.1.0"."""
    return _library().silsplit_version().decode("ascii")


def analyze_pcm(samples, sample_rate: int = 16000, **options) -> Report:
    """Report of one channel of float samples (full scale 1.0) at sample_rate Hz.

    samples: a numpy array, array('f'), bytes/memoryview of native float32,
    or any sequence of numbers. Options: threshold_db, min_silence_s,
    min_chapter_s, padding_s, max_chapter_s.
    """
    opts = _options_text("analyze_pcm", options, _rate_arg(sample_rate))
    pointer, n, keep = _pcm_arg(samples)
    lib = _library()
    ptr = lib.silsplit_analyze_pcm(pointer, n, opts)
    del keep  # the buffer stays exported until here
    return _take_report(lib, ptr)


def analyze(path, *, progress: Optional[Callable[[int, str], object]] = None,
            **options) -> Report:
    """Report of a WAV file.

    progress(percent, stage) is called on this thread as the work goes on
    (stages "read", "resample", "detect", "done"); a true return value or an
    exception cancels the analysis. A cancel by return raises Error
    ("cancelled"); an exception is raised again once the library has returned.
    """
    opts = _options_text("analyze", options)
    raw_path = _path_arg(path)
    lib = _library()
    if progress is None:
        return _take_report(lib, lib.silsplit_analyze(raw_path, opts))

    raised = []

    def relay(percent, stage, _user):
        # Nothing may propagate into C: every outcome becomes 0 or 1.
        try:
            return 1 if progress(percent, stage.decode("ascii", "replace") if stage else "") \
                else 0
        except BaseException as exc:  # noqa: B902 - re-raised below
            raised.append(exc)
            return 1

    # Held in a local for the whole call, so ctypes cannot free the thunk
    # while the library may still call it.
    callback = _PROGRESS_FN(relay)
    ptr = lib.silsplit_analyze_progress(raw_path, opts, callback, None)
    if raised:
        if ptr:
            lib.silsplit_free_string(ptr)
        exc = raised.pop()
        try:
            raise exc
        finally:
            del exc
    del callback
    return _take_report(lib, ptr)


def split(path, out_dir, **options) -> int:
    """Writes out_dir/ch_001.wav, ... (16-bit mono at the file's rate) and
    out_dir/chapters.json; returns the number of chapters written."""
    opts = _options_text("split", options)
    raw_path = _path_arg(path)
    raw_dir = _path_arg(out_dir, "out_dir")
    lib = _library()
    count = lib.silsplit_write_chapters(raw_path, opts, raw_dir)
    if count < 0:
        raise Error(_last_error(lib))
    return count
