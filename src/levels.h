// The level curve: the level in dB of each 20 ms frame of the 16 kHz signal,
// one every 10 ms, block by block.
#ifndef SILSPLIT_LEVELS_H
#define SILSPLIT_LEVELS_H

#include "base.h"

#include <cstddef>
#include <cstdint>

// Levels of 16 kHz samples: one per hop over the 320-sample frame starting
// there (frame k covers samples 160k to 160k + 319), only whole frames; a
// signal shorter than one frame has a single level over all of it.
struct sil_level_stage {
    float pending[2 * SIL_FRAME_LEN]; // samples [160 * count, received)
    int32_t pending_len;
    int64_t received; // samples pushed
    float *curve;     // heap array of count levels
    int64_t count;
    int64_t cap;
    int64_t forgotten; // levels dropped by sil_levels_forget, before curve[0]
};

// Starts an empty curve with room for expect levels (0 when unknown).
// 0, or -1 with "out of memory".
int sil_levels_init(sil_level_stage *s, int64_t expect);
void sil_levels_free(sil_level_stage *s);
// Pushes n samples. 0, or -1 with "out of memory".
int sil_levels_push(sil_level_stage *s, const float *x, size_t n);
// Drops the levels measured so far (a live analysis has read them): the
// curve starts again empty, the levels still to come keep their places.
void sil_levels_forget(sil_level_stage *s);
// Ends the signal (the short-signal level). 0, or -1 with the message set.
int sil_levels_finish(sil_level_stage *s);
// Levels of count whole frames, frame j starting at x + 160 j, with the
// given kernel (the plain loop below AVX-512).
void sil_frame_levels_with(int kernel, const float *x, int64_t count, float *level);
// Levels for n samples at 16 kHz: 1 below one frame, otherwise n / 160 - 1.
int64_t sil_level_count(int64_t n16);

#endif // SILSPLIT_LEVELS_H
