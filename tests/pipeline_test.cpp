// The streaming stages and the pipeline that chains them: any split of the
// input into blocks gives the same outputs, bit for bit, as one block and as
// a plain reference written out here; the progress calls are the sequence the
// whole-buffer stages make, spread over the pushes.
#include "engine.h"
#include "levels.h"
#include "resampler.h"
#include "signal_helpers.h"
#include "whole_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using sigtest::ProgressCall;

// Speech-like test signal: bursts of noise between quiet pauses, with a few
// samples no stage may mistake: a NaN, an infinity, a denormal.
std::vector<float> signal(size_t n, int rate, uint32_t seed) {
    std::vector<float> v(n);
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    size_t left = 0;
    bool loud = false;
    float amp = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        if (left == 0) {
            loud = !loud;
            const uint64_t r = (uint64_t)rate;
            left = (size_t)(loud ? r + g() % (3 * r) : r / 3 + g() % (r + 1));
            amp = loud ? 0.3f : 0.0002f;
        }
        --left;
        v[i] = amp * u(g);
    }
    if (n > 1000) {
        v[n / 3] = std::numeric_limits<float>::quiet_NaN();
        v[n / 2] = 1e-40f;
    }
    return v;
}

// Block sizes around the stages' own sizes, and random ones.
std::vector<size_t> random_split(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    const size_t special[] = {1, 2, 3, 159, 160, 161, 319, 320, 321, 640, 65535, 65536, 65537};
    std::vector<size_t> sizes;
    size_t done = 0;
    while (done < n) {
        size_t len = g() % 3 == 0 ? special[g() % (sizeof special / sizeof special[0])]
                                  : 1 + g() % 20000;
        if (len > n - done)
            len = n - done;
        sizes.push_back(len);
        done += len;
    }
    return sizes;
}

// ---------------------------------------------------------------------------
// Reference stages: the formulas, one sample at a time
// ---------------------------------------------------------------------------

std::vector<float> reference_resample(const std::vector<float> &in, int rate) {
    const double ratio = 16000.0 / (double)rate;
    double m_d = std::trunc((double)in.size() * ratio);
    const int64_t m = m_d < 1.0 ? 1 : (int64_t)m_d;
    const int64_t last = (int64_t)in.size() - 1;
    std::vector<float> out((size_t)m);
    for (int64_t i = 0; i < m; ++i) {
        const double p = (double)i / ratio;
        int64_t i0 = (int64_t)p;
        const double frac = p - (double)i0;
        int64_t i1 = i0 + 1;
        if (i0 > last)
            i0 = last;
        if (i1 > last)
            i1 = last;
        out[(size_t)i] = (float)((double)in[(size_t)i0] * (1.0 - frac) + frac * (double)in[(size_t)i1]);
    }
    return out;
}

float reference_level(const float *x, size_t len) {
    double sum = 0.0;
    for (size_t k = 0; k < len; ++k)
        sum += (double)x[k] * (double)x[k];
    if (std::isinf(sum))
        return std::numeric_limits<float>::quiet_NaN();
    const double rms = std::sqrt(sum / (double)len);
    return rms < 1e-12 ? -120.0f : (float)(20.0 * std::log10(rms));
}

std::vector<float> reference_levels(const std::vector<float> &x) {
    if (x.size() < 320)
        return {reference_level(x.data(), x.size())};
    std::vector<float> out;
    for (size_t k = 0; 160 * k + 320 <= x.size(); ++k)
        out.push_back(reference_level(x.data() + 160 * k, 320));
    return out;
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b, std::string *why) {
    if (a.size() != b.size()) {
        *why = "length " + std::to_string(a.size()) + " != " + std::to_string(b.size());
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            *why = "at " + std::to_string(i) + ": " + std::to_string(a[i]) +
                   " != " + std::to_string(b[i]);
            return false;
        }
    }
    return true;
}

std::vector<float> stream_resample(const std::vector<float> &in, int rate,
                                   const std::vector<size_t> &split) {
    sil_resampler r;
    sil_resampler_init(&r, rate);
    std::vector<float> out;
    size_t at = 0;
    for (size_t len : split) {
        std::vector<float> block(sil_resampler_max_out(&r, len));
        const int64_t got = sil_resampler_push(&r, in.data() + at, len, block.data());
        EXPECT_GE(got, 0);
        EXPECT_LE((size_t)got, block.size());
        out.insert(out.end(), block.begin(), block.begin() + got);
        at += len;
    }
    std::vector<float> block(sil_resampler_max_out(&r, 0));
    const int64_t got = sil_resampler_finish(&r, block.data());
    EXPECT_LE((size_t)got, block.size());
    out.insert(out.end(), block.begin(), block.begin() + got);
    sil_resampler_free(&r);
    return out;
}

std::vector<float> stream_levels(const std::vector<float> &x, const std::vector<size_t> &split) {
    sil_level_stage s;
    EXPECT_EQ(sil_levels_init(&s, 0), 0);
    size_t at = 0;
    for (size_t len : split) {
        EXPECT_EQ(sil_levels_push(&s, x.data() + at, len), 0);
        at += len;
    }
    EXPECT_EQ(sil_levels_finish(&s), 0);
    std::vector<float> out(s.curve, s.curve + s.count);
    sil_levels_free(&s);
    return out;
}

// ---------------------------------------------------------------------------
// Stages
// ---------------------------------------------------------------------------

struct RateCase {
    int rate;
    size_t frames;
};

class StreamingStages : public ::testing::TestWithParam<RateCase> {};

TEST_P(StreamingStages, ResamplerMatchesTheFormulaForAnySplit) {
    const RateCase c = GetParam();
    const std::vector<float> in = signal(c.frames, c.rate, 11u + (uint32_t)c.rate);
    const std::vector<float> want = reference_resample(in, c.rate);
    std::string why;
    EXPECT_TRUE(same_bits(stream_resample(in, c.rate, {in.size()}), want, &why)) << why;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        EXPECT_TRUE(same_bits(stream_resample(in, c.rate, random_split(in.size(), seed)), want,
                              &why))
            << why;
    }
    // One sample at a time, on a short stretch (every output straddles).
    const std::vector<float> head(in.begin(), in.begin() + (long)std::min<size_t>(in.size(), 3000));
    EXPECT_TRUE(same_bits(stream_resample(head, c.rate, std::vector<size_t>(head.size(), 1)),
                          reference_resample(head, c.rate), &why))
        << why;
}

TEST_P(StreamingStages, LevelsMatchTheFormulaForAnySplit) {
    const RateCase c = GetParam();
    const std::vector<float> x = signal(c.frames, 16000, 29u + (uint32_t)c.rate);
    const std::vector<float> want = reference_levels(x);
    std::string why;
    EXPECT_TRUE(same_bits(stream_levels(x, {x.size()}), want, &why)) << why;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        EXPECT_TRUE(same_bits(stream_levels(x, random_split(x.size(), seed)), want, &why)) << why;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, StreamingStages,
    ::testing::Values(RateCase{16000, 200000}, RateCase{44100, 300001}, RateCase{48000, 250000},
                      RateCase{8000, 90001}, RateCase{7919, 80000}, RateCase{11025, 100003},
                      RateCase{96000, 400000}, RateCase{192000, 500009}, RateCase{22050, 1},
                      RateCase{44100, 2}, RateCase{8000, 3}, RateCase{1000, 319},
                      RateCase{3, 50}, RateCase{2147483647, 1000}),
    [](const ::testing::TestParamInfo<RateCase> &i) {
        return std::to_string(i.param.rate) + "Hz_" + std::to_string(i.param.frames);
    });

// Every vector version of the inner loops the CPU can run gives the plain
// loop's results, whatever the widest one the stages pick on this machine.
TEST(Kernels, EveryVersionMatchesThePlainLoop) {
    std::vector<float> x = signal(70000, 44100, 41u);
    x[1234] = std::numeric_limits<float>::infinity();
    x[4321] = -std::numeric_limits<float>::infinity();
    x[999] = std::numeric_limits<float>::quiet_NaN();
    int tried = 0;
    for (int kernel : {SIL_KERNEL_AVX2, SIL_KERNEL_AVX512}) {
        if (!sil_kernel_available(kernel))
            continue;
        ++tried;
        SCOPED_TRACE(kernel);
        for (int rate : {3, 8000, 11025, 22050, 44100, 48000, 62000, 96000, 192000, 2147483647}) {
            SCOPED_TRACE(rate);
            const double ratio = 16000.0 / (double)rate;
            // A block that starts far into the stream, as later blocks do.
            const int64_t base = 123456789;
            const int64_t first = (int64_t)std::ceil((double)base * ratio) + 1;
            int64_t end = (int64_t)((double)(base + (int64_t)x.size() - 3) * ratio);
            if (end > first + 200000)
                end = first + 200000;
            if (end <= first)
                continue;
            std::vector<float> want((size_t)(end - first)), got(want.size());
            sil_resample_block_with(SIL_KERNEL_PLAIN, x.data(), base, (int64_t)x.size(), ratio,
                                    want.data(), first, end);
            sil_resample_block_with(kernel, x.data(), base, (int64_t)x.size(), ratio, got.data(),
                                    first, end);
            std::string why;
            EXPECT_TRUE(same_bits(got, want, &why)) << why;
        }
        const int64_t frames = ((int64_t)x.size() - 320) / 160 + 1;
        std::vector<float> want((size_t)frames), got(want.size());
        sil_frame_levels_with(SIL_KERNEL_PLAIN, x.data(), frames, want.data());
        sil_frame_levels_with(kernel, x.data(), frames, got.data());
        std::string why;
        EXPECT_TRUE(same_bits(got, want, &why)) << why;
    }
    if (tried == 0)
        GTEST_SKIP() << "this CPU has no vector versions to compare";
}

// ---------------------------------------------------------------------------
// Pipeline
// ---------------------------------------------------------------------------

struct PushLog {
    std::vector<ProgressCall> calls;
    std::vector<int64_t> pushed_at; // frames pushed when each call came
    const sil_pipeline *p = nullptr;
};

int log_call(int pct, const char *stage, void *user) {
    auto *log = static_cast<PushLog *>(user);
    log->calls.push_back({pct, stage});
    log->pushed_at.push_back(log->p ? sil_pipeline_frames(log->p) : -1);
    return 0;
}

// The report of a pipeline fed in the given blocks; total -1 leaves the
// length unknown.
std::string run_pipeline(const std::vector<float> &in, int rate, const std::vector<size_t> &split,
                         int64_t total, const char *opts_json, PushLog *log = nullptr) {
    sil_opts opts;
    EXPECT_EQ(sil_parse_opts(opts_json, &opts), 0);
    sil_progress progress{log_call, log, -1, 0};
    sil_pipeline *p = sil_pipeline_new(rate, total, &opts, log ? &progress : nullptr);
    if (!p)
        return std::string("new failed: ") + sil_get_error();
    if (log)
        log->p = p;
    size_t at = 0;
    for (size_t len : split) {
        if (sil_pipeline_push(p, in.data() + at, len) != 0) {
            sil_pipeline_free(p);
            return std::string("push failed: ") + sil_get_error();
        }
        at += len;
    }
    char *report = sil_pipeline_report(p);
    sil_pipeline_free(p);
    if (!report)
        return std::string("report failed: ") + sil_get_error();
    std::string text = report;
    free(report);
    return text;
}

class PipelineSplits : public ::testing::TestWithParam<RateCase> {};

TEST_P(PipelineSplits, AnySplitAndAnyTotalGiveTheSameReport) {
    const RateCase c = GetParam();
    const std::vector<float> in = signal(c.frames, c.rate, 5u + (uint32_t)c.rate);
    const char *opts = "{\"min_chapter_s\":0.5,\"min_silence_s\":0.3}";
    const std::string want = run_pipeline(in, c.rate, {in.size()}, (int64_t)in.size(), opts);
    ASSERT_EQ(want.rfind("{\"sample_rate\":", 0), 0u) << want;
    // The host entry gives the same report.
    const std::string rate_opts = "{\"min_chapter_s\":0.5,\"min_silence_s\":0.3,\"sample_rate\":" +
                                  std::to_string(c.rate) + "}";
    char *pcm = silsplit_analyze_pcm(in.data(), (int)in.size(), rate_opts.c_str());
    ASSERT_NE(pcm, nullptr) << silsplit_last_error();
    EXPECT_EQ(std::string(pcm), want);
    silsplit_free_string(pcm);
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        const std::vector<size_t> split = random_split(in.size(), 100u + seed);
        EXPECT_EQ(run_pipeline(in, c.rate, split, (int64_t)in.size(), opts), want);
        EXPECT_EQ(run_pipeline(in, c.rate, split, -1, opts), want);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, PipelineSplits,
    ::testing::Values(RateCase{16000, 16000 * 12 + 77}, RateCase{44100, 44100 * 10 + 1},
                      RateCase{48000, 48000 * 9}, RateCase{8000, 8000 * 15 + 3},
                      RateCase{7919, 7919 * 14 + 5}, RateCase{96000, 96000 * 6 + 65535},
                      RateCase{22050, 100}),
    [](const ::testing::TestParamInfo<RateCase> &i) {
        return std::to_string(i.param.rate) + "Hz_" + std::to_string(i.param.frames);
    });

// The calls the whole-buffer stages make on the same signal, one after the
// other, with "done" last.
std::vector<ProgressCall> whole_buffer_calls(const std::vector<float> &in, int rate) {
    sigtest::ProgressLog log;
    sil_progress p = sigtest::progress_for(&log);
    EXPECT_EQ(sil_progress_report(&p, 0, SIL_STAGE_READ), 0);
    for (size_t first = 0; first < in.size(); first += 65536)
        sil_progress_report(&p, (int)((double)first / (double)in.size() * 20.0), SIL_STAGE_READ);
    sil_progress_report(&p, 20, SIL_STAGE_RESAMPLE);
    float *out = nullptr;
    int out_n = 0;
    EXPECT_EQ(sil_resample_to_16k(in.data(), (int)in.size(), rate, &out, &out_n, &p), 0);
    sil_opts opts = sigtest::default_opts();
    sil_chapter *chapters = nullptr;
    int count = 0;
    EXPECT_EQ(sil_detect_chapters(out, out_n, &opts, &chapters, &count, nullptr, nullptr, &p), 0);
    free(chapters);
    free(out);
    sil_progress_report(&p, 100, SIL_STAGE_DONE);
    return log.calls;
}

TEST(PipelineProgress, SameCallsAsTheWholeBufferStagesSpreadOverThePushes) {
    for (int rate : {44100, 16000, 8000}) {
        SCOPED_TRACE(rate);
        const std::vector<float> in = signal((size_t)rate * 40 + 123, rate, 3u);
        PushLog log;
        sil_progress start{log_call, &log, -1, 0};
        ASSERT_EQ(sil_progress_report(&start, 0, SIL_STAGE_READ), 0);
        const size_t block = 4096;
        std::vector<size_t> split(in.size() / block, block);
        split.push_back(in.size() % block);
        // The pipeline's own context continues from the first call.
        sil_opts opts = sigtest::default_opts();
        sil_progress progress{log_call, &log, start.last_pct, start.stage};
        sil_pipeline *p = sil_pipeline_new(rate, (int64_t)in.size(), &opts, &progress);
        ASSERT_NE(p, nullptr);
        log.p = p;
        size_t at = 0;
        for (size_t len : split) {
            ASSERT_EQ(sil_pipeline_push(p, in.data() + at, len), 0);
            at += len;
        }
        char *report = sil_pipeline_report(p);
        ASSERT_NE(report, nullptr) << sil_get_error();
        free(report);
        sil_pipeline_free(p);
        EXPECT_EQ(log.calls, whole_buffer_calls(in, rate));

        // Each call below 95 % comes once its share of the input is pushed,
        // and within one block of it.
        const double total = (double)in.size();
        for (size_t i = 1; i < log.calls.size(); ++i) {
            const int pct = log.calls[i].pct;
            if (pct >= 95)
                break;
            SCOPED_TRACE(i);
            const double share = total * pct / 95.0;
            EXPECT_GE((double)log.pushed_at[i] + 1.0, share);
            EXPECT_LT((double)log.pushed_at[i], share + (double)block + 1.0);
        }
    }
}

TEST(PipelineProgress, UnknownLengthMakesTheSameCallsAtTheEnd) {
    const std::vector<float> in = signal(44100 * 20, 44100, 8u);
    PushLog known, unknown;
    const std::vector<size_t> split = random_split(in.size(), 9u);
    const std::string a = run_pipeline(in, 44100, split, (int64_t)in.size(), nullptr, &known);
    const std::string b = run_pipeline(in, 44100, split, -1, nullptr, &unknown);
    EXPECT_EQ(a, b);
    EXPECT_EQ(known.calls, unknown.calls);
    for (int64_t at : unknown.pushed_at)
        EXPECT_EQ(at, (int64_t)in.size());
}

TEST(PipelineProgress, CancelAtEveryCallStopsTheAnalysis) {
    const std::vector<float> in = signal(22050 * 30, 22050, 4u);
    PushLog all;
    run_pipeline(in, 22050, {in.size()}, (int64_t)in.size(), nullptr, &all);
    ASSERT_GT(all.calls.size(), 5u);
    for (size_t k = 0; k < all.calls.size(); ++k) {
        SCOPED_TRACE(k);
        sigtest::ProgressLog log;
        log.cancel_at = (int)k;
        sil_progress progress = sigtest::progress_for(&log);
        sil_opts opts = sigtest::default_opts();
        sil_pipeline *p = sil_pipeline_new(22050, (int64_t)in.size(), &opts, &progress);
        ASSERT_NE(p, nullptr);
        char *report = nullptr;
        size_t at = 0;
        int rc = 0;
        for (size_t len : random_split(in.size(), 77u)) {
            rc = sil_pipeline_push(p, in.data() + at, len);
            if (rc != 0)
                break;
            at += len;
        }
        if (rc == 0)
            report = sil_pipeline_report(p);
        EXPECT_EQ(report, nullptr);
        EXPECT_STREQ(sil_get_error(), "cancelled");
        // Later calls keep failing the same way.
        EXPECT_EQ(sil_pipeline_push(p, in.data(), 1), -1);
        EXPECT_STREQ(sil_get_error(), "cancelled");
        ASSERT_EQ(log.calls.size(), k + 1);
        for (size_t i = 0; i <= k; ++i)
            EXPECT_EQ(log.calls[i], (ProgressCall{all.calls[i].pct, all.calls[i].stage}));
        free(report);
        sil_pipeline_free(p);
    }
}

TEST(Pipeline, LengthFailuresComeAfterTheReadStage) {
    sil_opts opts = sigtest::default_opts();
    struct Case {
        int rate;
        int64_t total;
        size_t pushed;
        const char *error;
        std::vector<ProgressCall> calls;
    } cases[] = {
        {44100, 0, 0, "invalid resample args", {{20, "resample"}}},
        {44100, -1, 0, "invalid resample args", {{20, "resample"}}},
        {16000, 0, 0, "invalid resample args", {{20, "resample"}}},
        // 134218 frames at 1 Hz are 2147488000 samples at 16 kHz.
        {1, 134218, 10, "resampled signal too long",
         {{0, "read"}, {9, "read"}, {19, "read"}, {20, "resample"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " " + std::to_string(c.total));
        sigtest::ProgressLog log;
        sil_progress progress = sigtest::progress_for(&log);
        sil_pipeline *p = sil_pipeline_new(c.rate, c.total, &opts, &progress);
        ASSERT_NE(p, nullptr);
        std::vector<float> in(c.pushed, 0.25f);
        int rc = c.pushed ? sil_pipeline_push(p, in.data(), in.size()) : 0;
        char *report = rc == 0 ? sil_pipeline_report(p) : nullptr;
        EXPECT_EQ(report, nullptr);
        EXPECT_STREQ(sil_get_error(), c.error);
        EXPECT_EQ(log.calls, c.calls);
        sil_pipeline_free(p);
    }
    // A stream of unknown length fails once it passes the limit, with
    // nothing past it analysed.
    sil_pipeline *p = sil_pipeline_new(1, -1, &opts, nullptr);
    ASSERT_NE(p, nullptr);
    std::vector<float> in(200000, 0.25f);
    EXPECT_EQ(sil_pipeline_push(p, in.data(), in.size()), -1);
    EXPECT_STREQ(sil_get_error(), "resampled signal too long");
    EXPECT_LT(sil_pipeline_frames(p), 134218);
    EXPECT_EQ(sil_pipeline_push(p, in.data(), 1), -1);
    sil_pipeline_free(p);
    EXPECT_EQ(sil_pipeline_new(0, 10, &opts, nullptr), nullptr);
    EXPECT_STREQ(sil_get_error(), "invalid resample args");
    sil_pipeline_free(nullptr);
}

} // namespace
