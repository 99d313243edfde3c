// The frames of a chapter at the recording's own rate: a chapter that runs to
// the end of the analysis's 16 kHz signal keeps the source's last frames,
// which that signal cannot place (fewer than one of its samples).
#include "engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

struct Length {
    int32_t rate;
    int64_t frames;
};

// Lengths that are no whole number of 16 kHz samples, and some that are.
const Length kLengths[] = {{44100, 441001}, {44100, 441002}, {48000, 480002}, {96000, 1985535},
                           {22050, 220501}, {192000, 1920011}, {11025, 110251}, {44100, 983040},
                           {8000, 80001},   {16000, 160001},   {44100, 441000}, {32000, 320001}};

TEST(ChapterFrames, AChapterToTheAnalysedEndKeepsTheLastFrames) {
    for (const Length &l : kLengths) {
        SCOPED_TRACE(testing::Message() << l.rate << " Hz, " << l.frames << " frames");
        // The end the analysis knows: its 16 kHz signal's length, as a float.
        const int64_t n16 = (int64_t)std::trunc((double)l.frames * (16000.0 / (double)l.rate));
        const float analysed_end = (float)n16 / 16000.0f;
        const float source_end = (float)l.frames / (float)l.rate;
        int64_t start = -1, end = -1;
        for (float t1 : {analysed_end, source_end}) {
            sil_chapter_frames(0.0f, t1, l.rate, l.frames, &start, &end);
            EXPECT_EQ(start, 0);
            EXPECT_EQ(end, l.frames) << "t1 " << t1;
        }
        // Half a second before the end is no end.
        sil_chapter_frames(1.0f, analysed_end - 0.5f, l.rate, l.frames, &start, &end);
        EXPECT_EQ(start, l.rate);
        EXPECT_EQ(end, (int64_t)std::ceil((analysed_end - 0.5f) * (float)l.rate));
        // Chapters that meet share no frame, the last one to the end.
        const sil_chapter two[2] = {{0.0f, 1.0f, 0.0f}, {1.0f, analysed_end, 0.0f}};
        int64_t starts[2], ends[2];
        sil_chapter_frame_ranges(two, 2, l.rate, l.frames, starts, ends);
        EXPECT_EQ(starts[1], ends[0]);
        EXPECT_EQ(ends[1], l.frames);
    }
}



// A caller that does not know the length yet (a decoder's stream) passes
// INT64_MAX: every chapter keeps its own end, none runs to "the end".
TEST(ChapterFrames, AnUnknownLengthEndsEachChapterAtItsOwnEnd) {
    for (int32_t rate : {8000, 16000, 44100, 48000, 192000}) {
        SCOPED_TRACE(rate);
        int64_t start = -1, end = -1;
        sil_chapter_frames(0.5f, 7.25f, rate, INT64_MAX, &start, &end);
        EXPECT_EQ(start, (int64_t)std::floor(0.5f * (float)rate));
        EXPECT_EQ(end, (int64_t)std::ceil(7.25f * (float)rate));
    }
}

} // namespace
