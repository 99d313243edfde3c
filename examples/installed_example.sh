#!/usr/bin/env bash
# Installs the build into a temporary prefix, compiles print_chapters.c
# against that copy with pkg-config, runs it on the example recording and
# compares what it prints with expected_output.txt.
# Usage: installed_example.sh BUILD_DIR C_COMPILER
set -euo pipefail
build=$1
cc=$2
here=$(cd "$(dirname "$0")" && pwd)

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name silsplit.pc -path '*/pkgconfig/*' | head -n 1)")
export PKG_CONFIG_PATH="$libdir"
flags=$(pkg-config --cflags --libs silsplit)
# shellcheck disable=SC2086  # the flags are words
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror "$here/print_chapters.c" $flags -o "$prefix/print_chapters"

cd "$here"
LD_LIBRARY_PATH="$(pkg-config --variable=libdir silsplit)" "$prefix/print_chapters" audio/talk.wav > "$prefix/output.txt"
diff -u expected_output.txt "$prefix/output.txt"
