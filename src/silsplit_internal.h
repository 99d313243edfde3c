// Internal records and functions shared by the library's source files.
//
// Conventions: every function that can fail returns -1 (or NULL) after
// writing exactly one message with sil_set_error() and freeing what it
// allocated; blocks handed between stages are C heap blocks freed with free().
#ifndef SILSPLIT_INTERNAL_H
#define SILSPLIT_INTERNAL_H

#include "silsplit.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// Analysis options; the field names are the keys of the options text.
struct sil_opts {
    float threshold_db;  // frames below this level (dBFS) are silent
    float min_silence_s; // shortest silence that ends a chapter; merge gap
    float min_chapter_s; // shortest chapter kept
    float padding_s;     // added before and after each chapter
    float max_chapter_s; // longer chapters are cut; 0 or less: no maximum
    int32_t sample_rate; // rate of a host buffer; 0 or less means 16000
};
static_assert(sizeof(sil_opts) == 24, "sil_opts is six 4-byte fields");

// Stage codes of the progress reports.
enum { SIL_STAGE_READ = 1, SIL_STAGE_RESAMPLE = 2, SIL_STAGE_DETECT = 3, SIL_STAGE_DONE = 4 };

// Progress context of one call; starts as {fn, user, -1, 0}.
struct sil_progress {
    silsplit_progress_fn fn; // NULL: nothing is reported
    void *user;              // handed back to fn, never dereferenced
    int32_t last_pct;        // percent of the last callback call, -1 before it
    int32_t stage;           // stage code of the last callback call, 0 before it
};

// Decoded audio: one float per frame (the mean of the frame's channels).
struct sil_wav {
    float *samples; // heap block owned by the record's holder
    int32_t frames;
    int32_t sample_rate;
    int32_t bits_per_sample; // 8, 16, 24 or 32; informative only
};

// One chapter of the analysed signal, in seconds.
struct sil_chapter {
    float t0;
    float t1;
    float peak_db; // highest frame level inside the chapter, never below -120
};
static_assert(sizeof(sil_chapter) == 12, "sil_chapter is three floats");

// Most chapters a result may hold; one more is an error.
constexpr int SIL_MAX_CHAPTERS = 10000;

// Scope guard for a C heap block; .release() hands the block on.
struct sil_free_deleter {
    void operator()(void *p) const { free(p); }
};
template <typename T> using sil_heap_ptr = std::unique_ptr<T, sil_free_deleter>;

// ---------------------------------------------------------------------------
// kestrova_silence.cpp: error text, options, progress
// ---------------------------------------------------------------------------

// Stores the first 511 bytes of msg as the calling thread's error text;
// NULL empties it.
void sil_set_error(const char *msg);
// Empties the calling thread's error text.
void sil_clear_error(void);
// The calling thread's error text (never NULL).
const char *sil_get_error(void);

// Fills o with the defaults.
void sil_opts_defaults(sil_opts *o);
// Defaults overlaid by the numeric members of json (NULL, "" and "{}" keep
// the defaults). 0, or -1 with the message set and o holding the defaults.
int sil_parse_opts(const char *json, sil_opts *o);

// Name of a stage code; unknown codes are "read".
const char *sil_stage_name(int stage);
// Passes a report to the host's callback, never letting the percent go down.
// 0 to go on; -1 with "cancelled" set when the callback asks to stop.
int sil_progress_report(sil_progress *p, int pct, int stage);

// ---------------------------------------------------------------------------
// wav_io.cpp: reader, writer, resampler
// ---------------------------------------------------------------------------

// Reads a WAV file into mono floats at its own rate. 0 and a filled record
// (free with sil_wav_free), or -1 with the message set and the record zeroed.
int sil_wav_read(const char *path, sil_wav *wav, sil_progress *progress);
// As sil_wav_read on an open stream positioned anywhere (the size is taken
// from its end). The stream is left open; the caller closes it.
int sil_wav_read_stream(FILE *f, sil_wav *wav, sil_progress *progress);
// Frees the samples; NULL does nothing.
void sil_wav_free(sil_wav *wav);
// Maps the pages of a large heap block that is about to be written whole in
// one go (a hint only; small blocks are left alone).
void sil_prefault_large_block(void *p, size_t n);

// Opens path for writing ("wb"), creating or truncating it, but never through
// a symbolic link standing at that name. NULL with errno set on failure.
FILE *sil_create_output(const char *path);
// Writes n mono samples as a 16-bit PCM WAV file with the 44-byte header.
// 0, or -1 with the message set and no partial file left behind.
int sil_wav_write_pcm16(const char *path, const float *samples, int n, int sample_rate);

// Linear-interpolation resampling to 16000 Hz. 0 and a heap buffer in *out
// with its length in *out_n (caller frees), or -1 with nothing to free.
int sil_resample_to_16k(const float *in, int n, int rate, float **out, int *out_n,
                        sil_progress *progress);
// As sil_resample_to_16k, with the same checks, reports and messages, but a
// 16 kHz input is not copied: *out is then in itself. *owned receives the
// buffer to free (NULL when in was borrowed).
int sil_resample_or_borrow(const float *in, int n, int rate, const float **out, int *out_n,
                           float **owned, sil_progress *progress);
// As sil_resample_or_borrow, for an input that is not needed afterwards: a
// rate above 16 kHz is brought down in the input's own block (*out is then
// in, whose first *out_n samples now hold the 16 kHz signal).
int sil_resample_in_place(float *in, int n, int rate, const float **out, int *out_n, float **owned,
                          sil_progress *progress);

// ---------------------------------------------------------------------------
// energy_vad.cpp: detector and chapter refinement
// ---------------------------------------------------------------------------

// Level curve of a 16 kHz signal of n > 0 samples: one level in dB per 10 ms
// hop over 20 ms windows (a single frame when n < 320), with the detect-stage
// progress reports. 0 and a heap array in *out with its length, or -1.
int sil_frame_levels(const float *samples, int n, float **out, int32_t *out_frames,
                     sil_progress *progress);
// The chapters of a level curve of a signal of duration seconds: silence scan,
// candidates, padding, merging, the maximum length and the limit. 0 and a heap
// array in *out (NULL when there are none) with its count, or -1 with nothing
// to free. out_removed_s may be NULL.
int sil_chapters_from_levels(const float *level, int32_t frames, float duration,
                             const sil_opts *opts, sil_chapter **out, int *out_n,
                             float *out_removed_s);
// Finds the chapters of a 16 kHz signal. 0 and a heap array in *out (NULL
// when there are none) with its count, or -1 with nothing to free.
// out_removed_s and out_duration_s may be NULL.
int sil_detect_chapters(const float *samples, int n, const sil_opts *opts, sil_chapter **out,
                        int *out_n, float *out_removed_s, float *out_duration_s,
                        sil_progress *progress);

// ---------------------------------------------------------------------------
// split_write.cpp: report and chapter export
// ---------------------------------------------------------------------------

// The compact JSON report as a heap text freed with free(), or NULL with the
// message set.
char *sil_build_analyze_json(int sample_rate, float duration_s, const sil_chapter *chapters,
                             int count, float silences_removed_s);

// Writes ch_NNN.wav files and chapters.json into out_dir. The chapter count,
// or -1 with the message set.
int sil_write_chapters_impl(const char *wav_path, const sil_opts *opts, const char *out_dir);

#endif // SILSPLIT_INTERNAL_H
