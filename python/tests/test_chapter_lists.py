"""The chapters=, hints=, hint_window_s= and titles= keywords: the forms each
takes, the options text they become, and the report members they bring."""

import json

import pytest

import silsplit
from silsplit import _core
from conftest import signal

# Sound with pauses of 2 s at 10, 22 and 34 s; 47 s in all.
BOOK = [(1.0, 0.0), (9.0, 0.5), (2.0, 0.0), (10.0, 0.5), (2.0, 0.0), (10.0, 0.5), (2.0, 0.0),
        (10.0, 0.5), (1.0, 0.0)]


@pytest.fixture(scope="module")
def book():
    return signal(BOOK)


@pytest.mark.parametrize("options, text", [
    ({"chapters": [0, (12.5, "Two"), {"t0": 30, "t1": 40, "title": "Three"}]},
     {"chapters": [{"t0": 0.0}, {"t0": 12.5, "title": "Two"},
                   {"t0": 30, "t1": 40, "title": "Three"}]}),
    ({"hints": [0, (25.5, "Two"), {"t": 33}], "hint_window_s": 10, "titles": ("A", None)},
     {"hints": [0.0, {"t": 25.5, "title": "Two"}, {"t": 33}], "hint_window_s": 10.0,
      "titles": ["A", None]}),
    ({"hints": (h for h in (0, 60))}, {"hints": [0.0, 60.0]}),
], ids=["chapters", "hints", "iterable"])
def test_list_options_text(options, text, book, monkeypatch):
    seen = []
    lib = _core._library()

    def spy(pcm, n, opts, real=lib.silsplit_analyze_pcm):
        seen.append(opts)
        return real(pcm, n, opts)
    monkeypatch.setattr(lib, "silsplit_analyze_pcm", spy)
    silsplit.analyze_pcm(book, **options)
    got = json.loads(seen[0])
    del got["sample_rate"]
    assert got == text


@pytest.mark.parametrize("options", [
    {"chapters": 5},
    {"chapters": "0 60"},
    {"hints": [0, "1:00"]},
    {"hints": [(1, "a", "b")]},
    {"hints": [(1, 2)]},
    {"titles": ["a", 3]},
    {"hint_window_s": "30"},
    {"hint_window_s": True},
])
def test_bad_list_options_fail_before_the_library(options, monkeypatch):
    monkeypatch.setattr(_core, "_library", lambda: None)
    with pytest.raises(TypeError):
        silsplit.analyze_pcm([0.0], **options)


@pytest.mark.parametrize("options", [{"hints": [0, float("nan")]},
                                     {"chapters": [(float("inf"), "x")]},
                                     {"hint_window_s": float("inf")}])
def test_times_must_be_finite(options, monkeypatch):
    monkeypatch.setattr(_core, "_library", lambda: None)
    with pytest.raises(ValueError):
        silsplit.analyze_pcm([0.0], **options)


def test_hints_move_onto_pauses_with_titles(book):
    report = silsplit.analyze_pcm(book, hints=[0, (25.5, "Two"), 33], titles=["One"],
                                  keep_all=True)
    ch = report.chapters
    assert [c.snap for c in ch] == ["start", "pause", "pause"]
    assert [c.title for c in ch] == ["One", "Two", ""]
    assert [c.hint for c in ch] == [0.0, 25.5, 33.0]
    assert ch[1].t0 == pytest.approx(23.0, abs=0.011)
    assert ch[1].shift == pytest.approx(23.0 - 25.5, abs=0.011)
    assert ch[-1].t1 == report.duration_s


def test_chapter_list_round_trips(book):
    first = silsplit.analyze_pcm(book, chapters=[(0, "Intro"), 11.0, {"t0": 23.0, "t1": 30.0}])
    assert [(c.t0, c.t1, c.title) for c in first.chapters] == [
        (0.0, 11.0, "Intro"), (11.0, 23.0, ""), (23.0, 30.0, "")]
    # A report's chapters go back in as they are.
    again = silsplit.analyze_pcm(book, chapters=first.chapters)
    assert again.json == first.json


def test_members_absent_without_the_keys(book):
    for c in silsplit.analyze_pcm(book).chapters:
        assert (c.title, c.hint, c.shift, c.snap) == (None, None, None, None)


def test_library_names_the_entry(book):
    with pytest.raises(silsplit.Error, match=r"^chapters\[1\]: starts before the chapter above it$"):
        silsplit.analyze_pcm(book, chapters=[5, 3])
    with pytest.raises(silsplit.Error, match=r"^chapters\[0\]: t0 is not before the end"):
        silsplit.analyze_pcm(book, chapters=[60])
