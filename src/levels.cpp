// The level curve: the level in dB of each 20 ms frame (320 samples at
// 16 kHz) taken every 10 ms, fed a block of samples at a time. A frame's
// squares are summed in double in sample order, so its level depends on its
// own samples only, never on how the signal was split into blocks.
#include "levels.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr float SILENCE_DB = -120.0f;
constexpr double RMS_FLOOR = 1e-12;
constexpr int64_t FIRST_CAPACITY = 1024;

} // namespace

// ---------------------------------------------------------------------------
// One frame
// ---------------------------------------------------------------------------

// Level in dB of a frame from its sum of squares over len samples. The floor
// applies to the RMS, not the level, so an RMS of 1e-9 still reads -180 dB.
static inline float level_of(double sum_sq, int64_t len) {
    // Only an infinite sample makes the sum infinite (the square of the
    // largest float is far below the double range). Such a frame has no level,
    // like a frame with a NaN: neither loud nor silent, never a peak.
    if (std::isinf(sum_sq))
        return std::numeric_limits<float>::quiet_NaN();
    const double rms = std::sqrt(sum_sq / (double)len);
    if (rms < RMS_FLOOR)
        return SILENCE_DB;
    return (float)(20.0 * std::log10(rms));
}

// Level of samples [a, b), the squares summed in double in sample order.
static float frame_level(const float *x, int64_t a, int64_t b) {
    if (b <= a)
        return SILENCE_DB;
    double sum = 0.0;
    for (int64_t k = a; k < b; k++) {
        const double v = (double)x[k];
        sum += v * v;
    }
    return level_of(sum, b - a);
}

// Levels of count whole frames, frame j starting at x + 160 j. Eight frames
// are summed side by side, each in its own accumulator and in its own sample
// order, so the results are those of frame_level while the adds of different
// frames overlap in the pipeline.
// ThreadSanitizer instruments the clones' resolver, which the dynamic loader
// runs before the sanitizer's runtime is ready: such builds keep one version.
// GCC says so with __SANITIZE_THREAD__, clang only through __has_feature.
#if defined(__SANITIZE_THREAD__)
#define SIL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SIL_THREAD_SANITIZER 1
#endif
#endif
#if defined(SIL_THREAD_SANITIZER)
#define SIL_FRAME_CLONES
#else
#define SIL_FRAME_CLONES __attribute__((target_clones("avx2", "default")))
#endif
SIL_FRAME_CLONES static void frame_levels_plain(const float *x, int64_t count, float *level) {
    constexpr int LANES = 8;
    int64_t k = 0;
    for (; count - k >= LANES; k += LANES) {
        const float *p = x + (int64_t)SIL_HOP * k;
        double sum[LANES] = {};
        for (int t = 0; t < SIL_FRAME_LEN; t++) {
            for (int f = 0; f < LANES; f++) {
                const double v = (double)p[f * SIL_HOP + t];
                sum[f] += v * v;
            }
        }
        for (int f = 0; f < LANES; f++)
            level[k + f] = level_of(sum[f], SIL_FRAME_LEN);
    }
    for (; k < count; k++)
        level[k] = frame_level(x, (int64_t)SIL_HOP * k, (int64_t)SIL_HOP * k + SIL_FRAME_LEN);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(SIL_THREAD_SANITIZER)
#define SIL_LEVELS_AVX512 1
// GCC 12's own AVX-512 headers leave the pass-through operand of unmasked
// forms undefined on purpose, and then warn about it.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
// Transposes eight rows of eight floats: column j of the rows becomes r[j].
__attribute__((target("avx512f,avx2"), always_inline)) static inline void
transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// The same sums sixteen frames at a time with AVX-512: two accumulators of
// eight doubles, one lane per frame. Eight samples of each of eight frames
// are loaded as rows and transposed, so each step adds the next sample of
// every frame, in each frame's own sample order.
__attribute__((target("avx512f,avx2"))) static void frame_levels_avx512(const float *x,
                                                                       int64_t count,
                                                                       float *level) {
    constexpr int GROUP = 16;
    int64_t k = 0;
    for (; count - k >= GROUP; k += GROUP) {
        const float *p = x + (int64_t)SIL_HOP * k;
        __m512d acc0 = _mm512_setzero_pd(), acc1 = _mm512_setzero_pd();
        for (int t = 0; t < SIL_FRAME_LEN; t += 8) {
            __m256 r0[8], r1[8];
            for (int f = 0; f < 8; f++) {
                r0[f] = _mm256_loadu_ps(p + f * SIL_HOP + t);
                r1[f] = _mm256_loadu_ps(p + (f + 8) * SIL_HOP + t);
            }
            transpose8(r0);
            transpose8(r1);
            for (int j = 0; j < 8; j++) {
                const __m512d v0 = _mm512_cvtps_pd(r0[j]);
                const __m512d v1 = _mm512_cvtps_pd(r1[j]);
                acc0 = _mm512_add_pd(acc0, _mm512_mul_pd(v0, v0));
                acc1 = _mm512_add_pd(acc1, _mm512_mul_pd(v1, v1));
            }
        }
        double sum[GROUP];
        _mm512_storeu_pd(sum, acc0);
        _mm512_storeu_pd(sum + 8, acc1);
        for (int f = 0; f < GROUP; f++)
            level[k + f] = level_of(sum[f], SIL_FRAME_LEN);
    }
    frame_levels_plain(x + (int64_t)SIL_HOP * k, count - k, level + k);
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

void sil_frame_levels_with(int kernel, const float *x, int64_t count, float *level) {
#if defined(SIL_LEVELS_AVX512)
    if (kernel == SIL_KERNEL_AVX512) {
        frame_levels_avx512(x, count, level);
        return;
    }
#endif
    (void)kernel;
    frame_levels_plain(x, count, level);
}

static void full_frame_levels(const float *x, int64_t count, float *level) {
    sil_frame_levels_with(sil_widest_kernel(), x, count, level);
}

// ---------------------------------------------------------------------------
// Streaming
// ---------------------------------------------------------------------------

int64_t sil_level_count(int64_t n16) { return n16 < SIL_FRAME_LEN ? 1 : n16 / SIL_HOP - 1; }

int sil_levels_init(sil_level_stage *s, int64_t expect) {
    memset(s, 0, sizeof *s);
    if (expect > 0) {
        s->curve = static_cast<float *>(malloc((size_t)expect * sizeof(float)));
        if (!s->curve) {
            sil_fail_memory();
            return -1;
        }
        s->cap = expect;
    }
    return 0;
}

void sil_levels_free(sil_level_stage *s) {
    free(s->curve);
    s->curve = nullptr;
    s->count = s->cap = 0;
}

// Room for n more levels. 0, or -1 with "out of memory".
static int reserve(sil_level_stage *s, int64_t n) {
    if (s->count + n <= s->cap)
        return 0;
    int64_t cap = s->cap ? s->cap : FIRST_CAPACITY;
    while (cap < s->count + n)
        cap *= 2;
    float *grown = static_cast<float *>(realloc(s->curve, (size_t)cap * sizeof(float)));
    if (!grown) {
        sil_fail_memory();
        return -1;
    }
    s->curve = grown;
    s->cap = cap;
    return 0;
}

int sil_levels_push(sil_level_stage *s, const float *x, size_t n) {
    if (n == 0)
        return 0;
    // Every frame that starts before x ends within its first 320 samples:
    // those frames are measured on the pending samples and as many of x's as
    // they need.
    size_t used = 0;
    if (s->pending_len > 0) {
        const int64_t pending_frames = (s->pending_len + SIL_HOP - 1) / SIL_HOP;
        const size_t need = (size_t)((pending_frames - 1) * SIL_HOP + SIL_FRAME_LEN -
                                     s->pending_len);
        used = n < need ? n : need;
        memcpy(s->pending + s->pending_len, x, used * sizeof(float));
        const int32_t have = s->pending_len + (int32_t)used;
        const int64_t whole = have < SIL_FRAME_LEN ? 0 : (have - SIL_FRAME_LEN) / SIL_HOP + 1;
        if (reserve(s, whole) != 0)
            return -1;
        for (int64_t f = 0; f < whole; f++)
            s->curve[s->count++] =
                frame_level(s->pending, f * SIL_HOP, f * SIL_HOP + SIL_FRAME_LEN);
        if (used < need) {
            // x ran out first: what is left waits for the next block.
            const int32_t drop = (int32_t)(whole * SIL_HOP);
            memmove(s->pending, s->pending + drop, (size_t)(have - drop) * sizeof(float));
            s->pending_len = have - drop;
            s->received += (int64_t)n;
            return 0;
        }
        s->pending_len = 0;
    }
    // The next frame starts in x, at offset start.
    const int64_t start = (int64_t)SIL_HOP * (s->forgotten + s->count) - s->received;
    const int64_t avail = (int64_t)n - start;
    const int64_t whole = avail < SIL_FRAME_LEN ? 0 : (avail - SIL_FRAME_LEN) / SIL_HOP + 1;
    if (reserve(s, whole) != 0)
        return -1;
    full_frame_levels(x + start, whole, s->curve + s->count);
    s->count += whole;
    const int64_t rest = start + whole * SIL_HOP;
    s->pending_len = (int32_t)((int64_t)n - rest);
    memcpy(s->pending, x + rest, (size_t)s->pending_len * sizeof(float));
    s->received += (int64_t)n;
    return 0;
}

void sil_levels_forget(sil_level_stage *s) {
    s->forgotten += s->count;
    s->count = 0;
}

int sil_levels_finish(sil_level_stage *s) {
    if (s->received <= 0) {
        sil_set_error("invalid detect args");
        return -1;
    }
    if (s->received < SIL_FRAME_LEN) {
        // A single frame over the whole short signal.
        if (reserve(s, 1) != 0)
            return -1;
        s->curve[s->count++] = frame_level(s->pending, 0, s->received);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Whole buffers
// ---------------------------------------------------------------------------
