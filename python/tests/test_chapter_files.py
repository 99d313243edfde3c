"""silsplit.read_chapters on the table of chapter list files that the
command-line program's reader is checked on too (tests/chapter_files)."""

import json
import os
import subprocess
import sys

import pytest

import silsplit

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = os.path.join(HERE, "..", "..", "tests", "chapter_files")
CASES = json.load(open(os.path.join(FILES, "cases.json"), encoding="utf-8"))["cases"]


@pytest.mark.parametrize("case", CASES, ids=[c.get("file") or c["name"] for c in CASES])
def test_file_reads_as_the_table_says(case):
    # A file of the folder, or the text of a case given in the table (UTF-8),
    # read under its name.
    if "text" in case:
        path, data = case["name"], case["text"].encode("utf-8", "surrogatepass")

        def read():
            return silsplit.chapter_files.parse_chapters(data, path)[1]
    else:
        path = os.path.join(FILES, case["file"])
        with open(path, "rb") as f:
            data = f.read()

        def read():
            return silsplit.read_chapters(path)
    if "error" in case:
        with pytest.raises(silsplit.ChapterFileError) as info:
            read()
        where = "%s: " % path if case["line"] is None else "%s:%d: " % (path, case["line"])
        assert str(info.value) == where + case["error"]
        assert info.value.line == case["line"]
        return
    fmt, got = silsplit.chapter_files.parse_chapters(data, path)
    assert fmt == case["format"]
    assert got == read()
    want = case["chapters"]
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert sorted(g) == sorted(w)
        for key in ("t0", "t1"):
            if key in w:
                assert g[key] == pytest.approx(w[key], abs=1e-9)
        assert g.get("title") == w.get("title")


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        silsplit.read_chapters(tmp_path / "missing.cue")


def test_files_past_sixteen_mib_are_refused_early(tmp_path):
    with pytest.raises(silsplit.ChapterFileError) as info:
        silsplit.read_chapters("/dev/zero")
    assert str(info.value) == ("/dev/zero: longer than 16 MiB, the most a chapter list may hold: "
                               "is it the right file?")
    many = tmp_path / "many.txt"
    many.write_text("".join("%d\n" % k for k in range(10001)))
    with pytest.raises(silsplit.ChapterFileError, match="holds 10001 chapters; a list may hold at most 10000"):
        silsplit.read_chapters(many)


def test_reader_needs_nothing_but_the_standard_library():
    # The module alone, without the package (and so without its library).
    code = ("import importlib.util, sys\n"
            "spec = importlib.util.spec_from_file_location('cf', sys.argv[1])\n"
            "m = importlib.util.module_from_spec(spec); spec.loader.exec_module(m)\n"
            "print(m.read_chapters(sys.argv[2]))\n")
    module = os.path.join(HERE, "..", "silsplit", "chapter_files.py")
    out = subprocess.run([sys.executable, "-I", "-c", code, module,
                          os.path.join(FILES, "sheet.cue")],
                         check=True, capture_output=True, text=True).stdout
    assert "'title': 'Opening'" in out
