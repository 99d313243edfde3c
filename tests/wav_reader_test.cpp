// WAV reader: chunk walk, checks and messages in their order, decoding of
// every depth and tag, channel mixing and progress reports.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "engine.h"
#include "whole_buffer.h"
#include "wav_builder.h"

using namespace wavtest;

namespace {

struct ReadResult {
    int rc = 0;
    std::string err;
    sil_wav wav{};
    std::vector<float> samples;
};

// A record full of garbage, to see that a failed read zeroes it.
sil_wav garbage_record() {
    sil_wav w;
    w.samples = reinterpret_cast<float *>(uintptr_t{0x10});
    w.frames = 77;
    w.sample_rate = 77;
    w.bits_per_sample = 77;
    return w;
}

void take(ReadResult &r, sil_wav &w) {
    r.err = silsplit_last_error();
    r.wav = w;
    if (r.rc == 0 && w.samples)
        r.samples.assign(w.samples, w.samples + w.frames);
    if (r.rc == 0)
        sil_wav_free(&w);
}

ReadResult read_path(const std::string &path, sil_progress *p = nullptr) {
    ReadResult r;
    sil_wav w = garbage_record();
    sil_clear_error();
    r.rc = sil_wav_read(path.c_str(), &w, p);
    take(r, w);
    return r;
}

ReadResult read_memory(const Bytes &bytes) {
    ReadResult r;
    std::vector<uint8_t> copy(bytes);
    FILE *f = fmemopen(copy.data(), copy.size(), "r");
    if (!f) {
        ADD_FAILURE() << "fmemopen failed";
        r.rc = 99;
        return r;
    }
    sil_wav w = garbage_record();
    sil_clear_error();
    r.rc = sil_wav_read_stream(f, &w, nullptr);
    fclose(f);
    take(r, w);
    return r;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_zero_record(const sil_wav &w) {
    EXPECT_EQ(w.samples, nullptr);
    EXPECT_EQ(w.frames, 0);
    EXPECT_EQ(w.sample_rate, 0);
    EXPECT_EQ(w.bits_per_sample, 0);
}

// Reads the bytes from a disk file and from a memory stream; both must agree.
ReadResult read_bytes(const Bytes &bytes) {
    TempDir dir;
    ReadResult disk = read_path(dir.file("in.wav", bytes));
    ReadResult mem = read_memory(bytes);
    EXPECT_EQ(disk.rc, mem.rc);
    EXPECT_EQ(disk.err, mem.err);
    EXPECT_EQ(disk.wav.frames, mem.wav.frames);
    EXPECT_EQ(disk.wav.sample_rate, mem.wav.sample_rate);
    EXPECT_EQ(disk.wav.bits_per_sample, mem.wav.bits_per_sample);
    EXPECT_EQ(disk.samples.size(), mem.samples.size());
    for (size_t i = 0; i < disk.samples.size() && i < mem.samples.size(); ++i)
        EXPECT_TRUE(same_bits(disk.samples[i], mem.samples[i])) << "sample " << i;
    return disk;
}

const Bytes kTwoHalves = pcm16({16384, -16384}); // 0.5, -0.5

// ---------------------------------------------------------------------------
// Layouts that read, and layouts that fail, each with its message
// ---------------------------------------------------------------------------

struct LayoutCase {
    const char *name;
    Bytes bytes;
    const char *error; // nullptr: the read succeeds
    int frames;
    int rate;
    std::vector<float> samples; // checked when the read succeeds
};

std::ostream &operator<<(std::ostream &os, const LayoutCase &c) { return os << c.name; }

Bytes junk(size_t n) { return Bytes(n, 0x5A); }

std::vector<LayoutCase> layout_cases() {
    const Bytes fmt16 = fmt_body(1, 1, 8000, 16);
    // 10 bytes that, if the reader failed to skip them, would read as a
    // data chunk declaring 4 GiB.
    Bytes trap_tail;
    put_id(trap_tail, "data");
    put32(trap_tail, 0xFFFFFFFFu);
    trap_tail.push_back(0);
    trap_tail.push_back(0);
    Bytes fmt50 = fmt_body(1, 1, 8000, 16, Bytes(24, 0));
    fmt50.insert(fmt50.end(), trap_tail.begin(), trap_tail.end());
    const Bytes minimal = WavBuilder().fmt(1, 1, 8000, 16).data({}).build();

    return {
        // --- reads ---
        {"minimal_44_bytes", minimal, nullptr, 0, 8000, {}},
        {"riff_size_zero",
         WavBuilder().riff_size(0).fmt(1, 1, 8000, 16).data(kTwoHalves).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"riff_size_too_large",
         WavBuilder().riff_size(0xFFFFFFFFu).fmt(1, 1, 8000, 16).data(kTwoHalves).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"odd_other_chunk_skipped_with_pad",
         WavBuilder().chunk("LIST", junk(5), true).fmt(1, 1, 8000, 16).data(kTwoHalves).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"data_before_fmt",
         WavBuilder().data(kTwoHalves).fmt(1, 1, 8000, 16).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"last_data_chunk_wins",
         WavBuilder().fmt(1, 1, 8000, 16).data(pcm16({1, 2, 3})).data(kTwoHalves).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"last_fmt_chunk_wins",
         WavBuilder()
             .fmt(1, 1, 8000, 16)
             .fmt(1, 2, 22050, 16)
             .data(pcm16({16384, 0, -16384, 0}))
             .build(),
         nullptr,
         2,
         22050,
         {0.25f, -0.25f}},
        {"partial_frame_dropped",
         WavBuilder().fmt(1, 1, 8000, 16).data(pcm8({0x00, 0x40, 0x00, 0xC0, 0x7F})).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"fmt_of_18_bytes_read_whole",
         WavBuilder().chunk("fmt ", fmt_body(1, 1, 8000, 16, {0, 0})).data(kTwoHalves).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"fmt_of_50_bytes_rest_skipped",
         WavBuilder().chunk("fmt ", fmt50).data(kTwoHalves).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"fmt_rest_past_end_of_file",
         WavBuilder()
             .data(kTwoHalves)
             .chunk_declared("fmt ", 50, fmt_body(1, 1, 8000, 16, Bytes(24, 0)))
             .build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"fmt_declaring_4_GiB_ends_walk",
         WavBuilder()
             .data(kTwoHalves)
             .chunk_declared("fmt ", 0xFFFFFFFFu, fmt_body(1, 1, 8000, 16, Bytes(24, 0)))
             .raw(junk(16))
             .build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"other_chunk_of_size_0",
         WavBuilder().chunk("junk", {}).fmt(1, 1, 8000, 16).data(kTwoHalves).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"other_chunk_of_2_31_minus_1_not_skipped",
         WavBuilder()
             .chunk_declared("junk", 0x7FFFFFFFu, {})
             .fmt(1, 1, 8000, 16)
             .data(kTwoHalves)
             .build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"other_chunk_of_2_31_not_skipped",
         WavBuilder()
             .chunk_declared("junk", 0x80000000u, {})
             .fmt(1, 1, 8000, 16)
             .data(kTwoHalves)
             .build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"other_chunk_of_4_GiB_minus_2_not_skipped",
         WavBuilder()
             .chunk_declared("junk", 0xFFFFFFFEu, {})
             .fmt(1, 1, 8000, 16)
             .data(kTwoHalves)
             .build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"other_chunk_past_end_ends_walk",
         WavBuilder()
             .fmt(1, 1, 8000, 16)
             .data(kTwoHalves)
             .chunk_declared("junk", 1000, junk(3))
             .build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"trailing_1_byte",
         WavBuilder().fmt(1, 1, 8000, 16).data(kTwoHalves).raw(junk(1)).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},
        {"trailing_7_bytes",
         WavBuilder().fmt(1, 1, 8000, 16).data(kTwoHalves).raw(junk(7)).build(),
         nullptr,
         2,
         8000,
         {0.5f, -0.5f}},

        // --- fails, in the order of the checks ---
        {"43_bytes", Bytes(minimal.begin(), minimal.end() - 1), "file too small for WAV", 0, 0, {}},
        {"not_riff",
         WavBuilder().form("RIFX", "WAVE").fmt(1, 1, 8000, 16).data(kTwoHalves).build(),
         "not a RIFF/WAVE file",
         0,
         0,
         {}},
        {"not_wave",
         WavBuilder().form("RIFF", "AVI ").fmt(1, 1, 8000, 16).data(kTwoHalves).build(),
         "not a RIFF/WAVE file",
         0,
         0,
         {}},
        {"fmt_of_14_bytes",
         WavBuilder()
             .chunk("fmt ", Bytes(fmt16.begin(), fmt16.begin() + 14))
             .data(kTwoHalves)
             .build(),
         "bad fmt chunk",
         0,
         0,
         {}},
        {"fmt_body_short",
         WavBuilder().chunk_declared("fmt ", 40, fmt16).raw(junk(14)).build(),
         "fmt read fail",
         0,
         0,
         {}},
        {"data_of_4_GiB",
         WavBuilder().fmt(1, 1, 8000, 16).chunk_declared("data", 0xFFFFFFFFu, kTwoHalves).build(),
         "data chunk too large",
         0,
         0,
         {}},
        {"data_of_2_31_plus_1",
         WavBuilder().fmt(1, 1, 8000, 16).chunk_declared("data", 0x80000001u, kTwoHalves).build(),
         "data chunk too large",
         0,
         0,
         {}},
        {"data_of_2_31_short",
         WavBuilder().fmt(1, 1, 8000, 16).chunk_declared("data", 0x80000000u, kTwoHalves).build(),
         "data read fail",
         0,
         0,
         {}},
        {"data_body_short",
         WavBuilder().fmt(1, 1, 8000, 16).chunk_declared("data", 100, junk(10)).build(),
         "data read fail",
         0,
         0,
         {}},
        {"walk_reports_first_bad_chunk_data",
         WavBuilder()
             .chunk_declared("data", 0xFFFFFFFFu, {})
             .chunk("fmt ", Bytes(fmt16.begin(), fmt16.begin() + 14))
             .raw(junk(8))
             .build(),
         "data chunk too large",
         0,
         0,
         {}},
        {"walk_reports_first_bad_chunk_fmt",
         WavBuilder()
             .chunk("fmt ", Bytes(fmt16.begin(), fmt16.begin() + 14))
             .chunk_declared("data", 0xFFFFFFFFu, {})
             .raw(junk(8))
             .build(),
         "bad fmt chunk",
         0,
         0,
         {}},
        {"walk_fails_before_format_checks",
         WavBuilder().fmt(2, 0, 0, 12).chunk_declared("data", 100, junk(10)).build(),
         "data read fail",
         0,
         0,
         {}},
        {"no_data_chunk",
         WavBuilder().fmt(1, 1, 8000, 16).chunk("junk", junk(16)).build(),
         "missing fmt or data chunk",
         0,
         0,
         {}},
        {"no_fmt_chunk",
         WavBuilder().chunk("junk", junk(16)).data(kTwoHalves).build(),
         "missing fmt or data chunk",
         0,
         0,
         {}},
        {"chunk_ids_are_case_sensitive",
         WavBuilder().chunk("FMT ", fmt16).data(kTwoHalves).build(),
         "missing fmt or data chunk",
         0,
         0,
         {}},
        {"zero_channels_whatever_the_tag",
         WavBuilder().fmt(2, 0, 8000, 12).data(kTwoHalves).build(),
         "invalid channel/sample rate",
         0,
         0,
         {}},
        {"zero_rate",
         WavBuilder().fmt(1, 1, 0, 16).data(kTwoHalves).build(),
         "invalid channel/sample rate",
         0,
         0,
         {}},
        {"rate_of_2_31",
         WavBuilder().fmt(1, 1, 0x80000000u, 16).data(kTwoHalves).build(),
         "invalid channel/sample rate",
         0,
         0,
         {}},
        {"tag_tested_before_depth",
         WavBuilder().fmt(2, 1, 8000, 12).data(kTwoHalves).build(),
         "unsupported WAV format",
         0,
         0,
         {}},
        {"depth_12",
         WavBuilder().fmt(1, 1, 8000, 12).data(kTwoHalves).build(),
         "unsupported bit depth",
         0,
         0,
         {}},
        {"float_depth_64",
         WavBuilder().fmt(3, 1, 8000, 64).data(junk(16)).build(),
         "unsupported bit depth",
         0,
         0,
         {}},
    };
}

class ReaderLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ReaderLayout, ReadsOrFailsWithItsMessage) {
    const LayoutCase &c = GetParam();
    ReadResult r = read_bytes(c.bytes);
    if (c.error) {
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, c.error);
        expect_zero_record(r.wav);
        return;
    }
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.wav.frames, c.frames);
    EXPECT_EQ(r.wav.sample_rate, c.rate);
    EXPECT_EQ(r.wav.bits_per_sample, 16);
    ASSERT_EQ(r.samples.size(), c.samples.size());
    for (size_t i = 0; i < c.samples.size(); ++i)
        EXPECT_EQ(r.samples[i], c.samples[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ReaderLayout, ::testing::ValuesIn(layout_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(WavReader, MinimalFileIsExactly44BytesAndHasAnEmptyBlock) {
    const Bytes b = WavBuilder().fmt(1, 1, 8000, 16).data({}).build();
    ASSERT_EQ(b.size(), 44u);
    TempDir dir;
    sil_wav w = garbage_record();
    ASSERT_EQ(sil_wav_read(dir.file("a.wav", b).c_str(), &w, nullptr), 0);
    EXPECT_EQ(w.frames, 0);
    EXPECT_NE(w.samples, nullptr);
    sil_wav_free(&w);
    EXPECT_EQ(w.samples, nullptr);
    EXPECT_EQ(w.sample_rate, 8000); // left as it was
    EXPECT_EQ(w.bits_per_sample, 16);
}

TEST(WavReader, PathFailures) {
    TempDir dir;
    sil_wav w = garbage_record();
    sil_set_error("stale");
    EXPECT_EQ(sil_wav_read(nullptr, &w, nullptr), -1);
    EXPECT_STREQ(silsplit_last_error(), "NULL wav path");
    expect_zero_record(w);

    w = garbage_record();
    EXPECT_EQ(sil_wav_read((dir / "missing.wav").c_str(), &w, nullptr), -1);
    EXPECT_STREQ(silsplit_last_error(), "cannot open wav file");
    expect_zero_record(w);

    // Every size under 44 bytes is refused, whatever the bytes say.
    for (size_t n : {size_t{0}, size_t{12}, size_t{43}}) {
        w = garbage_record();
        Bytes full = WavBuilder().fmt(1, 1, 8000, 16).data({}).build();
        EXPECT_EQ(sil_wav_read(dir.file("short.wav", Bytes(full.begin(), full.begin() + n)).c_str(),
                               &w, nullptr),
                  -1);
        EXPECT_STREQ(silsplit_last_error(), "file too small for WAV") << n;
        expect_zero_record(w);
    }
    sil_wav_free(nullptr); // harmless
}

// ---------------------------------------------------------------------------
// Decoding of each depth and format tag
// ---------------------------------------------------------------------------

struct DecodeCase {
    const char *name;
    Bytes fmt;
    Bytes data;
    std::vector<float> expect;
};

std::ostream &operator<<(std::ostream &os, const DecodeCase &c) { return os << c.name; }

Bytes extensible_pcm_subformat(uint16_t bits) {
    Bytes ext;
    put16(ext, 22);   // extension size
    put16(ext, bits); // valid bits
    put32(ext, 4);    // channel mask
    const uint8_t pcm_guid[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    ext.insert(ext.end(), pcm_guid, pcm_guid + 16);
    return fmt_body(0xFFFE, 1, 8000, bits, ext);
}

// An extensible fmt chunk with the given extension size field, sub-format
// tag and extension length in bytes (24 is the whole of it).
Bytes extensible_subformat(uint16_t bits, uint16_t ext_size, uint8_t tag, size_t ext_len) {
    Bytes ext;
    put16(ext, ext_size);
    put16(ext, bits);
    put32(ext, 4);
    const uint8_t guid[16] = {tag, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    ext.insert(ext.end(), guid, guid + 16);
    ext.resize(ext_len);
    return fmt_body(0xFFFE, 1, 8000, bits, ext);
}

std::vector<DecodeCase> decode_cases() {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> s16 = {-1.0f, 0.999969482421875f, 0.0f, 0x1p-15f};
    const Bytes d16 = pcm16({-32768, 32767, 0, 1});
    return {
        {"int8",
         fmt_body(1, 1, 8000, 8),
         pcm8({0, 128, 255, 129}),
         {-1.0f, 0.0f, 0.9921875f, 0.0078125f}},
        {"int8_under_float_tag",
         fmt_body(3, 1, 8000, 8),
         pcm8({0, 128, 255}),
         {-1.0f, 0.0f, 0.9921875f}},
        {"int16", fmt_body(1, 1, 8000, 16), d16, s16},
        {"int16_under_float_tag", fmt_body(3, 1, 8000, 16), d16, s16},
        {"int16_under_extensible_tag", extensible_pcm_subformat(16), d16, s16},
        {"int24",
         fmt_body(1, 1, 8000, 24),
         pcm24({-8388608, 8388607, 1, -1, 0x400000}),
         {-1.0f, 0x1.fffffcp-1f, 0x1p-23f, -0x1p-23f, 0.5f}},
        {"int24_under_float_tag",
         fmt_body(3, 1, 8000, 24),
         pcm24({-8388608, 0x400000}),
         {-1.0f, 0.5f}},
        // Converted to single precision before scaling: 2^31 - 1 becomes 2^31,
        // 2^24 + 1 becomes 2^24.
        {"int32",
         fmt_body(1, 1, 8000, 32),
         pcm32({2147483647, -2147483647 - 1, 1, 0x40000000, 16777217}),
         {1.0f, -1.0f, 0x1p-31f, 0.5f, 0x1p-7f}},
        {"float32",
         fmt_body(3, 1, 8000, 32),
         f32({0.25f, -1.5f, 3.0f, inf, -inf, 1e-30f}),
         {0.25f, -1.5f, 3.0f, inf, -inf, 1e-30f}},
        // The sub-format says integer PCM: 32-bit samples are integers, as
        // under tag 1.
        {"int32_under_extensible_pcm_subformat",
         extensible_pcm_subformat(32),
         pcm32({1073741824, -2147483647 - 1, 2147483647}),
         {0.5f, -1.0f, 1.0f}},
        // Float unless the whole extension is there and names PCM.
        {"float32_under_extensible_float_subformat",
         extensible_subformat(32, 22, 3, 24),
         f32({0.25f, -7.0f}),
         {0.25f, -7.0f}},
        {"float32_under_extension_size_21",
         extensible_subformat(32, 21, 1, 24),
         f32({0.25f, -7.0f}),
         {0.25f, -7.0f}},
        {"float32_under_extension_cut_short",
         extensible_subformat(32, 22, 1, 22),
         f32({0.25f, -7.0f}),
         {0.25f, -7.0f}},
        {"int16_under_extensible_float_subformat",
         extensible_subformat(16, 22, 3, 24),
         d16,
         s16},
    };
}

class ReaderDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ReaderDecode, GivesExactValues) {
    const DecodeCase &c = GetParam();
    const uint16_t bits = get16(c.fmt, 14);
    ReadResult r = read_bytes(WavBuilder().chunk("fmt ", c.fmt).data(c.data).build());
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.wav.bits_per_sample, bits);
    EXPECT_EQ(r.wav.sample_rate, 8000);
    ASSERT_EQ(r.samples.size(), c.expect.size());
    for (size_t i = 0; i < c.expect.size(); ++i)
        EXPECT_TRUE(same_bits(r.samples[i], c.expect[i]))
            << "sample " << i << ": " << r.samples[i] << " != " << c.expect[i];
}

INSTANTIATE_TEST_SUITE_P(DepthsAndTags, ReaderDecode, ::testing::ValuesIn(decode_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(WavReader, FloatNaNPassesThrough) {
    ReadResult r = read_bytes(wavf32(8000, 1, {std::nanf(""), 1.0f}));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.samples.size(), 2u);
    EXPECT_TRUE(std::isnan(r.samples[0]));
    EXPECT_EQ(r.samples[1], 1.0f);
}

// ---------------------------------------------------------------------------
// Mixing down: the mean of the channels, summed in double precision
// ---------------------------------------------------------------------------

TEST(WavReader, MixesChannelsToTheirMean) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char *name;
        Bytes file;
        std::vector<float> expect;
    } cases[] = {
        {"stereo_int16",
         wav16(8000, 2, {16384, -16384, 32767, 32767, 16384, 0}),
         {0.0f, 0.999969482421875f, 0.25f}},
        {"three_channels_int8",
         WavBuilder().fmt(1, 3, 8000, 8).data(pcm8({0, 128, 255})).build(),
         {static_cast<float>((-1.0 + 0.0 + 0.9921875) / 3.0)}},
        // A float sum would overflow to infinity; the double sum does not.
        {"stereo_float_large", wavf32(8000, 2, {3e38f, 3e38f, -3e38f, -3e38f}), {3e38f, -3e38f}},
        {"stereo_float_infinities", wavf32(8000, 2, {inf, 1.0f, -inf, -2.0f}), {inf, -inf}},
        // Bytes after the last whole frame are dropped.
        {"stereo_partial_frame",
         WavBuilder().fmt(1, 2, 8000, 16).data(pcm16({16384, 0, 5})).build(),
         {0.25f}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ReadResult r = read_bytes(c.file);
        ASSERT_EQ(r.rc, 0) << r.err;
        ASSERT_EQ(r.samples.size(), c.expect.size());
        for (size_t i = 0; i < c.expect.size(); ++i)
            EXPECT_TRUE(same_bits(r.samples[i], c.expect[i]))
                << r.samples[i] << " != " << c.expect[i];
    }
    ReadResult nan_mix = read_bytes(wavf32(8000, 2, {inf, -inf}));
    ASSERT_EQ(nan_mix.rc, 0);
    EXPECT_TRUE(std::isnan(nan_mix.samples.at(0)));
}

// ---------------------------------------------------------------------------
// Progress and cancelling
// ---------------------------------------------------------------------------

struct Recorder {
    std::vector<std::pair<int, std::string>> calls;
    int cancel_at = -1; // index of the call that cancels
};

int record(int pct, const char *stage, void *user) {
    auto *r = static_cast<Recorder *>(user);
    r->calls.emplace_back(pct, stage);
    return static_cast<int>(r->calls.size()) - 1 == r->cancel_at ? 1 : 0;
}

using Calls = std::vector<std::pair<int, std::string>>;

TEST(WavReaderProgress, ReportsEvery65536FramesThenHandsOverAt20) {
    TempDir dir;
    const std::string path = dir.file("p.wav", wav16(8000, 1, std::vector<int16_t>(100000, 16384)));
    Recorder rec;
    sil_progress p{record, &rec, -1, 0};
    sil_wav w{};
    ASSERT_EQ(sil_wav_read(path.c_str(), &w, &p), 0);
    EXPECT_EQ(rec.calls, (Calls{{0, "read"}, {13, "read"}, {20, "resample"}}));
    EXPECT_EQ(w.frames, 100000);
    EXPECT_EQ(w.samples[99999], 0.5f);
    sil_wav_free(&w);
}

TEST(WavReaderProgress, CancelAtAnyReportLeavesNothing) {
    TempDir dir;
    const std::string path = dir.file("p.wav", wav16(8000, 1, std::vector<int16_t>(100000, 1)));
    for (int at = 0; at < 3; ++at) {
        SCOPED_TRACE(at);
        Recorder rec;
        rec.cancel_at = at;
        sil_progress p{record, &rec, -1, 0};
        ReadResult r = read_path(path, &p);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, "cancelled");
        expect_zero_record(r.wav);
        EXPECT_EQ(rec.calls.size(), static_cast<size_t>(at + 1));
    }
}

// ---------------------------------------------------------------------------
// Large files: 64-bit sizes and seeks, and no allocation for a body that the
// file cannot hold
// ---------------------------------------------------------------------------

// Writes `head` at offset 0 and `tail` at `tail_at`, leaving a hole between.
std::string sparse_file(const TempDir &dir, const Bytes &head, uint64_t tail_at,
                        const Bytes &tail) {
    const std::string path = dir / "big.wav";
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0)
        return "";
    bool ok = pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
              pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(tail_at)) ==
                  static_cast<ssize_t>(tail.size());
    close(fd);
    return ok ? path : "";
}

TEST(WavReaderLargeFile, FileOver2GiBIsNotTooSmall) {
    TempDir dir;
    // fmt, a data chunk of two frames, then a chunk whose body runs to
    // 2 GiB + 56 bytes.
    Bytes head = WavBuilder()
                     .fmt(1, 1, 8000, 16)
                     .data(kTwoHalves)
                     .chunk_declared("junk", 0x7FFFFFF0u, {})
                     .build();
    const uint64_t end = head.size() + 0x7FFFFFF0ull;
    const std::string path = sparse_file(dir, head, end - 1, {0});
    if (path.empty())
        GTEST_SKIP() << "cannot create a sparse file here";
    ReadResult r = read_path(path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.samples, (std::vector<float>{0.5f, -0.5f}));
}

TEST(WavReaderLargeFile, FmtRestOf2GiBIsSkippedForward) {
    TempDir dir;
    const uint32_t fmt_size = 40u + 0x80000000u;
    Bytes head = WavBuilder()
                     .chunk_declared("fmt ", fmt_size, fmt_body(1, 1, 8000, 16, Bytes(24, 0)))
                     .build();
    const uint64_t data_at = 12 + 8 + uint64_t{fmt_size};
    Bytes tail;
    put_id(tail, "data");
    put32(tail, 4);
    tail.insert(tail.end(), kTwoHalves.begin(), kTwoHalves.end());
    const std::string path = sparse_file(dir, head, data_at, tail);
    if (path.empty())
        GTEST_SKIP() << "cannot create a sparse file here";
    ReadResult r = read_path(path);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.samples, (std::vector<float>{0.5f, -0.5f}));
}

// Child side of the test below: reads `path` with the address space limited
// to what the process uses plus 256 MiB, and exits 0 when the read failed.
[[noreturn]] void read_under_memory_limit(const std::string &path) {
    long vm_kb = 0;
    if (FILE *st = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, st))
            if (std::sscanf(line, "VmSize: %ld kB", &vm_kb) == 1)
                break;
        std::fclose(st);
    }
    const rlim_t limit = static_cast<rlim_t>(vm_kb) * 1024 + (rlim_t{256} << 20);
    struct rlimit rl;
    rl.rlim_cur = limit;
    rl.rlim_max = limit;
    if (vm_kb <= 0 || setrlimit(RLIMIT_AS, &rl) != 0) {
        std::fprintf(stderr, "no limit");
        std::_Exit(2);
    }
    sil_wav w{};
    int rc = sil_wav_read(path.c_str(), &w, nullptr);
    std::fprintf(stderr, "[%s]", silsplit_last_error());
    std::_Exit(rc == -1 ? 0 : 1);
}

// A tiny file declaring a 2 GiB data chunk must fail without trying to
// allocate 2 GiB: under a small address-space limit the message is still
// "data read fail", not "out of memory".
TEST(WavReaderLargeFileDeathTest, HugeDeclaredDataIsRefusedBeforeAllocating) {
    TempDir dir;
    const std::string path = dir.file(
        "huge.wav",
        WavBuilder().fmt(1, 1, 8000, 16).chunk_declared("data", 0x80000000u, kTwoHalves).build());
    EXPECT_EXIT(read_under_memory_limit(path), ::testing::ExitedWithCode(0),
                "\\[data read fail\\]");
}

// ---------------------------------------------------------------------------
// 32-bit integer files from real encoders
// ---------------------------------------------------------------------------

bool have_program(const char *name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// sox and ffmpeg write 32-bit integer PCM under the extensible tag with the
// PCM sub-format. Widened from 16 bits, every sample keeps its value exactly,
// so the analysis must match the 16-bit original's.
TEST(WavReaderEncoders, ThirtyTwoBitIntegerFilesReadAsIntegers) {
    TempDir dir;
    std::vector<int16_t> v = runs16({{24000, 12000}, {16000, 3}, {40000, -9000}, {8000, 0}});
    v[100] = -32768;
    v[101] = 32767;
    const std::string in = dir.file("in.wav", wav16(16000, 1, v));
    const ReadResult want = read_path(in);
    ASSERT_EQ(want.rc, 0) << want.err;
    const std::string report = wavtest::take(silsplit_analyze(in.c_str(), "{\"min_chapter_s\":1}"));
    ASSERT_NE(report, "<null>");

    struct Encoder {
        const char *program;
        std::string command;
    } encoders[] = {
        {"sox", "sox '" + in + "' -b 32 -e signed '" + (dir / "sox.wav") + "'"},
        {"ffmpeg", "ffmpeg -nostdin -loglevel error -y -i '" + in + "' -c:a pcm_s32le '" +
                       (dir / "ffmpeg.wav") + "'"},
    };
    for (const Encoder &e : encoders) {
        SCOPED_TRACE(e.program);
        if (!have_program(e.program)) {
            ADD_FAILURE() << e.program << " is not installed (scripts/install-deps.sh)";
            continue;
        }
        ASSERT_EQ(std::system(e.command.c_str()), 0) << e.command;
        const std::string out = dir / (std::string(e.program) + ".wav");
        const Bytes file = read_file(out);
        ASSERT_GT(file.size(), 40u);
        const ReadResult got = read_path(out);
        ASSERT_EQ(got.rc, 0) << got.err;
        EXPECT_EQ(got.wav.bits_per_sample, 32);
        ASSERT_EQ(got.samples.size(), want.samples.size());
        for (size_t i = 0; i < want.samples.size(); ++i)
            ASSERT_EQ(got.samples[i], want.samples[i]) << i;
        EXPECT_EQ(wavtest::take(silsplit_analyze(out.c_str(), "{\"min_chapter_s\":1}")), report);
    }
}

} // namespace
