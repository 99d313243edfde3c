// Turning the library's JSON report into the texts that other programs read:
// a table for people, CUE sheets, ffmetadata chapters, label tracks and WebVTT.
#ifndef SILSPLIT_TOOLS_REPORT_FORMAT_H
#define SILSPLIT_TOOLS_REPORT_FORMAT_H

#include <string>
#include <vector>

namespace silsplit_cli {

struct Chapter {
    long long i = 0;
    double t0 = 0, t1 = 0, dur = 0, peak_db = 0;
};

struct Report {
    long long sample_rate = 0;
    double duration_s = 0, silences_removed_s = 0;
    std::vector<Chapter> chapters;
};

// Reads a report text; false when it is not one.
bool parse_report(const std::string &json, Report *out);

// Seconds as h:mm:ss.mmm (table) and hh:mm:ss.mmm (WebVTT), rounded to the
// nearest millisecond; negative values count as 0.
std::string clock_hms(double seconds);
std::string clock_vtt(double seconds);
// Seconds as a CUE index, mm:ss:ff with 75 frames per second.
std::string clock_cue(double seconds);

std::string format_table(const Report &r);
// One FILE block of a CUE sheet; *track is the last track number used so far
// and is advanced, so that several files make one sheet.
std::string format_cue_file(const Report &r, const std::string &path, int *track);
std::string format_ffmetadata(const Report &r);
std::string format_labels(const Report &r);
std::string format_vtt(const Report &r);

// The report re-indented; numbers keep their exact digits. Empty on a parse
// failure.
std::string pretty_json(const std::string &json);
// {"file":PATH,"report":REPORT} on one line (or indented), REPORT verbatim
// when not indented.
std::string file_json(const std::string &path, const std::string &report, bool pretty);

} // namespace silsplit_cli

#endif
