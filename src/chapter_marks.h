// Chapters from lists the host gives: a chapter list used as it is, and
// approximate starts (hints) moved onto the recording's pauses.
#ifndef SILSPLIT_CHAPTER_MARKS_H
#define SILSPLIT_CHAPTER_MARKS_H

#include "base.h"
#include "options.h"
#include "report.h"
#include "silence_scan.h"

#include <cstdint>

// Where one hint was placed.
struct sil_snap {
    float cut;     // the chapter boundary, in seconds
    int32_t pause; // index of the pause it lies in, or -1
    int32_t kind;  // sil_snap_kind
};

// A first hint at most this far from 0 marks the start of the recording.
constexpr float SIL_HINT_AT_START_S = 2.0f;

// Moves each hint onto the best pause within window_s of where it is
// expected, in order: the expected place is the hint under a drift (an
// offset and a speed ratio) fitted to the hints placed so far, the first
// offset chosen by how well the next hints then meet pauses too. A pause is
// judged by its length and its distance from the expected place; the cut is
// the pause's cut_t (its middle, or with speech its quietest part). A first
// hint near 0 stays at 0 (SIL_SNAP_START); a hint with no pause in its
// window, or one under 1 s only, goes to the best pause of 1.5 s or more
// between the boundary before it and where the next hint is expected, no
// more than two spreads outside the window (SIL_SNAP_WEAK), else stays at its
// expected place (SIL_SNAP_NONE).
// pauses: in time order, with sound on both sides; out: n_hints entries,
// cuts increasing.
void sil_snap_hints(const sil_pause *pauses, int32_t n_pauses, const sil_mark *hints,
                    int32_t n_hints, float window_s, float duration, sil_snap *out);

// The chapters of a given list in a recording of duration seconds: an open
// end runs to the next start or to the end; an end past the end of the
// recording is cut there. 0 with n chapters in out (peak_db -120), or -1
// with the error naming the first entry that starts at or after the end.
int sil_given_chapters(const sil_mark *marks, int32_t n, float duration, sil_chapter *out);

// The title of chapter i (0-based) under the list keys: the titles key's
// entry, else the title of the chapters or hints entry; NULL for none.
const char *sil_chapter_title(const sil_chapter_keys *keys, int32_t i);
// True when the list keys give any title.
bool sil_chapter_keys_titled(const sil_chapter_keys *keys);

// What the list keys do to the chapters found on a level curve (at 100 per
// second) of a recording of duration seconds: a chapters list replaces them
// (peaks from the curve, *removed_s recomputed), and extras (may be NULL)
// lends the titles when any were given. keys may be NULL: nothing changes.
// 0, or -1 with the message set (*chapters is then freed and emptied).
int sil_apply_chapter_keys(const sil_chapter_keys *keys, const float *level, int32_t frames,
                           float duration, sil_chapter **chapters, int *count, float *removed_s,
                           sil_report_extras *extras);

#endif // SILSPLIT_CHAPTER_MARKS_H
