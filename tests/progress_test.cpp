// sil_progress_report: clamping, a percent that never goes down, stage
// changes, cancellation.
#include "signal_helpers.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using sigtest::ProgressCall;
using sigtest::ProgressLog;

struct ReportCase {
    const char *name;
    int last_pct, stage;      // context before the report
    int pct, new_stage;       // the report
    bool called;              // does the callback hear it?
    int heard_pct;            // what it hears
    const char *heard_stage;
    int after_pct, after_stage; // context after the report
};

void PrintTo(const ReportCase &c, std::ostream *os) { *os << c.name; }

class ProgressReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ProgressReport, PassesOnOrDrops) {
    const ReportCase &c = GetParam();
    ProgressLog log;
    sil_progress p{sigtest::record_progress, &log, c.last_pct, c.stage};
    sil_set_error("untouched");
    EXPECT_EQ(0, sil_progress_report(&p, c.pct, c.new_stage));
    if (c.called) {
        ASSERT_EQ(1u, log.calls.size());
        EXPECT_EQ((ProgressCall{c.heard_pct, c.heard_stage}), log.calls[0]);
    } else {
        EXPECT_TRUE(log.calls.empty());
    }
    EXPECT_EQ(c.after_pct, p.last_pct);
    EXPECT_EQ(c.after_stage, p.stage);
    EXPECT_STREQ("untouched", sil_get_error());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressReport,
    ::testing::Values(
        ReportCase{"FirstReportAtZero", -1, 0, 0, 1, true, 0, "read", 0, 1},
        ReportCase{"LowerSameStageDropped", 40, 3, 30, 3, false, 0, "", 40, 3},
        ReportCase{"EqualSameStageDropped", 40, 3, 40, 3, false, 0, "", 40, 3},
        ReportCase{"HigherSameStage", 40, 3, 50, 3, true, 50, "detect", 50, 3},
        ReportCase{"StageChangeKeepsHigherPercent", 40, 3, 30, 4, true, 40, "done", 40, 4},
        ReportCase{"StageChangeAtSamePercent", 20, 1, 20, 2, true, 20, "resample", 20, 2},
        ReportCase{"AboveHundredClamped", 40, 3, 150, 3, true, 100, "detect", 100, 3},
        ReportCase{"HundredAgainDropped", 100, 4, 150, 4, false, 0, "", 100, 4},
        ReportCase{"BelowZeroClamped", -1, 0, -5, 1, true, 0, "read", 0, 1},
        ReportCase{"BelowZeroAfterProgressDropped", 40, 3, -5, 3, false, 0, "", 40, 3},
        ReportCase{"StageZeroNamedRead", -1, 0, 10, 0, true, 10, "read", 10, 0},
        ReportCase{"UnknownStageNamedRead", -1, 0, 10, 7, true, 10, "read", 10, 7}),
    [](const ::testing::TestParamInfo<ReportCase> &info) { return std::string(info.param.name); });

TEST(ProgressReportSequence, PercentNeverGoesDownAndUserIsHandedBack) {
    struct Seen {
        void *user = nullptr;
        std::vector<ProgressCall> calls;
    } seen;
    auto fn = [](int pct, const char *stage, void *user) {
        auto *s = static_cast<Seen *>(user);
        s->user = user;
        s->calls.push_back({pct, stage});
        return 0;
    };
    sil_progress p{fn, &seen, -1, 0};
    const int reports[][2] = {{0, 1}, {12, 1}, {12, 1}, {20, 2}, {15, 2}, {33, 2},
                              {40, 3}, {40, 3}, {95, 3}, {90, 3}, {100, 4}};
    for (const auto &r : reports) ASSERT_EQ(0, sil_progress_report(&p, r[0], r[1]));
    const std::vector<ProgressCall> want = {{0, "read"},    {12, "read"},     {20, "resample"},
                                            {33, "resample"}, {40, "detect"}, {95, "detect"},
                                            {100, "done"}};
    EXPECT_EQ(want, seen.calls);
    EXPECT_EQ(static_cast<void *>(&seen), seen.user);
}

TEST(ProgressReportCancel, AnyNonZeroReturnCancels) {
    for (int answer : {1, -1, 42}) {
        SCOPED_TRACE(answer);
        auto fn = [](int, const char *, void *user) { return *static_cast<int *>(user); };
        sil_progress p{fn, &answer, 10, 1};
        sil_clear_error();
        EXPECT_EQ(-1, sil_progress_report(&p, 30, 2));
        EXPECT_STREQ("cancelled", sil_get_error());
        EXPECT_EQ(30, p.last_pct);
        EXPECT_EQ(2, p.stage);
    }
}

TEST(ProgressReportNoCallback, NullContextOrFunctionDoesNothing) {
    EXPECT_EQ(0, sil_progress_report(nullptr, 50, 3));
    int marker = 0;
    sil_progress p{nullptr, &marker, 40, 3};
    sil_set_error("untouched");
    EXPECT_EQ(0, sil_progress_report(&p, 90, 4));
    EXPECT_EQ(40, p.last_pct);
    EXPECT_EQ(3, p.stage);
    EXPECT_STREQ("untouched", sil_get_error());
}

TEST(StageNames, FourNamesAndReadForOthers) {
    EXPECT_STREQ("read", sil_stage_name(1));
    EXPECT_STREQ("resample", sil_stage_name(2));
    EXPECT_STREQ("detect", sil_stage_name(3));
    EXPECT_STREQ("done", sil_stage_name(4));
    EXPECT_STREQ("read", sil_stage_name(0));
    EXPECT_STREQ("read", sil_stage_name(-3));
    EXPECT_STREQ("read", sil_stage_name(7));
}

} // namespace
