"""The package as a user installs it from a wheel: an sdist made from a copy
of the sources (it carries the library's sources), a wheel built from that
sdist (its build step compiles the library with CMake), installed into a
fresh virtual environment without the system's packages, imported from
outside the source tree, analysing the example recording.

    python3 check_wheel.py SOURCE_DIR

Run with an interpreter that has pip and venv (Debian's /usr/bin/python3);
nothing is downloaded. Exits non-zero on the first fault. check_install.py
uses its pieces for the installs straight from the source tree.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

LIBRARY_FILE = "libkestrova-audio-silence-splitter.so.1"


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, check=True, **kwargs)


def copy_sources(source, dest):
    """The repository without build trees, caches or libraries left in the
    package folder, so the wheel is built from the sources alone."""
    def ignore(folder, names):
        skip = {n for n in names if n in ("__pycache__", ".mypy_cache", ".git")
                or n.endswith(".egg-info") or (n.startswith("lib") and ".so" in n)}
        if os.path.samefile(folder, source):
            skip |= {n for n in names if n.startswith("build") or n == "out"}
        if os.path.basename(folder) == "python":
            skip |= {n for n in names if n in ("build", "dist")}
        return skip
    shutil.copytree(source, dest, ignore=ignore, symlinks=True)


USER_CODE = r"""
import json, os, sys
import silsplit
report = silsplit.analyze(sys.argv[1])
maps = [line.split()[-1] for line in open("/proc/self/maps") if "yyjson" in line]
print(json.dumps({"library": silsplit.library_path(), "yyjson": maps[0],
                  "package": os.path.dirname(silsplit.__file__), "report": report.json,
                  "pcm": silsplit.analyze_pcm([0.5] * 96000, sample_rate=16000).json}))
"""


def expected_report(source):
    """The source tree's package against SILSPLIT_LIBRARY (the library this
    build made): the report every install must give."""
    sys.path.insert(0, os.path.join(source, "python"))
    import silsplit
    return silsplit.analyze(os.path.join(source, "examples", "audio", "talk.wav")).json


def clean_env(env=None):
    """The environment without anything that points at the build or at a
    package source: no SILSPLIT_LIBRARY, PYTHONPATH or library path, no pip
    settings (pip reads no configuration file and no index)."""
    env = {k: v for k, v in (env or os.environ).items()
           if k not in ("SILSPLIT_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH", "PYTHONHOME")
           and not k.startswith("PIP_")}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_NO_INDEX="1", PIP_NO_CACHE_DIR="1")
    return env


def check_installed(venv, source, expected, tmp):
    """The venv's silsplit, used from outside the sources, is its own copy
    with its own library and yyjson, and gives the expected report."""
    python = os.path.join(venv, "bin", "python")
    talk = os.path.join(source, "examples", "audio", "talk.wav")
    elsewhere = tempfile.mkdtemp(prefix="elsewhere-", dir=tmp)
    out = run([python, "-c", USER_CODE, talk], env=clean_env(), cwd=elsewhere,
              capture_output=True, text=True)
    got = json.loads(out.stdout)
    package = os.path.realpath(got["package"])
    assert package.startswith(os.path.realpath(venv) + os.sep), got
    assert got["library"] == os.path.join(got["package"], LIBRARY_FILE), got
    assert os.path.dirname(os.path.realpath(got["yyjson"])) == package, got
    assert got["report"] == expected, (got["report"], expected)
    assert json.loads(got["pcm"])["duration_s"] == 6.0, got


def main():
    source = os.path.abspath(sys.argv[1])
    expected = expected_report(source)

    with tempfile.TemporaryDirectory(prefix="silsplit-wheel-") as tmp:
        src = os.path.join(tmp, "src")
        copy_sources(source, src)
        dist = os.path.join(tmp, "dist")
        os.mkdir(dist)
        # The sdist, as a build front end asks the backend for it.
        run([sys.executable, "-c", "import sys, silsplit_build; "
             "print(silsplit_build.build_sdist(sys.argv[1]))", dist],
            cwd=os.path.join(src, "python"),
            env=dict(clean_env(), PYTHONPATH=os.path.join(src, "python", "build_backend")))
        sdists = os.listdir(dist)
        assert sdists == ["silsplit-1.1.0.tar.gz"], sdists
        sdist = os.path.join(dist, sdists[0])
        run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
             "-w", dist, sdist], env=clean_env())
        wheels = [name for name in os.listdir(dist) if name.endswith(".whl")]
        assert len(wheels) == 1 and wheels[0].endswith("-py3-none-linux_x86_64.whl"), wheels
        wheel = os.path.join(dist, wheels[0])
        names = zipfile.ZipFile(wheel).namelist()
        for name in ("silsplit/__init__.py", "silsplit/py.typed", "silsplit/" + LIBRARY_FILE,
                     "silsplit/libyyjson.so.0"):
            assert name in names, (name, names)

        venv = os.path.join(tmp, "venv")
        run([sys.executable, "-m", "venv", venv])
        run([os.path.join(venv, "bin", "python"), "-m", "pip", "install", "--no-deps", "-q",
             wheel], env=clean_env())
        check_installed(venv, source, expected, tmp)
    print("wheel: %s installs and analyses the example as the build does" % wheels[0])


if __name__ == "__main__":
    main()
