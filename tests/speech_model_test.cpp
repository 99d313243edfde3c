// The speech model's stage: the same probabilities whatever the block split
// and whatever the vector kernel. Its agreement with the original network is
// checked against onnxruntime-node (speech/reference_check.sh).
#include "speech_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

// 5.3 s at 16 kHz that is not a whole number of windows: a quiet hiss, a
// voiced-like buzz (a 140 Hz pulse train through a slow vowel-like
// envelope), a noise burst and a tone, so that the state runs through very
// different inputs.
std::vector<float> mixed_signal() {
    const int n = 16000 * 53 / 10;
    std::vector<float> x((size_t)n);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (int k = 0; k < n; k++) {
        const double t = k / 16000.0;
        double v = 0.002 * noise(rng);
        if (t > 0.5 && t < 2.5) {
            const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 3.0 * t);
            for (int h = 1; h <= 20; h++)
                v += env * 0.3 / h * std::sin(2 * M_PI * 140.0 * h * t + h);
        } else if (t > 3.0 && t < 3.8) {
            v += 0.2 * noise(rng);
        } else if (t > 4.0) {
            v += 0.3 * std::sin(2 * M_PI * 1000.0 * t);
        }
        x[(size_t)k] = (float)v;
    }
    return x;
}

// The probabilities with the given kernel, the samples pushed in blocks whose
// sizes cycle through blocks (all of it at once when empty).
std::vector<float> probabilities(const std::vector<float> &x, const std::vector<size_t> &blocks,
                                 int kernel) {
    sil_speech_stage s;
    EXPECT_EQ(sil_speech_init(&s), 0) << sil_get_error();
    s.kernel = kernel;
    size_t at = 0, b = 0;
    while (at < x.size()) {
        size_t n = blocks.empty() ? x.size() : blocks[b++ % blocks.size()];
        n = std::min(n, x.size() - at);
        EXPECT_EQ(sil_speech_push(&s, x.data() + at, n), 0);
        at += n;
    }
    EXPECT_EQ(sil_speech_finish(&s), 0);
    std::vector<float> p(s.probs, s.probs + s.count);
    sil_speech_free(&s);
    return p;
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

} // namespace

TEST(SpeechModel, OneProbabilityPerWindowTheLastZeroPadded) {
    const std::vector<float> x = mixed_signal();
    const std::vector<float> p = probabilities(x, {}, sil_widest_kernel());
    ASSERT_EQ(p.size(), (x.size() + SIL_SPEECH_WINDOW - 1) / SIL_SPEECH_WINDOW);
    for (float v : p)
        EXPECT_TRUE(v >= 0.0f && v <= 1.0f) << v;
    // Whole windows only: nothing is left for finish.
    const std::vector<float> whole(x.begin(), x.begin() + 4 * SIL_SPEECH_WINDOW);
    EXPECT_EQ(probabilities(whole, {}, sil_widest_kernel()).size(), 4u);
    EXPECT_TRUE(probabilities({}, {}, sil_widest_kernel()).empty());
}

TEST(SpeechModel, SameProbabilitiesForEveryBlockSplit) {
    const std::vector<float> x = mixed_signal();
    const std::vector<float> whole = probabilities(x, {}, sil_widest_kernel());
    const std::vector<std::vector<size_t>> splits = {
        {1}, {511}, {512}, {513}, {64, 448, 1}, {7, 1000, 3, 4096}, {16000}};
    for (const auto &split : splits)
        EXPECT_TRUE(same_bits(probabilities(x, split, sil_widest_kernel()), whole))
            << "first block " << split[0];
}

TEST(SpeechModel, EveryKernelGivesThePlainLoopsProbabilities) {
    const std::vector<float> x = mixed_signal();
    const std::vector<float> plain = probabilities(x, {}, SIL_KERNEL_PLAIN);
    for (int kernel : {SIL_KERNEL_AVX2, SIL_KERNEL_AVX512}) {
        if (!sil_kernel_available(kernel))
            continue;
        EXPECT_TRUE(same_bits(probabilities(x, {}, kernel), plain)) << "kernel " << kernel;
    }
}

TEST(SpeechModel, KernelsAgreeBitForBitAtEveryShape) {
    // Output counts around the kernels' blocks of 64, 16 and 8, the sizes of
    // the network's layers, and one to five input vectors (overlapping, as
    // the STFT's frames are, when the step is below the input count).
    const int shapes[][2] = {{1, 1}, {3, 7}, {5, 8}, {9, 63}, {17, 65}, {256, 258}, {387, 128}};
    std::mt19937 rng(3);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (const auto &shape : shapes) {
        const int n_in = shape[0], n_out = shape[1];
        for (int n_vec = 1; n_vec <= 5; n_vec++) {
            const int x_step = n_in > 2 ? n_in / 2 : n_in;
            std::vector<float> w((size_t)n_in * n_out), x((size_t)(n_vec * x_step + n_in)),
                b((size_t)n_out);
            for (float &v : w)
                v = g(rng);
            for (float &v : x)
                v = g(rng);
            for (float &v : b)
                v = g(rng);
            for (const float *bias : {(const float *)nullptr, (const float *)b.data()}) {
                std::vector<float> want((size_t)(n_vec * n_out)), got(want.size());
                sil_speech_matvec_with(SIL_KERNEL_PLAIN, w.data(), n_in, n_out, x.data(), n_vec,
                                       x_step, bias, want.data());
                for (int kernel : {SIL_KERNEL_AVX2, SIL_KERNEL_AVX512}) {
                    if (!sil_kernel_available(kernel))
                        continue;
                    sil_speech_matvec_with(kernel, w.data(), n_in, n_out, x.data(), n_vec, x_step,
                                           bias, got.data());
                    EXPECT_TRUE(same_bits(got, want))
                        << n_in << "x" << n_out << " vectors " << n_vec << " kernel " << kernel;
                }
            }
        }
    }
}
