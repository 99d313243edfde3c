// The JSON analysis report: sample rate, duration, the time left out and the
// chapters, then the members the options ask for (threshold, pauses, level
// curve, chapter count, speech curve). Reals are the exact doubles of the
// float values.
#include "report.h"

#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct mut_doc_deleter {
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, mut_doc_deleter>;

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

// A probability rounded to 0.001, as a whole number of thousandths (0..1000);
// a NaN reads 0.
static int32_t thousandths(float p) {
    if (!(p > 0.0f))
        return 0;
    return p < 1.0f ? (int32_t)std::lround((double)p * 1000.0) : 1000;
}

// Writes t thousandths (0..1000) as yyjson writes the double t / 1000 (0.0,
// 0.005, 0.25, 1.0); returns the end.
static char *put_thousandths(char *w, int32_t t) {
    *w++ = t == 1000 ? '1' : '0';
    *w++ = '.';
    if (t == 0 || t == 1000) {
        *w++ = '0';
        return w;
    }
    const char digits[3] = {(char)('0' + t / 100), (char)('0' + t / 10 % 10), (char)('0' + t % 10)};
    int n = 3;
    while (digits[n - 1] == '0')
        n--;
    for (int i = 0; i < n; i++)
        *w++ = digits[i];
    return w;
}

// A share 0..1 to 0.01, as the double yyjson writes shortest (0.87).
static double hundredths(float c) {
    if (!(c > 0.0f))
        return 0.0;
    return c < 1.0f ? (double)std::lround((double)c * 100.0) / 100.0 : 1.0;
}

float sil_pause_confidence(int32_t frames_long, int32_t depth_tenths, float min_silence_s) {
    if (frames_long <= 0 || !(min_silence_s > 0.0f))
        return frames_long > 0 ? 1.0f : 0.0f;
    const double ratio = (double)frames_long / 100.0 / (double)min_silence_s;
    const double by_length = std::min(1.0, std::max(0.0, 0.5 + std::log2(ratio)));
    const double by_depth = std::min(1.0, std::max(0.0, depth_tenths / 120.0));
    const double c = by_length * (0.6 + 0.4 * by_depth);
    return (float)(std::lround(c * 100.0) / 100.0);
}

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
            const float t0 = sil_frame_time(ps.first);
            const float t1 = sil_frame_time(ps.end);
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
                 yyjson_mut_obj_add_int(d, p, "rank", ps.rank) &&
                 (ps.speech_p < 0.0f ||
                  yyjson_mut_obj_add_real(d, p, "speech_p", thousandths(ps.speech_p) / 1000.0)) &&
                 (ps.confidence < 0.0f ||
                  yyjson_mut_obj_add_real(d, p, "confidence", hundredths(ps.confidence))) &&
                 yyjson_mut_arr_append(arr, p);
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
    if (x.has_pause_scale) {
        static const char *const kinds[] = {"given", "break", "longest_only", "no_pause",
                                            "speech_fixed"};
        ok = ok &&
             yyjson_mut_obj_add_real(d, root, "min_silence_s_used",
                                     (double)x.min_silence_s_used) &&
             yyjson_mut_obj_add_str(d, root, "pause_scale", kinds[x.pause_scale]);
    }
    if (x.has_speech_used)
        ok = ok && yyjson_mut_obj_add_bool(d, root, "speech_used", x.speech_used);
    if (x.has_speech) {
        yyjson_mut_val *obj = ok ? yyjson_mut_obj(d) : nullptr;
        ok = ok && obj && yyjson_mut_obj_add_real(d, obj, "hop_s", 0.032);
        // One raw text, as for the levels: at most "0.001," per value.
        sil_heap_ptr<char> text(ok ? static_cast<char *>(malloc((size_t)x.n_speech * 6 + 2))
                                   : nullptr);
        ok = ok && text;
        yyjson_mut_val *arr = nullptr;
        if (ok) {
            char *w = text.get();
            *w++ = '[';
            for (int64_t i = 0; i < x.n_speech; i++) {
                if (i > 0)
                    *w++ = ',';
                w = put_thousandths(w, thousandths(x.speech[i]));
            }
            *w++ = ']';
            arr = yyjson_mut_rawncpy(d, text.get(), (size_t)(w - text.get()));
        }
        ok = ok && arr && yyjson_mut_obj_add_val(d, obj, "p", arr) &&
             yyjson_mut_obj_add_val(d, root, "speech", obj);
    }
    if (x.has_boundaries) {
        yyjson_mut_val *arr = ok ? yyjson_mut_arr(d) : nullptr;
        ok = ok && arr != nullptr;
        for (int32_t i = 0; ok && i < x.n_boundaries; i++) {
            yyjson_mut_val *p = yyjson_mut_obj(d);
            ok = p != nullptr &&
                 yyjson_mut_obj_add_real(d, p, "t", (double)x.boundaries[i].t) &&
                 yyjson_mut_obj_add_real(d, p, "confidence", hundredths(x.boundaries[i].db)) &&
                 yyjson_mut_arr_append(arr, p);
        }
        ok = ok && yyjson_mut_obj_add_val(d, root, "boundaries", arr);
    }
    return ok;
}

// A chapter's title and hint note, when the record holds them.
static bool add_chapter_notes(yyjson_mut_doc *d, yyjson_mut_val *obj, const sil_report_extras &x,
                              int i) {
    static const char *const kinds[] = {"start", "pause", "weak", "none"};
    bool ok = true;
    if (x.titles && i < x.n_titles)
        ok = yyjson_mut_obj_add_str(d, obj, "title", x.titles[i] ? x.titles[i] : "");
    if (x.notes && i < x.n_notes) {
        const sil_chapter_note &n = x.notes[i];
        ok = ok && yyjson_mut_obj_add_real(d, obj, "hint", (double)n.hint) &&
             yyjson_mut_obj_add_real(d, obj, "shift", (double)n.shift) &&
             yyjson_mut_obj_add_str(d, obj, "snap", kinds[n.snap]);
    }
    return ok;
}

char *sil_build_analyze_json(int sample_rate, float duration_s, const sil_chapter *chapters,
                             int count, float silences_removed_s, const sil_report_extras *extras) {
    mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
    if (!doc) {
        sil_fail(SIL_ERR_MEMORY, "json alloc failed");
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
             (!extras || add_chapter_notes(d, obj, *extras, i)) &&
             yyjson_mut_arr_append(arr, obj);
    }
    ok = ok && yyjson_mut_obj_add_val(d, root, "chapters", arr);
    ok = ok && (!extras || add_extras(d, root, *extras));
    if (!ok) {
        sil_fail(SIL_ERR_MEMORY, "json alloc failed");
        return nullptr;
    }

    // Fails on a NaN or an infinity, which plain JSON cannot hold, and when
    // the text itself cannot be allocated.
    yyjson_write_err err{};
    char *text = yyjson_mut_write_opts(d, 0, nullptr, nullptr, &err);
    doc.reset();
    if (!text) {
        if (err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION)
            sil_fail(SIL_ERR_MEMORY, "json alloc failed");
        else
            sil_set_error("json write failed");
        return nullptr;
    }
    return text;
}

// ---------------------------------------------------------------------------
// The optional members
// ---------------------------------------------------------------------------

void sil_report_extras_init(sil_report_extras *x) { memset(x, 0, sizeof *x); }

void sil_report_extras_free(sil_report_extras *x) {
    if (!x)
        return;
    free(x->track);
    free(x->pauses);
    free(x->boundaries);
    free(x->levels_owned);
    free(x->speech_owned);
    free(x->notes);
    free(x->titles);
    sil_report_extras_init(x);
}

bool sil_report_extras_take_levels(sil_report_extras *extras, const sil_opts *opts, float *level,
                                   int32_t frames) {
    if (!extras || !opts->report_levels)
        return false;
    extras->has_levels = true;
    extras->levels = level;
    extras->levels_owned = level;
    extras->n_levels = level ? frames : 0;
    return level != nullptr;
}

void sil_report_extras_lend_levels(sil_report_extras *extras, const sil_opts *opts,
                                   const float *level, int32_t frames) {
    if (!extras || !opts->report_levels)
        return;
    extras->has_levels = true;
    extras->levels = level;
    extras->n_levels = frames;
}

bool sil_report_extras_take_speech(sil_report_extras *extras, const sil_opts *opts, float *p,
                                   int64_t n) {
    if (!extras || !opts->report_speech)
        return false;
    extras->has_speech = true;
    extras->speech = p;
    extras->speech_owned = p;
    extras->n_speech = p ? n : 0;
    return p != nullptr;
}

void sil_report_extras_lend_speech(sil_report_extras *extras, const sil_opts *opts, const float *p,
                                   int64_t n) {
    if (!extras || !opts->report_speech)
        return;
    extras->has_speech = true;
    extras->speech = p;
    extras->n_speech = n;
}
