// File analysis entries: silsplit_analyze and silsplit_analyze_progress.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "engine.h"
#include "wav_builder.h"

using namespace wavtest;

namespace {

using Calls = std::vector<std::pair<int, std::string>>;

struct Recorder {
    Calls calls;
    int cancel_at = -1; // index of the call that answers non-zero
};

int record(int pct, const char *stage, void *user) {
    auto *r = static_cast<Recorder *>(user);
    r->calls.emplace_back(pct, stage ? stage : "(null)");
    return static_cast<int>(r->calls.size()) - 1 == r->cancel_at ? 1 : 0;
}

// Takes ownership of a report text.

// 12 s of stereo 32 kHz 16-bit audio with one silence in the middle.
Bytes twelve_seconds_stereo() {
    std::vector<int16_t> l = runs16({{160000, 16384}, {64000, 0}, {160000, 16384}});
    std::vector<int16_t> r = runs16({{160000, 8000}, {64000, 0}, {160000, -8000}});
    return wav16(32000, 2, stereo(l, r));
}

// Every report of a successful run on twelve_seconds_stereo(): the reader
// every 65536 frames, the resampler every 65536 outputs, the detector every
// 1024 frames, each stage handing over to the next, and "done" last.
const Calls kTwelveSecondsCalls = {
    {0, "read"},    {3, "read"},      {6, "read"},      {10, "read"},     {13, "read"},
    {17, "read"},   {20, "resample"}, {26, "resample"}, {33, "resample"}, {40, "detect"},
    {86, "detect"}, {95, "detect"},   {100, "done"},
};

TEST(FileAnalysis, ProgressRunsThroughEveryStageUpToOneDone) {
    TempDir dir;
    const std::string path = dir.file("a.wav", twelve_seconds_stereo());
    Recorder rec;
    sil_set_error("stale");
    const std::string report = take(silsplit_analyze_progress(path.c_str(), nullptr, record, &rec));
    EXPECT_STREQ(silsplit_last_error(), "");
    EXPECT_EQ(rec.calls, kTwelveSecondsCalls);

    // The general rules, whatever the exact points.
    int done = 0;
    for (size_t i = 0; i < rec.calls.size(); ++i) {
        if (rec.calls[i].second == "done")
            ++done;
        if (i > 0) {
            EXPECT_GE(rec.calls[i].first, rec.calls[i - 1].first) << i;
            EXPECT_NE(rec.calls[i], rec.calls[i - 1]) << i;
        }
    }
    EXPECT_EQ(done, 1);
    EXPECT_EQ(rec.calls.back(), (std::pair<int, std::string>{100, "done"}));

    // Same report with or without progress.
    EXPECT_EQ(report, take(silsplit_analyze(path.c_str(), nullptr)));
    EXPECT_EQ(report, take(silsplit_analyze_progress(path.c_str(), nullptr, nullptr, nullptr)));
    EXPECT_EQ(report.rfind("{\"sample_rate\":32000,\"duration_s\":12.0,", 0), 0u) << report;
}

TEST(FileAnalysis, CancelAtAnyReportDiscardsTheWork) {
    TempDir dir;
    const std::string path = dir.file("a.wav", twelve_seconds_stereo());
    for (size_t at = 0; at < kTwelveSecondsCalls.size(); ++at) {
        SCOPED_TRACE(kTwelveSecondsCalls[at].second + " " +
                     std::to_string(kTwelveSecondsCalls[at].first));
        Recorder rec;
        rec.cancel_at = static_cast<int>(at);
        EXPECT_EQ(silsplit_analyze_progress(path.c_str(), nullptr, record, &rec), nullptr);
        EXPECT_STREQ(silsplit_last_error(), "cancelled");
        // Nothing is reported after the cancel.
        EXPECT_EQ(rec.calls,
                  Calls(kTwelveSecondsCalls.begin(), kTwelveSecondsCalls.begin() + at + 1));
    }
}

TEST(FileAnalysis, CancelAtFirstReportComesBeforeOpeningTheFile) {
    TempDir dir;
    Recorder rec;
    rec.cancel_at = 0;
    EXPECT_EQ(silsplit_analyze_progress((dir / "missing.wav").c_str(), "{}", record, &rec),
              nullptr);
    EXPECT_STREQ(silsplit_last_error(), "cancelled");
    EXPECT_EQ(rec.calls, (Calls{{0, "read"}}));
}

TEST(FileAnalysis, ArgumentAndOptionFailuresNeverCallBack) {
    TempDir dir;
    const std::string path = dir.file("a.wav", wav16(16000, 1, runs16({{16000, 100}})));
    struct Case {
        const char *name;
        const char *path;
        const char *opts;
        const char *error;
    } cases[] = {
        {"null_path", nullptr, nullptr, "NULL wav path"},
        {"null_path_before_options", nullptr, "not json", "NULL wav path"},
        {"options_not_json", path.c_str(), "{\"threshold_db\":", "invalid options JSON"},
        {"options_not_an_object", path.c_str(), "[1,2]", "options must be a JSON object"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Recorder rec;
        EXPECT_EQ(silsplit_analyze_progress(c.path, c.opts, record, &rec), nullptr);
        EXPECT_STREQ(silsplit_last_error(), c.error);
        EXPECT_TRUE(rec.calls.empty());
        sil_clear_error();
        EXPECT_EQ(silsplit_analyze(c.path, c.opts), nullptr);
        EXPECT_STREQ(silsplit_last_error(), c.error);
    }
}

TEST(FileAnalysis, ReaderFailuresPassThrough) {
    TempDir dir;
    Recorder rec;
    EXPECT_EQ(silsplit_analyze_progress((dir / "missing.wav").c_str(), nullptr, record, &rec),
              nullptr);
    EXPECT_STREQ(silsplit_last_error(), "cannot open wav file");
    EXPECT_EQ(rec.calls, (Calls{{0, "read"}}));

    const std::string junk = dir.file("junk.wav", Bytes(100, 'x'));
    EXPECT_EQ(silsplit_analyze(junk.c_str(), nullptr), nullptr);
    EXPECT_STREQ(silsplit_last_error(), "not a RIFF/WAVE file");
}

// A FIFO without a writer: opening it must not wait for one. The reader
// then fails at its first seek, like a FIFO with a writer.
TEST(FileAnalysis, FifoWithoutAWriterFailsAtOnce) {
    TempDir dir;
    const std::string fifo = dir / "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(silsplit_analyze(fifo.c_str(), nullptr), nullptr);
    EXPECT_STREQ(silsplit_last_error(), "seek failed");
    EXPECT_EQ(silsplit_write_chapters(fifo.c_str(), nullptr, (dir / "out").c_str()), -1);
    EXPECT_STREQ(silsplit_last_error(), "seek failed");
}

TEST(FileAnalysis, EmptyDataChunkIsRefusedByTheResampler) {
    TempDir dir;
    const std::string path =
        dir.file("empty.wav", WavBuilder().fmt(1, 1, 8000, 16).data({}).build());
    Recorder rec;
    EXPECT_EQ(silsplit_analyze_progress(path.c_str(), nullptr, record, &rec), nullptr);
    EXPECT_STREQ(silsplit_last_error(), "invalid resample args");
    EXPECT_EQ(rec.calls, (Calls{{0, "read"}, {20, "resample"}}));
    EXPECT_EQ(silsplit_analyze(path.c_str(), nullptr), nullptr);
    EXPECT_STREQ(silsplit_last_error(), "invalid resample args");
}

TEST(FileAnalysis, ReportUsesTheFilesOwnRateAndDuration) {
    TempDir dir;
    // 6 s of full scale at 16 kHz: one chapter over the whole file.
    const std::string loud =
        dir.file("loud.wav", wavf32(16000, 1, std::vector<float>(96000, 1.0f)));
    EXPECT_EQ(take(silsplit_analyze(loud.c_str(), "{\"sample_rate\":8000}")),
              "{\"sample_rate\":16000,\"duration_s\":6.0,\"silences_removed_s\":0.0,\"chapters\":"
              "[{\"i\":1,\"t0\":0.0,\"t1\":6.0,\"dur\":6.0,\"peak_db\":0.0}]}");

    // 44100 frames at 44100 Hz last 1.0 s whatever the options' sample_rate.
    const std::string quiet = dir.file("q.wav", wav16(44100, 2, std::vector<int16_t>(88200, 0)));
    EXPECT_EQ(
        take(silsplit_analyze(quiet.c_str(), "{\"sample_rate\":16000}")),
        "{\"sample_rate\":44100,\"duration_s\":1.0,\"silences_removed_s\":1.0,\"chapters\":[]}");
}

} // namespace
