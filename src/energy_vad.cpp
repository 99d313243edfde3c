// The detector: on the level curve (levels.cpp), a scan for runs of silent
// frames, candidate chapters between them, and their refinement (padding,
// sorting, merging, splitting at a maximum length, the limit).
#include "silsplit_internal.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

// A stretch of sound: frames [first, end).
struct span {
    int32_t first;
    int32_t end;
};

constexpr float SILENCE_DB = -120.0f;
constexpr float ONSET_MARGIN_DB = 6.0f;
constexpr float SPLIT_TOLERANCE_S = 1e-6f;

} // namespace

// ---------------------------------------------------------------------------
// Refinement
// ---------------------------------------------------------------------------

// qsort order by start; equal or incomparable starts are equal.
static int cmp_chapter(const void *pa, const void *pb) {
    const sil_chapter *a = static_cast<const sil_chapter *>(pa);
    const sil_chapter *b = static_cast<const sil_chapter *>(pb);
    if (a->t0 < b->t0)
        return -1;
    if (a->t0 > b->t0)
        return 1;
    return 0;
}

// Widens every chapter by pad on both sides, within [0, duration]. A negative
// pad narrows them instead; a chapter it turns inside out (end before start)
// is dropped, one narrowed to exactly nothing stays. Returns the count kept.
static size_t pad_chapters(sil_chapter *c, size_t n, float pad, float duration) {
    size_t kept = 0;
    for (size_t i = 0; i < n; i++) {
        sil_chapter p = c[i];
        const float t0 = p.t0 - pad;
        p.t0 = t0 < 0.0f ? 0.0f : t0;
        const float t1 = p.t1 + pad;
        p.t1 = duration < t1 ? duration : t1;
        if (p.t1 < p.t0)
            continue;
        c[kept++] = p;
    }
    return kept;
}

// Sorts by start and merges, in place, each chapter into the kept one before
// it when the gap between them is shorter than min_gap. Returns the count.
static size_t sort_and_merge(sil_chapter *c, size_t n, float min_gap) {
    if (n < 2)
        return n;
    qsort(c, n, sizeof *c, cmp_chapter);
    size_t kept = 0; // index of the last kept chapter
    for (size_t i = 1; i < n; i++) {
        sil_chapter &p = c[kept];
        const sil_chapter cur = c[i];
        const float gap = cur.t0 - p.t1;
        if (gap < min_gap) {
            if (cur.t1 > p.t1)
                p.t1 = cur.t1;
            if (cur.peak_db > p.peak_db)
                p.peak_db = cur.peak_db;
        } else {
            c[++kept] = cur;
        }
    }
    return kept + 1;
}

// Cuts every chapter longer than max_s (plus the tolerance) into pieces of
// max_s seconds and a last, shorter piece. Stops as soon as the result would
// exceed the chapter limit: a tiny maximum against a long recording would
// otherwise make millions of pieces, or never finish once cur + max_s no
// longer moves cur in single precision.
// 0 with the new list in *out (NULL when empty), or -1 with the message set.
static int split_chapters(const sil_chapter *c, size_t n, float max_s,
                          sil_heap_ptr<sil_chapter> &out, size_t &out_n) {
    const float lim = SPLIT_TOLERANCE_S + max_s;
    size_t cap = 0;
    out_n = 0;
    for (size_t i = 0; i < n; i++) {
        const float b = c[i].t1;
        const float peak = c[i].peak_db;
        float cur = c[i].t0;
        float rem = b - cur;
        for (;;) {
            const bool whole_piece = rem > lim;
            if (!whole_piece && !(rem > SPLIT_TOLERANCE_S))
                break;
            if (out_n == (size_t)SIL_MAX_CHAPTERS) {
                out.reset();
                out_n = 0;
                sil_set_error("chapter count exceeds 10000");
                return -1;
            }
            const float end = whole_piece ? cur + max_s : b;
            if (!sil_push(out, out_n, cap, sil_chapter{cur, end, peak})) {
                out.reset();
                out_n = 0;
                sil_set_error("out of memory");
                return -1;
            }
            if (!whole_piece)
                break;
            cur = end;
            rem = b - cur;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Detector
// ---------------------------------------------------------------------------

int sil_chapters_from_levels(const float *level, int32_t frames, float duration,
                             const sil_opts *opts, sil_chapter **out, int *out_n,
                             float *out_removed_s) {
    *out = nullptr;
    *out_n = 0;
    if (out_removed_s)
        *out_removed_s = 0.0f;
    if (!opts || frames < 0 || (!level && frames != 0)) {
        sil_set_error("invalid detect args");
        return -1;
    }

    // Silence scan. Both comparisons are strict, and a frame between the two
    // levels is neither loud nor silent: it breaks a silent run.
    const float silent_below = opts->threshold_db;
    const float loud_above = ONSET_MARGIN_DB + opts->threshold_db;
    // Minimum silence in frames; the float option is widened first, so 0.8
    // (0.800000011920929) gives 81 frames.
    const double m_d = std::ceil((double)opts->min_silence_s * 1000.0 / 10.0);
    int32_t min_run;
    if (m_d >= 2147483647.0)
        min_run = INT32_MAX;
    else if (m_d >= 1.0)
        min_run = (int32_t)m_d;
    else
        min_run = 1; // also for NaN

    sil_heap_ptr<span> spans;
    size_t n_spans = 0, spans_cap = 0;
    for (int32_t i = 0; i < frames; i++) {
        if (!(level[i] > loud_above))
            continue;
        const int32_t first = i;
        int32_t quiet = 0;
        int32_t end = frames; // a span still open when the frames run out
        for (i = first + 1; i < frames; i++) {
            if (level[i] < silent_below) {
                if (++quiet == min_run) {
                    end = i - min_run + 1;
                    break;
                }
            } else {
                quiet = 0;
            }
        }
        if (!sil_push(spans, n_spans, spans_cap, span{first, end})) {
            sil_set_error("out of memory");
            return -1;
        }
    }

    // Candidate chapters: the spans long enough, each with its peak level.
    sil_heap_ptr<sil_chapter> list;
    size_t count = 0, list_cap = 0;
    for (size_t s = 0; s < n_spans; s++) {
        const span sp = spans.get()[s];
        // The hop's start in single precision: frame × 160 / 16000.
        const float t0 = (float)sp.first * (float)SIL_HOP / (float)SIL_ANALYSIS_RATE;
        const float t1 = sp.end == frames
                             ? duration
                             : (float)sp.end * (float)SIL_HOP / (float)SIL_ANALYSIS_RATE;
        if (t1 - t0 < opts->min_chapter_s)
            continue;
        float peak = SILENCE_DB;
        for (int32_t k = sp.first; k < sp.end; k++)
            if (level[k] > peak) // NaN never wins
                peak = level[k];
        if (!sil_push(list, count, list_cap, sil_chapter{t0, t1, peak})) {
            sil_set_error("out of memory");
            return -1;
        }
    }
    spans.reset();

    if (count > 0) {
        count = pad_chapters(list.get(), count, opts->padding_s, duration);
        count = sort_and_merge(list.get(), count, opts->min_silence_s);
        if (opts->max_chapter_s > 0.0f) {
            sil_heap_ptr<sil_chapter> pieces;
            size_t n_pieces = 0;
            if (split_chapters(list.get(), count, opts->max_chapter_s, pieces, n_pieces) != 0)
                return -1;
            list = std::move(pieces);
            count = n_pieces;
        }
        if (count > (size_t)SIL_MAX_CHAPTERS) {
            sil_set_error("chapter count exceeds 10000");
            return -1;
        }
    }

    if (count == 0)
        list.reset(); // an empty list is NULL, even when padding dropped every chapter

    float kept_s = 0.0f;
    for (size_t i = 0; i < count; i++)
        kept_s += list.get()[i].t1 - list.get()[i].t0;
    const float removed = duration - kept_s;

    *out = list.release();
    *out_n = (int)count;
    if (out_removed_s)
        *out_removed_s = removed < 0.0f ? 0.0f : removed;
    return 0;
}

int sil_detect_chapters(const float *samples, int n, const sil_opts *opts, sil_chapter **out,
                        int *out_n, float *out_removed_s, float *out_duration_s,
                        sil_progress *progress, sil_report_extras *extras) {
    *out = nullptr;
    *out_n = 0;
    if (out_removed_s)
        *out_removed_s = 0.0f;
    if (n < 0 || !opts || (!samples && n != 0)) {
        sil_set_error("invalid detect args");
        return -1;
    }
    if (n == 0) {
        if (out_duration_s)
            *out_duration_s = 0.0f;
        // No chapters; the members asked for are there, empty.
        if (extras) {
            if (sil_detect_on_levels(nullptr, 0, 0.0f, opts, out, out_n, out_removed_s, extras) != 0)
                return -1;
            sil_report_extras_take_levels(extras, opts, nullptr, 0);
        }
        return 0;
    }
    // The duration is handed out once the detect stage has begun (a cancel at
    // its first report leaves it untouched).
    if (sil_progress_report(progress, SIL_PCT_RESAMPLE_END, SIL_STAGE_DETECT) != 0)
        return -1;
    const float duration = (float)n / (float)SIL_ANALYSIS_RATE;
    if (out_duration_s)
        *out_duration_s = duration;
    float *curve_raw = nullptr;
    int32_t frames = 0;
    if (sil_frame_levels(samples, n, &curve_raw, &frames, progress) != 0)
        return -1;
    sil_heap_ptr<float> curve(curve_raw);
    if (sil_detect_on_levels(curve.get(), frames, duration, opts, out, out_n, out_removed_s,
                             extras) != 0)
        return -1;
    if (extras && sil_report_extras_take_levels(extras, opts, curve.get(), frames))
        curve.release(); // kept for the report
    return 0;
}
