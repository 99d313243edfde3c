// The resampler: linear interpolation from any rate to 16 kHz, block by block.
#ifndef SILSPLIT_RESAMPLER_H
#define SILSPLIT_RESAMPLER_H

#include "base.h"

#include <cstddef>
#include <cstdint>

// Output i is the input at position i / ratio (ratio = 16000 / rate),
// interpolated between its two neighbours; m = max(1, trunc(n * ratio))
// outputs for n inputs, the last ones taking the last input for a neighbour
// past the end. Any split of the input into blocks gives the same outputs.
struct sil_resampler {
    double ratio;
    int64_t in_count;  // inputs pushed
    int64_t out_count; // outputs handed out
    float *carry;      // inputs [carry_start, in_count) still needed
    int64_t carry_start;
    size_t carry_cap;
};

// Starts a resampler from rate (> 0) to 16 kHz.
void sil_resampler_init(sil_resampler *r, int32_t rate);
// Frees the carried inputs.
void sil_resampler_free(sil_resampler *r);
// Most outputs one push of n inputs (or the finish, n = 0) can hand out.
size_t sil_resampler_max_out(const sil_resampler *r, size_t n);
// Pushes n inputs and writes the outputs they complete to out (room for
// sil_resampler_max_out(n)). The count, or -1 with "out of memory".
int64_t sil_resampler_push(sil_resampler *r, const float *in, size_t n, float *out);
// Writes the last outputs (at least one input must have been pushed).
int64_t sil_resampler_finish(sil_resampler *r, float *out);
// Outputs first .. end-1 whose inputs all lie in block x (inputs base to
// base + n - 1), with the given kernel.
void sil_resample_block_with(int kernel, const float *x, int64_t base, int64_t n, double ratio,
                             float *out, int64_t first, int64_t end);
// Output count for n inputs at rate: max(1, trunc(n * 16000 / rate)).
int64_t sil_resampled_length(int64_t n, int32_t rate);

#endif // SILSPLIT_RESAMPLER_H
