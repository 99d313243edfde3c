#include "option_flags.h"

#include "formats/chapter_files.h"
#include "formats/json_doc.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace silsplit_cli {

namespace {

// The order the flags are listed in: every number, then every flag, then the
// count, each in the table's order.
constexpr sil_option_type kFlagOrder[] = {SIL_OPTION_NUMBER, SIL_OPTION_FLAG, SIL_OPTION_COUNT};

std::string type_text(sil_option_type t) {
    switch (t) {
    case SIL_OPTION_NUMBER:
        return "a number";
    case SIL_OPTION_FLAG:
        return "true or false";
    default:
        return "a whole number from 1 to " + std::to_string(SIL_MAX_CHAPTERS);
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

bool fits(sil_option_type t, yyjson_val *v) {
    switch (t) {
    case SIL_OPTION_NUMBER:
        return yyjson_is_num(v);
    case SIL_OPTION_FLAG:
        return yyjson_is_bool(v);
    default: { // as the library reads it: 2 and 2.0 alike
        const double d = yyjson_is_num(v) ? yyjson_get_num(v) : 0.0;
        return d >= 1.0 && d <= (double)SIL_MAX_CHAPTERS && d == std::floor(d);
    }
    }
}

} // namespace

std::string accepted_option_keys() {
    std::string out;
    for (const sil_option_info &row : SIL_OPTIONS) {
        if (!out.empty())
            out += ", ";
        out += row.key;
    }
    return out;
}

void add_detection_flags(CLI::App *cmd, DetectionFlags *flags) {
    const char *group = "Detection options";
    for (sil_option_type type : kFlagOrder) {
        for (size_t k = 0; k < SIL_N_OPTIONS; ++k) {
            const sil_option_info &row = SIL_OPTIONS[k];
            DetectionFlags::Value &v = flags->values[k];
            if (row.type != type)
                continue;
            if (type == SIL_OPTION_NUMBER) {
                v.number = row.fallback;
                v.option = cmd->add_option(row.flag, v.number, row.help)
                               ->capture_default_str()
                               ->type_name(row.value_name)
                               ->check(check_finite_number, "");
            } else if (type == SIL_OPTION_FLAG) {
                v.option = cmd->add_flag(row.flag, v.on, row.help);
            } else {
                v.option = cmd->add_option(row.flag, v.count, row.help)
                               ->type_name(row.value_name)
                               ->check(CLI::Range(1, SIL_MAX_CHAPTERS));
            }
            v.option->group(group);
        }
    }
    cmd->add_option("--options", flags->raw,
                    "the options as a JSON object, e.g. '{\"min_chapter_s\":2}'; "
                    "the flags above override its keys. Keys: " +
                        accepted_option_keys())
        ->type_name("JSON")
        ->check(check_options_json, "")
        ->group(group);
}

std::string options_text(const DetectionFlags &flags) {
    // A number or the count is given when it is on the command line; a flag
    // when it is set.
    auto given = [&](size_t k) {
        const DetectionFlags::Value &v = flags.values[k];
        return SIL_OPTIONS[k].type == SIL_OPTION_FLAG ? v.on : v.option->count() > 0;
    };
    bool any = !flags.raw.empty();
    for (size_t k = 0; k < SIL_N_OPTIONS; ++k)
        any = any || given(k);
    if (!any)
        return "";
    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = nullptr;
    if (!flags.raw.empty()) {
        JsonDoc in = read_json(flags.raw);
        root = yyjson_val_mut_copy(doc.get(), yyjson_doc_get_root(in.get()));
    } else {
        root = yyjson_mut_obj(doc.get());
    }
    yyjson_mut_doc_set_root(doc.get(), root);
    for (sil_option_type type : kFlagOrder) {
        for (size_t k = 0; k < SIL_N_OPTIONS; ++k) {
            const sil_option_info &row = SIL_OPTIONS[k];
            const DetectionFlags::Value &v = flags.values[k];
            if (row.type != type || !given(k))
                continue;
            yyjson_mut_obj_remove_key(root, row.key);
            if (type == SIL_OPTION_NUMBER)
                yyjson_mut_obj_add_real(doc.get(), root, row.key, v.number);
            else if (type == SIL_OPTION_FLAG)
                yyjson_mut_obj_add_bool(doc.get(), root, row.key, true);
            else
                yyjson_mut_obj_add_int(doc.get(), root, row.key, v.count);
        }
    }
    return take_json_text(yyjson_mut_write(doc.get(), 0, nullptr));
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
        const sil_option_info *rule = nullptr;
        for (const sil_option_info &row : SIL_OPTIONS)
            if (name == row.key)
                rule = &row;
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

std::string check_hint_window(const std::string &text) {
    const double v = strtod(text.c_str(), nullptr);
    if (v > kMaxHintWindowS)
        return text + " seconds is longer than any recording: a window of at most " +
               std::to_string((long long)kMaxHintWindowS) +
               " s (a year) reaches every pause already";
    return "";
}

void add_chapter_flags(CLI::App *cmd, ChapterFlags *flags) {
    const char *group = "Chapter lists";
    const char *formats = "chapters.json (or any report of silsplit), a CUE sheet, ffmetadata, a label "
                          "track (start<TAB>end<TAB>label) or one start per line (seconds, M:SS or "
                          "H:MM:SS[.mmm], then an optional title); the format is found from the content";
    CLI::Option *chapters =
        cmd->add_option("--chapters", flags->chapters,
                        std::string("use the chapters in FILE as they are instead of finding "
                                    "them: ") + formats)
            ->type_name("FILE")
            ->group(group);
    CLI::Option *hints =
        cmd->add_option("--hints", flags->hints,
                        "move the approximate chapter starts in FILE (a list as for --chapters) "
                        "each onto the best pause near it")
            ->type_name("FILE")
            ->group(group);
    CLI::Option *own =
        cmd->add_flag("--hints-from-input", flags->hints_from_input,
                      "use the input's own chapter marks (an M4B, MKA, ... whose marks are "
                      "approximate) as the hints; the corrected marks replace them")
            ->group(group);
    chapters->excludes(hints)->excludes(own);
    hints->excludes(own);
    flags->hint_window =
        cmd->add_option("--hint-window", flags->hint_window_s,
                        "how far (seconds, either side) a hint may move to find a pause; default 30")
            ->type_name("S")
            ->check(check_finite_number, "")
            ->check(CLI::PositiveNumber)
            ->check(check_hint_window, "")
            ->group(group);
    flags->hint_window->excludes(chapters);
    cmd->add_option("--titles", flags->titles,
                    "name the chapters with the titles in FILE, one per line, in order")
        ->type_name("FILE")
        ->group(group);
}

std::string placed_message(const ListPlaces &places, const std::string &message) {
    struct Key {
        const char *name;
        const std::string *path;
        const std::vector<ChapterMark> *marks; // nullptr: a title list, line K + 1
    };
    const Key keys[] = {{"chapters", &places.chapters_path, &places.chapters},
                        {"hints", &places.hints_path, &places.hints},
                        {"titles", &places.titles_path, nullptr}};
    for (const Key &key : keys) {
        const std::string head = std::string(key.name) + "[";
        if (key.path->empty() || message.compare(0, head.size(), head) != 0)
            continue;
        const size_t close = message.find("]: ", head.size());
        const std::string digits = message.substr(head.size(), close - head.size());
        if (close == std::string::npos || digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return message;
        const size_t k = (size_t)std::stoul(digits);
        const std::string rest = message.substr(close + 3);
        if (!key.marks)
            return *key.path + ":" + std::to_string(k + 1) + ": " + rest;
        if (k >= key.marks->size())
            return message;
        const ChapterMark &m = (*key.marks)[k];
        if (m.line > 0)
            return *key.path + ":" + std::to_string(m.line) + ": " + rest;
        return *key.path + ": " + key.name + "[" + std::to_string(m.index) + "]: " + rest;
    }
    return message;
}

std::string options_with_chapter_files(const ChapterFlags &flags, const std::string &opts,
                                       std::string *out, ListPlaces *places) {
    std::string text = opts;
    for (const std::string *path : {&flags.chapters, &flags.hints}) {
        if (path->empty())
            continue;
        ChapterList list;
        const std::string why = read_chapter_file(*path, &list);
        if (!why.empty())
            return why;
        text = path == &flags.chapters ? options_with_chapters(text, list.marks)
                                       : options_with_hints(text, list.marks);
        if (places) {
            (path == &flags.chapters ? places->chapters_path : places->hints_path) = *path;
            (path == &flags.chapters ? places->chapters : places->hints) = std::move(list.marks);
        }
    }
    if (!flags.titles.empty()) {
        std::vector<std::string> titles;
        const std::string why = read_title_file(flags.titles, &titles);
        if (!why.empty())
            return why;
        text = options_with_titles(text, titles);
        if (places)
            places->titles_path = flags.titles;
    }
    if (flags.hint_window && flags.hint_window->count() > 0) {
        JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
        yyjson_mut_val *root = nullptr;
        if (!text.empty()) {
            JsonDoc in = read_json(text);
            root = yyjson_val_mut_copy(doc.get(), yyjson_doc_get_root(in.get()));
        } else {
            root = yyjson_mut_obj(doc.get());
        }
        yyjson_mut_doc_set_root(doc.get(), root);
        yyjson_mut_obj_add_real(doc.get(), root, "hint_window_s", flags.hint_window_s);
        text = take_json_text(yyjson_mut_write(doc.get(), 0, nullptr));
    }
    if (text.size() > kMaxListBytes) // each list is shorter, but not all with their quoting
        return "the chapter lists and titles given come to " +
               std::to_string(text.size() >> 20) +
               " MiB of options, more than the 16 MiB the analysis reads: shorten the titles";
    *out = text;
    return "";
}

} // namespace silsplit_cli
