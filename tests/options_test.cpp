// The options text (sil_parse_opts) and the per-thread error text.
#include "engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <thread>

namespace {

sil_opts defaults() {
    sil_opts o;
    o.threshold_db = -40.0f;
    o.min_silence_s = 0.8f;
    o.min_chapter_s = 5.0f;
    o.padding_s = 0.25f;
    o.max_chapter_s = 0.0f;
    o.sample_rate = 16000;
    o.chapter_count = 0;
    o.auto_threshold = o.cut_at_pause = o.keep_all = o.report_pauses = o.report_levels = false;
    return o;
}

sil_opts garbage() {
    sil_opts o;
    o.threshold_db = 1.0f;
    o.min_silence_s = 2.0f;
    o.min_chapter_s = 3.0f;
    o.padding_s = 4.0f;
    o.max_chapter_s = 5.0f;
    o.sample_rate = 6;
    o.chapter_count = 7;
    o.auto_threshold = o.cut_at_pause = o.keep_all = o.report_pauses = o.report_levels = true;
    return o;
}

void expect_opts_eq(const sil_opts &want, const sil_opts &got) {
    EXPECT_EQ(want.threshold_db, got.threshold_db);
    EXPECT_EQ(want.min_silence_s, got.min_silence_s);
    EXPECT_EQ(want.min_chapter_s, got.min_chapter_s);
    EXPECT_EQ(want.padding_s, got.padding_s);
    EXPECT_EQ(want.max_chapter_s, got.max_chapter_s);
    EXPECT_EQ(want.sample_rate, got.sample_rate);
    EXPECT_EQ(want.chapter_count, got.chapter_count);
    EXPECT_EQ(want.auto_threshold, got.auto_threshold);
    EXPECT_EQ(want.cut_at_pause, got.cut_at_pause);
    EXPECT_EQ(want.keep_all, got.keep_all);
    EXPECT_EQ(want.report_pauses, got.report_pauses);
    EXPECT_EQ(want.report_levels, got.report_levels);
}

TEST(OptsDefaults, FillEveryField) {
    sil_opts o = garbage();
    sil_opts_defaults(&o);
    expect_opts_eq(defaults(), o);
}

TEST(ParseOpts, EmptyAndBlankObjectsGiveDefaults) {
    const char *texts[] = {nullptr, "", "{}", "{ }", " {}", "{} ", "\t{\n}\r\n"};
    for (const char *text : texts) {
        SCOPED_TRACE(text ? std::string("'") + text + "'" : "NULL");
        sil_opts o = garbage();
        sil_set_error("earlier");
        EXPECT_EQ(0, sil_parse_opts(text, &o));
        expect_opts_eq(defaults(), o);
    }
}

// A text past the limit is refused before its document is made; one at the
// limit is read.
TEST(ParseOpts, TextLongerThanTheLimitIsRefused) {
    std::string text(SIL_MAX_OPTIONS_TEXT - 17, ' ');
    text += "{\"padding_s\":0.5}";
    ASSERT_EQ(text.size(), SIL_MAX_OPTIONS_TEXT);
    sil_opts o = garbage();
    ASSERT_EQ(0, sil_parse_opts(text.c_str(), &o));
    EXPECT_EQ(0.5f, o.padding_s);
    text.insert(0, " ");
    EXPECT_EQ(-1, sil_parse_opts(text.c_str(), &o));
    EXPECT_STREQ("options text longer than 16 MiB", sil_get_error());
    EXPECT_EQ(SIL_ERR_ARGS, sil_error_code());
    expect_opts_eq(defaults(), o);
}

struct BadText {
    const char *name;
    const char *text;
    const char *message;
};

void PrintTo(const BadText &c, std::ostream *os) { *os << c.name; }

class ParseOptsRejects : public ::testing::TestWithParam<BadText> {};

TEST_P(ParseOptsRejects, WithMessageAndDefaults) {
    sil_opts o = garbage();
    sil_clear_error();
    EXPECT_EQ(-1, sil_parse_opts(GetParam().text, &o));
    EXPECT_STREQ(GetParam().message, sil_get_error());
    expect_opts_eq(defaults(), o);
}

const char kInvalid[] = "invalid options JSON";
const char kNotObject[] = "options must be a JSON object";

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseOptsRejects,
    ::testing::Values(BadText{"BracesThenLetter", "{}x", kInvalid},
                      BadText{"BracesThenSecondObject", "{} {}", kInvalid},
                      BadText{"OnlySpaces", "   ", kInvalid},
                      BadText{"TrailingComma", "{\"threshold_db\":-30,}", kInvalid},
                      BadText{"BlockComment", "/* c */{}", kInvalid},
                      BadText{"LineComment", "{\"padding_s\":1 // c\n}", kInvalid},
                      BadText{"NumberTooLargeForDouble", "{\"threshold_db\":1e400}", kInvalid},
                      BadText{"NaNLiteral", "{\"threshold_db\":NaN}", kInvalid},
                      BadText{"InfinityLiteral", "{\"max_chapter_s\":Infinity}", kInvalid},
                      BadText{"Unclosed", "{\"padding_s\":1", kInvalid},
                      BadText{"SingleQuotes", "{'padding_s':1}", kInvalid},
                      BadText{"Array", "[]", kNotObject},
                      BadText{"ArrayWithObject", " [{\"padding_s\":1}] ", kNotObject},
                      BadText{"Null", "null", kNotObject},
                      BadText{"Number", "3", kNotObject},
                      BadText{"String", "\"{}\"", kNotObject},
                      BadText{"Boolean", "true", kNotObject},
                      // The newer keys refuse a value of another type.
                      BadText{"FlagAsNumber", "{\"keep_all\":1}", "keep_all must be true or false"},
                      BadText{"FlagAsNullAfterGoodKeys",
                              "{\"threshold_db\":-30,\"report_pauses\":null}",
                              "report_pauses must be true or false"},
                      BadText{"CountAsString", "{\"chapter_count\":\"4\"}",
                              "chapter_count must be a whole number from 1 to 10000"},
                      BadText{"CountFraction", "{\"chapter_count\":1.5}",
                              "chapter_count must be a whole number from 1 to 10000"},
                      BadText{"FirstBadKeyInRecordOrder",
                              "{\"report_levels\":2,\"auto_threshold\":\"no\"}",
                              "auto_threshold must be true or false"}),
    [](const ::testing::TestParamInfo<BadText> &info) { return std::string(info.param.name); });

struct GoodText {
    const char *name;
    const char *text;
    sil_opts want;
};

sil_opts with(float sil_opts::*field, float v) {
    sil_opts o = defaults();
    o.*field = v;
    return o;
}

sil_opts with_flags(int32_t count) {
    sil_opts o = defaults();
    o.chapter_count = count;
    o.auto_threshold = o.keep_all = o.report_levels = true;
    return o;
}

sil_opts with_rate(int32_t rate) {
    sil_opts o = defaults();
    o.sample_rate = rate;
    return o;
}

sil_opts all_six() {
    sil_opts o = defaults();
    o.threshold_db = -35.5f;
    o.min_silence_s = 0.3f;
    o.min_chapter_s = 2.5f;
    o.padding_s = 0.1f;
    o.max_chapter_s = 600.0f;
    o.sample_rate = 44100;
    return o;
}

void PrintTo(const GoodText &c, std::ostream *os) { *os << c.name; }

class ParseOptsReads : public ::testing::TestWithParam<GoodText> {};

TEST_P(ParseOptsReads, TheFields) {
    sil_opts o = garbage();
    EXPECT_EQ(0, sil_parse_opts(GetParam().text, &o));
    expect_opts_eq(GetParam().want, o);
}

const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseOptsReads,
    ::testing::Values(
        GoodText{"AllSixFields",
                 "{\"threshold_db\":-35.5,\"min_silence_s\":0.3,\"min_chapter_s\":2.5,"
                 "\"padding_s\":0.1,\"max_chapter_s\":600,\"sample_rate\":44100}",
                 all_six()},
        GoodText{"NewerKeys",
                 "{\"auto_threshold\":true,\"cut_at_pause\":false,\"chapter_count\":12,"
                 "\"keep_all\":true,\"report_pauses\":false,\"report_levels\":true}",
                 with_flags(12)},
        GoodText{"NewerKeysFirstMemberWins",
                 "{\"auto_threshold\":true,\"auto_threshold\":0,\"chapter_count\":2e0,"
                 "\"chapter_count\":\"x\",\"keep_all\":true,\"report_levels\":true}",
                 with_flags(2)},
        GoodText{"StringValueKeepsDefault", "{\"threshold_db\":\"-10\"}", defaults()},
        GoodText{"BooleanValueKeepsDefault", "{\"padding_s\":true}", defaults()},
        GoodText{"FirstOfTwoMembersWins", "{\"threshold_db\":-30,\"threshold_db\":-20}",
                 with(&sil_opts::threshold_db, -30.0f)},
        GoodText{"NullFirstMemberKeepsDefault", "{\"threshold_db\":null,\"threshold_db\":-20}",
                 defaults()},
        GoodText{"KeysAreCaseSensitive", "{\"Threshold_db\":-10,\"PADDING_S\":1}", defaults()},
        GoodText{"NestedAndUnknownKeysIgnored",
                 "{\"x\":{\"threshold_db\":-10},\"y\":[{\"padding_s\":1}],\"z\":\"q\"}",
                 defaults()},
        GoodText{"EscapedKeyMatches", "{\"pad\\u0064ing_s\":1}", with(&sil_opts::padding_s, 1.0f)},
        GoodText{"IntegerBecomesFloat", "{\"min_chapter_s\":2}", with(&sil_opts::min_chapter_s, 2.0f)},
        GoodText{"DecimalRoundsToNearestFloat", "{\"min_silence_s\":0.8}",
                 with(&sil_opts::min_silence_s, 0.8f)},
        GoodText{"NegativeValueKeptAsIs", "{\"min_silence_s\":-1}",
                 with(&sil_opts::min_silence_s, -1.0f)},
        GoodText{"BeyondFloatRangeIsInfinity", "{\"max_chapter_s\":1e39}",
                 with(&sil_opts::max_chapter_s, kInf)},
        GoodText{"BeyondFloatRangeNegative", "{\"threshold_db\":-1e39}",
                 with(&sil_opts::threshold_db, -kInf)},
        GoodText{"UnsignedSixtyFourBitInteger", "{\"padding_s\":18446744073709551615}",
                 with(&sil_opts::padding_s, 18446744073709551615.0f)},
        GoodText{"RateTruncated", "{\"sample_rate\":44100.9}", with_rate(44100)},
        GoodText{"RateNegativeHalfIsZero", "{\"sample_rate\":-0.5}", with_rate(0)},
        GoodText{"RateNegativeTruncatedTowardZero", "{\"sample_rate\":-16000.7}", with_rate(-16000)},
        GoodText{"RateLargestInt32", "{\"sample_rate\":2147483647.9}", with_rate(2147483647)},
        GoodText{"RateSmallestInt32", "{\"sample_rate\":-2147483648.9}",
                 with_rate(std::numeric_limits<int32_t>::min())},
        GoodText{"RateJustAboveInt32IsZero", "{\"sample_rate\":2147483648}", with_rate(0)},
        GoodText{"RateJustBelowInt32IsZero", "{\"sample_rate\":-2147483649}", with_rate(0)},
        GoodText{"RateHugeRealIsZero", "{\"sample_rate\":1e300}", with_rate(0)},
        GoodText{"RateHugeUnsignedIsZero", "{\"sample_rate\":18446744073709551615}",
                 with_rate(0)}),
    [](const ::testing::TestParamInfo<GoodText> &info) { return std::string(info.param.name); });

TEST(ErrorText, KeepsTheFirst511Bytes) {
    std::string longer(600, 'a');
    for (size_t i = 0; i < longer.size(); ++i) longer[i] = static_cast<char>('a' + i % 26);
    sil_set_error(longer.c_str());
    EXPECT_EQ(longer.substr(0, 511), std::string(silsplit_last_error()));
}

TEST(ErrorText, NullAndClearEmptyIt) {
    sil_set_error("something");
    sil_set_error(nullptr);
    EXPECT_STREQ("", silsplit_last_error());
    sil_set_error("something");
    sil_clear_error();
    EXPECT_STREQ("", silsplit_last_error());
}

TEST(ErrorText, VersionLastErrorAndFreeStringLeaveIt) {
    sil_set_error("cannot open wav file");
    EXPECT_STREQ("1.1.0", silsplit_version());
    silsplit_free_string(nullptr);
    EXPECT_STREQ("cannot open wav file", silsplit_last_error());
    EXPECT_STREQ("cannot open wav file", silsplit_last_error());
}

TEST(ErrorText, BelongsToEachThread) {
    sil_set_error("main thread failure");
    std::string fresh, own;
    std::thread t([&] {
        fresh = silsplit_last_error();
        sil_set_error("other thread failure");
        own = silsplit_last_error();
    });
    t.join();
    EXPECT_EQ("", fresh);
    EXPECT_EQ("other thread failure", own);
    EXPECT_STREQ("main thread failure", silsplit_last_error());
}

} // namespace
