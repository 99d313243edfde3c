// Chapter export: silsplit_write_chapters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine.h"
#include "whole_buffer.h"
#include "wav_builder.h"

using namespace wavtest;

namespace {

std::string ch(const std::string &dir, int k) {
    char name[32];
    std::snprintf(name, sizeof name, "/ch_%03d.wav", k);
    return dir + name;
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Values of every `"key":number` in a report, in order.
std::vector<float> values_of(const std::string &report, const std::string &key) {
    std::vector<float> out;
    const std::string pat = "\"" + key + "\":";
    for (size_t at = report.find(pat); at != std::string::npos; at = report.find(pat, at + 1))
        out.push_back(static_cast<float>(std::strtod(report.c_str() + at + pat.size(), nullptr)));
    return out;
}

struct Chapter16 {
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
    std::vector<int16_t> samples;
};

// Parses a chapter file, which must have the writer's 44-byte layout.
Chapter16 chapter_file(const std::string &path) {
    Chapter16 c;
    const Bytes b = read_file(path);
    EXPECT_GE(b.size(), 44u) << path;
    if (b.size() < 44)
        return c;
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(get32(b, 4), b.size() - 8);
    EXPECT_EQ(get32(b, 40), b.size() - 44);
    c.channels = get16(b, 22);
    c.rate = get32(b, 24);
    c.bits = get16(b, 34);
    for (size_t i = 44; i + 1 < b.size(); i += 2)
        c.samples.push_back(static_cast<int16_t>(get16(b, i)));
    return c;
}

// ---------------------------------------------------------------------------
// Output files
// ---------------------------------------------------------------------------

TEST(Export, CutsTheReadersMonoSamplesAndStoresTheReport) {
    TempDir dir;
    // Stereo 44.1 kHz: two 6 s passages apart by 2 s of silence.
    const std::vector<int16_t> l =
        runs16({{264600, 16384}, {88200, 0}, {264600, 16384}, {44100, 0}});
    const std::vector<int16_t> r = runs16({{264600, 0}, {88200, 0}, {264600, 8192}, {44100, 0}});
    const std::string wav = dir.file("in.wav", wav16(44100, 2, stereo(l, r)));
    const std::string out = dir / "out";

    sil_set_error("stale");
    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), nullptr, out.c_str()), 2)
        << silsplit_last_error();
    EXPECT_STREQ(silsplit_last_error(), "");
    const std::string report = take(silsplit_analyze(wav.c_str(), nullptr));
    EXPECT_EQ(read_text(out + "/chapters.json"), report);
    EXPECT_EQ(report.rfind("{\"sample_rate\":44100,\"duration_s\":15.0,", 0), 0u) << report;
    EXPECT_EQ(entries(out),
              (std::vector<std::string>{"ch_001.wav", "ch_002.wav", "chapters.json"}));

    sil_wav src{};
    ASSERT_EQ(sil_wav_read(wav.c_str(), &src, nullptr), 0);
    const std::vector<float> t0 = values_of(report, "t0"), t1 = values_of(report, "t1");
    ASSERT_EQ(t0.size(), 2u);
    ASSERT_EQ(t1.size(), 2u);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(k + 1);
        const Chapter16 c = chapter_file(ch(out, k + 1));
        EXPECT_EQ(c.channels, 1);
        EXPECT_EQ(c.rate, 44100u);
        EXPECT_EQ(c.bits, 16);
        const int start = static_cast<int>(std::floor(t0[k] * 44100.0f));
        const int end = std::min(static_cast<int>(std::ceil(t1[k] * 44100.0f)), src.frames);
        ASSERT_EQ(static_cast<int>(c.samples.size()), end - start);
        // Each sample is the mean of the two channels, scaled by 32767.
        for (int i = 0; i < end - start; ++i)
            ASSERT_NEAR(c.samples[i], src.samples[start + i] * 32767.0f, 0.5f) << i;
    }
    EXPECT_EQ(chapter_file(ch(out, 1)).samples.at(100000), 8192); // (0.5 + 0) / 2
    EXPECT_EQ(chapter_file(ch(out, 2)).samples.at(100000),
              12288); // (0.5 + 0.25) / 2 * 32767 = 12287.625
    sil_wav_free(&src);
}

// Chapters that overlap (a negative min_silence_s keeps padded chapters
// apart) are each written whole, read back from the file for each one.
TEST(Export, OverlappingChaptersAreEachWrittenWhole) {
    TempDir dir;
    const int rate = 44100;
    const std::vector<int16_t> l = runs16({{rate, 0}, {2 * rate, 12000}, {rate, 0}, {2 * rate, -9000},
                                           {rate, 0}, {2 * rate, 7000}, {rate + 17, 0}});
    const std::string wav = dir.file("in.wav", wav16(rate, 2, stereo(l, l)));
    const std::string out = dir / "out";
    const char *opts = "{\"min_chapter_s\":1,\"padding_s\":1.2,\"min_silence_s\":-5}";
    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), opts, out.c_str()), 3) << silsplit_last_error();
    const std::string report = take(silsplit_analyze(wav.c_str(), opts));
    const std::vector<float> t0 = values_of(report, "t0"), t1 = values_of(report, "t1");
    ASSERT_EQ(t0.size(), 3u);
    EXPECT_LT(t0[1], t1[0]); // they do overlap
    EXPECT_LT(t0[2], t1[1]);

    sil_wav src{};
    ASSERT_EQ(sil_wav_read(wav.c_str(), &src, nullptr), 0);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k + 1);
        const int start = static_cast<int>(std::floor(t0[k] * (float)rate));
        const int end = std::min(static_cast<int>(std::ceil(t1[k] * (float)rate)), src.frames);
        const std::string want = dir / ("want" + std::to_string(k) + ".wav");
        ASSERT_EQ(sil_wav_write_pcm16(want.c_str(), src.samples + start, end - start, rate), 0);
        EXPECT_EQ(read_file(ch(out, k + 1)), read_file(want));
    }
    sil_wav_free(&src);
}

// Chapters that meet (keep_all, cut by max_chapter_s at times between two
// frames) share no frame: their files, one after the other, are the file
// of the whole recording as one chapter.
TEST(Export, ChaptersThatMeetAddUpToTheRecording) {
    TempDir dir;
    const int rate = 22050; // 10 ms steps of 220.5 frames
    const std::vector<int16_t> l = runs16({{rate / 3, 9000}, {rate / 2, 0}, {5 * rate + 11, -7000}});
    const std::string wav = dir.file("in.wav", wav16(rate, 1, l));
    const std::string cut = dir / "cut", whole = dir / "whole";
    const int n = silsplit_write_chapters(wav.c_str(), "{\"keep_all\":true,\"max_chapter_s\":0.77}",
                                          cut.c_str());
    ASSERT_GT(n, 5) << silsplit_last_error();
    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), "{\"keep_all\":true,\"padding_s\":0}", whole.c_str()), 1)
        << silsplit_last_error();
    std::vector<int16_t> joined;
    for (int k = 1; k <= n; ++k) {
        const Chapter16 piece = chapter_file(ch(cut, k));
        joined.insert(joined.end(), piece.samples.begin(), piece.samples.end());
    }
    const Chapter16 all = chapter_file(ch(whole, 1));
    ASSERT_EQ(all.samples.size(), l.size());
    EXPECT_EQ(joined, all.samples);
}

// A float file with an infinite sample: the report is written as for a NaN
// there, and the chapter files carry the writer's clamp of it.
TEST(Export, InfiniteSampleInAFloatFile) {
    TempDir dir;
    std::vector<float> v(16000 * 20, 0.0f);
    for (size_t i = 16000; i < 16000 * 7; ++i)
        v[i] = (i / 40) % 2 ? 0.5f : -0.5f;
    for (size_t i = 16000 * 9; i < 16000 * 16; ++i)
        v[i] = 0.25f;
    std::vector<float> with_nan = v;
    v[50000] = std::numeric_limits<float>::infinity();
    v[200000] = -std::numeric_limits<float>::infinity();
    with_nan[50000] = with_nan[200000] = std::numeric_limits<float>::quiet_NaN();
    const std::string inf_wav = dir.file("inf.wav", wavf32(16000, 1, v));
    const std::string nan_wav = dir.file("nan.wav", wavf32(16000, 1, with_nan));

    const std::string want = take(silsplit_analyze(nan_wav.c_str(), nullptr));
    ASSERT_FALSE(want.empty()) << silsplit_last_error();
    EXPECT_EQ(take(silsplit_analyze(inf_wav.c_str(), nullptr)), want);
    const std::string out = dir / "out";
    ASSERT_EQ(silsplit_write_chapters(inf_wav.c_str(), nullptr, out.c_str()), 2)
        << silsplit_last_error();
    EXPECT_EQ(read_text(out + "/chapters.json"), want);
    const std::vector<float> t0 = values_of(want, "t0");
    ASSERT_EQ(t0.size(), 2u);
    const size_t s1 = (size_t)std::floor(t0[0] * 16000.0f), s2 = (size_t)std::floor(t0[1] * 16000.0f);
    EXPECT_EQ(chapter_file(ch(out, 1)).samples.at(50000 - s1), 32767);
    EXPECT_EQ(chapter_file(ch(out, 2)).samples.at(200000 - s2), -32767);
}

// Symbolic links planted at the output names are never written through: the
// export fails with its usual message and the link targets stay untouched.
TEST(Export, NeverWritesThroughALinkAtAnOutputName) {
    TempDir dir;
    const std::string wav = dir.file("in.wav", wav16(16000, 1, bursts16k(2)));
    struct Case {
        const char *link_name;
        const char *message;
    };
    for (const Case &c : {Case{"chapters.json", "cannot write chapters.json"},
                          Case{"ch_001.wav", "cannot create output wav"}}) {
        SCOPED_TRACE(c.link_name);
        const std::string out = dir / (std::string("out-") + c.link_name);
        const std::string precious = dir / (std::string("precious-") + c.link_name);
        write_file(precious, std::string("keep me"));
        ASSERT_EQ(mkdir(out.c_str(), 0777), 0);
        ASSERT_EQ(symlink(precious.c_str(), (out + "/" + c.link_name).c_str()), 0);
        EXPECT_EQ(silsplit_write_chapters(wav.c_str(), kBurstOpts, out.c_str()), -1);
        EXPECT_STREQ(silsplit_last_error(), c.message);
        EXPECT_EQ(read_text(precious), "keep me");
    }
    // A link chosen as out_dir itself is followed as before.
    const std::string real = dir / "real-out";
    ASSERT_EQ(mkdir(real.c_str(), 0777), 0);
    ASSERT_EQ(symlink(real.c_str(), (dir / "linked-out").c_str()), 0);
    EXPECT_EQ(silsplit_write_chapters(wav.c_str(), kBurstOpts, (dir / "linked-out").c_str()), 2)
        << silsplit_last_error();
    EXPECT_TRUE(exists(real + "/chapters.json"));
}

TEST(Export, NoChapterWritesOnlyTheReport) {
    TempDir dir;
    const std::string wav = dir.file("silent.wav", wav16(16000, 1, std::vector<int16_t>(48000, 0)));
    const std::string out = dir / "out";
    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), "{}", out.c_str()), 0) << silsplit_last_error();
    EXPECT_EQ(entries(out), std::vector<std::string>{"chapters.json"});
    EXPECT_EQ(
        read_text(out + "/chapters.json"),
        "{\"sample_rate\":16000,\"duration_s\":3.0,\"silences_removed_s\":3.0,\"chapters\":[]}");
}

// Chapter sample ranges are computed in single precision: floor(t0 * rate)
// and ceil(t1 * rate) with float products.
TEST(Export, SampleRangesInSinglePrecision) {
    const int16_t quiet = 823; // about -32 dB: loud, but not over half a frame
    struct Case {
        const char *name;
        uint32_t rate;
        std::vector<int16_t> samples;
        const char *report_part; // proves the chapter time that the case needs
        int frames;              // of ch_001.wav
        int16_t first;           // its first sample
        int16_t last;            // and its last
    } cases[] = {
        // Chapter ends at 1.1 s (float): 1.1f * 48000 rounds to 52800 in
        // single precision, so the end is 52800, not 52801.
        {"end_1.1s_at_48k", 48000, runs16({{52800, 16384}, {91200, 0}}),
         "\"t0\":0.0,\"t1\":1.100000023841858,", 52800, 16384, 16384},
        // Chapter starts at 3.3 s (float): 3.3f * 44100 rounds to 145530, so
        // the start is 145530, not 145529. It ends at 5.3 s (float), whose
        // product 233730.015625 goes up to 233731: one silent frame more.
        {"start_3.3s_at_44k1", 44100, runs16({{145530, 0}, {88200, quiet}, {74970, 0}}),
         "\"t0\":3.299999952316284,\"t1\":5.300000190734863,", 88201, quiet, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string wav = dir.file("in.wav", wav16(c.rate, 1, c.samples));
        const char *opts = "{\"padding_s\":0,\"min_chapter_s\":0.5}";
        ASSERT_EQ(silsplit_write_chapters(wav.c_str(), opts, dir.path().c_str()), 1)
            << silsplit_last_error();
        const std::string report = read_text(dir / "chapters.json");
        EXPECT_NE(report.find(c.report_part), std::string::npos) << report;
        const Chapter16 got = chapter_file(ch(dir.path(), 1));
        EXPECT_EQ(got.rate, c.rate);
        ASSERT_EQ(static_cast<int>(got.samples.size()), c.frames);
        EXPECT_EQ(got.samples.front(), c.first);
        EXPECT_EQ(got.samples.back(), c.last);
    }
}

// ---------------------------------------------------------------------------
// Output directory
// ---------------------------------------------------------------------------

TEST(Export, DirectoryRules) {
    enum Setup { kNothing, kDirectory, kRegularFile };
    struct Case {
        const char *name;
        Setup setup;     // what stands at "target" beforehand
        const char *out; // relative to the temp dir; nullptr: null out_dir
        bool good_wav;   // else a missing wav path
        const char *opts;
        int result;        // chapters, or -1
        const char *error; // "" on success
        bool dir_after;    // "target" is a directory afterwards
    } cases[] = {
        {"created_when_parent_exists", kNothing, "target", true, nullptr, 1, "", true},
        {"existing_directory", kDirectory, "target", true, nullptr, 1, "", true},
        {"trailing_separator", kNothing, "target/", true, nullptr, 1, "", true},
        {"missing_parent", kNothing, "target/sub", true, nullptr, -1, "cannot create out_dir",
         false},
        {"empty_text", kNothing, "", true, nullptr, -1, "cannot create out_dir", false},
        {"regular_file_before_the_wav", kRegularFile, "target", false, nullptr, -1,
         "out_dir exists but is not a directory", false},
        {"reader_failure_keeps_the_new_directory", kNothing, "target", false, nullptr, -1,
         "cannot open wav file", true},
        {"bad_options_touch_nothing", kNothing, "target", true, "{,}", -1, "invalid options JSON",
         false},
        {"null_out_dir", kNothing, nullptr, true, "{,}", -1, "NULL out_dir", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string wav =
            dir.file("in.wav", wavf32(16000, 1, std::vector<float>(96000, 1.0f)));
        const std::string target = dir / "target";
        if (c.setup == kDirectory) {
            ASSERT_EQ(::mkdir(target.c_str(), 0777), 0);
        }
        if (c.setup == kRegularFile)
            write_file(target, std::string("keep"));
        const std::string out = c.out && *c.out ? dir / c.out : std::string();
        const std::string wav_arg = c.good_wav ? wav : dir / "missing.wav";

        sil_set_error("stale");
        EXPECT_EQ(silsplit_write_chapters(wav_arg.c_str(), c.opts, c.out ? out.c_str() : nullptr),
                  c.result);
        EXPECT_STREQ(silsplit_last_error(), c.error);
        EXPECT_EQ(is_dir(target), c.dir_after);
        if (c.result == 1) {
            EXPECT_EQ(entries(target), (std::vector<std::string>{"ch_001.wav", "chapters.json"}));
            EXPECT_EQ(chapter_file(target + "/ch_001.wav").samples.size(), 96000u);
        } else if (c.setup != kRegularFile && is_dir(target)) {
            EXPECT_TRUE(entries(target).empty());
        }
        if (c.setup == kRegularFile) {
            EXPECT_EQ(read_text(target), "keep");
        }
    }

    // A null wav path is refused before the out_dir and the options.
    EXPECT_EQ(silsplit_write_chapters(nullptr, "{,}", nullptr), -1);
    EXPECT_STREQ(silsplit_last_error(), "NULL wav path");
}

TEST(Export, EarlierRunFilesOutsideTheNewCountStay) {
    TempDir dir;
    const std::string wav = dir.file("in.wav", wav16(16000, 1, bursts16k(10)));
    const std::string out = dir / "out";
    ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
    for (int k = 1; k <= 12; ++k)
        write_file(ch(out, k), "old " + std::to_string(k));
    write_file(out + "/chapters.json", std::string("old"));
    write_file(out + "/notes.txt", std::string("mine"));

    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), kBurstOpts, out.c_str()), 10)
        << silsplit_last_error();
    for (int k = 1; k <= 10; ++k)
        EXPECT_EQ(read_file(ch(out, k)).at(0), 'R') << k; // ch_010.wav too
    EXPECT_EQ(read_text(ch(out, 11)), "old 11");
    EXPECT_EQ(read_text(ch(out, 12)), "old 12");
    EXPECT_EQ(read_text(out + "/notes.txt"), "mine");
    EXPECT_EQ(read_text(out + "/chapters.json"), take(silsplit_analyze(wav.c_str(), kBurstOpts)));
    EXPECT_EQ(entries(out).size(), 14u);
}

TEST(Export, ChapterNumbersGrowPastThreeDigits) {
    TempDir dir;
    const std::string wav = dir.file("in.wav", wav16(16000, 1, bursts16k(1000)));
    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), kBurstOpts, dir.path().c_str()), 1000)
        << silsplit_last_error();
    EXPECT_TRUE(exists(dir / "ch_999.wav"));
    EXPECT_TRUE(exists(dir / "ch_1000.wav"));
    EXPECT_FALSE(exists(dir / "ch_1001.wav"));
    EXPECT_FALSE(exists(dir / "ch_000.wav"));
    EXPECT_EQ(entries(dir.path()).size(), 1002u); // + in.wav and chapters.json
}

// Room for out_dir + "/ch_10000.wav" in 1024 bytes: out_dir may hold 1010
// characters, not 1011.
TEST(Export, LongestOutDir) {
    TempDir dir;
    const std::string wav = dir.file("in.wav", wavf32(16000, 1, std::vector<float>(96000, 1.0f)));
    std::string parent = dir.path();
    while (parent.size() < 1010 - 210) {
        parent += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(parent.c_str(), 0777), 0);
    }
    const std::string fits = parent + "/" + std::string(1010 - parent.size() - 1, 'a');
    const std::string too_long = parent + "/" + std::string(1011 - parent.size() - 1, 'b');
    ASSERT_EQ(fits.size(), 1010u);
    ASSERT_EQ(too_long.size(), 1011u);

    EXPECT_EQ(silsplit_write_chapters(wav.c_str(), nullptr, too_long.c_str()), -1);
    EXPECT_STREQ(silsplit_last_error(), "output path too long");
    EXPECT_FALSE(exists(too_long));

    ASSERT_EQ(::mkdir(too_long.c_str(), 0777), 0); // existing makes no difference
    EXPECT_EQ(silsplit_write_chapters(wav.c_str(), nullptr, too_long.c_str()), -1);
    EXPECT_STREQ(silsplit_last_error(), "output path too long");
    EXPECT_TRUE(entries(too_long).empty());

    EXPECT_EQ(silsplit_write_chapters(wav.c_str(), nullptr, fits.c_str()), 1)
        << silsplit_last_error();
    // chapters.json is one character longer than ch_10000.wav; its path is
    // not cut short either.
    EXPECT_EQ(entries(fits), (std::vector<std::string>{"ch_001.wav", "chapters.json"}));
}

// ---------------------------------------------------------------------------
// Failing writes
// ---------------------------------------------------------------------------

// The export's result and message, run where files may not grow beyond
// limit bytes.
std::string export_with_file_size_limit(const std::string &wav, const char *opts,
                                        const std::string &out, rlim_t limit) {
    return in_child_with_file_size_limit(limit, [&] {
        const int rc = silsplit_write_chapters(wav.c_str(), opts, out.c_str());
        return std::to_string(rc) + " " + silsplit_last_error();
    });
}

TEST(Export, FailingWritesRemoveThePartialFile) {
    TempDir dir;
    // Thirty short bursts: each chapter file is well under 2 KiB, the report
    // of thirty chapters well over it.
    std::vector<int16_t> v;
    for (int i = 0; i < 30; ++i) {
        v.insert(v.end(), 400, 16384);
        v.insert(v.end(), 1600, 0);
    }
    const std::string wav = dir.file("in.wav", wav16(16000, 1, v));
    const char *opts = "{\"min_silence_s\":0.05,\"min_chapter_s\":0.01,\"padding_s\":0}";

    // The first chapter's writes fail: its partial file is removed.
    const std::string a = dir / "a";
    EXPECT_EQ(export_with_file_size_limit(wav, opts, a, 512), "-1 cannot write output wav");
    EXPECT_TRUE(entries(a).empty());

    // chapters.json's writes fail: every chapter stays, the report goes.
    const std::string b = dir / "b";
    EXPECT_EQ(export_with_file_size_limit(wav, opts, b, 2048), "-1 cannot write chapters.json");
    const std::vector<std::string> left = entries(b);
    EXPECT_EQ(left.size(), 30u);
    EXPECT_EQ(std::count(left.begin(), left.end(), "chapters.json"), 0);
    EXPECT_EQ(chapter_file(ch(b, 30)).rate, 16000u);
}

// The same on a file system that is really full.
TEST(Export, FullFileSystem) {
    TempDir dir;
    ScopedTmpfs fs(dir / "fs", "1m");
    if (!fs.ok())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string wav = dir.file("in.wav", wav16(16000, 1, bursts16k(3)));
    const std::string out = fs.path() + "/out";

    auto fill = [&] {
        int fd = ::open((fs.path() + "/filler").c_str(), O_CREAT | O_WRONLY | O_APPEND, 0600);
        ASSERT_GE(fd, 0);
        const std::vector<char> block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    };

    // First a run that fits. Then, with every free block taken, a second run
    // gets its chapter files' own blocks back, but chapters.json finds none.
    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), kBurstOpts, out.c_str()), 3)
        << silsplit_last_error();
    ASSERT_EQ(::unlink((out + "/chapters.json").c_str()), 0);
    fill();
    EXPECT_EQ(silsplit_write_chapters(wav.c_str(), kBurstOpts, out.c_str()), -1);
    EXPECT_STREQ(silsplit_last_error(), "cannot write chapters.json");
    EXPECT_EQ(entries(out), (std::vector<std::string>{"ch_001.wav", "ch_002.wav", "ch_003.wav"}));
    const Bytes ch2 = read_file(ch(out, 2));

    // Now chapter 3 loses its blocks to the filler: chapters 1 and 2 stay.
    ASSERT_EQ(::unlink(ch(out, 3).c_str()), 0);
    fill();
    EXPECT_EQ(silsplit_write_chapters(wav.c_str(), kBurstOpts, out.c_str()), -1);
    EXPECT_STREQ(silsplit_last_error(), "cannot write output wav");
    EXPECT_EQ(entries(out), (std::vector<std::string>{"ch_001.wav", "ch_002.wav"}));
    EXPECT_EQ(read_file(ch(out, 2)), ch2);
}

} // namespace
