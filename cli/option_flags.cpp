#include "option_flags.h"

#include "formats/json_doc.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace silsplit_cli {

namespace {

enum class KeyType { number, boolean, count };

struct KeyRule {
    const char *key;
    KeyType type;
};

// Every key the library reads from a file analysis's options.
const KeyRule kKeys[] = {
    {"threshold_db", KeyType::number},   {"min_silence_s", KeyType::number},
    {"min_chapter_s", KeyType::number},  {"padding_s", KeyType::number},
    {"max_chapter_s", KeyType::number},  {"auto_threshold", KeyType::boolean},
    {"cut_at_pause", KeyType::boolean},  {"chapter_count", KeyType::count},
    {"keep_all", KeyType::boolean},      {"report_pauses", KeyType::boolean},
    {"report_levels", KeyType::boolean},
};

const char *type_text(KeyType t) {
    switch (t) {
    case KeyType::number:
        return "a number";
    case KeyType::boolean:
        return "true or false";
    default:
        return "a whole number of at least 1";
    }
}

std::string value_text(yyjson_val *v) {
    if (yyjson_is_num(v)) {
        char *text = yyjson_val_write(v, 0, nullptr);
        std::string out = text ? text : "that number";
        free(text);
        return out;
    }
    if (yyjson_is_str(v))
        return "a string";
    if (yyjson_is_bool(v))
        return "a boolean";
    if (yyjson_is_null(v))
        return "null";
    if (yyjson_is_arr(v))
        return "an array";
    return "an object";
}

bool fits(KeyType t, yyjson_val *v) {
    switch (t) {
    case KeyType::number:
        return yyjson_is_num(v);
    case KeyType::boolean:
        return yyjson_is_bool(v);
    default:
        return (yyjson_is_uint(v) && yyjson_get_uint(v) >= 1) ||
               (yyjson_is_sint(v) && yyjson_get_sint(v) >= 1);
    }
}

} // namespace

std::string accepted_option_keys() {
    std::string out;
    for (const KeyRule &r : kKeys) {
        if (!out.empty())
            out += ", ";
        out += r.key;
    }
    return out;
}

std::string check_options_json(const std::string &text) {
    JsonDoc doc = read_json(text);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root))
        return "not a JSON object: " + text;
    std::set<std::string> seen;
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(root, idx, max, key, val) {
        const std::string name(yyjson_get_str(key), yyjson_get_len(key));
        const KeyRule *rule = nullptr;
        for (const KeyRule &r : kKeys)
            if (name == r.key)
                rule = &r;
        if (!rule) {
            if (name == "sample_rate")
                return "\"sample_rate\" is the rate of a buffer of samples, and a file's rate "
                       "is read from the file (the keys are " +
                       accepted_option_keys() + ")";
            return "unknown key \"" + name + "\" (the keys are " + accepted_option_keys() + ")";
        }
        if (!seen.insert(name).second)
            return "\"" + name + "\" is given twice";
        if (!fits(rule->type, val))
            return "\"" + name + "\" must be " + type_text(rule->type) + ", not " + value_text(val);
    }
    return "";
}

std::string check_finite_number(const std::string &text) {
    const char *s = text.c_str();
    char *end = nullptr;
    const double v = strtod(s, &end); // 1e999 overflows to infinity
    if (end == s || *end != '\0')
        return ""; // not a number at all: the option's own conversion says so
    if (!std::isfinite(v))
        return "not a finite number: " + text;
    return "";
}

} // namespace silsplit_cli
