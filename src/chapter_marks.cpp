// Chapters from lists the host gives. Hints: each approximate start is
// expected at a + b x hint, the offset a and the speed ratio b fitted by
// least squares to the hints already placed on pauses (the ratio pulled
// towards 1 until the placed hints span enough of the recording to tell), and
// it goes to the pause in its window with the best score: the log of the
// pause's length (a chapter pause is long) less the squared distance from the
// expected place in units of the spread seen so far (a pause of the same
// length closer to it is more likely the one). The first offset cannot come
// from a fit: each pause in the first window is tried as the first hint's
// place and the one under which the next hints also meet good pauses wins.
#include "chapter_marks.h"

#include "chapter_rules.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Score weight of the log of a pause's length.
constexpr double LENGTH_WEIGHT = 2.0;
// Spread of the hints about the fitted line, in seconds: at least this, at
// most a third of the window, 1.5 times the spread seen once there is one.
constexpr double SPREAD_MIN_S = 3.0;
constexpr double SPREAD_SEEN_FACTOR = 1.5;
// How strongly the speed ratio is held at 1: the weight of the prior, in
// seconds squared of hint spread (a 3 s spread against a ratio known to
// about 0.5 %).
constexpr double RATIO_PRIOR_S2 = (3.0 / 0.005) * (3.0 / 0.005);
// A pause shorter than this, or farther than WEAK_SPREADS spreads from where
// the hint was expected, makes a weak snap (which does not move the fit).
constexpr double WEAK_PAUSE_S = 1.0;
constexpr double WEAK_SPREADS = 2.0;
// Hints after the first whose fit decides the first offset.
constexpr int32_t LOOK_AHEAD = 3;
// A hint with no pause in its window, or a short one only, goes to the best
// pause of at least this length between the boundary before it and where the
// next hint is expected, and at most OUTSIDE_SPREADS spreads outside the
// window (a chapter pause a little outside it), as a weak snap, before it
// falls back to its expected place.
constexpr double OUTSIDE_PAUSE_S = 1.5;
constexpr double OUTSIDE_SPREADS = 2.0;

inline double pause_len(const sil_pause &p) { return (double)(p.end - p.first) * 0.01; }

inline double pause_score(const sil_pause &p, double expected, double spread) {
    const double d = ((double)p.cut_t - expected) / spread;
    return LENGTH_WEIGHT * std::log(pause_len(p)) - 0.5 * d * d;
}

// The running least-squares fit of (hint, cut) pairs: cut - hint = a + c x hint.
struct drift_fit {
    double n, sh, sr, shh, shr; // count and sums of hint, residual, hint^2, hint x residual
    double err2;                // squared prediction errors of the fitted snaps
    double n_err;

    double expect(double h) const {
        if (n == 0.0)
            return h;
        const double mh = sh / n, mr = sr / n;
        const double c = (shr - sh * mr) / (shh - sh * mh + RATIO_PRIOR_S2);
        return h + (mr - c * mh) + c * h;
    }
    double spread(double window) const {
        const double cap = window / 3.0 > SPREAD_MIN_S ? window / 3.0 : SPREAD_MIN_S;
        if (n == 0.0)
            return cap;
        const double s = n_err > 0.0 ? SPREAD_SEEN_FACTOR * std::sqrt(err2 / n_err) : 0.0;
        return s < SPREAD_MIN_S ? SPREAD_MIN_S : s > cap ? cap : s;
    }
    void add(double h, double cut, double expected) {
        if (n > 0.0) {
            err2 += (cut - expected) * (cut - expected);
            n_err += 1.0;
        }
        const double r = cut - h;
        n += 1.0;
        sh += h;
        sr += r;
        shh += h * h;
        shr += h * r;
    }
};

// The best pause after pause `after` and after `floor_t` whose cut lies
// within window of expected (and before duration): its index, or -1.
int32_t best_pause(const sil_pause *p, int32_t n, int32_t after, double floor_t, double expected,
                   double window, double spread, double duration, double *score) {
    int32_t best = -1;
    double best_score = 0.0;
    for (int32_t i = after + 1; i < n; i++) {
        const double c = p[i].cut_t;
        if (c > expected + window || c >= duration)
            break;
        if (c <= floor_t || c < expected - window)
            continue;
        const double s = pause_score(p[i], expected, spread);
        if (best < 0 || s > best_score) {
            best = i;
            best_score = s;
        }
    }
    if (score)
        *score = best_score;
    return best;
}

} // namespace

void sil_snap_hints(const sil_pause *pauses, int32_t n_pauses, const sil_mark *hints,
                    int32_t n_hints, float window_s, float duration, sil_snap *out) {
    drift_fit fit{};
    const double window = window_s;
    int32_t last_pause = -1;
    double last_cut = -1.0;
    for (int32_t k = 0; k < n_hints; k++) {
        const double h = hints[k].t0;
        if (k == 0 && h <= SIL_HINT_AT_START_S) {
            out[k] = sil_snap{0.0f, -1, SIL_SNAP_START};
            last_cut = 0.0;
            continue;
        }
        double expected = fit.expect(h);
        const double spread = fit.spread(window);
        int32_t pick = -1;
        if (fit.n == 0.0) {
            // The first offset: every pause of the window in turn, judged
            // with the hints after it under that offset.
            double best_total = 0.0;
            for (int32_t i = last_pause + 1; i < n_pauses; i++) {
                const double c = pauses[i].cut_t;
                if (c > h + window || c >= duration)
                    break;
                if (c <= last_cut || c < h - window)
                    continue;
                double total = pause_score(pauses[i], h, spread);
                int32_t after = i;
                double floor_t = c;
                for (int32_t j = k + 1; j < n_hints && j <= k + LOOK_AHEAD; j++) {
                    const double e = hints[j].t0 + (c - h);
                    double s = 0.0;
                    const int32_t q = best_pause(pauses, n_pauses, after, floor_t, e, window,
                                                 SPREAD_MIN_S, duration, &s);
                    if (q < 0)
                        continue;
                    total += s;
                    after = q;
                    floor_t = pauses[q].cut_t;
                }
                if (pick < 0 || total > best_total) {
                    pick = i;
                    best_total = total;
                }
            }
        } else {
            pick = best_pause(pauses, n_pauses, last_pause, last_cut, expected, window, spread,
                              duration, nullptr);
        }
        if ((pick < 0 || pause_len(pauses[pick]) < WEAK_PAUSE_S) && fit.n > 0.0) {
            // No pause in the window, or a short one only: the best
            // chapter-length pause between the boundary before and where
            // the next hint is expected.
            double next = k + 1 < n_hints ? fit.expect(hints[k + 1].t0) : duration;
            const double reach = window + OUTSIDE_SPREADS * spread;
            if (next > expected + reach)
                next = expected + reach;
            double best = 0.0;
            int32_t outside = -1;
            for (int32_t i = last_pause + 1; i < n_pauses; i++) {
                const double c = pauses[i].cut_t;
                if (c >= next || c >= duration)
                    break;
                if (c <= last_cut || c < expected - reach ||
                    pause_len(pauses[i]) < OUTSIDE_PAUSE_S)
                    continue;
                const double sc = pause_score(pauses[i], expected, spread);
                if (outside < 0 || sc > best) {
                    outside = i;
                    best = sc;
                }
            }
            if (outside >= 0) {
                out[k] = sil_snap{pauses[outside].cut_t, outside, SIL_SNAP_WEAK};
                last_pause = outside;
                last_cut = pauses[outside].cut_t;
                continue;
            }
        }
        if (pick < 0) {
            double cut = expected;
            if (cut < last_cut)
                cut = last_cut;
            if (cut > duration)
                cut = duration;
            out[k] = sil_snap{(float)cut, -1, SIL_SNAP_NONE};
            last_cut = cut;
            continue;
        }
        const sil_pause &p = pauses[pick];
        const bool weak = pause_len(p) < WEAK_PAUSE_S ||
                          (fit.n > 0.0 && std::fabs(p.cut_t - expected) > WEAK_SPREADS * spread);
        out[k] = sil_snap{p.cut_t, pick, weak ? SIL_SNAP_WEAK : SIL_SNAP_PAUSE};
        if (!weak)
            fit.add(h, p.cut_t, expected);
        last_pause = pick;
        last_cut = p.cut_t;
    }
}

int sil_given_chapters(const sil_mark *marks, int32_t n, float duration, sil_chapter *out) {
    for (int32_t i = 0; i < n; i++) {
        const sil_mark &m = marks[i];
        if (!(m.t0 < duration)) {
            char msg[160];
            snprintf(msg, sizeof msg,
                     "chapters[%d]: t0 is not before the end of the recording (%.3f s)", (int)i,
                     (double)duration);
            sil_fail(SIL_ERR_ARGS, msg);
            return -1;
        }
        float t1 = m.t1 >= 0.0f ? m.t1 : i + 1 < n ? marks[i + 1].t0 : duration;
        if (t1 > duration)
            t1 = duration;
        out[i] = sil_chapter{m.t0, t1, -120.0f};
    }
    return 0;
}

const char *sil_chapter_title(const sil_chapter_keys *keys, int32_t i) {
    if (!keys || i < 0)
        return nullptr;
    if (i < keys->n_titles && keys->titles[i])
        return keys->titles[i];
    if (i < keys->n_chapters)
        return keys->chapters[i].title;
    if (i < keys->n_hints)
        return keys->hints[i].title;
    return nullptr;
}

bool sil_chapter_keys_titled(const sil_chapter_keys *keys) {
    if (!keys)
        return false;
    if (keys->n_titles > 0)
        return true;
    for (int32_t i = 0; i < keys->n_chapters; i++)
        if (keys->chapters[i].title)
            return true;
    for (int32_t i = 0; i < keys->n_hints; i++)
        if (keys->hints[i].title)
            return true;
    return false;
}

int sil_apply_chapter_keys(const sil_chapter_keys *keys, const float *level, int32_t frames,
                           float duration, sil_chapter **chapters, int *count, float *removed_s,
                           sil_report_extras *extras) {
    if (!keys)
        return 0;
    auto fail = [&]() {
        free(*chapters);
        *chapters = nullptr;
        *count = 0;
        return -1;
    };
    if (keys->n_chapters > 0) {
        sil_heap_ptr<sil_chapter> given(sil_alloc_array<sil_chapter>((size_t)keys->n_chapters));
        if (!given) {
            sil_fail_memory();
            return fail();
        }
        if (sil_given_chapters(keys->chapters, keys->n_chapters, duration, given.get()) != 0)
            return fail();
        for (int32_t i = 0; i < keys->n_chapters; i++) {
            sil_chapter &c = given.get()[i];
            c.peak_db = sil_chapter_peak(level, frames, c.t0, c.t1);
        }
        free(*chapters);
        *count = keys->n_chapters;
        *chapters = given.release();
        if (removed_s)
            *removed_s = sil_removed_s(*chapters, (size_t)*count, duration);
        // The detected boundaries and what their chapters left out do not
        // describe the given list.
        if (extras) {
            free(extras->boundaries);
            extras->boundaries = nullptr;
            extras->n_boundaries = 0;
            extras->has_boundaries = false;
            extras->left_out_s = 0.0f;
            extras->left_out_n = 0;
        }
    }
    if (extras && *count > 0 && sil_chapter_keys_titled(keys)) {
        const char **titles = sil_alloc_array<const char *>((size_t)*count);
        if (!titles) {
            sil_fail_memory();
            return fail();
        }
        for (int32_t i = 0; i < *count; i++)
            titles[i] = sil_chapter_title(keys, i);
        extras->titles = titles;
        extras->n_titles = *count;
    }
    return 0;
}
