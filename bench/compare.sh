#!/usr/bin/env bash
# Times `silsplit analyze` against the tools users would otherwise pick
# (ffmpeg silencedetect, sox silence), against the read floor (malloc + one
# fread + touching every page) and against `cat FILE > /dev/null` (the page
# cache's own speed), on three generated recordings:
#   1 h 44.1 kHz stereo 16-bit, 1 h 16 kHz mono 16-bit, 10 min 48 kHz stereo 24-bit.
# Each round runs every program once on every file, in an order that rotates
# from round to round; the figures are medians over the rounds, and the
# ratios are medians of the per-round ratios (paired runs).
# Wall time is taken around each run with a nanosecond clock; peak memory is
# the maximum resident size from /usr/bin/time (%M). `silsplit split` of the
# first recording into a scratch folder is timed the same way, as the last
# row of the table.
#
# A second table times compressed recordings, the first one encoded by
# ffmpeg as a 128 kbit/s MP3, a 128 kbit/s AAC M4A, FLAC and a 64 kbit/s
# Opus: `silsplit analyze` (its default -j, every core) and
# `silsplit analyze -j 1` (one decoder) against decoding alone with one
# thread (`ffmpeg -threads 1 -i FILE -f null -`, the floor for one decoder
# through FFmpeg), against ffmpeg's own default decoding and against ffmpeg
# silencedetect.
#
# Environment: ROUNDS (default 5), BUILD (default build-bench), WORK (default
# $BUILD/compare-work, about 1 GB of WAV, MP3 and M4A files that are kept for
# later runs),
# SILSPLIT (default $BUILD/cli/silsplit: another build's program to time),
# LIBRARY (default $BUILD/bench/analyze_file: the library alone, without the
# program's start-up).
# Not run by CI. Needs ffmpeg, sox and /usr/bin/time, and installs them with
# apt-get when they are missing. Meant for an otherwise idle machine; two
# cores are enough.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROUNDS=${ROUNDS:-5}
BUILD=${BUILD:-$ROOT/build-bench}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
WORK=${WORK:-$BUILD/compare-work}
JOBS=${JOBS:-2}

if ! [[ $ROUNDS =~ ^[0-9]+$ ]] || ((ROUNDS < 1)); then
    echo "compare.sh: ROUNDS must be a positive integer" >&2
    exit 2
fi

# --- tools ------------------------------------------------------------------
missing=()
command -v ffmpeg >/dev/null 2>&1 || missing+=(ffmpeg)
command -v sox >/dev/null 2>&1 || missing+=(sox)
[[ -x /usr/bin/time ]] || missing+=(time)
if ((${#missing[@]})); then
    echo "installing ${missing[*]} with apt-get" >&2
    sudo=()
    ((EUID == 0)) || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- build (Release) ----------------------------------------------------------
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" -j "$JOBS" --target silsplit gen_wav read_floor analyze_file >/dev/null
SILSPLIT=${SILSPLIT:-$BUILD/cli/silsplit}
GEN=$BUILD/bench/gen_wav
FLOOR=$BUILD/bench/read_floor
LIBRARY=${LIBRARY:-$BUILD/bench/analyze_file}

# --- recordings ---------------------------------------------------------------
mkdir -p "$WORK"
# name:seconds:rate:channels:bits:label
FILES=(
    "talk-1h-44k1-stereo-s16:3600:44100:2:16:1 h 44.1 kHz stereo 16-bit"
    "talk-1h-16k-mono-s16:3600:16000:1:16:1 h 16 kHz mono 16-bit"
    "talk-10m-48k-stereo-s24:600:48000:2:24:10 min 48 kHz stereo 24-bit"
)
for entry in "${FILES[@]}"; do
    IFS=: read -r name secs rate ch bits _ <<<"$entry"
    out=$WORK/$name.wav
    # Remade when missing or older than the generator.
    if [[ ! -s $out || $GEN -nt $out ]]; then
        echo "generating $out" >&2
        "$GEN" "$secs" "$rate" "$ch" "$bits" "$out.tmp"
        mv "$out.tmp" "$out"
    fi
done

# The compressed recordings, remade when missing or older than their WAV.
IFS=: read -r first _ <<<"${FILES[0]}"
MEDIA=(
    "$first.mp3|-c:a libmp3lame -b:a 128k|1 h MP3 128 kbit/s stereo"
    "$first.m4a|-c:a aac -b:a 128k|1 h M4A (AAC) 128 kbit/s stereo"
    "$first.flac|-c:a flac|1 h FLAC stereo"
    "$first.opus|-c:a libopus -b:a 64k|1 h Opus 64 kbit/s stereo"
)
for entry in "${MEDIA[@]}"; do
    IFS='|' read -r name args _ <<<"$entry"
    out=$WORK/$name
    if [[ ! -s $out || $WORK/$first.wav -nt $out ]]; then
        echo "encoding $out" >&2
        # shellcheck disable=SC2086 # the encoder's arguments are words
        ffmpeg -v error -nostdin -y -i "$WORK/$first.wav" $args -f "$(case $name in *.m4a) echo ipod ;; *.flac) echo flac ;; *.opus) echo ogg ;; *) echo mp3 ;; esac)" "$out.tmp"
        mv "$out.tmp" "$out"
    fi
done

# sox runs in its own empty folder: with -n nothing should be written, but
# newfile must not be able to drop anything elsewhere.
SOXDIR=$(mktemp -d "${TMPDIR:-/tmp}/silsplit-sox.XXXXXX")
RESULTS=$(mktemp "${TMPDIR:-/tmp}/silsplit-compare.XXXXXX")
TIMEOUT=$(mktemp "${TMPDIR:-/tmp}/silsplit-time.XXXXXX")
MEDIA_RESULTS=$(mktemp "${TMPDIR:-/tmp}/silsplit-media.XXXXXX")
SPLITDIR=$(mktemp -d "${TMPDIR:-/tmp}/silsplit-split.XXXXXX")
cleanup() { rm -rf "$SOXDIR" "$RESULTS" "$TIMEOUT" "$SPLITDIR" "$MEDIA_RESULTS"; }
trap cleanup EXIT

PROGRAMS=(silsplit library ffmpeg sox floor cat)

# Prints "microseconds peak_kib" for one timed run.
timed() { # program file
    local prog=$1 file=$2 t0 t1 rc=0 dir=$PWD
    local cmd
    case $prog in
    silsplit) cmd=("$SILSPLIT" analyze "$file") ;;
    silsplit1) cmd=("$SILSPLIT" analyze -j 1 "$file") ;;
    library) cmd=("$LIBRARY" "$file") ;;
    ffmpeg) cmd=(ffmpeg -hide_banner -nostats -i "$file" -af silencedetect=n=-40dB:d=0.8 -f null -) ;;
    sox)
        cmd=(sox "$file" -n silence 1 0.1 1% 1 0.8 1% : newfile : restart)
        dir=$SOXDIR
        ;;
    floor) cmd=("$FLOOR" "$file") ;;
    cat) cmd=(cat "$file") ;;
    decode) cmd=(ffmpeg -hide_banner -nostats -i "$file" -f null -) ;;
    decode1) cmd=(ffmpeg -hide_banner -nostats -threads 1 -i "$file" -f null -) ;;
    split)
        rm -rf "$SPLITDIR/out"
        cmd=("$SILSPLIT" split "$file" "$SPLITDIR/out")
        ;;
    esac
    t0=$(date +%s%N)
    (cd "$dir" && exec /usr/bin/time -f '%e %M' -o "$TIMEOUT" "${cmd[@]}" </dev/null >/dev/null 2>&1) || rc=$?
    t1=$(date +%s%N)
    if ((rc != 0)); then
        echo "compare.sh: $prog failed on $file (status $rc)" >&2
        exit 1
    fi
    local kib
    kib=$(awk 'END { print $2 }' "$TIMEOUT")
    echo "$(((t1 - t0) / 1000)) $kib"
}

loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

echo "silsplit compare: $ROUNDS rounds, $(nproc) cores, load average at start $(loadavg)"
echo "commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown), $(ffmpeg -version | head -n1 | cut -d' ' -f1-3), $(sox --version 2>&1 | sed 's/^.*SoX/SoX/')"

# Warm-up: one untimed pass of every file so that all programs read from the
# page cache.
for entry in "${FILES[@]}"; do
    IFS=: read -r name _ <<<"$entry"
    "$FLOOR" "$WORK/$name.wav"
done

for ((r = 1; r <= ROUNDS; r++)); do
    printf 'round %d/%d\r' "$r" "$ROUNDS" >&2
    for ((fi = 0; fi < ${#FILES[@]}; fi++)); do
        IFS=: read -r name _ <<<"${FILES[fi]}"
        for ((k = 0; k < ${#PROGRAMS[@]}; k++)); do
            prog=${PROGRAMS[(k + r + fi) % ${#PROGRAMS[@]}]}
            read -r us kib < <(timed "$prog" "$WORK/$name.wav")
            echo "$fi $r $prog $us $kib" >>"$RESULTS"
        done
    done
    IFS=: read -r name _ <<<"${FILES[0]}"
    read -r us kib < <(timed split "$WORK/$name.wav")
    echo "split $r split $us $kib" >>"$RESULTS"
    MEDIA_PROGRAMS=(silsplit silsplit1 decode1 decode ffmpeg)
    for ((fi = 0; fi < ${#MEDIA[@]}; fi++)); do
        IFS='|' read -r name _ <<<"${MEDIA[fi]}"
        for ((k = 0; k < ${#MEDIA_PROGRAMS[@]}; k++)); do
            prog=${MEDIA_PROGRAMS[(k + r + fi) % ${#MEDIA_PROGRAMS[@]}]}
            read -r us kib < <(timed "$prog" "$WORK/$name")
            echo "media$fi $r $prog $us $kib" >>"$MEDIA_RESULTS"
        done
    done
done
printf '%*s\r' 20 '' >&2

if [[ -n $(ls -A "$SOXDIR") ]]; then
    echo "compare.sh: note: sox left files behind: $(ls -A "$SOXDIR" | head -n 3 | tr '\n' ' ')" >&2
fi

echo "load average at end $(loadavg)"
echo
echo "Median wall time in seconds (peak resident memory in MiB) over $ROUNDS rounds;"
echo "ratios are medians of the per-round ratios (ours: the silsplit program; lib: the library"
echo "alone, bench/analyze_file)."
echo
labels=$(printf '%s\n' "${FILES[@]}" | cut -d: -f6)
awk -v labels="$labels" '
function median(a, n,    i, j, t) {
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
$1 == "split" { st[$2] = $4 / 1e6; sm[$2] = $5 / 1024; next }
{ t[$1, $2, $3] = $4 / 1e6; m[$1, $2, $3] = $5 / 1024; if ($2 > rounds) rounds = $2; if ($1 + 1 > nf) nf = $1 + 1 }
END {
    split(labels, lab, "\n")
    np = split("silsplit library ffmpeg sox floor cat", prog, " ")
    printf "| %-28s | %-13s | %-13s | %-13s | %-13s | %-13s | %-13s | %-11s | %-8s | %-9s | %-10s | %-8s |\n", \
        "File", "silsplit", "library", "ffmpeg", "sox", "read floor", "cat", "ours/ffmpeg", "lib/cat", "ours/sox", "ours/floor", "ours/cat"
    printf "|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", "------------------------------", "---------------", "---------------", \
        "---------------", "---------------", "---------------", "---------------", "-------------", "----------", "-----------", "------------", "----------"
    for (f = 0; f < nf; f++) {
        line = sprintf("| %-28s |", lab[f + 1])
        for (p = 1; p <= np; p++) {
            for (r = 1; r <= rounds; r++) { ts[r] = t[f, r, prog[p]]; ms[r] = m[f, r, prog[p]] }
            line = line sprintf(" %-13s |", sprintf("%.3f (%.0f)", median(ts, rounds), median(ms, rounds)))
        }
        # silsplit against ffmpeg, the library against cat, silsplit against the rest
        nq = split("silsplit:ffmpeg:11 library:cat:8 silsplit:sox:9 silsplit:floor:10 silsplit:cat:8", pairs, " ")
        for (q = 1; q <= nq; q++) {
            split(pairs[q], pq, ":")
            for (r = 1; r <= rounds; r++) rq[r] = t[f, r, pq[1]] / t[f, r, pq[2]]
            line = line sprintf(" %-*s |", pq[3], sprintf("%.3f", median(rq, rounds)))
        }
        print line
    }
    for (r = 1; r <= rounds; r++) { ts[r] = st[r]; ms[r] = sm[r] }
    printf "\n`silsplit split` of the first file: %.3f s (%.0f MiB)\n", median(ts, rounds), median(ms, rounds)
}' "$RESULTS"

echo
echo "Compressed recordings: median wall time in seconds (peak resident memory in MiB);"
echo "ratios are medians of the per-round ratios of silsplit analyze (-j $(nproc), and -j 1)"
echo "to decoding alone with one thread (ffmpeg -threads 1 -i FILE -f null -), and of"
echo "silsplit analyze to ffmpeg silencedetect."
echo
media_labels=$(printf '%s\n' "${MEDIA[@]}" | cut -d'|' -f3)
awk -v labels="$media_labels" '
function median(a, n,    i, j, t) {
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
{ f = substr($1, 6) + 0; t[f, $2, $3] = $4 / 1e6; m[f, $2, $3] = $5 / 1024; if ($2 > rounds) rounds = $2; if (f + 1 > nf) nf = f + 1 }
END {
    split(labels, lab, "\n")
    np = split("silsplit silsplit1 decode1 decode ffmpeg", prog, " ")
    printf "| %-32s | %-13s | %-13s | %-13s | %-13s | %-16s | %-11s | %-14s | %-18s |\n", \
        "File", "silsplit", "silsplit -j 1", "decode 1 thr", "ffmpeg decode", "ffmpeg silence", \
        "ours/decode1", "ours-j1/decode1", "ours/silencedetect"
    printf "|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", "----------------------------------", "---------------", \
        "---------------", "---------------", "---------------", "------------------", "-------------", \
        "----------------", "--------------------"
    for (f = 0; f < nf; f++) {
        line = sprintf("| %-32s |", lab[f + 1])
        for (p = 1; p <= np; p++) {
            for (r = 1; r <= rounds; r++) { ts[r] = t[f, r, prog[p]]; ms[r] = m[f, r, prog[p]] }
            w = p == 5 ? 16 : 13
            line = line sprintf(" %-*s |", w, sprintf("%.3f (%.0f)", median(ts, rounds), median(ms, rounds)))
        }
        nq = split("silsplit:decode1:11 silsplit1:decode1:14 silsplit:ffmpeg:18", pairs, " ")
        for (qq = 1; qq <= nq; qq++) {
            split(pairs[qq], pq, ":")
            for (r = 1; r <= rounds; r++) q[r] = t[f, r, pq[1]] / t[f, r, pq[2]]
            line = line sprintf(" %-*s |", pq[3], sprintf("%.3f", median(q, rounds)))
        }
        print line
    }
}' "$MEDIA_RESULTS"
