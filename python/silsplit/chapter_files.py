"""Chapter lists from the files people have, in pure Python.

read_chapters(path) reads our own chapters.json (or any report of ours), CUE
sheets, ffmetadata files, label tracks and plain lists of starts, the format
found from the content. It returns what the chapters= and hints= keywords
take:

    chapters = silsplit.read_chapters("book.cue")
    # [{'t0': 0.0, 'title': 'Opening'}, {'t0': 62.2, 'title': 'The Road'}, ...]

These are the rules and messages of the command-line program's --chapters
and --hints; both readers are checked on the same files.
"""

import json as _json
import os
import re
import struct as _struct
from typing import Any, Dict, List, Optional, Tuple, Union

__all__ = ["ChapterFileError", "read_chapters"]

#: One chapter: "t0" (seconds), "t1" (seconds) and "title" when the file
#: gives them.
ChapterEntry = Dict[str, Union[float, str]]

#: The longest list file read (16 MiB, the longest options text the library
#: reads) and the most chapters a list may hold.
MAX_LIST_BYTES = 16 << 20
MAX_CHAPTERS = 10000

_CUE_COMMANDS = ("REM", "FILE", "TRACK", "TITLE", "PERFORMER", "CATALOG", "INDEX", "FLAGS",
                 "ISRC", "PREGAP", "POSTGAP", "SONGWRITER", "CDTEXTFILE")
_DECIMAL = re.compile(r"[0-9]{1,9}(\.[0-9]+)?\Z")
_WHOLE = re.compile(r"[0-9]{1,18}\Z")
_DIGITS = re.compile(r"[0-9]+\Z")


class ChapterFileError(ValueError):
    """A chapter list that cannot be read. The text is "PATH:LINE: reason"
    ("PATH: chapters[K]: reason" for an entry of a JSON list); path and line
    (None when there is no line) are kept as attributes."""

    def __init__(self, path: str, line: Optional[int], message: str) -> None:
        where = "%s:%d: " % (path, line) if line else "%s: " % path
        super().__init__(where + message)
        self.path = path
        self.line = line


class _Fail(Exception):
    def __init__(self, line: Optional[int], message: str) -> None:
        super().__init__(message)
        self.line = line
        self.message = message


class _Mark:
    def __init__(self, t0: float, line: Optional[int] = None, index: int = 0) -> None:
        self.t0 = t0
        self.t1: Optional[float] = None
        self.title: Optional[str] = None
        self.line = line
        self.index = index

    def set_title(self, title: str) -> None:
        if title:
            self.title = title


_ASCII_UPPER = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")


def _upper(s: str) -> str:
    """ASCII letters in upper case, and only those: the commands and keys are
    ASCII, and "t\u0131tle" (a dotless i) is not TITLE."""
    return s.translate(_ASCII_UPPER)


def _trim(s: str) -> str:
    return s.strip(" \t")


def _decode(raw: bytes) -> str:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:  # CUE sheets of older rippers are often Latin-1
        text = raw.decode("latin-1")
    return text[1:] if text.startswith("\ufeff") else text


_LINE_END = re.compile(r"\r\n|\r|\n")


def _lines(text: str) -> List[str]:
    """The lines, split at each line end: CR LF, LF or a lone CR."""
    return _LINE_END.split(text)


def _ends(text: str) -> List[str]:
    """Each line's end ("" for the last)."""
    return _LINE_END.findall(text) + [""]


def _is_content(line: str) -> bool:
    t = _trim(line)
    return bool(t) and not t.startswith("#")


def _first_word(line: str) -> Tuple[str, str]:
    t = _trim(line)
    m = re.search(r"[ \t]", t)
    if not m:
        return t, ""
    return t[:m.start()], _trim(t[m.start():])


def _decimal(s: str) -> Optional[float]:
    return float(s) if _DECIMAL.match(s) else None


def _clock(s: str) -> Optional[float]:
    parts = s.split(":")
    if len(parts) > 3:
        return None
    seconds = _decimal(parts[-1])
    if seconds is None:
        return None
    if len(parts) == 1:
        return seconds
    if len(parts[-1].split(".")[0]) != 2 or seconds >= 60:
        return None
    minutes_text = parts[-2]
    if not _WHOLE.match(minutes_text) or len(minutes_text) > 9:
        return None
    minutes = int(minutes_text)
    hours = 0
    if len(parts) == 3:
        if len(parts[1]) != 2 or minutes >= 60 or not _WHOLE.match(parts[0]) or len(parts[0]) > 9:
            return None
        hours = int(parts[0])
    return float(hours * 3600 + minutes * 60) + seconds


def _label_time(s: str) -> Optional[float]:
    return _decimal(_trim(s.replace(",", ".")))


def _looks_like_labels(line: str) -> bool:
    f = line.split("\t")
    return len(f) >= 2 and _label_time(f[0]) is not None and _label_time(f[1]) is not None


def _read_labels(lines: List[str]) -> List[_Mark]:
    marks = []
    for no, line in enumerate(lines, 1):
        if not _is_content(line) or line.startswith("\\"):
            continue
        f = line.split("\t")
        if len(f) < 2:
            raise _Fail(no, "not START<TAB>END<TAB>LABEL")
        t0, t1 = _label_time(f[0]), _label_time(f[1])
        if t0 is None:
            raise _Fail(no, "not a time in seconds: '%s'" % _trim(f[0]))
        if t1 is None:
            raise _Fail(no, "not a time in seconds: '%s'" % _trim(f[1]))
        m = _Mark(t0, no)
        if t1 != t0:  # a point label marks a start only
            m.t1 = t1
        m.set_title(_trim("\t".join(f[2:])))
        marks.append(m)
    return marks


def _bracketed_start(line: str) -> Optional[Tuple[str, str]]:
    """A start in brackets, as many listings write it: "[00:03:12] Two". The
    start and the rest of the line, or None."""
    t = _trim(line)
    close = t.find("]")
    if not t.startswith("[") or close < 0 or _clock(t[1:close]) is None:
        return None
    return t[1:close], _trim(t[close + 1:])


def _read_plain(lines: List[str]) -> List[_Mark]:
    marks = []
    for no, line in enumerate(lines, 1):
        if not _is_content(line):
            continue
        word, rest = _bracketed_start(line) or _first_word(line)
        t0 = _clock(word)
        if t0 is None:
            raise _Fail(no, "not a start (seconds, M:SS, H:MM:SS or H:MM:SS.mmm): '%s'" % word)
        m = _Mark(t0, no)
        for dash in ("-", "\u2013", "\u2014"):  # "0:00 - Title" as listings write it
            if rest.startswith(dash) and (len(rest) == 1 or rest[1] in " \t"):
                rest = _trim(rest[1:])
                break
        m.set_title(rest)
        marks.append(m)
    return marks


def _cue_time(s: str) -> Optional[float]:
    parts = s.split(":")
    if len(parts) != 3:
        return None
    mm, ss, ff = parts
    if (not _WHOLE.match(mm) or len(mm) > 9 or len(ss) != 2 or not _WHOLE.match(ss)
            or len(ff) != 2 or not _WHOLE.match(ff) or int(ss) >= 60 or int(ff) >= 75):
        return None
    return float(int(mm) * 60 + int(ss)) + float(int(ff)) / 75.0


def _cue_text(rest: str) -> str:
    if not rest.startswith('"'):
        return rest
    end = rest.find('"', 1)
    return rest[1:] if end < 0 else rest[1:end]


def _read_cue(lines: List[str]) -> List[_Mark]:
    marks: List[_Mark] = []
    files = 0
    track_line = 0
    mark: Optional[_Mark] = None  # the TRACK's chapter, once it has INDEX 01
    title = ""

    def close_track() -> None:
        if not track_line:
            return
        if mark is None:
            raise _Fail(track_line, "TRACK without INDEX 01")
        mark.set_title(title)
        marks.append(mark)

    for no, line in enumerate(lines, 1):
        if not _trim(line):
            continue
        word, rest = _first_word(line)
        command = _upper(word)
        if command == "FILE":
            files += 1
            if files > 1:
                raise _Fail(no, "a second FILE: a chapter list is for one recording")
        elif command == "TRACK":
            close_track()
            track_line, mark, title = no, None, ""
        elif command == "TITLE":
            if track_line and _cue_text(rest):
                title = _cue_text(rest)
        elif command == "INDEX":
            number, time = _first_word(rest)
            if not _DIGITS.match(number) or not time or re.search(r"[ \t]", time):
                raise _Fail(no, "not INDEX NN mm:ss:ff")
            t0 = _cue_time(time)
            if t0 is None:
                raise _Fail(no, "not a CUE time mm:ss:ff: '%s'" % time)
            if not track_line:
                raise _Fail(no, "INDEX outside a TRACK")
            if int(number) == 1:
                if mark is not None:
                    raise _Fail(no, "a second INDEX 01 in one TRACK")
                mark = _Mark(t0, no)
        elif command not in _CUE_COMMANDS:
            raise _Fail(no, "not a CUE command: '%s'" % word)
    close_track()
    return marks


def _unescape(s: str) -> str:
    return re.sub(r"\\(.)", r"\1", s, flags=re.DOTALL)


def _ends_in_escape(s: str) -> bool:
    return (len(s) - len(s.rstrip("\\"))) % 2 == 1


def _read_ffmetadata(lines: List[str], ends: List[str]) -> List[_Mark]:
    marks: List[_Mark] = []
    state: Dict[str, Any] = {"in": False}

    def new_section(line_no: int, is_chapter: bool) -> None:
        state.clear()
        state.update({"in": is_chapter, "line": line_no, "num": 1, "den": 1000000000,
                      "start": None, "end": None, "title": None})

    def close_chapter() -> None:
        if not state["in"]:
            return
        if state["start"] is None:
            raise _Fail(state["line"], "[CHAPTER] without START")
        num, den = float(state["num"]), float(state["den"])
        m = _Mark(float(state["start"]) * num / den, state["line"])
        if state["end"] is not None:
            m.t1 = float(state["end"]) * num / den
        if state["title"] is not None:
            m.set_title(state["title"])
        marks.append(m)

    k = 1  # line 1 is ;FFMETADATA1
    while k < len(lines):
        no = k + 1
        line = lines[k]
        while _ends_in_escape(line) and k + 1 < len(lines):  # a value may run on
            line = line[:-1] + ("\r" if ends[k] == "\r" else "\n") + lines[k + 1]
            k += 1
        k += 1
        if not line or line[0] in ";#" or not _trim(line):
            continue
        if line.startswith("["):
            close_chapter()
            new_section(no, _trim(line) == "[CHAPTER]")
            continue
        m = re.match(r"((?:\\.|[^\\=])*)=", line, flags=re.DOTALL)
        if not m:
            raise _Fail(no, "not KEY=VALUE")
        if not state["in"]:
            continue
        key, value = _unescape(m.group(1)), _unescape(line[m.end():])
        if key == "TIMEBASE":
            num, _, den = value.partition("/")
            if (not _ or not _WHOLE.match(num) or not _WHOLE.match(den) or int(num) == 0
                    or int(den) == 0):
                raise _Fail(no, "not a TIMEBASE 1/N: '%s'" % value)
            state["num"], state["den"] = int(num), int(den)
        elif key in ("START", "END"):
            if not _WHOLE.match(value):
                raise _Fail(no, "not a whole number: '%s'" % value)
            state[key.lower()] = int(value)
        elif _upper(key) == "TITLE":
            state["title"] = value
    close_chapter()
    return marks


def _json_number(v: Any) -> Tuple[int, float]:
    """(1, value) for a finite number, (0, 0) for one that is not (1e400),
    (-1, 0) for no number."""
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        return -1, 0.0
    try:
        f = float(v)
    except OverflowError:  # an integer past any double
        return 0, 0.0
    return (1, f) if f == f and f not in (float("inf"), float("-inf")) else (0, 0.0)


class _Constant(ValueError):
    pass


def _refuse_constant(name: str) -> Any:
    raise _Constant(name)


#: The deepest nesting of arrays and objects read; a deeper text is refused
#: before it is parsed, at the line where it passes the limit.
MAX_JSON_DEPTH = 64
_HEX4 = re.compile(r"[0-9A-Fa-f]{4}")


def _json_scan(text: str) -> Tuple[Optional[int], Optional[int], Optional[int]]:
    """The lines (or None) where the text nests deeper than MAX_JSON_DEPTH,
    where a string first holds a lone surrogate escape (which the JSON
    reader takes and the program's refuses, as not Unicode text), and where
    NaN or Infinity first stands outside a string."""
    depth, line, i, n = 0, 1, 0, len(text)
    deep = lone = constant = None
    in_string = False
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
        if in_string:
            if c == "\\":
                if text.startswith("u", i + 1) and _HEX4.match(text, i + 2):
                    u = int(text[i + 2:i + 6], 16)
                    if 0xD800 <= u <= 0xDBFF:
                        low = text.startswith("\\u", i + 6) and _HEX4.match(text, i + 8)
                        if low and 0xDC00 <= int(text[i + 8:i + 12], 16) <= 0xDFFF:
                            i += 12
                            continue
                        lone = lone or line
                    elif 0xDC00 <= u <= 0xDFFF:
                        lone = lone or line
                    i += 6
                    continue
                i += 2
                continue
            if c == '"':
                in_string = False
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            if depth > MAX_JSON_DEPTH and deep is None:
                deep = line
                break
        elif c in "]}":
            depth -= 1
        elif c in "NI-" and constant is None and (text.startswith("NaN", i) or text.startswith(
                "Infinity", i) or text.startswith("-Infinity", i)):
            constant = line
        i += 1
    return deep, lone, constant


def _read_json(text: str) -> List[_Mark]:
    deep, lone, constant = _json_scan(text)
    if deep is not None:
        raise _Fail(deep, "nested deeper than %d levels" % MAX_JSON_DEPTH)
    twice: List[str] = []

    def pairs(items: List[Tuple[str, Any]]) -> Dict[str, Any]:
        keys = [k for k, _ in items]
        if not twice:
            seen = set()
            for k in keys:
                if k in seen:
                    twice.append(k)
                    break
                seen.add(k)
        return dict(items)

    def first(*lines: Optional[int]) -> Optional[int]:
        known = [x for x in lines if x is not None]
        return min(known) if known else None

    try:
        root = _json.loads(text, parse_constant=_refuse_constant, object_pairs_hook=pairs)
    except _json.JSONDecodeError as e:
        raise _Fail(first(e.lineno, lone), "not valid JSON")
    except _Constant:
        raise _Fail(first(constant, lone), "not valid JSON")
    if lone is not None:
        raise _Fail(lone, "not valid JSON")
    if twice:
        raise _Fail(None, 'the key "%s" is given twice in one object' % twice[0])
    items = root
    if isinstance(root, dict):
        items = root.get("chapters")
        report = root.get("report")
        if not isinstance(items, list) and isinstance(report, dict):
            items = report.get("chapters")
    if not isinstance(items, list):
        raise _Fail(None, 'no "chapters" list')
    marks = []
    for k, item in enumerate(items):
        where = "chapters[%d]: " % k
        if isinstance(item, dict):
            read, t0 = _json_number(item["t0"] if "t0" in item else item.get("t"))
            if read != 1:
                raise _Fail(None, where + ("t0 is not a finite number" if read == 0 else "t0 must be a number"))
            m = _Mark(t0, None, k)
            if item.get("t1") is not None:
                read, m.t1 = _json_number(item["t1"])
                if read != 1:
                    raise _Fail(None, where + ("t1 is not a finite number" if read == 0 else "t1 must be a number"))
            title = item.get("title")
            if title is not None:
                if not isinstance(title, str):
                    raise _Fail(None, where + "title must be a string")
                m.set_title(title)
        elif isinstance(item, (int, float)) and not isinstance(item, bool):
            read, t0 = _json_number(item)
            if read != 1:
                raise _Fail(None, where + "not a finite number")
            m = _Mark(t0, None, k)
        else:
            raise _Fail(None, where + "not a number or an object")
        marks.append(m)
    return marks


def _f32(x: float) -> float:
    return float(_struct.unpack("<f", _struct.pack("<f", x))[0])


def _held_apart(a: float, b: float, what: str) -> Optional[str]:
    """The analysis holds times in single precision: None when b (after a)
    stays after it there, otherwise the reason, naming the step."""
    if _f32(b) > _f32(a):
        return None
    f = _f32(a)
    bits = _struct.unpack("<I", _struct.pack("<f", f))[0]
    step = float(_struct.unpack("<f", _struct.pack("<I", bits + 1))[0]) - f
    return ("%s at %.10g, %.3g s after %s: times are kept to %.3g s near %.0f s, where the two "
            "are one time; move them further apart"
            % ("ends" if what[0] == "e" else "starts", b, b - a, what[2:], step, a))


def _check_order(marks: List[_Mark]) -> None:
    def fail(m: _Mark, message: str) -> None:
        if m.line:
            raise _Fail(m.line, message)
        raise _Fail(None, "chapters[%d]: %s" % (m.index, message))

    if not marks:
        raise _Fail(None, "holds no chapters")
    if len(marks) > MAX_CHAPTERS:
        raise _Fail(None, "holds %d chapters; a list may hold at most %d" % (len(marks), MAX_CHAPTERS))
    for k, m in enumerate(marks):
        if m.title is not None and "\0" in m.title:
            fail(m, "the title holds a NUL character, which no tag or file name takes")
        if not m.t0 >= 0:
            fail(m, "starts before 0 (%.3f)" % m.t0)
        if m.t1 is not None and not m.t1 > m.t0:
            fail(m, "ends at %.3f, not after its start at %.3f" % (m.t1, m.t0))
        if m.t1 is not None:
            why = _held_apart(m.t0, m.t1, "e its start")
            if why:
                fail(m, why)
        if k == 0:
            continue
        p = marks[k - 1]
        if not m.t0 > p.t0:
            fail(m, "starts at %.3f, not after the chapter before it (%.3f)" % (m.t0, p.t0))
        why = _held_apart(p.t0, m.t0, "s the start of the chapter before it")
        if why:
            fail(m, why)
        if p.t1 is not None and p.t1 > m.t0:
            fail(m, "starts at %.3f, before the chapter before it ends (%.3f)" % (m.t0, p.t1))


def parse_chapters(data: Union[bytes, str], name: str = "<text>") -> Tuple[str, List[ChapterEntry]]:
    """The format ("json", "cue", "ffmetadata", "labels" or "text") and the
    chapters of a chapter list given as bytes or text; name is used in
    messages. Raises ChapterFileError."""
    text = _decode(data) if isinstance(data, bytes) else data.lstrip("\ufeff")
    lines = _lines(text)
    first = next((_trim(line) for line in lines if _is_content(line)), "")
    lead = text.lstrip(" \t\r\n")
    try:
        if lead[:1] in ("{", "[") and _bracketed_start(first) is None:
            fmt, marks = "json", _read_json(text)
        elif _trim(lines[0]).startswith(";FFMETADATA"):
            fmt, marks = "ffmetadata", _read_ffmetadata(lines, _ends(text))
        elif _upper(_first_word(first)[0]) in _CUE_COMMANDS:
            fmt, marks = "cue", _read_cue(lines)
        elif _looks_like_labels(first):
            fmt, marks = "labels", _read_labels(lines)
        else:
            fmt, marks = "text", _read_plain(lines)
        _check_order(marks)
    except _Fail as e:
        raise ChapterFileError(name, e.line, e.message) from None
    out: List[ChapterEntry] = []
    for m in marks:
        entry: ChapterEntry = {"t0": m.t0}
        if m.t1 is not None:
            entry["t1"] = m.t1
        if m.title is not None:
            entry["title"] = m.title
        out.append(entry)
    return fmt, out


def read_chapters(path: Union[str, "os.PathLike[str]"]) -> List[ChapterEntry]:
    """The chapters in a chapter list file: a list of {"t0", "t1", "title"}
    dicts (t1 and title only when the file gives them), ready for the
    chapters= keyword, or for hints= as [c["t0"] for c in ...]. Raises
    ChapterFileError naming the file and line of what cannot be read (also
    for a file longer than 16 MiB), and OSError when the file cannot be
    opened."""
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = f.read(MAX_LIST_BYTES + 1)  # a device or a wrong file must not fill the memory
    if len(data) > MAX_LIST_BYTES:
        raise ChapterFileError(name, None, "longer than 16 MiB, the most a chapter list may "
                                           "hold: is it the right file?")
    return parse_chapters(data, name)[1]
