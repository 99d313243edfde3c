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
    // Chapter rules and report members beyond the threshold scan; all off by
    // default, and then the results are those of the scan alone.
    int32_t chapter_count; // exactly this many chapters; 0: not asked for
    bool auto_threshold;   // threshold from the recording's own level curve
    bool cut_at_pause;     // with max_chapter_s: long chapters are cut at pauses
    bool keep_all;         // chapters cover the whole recording
    bool report_pauses;    // the report lists the candidate pauses
    bool report_levels;    // the report carries the level curve
};
static_assert(sizeof(sil_opts) == 36, "sil_opts is seven 4-byte fields and five flags");

// The numeric options: the key in the options text (and the field of the
// same name) and the default, written here once for the parser and the
// defaults alike.
struct sil_number_option {
    const char *key;
    float sil_opts::*field;
    float fallback;
};
inline constexpr sil_number_option SIL_NUMBER_OPTIONS[] = {
    {"threshold_db", &sil_opts::threshold_db, -40.0f},
    {"min_silence_s", &sil_opts::min_silence_s, 0.8f},
    {"min_chapter_s", &sil_opts::min_chapter_s, 5.0f},
    {"padding_s", &sil_opts::padding_s, 0.25f},
    {"max_chapter_s", &sil_opts::max_chapter_s, 0.0f},
};

// Stage codes of the progress reports.
enum { SIL_STAGE_READ = 1, SIL_STAGE_RESAMPLE = 2, SIL_STAGE_DETECT = 3, SIL_STAGE_DONE = 4 };

// The analysis runs at 16 kHz on frames of 20 ms taken every 10 ms.
constexpr int32_t SIL_ANALYSIS_RATE = 16000;
constexpr int SIL_FRAME_LEN = 320;
constexpr int SIL_HOP = 160;

// Progress: the percent each stage ends at, and the work between two reports
// (input frames read, 16 kHz samples resampled, levels measured).
constexpr int SIL_PCT_READ_END = 20;
constexpr int SIL_PCT_RESAMPLE_END = 40;
constexpr int SIL_PCT_DETECT_END = 95;
constexpr int SIL_PCT_DONE = 100;
constexpr int64_t SIL_READ_STEP = 65536;
constexpr int64_t SIL_RESAMPLE_STEP = 65536;
constexpr int64_t SIL_DETECT_STEP = 1024;

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

// A quiet stretch between two sounds: frames [first, end) of the level curve,
// all below the threshold.
struct sil_pause {
    int32_t first;
    int32_t end;
    float level_db;       // mean level of its frames
    int32_t depth_tenths; // mean depth below the threshold in 0.1 dB, 0..999
    int32_t rank;         // 1: the strongest (longest, then deepest)
};

// A point of a threshold that changes over time.
struct sil_point {
    float t;
    float db;
};

// The report members that option keys ask for beyond the chapters. Every
// pointer but levels is a heap block owned by the record
// (sil_report_extras_free); a member is written only when its flag is set.
struct sil_report_extras {
    bool has_threshold;
    float threshold_db;   // the threshold used; its median when it varies
    sil_point *track;     // when it varies: the threshold over time, else NULL
    int32_t n_track;
    bool has_pauses;
    sil_pause *pauses;    // in time order
    int32_t n_pauses;
    bool has_levels;
    const float *levels;  // the level curve, one value per 10 ms hop: borrowed, it
                          // must outlive the report, unless it is levels_owned
    float *levels_owned;  // NULL, or the curve as a heap block the record owns
    int32_t n_levels;
    int32_t count_requested; // 0: no chapter_count member
    int32_t count_found;
};

// Most chapters a result may hold; one more is an error.
constexpr int SIL_MAX_CHAPTERS = 10000;

// Scope guard for a C heap block; .release() hands the block on.
struct sil_free_deleter {
    void operator()(void *p) const { free(p); }
};
template <typename T> using sil_heap_ptr = std::unique_ptr<T, sil_free_deleter>;

// Appends v to a growing heap list (16 entries first, then doubled); false
// when it cannot grow, with the list unchanged.
template <typename T>
inline bool sil_push(sil_heap_ptr<T> &list, size_t &count, size_t &cap, const T &v) {
    if (count == cap) {
        const size_t new_cap = cap ? cap * 2 : 16;
        T *grown = static_cast<T *>(realloc(list.get(), new_cap * sizeof(T)));
        if (!grown)
            return false;
        list.release();
        list.reset(grown);
        cap = new_cap;
    }
    list.get()[count++] = v;
    return true;
}

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

// Fills o with the defaults (every chapter rule and report member off).
void sil_opts_defaults(sil_opts *o);
// Defaults overlaid by the members of json (NULL, "" and "{}" keep the
// defaults): the five float keys and sample_rate when they hold numbers (any
// other value is ignored), the newer keys only with a value of their type
// (any other is an error naming the key). 0, or -1 with the message set and
// o holding the defaults.
int sil_parse_opts(const char *json, sil_opts *o);

// Name of a stage code; unknown codes are "read".
const char *sil_stage_name(int stage);
// Passes a report to the host's callback, never letting the percent go down.
// 0 to go on; -1 with "cancelled" set when the callback asks to stop.
int sil_progress_report(sil_progress *p, int pct, int stage);

// ---------------------------------------------------------------------------
// wav_reader.cpp: the chunk walk and the block decoder
// ---------------------------------------------------------------------------

// An open WAV file whose chunks were walked and checked, read a block of
// frames at a time. Memory: one raw block of at most SIL_READ_BLOCK_BYTES
// (or one frame, when a frame is larger), whatever the file's length.
struct sil_wav_source {
    FILE *f;
    bool owns_file;      // closed by sil_wav_source_free
    int32_t sample_rate; // > 0
    int32_t channels;    // 1 to 65535
    int32_t bits_per_sample;
    bool is_float;       // 32-bit IEEE float samples
    int64_t frames;      // whole frames in the data chunk, at most INT32_MAX
    size_t frame_bytes;
    int64_t data_offset; // file offset of the first frame
    int64_t next_frame;  // frame the next read starts at
    size_t block_frames; // most frames one read decodes
    unsigned char *raw;  // heap block of block_frames frames plus slack
    void (*decode)(const unsigned char *raw, size_t frames, int channels, float *out);
};

// Raw bytes read from the data chunk at a time (a whole number of frames).
constexpr size_t SIL_READ_BLOCK_BYTES = 256 * 1024;
// Most frames one read decodes: a float block of 256 KiB at most.
constexpr size_t SIL_READ_BLOCK_FRAMES = 65536;

// Opens path without blocking (a FIFO without a writer fails at the first
// seek), walks every chunk and checks the format. 0 and a heap record in
// *out (free with sil_wav_source_free), or -1 with the message set.
int sil_wav_source_open(const char *path, sil_wav_source **out);
// As sil_wav_source_open on an open stream positioned anywhere (the size is
// taken from its end); the stream stays the caller's.
int sil_wav_source_from_stream(FILE *f, sil_wav_source **out);
// Closes an owned file and frees the record; NULL does nothing.
void sil_wav_source_free(sil_wav_source *src);
struct sil_wav_source_deleter {
    void operator()(sil_wav_source *s) const { sil_wav_source_free(s); }
};
using sil_wav_source_ptr = std::unique_ptr<sil_wav_source, sil_wav_source_deleter>;
// Places the next read at frame (0 to frames). 0, or -1 with "seek failed".
int sil_wav_source_seek(sil_wav_source *src, int64_t frame);
// Decodes the next frames (at most max and block_frames) into out, one float
// per frame: the mean of its channels. The count, 0 at the end of the data,
// or -1 with "data read fail".
int64_t sil_wav_source_read(sil_wav_source *src, float *out, size_t max);

// Reads a WAV file into mono floats at its own rate. 0 and a filled record
// (free with sil_wav_free), or -1 with the message set and the record zeroed.
int sil_wav_read(const char *path, sil_wav *wav, sil_progress *progress);
// As sil_wav_read on an open stream positioned anywhere (the size is taken
// from its end). The stream is left open; the caller closes it.
int sil_wav_read_stream(FILE *f, sil_wav *wav, sil_progress *progress);
// Frees the samples; NULL does nothing.
void sil_wav_free(sil_wav *wav);

// ---------------------------------------------------------------------------
// wav_writer.cpp: 16-bit PCM output, block by block
// ---------------------------------------------------------------------------

// One WAV file being written: the 44-byte header, then samples as they come.
struct sil_wav_writer {
    FILE *f;
    const char *path; // the caller's text, kept alive until the writer closes
    int64_t expected; // samples the header announces
    int64_t written;
};

// Opens path for writing ("wb"), creating or truncating it, but never through
// a symbolic link standing at that name. NULL with errno set on failure.
FILE *sil_create_output(const char *path);
// Creates path and writes the header of a mono 16-bit file of n samples.
// 0, or -1 with the message set and nothing left open.
int sil_wav_writer_open(sil_wav_writer *w, const char *path, int64_t n, int32_t sample_rate);
// Appends n samples. 0, or -1 with the message set, the file removed and the
// writer closed.
int sil_wav_writer_put(sil_wav_writer *w, const float *samples, size_t n);
// Closes the file once every announced sample is written. 0, or -1 with the
// message set and the file removed.
int sil_wav_writer_close(sil_wav_writer *w);
// Closes and removes an unfinished file (no message); a closed writer is left alone.
void sil_wav_writer_abort(sil_wav_writer *w);
// Writes n mono samples as a 16-bit PCM WAV file with the 44-byte header.
// 0, or -1 with the message set and no partial file left behind.
int sil_wav_write_pcm16(const char *path, const float *samples, int n, int sample_rate);

// ---------------------------------------------------------------------------
// resampler.cpp: linear interpolation to 16 kHz, block by block
// ---------------------------------------------------------------------------

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
// The inner loops come in versions for the CPU's vector units, all with the
// plain loop's results bit for bit; the widest the CPU has is used. Tests
// run each one.
enum { SIL_KERNEL_PLAIN = 0, SIL_KERNEL_AVX2 = 1, SIL_KERNEL_AVX512 = 2 };
bool sil_kernel_available(int kernel);
int sil_widest_kernel(void);
// Outputs first .. end-1 whose inputs all lie in block x (inputs base to
// base + n - 1), with the given kernel.
void sil_resample_block_with(int kernel, const float *x, int64_t base, int64_t n, double ratio,
                             float *out, int64_t first, int64_t end);
// Output count for n inputs at rate: max(1, trunc(n * 16000 / rate)).
int64_t sil_resampled_length(int64_t n, int32_t rate);

// Linear-interpolation resampling to 16000 Hz. 0 and a heap buffer in *out
// with its length in *out_n (caller frees), or -1 with nothing to free.
int sil_resample_to_16k(const float *in, int n, int rate, float **out, int *out_n,
                        sil_progress *progress);

// ---------------------------------------------------------------------------
// levels.cpp: the level curve, block by block
// ---------------------------------------------------------------------------

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
};

// Starts an empty curve with room for expect levels (0 when unknown).
// 0, or -1 with "out of memory".
int sil_levels_init(sil_level_stage *s, int64_t expect);
void sil_levels_free(sil_level_stage *s);
// Pushes n samples. 0, or -1 with "out of memory".
int sil_levels_push(sil_level_stage *s, const float *x, size_t n);
// Ends the signal (the short-signal level). 0, or -1 with the message set.
int sil_levels_finish(sil_level_stage *s);
// Levels of count whole frames, frame j starting at x + 160 j, with the
// given kernel (the plain loop below AVX-512).
void sil_frame_levels_with(int kernel, const float *x, int64_t count, float *level);
// Levels for n samples at 16 kHz: 1 below one frame, otherwise n / 160 - 1.
int64_t sil_level_count(int64_t n16);
// Level curve of a 16 kHz signal of n > 0 samples, with the detect-stage
// progress reports. 0 and a heap array in *out with its length, or -1.
int sil_frame_levels(const float *samples, int n, float **out, int32_t *out_frames,
                     sil_progress *progress);

// ---------------------------------------------------------------------------
// energy_vad.cpp: detector and chapter refinement
// ---------------------------------------------------------------------------

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
// extras, when not NULL, receives the report members the options ask for
// (the level curve is handed over rather than freed when they ask for it).
int sil_detect_chapters(const float *samples, int n, const sil_opts *opts, sil_chapter **out,
                        int *out_n, float *out_removed_s, float *out_duration_s,
                        sil_progress *progress, sil_report_extras *extras = nullptr);

// ---------------------------------------------------------------------------
// chapter_rules.cpp: the threshold from the level curve, pauses, and the
// chapter rules beyond the threshold scan
// ---------------------------------------------------------------------------

// Zeroes the record: no member asked for.
void sil_report_extras_init(sil_report_extras *x);
// Frees the record's blocks and zeroes it; NULL does nothing.
void sil_report_extras_free(sil_report_extras *x);
// Scope guard that releases what a record on the stack holds (the record
// itself is not freed).
struct sil_report_extras_releaser {
    void operator()(sil_report_extras *x) const { sil_report_extras_free(x); }
};
// True when the options change the chapters beyond the threshold scan
// (auto_threshold, chapter_count, keep_all, or cut_at_pause with a maximum).
bool sil_opts_use_rules(const sil_opts *opts);
// The chapters of a level curve under all the options: as
// sil_chapters_from_levels when no rule is asked for, else with the rules.
// extras (may be NULL) receives the threshold, pauses and chapter count the
// options ask for; the level curve itself is left to the caller (see
// sil_report_extras_take_levels). 0, or -1 with nothing to free (extras is
// then emptied).
int sil_detect_on_levels(const float *level, int32_t frames, float duration, const sil_opts *opts,
                         sil_chapter **out, int *out_n, float *out_removed_s,
                         sil_report_extras *extras);
// Hands the heap level curve to extras when the options ask for the levels
// (true: extras owns it now), else leaves it with the caller (false). A curve
// that outlives the report may instead be lent: set has_levels, levels and
// n_levels.
bool sil_report_extras_take_levels(sil_report_extras *extras, const sil_opts *opts, float *level,
                                   int32_t frames);

// ---------------------------------------------------------------------------
// split_write.cpp: report and chapter export
// ---------------------------------------------------------------------------

// The compact JSON report as a heap text freed with free(), or NULL with the
// message set. extras (may be NULL) adds the members it holds after the
// chapters; without it the text is the chapters' report alone.
char *sil_build_analyze_json(int sample_rate, float duration_s, const sil_chapter *chapters,
                             int count, float silences_removed_s,
                             const sil_report_extras *extras = nullptr);

// Writes ch_NNN.wav files and chapters.json into out_dir. The chapter count,
// or -1 with the message set.
int sil_write_chapters_impl(const char *wav_path, const sil_opts *opts, const char *out_dir);

#endif // SILSPLIT_INTERNAL_H
