// Guards the exact output of the whole pipeline. Speed work must never change
// a report, a chapter file or a message by a single bit: each fixture below is
// a deterministic recording whose report text and chapter files are hashed and
// compared with stored values.
//
// To see the current values (after a deliberate change of output only):
//   SILSPLIT_IDENTITY_PRINT=1 ./silsplit_tests --gtest_filter='Identity*'
#include "silsplit.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using wavtest::Bytes;

uint64_t fnv1a(uint64_t h, const void *data, size_t n) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}
constexpr uint64_t kFnvBasis = 14695981039346656037ull;

// Speech-like content: bursts of noise at about -25 dBFS between pauses of
// low noise at about -75 dBFS, from a fixed seed. Values are in [-1, 1).
std::vector<double> program(uint32_t frames, uint32_t rate, uint16_t channels, uint32_t seed) {
    std::vector<double> v((size_t)frames * channels);
    uint32_t s = seed;
    auto next = [&s]() {
        s = s * 1664525u + 1013904223u;
        return s >> 8; // 24 random bits
    };
    bool loud = false;
    uint32_t left = 0;
    double amp = 0.0;
    for (uint32_t i = 0; i < frames; i++) {
        if (left == 0) {
            loud = !loud;
            left = loud ? rate + next() % (5 * rate) : rate / 4 + next() % (2 * rate);
            amp = loud ? 0.1 : 0.0003;
        }
        left--;
        for (uint16_t c = 0; c < channels; c++)
            v[(size_t)i * channels + c] = amp * ((double)next() / 8388608.0 - 1.0);
    }
    return v;
}

Bytes encode(const std::vector<double> &v, uint16_t tag, uint16_t bits) {
    Bytes b;
    b.reserve(v.size() * (bits / 8));
    for (double x : v) {
        if (bits == 8)
            b.push_back((uint8_t)(128 + (int)(x * 127.0)));
        else if (bits == 16)
            wavtest::put16(b, (uint16_t)(int16_t)(x * 32767.0));
        else if (bits == 24)
            wavtest::put24(b, (uint32_t)(int32_t)(x * 8388607.0) & 0xFFFFFFu);
        else if (tag == 1)
            wavtest::put32(b, (uint32_t)(int32_t)(x * 2147483647.0));
        else {
            const float f = (float)x;
            uint32_t u;
            memcpy(&u, &f, 4);
            wavtest::put32(b, u);
        }
    }
    return b;
}

struct Fixture {
    const char *name;
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    uint32_t seconds;
    uint32_t extra_frames; // frames after the whole seconds
    const char *opts;
    int chapters;       // expected count
    uint64_t report;    // hash of the report text
    uint64_t files;     // hash of every chapter file and chapters.json, in order
};

// clang-format off
const Fixture kFixtures[] = {
    {"s16_stereo_44100", 1, 2, 44100, 16, 40, 0, "{\"min_chapter_s\":1}", 4, 0xd56e619664507577ull, 0x62aa59288bb40ca6ull},
    {"u8_mono_22050", 1, 1, 22050, 8, 40, 0, "{\"min_chapter_s\":1}", 4, 0x140deb9064494803ull, 0xb05e933af122203cull},
    {"s16_mono_16000", 1, 1, 16000, 16, 40, 0, "{\"min_chapter_s\":1,\"padding_s\":0.1}", 7, 0x091b1bc68aa66226ull, 0x20970c1a558d5a50ull},
    {"s24_stereo_48000", 1, 2, 48000, 24, 30, 0, "{\"min_chapter_s\":1,\"max_chapter_s\":2.5}", 11, 0xc1303252f0efe1a9ull, 0xfe175038afed1071ull},
    {"s24_6ch_11025", 1, 6, 11025, 24, 30, 0, "{\"min_chapter_s\":1}", 3, 0x70fb16cf2ffac31full, 0x237a165914fa2d9aull},
    {"s32_3ch_32000", 1, 3, 32000, 32, 30, 0, "{\"min_chapter_s\":1,\"threshold_db\":-45}", 5, 0x3b3b83365ec38a82ull, 0xea892787ecd02c6bull},
    {"f32_mono_16000", 3, 1, 16000, 32, 30, 0, "{\"min_chapter_s\":1}", 5, 0xeaacc242176ac736ull, 0x95ac95ef16216c57ull},
    {"f32_ext_stereo_8000", 0xFFFE, 2, 8000, 32, 30, 0, "{\"min_chapter_s\":1}", 4, 0x65830826e76f9f21ull, 0x26e045943bc62251ull},
    {"s16_5ch_96000", 1, 5, 96000, 16, 12, 0, "{\"min_chapter_s\":0.5,\"min_silence_s\":0.3}", 2, 0xe284eaf1210b4a8dull, 0x390c035d8506f72dull},
    {"s16_stereo_8000_default_opts", 1, 2, 8000, 16, 60, 0, nullptr, 3, 0x4219dea9649c0228ull, 0x0e824a636cd42d55ull},
    // Lengths and rates that put the ends of the reader's blocks (65536
    // frames), of the resampler's blocks and of the last block at odd places:
    // inside a 20 ms frame, between the two inputs of an output, a full last
    // block, rates whose ratio to 16 kHz has no short period.
    {"u8_mono_7919_prime_rate", 1, 1, 7919, 8, 20, 777, "{\"min_chapter_s\":1}", 2, 0x21134d7b4e6bdca7ull, 0x258d637452691a8eull},
    {"s16_mono_96000_last_block_short", 1, 1, 96000, 16, 20, 65535, "{\"min_chapter_s\":1}", 1, 0x4972b2863f947986ull, 0x9d337440303d6631ull},
    {"s24_stereo_44100_whole_blocks", 1, 2, 44100, 24, 0, 15 * 65536, "{\"min_chapter_s\":1}", 2, 0x258e84815d8df2c3ull, 0x5d01ce322ac3a49dull},
    {"f32_mono_8000_odd_tail", 3, 1, 8000, 32, 30, 1, "{\"min_chapter_s\":1}", 1, 0xdccc08c767c089fbull, 0x5e42cc452970e55full},
    {"s16_stereo_16000_tail_inside_frame", 1, 2, 16000, 16, 40, 159, "{\"min_chapter_s\":1,\"padding_s\":0.3}", 2, 0x13ed6c3c7b4ed364ull, 0x575a2ef8291b63e6ull},
    {"s16_mono_32000_half_rate", 1, 1, 32000, 16, 25, 3, "{\"min_chapter_s\":1}", 4, 0x638fc79cb2e28e39ull, 0x47f0993b23a608f1ull},
    {"s16_4ch_22050", 1, 4, 22050, 16, 25, 65537, "{\"min_chapter_s\":1,\"max_chapter_s\":3}", 9, 0xac7873ba98555722ull, 0x02e3d2a1acc4fdc8ull},
    {"s32_mono_192000", 1, 1, 192000, 32, 8, 12345, "{\"min_chapter_s\":0.5,\"min_silence_s\":0.3}", 1, 0xf5e7596d74f62d0bull, 0x985704d582ca3279ull},
    // The chapter rules and the report members they add.
    {"s16_mono_16000_auto_pauses", 1, 1, 16000, 16, 40, 0, "{\"min_chapter_s\":1,\"auto_threshold\":true,\"report_pauses\":true}", 5, 0xf63a533c1cac2693ull, 0x6b86363333e97fffull},
    {"s24_stereo_48000_keep_all_cut", 1, 2, 48000, 24, 30, 0, "{\"keep_all\":true,\"max_chapter_s\":2.5,\"cut_at_pause\":true}", 14, 0x09723a492ea6901aull, 0x864abb0ab4aa8f32ull},
    {"s16_stereo_44100_count_levels", 1, 2, 44100, 16, 40, 0, "{\"chapter_count\":3,\"report_levels\":true}", 3, 0x178867b8bcaf5526ull, 0xf9c2787b30732dd2ull},
};
// clang-format on

bool print_mode() { return getenv("SILSPLIT_IDENTITY_PRINT") != nullptr; }

class Identity : public ::testing::TestWithParam<Fixture> {};

TEST_P(Identity, ReportAndChapterFilesAreUnchanged) {
    const Fixture &f = GetParam();
    wavtest::TempDir dir;
    const uint32_t frames = f.seconds * f.rate + f.extra_frames;
    const std::vector<double> content = program(frames, f.rate, f.channels, 12345u + f.rate);
    const std::string wav = dir.file(
        "in.wav", wavtest::WavBuilder()
                      .fmt(f.tag, f.channels, f.rate, f.bits)
                      .data(encode(content, f.tag, f.bits))
                      .build());

    char *report = silsplit_analyze(wav.c_str(), f.opts);
    ASSERT_NE(nullptr, report) << silsplit_last_error();
    const std::string text = report;
    silsplit_free_string(report);
    const uint64_t report_hash = fnv1a(kFnvBasis, text.data(), text.size());

    const std::string out = dir / "out";
    const int n = silsplit_write_chapters(wav.c_str(), f.opts, out.c_str());
    ASSERT_GE(n, 0) << silsplit_last_error();
    uint64_t files_hash = kFnvBasis;
    for (int k = 1; k <= n; k++) {
        char name[32];
        snprintf(name, sizeof name, "ch_%03d.wav", k);
        const Bytes b = wavtest::read_file(out + "/" + name);
        files_hash = fnv1a(files_hash, b.data(), b.size());
    }
    const Bytes json = wavtest::read_file(out + "/chapters.json");
    files_hash = fnv1a(files_hash, json.data(), json.size());

    if (print_mode()) {
        printf("    {\"%s\", ..., %d, 0x%016" PRIx64 "ull, 0x%016" PRIx64 "ull},\n", f.name, n,
               report_hash, files_hash);
        return;
    }
    EXPECT_EQ(f.chapters, n);
    EXPECT_EQ(f.report, report_hash) << text;
    EXPECT_EQ(f.files, files_hash);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Identity, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<Fixture> &i) {
                             return std::string(i.param.name);
                         });

// The in-memory entry on a float buffer at a rate that needs resampling and
// at 16 kHz, where no resampling is needed.
TEST(IdentityPcm, ReportsAreUnchanged) {
    struct {
        int rate;
        uint32_t extra_frames; // after 30 s
        uint64_t want;
    } cases[] = {{44100, 0, 0xbdfaaae28f04ca76ull},
                 {16000, 0, 0x30f6789c3781b97bull},
                 {7919, 333, 0xb84abfc36257569dull},
                 {96000, 65535, 0xd46abb5f520147a3ull},
                 {8000, 1, 0x9ede7df896e8213bull},
                 {16000, 159, 0xa92ec15d8f2c0bceull}};
    for (const auto &c : cases) {
        const std::vector<double> content =
            program(30u * (uint32_t)c.rate + c.extra_frames, (uint32_t)c.rate, 1, 777u);
        std::vector<float> pcm(content.begin(), content.end());
        const std::string opts =
            "{\"min_chapter_s\":1,\"sample_rate\":" + std::to_string(c.rate) + "}";
        char *report = silsplit_analyze_pcm(pcm.data(), (int)pcm.size(), opts.c_str());
        ASSERT_NE(nullptr, report) << silsplit_last_error();
        const std::string text = report;
        silsplit_free_string(report);
        const uint64_t h = fnv1a(kFnvBasis, text.data(), text.size());
        if (print_mode())
            printf("    {%d, %u, 0x%016" PRIx64 "ull},\n", c.rate, c.extra_frames, h);
        else
            EXPECT_EQ(c.want, h) << text;
    }
}

} // namespace
