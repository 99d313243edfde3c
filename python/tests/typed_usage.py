"""Calls as a user's code makes them, type-checked with mypy --strict
together with the package (never run by pytest)."""

from array import array
from pathlib import Path
from typing import List, Optional

import numpy as np
from distributed import Client

import silsplit
from silsplit.batch import analyze_many


def chapter_starts(path: Path) -> List[float]:
    report = silsplit.analyze(path, min_silence_s=1.0, keep_all=True, chapter_count=3,
                              progress=lambda percent, stage: percent > 90)
    return [c.t0 for c in report.chapters]


def loudest_pause(samples: "np.ndarray[int, np.dtype[np.int16]]") -> Optional[float]:
    report = silsplit.analyze_pcm(samples, 48000, report_pauses=True, threshold_db=None)
    if report.pauses is None:
        return None
    return min(report.pauses, key=lambda p: p.rank).t0


def levels(samples: "array[float]") -> List[float]:
    report = silsplit.analyze_pcm(samples, report_levels=True, auto_threshold=True)
    threshold = report.threshold_db if report.threshold_db is not None else -40.0
    return [db - threshold for db in report.levels.db] if report.levels else []


def cut(path: str, out_dir: bytes) -> int:
    try:
        return silsplit.split(path, out_dir, max_chapter_s=600, cut_at_pause=True)
    except silsplit.Error as exc:
        print(exc)
        return 0


def failures(paths: List[str], client: Optional[Client]) -> List[str]:
    out = []
    with open("index.jsonl", "w") as index:
        for path, result in analyze_many(paths, client, index=index, report_levels=True):
            if isinstance(result, silsplit.Error):
                out.append("%s: %s" % (path, result))
    return out
