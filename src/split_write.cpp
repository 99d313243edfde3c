// Results: the JSON analysis report, and the export of a recording's chapters
// as 16-bit WAV files beside a chapters.json that holds the same report.
#include "pipeline.h"
#include "silsplit_internal.h"

#include <yyjson.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct mut_doc_deleter {
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, mut_doc_deleter>;


constexpr size_t PATH_BUF = 1024;

} // namespace

// ---------------------------------------------------------------------------
// Report
// ---------------------------------------------------------------------------

// A level in dB rounded to 0.1 dB as the nearest double (so -43.2 is written
// -43.2), never below -120; a NaN reads -120 and an overflow at most 999.
static double tenth_db(float db) {
    if (!(db > -120.0f))
        return -120.0;
    if (db > 999.0f)
        return 999.0;
    return std::round((double)db * 10.0) / 10.0;
}

// Writes t tenths (-1200..9990) as a decimal with one digit after the point,
// as yyjson writes the double t / 10 (but 0.0 for a negative zero); returns
// the end.
static char *put_tenths(char *w, int32_t t) {
    if (t < 0) {
        *w++ = '-';
        t = -t;
    }
    char digits[8];
    int n = 0;
    int32_t whole = t / 10;
    do {
        digits[n++] = (char)('0' + whole % 10);
        whole /= 10;
    } while (whole > 0);
    while (n > 0)
        *w++ = digits[--n];
    *w++ = '.';
    *w++ = (char)('0' + t % 10);
    return w;
}

// A frame's start in seconds, the single-precision value the chapters use.
static float frame_time(int32_t frame) { return (float)frame * 160.0f / 16000.0f; }

// The members the options asked for, after the chapters; false when one
// cannot be stored.
static bool add_extras(yyjson_mut_doc *d, yyjson_mut_val *root, const sil_report_extras &x) {
    bool ok = true;
    if (x.has_threshold) {
        ok = ok && yyjson_mut_obj_add_real(d, root, "threshold_db", tenth_db(x.threshold_db));
        if (x.track) {
            yyjson_mut_val *arr = ok ? yyjson_mut_arr(d) : nullptr;
            ok = ok && arr != nullptr;
            for (int32_t i = 0; ok && i < x.n_track; i++) {
                yyjson_mut_val *p = yyjson_mut_obj(d);
                ok = p != nullptr && yyjson_mut_obj_add_real(d, p, "t", (double)x.track[i].t) &&
                     yyjson_mut_obj_add_real(d, p, "db", tenth_db(x.track[i].db)) &&
                     yyjson_mut_arr_append(arr, p);
            }
            ok = ok && yyjson_mut_obj_add_val(d, root, "threshold_track", arr);
        }
    }
    if (x.has_pauses) {
        yyjson_mut_val *arr = ok ? yyjson_mut_arr(d) : nullptr;
        ok = ok && arr != nullptr;
        for (int32_t i = 0; ok && i < x.n_pauses; i++) {
            const sil_pause &ps = x.pauses[i];
            const float t0 = frame_time(ps.first);
            const float t1 = frame_time(ps.end);
            const float dur = t1 - t0; // the single-precision difference, as for chapters
            // Longest first, then deepest: whole hops, and the depth in 0.1 dB
            // (at most 999) below the last digit of the duration.
            const double score =
                ((double)(ps.end - ps.first) * 1000.0 + ps.depth_tenths) / 100000.0;
            yyjson_mut_val *p = yyjson_mut_obj(d);
            ok = p != nullptr && yyjson_mut_obj_add_real(d, p, "t0", (double)t0) &&
                 yyjson_mut_obj_add_real(d, p, "t1", (double)t1) &&
                 yyjson_mut_obj_add_real(d, p, "dur", (double)dur) &&
                 yyjson_mut_obj_add_real(d, p, "level_db", tenth_db(ps.level_db)) &&
                 yyjson_mut_obj_add_real(d, p, "score", score) &&
                 yyjson_mut_obj_add_int(d, p, "rank", ps.rank) && yyjson_mut_arr_append(arr, p);
        }
        ok = ok && yyjson_mut_obj_add_val(d, root, "pauses", arr);
    }
    if (x.has_levels) {
        yyjson_mut_val *obj = ok ? yyjson_mut_obj(d) : nullptr;
        ok = ok && obj && yyjson_mut_obj_add_real(d, obj, "hop_s", 0.01);
        // An hour holds 360000 values: the array is written here as one raw
        // text, as yyjson would write each value (-43.2, -120.0, 5.0), which
        // takes a fraction of the time of a value each.
        sil_heap_ptr<char> text(ok ? static_cast<char *>(malloc((size_t)x.n_levels * 8 + 2))
                                   : nullptr);
        ok = ok && text;
        yyjson_mut_val *arr = nullptr;
        if (ok) {
            char *w = text.get();
            *w++ = '[';
            for (int32_t i = 0; i < x.n_levels; i++) {
                if (i > 0)
                    *w++ = ',';
                w = put_tenths(w, (int32_t)std::lround(tenth_db(x.levels[i]) * 10.0));
            }
            *w++ = ']';
            arr = yyjson_mut_rawncpy(d, text.get(), (size_t)(w - text.get()));
        }
        ok = ok && arr && yyjson_mut_obj_add_val(d, obj, "db", arr) &&
             yyjson_mut_obj_add_val(d, root, "levels", obj);
    }
    if (x.count_requested > 0) {
        yyjson_mut_val *obj = ok ? yyjson_mut_obj(d) : nullptr;
        ok = ok && obj && yyjson_mut_obj_add_int(d, obj, "requested", x.count_requested) &&
             yyjson_mut_obj_add_int(d, obj, "found", x.count_found) &&
             yyjson_mut_obj_add_val(d, root, "chapter_count", obj);
    }
    return ok;
}

char *sil_build_analyze_json(int sample_rate, float duration_s, const sil_chapter *chapters,
                             int count, float silences_removed_s, const sil_report_extras *extras) {
    mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
    if (!doc) {
        sil_set_error("json alloc failed");
        return nullptr;
    }
    yyjson_mut_doc *d = doc.get();
    // yyjson's add and append calls do nothing with a NULL container or value,
    // so every step is checked: a report with a member missing must never be
    // handed out as a success.
    bool ok = true;
    yyjson_mut_val *root = yyjson_mut_obj(d);
    ok = ok && root != nullptr;
    if (ok)
        yyjson_mut_doc_set_root(d, root);
    ok = ok && yyjson_mut_obj_add_int(d, root, "sample_rate", sample_rate);
    // Reals are the exact doubles of the float values (0.8f is written as
    // 0.800000011920929), never yyjson's single-precision form.
    ok = ok && yyjson_mut_obj_add_real(d, root, "duration_s", (double)duration_s);
    ok = ok && yyjson_mut_obj_add_real(d, root, "silences_removed_s", (double)silences_removed_s);
    yyjson_mut_val *arr = ok ? yyjson_mut_arr(d) : nullptr;
    ok = ok && arr != nullptr;
    for (int i = 0; ok && i < count; i++) {
        const sil_chapter &c = chapters[i];
        yyjson_mut_val *obj = yyjson_mut_obj(d);
        const float dur = c.t1 - c.t0; // the single-precision difference
        ok = obj != nullptr && yyjson_mut_obj_add_int(d, obj, "i", i + 1) &&
             yyjson_mut_obj_add_real(d, obj, "t0", (double)c.t0) &&
             yyjson_mut_obj_add_real(d, obj, "t1", (double)c.t1) &&
             yyjson_mut_obj_add_real(d, obj, "dur", (double)dur) &&
             yyjson_mut_obj_add_real(d, obj, "peak_db", (double)c.peak_db) &&
             yyjson_mut_arr_append(arr, obj);
    }
    ok = ok && yyjson_mut_obj_add_val(d, root, "chapters", arr);
    ok = ok && (!extras || add_extras(d, root, *extras));
    if (!ok) {
        sil_set_error("json alloc failed");
        return nullptr;
    }

    // Fails on a NaN or an infinity, which plain JSON cannot hold, and when
    // the text itself cannot be allocated.
    yyjson_write_err err{};
    char *text = yyjson_mut_write_opts(d, 0, nullptr, nullptr, &err);
    doc.reset();
    if (!text) {
        sil_set_error(err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION ? "json alloc failed"
                                                                       : "json write failed");
        return nullptr;
    }
    return text;
}

// ---------------------------------------------------------------------------
// Platform layer: the output directory
// ---------------------------------------------------------------------------

enum path_kind { PATH_MISSING, PATH_DIR, PATH_OTHER };

static path_kind query_path(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return PATH_MISSING;
    return S_ISDIR(st.st_mode) ? PATH_DIR : PATH_OTHER;
}

// Creates one directory (no parents); 0 when it exists afterwards.
static int make_dir(const char *path) {
    if (mkdir(path, 0777) == 0 || errno == EEXIST)
        return 0;
    return -1;
}

// ---------------------------------------------------------------------------
// Chapter export
// ---------------------------------------------------------------------------

// Writes text to path without its NUL; on any failure removes the file.
static int write_text_file(const char *path, const char *text) {
    FILE *f = sil_create_output(path);
    if (!f)
        return -1;
    const size_t len = strlen(text);
    bool ok = fwrite(text, 1, len, f) == len;
    if (fclose(f) != 0)
        ok = false;
    if (!ok) {
        remove(path);
        return -1;
    }
    return 0;
}

// Writes frames [start, end) of the source to path, a block at a time. Each
// chapter is read whole from the file, so overlapping chapters are each
// complete. 0, or -1 with the message set and no partial file left behind.
static int write_chapter(sil_wav_source *src, float *block, const char *path, int64_t start,
                         int64_t end) {
    sil_wav_writer w;
    if (sil_wav_writer_open(&w, path, end - start, src->sample_rate) != 0)
        return -1;
    if (sil_wav_source_seek(src, start) != 0) {
        sil_wav_writer_abort(&w);
        return -1;
    }
    for (int64_t at = start; at < end;) {
        const int64_t got = sil_wav_source_read(src, block, (size_t)(end - at));
        if (got <= 0) {
            sil_wav_writer_abort(&w);
            if (got == 0)
                sil_set_error("data read fail");
            return -1;
        }
        if (sil_wav_writer_put(&w, block, (size_t)got) != 0)
            return -1;
        at += got;
    }
    return sil_wav_writer_close(&w);
}

int sil_write_chapters_impl(const char *wav_path, const sil_opts *opts, const char *out_dir) {
    if (!opts || !out_dir || !wav_path) {
        sil_set_error("NULL argument to write_chapters");
        return -1;
    }
    // Refused before anything is touched: the longest file name the detector
    // allows must fit, so no path is ever truncated.
    if (strlen(out_dir) + strlen("/ch_10000.wav") >= PATH_BUF) {
        sil_set_error("output path too long");
        return -1;
    }

    switch (query_path(out_dir)) {
    case PATH_DIR:
        break;
    case PATH_OTHER:
        sil_set_error("out_dir exists but is not a directory");
        return -1;
    case PATH_MISSING:
        if (make_dir(out_dir) != 0) {
            sil_set_error("cannot create out_dir");
            return -1;
        }
        break;
    }

    // One pass for the analysis; the file stays open for the chapters.
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(wav_path, &raw) != 0)
        return -1;
    sil_wav_source_ptr src(raw);
    sil_heap_ptr<sil_chapter> chapters;
    int count = 0;
    float removed_s = 0.0f;
    // The pipeline lives until chapters.json is written: the level curve the
    // report may carry is its own.
    sil_pipeline_ptr p(sil_pipeline_new(src->sample_rate, src->frames, opts, nullptr));
    sil_report_extras extras;
    sil_report_extras_init(&extras);
    std::unique_ptr<sil_report_extras, sil_report_extras_releaser> extras_guard(&extras);
    {
        sil_chapter *chapters_raw = nullptr;
        if (!p || sil_pipeline_push_source(p.get(), src.get()) != 0 ||
            sil_pipeline_chapters(p.get(), &chapters_raw, &count, &removed_s, &extras) != 0)
            return -1;
        chapters.reset(chapters_raw);
    }
    sil_heap_ptr<float> block(static_cast<float *>(malloc(src->block_frames * sizeof(float))));
    if (!block) {
        sil_set_error("out of memory");
        return -1;
    }

    char path[PATH_BUF];
    const int32_t rate = src->sample_rate;
    const float rate_f = (float)rate;
    const int64_t frames = src->frames;
    for (int k = 1; k <= count; k++) {
        const sil_chapter &c = chapters.get()[k - 1];
        // Sample range at the file's own rate: products, floor and ceil in
        // single precision, then clamped into the file in integers (a float
        // cannot hold every frame count above 2^24).
        const double start_f = floorf(c.t0 * rate_f);
        const double end_f = ceilf(c.t1 * rate_f);
        int64_t start = !(start_f >= 0.0)          ? 0
                        : start_f > (double)frames ? frames
                                                   : (int64_t)start_f;
        int64_t end = end_f > (double)frames ? frames : !(end_f >= 0.0) ? 0 : (int64_t)end_f;
        if (end < start)
            end = start;
        snprintf(path, sizeof path, "%s/ch_%03d.wav", out_dir, k);
        if (write_chapter(src.get(), block.get(), path, start, end) != 0)
            return -1;
    }

    // "/chapters.json" is one character longer than "/ch_10000.wav", the name
    // the length check above allows for: give it room so it is never cut short.
    char json_path[PATH_BUF + 1];
    snprintf(json_path, sizeof json_path, "%s/chapters.json", out_dir);
    char *report = sil_build_analyze_json(rate, (float)frames / rate_f, chapters.get(), count,
                                          removed_s, &extras);
    if (!report)
        return -1;
    const int wrote = write_text_file(json_path, report);
    const int open_errno = errno;
    free(report);
    if (wrote != 0) {
        sil_set_error(open_errno == ENOMEM ? "out of memory" : "cannot write chapters.json");
        return -1;
    }
    return count;
}
