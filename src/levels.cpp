// The level curve: the level in dB of each 20 ms frame (320 samples at
// 16 kHz) taken every 10 ms, fed a block of samples at a time. A frame's
// squares are summed in double in sample order, so its level depends on its
// own samples only, never on how the signal was split into blocks.
#include "silsplit_internal.h"

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
#if defined(__SANITIZE_THREAD__)
#define SIL_FRAME_CLONES
#else
#define SIL_FRAME_CLONES __attribute__((target_clones("avx2", "default")))
#endif
SIL_FRAME_CLONES static void full_frame_levels(const float *x, int64_t count, float *level) {
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

// ---------------------------------------------------------------------------
// Streaming
// ---------------------------------------------------------------------------

int64_t sil_level_count(int64_t n16) { return n16 < SIL_FRAME_LEN ? 1 : n16 / SIL_HOP - 1; }

int sil_levels_init(sil_level_stage *s, int64_t expect) {
    memset(s, 0, sizeof *s);
    if (expect > 0) {
        s->curve = static_cast<float *>(malloc((size_t)expect * sizeof(float)));
        if (!s->curve) {
            sil_set_error("out of memory");
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
        sil_set_error("out of memory");
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
    const int64_t start = (int64_t)SIL_HOP * s->count - s->received;
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

int sil_frame_levels(const float *samples, int n, float **out, int32_t *out_frames,
                     sil_progress *progress) {
    *out = nullptr;
    *out_frames = 0;
    if (n <= 0 || !samples) {
        sil_set_error("invalid detect args");
        return -1;
    }
    if (sil_progress_report(progress, SIL_PCT_RESAMPLE_END, SIL_STAGE_DETECT) != 0)
        return -1;

    const int32_t frames = (int32_t)sil_level_count(n);
    sil_heap_ptr<float> curve(static_cast<float *>(malloc((size_t)frames * sizeof(float))));
    if (!curve) {
        sil_set_error("out of memory");
        return -1;
    }
    float *level = curve.get();
    if (n < SIL_FRAME_LEN) {
        level[0] = frame_level(samples, 0, n);
        if (sil_progress_report(progress, SIL_PCT_RESAMPLE_END, SIL_STAGE_DETECT) != 0)
            return -1;
    } else {
        // Every frame is whole here; a report goes out every SIL_DETECT_STEP frames.
        for (int64_t k = 0; k < frames; k += SIL_DETECT_STEP) {
            const int64_t end = frames - k < SIL_DETECT_STEP ? frames : k + SIL_DETECT_STEP;
            full_frame_levels(samples + SIL_HOP * k, end - k, level + k);
            const int pct = SIL_PCT_RESAMPLE_END +
                            (int)((double)k / (double)frames *
                                  (SIL_PCT_DETECT_END - SIL_PCT_RESAMPLE_END));
            if (sil_progress_report(progress, pct, SIL_STAGE_DETECT) != 0)
                return -1;
        }
    }
    if (sil_progress_report(progress, SIL_PCT_DETECT_END, SIL_STAGE_DETECT) != 0)
        return -1;
    *out = curve.release();
    *out_frames = frames;
    return 0;
}
