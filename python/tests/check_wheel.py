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

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

LIBRARY_FILE = "libkestrova-audio-silence-splitter.so.1"
ENGINE_FILE = "libsilsplit-engine.so.1"
MEDIA_FILE = "silsplit-media.so"


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
import array, json, os, sys, wave
import silsplit
report = silsplit.analyze(sys.argv[1])
maps = [line.split()[-1] for line in open("/proc/self/maps") if "yyjson" in line]
w = wave.open(sys.argv[1])
session = silsplit.Session(w.getframerate(), w.getnchannels())
while True:
    block = w.readframes(w.getframerate())
    if not block:
        break
    session.push([v / 32768 for v in array.array("h", block)])
mp3 = len(silsplit.analyze(sys.argv[2]).chapters) if len(sys.argv) > 2 else None
print(json.dumps({"library": silsplit.library_path(), "yyjson": maps[0],
                  "package": os.path.dirname(silsplit.__file__), "report": report.json,
                  "pcm": silsplit.analyze_pcm([0.5] * 96000, sample_rate=16000).json,
                  "engine": silsplit.engine_library_path(), "session": session.finish().json,
                  "mp3": mp3}))
"""


def media_expected():
    """Whether a package built here holds the media module: FFmpeg's
    development files are there (and CLI11's, as for every build that runs
    these tests)."""
    return subprocess.run(["pkg-config", "--exists", "libavformat", "libavcodec", "libavutil"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


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
    args = [talk]
    media = os.path.isfile(os.path.join(venv_package(venv), MEDIA_FILE))
    if media and shutil.which("ffmpeg"):
        mp3 = os.path.join(elsewhere, "talk.mp3")
        run(["ffmpeg", "-v", "error", "-y", "-i", talk, mp3], stdin=subprocess.DEVNULL)
        args.append(mp3)
    out = run([python, "-c", USER_CODE] + args, env=clean_env(), cwd=elsewhere,
              capture_output=True, text=True)
    got = json.loads(out.stdout)
    package = os.path.realpath(got["package"])
    assert package.startswith(os.path.realpath(venv) + os.sep), got
    assert got["library"] == os.path.join(got["package"], LIBRARY_FILE), got
    assert os.path.dirname(os.path.realpath(got["yyjson"])) == package, got
    assert got["report"] == expected, (got["report"], expected)
    assert json.loads(got["pcm"])["duration_s"] == 6.0, got
    # The engine library beside the package's own library, its Session fed
    # 1 s blocks gives the file's report, and an MP3 goes to the media module
    # when the package holds it.
    assert got["engine"] == os.path.join(got["package"], ENGINE_FILE), got
    assert got["session"] == expected, (got["session"], expected)
    assert media == media_expected(), (media, os.listdir(package))
    if len(args) > 1:
        assert got["mp3"] == 3, got


def venv_package(venv):
    """The silsplit folder a venv's pip installed."""
    found = glob.glob(os.path.join(venv, "lib", "python*", "site-packages", "silsplit"))
    assert len(found) == 1, found
    return found[0]


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
                     "silsplit/" + ENGINE_FILE, "silsplit/libyyjson.so.0"):
            assert name in names, (name, names)

        venv = os.path.join(tmp, "venv")
        run([sys.executable, "-m", "venv", venv])
        run([os.path.join(venv, "bin", "python"), "-m", "pip", "install", "--no-deps", "-q",
             wheel], env=clean_env())
        check_installed(venv, source, expected, tmp)
    print("wheel: %s installs and analyses the example as the build does" % wheels[0])


if __name__ == "__main__":
    main()
