// Decoding one compressed file in ranges on several threads gives, bit for
// bit, the samples of one decoder from the start: MP3, FLAC and Opus made by
// the ffmpeg program at test time, on 2, 3 and 7 threads, in ranges of the
// codec's own length and in short ones (many seams); a pre-roll too short
// for the decoder's state fails a seam, and one decoder takes over with the
// same samples; AAC-LC, whose noise substitution a later decoder cannot
// repeat, is decoded by one decoder and says so. Streams that change on the
// way: chained Ogg Opus links, stereo and mono by turns, decode as each link
// alone; two MP3 files of two rates one after the other give one timeline.
// Named Concurrency.* so that the ThreadSanitizer preset runs it.
#include "../../cli/media/media_ranges.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace silsplit_cli;

// FNV-1a over the samples' bits, with the rate and the counts beside it.
struct Hash {
    uint64_t h = 1469598103934665603ull;
    int rate = 0;
    int64_t frames = 0;
    std::vector<std::string> notes;
};

int hash_start(void *user, int rate, std::string *) {
    static_cast<Hash *>(user)->rate = rate;
    return 0;
}

int hash_push(void *user, const float *frames, size_t n, std::string *) {
    Hash *s = static_cast<Hash *>(user);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(frames);
    for (size_t i = 0; i < n * sizeof(float); i++)
        s->h = (s->h ^ p[i]) * 1099511628211ull;
    s->frames += (int64_t)n;
    return 0;
}

void hash_note(void *user, const std::string &text) {
    static_cast<Hash *>(user)->notes.push_back(text);
}

// Decodes path on up to threads threads; the hash, or a failure (also
// when a packet was skipped, unless skipped_ok).
::testing::AssertionResult decode(const std::string &path, int threads, Hash *out,
                                  const MediaRangeSizes &sizes = MediaRangeSizes{},
                                  bool skipped_ok = false) {
    MediaInput in;
    std::string error;
    if (media_open(path, -1, nullptr, MediaStop{}, &in, &error) != 0)
        return ::testing::AssertionFailure() << "open: " << error;
    MediaSink sink;
    sink.start = hash_start;
    sink.push = hash_push;
    sink.user = out;
    MediaNote note{hash_note, out};
    MediaStats stats;
    if (media_decode_ranges(path, &in, threads, sink, nullptr, 0, note, &stats, &error, sizes) != 0)
        return ::testing::AssertionFailure() << "decode: " << error;
    if (stats.corrupt != 0 && !skipped_ok)
        return ::testing::AssertionFailure() << stats.corrupt << " packets skipped";
    return ::testing::AssertionSuccess();
}

std::string temp_dir() {
    std::string dir = ::testing::TempDir() + "silsplit-ranges-XXXXXX";
    return mkdtemp(&dir[0]) ? dir : "";
}

TEST(Concurrency, RangesGiveOneDecodersSamples) {
    const std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    // 80 s of tones over noise (stereo, so that the mix to one channel is
    // exercised), the tones pausing 2 s in every 9, and a quiet stretch: long
    // enough for 7 ranges of at least 10 s.
    const std::string source =
        "-f lavfi -i \"sine=frequency=330:sample_rate=44100:duration=80,"
        "volume=0.4*lt(mod(t\\,9)\\,7):eval=frame\" "
        "-f lavfi -i \"anoisesrc=d=80:r=44100:a=0.02:c=pink\" "
        "-filter_complex \"[0][1]amix=inputs=2:normalize=0,aformat=channel_layouts=stereo\"";
    const struct {
        const char *name;
        const char *codec;
        const char *note; // the reason for one decoder, or NULL
    } cases[] = {
        {"talk.mp3", "-c:a libmp3lame -b:a 64k", nullptr},
        {"talk.m4a", "-c:a aac -b:a 96k",
         "decoding on one thread: AAC's noise substitution carries its state from the first frame"},
        {"talk.flac", "-c:a flac", nullptr},
        {"talk.opus", "-c:a libopus -b:a 48k", nullptr},
        // Speech-like material at a low rate, which libopus codes with its
        // linear-prediction (SILK) layer.
        {"narrow.opus", "-ac 1 -ar 16000 -c:a libopus -b:a 12k -application voip", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name;
        const std::string cmd = "ffmpeg -v error -nostdin -y " + source + " " + c.codec + " " + path;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        Hash one;
        ASSERT_TRUE(decode(path, 1, &one));
        EXPECT_GT(one.frames, 79 * one.rate);
        const bool opus = std::strstr(c.name, ".opus") != nullptr;
        const bool flac = std::strstr(c.name, ".flac") != nullptr;
        const struct {
            const char *name;
            MediaRangeSizes sizes;
            int fails; // 1: a seam fails and one decoder takes over; -1: it may
        } layouts[] = {
            {"the codec's ranges", {}, 0},
            {"5 s ranges", {5.0, -1.0, true}, 0},
            {"7.3 s ranges", {7.3, -1.0, true}, 0},
            // Seams that fail are decoded again with a longer pre-roll;
            // Opus's SILK layer may not settle even then.
            {"5 s ranges, 0.03 s pre-roll", {5.0, 0.03, true}, opus ? -1 : 0},
            {"5 s ranges, no pre-roll, no second try", {5.0, 0.0, false}, flac ? 0 : 1},
        };
        for (const auto &l : layouts)
            for (int threads : {2, 3, 7}) {
                SCOPED_TRACE(std::string(l.name) + ", threads " + std::to_string(threads));
                Hash got;
                ASSERT_TRUE(decode(path, threads, &got, l.sizes));
                if (c.note) {
                    ASSERT_EQ(got.notes.size(), 1u);
                    EXPECT_EQ(got.notes[0], c.note);
                } else if (l.fails == 1 || (l.fails == -1 && !got.notes.empty())) {
                    ASSERT_EQ(got.notes.size(), 1u);
                    EXPECT_EQ(got.notes[0].rfind("decoding on one thread: from 0:00:0", 0), 0u)
                        << got.notes[0];
                    EXPECT_NE(got.notes[0].find(", as the ranges' decoders differ there"),
                              std::string::npos)
                        << got.notes[0];
                } else {
                    EXPECT_TRUE(got.notes.empty()) << got.notes.front();
                }
                EXPECT_EQ(got.rate, one.rate);
                EXPECT_EQ(got.frames, one.frames);
                EXPECT_EQ(got.h, one.h);
            }
        remove(path.c_str());
    }
    rmdir(dir.c_str());
}

std::string ffmpeg(const std::string &args) {
    return "ffmpeg -v error -nostdin -y " + args;
}

// A stream whose links change their channels: each link is decoded by a
// decoder of its own from its own header, whatever the threads and ranges,
// so the chain gives the links' samples one after the other. The decoders'
// threads read their own copy of each link's header while the demuxer
// reads the next ones (a race ThreadSanitizer caught).
TEST(Concurrency, ChainedLinksDecodeAsEachLinkAlone) {
    const std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    const std::string chain = dir + "/chain.opus";
    Hash alone;
    std::vector<std::string> links;
    for (int k = 0; k < 7; k++) {
        const bool stereo = k % 2 == 0;
        const std::string link = dir + "/link" + std::to_string(k) + ".opus";
        // Tones of 2 s in every 3 (over noise: the SILK and CELT layers
        // both carry state), the stereo links' channels unequal.
        const std::string cmd = ffmpeg(
            "-f lavfi -i \"sine=frequency=" + std::to_string(300 + 40 * k) +
            ":sample_rate=48000:duration=" + std::to_string(5 + k % 3) +
            ",volume=0.4*lt(mod(t\\,3)\\,2):eval=frame\" -f lavfi -i "
            "\"anoisesrc=d=8:r=48000:a=0.01:c=pink\" -filter_complex "
            "\"[0][1]amix=inputs=2:normalize=0:duration=first" +
            std::string(stereo ? ",aformat=channel_layouts=stereo,pan=stereo|c0=c0|c1=0.3*c0\" -ac 2"
                               : "\" -ac 1") +
            " -c:a libopus -b:a 32k " + link);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        ASSERT_TRUE(decode(link, 1, &alone));
        links.push_back(link);
    }
    std::string cat = "cat";
    for (const std::string &l : links)
        cat += " " + l;
    ASSERT_EQ(std::system((cat + " > " + chain).c_str()), 0);
    Hash one;
    ASSERT_TRUE(decode(chain, 1, &one));
    EXPECT_EQ(one.frames, alone.frames);
    EXPECT_EQ(one.h, alone.h);
    const MediaRangeSizes layouts[] = {{}, {2.0, -1.0, true}, {3.3, 1.0, true}};
    for (const MediaRangeSizes &l : layouts)
        for (int threads : {2, 3, 7}) {
            SCOPED_TRACE("ranges of " + std::to_string(l.range_s) + " s, threads " +
                         std::to_string(threads));
            Hash got;
            ASSERT_TRUE(decode(chain, threads, &got, l));
            EXPECT_TRUE(got.notes.empty()) << got.notes.front();
            EXPECT_EQ(got.rate, one.rate);
            EXPECT_EQ(got.frames, one.frames);
            EXPECT_EQ(got.h, one.h);
        }
    for (const std::string &l : links)
        remove(l.c_str());
    remove(chain.c_str());
    rmdir(dir.c_str());
}

// Two MP3 files, 44.1 kHz and then 48 kHz, one after the other: the second
// is resampled onto the first one's timeline, all of it, the same at any
// thread count (the second file's header frame is the one packet skipped).
TEST(Concurrency, RateChangeFollowedOnOneTimeline) {
    const std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    const std::string a = dir + "/a44.mp3", b = dir + "/b48.mp3", ab = dir + "/ab.mp3";
    for (const auto &f : {std::make_pair(a, 44100), std::make_pair(b, 48000)}) {
        const std::string cmd =
            ffmpeg("-f lavfi -i \"sine=frequency=440:sample_rate=" + std::to_string(f.second) +
                   ":duration=21,volume=0.4*lt(mod(t\\,4)\\,3):eval=frame\" -c:a libmp3lame -b:a 64k " +
                   f.first);
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    ASSERT_EQ(std::system(("cat " + a + " " + b + " > " + ab).c_str()), 0);
    Hash first, second, one;
    ASSERT_TRUE(decode(a, 1, &first));
    ASSERT_TRUE(decode(b, 1, &second));
    ASSERT_TRUE(decode(ab, 1, &one, {}, true));
    EXPECT_EQ(one.rate, 44100);
    // Each file's own priming and padding are trimmed only where its
    // header is the stream's: a few MP3 frames either way.
    const int64_t want = first.frames + media_timeline_frames(second.frames, 48000, 44100);
    EXPECT_NEAR((double)one.frames, (double)want, 3 * 1152.0);
    const MediaRangeSizes layouts[] = {{}, {2.5, -1.0, true}};
    for (const MediaRangeSizes &l : layouts)
        for (int threads : {2, 3, 7}) {
            SCOPED_TRACE("ranges of " + std::to_string(l.range_s) + " s, threads " +
                         std::to_string(threads));
            Hash got;
            ASSERT_TRUE(decode(ab, threads, &got, l, true));
            EXPECT_TRUE(got.notes.empty()) << got.notes.front();
            EXPECT_EQ(got.rate, one.rate);
            EXPECT_EQ(got.frames, one.frames);
            EXPECT_EQ(got.h, one.h);
        }
    for (const std::string &f : {a, b, ab})
        remove(f.c_str());
    rmdir(dir.c_str());
}

} // namespace
