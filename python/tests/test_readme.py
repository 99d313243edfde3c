"""The README's Dask script, run as a user runs it: copied from the README
into a file of its own and started with this interpreter on a LocalCluster."""

import json
import os
import re
import subprocess
import sys

import pytest

import silsplit

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
TALK = os.path.normpath(os.path.join(ROOT, "examples", "audio", "talk.wav"))


def readme_script(section, marker):
    """The README's python block in `section` that contains `marker`."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    start = re.compile(r"^##+ %s\n" % re.escape(section), re.M).search(text).start()
    end = re.compile(r"^##+ ", re.M).search(text, start + 1)
    blocks = re.findall(r"```python\n(.*?)```", text[start:end.start() if end else None], re.S)
    found = [b for b in blocks if marker in b]
    assert len(found) == 1, "%d python blocks with %r under %r" % (len(found), marker, section)
    return found[0]


def test_dask_script_analyses_an_archive_on_a_local_cluster(tmp_path):
    pytest.importorskip("distributed")
    script = tmp_path / "archive_chapters.py"
    script.write_text(readme_script("Running over an archive", "LocalCluster"))
    missing = str(tmp_path / "missing.wav")
    (tmp_path / "archive.txt").write_text("%s\n%s\n" % (TALK, missing))

    # The cluster's workers inherit SILSPLIT_LIBRARY and PYTHONPATH. A script
    # that hangs (as it does without its __main__ guard) fails here instead
    # of stopping the suite.
    proc = subprocess.run([sys.executable, str(script), "archive.txt"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)

    assert proc.returncode == 1, proc.stderr   # one file failed
    assert proc.stdout.splitlines() == [
        "%s: 3 chapters" % TALK, "1 failed in this run; every file is listed in index.jsonl"], \
        proc.stderr
    error = re.compile(r"%s: cannot open wav file: No such file or directory \(on worker "
                       r"tcp://127\.0\.0\.1:\d+\)" % re.escape(missing))
    assert any(error.fullmatch(line) for line in proc.stderr.splitlines()), proc.stderr
    index = {}
    for line in (tmp_path / "index.jsonl").read_text().splitlines():
        entry = json.loads(line)
        assert entry.pop("worker").startswith("tcp://127.0.0.1:")
        index[entry.pop("path")] = entry
    expected = json.loads(silsplit.analyze(TALK, min_silence_s=1.0).json)
    assert index == {TALK: {"report": expected},
                     missing: {"error": "cannot open wav file: No such file or directory"}}

    # Run again, it resumes: nothing left to do.
    proc = subprocess.run([sys.executable, str(script), "archive.txt"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)
    assert (proc.returncode, proc.stdout) == (
        0, "0 failed in this run; every file is listed in index.jsonl\n"), proc.stderr
    assert len((tmp_path / "index.jsonl").read_text().splitlines()) == 2
