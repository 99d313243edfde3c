"""The package's build backend (PEP 517 and PEP 660), standard library only.

pip runs it from this folder (pyproject.toml's backend-path), so building the
package needs nothing but the interpreter itself: no setuptools, no wheel
package, no package index, with or without build isolation.

A wheel holds the Python files of silsplit/ and the shared libraries, built
with CMake from the repository around this folder (the seven-function
library, the engine library and, where the program's build dependencies are
there, the media module silsplit-media.so that reads other formats through
FFmpeg: no tests, no program), with the yyjson they link beside them. The library looks
beside itself for yyjson first (run path $ORIGIN), so the installed package
needs no copy of either on the system. The wheel is tagged py3-none-PLATFORM:
it holds no extension module and fits any Python 3 on the platform.

An sdist carries the library's sources in library/, so it builds on its own.

Environment: SILSPLIT_SOURCE_DIR, the repository to build the library from;
CMAKE, the cmake program; SILSPLIT_CMAKE_ARGS, extra arguments for the
configure step (split on spaces).
"""

import base64
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from typing import Dict, List, Optional, Tuple, Union

PACKAGE = "silsplit"
TARGET = "kestrova-audio-silence-splitter"
LIBRARY_FILE = "lib" + TARGET + ".so.1"   # the name the package looks for, its SONAME
ENGINE_TARGET = "silsplit-engine"
ENGINE_FILE = "lib" + ENGINE_TARGET + ".so.1"
MEDIA_TARGET = "silsplit-media"
MEDIA_FILE = "cli/silsplit-media.so"      # in the build folder; beside the engine in the package
# The parts of the repository the libraries' build reads (the sdist's library/).
LIBRARY_PARTS = ("CMakeLists.txt", "cmake", "include", "src", "cli")
# The [project] keys this backend writes into the metadata.
PROJECT_KEYS = ("name", "version", "description", "requires-python", "dependencies")

ConfigSettings = Optional[Dict[str, Union[str, List[str]]]]


# ---------------------------------------------------------------------------
# Metadata
# ---------------------------------------------------------------------------

def read_project(text: str) -> Dict[str, Union[str, List[str]]]:
    """The [project] table of pyproject.toml's text."""
    try:
        import tomllib
    except ImportError:  # Python before 3.11
        project = _read_project_plain(text)
    else:
        project = tomllib.loads(text).get("project", {})
    unknown = sorted(set(project) - set(PROJECT_KEYS))
    if unknown:
        raise ValueError("pyproject.toml: [project] keys this backend does not write: "
                         + ", ".join(unknown))
    return project


def _read_project_plain(text: str) -> Dict[str, Union[str, List[str]]]:
    """The [project] table for interpreters without tomllib, when each of its
    entries is one line `key = "text"` or `key = ["text", ...]` (the forms
    TOML and JSON write alike); anything else in the table is an error."""
    project: Dict[str, Union[str, List[str]]] = {}
    inside = False
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if stripped.startswith("["):
            inside = stripped == "[project]"
            continue
        if not inside or not stripped or stripped.startswith("#"):
            continue
        key, sep, value = stripped.partition("=")
        try:
            parsed = json.loads(value) if sep else None
        except ValueError:
            parsed = None
        if not (isinstance(parsed, str) or (isinstance(parsed, list)
                                            and all(isinstance(v, str) for v in parsed))):
            raise ValueError("pyproject.toml:%d: build with Python 3.11 or later to read %r"
                             % (number, stripped))
        project[key.strip()] = parsed
    return project


def _project() -> Dict[str, Union[str, List[str]]]:
    with open("pyproject.toml", encoding="utf-8") as f:
        return read_project(f.read())


def _text(project: Dict[str, Union[str, List[str]]], key: str) -> str:
    value = project.get(key, "")
    if not isinstance(value, str):
        raise ValueError("pyproject.toml: [project] %s must be a string" % key)
    return value


def _metadata(project: Dict[str, Union[str, List[str]]]) -> str:
    """The core metadata (METADATA in a wheel, PKG-INFO in an sdist)."""
    lines = ["Metadata-Version: 2.1",
             "Name: " + _text(project, "name"),
             "Version: " + _text(project, "version")]
    if project.get("description"):
        lines.append("Summary: " + _text(project, "description"))
    if project.get("requires-python"):
        lines.append("Requires-Python: " + _text(project, "requires-python"))
    dependencies = project.get("dependencies", [])
    if not isinstance(dependencies, list):
        raise ValueError("pyproject.toml: [project] dependencies must be a list")
    lines += ["Requires-Dist: " + d for d in dependencies]
    return "\n".join(lines) + "\n"


def _dist_name(project: Dict[str, Union[str, List[str]]]) -> str:
    """name-version as file names carry them."""
    name = re.sub(r"[-_.]+", "_", _text(project, "name")).lower()
    return "%s-%s" % (name, _text(project, "version"))


def _tag() -> str:
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return "py3-none-" + platform


def _dist_info_files(project: Dict[str, Union[str, List[str]]]) -> Dict[str, str]:
    return {"METADATA": _metadata(project),
            "WHEEL": "Wheel-Version: 1.0\nGenerator: silsplit_build\n"
                     "Root-Is-Purelib: false\nTag: %s\n" % _tag()}


def _prepare_metadata(metadata_directory: str) -> str:
    project = _project()
    dist_info = _dist_name(project) + ".dist-info"
    folder = os.path.join(metadata_directory, dist_info)
    os.makedirs(folder, exist_ok=True)
    for name, text in _dist_info_files(project).items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
    return dist_info


# ---------------------------------------------------------------------------
# The library
# ---------------------------------------------------------------------------

def _source_dir() -> str:
    """The sources of the library: SILSPLIT_SOURCE_DIR, an sdist's library/,
    or the repository around this folder."""
    candidates = [os.environ.get("SILSPLIT_SOURCE_DIR") or "",
                  os.path.abspath("library"), os.path.dirname(os.path.abspath("."))]
    for source in candidates:
        if source and os.path.isfile(os.path.join(source, "src", "exports.map")):
            return source
    raise RuntimeError("silsplit: cannot find the library's sources (src/exports.map) in %s; "
                       "build from a checkout (pip install ./python) or set SILSPLIT_SOURCE_DIR"
                       % " or ".join(c for c in candidates if c))


def _run(cmd: List[str]) -> None:
    print(" ".join(cmd), flush=True)
    subprocess.check_call(cmd)


def _configure(cmake: str, build_dir: str, tools: bool) -> None:
    _run([cmake, "-S", _source_dir(), "-B", build_dir,
          "-DCMAKE_BUILD_TYPE=Release",
          "-DSILSPLIT_BUILD_TESTS=OFF",
          "-DSILSPLIT_BUILD_TOOLS=" + ("ON" if tools else "OFF"),
          # The copies in the package look beside themselves for yyjson first.
          "-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON", "-DCMAKE_INSTALL_RPATH=$ORIGIN"]
         + os.environ.get("SILSPLIT_CMAKE_ARGS", "").split())


def _build_library(build_dir: str) -> List[Tuple[str, str]]:
    """Configures and builds the shared libraries (and the media module when
    the program's dependencies, FFmpeg and CLI11, are there); (file name in
    the package, built file) for each and the yyjson they link."""
    cmake = os.environ.get("CMAKE", "cmake")
    targets = [TARGET, ENGINE_TARGET]
    media = os.path.isfile(os.path.join(_source_dir(), "cli", "CMakeLists.txt"))
    if media:
        try:
            _configure(cmake, build_dir, True)
        except subprocess.CalledProcessError:
            print("silsplit: the media module needs FFmpeg and CLI11 to build; the package "
                  "reads WAV files only", flush=True)
            shutil.rmtree(build_dir, ignore_errors=True)
            os.makedirs(build_dir, exist_ok=True)
            media = False
    if not media:
        _configure(cmake, build_dir, False)
    else:
        targets.append(MEDIA_TARGET)
    _run([cmake, "--build", build_dir, "--target"] + targets
         + ["-j", str(os.cpu_count() or 1)])
    files = []
    for name, built in ((LIBRARY_FILE, LIBRARY_FILE), (ENGINE_FILE, ENGINE_FILE),
                        (os.path.basename(MEDIA_FILE), MEDIA_FILE if media else "")):
        if not built:
            continue
        path = os.path.join(build_dir, built)
        if not os.path.isfile(path):
            raise RuntimeError("silsplit: the build made no %s" % path)
        files.append((name, path))
    yyjson = _yyjson(files[0][1])
    if yyjson:
        files.append(yyjson)
    return files


def _yyjson(library: str) -> Optional[Tuple[str, str]]:
    """(its SONAME, the file the loader resolves it to) for the yyjson the
    library links, or None when ldd cannot tell."""
    try:
        out = subprocess.run(["ldd", library], stdout=subprocess.PIPE, universal_newlines=True,
                             check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    match = re.search(r"^\s*(libyyjson\.so[.\d]*)\s+=>\s+(/\S+)", out, re.M)
    return (match.group(1), match.group(2)) if match else None


def _is_built_library(name: str) -> bool:
    return (name.startswith("lib") and ".so" in name) or name == os.path.basename(MEDIA_FILE)


def _package_files() -> List[Tuple[str, str]]:
    """(name in the archive, file) for the package's own files: silsplit/
    without caches and without libraries an editable install left there."""
    files = []
    for folder, dirs, names in os.walk(PACKAGE):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            if name.endswith(".pyc") or _is_built_library(name):
                continue
            path = os.path.join(folder, name)
            files.append((path.replace(os.sep, "/"), path))
    return files


# ---------------------------------------------------------------------------
# Archives
# ---------------------------------------------------------------------------

def _timestamp() -> float:
    """SOURCE_DATE_EPOCH when set (reproducible archives), else now."""
    return float(os.environ.get("SOURCE_DATE_EPOCH") or time.time())


def _write_wheel(wheel_directory: str, project: Dict[str, Union[str, List[str]]],
                 files: List[Tuple[str, Union[str, bytes]]]) -> str:
    """A wheel of files, each (name in the archive, a file's path or its
    bytes), with its .dist-info; returns the wheel's file name."""
    dist = _dist_name(project)
    wheel = "%s-%s.whl" % (dist, _tag())
    dist_info = dist + ".dist-info"
    files = files + [(dist_info + "/" + name, text.encode("utf-8"))
                     for name, text in _dist_info_files(project).items()]
    date = time.gmtime(max(_timestamp(), 315532800))[:6]   # zip dates start in 1980
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w",
                         zipfile.ZIP_DEFLATED) as archive:
        for name, content in files:
            if isinstance(content, str):
                with open(content, "rb") as f:
                    data = f.read()
                mode = os.stat(content).st_mode & 0o755 | 0o644
            else:
                data, mode = content, 0o644
            info = zipfile.ZipInfo(name, date)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            record.append("%s,sha256=%s,%d" % (name, digest.decode("ascii"), len(data)))
        record.append(dist_info + "/RECORD,,")
        info = zipfile.ZipInfo(dist_info + "/RECORD", date)
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, "\n".join(record) + "\n")
    return wheel


# ---------------------------------------------------------------------------
# The hooks pip calls
# ---------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings: ConfigSettings = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: ConfigSettings = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: ConfigSettings = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str,
                                     config_settings: ConfigSettings = None) -> str:
    return _prepare_metadata(metadata_directory)


def prepare_metadata_for_build_editable(metadata_directory: str,
                                        config_settings: ConfigSettings = None) -> str:
    return _prepare_metadata(metadata_directory)


def build_wheel(wheel_directory: str, config_settings: ConfigSettings = None,
                metadata_directory: Optional[str] = None) -> str:
    """The package's files and the freshly built library."""
    project = _project()
    with tempfile.TemporaryDirectory(prefix="silsplit-build-") as build_dir:
        built = _build_library(build_dir)
        files: List[Tuple[str, Union[str, bytes]]] = list(_package_files())
        files += [(PACKAGE + "/" + name, path) for name, path in built]
        return _write_wheel(wheel_directory, project, files)


def build_editable(wheel_directory: str, config_settings: ConfigSettings = None,
                   metadata_directory: Optional[str] = None) -> str:
    """A wheel that puts this folder on the path: the package is imported
    from its sources, with the library built into silsplit/ beside them."""
    project = _project()
    with tempfile.TemporaryDirectory(prefix="silsplit-build-") as build_dir:
        for name, path in _build_library(build_dir):
            shutil.copyfile(path, os.path.join(PACKAGE, name))
    pth = (os.path.abspath(".") + "\n").encode("utf-8")
    return _write_wheel(wheel_directory, project, [(PACKAGE + ".pth", pth)])


def build_sdist(sdist_directory: str, config_settings: ConfigSettings = None) -> str:
    """pyproject.toml, this backend, the package's files and, in library/,
    the library's sources."""
    project = _project()
    dist = _dist_name(project)
    here = os.path.dirname(os.path.abspath(__file__))
    members = [("pyproject.toml", "pyproject.toml"),
               (os.path.basename(here) + "/" + os.path.basename(__file__), __file__)]
    members += _package_files()
    source = _source_dir()
    for part in LIBRARY_PARTS:
        path = os.path.join(source, part)
        if os.path.isfile(path):
            members.append(("library/" + part, path))
        for folder, dirs, names in os.walk(path):
            dirs.sort()
            for name in sorted(names):
                full = os.path.join(folder, name)
                members.append(("library/" + os.path.relpath(full, source).replace(os.sep, "/"),
                                full))
    mtime = int(_timestamp())
    sdist = dist + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist), "w:gz",
                      format=tarfile.PAX_FORMAT) as archive:
        def add(name: str, data: bytes) -> None:
            info = tarfile.TarInfo(dist + "/" + name)
            info.size, info.mtime, info.mode = len(data), mtime, 0o644
            archive.addfile(info, io.BytesIO(data))
        add("PKG-INFO", _metadata(project).encode("utf-8"))
        for name, path in members:
            with open(path, "rb") as f:
                add(name, f.read())
    return sdist
