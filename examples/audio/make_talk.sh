#!/usr/bin/env bash
# Regenerates talk.wav, the example recording: three short spoken chapters
# separated by pauses of two and a half seconds, 16 kHz mono 16-bit.
#
# Needs espeak-ng and sox (Debian: apt-get install espeak-ng sox). The result
# is committed, so building, testing and `make run` never need either tool.
set -euo pipefail
cd "$(dirname "$0")"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rate=22050   # espeak-ng's own rate
say() {
    espeak-ng -v en-us -s 160 -w "$work/$1.wav" "$2"
}
quiet() {
    sox -D -n -r "$rate" -c 1 -b 16 "$work/$1.wav" trim 0 "$2"
}

say ch1 "Chapter one. The lighthouse keeper climbed the stairs every evening. \
He counted one hundred and twelve steps."
say ch2 "Chapter two. One night the lamp would not light, \
and the keeper found only an old letter in his pocket."
say ch3 "Chapter three. The letter was from his sister. \
She was coming, with a box of new matches."
quiet lead 0.5
quiet pause 2.5

# -D: no dither, so that the same inputs always give the same bytes.
sox -D "$work/lead.wav" "$work/ch1.wav" "$work/pause.wav" "$work/ch2.wav" \
    "$work/pause.wav" "$work/ch3.wav" "$work/lead.wav" \
    -r 16000 -c 1 -b 16 talk.wav
soxi talk.wav
