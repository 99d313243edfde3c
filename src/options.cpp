// The options text: a JSON object whose members overlay the defaults of the
// option table.
#include "options.h"

#include <yyjson.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_deleter>;

} // namespace

void sil_opts_defaults(sil_opts *o) {
    *o = sil_opts{};
    for (const sil_option_info &k : SIL_OPTIONS)
        if (k.type == SIL_OPTION_NUMBER)
            o->*k.number = k.fallback;
    o->sample_rate = SIL_ANALYSIS_RATE;
}

// Overwrites *field only when the first member named key holds a number.
static void take_number(yyjson_val *root, const char *key, float *field) {
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

// Flags and counts are strict: a member of the wrong type is a mistake the
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
        sil_fail(SIL_ERR_ARGS, msg);
        return false;
    }
    *field = yyjson_get_bool(v);
    return true;
}

// A count: a whole number from 1 to the chapter limit (2 and 2.0 alike).
static bool take_count(yyjson_val *root, const char *key, int32_t *field) {
    yyjson_val *v = yyjson_obj_get(root, key);
    if (!v)
        return true;
    const double d = yyjson_is_num(v) ? yyjson_get_num(v) : 0.0;
    if (!(d >= 1.0 && d <= (double)SIL_MAX_CHAPTERS && d == std::floor(d))) {
        char msg[96];
        snprintf(msg, sizeof msg, "%s must be a whole number from 1 to %d", key, SIL_MAX_CHAPTERS);
        sil_fail(SIL_ERR_ARGS, msg);
        return false;
    }
    *field = (int32_t)d;
    return true;
}

// ---------------------------------------------------------------------------
// The list keys
// ---------------------------------------------------------------------------

void sil_chapter_keys_init(sil_chapter_keys *k) {
    *k = sil_chapter_keys{};
    k->hint_window_s = SIL_HINT_WINDOW_S;
}

static void free_marks(sil_mark *m, int32_t n) {
    for (int32_t i = 0; m && i < n; i++)
        free(m[i].title);
    free(m);
}

void sil_chapter_keys_free(sil_chapter_keys *k) {
    if (!k)
        return;
    free_marks(k->chapters, k->n_chapters);
    free_marks(k->hints, k->n_hints);
    for (int32_t i = 0; k->titles && i < k->n_titles; i++)
        free(k->titles[i]);
    free(k->titles);
    sil_chapter_keys_init(k);
}

// A heap copy of len bytes of text with a NUL after them; NULL for NULL.
static char *copy_text(const char *text, size_t len, bool *ok) {
    if (!text)
        return nullptr;
    char *t = static_cast<char *>(malloc(len + 1));
    if (!t) {
        *ok = false;
        return nullptr;
    }
    memcpy(t, text, len);
    t[len] = '\0';
    return t;
}

static sil_mark *copy_marks(const sil_mark *m, int32_t n, bool *ok) {
    if (n == 0)
        return nullptr;
    sil_mark *out = static_cast<sil_mark *>(calloc((size_t)n, sizeof(sil_mark)));
    if (!out) {
        *ok = false;
        return nullptr;
    }
    for (int32_t i = 0; i < n; i++) {
        out[i] = m[i];
        out[i].title = m[i].title ? copy_text(m[i].title, strlen(m[i].title), ok) : nullptr;
    }
    return out;
}

int sil_chapter_keys_copy(const sil_chapter_keys *from, sil_chapter_keys *to) {
    sil_chapter_keys_init(to);
    bool ok = true;
    to->hint_window_s = from->hint_window_s;
    to->chapters = copy_marks(from->chapters, from->n_chapters, &ok);
    to->n_chapters = to->chapters ? from->n_chapters : 0;
    to->hints = copy_marks(from->hints, from->n_hints, &ok);
    to->n_hints = to->hints ? from->n_hints : 0;
    if (from->n_titles > 0) {
        to->titles = static_cast<char **>(calloc((size_t)from->n_titles, sizeof(char *)));
        ok = ok && to->titles;
        to->n_titles = to->titles ? from->n_titles : 0;
        for (int32_t i = 0; i < to->n_titles; i++)
            to->titles[i] = from->titles[i]
                                ? copy_text(from->titles[i], strlen(from->titles[i]), &ok)
                                : nullptr;
    }
    if (!ok) {
        sil_chapter_keys_free(to);
        sil_fail_memory();
        return -1;
    }
    return 0;
}

// Sets the error "KEY[I]: WHAT" for the list entry i; returns false.
static bool entry_error(const char *key, size_t i, const char *what) {
    char msg[160];
    snprintf(msg, sizeof msg, "%s[%zu]: %s", key, i, what);
    sil_fail(SIL_ERR_ARGS, msg);
    return false;
}

// A time in seconds: a finite number of at least 0 that a float holds.
// false with the error naming the entry and the member otherwise.
static bool take_time(yyjson_val *v, const char *key, size_t i, const char *member, float *out) {
    char what[64];
    if (!yyjson_is_num(v)) {
        snprintf(what, sizeof what, "%s must be a number of seconds", member);
        return entry_error(key, i, what);
    }
    const double d = yyjson_get_num(v);
    if (!(d >= 0.0)) {
        snprintf(what, sizeof what, "%s is negative", member);
        return entry_error(key, i, what);
    }
    if (!std::isfinite((float)d)) {
        snprintf(what, sizeof what, "%s is out of range", member);
        return entry_error(key, i, what);
    }
    *out = (float)d;
    return true;
}

// An entry's optional title: a text, or absent or null for none.
static bool take_title(yyjson_val *v, const char *key, size_t i, char **out, bool *ok) {
    *out = nullptr;
    if (!v || yyjson_is_null(v))
        return true;
    if (!yyjson_is_str(v))
        return entry_error(key, i, "title must be a text");
    *out = copy_text(yyjson_get_str(v), yyjson_get_len(v), ok);
    return true;
}

// Times are held in single precision: a and b (a before b in the text's
// double precision) that come out as one time there are refused with the
// step named, so that "not after" does not read as a plain mistake.
static bool held_as_one(const char *key, size_t i, const char *what, double a, double b) {
    if (!(b > a))
        return false;
    const float f = (float)a;
    char msg[120]; // within entry_error's line
    snprintf(msg, sizeof msg,
             "%s once held in single precision (times are kept to %.3g s near %.0f s)", what,
             (double)std::nextafter(f, INFINITY) - (double)f, a);
    return !entry_error(key, i, msg);
}

// The number at member of entry e (0 when there is none).
static double given_time(yyjson_val *e, const char *member) {
    yyjson_val *v = member ? yyjson_obj_get(e, member) : e;
    return yyjson_is_num(v) ? yyjson_get_num(v) : 0.0;
}

// The array of a list key: false with the error when it is not an array of
// 1 to SIL_MAX_CHAPTERS entries.
static bool list_size(yyjson_val *v, const char *key, size_t *n) {
    char msg[96];
    *n = yyjson_arr_size(v);
    if (!yyjson_is_arr(v) || *n == 0 || *n > (size_t)SIL_MAX_CHAPTERS) {
        snprintf(msg, sizeof msg, "%s must be a list of 1 to %d entries", key, SIL_MAX_CHAPTERS);
        sil_fail(SIL_ERR_ARGS, msg);
        return false;
    }
    return true;
}

// chapters: objects with t0, an optional t1 after it and an optional title,
// each starting after the one before has started and ended.
static bool take_chapters(yyjson_val *v, sil_chapter_keys *k, bool *ok) {
    const char *key = "chapters";
    size_t n = 0;
    if (!list_size(v, key, &n))
        return false;
    k->chapters = static_cast<sil_mark *>(calloc(n, sizeof(sil_mark)));
    if (!k->chapters) {
        *ok = false;
        return true;
    }
    for (size_t i = 0; i < n; i++) {
        yyjson_val *e = yyjson_arr_get(v, i);
        sil_mark &m = k->chapters[i];
        k->n_chapters = (int32_t)i + 1;
        if (!yyjson_is_obj(e))
            return entry_error(key, i, "must be an object with t0 (and t1, title)");
        if (!take_time(yyjson_obj_get(e, "t0"), key, i, "t0", &m.t0))
            return false;
        yyjson_val *t1 = yyjson_obj_get(e, "t1");
        m.t1 = -1.0f;
        if (t1 && !yyjson_is_null(t1)) {
            if (!take_time(t1, key, i, "t1", &m.t1))
                return false;
            if (!(m.t1 > m.t0)) {
                if (held_as_one(key, i, "t1 is not after t0", given_time(e, "t0"),
                                given_time(e, "t1")))
                    return false;
                return entry_error(key, i, "t1 is not after t0");
            }
        }
        if (!take_title(yyjson_obj_get(e, "title"), key, i, &m.title, ok))
            return false;
        if (i > 0) {
            const sil_mark &prev = k->chapters[i - 1];
            if (!(m.t0 > prev.t0)) {
                if (held_as_one(key, i, "starts with the chapter above it",
                                given_time(yyjson_arr_get(v, i - 1), "t0"), given_time(e, "t0")))
                    return false;
                return entry_error(key, i, "starts before the chapter above it");
            }
            if (prev.t1 >= 0.0f && m.t0 < prev.t1)
                return entry_error(key, i, "starts before the chapter above it ends");
        }
    }
    return true;
}

// hints: numbers or objects with t and an optional title, increasing.
static bool take_hints(yyjson_val *v, sil_chapter_keys *k, bool *ok) {
    const char *key = "hints";
    size_t n = 0;
    if (!list_size(v, key, &n))
        return false;
    k->hints = static_cast<sil_mark *>(calloc(n, sizeof(sil_mark)));
    if (!k->hints) {
        *ok = false;
        return true;
    }
    for (size_t i = 0; i < n; i++) {
        yyjson_val *e = yyjson_arr_get(v, i);
        sil_mark &m = k->hints[i];
        k->n_hints = (int32_t)i + 1;
        m.t1 = -1.0f;
        if (yyjson_is_obj(e)) {
            if (!take_time(yyjson_obj_get(e, "t"), key, i, "t", &m.t0) ||
                !take_title(yyjson_obj_get(e, "title"), key, i, &m.title, ok))
                return false;
        } else if (yyjson_is_num(e)) {
            if (!take_time(e, key, i, "the time", &m.t0))
                return false;
        } else {
            return entry_error(key, i, "must be a number of seconds or an object with t");
        }
        if (i > 0 && !(m.t0 > k->hints[i - 1].t0)) {
            yyjson_val *p = yyjson_arr_get(v, i - 1);
            const char *member = yyjson_is_obj(e) ? "t" : nullptr;
            if (held_as_one(key, i, "is not after the hint before it",
                            given_time(p, yyjson_is_obj(p) ? "t" : nullptr),
                            given_time(e, member)))
                return false;
            return entry_error(key, i, "is not after the hint before it");
        }
    }
    return true;
}

// titles: texts, or null for a chapter left without one.
static bool take_titles(yyjson_val *v, sil_chapter_keys *k, bool *ok) {
    const char *key = "titles";
    size_t n = 0;
    if (!list_size(v, key, &n))
        return false;
    k->titles = static_cast<char **>(calloc(n, sizeof(char *)));
    if (!k->titles) {
        *ok = false;
        return true;
    }
    k->n_titles = (int32_t)n;
    for (size_t i = 0; i < n; i++) {
        yyjson_val *e = yyjson_arr_get(v, i);
        if (yyjson_is_null(e))
            continue;
        if (!yyjson_is_str(e))
            return entry_error(key, i, "must be a text");
        k->titles[i] = copy_text(yyjson_get_str(e), yyjson_get_len(e), ok);
    }
    return true;
}

// The list keys of root into k; false with the message set.
static bool take_lists(yyjson_val *root, const sil_opts *o, sil_chapter_keys *k) {
    yyjson_val *chapters = yyjson_obj_get(root, "chapters");
    yyjson_val *hints = yyjson_obj_get(root, "hints");
    yyjson_val *window = yyjson_obj_get(root, "hint_window_s");
    yyjson_val *titles = yyjson_obj_get(root, "titles");
    if (chapters && hints) {
        sil_fail(SIL_ERR_ARGS, "chapters and hints cannot be given together");
        return false;
    }
    if ((chapters || hints) && o->chapter_count > 0) {
        sil_fail(SIL_ERR_ARGS, chapters ? "chapter_count cannot be given with chapters"
                                        : "chapter_count cannot be given with hints");
        return false;
    }
    if (window) {
        const double d = yyjson_is_num(window) ? yyjson_get_num(window) : 0.0;
        if (!(d > 0.0)) {
            sil_fail(SIL_ERR_ARGS, "hint_window_s must be a number of seconds above 0");
            return false;
        }
        if (!std::isfinite((float)d)) {
            sil_fail(SIL_ERR_ARGS, "hint_window_s is out of range (at most 3.4e38 s; a window "
                                   "as long as the recording reaches every pause)");
            return false;
        }
        k->hint_window_s = (float)d;
    }
    bool ok = true;
    const bool good = (!chapters || take_chapters(chapters, k, &ok)) &&
                      (!hints || take_hints(hints, k, &ok)) &&
                      (!titles || take_titles(titles, k, &ok));
    if (good && !ok)
        sil_fail_memory();
    return good && ok;
}

int sil_parse_opts(const char *json, sil_opts *o) {
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    const int rc = sil_parse_opts(json, o, &keys);
    sil_chapter_keys_free(&keys);
    return rc;
}

int sil_parse_opts(const char *json, sil_opts *o, sil_chapter_keys *keys) {
    sil_opts_defaults(o);
    sil_chapter_keys_init(keys);
    if (!json || json[0] == '\0' || strcmp(json, "{}") == 0)
        return 0;

    // Standard JSON only; the text is read, never changed. Its document takes
    // several times the text's size, so a text far longer than any options
    // (a chapter list included) is refused before it is read.
    const size_t len = strlen(json);
    if (len > SIL_MAX_OPTIONS_TEXT) {
        sil_fail(SIL_ERR_ARGS, "options text longer than 16 MiB");
        return -1;
    }
    yyjson_read_err err{};
    doc_ptr doc(yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, &err));
    if (!doc) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION)
            sil_fail_memory();
        else
            sil_fail(SIL_ERR_ARGS, "invalid options JSON");
        return -1;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        sil_fail(SIL_ERR_ARGS, "options must be a JSON object");
        return -1;
    }
    for (size_t i = 0; i < SIL_N_OPTIONS; i++) {
        const sil_option_info &k = SIL_OPTIONS[i];
        yyjson_val *v = yyjson_obj_get(root, k.key);
        if (k.type == SIL_OPTION_NUMBER ? yyjson_is_num(v) : v != nullptr)
            o->given = (uint16_t)(o->given | 1u << i);
        if (k.type == SIL_OPTION_NUMBER)
            take_number(root, k.key, &(o->*k.number));
    }
    take_rate(root, &o->sample_rate);
    for (const sil_option_info &k : SIL_OPTIONS) {
        const bool ok = k.type == SIL_OPTION_FLAG    ? take_flag(root, k.key, &(o->*k.on))
                        : k.type == SIL_OPTION_COUNT ? take_count(root, k.key, &(o->*k.count))
                                                     : true;
        if (!ok) {
            sil_opts_defaults(o);
            return -1;
        }
    }
    if (!take_lists(root, o, keys)) {
        sil_opts_defaults(o);
        sil_chapter_keys_free(keys);
        return -1;
    }
    return 0;
}
