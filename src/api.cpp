// The library's seven exported functions: each clears the thread's error
// text, checks its arguments and options, runs the engine and catches nothing
// that could cross into the host (the engine throws nothing).
#include "chapter_marks.h"
#include "chapter_rules.h"
#include "export.h"
#include "options.h"
#include "pipeline.h"
#include "progress.h"
#include "report.h"
#include "whole_buffer.h"

#include <cstdlib>
#include <memory>

// ---------------------------------------------------------------------------
// Exported functions
// ---------------------------------------------------------------------------

extern "C" {

// The project's version, from the build (CMake's project version).
SILSPLIT_API const char *silsplit_version(void) { return SILSPLIT_VERSION; }

SILSPLIT_API const char *silsplit_last_error(void) { return sil_get_error(); }

SILSPLIT_API void silsplit_free_string(char *s) { free(s); }

SILSPLIT_API char *silsplit_analyze_pcm(const float *pcm, int n_samples, const char *opts_json) {
    sil_clear_error();
    if (!pcm && n_samples > 0) {
        sil_fail(SIL_ERR_ARGS, "NULL pcm");
        return nullptr;
    }
    if (n_samples < 0) {
        sil_fail(SIL_ERR_ARGS, "negative n_samples");
        return nullptr;
    }
    sil_opts opts;
    sil_chapter_keys keys;
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    if (sil_parse_opts(opts_json, &opts, &keys) != 0)
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
        if (sil_detect_on_levels(nullptr, 0, 0.0f, &opts, &chapters, &count, &removed_s, &extras,
                                 nullptr, 0, &keys) != 0 ||
            sil_apply_chapter_keys(&keys, nullptr, 0, 0.0f, &chapters, &count, &removed_s,
                                   &extras) != 0)
            return nullptr;
        sil_report_extras_take_levels(&extras, &opts, nullptr, 0);
        sil_report_extras_take_speech(&extras, &opts, nullptr, 0);
        char *report = sil_build_analyze_json(rate, 0.0f, chapters, count, removed_s, &extras);
        free(chapters);
        return report;
    }
    // The host's buffer is pushed as it is: at 16 kHz it is measured in place.
    sil_pipeline_ptr p(sil_pipeline_new(rate, n_samples, &opts, nullptr, &keys));
    if (!p || sil_pipeline_push(p.get(), pcm, (size_t)n_samples) != 0)
        return nullptr;
    return sil_pipeline_report(p.get());
}

SILSPLIT_API char *silsplit_analyze_progress(const char *wav_path, const char *opts_json,
                                             silsplit_progress_fn fn, void *user) {
    sil_clear_error();
    if (!wav_path) {
        sil_fail(SIL_ERR_ARGS, "NULL wav path");
        return nullptr;
    }
    sil_opts opts;
    sil_chapter_keys keys;
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    if (sil_parse_opts(opts_json, &opts, &keys) != 0)
        return nullptr;

    sil_progress progress = {fn, user, -1, 0};
    sil_analysis a;
    if (sil_analyze_wav(wav_path, &opts, &progress, &a, &keys) != 0)
        return nullptr;
    // The report goes to the caller, the rest of the record is freed.
    char *report = a.report;
    a.report = nullptr;
    sil_analysis_free(&a);
    return report;
}

SILSPLIT_API char *silsplit_analyze(const char *wav_path, const char *opts_json) {
    return silsplit_analyze_progress(wav_path, opts_json, nullptr, nullptr);
}

SILSPLIT_API int silsplit_write_chapters(const char *wav_path, const char *opts_json,
                                         const char *out_dir) {
    sil_clear_error();
    if (!wav_path) {
        sil_fail(SIL_ERR_ARGS, "NULL wav path");
        return -1;
    }
    if (!out_dir) {
        sil_fail(SIL_ERR_ARGS, "NULL out_dir");
        return -1;
    }
    sil_opts opts;
    sil_chapter_keys keys;
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    if (sil_parse_opts(opts_json, &opts, &keys) != 0)
        return -1;
    return sil_write_chapters_impl(wav_path, &opts, out_dir, &keys);
}

} // extern "C"
