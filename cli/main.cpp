// silsplit: the command-line program. Analyses recordings and prints their
// chapters in one of several formats, cuts a recording into chapter files, or
// writes chapter marks into a copy of it. WAV files go through the library's
// own reader; everything else is decoded by FFmpeg (media_commands.h).
#include "flac_output.h"
#include "analyze_index.h"
#include "formats/chapter_files.h"
#include "formats/chapter_formats.h"
#include "formats/json_doc.h"
#include "formats/report_json.h"
#include "formats/review_page.h"
#include "level_report.h"
#include "manifest.h"
#include "live_split.h"
#include "media/media_commands.h"
#include "option_flags.h"
#include "split_output.h"
#include "std_streams.h"
#include "verify_original.h"

#include <silsplit.h>

#include <CLI/CLI.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace silsplit_cli;

constexpr int kExitFileFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCheckFailed = 3; // --check: a piece fails the profile
constexpr int kExitInterrupted = 130;

// ---------------------------------------------------------------------------
// Ctrl-C: the handler only raises a flag; the progress callback hands it to
// the library, which stops with "cancelled".
// ---------------------------------------------------------------------------
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the flag is set from a signal handler");
// Set when standard output fails: the analyses still running are cancelled.
std::atomic<int> g_stop{0};

void on_sigint(int) { g_interrupted.store(1); }

int interrupted(void *) { return g_interrupted.load(); }

void catch_sigint() {
    struct sigaction old {};
    sigaction(SIGINT, nullptr, &old);
    if (old.sa_handler == SIG_IGN) // started in the background: keep ignoring it
        return;
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: an open or read waiting on a pipe, a FIFO or a
    // terminal returns EINTR, and the reader sees the flag at once.
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
}

// ---------------------------------------------------------------------------
// Progress on stderr: a bar redrawn in place on a terminal, or one line per
// change with --progress when stderr is not a terminal.
// ---------------------------------------------------------------------------
class ProgressView {
  public:
    enum class Mode { off, bar, lines };
    explicit ProgressView(Mode mode) : mode_(mode) {}

    void update(const std::string &file, const char *stage, int percent) {
        if (mode_ == Mode::off)
            return;
        std::lock_guard<std::mutex> lock(mu_);
        if (mode_ == Mode::bar) {
            static const char full[] = "########################";
            static const char empty[] = "........................";
            const int width = 24;
            int filled = percent < 0 ? 0 : percent > 100 ? width : percent * width / 100;
            fprintf(stderr, "\r\033[K%-8s [%.*s%.*s] %3d%%  %s", stage, filled, full,
                    width - filled, empty, percent, visible_text(file).c_str());
            shown_ = true;
        } else {
            fprintf(stderr, "silsplit: %s: %s %d%%\n", visible_text(file).c_str(), stage, percent);
        }
        fflush(stderr);
    }

    // A remark about a file, on a line of its own, where progress is shown.
    void note(const std::string &file, const std::string &text) {
        if (mode_ == Mode::off)
            return;
        above([&] {
            fprintf(stderr, "silsplit: %s: %s\n", visible_text(file).c_str(),
                    visible_text(text).c_str());
            fflush(stderr);
        });
    }

    // Runs fn with the bar wiped, so that results and messages stand on
    // lines of their own.
    template <typename Fn> void above(Fn fn) {
        std::lock_guard<std::mutex> lock(mu_);
        if (shown_) {
            fputs("\r\033[K", stderr);
            fflush(stderr);
            shown_ = false;
        }
        fn();
    }

  private:
    Mode mode_;
    std::mutex mu_;
    bool shown_ = false;
};

// "silsplit: FILE: MESSAGE", a line for each line of message.
void file_error(const std::string &file, const std::string &text) {
    // The library's word for a recording without one whole frame, which
    // FFmpeg's route calls by its name.
    const std::string message =
        text == "invalid resample args" ? "the audio stream holds no samples" : text;
    size_t at = 0;
    for (;;) {
        const size_t end = message.find('\n', at);
        fprintf(stderr, "silsplit: %s: %s\n", visible_text(file).c_str(),
                visible_text(message.substr(at, end - at)).c_str());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
}

// Each line of a warning, as a message naming the file.
void file_warnings(const std::string &file, const std::string &lines) {
    size_t at = 0;
    while (at < lines.size()) {
        const size_t nl = lines.find('\n', at);
        file_error(file, lines.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        at = nl == std::string::npos ? lines.size() : nl + 1;
    }
}

// The warnings for hints that found no pause, one line each.
std::string unmoved_hints(const char *report) {
    std::string out;
    for (const std::string &line : snap_warnings(report))
        out += (out.empty() ? "" : "\n") + line;
    return out;
}

// auto's warnings: when its pause scale fell back (no clear break between
// the pause lengths, no pause at all) and how many boundaries are weak
// (confidence under 0.5), one line each; "" without auto.
std::string auto_warnings(const char *report) {
    JsonDoc doc = read_json(report ? report : "");
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    yyjson_val *scale = yyjson_obj_get(root, "pause_scale");
    yyjson_val *first = yyjson_arr_get_first(yyjson_obj_get(root, "chapters"));
    // A chapter count or hints place the boundaries, not the pause scale.
    const bool placed = yyjson_obj_get(root, "chapter_count") || yyjson_obj_get(first, "hint");
    const char *fallback = nullptr;
    if (!placed && yyjson_equals_str(scale, "longest_only"))
        fallback = "no clear pause scale: only the longest pauses end chapters; check them with "
                   "--review or give --min-silence";
    else if (!placed && yyjson_equals_str(scale, "speech_fixed"))
        fallback = "no clear pause scale: stretches without speech of 1.5 s or more end "
                   "chapters; check them with --review or give --min-silence";
    else if (!placed && yyjson_equals_str(scale, "no_pause"))
        fallback = "no pause found: one chapter";
    std::string out = fallback ? fallback : "";
    yyjson_val *list = yyjson_obj_get(root, "boundaries");
    if (!scale || !yyjson_is_arr(list))
        return out;
    size_t idx, max, weak = 0;
    yyjson_val *item;
    yyjson_arr_foreach(list, idx, max, item) {
        if (yyjson_get_num(yyjson_obj_get(item, "confidence")) < 0.5)
            weak++;
    }
    if (weak > 0) {
        const size_t n = yyjson_arr_size(list);
        out += (out.empty() ? "" : "\n") + std::to_string(weak) + " of " + std::to_string(n) +
               (n == 1 ? " boundary is" : " boundaries are") +
               " weak: check them with --review";
    }
    return out;
}

std::string joined_lines(const std::string &a, const std::string &b) {
    return a.empty() ? b : b.empty() ? a : a + "\n" + b;
}

// ---------------------------------------------------------------------------
// Levels per chapter (--loudness, --check)
// ---------------------------------------------------------------------------
struct LevelsShown {
    std::string report; // the report with the levels (level_report.h)
    std::string table;  // the levels table
    int failed = 0;     // pieces that fail the profile
};

// The levels of the chapters of report (the analysis of path, or a split's
// chapters.json), with progress as the "levels" stage: for a WAV file the
// library reads, a second pass over each chapter's frames, a thread per
// chapter; for the rest one more decoding pass through FFmpeg (run: the
// stream, Ctrl-C and progress), over the pieces' cut times when the split
// copied packets. "" or the reason; "cancelled" on Ctrl-C.
std::string measure_levels(const std::string &path, const std::string &report,
                           const LevelProfile *profile, const LevelOptions &opts,
                           ProgressView *view, MediaRun *run, LevelsShown *out) {
    if (path == "-")
        return "--loudness reads the recording a second time, which standard input cannot be "
               "(save it to a file first)";
    std::vector<sil_chapter> chapters;
    std::vector<double> cut0, cut1;
    if (!report_chapters(report, &chapters, &cut0, &cut1))
        return "cannot read the library's report";
    std::vector<int64_t> start, end;
    std::string error;
    std::vector<ChapterLevels> levels;
    int rc;
    if (media_wants_library(path) && wav_chapter_ranges(path, chapters, &start, &end, &error)) {
        int shown = -1;
        rc = measure_wav_levels(
            path, start, end, opts,
            [&](int64_t done, int64_t total) {
                const int percent = total ? (int)(done * 100 / total) : 100;
                if (percent != shown && view) {
                    shown = percent;
                    view->update(path, "levels", percent);
                }
                return g_interrupted.load() == 0 && g_stop.load() == 0;
            },
            &levels, &error);
    } else {
        rc = measure_media_levels(
            path, run,
            [&](int32_t rate, std::vector<int64_t> *s, std::vector<int64_t> *e) {
                s->assign(chapters.size(), 0);
                e->assign(chapters.size(), 0);
                if (!cut0.empty()) { // the pieces hold these frames
                    for (size_t k = 0; k < chapters.size(); ++k) {
                        (*s)[k] = std::llround(cut0[k] * rate);
                        (*e)[k] = std::llround(cut1[k] * rate);
                    }
                } else {
                    sil_chapter_frame_ranges(chapters.data(), (int32_t)chapters.size(), rate,
                                             INT64_MAX, s->data(), e->data());
                }
            },
            opts, &levels, &error);
    }
    if (rc > 0)
        return "cancelled";
    if (rc < 0)
        return error;
    out->report = with_levels(report, levels, profile);
    if (out->report.empty())
        return "cannot read the library's report";
    out->table = levels_table(levels, profile);
    out->failed = profile ? failing_pieces(levels, *profile) : 0;
    return "";
}

// ---------------------------------------------------------------------------
// analyze
// ---------------------------------------------------------------------------
// The processors this program may use, for -j's default.
int default_jobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n > 256 ? 256 : (int)n;
}

struct AnalyzeArgs {
    std::vector<std::string> files;
    std::string format = "json";
    bool pretty = false;
    bool quiet = false;
    bool progress = false;
    int jobs = default_jobs();
    int stream = -1;
    DetectionFlags flags;
    ChapterFlags lists;
    ListPlaces places; // where the lists' entries came from, for messages
    std::string opts;    // the options text: the flags and the chapter lists
    std::string command; // the command line, for the review page
    bool loudness = false;
    std::string check; // a profile's name, or ""
    bool true_peak = false;
    std::string index;   // --index: the JSON Lines file of the files done
};

// The warning for sound the chapters leave out under the defaults' rules,
// or "" when they leave none out.
std::string left_out_warning(const sil_analysis &a) {
    if (a.left_out_n <= 0)
        return "";
    char text[160];
    snprintf(text, sizeof text,
             "%.1f s of sound above the threshold in %d %s left out; --keep-all or --auto keeps "
             "them",
             (double)a.left_out_s, (int)a.left_out_n, a.left_out_n == 1 ? "stretch" : "stretches");
    return text;
}

struct Job {
    std::string path;
    ProgressView *view = nullptr;
    int last_percent = -1;
    const char *last_stage = "";
    char *report = nullptr;
    std::vector<std::string> titles; // the chapters' titles, when the options gave any
    std::string error;
    std::string warning;
    std::string left_out; // left_out_warning
    bool broken_off = false; // reported, but the input ended early
    std::string levels_table;  // --loudness
    bool check_failed = false; // --check: a piece fails
    bool stopped = false;    // failed because of Ctrl-C or a failed output
    bool done = false;
};

int on_progress(int percent, const char *stage, void *user) {
    Job *job = static_cast<Job *>(user);
    if (percent != job->last_percent || strcmp(stage, job->last_stage) != 0) {
        job->last_percent = percent;
        job->last_stage = stage;
        job->view->update(job->path, stage, percent);
    }
    return g_interrupted.load() || g_stop.load() ? 1 : 0;
}

void on_note(void *user, const std::string &text) {
    const Job *job = static_cast<const Job *>(user);
    job->view->note(job->path, text);
}

// What a media command or an analysis is told: the options text, the audio
// stream, the job whose progress is shown (none: no progress) and Ctrl-C.
// A compressed file's analysis is decoded on every core (analyze's -j
// shares them out among its files).
MediaRun media_run(const std::string &opts, int stream, Job *job) {
    MediaRun run;
    run.opts = opts;
    run.stream = stream;
    run.jobs = default_jobs();
    if (job) {
        run.progress = on_progress;
        run.progress_user = job;
        run.note.fn = on_note;
        run.note.user = job;
    }
    run.stop.fn = interrupted;
    return run;
}

// Writes one file's result in the chosen format; false when the report
// cannot be read. A failed write sets write_failed().
class Printer {
  public:
    // With --index, every file is one of several, however many are left.
    explicit Printer(const AnalyzeArgs &a)
        : a_(a), several_(a.files.size() > 1 || !a.index.empty()) {}

    bool print(const std::string &path, const std::string &report,
               const std::vector<std::string> &titles, const std::string &levels = "") {
        std::string out;
        if (a_.format == "json") {
            if (several_)
                out = file_json(path, report, a_.pretty);
            else
                out = a_.pretty ? pretty_json(report) : report;
            if (out.empty())
                return false;
            out += "\n";
        } else {
            Report r;
            if (!parse_report(report, &r))
                return false;
            set_titles(&r, titles);
            if (a_.format == "table") {
                out = several_ ? (printed_ ? "\n" : "") + visible_text(path) + "\n" + format_table(r)
                               : format_table(r);
                if (!levels.empty())
                    out += "\n" + levels;
            } else if (a_.format == "cue") {
                out = format_cue_file(r, path, &track_);
            } else if (a_.format == "ffmetadata") {
                out = format_ffmetadata(r);
            } else if (a_.format == "labels") {
                out = format_labels(r);
            } else if (a_.format == "html") {
                out = review_page(report, path, a_.opts, a_.command, path);
            } else {
                out = format_vtt(r);
            }
        }
        write_failed_ = !write_stdout(out);
        printed_ = true;
        return true;
    }

    bool write_failed() const { return write_failed_; }

  private:
    const AnalyzeArgs &a_;
    bool several_;
    bool printed_ = false;
    bool write_failed_ = false;
    int track_ = 0;
};

ProgressView::Mode progress_mode(bool quiet, bool progress) {
    if (progress)
        return isatty(STDERR_FILENO) ? ProgressView::Mode::bar : ProgressView::Mode::lines;
    return !quiet && isatty(STDERR_FILENO) ? ProgressView::Mode::bar : ProgressView::Mode::off;
}

int run_analyze(const AnalyzeArgs &a) {
    const std::string opts = a.format == "html" ? review_options(a.opts) : a.opts;
    ProgressView view(progress_mode(a.quiet, a.progress));

    // With --index, the files it holds are done already; each file is
    // written to it as soon as it is done, whatever the order of the output.
    AnalyzeIndex index;
    std::vector<std::string> keys;
    size_t skipped = 0;
    if (!a.index.empty()) {
        const std::string why = index.open(a.index);
        if (!why.empty()) {
            fprintf(stderr, "silsplit: %s\n", why.c_str());
            return kExitFileFailed;
        }
    }
    std::vector<Job> jobs;
    for (const std::string &file : a.files) {
        std::string key;
        if (!a.index.empty() && file != "-") { // standard input is never skipped
            key = index_key(file);
            if (index.take(key)) {
                ++skipped;
                continue;
            }
        }
        jobs.emplace_back();
        jobs.back().path = file;
        jobs.back().view = &view;
        keys.push_back(key);
    }
    if (skipped > 0 && !a.quiet)
        fprintf(stderr, "silsplit: %s: %zu of %zu files done already, skipped\n", a.index.c_str(),
                skipped, a.files.size());
    std::string index_error;

    std::mutex mu;
    std::condition_variable cv;
    std::atomic<size_t> next{0};
    size_t running = std::min<size_t>((size_t)a.jobs, jobs.size());
    // The threads left over when there are fewer files than jobs decode
    // ranges of each compressed file at once.
    const int ranges = std::max(1, a.jobs / (int)std::max<size_t>(running, 1));
    auto worker = [&] {
        for (;;) {
            size_t i = next.fetch_add(1);
            if (i >= jobs.size() || g_interrupted.load() || g_stop.load())
                break;
            Job &job = jobs[i];
            MediaRun run = media_run(opts, a.stream, &job);
            run.hints_from_input = a.lists.hints_from_input;
            run.jobs = ranges;
            std::string error;
            sil_analysis analysis;
            bool analysed = analyze_any(job.path, &run, &analysis, &error) == 0;
            if (analysed && !(error = hints_past_end(analysis.report)).empty()) {
                sil_analysis_free(&analysis);
                analysed = false;
            }
            char *report = analysed ? analysis.report : nullptr;
            std::vector<std::string> titles;
            std::string warning = run.warning;
            const std::string left_out = analysed ? left_out_warning(analysis) : "";
            LevelsShown levels;
            if (analysed && a.loudness) {
                LevelOptions lo;
                lo.true_peak = a.true_peak;
                lo.jobs = ranges;
                error = measure_levels(job.path, analysis.report, level_profile(a.check), lo,
                                       nullptr, &run, &levels);
                if (!error.empty()) {
                    report = nullptr;
                    sil_analysis_free(&analysis);
                } else if (!(report = strdup(levels.report.c_str()))) {
                    throw std::bad_alloc();
                } else {
                    free(analysis.report);
                    analysis.report = report;
                }
            }
            if (report) { // the report and the titles are the job's
                titles = analysis_titles(analysis);
                warning = joined_lines(warning, unmoved_hints(report));
                warning = joined_lines(warning, auto_warnings(report));
                if (analysis.count == 0)
                    warning = joined_lines(warning, kNoChapters);
                analysis.report = nullptr;
                sil_analysis_free(&analysis);
            }
            // A file stopped by Ctrl-C or a failed output is not done.
            const bool stopped = !analysed && (g_interrupted.load() || g_stop.load());
            std::string why;
            if (!keys[i].empty() && !stopped)
                why = index.add(keys[i], report, error);
            if (!why.empty())
                g_stop.store(1);
            {
                std::lock_guard<std::mutex> lock(mu);
                if (!why.empty() && index_error.empty())
                    index_error = why;
                job.stopped = stopped;
                job.report = report;
                job.titles = std::move(titles);
                job.error = error;
                job.warning = warning;
                job.left_out = left_out;
                job.broken_off = run.broken_off;
                job.levels_table = levels.table;
                job.check_failed = levels.failed > 0;
                job.done = true;
            }
            cv.notify_all();
        }
        {
            std::lock_guard<std::mutex> lock(mu);
            --running;
        }
        cv.notify_all();
    };

    std::vector<std::thread> threads;
    for (size_t k = 0, n = running; k < n; ++k)
        threads.emplace_back(worker);

    // Results go out in the order of the files, each as soon as it and all
    // before it are ready.
    int status = 0;
    Printer printer(a);
    for (Job &job : jobs) {
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return job.done || running == 0; });
        }
        if (!job.done || g_interrupted.load()) {
            // With --index, what it holds is printed too: a rerun skips it.
            if (a.index.empty())
                break;
            if (!job.done || job.stopped)
                continue;
        }
        view.above([&] {
            file_warnings(job.path, job.warning);
            if (!job.left_out.empty())
                file_error(job.path, job.left_out);
            if (!job.report) {
                file_error(job.path, placed_message(a.places, job.error));
                status = kExitFileFailed;
            } else if (!printer.print(job.path, job.report, job.titles, job.levels_table)) {
                file_error(job.path, "cannot read the library's report");
                status = kExitFileFailed;
            } else if (job.broken_off) {
                status = kExitFileFailed;
            } else if (job.check_failed && status == 0) {
                status = kExitCheckFailed;
            }
        });
        if (printer.write_failed()) {
            g_stop.store(1);
            status = kExitFileFailed;
            break;
        }
    }
    for (std::thread &t : threads)
        t.join();
    for (Job &job : jobs)
        free(job.report);
    view.above([] {});
    if (!index_error.empty()) {
        fprintf(stderr, "silsplit: %s\n", index_error.c_str());
        status = kExitFileFailed;
    }
    return g_interrupted.load() ? kExitInterrupted : status;
}

// ---------------------------------------------------------------------------
// split
// ---------------------------------------------------------------------------
struct SplitArgs {
    std::string file;
    std::string out_dir;
    int stream = -1;
    bool to_wav = false;
    bool overwrite = false;
    bool mono16 = false;
    bool quiet = false;
    bool progress = false;
    DetectionFlags flags;
    ChapterFlags lists;
    ListPlaces places; // where the lists' entries came from, for messages
    std::string opts; // the options text: the flags and the chapter lists
    std::string name_template = kDefaultNameTemplate;
    bool review = false;
    bool live = false;
    bool follow = false;
    double follow_timeout = 10.0;
    std::string command;
    std::string manifest = kManifestName; // "" with --no-manifest
    std::string to;                       // --to: "flac", or "" for the default files
    bool loudness = false;
    std::string check; // a profile's name, or ""
    bool true_peak = false;
};

// OUT_DIR/MANIFEST with the digests of the chapter files and chapters.json
// just written (see manifest.h); 0 or the exit status of a failure.
int write_split_manifest(const SplitArgs &a) {
    if (a.manifest.empty())
        return 0;
    std::vector<std::string> names;
    std::string error;
    if (split_files(a.out_dir, &names, &error))
        error = write_manifest(a.out_dir, a.manifest, names);
    if (error.empty())
        return 0;
    fprintf(stderr, "silsplit: %s\n", error.c_str());
    return kExitFileFailed;
}

// OUT_DIR/review.html for the chapters just written.
// review_report: the review's analysis when the split made it (standard
// input); otherwise the file is analysed again here.
int write_review(const SplitArgs &a, const std::string &opts, const std::string &review_report) {
    std::string error;
    std::string report = review_report;
    if (report.empty()) {
        MediaRun run = media_run(review_options(opts), a.stream, nullptr);
        run.hints_from_input = a.lists.hints_from_input;
        sil_analysis analysis;
        if (analyze_any(a.file, &run, &analysis, &error) != 0) {
            file_error(a.file, placed_message(a.places, error));
            return kExitFileFailed;
        }
        report = analysis.report;
        sil_analysis_free(&analysis);
    }
    std::string page = review_page(report, path_from(a.file, a.out_dir), opts, a.command,
                                   a.file, a.out_dir);
    std::string out = (std::filesystem::path(a.out_dir) / "review.html").string();
    if (page.empty()) {
        file_error(out, "cannot read the library's report");
        return kExitFileFailed;
    }
    // Under a temporary name first, as the chapter files.
    const Outcome written = write_whole_file(
        a.out_dir, "review.html",
        [&](FILE *f, std::string *err) {
            if (fwrite(page.data(), 1, page.size(), f) == page.size())
                return Outcome::done;
            *err = out + ": " + strerror(errno);
            return Outcome::failed;
        },
        &error);
    if (written != Outcome::done) {
        fprintf(stderr, "silsplit: %s\n", visible_text(error).c_str());
        return kExitFileFailed;
    }
    return 0;
}

// Recordings other than the WAV files the library reads are cut here by
// copying their packets (or decoded, with --to-wav or --mono16).
// Shows a media command's warning and, when it failed, its message. The exit
// status of a failure, or 0 when the command succeeded.
int media_outcome(const std::string &file, int n, const MediaRun &run, const std::string &error,
                  const ListPlaces &places) {
    file_warnings(file, run.warning);
    if (n >= 0)
        return 0;
    if (g_interrupted.load())
        return kExitInterrupted;
    file_error(file, placed_message(places, error));
    return kExitFileFailed;
}

// The levels of the pieces a media split wrote, over the frames each holds,
// put into OUT_DIR/chapters.json (replaced under a temporary name). 0 or the
// exit status of a failure.
int add_split_levels(const SplitArgs &a, MediaRun *run, ProgressView *view, LevelsShown *levels) {
    const std::string path = (std::filesystem::path(a.out_dir) / "chapters.json").string();
    FILE *f = fopen(path.c_str(), "rb");
    std::string report;
    if (f) {
        char block[65536];
        size_t n;
        while ((n = fread(block, 1, sizeof block, f)) > 0)
            report.append(block, n);
        fclose(f);
    }
    LevelOptions lo;
    lo.true_peak = a.true_peak;
    std::string error =
        measure_levels(a.file, report, level_profile(a.check), lo, view, run, levels);
    view->above([] {});
    if (g_interrupted.load())
        return kExitInterrupted;
    if (error.empty()) {
        const Outcome written = write_whole_file(
            a.out_dir, "chapters.json",
            [&](FILE *out, std::string *err) {
                if (fwrite(levels->report.data(), 1, levels->report.size(), out) ==
                    levels->report.size())
                    return Outcome::done;
                *err = path + ": " + strerror(errno);
                return Outcome::failed;
            },
            &error);
        if (written == Outcome::done)
            return 0;
        fprintf(stderr, "silsplit: %s\n", error.c_str());
        return kExitFileFailed;
    }
    file_error(a.file, error);
    return kExitFileFailed;
}

int run_media_split(const SplitArgs &a, const std::string &opts, ProgressView *view) {
    const std::string why = prepare_out_dir(a.out_dir, a.overwrite, a.file);
    if (!why.empty()) {
        fprintf(stderr, "silsplit: %s\n", visible_text(why).c_str());
        return kExitFileFailed;
    }
    Job job;
    job.path = a.file;
    job.view = view;
    MediaRun run = media_run(opts, a.stream, &job);
    if (a.review)
        run.review_opts = review_options(opts);
    run.hints_from_input = a.lists.hints_from_input;
    run.name_template = a.name_template;
    run.overwrite = a.overwrite;
    std::string error;
    const int n = media_split(a.file, a.out_dir, a.to_wav || a.mono16, &run, &error);
    view->above([] {});
    if (const int status = media_outcome(a.file, n, run, error, a.places))
        return status;
    LevelsShown levels;
    if (a.loudness) {
        if (const int status = add_split_levels(a, &run, view, &levels))
            return status;
    }
    if (const int status = write_split_manifest(a))
        return status;
    printf("%d chapter%s written to %s\n", n, n == 1 ? "" : "s", visible_text(a.out_dir).c_str());
    if (a.loudness)
        printf("%s", levels.table.c_str());
    if (!flush_stdout())
        return kExitFileFailed;
    const int review = a.review ? write_review(a, opts, run.review_report) : 0;
    return run.broken_off      ? kExitFileFailed
           : review            ? review
           : levels.failed > 0 ? kExitCheckFailed
                               : 0;
}

// split --live (live_split.h): the chapter files written while the WAV
// input comes. 0, 1 (a failure; the files written stay), 130 (Ctrl-C; the
// files written stay, chapters.json lists them), or -1 when the options are
// decided at the end: the offline split runs instead.
int run_live_split(const SplitArgs &a) {
    sil_opts opts;
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    if (sil_parse_opts(a.opts.empty() ? nullptr : a.opts.c_str(), &opts, &keys) == 0) {
        if (opts.auto_detect) {
            fprintf(stderr, "silsplit: --live: --auto is not decided live yet; give the "
                            "threshold and pause length (--threshold-db, --min-silence), or "
                            "split without --live\n");
            return kExitUsage;
        }
        if (const char *key = sil_live_deferred_option(&opts, &keys)) {
            fprintf(stderr,
                    "silsplit: %s: --live: %s needs the whole recording; the chapters are cut "
                    "at its end\n",
                    a.file.c_str(), key);
            return -1;
        }
    }
    if (a.file != "-" && split_needs_media(a.file)) {
        struct stat st;
        if (stat(a.file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            fprintf(stderr,
                    "silsplit: %s: --live reads WAV (a file, a FIFO or standard input); decode "
                    "other recordings into it: ffmpeg -i FILE -f wav - | silsplit split --live - "
                    "OUT_DIR\n",
                    a.file.c_str());
            return kExitFileFailed;
        }
    }
    LiveSplitPlan plan;
    plan.input = a.file;
    plan.out_dir = a.out_dir;
    plan.opts = a.opts;
    plan.mono16 = a.mono16 || a.to_wav;
    plan.follow = a.follow;
    plan.follow_timeout_s = a.follow_timeout;
    plan.stop = [] { return g_interrupted.load() != 0; };
    int n = 0;
    std::string error, warning;
    sil_analysis left{};
    const Outcome out = live_split(plan, &n, &error, &warning, &left.left_out_s, &left.left_out_n);
    if (!warning.empty())
        file_error(a.file, warning);
    const std::string left_out = out == Outcome::done ? left_out_warning(left) : "";
    if (!left_out.empty())
        file_error(a.file, left_out);
    if (out == Outcome::cancelled) {
        fprintf(stderr, "silsplit: %s: interrupted; %d chapter%s written to %s\n", a.file.c_str(),
                n, n == 1 ? "" : "s", a.out_dir.c_str());
        return kExitInterrupted;
    }
    if (out == Outcome::failed) {
        fprintf(stderr, "silsplit: %s\n", error.c_str());
        return kExitFileFailed;
    }
    printf("%d chapter%s written to %s\n", n, n == 1 ? "" : "s", a.out_dir.c_str());
    if (!flush_stdout())
        return kExitFileFailed;
    return warning.empty() ? 0 : kExitFileFailed;
}

// Analyses the file with progress, then writes the chapter files and
// chapters.json (see split_output.h), showing the bytes written as "write".
int run_split(const SplitArgs &a) {
    const std::string &opts = a.opts;
    // Refused before the analysis, so that nobody waits for it in vain.
    FolderLock lock;
    std::string error = check_input_kept(a.file, a.out_dir);
    if (error.empty())
        error = check_out_dir(a.out_dir, a.overwrite);
    const std::string review_path = (std::filesystem::path(a.out_dir) / "review.html").string();
    std::error_code review_ec;
    if (error.empty() && a.review && !a.overwrite && std::filesystem::exists(review_path, review_ec))
        error = review_path + ": exists; add --overwrite to replace it, or choose another folder";
    const std::string manifest_path = (std::filesystem::path(a.out_dir) / a.manifest).string();
    if (error.empty() && !a.manifest.empty() && !a.overwrite &&
        std::filesystem::exists(std::filesystem::symlink_status(manifest_path, review_ec)))
        error = manifest_path + ": exists; add --overwrite to replace it, or choose another folder";
    if (error.empty())
        error = lock_out_dir(a.out_dir, &lock);
    if (!error.empty()) {
        fprintf(stderr, "silsplit: %s\n", visible_text(error).c_str());
        return kExitFileFailed;
    }
    if (a.live || a.follow) {
        const int status = run_live_split(a);
        if (status >= 0)
            return status;
    }
    ProgressView view(progress_mode(a.quiet, a.progress));
    if (!a.to.empty()) { // refused before the analysis: --to flac takes integer WAV
        sil_wav_source *src = nullptr;
        std::string why;
        if (a.file == "-" || split_needs_media(a.file) || a.lists.hints_from_input ||
            sil_wav_source_open(a.file.c_str(), &src) != 0)
            why = "--to flac cuts WAV files that the library reads (a FLAC recording is cut into "
                  "FLAC pieces without it)";
        else
            why = flac_refusal(*src);
        sil_wav_source_free(src);
        if (!why.empty()) {
            file_error(a.file, why);
            return kExitFileFailed;
        }
    }
    if (a.loudness && a.file == "-") {
        file_error(a.file, "--loudness reads the recording a second time, which standard input "
                           "cannot be (save it to a file first)");
        return kExitFileFailed;
    }
    // The input's own chapter marks are read by FFmpeg.
    if (split_needs_media(a.file) || a.lists.hints_from_input) {
        return run_media_split(a, opts, &view);
    }
    Job job;
    job.path = a.file;
    job.view = &view;
    const MediaRun run = media_run(opts, a.stream, &job);
    MediaRun job_run = run; // for the levels of a WAV file only FFmpeg reads
    sil_analysis analysis;
    if (analyze_wav(a.file, run, &analysis) != 0) {
        const std::string message = sil_get_error();
        const bool to_media = media_takes_refused();
        view.above([] {});
        if (g_interrupted.load())
            return kExitInterrupted;
        if (to_media) { // FFmpeg reads what the library's reader will not take
            return run_media_split(a, opts, &view);
        }
        file_error(a.file, placed_message(a.places, message));
        return kExitFileFailed;
    }
    std::unique_ptr<sil_analysis, sil_analysis_releaser> analysis_guard(&analysis);
    const std::string past_end = hints_past_end(analysis.report);
    if (!past_end.empty()) { // nothing is written
        view.above([&] { file_error(a.file, past_end); });
        return kExitFileFailed;
    }
    view.above([&] {
        file_warnings(a.file, joined_lines(unmoved_hints(analysis.report),
                                           auto_warnings(analysis.report)));
    });
    if (analysis.count == 0) { // an earlier split is not replaced by none
        view.above([&] { file_error(a.file, std::string(kNoChapters) + "; nothing was written"); });
        return kExitFileFailed;
    }
    const std::string left_out = left_out_warning(analysis);
    if (!left_out.empty())
        view.above([&] { file_error(a.file, left_out); });
    // The levels go into chapters.json: measured before the writing.
    LevelsShown levels;
    if (a.loudness) {
        LevelOptions lo;
        lo.true_peak = a.true_peak;
        lo.jobs = default_jobs();
        error = measure_levels(a.file, analysis.report, level_profile(a.check), lo, &view, &job_run,
                               &levels);
        view.above([] {});
        if (g_interrupted.load())
            return kExitInterrupted;
        if (!error.empty()) {
            file_error(a.file, error);
            return kExitFileFailed;
        }
        char *report = strdup(levels.report.c_str());
        if (!report)
            throw std::bad_alloc();
        free(analysis.report);
        analysis.report = report;
    }
    SplitPlan plan;
    plan.input = a.file;
    plan.out_dir = a.out_dir;
    plan.analysis = &analysis;
    plan.overwrite = a.overwrite;
    plan.name_template = a.name_template;
    plan.format = a.mono16 || a.to_wav ? SIL_CHAPTER_MONO16 : SIL_CHAPTER_SOURCE;
    if (a.to == "flac") {
        plan.ext = "flac";
        plan.write_chapter = write_flac_chapter;
    }

    int n = 0;
    int shown = -1;
    const Outcome out = write_split(
        plan,
        [&](uint64_t done, uint64_t total) {
            const int percent = total ? (int)(done * 100 / total) : 100;
            if (percent != shown) {
                shown = percent;
                view.update(a.file, "write", percent);
            }
            return g_interrupted.load() == 0;
        },
        &n, &error);
    view.above([] {});
    if (out == Outcome::cancelled)
        return kExitInterrupted;
    if (out == Outcome::failed) {
        fprintf(stderr, "silsplit: %s\n", visible_text(error).c_str());
        return kExitFileFailed;
    }
    if (const int status = write_split_manifest(a))
        return status;
    printf("%d chapter%s written to %s\n", n, n == 1 ? "" : "s", visible_text(a.out_dir).c_str());
    if (a.loudness)
        printf("%s", levels.table.c_str());
    if (!flush_stdout())
        return kExitFileFailed;
    const int review = a.review ? write_review(a, opts, "") : 0;
    return review ? review : levels.failed > 0 ? kExitCheckFailed : 0;
}

// ---------------------------------------------------------------------------
// chapters
// ---------------------------------------------------------------------------
struct ChaptersArgs {
    std::string file;
    std::string out;
    bool replace = false;
    int stream = -1;
    bool quiet = false;
    bool progress = false;
    DetectionFlags flags;
    ChapterFlags lists;
    ListPlaces places; // where the lists' entries came from, for messages
    std::string opts; // the options text: the flags and the chapter lists
    bool loudness = false;
    std::string check; // a profile's name, or ""
    bool true_peak = false;
};

int run_chapters(const ChaptersArgs &a) {
    catch_sigint();
    ProgressView view(progress_mode(a.quiet, a.progress));
    Job job;
    job.path = a.file;
    job.view = &view;
    MediaRun run = media_run(a.opts, a.stream, &job);
    run.hints_from_input = a.lists.hints_from_input;
    remove_leftovers(a.out);
    std::string error;
    if (a.loudness && a.file == "-") {
        file_error(a.file, "--loudness reads the recording a second time, which standard input "
                           "cannot be (save it to a file first)");
        return kExitFileFailed;
    }
    const int n = media_write_chapter_marks(a.file, a.out, a.replace, &run, &error);
    view.above([] {});
    if (const int status = media_outcome(a.file, n, run, error, a.places))
        return status;
    // The levels of the chapters as marked, in the recording itself.
    LevelsShown levels;
    if (a.loudness) {
        LevelOptions lo;
        lo.true_peak = a.true_peak;
        lo.jobs = default_jobs();
        error =
            measure_levels(a.file, run.report, level_profile(a.check), lo, &view, &run, &levels);
        view.above([] {});
        if (g_interrupted.load())
            return kExitInterrupted;
        if (!error.empty()) {
            file_error(a.file, error);
            return kExitFileFailed;
        }
    }
    printf("%d chapter%s marked in %s\n", n, n == 1 ? "" : "s", visible_text(a.out).c_str());
    if (a.loudness)
        printf("%s", levels.table.c_str());
    if (!flush_stdout() || run.broken_off)
        return kExitFileFailed;
    return levels.failed > 0 ? kExitCheckFailed : 0;
}

// ---------------------------------------------------------------------------
// verify
// ---------------------------------------------------------------------------
struct VerifyArgs {
    std::string dir;
    std::string manifest = kManifestName;
    std::string original;
};

// Checks DIR against its manifest and, with --original, the pieces against
// the recording they were cut from. 0 when all is well; 1 with each bad or
// missing file named on stderr.
int run_verify(const VerifyArgs &a) {
    std::vector<ManifestEntry> entries;
    std::string error;
    if (!read_manifest(a.dir, a.manifest, &entries, &error)) {
        fprintf(stderr, "silsplit: %s\n", error.c_str());
        return kExitFileFailed;
    }
    const ManifestCheck check = check_manifest(a.dir, entries);
    for (const std::string &bad : check.bad)
        fprintf(stderr, "silsplit: %s\n", bad.c_str());
    int status = check.bad.empty() ? 0 : kExitFileFailed;
    printf("%zu of %zu files match %s\n", check.good.size(), entries.size(),
           (std::filesystem::path(a.dir) / a.manifest).c_str());
    if (!a.original.empty()) {
        std::vector<std::string> pieces;
        if (!split_files(a.dir, &pieces, &error, true)) {
            fprintf(stderr, "silsplit: %s; the pieces were not compared with %s\n", error.c_str(),
                    a.original.c_str());
            status = kExitFileFailed;
        } else {
            pieces.pop_back(); // chapters.json
            const OriginalCheck oc = check_original(a.dir, pieces, a.original);
            for (const std::string &bad : oc.bad)
                fprintf(stderr, "silsplit: %s\n", bad.c_str());
            if (!oc.bad.empty() || oc.pieces_equal != (int)pieces.size())
                status = kExitFileFailed;
            printf(
                "%d of %zu pieces equal %s in their chapters' frames (%lld of its %lld frames)\n",
                oc.pieces_equal, pieces.size(), a.original.c_str(), (long long)oc.covered,
                (long long)oc.frames);
        }
    }
    return flush_stdout() ? status : kExitFileFailed;
}

// A command that takes one recording, its FILE argument.
CLI::App *add_file_command(CLI::App *app, const char *name, const std::string &description,
                           std::string *file, const char *file_help) {
    CLI::App *cmd = app->add_subcommand(name, description);
    cmd->add_option("FILE", *file, file_help)->required()->type_name("");
    return cmd;
}

// -q/--quiet and --progress, which exclude each other.
void add_progress_flags(CLI::App *cmd, bool *quiet, bool *progress, const char *quiet_help) {
    CLI::Option *q = cmd->add_flag("-q,--quiet", *quiet, quiet_help);
    cmd->add_flag("--progress", *progress,
                  "show progress even when stderr is not a terminal, one line per step")
        ->excludes(q);
}

// --loudness and --check PROFILE (which measures the levels too).
void add_level_flags(CLI::App *cmd, bool *loudness, std::string *check, bool *true_peak) {
    cmd->add_flag("--loudness", *loudness,
                  "measure each chapter (each piece's frames for split): integrated loudness "
                  "(EBU R128), RMS, sample peak, noise floor, room tone at head and tail (json "
                  "and table; the recording is read a second time)");
    cmd->add_flag("--true-peak", *true_peak,
                  "with --loudness or --check, the true peak too (4x oversampled; the measuring "
                  "takes about four times as long)");
    cmd->add_option("--check", *check,
                    "measure as --loudness and check each piece against PROFILE: audiobook "
                    "(RMS -23..-18 dB, peak <= -3 dB, noise floor <= -60 dB, head 0.5-1 s, tail "
                    "1-5 s); exit status 3 when a piece fails")
        ->check(CLI::IsMember({"audiobook"}))
        ->type_name("PROFILE");
}

void add_stream_option(CLI::App *cmd, int *stream) {
    cmd->add_option("--stream", *stream,
                    "the audio stream with this index (as ffprobe numbers them) instead of the "
                    "first audio stream")
        ->check(CLI::NonNegativeNumber)
        ->type_name("N");
}

} // namespace

// A flag's check from a function that says why a value is refused ("" when
// it is not): CLI11 shows the value before the reason.
std::function<std::string(const std::string &)> refusal_of(std::string (*why)(const std::string &)) {
    return [why](const std::string &value) {
        const std::string reason = why(value);
        return reason.empty() ? reason : value + ": " + reason;
    };
}

int main(int argc, char **argv) {
    hold_standard_descriptors();
    CLI::App app{"Finds the silences in recordings and divides them into chapters.", "silsplit"};
    app.set_version_flag("--version", std::string(silsplit_version()),
                         "print the library's version and exit");
    app.require_subcommand(1);
    app.footer("Exit status: 0 success, 1 a file failed (\"silsplit: FILE: message\" on stderr),\n"
               "2 usage error, 3 a piece fails --check (all output written), 130 interrupted by "
               "Ctrl-C.\n"
               "Run 'silsplit COMMAND --help' for the options of a command.");

    AnalyzeArgs an;
    CLI::App *analyze = app.add_subcommand("analyze", "print the chapters of recordings");
    analyze
        ->add_option("FILE", an.files,
                     "recordings to analyse: WAV, or anything FFmpeg decodes; - for standard input")
        ->required()
        ->type_name("");
    analyze
        ->add_option(
            "-f,--format", an.format,
            "json: the library's report, one line per file ({\"file\",\"report\"} "
            "when several); table; cue (CUE sheet); ffmetadata; labels (label "
            "track); vtt (WebVTT chapters); html (a review page with the level curve and a "
            "player). ffmetadata, labels, vtt and html take one file")
        ->check(CLI::IsMember({"json", "table", "cue", "ffmetadata", "labels", "vtt", "html"}))
        ->capture_default_str();
    analyze->add_flag("--pretty", an.pretty, "indent the JSON output");
    analyze
        ->add_option("-j,--jobs", an.jobs,
                     "threads: N files analysed at once (default: the cores), and the ranges of "
                     "a long compressed file decoded at once when there are fewer files (1: one "
                     "decoder per file); output keeps the files' order")
        ->check(CLI::Range(1, 256))
        ->type_name("N")
        ->capture_default_str();
    add_progress_flags(analyze, &an.quiet, &an.progress,
                       "no progress bar (shown only when stderr is a terminal)");
    add_level_flags(analyze, &an.loudness, &an.check, &an.true_peak);
    analyze
        ->add_option("--index", an.index,
                     "append one JSON line per file done to FILE ({\"path\",\"report\"} or "
                     "{\"path\",\"error\"}) and skip the files it holds already, so that an "
                     "interrupted run resumes; the output is then one {\"file\",...} line per "
                     "file analysed, however many")
        ->type_name("FILE");
    add_stream_option(analyze, &an.stream);
    add_detection_flags(analyze, &an.flags);
    add_chapter_flags(analyze, &an.lists);

    SplitArgs sp;
    CLI::App *split = add_file_command(&app, "split",
                                       "cut a recording into OUT_DIR/ch_001.wav (or .mp3, .m4a, "
                                       "...), ch_002, ... and chapters.json",
                                       &sp.file, "recording to cut (- for standard input)");
    split
        ->add_option("OUT_DIR", sp.out_dir,
                     "folder for the chapter files (created with its parents when missing)")
        ->required()
        ->type_name("");
    split->add_flag("--review", sp.review,
                    "also write OUT_DIR/review.html: the level curve, chapters and a player");
    CLI::Option *to_wav = split->add_flag(
        "--to-wav", sp.to_wav,
        "cut a compressed recording into 16-bit WAV files instead of copying its packets");
    add_stream_option(split, &sp.stream);
    split->add_flag("--overwrite", sp.overwrite,
                    "replace the ch_* files and chapters.json of an earlier split in OUT_DIR "
                    "(without it, such a folder is refused)");
    CLI::Option *mono16 = split->add_flag(
        "--mono16", sp.mono16,
        "write 16-bit mono chapter files, as the library's export does, instead of the input's "
        "own format");
    split
        ->add_option("--to", sp.to,
                     "flac: cut a WAV recording into FLAC files, lossless, in its own channels, "
                     "rate and bit depth (integer samples)")
        ->check(CLI::IsMember({"flac"}))
        ->type_name("FORMAT")
        ->excludes(to_wav)
        ->excludes(mono16);
    split
        ->add_option("--name-template", sp.name_template,
                     "the chapter files' names before the extension: {n} (the number), {n:03} "
                     "(three digits or more), {title}; e.g. \"{n:02} - {title}\"")
        ->type_name("TEXT")
        ->check(refusal_of(check_name_template), "")
        ->capture_default_str();
    CLI::Option *manifest_opt =
        split
            ->add_option("--manifest", sp.manifest,
                         "the checksum manifest written beside the chapter files (sha256sum's "
                         "format; silsplit verify checks it)")
            ->type_name("NAME")
            ->check(refusal_of(check_manifest_name), "")
            ->capture_default_str();
    split
        ->add_flag_callback(
            "--no-manifest", [&sp] { sp.manifest.clear(); }, "write no checksum manifest")
        ->excludes(manifest_opt);
    CLI::Option *live = split->add_flag(
        "--live", sp.live,
        "write each chapter file as soon as it is final, while the WAV input still comes (a "
        "pipe, a microphone); chapters.json is rewritten after each");
    split->add_flag("--follow", sp.follow,
                    "with a WAV file that another program is still writing: --live, and the "
                    "end of the file waits for more (as tail -f) until the writer puts its "
                    "final size into the header, --follow-timeout passes, or Ctrl-C");
    split
        ->add_option("--follow-timeout", sp.follow_timeout,
                     "with --follow: seconds without growth that end the recording (0: wait "
                     "until the writer ends it or Ctrl-C)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS")
        ->capture_default_str();
    add_progress_flags(split, &sp.quiet, &sp.progress, "no progress bar");
    add_level_flags(split, &sp.loudness, &sp.check, &sp.true_peak);
    add_detection_flags(split, &sp.flags);
    add_chapter_flags(split, &sp.lists);

    ChaptersArgs ch;
    CLI::App *chapters =
        add_file_command(&app, "chapters",
                         "copy a recording into OUT, without re-encoding, with its chapters marked",
                         &ch.file, "recording to mark (- for standard input)");
    chapters
        ->add_option("-o,--output", ch.out,
                     "the copy; its name chooses the container (.m4b, .mka, .mp3, ...)")
        ->required()
        ->type_name("OUT");
    chapters->add_flag("--replace", ch.replace, "replace the chapters the recording has already");
    add_progress_flags(chapters, &ch.quiet, &ch.progress, "no progress bar");
    add_stream_option(chapters, &ch.stream);
    add_level_flags(chapters, &ch.loudness, &ch.check, &ch.true_peak);
    add_detection_flags(chapters, &ch.flags);
    add_chapter_flags(chapters, &ch.lists);

    VerifyArgs ve;
    CLI::App *verify = app.add_subcommand(
        "verify", "check a split's folder against its checksum manifest (and, with --original, "
                  "that its WAV or FLAC pieces add up to the recording)");
    verify->add_option("DIR", ve.dir, "the split's output folder")->required()->type_name("");
    verify->add_option("--manifest", ve.manifest, "the manifest's name in DIR")
        ->type_name("NAME")
        ->capture_default_str();
    verify
        ->add_option("--original", ve.original,
                     "the WAV recording the pieces were cut from: each WAV or FLAC piece's frames "
                     "must equal "
                     "the recording's frames in its chapter's range")
        ->type_name("IN");

    try {
        app.parse(argc, argv);
        if (split->parsed() && (sp.live || sp.follow) && (sp.overwrite || sp.review))
            throw CLI::ValidationError("--live", std::string(sp.overwrite ? "--overwrite"
                                                                          : "--review") +
                                                     " cannot be used with --live, which writes "
                                                     "into a folder without an earlier split");
        if (split->parsed() && (sp.live || sp.follow) && sp.name_template != kDefaultNameTemplate)
            throw CLI::ValidationError("--live", "--name-template is not used with --live yet: "
                                                 "the files are ch_001.wav, ch_002.wav, ...");
        if (split->parsed() && (sp.live || sp.follow) &&
            (sp.loudness || !sp.check.empty() || sp.true_peak || !sp.to.empty()))
            throw CLI::ValidationError(
                "--live", std::string(!sp.to.empty() ? "--to" : "--loudness and --check") +
                              " are not used with --live yet: a live split writes WAV pieces "
                              "(run them on the finished recording)");
        (void)live;
        if (analyze->parsed() && an.files.size() > 1 &&
            (an.format == "ffmetadata" || an.format == "labels" || an.format == "vtt" ||
             an.format == "html"))
            throw CLI::ValidationError(
                "--format", an.format + " takes one file; use json, table or cue for several");
        if (!an.check.empty() || an.true_peak)
            an.loudness = true;
        if (!sp.check.empty() || sp.true_peak)
            sp.loudness = true;
        if (!ch.check.empty() || ch.true_peak)
            ch.loudness = true;
        if (analyze->parsed() && an.loudness && an.format != "json" && an.format != "table")
            throw CLI::ValidationError("--loudness", "shows in the json and table formats");
    } catch (const CLI::ParseError &e) {
        if (app.exit(e) != 0)
            return kExitUsage;
        return flush_stdout() ? 0 : kExitFileFailed; // --help, --version
    }

    // The chapter lists are read before any work: a bad line is a usage
    // error naming the file and the line.
    if (verify->parsed()) {
        try {
            return run_verify(ve);
        } catch (const std::bad_alloc &) {
            fprintf(stderr, "silsplit: out of memory\n");
            return kExitFileFailed;
        }
    }
    try {
        std::string why;
        if (analyze->parsed())
            why = options_with_chapter_files(an.lists, options_text(an.flags), &an.opts, &an.places);
        else if (split->parsed())
            why = options_with_chapter_files(sp.lists, options_text(sp.flags), &sp.opts, &sp.places);
        else
            why = options_with_chapter_files(ch.lists, options_text(ch.flags), &ch.opts, &ch.places);
        if (!why.empty()) {
            fprintf(stderr, "silsplit: %s\n", visible_text(why).c_str());
            return kExitUsage;
        }
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "silsplit: out of memory\n");
        return kExitFileFailed;
    }

    std::vector<std::string> words{"silsplit"};
    words.insert(words.end(), argv + 1, argv + argc);
    an.command = sp.command = shell_command(words);
    catch_sigint();
    try {
        if (analyze->parsed()) {
            return run_analyze(an);
        }
        if (chapters->parsed())
            return run_chapters(ch);
        return run_split(sp);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "silsplit: out of memory\n");
        return kExitFileFailed;
    }
}
