// The one place where the stages are chained: source blocks → resampler →
// level stage → level curve (and, when the options ask for speech, the speech
// model beside it) → chapters → report, with the progress calls spread over
// the work.
//
// Progress: the sequence of calls (percent and stage) is fixed by the input's
// length and rate alone: a read call every 65536 input frames (0 to 20 %),
// the hand-over to the resample stage, a resample call every 65536 output
// samples (20 to 40 %), a detect call every 1024 levels (40 to 95 %), and
// "done" at 100. The calls are made in that order, each once the input pushed
// reaches its share (percent / 95 of the whole), so that a bar moves evenly
// while the stages run side by side, and a cancel is seen within 1 % of the
// work.
#include "pipeline.h"

#include "chapter_marks.h"
#include "chapter_rules.h"
#include "levels.h"
#include "resampler.h"
#include "speech_model.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// 16 kHz samples the resampler writes per block.
constexpr size_t RESAMPLE_BLOCK = 32768;

enum plan_phase {
    PLAN_READ,       // a call every SIL_READ_STEP input frames
    PLAN_HANDOVER,   // the read stage hands over to the resample stage
    PLAN_RESAMPLE,   // a call every SIL_RESAMPLE_STEP outputs (none at 16 kHz)
    PLAN_TO_DETECT,  // the resample stage hands over to the detect stage
    PLAN_DETECT,     // a call every SIL_DETECT_STEP levels
    PLAN_DETECT_END, // the curve is complete
    PLAN_END
};

// The progress calls of one analysis, walked in order.
struct progress_plan {
    int64_t frames; // input frames
    int64_t out_n;  // 16 kHz samples
    int64_t levels;
    bool resampled;
    int phase;
    int64_t at; // position within the phase
};

} // namespace

struct sil_pipeline {
    sil_opts opts;
    sil_chapter_keys keys; // the options' list keys, the pipeline's own copy
    sil_progress *progress;
    int32_t rate;
    int64_t total; // frames announced, -1 when unknown
    int64_t pushed;
    bool resampling;
    sil_resampler rs;
    sil_level_stage levels;
    bool speaking; // the speech model runs (speech or report_speech)
    sil_speech_stage speech;
    float *out16; // resampler output block
    size_t in_step;
    progress_plan plan;
    bool planned;
    bool ended; // the stream is over and the curve complete
    bool failed;
    char error[128]; // the message of the failure, repeated to later calls
    int error_code;
};

// ---------------------------------------------------------------------------
// Progress plan
// ---------------------------------------------------------------------------

static void plan_init(progress_plan *pl, int64_t frames, int32_t rate) {
    pl->frames = frames;
    pl->resampled = rate != SIL_ANALYSIS_RATE;
    pl->out_n = pl->resampled ? sil_resampled_length(frames, rate) : frames;
    pl->levels = sil_level_count(pl->out_n);
    pl->phase = frames > 0 ? PLAN_READ : PLAN_HANDOVER;
    pl->at = 0;
}

// The next call of the plan; false at its end.
static bool plan_peek(const progress_plan *pl, int *pct, int *stage) {
    switch (pl->phase) {
    case PLAN_READ:
        *pct = (int)((double)pl->at / (double)pl->frames * SIL_PCT_READ_END);
        *stage = SIL_STAGE_READ;
        return true;
    case PLAN_HANDOVER:
        *pct = SIL_PCT_READ_END;
        *stage = SIL_STAGE_RESAMPLE;
        return true;
    case PLAN_RESAMPLE:
        *pct = SIL_PCT_READ_END + (int)((double)pl->at / (double)pl->out_n *
                                        (SIL_PCT_RESAMPLE_END - SIL_PCT_READ_END));
        *stage = SIL_STAGE_RESAMPLE;
        return true;
    case PLAN_TO_DETECT:
        *pct = SIL_PCT_RESAMPLE_END;
        *stage = SIL_STAGE_DETECT;
        return true;
    case PLAN_DETECT:
        *pct = SIL_PCT_RESAMPLE_END + (int)((double)pl->at / (double)pl->levels *
                                            (SIL_PCT_DETECT_END - SIL_PCT_RESAMPLE_END));
        *stage = SIL_STAGE_DETECT;
        return true;
    case PLAN_DETECT_END:
        *pct = SIL_PCT_DETECT_END;
        *stage = SIL_STAGE_DETECT;
        return true;
    default:
        return false;
    }
}

static void plan_advance(progress_plan *pl) {
    switch (pl->phase) {
    case PLAN_READ:
        pl->at += SIL_READ_STEP;
        if (pl->at >= pl->frames) {
            pl->phase = PLAN_HANDOVER;
            pl->at = 0;
        }
        break;
    case PLAN_HANDOVER:
        pl->phase = pl->resampled ? PLAN_RESAMPLE : PLAN_TO_DETECT;
        break;
    case PLAN_RESAMPLE:
        pl->at += SIL_RESAMPLE_STEP;
        if (pl->at >= pl->out_n) {
            pl->phase = PLAN_TO_DETECT;
            pl->at = 0;
        }
        break;
    case PLAN_TO_DETECT:
        // A signal shorter than one frame has its single level and no steps.
        pl->phase = pl->out_n < SIL_FRAME_LEN ? PLAN_DETECT_END : PLAN_DETECT;
        break;
    case PLAN_DETECT:
        pl->at += SIL_DETECT_STEP;
        if (pl->at >= pl->levels)
            pl->phase = PLAN_DETECT_END;
        break;
    default:
        pl->phase = PLAN_END;
        break;
    }
}

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

// Records the message just set, so that later calls fail with it too.
static int fail(sil_pipeline *p) {
    p->failed = true;
    snprintf(p->error, sizeof p->error, "%s", sil_get_error());
    p->error_code = sil_error_code();
    return -1;
}

static int fail_with(sil_pipeline *p, const char *msg) {
    sil_set_error(msg);
    return fail(p);
}

// Makes the calls of the plan up to and including the phase `through`.
static int emit_through(sil_pipeline *p, int through) {
    int pct, stage;
    while (p->plan.phase <= through && plan_peek(&p->plan, &pct, &stage)) {
        plan_advance(&p->plan);
        if (sil_progress_report(p->progress, pct, stage) != 0)
            return fail(p);
    }
    return 0;
}

// Makes the calls whose share of the input has been pushed. The end of the
// detect stage waits for the end of the stream.
static int emit_due(sil_pipeline *p) {
    int pct, stage;
    while (p->plan.phase < PLAN_DETECT_END && plan_peek(&p->plan, &pct, &stage)) {
        const int64_t due = (int64_t)((double)p->plan.frames * pct / SIL_PCT_DETECT_END);
        if (due > p->pushed)
            break;
        plan_advance(&p->plan);
        if (sil_progress_report(p->progress, pct, stage) != 0)
            return fail(p);
    }
    return 0;
}

// A stream whose 16 kHz signal would not fit the 32-bit counts of the
// entries that take 32-bit lengths (longer streams are counted in 64 bits).
static bool too_long(int64_t frames, int32_t rate) {
    return frames <= INT32_MAX && rate != SIL_ANALYSIS_RATE &&
           sil_resampled_length(frames, rate) > INT32_MAX;
}

// ---------------------------------------------------------------------------
// Pipeline
// ---------------------------------------------------------------------------

sil_pipeline *sil_pipeline_new(int32_t source_rate, int64_t total_frames, const sil_opts *opts,
                               sil_progress *progress, const sil_chapter_keys *keys) {
    if (source_rate <= 0 || !opts) {
        sil_fail(SIL_ERR_ARGS, "invalid resample args");
        return nullptr;
    }
    sil_pipeline *p = static_cast<sil_pipeline *>(calloc(1, sizeof(sil_pipeline)));
    if (!p) {
        sil_fail_memory();
        return nullptr;
    }
    std::unique_ptr<sil_pipeline, void (*)(sil_pipeline *)> guard(p, sil_pipeline_free);
    p->opts = *opts;
    if (keys) {
        if (sil_chapter_keys_copy(keys, &p->keys) != 0)
            return nullptr;
    } else {
        sil_chapter_keys_init(&p->keys);
    }
    p->progress = progress;
    p->rate = source_rate;
    p->total = total_frames < 0 ? -1 : total_frames;
    p->resampling = source_rate != SIL_ANALYSIS_RATE;
    sil_resampler_init(&p->rs, source_rate);
    p->in_step = (size_t)SIL_READ_STEP;
    if (p->resampling) {
        const double per_out = (double)RESAMPLE_BLOCK / p->rs.ratio;
        if (per_out < (double)p->in_step)
            p->in_step = per_out < 1.0 ? 1 : (size_t)per_out;
        p->out16 = static_cast<float *>(
            malloc(sil_resampler_max_out(&p->rs, p->in_step) * sizeof(float)));
        if (!p->out16) {
            sil_fail_memory();
            return nullptr;
        }
    }
    // With the length known, the curve is allocated once, at its size.
    int64_t expect = 0;
    if (p->total >= 0 && !too_long(p->total, source_rate)) {
        plan_init(&p->plan, p->total, source_rate);
        p->planned = true;
        expect = p->total > 0 ? p->plan.levels : 0;
    }
    if (sil_levels_init(&p->levels, expect) != 0)
        return nullptr;
    if (sil_opts_run_speech(opts)) {
        if (sil_speech_init(&p->speech) != 0)
            return nullptr;
        p->speaking = true;
    }
    return guard.release();
}

void sil_pipeline_free(sil_pipeline *p) {
    if (!p)
        return;
    sil_chapter_keys_free(&p->keys);
    sil_resampler_free(&p->rs);
    sil_levels_free(&p->levels);
    if (p->speaking)
        sil_speech_free(&p->speech);
    free(p->out16);
    free(p);
}

int64_t sil_pipeline_frames(const sil_pipeline *p) { return p->pushed; }

// Hands n 16 kHz samples to the level stage and, when it runs, the speech
// model. 0, or -1 with the message set.
static int push16(sil_pipeline *p, const float *x, size_t n) {
    if (sil_levels_push(&p->levels, x, n) != 0)
        return -1;
    return p->speaking ? sil_speech_push(&p->speech, x, n) : 0;
}

// The checks that a file analysis makes once its frames are read: an empty
// signal and one too long to resample fail after the read stage's calls.
static int check_length(sil_pipeline *p, int64_t frames) {
    if (frames == 0 || too_long(frames, p->rate)) {
        if (!p->planned) {
            plan_init(&p->plan, frames, p->rate);
            p->planned = true;
        }
        if (emit_through(p, PLAN_HANDOVER) != 0)
            return -1;
        return fail_with(p, frames == 0 ? "invalid resample args" : "resampled signal too long");
    }
    return 0;
}

int sil_pipeline_push(sil_pipeline *p, const float *frames, size_t n) {
    if (p->failed || p->ended) {
        sil_fail(p->failed ? p->error_code : SIL_ERR_ARGS,
                 p->failed ? p->error : "pipeline already ended");
        return -1;
    }
    if (p->total > 0 && p->pushed == 0 && check_length(p, p->total) != 0)
        return -1;
    while (n > 0) {
        const size_t len = n < p->in_step ? n : p->in_step;
        // A stream of unknown length fails as soon as it passes the limit,
        // not at its end: its level curve would otherwise grow without bound.
        if (p->total < 0 && too_long(p->pushed + (int64_t)len, p->rate))
            return check_length(p, p->pushed + (int64_t)len);
        if (p->resampling) {
            const int64_t got = sil_resampler_push(&p->rs, frames, len, p->out16);
            if (got < 0 || push16(p, p->out16, (size_t)got) != 0)
                return fail(p);
        } else if (push16(p, frames, len) != 0) {
            return fail(p);
        }
        frames += len;
        n -= len;
        p->pushed += (int64_t)len;
        if (p->planned && emit_due(p) != 0)
            return -1;
    }
    return 0;
}

// Ends the stream: the resampler's last outputs, the curve's last level and
// every progress call left of the detect stage.
static int end_stream(sil_pipeline *p) {
    if (p->failed) {
        sil_fail(p->error_code, p->error);
        return -1;
    }
    if (p->ended)
        return 0;
    if (check_length(p, p->pushed) != 0)
        return -1;
    if (p->resampling) {
        const int64_t got = sil_resampler_finish(&p->rs, p->out16);
        if (push16(p, p->out16, (size_t)got) != 0)
            return fail(p);
    }
    if (sil_levels_finish(&p->levels) != 0 || (p->speaking && sil_speech_finish(&p->speech) != 0))
        return fail(p);
    if (p->levels.count > INT32_MAX)
        return fail_with(p, "resampled signal too long");
    if (!p->planned) {
        plan_init(&p->plan, p->pushed, p->rate);
        p->planned = true;
    }
    if (emit_through(p, PLAN_DETECT_END) != 0)
        return -1;
    p->ended = true;
    return 0;
}

int sil_pipeline_chapters(sil_pipeline *p, sil_chapter **out, int *out_n, float *out_removed_s,
                          sil_report_extras *extras) {
    *out = nullptr;
    *out_n = 0;
    if (out_removed_s)
        *out_removed_s = 0.0f;
    if (end_stream(p) != 0)
        return -1;
    // The detector sees the 16 kHz signal's own length.
    const int64_t n16 = p->resampling ? p->rs.out_count : p->pushed;
    const float duration16 = (float)n16 / (float)SIL_ANALYSIS_RATE;
    if (sil_detect_on_levels(p->levels.curve, (int32_t)p->levels.count, duration16, &p->opts, out,
                             out_n, out_removed_s, extras, p->speech.probs, p->speech.count,
                             &p->keys) != 0)
        return fail(p);
    // A chapter list given in the options is measured against the source's
    // own length, as the report states it.
    if (sil_apply_chapter_keys(&p->keys, p->levels.curve, (int32_t)p->levels.count,
                               (float)p->pushed / (float)p->rate, out, out_n, out_removed_s,
                               extras) != 0) {
        sil_report_extras_free(extras);
        return fail(p);
    }
    sil_report_extras_lend_levels(extras, &p->opts, p->levels.curve, (int32_t)p->levels.count);
    sil_report_extras_lend_speech(extras, &p->opts, p->speech.probs, p->speech.count);
    return 0;
}

int sil_pipeline_finish(sil_pipeline *p, sil_analysis *out) {
    *out = sil_analysis{};
    sil_chapter *chapters = nullptr;
    int count = 0;
    float removed_s = 0.0f;
    sil_report_extras extras;
    sil_report_extras_init(&extras);
    std::unique_ptr<sil_report_extras, sil_report_extras_releaser> extras_guard(&extras);
    if (sil_pipeline_chapters(p, &chapters, &count, &removed_s, &extras) != 0)
        return -1;
    sil_heap_ptr<sil_chapter> chapters_guard(chapters);
    // The report gives the source's own rate and length, not the 16 kHz ones.
    const float duration_s = (float)p->pushed / (float)p->rate;
    sil_heap_ptr<char> report(
        sil_build_analyze_json(p->rate, duration_s, chapters, count, removed_s, &extras));
    if (!report)
        return fail(p);
    // A cancel at "done" discards the finished report.
    if (sil_progress_report(p->progress, SIL_PCT_DONE, SIL_STAGE_DONE) != 0)
        return fail(p);
    sil_heap_ptr<char *> titles;
    if (count > 0 && sil_chapter_keys_titled(&p->keys)) {
        titles.reset(static_cast<char **>(calloc((size_t)count, sizeof(char *))));
        bool ok = titles != nullptr;
        for (int i = 0; ok && i < count; i++) {
            const char *t = sil_chapter_title(&p->keys, i);
            const size_t len = t ? strlen(t) + 1 : 0;
            titles.get()[i] = t ? static_cast<char *>(malloc(len)) : nullptr;
            ok = !t || titles.get()[i];
            if (t && ok)
                memcpy(titles.get()[i], t, len);
        }
        if (!ok) {
            for (int i = 0; titles && i < count; i++)
                free(titles.get()[i]);
            sil_fail_memory();
            return fail(p);
        }
    }
    out->report = report.release();
    out->chapters = chapters_guard.release();
    out->titles = titles.release();
    out->count = count;
    out->sample_rate = p->rate;
    out->frames = p->pushed;
    out->left_out_s = extras.left_out_s;
    out->left_out_n = extras.left_out_n;
    // The boundaries go with the record, not with the released extras.
    if (extras.has_boundaries) {
        out->boundaries = extras.boundaries;
        out->n_boundaries = extras.n_boundaries;
        extras.boundaries = nullptr;
        extras.n_boundaries = 0;
    }
    return 0;
}

char *sil_pipeline_report(sil_pipeline *p) {
    sil_analysis a;
    if (sil_pipeline_finish(p, &a) != 0)
        return nullptr;
    // The report goes to the caller, the rest of the record is freed.
    char *report = a.report;
    a.report = nullptr;
    sil_analysis_free(&a);
    return report;
}

void sil_analysis_free(sil_analysis *a) {
    if (!a)
        return;
    free(a->report);
    free(a->chapters);
    if (a->titles)
        for (int32_t i = 0; i < a->count; i++)
            free(a->titles[i]);
    free(a->titles);
    free(a->boundaries);
    *a = sil_analysis{};
}

int sil_pipeline_push_source(sil_pipeline *p, sil_wav_source *src) {
    sil_heap_ptr<float> block(static_cast<float *>(malloc(src->block_frames * sizeof(float))));
    if (!block) {
        sil_fail_memory();
        return -1;
    }
    for (;;) {
        const int64_t got = sil_wav_source_read(src, block.get(), src->block_frames);
        if (got < 0)
            return -1;
        if (got == 0)
            return 0;
        if (sil_pipeline_push(p, block.get(), (size_t)got) != 0)
            return -1;
    }
}

int sil_analyze_wav(const char *path, const sil_opts *opts, sil_progress *progress,
                    sil_analysis *out, const sil_chapter_keys *keys) {
    *out = sil_analysis{};
    if (sil_progress_report(progress, 0, SIL_STAGE_READ) != 0)
        return -1;
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(path, &raw) != 0)
        return -1;
    sil_wav_source_ptr src(raw);
    sil_pipeline_ptr p(sil_pipeline_new(src->sample_rate, src->frames, opts, progress, keys));
    if (!p || sil_pipeline_push_source(p.get(), src.get()) != 0)
        return -1;
    src.reset(); // the file is closed before the chapters are found
    return sil_pipeline_finish(p.get(), out);
}
