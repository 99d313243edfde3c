// The speech model: the probability that each 32 ms window of the 16 kHz
// signal holds speech, block by block. A small network (a fixed STFT as a
// convolution, four convolutions, one LSTM of 128 units, one output unit)
// whose weights are built into the library (speech_weights.cpp).
#ifndef SILSPLIT_SPEECH_MODEL_H
#define SILSPLIT_SPEECH_MODEL_H

#include "base.h"

#include <cstddef>
#include <cstdint>

// Samples per window (32 ms at 16 kHz) and the samples of the window before
// it that the network sees as well.
constexpr int SIL_SPEECH_WINDOW = 512;
constexpr int SIL_SPEECH_CONTEXT = 64;
constexpr int SIL_SPEECH_UNITS = 128;

// The weights, pointers into the built-in block; shared, never freed.
struct sil_speech_weights {
    const float *stft;      // 256 taps x 258 (129 real then 129 imaginary bins)
    const float *conv_w[4]; // (in channels x 3 taps) x out channels
    const float *conv_b[4];
    const float *lstm_wi; // 128 inputs x 512 (gates i, f, g, o)
    const float *lstm_wh; // 128 hidden x 512
    const float *lstm_bi;
    const float *lstm_bh;
    const float *out_w; // 128
    const float *out_b; // 1
};

// Probabilities of 16 kHz mono samples: window j covers samples 512 j to
// 512 j + 511 and sees the 64 samples before it (zeros before the signal);
// the LSTM's state runs on from window to window. The last, partial window is
// zero-padded at finish. The probabilities depend on the samples only, never
// on how they were split into blocks, nor on the kernel.
struct sil_speech_stage {
    sil_speech_weights w;
    int kernel; // SIL_KERNEL_*, the widest the CPU has unless a test sets it
    float window[SIL_SPEECH_CONTEXT + SIL_SPEECH_WINDOW]; // context, then new samples
    int32_t filled;                                       // new samples in window
    float h[SIL_SPEECH_UNITS];
    float c[SIL_SPEECH_UNITS];
    float *probs; // heap array of count probabilities
    int64_t count;
    int64_t cap;
};

// Starts an empty stage. 0, or -1 with the message set (a damaged weight
// block, or out of memory).
int sil_speech_init(sil_speech_stage *s);
void sil_speech_free(sil_speech_stage *s);
// Pushes n samples. 0, or -1 with "out of memory".
int sil_speech_push(sil_speech_stage *s, const float *x, size_t n);
// Ends the signal: a partial last window gets its probability. 0, or -1 with
// "out of memory".
int sil_speech_finish(sil_speech_stage *s);

// For each of n_vec input vectors x + v x_step: y[v n_out + o] = sum over i
// of wt[i n_out + o] x[v x_step + i], the products added in input order,
// then bias[o] (when bias is not NULL); every kernel gives the plain loop's
// results bit for bit.
void sil_speech_matvec_with(int kernel, const float *wt, int n_in, int n_out, const float *x,
                            int n_vec, int x_step, const float *bias, float *y);

// The built-in weight block (speech_weights.cpp).
const unsigned char *sil_speech_weight_block(size_t *size);

#endif // SILSPLIT_SPEECH_MODEL_H
