#!/usr/bin/env bash
# Installs what building and running silsplit needs and, with --tests, what
# its tests need too, and only what is missing. Safe to run again: when
# everything is present it changes nothing.
#
#   scripts/install-deps.sh                        building and running (make run)
#   scripts/install-deps.sh --tests                and the tests (make check)
#   scripts/install-deps.sh --tests --hardening    and the sanitizer builds and fuzzing (make test)
#
# yyjson 0.12 is not packaged for Debian 12, so libyyjson0 and libyyjson-dev are
# fetched from Debian's unstable suite through a private sources list that reuses
# the mirror this machine is already configured for.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Building the default targets (the library, the program with its FFmpeg
# module, and the tests, which are built by default: GoogleTest, and python3
# to register the program's tests) and running the program; the program's own
# libcrypto (the split's SHA-256 manifest), libebur128 (--loudness) and
# libFLAC (split --to flac).
BUILD_PACKAGES=(g++ cmake make pkg-config python3 libgtest-dev libcli11-dev
                libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libicu-dev libssl-dev
                libebur128-dev libflac-dev)
# Running the tests: the Python package's (pytest, numpy arrays, a Dask
# cluster, type checks, pip installs into fresh virtual environments), the
# review page's in a real browser (chromium, chromium-driver,
# python3-selenium), the encoders that make the test recordings (the ffmpeg
# program, sox) and flac, which checks the FLAC chapter files, and the speech
# model's reference check (node, npm, espeak-ng) with its weight script
# (python3-onnx).
TEST_PACKAGES=(python3-pytest python3-numpy python3-dask python3-distributed mypy
               python3-venv python3-pip
               chromium chromium-driver python3-selenium
               ffmpeg sox flac
               espeak-ng python3-onnx)
# Node and npm for the speech model's reference check, from Debian only when
# the machine has none (a Node of its own would conflict with Debian's npm).
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    TEST_PACKAGES+=(nodejs npm)
fi
# The hardening jobs (fuzzers, sanitizers, leak checks).
HARDENING_PACKAGES=(clang libclang-rt-14-dev valgrind)

want=("${BUILD_PACKAGES[@]}")
for arg in "$@"; do
    case "$arg" in
        --tests) want+=("${TEST_PACKAGES[@]}") ;;
        --hardening) want+=("${HARDENING_PACKAGES[@]}") ;;
        *) echo "install-deps.sh: unknown argument: $arg (known: --tests, --hardening)" >&2; exit 2 ;;
    esac
done

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for p in "${want[@]}"; do
    is_installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# yyjson >= 0.12 from unstable, unless a recent enough one is already there.
if pkg-config --atleast-version=0.12 yyjson 2>/dev/null; then
    exit 0
fi

echo "install-deps: fetching libyyjson0 and libyyjson-dev from unstable"
# The mirror of this machine's own Debian source, whichever format it uses.
uri=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
fi
if [ -z "$uri" ]; then
    echo "install-deps: cannot find this machine's Debian mirror" >&2
    exit 1
fi

work=$(mktemp -d)
chmod 755 "$work"   # apt drops to its own user to download
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/parts"
cat > "$work/parts/unstable.sources" <<SRC
Types: deb
URIs: $uri
Suites: unstable
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC

apt_opts=(
    -o "Dir::Etc::SourceList=/dev/null"
    -o "Dir::Etc::SourceParts=$work/parts"
    -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache::Archives=$work/archives"
    -o "Debug::NoLocking=1"
)
apt-get "${apt_opts[@]}" update -qq
(cd "$work" && apt-get "${apt_opts[@]}" download libyyjson0 libyyjson-dev)
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$work"/libyyjson0_*.deb "$work"/libyyjson-dev_*.deb
pkg-config --atleast-version=0.12 yyjson
echo "install-deps: yyjson $(pkg-config --modversion yyjson) installed"
