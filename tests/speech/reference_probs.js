// Runs the speech model's original ONNX file through onnxruntime-node, one
// thread, on a raw file of 16 kHz mono float32 samples, window by window as
// the library does (512 new samples after the 64 before them, zeros before
// the signal, the last partial window zero-padded, the state carried on),
// and compares its probabilities with the library's (one per line in
// ours.txt): exits 1 when a probability differs by more than 1e-4 or a
// decision at 0.5 differs. Without ours.txt it prints its probabilities, one
// per line.
//
//     node reference_probs.js model.onnx samples.f32 [ours.txt]
'use strict';
const fs = require('fs');
const ort = require('onnxruntime-node');

const WINDOW = 512;
const CONTEXT = 64;
const TOLERANCE = 1e-4;

async function main() {
    const [model, raw, oursPath] = process.argv.slice(2);
    const session = await ort.InferenceSession.create(model, {
        intraOpNumThreads: 1, interOpNumThreads: 1,
    });
    const bytes = fs.readFileSync(raw);
    const samples = new Float32Array(bytes.buffer.slice(bytes.byteOffset,
        bytes.byteOffset + bytes.length - (bytes.length % 4)));
    const sr = new ort.Tensor('int64', BigInt64Array.from([16000n]), []);
    let state = new Float32Array(2 * 128);
    const input = new Float32Array(CONTEXT + WINDOW);
    const reference = [];
    for (let start = 0; start < samples.length; start += WINDOW) {
        input.copyWithin(0, WINDOW, WINDOW + CONTEXT);
        if (start === 0) input.fill(0, 0, CONTEXT);
        input.fill(0, CONTEXT);
        input.set(samples.subarray(start, Math.min(start + WINDOW, samples.length)), CONTEXT);
        const out = await session.run({
            input: new ort.Tensor('float32', input, [1, CONTEXT + WINDOW]),
            state: new ort.Tensor('float32', state, [2, 1, 128]),
            sr,
        });
        reference.push(out.output.data[0]);
        state = Float32Array.from(out.stateN.data);
    }

    if (!oursPath) {
        process.stdout.write(reference.map((p) => p.toPrecision(9)).join('\n') + '\n');
        return;
    }
    const ours = fs.readFileSync(oursPath, 'utf8').split('\n').filter((l) => l.length).map(Number);
    if (ours.length !== reference.length) {
        console.error(`window count: ours ${ours.length}, reference ${reference.length}`);
        process.exit(1);
    }
    let worst = 0, worstAt = 0, decisions = 0, speech = 0;
    for (let k = 0; k < ours.length; k++) {
        const d = Math.abs(ours[k] - reference[k]);
        if (!(d <= worst)) { worst = d; worstAt = k; }
        if ((ours[k] >= 0.5) !== (reference[k] >= 0.5)) decisions++;
        if (reference[k] >= 0.5) speech++;
    }
    console.log(`${ours.length} windows (${speech} speech), largest difference ${worst.toExponential(3)}` +
        ` at window ${worstAt}, decisions at 0.5 that differ: ${decisions}`);
    if (!(worst <= TOLERANCE) || decisions !== 0) process.exit(1);
}

main().catch((e) => { console.error(e); process.exit(1); });
