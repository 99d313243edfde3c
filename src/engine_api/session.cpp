// The engine library's exported functions (include/silsplit_engine.h): the
// option table, errors, and sessions that run the engine's pipeline on
// pushed frames or on a file (the WAV reader's, or the media module's
// analysis). No exception leaves an exported function.
#include "silsplit_engine.h"

#include "chapter_marks.h"
#include "export.h"
#include "media_input.h"
#include "options.h"
#include "pipeline.h"
#include "progress.h"
#include "wav_reader.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

static_assert((int)SLE_ERR_FAILED == SIL_ERR_FAILED && (int)SLE_ERR_ARGS == SIL_ERR_ARGS &&
                  (int)SLE_ERR_MEMORY == SIL_ERR_MEMORY &&
                  (int)SLE_ERR_CANCELLED == SIL_ERR_CANCELLED &&
                  (int)SLE_ERR_READ == SIL_ERR_READ && (int)SLE_ERR_WRITE == SIL_ERR_WRITE &&
                  (int)SLE_ERR_FORMAT == SIL_ERR_FORMAT &&
                  (int)SLE_ERR_TOO_LARGE == SIL_ERR_TOO_LARGE &&
                  (int)SLE_ERR_MEDIA == SIL_ERR_MEDIA_MISSING,
              "the public codes are the engine's");

namespace {

// ---------------------------------------------------------------------------
// The option table: the engine's keys, then the list keys
// ---------------------------------------------------------------------------

constexpr size_t kListKeys = 4;
constexpr size_t kOptionCount = SIL_N_OPTIONS + kListKeys;

struct OptionTable {
    sle_option rows[kOptionCount];
    OptionTable() {
        for (size_t i = 0; i < SIL_N_OPTIONS; i++) {
            const sil_option_info &k = SIL_OPTIONS[i];
            sle_option &o = rows[i];
            o.key = k.key;
            o.flag = k.flag;
            o.help = k.help;
            o.min_excluded = 0;
            switch (k.type) {
            case SIL_OPTION_NUMBER:
                o.kind = SLE_OPTION_NUMBER;
                o.fallback = (double)k.fallback;
                o.min = -HUGE_VAL;
                o.max = HUGE_VAL;
                break;
            case SIL_OPTION_FLAG:
                o.kind = SLE_OPTION_FLAG;
                o.fallback = 0.0;
                o.min = 0.0;
                o.max = 1.0;
                break;
            case SIL_OPTION_COUNT:
                o.kind = SLE_OPTION_COUNT;
                o.fallback = 0.0;
                o.min = 1.0;
                o.max = (double)SIL_MAX_CHAPTERS;
                break;
            }
        }
        rows[SIL_N_OPTIONS + 0] = {"hint_window_s",
                                   SLE_OPTION_NUMBER,
                                   (double)SIL_HINT_WINDOW_S,
                                   0.0,
                                   HUGE_VAL,
                                   1,
                                   "",
                                   "how far a hint may move, seconds either side"};
        const double most = (double)SIL_MAX_CHAPTERS; // entries of a list
        rows[SIL_N_OPTIONS + 1] = {
            "chapters", SLE_OPTION_LIST,
            0.0,        1.0,
            most,       0,
            "",         "the chapters, used as they are: [{\"t0\", \"t1\", \"title\"}]"};
        rows[SIL_N_OPTIONS + 2] = {"hints", SLE_OPTION_LIST,
                                   0.0,     1.0,
                                   most,    0,
                                   "",      "approximate chapter starts, moved onto pauses"};
        rows[SIL_N_OPTIONS + 3] = {
            "titles", SLE_OPTION_LIST, 0.0, 1.0, most, 0, "", "names of the chapters in order"};
    }
};

const OptionTable &option_table() {
    static const OptionTable table;
    return table;
}

sle_status status_of_error() {
    const int code = sil_error_code();
    return code == SIL_ERR_NONE ? SLE_ERR_FAILED : (sle_status)code;
}

sle_status fail(sle_status code, const char *msg) {
    sil_fail((int)code, msg);
    return code;
}

// Runs an exported call: an allocation failure anywhere in it is
// SLE_ERR_MEMORY, and no exception reaches the host.
template <typename F> sle_status guarded(F &&call) {
    try {
        return call();
    } catch (const std::bad_alloc &) {
        sil_fail_memory();
        return SLE_ERR_MEMORY;
    } catch (...) {
        return fail(SLE_ERR_FAILED, "internal error");
    }
}

} // namespace

// ---------------------------------------------------------------------------
// The session
// ---------------------------------------------------------------------------

struct sle_session {
    enum State { OPEN, FINISHED, BROKEN };
    State state = OPEN;
    std::string options; // the text as given, for the media module
    sil_opts opts{};
    sil_chapter_keys keys{};
    int32_t rate = 0;
    int32_t channels = 0;
    bool is_file = false;
    std::string path;
    sil_wav_source_ptr src; // a WAV file the library reads; NULL: the media module
    sil_pipeline_ptr pipeline;
    sil_heap_ptr<float> mix; // a block of mixed frames (pushed sessions of 2+ channels)
    sil_progress progress = {nullptr, nullptr, -1, 0};
    sle_chapter_fn on_chapter = nullptr;
    void *chapter_user = nullptr;
    // Results.
    sil_analysis result{};
    sil_heap_ptr<int64_t> frame0, frame1;
    int32_t told = 0; // chapters handed to on_chapter so far

    sle_session() { sil_chapter_keys_init(&keys); }
    ~sle_session() {
        sil_analysis_free(&result);
        sil_chapter_keys_free(&keys);
    }
    sle_session(const sle_session &) = delete;
    sle_session &operator=(const sle_session &) = delete;
};

namespace {

constexpr size_t kMixFrames = 65536;

sle_status parse_options(sle_session *s, const char *options_json) {
    if (sil_parse_opts(options_json, &s->opts, &s->keys) != 0)
        return status_of_error();
    s->options = options_json ? options_json : "";
    return SLE_OK;
}

// The chapter record of chapter i of a finished session.
void chapter_record(const sle_session *s, int32_t i, sle_chapter *out) {
    const sil_analysis &a = s->result;
    const sil_chapter &c = a.chapters[i];
    out->index = i + 1;
    out->t0 = (double)c.t0;
    out->t1 = (double)c.t1;
    out->frame0 = s->frame0.get()[i];
    out->frame1 = s->frame1.get()[i];
    out->peak_db = (double)c.peak_db;
    const bool measured = a.boundaries && a.n_boundaries == a.count - 1;
    out->start_confidence = measured && i > 0 ? (double)a.boundaries[i - 1].db : -1.0;
    out->end_confidence = measured && i + 1 < a.count ? (double)a.boundaries[i].db : -1.0;
    out->title = a.titles && a.titles[i] ? a.titles[i] : "";
}

// Tells the chapter callback chapters [s->told, upto): the one door through
// which chapters are announced, at the end today; a rule that knows earlier
// that a chapter is final calls this from the push as well.
sle_status tell_chapters(sle_session *s, int32_t upto) {
    for (; s->told < upto; s->told++) {
        if (!s->on_chapter)
            continue;
        sle_chapter ch;
        chapter_record(s, s->told, &ch);
        if (s->on_chapter(&ch, s->chapter_user) != 0)
            return fail(SLE_ERR_CANCELLED, "cancelled");
    }
    return SLE_OK;
}

// Keeps the finished analysis and the chapters' frame ranges.
sle_status keep_result(sle_session *s, sil_analysis *a) {
    s->result = *a;
    *a = sil_analysis{};
    const size_t n = (size_t)s->result.count;
    s->frame0.reset(sil_alloc_array<int64_t>(n));
    s->frame1.reset(sil_alloc_array<int64_t>(n));
    if (!s->frame0 || !s->frame1) {
        sil_fail_memory();
        return SLE_ERR_MEMORY;
    }
    sil_chapter_frame_ranges(s->result.chapters, s->result.count, s->result.sample_rate,
                             s->result.frames, s->frame0.get(), s->frame1.get());
    return SLE_OK;
}

sle_status finish_file(sle_session *s, sil_analysis *a) {
    if (!s->src) {
        if (sle_media_analyze(s->path.c_str(), s->options.c_str(), &s->progress, a) != 0)
            return status_of_error();
        return SLE_OK;
    }
    if (sil_progress_report(&s->progress, 0, SIL_STAGE_READ) != 0)
        return status_of_error();
    s->pipeline.reset(
        sil_pipeline_new(s->src->sample_rate, s->src->frames, &s->opts, &s->progress, &s->keys));
    if (!s->pipeline || sil_pipeline_push_source(s->pipeline.get(), s->src.get()) != 0)
        return status_of_error();
    s->src.reset(); // the file is closed before the chapters are found
    return sil_pipeline_finish(s->pipeline.get(), a) == 0 ? SLE_OK : status_of_error();
}

} // namespace

// ---------------------------------------------------------------------------
// Exported functions
// ---------------------------------------------------------------------------

extern "C" {

SLE_API const char *sle_version(void) { return SILSPLIT_VERSION; }

SLE_API const char *sle_strerror(sle_status status) {
    switch (status) {
    case SLE_OK:
        return "success";
    case SLE_ERR_FAILED:
        return "failed";
    case SLE_ERR_ARGS:
        return "invalid argument or option";
    case SLE_ERR_MEMORY:
        return "out of memory";
    case SLE_ERR_CANCELLED:
        return "cancelled";
    case SLE_ERR_READ:
        return "the input could not be read";
    case SLE_ERR_WRITE:
        return "an output could not be written";
    case SLE_ERR_FORMAT:
        return "an input format no reader takes";
    case SLE_ERR_TOO_LARGE:
        return "over a size limit";
    case SLE_ERR_MEDIA:
        return "media support not available";
    case SLE_ERR_STATE:
        return "a call out of order";
    }
    return "unknown status";
}

SLE_API const char *sle_last_error(void) { return sil_get_error(); }

SLE_API int sle_option_count(void) { return (int)kOptionCount; }

SLE_API const sle_option *sle_option_at(int i) {
    if (i < 0 || (size_t)i >= kOptionCount)
        return nullptr;
    return &option_table().rows[i];
}

SLE_API sle_status sle_check_options(const char *options_json) {
    sil_clear_error();
    return guarded([&] {
        sil_opts opts;
        sil_chapter_keys keys;
        std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> guard(&keys);
        return sil_parse_opts(options_json, &opts, &keys) == 0 ? SLE_OK : status_of_error();
    });
}

SLE_API sle_status sle_open(const char *options_json, int rate, int channels, sle_session **out) {
    sil_clear_error();
    if (!out)
        return fail(SLE_ERR_ARGS, "NULL session pointer");
    *out = nullptr;
    if (rate <= 0)
        return fail(SLE_ERR_ARGS, "rate must be above 0");
    if (channels < 1 || channels > 65535)
        return fail(SLE_ERR_ARGS, "channels must be from 1 to 65535");
    return guarded([&] {
        std::unique_ptr<sle_session> s(new sle_session);
        sle_status st = parse_options(s.get(), options_json);
        if (st != SLE_OK)
            return st;
        s->rate = rate;
        s->channels = channels;
        if (channels > 1) {
            s->mix.reset(sil_alloc_array<float>(kMixFrames));
            if (!s->mix) {
                sil_fail_memory();
                return SLE_ERR_MEMORY;
            }
        }
        // The pipeline is made at the first push or at finish, once the
        // callbacks are known.
        *out = s.release();
        return SLE_OK;
    });
}

SLE_API sle_status sle_open_file(const char *path, const char *options_json, sle_session **out) {
    sil_clear_error();
    if (!out)
        return fail(SLE_ERR_ARGS, "NULL session pointer");
    *out = nullptr;
    if (!path)
        return fail(SLE_ERR_ARGS, "NULL path");
    return guarded([&] {
        std::unique_ptr<sle_session> s(new sle_session);
        sle_status st = parse_options(s.get(), options_json);
        if (st != SLE_OK)
            return st;
        s->is_file = true;
        s->path = path;
        sil_wav_source *raw = nullptr;
        if (sil_wav_source_open(path, &raw) == 0) {
            s->src.reset(raw);
            s->rate = raw->sample_rate;
            s->channels = raw->channels;
        } else {
            // A format the reader refuses, or a WAV file too large for it:
            // the media module reads it. Anything else (a missing file) is
            // the reader's failure.
            const int code = sil_error_code();
            if (code != SIL_ERR_FORMAT && code != SIL_ERR_TOO_LARGE)
                return status_of_error();
            if (!sle_media_load())
                return status_of_error();
            sil_clear_error();
        }
        *out = s.release();
        return SLE_OK;
    });
}

SLE_API sle_status sle_set_progress(sle_session *s, sle_progress_fn fn, void *user) {
    sil_clear_error();
    if (!s)
        return fail(SLE_ERR_ARGS, "NULL session");
    if (s->state != sle_session::OPEN || s->pipeline)
        return fail(SLE_ERR_STATE, "callbacks are set before the first push");
    s->progress = {fn, user, -1, 0};
    return SLE_OK;
}

SLE_API sle_status sle_set_chapter_fn(sle_session *s, sle_chapter_fn fn, void *user) {
    sil_clear_error();
    if (!s)
        return fail(SLE_ERR_ARGS, "NULL session");
    if (s->state != sle_session::OPEN || s->pipeline)
        return fail(SLE_ERR_STATE, "callbacks are set before the first push");
    s->on_chapter = fn;
    s->chapter_user = user;
    return SLE_OK;
}

SLE_API sle_status sle_push(sle_session *s, const float *frames, size_t n_frames) {
    sil_clear_error();
    if (!s)
        return fail(SLE_ERR_ARGS, "NULL session");
    if (s->is_file)
        return fail(SLE_ERR_STATE, "a file session reads its own frames");
    if (s->state != sle_session::OPEN)
        return fail(SLE_ERR_STATE, "the session is finished");
    if (!frames && n_frames > 0)
        return fail(SLE_ERR_ARGS, "NULL frames");
    return guarded([&] {
        if (!s->pipeline) {
            s->pipeline.reset(sil_pipeline_new(s->rate, -1, &s->opts, &s->progress, &s->keys));
            if (!s->pipeline) {
                s->state = sle_session::BROKEN;
                return status_of_error();
            }
        }
        const size_t ch = (size_t)s->channels;
        int rc = 0;
        if (ch == 1) {
            rc = sil_pipeline_push(s->pipeline.get(), frames, n_frames);
        } else {
            // The mean of each frame's channels as the WAV reader takes a
            // float file's: added in double in channel order, divided by the
            // count, rounded to float once.
            float *mix = s->mix.get();
            for (size_t at = 0; rc == 0 && at < n_frames; at += kMixFrames) {
                const size_t n = n_frames - at < kMixFrames ? n_frames - at : kMixFrames;
                const float *in = frames + at * ch;
                for (size_t i = 0; i < n; i++) {
                    double sum = 0.0;
                    for (size_t c = 0; c < ch; c++)
                        sum += (double)in[i * ch + c];
                    mix[i] = (float)(sum / (double)ch);
                }
                rc = sil_pipeline_push(s->pipeline.get(), mix, n);
            }
        }
        if (rc != 0) {
            s->state = sle_session::BROKEN;
            return status_of_error();
        }
        return SLE_OK;
    });
}

SLE_API sle_status sle_finish(sle_session *s) {
    sil_clear_error();
    if (!s)
        return fail(SLE_ERR_ARGS, "NULL session");
    if (s->state != sle_session::OPEN)
        return fail(SLE_ERR_STATE, "the session is finished");
    s->state = sle_session::BROKEN; // until everything below succeeds
    return guarded([&] {
        sil_analysis a{};
        std::unique_ptr<sil_analysis, sil_analysis_releaser> a_guard(&a);
        sle_status st = SLE_OK;
        if (s->is_file) {
            st = finish_file(s, &a);
        } else {
            // An empty stream is no recording, as an empty WAV file is none.
            if (!s->pipeline || sil_pipeline_frames(s->pipeline.get()) == 0)
                return fail(SLE_ERR_ARGS, "no frames were pushed");
            st = s->pipeline && sil_pipeline_finish(s->pipeline.get(), &a) == 0 ? SLE_OK
                                                                                : status_of_error();
        }
        s->pipeline.reset(); // the curves are not needed any more
        if (st == SLE_OK)
            st = keep_result(s, &a);
        if (st == SLE_OK)
            st = tell_chapters(s, s->result.count);
        if (st != SLE_OK)
            return st;
        if (s->is_file && s->channels == 0)
            s->rate = s->result.sample_rate;
        s->state = sle_session::FINISHED;
        return SLE_OK;
    });
}

SLE_API void sle_free(sle_session *s) { delete s; }

SLE_API int sle_chapter_count(const sle_session *s) {
    return s && s->state == sle_session::FINISHED ? s->result.count : -1;
}

SLE_API sle_status sle_get_chapter(const sle_session *s, int i, sle_chapter *out) {
    sil_clear_error();
    if (!s || !out)
        return fail(SLE_ERR_ARGS, "NULL argument");
    if (s->state != sle_session::FINISHED)
        return fail(SLE_ERR_STATE, "no result before sle_finish");
    if (i < 0 || i >= s->result.count)
        return fail(SLE_ERR_ARGS, "no such chapter");
    chapter_record(s, i, out);
    return SLE_OK;
}

SLE_API const char *sle_report(const sle_session *s) {
    return s && s->state == sle_session::FINISHED ? s->result.report : nullptr;
}

SLE_API sle_status sle_get_input(const sle_session *s, sle_input *out) {
    sil_clear_error();
    if (!s || !out)
        return fail(SLE_ERR_ARGS, "NULL argument");
    out->rate = s->state == sle_session::FINISHED ? s->result.sample_rate : s->rate;
    out->channels = s->channels;
    out->frames = s->state == sle_session::FINISHED ? s->result.frames
                  : s->src                          ? s->src->frames
                  : s->pipeline                     ? sil_pipeline_frames(s->pipeline.get())
                                                    : 0;
    return SLE_OK;
}

} // extern "C"
