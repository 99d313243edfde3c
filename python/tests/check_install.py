"""The README's installs, as a user runs them: `pip install ./python` (pip
builds in an isolated environment) or `pip install --no-index
--no-build-isolation ./python`, into a fresh virtual environment of an
interpreter without the system's packages, from the source tree itself, with
no package index and no pip configuration; then the package is imported
from outside the tree and analyses the example recording as the build does.

    python3 check_install.py ROUTE PYTHON SOURCE_DIR

ROUTE is `default` (the first) or `offline` (the second); PYTHON the
interpreter to make the environment with, a path or a name looked up on PATH.
Exits 77 (skipped) when PYTHON is not on this machine, non-zero on the first
fault.
"""

import os
import shutil
import sys
import tempfile

from check_wheel import check_installed, clean_env, expected_report, run

SKIPPED = 77
ROUTES = {"default": [], "offline": ["--no-index", "--no-build-isolation"]}


def main():
    route, python, source = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
    interpreter = shutil.which(python)
    if interpreter is None:
        print("skipped: there is no %s on this machine" % python)
        sys.exit(SKIPPED)
    expected = expected_report(source)

    with tempfile.TemporaryDirectory(prefix="silsplit-install-") as tmp:
        venv = os.path.join(tmp, "venv")
        run([interpreter, "-m", "venv", venv], env=clean_env())
        venv_python = os.path.join(venv, "bin", "python")
        run([venv_python, "-c", "import sys; print(sys.version)"])
        run([venv_python, "-m", "pip", "--version"], env=clean_env())
        run([venv_python, "-m", "pip", "install", *ROUTES[route], os.path.join(source, "python")],
            env=clean_env(), cwd=tmp)
        check_installed(venv, source, expected, tmp)
    print("%s: pip install %s./python installs and analyses the example as the build does"
          % (interpreter, "".join(a + " " for a in ROUTES[route])))


if __name__ == "__main__":
    main()
