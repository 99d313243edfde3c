"""Builds the package with the library inside it.

The build step configures the repository around this folder with CMake,
builds only the shared library, and copies it (with the yyjson it links,
found beside it at run time) into the package, so an installed package needs
no copy of the library on the system. Everything else is in pyproject.toml.

    pip install ./python                        # or: pip wheel ./python
    pip install --no-build-isolation ./python   # offline, with the machine's setuptools

Environment: SILSPLIT_SOURCE_DIR, the repository to build (default: the
folder above this one); CMAKE, the cmake program; SILSPLIT_CMAKE_ARGS, extra
arguments for the configure step (split on spaces).
"""

import os
import re
import shutil
import subprocess
import sys
from typing import List, Optional, Tuple

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = "kestrova-audio-silence-splitter"
LIBRARY_FILE = "lib" + TARGET + ".so.1"   # the name the package looks for, its SONAME


def _source_dir() -> str:
    source = os.environ.get("SILSPLIT_SOURCE_DIR") or os.path.dirname(HERE)
    if not os.path.isfile(os.path.join(source, "src", "exports.map")):
        sys.exit("silsplit: cannot find the library's sources in %s; build from a checkout "
                 "(pip install ./python) or set SILSPLIT_SOURCE_DIR" % source)
    return source


def _run(cmd: List[str]) -> None:
    print(" ".join(cmd), flush=True)
    subprocess.check_call(cmd)


def _build_library(build_temp: str) -> str:
    """Configures and builds the shared library only; returns its path."""
    cmake = os.environ.get("CMAKE", "cmake")
    build_dir = os.path.join(os.path.abspath(build_temp), "cmake")
    _run([cmake, "-S", _source_dir(), "-B", build_dir,
          "-DCMAKE_BUILD_TYPE=Release",
          "-DSILSPLIT_BUILD_TESTS=OFF",
          "-DSILSPLIT_BUILD_TOOLS=OFF",
          # The copy in the package looks beside itself for its yyjson first.
          "-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON", "-DCMAKE_INSTALL_RPATH=$ORIGIN"]
         + os.environ.get("SILSPLIT_CMAKE_ARGS", "").split())
    _run([cmake, "--build", build_dir, "--target", TARGET, "-j", str(os.cpu_count() or 1)])
    path = os.path.join(build_dir, LIBRARY_FILE)
    if not os.path.isfile(path):
        sys.exit("silsplit: the build made no %s" % path)
    return path


def _yyjson(library: str) -> Optional[Tuple[str, str]]:
    """(its SONAME, the file the loader resolves it to) for the yyjson the
    library links, or None when ldd cannot tell."""
    try:
        out = subprocess.run(["ldd", library], capture_output=True, text=True,
                             check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    match = re.search(r"^\s*(libyyjson\.so[.\d]*)\s+=>\s+(/\S+)", out, re.M)
    return (match.group(1), match.group(2)) if match else None


class build_py_with_library(build_py):
    """build_py, then the library copied into the built package."""

    def run(self) -> None:
        super().run()
        build_temp = self.get_finalized_command("build").build_temp
        library = _build_library(build_temp)
        if getattr(self, "editable_mode", False):
            # An editable install imports the package from the source folder.
            package_dir = os.path.join(HERE, "silsplit")
        else:
            package_dir = os.path.join(self.build_lib, "silsplit")
        shutil.copyfile(library, os.path.join(package_dir, LIBRARY_FILE))
        yyjson = _yyjson(library)
        if yyjson:
            shutil.copyfile(yyjson[1], os.path.join(package_dir, yyjson[0]))


class BinaryDistribution(Distribution):
    """A distribution with native code, installed where platform code goes."""

    def has_ext_modules(self) -> bool:
        return True


commands = {"build_py": build_py_with_library}

# The wheel holds a native library but no extension module: it fits any
# Python 3 on this platform.
try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel  # type: ignore[no-redef]
    except ImportError:
        bdist_wheel = None  # type: ignore[assignment,misc]

if bdist_wheel is not None:
    class bdist_wheel_any_python(bdist_wheel):  # type: ignore[valid-type,misc]
        def get_tag(self) -> Tuple[str, str, str]:
            plat = super().get_tag()[2]
            return "py3", "none", plat

    commands["bdist_wheel"] = bdist_wheel_any_python

setup(cmdclass=commands, distclass=BinaryDistribution)
