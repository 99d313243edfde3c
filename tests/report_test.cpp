// sil_build_analyze_json: the exact report texts.
#include "engine.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Built {
    bool null;
    std::string text;
};

Built build(int rate, float duration, const std::vector<sil_chapter> &chapters, int count,
            float removed) {
    char *t = sil_build_analyze_json(rate, duration, chapters.empty() ? nullptr : chapters.data(),
                                     count, removed);
    Built b{t == nullptr, t ? t : ""};
    std::free(t);
    return b;
}

struct ReportCase {
    const char *name;
    int rate;
    float duration;
    std::vector<sil_chapter> chapters;
    int count;
    float removed;
    const char *want;
};

void PrintTo(const ReportCase &c, std::ostream *os) { *os << c.name; }

class ReportText : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportText, IsExactlyTheCompactJson) {
    const ReportCase &c = GetParam();
    sil_set_error("earlier message");
    Built b = build(c.rate, c.duration, c.chapters, c.count, c.removed);
    ASSERT_FALSE(b.null) << sil_get_error();
    EXPECT_EQ(c.want, b.text);
    EXPECT_STREQ("earlier message", sil_get_error());
}

INSTANTIATE_TEST_SUITE_P(
    Reports, ReportText,
    ::testing::Values(
        ReportCase{"NoChapter", 16000, 2.5f, {}, 0, 0.0f,
                   R"({"sample_rate":16000,"duration_s":2.5,"silences_removed_s":0.0,"chapters":[]})"},
        ReportCase{"NegativeCountIsNoChapter", 16000, 2.5f, {}, -3, 0.0f,
                   R"({"sample_rate":16000,"duration_s":2.5,"silences_removed_s":0.0,"chapters":[]})"},
        ReportCase{"OneChapter", 44100, 12.0f, {{0.5f, 10.25f, -3.5f}}, 1, 2.25f,
                   R"({"sample_rate":44100,"duration_s":12.0,"silences_removed_s":2.25,)"
                   R"("chapters":[{"i":1,"t0":0.5,"t1":10.25,"dur":9.75,"peak_db":-3.5}]})"},
        ReportCase{"SinglePrecisionValuesWidened", 16000, 0.8f, {{1.1f, 3.3f, -120.0f}}, 1, 0.1f,
                   R"({"sample_rate":16000,"duration_s":0.800000011920929,)"
                   R"("silences_removed_s":0.10000000149011612,"chapters":[{"i":1,)"
                   R"("t0":1.100000023841858,"t1":3.299999952316284,)"
                   R"("dur":2.1999998092651367,"peak_db":-120.0}]})"},
        ReportCase{"ChaptersWrittenAsTheyCome", -5, 0.0f,
                   {{5.0f, 6.0f, -1.0f}, {1.0f, 9.0f, -2.0f}, {0.3f, 9.75f, -6.02f}}, 3, 0.0f,
                   R"({"sample_rate":-5,"duration_s":0.0,"silences_removed_s":0.0,"chapters":[)"
                   R"({"i":1,"t0":5.0,"t1":6.0,"dur":1.0,"peak_db":-1.0},)"
                   R"({"i":2,"t0":1.0,"t1":9.0,"dur":8.0,"peak_db":-2.0},)"
                   R"({"i":3,"t0":0.30000001192092896,"t1":9.75,"dur":9.449999809265137,)"
                   R"("peak_db":-6.019999980926514}]})"},
        ReportCase{"OnlyCountRecordsAreRead", 8000, 1.0f, {{0.0f, 1.0f, 0.0f}, {2.0f, 3.0f, 0.0f}},
                   1, 0.0f,
                   R"({"sample_rate":8000,"duration_s":1.0,"silences_removed_s":0.0,)"
                   R"("chapters":[{"i":1,"t0":0.0,"t1":1.0,"dur":1.0,"peak_db":0.0}]})"}),
    [](const ::testing::TestParamInfo<ReportCase> &info) { return std::string(info.param.name); });

TEST(ReportBuilder, ChapterNumbersCountOnPast999) {
    std::vector<sil_chapter> many(1001, sil_chapter{1.0f, 2.0f, -10.0f});
    Built b = build(16000, 3.0f, many, 1001, 0.0f);
    ASSERT_FALSE(b.null);
    EXPECT_NE(std::string::npos, b.text.find(R"({"i":999,"t0":1.0,)"));
    EXPECT_NE(std::string::npos, b.text.find(R"({"i":1000,"t0":1.0,)"));
    const std::string last = R"({"i":1001,"t0":1.0,"t1":2.0,"dur":1.0,"peak_db":-10.0}]})";
    ASSERT_GE(b.text.size(), last.size());
    EXPECT_EQ(last, b.text.substr(b.text.size() - last.size()));
}

TEST(ReportBuilder, NonFiniteValueFailsTheWrite) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct {
        const char *name;
        float duration, removed;
        sil_chapter chapter;
    } cases[] = {
        {"duration not a number", nan, 0.0f, {0.0f, 1.0f, -3.0f}},
        {"removed infinite", 2.0f, inf, {0.0f, 1.0f, -3.0f}},
        {"start not a number", 2.0f, 0.0f, {nan, 1.0f, -3.0f}},
        {"end infinite", 2.0f, 0.0f, {0.0f, inf, -3.0f}},
        {"peak minus infinity", 2.0f, 0.0f, {0.0f, 1.0f, -inf}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sil_clear_error();
        Built b = build(16000, c.duration, {c.chapter}, 1, c.removed);
        EXPECT_TRUE(b.null);
        EXPECT_STREQ("json write failed", sil_get_error());
    }
}

} // namespace
