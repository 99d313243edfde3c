// The review page's parts: level quantising and tiers, the text encodings, and
// the page's data block.
#include "review_page.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <random>
#include <string>
#include <vector>

using namespace silsplit_cli;

namespace {

const char kReport[] =
    R"({"sample_rate":16000,"duration_s":30.0,"silences_removed_s":4.5,"chapters":[)"
    R"({"i":1,"t0":0.5,"t1":10.25,"dur":9.75,"peak_db":-3.5},)"
    R"({"i":2,"t0":12.0,"t1":29.0,"dur":17.0,"peak_db":-6.0}]})";

// The data block of a page, parsed; NULL when there is none or it is not JSON.
yyjson_doc *page_data(const std::string &page) {
    const std::string open = "<script id=\"review-data\" type=\"application/json\">";
    size_t a = page.find(open);
    if (a == std::string::npos)
        return nullptr;
    a += open.size();
    size_t b = page.find("</script>", a);
    if (b == std::string::npos)
        return nullptr;
    return yyjson_read(page.data() + a, b - a, 0);
}

struct DataDoc {
    explicit DataDoc(const std::string &page) : doc(page_data(page)) {}
    ~DataDoc() { yyjson_doc_free(doc); }
    yyjson_val *get(const char *key) const { return yyjson_obj_get(yyjson_doc_get_root(doc), key); }
    yyjson_doc *doc;
};

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A report with a level curve of n values cycling through the given levels.
std::string report_with_levels(size_t n, const std::vector<double> &cycle) {
    std::string text =
        std::string(kReport, sizeof kReport - 2) + R"(,"levels":{"hop_s":0.01,"db":[)";
    char buf[32];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, "%s%.1f", i ? "," : "", cycle[i % cycle.size()]);
        text += buf;
    }
    return text + "]}}";
}

} // namespace

// ---------------------------------------------------------------------------
// Levels
// ---------------------------------------------------------------------------

struct QuantizeCase {
    const char *name;
    double db;
    int expected;
};

class Quantize : public testing::TestWithParam<QuantizeCase> {};

TEST_P(Quantize, NearestStepClampedToAByte) {
    EXPECT_EQ(quantize_level(GetParam().db), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, Quantize,
    testing::Values(QuantizeCase{"floor", -120.0, 0}, QuantizeCase{"below_floor", -180.0, 0},
                    QuantizeCase{"nan", NAN, 0}, QuantizeCase{"minus_infinity", -INFINITY, 0},
                    QuantizeCase{"rounds_up", -119.7, 1}, QuantizeCase{"rounds_down", -119.8, 0},
                    QuantizeCase{"threshold", -40.0, 160}, QuantizeCase{"full_scale", 0.0, 240},
                    QuantizeCase{"top", 7.5, 255}, QuantizeCase{"above_top", 30.0, 255},
                    QuantizeCase{"infinity", INFINITY, 255}),
    [](const testing::TestParamInfo<QuantizeCase> &info) { return info.param.name; });

// Every tier's pairs are the min and max of the quantised levels in its
// buckets, whatever the tier.
TEST(LevelTiers, EachBucketHoldsTheMinAndMaxOfItsLevels) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> level(-125.0, 5.0);
    const size_t n = kCoarsestBuckets * 16 + 5; // three tiers, the last buckets partial
    std::vector<double> db(n);
    for (double &v : db)
        v = level(rng);
    std::vector<LevelTier> tiers = level_tiers(db.data(), n);
    ASSERT_EQ(tiers.size(), 4u);
    for (size_t k = 0; k < tiers.size(); ++k) {
        const LevelTier &t = tiers[k];
        EXPECT_EQ(t.bucket, int64_t(1) << (2 * k));
        size_t count = (n + t.bucket - 1) / t.bucket;
        ASSERT_EQ(t.min_max.size(), 2 * count);
        for (size_t b = 0; b < count; ++b) {
            uint8_t lo = 255, hi = 0;
            for (size_t i = b * t.bucket; i < std::min(n, (b + 1) * t.bucket); ++i) {
                lo = std::min(lo, quantize_level(db[i]));
                hi = std::max(hi, quantize_level(db[i]));
            }
            ASSERT_EQ(t.min_max[2 * b], lo) << "tier " << k << " bucket " << b;
            ASSERT_EQ(t.min_max[2 * b + 1], hi) << "tier " << k << " bucket " << b;
        }
    }
    EXPECT_LE(tiers.back().min_max.size() / 2, kCoarsestBuckets);
}

struct TierSizeCase {
    const char *name;
    size_t n;
    int64_t finest_bucket;
};

class TierSizes : public testing::TestWithParam<TierSizeCase> {};

// Short recordings keep the whole 10 ms curve; long ones the finest bucket
// that fits, and the coarsest tier is small enough to draw the whole view
// from at once.
TEST_P(TierSizes, FinestTierWithinItsLimit) {
    std::vector<double> db(GetParam().n, -30.0);
    std::vector<LevelTier> tiers = level_tiers(db.data(), db.size());
    if (GetParam().n == 0) {
        EXPECT_TRUE(tiers.empty());
        return;
    }
    ASSERT_FALSE(tiers.empty());
    EXPECT_EQ(tiers.front().bucket, GetParam().finest_bucket);
    EXPECT_LE(tiers.front().min_max.size() / 2, kFinestBuckets);
    EXPECT_LE(tiers.back().min_max.size() / 2, kCoarsestBuckets);
    size_t bytes = 0;
    for (const LevelTier &t : tiers)
        bytes += t.min_max.size();
    EXPECT_LE(bytes, 3 * kFinestBuckets); // 2 per finest bucket plus a third for the rest
}

INSTANTIATE_TEST_SUITE_P(
    Levels, TierSizes,
    testing::Values(TierSizeCase{"empty", 0, 1}, TierSizeCase{"one", 1, 1},
                    TierSizeCase{"talk_26s", 2634, 1}, TierSizeCase{"limit", kFinestBuckets, 1},
                    TierSizeCase{"just_over", kFinestBuckets + 1, 2},
                    TierSizeCase{"ten_hours", 3600000, 4}, TierSizeCase{"day", 8640000, 16}),
    [](const testing::TestParamInfo<TierSizeCase> &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Encodings
// ---------------------------------------------------------------------------

TEST(Encodings, Base64MatchesTheStandardVectors) {
    const char *const plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char *const coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int k = 0; k < 7; ++k)
        EXPECT_EQ(base64((const uint8_t *)plain[k], strlen(plain[k])), coded[k]) << plain[k];
    const uint8_t high[] = {0xff, 0xfe, 0x00};
    EXPECT_EQ(base64(high, 3), "//4A");
}

TEST(Encodings, PathUrlEscapesAllButPlainBytes) {
    EXPECT_EQ(path_url("../audio/talk.wav"), "../audio/talk.wav");
    EXPECT_EQ(path_url("/srv/my book/ch#1?.wav"), "/srv/my%20book/ch%231%3F.wav");
    EXPECT_EQ(path_url("caf\xc3\xa9 100%.wav"), "caf%C3%A9%20100%25.wav");
    EXPECT_EQ(path_url("//srv/book.wav"), "/srv/book.wav"); // never a host name
}

TEST(Encodings, ShellQuoteLeavesPlainWordsAlone) {
    EXPECT_EQ(shell_quote("--threshold-db"), "--threshold-db");
    EXPECT_EQ(shell_quote("-35.5"), "-35.5");
    EXPECT_EQ(shell_quote("out/talk.wav"), "out/talk.wav");
    EXPECT_EQ(shell_quote(""), "''");
    EXPECT_EQ(shell_quote("my talk.wav"), "'my talk.wav'");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    EXPECT_EQ(shell_quote("{\"min_chapter_s\":2}"), "'{\"min_chapter_s\":2}'");
    EXPECT_EQ(shell_command({"silsplit", "analyze", "-f", "html", "a b.wav"}),
              "silsplit analyze -f html 'a b.wav'");
}

// A name whose bytes are not UTF-8 (a Latin-1 byte), or that holds control
// characters, is written byte for byte in $'...', so that the pasted line
// names that very file and a terminal shows it as it is.
TEST(Encodings, ShellQuoteKeepsBytesThatAreNotText) {
    EXPECT_EQ(shell_quote("caf\xe9.wav"), "$'caf\\xe9.wav'");
    EXPECT_EQ(shell_quote("caf\xc3\xa9.wav"), "'caf\xc3\xa9.wav'"); // UTF-8 stays as it is
    EXPECT_EQ(shell_quote("it's caf\xe9\x1b[2J\\"), "$'it\\'s caf\\xe9\\x1b[2J\\\\'");
    EXPECT_EQ(shell_quote("a\xc2\x85" "b"), "$'a\\xc2\\x85b'"); // C1 NEL
}

TEST(Paths, PathFromThePageFolder) {
    EXPECT_EQ(path_from("talk.wav", "."), "talk.wav");
    EXPECT_EQ(path_from("audio/talk.wav", "out"), "../audio/talk.wav");
    EXPECT_EQ(path_from("/x/y.wav", "/x/out/deep"), "../../y.wav");
    EXPECT_EQ(path_from("/x/out/y.wav", "/x/out"), "y.wav");
}

TEST(Options, ReviewOptionsAskForLevelsAndPauses) {
    EXPECT_EQ(review_options(""), R"({"report_levels":true,"report_pauses":true})");
    EXPECT_EQ(review_options(R"({"min_chapter_s":2,"report_levels":false})"),
              R"({"min_chapter_s":2,"report_levels":true,"report_pauses":true})");
}

// ---------------------------------------------------------------------------
// The page
// ---------------------------------------------------------------------------

TEST(Page, NotAReportGivesNoPage) {
    for (const char *text : {"", "[]", "{}", "{\"sample_rate\":1}", "not json"})
        EXPECT_EQ(review_page(text, "talk.wav", "", "silsplit"), "") << text;
}

TEST(Page, DataBlockHoldsTheReportOptionsAndCommand) {
    std::string page =
        review_page(kReport, "audio/my talk.wav", R"({"min_chapter_s":2,"keep_all":true})",
                    "silsplit analyze -f html 'audio/my talk.wav'");
    ASSERT_FALSE(page.empty());
    EXPECT_EQ(page.find("@REVIEW_DATA@"), std::string::npos);
    DataDoc data(page);
    ASSERT_TRUE(data.doc);
    EXPECT_STREQ(yyjson_get_str(data.get("file")), "my talk.wav");
    EXPECT_STREQ(yyjson_get_str(data.get("audio")), "audio/my%20talk.wav");
    EXPECT_EQ(yyjson_arr_size(data.get("chapters")), 2u);
    yyjson_val *second = yyjson_arr_get(data.get("chapters"), 1);
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(second, "t0")), 12.0);
    EXPECT_EQ(yyjson_get_num(data.get("threshold_db")), -40.0); // the default
    EXPECT_EQ(data.get("levels"), nullptr);
    EXPECT_EQ(data.get("pauses"), nullptr);
    // The defaults, the given value in place of its default, then the rest.
    yyjson_val *options = data.get("options");
    ASSERT_EQ(yyjson_arr_size(options), 6u);
    EXPECT_STREQ(yyjson_get_str(yyjson_arr_get(yyjson_arr_get(options, 2), 0)), "min_chapter_s");
    EXPECT_EQ(yyjson_get_num(yyjson_arr_get(yyjson_arr_get(options, 2), 1)), 2.0);
    EXPECT_STREQ(yyjson_get_str(yyjson_arr_get(yyjson_arr_get(options, 5), 0)), "keep_all");
    EXPECT_STREQ(yyjson_get_str(data.get("command")),
                 "silsplit analyze -f html 'audio/my talk.wav'");

    DataDoc piped(review_page(kReport, "-", "", "silsplit analyze -f html -"));
    ASSERT_TRUE(piped.doc);
    EXPECT_STREQ(yyjson_get_str(piped.get("audio")), "");

    DataDoc automatic(review_page(kReport, "talk.wav", R"({"auto_threshold":true})", "silsplit"));
    ASSERT_TRUE(automatic.doc);
    yyjson_val *first = yyjson_arr_get(automatic.get("options"), 0);
    EXPECT_STREQ(yyjson_get_str(yyjson_arr_get(first, 0)), "threshold_db");
    EXPECT_STREQ(yyjson_get_str(yyjson_arr_get(first, 1)), "auto");

    // The values auto chose, from the report, in place of the defaults; a
    // value given stays as given.
    const std::string chose = std::string(kReport, sizeof kReport - 2) +
                              R"(,"threshold_db":-52.25,"min_silence_s_used":1.18})";
    auto option = [](DataDoc &page, const char *key) -> std::string {
        size_t idx, max;
        yyjson_val *pair;
        yyjson_arr_foreach(page.get("options"), idx, max, pair) {
            if (strcmp(yyjson_get_str(yyjson_arr_get(pair, 0)), key) != 0)
                continue;
            yyjson_val *v = yyjson_arr_get(pair, 1);
            return yyjson_is_str(v) ? yyjson_get_str(v) : std::to_string(yyjson_get_num(v));
        }
        return "";
    };
    DataDoc chosen(review_page(chose, "book.m4b", R"({"auto":true})", "silsplit"));
    ASSERT_TRUE(chosen.doc);
    EXPECT_EQ(option(chosen, "threshold_db"), "auto: -52.2 dB");
    EXPECT_EQ(option(chosen, "min_silence_s"), "auto: 1.18 s");
    EXPECT_EQ(option(chosen, "padding_s"), "auto: 0 (the chapters meet)");
    DataDoc partly(review_page(chose, "book.m4b", R"({"auto":true,"min_silence_s":2.5})", "silsplit"));
    ASSERT_TRUE(partly.doc);
    EXPECT_EQ(option(partly, "min_silence_s"), "2.500000");
    // The CUE sheet the page saves names the file's type as -f cue does.
    EXPECT_STREQ(yyjson_get_str(chosen.get("cue_type")), "BINARY");
    DataDoc mp3(review_page(kReport, "talk.MP3", "", "silsplit"));
    EXPECT_STREQ(yyjson_get_str(mp3.get("cue_type")), "MP3");
    EXPECT_STREQ(yyjson_get_str(data.get("cue_type")), "WAVE");
}

// Text from the command line or a file name cannot end the data block early.
TEST(Page, MarkupInTextsStaysInsideTheDataBlock) {
    std::string plain = review_page(kReport, "talk.wav", "", "silsplit");
    std::string tricky = review_page(kReport, "<!--<script>.wav", R"({"note":"</script>"})",
                                     "silsplit analyze '</script><script>alert(1)</script>'");
    ASSERT_FALSE(tricky.empty());
    EXPECT_EQ(count_of(tricky, "</script>"), count_of(plain, "</script>"));
    EXPECT_EQ(count_of(tricky, "<!--"), count_of(plain, "<!--"));
    DataDoc data(tricky);
    ASSERT_TRUE(data.doc);
    EXPECT_STREQ(yyjson_get_str(data.get("file")), "<!--<script>.wav");
    EXPECT_STREQ(yyjson_get_str(data.get("command")),
                 "silsplit analyze '</script><script>alert(1)</script>'");
}

TEST(Page, ThresholdTrackAndPausesWhenWellFormed) {
    std::string base(kReport, sizeof kReport - 2);
    std::string good =
        base +
        R"(,"threshold_db":-43.5,"threshold_track":[{"t":0,"db":-45},{"t":20,"db":-42}],)"
        R"("pauses":[{"t0":10.25,"t1":12.0,"dur":1.75,"level_db":-70,"score":1.2,"rank":1}]})";
    DataDoc data(review_page(good, "talk.wav", R"({"threshold_db":-30})", "silsplit"));
    ASSERT_TRUE(data.doc);
    EXPECT_EQ(yyjson_get_num(data.get("threshold_db")), -43.5); // the report's wins
    EXPECT_EQ(yyjson_arr_size(data.get("threshold_track")), 2u);
    EXPECT_EQ(yyjson_arr_size(data.get("pauses")), 1u);

    std::string bad = base + R"(,"threshold_track":[{"t":0}],"pauses":[{"t0":1,"t1":2}]})";
    DataDoc dropped(review_page(bad, "talk.wav", R"({"threshold_db":-30})", "silsplit"));
    ASSERT_TRUE(dropped.doc);
    EXPECT_EQ(yyjson_get_num(dropped.get("threshold_db")), -30.0); // the options'
    EXPECT_EQ(dropped.get("threshold_track"), nullptr);
    EXPECT_EQ(dropped.get("pauses"), nullptr);
}

TEST(Page, LevelCurveBecomesTiers) {
    DataDoc data(
        review_page(report_with_levels(3000, {-20.0, -80.0, -119.7}), "talk.wav", "", "s"));
    ASSERT_TRUE(data.doc);
    yyjson_val *levels = data.get("levels");
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(levels, "hop_s")), 0.01);
    EXPECT_EQ(yyjson_get_uint(yyjson_obj_get(levels, "n")), 3000u);
    yyjson_val *tiers = yyjson_obj_get(levels, "tiers");
    ASSERT_EQ(yyjson_arr_size(tiers), 2u); // 3000 buckets, then 750
    yyjson_val *finest = yyjson_arr_get(tiers, 0);
    EXPECT_EQ(yyjson_get_int(yyjson_obj_get(finest, "bucket")), 1);
    // Pairs (200,200), (80,80), (1,1): bytes C8 C8 50 50 01 01.
    EXPECT_EQ(std::string(yyjson_get_str(yyjson_obj_get(finest, "data"))).substr(0, 8), "yMhQUAEB");
}

// Ten hours of 10 ms levels make a page of a few megabytes.
TEST(Page, TenHourCurveStaysUnderFiveMegabytes) {
    std::vector<double> cycle;
    for (int k = 0; k < 997; ++k)
        cycle.push_back(-100.0 + (k * 37 % 97));
    std::string page = review_page(report_with_levels(3600000, cycle), "talk.wav", "", "silsplit");
    ASSERT_FALSE(page.empty());
    EXPECT_LT(page.size(), 5u * 1000 * 1000);
    EXPECT_GT(page.size(), 2u * 1000 * 1000); // the 40 ms tier is there
}

// ---------------------------------------------------------------------------
// Sound the chapters leave out
// ---------------------------------------------------------------------------

struct LeftOutCase {
    const char *name;
    std::vector<double> db; // one level per 10 ms
    std::vector<ThresholdPoint> track;
    std::vector<TimeSpan> chapters;
    std::vector<TimeSpan> expected;
};

void PrintTo(const LeftOutCase &c, std::ostream *os) { *os << c.name; }

class LeftOut : public testing::TestWithParam<LeftOutCase> {};

TEST_P(LeftOut, SoundOutsideTheChapters) {
    const LeftOutCase &c = GetParam();
    std::vector<TimeSpan> got =
        left_out_spans(c.db.data(), c.db.size(), 0.01, c.track, -40.0, c.chapters);
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_NEAR(got[k].t0, c.expected[k].t0, 1e-9) << k;
        EXPECT_NEAR(got[k].t1, c.expected[k].t1, 1e-9) << k;
    }
}

// Levels: q quiet (-60), L loud (-20), E exactly at the threshold (-40).
std::vector<double> levels_of(const char *pattern) {
    std::vector<double> out;
    for (const char *p = pattern; *p; ++p)
        out.push_back(*p == 'L' ? -20.0 : *p == 'E' ? -40.0 : -60.0);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Page, LeftOut,
    testing::Values(
        LeftOutCase{"all_inside", levels_of("qqLLLLqq"), {}, {{0.0, 0.08}}, {}},
        LeftOutCase{"none_covered", levels_of("qqLLqq"), {}, {}, {{0.02, 0.04}}},
        LeftOutCase{"at_the_threshold_counts", levels_of("qEEq"), {}, {}, {{0.01, 0.03}}},
        // A chapter ending inside a stretch leaves its rest; one starting in a
        // stretch leaves what comes before it.
        LeftOutCase{"clipped_by_chapters",
                    levels_of("LLLLqqqqLLLL"),
                    {},
                    {{0.02, 0.05}, {0.10, 0.12}},
                    {{0.0, 0.02}, {0.08, 0.10}}},
        // Stretches 50 ms apart make one; with a chapter between they stay two.
        LeftOutCase{"joined_across_short_gaps", levels_of("LLqqqqqLL"), {}, {}, {{0.0, 0.09}}},
        LeftOutCase{"not_joined_across_a_chapter",
                    levels_of("LLqqqqqLL"),
                    {},
                    {{0.03, 0.04}},
                    {{0.0, 0.02}, {0.07, 0.09}}},
        LeftOutCase{"longer_gaps_split",
                    levels_of("LLqqqqqqqqqqqLL"),
                    {},
                    {},
                    {{0.0, 0.02}, {0.13, 0.15}}},
        // A chapter edge between frames leaves no sliver of under half a hop.
        LeftOutCase{"half_a_hop_stays", levels_of("LLLL"), {}, {{0.0, 0.034}}, {{0.034, 0.04}}},
        LeftOutCase{"sliver_dropped", levels_of("LLLL"), {}, {{0.0, 0.0385}}, {}},
        // A threshold track rising from -50 to -10 dB over the curve: the
        // loud frames count until it passes -20 dB.
        LeftOutCase{"along_the_track",
                    levels_of("LLLLLLLLLL"),
                    {{0.0, -50.0}, {0.1, -10.0}},
                    {},
                    {{0.0, 0.08}}}),
    [](const testing::TestParamInfo<LeftOutCase> &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// What the editor reads
// ---------------------------------------------------------------------------

TEST(Page, ChapterTitlesConfidenceSnapSpeechAndTheApplyCommand) {
    std::string report =
        R"({"sample_rate":16000,"duration_s":0.1,"silences_removed_s":0.05,"chapters":[)"
        R"({"i":1,"t0":0.0,"t1":0.03,"dur":0.03,"peak_db":-20,"title":"</script><b>1</b>","confidence":0.25,"snap":"weak"},)"
        R"({"i":2,"t0":0.08,"t1":0.1,"dur":0.02,"peak_db":-20}],)"
        R"("levels":{"hop_s":0.01,"db":[-20,-20,-20,-60,-20,-20,-60,-60,-20,-20]},)"
        R"("speech":{"hop_s":0.032,"p":[0,0.5,1,0.9975,0.0026]}})";
    std::string page = review_page(report, "../b c.wav", "", "silsplit split --review 'b c.wav' out",
                                   "b c.wav", "out");
    EXPECT_EQ(count_of(page, "<b>"), 0u);
    DataDoc data(page);
    ASSERT_TRUE(data.doc);
    yyjson_val *first = yyjson_arr_get(data.get("chapters"), 0);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(first, "title")), "</script><b>1</b>");
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(first, "confidence")), 0.25);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(first, "snap")), "weak");
    yyjson_val *second = yyjson_arr_get(data.get("chapters"), 1);
    EXPECT_EQ(yyjson_obj_get(second, "title"), nullptr);
    EXPECT_EQ(yyjson_obj_get(second, "confidence"), nullptr);
    EXPECT_EQ(yyjson_obj_get(second, "snap"), nullptr);
    EXPECT_STREQ(yyjson_get_str(data.get("input")), "b c.wav");
    EXPECT_STREQ(yyjson_get_str(data.get("out_dir")), "out");
    EXPECT_STREQ(yyjson_get_str(data.get("input_arg")), "'b c.wav'");
    EXPECT_STREQ(yyjson_get_str(data.get("out_dir_arg")), "out");
    DataDoc latin1(review_page(report, "caf\xe9.wav", "", "silsplit", "caf\xe9.wav", "out"));
    ASSERT_TRUE(latin1.doc);
    EXPECT_STREQ(yyjson_get_str(latin1.get("input_arg")), "$'caf\\xe9.wav'");
    // The loud frames between the chapters: 0.04 to 0.06.
    yyjson_val *left = data.get("left_out");
    ASSERT_EQ(yyjson_arr_size(left), 2u);
    EXPECT_NEAR(yyjson_get_num(yyjson_arr_get(left, 0)), 0.04, 1e-9);
    EXPECT_NEAR(yyjson_get_num(yyjson_arr_get(left, 1)), 0.06, 1e-9);
    // Probabilities in steps of 0.005: 0, 100, 200, 200, 1.
    yyjson_val *speech = data.get("speech");
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(speech, "hop_s")), 0.032);
    EXPECT_EQ(yyjson_get_uint(yyjson_obj_get(speech, "n")), 5u);
    yyjson_val *finest = yyjson_arr_get(yyjson_obj_get(speech, "tiers"), 0);
    const uint8_t bytes[] = {0, 0, 100, 100, 200, 200, 200, 200, 1, 1};
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(finest, "data")), base64(bytes, 10).c_str());

    // Without levels or speech curves, neither is in the data.
    DataDoc plain(review_page(kReport, "talk.wav", "", "silsplit"));
    ASSERT_TRUE(plain.doc);
    EXPECT_EQ(plain.get("left_out"), nullptr);
    EXPECT_EQ(plain.get("speech"), nullptr);
    EXPECT_STREQ(yyjson_get_str(plain.get("input")), "");
}

// Ten hours of speech probabilities (one per 32 ms) add well under a
// megabyte to the page.
TEST(Page, TenHourSpeechCurveIsSmall) {
    const size_t n = 1125000;
    std::string report = std::string(kReport, sizeof kReport - 2) + R"(,"speech":{"hop_s":0.032,"p":[)";
    for (size_t i = 0; i < n; ++i)
        report += i % 7 < 3 ? (i ? ",0.9" : "0.9") : ",0.05";
    report += "]}}";
    std::string plain = review_page(kReport, "talk.wav", "", "silsplit");
    std::string page = review_page(report, "talk.wav", "", "silsplit");
    DataDoc data(page);
    ASSERT_TRUE(data.doc);
    yyjson_val *finest = yyjson_arr_get(yyjson_obj_get(data.get("speech"), "tiers"), 0);
    EXPECT_EQ(yyjson_get_int(yyjson_obj_get(finest, "bucket")), 8);
    EXPECT_LT(page.size() - plain.size(), 700u * 1000);
}
