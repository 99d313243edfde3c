// sil_resample_to_16k: argument checks, output lengths and values, progress
// and cancellation.
#include "signal_helpers.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

namespace {

using sigtest::ProgressCall;
using sigtest::ProgressLog;

struct Resampled {
    int rc;
    std::vector<float> out;
    bool out_null;
    std::string error;
};

Resampled resample(const float *in, int n, int rate, sil_progress *progress = nullptr) {
    Resampled r;
    float *out = nullptr;
    int out_n = -1;
    sil_clear_error();
    r.rc = sil_resample_to_16k(in, n, rate, &out, &out_n, progress);
    r.error = sil_get_error();
    r.out_null = out == nullptr;
    if (r.rc == 0 && out != nullptr) r.out.assign(out, out + out_n);
    if (r.rc == 0) std::free(out);
    return r;
}

Resampled resample(const std::vector<float> &in, int rate, sil_progress *progress = nullptr) {
    return resample(in.data(), static_cast<int>(in.size()), rate, progress);
}

TEST(ResampleArgs, AreRefused) {
    float in[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    float *out = nullptr;
    int out_n = 0;
    struct {
        const char *name;
        const float *in;
        int n, rate;
        float **out;
        int *out_n;
    } cases[] = {
        {"null input", nullptr, 4, 16000, &out, &out_n},
        {"no samples", in, 0, 16000, &out, &out_n},
        {"negative count", in, -1, 16000, &out, &out_n},
        {"zero rate", in, 4, 0, &out, &out_n},
        {"negative rate", in, 4, -44100, &out, &out_n},
        {"null out", in, 4, 16000, nullptr, &out_n},
        {"null out_n", in, 4, 44100, &out, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sil_clear_error();
        EXPECT_EQ(-1, sil_resample_to_16k(c.in, c.n, c.rate, c.out, c.out_n, nullptr));
        EXPECT_STREQ("invalid resample args", sil_get_error());
        EXPECT_EQ(nullptr, out);
    }
}

TEST(ResampleLength, TooLongOutputFailsWithoutAllocating) {
    std::vector<float> in(200000, 0.5f);
    struct {
        const char *name;
        int n, rate;
    } cases[] = {
        {"3.2e9 samples from a 1 Hz input", 200000, 1},
        {"2^31 samples, one above the int range", 1073741824, 8000},
        {"int maximum at 1 Hz", INT_MAX, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Resampled r = resample(in.data(), c.n, c.rate);
        EXPECT_EQ(-1, r.rc);
        EXPECT_EQ("resampled signal too long", r.error);
    }
}

TEST(ResampleCopy, At16000IsAnExactCopy) {
    std::vector<float> in = {0.0f, -1.0f, 1.0f, 0.123456789f, -0.5e-30f, 3.0f, 1e-45f};
    Resampled r = resample(in, 16000);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(in, r.out);
}

std::vector<float> ramp(int n) {
    std::vector<float> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<float>(i);
    return v;
}

TEST(ResampleLength, OneSecondAt48000And44100GivesExactly16000) {
    for (int rate : {48000, 44100}) {
        SCOPED_TRACE(rate);
        Resampled r = resample(ramp(rate), rate);
        ASSERT_EQ(0, r.rc);
        EXPECT_EQ(16000u, r.out.size());
    }
}

TEST(ResampleValues, At48000EachOutputIsEveryThirdInput) {
    std::vector<float> in(48000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(std::sin(0.37 * i));
    Resampled r = resample(in, 48000);
    ASSERT_EQ(16000u, r.out.size());
    for (size_t i = 0; i < r.out.size(); ++i) ASSERT_EQ(in[3 * i], r.out[i]) << "at " << i;
}

TEST(ResampleValues, At44100ARampIsInterpolatedOntoItself) {
    // Linear interpolation of a ramp returns the position it was read at.
    Resampled r = resample(ramp(44100), 44100);
    ASSERT_EQ(16000u, r.out.size());
    const double ratio = 16000.0 / 44100.0;
    for (int i = 0; i < 16000; ++i) {
        const double p = i / ratio;
        ASSERT_NEAR(p, r.out[static_cast<size_t>(i)], 0.004) << "at " << i;
    }
}

TEST(ResampleValues, At44100PositionsAreDividedByTheRatio) {
    // Alternating 0 and 1e30 magnifies the last bit of every position, so
    // i / (16000 / 44100) and i * (44100 / 16000) give different samples.
    const int n = 44100;
    std::vector<float> in(n);
    for (int j = 0; j < n; ++j) in[static_cast<size_t>(j)] = j % 2 ? 1e30f : 0.0f;
    Resampled r = resample(in, 44100);
    ASSERT_EQ(16000u, r.out.size());
    const double ratio = 16000.0 / 44100.0;
    for (int i = 0; i < 16000; ++i) {
        const double p = i / ratio;
        const int i0 = static_cast<int>(p);
        const double frac = p - i0;
        const int i1 = i0 + 1 < n ? i0 + 1 : n - 1;
        const float want = static_cast<float>(static_cast<double>(in[static_cast<size_t>(i0)]) *
                                                  (1.0 - frac) +
                                              frac * static_cast<double>(in[static_cast<size_t>(i1)]));
        ASSERT_EQ(want, r.out[static_cast<size_t>(i)]) << "at " << i;
    }
}

struct SmallCase {
    const char *name;
    std::vector<float> in;
    int rate;
    std::vector<float> want;
};

void PrintTo(const SmallCase &c, std::ostream *os) { *os << c.name; }

class ResampleSmall : public ::testing::TestWithParam<SmallCase> {};

TEST_P(ResampleSmall, GivesTheInterpolatedSamples) {
    Resampled r = resample(GetParam().in, GetParam().rate);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(GetParam().want, r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ResampleSmall,
    ::testing::Values(
        SmallCase{"OneSampleAt8000GivesTwoCopies", {0.25f}, 8000, {0.25f, 0.25f}},
        SmallCase{"OneSampleAt44100GivesItself", {0.7f}, 44100, {0.7f}},
        SmallCase{"TwoSamplesAt48000GiveTheFirst", {0.3f, 0.9f}, 48000, {0.3f}},
        SmallCase{"DoublingHoldsTheLastSample", {0.0f, 2.0f, 4.0f}, 8000,
                  {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 4.0f}},
        SmallCase{"QuadruplingInterpolatesQuarters", {1.0f, -1.0f}, 4000,
                  {1.0f, 0.5f, 0.0f, -0.5f, -1.0f, -1.0f, -1.0f, -1.0f}},
        SmallCase{"OneHertzRepeatsTheSample", {0.5f}, 1, std::vector<float>(16000, 0.5f)}),
    [](const ::testing::TestParamInfo<SmallCase> &info) { return std::string(info.param.name); });

TEST(ResampleProgress, ReportsEvery65536OutputSamples) {
    ProgressLog log;
    sil_progress p = sigtest::progress_for(&log);
    Resampled r = resample(std::vector<float>(600000, 0.1f), 48000, &p);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(200000u, r.out.size());
    const std::vector<ProgressCall> want = {
        {20, "resample"}, {26, "resample"}, {33, "resample"}, {39, "resample"}, {40, "detect"}};
    EXPECT_EQ(want, log.calls);
}

TEST(ResampleProgress, CopyReportsStartAndEnd) {
    ProgressLog log;
    sil_progress p = sigtest::progress_for(&log);
    ASSERT_EQ(0, resample(std::vector<float>(100, 0.1f), 16000, &p).rc);
    const std::vector<ProgressCall> want = {{20, "resample"}, {40, "detect"}};
    EXPECT_EQ(want, log.calls);
}

TEST(ResampleProgress, CancelStopsAtOnceAndHandsOutNothing) {
    struct {
        const char *name;
        int rate, cancel_at;
    } cases[] = {
        {"copy, first report", 16000, 0},   {"copy, last report", 16000, 1},
        {"interpolating, first", 48000, 0}, {"interpolating, middle", 48000, 2},
        {"interpolating, last", 48000, 4},
    };
    const std::vector<float> in(600000, 0.1f);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ProgressLog log;
        log.cancel_at = c.cancel_at;
        sil_progress p = sigtest::progress_for(&log);
        Resampled r = resample(in, c.rate, &p);
        EXPECT_EQ(-1, r.rc);
        EXPECT_EQ("cancelled", r.error);
        EXPECT_TRUE(r.out_null);
        EXPECT_EQ(static_cast<size_t>(c.cancel_at + 1), log.calls.size());
    }
}

} // namespace
