// The review page: the page template (review_page.html, compiled in) with the
// report's data put into its data block. The level curve goes in as tiers of
// min/max pairs, so that the page draws any zoom from a few values per pixel
// column and a ten-hour recording stays a few megabytes.
#include "review_page.h"

#include "chapter_formats.h"
#include "json_doc.h"
#include "json_names.h"
#include "printf_text.h"
#include "report_json.h"

#include "engine.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace silsplit_cli {

// review_page.html, written into a source file by the build.
extern const char kReviewPageTemplate[];
extern const size_t kReviewPageTemplateSize;

namespace {

const char kPlaceholder[] = "@REVIEW_DATA@";

// A default of the option table as the decimal it is written as: 0.8, not
// the float's 0.800000011920929.
double decimal_default(float v) {
    char text[32];
    for (int digits = 1; digits < 9; ++digits) {
        snprintf(text, sizeof text, "%.*g", digits, (double)v);
        if (strtof(text, nullptr) == v)
            return strtod(text, nullptr);
    }
    return (double)v;
}

// Whether key is one of the option table's numbers, whose defaults the page
// shows for the keys an options text leaves out.
bool is_number_option(const char *key) {
    for (const sil_option_info &row : SIL_OPTIONS)
        if (row.type == SIL_OPTION_NUMBER && strcmp(row.key, key) == 0)
            return true;
    return false;
}

bool all_numbers(yyjson_val *obj, const char *const *keys, size_t n) {
    if (!yyjson_is_obj(obj))
        return false;
    for (size_t k = 0; k < n; ++k)
        if (!yyjson_is_num(yyjson_obj_get(obj, keys[k])))
            return false;
    return true;
}

// A copy of list when it is an array of objects that all hold the keys as
// numbers; NULL otherwise, and the page goes without it.
yyjson_mut_val *checked_list(yyjson_mut_doc *doc, yyjson_val *list, const char *const *keys,
                             size_t n) {
    if (!yyjson_is_arr(list))
        return nullptr;
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(list, idx, max, item) {
        if (!all_numbers(item, keys, n))
            return nullptr;
    }
    return yyjson_val_mut_copy(doc, list);
}

// The options as [key, value] pairs: the defaults, overridden by the text's
// keys, then the text's other keys in their order. threshold_db reads "auto"
// when auto_threshold is on.
yyjson_mut_val *option_pairs(yyjson_mut_doc *doc, const std::string &options, yyjson_val *report) {
    JsonDoc in(options.empty() ? nullptr : yyjson_read(options.data(), options.size(), 0));
    yyjson_val *given = in ? yyjson_doc_get_root(in.get()) : nullptr;
    if (!yyjson_is_obj(given))
        given = nullptr;
    yyjson_mut_val *pairs = yyjson_mut_arr(doc);
    auto add = [&](const char *key, yyjson_mut_val *value) {
        yyjson_mut_val *pair = yyjson_mut_arr_add_arr(doc, pairs);
        yyjson_mut_arr_add_strcpy(doc, pair, key);
        yyjson_mut_arr_append(pair, value);
    };
    auto is_given = [&](const char *key) { return given && yyjson_obj_get(given, key); };
    auto chosen = [&](const char *key, double *out) {
        yyjson_val *v = yyjson_obj_get(report, key);
        if (yyjson_is_num(v))
            *out = yyjson_get_num(v);
        return yyjson_is_num(v);
    };
    // What auto and auto_threshold chose, from the report, in place of the
    // defaults they replace.
    const bool auto_detect = given && yyjson_is_true(yyjson_obj_get(given, "auto"));
    const bool auto_threshold =
        given && (yyjson_is_true(yyjson_obj_get(given, "auto_threshold")) ||
                  (auto_detect && !is_given("threshold_db")));
    for (const sil_option_info &row : SIL_OPTIONS) {
        if (row.type != SIL_OPTION_NUMBER)
            continue;
        yyjson_val *v = given ? yyjson_obj_get(given, row.key) : nullptr;
        double value = 0;
        std::string text;
        if (auto_threshold && strcmp(row.key, "threshold_db") == 0)
            text = chosen("threshold_db", &value)
                       ? printf_text("auto: %.1f dB", value) +
                             (yyjson_obj_get(report, "threshold_track") ? " (median; varies)" : "")
                       : "auto";
        else if (auto_detect && !v && strcmp(row.key, "min_silence_s") == 0 &&
                 chosen("min_silence_s_used", &value))
            text = printf_text("auto: %.2f s", value);
        else if (auto_detect && !v && strcmp(row.key, "padding_s") == 0)
            text = "auto: 0 (the chapters meet)";
        if (!text.empty())
            add(row.key, yyjson_mut_strcpy(doc, text.c_str()));
        else
            add(row.key, v ? yyjson_val_mut_copy(doc, v)
                           : yyjson_mut_real(doc, decimal_default(row.fallback)));
    }
    if (given) {
        size_t idx, max;
        yyjson_val *key, *val;
        yyjson_obj_foreach(given, idx, max, key, val) {
            if (!is_number_option(yyjson_get_str(key)))
                add(yyjson_get_str(key), yyjson_val_mut_copy(doc, val));
        }
    }
    return pairs;
}

// The threshold the chapters were found with: the report's (an automatic one),
// else the options', else the default.
double threshold_of(yyjson_val *report, const std::string &options) {
    yyjson_val *v = yyjson_obj_get(report, "threshold_db");
    if (yyjson_is_num(v))
        return yyjson_get_num(v);
    JsonDoc in(options.empty() ? nullptr : yyjson_read(options.data(), options.size(), 0));
    v = in ? yyjson_obj_get(yyjson_doc_get_root(in.get()), "threshold_db") : nullptr;
    if (yyjson_is_num(v))
        return yyjson_get_num(v);
    for (const sil_option_info &row : SIL_OPTIONS)
        if (strcmp(row.key, "threshold_db") == 0)
            return decimal_default(row.fallback);
    return 0.0;
}

// A curve of the report ({"hop_s": s, key: [numbers]}): its values (NaN for
// what is not a number) and hop; false when it has no such array.
bool curve_values(yyjson_val *curve, const char *key, double default_hop_s,
                  std::vector<double> *values, double *hop_s) {
    yyjson_val *list = yyjson_obj_get(curve, key);
    if (!yyjson_is_arr(list))
        return false;
    *hop_s = default_hop_s;
    yyjson_val *hop = yyjson_obj_get(curve, "hop_s");
    if (yyjson_is_num(hop) && yyjson_get_num(hop) > 0)
        *hop_s = yyjson_get_num(hop);
    values->clear();
    values->reserve(yyjson_arr_size(list));
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(list, idx, max, item) {
        values->push_back(yyjson_is_num(item) ? yyjson_get_num(item) : NAN);
    }
    return true;
}

void add_tiers(yyjson_mut_doc *doc, yyjson_mut_val *out, const std::vector<LevelTier> &list) {
    yyjson_mut_val *tiers = yyjson_mut_obj_add_arr(doc, out, "tiers");
    for (const LevelTier &t : list) {
        yyjson_mut_val *tier = yyjson_mut_arr_add_obj(doc, tiers);
        yyjson_mut_obj_add_int(doc, tier, "bucket", t.bucket);
        std::string text = base64(t.min_max.data(), t.min_max.size());
        yyjson_mut_obj_add_strncpy(doc, tier, "data", text.data(), text.size());
    }
}

// The level curve as tiers of base64 min/max pairs.
yyjson_mut_val *level_data(yyjson_mut_doc *doc, const std::vector<double> &values,
                           double hop_s) {
    yyjson_mut_val *out = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_real(doc, out, "hop_s", hop_s);
    yyjson_mut_obj_add_uint(doc, out, "n", values.size());
    yyjson_mut_obj_add_real(doc, out, "floor_db", kLevelFloorDb);
    yyjson_mut_obj_add_real(doc, out, "step_db", kLevelStepDb);
    add_tiers(doc, out, level_tiers(values.data(), values.size()));
    return out;
}

// The speech probability curve, the same way; NULL when the report has none.
yyjson_mut_val *speech_data(yyjson_mut_doc *doc, yyjson_val *speech) {
    std::vector<double> values;
    double hop_s = 0.032;
    if (!curve_values(speech, "p", hop_s, &values, &hop_s))
        return nullptr;
    std::vector<uint8_t> q(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        q[i] = quantize_probability(values[i]);
    yyjson_mut_val *out = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_real(doc, out, "hop_s", hop_s);
    yyjson_mut_obj_add_uint(doc, out, "n", values.size());
    yyjson_mut_obj_add_real(doc, out, "step", kSpeechStep);
    add_tiers(doc, out, byte_tiers(q.data(), q.size(), kFinestSpeechBuckets));
    return out;
}

// The chapters for the page: the report's numbers, and its title, confidence
// and snap (how a hint found its pause) members when they are there.
yyjson_mut_val *chapter_list(yyjson_mut_doc *d, const Report &parsed, yyjson_val *root) {
    yyjson_val *given = yyjson_obj_get(root, "chapters");
    yyjson_mut_val *list = yyjson_mut_arr(d);
    for (size_t k = 0; k < parsed.chapters.size(); ++k) {
        const Chapter &c = parsed.chapters[k];
        yyjson_mut_val *item = yyjson_mut_arr_add_obj(d, list);
        yyjson_mut_obj_add_int(d, item, "i", c.i);
        yyjson_mut_obj_add_real(d, item, "t0", c.t0);
        yyjson_mut_obj_add_real(d, item, "t1", c.t1);
        yyjson_mut_obj_add_real(d, item, "dur", c.dur);
        yyjson_mut_obj_add_real(d, item, "peak_db", c.peak_db);
        yyjson_val *src = yyjson_arr_get(given, k);
        yyjson_val *title = yyjson_obj_get(src, "title");
        if (yyjson_is_str(title))
            yyjson_mut_obj_add_strncpy(d, item, "title", yyjson_get_str(title),
                                       yyjson_get_len(title));
        yyjson_val *confidence = yyjson_obj_get(src, "confidence");
        if (yyjson_is_num(confidence))
            yyjson_mut_obj_add_real(d, item, "confidence", yyjson_get_num(confidence));
        yyjson_val *snap = yyjson_obj_get(src, "snap");
        if (yyjson_is_str(snap))
            yyjson_mut_obj_add_strncpy(d, item, "snap", yyjson_get_str(snap), yyjson_get_len(snap));
    }
    return list;
}

// The threshold track as points; empty when the report has none (or a
// malformed one).
std::vector<ThresholdPoint> track_points(yyjson_val *track) {
    static const char *const keys[] = {"t", "db"};
    std::vector<ThresholdPoint> out;
    if (!yyjson_is_arr(track))
        return out;
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(track, idx, max, item) {
        if (!all_numbers(item, keys, 2))
            return {};
        out.push_back(ThresholdPoint{yyjson_get_num(yyjson_obj_get(item, "t")),
                                     yyjson_get_num(yyjson_obj_get(item, "db"))});
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Level tiers
// ---------------------------------------------------------------------------

uint8_t quantize_level(double db) {
    if (!(db > kLevelFloorDb)) // NaN too
        return 0;
    double q = std::round((db - kLevelFloorDb) / kLevelStepDb);
    return q >= 255 ? 255 : (uint8_t)q;
}

uint8_t quantize_probability(double p) {
    if (!(p > 0.0)) // NaN too
        return 0;
    double q = std::round(p / kSpeechStep);
    return q >= kSpeechTop ? (uint8_t)kSpeechTop : (uint8_t)q;
}

std::vector<LevelTier> byte_tiers(const uint8_t *q, size_t n, size_t finest_limit) {
    std::vector<LevelTier> tiers;
    if (n == 0)
        return tiers;
    LevelTier finest;
    while ((n + (size_t)finest.bucket - 1) / (size_t)finest.bucket > finest_limit)
        finest.bucket *= 2;
    size_t count = (n + (size_t)finest.bucket - 1) / (size_t)finest.bucket;
    finest.min_max.resize(2 * count);
    for (size_t b = 0; b < count; ++b) {
        size_t i0 = b * (size_t)finest.bucket, i1 = std::min(n, i0 + (size_t)finest.bucket);
        uint8_t lo = 255, hi = 0;
        for (size_t i = i0; i < i1; ++i) {
            lo = std::min(lo, q[i]);
            hi = std::max(hi, q[i]);
        }
        finest.min_max[2 * b] = lo;
        finest.min_max[2 * b + 1] = hi;
    }
    tiers.push_back(std::move(finest));
    while (tiers.back().min_max.size() / 2 > kCoarsestBuckets) {
        const LevelTier &fine = tiers.back();
        size_t fine_count = fine.min_max.size() / 2;
        LevelTier coarse;
        coarse.bucket = fine.bucket * 4;
        size_t coarse_count = (fine_count + 3) / 4;
        coarse.min_max.resize(2 * coarse_count);
        for (size_t b = 0; b < coarse_count; ++b) {
            uint8_t lo = 255, hi = 0;
            for (size_t i = 4 * b; i < std::min(fine_count, 4 * b + 4); ++i) {
                lo = std::min(lo, fine.min_max[2 * i]);
                hi = std::max(hi, fine.min_max[2 * i + 1]);
            }
            coarse.min_max[2 * b] = lo;
            coarse.min_max[2 * b + 1] = hi;
        }
        tiers.push_back(std::move(coarse));
    }
    return tiers;
}

std::vector<LevelTier> level_tiers(const double *db, size_t n) {
    std::vector<uint8_t> q(n);
    for (size_t i = 0; i < n; ++i)
        q[i] = quantize_level(db[i]);
    return byte_tiers(q.data(), n, kFinestBuckets);
}

std::vector<TimeSpan> left_out_spans(const double *db, size_t n, double hop_s,
                                     const std::vector<ThresholdPoint> &track, double threshold_db,
                                     const std::vector<TimeSpan> &chapters) {
    std::vector<TimeSpan> out;
    size_t c = 0;  // the first chapter that may end after the current time
    size_t tp = 0; // the first track point after the current time
    auto threshold_at = [&](double t) {
        if (track.empty())
            return threshold_db;
        while (tp < track.size() && track[tp].t < t)
            ++tp;
        if (tp == 0)
            return track.front().db;
        if (tp == track.size())
            return track.back().db;
        const ThresholdPoint &a = track[tp - 1], &b = track[tp];
        return b.t > a.t ? a.db + (b.db - a.db) * (t - a.t) / (b.t - a.t) : b.db;
    };
    // Appends [a, b) less the chapters, joining a piece to the last one across
    // a gap of under kLeftOutJoinS that holds no chapter.
    bool joinable = false;
    auto add = [&](double a, double b) {
        while (a < b) {
            while (c < chapters.size() && chapters[c].t1 <= a) {
                ++c;
                joinable = false;
            }
            double piece_end = b;
            bool at_chapter = false;
            if (c < chapters.size() && chapters[c].t0 < b) {
                if (chapters[c].t0 <= a) { // inside a chapter: on from its end
                    a = chapters[c].t1;
                    joinable = false;
                    continue;
                }
                piece_end = chapters[c].t0;
                at_chapter = true;
            }
            if (joinable && a - out.back().t1 < kLeftOutJoinS)
                out.back().t1 = piece_end;
            else
                out.push_back(TimeSpan{a, piece_end});
            joinable = !at_chapter;
            a = piece_end;
        }
    };
    size_t i = 0;
    while (i < n) {
        if (!(db[i] >= threshold_at((double)i * hop_s))) {
            ++i;
            continue;
        }
        size_t first = i;
        while (i < n && db[i] >= threshold_at((double)i * hop_s))
            ++i;
        add((double)first * hop_s, (double)i * hop_s);
    }
    // Slivers at a chapter's edge that falls between two frames are no
    // stretch of sound.
    std::vector<TimeSpan> kept;
    for (const TimeSpan &s : out)
        if (s.t1 - s.t0 >= hop_s * 0.5)
            kept.push_back(s);
    return kept;
}

std::string base64(const uint8_t *bytes, size_t n) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t)bytes[i] << 16 | (uint32_t)bytes[i + 1] << 8 | bytes[i + 2];
        out += digits[v >> 18];
        out += digits[v >> 12 & 63];
        out += digits[v >> 6 & 63];
        out += digits[v & 63];
    }
    if (i < n) {
        uint32_t v = (uint32_t)bytes[i] << 16 | (i + 1 < n ? (uint32_t)bytes[i + 1] << 8 : 0);
        out += digits[v >> 18];
        out += digits[v >> 12 & 63];
        out += i + 1 < n ? digits[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

// ---------------------------------------------------------------------------
// Paths and command lines
// ---------------------------------------------------------------------------

std::string path_url(const std::string &path) {
    static const char hex[] = "0123456789ABCDEF";
    // "//name/..." would be a URL naming a host; the file system reads
    // leading slashes as one.
    size_t from = 0;
    while (path.size() - from > 1 && path[from] == '/' && path[from + 1] == '/')
        from++;
    std::string out;
    for (unsigned char ch : path.substr(from)) {
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
            strchr("-._~/", ch)) {
            out += (char)ch;
        } else {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
    return out;
}

std::string shell_quote(const std::string &arg) {
    bool plain = !arg.empty(), raw_bytes = false;
    for (size_t i = 0; i < arg.size();) {
        const unsigned char ch = (unsigned char)arg[i];
        const size_t n = utf8_length(arg, i);
        plain = plain && ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                          (ch >= '0' && ch <= '9') || strchr("-_./:=+,@%", ch));
        raw_bytes = raw_bytes || n == 0 || ch < 0x20 || ch == 0x7F ||
                    (n == 2 && ch == 0xC2 && (unsigned char)arg[i + 1] < 0xA0);
        i += n == 0 ? 1 : n;
    }
    if (plain)
        return arg;
    if (raw_bytes) { // bytes a terminal would not show, or not as themselves
        static const char hex[] = "0123456789abcdef";
        std::string out = "$'";
        for (size_t i = 0; i < arg.size();) {
            const unsigned char ch = (unsigned char)arg[i];
            const size_t n = utf8_length(arg, i);
            const bool c1 = n == 2 && ch == 0xC2 && (unsigned char)arg[i + 1] < 0xA0;
            if (n == 0 || ch < 0x20 || ch == 0x7F || c1) {
                for (size_t k = 0; k < (n == 0 ? 1 : n); ++k) {
                    const unsigned char b = (unsigned char)arg[i + k];
                    out += "\\x";
                    out += hex[b >> 4];
                    out += hex[b & 15];
                }
            } else {
                if (ch == '\\' || ch == '\'')
                    out += '\\';
                out.append(arg, i, n);
            }
            i += n == 0 ? 1 : n;
        }
        return out + "'";
    }
    std::string out = "'";
    for (char ch : arg)
        out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return out + "'";
}

std::string shell_command(const std::vector<std::string> &args) {
    std::string out;
    for (const std::string &a : args)
        out += (out.empty() ? "" : " ") + shell_quote(a);
    return out;
}

std::string path_from(const std::string &file, const std::string &page_dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path abs = fs::absolute(file, ec);
    if (ec)
        return file;
    fs::path rel = fs::relative(abs, fs::absolute(page_dir, ec), ec);
    if (ec || rel.empty())
        return abs.lexically_normal().string();
    return rel.string();
}

bool write_text_file(const std::string &path, const std::string &text) {
    std::unique_ptr<FILE, int (*)(FILE *)> f(fopen(path.c_str(), "wb"), fclose);
    if (!f)
        return false;
    if (fwrite(text.data(), 1, text.size(), f.get()) != text.size())
        return false;
    return fclose(f.release()) == 0;
}

// ---------------------------------------------------------------------------
// The page
// ---------------------------------------------------------------------------

std::string review_options(const std::string &options) {
    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    JsonDoc in(options.empty() ? nullptr : yyjson_read(options.data(), options.size(), 0));
    yyjson_val *given = in ? yyjson_doc_get_root(in.get()) : nullptr;
    yyjson_mut_val *root =
        yyjson_is_obj(given) ? yyjson_val_mut_copy(doc.get(), given) : yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    for (const char *key : {"report_levels", "report_pauses"}) {
        yyjson_mut_obj_remove_key(root, key);
        yyjson_mut_obj_add_true(doc.get(), root, key);
    }
    return take_json_text(yyjson_mut_write(doc.get(), YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr));
}

std::string review_page(const std::string &report, const std::string &audio_path,
                        const std::string &options, const std::string &command,
                        const std::string &input, const std::string &out_dir) {
    Report parsed;
    if (!parse_report(report, &parsed))
        return "";
    JsonDoc in(yyjson_read(report.data(), report.size(), 0));
    yyjson_val *root = yyjson_doc_get_root(in.get());

    JsonMutDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *out = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, out);
    std::string name = audio_path.substr(audio_path.find_last_of('/') + 1);
    yyjson_mut_obj_add_strncpy(d, out, "file", name.data(), name.size());
    // Standard input ("-") is gone once read: the page has no player source.
    std::string url = audio_path == "-" ? "" : path_url(audio_path);
    yyjson_mut_obj_add_strncpy(d, out, "audio", url.data(), url.size());
    yyjson_mut_obj_add_int(d, out, "sample_rate", parsed.sample_rate);
    yyjson_mut_obj_add_real(d, out, "duration_s", parsed.duration_s);
    yyjson_mut_obj_add_real(d, out, "silences_removed_s", parsed.silences_removed_s);
    yyjson_mut_obj_add_val(d, out, "chapters", chapter_list(d, parsed, root));
    const double threshold = threshold_of(root, options);
    yyjson_mut_obj_add_real(d, out, "threshold_db", threshold);
    static const char *const track_keys[] = {"t", "db"};
    if (yyjson_mut_val *track =
            checked_list(d, yyjson_obj_get(root, "threshold_track"), track_keys, 2))
        yyjson_mut_obj_add_val(d, out, "threshold_track", track);
    static const char *const pause_keys[] = {"t0", "t1", "rank"};
    if (yyjson_mut_val *pauses = checked_list(d, yyjson_obj_get(root, "pauses"), pause_keys, 3))
        yyjson_mut_obj_add_val(d, out, "pauses", pauses);
    std::vector<double> db;
    double hop_s = 0.01;
    if (curve_values(yyjson_obj_get(root, "levels"), "db", hop_s, &db, &hop_s)) {
        yyjson_mut_obj_add_val(d, out, "levels", level_data(d, db, hop_s));
        // What the chapters leave out, as [t0, t1, t0, t1, ...].
        std::vector<TimeSpan> spans;
        for (const Chapter &c : parsed.chapters)
            spans.push_back(TimeSpan{c.t0, c.t1});
        yyjson_mut_val *left = yyjson_mut_obj_add_arr(d, out, "left_out");
        for (const TimeSpan &s :
             left_out_spans(db.data(), db.size(), hop_s,
                            track_points(yyjson_obj_get(root, "threshold_track")), threshold,
                            spans)) {
            yyjson_mut_arr_add_real(d, left, s.t0);
            yyjson_mut_arr_add_real(d, left, s.t1);
        }
    }
    if (yyjson_mut_val *speech = speech_data(d, yyjson_obj_get(root, "speech")))
        yyjson_mut_obj_add_val(d, out, "speech", speech);
    yyjson_mut_obj_add_val(d, out, "options", option_pairs(d, options, root));
    const std::string cue_type = cue_file_type(name);
    yyjson_mut_obj_add_strncpy(d, out, "cue_type", cue_type.data(), cue_type.size());
    yyjson_mut_obj_add_strncpy(d, out, "command", command.data(), command.size());
    yyjson_mut_obj_add_strncpy(d, out, "input", input.data(), input.size());
    yyjson_mut_obj_add_strncpy(d, out, "out_dir", out_dir.data(), out_dir.size());
    // As the shell takes them, bytes that are not UTF-8 too (the page's
    // strings cannot tell a Latin-1 byte from its character).
    // ("" for none, and for standard input, which the page cannot name).
    const std::string input_arg = input.empty() || input == "-" ? "" : shell_quote(input);
    const std::string out_dir_arg = out_dir.empty() ? "" : shell_quote(out_dir);
    yyjson_mut_obj_add_strncpy(d, out, "input_arg", input_arg.data(), input_arg.size());
    yyjson_mut_obj_add_strncpy(d, out, "out_dir_arg", out_dir_arg.data(), out_dir_arg.size());
    in.reset(); // the report's document can be large; the copies above are in d

    // Names that are not UTF-8 keep their bytes as \u00XX escapes.
    std::string json = escape_invalid_utf8(
        take_json_text(yyjson_mut_write(d, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr)));
    if (json.empty())
        return "";
    // In a script block "</script" and "<!--" would end or confuse the data;
    // '<' appears only inside strings, where \u003c reads the same.
    std::string data;
    data.reserve(json.size());
    for (char ch : json) {
        if (ch == '<')
            data += "\\u003c";
        else
            data += ch;
    }

    std::string page(kReviewPageTemplate, kReviewPageTemplateSize);
    size_t at = page.find(kPlaceholder);
    if (at == std::string::npos)
        return "";
    page.replace(at, sizeof kPlaceholder - 1, data);
    return page;
}

} // namespace silsplit_cli
