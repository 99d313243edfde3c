"""Find the silences in a recording and divide it into chapters.

A thin ctypes layer over libkestrova-audio-silence-splitter:

    import silsplit
    report = silsplit.analyze("talk.wav", min_silence_s=1.0)
    for ch in report.chapters:
        print(ch.index, ch.t0, ch.t1)

analyze() reads a WAV file, analyze_pcm() takes samples (numpy arrays
included), split() writes the chapters as files; silsplit.batch.analyze_many()
analyses many files on a thread pool or a Dask cluster. Session takes frames
as they arrive, and analyze() and analyze_file() any format the media module
reads, through the engine library (libsilsplit-engine). read_chapters() reads
chapter lists (chapters.json, CUE sheets, ffmetadata, label tracks, plain
lists of starts) in pure Python.
"""

from ._core import (Chapter, ChapterCount, Error, Levels, OPTION_NAMES, OptionValue, PathArg,
                    Pause, ProgressFn, Report, Samples, Speech, ThresholdPoint, analyze,
                    analyze_pcm, library_path, split, version)
from ._engine import (ErrorCode, Option, Session, SessionChapter, analyze_file,
                      engine_library_path, options)
from . import chapter_files
from .chapter_files import ChapterFileError, read_chapters

__all__ = ["Chapter", "ChapterCount", "Error", "Levels", "OPTION_NAMES", "OptionValue", "PathArg",
           "Pause", "ProgressFn", "Report", "Samples", "Speech", "ThresholdPoint", "analyze",
           "analyze_pcm", "library_path", "split", "version", "ChapterFileError",
           "read_chapters", "ErrorCode", "Option", "Session", "SessionChapter", "analyze_file",
           "engine_library_path", "options"]
__version__ = "1.1.0"
