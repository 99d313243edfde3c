// The speech model, window by window. Each window of 512 new samples, with
// the 64 before it, goes through
//   STFT:   the 576 samples, mirrored by 64 at the end (640), in 4 frames of
//           256 every 128, times a fixed 258 x 256 basis; magnitude of the
//           129 bins (4 x 129);
//   encoder: four convolutions of 3 taps (zero-padded by 1), each followed by
//           ReLU: 129 -> 128 channels (stride 1, 4 steps), 128 -> 64
//           (stride 2, 2 steps), 64 -> 64 (stride 2, 1 step), 64 -> 128
//           (stride 1, 1 step);
//   LSTM:   128 inputs, 128 units, state carried to the next window;
//   output: ReLU of the hidden state, one unit, sigmoid.
// Every product sum is a matrix-vector product with the products added in
// input order, so the vector kernels, which work on eight (AVX2) or sixteen
// (AVX-512) outputs side by side, give the plain loop's results exactly.
#include "speech_model.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int FFT_LEN = 256;
constexpr int FFT_HOP = 128;
constexpr int BINS = 129;
constexpr int FRAMES = 4;
constexpr int PADDED = SIL_SPEECH_CONTEXT + SIL_SPEECH_WINDOW + SIL_SPEECH_CONTEXT; // 640
constexpr int GATES = 4 * SIL_SPEECH_UNITS;
constexpr int64_t FIRST_CAPACITY = 1024;

// Channels of the four convolutions.
constexpr int CONV_IN[4] = {BINS, 128, 64, 64};
constexpr int CONV_OUT[4] = {128, 64, 64, 128};

// Element counts of the weight block's tensors, in their order.
constexpr uint32_t TENSOR_SIZES[15] = {FFT_LEN * 2 * BINS,
                                       3 * BINS * 128,
                                       128,
                                       3 * 128 * 64,
                                       64,
                                       3 * 64 * 64,
                                       64,
                                       3 * 64 * 128,
                                       128,
                                       SIL_SPEECH_UNITS *GATES,
                                       SIL_SPEECH_UNITS *GATES,
                                       GATES,
                                       GATES,
                                       SIL_SPEECH_UNITS,
                                       1};
constexpr size_t HEADER_BYTES = 8 + 4 + 4 + 4 * 15;

} // namespace

// ---------------------------------------------------------------------------
// Matrix-vector products
// ---------------------------------------------------------------------------

static void matvec_plain(const float *wt, int n_in, int n_out, const float *x, float *y) {
    for (int o = 0; o < n_out; o++)
        y[o] = 0.0f;
    for (int i = 0; i < n_in; i++) {
        const float xi = x[i];
        const float *row = wt + (size_t)i * n_out;
        for (int o = 0; o < n_out; o++)
            y[o] += row[o] * xi;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The vector loops compute outputs [0, n_out) of weights whose rows hold ld
// outputs (y's vectors are ld apart), so that a wider loop can hand its
// remainder to a narrower one.

// One input vector: sixty-four outputs at a time in eight registers (the adds
// of different outputs overlap in the pipeline), then eight, then one by one;
// separate multiplies and adds, as in the plain loop.
__attribute__((target("avx2"))) static void matvec_avx2(const float *wt, int n_in, int n_out,
                                                        int ld, const float *x, float *y) {
    int o = 0;
    for (; o + 64 <= n_out; o += 64) {
        __m256 a[8];
        for (__m256 &r : a)
            r = _mm256_setzero_ps();
        const float *col = wt + o;
        for (int i = 0; i < n_in; i++, col += ld) {
            const __m256 xi = _mm256_set1_ps(x[i]);
            for (int r = 0; r < 8; r++)
                a[r] = _mm256_add_ps(a[r], _mm256_mul_ps(_mm256_loadu_ps(col + 8 * r), xi));
        }
        for (int r = 0; r < 8; r++)
            _mm256_storeu_ps(y + o + 8 * r, a[r]);
    }
    for (; o + 8 <= n_out; o += 8) {
        __m256 a = _mm256_setzero_ps();
        const float *col = wt + o;
        for (int i = 0; i < n_in; i++, col += ld)
            a = _mm256_add_ps(a, _mm256_mul_ps(_mm256_loadu_ps(col), _mm256_set1_ps(x[i])));
        _mm256_storeu_ps(y + o, a);
    }
    for (; o < n_out; o++) {
        float a = 0.0f;
        for (int i = 0; i < n_in; i++)
            a += wt[(size_t)i * ld + o] * x[i];
        y[o] = a;
    }
}

// V input vectors x_step apart against the same weights: sixteen outputs of
// all of them at a time, so each weight is loaded once for the V products.
template <int V>
__attribute__((target("avx2"))) static void matvecs_avx2(const float *wt, int n_in, int n_out,
                                                         int ld, const float *x, int x_step,
                                                         float *y) {
    int o = 0;
    for (; o + 16 <= n_out; o += 16) {
        __m256 a[V][2];
        for (int v = 0; v < V; v++)
            a[v][0] = a[v][1] = _mm256_setzero_ps();
        const float *col = wt + o;
        for (int i = 0; i < n_in; i++, col += ld) {
            const __m256 w0 = _mm256_loadu_ps(col), w1 = _mm256_loadu_ps(col + 8);
            for (int v = 0; v < V; v++) {
                const __m256 xv = _mm256_set1_ps(x[v * x_step + i]);
                a[v][0] = _mm256_add_ps(a[v][0], _mm256_mul_ps(w0, xv));
                a[v][1] = _mm256_add_ps(a[v][1], _mm256_mul_ps(w1, xv));
            }
        }
        for (int v = 0; v < V; v++) {
            _mm256_storeu_ps(y + v * ld + o, a[v][0]);
            _mm256_storeu_ps(y + v * ld + o + 8, a[v][1]);
        }
    }
    for (; o < n_out; o++)
        for (int v = 0; v < V; v++) {
            float a = 0.0f;
            for (int i = 0; i < n_in; i++)
                a += wt[(size_t)i * ld + o] * x[v * x_step + i];
            y[v * ld + o] = a;
        }
}

// The same with sixteen-float registers: one input vector 128 outputs at a
// time and then sixteen, V vectors 32 at a time; the AVX2 loops take the
// rest.
__attribute__((target("avx512f,avx2"))) static void matvec_avx512(const float *wt, int n_in,
                                                                  int n_out, const float *x,
                                                                  float *y) {
    int o = 0;
    for (; o + 128 <= n_out; o += 128) {
        __m512 a[8];
        for (__m512 &r : a)
            r = _mm512_setzero_ps();
        const float *col = wt + o;
        for (int i = 0; i < n_in; i++, col += n_out) {
            const __m512 xi = _mm512_set1_ps(x[i]);
            for (int r = 0; r < 8; r++)
                a[r] = _mm512_add_ps(a[r], _mm512_mul_ps(_mm512_loadu_ps(col + 16 * r), xi));
        }
        for (int r = 0; r < 8; r++)
            _mm512_storeu_ps(y + o + 16 * r, a[r]);
    }
    for (; o + 16 <= n_out; o += 16) {
        __m512 a = _mm512_setzero_ps();
        const float *col = wt + o;
        for (int i = 0; i < n_in; i++, col += n_out)
            a = _mm512_add_ps(a, _mm512_mul_ps(_mm512_loadu_ps(col), _mm512_set1_ps(x[i])));
        _mm512_storeu_ps(y + o, a);
    }
    if (o < n_out)
        matvec_avx2(wt + o, n_in, n_out - o, n_out, x, y + o);
}

template <int V>
__attribute__((target("avx512f,avx2"))) static void matvecs_avx512(const float *wt, int n_in,
                                                                   int n_out, const float *x,
                                                                   int x_step, float *y) {
    constexpr int R = V > 2 ? 4 : 8; // registers per vector: 64 or 128 outputs
    int o = 0;
    for (; o + 16 * R <= n_out; o += 16 * R) {
        __m512 a[V][R];
        for (int v = 0; v < V; v++)
            for (int r = 0; r < R; r++)
                a[v][r] = _mm512_setzero_ps();
        const float *col = wt + o;
        for (int i = 0; i < n_in; i++, col += n_out) {
            __m512 w[R];
            for (int r = 0; r < R; r++)
                w[r] = _mm512_loadu_ps(col + 16 * r);
            for (int v = 0; v < V; v++) {
                const __m512 xv = _mm512_set1_ps(x[v * x_step + i]);
                for (int r = 0; r < R; r++)
                    a[v][r] = _mm512_add_ps(a[v][r], _mm512_mul_ps(w[r], xv));
            }
        }
        for (int v = 0; v < V; v++)
            for (int r = 0; r < R; r++)
                _mm512_storeu_ps(y + v * n_out + o + 16 * r, a[v][r]);
    }
    for (; o + 32 <= n_out; o += 32) {
        __m512 a[V][2];
        for (int v = 0; v < V; v++)
            a[v][0] = a[v][1] = _mm512_setzero_ps();
        const float *col = wt + o;
        for (int i = 0; i < n_in; i++, col += n_out) {
            const __m512 w0 = _mm512_loadu_ps(col), w1 = _mm512_loadu_ps(col + 16);
            for (int v = 0; v < V; v++) {
                const __m512 xv = _mm512_set1_ps(x[v * x_step + i]);
                a[v][0] = _mm512_add_ps(a[v][0], _mm512_mul_ps(w0, xv));
                a[v][1] = _mm512_add_ps(a[v][1], _mm512_mul_ps(w1, xv));
            }
        }
        for (int v = 0; v < V; v++) {
            _mm512_storeu_ps(y + v * n_out + o, a[v][0]);
            _mm512_storeu_ps(y + v * n_out + o + 16, a[v][1]);
        }
    }
    if (o < n_out)
        matvecs_avx2<V>(wt + o, n_in, n_out - o, n_out, x, x_step, y + o);
}
#endif

void sil_speech_matvec_with(int kernel, const float *wt, int n_in, int n_out, const float *x,
                            int n_vec, int x_step, const float *bias, float *y) {
    int v = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (kernel >= SIL_KERNEL_AVX512) {
        for (; v + 4 <= n_vec; v += 4)
            matvecs_avx512<4>(wt, n_in, n_out, x + v * x_step, x_step, y + v * n_out);
        if (n_vec - v == 3)
            matvecs_avx512<3>(wt, n_in, n_out, x + v * x_step, x_step, y + v * n_out);
        else if (n_vec - v == 2)
            matvecs_avx512<2>(wt, n_in, n_out, x + v * x_step, x_step, y + v * n_out);
        else if (n_vec - v == 1)
            matvec_avx512(wt, n_in, n_out, x + v * x_step, y + v * n_out);
        v = n_vec;
    } else if (kernel >= SIL_KERNEL_AVX2) {
        for (; v + 4 <= n_vec; v += 4)
            matvecs_avx2<4>(wt, n_in, n_out, n_out, x + v * x_step, x_step, y + v * n_out);
        if (n_vec - v == 3)
            matvecs_avx2<3>(wt, n_in, n_out, n_out, x + v * x_step, x_step, y + v * n_out);
        else if (n_vec - v == 2)
            matvecs_avx2<2>(wt, n_in, n_out, n_out, x + v * x_step, x_step, y + v * n_out);
        else if (n_vec - v == 1)
            matvec_avx2(wt, n_in, n_out, n_out, x + v * x_step, y + v * n_out);
        v = n_vec;
    }
#endif
    (void)kernel;
    for (; v < n_vec; v++)
        matvec_plain(wt, n_in, n_out, x + v * x_step, y + v * n_out);
    if (bias)
        for (v = 0; v < n_vec; v++)
            for (int o = 0; o < n_out; o++)
                y[v * n_out + o] += bias[o];
}

// ---------------------------------------------------------------------------
// One window
// ---------------------------------------------------------------------------

static inline float sigmoid(float v) { return 1.0f / (1.0f + std::exp(-v)); }

// tanh through exp: the C library's tanhf goes through expm1f and took a
// fifth of the model's time; this form is within 2e-7 of it, far inside the
// model's tolerance, and saturates to +-1 cleanly (exp overflows to infinity).
static inline float tanh_by_exp(float v) { return 1.0f - 2.0f / (std::exp(2.0f * v) + 1.0f); }

static inline void relu(float *v, int n) {
    for (int k = 0; k < n; k++)
        v[k] = v[k] > 0.0f ? v[k] : 0.0f;
}

// Convolution of 3 taps, zero-padded by one step on each side, then ReLU:
// steps_in steps of n_in channels (step-major) to steps_out of layer's
// outputs, the taps of step t being input steps stride t - 1 to stride t + 1.
static void conv_layer(const sil_speech_stage *s, int layer, const float *in, int steps_in,
                       int stride, int steps_out, float *col, float *out) {
    const int n_in = CONV_IN[layer], n_out = CONV_OUT[layer];
    for (int t = 0; t < steps_out; t++)
        for (int c = 0; c < n_in; c++)
            for (int k = 0; k < 3; k++) {
                const int src = stride * t + k - 1;
                col[t * 3 * n_in + c * 3 + k] =
                    src >= 0 && src < steps_in ? in[src * n_in + c] : 0.0f;
            }
    sil_speech_matvec_with(s->kernel, s->w.conv_w[layer], 3 * n_in, n_out, col, steps_out, 3 * n_in,
                           s->w.conv_b[layer], out);
    relu(out, steps_out * n_out);
}

// The probability of the window in s->window; advances the LSTM's state.
static float run_window(sil_speech_stage *s) {
    float x[PADDED];
    const int n = SIL_SPEECH_CONTEXT + SIL_SPEECH_WINDOW;
    memcpy(x, s->window, sizeof s->window);
    // Mirrored about the last sample, which is not repeated.
    for (int j = 0; j < SIL_SPEECH_CONTEXT; j++)
        x[n + j] = s->window[n - 2 - j];

    float spec[FRAMES * 2 * BINS];
    float mag[FRAMES * BINS];
    sil_speech_matvec_with(s->kernel, s->w.stft, FFT_LEN, 2 * BINS, x, FRAMES, FFT_HOP, nullptr,
                           spec);
    for (int t = 0; t < FRAMES; t++)
        for (int b = 0; b < BINS; b++) {
            const float re = spec[t * 2 * BINS + b], im = spec[t * 2 * BINS + BINS + b];
            mag[t * BINS + b] = std::sqrt(re * re + im * im);
        }

    float col[FRAMES * 3 * BINS];
    float e0[FRAMES * 128], e1[2 * 64], e2[64], e3[128];
    conv_layer(s, 0, mag, FRAMES, 1, FRAMES, col, e0);
    conv_layer(s, 1, e0, FRAMES, 2, 2, col, e1);
    conv_layer(s, 2, e1, 2, 2, 1, col, e2);
    conv_layer(s, 3, e2, 1, 1, 1, col, e3);

    float gi[GATES], gh[GATES];
    sil_speech_matvec_with(s->kernel, s->w.lstm_wi, SIL_SPEECH_UNITS, GATES, e3, 1, 0, s->w.lstm_bi,
                           gi);
    sil_speech_matvec_with(s->kernel, s->w.lstm_wh, SIL_SPEECH_UNITS, GATES, s->h, 1, 0,
                           s->w.lstm_bh, gh);
    const int u = SIL_SPEECH_UNITS;
    float out = 0.0f;
    for (int k = 0; k < u; k++) {
        const float in_gate = sigmoid(gi[k] + gh[k]);
        const float forget = sigmoid(gi[u + k] + gh[u + k]);
        const float cell = tanh_by_exp(gi[2 * u + k] + gh[2 * u + k]);
        const float out_gate = sigmoid(gi[3 * u + k] + gh[3 * u + k]);
        s->c[k] = forget * s->c[k] + in_gate * cell;
        s->h[k] = out_gate * tanh_by_exp(s->c[k]);
        out += s->w.out_w[k] * (s->h[k] > 0.0f ? s->h[k] : 0.0f);
    }
    return sigmoid(out + s->w.out_b[0]);
}

// Runs the full window, stores its probability and keeps its last 64
// samples as the next window's context. 0, or -1 with "out of memory".
static int emit_window(sil_speech_stage *s) {
    const float p = run_window(s);
    if (s->count == s->cap) {
        const int64_t cap = s->cap ? s->cap * 2 : FIRST_CAPACITY;
        float *grown = static_cast<float *>(realloc(s->probs, (size_t)cap * sizeof(float)));
        if (!grown) {
            sil_fail_memory();
            return -1;
        }
        s->probs = grown;
        s->cap = cap;
    }
    s->probs[s->count++] = p;
    memmove(s->window, s->window + SIL_SPEECH_WINDOW, SIL_SPEECH_CONTEXT * sizeof(float));
    s->filled = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// The stage
// ---------------------------------------------------------------------------

// Points w at the tensors of the built-in block after checking its header,
// so a damaged or mismatched block is an error, never a wrong read.
static int bind_weights(sil_speech_weights *w) {
    size_t size = 0;
    const unsigned char *block = sil_speech_weight_block(&size);
    size_t total = 0;
    for (uint32_t n : TENSOR_SIZES)
        total += n;
    uint32_t head[2 + 15];
    if (size != HEADER_BYTES + total * sizeof(float) || memcmp(block, "SILVAD16", 8) != 0) {
        sil_set_error("the speech model's weights are damaged");
        return -1;
    }
    memcpy(head, block + 8, sizeof head);
    if (head[0] != 1 || head[1] != 15 || memcmp(head + 2, TENSOR_SIZES, sizeof TENSOR_SIZES) != 0) {
        sil_set_error("the speech model's weights are damaged");
        return -1;
    }
    // The block starts 64-byte aligned and the header is a whole number of
    // floats, so every tensor is a properly aligned float array.
    const float *p = reinterpret_cast<const float *>(block + HEADER_BYTES);
    const float *t[15];
    for (int k = 0; k < 15; k++) {
        t[k] = p;
        p += TENSOR_SIZES[k];
    }
    w->stft = t[0];
    for (int k = 0; k < 4; k++) {
        w->conv_w[k] = t[1 + 2 * k];
        w->conv_b[k] = t[2 + 2 * k];
    }
    w->lstm_wi = t[9];
    w->lstm_wh = t[10];
    w->lstm_bi = t[11];
    w->lstm_bh = t[12];
    w->out_w = t[13];
    w->out_b = t[14];
    return 0;
}

int sil_speech_init(sil_speech_stage *s) {
    memset(s, 0, sizeof *s);
    if (bind_weights(&s->w) != 0)
        return -1;
    s->kernel = sil_widest_kernel();
    return 0;
}

void sil_speech_free(sil_speech_stage *s) {
    free(s->probs);
    s->probs = nullptr;
    s->count = s->cap = 0;
}

int sil_speech_push(sil_speech_stage *s, const float *x, size_t n) {
    while (n > 0) {
        const size_t room = (size_t)(SIL_SPEECH_WINDOW - s->filled);
        const size_t take = n < room ? n : room;
        memcpy(s->window + SIL_SPEECH_CONTEXT + s->filled, x, take * sizeof(float));
        s->filled += (int32_t)take;
        x += take;
        n -= take;
        if (s->filled == SIL_SPEECH_WINDOW && emit_window(s) != 0)
            return -1;
    }
    return 0;
}

int sil_speech_finish(sil_speech_stage *s) {
    if (s->filled == 0)
        return 0;
    memset(s->window + SIL_SPEECH_CONTEXT + s->filled, 0,
           (size_t)(SIL_SPEECH_WINDOW - s->filled) * sizeof(float));
    return emit_window(s);
}
