// The silence scan on the level curve, and the refinement of its chapters:
// padding, sorting, merging, cutting at a maximum length, the limit.
#include "silence_scan.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr float SILENCE_DB = -120.0f;

// A quiet stretch as long as a pause between sentences: a cut at a pause
// looks for one before it takes a shorter one.
constexpr int32_t SENTENCE_PAUSE_FRAMES = 25;
// Shortest quiet stretch that counts as a pause.
constexpr int32_t PAUSE_MIN_FRAMES = 10;
// A cut at a pause leaves pieces of at least this long on both sides (half
// the maximum when that is less): a pause at the very edge of a chapter (the
// one that ends it) would otherwise cut off a piece of a few milliseconds.
constexpr float MIN_PIECE_S = 1.0f;

} // namespace

// ---------------------------------------------------------------------------
// Scan
// ---------------------------------------------------------------------------

int32_t sil_min_silence_frames(float min_silence_s) {
    const double m_d = std::ceil((double)min_silence_s * 1000.0 / 10.0);
    if (m_d >= 2147483647.0)
        return INT32_MAX;
    if (m_d >= 1.0)
        return (int32_t)m_d;
    return 1; // also for NaN
}

int sil_scan_sound(const float *level, const float *thr, float fixed, int32_t frames,
                   int32_t min_run, sil_heap_ptr<sil_span> &out, size_t &n) {
    // The sum is formed per frame as the per-frame threshold path does, so a
    // fixed threshold gives the same comparisons as a curve of that value.
    const float loud_fixed = SIL_ONSET_MARGIN_DB + fixed;
    size_t cap = 0;
    n = 0;
    for (int32_t i = 0; i < frames; i++) {
        if (!(level[i] > (thr ? SIL_ONSET_MARGIN_DB + thr[i] : loud_fixed)))
            continue;
        const int32_t first = i;
        int32_t quiet = 0;
        int32_t end = frames; // a span still open when the frames run out
        for (i = first + 1; i < frames; i++) {
            if (level[i] < (thr ? thr[i] : fixed)) {
                if (++quiet == min_run) {
                    end = i - min_run + 1;
                    break;
                }
            } else {
                quiet = 0;
            }
        }
        if (!sil_push(out, n, cap, sil_span{first, end})) {
            sil_fail_memory();
            return -1;
        }
    }
    return 0;
}

int sil_scan_sound_near(const float *level, const float *thr, const float *near, int32_t frames,
                        int32_t min_run, sil_heap_ptr<sil_span> &out, size_t &n) {
    size_t cap = 0;
    n = 0;
    for (int32_t i = 0; i < frames; i++) {
        if (!(level[i] > SIL_ONSET_MARGIN_DB + thr[i]))
            continue;
        const int32_t first = i;
        int32_t near_first = -1; // first frame under near in the current quiet stretch
        int32_t end = frames;
        for (i = first + 1; i < frames; i++) {
            if (!(level[i] < thr[i])) {
                near_first = -1;
                continue;
            }
            if (!(level[i] < near[i]))
                continue;
            if (near_first < 0)
                near_first = i;
            if (i - near_first + 1 >= min_run) {
                end = near_first;
                break;
            }
        }
        if (!sil_push(out, n, cap, sil_span{first, end})) {
            sil_fail_memory();
            return -1;
        }
    }
    return 0;
}

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

size_t sil_pad_chapters(sil_chapter *c, size_t n, float pad, float duration) {
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

size_t sil_sort_and_merge(sil_chapter *c, size_t n, float min_gap) {
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

// ---------------------------------------------------------------------------
// The maximum length
// ---------------------------------------------------------------------------

// Pieces a stretch of len seconds needs at most max_s seconds long.
static double pieces_for(double len, double max_s) { return std::ceil(len / max_s - 1e-9); }

// The quiet stretch a chapter s longer than the maximum is cut in, or NULL.
static const sil_pause *best_cut(const sil_chapter &s, float max_s, const sil_pause *quiet,
                                 int32_t n_quiet) {
    const double k = pieces_for(s.t1 - s.t0, max_s);
    const float min_piece = std::min(MIN_PIECE_S, 0.5f * max_s);
    // Quiet stretches whose cut lies inside the chapter.
    const sil_pause *lo =
        std::lower_bound(quiet, quiet + n_quiet, s.t0,
                         [](const sil_pause &p, float t) { return p.cut_t <= t; });
    // The strongest in tiers: a pause as long as one between sentences where
    // the fewest pieces remain possible, then anywhere in the chapter; then
    // the same for a pause of PAUSE_MIN_FRAMES, then for any quiet frame.
    constexpr int TIERS = 6;
    const int32_t tier_frames[TIERS / 2] = {SENTENCE_PAUSE_FRAMES, PAUSE_MIN_FRAMES, 1};
    const sil_pause *best[TIERS] = {};
    for (const sil_pause *p = lo; p < quiet + n_quiet; p++) {
        const float cut = p->cut_t;
        if (!(cut < s.t1))
            break;
        if (cut - s.t0 < min_piece || s.t1 - cut < min_piece)
            continue;
        const bool fewest = pieces_for(cut - s.t0, max_s) + pieces_for(s.t1 - cut, max_s) <= k;
        for (int tier = 0; tier < TIERS; tier++) {
            const bool fits =
                (tier % 2 == 1 || fewest) && p->end - p->first >= tier_frames[tier / 2];
            if (fits && (!best[tier] || sil_pause_strength(*p) > sil_pause_strength(*best[tier])))
                best[tier] = p;
        }
    }
    for (int tier = 0; tier < TIERS; tier++)
        if (best[tier])
            return best[tier];
    return nullptr;
}

int sil_cut_long(const sil_chapter *c, size_t n, float max_s, const sil_pause *quiet,
                 int32_t n_quiet, sil_heap_ptr<sil_chapter> &out, size_t &out_n) {
    const float lim = SIL_SPLIT_TOLERANCE_S + max_s;
    size_t cap = 0;
    out_n = 0;
    // Chapters still to cut, the earliest on top.
    sil_heap_ptr<sil_chapter> todo;
    size_t n_todo = 0, todo_cap = 0;
    for (size_t i = 0; i < n; i++) {
        if (!sil_push(todo, n_todo, todo_cap, c[i])) {
            sil_fail_memory();
            return -1;
        }
        while (n_todo > 0) {
            const sil_chapter s = todo.get()[--n_todo];
            // A tiny maximum against a long recording would otherwise make
            // millions of pieces.
            if (out_n + n_todo >= (size_t)SIL_MAX_CHAPTERS) {
                sil_set_error("chapter count exceeds 10000");
                return -1;
            }
            if (!(s.t1 - s.t0 > lim)) {
                if (!sil_push(out, out_n, cap, s)) {
                    sil_fail_memory();
                    return -1;
                }
                continue;
            }
            const sil_pause *at = quiet ? best_cut(s, max_s, quiet, n_quiet) : nullptr;
            const float cut = at ? at->cut_t : s.t0 + max_s;
            // A hard cut's remainder within the tolerance is no piece.
            if (s.t1 - cut > SIL_SPLIT_TOLERANCE_S &&
                !sil_push(todo, n_todo, todo_cap, sil_chapter{cut, s.t1, s.peak_db})) {
                sil_fail_memory();
                return -1;
            }
            // A piece cut hard is final: t0 + max_s - t0 may round to a hair
            // over the maximum, and cutting it again would cut at the same
            // place forever. A piece before a pause is taken up next.
            const sil_chapter piece{s.t0, cut, s.peak_db};
            if (!(at ? sil_push(todo, n_todo, todo_cap, piece) : sil_push(out, out_n, cap, piece))) {
                sil_fail_memory();
                return -1;
            }
        }
    }
    return 0;
}

float sil_removed_s(const sil_chapter *c, size_t n, float duration) {
    float kept_s = 0.0f;
    for (size_t i = 0; i < n; i++)
        kept_s += c[i].t1 - c[i].t0;
    const float removed = duration - kept_s;
    return removed < 0.0f ? 0.0f : removed;
}

// ---------------------------------------------------------------------------
// The defaults' chapters
// ---------------------------------------------------------------------------

int sil_chapters_from_levels(const float *level, int32_t frames, float duration,
                             const sil_opts *opts, sil_chapter **out, int *out_n,
                             float *out_removed_s) {
    *out = nullptr;
    *out_n = 0;
    if (out_removed_s)
        *out_removed_s = 0.0f;
    if (!opts || frames < 0 || (!level && frames != 0)) {
        sil_fail(SIL_ERR_ARGS, "invalid detect args");
        return -1;
    }

    sil_heap_ptr<sil_span> spans;
    size_t n_spans = 0;
    if (sil_scan_sound(level, nullptr, opts->threshold_db, frames,
                       sil_min_silence_frames(opts->min_silence_s), spans, n_spans) != 0)
        return -1;

    // Candidate chapters: the spans long enough, each with its peak level.
    sil_heap_ptr<sil_chapter> list;
    size_t count = 0, list_cap = 0;
    for (size_t s = 0; s < n_spans; s++) {
        const sil_span sp = spans.get()[s];
        const float t0 = sil_frame_time(sp.first);
        const float t1 = sp.end == frames ? duration : sil_frame_time(sp.end);
        if (t1 - t0 < opts->min_chapter_s)
            continue;
        float peak = SILENCE_DB;
        for (int32_t k = sp.first; k < sp.end; k++)
            if (level[k] > peak) // NaN never wins
                peak = level[k];
        if (!sil_push(list, count, list_cap, sil_chapter{t0, t1, peak})) {
            sil_fail_memory();
            return -1;
        }
    }
    spans.reset();

    if (count > 0) {
        count = sil_pad_chapters(list.get(), count, opts->padding_s, duration);
        count = sil_sort_and_merge(list.get(), count, opts->min_silence_s);
        if (opts->max_chapter_s > 0.0f) {
            // A chapter of no length is no piece once a maximum applies.
            size_t kept = 0;
            for (size_t i = 0; i < count; i++)
                if (list.get()[i].t1 - list.get()[i].t0 > SIL_SPLIT_TOLERANCE_S)
                    list.get()[kept++] = list.get()[i];
            sil_heap_ptr<sil_chapter> pieces;
            size_t n_pieces = 0;
            if (sil_cut_long(list.get(), kept, opts->max_chapter_s, nullptr, 0, pieces,
                             n_pieces) != 0)
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

    const float removed = sil_removed_s(list.get(), count, duration);
    *out = list.release();
    *out_n = (int)count;
    if (out_removed_s)
        *out_removed_s = removed;
    return 0;
}

int sil_left_out(const float *level, int32_t frames, float duration, const sil_opts *opts,
                 const sil_chapter *c, size_t n, float *seconds, int32_t *stretches) {
    *seconds = 0.0f;
    *stretches = 0;
    sil_heap_ptr<sil_span> spans;
    size_t n_spans = 0;
    if (sil_scan_sound(level, nullptr, opts->threshold_db, frames,
                       sil_min_silence_frames(opts->min_silence_s), spans, n_spans) != 0)
        return -1;
    double total = 0.0;
    size_t j = 0;
    for (size_t i = 0; i < n_spans; i++) {
        const double t0 = sil_frame_time(spans.get()[i].first);
        const double t1 = spans.get()[i].end == frames ? duration : sil_frame_time(spans.get()[i].end);
        while (j < n && c[j].t1 <= t0)
            j++;
        double inside = 0.0;
        for (size_t k = j; k < n && c[k].t0 < t1; k++)
            inside += std::max(0.0, std::min(t1, (double)c[k].t1) - std::max(t0, (double)c[k].t0));
        const double out = (t1 - t0) - inside;
        if (out > 0.005) {
            total += out;
            ++*stretches;
        }
    }
    *seconds = (float)total;
    return 0;
}
