// The live analysis: the defaults' chapter rules (silence_scan.h) run as the
// level curve grows, each step taken as soon as no later level can change
// it. The steps and their arithmetic are those of sil_chapters_from_levels,
// so the chapters are the same bit for bit:
//
//   scan      a sound opens at a level over threshold + 6 dB and ends at the
//             first run of min_run levels under the threshold;
//   keep      a sound of at least min_chapter_s is a candidate;
//   pad       its start moves back by padding_s (not before 0), its end on
//             (not past the recording's end: final once the audio heard
//             reaches it);
//   merge     a candidate starting less than min_silence_s after the chapter
//             being built joins it; that chapter is final once no later
//             candidate can start that close (the scan is past the point);
//   cut       with max_chapter_s, pieces of the maximum from the chapter's
//             start, each final as soon as the chapter runs past it.
#include "live.h"

#include "chapter_rules.h"
#include "export.h"
#include "levels.h"
#include "pipeline.h"
#include "report.h"
#include "resampler.h"
#include "silence_scan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr float SILENCE_DB = -120.0f;
// 16 kHz samples the resampler writes per block, as the pipeline's.
constexpr size_t RESAMPLE_BLOCK = 32768;

} // namespace

struct sil_live {
    sil_opts opts;
    int32_t rate;
    int64_t pushed;
    bool ended;
    bool failed;

    // Options decided at the end: the whole recording's analysis, and its
    // report once it ended.
    sil_pipeline *pipe;
    char *report;

    // The signal at 16 kHz and its levels, dropped once scanned.
    bool resampling;
    sil_resampler rs;
    float *out16;
    size_t in_step;
    sil_level_stage levels;

    // The scan: the next level's index, and the sound it is in.
    int64_t k;
    bool in_sound;
    int64_t first;
    int32_t quiet;
    float peak;
    int32_t min_run;

    // Padded candidates whose end waits for the audio to reach it.
    sil_heap_ptr<sil_chapter> pending;
    size_t n_pending, pending_cap, pending_head;

    // The chapter being built (merged candidates), and with max_chapter_s
    // the start of its part not yet cut into pieces.
    bool has_open;
    sil_chapter open;
    bool cutting;        // pieces of the chapter starting at cut_owner were handed out
    float cut_owner;     // that chapter's start
    float cursor;        // where its next piece starts
    int32_t owner_first; // the index of its first piece

    // The sound the chapters leave out (sil_left_out): every sound of the
    // scan, in seconds, waits here until no chapter still to come can
    // overlap it; left_j is the first chapter that can still overlap one.
    sil_heap_ptr<sil_chapter> sounds;
    size_t n_sounds, sounds_cap, sounds_head;
    size_t left_j;
    double left_total;
    int32_t left_n;
    float deferred_left_s; // with the options decided at the end: the pipeline's
    int32_t deferred_left_n;

    // The final chapters; the first n_ranged have their frames.
    sil_heap_ptr<sil_live_chapter> out;
    size_t n_out, out_cap;
    size_t n_ranged;
};

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

const char *sil_live_deferred_option(const sil_opts *o, const sil_chapter_keys *keys) {
    if (o->auto_detect)
        return "auto";
    if (o->auto_threshold)
        return "auto_threshold";
    if (o->keep_all)
        return "keep_all";
    if (o->chapter_count > 0)
        return "chapter_count";
    if (o->speech)
        return "speech";
    if (o->cut_at_pause && o->max_chapter_s > 0.0f)
        return "cut_at_pause";
    if (o->report_pauses)
        return "report_pauses";
    if (o->report_levels)
        return "report_levels";
    if (o->report_speech)
        return "report_speech";
    if (keys && keys->n_chapters > 0)
        return "chapters";
    if (keys && keys->n_hints > 0)
        return "hints";
    if (keys && keys->n_titles > 0)
        return "titles";
    return nullptr;
}

// ---------------------------------------------------------------------------
// Record
// ---------------------------------------------------------------------------

sil_live *sil_live_new(int32_t rate, const sil_opts *opts, const sil_chapter_keys *keys) {
    if (rate <= 0 || !opts) {
        sil_fail(SIL_ERR_ARGS, "invalid resample args");
        return nullptr;
    }
    sil_live *l = static_cast<sil_live *>(calloc(1, sizeof(sil_live)));
    if (!l) {
        sil_fail_memory();
        return nullptr;
    }
    sil_live_ptr guard(l);
    new (&l->pending) sil_heap_ptr<sil_chapter>();
    new (&l->out) sil_heap_ptr<sil_live_chapter>();
    new (&l->sounds) sil_heap_ptr<sil_chapter>();
    l->opts = *opts;
    l->rate = rate;
    if (sil_live_deferred_option(opts, keys)) {
        l->pipe = sil_pipeline_new(rate, -1, opts, nullptr, keys);
        if (!l->pipe)
            return nullptr;
        return guard.release();
    }
    l->resampling = rate != SIL_ANALYSIS_RATE;
    sil_resampler_init(&l->rs, rate);
    l->in_step = (size_t)SIL_READ_STEP;
    if (l->resampling) {
        const double per_out = (double)RESAMPLE_BLOCK / l->rs.ratio;
        if (per_out < (double)l->in_step)
            l->in_step = per_out < 1.0 ? 1 : (size_t)per_out;
        l->out16 =
            static_cast<float *>(malloc(sil_resampler_max_out(&l->rs, l->in_step) * sizeof(float)));
        if (!l->out16) {
            sil_fail_memory();
            return nullptr;
        }
    }
    if (sil_levels_init(&l->levels, 0) != 0)
        return nullptr;
    l->min_run = sil_min_silence_frames(opts->min_silence_s);
    return guard.release();
}

void sil_live_free(sil_live *l) {
    if (!l)
        return;
    sil_pipeline_free(l->pipe);
    if (!l->pipe) {
        sil_resampler_free(&l->rs);
        sil_levels_free(&l->levels);
    }
    free(l->out16);
    free(l->report);
    l->pending.~sil_heap_ptr<sil_chapter>();
    l->out.~sil_heap_ptr<sil_live_chapter>();
    l->sounds.~sil_heap_ptr<sil_chapter>();
    free(l);
}

int64_t sil_live_frames(const sil_live *l) { return l->pushed; }

const sil_live_chapter *sil_live_chapters(const sil_live *l, int32_t *n) {
    *n = (int32_t)l->n_ranged;
    return l->out.get();
}

// ---------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------

// The 16 kHz samples made so far, and the recording's length at 16 kHz as
// the analysis states it (final once the stream ended).
static int64_t n16_of(const sil_live *l) { return l->resampling ? l->rs.out_count : l->pushed; }
static float duration16(const sil_live *l) { return (float)n16_of(l) / (float)SIL_ANALYSIS_RATE; }

static float padded_start(const sil_live *l, float t0) {
    const float t = t0 - l->opts.padding_s;
    return t < 0.0f ? 0.0f : t;
}

static int add_chapter(sil_live *l, const sil_chapter &c) {
    if (l->n_out >= (size_t)SIL_MAX_CHAPTERS) {
        sil_set_error("chapter count exceeds 10000");
        return -1;
    }
    if (!sil_push(l->out, l->n_out, l->out_cap, sil_live_chapter{c, 0, 0})) {
        sil_fail_memory();
        return -1;
    }
    return 0;
}

// The chapter being built is final: its pieces, cut as sil_chapters_from_levels
// cuts them (a chapter of no length is no piece once a maximum applies).
static int close_open(sil_live *l) {
    l->has_open = false;
    const sil_chapter m = l->open;
    const float max_s = l->opts.max_chapter_s;
    if (!(max_s > 0.0f))
        return add_chapter(l, m);
    sil_chapter rest = m;
    if (l->cutting && l->cut_owner == m.t0) {
        // Its first pieces were handed out while it went on; they carry the
        // chapter's peak, known now.
        for (size_t i = (size_t)l->owner_first; i < l->n_out; i++)
            l->out.get()[i].c.peak_db = m.peak_db;
        l->cutting = false;
        // The part after the last piece, as the cut leaves it.
        if (!(m.t1 - l->cursor > SIL_SPLIT_TOLERANCE_S))
            return 0;
        rest.t0 = l->cursor;
    } else if (!(m.t1 - m.t0 > SIL_SPLIT_TOLERANCE_S)) {
        return 0;
    }
    sil_heap_ptr<sil_chapter> pieces;
    size_t n = 0;
    if (sil_cut_long(&rest, 1, max_s, nullptr, 0, pieces, n) != 0)
        return -1;
    for (size_t i = 0; i < n; i++)
        if (add_chapter(l, pieces.get()[i]) != 0)
            return -1;
    return 0;
}

// A padded candidate whose end is known: merged into the chapter being
// built, or the start of the next one.
static int take_candidate(sil_live *l, sil_chapter c) {
    if (c.t1 < c.t0) // narrowed inside out by a negative padding
        return 0;
    if (l->has_open) {
        sil_chapter &p = l->open;
        if (c.t0 - p.t1 < l->opts.min_silence_s) {
            if (c.t1 > p.t1)
                p.t1 = c.t1;
            if (c.peak_db > p.peak_db)
                p.peak_db = c.peak_db;
            return 0;
        }
        if (close_open(l) != 0)
            return -1;
    }
    l->open = c;
    l->has_open = true;
    return 0;
}

// A sound from level first to end (end_t: its end in seconds).
static int sound_ended(sil_live *l, int64_t first, float end_t, float peak) {
    const float t0 = sil_frame_time((int32_t)first);
    if (!sil_push(l->sounds, l->n_sounds, l->sounds_cap, sil_chapter{t0, end_t, peak})) {
        sil_fail_memory();
        return -1;
    }
    if (end_t - t0 < l->opts.min_chapter_s)
        return 0;
    const sil_chapter c{padded_start(l, t0), end_t + l->opts.padding_s, peak};
    if (!sil_push(l->pending, l->n_pending, l->pending_cap, c)) {
        sil_fail_memory();
        return -1;
    }
    return 0;
}

// One level of the curve, through the scan (sil_scan_sound with a fixed
// threshold; the peak is sil_chapters_from_levels's).
static int scan_level(sil_live *l, float v) {
    const float thr = l->opts.threshold_db;
    const int64_t i = l->k++;
    if (!l->in_sound) {
        if (v > SIL_ONSET_MARGIN_DB + thr) {
            l->in_sound = true;
            l->first = i;
            l->quiet = 0;
            l->peak = v > SILENCE_DB ? v : SILENCE_DB;
        }
        return 0;
    }
    if (v > l->peak) // the frames of the run that ends it are never louder
        l->peak = v;
    if (v < thr) {
        if (++l->quiet == l->min_run) {
            l->in_sound = false;
            return sound_ended(l, l->first, sil_frame_time((int32_t)(i - l->min_run + 1)), l->peak);
        }
    } else {
        l->quiet = 0;
    }
    return 0;
}

// The earliest padded start a candidate not yet seen can have.
static float next_start_bound(const sil_live *l) {
    return padded_start(l, sil_frame_time((int32_t)(l->in_sound ? l->first : l->k)));
}

// With max_chapter_s: the pieces of the chapter being built (or of the
// sound going on, once it is sure to be a chapter) that lie before the
// least end it can have.
static int cut_early(sil_live *l) {
    const float max_s = l->opts.max_chapter_s;
    if (!(max_s > 0.0f) || l->ended || l->pending_head < l->n_pending)
        return 0;
    bool known = l->has_open;
    sil_chapter o = l->open;
    if (l->in_sound) {
        // The sound ends no earlier than the quiet run it is in.
        const float t0 = sil_frame_time((int32_t)l->first);
        const float end_lb = sil_frame_time((int32_t)(l->k - l->quiet));
        if (!(end_lb - t0 < l->opts.min_chapter_s)) {
            const float dur = duration16(l);
            float t1 = end_lb + l->opts.padding_s;
            t1 = dur < t1 ? dur : t1;
            const float s0 = padded_start(l, t0);
            if (!(t1 < s0)) {
                if (!known) {
                    o = sil_chapter{s0, t1, l->peak};
                    known = true;
                } else if (s0 - o.t1 < l->opts.min_silence_s) {
                    o.t1 = t1 > o.t1 ? t1 : o.t1;
                    o.peak_db = l->peak > o.peak_db ? l->peak : o.peak_db;
                }
            }
        }
    }
    if (!known)
        return 0;
    if (!l->cutting || l->cut_owner != o.t0) {
        l->cutting = false;
        l->cursor = o.t0;
    }
    const float lim = SIL_SPLIT_TOLERANCE_S + max_s;
    while (o.t1 - l->cursor > lim) {
        if (!l->cutting) {
            l->cutting = true;
            l->cut_owner = o.t0;
            l->owner_first = (int32_t)l->n_out;
        }
        const float cut = l->cursor + max_s;
        if (add_chapter(l, sil_chapter{l->cursor, cut, o.peak_db}) != 0)
            return -1;
        l->cursor = cut;
    }
    if (l->cutting && l->cut_owner == o.t0)
        for (size_t i = (size_t)l->owner_first; i < l->n_out; i++)
            l->out.get()[i].c.peak_db = o.peak_db;
    return 0;
}

// Gives the chapters their frames once the frames pushed hold them as the
// whole recording will (no end clamped to what has been pushed so far).
static void range_chapters(sil_live *l) {
    const int64_t frames = l->pushed;
    const int64_t n16 =
        (int64_t)std::trunc((double)frames * ((double)SIL_ANALYSIS_RATE / (double)l->rate));
    while (l->n_ranged < l->n_out) {
        sil_live_chapter &c = l->out.get()[l->n_ranged];
        if (!l->ended) {
            const double end_f = ceilf(c.c.t1 * (float)l->rate);
            if (end_f > (double)frames || c.c.t1 >= (float)n16 / (float)SIL_ANALYSIS_RATE)
                return;
        }
        sil_chapter_frames(c.c.t0, c.c.t1, l->rate, frames, &c.start, &c.end);
        if (l->n_ranged > 0) {
            const sil_live_chapter &b = l->out.get()[l->n_ranged - 1];
            if (c.c.t0 == b.c.t1 && c.start < b.end) {
                c.start = b.end;
                if (c.end < c.start)
                    c.end = c.start;
            }
        }
        l->n_ranged++;
    }
}

// The earliest start a chapter not yet handed out can have, in seconds.
static float future_start(const sil_live *l) {
    float t = next_start_bound(l);
    if (l->pending_head < l->n_pending && l->pending.get()[l->pending_head].t0 < t)
        t = l->pending.get()[l->pending_head].t0;
    if (l->has_open && l->open.t0 < t)
        t = l->open.t0;
    if (l->cutting && l->cursor < t)
        t = l->cursor;
    if (l->n_ranged < l->n_out && l->out.get()[l->n_ranged].c.t0 < t)
        t = l->out.get()[l->n_ranged].c.t0;
    return t;
}

// The sounds no chapter still to come can overlap: the part of each that
// the chapters leave out, as sil_left_out measures it.
static void settle_sounds(sil_live *l) {
    const float limit = future_start(l);
    const sil_live_chapter *c = l->out.get();
    const size_t n = l->n_out;
    while (l->sounds_head < l->n_sounds) {
        const sil_chapter sp = l->sounds.get()[l->sounds_head];
        if (!l->ended && !(sp.t1 <= limit))
            break;
        l->sounds_head++;
        const double t0 = sp.t0, t1 = sp.t1;
        while (l->left_j < n && c[l->left_j].c.t1 <= t0)
            l->left_j++;
        double inside = 0.0;
        for (size_t k = l->left_j; k < n && c[k].c.t0 < t1; k++)
            inside +=
                std::max(0.0, std::min(t1, (double)c[k].c.t1) - std::max(t0, (double)c[k].c.t0));
        const double out = (t1 - t0) - inside;
        if (out > 0.005) {
            l->left_total += out;
            l->left_n++;
        }
    }
    if (l->sounds_head == l->n_sounds)
        l->sounds_head = l->n_sounds = 0;
}

// Every step the levels heard so far make final.
static int advance(sil_live *l) {
    const float dur = duration16(l);
    // Candidates in order, each once its padded end is certain.
    while (l->pending_head < l->n_pending) {
        sil_chapter c = l->pending.get()[l->pending_head];
        if (l->ended)
            c.t1 = dur < c.t1 ? dur : c.t1;
        else if (dur < c.t1)
            break;
        l->pending_head++;
        if (take_candidate(l, c) != 0)
            return -1;
    }
    if (l->pending_head == l->n_pending)
        l->pending_head = l->n_pending = 0;
    if (l->has_open && l->pending_head == l->n_pending &&
        (l->ended || !(next_start_bound(l) - l->open.t1 < l->opts.min_silence_s)) &&
        close_open(l) != 0)
        return -1;
    if (cut_early(l) != 0)
        return -1;
    range_chapters(l);
    settle_sounds(l);
    return 0;
}

static int scan_levels(sil_live *l) {
    for (int64_t i = 0; i < l->levels.count; i++)
        if (scan_level(l, l->levels.curve[i]) != 0)
            return -1;
    sil_levels_forget(&l->levels);
    return 0;
}

static int push16(sil_live *l, const float *x, size_t n) {
    if (sil_levels_push(&l->levels, x, n) != 0)
        return -1;
    return scan_levels(l);
}

static int fail(sil_live *l) {
    l->failed = true;
    return -1;
}

int sil_live_push(sil_live *l, const float *frames, size_t n) {
    if (l->failed || l->ended) {
        sil_fail(SIL_ERR_ARGS, l->failed ? "live analysis failed" : "live analysis already ended");
        return -1;
    }
    if (l->pipe) {
        if (sil_pipeline_push(l->pipe, frames, n) != 0)
            return fail(l);
        l->pushed += (int64_t)n;
        return 0;
    }
    while (n > 0) {
        const size_t len = n < l->in_step ? n : l->in_step;
        if (l->resampling) {
            const int64_t got = sil_resampler_push(&l->rs, frames, len, l->out16);
            if (got < 0 || push16(l, l->out16, (size_t)got) != 0)
                return fail(l);
        } else if (push16(l, frames, len) != 0) {
            return fail(l);
        }
        frames += len;
        n -= len;
        l->pushed += (int64_t)len;
    }
    if (advance(l) != 0) {
        range_chapters(l); // the chapters final before the failure stay handed out
        return fail(l);
    }
    return 0;
}

int sil_live_finish(sil_live *l) {
    if (l->failed || l->ended) {
        sil_fail(SIL_ERR_ARGS, l->failed ? "live analysis failed" : "live analysis already ended");
        return -1;
    }
    if (l->pipe) {
        sil_analysis a;
        if (sil_pipeline_finish(l->pipe, &a) != 0)
            return fail(l);
        std::unique_ptr<sil_analysis, sil_analysis_releaser> guard(&a);
        l->ended = true;
        l->report = a.report;
        a.report = nullptr;
        l->deferred_left_s = a.left_out_s;
        l->deferred_left_n = a.left_out_n;
        for (int32_t i = 0; i < a.count; i++)
            if (add_chapter(l, a.chapters[i]) != 0)
                return fail(l);
        range_chapters(l);
        return 0;
    }
    if (l->pushed == 0) {
        sil_fail(SIL_ERR_ARGS, "invalid resample args");
        return fail(l);
    }
    if (l->resampling) {
        const int64_t got = sil_resampler_finish(&l->rs, l->out16);
        if (sil_levels_push(&l->levels, l->out16, (size_t)got) != 0)
            return fail(l);
    }
    if (sil_levels_finish(&l->levels) != 0 || scan_levels(l) != 0)
        return fail(l);
    l->ended = true;
    // A sound still going on at the end ends with the recording.
    if (l->in_sound) {
        l->in_sound = false;
        if (sound_ended(l, l->first, duration16(l), l->peak) != 0)
            return fail(l);
    }
    return advance(l) != 0 ? fail(l) : 0;
}

int64_t sil_live_keep_from(const sil_live *l) {
    if (l->pipe)
        return 0;
    const double f = floorf(future_start(l) * (float)l->rate);
    int64_t from = f > 0.0 ? (int64_t)f : 0;
    // A chapter meeting the one before it starts where that one's frames end.
    if (l->n_ranged > 0 && l->out.get()[l->n_ranged - 1].end < from)
        from = l->out.get()[l->n_ranged - 1].end;
    return from;
}

void sil_live_left_out(const sil_live *l, float *seconds, int32_t *stretches) {
    *seconds = l->pipe ? l->deferred_left_s : (float)l->left_total;
    *stretches = l->pipe ? l->deferred_left_n : l->left_n;
}

char *sil_live_report(const sil_live *l) {
    if (l->report) {
        char *copy = strdup(l->report);
        if (!copy)
            sil_fail_memory();
        return copy;
    }
    sil_heap_ptr<sil_chapter> list(sil_alloc_array<sil_chapter>(l->n_ranged));
    if (!list) {
        sil_fail_memory();
        return nullptr;
    }
    for (size_t i = 0; i < l->n_ranged; i++)
        list.get()[i] = l->out.get()[i].c;
    const int n = (int)l->n_ranged;
    const float removed = sil_removed_s(list.get(), (size_t)n, duration16(l));
    return sil_build_analyze_json(l->rate, (float)l->pushed / (float)l->rate,
                                  n ? list.get() : nullptr, n, removed);
}
