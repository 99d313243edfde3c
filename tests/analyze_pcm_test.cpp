// silsplit_analyze_pcm through the exported function: argument errors and
// their precedence, the options, the input rate, and the error text.
#include "signal_helpers.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Result {
    bool null;
    std::string text;  // the report, when there is one
    std::string error; // silsplit_last_error() right after the call
};

Result analyze(const float *pcm, int n, const char *opts) {
    char *t = silsplit_analyze_pcm(pcm, n, opts);
    Result r{t == nullptr, t ? t : "", silsplit_last_error()};
    silsplit_free_string(t);
    return r;
}

Result analyze(const std::vector<float> &pcm, const char *opts) {
    return analyze(pcm.data(), static_cast<int>(pcm.size()), opts);
}

struct ErrorCase {
    const char *name;
    std::function<Result()> call;
    const char *message;
};

void PrintTo(const ErrorCase &c, std::ostream *os) { *os << c.name; }

class AnalyzePcmFails : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(AnalyzePcmFails, WithTheFirstFaultsMessage) {
    sil_set_error("stale message");
    Result r = GetParam().call();
    EXPECT_TRUE(r.null);
    EXPECT_EQ(GetParam().message, r.error);
}

const std::vector<float> kTen(10, 0.5f);

INSTANTIATE_TEST_SUITE_P(
    Calls, AnalyzePcmFails,
    ::testing::Values(
        ErrorCase{"NullPcm", [] { return analyze(nullptr, 5, nullptr); }, "NULL pcm"},
        ErrorCase{"NullPcmBeforeBadOptions", [] { return analyze(nullptr, 5, "not json"); },
                  "NULL pcm"},
        ErrorCase{"NegativeCount", [] { return analyze(kTen.data(), -1, nullptr); },
                  "negative n_samples"},
        ErrorCase{"NegativeCountWithNullPcm", [] { return analyze(nullptr, -1, "{"); },
                  "negative n_samples"},
        ErrorCase{"NegativeCountBeforeNonObject", [] { return analyze(kTen.data(), -1, "[]"); },
                  "negative n_samples"},
        ErrorCase{"InvalidOptions", [] { return analyze(kTen, "{\"padding_s\":1,}"); },
                  "invalid options JSON"},
        ErrorCase{"InvalidOptionsWithNoSamples", [] { return analyze(nullptr, 0, "{}x"); },
                  "invalid options JSON"},
        ErrorCase{"NonObjectOptions", [] { return analyze(kTen, "42"); },
                  "options must be a JSON object"},
        ErrorCase{"ResampledSignalTooLong",
                  [] { return analyze(std::vector<float>(200000, 0.0f), "{\"sample_rate\":1}"); },
                  "resampled signal too long"},
        ErrorCase{"TooManyChapters",
                  [] {
                      return analyze(sigtest::comb(10001, 2, 2),
                                     "{\"min_silence_s\":0,\"min_chapter_s\":0,\"padding_s\":0}");
                  },
                  "chapter count exceeds 10000"}),
    [](const ::testing::TestParamInfo<ErrorCase> &info) { return std::string(info.param.name); });

struct ReportCase {
    const char *name;
    std::function<Result()> call;
    const char *want;
};

void PrintTo(const ReportCase &c, std::ostream *os) { *os << c.name; }

class AnalyzePcmReports : public ::testing::TestWithParam<ReportCase> {};

TEST_P(AnalyzePcmReports, ExactText) {
    sil_set_error("stale message");
    Result r = GetParam().call();
    ASSERT_FALSE(r.null) << r.error;
    EXPECT_EQ(GetParam().want, r.text);
    EXPECT_EQ("", r.error);
}

// 20 s at 16 kHz with full-scale sound from 2 s to 9 s.
std::vector<float> speech_2_to_9() {
    std::vector<float> s = sigtest::silence(20);
    sigtest::add_burst(s, 2, 9, 1.0f);
    return s;
}

const std::vector<float> k48000Zeros(48000, 0.0f);

const char kOneSecondAt48k[] =
    R"({"sample_rate":48000,"duration_s":1.0,"silences_removed_s":1.0,"chapters":[]})";
const char kThreeSecondsAt16k[] =
    R"({"sample_rate":16000,"duration_s":3.0,"silences_removed_s":3.0,"chapters":[]})";

INSTANTIATE_TEST_SUITE_P(
    Calls, AnalyzePcmReports,
    ::testing::Values(
        ReportCase{"NoSamples", [] { return analyze(nullptr, 0, nullptr); },
                   R"({"sample_rate":16000,"duration_s":0.0,"silences_removed_s":0.0,"chapters":[]})"},
        ReportCase{"NoSamplesAtTheGivenRate",
                   [] { return analyze(nullptr, 0, "{\"sample_rate\":44100}"); },
                   R"({"sample_rate":44100,"duration_s":0.0,"silences_removed_s":0.0,"chapters":[]})"},
        ReportCase{"DefaultOptions", [] { return analyze(speech_2_to_9(), nullptr); },
                   R"({"sample_rate":16000,"duration_s":20.0,"silences_removed_s":12.5,)"
                   R"("chapters":[{"i":1,"t0":1.75,"t1":9.25,"dur":7.5,"peak_db":0.0}]})"},
        ReportCase{"OptionsReachTheDetector",
                   [] { return analyze(speech_2_to_9(), "{\"padding_s\":0,\"max_chapter_s\":5}"); },
                   R"({"sample_rate":16000,"duration_s":20.0,"silences_removed_s":13.0,)"
                   R"("chapters":[{"i":1,"t0":2.0,"t1":7.0,"dur":5.0,"peak_db":0.0},)"
                   R"({"i":2,"t0":7.0,"t1":9.0,"dur":2.0,"peak_db":0.0}]})"},
        ReportCase{"RateFromOptions",
                   [] { return analyze(k48000Zeros, "{\"sample_rate\":48000}"); }, kOneSecondAt48k},
        ReportCase{"RateTruncatedFromOptions",
                   [] { return analyze(k48000Zeros, "{\"sample_rate\":48000.99}"); },
                   kOneSecondAt48k},
        ReportCase{"EightKilohertz",
                   [] { return analyze(std::vector<float>(80000, 0.0f), "{\"sample_rate\":8000}"); },
                   R"({"sample_rate":8000,"duration_s":10.0,"silences_removed_s":10.0,"chapters":[]})"},
        ReportCase{"NoRateIs16000", [] { return analyze(k48000Zeros, "{}"); }, kThreeSecondsAt16k},
        ReportCase{"ZeroRateIs16000", [] { return analyze(k48000Zeros, "{\"sample_rate\":0}"); },
                   kThreeSecondsAt16k},
        ReportCase{"NegativeRateIs16000",
                   [] { return analyze(k48000Zeros, "{\"sample_rate\":-1}"); }, kThreeSecondsAt16k},
        ReportCase{"RateBeyondInt32Is16000",
                   [] { return analyze(k48000Zeros, "{\"sample_rate\":3e9}"); }, kThreeSecondsAt16k},
        ReportCase{"RateBelowInt32Is16000",
                   [] { return analyze(k48000Zeros, "{\"sample_rate\":-1e300}"); },
                   kThreeSecondsAt16k}),
    [](const ::testing::TestParamInfo<ReportCase> &info) { return std::string(info.param.name); });

// An infinite sample has no level, exactly like a NaN: the chapter around it
// keeps its finite peak and the report is written. Checked at the host's own
// 16 kHz and through the resampler, where an infinity spreads to its
// neighbours as infinities and NaNs.
TEST(AnalyzePcmNonFinite, InfinityCountsAsNaN) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const char *opts : {"{}", "{\"sample_rate\":44100}"}) {
        SCOPED_TRACE(opts);
        const std::vector<float> base = sigtest::bursts(20, {{1, 7}, {9, 16}});
        std::vector<float> with_nan = base, with_inf = base, with_neg_inf = base;
        for (size_t at : {size_t(48000), size_t(48001), size_t(200000)}) {
            with_nan[at] = nan;
            with_inf[at] = inf;
            with_neg_inf[at] = -inf;
        }
        const Result want = analyze(with_nan, opts);
        ASSERT_FALSE(want.null) << want.error;
        EXPECT_NE(want.text.find("\"peak_db\":-6.0"), std::string::npos) << want.text;
        EXPECT_EQ(want.text, analyze(with_inf, opts).text);
        EXPECT_EQ(want.text, analyze(with_neg_inf, opts).text);
    }
}

TEST(AnalyzePcmErrorText, EachThreadReadsItsOwn) {
    ASSERT_TRUE(analyze(nullptr, 5, nullptr).null);
    std::string fresh, first, after_success;
    std::thread other([&] {
        fresh = silsplit_last_error();
        analyze(nullptr, -1, nullptr);
        first = silsplit_last_error();
        analyze(nullptr, 0, nullptr);
        after_success = silsplit_last_error();
    });
    other.join();
    EXPECT_EQ("", fresh);
    EXPECT_EQ("negative n_samples", first);
    EXPECT_EQ("", after_success);
    EXPECT_STREQ("NULL pcm", silsplit_last_error());
    silsplit_free_string(nullptr);
    EXPECT_STREQ("1.1.0", silsplit_version());
    EXPECT_STREQ("NULL pcm", silsplit_last_error());
    EXPECT_FALSE(analyze(nullptr, 0, nullptr).null);
    EXPECT_STREQ("", silsplit_last_error());
}

} // namespace
