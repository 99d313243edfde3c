// The stages over whole buffers: a WAV file read into memory, a signal
// resampled, measured and divided in one call each, with the progress calls
// of a run that takes the stages one after the other.
#ifndef SILSPLIT_WHOLE_BUFFER_H
#define SILSPLIT_WHOLE_BUFFER_H

#include "base.h"
#include "options.h"
#include "progress.h"
#include "report.h"

#include <cstdint>
#include <cstdio>

// Decoded audio: one float per frame (the mean of the frame's channels).
struct sil_wav {
    float *samples; // heap block owned by the record's holder
    int32_t frames;
    int32_t sample_rate;
    int32_t bits_per_sample; // 8, 16, 24 or 32; informative only
};

// Reads a WAV file into mono floats at its own rate. 0 and a filled record
// (free with sil_wav_free), or -1 with the message set and the record zeroed.
int sil_wav_read(const char *path, sil_wav *wav, sil_progress *progress);
// As sil_wav_read on an open stream positioned anywhere (the size is taken
// from its end). The stream is left open; the caller closes it.
int sil_wav_read_stream(FILE *f, sil_wav *wav, sil_progress *progress);
// Frees the samples; NULL does nothing.
void sil_wav_free(sil_wav *wav);

// Linear-interpolation resampling to 16000 Hz. 0 and a heap buffer in *out
// with its length in *out_n (caller frees), or -1 with nothing to free.
int sil_resample_to_16k(const float *in, int n, int rate, float **out, int *out_n,
                        sil_progress *progress);
// Level curve of a 16 kHz signal of n > 0 samples, with the detect-stage
// progress reports. 0 and a heap array in *out with its length, or -1.
int sil_frame_levels(const float *samples, int n, float **out, int32_t *out_frames,
                     sil_progress *progress);
// Finds the chapters of a 16 kHz signal. 0 and a heap array in *out (NULL
// when there are none) with its count, or -1 with nothing to free.
// out_removed_s and out_duration_s may be NULL. extras, when not NULL,
// receives the report members the options ask for (the level curve is
// handed over rather than freed when they ask for it).
int sil_detect_chapters(const float *samples, int n, const sil_opts *opts, sil_chapter **out,
                        int *out_n, float *out_removed_s, float *out_duration_s,
                        sil_progress *progress, sil_report_extras *extras = nullptr);

#endif // SILSPLIT_WHOLE_BUFFER_H
