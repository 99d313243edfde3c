// The library's JSON report as the program reads and rewrites it: its
// chapters as records, the report re-indented, and the {"file","report"}
// objects of an analysis of several files.
#ifndef SILSPLIT_CLI_FORMATS_REPORT_JSON_H
#define SILSPLIT_CLI_FORMATS_REPORT_JSON_H

#include <string>
#include <vector>

namespace silsplit_cli {

struct Chapter {
    long long i = 0;
    double t0 = 0, t1 = 0, dur = 0, peak_db = 0;
    std::string title; // "" for "Chapter N"; set from the analysis's titles
};

struct Report {
    long long sample_rate = 0;
    double duration_s = 0, silences_removed_s = 0;
    std::vector<Chapter> chapters;
};

// Reads a report text; false when it is not one.
bool parse_report(const std::string &json, Report *out);

// Gives the chapters of r the titles (one per chapter, "" for none).
void set_titles(Report *r, const std::vector<std::string> &titles);

// The warnings of a report for the hints that found no pause to move onto
// ("snap": "none"), one line each: "hint 3 at 0:12:04.000: no pause within
// the window; the chapter starts at 0:12:05.210" (where the drift of the
// hints before it puts it).
std::vector<std::string> snap_warnings(const std::string &json);

// The error for hints the analysis could place only at the very end of the
// recording (at or past its end: each an empty chapter), naming them: "hints
// 4 to 6 (from 0:08:20.000) lie at or past the end of the recording
// (0:02:00.000), ..."; "" when there are none.
std::string hints_past_end(const std::string &json);

// The report re-indented; numbers keep their exact digits. Empty on a parse
// failure.
std::string pretty_json(const std::string &json);
// {"file":PATH,"report":REPORT} on one line (or indented), REPORT verbatim
// when not indented.
std::string file_json(const std::string &path, const std::string &report, bool pretty);

} // namespace silsplit_cli

#endif
