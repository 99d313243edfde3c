// The auto key through silsplit_analyze_pcm: chapters at the break between
// short and long pauses, all of the recording kept, clicks inside pauses
// ignored, what it chose in the report, and keys given beside it winning.
// Signals are 16 kHz narration-like buffers: "speech" is noise at -20 dBFS
// in syllables of 0.15 s with 50 ms gaps.
#include "signal_helpers.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace sigtest;

struct Report {
    std::string text; // empty when the call failed
    std::string error;
    std::shared_ptr<yyjson_doc> doc;
    yyjson_val *root = nullptr;
    std::vector<std::pair<double, double>> chapters;

    yyjson_val *get(const char *key) const { return yyjson_obj_get(root, key); }
    double num(const char *key) const { return yyjson_get_num(get(key)); }
    std::string str(const char *key) const {
        const char *s = yyjson_get_str(get(key));
        return s ? s : "";
    }
};

Report analyze(const std::vector<float> &pcm, const std::string &opts) {
    Report r;
    char *t = silsplit_analyze_pcm(pcm.data(), (int)pcm.size(), opts.c_str());
    r.error = silsplit_last_error();
    if (!t)
        return r;
    r.text = t;
    silsplit_free_string(t);
    r.doc.reset(yyjson_read(r.text.data(), r.text.size(), 0), yyjson_doc_free);
    r.root = yyjson_doc_get_root(r.doc.get());
    yyjson_val *arr = r.get("chapters");
    for (size_t i = 0; i < yyjson_arr_size(arr); i++) {
        yyjson_val *c = yyjson_arr_get(arr, i);
        r.chapters.push_back(
            {yyjson_get_num(yyjson_obj_get(c, "t0")), yyjson_get_num(yyjson_obj_get(c, "t1"))});
    }
    return r;
}

struct Noise {
    uint32_t s = 4242u;
    float next() { // uniform in [-1, 1), RMS 1/sqrt(3)
        s = s * 1664525u + 1013904223u;
        return (float)((double)(s >> 8) / 8388608.0 - 1.0);
    }
};

float amp_for(double db) { return (float)(std::pow(10.0, db / 20.0) * std::sqrt(3.0)); }

// A recording built like narration over a floor (hiss at floor_db, or
// digital silence at -120), with clicks of 1.5 ms at -10 dBFS peak every
// click_every seconds when that is above 0. The planted chapter pauses are
// kept to score the boundaries.
struct Narration {
    std::vector<float> s;
    std::vector<std::pair<double, double>> chapter_pauses;
    Noise noise;
    double floor_db = -120.0;

    double now() const { return (double)s.size() / kRate; }
    void pause(double seconds) {
        const size_t n = (size_t)std::lround(seconds * kRate);
        for (size_t i = 0; i < n; i++)
            s.push_back(floor_db <= -120.0 ? 0.0f : amp_for(floor_db) * noise.next());
    }
    void speech(double seconds) {
        const size_t n = (size_t)std::lround(seconds * kRate);
        for (size_t i = 0; i < n; i++) {
            const bool gap = std::fmod((double)i / kRate, 0.2) >= 0.15;
            const float floor = floor_db <= -120.0 ? 0.0f : amp_for(floor_db) * noise.next();
            s.push_back((gap ? 0.0f : amp_for(-20.0) * noise.next()) + floor);
        }
    }
    void clicks(double every) {
        const size_t width = (size_t)(0.0015 * kRate), step = (size_t)(every * kRate);
        const float peak = (float)std::pow(10.0, -10.0 / 20.0);
        for (size_t at = step / 3; at + width < s.size(); at += step)
            for (size_t i = 0; i < width; i++)
                s[at + i] += peak * (float)std::sin(M_PI * ((double)i + 0.5) / (double)width);
    }
};

// Four chapters of three paragraphs of three sentences: sentence gaps of
// 0.2 to 0.4 s, paragraph pauses of 0.6 to 0.9 s, chapter pauses of
// 2.2 to 3.4 s.
Narration narration(double floor_db, double click_every) {
    Narration n;
    n.floor_db = floor_db;
    n.pause(1.0);
    for (int c = 0; c < 4; c++) {
        for (int p = 0; p < 3; p++) {
            for (int k = 0; k < 3; k++) {
                n.speech(1.6 + 0.2 * k);
                if (k < 2)
                    n.pause(0.2 + 0.1 * ((c + p + k) % 3));
            }
            if (p < 2)
                n.pause(0.6 + 0.1 * ((c + p) % 4));
        }
        if (c < 3) {
            const double t0 = n.now();
            n.pause(2.2 + 0.4 * c);
            n.chapter_pauses.push_back({t0, n.now()});
        }
    }
    n.pause(1.0);
    if (click_every > 0.0)
        n.clicks(click_every);
    return n;
}

// Every chapter boundary inside a planted chapter pause, one for each.
void expect_boundaries_in(const Report &r, const Narration &n) {
    ASSERT_EQ(n.chapter_pauses.size() + 1, r.chapters.size()) << r.text.substr(0, 600);
    for (size_t i = 0; i + 1 < r.chapters.size(); i++) {
        EXPECT_EQ(r.chapters[i].second, r.chapters[i + 1].first) << i;
        EXPECT_GT(r.chapters[i].second, n.chapter_pauses[i].first) << i;
        EXPECT_LT(r.chapters[i].second, n.chapter_pauses[i].second) << i;
    }
}

// ---------------------------------------------------------------------------
// auto alone
// ---------------------------------------------------------------------------

struct NarrationCase {
    const char *name;
    double floor_db;
    double click_every; // seconds; 0: no clicks
};

void PrintTo(const NarrationCase &c, std::ostream *os) { *os << c.name; }

class AutoNarration : public ::testing::TestWithParam<NarrationCase> {};

TEST_P(AutoNarration, BreaksAtTheChapterPausesAndKeepsEverything) {
    const Narration n = narration(GetParam().floor_db, GetParam().click_every);
    const Report r = analyze(n.s, "{\"auto\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    expect_boundaries_in(r, n);
    EXPECT_EQ(0.0, r.chapters.front().first);
    EXPECT_EQ(r.num("duration_s"), r.chapters.back().second);
    EXPECT_EQ(0.0, r.num("silences_removed_s"));
    EXPECT_EQ("break", r.str("pause_scale"));
    // Between the longest paragraph pause and the shortest chapter pause.
    EXPECT_GT(r.num("min_silence_s_used"), 0.9);
    EXPECT_LT(r.num("min_silence_s_used"), 2.2);
    EXPECT_TRUE(yyjson_is_num(r.get("threshold_db"))) << r.text.substr(0, 300);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, AutoNarration,
    ::testing::Values(NarrationCase{"Clean", -120.0, 0.0}, NarrationCase{"Hiss", -50.0, 0.0},
                      NarrationCase{"ClicksOverSilence", -120.0, 0.25},
                      NarrationCase{"ClicksOverHiss", -55.0, 0.3}),
    [](const ::testing::TestParamInfo<NarrationCase> &i) { return std::string(i.param.name); });

TEST(AutoClicks, AreWhatBreaksThePausesWithoutAuto) {
    const Narration n = narration(-120.0, 0.25);
    for (const char *opts : {"{}", "{\"auto_threshold\":true}",
                             "{\"auto_threshold\":true,\"keep_all\":true,\"min_silence_s\":1.5}"}) {
        const Report r = analyze(n.s, opts);
        EXPECT_NE(n.chapter_pauses.size() + 1, r.chapters.size()) << opts;
    }
}

TEST(AutoClicks, ADenseTrainOfShortSoundsIsSound) {
    // Bursts of 30 ms every 60 ms for 3 s where a chapter pause would be:
    // too many to be clicks, so the two sides stay one chapter.
    Narration n;
    n.pause(1.0);
    n.speech(8.0);
    for (int i = 0; i < 50; i++) {
        n.speech(0.03);
        n.pause(0.03);
    }
    n.speech(8.0);
    n.pause(1.0);
    const Report r = analyze(n.s, "{\"auto\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_EQ(1u, r.chapters.size()) << r.text.substr(0, 400);
}

// ---------------------------------------------------------------------------
// The pause scale without a clear break
// ---------------------------------------------------------------------------

TEST(AutoPauseScale, WithoutABreakKeepsTheLongestPausesOnly) {
    // Pauses from 0.30 to 1.50 s in even steps of 0.1 s between 6 s of
    // speech: no length stands apart, so only the longest (those within a
    // fifth of the 1.5 s one: 1.2 to 1.5 s) end chapters.
    Narration n;
    n.pause(1.0);
    for (int k = 0; k < 13; k++) {
        n.speech(6.0);
        n.pause(0.3 + 0.1 * ((k * 5) % 13));
    }
    n.speech(6.0);
    n.pause(1.0);
    const Report r = analyze(n.s, "{\"auto\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_EQ("longest_only", r.str("pause_scale"));
    EXPECT_GT(r.num("min_silence_s_used"), 1.1);
    EXPECT_LE(r.num("min_silence_s_used"), 1.5);
    EXPECT_GE(r.chapters.size(), 2u);
    EXPECT_LE(r.chapters.size(), 5u);
    EXPECT_EQ(0.0, r.num("silences_removed_s"));
}

TEST(AutoPauseScale, SilenceHasNoPause) {
    const Report r = analyze(silence(12.0), "{\"auto\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_EQ("no_pause", r.str("pause_scale"));
    ASSERT_EQ(1u, r.chapters.size());
    EXPECT_EQ(0.0, r.chapters[0].first);
}

// ---------------------------------------------------------------------------
// Keys given beside auto win
// ---------------------------------------------------------------------------

struct GivenCase {
    const char *name;
    const char *opts;
    size_t chapters;         // 0: more than the four of auto alone
    const char *pause_scale; // the report's member
    double threshold_db;     // 0: the one auto found (not checked)
    bool removes;            // some time is left out
};

void PrintTo(const GivenCase &c, std::ostream *os) { *os << c.name; }

class AutoGivenKeys : public ::testing::TestWithParam<GivenCase> {};

TEST_P(AutoGivenKeys, OverrideWhatAutoChooses) {
    const GivenCase &c = GetParam();
    const Report r = analyze(narration(-50.0, 0.0).s, c.opts);
    ASSERT_FALSE(r.text.empty()) << r.error;
    if (c.chapters) {
        EXPECT_EQ(c.chapters, r.chapters.size()) << r.text.substr(0, 600);
    } else {
        EXPECT_GT(r.chapters.size(), 4u) << r.text.substr(0, 600);
    }
    EXPECT_EQ(c.pause_scale, r.str("pause_scale"));
    if (c.threshold_db != 0.0) {
        EXPECT_EQ(c.threshold_db, r.num("threshold_db"));
    }
    EXPECT_EQ(c.removes, r.num("silences_removed_s") > 0.0) << r.num("silences_removed_s");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, AutoGivenKeys,
    ::testing::Values(
        GivenCase{"MinSilence", "{\"auto\":true,\"min_silence_s\":0.5}", 0, "given", 0.0, false},
        GivenCase{"Threshold", "{\"auto\":true,\"threshold_db\":-30}", 4, "break", -30.0, false},
        GivenCase{"KeepAllOff", "{\"auto\":true,\"keep_all\":false}", 4, "break", 0.0, true},
        GivenCase{"ChapterCount", "{\"auto\":true,\"chapter_count\":2}", 2, "break", 0.0,
                  false},
        GivenCase{"MaxChapterAtPauses",
                  "{\"auto\":true,\"max_chapter_s\":10,\"cut_at_pause\":true}", 0, "break", 0.0,
                  false}),
    [](const ::testing::TestParamInfo<GivenCase> &i) { return std::string(i.param.name); });

TEST(AutoOff, LeavesTheReportAsItWas) {
    const std::vector<float> s = narration(-50.0, 0.25).s;
    EXPECT_EQ(analyze(s, "{}").text, analyze(s, "{\"auto\":false}").text);
    EXPECT_EQ(analyze(s, "{\"auto_threshold\":true}").text,
              analyze(s, "{\"auto_threshold\":true,\"auto\":false}").text);
    const Report bad = analyze(s, "{\"auto\":1}");
    EXPECT_TRUE(bad.text.empty());
    EXPECT_EQ("auto must be true or false", bad.error);
}

} // namespace
