"""The package as a user installs it: a wheel built from a copy of the
sources (its build step compiles the library with CMake), installed into a
fresh virtual environment without the system's packages, imported from
outside the source tree, analysing the example recording.

    python3 check_wheel.py SOURCE_DIR

Run with an interpreter that has pip, setuptools and wheel (Debian's
/usr/bin/python3); nothing is downloaded. Exits non-zero on the first fault.
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


def main():
    source = os.path.abspath(sys.argv[1])
    talk = os.path.join(source, "examples", "audio", "talk.wav")
    sys.path.insert(0, os.path.join(source, "python"))
    import silsplit  # the source tree's package against SILSPLIT_LIBRARY: the reference
    expected = silsplit.analyze(talk).json

    with tempfile.TemporaryDirectory(prefix="silsplit-wheel-") as tmp:
        src = os.path.join(tmp, "src")
        copy_sources(source, src)
        dist = os.path.join(tmp, "dist")
        run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
             "--no-index", "--no-cache-dir", "-w", dist, os.path.join(src, "python")])
        wheels = os.listdir(dist)
        assert len(wheels) == 1 and wheels[0].endswith("-py3-none-linux_x86_64.whl"), wheels
        wheel = os.path.join(dist, wheels[0])
        names = zipfile.ZipFile(wheel).namelist()
        for name in ("silsplit/__init__.py", "silsplit/py.typed", "silsplit/" + LIBRARY_FILE,
                     "silsplit/libyyjson.so.0"):
            assert name in names, (name, names)

        venv = os.path.join(tmp, "venv")
        run([sys.executable, "-m", "venv", venv])
        python = os.path.join(venv, "bin", "python")
        run([python, "-m", "pip", "install", "--no-index", "--no-deps", "--no-cache-dir", "-q",
             wheel])

        # Nothing points at the build: no SILSPLIT_LIBRARY, no PYTHONPATH, no
        # library path, and the working directory is outside the sources.
        env = {k: v for k, v in os.environ.items()
               if k not in ("SILSPLIT_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH", "PYTHONHOME")}
        elsewhere = os.path.join(tmp, "elsewhere")
        os.mkdir(elsewhere)
        out = run([python, "-c", USER_CODE, talk], env=env, cwd=elsewhere,
                  capture_output=True, text=True)
        got = json.loads(out.stdout)
        package = os.path.realpath(got["package"])
        assert package.startswith(os.path.realpath(venv) + os.sep), got
        assert got["library"] == os.path.join(got["package"], LIBRARY_FILE), got
        assert os.path.dirname(os.path.realpath(got["yyjson"])) == package, got
        assert got["report"] == expected, (got["report"], expected)
        assert json.loads(got["pcm"])["duration_s"] == 6.0, got
    print("wheel: %s installs and analyses %s as the build does" % (wheels[0], talk))


if __name__ == "__main__":
    main()
