"""Find the silences in a recording and divide it into chapters.

A thin ctypes layer over libkestrova-audio-silence-splitter:

    import silsplit
    report = silsplit.analyze("talk.wav", min_silence_s=1.0)
    for ch in report.chapters:
        print(ch.index, ch.t0, ch.t1)
"""

from ._core import (Chapter, Error, OPTION_NAMES, Report, analyze, analyze_pcm, library_path,
                    split, version)

__all__ = ["Chapter", "Error", "OPTION_NAMES", "Report", "analyze", "analyze_pcm",
           "library_path", "split", "version"]
__version__ = "1.1.0"
