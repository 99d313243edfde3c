// The silence scan on the level curve and the refinement of its chapters:
// one scan over a threshold per frame, the padding and merging, and the cuts
// of chapters longer than the maximum. The chapters of the defaults are made
// here; the chapter rules (chapter_rules.h) use the same pieces.
#ifndef SILSPLIT_SILENCE_SCAN_H
#define SILSPLIT_SILENCE_SCAN_H

#include "base.h"
#include "options.h"

#include <cstddef>
#include <cstdint>

// A stretch of sound: level frames [first, end); end is the frame count when
// the sound still went on at the end of the curve.
struct sil_span {
    int32_t first;
    int32_t end;
};

// A quiet stretch between two sounds: frames [first, end) of the level curve,
// all below the threshold (with speech: frames without speech).
struct sil_pause {
    int32_t first;
    int32_t end;
    float level_db;       // mean level of its frames
    int32_t depth_tenths; // mean depth below the threshold in 0.1 dB, 0..999
    int32_t rank;         // 1: the strongest (longest, then deepest)
    float cut_t;          // where it is cut, in seconds: its middle (sil_pause_middle),
                          // or with speech its quietest part
    float speech_p;       // mean speech probability of its frames; -1: not measured
    float confidence;     // how clearly it stands out as a chapter break, 0..1 in
                          // hundredths (sil_pause_confidence); -1: not measured
};

// A sound opens at a frame this far over its threshold.
constexpr float SIL_ONSET_MARGIN_DB = 6.0f;
// A piece within this of the maximum length is not cut again.
constexpr float SIL_SPLIT_TOLERANCE_S = 1e-6f;

// A pause's strength: whole hops first, then the depth in 0.1 dB.
inline int64_t sil_pause_strength(const sil_pause &p) {
    return (int64_t)(p.end - p.first) * 1000 + p.depth_tenths;
}
// The middle of frames [first, end), where a pause is cut unless the speech
// rules place the cut.
inline float sil_pause_middle(int32_t first, int32_t end) {
    return (sil_frame_time(first) + sil_frame_time(end)) * 0.5f;
}

// Minimum silence in frames: the float option widened first, so 0.8
// (0.800000011920929) gives 81 frames; at least 1 (also for NaN).
int32_t sil_min_silence_frames(float min_silence_s);

// The scan: a sound opens at a frame more than 6 dB over its threshold and
// ends at the first run of min_run frames under theirs; both comparisons are
// strict, so a frame between the two levels breaks a silent run. thr holds a
// threshold per frame, or is NULL for `fixed` everywhere. 0 with the spans in
// time order, or -1 with "out of memory".
int sil_scan_sound(const float *level, const float *thr, float fixed, int32_t frames,
                   int32_t min_run, sil_heap_ptr<sil_span> &out, size_t &n);

// The scan with hysteresis: a sound opens as in sil_scan_sound, and a quiet
// stretch (frames under thr) ends it once the frames in it under near (a
// level closer to the noise floor, at most thr) span min_run frames, from
// the first of them to the last; the sound ends at the first. The frames of
// a word's quiet ending, between near and thr, stay in the sound and do not
// lengthen the pause. Returns as sil_scan_sound.
int sil_scan_sound_near(const float *level, const float *thr, const float *near, int32_t frames,
                        int32_t min_run, sil_heap_ptr<sil_span> &out, size_t &n);

// Widens every chapter by pad on both sides, within [0, duration]. A negative
// pad narrows them instead; a chapter it turns inside out (end before start)
// is dropped, one narrowed to exactly nothing stays. Returns the count kept.
size_t sil_pad_chapters(sil_chapter *c, size_t n, float pad, float duration);
// Sorts by start and merges, in place, each chapter into the kept one before
// it when the gap between them is shorter than min_gap. Returns the count.
size_t sil_sort_and_merge(sil_chapter *c, size_t n, float min_gap);

// Cuts every chapter longer than max_s (plus the tolerance). With quiet (the
// quiet stretches, in time order), a chapter is cut at the cut_t of its
// strongest quiet stretch among those that leave it in as few pieces as any
// cut could, else of its strongest one anywhere; only a chapter with no
// quiet frame is cut hard at the maximum. Without quiet (NULL), pieces of
// max_s seconds and a last, shorter one. Pieces keep their chapter's peak.
// 0 with the new list, or -1 with the message set (the chapter limit
// included).
int sil_cut_long(const sil_chapter *c, size_t n, float max_s, const sil_pause *quiet,
                 int32_t n_quiet, sil_heap_ptr<sil_chapter> &out, size_t &out_n);

// The time the chapters leave out of a signal of duration seconds, never
// below 0.
float sil_removed_s(const sil_chapter *c, size_t n, float duration);

// The sound the chapters leave out: the parts of the scan's stretches of
// sound (at the fixed threshold, with min_silence_s) outside every chapter
// (in time order). *seconds gets their length, *stretches the count of the
// stretches with a part left out. 0, or -1 with "out of memory".
int sil_left_out(const float *level, int32_t frames, float duration, const sil_opts *opts,
                 const sil_chapter *c, size_t n, float *seconds, int32_t *stretches);

// The chapters of a level curve under the defaults' rules: the scan at the
// fixed threshold, candidates of at least min_chapter_s, padding, merging,
// the maximum length and the limit. 0 and a heap array in *out (NULL when
// there are none) with its count, or -1 with nothing to free. out_removed_s
// may be NULL.
int sil_chapters_from_levels(const float *level, int32_t frames, float duration,
                             const sil_opts *opts, sil_chapter **out, int *out_n,
                             float *out_removed_s);

#endif // SILSPLIT_SILENCE_SCAN_H
