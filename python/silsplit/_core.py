"""ctypes binding of libkestrova-audio-silence-splitter.

Every call runs on the calling thread; ctypes releases the GIL while the
library works, so several Python threads analyse in parallel.
"""

import ctypes
import ctypes.util
import json as _json
import math
import numbers
import re
import shutil
import os
import sys
import tempfile
import threading
from array import array
from dataclasses import dataclass, field
from typing import (Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple,
                    Union)

__all__ = ["Chapter", "ChapterCount", "Error", "Levels", "OPTION_NAMES", "Pause", "Report",
           "Speech", "ThresholdPoint", "analyze", "analyze_pcm", "library_path", "split",
           "version"]

LIBRARY_NAME = "kestrova-audio-silence-splitter"
# Tried beside the package and then by name on the system's library path.
_FILE_NAMES = ("lib" + LIBRARY_NAME + ".so.1", "lib" + LIBRARY_NAME + ".so")

# The options text's keys, by the kind of value each takes.
NUMBER_OPTIONS = ("threshold_db", "min_silence_s", "min_chapter_s", "padding_s", "max_chapter_s")
FLAG_OPTIONS = ("auto", "auto_threshold", "cut_at_pause", "keep_all", "speech", "report_pauses",
                "report_levels", "report_speech")
COUNT_OPTIONS = ("chapter_count",)
# Most chapters a result may hold, and so the largest chapter_count.
MAX_CHAPTERS = 10000
OPTION_NAMES = ("threshold_db", "min_silence_s", "min_chapter_s", "padding_s", "max_chapter_s",
                "auto", "auto_threshold", "cut_at_pause", "chapter_count", "keep_all", "speech",
                "report_pauses", "report_levels", "report_speech")

# The keys that hold lists (and the window of the hints), beside the table's.
LIST_OPTIONS = ("chapters", "hints", "hint_window_s", "titles")

#: The value of one option keyword: a number, an integer (chapter_count), a
#: flag, a list (chapters, hints, titles), or None for the library's default.
OptionValue = Union[float, int, bool, Sequence[Any], None]

#: Paths may be text, bytes or any os.PathLike.
PathArg = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

#: Samples for analyze_pcm(): a numpy array (see analyze_pcm), array('f') or
#: array('d'), bytes, bytearray or memoryview of native float32, or any
#: iterable of numbers.
Samples = Union[Iterable[float], bytes, bytearray, memoryview]

#: progress(percent, stage): a true return value cancels.
ProgressFn = Callable[[int, str], object]

_INT_MAX = 2**31 - 1


class Error(RuntimeError):
    """A failure of the library (its message is the exception's text), or the
    library itself could not be loaded. code: what went wrong, an ErrorCode
    when the engine library (Session, analyze_file) said, else None."""

    def __init__(self, message: str = "", code: Optional[int] = None) -> None:
        super().__init__(message)
        self.code = code

    def __reduce__(self) -> Tuple[Any, Tuple[str, Optional[int]]]:
        return (type(self), (str(self), self.code))


# int (*)(int percent, const char *stage, void *user)
_PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


# ---------------------------------------------------------------------------
# Loading the library
# ---------------------------------------------------------------------------

_load_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None


def _bind(lib: ctypes.CDLL) -> None:
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


def _candidates() -> List[Tuple[str, str]]:
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


def _library() -> ctypes.CDLL:
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
    """The file or name the library was loaded from (loading it if needed):
    SILSPLIT_LIBRARY when set, else the copy inside the package, else the
    system's."""
    _library()
    assert _lib_path is not None
    return _lib_path


# What to do, after the library's message where it leaves that open.
_HINTS = {
    "not a RIFF/WAVE file": "; decode it first (the silsplit program reads any format FFmpeg "
                            "decodes) or pass its samples to analyze_pcm",
}


def _last_error(lib: ctypes.CDLL) -> str:
    # Read on the same thread right after the failing call: the message is
    # kept per thread.
    msg = lib.silsplit_last_error()
    text = str(msg.decode("utf-8", "replace")) if msg else "unknown error"
    return text + _HINTS.get(text, "")


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Chapter:
    """One chapter of a report."""
    index: int      # from 1
    t0: float       # start, seconds
    t1: float       # end, seconds
    dur: float      # t1 - t0, seconds
    peak_db: float  # loudest frame, dBFS
    title: Optional[str] = None    # when titles were given ("" for a chapter without one)
    hint: Optional[float] = None   # hints: the given time, seconds
    shift: Optional[float] = None  # hints: the boundary placed less the hint, seconds
    snap: Optional[str] = None     # hints: "start", "pause", "weak" or "none"


@dataclass(frozen=True)
class Pause:
    """A candidate pause (report_pauses=True): a silence long enough to divide
    at (with speech=True: a stretch without speech), with its strength. rank 1
    is the strongest pause of the recording."""
    t0: float        # start, seconds
    t1: float        # end, seconds
    dur: float       # t1 - t0, seconds
    level_db: float  # level of the pause, dBFS
    score: float     # strength; the higher the stronger
    rank: int        # 1 for the strongest
    speech_p: Optional[float] = None  # speech=True: mean speech probability, 0 to 1


@dataclass(frozen=True)
class ThresholdPoint:
    """A point of the threshold track (auto_threshold=True): the threshold in
    dBFS at t seconds; the threshold runs in straight lines between points."""
    t: float
    db: float


@dataclass(frozen=True, repr=False)
class Levels:
    """The level curve (report_levels=True): db[k] is the level of the frame
    that starts at k * hop_s seconds, in dBFS rounded to 0.1 dB, never below
    -120."""
    hop_s: float
    db: Tuple[float, ...]

    def __repr__(self) -> str:
        return "Levels(hop_s=%r, db=<%d values>)" % (self.hop_s, len(self.db))


@dataclass(frozen=True, repr=False)
class Speech:
    """The speech probability curve (report_speech=True): p[k] is the speech
    model's probability that the window of hop_s seconds starting at
    k * hop_s holds speech, rounded to 0.001."""
    hop_s: float
    p: Tuple[float, ...]

    def __repr__(self) -> str:
        return "Speech(hop_s=%r, p=<%d values>)" % (self.hop_s, len(self.p))


@dataclass(frozen=True)
class ChapterCount:
    """What chapter_count asked for and how many chapters were found."""
    requested: int
    found: int


@dataclass(frozen=True)
class Report:
    """The result of an analysis.

    sample_rate, duration_s (seconds), silences_removed_s (seconds of silence
    the chapters leave out), chapters (in order), and json: the library's text
    unchanged. The members below are None unless an option asked for them:
    threshold_db and threshold_track (auto_threshold; the track only when the
    threshold varies over time), pauses (report_pauses), levels
    (report_levels), chapter_count (chapter_count), min_silence_s_used and
    pause_scale (auto: the pause length that ended chapters and how it was
    found: "break", "longest_only", "no_pause" or "given"), speech
    (report_speech).
    """
    sample_rate: int
    duration_s: float
    silences_removed_s: float
    chapters: Tuple[Chapter, ...]
    json: str = field(repr=False)  # the library's text, unchanged
    threshold_db: Optional[float] = None
    threshold_track: Optional[Tuple[ThresholdPoint, ...]] = None
    pauses: Optional[Tuple[Pause, ...]] = None
    levels: Optional[Levels] = None
    chapter_count: Optional[ChapterCount] = None
    min_silence_s_used: Optional[float] = None
    pause_scale: Optional[str] = None
    speech: Optional[Speech] = None

    @classmethod
    def from_json(cls, text: str) -> "Report":
        """A Report of a report text as the library writes it."""
        data = _json.loads(text)
        chapters = tuple(Chapter(index=c["i"], t0=c["t0"], t1=c["t1"], dur=c["dur"],
                                 peak_db=c["peak_db"], title=c.get("title"), hint=c.get("hint"),
                                 shift=c.get("shift"), snap=c.get("snap"))
                         for c in data["chapters"])
        track = data.get("threshold_track")
        pauses = data.get("pauses")
        levels = data.get("levels")
        count = data.get("chapter_count")
        speech = data.get("speech")
        return cls(
            sample_rate=data["sample_rate"], duration_s=data["duration_s"],
            silences_removed_s=data["silences_removed_s"], chapters=chapters, json=text,
            threshold_db=data.get("threshold_db"),
            threshold_track=None if track is None else tuple(
                ThresholdPoint(t=p["t"], db=p["db"]) for p in track),
            pauses=None if pauses is None else tuple(
                Pause(t0=p["t0"], t1=p["t1"], dur=p["dur"], level_db=p["level_db"],
                      score=p["score"], rank=p["rank"], speech_p=p.get("speech_p"))
                for p in pauses),
            levels=None if levels is None else Levels(hop_s=levels["hop_s"],
                                                      db=tuple(levels["db"])),
            chapter_count=None if count is None else ChapterCount(
                requested=count["requested"], found=count["found"]),
            min_silence_s_used=data.get("min_silence_s_used"),
            pause_scale=data.get("pause_scale"),
            speech=None if speech is None else Speech(hop_s=speech["hop_s"],
                                                      p=tuple(speech["p"])))


def _take_text(lib: ctypes.CDLL, ptr: Optional[int]) -> str:
    """Copies a report out of the library's memory and frees it."""
    if not ptr:
        raise Error(_last_error(lib))
    try:
        return ctypes.string_at(ptr).decode("utf-8")
    finally:
        lib.silsplit_free_string(ptr)


def _take_report(lib: ctypes.CDLL, ptr: Optional[int]) -> Report:
    return Report.from_json(_take_text(lib, ptr))


# ---------------------------------------------------------------------------
# Arguments
# ---------------------------------------------------------------------------

def _seconds(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number of seconds, not %s" % (what, type(value).__name__))
    if not math.isfinite(value):
        raise ValueError("%s must be a finite number, not %r" % (what, float(value)))
    return float(value)


def _title(value: object, what: str) -> Optional[str]:
    if value is not None and not isinstance(value, str):
        raise TypeError("%s must be a str or None, not %s" % (what, type(value).__name__))
    return value


def _list_arg(key: str, value: object) -> List[object]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError("%s must be a list, not %s" % (key, type(value).__name__))
    return list(value)


def _list_entry(key: str, i: int, entry: object) -> object:
    """One entry of chapters= or hints= as the options text holds it: a
    number (a start), a (start, title) pair, a dict with the text's members,
    or a Chapter of a report."""
    what = "%s[%d]" % (key, i)
    start = "t0" if key == "chapters" else "t"
    if isinstance(entry, Chapter):
        out: Dict[str, object] = {start: entry.t0}
        if key == "chapters":
            out["t1"] = entry.t1
        if entry.title is not None:
            out["title"] = entry.title
        return out
    if isinstance(entry, Mapping):
        return dict(entry)
    if isinstance(entry, tuple):
        if len(entry) != 2:
            raise TypeError("%s must be a (start, title) pair" % what)
        out = {start: _seconds(entry[0], what)}
        if entry[1] is not None:
            out["title"] = _title(entry[1], what + " title")
        return out
    t = _seconds(entry, what)
    return {"t0": t} if key == "chapters" else t


def _options_text(func: str, options: Mapping[str, object],
                  sample_rate: Optional[int] = None) -> Optional[bytes]:
    for key in options:
        if key not in OPTION_NAMES and key not in LIST_OPTIONS:
            raise TypeError("%s() got an unexpected keyword argument %r (options: %s)"
                            % (func, key, ", ".join(OPTION_NAMES + LIST_OPTIONS)))
    obj: Dict[str, object] = {}
    for key in OPTION_NAMES:
        value = options.get(key)
        if value is None:
            continue  # the library's default
        if key in FLAG_OPTIONS:
            if not isinstance(value, bool):
                raise TypeError("%s must be True or False, not %s"
                                % (key, type(value).__name__))
            obj[key] = value
        elif key in COUNT_OPTIONS:
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise TypeError("%s must be a whole number, not %s"
                                % (key, type(value).__name__))
            count = int(value)
            if not 1 <= count <= MAX_CHAPTERS:
                raise ValueError("%s must be a whole number from 1 to %d, not %d"
                                 % (key, MAX_CHAPTERS, count))
            obj[key] = count
        else:
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError("%s must be a number, not %s" % (key, type(value).__name__))
            number = float(value)
            if not math.isfinite(number):
                raise ValueError("%s must be a finite number, not %r" % (key, number))
            obj[key] = number
    for key in LIST_OPTIONS:
        value = options.get(key)
        if value is None:
            continue
        if key == "hint_window_s":
            obj[key] = _seconds(value, key)
        elif key == "titles":
            obj[key] = [_title(t, "titles[%d]" % i) for i, t in enumerate(_list_arg(key, value))]
        else:
            obj[key] = [_list_entry(key, i, e) for i, e in enumerate(_list_arg(key, value))]
    if sample_rate is not None:
        obj["sample_rate"] = sample_rate
    return _json.dumps(obj).encode("ascii") if obj else None


def _path_arg(path: PathArg, what: str = "path") -> bytes:
    raw = os.fsencode(path)
    if b"\0" in raw:
        raise ValueError("embedded null byte in %s" % what)
    return raw


def _rate_arg(sample_rate: object) -> int:
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, numbers.Real) \
            or sample_rate != int(sample_rate) or not 0 < float(sample_rate) <= _INT_MAX:
        raise ValueError("sample_rate must be a positive whole number of Hz, not %r"
                         % (sample_rate,))
    return int(sample_rate)


# A pointer argument for c_void_p (an address, bytes or a ctypes array), the
# sample count, and the object that must stay alive during the call.
_Pcm = Tuple[Any, int, object]

_RAW_BYTE_FORMATS = ("B", "b", "c")
_NATIVE = "<" if sys.byteorder == "little" else ">"
_FLOAT32_FORMATS = ("f", "=f", "@f", _NATIVE + "f")
_FLOAT64_FORMATS = ("d", "=d", "@d", _NATIVE + "d")

_NUMPY_ACCEPTED = ("a numpy array of float32, float64, int16 or int32 samples, one-dimensional "
                   "(frames) or two-dimensional (frames x channels)")
# (dtype kind, item size) -> the full scale of an integer sample, or None for
# floats (full scale 1.0).
_NUMPY_KINDS = {("f", 4): None, ("f", 8): None, ("i", 2): 32768.0, ("i", 4): 2147483648.0}


def _pcm_arg(samples: Any) -> _Pcm:
    """(pointer argument, sample count, object to keep alive during the call).

    float32 buffers are passed without a copy: C-contiguous numpy arrays,
    array('f'), bytearray and writable memoryviews, and bytes (or a
    memoryview of all of a bytes object). Other read-only buffers are copied
    once; float64 buffers and plain sequences are converted to float32.
    """
    np = sys.modules.get("numpy")  # never imported here: only used if the caller has it
    if np is not None and isinstance(samples, np.ndarray):
        return _numpy_arg(np, samples)

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
                    "buffer of format %r (integer PCM: pass a numpy int16 or int32 array, or "
                    "divide by its full scale first)" % view.format)


def _numpy_channel(np: Any, column: Any) -> Any:
    """The float values of one channel, as the WAV reader decodes them:
    float32 as they are, float64 kept in double, an integer sample converted
    to float32 and then scaled by 2^-15 or 2^-31 (both exact)."""
    scale = _NUMPY_KINDS[(column.dtype.kind, column.dtype.itemsize)]
    if scale is None:
        return column
    return column.astype(np.float32) * np.float32(1.0 / scale)


def _numpy_arg(np: Any, arr: Any) -> _Pcm:
    if (arr.dtype.kind, arr.dtype.itemsize) not in _NUMPY_KINDS or arr.ndim not in (1, 2):
        raise TypeError("samples must be %s, got a %d-dimensional array of %s"
                        % (_NUMPY_ACCEPTED, arr.ndim, arr.dtype))
    if arr.ndim == 2 and arr.shape[1] == 0:
        raise ValueError("a two-dimensional array of samples needs at least one channel, got "
                         "shape %r" % (arr.shape,))
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim == 1:
        mono = _numpy_channel(np, arr)
    else:
        # The mean of the channels as the reader takes it: each channel's
        # values added in double in channel order to a sum that starts at +0
        # (so a frame of -0 gives +0), divided by the count, and rounded to
        # float32 once.
        mono = np.zeros(arr.shape[0], dtype=np.float64)
        for c in range(arr.shape[1]):
            mono += _numpy_channel(np, arr[:, c])
        mono /= arr.shape[1]
    # The same array when it already is aligned, contiguous native float32.
    mono = np.require(mono, np.float32, ["C_CONTIGUOUS", "ALIGNED"])
    return _checked(mono.ctypes.data if mono.size else None, int(mono.size), mono)


def _from_view(view: memoryview) -> _Pcm:
    n = len(view)
    if n == 0:
        return None, 0, view
    if view.readonly:
        return _checked((ctypes.c_float * n).from_buffer_copy(view), n, view)
    # Shares the memory; the buffer cannot be resized while it is exported.
    return _checked((ctypes.c_float * n).from_buffer(view), n, view)


def _checked(pointer: Any, n: int, keep: object) -> _Pcm:
    if n > _INT_MAX:
        raise ValueError("at most %d samples per call, got %d" % (_INT_MAX, n))
    return pointer, n, keep


# ---------------------------------------------------------------------------
# Public functions
# ---------------------------------------------------------------------------

_OPTIONS_DOC = """
    Options (keyword arguments; None or absent keeps the library's default):
      threshold_db=-40.0   frames below this level (dBFS) are silent
      min_silence_s=0.8    shortest silence that ends a chapter, seconds
      min_chapter_s=5.0    shorter chapters are dropped, seconds
      padding_s=0.25       seconds added before and after each chapter
      max_chapter_s=0.0    longer chapters are cut; 0 means no maximum
      auto=False           find the chapters of the recording: threshold, pause length
                           (Report.min_silence_s_used, Report.pause_scale) and
                           keep_all from it, clicks inside pauses ignored; the
                           options given explicitly override its choices
      auto_threshold=False the threshold comes from the recording's own levels
                           (Report.threshold_db, Report.threshold_track)
      cut_at_pause=False   with max_chapter_s: cut long chapters at their best pause
      chapter_count=N      exactly N chapters, at the N-1 strongest pauses
                           (Report.chapter_count)
      keep_all=False       chapters cover the whole recording, nothing dropped
      speech=False         pauses are the stretches without speech, whatever their
                           level (music, applause or hum between the talk)
      report_pauses=False  the report lists the candidate pauses (Report.pauses)
      report_levels=False  the report carries the level curve (Report.levels)
      report_speech=False  the report carries the speech probabilities (Report.speech)
      chapters=[...]       the chapters as they are, no detection: each a dict
                           {"t0": s, "t1": s, "title": str} (t1 and title optional:
                           it then runs to the next start or the end), a start in
                           seconds, a (start, title) pair or a Chapter of a report
      hints=[...]          approximate chapter starts, each moved onto the best pause
                           within hint_window_s of where it is expected: numbers,
                           (t, title) pairs or dicts {"t": s, "title": str}
                           (Chapter.hint, Chapter.shift, Chapter.snap)
      hint_window_s=30.0   how far a hint may move, seconds
      titles=[...]         names of the chapters in order (Chapter.title)
    Any other keyword is a TypeError, as is a value of the wrong kind.
"""


def version() -> str:
    """The library's version, such as "1.1.0"."""
    return str(_library().silsplit_version().decode("ascii"))


def analyze_pcm(samples: Samples, sample_rate: int = 16000, **options: OptionValue) -> Report:
    """Report of samples at sample_rate Hz.

    samples may be:
      a numpy array: float32 (passed without a copy when C-contiguous),
        float64, int16 (scaled by 1/32768) or int32 (scaled by 1/2^31);
        one-dimensional, or two-dimensional (frames x channels), which is
        mixed to the mean of its channels as the WAV reader does. Any other
        array is a TypeError.
      array('f') / array('d'), bytes, bytearray or memoryview of native
        float32 samples, or any iterable of numbers: one channel at full
        scale 1.0.
    """
    opts = _options_text("analyze_pcm", options, _rate_arg(sample_rate))
    pointer, n, keep = _pcm_arg(samples)
    lib = _library()
    ptr = lib.silsplit_analyze_pcm(pointer, n, opts)
    del keep  # the buffer stays exported until here
    return _take_report(lib, ptr)


def analyze(path: PathArg, *, progress: Optional[ProgressFn] = None,
            **options: OptionValue) -> Report:
    """Report of a WAV file (8/16/24/32-bit integer or float, any channel
    count, any rate), or of any other format (MP3, FLAC, M4B, Opus, ...)
    when the engine library and its media module are there (see
    analyze_file).

    progress(percent, stage) is called on this thread as the work goes on
    (stages "read", "resample", "detect", "done"); a true return value or an
    exception cancels the analysis. A cancel by return raises Error
    ("cancelled"); an exception is raised again once the library has returned.
    Every failure of the library is an Error with its message.
    """
    try:
        return _analyze_wav(path, progress, options)
    except Error as exc:
        if str(exc) == "cancelled":
            raise
        # A WAV file keeps the library's answer; another container (MP3,
        # FLAC, M4B, ...) goes to the media module when it is there.
        if _riff_wave(path):
            raise
        from . import _engine  # the engine library, loaded only for such files
        if _engine.reads_through_media(path) is not True:
            raise
        refused = exc
    try:
        return _engine._analyze_file(path, progress, None, options)
    except Error as media_exc:
        # A file that neither reader takes keeps the library's own message
        # ("not a RIFF/WAVE file", "unsupported bit depth", ...).
        if media_exc.code == _engine.ErrorCode.CANCELLED:
            raise
        raise refused from None


def _riff_wave(path: PathArg) -> bool:
    """Whether path starts as a RIFF/WAVE file does (or cannot be read)."""
    try:
        with open(path, "rb") as f:
            head = f.read(12)
    except (OSError, ValueError):
        return True
    return len(head) < 12 or (head[:4] == b"RIFF" and head[8:12] == b"WAVE")


def _analyze_wav(path: PathArg, progress: Optional[ProgressFn],
                 options: Mapping[str, OptionValue]) -> Report:
    opts = _options_text("analyze", options)
    raw_path = _path_arg(path)
    lib = _library()
    if progress is None:
        return _take_report(lib, lib.silsplit_analyze(raw_path, opts))

    raised: List[BaseException] = []
    report_progress = progress

    def relay(percent: int, stage: Optional[bytes], _user: Optional[int]) -> int:
        # Nothing may propagate into C: every outcome becomes 0 or 1.
        try:
            return 1 if report_progress(percent, stage.decode("ascii", "replace") if stage else "") \
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


# The names a split writes: chapter files and the report.
_SPLIT_NAME = re.compile(rb"\Ach_[0-9]{3,}\.wav\Z|\Achapters\.json\Z")


def _earlier_split(out_dir: bytes) -> List[bytes]:
    """The names of an earlier split's files in out_dir (none when it does
    not exist)."""
    try:
        names = os.listdir(out_dir)
    except OSError:  # missing, not a folder, unreadable: the library says why
        return []
    return sorted(n for n in names if _SPLIT_NAME.match(n))


def split(path: PathArg, out_dir: PathArg, *, overwrite: bool = False,
          **options: OptionValue) -> int:
    """Writes out_dir/ch_001.wav, ... (16-bit mono at the file's rate) and
    out_dir/chapters.json (the report); returns the number of chapters
    written. out_dir is created if its parent exists.

    A folder that holds an earlier split's files (ch_NNN.wav, chapters.json)
    is refused, so that no stale chapter stays beside the new ones; with
    overwrite=True those files (and only those) are replaced once the new
    split is complete: it is written into a folder of its own inside
    out_dir first, so a split that fails or is interrupted leaves the
    earlier one whole."""
    opts = _options_text("split", options)
    if not isinstance(overwrite, bool):
        raise TypeError("overwrite must be True or False, not %s" % type(overwrite).__name__)
    raw_path = _path_arg(path)
    raw_dir = _path_arg(out_dir, "out_dir")
    earlier = _earlier_split(raw_dir)
    if earlier and not overwrite:
        raise Error("%s holds an earlier split (%s); pass overwrite=True to replace it, "
                    "or choose another folder" % (os.fsdecode(raw_dir), os.fsdecode(earlier[0])))
    if earlier:
        # The recording itself is never removed, whatever name it has there.
        for name in earlier:
            if os.path.exists(raw_path) and os.path.samefile(raw_path, os.path.join(raw_dir, name)):
                raise Error("%s is the same file as %s; choose another folder"
                            % (os.fsdecode(raw_path), os.fsdecode(os.path.join(raw_dir, name))))
        return _replace_split(raw_path, opts, raw_dir, earlier)
    lib = _library()
    count = int(lib.silsplit_write_chapters(raw_path, opts, raw_dir))
    if count < 0:
        raise Error(_last_error(lib))
    return count


def _replace_split(raw_path: bytes, opts: Optional[bytes], raw_dir: bytes,
                   earlier: List[bytes]) -> int:
    """Writes the split into a new folder inside raw_dir, then puts its files
    in place of the earlier split's (chapters.json last); the earlier split
    stays whole until the new one is complete."""
    lib = _library()
    stage = tempfile.mkdtemp(prefix=b".split-", dir=raw_dir)
    try:
        count = int(lib.silsplit_write_chapters(raw_path, opts, stage))
        if count < 0:
            raise Error(_last_error(lib))
        written = sorted(os.listdir(stage), key=lambda n: n == b"chapters.json")
        for name in earlier:
            if name not in written:
                os.unlink(os.path.join(raw_dir, name))
        for name in written:
            os.replace(os.path.join(stage, name), os.path.join(raw_dir, name))
        return count
    finally:
        shutil.rmtree(stage, ignore_errors=True)


for _f in (analyze_pcm, analyze, split):
    _f.__doc__ = (_f.__doc__ or "") + _OPTIONS_DOC
del _f
