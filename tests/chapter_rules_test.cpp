// The newer option keys through silsplit_analyze_pcm: the report members
// they add (threshold, pauses, levels, chapter count) and the chapter rules
// they change (a threshold from the recording's levels, cuts at pauses, a
// chapter count, chapters that cover the whole recording). Signals are 16 kHz
// buffers of hops of 160 samples (see signal_helpers.h); noise comes from a
// fixed seed.
#include "report.h"
#include "signal_helpers.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace sigtest;

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

struct Chapter {
    double t0, t1, peak_db;
};

struct Report {
    std::string text; // empty when the call failed
    std::string error;
    std::shared_ptr<yyjson_doc> doc;
    yyjson_val *root = nullptr;
    std::vector<Chapter> chapters;

    yyjson_val *get(const char *key) const { return yyjson_obj_get(root, key); }
    double num(const char *key) const { return yyjson_get_num(get(key)); }
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
        r.chapters.push_back({yyjson_get_num(yyjson_obj_get(c, "t0")),
                              yyjson_get_num(yyjson_obj_get(c, "t1")),
                              yyjson_get_num(yyjson_obj_get(c, "peak_db"))});
    }
    return r;
}

// The member names of the report, in order.
std::vector<std::string> keys(const Report &r) {
    std::vector<std::string> k;
    yyjson_val *key, *val;
    yyjson_obj_iter it = yyjson_obj_iter_with(r.root);
    while ((key = yyjson_obj_iter_next(&it))) {
        val = yyjson_obj_iter_get_val(key);
        (void)val;
        k.push_back(yyjson_get_str(key));
    }
    return k;
}

// ---------------------------------------------------------------------------
// Signals: "speech" is noise at about -20 dBFS in syllables of 0.15 s with
// 50 ms gaps; pauses are plain noise at a floor level.
// ---------------------------------------------------------------------------

struct Noise {
    uint32_t s = 12345u;
    float next() { // uniform in [-1, 1), RMS 1/sqrt(3)
        s = s * 1664525u + 1013904223u;
        return (float)((double)(s >> 8) / 8388608.0 - 1.0);
    }
};

// Uniform noise of RMS level db.
float amp_for(double db) { return (float)(std::pow(10.0, db / 20.0) * std::sqrt(3.0)); }

struct Builder {
    std::vector<float> s;
    Noise noise;
    // Floor level in dB as a function of the time in seconds.
    double (*floor_at)(double) = [](double) { return -120.0; };

    double now() const { return (double)s.size() / kRate; }
    Builder &pause(double seconds) {
        const size_t n = (size_t)std::lround(seconds * kRate);
        for (size_t i = 0; i < n; i++) {
            const double f = floor_at(now());
            s.push_back(f <= -120.0 ? 0.0f : amp_for(f) * noise.next());
        }
        return *this;
    }
    Builder &speech(double seconds, double db = -20.0) {
        const size_t n = (size_t)std::lround(seconds * kRate);
        for (size_t i = 0; i < n; i++) {
            const double t = (double)i / kRate;
            const bool gap = std::fmod(t, 0.2) >= 0.15;
            const double f = floor_at(now());
            const float floor = f <= -120.0 ? 0.0f : amp_for(f) * noise.next();
            s.push_back((gap ? 0.0f : amp_for(db) * noise.next()) + floor);
        }
        return *this;
    }
};

// ---------------------------------------------------------------------------
// Options: the newer keys and their types
// ---------------------------------------------------------------------------

struct OptsCase {
    const char *name;
    const char *text;
    const char *error; // NULL: accepted
};

void PrintTo(const OptsCase &c, std::ostream *os) { *os << c.name; }

class NewKeyTypes : public ::testing::TestWithParam<OptsCase> {};

TEST_P(NewKeyTypes, AreCheckedWithAClearMessage) {
    const std::vector<float> pcm = bursts(2.0, {{0.5, 1.5}});
    sil_set_error("stale");
    const Report r = analyze(pcm, GetParam().text);
    if (GetParam().error) {
        EXPECT_TRUE(r.text.empty());
        EXPECT_EQ(GetParam().error, r.error);
    } else {
        EXPECT_FALSE(r.text.empty()) << r.error;
        EXPECT_EQ("", r.error);
    }
}

const char kFlagAuto[] = "auto_threshold must be true or false";
const char kCount[] = "chapter_count must be a whole number from 1 to 10000";

INSTANTIATE_TEST_SUITE_P(
    Texts, NewKeyTypes,
    ::testing::Values(
        OptsCase{"AllNewKeys",
                 "{\"auto_threshold\":true,\"cut_at_pause\":false,\"chapter_count\":2,"
                 "\"keep_all\":true,\"report_pauses\":true,\"report_levels\":false}",
                 nullptr},
        OptsCase{"FlagAsNumber", "{\"auto_threshold\":1}", kFlagAuto},
        OptsCase{"FlagAsString", "{\"auto_threshold\":\"true\"}", kFlagAuto},
        OptsCase{"FlagAsNull", "{\"auto_threshold\":null}", kFlagAuto},
        OptsCase{"CutAtPauseAsObject", "{\"cut_at_pause\":{}}",
                 "cut_at_pause must be true or false"},
        OptsCase{"KeepAllAsArray", "{\"keep_all\":[true]}", "keep_all must be true or false"},
        OptsCase{"ReportPausesAsString", "{\"report_pauses\":\"yes\"}",
                 "report_pauses must be true or false"},
        OptsCase{"ReportLevelsAsNumber", "{\"report_levels\":0}",
                 "report_levels must be true or false"},
        OptsCase{"FirstMemberWins", "{\"keep_all\":true,\"keep_all\":1}", nullptr},
        OptsCase{"CountZero", "{\"chapter_count\":0}", kCount},
        OptsCase{"CountNegative", "{\"chapter_count\":-3}", kCount},
        OptsCase{"CountFraction", "{\"chapter_count\":2.5}", kCount},
        OptsCase{"CountAsString", "{\"chapter_count\":\"3\"}", kCount},
        OptsCase{"CountAsBoolean", "{\"chapter_count\":true}", kCount},
        OptsCase{"CountAboveTheLimit", "{\"chapter_count\":10001}", kCount},
        OptsCase{"CountWholeReal", "{\"chapter_count\":3.0}", nullptr},
        OptsCase{"CountAtTheLimit", "{\"chapter_count\":10000}", nullptr},
        // The five original keys keep their rules: a wrong type is ignored.
        OptsCase{"OriginalKeyWrongTypeIgnored",
                 "{\"threshold_db\":\"-30\",\"max_chapter_s\":true,\"keep_all\":false}", nullptr}),
    [](const ::testing::TestParamInfo<OptsCase> &i) { return std::string(i.param.name); });

TEST(NewKeyTypes, ReadIntoTheRecordAndBackToDefaultsOnError) {
    sil_opts o;
    ASSERT_EQ(0, sil_parse_opts("{\"auto_threshold\":true,\"cut_at_pause\":true,"
                                "\"chapter_count\":7,\"keep_all\":true,\"report_pauses\":true,"
                                "\"report_levels\":true,\"threshold_db\":-30}",
                                &o));
    EXPECT_TRUE(o.auto_threshold && o.cut_at_pause && o.keep_all && o.report_pauses &&
                o.report_levels);
    EXPECT_EQ(7, o.chapter_count);
    EXPECT_EQ(-30.0f, o.threshold_db);
    ASSERT_EQ(-1, sil_parse_opts("{\"threshold_db\":-30,\"keep_all\":true,\"report_levels\":1}",
                                 &o));
    EXPECT_STREQ("report_levels must be true or false", sil_get_error());
    EXPECT_EQ(-40.0f, o.threshold_db);
    EXPECT_FALSE(o.keep_all);
    EXPECT_EQ(0, o.chapter_count);
}

// ---------------------------------------------------------------------------
// Report members
// ---------------------------------------------------------------------------

// Three chapters of sound between pauses of 1.0 s and 2.0 s, plus a pause of
// 50 ms inside the first (too short to be listed) and 0.5 s inside the last.
std::vector<float> three_chapters() {
    return bursts(20.0, {{1.0, 3.0}, {3.05, 6.0}, {7.0, 10.0}, {12.0, 15.0}, {15.5, 18.0}});
}

TEST(ReportMembers, KeysSetToFalseLeaveTheReportAsItWas) {
    const std::vector<float> pcm = three_chapters();
    const Report plain = analyze(pcm, "{\"min_chapter_s\":1}");
    const Report off = analyze(pcm, "{\"min_chapter_s\":1,\"auto_threshold\":false,"
                                    "\"cut_at_pause\":true,\"keep_all\":false,"
                                    "\"report_pauses\":false,\"report_levels\":false}");
    ASSERT_FALSE(plain.text.empty());
    EXPECT_EQ(plain.text, off.text);
}

TEST(ReportMembers, PausesAreTheQuietStretchesBetweenSoundsRanked) {
    const std::vector<float> pcm = three_chapters();
    const Report plain = analyze(pcm, "{\"min_chapter_s\":1}");
    const Report r = analyze(pcm, "{\"min_chapter_s\":1,\"report_pauses\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    // Today's report first, the pauses and the boundaries' confidence after it.
    EXPECT_EQ(plain.text.substr(0, plain.text.size() - 1), r.text.substr(0, plain.text.size() - 1));
    EXPECT_EQ((std::vector<std::string>{"sample_rate", "duration_s", "silences_removed_s",
                                        "chapters", "pauses", "boundaries"}),
              keys(r));
    yyjson_val *p = r.get("pauses");
    ASSERT_EQ(3u, yyjson_arr_size(p)); // 1.0 s, 2.0 s, 0.5 s; not the 50 ms one
    struct Want {
        double t0, t1;
        int rank;
    } want[] = {{6.0, 7.0, 2}, {10.0, 12.0, 1}, {15.0, 15.5, 3}};
    for (size_t i = 0; i < 3; i++) {
        yyjson_val *e = yyjson_arr_get(p, i);
        SCOPED_TRACE(i);
        EXPECT_EQ((double)frame_time(hundredths(want[i].t0)),
                  yyjson_get_num(yyjson_obj_get(e, "t0")));
        EXPECT_EQ((double)frame_time(hundredths(want[i].t1)),
                  yyjson_get_num(yyjson_obj_get(e, "t1")));
        EXPECT_NEAR(want[i].t1 - want[i].t0, yyjson_get_num(yyjson_obj_get(e, "dur")), 1e-5);
        EXPECT_EQ(-120.0, yyjson_get_num(yyjson_obj_get(e, "level_db")));
        EXPECT_EQ(want[i].rank, yyjson_get_int(yyjson_obj_get(e, "rank")));
        // Whole hops, then the depth below the threshold (80 dB) in 0.1 dB.
        EXPECT_DOUBLE_EQ((hundredths(want[i].t1 - want[i].t0) * 1000 + 800) / 100000.0,
                         yyjson_get_num(yyjson_obj_get(e, "score")));
    }
}

TEST(ReportMembers, EqualPausesRankTheDeeperFirst) {
    std::vector<float> pcm = bursts(12.0, {{1.0, 4.0}, {5.0, 8.0}, {9.0, 11.0}});
    for (size_t i = 8 * kRate; i < 9 * (size_t)kRate; i++)
        pcm[i] = 0.001f; // -60 dB: quiet, but less deep than digital silence
    const Report r = analyze(pcm, "{\"min_chapter_s\":1,\"report_pauses\":true}");
    yyjson_val *p = r.get("pauses");
    ASSERT_EQ(2u, yyjson_arr_size(p));
    EXPECT_EQ(1, yyjson_get_int(yyjson_obj_get(yyjson_arr_get(p, 0), "rank")));
    EXPECT_EQ(2, yyjson_get_int(yyjson_obj_get(yyjson_arr_get(p, 1), "rank")));
    EXPECT_EQ(-60.0, yyjson_get_num(yyjson_obj_get(yyjson_arr_get(p, 1), "level_db")));
}

TEST(ReportMembers, APauseGoesOnOverABlipButNotOverASound) {
    struct Case {
        float blip_amp;
        size_t pauses;
    } cases[] = {{0.0135f, 1}, {0.5f, 2}}; // -37.4 dB: over the threshold, not loud
    for (const Case &c : cases) {
        std::vector<float> pcm = bursts(12.0, {{1.0, 4.0}, {6.0, 11.0}});
        for (size_t i = 5 * kRate; i < 5 * (size_t)kRate + 3 * kHop; i++)
            pcm[i] = c.blip_amp;
        const Report r = analyze(pcm, "{\"report_pauses\":true}");
        yyjson_val *p = r.get("pauses");
        ASSERT_EQ(c.pauses, yyjson_arr_size(p)) << r.text;
        if (c.pauses == 1) {
            EXPECT_EQ((double)frame_time(400), yyjson_get_num(yyjson_obj_get(yyjson_arr_get(p, 0), "t0")));
            EXPECT_EQ((double)frame_time(600), yyjson_get_num(yyjson_obj_get(yyjson_arr_get(p, 0), "t1")));
        }
    }
}

TEST(ReportMembers, LevelsAreTheCurveInTenthsOfADecibel) {
    std::vector<float> pcm = bursts(3.0, {{1.0, 2.0}});
    for (size_t i = 2 * kRate + 2 * kHop; i < 3 * (size_t)kRate; i++)
        pcm[i] = 0.0123f; // -38.2 dB
    const Report r = analyze(pcm, "{\"report_levels\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    yyjson_val *levels = r.get("levels");
    EXPECT_EQ(0.01, yyjson_get_num(yyjson_obj_get(levels, "hop_s")));
    yyjson_val *db = yyjson_obj_get(levels, "db");
    ASSERT_EQ(299u, yyjson_arr_size(db)); // one per hop over whole 20 ms windows
    EXPECT_EQ(-120.0, yyjson_get_num(yyjson_arr_get(db, 0)));
    EXPECT_EQ(-6.0, yyjson_get_num(yyjson_arr_get(db, 150)));
    EXPECT_EQ(-38.2, yyjson_get_num(yyjson_arr_get(db, 250)));
    EXPECT_NE(std::string::npos, r.text.find(",-38.2,"));
    EXPECT_EQ(std::string::npos, r.text.find("threshold_db"));
}

TEST(ReportMembers, AnEmptySignalHasEmptyMembers) {
    const Report r = analyze({}, "{\"report_levels\":true,\"report_pauses\":true,"
                                 "\"chapter_count\":3,\"auto_threshold\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_EQ("{\"sample_rate\":16000,\"duration_s\":0.0,\"silences_removed_s\":0.0,"
              "\"chapters\":[],\"threshold_db\":-40.0,\"pauses\":[],"
              "\"levels\":{\"hop_s\":0.01,\"db\":[]},"
              "\"chapter_count\":{\"requested\":3,\"found\":0},\"boundaries\":[]}",
              r.text);
}

// ---------------------------------------------------------------------------
// auto_threshold
// ---------------------------------------------------------------------------

// Four chapters of speech at speech_db over a floor, 2 s pauses between
// them and 0.4 s pauses between its sentences.
std::vector<float> talk(double speech_db, double (*floor_at)(double), double chapter_s = 12.0) {
    Builder b;
    b.floor_at = floor_at;
    b.pause(1.0);
    for (int c = 0; c < 4; c++) {
        for (double t = 0; t < chapter_s; t += 4.4)
            b.speech(4.0, speech_db).pause(0.4);
        b.pause(c < 3 ? 1.6 : 0.6);
    }
    return b.s;
}

struct AutoCase {
    const char *name;
    double speech_db;
    double (*floor_at)(double);
    int default_chapters; // today's fixed -40 dBFS
};

void PrintTo(const AutoCase &c, std::ostream *os) { *os << c.name; }

class AutoThreshold : public ::testing::TestWithParam<AutoCase> {};

TEST_P(AutoThreshold, FindsTheChaptersTheFixedThresholdMisses) {
    const AutoCase &c = GetParam();
    const std::vector<float> pcm = talk(c.speech_db, c.floor_at);
    EXPECT_EQ(c.default_chapters, (int)analyze(pcm, "{}").chapters.size());
    const Report r = analyze(pcm, "{\"auto_threshold\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    ASSERT_EQ(4u, r.chapters.size()) << r.text.substr(0, 600);
    // Each chapter holds its 12.8 s of speech, padded: the speech starts at
    // 1.0 s and every 14.8 s after.
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(1.0 + i * 14.8 - 0.25, r.chapters[i].t0, 0.05);
        EXPECT_NEAR(1.0 + i * 14.8 + 12.8 + 0.25, r.chapters[i].t1, 0.1);
    }
    const double thr = r.num("threshold_db");
    EXPECT_GT(thr, c.floor_at(0.0) + 5.0);
    EXPECT_LT(thr, c.speech_db - 8.0);
    EXPECT_EQ(nullptr, r.get("threshold_track")); // a steady floor: one value
}

INSTANTIATE_TEST_SUITE_P(
    Floors, AutoThreshold,
    ::testing::Values(AutoCase{"LowHiss", -20.0, [](double) { return -65.0; }, 4},
                      AutoCase{"LoudHiss", -20.0, [](double) { return -38.0; }, 1},
                      AutoCase{"QuietSpeaker", -44.0, [](double) { return -68.0; }, 0},
                      AutoCase{"LoudSpeakerInARoom", -8.0, [](double) { return -33.0; }, 1}),
    [](const ::testing::TestParamInfo<AutoCase> &i) { return std::string(i.param.name); });

TEST(AutoThresholdTrack, FollowsAFloorRising20Decibels) {
    // Twelve chapters over 4 minutes while the hiss rises from -60 to -40.
    Builder b;
    b.floor_at = [](double t) { return -60.0 + 20.0 * t / 240.0; };
    b.pause(1.0);
    for (int c = 0; c < 12; c++) {
        for (int k = 0; k < 4; k++)
            b.speech(4.0, -22.0).pause(0.4);
        b.pause(1.6);
    }
    const Report fixed = analyze(b.s, "{\"threshold_db\":-50}");
    EXPECT_LT(fixed.chapters.size(), 12u); // no fixed threshold serves both ends
    const Report r = analyze(b.s, "{\"auto_threshold\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_EQ(12u, r.chapters.size());
    yyjson_val *track = r.get("threshold_track");
    ASSERT_GT(yyjson_arr_size(track), 40u);
    const double first = yyjson_get_num(yyjson_obj_get(yyjson_arr_get(track, 0), "db"));
    const double last = yyjson_get_num(
        yyjson_obj_get(yyjson_arr_get(track, yyjson_arr_size(track) - 1), "db"));
    EXPECT_GT(last - first, 14.0);
    double t_prev = -1.0;
    for (size_t i = 0; i < yyjson_arr_size(track); i++) {
        const double t = yyjson_get_num(yyjson_obj_get(yyjson_arr_get(track, i), "t"));
        EXPECT_GT(t, t_prev);
        t_prev = t;
    }
    // The reported threshold is the track's median.
    EXPECT_GT(r.num("threshold_db"), first + 5.0);
    EXPECT_LT(r.num("threshold_db"), last - 5.0);
}

struct OnePopulation {
    const char *name;
    std::vector<float> pcm;
    size_t chapters;
};

void PrintTo(const OnePopulation &c, std::ostream *os) { *os << c.name; }

class AutoThresholdGuard : public ::testing::TestWithParam<OnePopulation> {};

TEST_P(AutoThresholdGuard, SplitsNothingOnOnePopulation) {
    const Report r = analyze(GetParam().pcm, "{\"auto_threshold\":true,\"min_chapter_s\":0.5}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_EQ(GetParam().chapters, r.chapters.size()) << r.text.substr(0, 400);
}

std::vector<float> hiss(double db, double seconds) {
    Builder b;
    static double level;
    level = db;
    b.floor_at = [](double) { return level; };
    b.pause(seconds);
    return b.s;
}

std::vector<float> hum(double db, double seconds) {
    std::vector<float> s((size_t)(seconds * kRate));
    const double a = std::pow(10.0, db / 20.0) * std::sqrt(2.0);
    for (size_t i = 0; i < s.size(); i++) {
        const double t = (double)i / kRate;
        s[i] = (float)(a * (0.8 * std::sin(2 * M_PI * 50 * t) + 0.4 * std::sin(2 * M_PI * 150 * t) +
                            0.2 * std::sin(2 * M_PI * 250 * t)));
    }
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, AutoThresholdGuard,
    ::testing::Values(OnePopulation{"DigitalSilence", silence(30.0), 0},
                      OnePopulation{"QuietHiss", hiss(-55.0, 30.0), 0},
                      OnePopulation{"HissAtTheFixedThreshold", hiss(-42.0, 30.0), 0},
                      OnePopulation{"LoudHiss", hiss(-25.0, 30.0), 1},
                      OnePopulation{"Hum", hum(-38.0, 30.0), 0},
                      OnePopulation{"LoudTone", hum(-10.0, 30.0), 1}),
    [](const ::testing::TestParamInfo<OnePopulation> &i) { return std::string(i.param.name); });

// Steady noise at db over the builder's floor (a word's fading end, music).
void steady(Builder &b, double seconds, double db) {
    const size_t n = (size_t)std::lround(seconds * kRate);
    for (size_t i = 0; i < n; i++)
        b.s.push_back(amp_for(db) * b.noise.next());
}

// Sound inside no chapter, in seconds, over the spans [t0, t1) given.
double left_out(const Report &r, const std::vector<std::pair<double, double>> &spans) {
    double out = 0.0;
    for (const auto &sp : spans) {
        double inside = 0.0;
        for (const Chapter &c : r.chapters)
            inside += std::max(0.0, std::min(sp.second, c.t1) - std::max(sp.first, c.t0));
        out += (sp.second - sp.first) - inside;
    }
    return out;
}

double hiss_65(double) { return -65.0; }

struct ShortStretchCase {
    const char *name;
    double pause_before, pause_after; // around a 1.5 s stretch between two chapters
    int joins;                        // the chapter it joins: 0 the one before, 1 the one after
};

void PrintTo(const ShortStretchCase &c, std::ostream *os) { *os << c.name; }

class AutoThresholdShortStretch : public ::testing::TestWithParam<ShortStretchCase> {};

TEST_P(AutoThresholdShortStretch, JoinsTheNeighbourAcrossTheShorterPause) {
    // A spoken title or a closing remark: too short to stand alone, kept in
    // the chapter across its shorter pause.
    const ShortStretchCase &c = GetParam();
    Builder b;
    b.floor_at = hiss_65;
    b.pause(1.0).speech(9.95, -20.0).pause(c.pause_before); // ends on a syllable
    const double a = b.now();
    b.speech(1.5, -20.0);
    const double e = b.now();
    b.pause(c.pause_after).speech(10.0, -20.0).pause(1.0);
    const Report r = analyze(b.s, "{\"auto_threshold\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    ASSERT_EQ(2u, r.chapters.size()) << r.text.substr(0, 400);
    EXPECT_LE(r.chapters[c.joins].t0, a);
    EXPECT_GE(r.chapters[c.joins].t1, e);
    EXPECT_LT(left_out(r, {{1.0, b.now() - 1.0}}), c.pause_before + c.pause_after + 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Places, AutoThresholdShortStretch,
    ::testing::Values(ShortStretchCase{"TitleBeforeItsChapter", 3.0, 1.2, 1},
                      ShortStretchCase{"RemarkAfterItsChapter", 1.2, 3.0, 0},
                      ShortStretchCase{"EqualPausesToTheEarlier", 2.0, 2.0, 0}),
    [](const ::testing::TestParamInfo<ShortStretchCase> &i) { return std::string(i.param.name); });

TEST(AutoThresholdHysteresis, AWordsQuietEndDoesNotLengthenThePause) {
    // Sentence gaps of 0.45 s after 0.5 s of a fading word end between the
    // threshold and the floor: the gap crosses the threshold for 0.95 s,
    // longer than min_silence_s, but lies near the floor for 0.45 s only.
    Builder b;
    b.floor_at = hiss_65;
    b.pause(1.0);
    std::vector<double> ends;
    for (int c = 0; c < 2; c++) {
        for (int k = 0; k < 3; k++) {
            b.speech(3.95, -20.0); // ends on a syllable
            steady(b, 0.5, -53.0);
            ends.push_back(b.now());
            b.pause(0.45);
        }
        b.pause(c == 0 ? 2.0 : 0.55);
    }
    const Report r = analyze(b.s, "{\"auto_threshold\":true,\"report_pauses\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    const double thr = r.num("threshold_db");
    ASSERT_GT(thr, -52.0) << "the fading end must lie under the threshold";
    ASSERT_LT(thr, -51.0) << "and less than 2 dB under it";
    const Report fixed =
        analyze(b.s, "{\"min_chapter_s\":1,\"padding_s\":0,\"threshold_db\":" +
                         std::to_string(thr) + "}");
    EXPECT_GT(fixed.chapters.size(), 2u); // the crossing alone splits the sentences
    ASSERT_EQ(2u, r.chapters.size()) << r.text.substr(0, 600);
    EXPECT_NEAR(ends[2] + 0.25, r.chapters[0].t1, 0.05); // the end, padded
    // Each pause starts where the fading end gives way to the floor.
    yyjson_val *pauses = r.get("pauses");
    ASSERT_EQ(5u, yyjson_arr_size(pauses));
    for (size_t i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        const double t0 = yyjson_get_num(yyjson_obj_get(yyjson_arr_get(pauses, i), "t0"));
        EXPECT_NEAR(ends[i], t0, 0.03);
    }
}

TEST(AutoThresholdFloor, DoesNotClimbIntoLongMusic) {
    // Talk, 150 s of music at -30 dBFS whose quiet passages fall to -40 for
    // 0.9 s every 5 s, and talk again: the music is material, kept whole.
    Builder b;
    b.floor_at = hiss_65;
    b.pause(1.0);
    for (int c = 0; c < 3; c++)
        b.speech(12.0, -20.0).pause(2.0);
    const double m0 = b.now();
    for (int k = 0; k < 30; k++) {
        steady(b, 4.1, -30.0);
        steady(b, 0.9, -40.0);
    }
    const double m1 = b.now();
    for (int c = 0; c < 3; c++)
        b.pause(2.0).speech(12.0, -20.0);
    b.pause(1.0);
    const Report r = analyze(b.s, "{\"auto_threshold\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_LT(left_out(r, {{m0, m1}}), 0.01);
    for (const Chapter &c : r.chapters) {
        EXPECT_FALSE(c.t0 > m0 + 1.0 && c.t0 < m1 - 1.0) << c.t0;
        EXPECT_FALSE(c.t1 > m0 + 1.0 && c.t1 < m1 - 1.0) << c.t1;
    }
    EXPECT_EQ(7u, r.chapters.size()) << r.text.substr(0, 800);
}

struct ConfidenceCase {
    const char *name;
    const char *opts;
    bool boundaries;  // the member is written
    double min, max;  // the confidence of every boundary in a gap between chapters
                      // (chapters that meet are cut through sound: 0)
};

void PrintTo(const ConfidenceCase &c, std::ostream *os) { *os << c.name; }

class BoundaryConfidence : public ::testing::TestWithParam<ConfidenceCase> {};

TEST_P(BoundaryConfidence, RatesEachBoundaryByItsPause) {
    // Four chapters, 2 s pauses between them, 0.4 s between sentences.
    const ConfidenceCase &c = GetParam();
    const Report r = analyze(talk(-20.0, hiss_65), c.opts);
    ASSERT_FALSE(r.text.empty()) << r.error;
    yyjson_val *b = r.get("boundaries");
    if (!c.boundaries) {
        EXPECT_EQ(nullptr, b);
        EXPECT_EQ(std::string::npos, r.text.find("confidence"));
        return;
    }
    ASSERT_EQ(r.chapters.size() - 1, yyjson_arr_size(b)) << r.text.substr(0, 600);
    for (size_t i = 0; i + 1 < r.chapters.size(); i++) {
        SCOPED_TRACE(i);
        yyjson_val *e = yyjson_arr_get(b, i);
        EXPECT_NEAR((r.chapters[i].t1 + r.chapters[i + 1].t0) / 2,
                    yyjson_get_num(yyjson_obj_get(e, "t")), 1e-5);
        const double conf = yyjson_get_num(yyjson_obj_get(e, "confidence"));
        if (r.chapters[i].t1 == r.chapters[i + 1].t0 && !strstr(c.opts, "auto")) {
            EXPECT_EQ(0.0, conf);
            continue;
        }
        EXPECT_GE(conf, c.min);
        EXPECT_LE(conf, c.max);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, BoundaryConfidence,
    ::testing::Values(
        ConfidenceCase{"AbsentWithoutTheKeys", "{\"auto_threshold\":true}", false, 0, 0},
        // Pauses of 2 s against a scale between 0.4 and 2 s: clear breaks.
        ConfidenceCase{"AutoAlways", "{\"auto\":true}", true, 0.7, 1.0},
        ConfidenceCase{"WithReportPauses", "{\"threshold_db\":-50,\"report_pauses\":true}",
                       true, 0.9, 1.0},
        // Chapters cut through sound every 5 s: no pause holds those cuts.
        ConfidenceCase{"HardCutsAreZero",
                       "{\"threshold_db\":-50,\"max_chapter_s\":5,\"report_pauses\":true}",
                       true, 0.9, 1.0}),
    [](const ::testing::TestParamInfo<ConfidenceCase> &i) { return std::string(i.param.name); });

TEST(PauseConfidence, GrowsWithLengthAndDepth) {
    struct Case {
        int frames, depth_tenths;
        float scale, want;
    } cases[] = {
        {80, 120, 0.8f, 0.5f},  // at the scale, deep: half
        {160, 120, 0.8f, 1.0f}, // twice the scale
        {160, 0, 0.8f, 0.6f},   // twice the scale, at the threshold
        {56, 120, 0.8f, 0.0f},  // under 0.71 of the scale
        {10, 999, 0.8f, 0.0f},  // a sentence gap
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        EXPECT_FLOAT_EQ(c.want, sil_pause_confidence(c.frames, c.depth_tenths, c.scale));
    }
}

// ---------------------------------------------------------------------------
// cut_at_pause
// ---------------------------------------------------------------------------

// 100 s of sound with 0.3 s pauses at uneven places, the sound of the third
// quarter louder.
std::vector<float> long_chapter() {
    std::vector<float> s = silence(102.0);
    const double pauses[] = {7.0, 13.5, 21.0, 26.0, 33.0, 45.0, 52.5, 58.0, 66.0, 79.0, 88.0};
    double t = 1.0;
    for (double p : pauses) {
        add_burst(s, t, p, p > 50 && p < 75 ? 0.9f : 0.3f);
        t = p + 0.3;
    }
    add_burst(s, t, 101.0, 0.3f);
    return s;
}

bool in_pause(double t) {
    const double pauses[] = {7.0, 13.5, 21.0, 26.0, 33.0, 45.0, 52.5, 58.0, 66.0, 79.0, 88.0};
    for (double p : pauses)
        if (t > p && t < p + 0.3)
            return true;
    return false;
}

TEST(CutAtPause, CutsLongChaptersInPausesAndNoPieceIsTooLong) {
    const std::vector<float> pcm = long_chapter();
    const Report hard = analyze(pcm, "{\"max_chapter_s\":30}");
    const Report r = analyze(pcm, "{\"max_chapter_s\":30,\"cut_at_pause\":true}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    ASSERT_EQ(4u, hard.chapters.size());
    ASSERT_GE(r.chapters.size(), 4u);
    EXPECT_EQ(hard.chapters.front().t0, r.chapters.front().t0);
    EXPECT_EQ(hard.chapters.back().t1, r.chapters.back().t1);
    for (size_t i = 0; i < r.chapters.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_LE(r.chapters[i].t1 - r.chapters[i].t0, 30.0 + 1e-5);
        if (i > 0) {
            EXPECT_EQ(r.chapters[i - 1].t1, r.chapters[i].t0);
            EXPECT_TRUE(in_pause(r.chapters[i].t0)) << r.chapters[i].t0;
        }
        // Each piece's own peak: the loud third quarter shows only where it is.
        const bool loud = r.chapters[i].t1 > 45.3 && r.chapters[i].t0 < 66.0;
        EXPECT_NEAR(loud ? 20 * std::log10(0.9) : 20 * std::log10(0.3), r.chapters[i].peak_db,
                    0.01);
    }
    // Today's hard pieces all repeat the whole chapter's peak.
    for (const Chapter &c : hard.chapters)
        EXPECT_NEAR(20 * std::log10(0.9), c.peak_db, 0.01);
}

TEST(CutAtPause, CutsHardOnlyWhereThereIsNoQuietFrame) {
    // 70 s of unbroken sound, then a pause, then 20 s more.
    const std::vector<float> pcm = bursts(97.0, {{1.0, 71.0}, {71.5, 91.0}});
    const Report r = analyze(pcm, "{\"max_chapter_s\":30,\"cut_at_pause\":true,"
                                  "\"min_silence_s\":5,\"padding_s\":0}");
    ASSERT_EQ(4u, r.chapters.size()) << r.text;
    EXPECT_NEAR(1.0, r.chapters[0].t0, 1e-5);
    EXPECT_NEAR(31.0, r.chapters[0].t1, 1e-5); // hard: no quiet frame in 1..61
    EXPECT_NEAR(61.0, r.chapters[1].t1, 1e-5);
    EXPECT_NEAR(71.25, r.chapters[2].t1, 1e-5); // the middle of the pause
    EXPECT_NEAR(91.0, r.chapters[3].t1, 1e-5);
}

TEST(CutAtPause, PiecesOfSeveralChaptersStayInTimeOrder) {
    const std::vector<float> pcm =
        bursts(90.0, {{1.0, 20.0}, {20.3, 40.0}, {45.0, 60.0}, {60.3, 85.0}});
    const Report r = analyze(pcm, "{\"max_chapter_s\":30,\"cut_at_pause\":true,\"padding_s\":0}");
    ASSERT_EQ(4u, r.chapters.size()) << r.text;
    const double ends[] = {20.15, 40.0, 60.15, 85.0};
    for (size_t i = 0; i < 4; i++)
        EXPECT_NEAR(ends[i], r.chapters[i].t1, 1e-5) << i;
}

TEST(CutAtPause, HardPiecesWhoseLengthRoundsOverTheMaximumAreFinal) {
    // Far from 0 a start plus 0.7 s, less the start, rounds to more than
    // 0.7 s: such a piece must not be cut again at the same place.
    const Report r = analyze(silence(120.0), "{\"keep_all\":true,\"max_chapter_s\":0.7}");
    ASSERT_FALSE(r.text.empty()) << r.error;
    EXPECT_GE(r.chapters.size(), 171u);
    EXPECT_LE(r.chapters.size(), 173u);
    for (size_t i = 1; i < r.chapters.size(); i++)
        EXPECT_EQ(r.chapters[i - 1].t1, r.chapters[i].t0) << i;
    EXPECT_EQ(120.0, r.chapters.back().t1);
}

TEST(CutAtPause, WithoutAMaximumChangesNothing) {
    const std::vector<float> pcm = long_chapter();
    EXPECT_EQ(analyze(pcm, "{}").text, analyze(pcm, "{\"cut_at_pause\":true}").text);
}

// ---------------------------------------------------------------------------
// chapter_count
// ---------------------------------------------------------------------------

// Five stretches of sound between pauses of 2.0, 1.2, 3.0 and 1.2 s (the
// last one at -60 dB, the other 1.2 s one digital silence).
std::vector<float> five_parts() {
    std::vector<float> s =
        bursts(40.0, {{1.0, 7.0}, {9.0, 15.0}, {16.2, 22.0}, {25.0, 31.0}, {32.2, 38.0}});
    for (size_t i = 31 * (size_t)kRate + 2 * kHop; i < (size_t)(32.2 * kRate); i++)
        s[i] = 0.001f;
    return s;
}

struct CountCase {
    const char *name;
    int requested;
    std::vector<double> boundaries; // chapter ends but the last
};

void PrintTo(const CountCase &c, std::ostream *os) { *os << c.name; }

class ChapterCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(ChapterCount, TakesTheStrongestPauses) {
    const CountCase &c = GetParam();
    const std::string opts = "{\"padding_s\":0,\"chapter_count\":" + std::to_string(c.requested) + "}";
    const Report r = analyze(five_parts(), opts);
    ASSERT_FALSE(r.text.empty()) << r.error;
    const size_t found = c.boundaries.size() + 1;
    ASSERT_EQ(found, r.chapters.size()) << r.text;
    yyjson_val *cc = r.get("chapter_count");
    EXPECT_EQ(c.requested, yyjson_get_int(yyjson_obj_get(cc, "requested")));
    EXPECT_EQ((int)found, yyjson_get_int(yyjson_obj_get(cc, "found")));
    EXPECT_NEAR(1.0, r.chapters.front().t0, 1e-5);
    EXPECT_NEAR(38.0, r.chapters.back().t1, 1e-5);
    for (size_t i = 0; i < c.boundaries.size(); i++)
        EXPECT_NEAR(c.boundaries[i], r.chapters[i].t1, 1e-5) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Counts, ChapterCount,
    ::testing::Values(CountCase{"One", 1, {}}, CountCase{"TwoTakesTheLongest", 2, {22.0}},
                      CountCase{"ThreeTakesTheNextLongest", 3, {7.0, 22.0}},
                      CountCase{"FourTakesTheDeeperOfTwoEqual", 4, {7.0, 15.0, 22.0}},
                      CountCase{"FiveTakesAll", 5, {7.0, 15.0, 22.0, 31.0}},
                      CountCase{"MoreThanThereAreGivesAll", 9, {7.0, 15.0, 22.0, 31.0}}),
    [](const ::testing::TestParamInfo<CountCase> &i) { return std::string(i.param.name); });

TEST(ChapterCountPadding, StaysInsideTheHalfOfEachPause) {
    const Report r = analyze(five_parts(), "{\"padding_s\":1,\"chapter_count\":5}");
    ASSERT_EQ(5u, r.chapters.size());
    EXPECT_NEAR(0.0, r.chapters[0].t0, 1e-5);
    EXPECT_NEAR(8.0, r.chapters[0].t1, 1e-5);  // a 2 s pause: 1 s each side
    EXPECT_NEAR(8.0, r.chapters[1].t0, 1e-5);
    EXPECT_NEAR(15.6, r.chapters[1].t1, 1e-5); // a 1.2 s pause: its middle
    EXPECT_NEAR(23.0, r.chapters[2].t1, 1e-5);
    EXPECT_NEAR(39.0, r.chapters[4].t1, 1e-5);
}

// ---------------------------------------------------------------------------
// keep_all
// ---------------------------------------------------------------------------

struct KeepCase {
    const char *name;
    std::vector<float> pcm;
    const char *opts;
    std::vector<double> ends; // every chapter's end; the last is the duration
};

void PrintTo(const KeepCase &c, std::ostream *os) { *os << c.name; }

class KeepAll : public ::testing::TestWithParam<KeepCase> {};

TEST_P(KeepAll, CoversTheWholeRecordingWithBoundariesInPauses) {
    const KeepCase &c = GetParam();
    const Report r = analyze(c.pcm, c.opts);
    ASSERT_FALSE(r.text.empty()) << r.error;
    ASSERT_EQ(c.ends.size(), r.chapters.size()) << r.text;
    EXPECT_EQ(0.0, r.chapters.front().t0);
    EXPECT_EQ(r.num("duration_s"), r.chapters.back().t1);
    for (size_t i = 0; i < c.ends.size(); i++) {
        EXPECT_NEAR(c.ends[i], r.chapters[i].t1, 1e-5) << i;
        if (i > 0) {
            EXPECT_EQ(r.chapters[i - 1].t1, r.chapters[i].t0) << i;
        }
    }
}

// Two stretches of 2.6 s beside a chapter: dropped today.
std::vector<float> short_beside_long() {
    return bursts(30.0, {{1.0, 3.6}, {5.0, 15.0}, {17.0, 19.6}, {25.0, 28.0}});
}

INSTANTIATE_TEST_SUITE_P(
    Signals, KeepAll,
    ::testing::Values(
        KeepCase{"ShortStretchesJoinANeighbour", short_beside_long(), "{\"keep_all\":true}",
                 {30.0}},
        KeepCase{"ShortStretchesJoinTheNearerNeighbour", short_beside_long(),
                 "{\"keep_all\":true,\"min_chapter_s\":2.8}", {22.3, 30.0}},
        KeepCase{"NothingShortIsLeft", short_beside_long(),
                 "{\"keep_all\":true,\"min_chapter_s\":2}", {4.3, 16.0, 22.3, 30.0}},
        KeepCase{"SilenceIsOneChapter", silence(10.0), "{\"keep_all\":true}", {10.0}},
        KeepCase{"HardPiecesStillCover", short_beside_long(),
                 "{\"keep_all\":true,\"max_chapter_s\":10}", {10.0, 20.0, 30.0}},
        KeepCase{"PiecesCutAtPauses", short_beside_long(),
                 "{\"keep_all\":true,\"max_chapter_s\":10,\"cut_at_pause\":true}",
                 {4.3, 14.3, 16.0, 22.3, 30.0}},
        KeepCase{"WithAChapterCount", short_beside_long(),
                 "{\"keep_all\":true,\"chapter_count\":2}", {22.3, 30.0}}),
    [](const ::testing::TestParamInfo<KeepCase> &i) { return std::string(i.param.name); });

TEST(KeepAllDefault, TodayDropsTheShortStretches) {
    const Report r = analyze(short_beside_long(), "{}");
    ASSERT_EQ(1u, r.chapters.size());
    EXPECT_NEAR(4.75, r.chapters[0].t0, 1e-5);
    EXPECT_GT(r.num("silences_removed_s"), 19.0);
    EXPECT_EQ(0.0, analyze(short_beside_long(), "{\"keep_all\":true}").num("silences_removed_s"));
}

} // namespace
