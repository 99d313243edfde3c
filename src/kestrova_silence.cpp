// The library's call frame: the per-thread error text, the options record and
// its JSON text, progress reporting with cancellation, and the exported entry
// points that chain reader, resampler, detector and report builder.
#include "pipeline.h"
#include "silsplit_internal.h"

#include <yyjson.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// ---------------------------------------------------------------------------
// Error text
// ---------------------------------------------------------------------------

// One message per thread; zero-filled on the thread's first use.
thread_local char g_err[512];

void sil_set_error(const char *msg) {
    if (!msg) {
        g_err[0] = '\0';
        return;
    }
    snprintf(g_err, sizeof g_err, "%s", msg);
}

void sil_clear_error(void) { g_err[0] = '\0'; }

const char *sil_get_error(void) { return g_err; }

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

void sil_opts_defaults(sil_opts *o) {
    for (const sil_number_option &n : SIL_NUMBER_OPTIONS)
        o->*n.field = n.fallback;
    o->sample_rate = SIL_ANALYSIS_RATE;
    o->chapter_count = 0;
    o->auto_threshold = false;
    o->cut_at_pause = false;
    o->keep_all = false;
    o->report_pauses = false;
    o->report_levels = false;
}

namespace {


} // namespace

static void free_doc(yyjson_doc *doc) { yyjson_doc_free(doc); }
using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&free_doc)>;

// Overwrites *field only when the first member named key holds a number.
static void take_float(yyjson_val *root, const char *key, float *field) {
    yyjson_val *v = yyjson_obj_get(root, key);
    if (yyjson_is_num(v))
        *field = (float)yyjson_get_num(v); // nearest float; beyond range: infinity
}

static void take_rate(yyjson_val *root, int32_t *field) {
    yyjson_val *v = yyjson_obj_get(root, "sample_rate");
    if (!yyjson_is_num(v))
        return;
    double d = yyjson_get_num(v);
    // Truncation toward zero; an integral part outside int32 becomes 0, which
    // the in-memory entry replaces by 16000.
    *field = (d > -2147483649.0 && d < 2147483648.0) ? (int32_t)d : 0;
}

// The newer keys are strict: a member of the wrong type is a mistake the
// host should hear about, not a default it silently gets.

// Sets *field from the first member named key when it is true or false.
// false with the message set when the member holds anything else.
static bool take_flag(yyjson_val *root, const char *key, bool *field) {
    yyjson_val *v = yyjson_obj_get(root, key);
    if (!v)
        return true;
    if (!yyjson_is_bool(v)) {
        char msg[64];
        snprintf(msg, sizeof msg, "%s must be true or false", key);
        sil_set_error(msg);
        return false;
    }
    *field = yyjson_get_bool(v);
    return true;
}

// chapter_count: a whole number from 1 to the chapter limit (2 and 2.0 alike).
static bool take_count(yyjson_val *root, int32_t *field) {
    yyjson_val *v = yyjson_obj_get(root, "chapter_count");
    if (!v)
        return true;
    const double d = yyjson_is_num(v) ? yyjson_get_num(v) : 0.0;
    if (!(d >= 1.0 && d <= (double)SIL_MAX_CHAPTERS && d == std::floor(d))) {
        sil_set_error("chapter_count must be a whole number from 1 to 10000");
        return false;
    }
    *field = (int32_t)d;
    return true;
}

int sil_parse_opts(const char *json, sil_opts *o) {
    sil_opts_defaults(o);
    if (!json || json[0] == '\0' || strcmp(json, "{}") == 0)
        return 0;

    // Standard JSON only; the text is read, never changed.
    yyjson_read_err err{};
    doc_ptr doc(yyjson_read_opts(const_cast<char *>(json), strlen(json), 0, nullptr, &err),
                free_doc);
    if (!doc) {
        sil_set_error(err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? "out of memory"
                                                                      : "invalid options JSON");
        return -1;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        sil_set_error("options must be a JSON object");
        return -1;
    }
    for (const sil_number_option &n : SIL_NUMBER_OPTIONS)
        take_float(root, n.key, &(o->*n.field));
    take_rate(root, &o->sample_rate);
    if (!take_flag(root, "auto_threshold", &o->auto_threshold) ||
        !take_flag(root, "cut_at_pause", &o->cut_at_pause) || !take_count(root, &o->chapter_count) ||
        !take_flag(root, "keep_all", &o->keep_all) ||
        !take_flag(root, "report_pauses", &o->report_pauses) ||
        !take_flag(root, "report_levels", &o->report_levels)) {
        sil_opts_defaults(o);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Progress
// ---------------------------------------------------------------------------

const char *sil_stage_name(int stage) {
    switch (stage) {
    case SIL_STAGE_RESAMPLE:
        return "resample";
    case SIL_STAGE_DETECT:
        return "detect";
    case SIL_STAGE_DONE:
        return "done";
    default:
        return "read";
    }
}

int sil_progress_report(sil_progress *p, int pct, int stage) {
    if (!p || !p->fn)
        return 0;
    if (pct > 100)
        pct = 100;
    if (pct < 0)
        pct = 0;
    // A repeat of the stage without a higher percent tells the host nothing.
    if (pct <= p->last_pct && stage == p->stage)
        return 0;
    p->stage = stage;
    if (pct > p->last_pct)
        p->last_pct = pct;
    if (p->fn(p->last_pct, sil_stage_name(stage), p->user) != 0) {
        sil_set_error("cancelled");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Exported functions
// ---------------------------------------------------------------------------

extern "C" {

// The project's version, from the build (CMake's project version).
SILSPLIT_API const char *silsplit_version(void) { return SILSPLIT_VERSION; }

SILSPLIT_API const char *silsplit_last_error(void) { return g_err; }

SILSPLIT_API void silsplit_free_string(char *s) { free(s); }

SILSPLIT_API char *silsplit_analyze_pcm(const float *pcm, int n_samples, const char *opts_json) {
    sil_clear_error();
    if (!pcm && n_samples > 0) {
        sil_set_error("NULL pcm");
        return nullptr;
    }
    if (n_samples < 0) {
        sil_set_error("negative n_samples");
        return nullptr;
    }
    sil_opts opts;
    if (sil_parse_opts(opts_json, &opts) != 0)
        return nullptr;
    const int rate = opts.sample_rate > 0 ? opts.sample_rate : SIL_ANALYSIS_RATE;

    if (n_samples == 0) {
        // Nothing to resample: the detector reports an empty signal.
        sil_chapter *chapters = nullptr;
        int count = 0;
        float removed_s = 0.0f;
        sil_report_extras extras;
        sil_report_extras_init(&extras);
        std::unique_ptr<sil_report_extras, sil_report_extras_releaser> extras_guard(&extras);
        if (sil_detect_chapters(nullptr, 0, &opts, &chapters, &count, &removed_s, nullptr,
                                nullptr, &extras) != 0)
            return nullptr;
        char *report = sil_build_analyze_json(rate, 0.0f, chapters, count, removed_s, &extras);
        free(chapters);
        return report;
    }
    // The host's buffer is pushed as it is: at 16 kHz it is measured in place.
    sil_pipeline_ptr p(sil_pipeline_new(rate, n_samples, &opts, nullptr));
    if (!p || sil_pipeline_push(p.get(), pcm, (size_t)n_samples) != 0)
        return nullptr;
    return sil_pipeline_report(p.get());
}

SILSPLIT_API char *silsplit_analyze_progress(const char *wav_path, const char *opts_json,
                                             silsplit_progress_fn fn, void *user) {
    sil_clear_error();
    if (!wav_path) {
        sil_set_error("NULL wav path");
        return nullptr;
    }
    sil_opts opts;
    if (sil_parse_opts(opts_json, &opts) != 0)
        return nullptr;

    sil_progress progress = {fn, user, -1, 0};
    if (sil_progress_report(&progress, 0, SIL_STAGE_READ) != 0)
        return nullptr;

    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(wav_path, &raw) != 0)
        return nullptr;
    sil_wav_source_ptr src(raw);
    sil_pipeline_ptr p(sil_pipeline_new(src->sample_rate, src->frames, &opts, &progress));
    if (!p || sil_pipeline_push_source(p.get(), src.get()) != 0)
        return nullptr;
    src.reset(); // the file is closed before the chapters are found
    return sil_pipeline_report(p.get());
}

SILSPLIT_API char *silsplit_analyze(const char *wav_path, const char *opts_json) {
    return silsplit_analyze_progress(wav_path, opts_json, nullptr, nullptr);
}

SILSPLIT_API int silsplit_write_chapters(const char *wav_path, const char *opts_json,
                                         const char *out_dir) {
    sil_clear_error();
    if (!wav_path) {
        sil_set_error("NULL wav path");
        return -1;
    }
    if (!out_dir) {
        sil_set_error("NULL out_dir");
        return -1;
    }
    sil_opts opts;
    if (sil_parse_opts(opts_json, &opts) != 0)
        return -1;
    return sil_write_chapters_impl(wav_path, &opts, out_dir);
}

} // extern "C"
