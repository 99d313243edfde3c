// The resampler: linear interpolation from any rate to 16 kHz, fed a block
// at a time. Output i lies at input position p = i / ratio (a division by the
// ratio, not a multiplication by its inverse, so that every position is the
// correctly rounded quotient) and is in[i0] × (1 − frac) + frac × in[i0 + 1],
// in double, rounded to float once. Only the few inputs that later outputs
// still need are carried from one block to the next.
#include "resampler.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// One output
// ---------------------------------------------------------------------------

static inline float mix(float a, float b, double frac) {
    return (float)((double)a * (1.0 - frac) + frac * (double)b);
}

// Outputs first .. end-1, all of whose inputs lie in block x, which holds
// inputs base .. base + n - 1.
static void interpolate_block(const float *x, int64_t base, double ratio, float *out,
                              int64_t first, int64_t end) {
    for (int64_t i = first; i < end; i++) {
        const double p = (double)i / ratio;
        const int64_t i0 = (int64_t)p;
        *out++ = mix(x[i0 - base], x[i0 + 1 - base], p - (double)i0);
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same arithmetic four outputs at a time, two groups in flight: the same
// divisions, the same products and sums (AVX2 alone, without FMA, so nothing
// is fused), the same rounding. Positions are truncated in double, so they
// stay exact however long the stream.
__attribute__((target("avx2"))) static void interpolate_block_avx2(const float *x, int64_t base,
                                                                   double ratio, float *out,
                                                                   int64_t first, int64_t end) {
    int64_t i = first;
    const __m256d vratio = _mm256_set1_pd(ratio);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d vbase = _mm256_set1_pd((double)base);
    const __m256d step = _mm256_set1_pd(4.0);
    __m256d vi = _mm256_set_pd((double)i + 3.0, (double)i + 2.0, (double)i + 1.0, (double)i);
    for (; end - i >= 4; i += 4) {
        const __m256d p = _mm256_div_pd(vi, vratio);
        vi = _mm256_add_pd(vi, step);
        const __m256d t = _mm256_round_pd(p, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d frac = _mm256_sub_pd(p, t);
        int32_t k[4];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(k),
                         _mm256_cvttpd_epi32(_mm256_sub_pd(t, vbase)));
        // Plain loads: faster than gather instructions on the CPUs we measured.
        const __m256d a = _mm256_cvtps_pd(_mm_setr_ps(x[k[0]], x[k[1]], x[k[2]], x[k[3]]));
        const __m256d b =
            _mm256_cvtps_pd(_mm_setr_ps(x[k[0] + 1], x[k[1] + 1], x[k[2] + 1], x[k[3] + 1]));
        const __m256d v =
            _mm256_add_pd(_mm256_mul_pd(a, _mm256_sub_pd(one, frac)), _mm256_mul_pd(frac, b));
        _mm_storeu_ps(out + (i - first), _mm256_cvtpd_ps(v));
    }
    interpolate_block(x, base, ratio, out + (i - first), i, end);
}

// Eight outputs at a time with AVX-512: two groups of four divisions in one
// instruction, the positions truncated in double as above. The inputs of
// eight neighbouring outputs lie within 32 samples for rates up to about
// 60 kHz: they are picked from two vector loads by a permutation; a wider
// spread (or the end of the block) takes a gather instead.
// GCC 12's own AVX-512 headers leave the pass-through operand of unmasked
// forms undefined on purpose, and then warn about it.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
__attribute__((target("avx512f,avx512vl,avx512dq,avx2"))) static void
interpolate_block_avx512(const float *x, int64_t base, int64_t n, double ratio, float *out,
                         int64_t first, int64_t end) {
    int64_t i = first;
    const __m512d vratio = _mm512_set1_pd(ratio);
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d vbase = _mm512_set1_pd((double)base);
    const __m512d step = _mm512_set1_pd(8.0);
    const __m256i vone = _mm256_set1_epi32(1);
    __m512d vi = _mm512_add_pd(_mm512_set1_pd((double)i),
                               _mm512_setr_pd(0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0));
    for (; end - i >= 8; i += 8) {
        const __m512d p = _mm512_div_pd(vi, vratio);
        vi = _mm512_add_pd(vi, step);
        const __m512d t = _mm512_roundscale_pd(p, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m512d frac = _mm512_sub_pd(p, t);
        const __m256i k = _mm512_cvttpd_epi32(_mm512_sub_pd(t, vbase));
        const int32_t k_first = _mm_cvtsi128_si32(_mm256_castsi256_si128(k));
        const int32_t k_last = _mm256_extract_epi32(k, 7);
        __m256 a, b;
        if (k_last - k_first <= 30 && (int64_t)k_first + 32 <= n) {
            const __m512 lo = _mm512_loadu_ps(x + k_first);
            const __m512 hi = _mm512_loadu_ps(x + k_first + 16);
            const __m256i rel = _mm256_sub_epi32(k, _mm256_set1_epi32(k_first));
            a = _mm512_castps512_ps256(
                _mm512_permutex2var_ps(lo, _mm512_castsi256_si512(rel), hi));
            b = _mm512_castps512_ps256(_mm512_permutex2var_ps(
                lo, _mm512_castsi256_si512(_mm256_add_epi32(rel, vone)), hi));
        } else {
            a = _mm256_i32gather_ps(x, k, 4);
            b = _mm256_i32gather_ps(x + 1, k, 4);
        }
        const __m512d va = _mm512_cvtps_pd(a);
        const __m512d vb = _mm512_cvtps_pd(b);
        const __m512d v = _mm512_add_pd(_mm512_mul_pd(va, _mm512_sub_pd(one, frac)),
                                        _mm512_mul_pd(frac, vb));
        _mm256_storeu_ps(out + (i - first), _mm512_cvtpd_ps(v));
    }
    interpolate_block(x, base, ratio, out + (i - first), i, end);
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

void sil_resample_block_with(int kernel, const float *x, int64_t base, int64_t n, double ratio,
                             float *out, int64_t first, int64_t end) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (kernel == SIL_KERNEL_AVX512) {
        interpolate_block_avx512(x, base, n, ratio, out, first, end);
        return;
    }
    if (kernel == SIL_KERNEL_AVX2) {
        interpolate_block_avx2(x, base, ratio, out, first, end);
        return;
    }
#endif
    (void)n;
    interpolate_block(x, base, ratio, out, first, end);
}

// ---------------------------------------------------------------------------
// Streaming
// ---------------------------------------------------------------------------

int64_t sil_resampled_length(int64_t n, int32_t rate) {
    const double m = std::trunc((double)n * ((double)SIL_ANALYSIS_RATE / (double)rate));
    return m < 1.0 ? 1 : (int64_t)m;
}

void sil_resampler_init(sil_resampler *r, int32_t rate) {
    *r = sil_resampler{};
    r->ratio = (double)SIL_ANALYSIS_RATE / (double)rate;
}

void sil_resampler_free(sil_resampler *r) {
    free(r->carry);
    r->carry = nullptr;
    r->carry_cap = 0;
}

size_t sil_resampler_max_out(const sil_resampler *r, size_t n) {
    // The outputs held back before this block start at most ratio + 1 before
    // the first one the block completes.
    return (size_t)std::ceil(((double)n + 3.0) * r->ratio) + 4;
}

// Input j of the stream: from the carried inputs or from the block.
static inline float input_at(const sil_resampler *r, const float *x, int64_t j) {
    return j < r->in_count ? r->carry[j - r->carry_start] : x[j - r->in_count];
}

// Keeps inputs [keep, total) for the outputs still to come.
static int update_carry(sil_resampler *r, const float *x, size_t n, int64_t keep) {
    const int64_t total = r->in_count + (int64_t)n;
    if (keep > total - 1)
        keep = total - 1; // the last input is the neighbour past the end
    if (keep < r->carry_start)
        keep = r->carry_start;
    const size_t len = (size_t)(total - keep);
    if (len > r->carry_cap) {
        size_t cap = r->carry_cap ? r->carry_cap : 16;
        while (cap < len)
            cap *= 2;
        float *grown = static_cast<float *>(realloc(r->carry, cap * sizeof(float)));
        if (!grown) {
            sil_fail_memory();
            return -1;
        }
        r->carry = grown;
        r->carry_cap = cap;
    }
    // Carried inputs that stay move to the front first; the block's follow.
    size_t k = 0;
    if (keep < r->in_count) {
        k = (size_t)(r->in_count - keep);
        memmove(r->carry, r->carry + (keep - r->carry_start), k * sizeof(float));
    }
    const int64_t from = keep > r->in_count ? keep - r->in_count : 0;
    memcpy(r->carry + k, x + from, (n - (size_t)from) * sizeof(float));
    r->carry_start = keep;
    return 0;
}

int64_t sil_resampler_push(sil_resampler *r, const float *x, size_t n, float *out) {
    if (n == 0)
        return 0;
    const double ratio = r->ratio;
    const int64_t base = r->in_count;
    const int64_t total = base + (int64_t)n;
    // An output is handed out once both its inputs are here and the stream
    // is certain to reach it (the count grows with the inputs).
    int64_t bound = (int64_t)std::trunc((double)total * ratio);
    if (bound < 1)
        bound = 1;
    int64_t i = r->out_count;
    int64_t k = 0;
    // Outputs that reach back into the carried inputs.
    for (; i < bound; i++) {
        const double p = (double)i / ratio;
        const int64_t i0 = (int64_t)p;
        if (i0 >= base || i0 + 1 >= total)
            break;
        out[k++] = mix(input_at(r, x, i0), input_at(r, x, i0 + 1), p - (double)i0);
    }
    // Outputs inside the block, up to a safe distance from its end.
    if (total >= 3) {
        int64_t safe = (int64_t)((double)(total - 3) * ratio);
        if (safe > bound)
            safe = bound;
        if (safe > i && (int64_t)((double)i / ratio) >= base) {
            sil_resample_block_with(sil_widest_kernel(), x, base, (int64_t)n, ratio, out + k, i,
                                    safe);
            k += safe - i;
            i = safe;
        }
    }
    // The last ones, each checked.
    for (; i < bound; i++) {
        const double p = (double)i / ratio;
        const int64_t i0 = (int64_t)p;
        if (i0 + 1 >= total)
            break;
        out[k++] = mix(input_at(r, x, i0), input_at(r, x, i0 + 1), p - (double)i0);
    }
    r->out_count = i;
    if (update_carry(r, x, n, (int64_t)((double)i / ratio)) != 0)
        return -1;
    r->in_count = total;
    return k;
}

int64_t sil_resampler_finish(sil_resampler *r, float *out) {
    const int64_t n = r->in_count;
    if (n <= 0)
        return 0;
    const double ratio = r->ratio;
    int64_t m = (int64_t)std::trunc((double)n * ratio);
    if (m < 1)
        m = 1;
    const int64_t last = n - 1;
    int64_t k = 0;
    for (int64_t i = r->out_count; i < m; i++) {
        const double p = (double)i / ratio;
        int64_t i0 = (int64_t)p;
        const double frac = p - (double)i0;
        int64_t i1 = i0 + 1;
        if (i0 > last)
            i0 = last;
        if (i1 > last)
            i1 = last;
        out[k++] = mix(r->carry[i0 - r->carry_start], r->carry[i1 - r->carry_start], frac);
    }
    r->out_count = m;
    return k;
}

// ---------------------------------------------------------------------------
// Whole buffers
// ---------------------------------------------------------------------------
