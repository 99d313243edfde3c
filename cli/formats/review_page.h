// The review page: one self-contained HTML file that shows a recording's level
// curve, threshold, chapters and pauses beside a player for the recording.
#ifndef SILSPLIT_CLI_FORMATS_REVIEW_PAGE_H
#define SILSPLIT_CLI_FORMATS_REVIEW_PAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace silsplit_cli {

// The page for one report. report is the library's report text; its levels,
// pauses, threshold_db, threshold_track, speech curve and the chapters'
// titles, confidences and snaps are shown when present. audio_path is the
// recording's path relative to the page's folder (or absolute), as a file
// path: it is written into the page as a URL ("" or "-", standard input: the
// page has no recording to play). options is the options text the chapters
// were found with ("" for the defaults), command the silsplit command line
// that makes the same chapters. input is the recording's path as the command
// line gave it and out_dir the split's folder ("" when the page is not a
// split's): the page's command that applies the edited chapters names them.
// Empty when report is not a report.
std::string review_page(const std::string &report, const std::string &audio_path,
                        const std::string &options, const std::string &command,
                        const std::string &input = "", const std::string &out_dir = "");

// The options text with the keys that make the report carry what the page
// shows (the level curve and the candidate pauses).
std::string review_options(const std::string &options);

// The path of file as seen from the folder page_dir: relative when both are on
// one tree, else absolute.
std::string path_from(const std::string &file, const std::string &page_dir);

// Writes text to path; false with errno set on a failure.
bool write_text_file(const std::string &path, const std::string &text);

// ---------------------------------------------------------------------------
// The parts, for tests.
// ---------------------------------------------------------------------------

// Levels are stored one byte each: floor_db + byte * step_db.
constexpr double kLevelFloorDb = -120.0;
constexpr double kLevelStepDb = 0.5;
// The finest tier has at most this many buckets; the coarsest at most
// kCoarsestBuckets (or is the one-bucket tier of a finer tier's size).
constexpr size_t kFinestBuckets = size_t(1) << 20;
constexpr size_t kCoarsestBuckets = 2048;

// One resolution of the level curve: bucket hops per value pair, and the
// quantised minimum and maximum of each bucket, interleaved.
struct LevelTier {
    int64_t bucket = 1;
    std::vector<uint8_t> min_max;
};

// The quantised level: the nearest step, clamped to the byte; NaN reads as the
// floor.
uint8_t quantize_level(double db);

// Speech probabilities are stored one byte each: byte * kSpeechStep, 0 to
// kSpeechTop.
constexpr double kSpeechStep = 0.005;
constexpr int kSpeechTop = 200;
// The quantised probability: the nearest step within 0 to 1; NaN reads as 0.
uint8_t quantize_probability(double p);

// The speech curve's finest tier has at most this many buckets: every 32 ms
// value up to about 2.3 hours, and a ten-hour page a few hundred kilobytes
// more than the level curve's.
constexpr size_t kFinestSpeechBuckets = size_t(1) << 18;

// The tiers of a curve already quantised to bytes, as level_tiers, with at
// most finest_limit buckets in the finest.
std::vector<LevelTier> byte_tiers(const uint8_t *q, size_t n, size_t finest_limit);

// The tiers of a level curve of n values: the finest has a bucket of the
// smallest power of two that keeps it within kFinestBuckets (1, the whole
// curve, for recordings up to about 2.9 hours), each next one a bucket four
// times as large, down to kCoarsestBuckets. None when n is 0.
std::vector<LevelTier> level_tiers(const double *db, size_t n);

std::string base64(const uint8_t *bytes, size_t n);

struct TimeSpan {
    double t0 = 0, t1 = 0;
};
struct ThresholdPoint {
    double t = 0, db = 0;
};
// Stretches of sound nearer than this, with no chapter between them, make one.
constexpr double kLeftOutJoinS = 0.1;

// The stretches of sound the chapters leave out: the runs of levels (one per
// hop_s from 0) at or above the threshold, less the chapters (in time order),
// joined across gaps of under kLeftOutJoinS and without the pieces shorter
// than half a hop that a chapter's edge between two frames leaves. The
// threshold is track, straight between its points and held before and after
// it, or threshold_db when track is empty.
std::vector<TimeSpan> left_out_spans(const double *db, size_t n, double hop_s,
                                     const std::vector<ThresholdPoint> &track, double threshold_db,
                                     const std::vector<TimeSpan> &chapters);

// A file path as a relative or absolute URL: every byte other than letters,
// digits, '-', '.', '_', '~' and '/' percent-encoded.
std::string path_url(const std::string &path);

// One argument for a POSIX shell: unchanged when it is plain, single-quoted
// otherwise, or $'...' with \xNN escapes when it holds bytes that are not
// UTF-8 or control characters (C0, DEL, C1), so that the line names the
// very bytes and a terminal shows it as it is.
std::string shell_quote(const std::string &arg);
// The arguments quoted and joined by spaces.
std::string shell_command(const std::vector<std::string> &args);

} // namespace silsplit_cli

#endif
