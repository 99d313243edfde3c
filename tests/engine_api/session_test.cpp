// The engine library's sessions (include/silsplit_engine.h) against the
// seven-function library's results for the same recording: any split of the
// frames into pushes, any channel count, a file session; the records and
// the callbacks; the failures and their codes.
#include "silsplit.h"
#include "silsplit_engine.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A recording of `seconds` at `rate`: 1 kHz-ish tone for 3.3 s, then 1.7 s of
// near silence, repeated; channels differ in level so that the mix matters.
std::vector<int16_t> make_frames(int rate, int channels, double seconds) {
    const size_t n = (size_t)(rate * seconds);
    std::vector<int16_t> out(n * (size_t)channels);
    for (size_t i = 0; i < n; i++) {
        const double t = (double)i / rate;
        const bool loud = std::fmod(t, 5.0) < 3.3;
        for (int c = 0; c < channels; c++) {
            const double amp = loud ? 0.3 / (c + 1) : 0.0005;
            out[i * (size_t)channels + (size_t)c] =
                (int16_t)std::lrint(amp * 32767.0 * std::sin(2.0 * M_PI * 997.0 * t));
        }
    }
    return out;
}

void put32(std::string &s, uint32_t v) {
    for (int i = 0; i < 4; i++)
        s.push_back((char)(v >> (8 * i) & 0xff));
}

// Writes a 16-bit PCM WAV file; the file's path.
std::string write_wav(const std::string &name, int rate, int channels,
                      const std::vector<int16_t> &samples) {
    std::string s = "RIFF";
    const uint32_t data = (uint32_t)(samples.size() * 2);
    put32(s, 36 + data);
    s += "WAVEfmt ";
    put32(s, 16);
    put32(s, 1u | (uint32_t)channels << 16);
    put32(s, (uint32_t)rate);
    put32(s, (uint32_t)(rate * channels * 2));
    put32(s, (uint32_t)(channels * 2) | 16u << 16);
    s += "data";
    put32(s, data);
    s.append(reinterpret_cast<const char *>(samples.data()), data);
    const std::string path = ::testing::TempDir() + "sle_" + std::to_string(getpid()) + "_" + name;
    FILE *f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    fwrite(s.data(), 1, s.size(), f);
    fclose(f);
    return path;
}

std::string library_report(const std::string &path, const char *opts) {
    char *r = silsplit_analyze(path.c_str(), opts);
    EXPECT_NE(r, nullptr) << silsplit_last_error();
    std::string text = r ? r : "";
    silsplit_free_string(r);
    return text;
}

struct Told {
    std::vector<sle_chapter> chapters;
    std::vector<std::string> titles;
    int stop_at = -1; // cancel at this index
};

int remember(const sle_chapter *ch, void *user) {
    Told *t = static_cast<Told *>(user);
    t->chapters.push_back(*ch);
    t->titles.push_back(ch->title);
    return ch->index == t->stop_at;
}

// Pushes the frames in blocks of `block` frames; the finished session.
sle_session *pushed(const std::vector<int16_t> &samples, int rate, int channels, size_t block,
                    const char *opts, Told *told) {
    sle_session *s = nullptr;
    EXPECT_EQ(sle_open(opts, rate, channels, &s), SLE_OK) << sle_last_error();
    if (told) {
        EXPECT_EQ(sle_set_chapter_fn(s, remember, told), SLE_OK);
    }
    const size_t frames = samples.size() / (size_t)channels;
    std::vector<float> buf;
    for (size_t at = 0; at < frames; at += block) {
        const size_t n = std::min(block, frames - at);
        buf.resize(n * (size_t)channels);
        for (size_t i = 0; i < buf.size(); i++)
            buf[i] = (float)samples[at * (size_t)channels + i] / 32768.0f;
        EXPECT_EQ(sle_push(s, buf.data(), n), SLE_OK) << sle_last_error();
    }
    EXPECT_EQ(sle_finish(s), SLE_OK) << sle_last_error();
    return s;
}

} // namespace

// Any split of the frames, any channel count: the report of the whole file.
TEST(EngineSession, PushedFramesGiveTheFilesReport) {
    struct Case {
        int rate, channels;
        size_t block;
        const char *opts;
    } cases[] = {
        {16000, 1, 16000, nullptr},
        {44100, 2, 44100, "{\"min_chapter_s\":1}"},
        {48000, 2, 1, "{\"auto\":true}"},
        {22050, 3, 4097, "{\"keep_all\":true,\"report_pauses\":true}"},
        {8000, 4, 100000, "{\"max_chapter_s\":2,\"cut_at_pause\":true}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) +
                     " channels, blocks of " + std::to_string(c.block));
        const double seconds = c.block == 1 ? 6.0 : 16.0;
        const auto samples = make_frames(c.rate, c.channels, seconds);
        const std::string path = write_wav("push.wav", c.rate, c.channels, samples);
        sle_session *s = pushed(samples, c.rate, c.channels, c.block, c.opts, nullptr);
        ASSERT_NE(sle_report(s), nullptr);
        EXPECT_EQ(std::string(sle_report(s)), library_report(path, c.opts));
        sle_input in;
        ASSERT_EQ(sle_get_input(s, &in), SLE_OK);
        EXPECT_EQ(in.rate, c.rate);
        EXPECT_EQ(in.channels, c.channels);
        EXPECT_EQ(in.frames, (int64_t)(samples.size() / (size_t)c.channels));
        sle_free(s);
        remove(path.c_str());
    }
}

// A file session reads the WAV file as silsplit_analyze does; its records
// are the report's chapters, with frame ranges that meet and cover the
// recording under keep_all; the callback hears each chapter once, in order.
TEST(EngineSession, FileSessionRecordsAndCallbacks) {
    const auto samples = make_frames(44100, 2, 21.0);
    const std::string path = write_wav("file.wav", 44100, 2, samples);
    const char *opts = "{\"keep_all\":true,\"report_pauses\":true,\"min_chapter_s\":1,"
                       "\"titles\":[\"One\",null,\"Three\"]}";
    sle_session *s = nullptr;
    ASSERT_EQ(sle_open_file(path.c_str(), opts, &s), SLE_OK) << sle_last_error();
    Told told;
    std::vector<int> percents;
    ASSERT_EQ(sle_set_chapter_fn(s, remember, &told), SLE_OK);
    ASSERT_EQ(sle_set_progress(
                  s,
                  [](int pct, const char *, void *user) {
                      static_cast<std::vector<int> *>(user)->push_back(pct);
                      return 0;
                  },
                  &percents),
              SLE_OK);
    EXPECT_EQ(sle_chapter_count(s), -1);
    EXPECT_EQ(sle_report(s), nullptr);
    ASSERT_EQ(sle_finish(s), SLE_OK) << sle_last_error();
    EXPECT_EQ(std::string(sle_report(s)), library_report(path, opts));
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);

    const int n = sle_chapter_count(s);
    ASSERT_GE(n, 3);
    ASSERT_EQ((int)told.chapters.size(), n);
    int64_t end = 0;
    for (int i = 0; i < n; i++) {
        sle_chapter ch;
        ASSERT_EQ(sle_get_chapter(s, i, &ch), SLE_OK);
        EXPECT_EQ(ch.index, i + 1);
        EXPECT_EQ(told.chapters[(size_t)i].frame0, ch.frame0);
        EXPECT_EQ(ch.frame0, end) << "keep_all: the pieces meet";
        EXPECT_LE(std::fabs((double)ch.frame1 / 44100.0 - ch.t1), 1.0 / 16000.0);
        end = ch.frame1;
        EXPECT_EQ(ch.start_confidence < 0, i == 0);
        EXPECT_EQ(ch.end_confidence < 0, i == n - 1);
        if (i > 0) {
            EXPECT_GE(ch.start_confidence, 0.0);
            EXPECT_LE(ch.start_confidence, 1.0);
        }
        const char *want = i == 0 ? "One" : i == 2 ? "Three" : "";
        EXPECT_STREQ(ch.title, want);
        EXPECT_EQ(told.titles[(size_t)i], want);
    }
    EXPECT_EQ(end, (int64_t)(samples.size() / 2)) << "keep_all: the pieces cover the recording";
    EXPECT_EQ(sle_finish(s), SLE_ERR_STATE);
    sle_free(s);
    remove(path.c_str());
}

// Failures: each with its code and the engine's own message.
TEST(EngineSession, FailuresCarryTheirCodes) {
    sle_session *s = nullptr;
    EXPECT_EQ(sle_open("{\"keep_all\":1}", 16000, 1, &s), SLE_ERR_ARGS);
    EXPECT_EQ(s, nullptr);
    EXPECT_STREQ(sle_last_error(), "keep_all must be true or false");
    EXPECT_EQ(sle_check_options("{\"chapters\":[{\"t0\":2,\"t1\":1}]}"), SLE_ERR_ARGS);
    EXPECT_STREQ(sle_last_error(), "chapters[0]: t1 is not after t0");
    EXPECT_EQ(sle_check_options("{\"auto\":true}"), SLE_OK);
    EXPECT_STREQ(sle_last_error(), "");
    EXPECT_EQ(sle_open(nullptr, 0, 1, &s), SLE_ERR_ARGS);
    EXPECT_EQ(sle_open(nullptr, 16000, 0, &s), SLE_ERR_ARGS);
    EXPECT_EQ(sle_open_file("/nonexistent/x.wav", nullptr, &s), SLE_ERR_READ);
    EXPECT_STREQ(sle_strerror(SLE_ERR_CANCELLED), "cancelled");

    // Out of order.
    ASSERT_EQ(sle_open(nullptr, 16000, 1, &s), SLE_OK);
    sle_chapter ch;
    EXPECT_EQ(sle_get_chapter(s, 0, &ch), SLE_ERR_STATE);
    float silence[1600] = {0};
    ASSERT_EQ(sle_push(s, silence, 1600), SLE_OK);
    EXPECT_EQ(sle_set_progress(s, nullptr, nullptr), SLE_ERR_STATE);
    ASSERT_EQ(sle_finish(s), SLE_OK);
    EXPECT_EQ(sle_chapter_count(s), 0);
    EXPECT_EQ(sle_push(s, silence, 1600), SLE_ERR_STATE);
    sle_free(s);

    // Nothing pushed: no recording, as an empty WAV file is none.
    ASSERT_EQ(sle_open(nullptr, 22050, 2, &s), SLE_OK);
    ASSERT_EQ(sle_push(s, nullptr, 0), SLE_OK);
    EXPECT_EQ(sle_finish(s), SLE_ERR_ARGS);
    EXPECT_STREQ(sle_last_error(), "no frames were pushed");
    EXPECT_EQ(sle_report(s), nullptr);
    sle_free(s);

    // A chapter callback that asks to stop cancels the finish.
    const auto samples = make_frames(16000, 1, 16.0);
    ASSERT_EQ(sle_open("{\"min_chapter_s\":1}", 16000, 1, &s), SLE_OK);
    Told told;
    told.stop_at = 2;
    ASSERT_EQ(sle_set_chapter_fn(s, remember, &told), SLE_OK);
    std::vector<float> f(samples.size());
    for (size_t i = 0; i < f.size(); i++)
        f[i] = samples[i] / 32768.0f;
    ASSERT_EQ(sle_push(s, f.data(), f.size()), SLE_OK);
    EXPECT_EQ(sle_finish(s), SLE_ERR_CANCELLED);
    EXPECT_STREQ(sle_last_error(), "cancelled");
    EXPECT_EQ(told.chapters.size(), 2u);
    EXPECT_EQ(sle_chapter_count(s), -1);
    sle_free(s);
}

// Another format goes through the media module: an MP3 file gives the
// chapters the program gives for it (SILSPLIT_MEDIA_MODULE names the
// build's, the program is beside it; skipped without them or ffmpeg).
TEST(EngineSession, MediaModuleReadsOtherFormats) {
    const char *module = getenv("SILSPLIT_MEDIA_MODULE");
    std::string program_path = module ? module : "";
    program_path = program_path.substr(0, program_path.rfind('/') + 1) + "silsplit";
    const char *program = program_path.c_str();
    if (!module || access(module, R_OK) != 0 || access(program, X_OK) != 0 ||
        system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no media module, program or ffmpeg";
    const auto samples = make_frames(44100, 2, 16.0);
    const std::string wav = write_wav("media.wav", 44100, 2, samples);
    for (const char *ext : {"mp3", "flac", "m4a"}) {
        SCOPED_TRACE(ext);
        const std::string out = wav + "." + ext;
        const std::string encode = "ffmpeg -v error -y -i '" + wav + "' '" + out + "' </dev/null";
        ASSERT_EQ(system(encode.c_str()), 0);
        const char *opts = "{\"min_chapter_s\":1}";
        sle_session *s = nullptr;
        ASSERT_EQ(sle_open_file(out.c_str(), opts, &s), SLE_OK) << sle_last_error();
        Told told;
        ASSERT_EQ(sle_set_chapter_fn(s, remember, &told), SLE_OK);
        ASSERT_EQ(sle_finish(s), SLE_OK) << sle_last_error();
        EXPECT_EQ(sle_chapter_count(s), 4);
        EXPECT_EQ((int)told.chapters.size(), sle_chapter_count(s));
        // The program's report of the same file, on one line.
        const std::string cmd = std::string(program) + " analyze --min-chapter 1 '" + out + "'";
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string line;
        char buf[4096];
        while (fgets(buf, sizeof buf, p))
            line += buf;
        EXPECT_EQ(pclose(p), 0);
        EXPECT_EQ(std::string(sle_report(s)) + "\n", line);
        sle_input in;
        ASSERT_EQ(sle_get_input(s, &in), SLE_OK);
        EXPECT_EQ(in.rate, 44100);
        sle_free(s);
        remove(out.c_str());
    }
    // A file no reader takes fails with the reader's code and the
    // module's message.
    const std::string junk = wav + ".bin";
    FILE *f = fopen(junk.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("not audio at all, just some text of no format", f);
    fclose(f);
    sle_session *s = nullptr;
    ASSERT_EQ(sle_open_file(junk.c_str(), nullptr, &s), SLE_OK);
    EXPECT_NE(sle_finish(s), SLE_OK);
    EXPECT_STRNE(sle_last_error(), "");
    sle_free(s);
    remove(junk.c_str());
    remove(wav.c_str());
}

// The option table is the engine's: every key with its kind and default,
// and each key given alone is taken (a flag true, a count 2, a number 1).
TEST(EngineSession, OptionTable) {
    const int n = sle_option_count();
    ASSERT_EQ(n, 18);
    EXPECT_EQ(sle_option_at(n), nullptr);
    EXPECT_EQ(sle_option_at(-1), nullptr);
    for (int i = 0; i < n; i++) {
        const sle_option *o = sle_option_at(i);
        ASSERT_NE(o, nullptr);
        SCOPED_TRACE(o->key);
        std::string value = o->kind == SLE_OPTION_FLAG    ? "true"
                            : o->kind == SLE_OPTION_COUNT ? "2"
                            : o->kind == SLE_OPTION_LIST
                                ? (std::string(o->key) == "chapters" ? "[{\"t0\":1}]"
                                   : std::string(o->key) == "titles" ? "[\"a\"]"
                                                                     : "[1]")
                                : "1";
        EXPECT_EQ(sle_check_options(("{\"" + std::string(o->key) + "\":" + value + "}").c_str()),
                  SLE_OK)
            << sle_last_error();
        if (o->kind == SLE_OPTION_FLAG || o->kind == SLE_OPTION_COUNT) {
            EXPECT_EQ(sle_check_options(("{\"" + std::string(o->key) + "\":\"x\"}").c_str()),
                      SLE_ERR_ARGS);
        }
        if (o->kind == SLE_OPTION_LIST) { // a list holds min to max entries
            EXPECT_EQ(o->min, 1.0);
            EXPECT_EQ(sle_check_options(("{\"" + std::string(o->key) + "\":[]}").c_str()),
                      SLE_ERR_ARGS);
        }
    }
    EXPECT_STREQ(sle_option_at(0)->key, "threshold_db");
    EXPECT_EQ(sle_option_at(0)->fallback, -40.0);
    EXPECT_STREQ(sle_option_at(1)->key, "min_silence_s");
    EXPECT_EQ(sle_option_at(1)->fallback, (double)0.8f);
}
