"""The build backend's reading of pyproject.toml: interpreters before 3.11
have no tomllib, and read [project] with the backend's own line reader."""

import os
import sys
import tomllib

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "build_backend"))
import silsplit_build  # noqa: E402


def test_line_reader_reads_the_project_as_tomllib_does():
    with open(os.path.join(HERE, os.pardir, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    project = tomllib.loads(text)["project"]
    assert silsplit_build._read_project_plain(text) == project
    assert silsplit_build.read_project(text) == project


@pytest.mark.parametrize("entry, line", [
    ('dependencies = [\n  "numpy",\n]', 2),          # an array over several lines
    ("name = 'silsplit'", 2),                        # a literal string
    ('version = "1.1.0"  # the release', 2),         # a comment after the value
    ('urls = {home = "x"}', 2),                      # an inline table
])
def test_line_reader_refuses_what_it_cannot_read(entry, line):
    with pytest.raises(ValueError, match=r"pyproject.toml:%d: build with Python 3.11" % line):
        silsplit_build._read_project_plain("[project]\n" + entry + "\n[tool.x]\n")


def test_project_keys_the_metadata_would_drop_are_refused():
    with pytest.raises(ValueError, match="readme"):
        silsplit_build.read_project('[project]\nname = "silsplit"\nreadme = "README.md"\n')
