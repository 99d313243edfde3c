#include "level_report.h"

#include "formats/json_doc.h"

#include <cmath>
#include <cstdio>
#include <new>

namespace silsplit_cli {

namespace {

const LevelProfile kProfiles[] = {
    {"audiobook", -23.0, -18.0, -3.0, -60.0, 0.5, 1.0, 1.0, 5.0},
};

double hundredths(double v) { return std::round(v * 100.0) / 100.0; }

void add_level(yyjson_mut_doc *d, yyjson_mut_val *obj, const char *key, double v) {
    if (std::isnan(v)) // not measured
        return;
    if (std::isfinite(v))
        yyjson_mut_obj_add_real(d, obj, key, hundredths(v));
    else
        yyjson_mut_obj_add_null(d, obj, key);
}

std::string cell(double v, const char *fmt) {
    if (std::isnan(v))
        return "-";
    if (!std::isfinite(v))
        return "-inf";
    char text[32];
    snprintf(text, sizeof text, fmt, v);
    return text;
}

} // namespace

bool report_chapters(const std::string &report, std::vector<sil_chapter> *chapters,
                     std::vector<double> *cut0, std::vector<double> *cut1) {
    JsonDoc doc = read_json(report);
    yyjson_val *list = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "chapters") : nullptr;
    if (!yyjson_is_arr(list))
        return false;
    chapters->clear();
    cut0->clear();
    cut1->clear();
    bool cuts = true;
    size_t idx, max;
    yyjson_val *ch;
    yyjson_arr_foreach(list, idx, max, ch) {
        yyjson_val *t0 = yyjson_obj_get(ch, "t0"), *t1 = yyjson_obj_get(ch, "t1");
        if (!yyjson_is_num(t0) || !yyjson_is_num(t1))
            return false;
        chapters->push_back(
            sil_chapter{(float)yyjson_get_num(t0), (float)yyjson_get_num(t1), 0.0f});
        yyjson_val *c0 = yyjson_obj_get(ch, "cut_t0"), *c1 = yyjson_obj_get(ch, "cut_t1");
        cuts = cuts && yyjson_is_num(c0) && yyjson_is_num(c1);
        if (cuts) {
            cut0->push_back(yyjson_get_num(c0));
            cut1->push_back(yyjson_get_num(c1));
        }
    }
    if (!cuts) {
        cut0->clear();
        cut1->clear();
    }
    return true;
}

const LevelProfile *level_profile(const std::string &name) {
    for (const LevelProfile &p : kProfiles)
        if (name == p.name)
            return &p;
    return nullptr;
}

std::vector<std::string> failed_rules(const ChapterLevels &l, const LevelProfile &p) {
    // Compared as shown (to 0.01), so that a value printed at a limit passes.
    const auto in = [](double v, double lo, double hi) {
        return std::isfinite(v) && hundredths(v) >= lo && hundredths(v) <= hi;
    };
    std::vector<std::string> failed;
    if (!in(l.rms_db, p.rms_min_db, p.rms_max_db))
        failed.push_back("rms");
    if (std::isfinite(l.peak_db) && hundredths(l.peak_db) > p.peak_max_db)
        failed.push_back("peak");
    if (std::isfinite(l.noise_floor_db) && hundredths(l.noise_floor_db) > p.noise_floor_max_db)
        failed.push_back("noise_floor");
    if (!in(l.head_s, p.head_min_s, p.head_max_s))
        failed.push_back("head");
    if (!in(l.tail_s, p.tail_min_s, p.tail_max_s))
        failed.push_back("tail");
    return failed;
}

int failing_pieces(const std::vector<ChapterLevels> &levels, const LevelProfile &profile) {
    int n = 0;
    for (const ChapterLevels &l : levels)
        n += failed_rules(l, profile).empty() ? 0 : 1;
    return n;
}

std::string with_levels(const std::string &report, const std::vector<ChapterLevels> &levels,
                        const LevelProfile *profile) {
    JsonDoc doc = read_json(report, YYJSON_READ_NUMBER_AS_RAW);
    if (!doc)
        return "";
    JsonMutDoc out(yyjson_doc_mut_copy(doc.get(), nullptr));
    if (!out)
        throw std::bad_alloc();
    yyjson_mut_doc *d = out.get();
    yyjson_mut_val *root = yyjson_mut_doc_get_root(d);
    yyjson_mut_val *chapters = yyjson_mut_obj_get(root, "chapters");
    size_t idx, max;
    yyjson_mut_val *ch;
    yyjson_mut_arr_foreach(chapters, idx, max, ch) {
        if (idx >= levels.size())
            break;
        const ChapterLevels &l = levels[idx];
        yyjson_mut_val *lv = yyjson_mut_obj(d);
        add_level(d, lv, "integrated_lufs", l.integrated_lufs);
        add_level(d, lv, "rms_db", l.rms_db);
        add_level(d, lv, "peak_db", l.peak_db);
        add_level(d, lv, "true_peak_db", l.true_peak_db);
        add_level(d, lv, "noise_floor_db", l.noise_floor_db);
        add_level(d, lv, "head_s", l.head_s);
        add_level(d, lv, "tail_s", l.tail_s);
        yyjson_mut_obj_add_val(d, ch, "levels", lv);
        if (profile) {
            const std::vector<std::string> failed = failed_rules(l, *profile);
            yyjson_mut_val *check = yyjson_mut_obj(d);
            yyjson_mut_obj_add_bool(d, check, "pass", failed.empty());
            yyjson_mut_val *list = yyjson_mut_arr(d);
            for (const std::string &rule : failed)
                yyjson_mut_arr_add_strcpy(d, list, rule.c_str());
            yyjson_mut_obj_add_val(d, check, "failed", list);
            yyjson_mut_obj_add_val(d, ch, "check", check);
        }
    }
    if (profile) {
        yyjson_mut_val *check = yyjson_mut_obj(d);
        yyjson_mut_obj_add_strcpy(d, check, "profile", profile->name.c_str());
        yyjson_mut_obj_add_int(d, check, "pieces", (int64_t)levels.size());
        yyjson_mut_obj_add_int(d, check, "failed", failing_pieces(levels, *profile));
        yyjson_mut_obj_add_val(d, root, "check", check);
    }
    return take_json_text(yyjson_mut_write(d, 0, nullptr));
}

std::string levels_table(const std::vector<ChapterLevels> &levels, const LevelProfile *profile) {
    const bool true_peak = !levels.empty() && !std::isnan(levels[0].true_peak_db);
    std::string out = std::string("   #     LUFS   RMS dB  peak dB") +
                      (true_peak ? "  true pk" : "") + "  floor dB  head s  tail s";
    out += profile ? "  " + profile->name + "\n" : "\n";
    for (size_t k = 0; k < levels.size(); ++k) {
        const ChapterLevels &l = levels[k];
        char line[160];
        snprintf(line, sizeof line, "%4zu %8s %8s %8s", k + 1,
                 cell(l.integrated_lufs, "%.1f").c_str(), cell(l.rms_db, "%.1f").c_str(),
                 cell(l.peak_db, "%.1f").c_str());
        out += line;
        if (true_peak) {
            snprintf(line, sizeof line, " %8s", cell(l.true_peak_db, "%.1f").c_str());
            out += line;
        }
        snprintf(line, sizeof line, " %9s %7s %7s", cell(l.noise_floor_db, "%.1f").c_str(),
                 cell(l.head_s, "%.2f").c_str(), cell(l.tail_s, "%.2f").c_str());
        out += line;
        if (profile) {
            const std::vector<std::string> failed = failed_rules(l, *profile);
            out += failed.empty() ? "  pass" : "  FAIL";
            for (const std::string &rule : failed)
                out += " " + rule;
        }
        out += "\n";
    }
    if (profile) {
        const int failed = failing_pieces(levels, *profile);
        char line[160];
        snprintf(line, sizeof line, "%d of %zu pieces pass the %s check\n",
                 (int)levels.size() - failed, levels.size(), profile->name.c_str());
        out += line;
    }
    return out;
}

} // namespace silsplit_cli
