// The JSON analysis report: the chapters, and the members the options ask
// for beyond them.
#ifndef SILSPLIT_REPORT_H
#define SILSPLIT_REPORT_H

#include "base.h"
#include "options.h"
#include "silence_scan.h"

#include <cstdint>

// A point of a threshold that changes over time.
struct sil_point {
    float t;
    float db;
};

// How auto chose the pause that ends a chapter.
enum sil_pause_scale_kind {
    SIL_PAUSE_SCALE_GIVEN,        // min_silence_s was given
    SIL_PAUSE_SCALE_BREAK,        // the break between short and long pauses
    SIL_PAUSE_SCALE_LONGEST_ONLY, // no clear break: the longest pauses only
    SIL_PAUSE_SCALE_NO_PAUSE,     // no pause at all: min_silence_s as it was
    SIL_PAUSE_SCALE_SPEECH_FIXED, // speech without a clear break: the fixed 1.5 s
};

// How a hint was placed (the chapter's "snap" member).
enum sil_snap_kind {
    SIL_SNAP_START, // a first hint near 0: the start of the recording
    SIL_SNAP_PAUSE, // onto a pause, long and where the drift expects it
    SIL_SNAP_WEAK,  // onto a pause that is short or far from where it was expected
    SIL_SNAP_NONE,  // no pause in the window: left where the drift puts it
};

// What the report says of a chapter that a hint placed.
struct sil_chapter_note {
    float hint;  // the given time, seconds
    float shift; // the boundary placed less the hint, seconds
    int32_t snap; // sil_snap_kind
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
    bool has_pause_scale; // auto: min_silence_s_used and pause_scale
    float min_silence_s_used;
    sil_pause_scale_kind pause_scale;
    // auto without a speech key: whether the speech model's pauses were used
    // (the recording holds speech).
    bool has_speech_used;
    bool speech_used;
    bool has_boundaries;  // auto or report_pauses: one per pair of neighbouring chapters
    sil_point *boundaries; // t: the boundary (the middle of the gap between the two
                           // chapters), db: its confidence 0..1
    int32_t n_boundaries;
    // Not written: the sound the defaults' chapters leave out (sil_left_out),
    // for the program's warning.
    float left_out_s;
    int32_t left_out_n;
    bool has_speech;
    const float *speech;  // the speech probabilities, one per 32 ms window: borrowed
                          // as levels is, unless it is speech_owned
    float *speech_owned;
    int64_t n_speech;
    // Per chapter, in the chapters' order (count entries each): the notes
    // of the hints (heap, owned), and the titles (a heap array of pointers
    // lent by the list keys, each NULL or a text that outlives the report).
    sil_chapter_note *notes;
    int32_t n_notes;
    const char **titles;
    int32_t n_titles;
};

// Zeroes the record: no member asked for.
void sil_report_extras_init(sil_report_extras *x);
// Frees the record's blocks and zeroes it; NULL does nothing.
void sil_report_extras_free(sil_report_extras *x);
// Scope guard that releases what a record on the stack holds (the record
// itself is not freed).
struct sil_report_extras_releaser {
    void operator()(sil_report_extras *x) const { sil_report_extras_free(x); }
};
// Hands the heap level curve to extras when the options ask for the levels
// (true: extras owns it now), else leaves it with the caller (false).
bool sil_report_extras_take_levels(sil_report_extras *extras, const sil_opts *opts, float *level,
                                   int32_t frames);
// Lends a curve that outlives the report to extras when the options ask for
// the levels.
void sil_report_extras_lend_levels(sil_report_extras *extras, const sil_opts *opts,
                                   const float *level, int32_t frames);
// The same for the speech probabilities (report_speech).
bool sil_report_extras_take_speech(sil_report_extras *extras, const sil_opts *opts, float *p,
                                   int64_t n);
void sil_report_extras_lend_speech(sil_report_extras *extras, const sil_opts *opts, const float *p,
                                   int64_t n);

// The compact JSON report as a heap text freed with free(), or NULL with the
// message set. extras (may be NULL) adds the members it holds after the
// chapters; without it the text is the chapters' report alone.
// How clearly a pause stands out as a chapter break, 0..1 to 0.01: its
// length against the pause scale (half at the scale, nothing under 0.71 of
// it, all at twice it), weighed by its depth under the threshold (at 12 dB
// and more, full weight; at 0 dB, 0.6).
float sil_pause_confidence(int32_t frames_long, int32_t depth_tenths, float min_silence_s);

char *sil_build_analyze_json(int sample_rate, float duration_s, const sil_chapter *chapters,
                             int count, float silences_removed_s,
                             const sil_report_extras *extras = nullptr);

#endif // SILSPLIT_REPORT_H
