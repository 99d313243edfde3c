#include "report_json.h"

#include "chapter_formats.h"

#include "json_doc.h"
#include "json_names.h"

namespace silsplit_cli {

namespace {

bool get_num(yyjson_val *obj, const char *key, double *out) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (!yyjson_is_num(v))
        return false;
    *out = yyjson_get_num(v);
    return true;
}

} // namespace

bool parse_report(const std::string &json, Report *out) {
    JsonDoc doc = read_json(json);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root))
        return false;
    Report r;
    double rate = 0;
    if (!get_num(root, "sample_rate", &rate) || !get_num(root, "duration_s", &r.duration_s) ||
        !get_num(root, "silences_removed_s", &r.silences_removed_s))
        return false;
    r.sample_rate = (long long)rate;
    yyjson_val *list = yyjson_obj_get(root, "chapters");
    if (!yyjson_is_arr(list))
        return false;
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(list, idx, max, item) {
        Chapter c;
        double i = 0;
        if (!get_num(item, "i", &i) || !get_num(item, "t0", &c.t0) || !get_num(item, "t1", &c.t1) ||
            !get_num(item, "dur", &c.dur) || !get_num(item, "peak_db", &c.peak_db))
            return false;
        c.i = (long long)i;
        r.chapters.push_back(c);
    }
    *out = std::move(r);
    return true;
}

void set_titles(Report *r, const std::vector<std::string> &titles) {
    for (size_t k = 0; k < r->chapters.size() && k < titles.size(); ++k)
        r->chapters[k].title = titles[k];
}

std::vector<std::string> snap_warnings(const std::string &json) {
    std::vector<std::string> out;
    JsonDoc doc = read_json(json);
    yyjson_val *list = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "chapters") : nullptr;
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(list, idx, max, item) {
        double hint = 0, t0 = 0;
        if (!yyjson_equals_str(yyjson_obj_get(item, "snap"), "none") ||
            !get_num(item, "hint", &hint) || !get_num(item, "t0", &t0))
            continue;
        out.push_back("hint " + std::to_string(idx + 1) + " at " + clock_hms(hint) +
                      ": no pause within the window; the chapter starts at " + clock_hms(t0));
    }
    return out;
}

std::string hints_past_end(const std::string &json) {
    JsonDoc doc = read_json(json);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    double duration = 0;
    if (!get_num(root, "duration_s", &duration))
        return "";
    size_t idx, max, first = 0, last = 0;
    double first_hint = 0;
    yyjson_val *item;
    yyjson_arr_foreach(yyjson_obj_get(root, "chapters"), idx, max, item) {
        double hint = 0, t0 = 0, t1 = 0;
        if (!get_num(item, "hint", &hint) || !get_num(item, "t0", &t0) || !get_num(item, "t1", &t1))
            continue;
        if (hint < duration && t1 > t0)
            continue;
        if (first == 0) {
            first = idx + 1;
            first_hint = hint;
        }
        last = idx + 1;
    }
    if (first == 0)
        return "";
    const std::string which = first == last ? "hint " + std::to_string(first) + " at " +
                                                  clock_hms(first_hint) + " lies"
                                            : "hints " + std::to_string(first) + " to " +
                                                  std::to_string(last) + " (from " +
                                                  clock_hms(first_hint) + ") lie";
    return which + " at or past the end of the recording (" + clock_hms(duration) +
           "), where no chapter can start: remove " + (first == last ? "it" : "them") +
           " from the list, or check that the list is for this recording";
}

std::string pretty_json(const std::string &json) {
    JsonDoc doc = read_json(json, YYJSON_READ_NUMBER_AS_RAW);
    if (!doc)
        return "";
    return take_json_text(yyjson_write(doc.get(), YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr));
}

std::string file_json(const std::string &path, const std::string &report, bool pretty) {
    // The name is written by json_name (bytes that are not UTF-8 as \u00XX).
    if (!pretty)
        return "{\"file\":" + json_name(path) + ",\"report\":" + report + "}";
    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    yyjson_mut_obj_add_str(doc.get(), root, "file", "");
    JsonDoc rep = read_json(report, YYJSON_READ_NUMBER_AS_RAW);
    if (!rep)
        return "";
    yyjson_mut_obj_add_val(doc.get(), root, "report",
                           yyjson_val_mut_copy(doc.get(), yyjson_doc_get_root(rep.get())));
    std::string out =
        take_json_text(yyjson_mut_write(doc.get(), YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr));
    const std::string empty_name = "\"file\": \"\"";
    const size_t at = out.find(empty_name);
    if (at == std::string::npos)
        return "";
    return out.replace(at, empty_name.size(), "\"file\": " + json_name(path));
}

} // namespace silsplit_cli
