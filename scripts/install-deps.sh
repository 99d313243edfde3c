#!/usr/bin/env bash
# Installs what building and testing silsplit needs, and only what is missing.
# Safe to run again: when everything is present it changes nothing.
#
# yyjson 0.12 is not packaged for Debian 12, so libyyjson0 and libyyjson-dev are
# fetched from Debian's unstable suite through a private sources list that reuses
# the mirror this machine is already configured for.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Debian packages the build, the tests and the tools need (the Python ones for
# the package's tests: numpy arrays, a Dask cluster, type checks, a wheel built
# and installed into a fresh virtual environment; chromium, chromium-driver and
# python3-selenium run the review page's tests in a real browser; FFmpeg's
# libraries for the command-line program's media input, the ffmpeg program
# for its tests; node, npm, espeak-ng and python3-onnx for the speech model's
# reference check and its weight script).
PACKAGES=(g++ cmake make pkg-config libgtest-dev libgmock-dev libcli11-dev python3 python3-pytest
          python3-numpy python3-dask python3-distributed mypy
          python3-venv python3-setuptools python3-wheel python3-pip
          chromium chromium-driver python3-selenium
          ffmpeg libavformat-dev libavcodec-dev libavutil-dev sox
          nodejs npm espeak-ng python3-onnx)
# Extra packages for the hardening jobs (fuzzers, sanitizers, leak checks);
# pass --hardening to get them as well.
HARDENING_PACKAGES=(clang libclang-rt-14-dev valgrind)

want=("${PACKAGES[@]}")
for arg in "$@"; do
    case "$arg" in
        --hardening) want+=("${HARDENING_PACKAGES[@]}") ;;
        *) echo "install-deps.sh: unknown argument: $arg" >&2; exit 2 ;;
    esac
done

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for p in "${want[@]}"; do
    is_installed "$p" || missing+=("$p")
done

apt_updated=0
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    $SUDO apt-get update -qq
    apt_updated=1
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
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
