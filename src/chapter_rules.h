// The chapter rules on the level curve beyond the fixed-threshold scan: a
// threshold from the recording's own levels, the ranked pauses, long
// chapters cut at pauses, a fixed chapter count, chapters that cover the
// whole recording.
#ifndef SILSPLIT_CHAPTER_RULES_H
#define SILSPLIT_CHAPTER_RULES_H

#include "base.h"
#include "options.h"
#include "report.h"

#include <cstdint>

// True when the options change the chapters beyond the threshold scan
// (auto, auto_threshold, chapter_count, keep_all, speech, or cut_at_pause
// with a maximum).
bool sil_opts_use_rules(const sil_opts *opts);
// True when the speech model is to run for these options: speech,
// report_speech, or auto without a speech key (auto decides from the
// model's output whether the recording holds speech).
bool sil_opts_run_speech(const sil_opts *opts);
// The chapters of a level curve under all the options: those of
// sil_chapters_from_levels when no rule is asked for, else with the rules.
// extras (may be NULL) receives the threshold, pauses and chapter count the
// options ask for; the level curve and the speech curve are left to the
// caller. With speech, speech_p holds the speech model's n_speech
// probabilities of the same 16 kHz signal (sil_speech_stage); frames
// without them are an error. 0 and a heap array in *out (NULL when there are
// none) with its count, or -1 with nothing to free (extras is then emptied).
// With hints in keys (may be NULL), the chapters run from hint to hint,
// each hint moved onto a pause (sil_snap_hints), and extras receives a note
// per chapter.
int sil_detect_on_levels(const float *level, int32_t frames, float duration, const sil_opts *opts,
                         sil_chapter **out, int *out_n, float *out_removed_s,
                         sil_report_extras *extras, const float *speech_p = nullptr,
                         int64_t n_speech = 0, const sil_chapter_keys *keys = nullptr);

// Highest level of the frames from t0 to t1 seconds (at least one frame),
// never below -120: a chapter's peak_db.
float sil_chapter_peak(const float *level, int32_t frames, float t0, float t1);

#endif // SILSPLIT_CHAPTER_RULES_H
