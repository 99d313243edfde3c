#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/) and runs every one of them.
#
#   scripts/fuzz.sh [SECONDS]   each target for SECONDS (default 60), growing
#                               the corpus kept in build-fuzz/corpus/<target>
#   scripts/fuzz.sh --runs N    each target for N inputs from the seed corpus
#                               only, with a fixed random seed (what CI runs)
#
# fuzz_media_input needs FFmpeg's development packages (scripts/install-deps.sh)
# and seeds made by the ffmpeg program.
# Targets run side by side, FUZZ_JOBS at a time (default: the number of CPUs).
# A crash stops with its input in build-fuzz/artifacts/<target>/; keep it in
# fuzz/regressions/<target>/ once fixed, where ctest replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=time
seconds=60
runs=0
case "${1:-}" in
    --runs) mode=runs; runs="${2:?--runs needs a number}" ;;
    "") ;;
    *) seconds="$1" ;;
esac

BUILD="${FUZZ_BUILD:-build-fuzz}"
JOBS="${FUZZ_JOBS:-$(nproc)}"
TARGETS=(fuzz_wav_reader fuzz_analyze_pcm fuzz_refine_report fuzz_media_input)

mkdir -p "$BUILD"
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSILSPLIT_FUZZ=ON -DSILSPLIT_SANITIZE=address,undefined \
    -DSILSPLIT_BUILD_TESTS=OFF -DSILSPLIT_BUILD_TOOLS=OFF >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log"; exit 1; }
cmake --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}"

rm -rf "$BUILD/seeds"
python3 fuzz/make_seeds.py "$BUILD/seeds"
mkdir -p "$BUILD/logs"

run_one() {
    local t="$1" corpus
    mkdir -p "$BUILD/artifacts/$t"
    local common=(-artifact_prefix="$BUILD/artifacts/$t/" -timeout=60 -rss_limit_mb=2560
                  -print_final_stats=1)
    [ -f "fuzz/$t.dict" ] && common+=(-dict="fuzz/$t.dict")
    if [ "$mode" = runs ]; then
        corpus="$BUILD/corpus-run/$t"
        rm -rf "$corpus" && mkdir -p "$corpus"
        "$BUILD/fuzz/$t" "${common[@]}" -runs="$runs" -seed=1 "$corpus" "$BUILD/seeds/$t"
    else
        corpus="$BUILD/corpus/$t"
        mkdir -p "$corpus"
        local dirs=("$corpus" "$BUILD/seeds/$t")
        [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
        "$BUILD/fuzz/$t" "${common[@]}" -max_total_time="$seconds" "${dirs[@]}"
    fi
}

pids=()
failed=0
for t in "${TARGETS[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 1; done
    run_one "$t" >"$BUILD/logs/$t.log" 2>&1 &
    pids+=("$!")
done
for i in "${!TARGETS[@]}"; do
    t="${TARGETS[$i]}"
    if wait "${pids[$i]}"; then
        execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$BUILD/logs/$t.log" | grep -o '[0-9]*$' || echo '?')
        echo "fuzz: $t: ok, $execs executions"
    else
        failed=1
        echo "fuzz: $t: FAILED (log: $BUILD/logs/$t.log)"
        grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$BUILD/logs/$t.log" | head -20 || true
    fi
done
exit "$failed"
