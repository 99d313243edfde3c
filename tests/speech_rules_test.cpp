// The speech option: pauses are the stretches without speech (the speech
// model's probability under a threshold, with hysteresis), whatever their
// level, and the cuts inside them are placed by the level curve. The rules
// are checked on curves written directly (a level per 10 ms hop, a
// probability per 32 ms window); the pipeline's speech curve is checked
// against the speech stage run on the same 16 kHz signal.
#include "chapter_rules.h"
#include "signal_helpers.h"
#include "speech_model.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using sigtest::frame_time;

// A recording described by its two curves: levels of db and probabilities of
// p everywhere, then changed piece by piece.
struct Curves {
    double seconds;
    std::vector<float> level; // one per level frame of the 16 kHz signal
    std::vector<float> p;     // one per 32 ms window

    explicit Curves(double s, float db = -20.0f, float prob = 0.9f)
        : seconds(s), level((size_t)std::lround(s * 100.0) - 1, db),
          p((size_t)std::ceil(s * 16000.0 / SIL_SPEECH_WINDOW), prob) {}
    // Frames t0 * 100 to t1 * 100 (exclusive) at db; t1 may be the end.
    Curves &levels(double t0, double t1, float db) {
        const long end = std::min<long>(std::lround(t1 * 100.0), (long)level.size());
        for (long k = std::lround(t0 * 100.0); k < end; k++)
            level[(size_t)k] = db;
        return *this;
    }
    // n windows from window first at prob.
    Curves &windows(long first, long n, float prob) {
        for (long j = first; j < first + n; j++)
            p[(size_t)j] = prob;
        return *this;
    }
    // The windows that start in [t0, t1) at prob.
    Curves &speech(double t0, double t1, float prob) {
        const double w = (double)SIL_SPEECH_WINDOW / 16000.0;
        for (size_t j = 0; j < p.size(); j++)
            if (j * w >= t0 && j * w < t1)
                p[j] = prob;
        return *this;
    }
};

struct Found {
    int rc = -1;
    std::vector<sil_chapter> chapters;
    std::string report; // the pauses and the rest, as the report writes them
};

Found detect(const Curves &c, const char *opts_json) {
    Found f;
    sil_opts opts;
    EXPECT_EQ(sil_parse_opts(opts_json, &opts), 0) << sil_get_error();
    sil_report_extras extras;
    sil_report_extras_init(&extras);
    sil_chapter *out = nullptr;
    int n = 0;
    f.rc = sil_detect_on_levels(c.level.data(), (int32_t)c.level.size(), (float)c.seconds, &opts,
                                &out, &n, nullptr, &extras, c.p.data(), (int64_t)c.p.size());
    if (f.rc == 0) {
        f.chapters.assign(out, out + n);
        char *text = sil_build_analyze_json(16000, (float)c.seconds, out, n, 0.0f, &extras);
        f.report = text ? text : "";
        free(text);
    }
    free(out);
    sil_report_extras_free(&extras);
    return f;
}

// The middle of frames [a, b), as the rules compute it.
float middle(int a, int b) { return (frame_time(a) + frame_time(b)) * 0.5f; }

// One window of the model, in seconds.
constexpr double kWindowS = (double)SIL_SPEECH_WINDOW / 16000.0;

} // namespace

// ---------------------------------------------------------------------------
// Pauses without speech
// ---------------------------------------------------------------------------

TEST(SpeechRules, APauseIsAStretchWithoutSpeechWhateverItsLevel) {
    // Sound at -20 dB all through (music between two talks): the level finds
    // one chapter, the speech model two, each padded into the pause.
    const Curves c = Curves(25.0).speech(10.0, 13.0, 0.05f);
    const Found plain = detect(c, "{}");
    ASSERT_EQ(plain.chapters.size(), 1u);
    const Found f = detect(c, "{\"speech\":true}");
    ASSERT_EQ(f.rc, 0) << sil_get_error();
    ASSERT_EQ(f.chapters.size(), 2u);
    EXPECT_EQ(f.chapters[0].t0, 0.0f);
    EXPECT_NEAR(f.chapters[0].t1, 10.0 + 0.25, kWindowS);
    EXPECT_NEAR(f.chapters[1].t0, 13.0 - 0.25, kWindowS);
    EXPECT_EQ(f.chapters[1].t1, 25.0f);
    // Peaks come from the level curve.
    EXPECT_EQ(f.chapters[0].peak_db, -20.0f);
    // A pause without speech shorter than min_silence_s splits nothing.
    EXPECT_EQ(detect(c, "{\"speech\":true,\"min_silence_s\":3.5}").chapters.size(), 1u);
}

struct HysteresisCase {
    const char *name;
    long first, n; // windows of the dip (window 156 starts at 4.992 s)
    float p;
    size_t chapters;
};

void PrintTo(const HysteresisCase &c, std::ostream *os) { *os << c.name; }

class SpeechHysteresis : public ::testing::TestWithParam<HysteresisCase> {};

TEST_P(SpeechHysteresis, SpeechStartsAtOneHalfAndEndsUnderPoint35) {
    // Speech at 0.9, then (from window 250, 8 s) a stretch without speech at
    // 0.05 to the end, with the case's dip at 5 s inside the speech or, for
    // first past 250, a rise inside the stretch without speech.
    const HysteresisCase k = GetParam();
    Curves c = Curves(12.0).windows(250, 125, 0.05f).windows(k.first, k.n, k.p);
    const Found f = detect(c, "{\"speech\":true,\"min_silence_s\":0.05,\"min_chapter_s\":0.1,"
                              "\"padding_s\":0}");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.chapters.size(), k.chapters);
}

INSTANTIATE_TEST_SUITE_P(
    Dips, SpeechHysteresis,
    ::testing::Values(HysteresisCase{"DipTo040StaysSpeech", 156, 31, 0.40f, 1},
                      HysteresisCase{"DipTo035StaysSpeech", 156, 31, 0.35f, 1},
                      HysteresisCase{"DipTo034EndsIt", 156, 31, 0.34f, 2},
                      HysteresisCase{"TwoWindowsBelongToTheSpeech", 156, 2, 0.1f, 1},
                      HysteresisCase{"ThreeWindowsArePause", 156, 3, 0.1f, 2},
                      HysteresisCase{"RiseTo049StaysPause", 300, 31, 0.49f, 1},
                      HysteresisCase{"RiseTo050IsSpeech", 300, 31, 0.50f, 2}),
    [](const ::testing::TestParamInfo<HysteresisCase> &i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Cuts placed by the level curve
// ---------------------------------------------------------------------------

struct CutCase {
    const char *name;
    const char *opts;
    bool quiet; // the pause holds quiet runs: 12.0-12.4 s, and 10.3-10.4 s
};

void PrintTo(const CutCase &c, std::ostream *os) { *os << c.name; }

class SpeechCuts : public ::testing::TestWithParam<CutCase> {};

TEST_P(SpeechCuts, FallInTheLongestQuietRunOfThePauseElseItsMiddle) {
    // A pause without speech from 10 to 13 s: frames 1002 to 1301 (the hop
    // middles whose windows start from 10.016 s to 12.992 s).
    const CutCase k = GetParam();
    Curves c = Curves(25.0).speech(10.0, 13.0, 0.05f);
    if (k.quiet)
        c.levels(12.0, 12.4, -70.0f).levels(10.3, 10.4, -70.0f);
    const Found f = detect(c, k.opts);
    ASSERT_EQ(f.rc, 0) << sil_get_error();
    ASSERT_EQ(f.chapters.size(), 2u) << f.report;
    EXPECT_EQ(f.chapters[1].t0, k.quiet ? middle(1200, 1240) : middle(1002, 1302)) << f.report;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SpeechCuts,
    ::testing::Values(
        CutCase{"KeepAll", "{\"speech\":true,\"keep_all\":true}", true},
        CutCase{"KeepAllNoQuietPart", "{\"speech\":true,\"keep_all\":true}", false},
        CutCase{"ChapterCount", "{\"speech\":true,\"chapter_count\":2,\"keep_all\":true}", true},
        CutCase{"ChapterCountWidePadding", "{\"speech\":true,\"chapter_count\":2,\"padding_s\":2}",
                true},
        CutCase{"CutAtPause",
                "{\"speech\":true,\"cut_at_pause\":true,\"max_chapter_s\":15,\"min_silence_s\":4}",
                true},
        CutCase{"CutAtPauseNoQuietPart",
                "{\"speech\":true,\"cut_at_pause\":true,\"max_chapter_s\":15,\"min_silence_s\":4}",
                false}),
    [](const ::testing::TestParamInfo<CutCase> &i) { return std::string(i.param.name); });

TEST(SpeechRules, PausesCarryTheirLevelAndMeanProbability) {
    // Two pauses without speech: 3 s at 0.05 with a quiet run, 1 s at 0.2.
    Curves c = Curves(25.0).speech(10.0, 13.0, 0.05f).speech(18.0, 19.0, 0.2f);
    c.levels(12.0, 12.4, -70.0f);
    const Found f = detect(c, "{\"speech\":true,\"report_pauses\":true}");
    ASSERT_EQ(f.rc, 0);
    std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> doc(
        yyjson_read(f.report.data(), f.report.size(), 0), yyjson_doc_free);
    yyjson_val *pauses = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "pauses");
    ASSERT_EQ(yyjson_arr_size(pauses), 2u) << f.report;
    yyjson_val *a = yyjson_arr_get(pauses, 0), *b = yyjson_arr_get(pauses, 1);
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(a, "t0")), (double)frame_time(1002));
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(a, "t1")), (double)frame_time(1302));
    // 40 frames at -70 dB and 260 at -20 dB.
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(a, "level_db")), -26.7);
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(a, "speech_p")), 0.05);
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(b, "speech_p")), 0.2);
    // Longer first; the depth in the score is how surely there is no speech.
    EXPECT_EQ(yyjson_get_int(yyjson_obj_get(a, "rank")), 1);
    EXPECT_EQ(yyjson_get_int(yyjson_obj_get(b, "rank")), 2);
    EXPECT_DOUBLE_EQ(yyjson_get_num(yyjson_obj_get(a, "score")), (300 * 1000 + 949) / 100000.0);
}

TEST(SpeechRules, AutoTakesItsPauseLengthFromTheStretchesWithoutSpeech) {
    // Sound at -20 dB all through; sentence gaps without speech of 0.4 s,
    // and two breaks of 2.5 s (at 20 and 40 s) that end chapters.
    Curves c(60.0);
    for (double t : {5.0, 10.0, 15.0, 25.0, 30.0, 35.0, 45.0, 50.0, 55.0})
        c.speech(t, t + 0.4, 0.05f);
    c.speech(20.0, 22.5, 0.05f).speech(40.0, 42.5, 0.05f);
    const Found level = detect(c, "{\"auto\":true,\"speech\":false}");
    ASSERT_EQ(level.chapters.size(), 1u) << level.report;
    EXPECT_EQ(level.report.find("speech_used"), std::string::npos) << level.report;
    // Given or decided by auto (the recording holds speech), the same breaks.
    for (const char *opts : {"{\"auto\":true,\"speech\":true}", "{\"auto\":true}"}) {
        const Found f = detect(c, opts);
        ASSERT_EQ(f.rc, 0) << sil_get_error();
        ASSERT_EQ(f.chapters.size(), 3u) << f.report;
        EXPECT_NEAR(f.chapters[1].t0, 21.25, kWindowS); // keep_all: the middle of each break
        EXPECT_NEAR(f.chapters[2].t0, 41.25, kWindowS);
        EXPECT_NE(f.report.find("\"pause_scale\":\"break\""), std::string::npos) << f.report;
    }
    EXPECT_NE(detect(c, "{\"auto\":true}").report.find("\"speech_used\":true"),
              std::string::npos);
}

// auto without a speech key decides from the model's output: the chapters'
// starts (after the first) and whether it used the speech pauses.
struct AutoCase {
    const char *name;
    Curves curves;
    std::vector<double> starts; // within 0.1 s
    bool speech_used;
};

TEST(SpeechRules, AutoListensForSpeechOnlyWhenTheRecordingHoldsIt) {
    std::vector<AutoCase> cases;
    {
        // A tape of music the model never calls speech (p 0.02): tracks at
        // -20 dB with rests of 0.4 s, gaps of 3 s over hiss at -60.
        Curves c(60.0, -20.0f, 0.02f);
        for (double t : {4.0, 8.0, 12.0, 24.0, 28.0, 32.0, 44.0, 48.0, 52.0})
            c.levels(t, t + 0.4, -60.0f);
        c.levels(18.0, 21.0, -60.0f).levels(38.0, 41.0, -60.0f);
        cases.push_back({"music", c, {19.5, 39.5}, false});
    }
    {
        // Speech over a bed at -20 dB: sentence gaps without speech of
        // 0.5 s, chapter breaks of 2 s filled with a sting (as loud), and
        // in the middle of the second break a blip of one window at 0.9
        // (a note the model takes for a syllable).
        Curves c(60.0, -20.0f, 0.9f);
        for (double t : {5.0, 10.0, 15.0, 25.0, 30.0, 35.0, 45.0, 50.0, 55.0})
            c.speech(t, t + 0.5, 0.05f);
        c.speech(20.0, 22.0, 0.05f).speech(40.0, 42.0, 0.05f);
        c.windows((long)(41.0 * 16000 / SIL_SPEECH_WINDOW), 1, 0.9f);
        cases.push_back({"speech over a bed", c, {21.0, 41.0}, true});
    }
    {
        // A radio show: talk (5 to 20 s), two songs (22 to 38 s, 41 to 57 s)
        // with quiet gaps of 2 s around and between them, and 0.3 s rests
        // inside the songs; the model hears no speech in the songs.
        Curves c(60.0, -20.0f, 0.9f);
        for (double t : {8.0, 12.0, 16.0})
            c.speech(t, t + 0.4, 0.05f);
        c.speech(20.0, 60.0, 0.02f);
        c.levels(20.0, 22.0, -60.0f).levels(38.5, 40.5, -60.0f);
        for (double t : {25.0, 30.0, 35.0, 45.0, 50.0})
            c.levels(t, t + 0.3, -60.0f);
        c.levels(57.0, 60.0, -60.0f);
        cases.push_back({"talk and songs", c, {21.0, 39.5}, true});
    }
    for (const AutoCase &k : cases) {
        SCOPED_TRACE(k.name);
        const Found f = detect(k.curves, "{\"auto\":true}");
        ASSERT_EQ(f.rc, 0) << sil_get_error();
        ASSERT_EQ(f.chapters.size(), k.starts.size() + 1) << f.report;
        for (size_t i = 0; i < k.starts.size(); i++)
            EXPECT_NEAR(f.chapters[i + 1].t0, k.starts[i], 0.1) << f.report;
        EXPECT_NE(f.report.find(k.speech_used ? "\"speech_used\":true" : "\"speech_used\":false"),
                  std::string::npos)
            << f.report;
        // The keys given beside auto still win.
        const Found given = detect(k.curves, "{\"auto\":true,\"speech\":false}");
        EXPECT_EQ(given.report.find("speech_used"), std::string::npos) << given.report;
    }
}

TEST(SpeechRules, AutoTakesNoQuietPassageInsideMusicForAGap) {
    // Two minutes of music (-20 dB, rests at -40 of 0.3 s every 4 s) with gaps
    // of 3 s over hiss at -60 at 10 and 100 s, and from 45 to 65 s a passage
    // 15 dB quieter whose notes (-35, some at -25) rest at -42 for 1.5 s of
    // every 4: far from the gaps, its own low levels are no noise floor.
    Curves c(120.0, -20.0f, 0.02f);
    for (double t = 2.0; t < 118.0; t += 4.0)
        c.levels(t, t + 0.3, -40.0f);
    c.levels(45.0, 65.0, -35.0f);
    for (double t = 45.0; t < 65.0; t += 4.0)
        c.levels(t, t + 0.2, -25.0f).levels(t + 2.0, t + 3.5, -42.0f);
    c.levels(10.0, 13.0, -60.0f).levels(100.0, 103.0, -60.0f);
    const Found f = detect(c, "{\"auto\":true}");
    ASSERT_EQ(f.rc, 0) << sil_get_error();
    ASSERT_EQ(f.chapters.size(), 3u) << f.report;
    EXPECT_NEAR(f.chapters[1].t0, 11.5, 0.1);
    EXPECT_NEAR(f.chapters[2].t0, 101.5, 0.1);
    EXPECT_NE(f.report.find("\"speech_used\":false"), std::string::npos) << f.report;
}

TEST(SpeechRules, AutoWithoutAClearBreakTakesOneAndAHalfSeconds) {
    // Stretches without speech of 0.8 to 1.4 s and breaks of 1.6 to 1.8 s:
    // no ratio of 1.4 between neighbours, so the fixed 1.5 s splits them.
    Curves c(80.0);
    const double gaps[] = {0.8, 0.9, 1.0, 1.1, 1.2, 1.3, 1.4, 1.7, 0.9, 1.6, 1.2, 1.8};
    double t = 4.0;
    for (double g : gaps) {
        c.speech(t, t + g, 0.05f);
        t += g + 5.0;
    }
    const Found f = detect(c, "{\"auto\":true}");
    ASSERT_EQ(f.rc, 0) << sil_get_error();
    EXPECT_EQ(f.chapters.size(), 4u) << f.report;
    EXPECT_NE(f.report.find("\"pause_scale\":\"speech_fixed\""), std::string::npos) << f.report;
}

TEST(SpeechRules, ProbabilitiesAreNeededForFrames) {
    const Curves c(5.0);
    sil_opts opts;
    ASSERT_EQ(sil_parse_opts("{\"speech\":true}", &opts), 0);
    sil_chapter *out = nullptr;
    int n = 0;
    EXPECT_EQ(sil_detect_on_levels(c.level.data(), (int32_t)c.level.size(), 5.0f, &opts, &out, &n,
                                   nullptr, nullptr),
              -1);
    EXPECT_STREQ(sil_get_error(), "invalid detect args");
    // No frames, no probabilities: no chapters.
    EXPECT_EQ(sil_detect_on_levels(nullptr, 0, 0.0f, &opts, &out, &n, nullptr, nullptr), 0);
    EXPECT_EQ(n, 0);
}

// ---------------------------------------------------------------------------
// The speech curve in the report, through the pipeline
// ---------------------------------------------------------------------------

namespace {

// A recording at the given rate, piece by piece, every sound at an RMS of
// 0.1 (-20 dBFS): voiced speech-like sound, noise, mains hum, quiet.
struct Recording {
    int rate;
    std::vector<float> x;
    std::mt19937 g{11};

    // A pulse train at 100 to 150 Hz through three resonators at the
    // formants of a vowel that changes every 120 ms, in syllables of 4.5 a
    // second: the speech model takes it for speech.
    Recording &vowels(double seconds) {
        static const double formants[5][3] = {{730, 1090, 2440}, {270, 2290, 3010},
                                              {300, 870, 2240},  {530, 1840, 2480},
                                              {640, 1190, 2390}};
        static const double bandwidth[3] = {80, 100, 150};
        const size_t n = (size_t)(seconds * rate), seg = (size_t)(0.12 * rate);
        std::vector<double> y(n, 0.0);
        double phase = 0.0, mem[3][2] = {};
        for (size_t i = 0; i < n; i++) {
            const double t = (double)i / rate;
            phase += (120.0 + 30.0 * std::sin(2 * M_PI * 0.7 * t)) / rate;
            const double pulse = (phase - std::floor(phase) < 0.08 ? 1.0 : 0.0) - 0.08;
            const double *f = formants[(i / seg * 7 + 3) % 5];
            for (int k = 0; k < 3; k++) {
                const double r = std::exp(-M_PI * bandwidth[k] / rate);
                const double v = (1 - r) * pulse + 2 * r * std::cos(2 * M_PI * f[k] / rate) *
                                                       mem[k][0] - r * r * mem[k][1];
                mem[k][1] = mem[k][0];
                mem[k][0] = v;
                y[i] += v;
            }
            const double s = std::sin(2 * M_PI * 4.5 * t);
            y[i] *= 0.5 + 0.5 * s * s;
        }
        return add(y);
    }
    // Noise in bursts of random strength (applause-like).
    Recording &noise(double seconds) {
        std::normal_distribution<double> d(0.0, 1.0);
        std::vector<double> y((size_t)(seconds * rate));
        double env = 0.0;
        for (size_t i = 0; i < y.size(); i++) {
            if (i % (size_t)(0.05 * rate) == 0)
                env = std::fabs(d(g));
            y[i] = env * d(g);
        }
        return add(y);
    }
    // Mains hum: 50 Hz and its harmonics.
    Recording &hum(double seconds) {
        std::vector<double> y((size_t)(seconds * rate));
        for (size_t i = 0; i < y.size(); i++) {
            const double t = (double)i / rate;
            y[i] = 0.8 * std::sin(2 * M_PI * 50 * t) + 0.45 * std::sin(2 * M_PI * 150 * t) +
                   0.25 * std::sin(2 * M_PI * 100 * t) + 0.2 * std::sin(2 * M_PI * 250 * t);
        }
        return add(y);
    }
    Recording &quiet(double seconds) {
        x.resize(x.size() + (size_t)(seconds * rate), 0.0f);
        return *this;
    }
    // Appends y at an RMS of 0.1.
    Recording &add(const std::vector<double> &y) {
        double sum = 0.0;
        for (double v : y)
            sum += v * v;
        const double gain = 0.1 / std::sqrt(sum / (double)y.size());
        for (double v : y)
            x.push_back((float)(v * gain));
        return *this;
    }
};

// Three talks with breaks that are not silent: noise from 3 to 5 s, hum from
// 8 to 10 s, and a short quiet moment at each side of the hum.
std::vector<float> talks(int rate) {
    Recording r{rate, {}};
    r.vowels(3.0).noise(2.0).vowels(3.0).quiet(0.1).hum(1.8).quiet(0.1).vowels(3.0);
    return r.x;
}

// The chapters silsplit_analyze_pcm finds in a 16 kHz buffer.
std::vector<sil_chapter> analyze_chapters(const std::vector<float> &x, const char *opts) {
    char *text = silsplit_analyze_pcm(x.data(), (int)x.size(), opts);
    std::vector<sil_chapter> out;
    EXPECT_NE(text, nullptr) << silsplit_last_error();
    if (!text)
        return out;
    std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> doc(yyjson_read(text, strlen(text), 0),
                                                            yyjson_doc_free);
    silsplit_free_string(text);
    yyjson_val *arr = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "chapters");
    for (size_t i = 0; i < yyjson_arr_size(arr); i++) {
        yyjson_val *c = yyjson_arr_get(arr, i);
        out.push_back({(float)yyjson_get_num(yyjson_obj_get(c, "t0")),
                       (float)yyjson_get_num(yyjson_obj_get(c, "t1")),
                       (float)yyjson_get_num(yyjson_obj_get(c, "peak_db"))});
    }
    return out;
}

std::string pipeline_report(const std::vector<float> &x, int rate, const char *opts_json,
                            size_t block) {
    sil_opts opts;
    EXPECT_EQ(sil_parse_opts(opts_json, &opts), 0);
    sil_pipeline_ptr p(sil_pipeline_new(rate, (int64_t)x.size(), &opts, nullptr));
    if (!p)
        return sil_get_error();
    for (size_t at = 0; at < x.size(); at += block)
        EXPECT_EQ(sil_pipeline_push(p.get(), x.data() + at, std::min(block, x.size() - at)), 0);
    char *text = sil_pipeline_report(p.get());
    std::string out = text ? text : sil_get_error();
    free(text);
    return out;
}

// The same analysis over whole buffers: the signal resampled at once, the
// speech stage and the rules on all of it.
std::string whole_buffer_report(const std::vector<float> &x, int rate, const char *opts_json) {
    sil_opts opts;
    EXPECT_EQ(sil_parse_opts(opts_json, &opts), 0);
    float *x16 = nullptr;
    int n16 = 0;
    EXPECT_EQ(sil_resample_to_16k(x.data(), (int)x.size(), rate, &x16, &n16, nullptr), 0);
    sil_report_extras extras;
    sil_report_extras_init(&extras);
    sil_chapter *chapters = nullptr;
    int count = 0;
    float removed = 0.0f;
    EXPECT_EQ(sil_detect_chapters(x16, n16, &opts, &chapters, &count, &removed, nullptr, nullptr,
                                  &extras),
              0);
    char *text = sil_build_analyze_json(rate, (float)x.size() / (float)rate, chapters, count,
                                        removed, &extras);
    std::string out = text ? text : sil_get_error();
    free(text);
    free(chapters);
    free(x16);
    sil_report_extras_free(&extras);
    return out;
}

} // namespace

TEST(SpeechPipeline, TheModelSeesThe16kHzSignalWhateverTheBlocks) {
    const char *opts = "{\"speech\":true,\"report_speech\":true,\"report_pauses\":true,"
                       "\"keep_all\":true,\"min_chapter_s\":1}";
    for (int rate : {16000, 44100}) {
        SCOPED_TRACE(rate);
        const std::vector<float> x = talks(rate);
        const std::string want = whole_buffer_report(x, rate, opts);
        ASSERT_NE(want.find("\"speech\":{\"hop_s\":0.032,\"p\":["), std::string::npos) << want;
        for (size_t block : {(size_t)1000, (size_t)4096, x.size()})
            EXPECT_EQ(pipeline_report(x, rate, opts, block), want) << "block " << block;
    }
}

TEST(SpeechPipeline, ReportSpeechAddsTheRoundedCurveAndChangesNothingElse) {
    const std::vector<float> x = talks(16000);
    const std::string plain = pipeline_report(x, 16000, "{}", x.size());
    const std::string with = pipeline_report(x, 16000, "{\"report_speech\":true}", x.size());
    ASSERT_EQ(with.compare(0, plain.size() - 1, plain, 0, plain.size() - 1), 0) << with;

    sil_speech_stage s;
    ASSERT_EQ(sil_speech_init(&s), 0);
    ASSERT_EQ(sil_speech_push(&s, x.data(), x.size()), 0);
    ASSERT_EQ(sil_speech_finish(&s), 0);
    std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> doc(
        yyjson_read(with.data(), with.size(), 0), yyjson_doc_free);
    yyjson_val *speech = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "speech");
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(speech, "hop_s")), 0.032);
    yyjson_val *p = yyjson_obj_get(speech, "p");
    ASSERT_EQ((int64_t)yyjson_arr_size(p), s.count);
    bool some_speech = false;
    for (int64_t j = 0; j < s.count; j++) {
        EXPECT_EQ(yyjson_get_num(yyjson_arr_get(p, (size_t)j)),
                  std::lround((double)s.probs[j] * 1000.0) / 1000.0)
            << j;
        some_speech = some_speech || s.probs[j] >= 0.5f;
    }
    EXPECT_TRUE(some_speech);
    sil_speech_free(&s);
}

TEST(SpeechPipeline, FindsTheBreaksThatAreNotSilent) {
    // Everything is at -20 dBFS: the levels find one chapter.
    const std::vector<float> x = talks(16000);
    struct Case {
        const char *opts;
        float pad;
    } cases[] = {{"{\"speech\":true,\"min_chapter_s\":1}", 0.25f},
                 {"{\"speech\":true,\"min_chapter_s\":1,\"keep_all\":true}", 0.0f}};
    EXPECT_EQ(analyze_chapters(x, "{}").size(), 1u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.opts);
        const std::vector<sil_chapter> ch = analyze_chapters(x, c.opts);
        ASSERT_EQ(ch.size(), 3u);
        // Each break between the chapters lies in the noise or the hum, and
        // with keep_all the cut in the hum's break is in a quiet moment.
        const double breaks[2][2] = {{3.0, 5.0}, {8.0, 10.0}};
        for (int b = 0; b < 2; b++) {
            EXPECT_GE(ch[b].t1, breaks[b][0]);
            EXPECT_LE(ch[b + 1].t0, breaks[b][1]);
            EXPECT_LE(ch[b].t1 - c.pad, ch[b + 1].t0 + c.pad);
        }
        if (c.pad == 0.0f) {
            EXPECT_TRUE(ch[2].t0 < 8.1f || ch[2].t0 > 9.9f) << ch[2].t0;
        }
    }
}

TEST(SpeechReport, ProbabilitiesAreWrittenAsYyjsonWritesTheirThousandths) {
    // Every value from 0 to 1 in steps of 0.001, and NaN and out-of-range ones.
    std::vector<float> p;
    for (int i = 0; i <= 1000; i++)
        p.push_back((float)i / 1000.0f);
    p.push_back(std::nanf(""));
    p.push_back(-0.5f);
    p.push_back(2.0f);
    sil_opts opts;
    ASSERT_EQ(sil_parse_opts("{\"report_speech\":true}", &opts), 0);
    sil_report_extras extras;
    sil_report_extras_init(&extras);
    sil_report_extras_lend_speech(&extras, &opts, p.data(), (int64_t)p.size());
    char *text = sil_build_analyze_json(16000, 1.0f, nullptr, 0, 1.0f, &extras);
    ASSERT_NE(text, nullptr);
    const std::string got = text;
    free(text);

    yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *arr = yyjson_mut_arr(d);
    for (int i = 0; i <= 1000; i++)
        yyjson_mut_arr_add_real(d, arr, i / 1000.0);
    for (double v : {0.0, 0.0, 1.0})
        yyjson_mut_arr_add_real(d, arr, v);
    yyjson_mut_doc_set_root(d, arr);
    char *want_arr = yyjson_mut_write(d, 0, nullptr);
    const std::string want = "{\"sample_rate\":16000,\"duration_s\":1.0,\"silences_removed_s\":1.0,"
                             "\"chapters\":[],\"speech\":{\"hop_s\":0.032,\"p\":" +
                             std::string(want_arr) + "}}";
    free(want_arr);
    yyjson_mut_doc_free(d);
    EXPECT_EQ(got, want);
}
