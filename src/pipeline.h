// The analysis as one chain of streaming stages: a source pushes blocks of
// mono frames at its own rate; the resampler brings them to 16 kHz; the level
// stage appends one level per 10 ms to the level curve, and the speech model
// (when the options ask for speech or report_speech) one probability per
// 32 ms to the speech curve; at the end the silence scan, the refinement and
// the report run on the curves. Memory does not grow with the recording,
// apart from the curves (4 bytes per 10 ms, 4 per 32 ms) and the chapter
// list.
//
// Every entry point runs through here: silsplit_analyze_pcm (the host's
// buffer, pushed as it is), silsplit_analyze and _progress and the chapter
// export (the WAV reader's blocks), and the command-line program's media
// input (a decoder's frames).
#ifndef SILSPLIT_PIPELINE_H
#define SILSPLIT_PIPELINE_H

#include "base.h"
#include "options.h"
#include "progress.h"
#include "report.h"
#include "wav_reader.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct sil_pipeline; // one running analysis: resampler, frame levels, level curve, speech model

// Starts an analysis of mono frames at source_rate Hz (> 0). total_frames is
// the number of frames the source will push when it is known (it paces
// progress), or -1 when it is not: the progress calls then all come at the
// end. opts is copied. progress may be NULL; it must outlive the pipeline.
// keys (may be NULL: none) holds the options' list keys (chapters, hints,
// titles); the pipeline keeps a copy. A heap record, or NULL with the error
// text set.
sil_pipeline *sil_pipeline_new(int32_t source_rate, int64_t total_frames, const sil_opts *opts,
                               sil_progress *progress, const sil_chapter_keys *keys = nullptr);
// Pushes n mono frames (any n, any block split gives the same result).
// 0, or -1 with the error text set ("cancelled", "out of memory", ...).
int sil_pipeline_push(sil_pipeline *p, const float *frames, size_t n);
// Ends the stream, finds the chapters and builds the report text exactly as a
// file analysis would (sample_rate = source_rate, duration_s = pushed frames /
// rate as single-precision floats), then makes the final "done" progress call.
// A heap text freed with free(), or NULL with the error text set.
char *sil_pipeline_report(sil_pipeline *p);
// Frees everything; NULL does nothing.
void sil_pipeline_free(sil_pipeline *p);
struct sil_pipeline_deleter {
    void operator()(sil_pipeline *p) const { sil_pipeline_free(p); }
};
using sil_pipeline_ptr = std::unique_ptr<sil_pipeline, sil_pipeline_deleter>;

// Ends the stream and hands out the chapters instead of a report (no "done"
// call). 0 and a heap array in *out (NULL when there are none) with its
// count, or -1 with the message set. out_removed_s may be NULL. extras, when
// not NULL, receives the report members the options ask for; the level curve
// in it is lent by the pipeline and lives as long as the pipeline.
int sil_pipeline_chapters(sil_pipeline *p, sil_chapter **out, int *out_n, float *out_removed_s,
                          sil_report_extras *extras = nullptr);
// Frames pushed so far.
int64_t sil_pipeline_frames(const sil_pipeline *p);

// Pushes every frame of a WAV source, a block at a time. 0, or -1 with the
// message set.
int sil_pipeline_push_source(sil_pipeline *p, sil_wav_source *src);

// The outcome of one analysis: the report text and the chapters it lists.
struct sil_analysis {
    char *report;          // the JSON report, a heap text freed with free()
    sil_chapter *chapters; // heap array (NULL when there are none)
    int32_t count;
    int32_t sample_rate; // the source's rate
    int64_t frames;      // frames pushed, at that rate
    // The chapters' titles when the options gave any (count entries, each a
    // heap UTF-8 text or NULL for a chapter without one); NULL otherwise.
    char **titles;
    // The sound above the threshold the chapters leave out under the
    // defaults' rules (none with auto, keep_all or auto_threshold).
    float left_out_s;
    int32_t left_out_n;
    // With auto or report_pauses: one point per pair of neighbouring
    // chapters (t: the boundary, db: its confidence 0..1), in order; a heap
    // block, else NULL.
    sil_point *boundaries;
    int32_t n_boundaries;
};
// Frees the members and zeroes the record; NULL does nothing.
void sil_analysis_free(sil_analysis *a);
struct sil_analysis_releaser {
    void operator()(sil_analysis *a) const { sil_analysis_free(a); }
};
// As sil_pipeline_report, keeping the chapters beside the report. 0 and a
// filled record (free with sil_analysis_free), or -1 with the message set
// and the record zeroed.
int sil_pipeline_finish(sil_pipeline *p, sil_analysis *out);

// Analyses a WAV file through the reader and the pipeline, with the progress
// calls of silsplit_analyze_progress (progress may be NULL). 0 and a filled
// record, or -1 with the message and its code set (SIL_ERR_TOO_LARGE for a
// data chunk over the reader's limit).
int sil_analyze_wav(const char *path, const sil_opts *opts, sil_progress *progress,
                    sil_analysis *out, const sil_chapter_keys *keys = nullptr);

#endif // SILSPLIT_PIPELINE_H
