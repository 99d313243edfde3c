// sil_detect_chapters: frame levels, the silence scan, candidate chapters,
// padding, merging, splitting and the limit of 10000 chapters.
#include "signal_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using sigtest::add_burst;
using sigtest::bursts;
using sigtest::Detection;
using sigtest::frame_time;
using sigtest::level_of;
using sigtest::make_opts;
using sigtest::ProgressCall;
using sigtest::ProgressLog;

const float kLoud = level_of(0.5); // a frame wholly inside a burst
const float kInf = std::numeric_limits<float>::infinity();

std::vector<float> constant(size_t n, float amp) { return std::vector<float>(n, amp); }

float duration_of(size_t n) { return static_cast<float>(n) / 16000.0f; }

TEST(DetectArgs, BadArgumentsAreRefusedWithEmptyOutputs) {
    std::vector<float> s(1600, 0.5f);
    sil_opts o = sigtest::default_opts();
    struct {
        const char *name;
        const float *samples;
        int n;
        const sil_opts *opts;
    } cases[] = {
        {"negative count", s.data(), -1, &o},
        {"negative count, no samples", nullptr, -5, &o},
        {"no options", s.data(), 1600, nullptr},
        {"no samples", nullptr, 1600, &o},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Detection d = sigtest::detect(c.samples, c.n, c.opts);
        EXPECT_EQ(-1, d.rc);
        EXPECT_EQ("invalid detect args", d.error);
        EXPECT_TRUE(d.list_null);
        EXPECT_TRUE(d.chapters.empty());
        EXPECT_EQ(0.0f, d.removed_s);
    }
}

TEST(DetectEmpty, NoSamplesGiveNothingAndReportNothing) {
    float one = 0.5f;
    sil_opts o = sigtest::default_opts();
    const float *inputs[] = {nullptr, &one};
    for (const float *samples : inputs) {
        ProgressLog log;
        sil_progress p = sigtest::progress_for(&log);
        Detection d = sigtest::detect(samples, 0, &o, &p);
        EXPECT_EQ(0, d.rc);
        EXPECT_TRUE(d.list_null);
        EXPECT_TRUE(d.chapters.empty());
        EXPECT_EQ(0.0f, d.duration_s);
        EXPECT_EQ(0.0f, d.removed_s);
        EXPECT_TRUE(log.calls.empty());
    }
}

struct ChapterCase {
    const char *name;
    std::function<std::vector<float>()> signal;
    sil_opts opts;
    std::vector<sil_chapter> want;
};

void PrintTo(const ChapterCase &c, std::ostream *os) { *os << c.name; }

class DetectChapters : public ::testing::TestWithParam<ChapterCase> {};

TEST_P(DetectChapters, FindsTheChapters) {
    const ChapterCase &c = GetParam();
    const std::vector<float> s = c.signal();
    Detection d = sigtest::detect(s, c.opts);
    ASSERT_EQ(0, d.rc) << d.error;
    const float duration = duration_of(s.size());
    EXPECT_EQ(duration, d.duration_s);
    ASSERT_EQ(c.want.size(), d.chapters.size());
    EXPECT_EQ(c.want.empty(), d.list_null);
    float kept = 0.0f;
    for (size_t i = 0; i < c.want.size(); ++i) {
        SCOPED_TRACE("chapter " + std::to_string(i));
        EXPECT_FLOAT_EQ(c.want[i].t0, d.chapters[i].t0);
        EXPECT_FLOAT_EQ(c.want[i].t1, d.chapters[i].t1);
        EXPECT_FLOAT_EQ(c.want[i].peak_db, d.chapters[i].peak_db);
        kept += d.chapters[i].t1 - d.chapters[i].t0;
    }
    EXPECT_FLOAT_EQ(duration - kept > 0.0f ? duration - kept : 0.0f, d.removed_s);
}

// Threshold -40, minimum silence 0.8 (81 frames), no minimum chapter length,
// no padding, no maximum: the scan's spans come out unchanged.
const sil_opts kRaw = make_opts(-40.0f, 0.8f, 0.0f, 0.0f, 0.0f);
const sil_opts kDefaults = sigtest::default_opts();

sil_opts with_max(float max_chapter_s) { return make_opts(-40.0f, 0.8f, 5.0f, 0.0f, max_chapter_s); }

std::vector<float> tail_loud(size_t n, size_t from) {
    std::vector<float> s(n, 0.0f);
    for (size_t i = from; i < n; ++i) s[i] = 0.5f;
    return s;
}

// 13 s: sound to 6 s and from 7 s, and between them one frame of level
// amp (two hops of that amplitude) amid silence.
std::vector<float> gap_with_one_frame_at(float amp) {
    std::vector<float> s = bursts(13, {{0, 6}, {7, 13}});
    add_burst(s, 6.49, 6.52, amp);
    return s;
}

const float kHalfLoud = level_of(std::sqrt(0.125)); // one hop at 0.5, one silent

INSTANTIATE_TEST_SUITE_P(
    FrameCounts, DetectChapters,
    ::testing::Values(
        ChapterCase{"Frames319IsOneFrameOverAll", [] { return constant(319, 0.5f); }, kRaw,
                    {{0.0f, duration_of(319), kLoud}}},
        ChapterCase{"Frames320IsOneFrame", [] { return tail_loud(320, 160); }, kRaw,
                    {{0.0f, 0.02f, kHalfLoud}}},
        ChapterCase{"Frames479IsStillOneFrame", [] { return tail_loud(479, 320); }, kRaw, {}},
        ChapterCase{"Frames480IsTwoFrames", [] { return tail_loud(480, 320); }, kRaw,
                    {{0.01f, 0.03f, kHalfLoud}}}),
    [](const ::testing::TestParamInfo<ChapterCase> &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Levels, DetectChapters,
    ::testing::Values(
        ChapterCase{"AllZerosHaveNoChapter", [] { return constant(48000, 0.0f); }, kDefaults, {}},
        ChapterCase{"ConstantTenthIsMinus20dB", [] { return constant(96000, 0.1f); }, kDefaults,
                    {{0.0f, 6.0f, -20.0f}}},
        ChapterCase{"OnsetMarginNotPassedAtMinus34dB",
                    [] { return constant(16000, static_cast<float>(std::pow(10.0, -34.0 / 20))); },
                    make_opts(-40.0f, 0.8f, 0.5f, 0.0f, 0.0f), {}},
        ChapterCase{"OnsetMarginPassedAtMinus33_9dB",
                    [] { return constant(16000, static_cast<float>(std::pow(10.0, -33.9 / 20))); },
                    make_opts(-40.0f, 0.8f, 0.5f, 0.0f, 0.0f), {{0.0f, 1.0f, -33.9f}}},
        ChapterCase{"Minus180dBIsSilentNotFloored", [] { return constant(96000, 1e-9f); },
                    make_opts(-150.0f, 0.8f, 5.0f, 0.0f, 0.0f), {}},
        ChapterCase{"RmsBelowFloorIsMinus120dB", [] { return constant(96000, 1e-13f); },
                    make_opts(-150.0f, 0.8f, 5.0f, 0.0f, 0.0f), {{0.0f, 6.0f, -120.0f}}},
        ChapterCase{"ZerosAreLoudUnderAMinus130Threshold", [] { return constant(96000, 0.0f); },
                    make_opts(-130.0f, 0.8f, 5.0f, 0.0f, 0.0f), {{0.0f, 6.0f, -120.0f}}},
        ChapterCase{"PeakNeverBelowMinus120", [] { return constant(96000, 1e-9f); },
                    make_opts(-200.0f, 0.8f, 5.0f, 0.0f, 0.0f), {{0.0f, 6.0f, -120.0f}}},
        ChapterCase{"NotANumberNeverBecomesThePeak",
                    [] {
                        std::vector<float> s = constant(96000, 0.5f);
                        for (size_t i = 16000; i < 16010; ++i)
                            s[i] = std::numeric_limits<float>::quiet_NaN();
                        return s;
                    },
                    kDefaults, {{0.0f, 6.0f, kLoud}}}),
    [](const ::testing::TestParamInfo<ChapterCase> &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Scan, DetectChapters,
    ::testing::Values(
        ChapterCase{"LoudThroughoutEndsAtDuration", [] { return constant(96077, 0.5f); },
                    kDefaults, {{0.0f, duration_of(96077), kLoud}}},
        ChapterCase{"Quiet80FramesDoNotClose", [] { return bursts(20, {{0, 10}, {10.80, 20}}); },
                    kRaw, {{0.0f, 20.0f, kLoud}}},
        ChapterCase{"Quiet81FramesClose", [] { return bursts(20, {{0, 10}, {10.81, 20}}); },
                    kRaw, {{0.0f, 10.0f, kLoud}, {10.81f, 20.0f, kLoud}}},
        ChapterCase{"ShortQuietAtEndStaysInside", [] { return bursts(6.81, {{0, 6}}); },
                    kDefaults, {{0.0f, 6.81f, kLoud}}},
        ChapterCase{"QuietReachingMinimumAtLastFrameCloses",
                    [] { return bursts(6.82, {{0, 6}}); }, kDefaults, {{0.0f, 6.25f, kLoud}}},
        ChapterCase{"FrameAtThresholdBreaksASilentRun", [] { return gap_with_one_frame_at(0.01f); },
                    kRaw, {{0.0f, 13.0f, kLoud}}},
        ChapterCase{"FrameJustBelowThresholdIsSilent",
                    [] { return gap_with_one_frame_at(0.0099f); }, kRaw,
                    {{0.0f, 6.0f, kLoud}, {7.0f, 13.0f, kLoud}}},
        ChapterCase{"ZeroMinimumSilenceClosesAtOneFrame",
                    [] { return bursts(20, {{1, 7}, {7.01, 14}}); },
                    make_opts(-40.0f, 0.0f, 5.0f, 0.0f, 0.0f),
                    {{1.0f, 7.0f, kLoud}, {7.01f, 14.0f, kLoud}}},
        ChapterCase{"HugeMinimumSilenceNeverCloses", [] { return bursts(20, {{1, 7}, {12, 18}}); },
                    make_opts(-40.0f, 1e30f, 5.0f, 0.25f, 0.0f), {{0.75f, 20.0f, kLoud}}},
        ChapterCase{"InfiniteMinimumSilenceNeverCloses",
                    [] { return bursts(20, {{1, 7}, {12, 18}}); },
                    make_opts(-40.0f, kInf, 5.0f, 0.25f, 0.0f), {{0.75f, 20.0f, kLoud}}},
        ChapterCase{"ChapterOfExactlyMinimumLengthKept", [] { return bursts(20, {{2, 7}}); },
                    make_opts(-40.0f, 0.8f, 5.0f, 0.0f, 0.0f), {{2.0f, 7.0f, kLoud}}},
        ChapterCase{"ShorterChapterDropped", [] { return bursts(20, {{2, 6.99}, {9, 15}}); },
                    make_opts(-40.0f, 0.8f, 5.0f, 0.0f, 0.0f), {{9.0f, 15.0f, kLoud}}},
        ChapterCase{"AllChaptersDropped", [] { return bursts(20, {{2, 6.99}}); }, kDefaults, {}}),
    [](const ::testing::TestParamInfo<ChapterCase> &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Refinement, DetectChapters,
    ::testing::Values(
        ChapterCase{"PaddedByQuarterSecond", [] { return bursts(20, {{2, 9}}); }, kDefaults,
                    {{1.75f, 9.25f, kLoud}}},
        ChapterCase{"PaddingStopsAtBothEnds", [] { return bursts(10, {{0.1, 9.9}}); },
                    make_opts(-40.0f, 0.05f, 5.0f, 0.25f, 0.0f), {{0.0f, 10.0f, kLoud}}},
        ChapterCase{"NegativePaddingShrinks", [] { return bursts(20, {{2, 9}}); },
                    make_opts(-40.0f, 0.8f, 5.0f, -0.5f, 0.0f), {{2.5f, 8.5f, kLoud}}},
        // A pad more negative than half a chapter would turn it inside out:
        // such a chapter is gone, the others stay; shrinking to exactly
        // nothing still keeps it.
        ChapterCase{"InsideOutByNegativePaddingDropped",
                    [] { return bursts(20, {{2, 7}, {9, 17}}); },
                    make_opts(-40.0f, 0.8f, 5.0f, -3.0f, 0.0f), {{12.0f, 14.0f, kLoud}}},
        ChapterCase{"EveryChapterInsideOutGivesNone", [] { return bursts(20, {{2, 9}}); },
                    make_opts(-40.0f, 0.8f, 5.0f, -4.0f, 0.0f), {}},
        ChapterCase{"ShrunkToNothingStays", [] { return bursts(20, {{2, 8}}); },
                    make_opts(-40.0f, 0.8f, 5.0f, -3.0f, 0.0f), {{5.0f, 5.0f, kLoud}}},
        ChapterCase{"OneSecondApartMerge",
                    [] {
                        std::vector<float> s = sigtest::silence(20);
                        add_burst(s, 1, 7, 0.25f);
                        add_burst(s, 8, 14, 0.5f);
                        return s;
                    },
                    kDefaults, {{0.75f, 14.25f, kLoud}}},
        ChapterCase{"TwoSecondsApartStayTwo", [] { return bursts(20, {{1, 7}, {9, 15}}); },
                    kDefaults, {{0.75f, 7.25f, kLoud}, {8.75f, 15.25f, kLoud}}},
        ChapterCase{"TouchingStayApartWithZeroMinimumSilence",
                    [] { return bursts(20, {{1, 7}, {7.5, 14}}); },
                    make_opts(-40.0f, 0.0f, 5.0f, 0.25f, 0.0f),
                    {{0.75f, 7.25f, kLoud}, {7.25f, 14.25f, kLoud}}},
        ChapterCase{"OverlappingMergeWithZeroMinimumSilence",
                    [] { return bursts(20, {{1, 7}, {7.4, 14}}); },
                    make_opts(-40.0f, 0.0f, 5.0f, 0.25f, 0.0f), {{0.75f, 14.25f, kLoud}}},
        ChapterCase{"OverlapKeptWithNegativeMinimumSilence",
                    [] { return bursts(10, {{1, 3}, {5, 7}}); },
                    make_opts(-40.0f, -100.0f, 0.0f, 3.0f, 0.0f),
                    {{0.0f, 6.0f, kLoud}, {2.0f, 10.0f, kLoud}}},
        ChapterCase{"SplitIntoThreeAtTenSeconds", [] { return bursts(30, {{0.5, 25.5}}); },
                    with_max(10.0f),
                    {{0.5f, 10.5f, kLoud}, {10.5f, 20.5f, kLoud}, {20.5f, 25.5f, kLoud}}},
        ChapterCase{"ExactlyTenSecondsStaysWhole", [] { return bursts(30, {{1, 11}}); },
                    with_max(10.0f), {{1.0f, 11.0f, kLoud}}},
        ChapterCase{"TenAndAHalfSecondsCutInTwo", [] { return bursts(30, {{1, 11.5}}); },
                    with_max(10.0f), {{1.0f, 11.0f, kLoud}, {11.0f, 11.5f, kLoud}}},
        ChapterCase{"ZeroMaximumCutsNothing", [] { return bursts(30, {{0.5, 25.5}}); },
                    with_max(0.0f), {{0.5f, 25.5f, kLoud}}},
        ChapterCase{"NegativeMaximumCutsNothing", [] { return bursts(30, {{0.5, 25.5}}); },
                    with_max(-5.0f), {{0.5f, 25.5f, kLoud}}}),
    [](const ::testing::TestParamInfo<ChapterCase> &info) { return std::string(info.param.name); });

// One silent frame closes a chapter; nothing is padded, dropped or merged.
const sil_opts kEveryBurst = make_opts(-40.0f, 0.0f, 0.0f, 0.0f, 0.0f);

TEST(ChapterLimit, TenThousandChaptersAreReturned) {
    Detection d = sigtest::detect(sigtest::comb(10000, 2, 2), kEveryBurst);
    ASSERT_EQ(0, d.rc) << d.error;
    ASSERT_EQ(10000u, d.chapters.size());
    EXPECT_EQ(0.0f, d.chapters[0].t0);
    EXPECT_FLOAT_EQ(0.02f, d.chapters[0].t1);
    EXPECT_FLOAT_EQ(frame_time(4 * 9999 - 1), d.chapters[9999].t0);
    EXPECT_FLOAT_EQ(frame_time(4 * 9999 + 2), d.chapters[9999].t1);
    EXPECT_FLOAT_EQ(kLoud, d.chapters[9999].peak_db);
}

void expect_limit_failure(const Detection &d) {
    EXPECT_EQ(-1, d.rc);
    EXPECT_EQ("chapter count exceeds 10000", d.error);
    EXPECT_TRUE(d.list_null);
    EXPECT_TRUE(d.chapters.empty());
    EXPECT_EQ(0.0f, d.removed_s);
}

TEST(ChapterLimit, TenThousandAndOneChaptersFail) {
    const std::vector<float> s = sigtest::comb(10001, 2, 2);
    Detection d = sigtest::detect(s, kEveryBurst);
    expect_limit_failure(d);
    EXPECT_EQ(duration_of(s.size()), d.duration_s);
}

TEST(ChapterLimit, AppliesToTheMergedCount) {
    // 10001 candidates; padding of 4 ms joins the first two (one frame apart)
    // and no others (two frames apart).
    Detection d = sigtest::detect(sigtest::comb(10001, 2, 3), make_opts(-40.0f, 0.005f, 0.0f, 0.004f, 0.0f));
    ASSERT_EQ(0, d.rc) << d.error;
    ASSERT_EQ(10000u, d.chapters.size());
    EXPECT_EQ(0.0f, d.chapters[0].t0);
    EXPECT_FLOAT_EQ(0.064f, d.chapters[0].t1);
    EXPECT_FLOAT_EQ(0.076f, d.chapters[1].t0);
}

TEST(ChapterLimit, SplittingBeyondTheLimitFailsInBoundedTime) {
    struct {
        const char *name;
        float max_chapter_s;
    } cases[] = {
        {"15000 pieces of 10 ms", 0.01f},
        {"a maximum that stops moving the start", 1e-7f},
        {"a maximum far below any step", 1e-30f},
    };
    const std::vector<float> s = bursts(160, {{0, 150}});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        expect_limit_failure(sigtest::detect(s, make_opts(-40.0f, 0.8f, 5.0f, 0.0f, c.max_chapter_s)));
    }
}

TEST(DetectProgress, PercentIsFortyPlusFractionOfFiftyFive) {
    // 901280 samples are 5632 frames; at frame 3072 the fraction 3072 / 5632
    // times 55 lies just under 30.
    ProgressLog log;
    sil_progress p = sigtest::progress_for(&log);
    Detection d = sigtest::detect(std::vector<float>(901280, 0.0f), kDefaults, &p);
    ASSERT_EQ(0, d.rc);
    EXPECT_FLOAT_EQ(56.33f, d.duration_s);
    EXPECT_FLOAT_EQ(56.33f, d.removed_s);
    const std::vector<ProgressCall> want = {{40, "detect"}, {50, "detect"}, {60, "detect"},
                                            {69, "detect"}, {80, "detect"}, {90, "detect"},
                                            {95, "detect"}};
    EXPECT_EQ(want, log.calls);
}

TEST(DetectProgress, CancelFailsWithNothingHandedOut) {
    const std::vector<float> s = bursts(60, {{1, 20}, {30, 50}});
    for (int cancel_at : {0, 1, 2}) {
        SCOPED_TRACE(cancel_at);
        ProgressLog log;
        log.cancel_at = cancel_at;
        sil_progress p = sigtest::progress_for(&log);
        Detection d = sigtest::detect(s, kDefaults, &p);
        EXPECT_EQ(-1, d.rc);
        EXPECT_EQ("cancelled", d.error);
        EXPECT_TRUE(d.list_null);
        EXPECT_TRUE(d.chapters.empty());
        EXPECT_EQ(0.0f, d.removed_s);
        EXPECT_EQ(cancel_at == 0 ? -7.0f : 60.0f, d.duration_s);
        EXPECT_EQ(static_cast<size_t>(cancel_at + 1), log.calls.size());
    }
}

} // namespace
