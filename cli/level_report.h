// The chapters' levels (levels.h) as the program shows them: the check
// profile a piece must pass, the levels and the verdicts added to the
// report, and the levels table.
#ifndef SILSPLIT_CLI_LEVEL_REPORT_H
#define SILSPLIT_CLI_LEVEL_REPORT_H

#include "levels.h"

#include <string>
#include <vector>

namespace silsplit_cli {

// A check profile: what each piece must meet.
struct LevelProfile {
    std::string name;
    double rms_min_db, rms_max_db;
    double peak_max_db; // sample peak
    double noise_floor_max_db;
    double head_min_s, head_max_s;
    double tail_min_s, tail_max_s;
};

// The profiles --check knows, by name: "audiobook" (RMS -23 to -18 dB, peak
// at most -3 dB, noise floor at most -60 dB, 0.5 to 1 s of room tone at the
// head and 1 to 5 s at the tail). NULL for an unknown name.
const LevelProfile *level_profile(const std::string &name);

// The names of the rules a piece fails, in the profile's order: "rms",
// "peak", "noise_floor", "head", "tail". Empty when it passes.
std::vector<std::string> failed_rules(const ChapterLevels &l, const LevelProfile &p);

// The report with each chapter's "levels" ({"integrated_lufs", "rms_db",
// "peak_db", "true_peak_db" (with --true-peak only), "noise_floor_db",
// "head_s", "tail_s"}, to 0.01, null for -inf) and, with a profile, its "check" ({"pass", "failed":
// [...]}) and the report's own "check" ({"profile", "pieces", "failed"}). "" when the report is not
// JSON.
std::string with_levels(const std::string &report, const std::vector<ChapterLevels> &levels,
                        const LevelProfile *profile);

// The levels table: one line per chapter, and with a profile its verdict
// ("pass", or "FAIL" and the rules failed) and a summary line.
std::string levels_table(const std::vector<ChapterLevels> &levels, const LevelProfile *profile);

// The chapters of a report as the engine's records (its times are the
// doubles of the engine's floats, so they come back exactly) and, when every
// chapter has them, the cut times of packet-copied pieces ("cut_t0",
// "cut_t1"; else empty). false when the text is not a report.
bool report_chapters(const std::string &report, std::vector<sil_chapter> *chapters,
                     std::vector<double> *cut0, std::vector<double> *cut1);

// How many pieces fail the profile.
int failing_pieces(const std::vector<ChapterLevels> &levels, const LevelProfile &profile);

} // namespace silsplit_cli

#endif
