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

int sil_parse_opts(const char *json, sil_opts *o) {
    sil_opts_defaults(o);
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
    return 0;
}
