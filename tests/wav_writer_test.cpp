// WAV writer: the fixed 44-byte header, sample conversion, argument checks
// and failing writes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine.h"
#include "whole_buffer.h"
#include "wav_builder.h"

using namespace wavtest;

namespace {

Bytes expected_header(uint32_t n, uint32_t rate) {
    Bytes h;
    put_id(h, "RIFF");
    put32(h, 36 + 2 * n);
    put_id(h, "WAVE");
    put_id(h, "fmt ");
    put32(h, 16);
    put16(h, 1);
    put16(h, 1);
    put32(h, rate);
    put32(h, 2 * rate);
    put16(h, 2);
    put16(h, 16);
    put_id(h, "data");
    put32(h, 2 * n);
    return h;
}

TEST(WavWriter, WritesTheFixedHeaderAndReadsBack) {
    TempDir dir;
    const std::string path = dir / "out.wav";
    const float in[3] = {1.0f, -0.5f, 0.25f};
    sil_set_error("earlier");
    ASSERT_EQ(sil_wav_write_pcm16(path.c_str(), in, 3, 44100), 0);
    EXPECT_STREQ(silsplit_last_error(), "earlier"); // the writer never empties the text

    Bytes want = expected_header(3, 44100);
    put16(want, 32767);
    put16(want, static_cast<uint16_t>(-16384));
    put16(want, 8192); // 8191.75
    EXPECT_EQ(read_file(path), want);

    sil_wav w{};
    ASSERT_EQ(sil_wav_read(path.c_str(), &w, nullptr), 0);
    EXPECT_EQ(w.sample_rate, 44100);
    EXPECT_EQ(w.bits_per_sample, 16);
    ASSERT_EQ(w.frames, 3);
    EXPECT_EQ(w.samples[0], 0.999969482421875f);
    EXPECT_EQ(w.samples[1], -0.5f);
    sil_wav_free(&w);
}

TEST(WavWriter, NoSamplesGivesA44ByteFile) {
    TempDir dir;
    const std::string path = dir / "empty.wav";
    const float dummy = 0.0f;
    ASSERT_EQ(sil_wav_write_pcm16(path.c_str(), &dummy, 0, 8000), 0);
    EXPECT_EQ(read_file(path), expected_header(0, 8000));
}

TEST(WavWriter, ReplacesAnExistingFile) {
    TempDir dir;
    const std::string path = dir.file("old.wav", Bytes(1000, 0xEE));
    const float in[2] = {0.0f, 0.0f};
    ASSERT_EQ(sil_wav_write_pcm16(path.c_str(), in, 2, 16000), 0);
    Bytes want = expected_header(2, 16000);
    want.resize(48, 0);
    EXPECT_EQ(read_file(path), want);
}

TEST(WavWriter, ConvertsSamples) {
    const float inf = std::numeric_limits<float>::infinity();
    // Products that are exact halves go to the even integer.
    const float two_and_a_half = 0x1.40028p-14f; // * 32767 = 2.5 exactly
    ASSERT_EQ(two_and_a_half * 32767.0f, 2.5f);
    struct Case {
        const char *name;
        float in;
        int16_t out;
    } cases[] = {
        {"zero", 0.0f, 0},
        {"negative_zero", -0.0f, 0},
        {"half_to_even_up", 0.5f, 16384},
        {"minus_half", -0.5f, -16384},
        {"2.5_to_even_down", two_and_a_half, 2},
        {"minus_2.5_to_even", -two_and_a_half, -2},
        {"one", 1.0f, 32767},
        {"minus_one", -1.0f, -32767},
        {"tenth_rounds_to_nearest", 0.1f, 3277},
        {"minus_tenth", -0.1f, -3277},
        {"just_above_one", 1.0000001f, 32767},
        {"two", 2.0f, 32767},
        {"minus_three", -3.0f, -32767},
        {"plus_infinity", inf, 32767},
        {"minus_infinity", -inf, -32767},
        {"nan", std::numeric_limits<float>::quiet_NaN(), 0},
        {"negative_nan", -std::numeric_limits<float>::quiet_NaN(), 0},
    };
    std::vector<float> in;
    for (const Case &c : cases)
        in.push_back(c.in);

    TempDir dir;
    const std::string path = dir / "values.wav";
    ASSERT_EQ(sil_wav_write_pcm16(path.c_str(), in.data(), static_cast<int>(in.size()), 8000), 0);
    const Bytes b = read_file(path);
    ASSERT_EQ(b.size(), 44 + 2 * in.size());
    for (size_t i = 0; i < in.size(); ++i)
        EXPECT_EQ(static_cast<int16_t>(get16(b, 44 + 2 * i)), cases[i].out) << cases[i].name;
}

TEST(WavWriter, RefusesBadArguments) {
    TempDir dir;
    const std::string path = dir / "x.wav";
    const float one = 1.0f;
    struct Case {
        const char *name;
        const char *path;
        const float *samples;
        int n;
        int rate;
    } cases[] = {
        {"null_path", nullptr, &one, 1, 8000},
        {"null_samples_with_no_count", path.c_str(), nullptr, 0, 8000},
        {"negative_count", path.c_str(), &one, -1, 8000},
        {"zero_rate", path.c_str(), &one, 1, 0},
        {"negative_rate", path.c_str(), &one, 1, -44100},
    };
    for (const Case &c : cases) {
        sil_clear_error();
        EXPECT_EQ(sil_wav_write_pcm16(c.path, c.samples, c.n, c.rate), -1) << c.name;
        EXPECT_STREQ(silsplit_last_error(), "invalid wav write args") << c.name;
        EXPECT_FALSE(exists(path)) << c.name;
    }
}

TEST(WavWriter, CannotCreateInAMissingDirectory) {
    TempDir dir;
    const float one = 1.0f;
    EXPECT_EQ(sil_wav_write_pcm16((dir / "no/such/dir.wav").c_str(), &one, 1, 8000), -1);
    EXPECT_STREQ(silsplit_last_error(), "cannot create output wav");
}

// Writes that fail (here: beyond a file size limit of 20 bytes) make the
// writer fail and remove what it created, whether the failure shows while
// writing or only when the buffered header is flushed at the close.
TEST(WavWriter, FailingWritesLeaveNoFile) {
    TempDir dir;
    const std::vector<float> big(100000, 0.25f);
    for (int n : {0, 3, 100000}) {
        SCOPED_TRACE(n);
        const std::string path = dir / "full.wav";
        const std::string got = in_child_with_file_size_limit(20, [&] {
            const int rc = sil_wav_write_pcm16(path.c_str(), big.data(), n, 8000);
            return std::to_string(rc) + " " + silsplit_last_error();
        });
        EXPECT_EQ(got, "-1 cannot write output wav");
        EXPECT_FALSE(exists(path));
    }
}

// A link planted at the output's name is never written through.
TEST(WavWriter, RefusesALinkAtItsName) {
    TempDir dir;
    const std::string target = dir / "precious";
    write_file(target, std::string("keep me"));
    const std::string path = dir / "out.wav";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    const float one = 1.0f;
    EXPECT_EQ(sil_wav_write_pcm16(path.c_str(), &one, 1, 8000), -1);
    EXPECT_STREQ(silsplit_last_error(), "cannot create output wav");
    EXPECT_EQ(read_text(target), "keep me");
}

TEST(WavWriter, FullFileSystemLeavesNoPartialFile) {
    TempDir dir;
    ScopedTmpfs fs(dir / "small", "16k");
    if (!fs.ok())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string path = fs.path() + "/big.wav";
    const std::vector<float> big(100000, 0.25f);
    EXPECT_EQ(sil_wav_write_pcm16(path.c_str(), big.data(), static_cast<int>(big.size()), 8000),
              -1);
    EXPECT_STREQ(silsplit_last_error(), "cannot write output wav");
    EXPECT_FALSE(exists(path));

    // A file that fits is written whole.
    const std::string small = fs.path() + "/small.wav";
    ASSERT_EQ(sil_wav_write_pcm16(small.c_str(), big.data(), 1000, 8000), 0);
    EXPECT_EQ(file_size(small), 44 + 2000);
}

} // namespace
