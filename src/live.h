// The live analysis: chapters decided while the recording still goes on.
// Frames are pushed as they come; a chapter is handed out as soon as no
// later audio can move it, and the chapters handed out, followed by those
// decided at the end, are exactly the chapters the whole recording's
// analysis finds (sil_pipeline), with the same report.
//
// With the defaults' rules (a fixed threshold, min_silence_s,
// min_chapter_s, padding_s, merging, max_chapter_s cut hard) a chapter is
// final once the pause after it is min_silence_s long and its padding is
// heard: no later sound can merge into it. With max_chapter_s, a piece of
// the maximum length is final as soon as its chapter is known to run past
// it, even while the sound goes on. Memory is bounded: only the chapter
// being built, the chapters handed out (at most 10000) and a block of the
// level curve are kept.
//
// Options whose chapters depend on the whole recording (auto,
// auto_threshold, keep_all, chapter_count, speech, cut_at_pause, the list
// keys, the report members) are decided at the end instead: the analysis
// then keeps its level curve, as the offline one does, and every chapter
// comes at sil_live_finish.
#ifndef SILSPLIT_LIVE_H
#define SILSPLIT_LIVE_H

#include "base.h"
#include "options.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct sil_live;

// A final chapter and its frames [start, end) at the source's rate, as
// sil_chapter_frame_ranges gives them for the whole recording.
struct sil_live_chapter {
    sil_chapter c;
    int64_t start;
    int64_t end;
};

// NULL when the options can be decided while the recording goes on;
// otherwise the option that needs the whole recording ("keep_all", ...), for
// a message: the chapters are then all decided at the end.
const char *sil_live_deferred_option(const sil_opts *opts, const sil_chapter_keys *keys);

// Starts a live analysis of mono frames at rate Hz (> 0); opts and keys
// (may be NULL) are copied. A heap record, or NULL with the message set.
sil_live *sil_live_new(int32_t rate, const sil_opts *opts, const sil_chapter_keys *keys);
// Frees everything; NULL does nothing.
void sil_live_free(sil_live *l);
struct sil_live_deleter {
    void operator()(sil_live *l) const { sil_live_free(l); }
};
using sil_live_ptr = std::unique_ptr<sil_live, sil_live_deleter>;

// Pushes n mono frames (any block split gives the same chapters). 0, or -1
// with the message set ("chapter count exceeds 10000", "out of memory").
int sil_live_push(sil_live *l, const float *frames, size_t n);
// Ends the stream: the last chapters are decided. 0, or -1 with the message
// set (the offline analysis's message for the same input).
int sil_live_finish(sil_live *l);

// The chapters final so far, in time order: *n of them. Their times and
// frames never change; the peak_db of the pieces of a chapter cut at
// max_chapter_s that is still going on may rise until it ends (every piece
// carries its chapter's peak). The list lives until the next push.
const sil_live_chapter *sil_live_chapters(const sil_live *l, int32_t *n);
// Frames pushed so far.
int64_t sil_live_frames(const sil_live *l);
// The first source frame a chapter not yet handed out may hold: the frames
// before it are needed by no later chapter (0 while the options are decided
// at the end).
int64_t sil_live_keep_from(const sil_live *l);
// The sound above the threshold the chapters leave out, as the offline
// analysis states it (sil_analysis's left_out_s and left_out_n): final
// after sil_live_finish, the sounds settled so far before it.
void sil_live_left_out(const sil_live *l, float *seconds, int32_t *stretches);
// The report of the chapters final so far, as sil_build_analyze_json makes
// it for a recording of the frames pushed so far; after sil_live_finish,
// byte for byte the offline analysis's report. A heap text freed with
// free(), or NULL with the message set.
char *sil_live_report(const sil_live *l);

#endif // SILSPLIT_LIVE_H
