#include "report_format.h"

#include "json_names.h"

#include <yyjson.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace silsplit_cli {

namespace {

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;
using MutDoc = std::unique_ptr<yyjson_mut_doc, DocFree>;

Doc read_doc(const std::string &json, yyjson_read_flag flags) {
    return Doc(yyjson_read(json.data(), json.size(), flags));
}

std::string take_text(char *s) {
    std::string out = s ? s : "";
    free(s);
    return out;
}

bool get_num(yyjson_val *obj, const char *key, double *out) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (!yyjson_is_num(v))
        return false;
    *out = yyjson_get_num(v);
    return true;
}

long long round_units(double seconds, double per_second) {
    if (!(seconds > 0))
        return 0;
    return std::llround(seconds * per_second);
}

std::string printf_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_text(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string chapter_title(const Chapter &c) { return "Chapter " + std::to_string(c.i); }

} // namespace

bool parse_report(const std::string &json, Report *out) {
    Doc doc = read_doc(json, 0);
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

std::string clock_hms(double seconds) {
    long long ms = round_units(seconds, 1000.0);
    return printf_text("%lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                       ms % 1000);
}

std::string clock_vtt(double seconds) {
    long long ms = round_units(seconds, 1000.0);
    return printf_text("%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                       ms / 1000 % 60, ms % 1000);
}

std::string clock_cue(double seconds) {
    long long f = round_units(seconds, 75.0);
    return printf_text("%02lld:%02lld:%02lld", f / (75 * 60), f / 75 % 60, f % 75);
}

std::string format_table(const Report &r) {
    std::string out = printf_text("%4s  %-12s  %-12s  %-12s  %7s\n", "#", "start", "end",
                                  "duration", "peak dB");
    double total = 0;
    for (const Chapter &c : r.chapters) {
        out += printf_text("%4lld  %-12s  %-12s  %-12s  %7.1f\n", c.i, clock_hms(c.t0).c_str(),
                           clock_hms(c.t1).c_str(), clock_hms(c.dur).c_str(), c.peak_db);
        total += c.dur;
    }
    out += printf_text("%zu chapter%s, %s of %s, %s of silence removed\n", r.chapters.size(),
                       r.chapters.size() == 1 ? "" : "s", clock_hms(total).c_str(),
                       clock_hms(r.duration_s).c_str(), clock_hms(r.silences_removed_s).c_str());
    return out;
}

std::string format_cue_file(const Report &r, const std::string &path, int *track) {
    // A CUE sheet names its audio relative to itself and has no escapes.
    std::string name = path.substr(path.find_last_of('/') + 1);
    for (char &ch : name)
        if (ch == '"')
            ch = '\'';
    std::string out = "FILE \"" + name + "\" WAVE\n";
    for (const Chapter &c : r.chapters) {
        ++*track;
        out += printf_text("  TRACK %02d AUDIO\n", *track);
        out += "    TITLE \"" + chapter_title(c) + "\"\n";
        out += "    INDEX 01 " + clock_cue(c.t0) + "\n";
    }
    return out;
}

std::string format_ffmetadata(const Report &r) {
    std::string out = ";FFMETADATA1\n";
    for (const Chapter &c : r.chapters) {
        out += printf_text("\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=%lld\nEND=%lld\n",
                           round_units(c.t0, 1000.0), round_units(c.t1, 1000.0));
        out += "title=" + chapter_title(c) + "\n";
    }
    return out;
}

std::string format_labels(const Report &r) {
    std::string out;
    for (const Chapter &c : r.chapters)
        out += printf_text("%.6f\t%.6f\t", c.t0, c.t1) + chapter_title(c) + "\n";
    return out;
}

std::string format_vtt(const Report &r) {
    std::string out = "WEBVTT\n";
    for (const Chapter &c : r.chapters) {
        out += printf_text("\n%lld\n", c.i);
        out += clock_vtt(c.t0) + " --> " + clock_vtt(c.t1) + "\n" + chapter_title(c) + "\n";
    }
    return out;
}

std::string pretty_json(const std::string &json) {
    Doc doc = read_doc(json, YYJSON_READ_NUMBER_AS_RAW);
    if (!doc)
        return "";
    return take_text(yyjson_write(doc.get(), YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr));
}

std::string file_json(const std::string &path, const std::string &report, bool pretty) {
    // The name is written by json_name (bytes that are not UTF-8 as \u00XX).
    if (!pretty)
        return "{\"file\":" + json_name(path) + ",\"report\":" + report + "}";
    MutDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    yyjson_mut_obj_add_str(doc.get(), root, "file", "");
    Doc rep = read_doc(report, YYJSON_READ_NUMBER_AS_RAW);
    if (!rep)
        return "";
    yyjson_mut_obj_add_val(doc.get(), root, "report",
                           yyjson_val_mut_copy(doc.get(), yyjson_doc_get_root(rep.get())));
    std::string out = take_text(yyjson_mut_write(doc.get(), YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr));
    const std::string empty_name = "\"file\": \"\"";
    const size_t at = out.find(empty_name);
    if (at == std::string::npos)
        return "";
    return out.replace(at, empty_name.size(), "\"file\": " + json_name(path));
}

} // namespace silsplit_cli
