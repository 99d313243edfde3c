// The list keys of the options text: chapters used as they are, hints moved
// onto pauses (offset and drift), titles; their checks, the report members
// they add and the export that follows a chapter list to the sample.
#include "engine.h"
#include "silence_scan.h"
#include "wav_builder.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace wavtest;

// ---------------------------------------------------------------------------
// The checks of the options text
// ---------------------------------------------------------------------------

struct KeysCase {
    const char *text;
    const char *error; // nullptr: accepted
};

std::ostream &operator<<(std::ostream &os, const KeysCase &c) { return os << c.text; }

class ListKeys : public ::testing::TestWithParam<KeysCase> {};

TEST_P(ListKeys, AcceptedOrRefusedNamingTheEntry) {
    const KeysCase &c = GetParam();
    sil_opts o;
    sil_chapter_keys keys;
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> guard(&keys);
    const int rc = sil_parse_opts(c.text, &o, &keys);
    sil_opts plain;
    // The form without the record checks the same way.
    EXPECT_EQ(sil_parse_opts(c.text, &plain), rc);
    if (!c.error) {
        EXPECT_EQ(rc, 0) << sil_get_error();
        return;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(sil_get_error(), c.error);
    EXPECT_EQ(sil_error_code(), SIL_ERR_ARGS);
    EXPECT_FALSE(sil_chapter_keys_any(&keys)); // nothing kept after a failure
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListKeys,
    ::testing::Values(
        KeysCase{R"({"chapters":[{"t0":0},{"t0":12.5,"t1":30,"title":"Two"},{"t0":30}]})",
                 nullptr},
        // A report's own chapters, members and all.
        KeysCase{R"({"chapters":[{"i":1,"t0":0.5,"t1":4.0,"dur":3.5,"peak_db":-3.0}]})", nullptr},
        KeysCase{R"({"chapters":[{"t0":1,"title":null}],"titles":["A",null]})", nullptr},
        KeysCase{R"({"hints":[0,{"t":61.5,"title":"Two"},120],"hint_window_s":10})", nullptr},
        KeysCase{R"({"hints":[5],"auto":true,"speech":true,"keep_all":true})", nullptr},
        KeysCase{R"({"titles":["One","Two"],"chapter_count":2})", nullptr},
        KeysCase{R"({"chapters":{"t0":1}})", "chapters must be a list of 1 to 10000 entries"},
        KeysCase{R"({"chapters":[]})", "chapters must be a list of 1 to 10000 entries"},
        KeysCase{R"({"chapters":[5]})", "chapters[0]: must be an object with t0 (and t1, title)"},
        KeysCase{R"({"chapters":[{"t1":5}]})", "chapters[0]: t0 must be a number of seconds"},
        KeysCase{R"({"chapters":[{"t0":"1"}]})", "chapters[0]: t0 must be a number of seconds"},
        KeysCase{R"({"chapters":[{"t0":-0.5}]})", "chapters[0]: t0 is negative"},
        KeysCase{R"({"chapters":[{"t0":1e300}]})", "chapters[0]: t0 is out of range"},
        KeysCase{R"({"chapters":[{"t0":0},{"t0":4,"t1":4}]})", "chapters[1]: t1 is not after t0"},
        KeysCase{R"({"chapters":[{"t0":0},{"t0":9},{"t0":8}]})",
                 "chapters[2]: starts before the chapter above it"},
        KeysCase{R"({"chapters":[{"t0":3},{"t0":3}]})",
                 "chapters[1]: starts before the chapter above it"},
        KeysCase{R"({"chapters":[{"t0":0,"t1":10},{"t0":9.5}]})",
                 "chapters[1]: starts before the chapter above it ends"},
        // Times apart in the text but one in single precision: the step named.
        KeysCase{R"({"chapters":[{"t0":1000000.0},{"t0":1000000.01}]})",
                 "chapters[1]: starts with the chapter above it once held in single precision "
                 "(times are kept to 0.0625 s near 1000000 s)"},
        KeysCase{R"({"chapters":[{"t0":1,"t1":1.00000001}]})",
                 "chapters[0]: t1 is not after t0 once held in single precision (times are kept "
                 "to 1.19e-07 s near 1 s)"},
        KeysCase{R"({"hints":[1000000.0,{"t":1000000.01}]})",
                 "hints[1]: is not after the hint before it once held in single precision (times "
                 "are kept to 0.0625 s near 1000000 s)"},
        KeysCase{R"({"hints":[1],"hint_window_s":1e300})",
                 "hint_window_s is out of range (at most 3.4e38 s; a window as long as the "
                 "recording reaches every pause)"},
        KeysCase{R"({"chapters":[{"t0":0,"title":7}]})", "chapters[0]: title must be a text"},
        KeysCase{R"({"hints":[0,"1:00"]})",
                 "hints[1]: must be a number of seconds or an object with t"},
        KeysCase{R"({"hints":[{"t0":3}]})", "hints[0]: t must be a number of seconds"},
        KeysCase{R"({"hints":[-1]})", "hints[0]: the time is negative"},
        KeysCase{R"({"hints":[0,60,59]})", "hints[2]: is not after the hint before it"},
        KeysCase{R"({"hints":[{"t":3,"title":["x"]}]})", "hints[0]: title must be a text"},
        KeysCase{R"({"hints":[1],"hint_window_s":0})",
                 "hint_window_s must be a number of seconds above 0"},
        KeysCase{R"({"hints":[1],"hint_window_s":"30"})",
                 "hint_window_s must be a number of seconds above 0"},
        KeysCase{R"({"titles":["a",2]})", "titles[1]: must be a text"},
        KeysCase{R"({"titles":"a"})", "titles must be a list of 1 to 10000 entries"},
        KeysCase{R"({"chapters":[{"t0":0}],"hints":[0]})",
                 "chapters and hints cannot be given together"},
        KeysCase{R"({"chapters":[{"t0":0}],"chapter_count":3})",
                 "chapter_count cannot be given with chapters"},
        KeysCase{R"({"hints":[0],"chapter_count":3})",
                 "chapter_count cannot be given with hints"}));

TEST(ListKeys, ValuesKept) {
    sil_opts o;
    sil_chapter_keys keys;
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> guard(&keys);
    ASSERT_EQ(sil_parse_opts(R"({"hints":[0,{"t":61.5,"title":"Two"}],"titles":[null,"B"]})", &o,
                             &keys),
              0);
    ASSERT_EQ(keys.n_hints, 2);
    EXPECT_EQ(keys.hints[1].t0, 61.5f);
    EXPECT_STREQ(keys.hints[1].title, "Two");
    EXPECT_EQ(keys.hints[0].title, nullptr);
    EXPECT_EQ(keys.hint_window_s, SIL_HINT_WINDOW_S);
    // The titles key wins where it names a chapter.
    EXPECT_EQ(sil_chapter_title(&keys, 0), nullptr);
    EXPECT_STREQ(sil_chapter_title(&keys, 1), "B");
    sil_chapter_keys copy;
    ASSERT_EQ(sil_chapter_keys_copy(&keys, &copy), 0);
    EXPECT_STREQ(copy.hints[1].title, "Two");
    EXPECT_NE(copy.hints[1].title, keys.hints[1].title);
    sil_chapter_keys_free(&copy);
}

// ---------------------------------------------------------------------------
// Hints moved onto pauses
// ---------------------------------------------------------------------------

sil_pause pause_at(double t0, double t1) {
    sil_pause p{};
    p.first = (int32_t)std::lround(t0 * 100.0);
    p.end = (int32_t)std::lround(t1 * 100.0);
    p.level_db = -70.0f;
    p.depth_tenths = 300;
    p.cut_t = sil_pause_middle(p.first, p.end);
    p.speech_p = -1.0f;
    return p;
}

// A book of chapters of 70 to 110 s: sentence pauses of 0.4 s every 4 s,
// chapter pauses of 2.5 s, and a dramatic pause of 3.6 s 20 s into every
// other chapter. The chapter pauses' indices go to real.
std::vector<sil_pause> book(int chapters, std::vector<int> *real) {
    std::vector<sil_pause> p;
    double t = 1.0;
    for (int c = 0; c < chapters; c++) {
        const double len = 70.0 + 40.0 * ((c * 7) % 5) / 4.0;
        const double end = t + len;
        for (double s = t + 4.0; s < end - 2.0; s += 4.0) {
            if (c % 2 == 1 && std::fabs(s - (t + 20.0)) < 2.0)
                p.push_back(pause_at(s, s + 3.6));
            else
                p.push_back(pause_at(s, s + 0.4));
        }
        if (c + 1 < chapters) {
            real->push_back((int)p.size());
            p.push_back(pause_at(end, end + 2.5));
        }
        t = end + 2.5;
    }
    return p;
}

struct SnapCase {
    const char *name;
    double offset;  // seconds the other edition's marks run ahead
    double ratio;   // its speed
    double jitter;  // each mark off by up to this, alternating in sign
    bool first_at_zero;
};

std::ostream &operator<<(std::ostream &os, const SnapCase &c) { return os << c.name; }

class Snapping : public ::testing::TestWithParam<SnapCase> {};

TEST_P(Snapping, EveryHintOnItsChapterPause) {
    const SnapCase &c = GetParam();
    std::vector<int> real;
    const std::vector<sil_pause> p = book(14, &real);
    std::vector<sil_mark> hints;
    if (c.first_at_zero)
        hints.push_back(sil_mark{0.0f, -1.0f, nullptr});
    for (size_t k = 0; k < real.size(); k++) {
        const double jit = c.jitter * ((k % 3 == 0) ? 1.0 : (k % 3 == 1) ? -0.6 : 0.2);
        hints.push_back(
            sil_mark{(float)((p[real[k]].cut_t + c.offset) * c.ratio + jit), -1.0f, nullptr});
    }
    std::vector<sil_snap> out(hints.size());
    sil_snap_hints(p.data(), (int32_t)p.size(), hints.data(), (int32_t)hints.size(), 30.0f,
                   2000.0f, out.data());
    const size_t first = c.first_at_zero ? 1 : 0;
    if (c.first_at_zero) {
        EXPECT_EQ(out[0].kind, SIL_SNAP_START);
        EXPECT_EQ(out[0].cut, 0.0f);
    }
    for (size_t k = 0; k < real.size(); k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(out[first + k].pause, real[k]);
        EXPECT_EQ(out[first + k].cut, p[real[k]].cut_t);
        EXPECT_EQ(out[first + k].kind, SIL_SNAP_PAUSE);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Snapping,
    ::testing::Values(SnapCase{"exact", 0.0, 1.0, 0.0, true},
                      SnapCase{"marks_off", 0.0, 1.0, 3.0, true},
                      SnapCase{"later_lead_in", 7.0, 1.0, 3.0, true},
                      SnapCase{"earlier_lead_in", -6.0, 1.0, 3.0, true},
                      SnapCase{"faster", 5.0, 1.003, 3.0, true},
                      SnapCase{"slower", -5.0, 0.997, 3.0, true},
                      SnapCase{"slower_no_start_hint", 4.0, 0.997, 2.0, false}),
    [](const ::testing::TestParamInfo<SnapCase> &i) { return std::string(i.param.name); });

TEST(Snapping, NoPauseInTheWindowStaysWhereTheDriftPutsIt) {
    // Pauses at 100, 200 and 400 s; the marks run 5 s ahead and the third
    // one (300 + 5) has no pause within 10 s.
    const std::vector<sil_pause> p = {pause_at(99.0, 101.0), pause_at(199.0, 201.0),
                                      pause_at(399.0, 401.0)};
    const std::vector<sil_mark> hints = {{0.0f, -1.0f, nullptr},
                                         {105.0f, -1.0f, nullptr},
                                         {205.0f, -1.0f, nullptr},
                                         {305.0f, -1.0f, nullptr},
                                         {405.0f, -1.0f, nullptr}};
    std::vector<sil_snap> out(hints.size());
    sil_snap_hints(p.data(), 3, hints.data(), 5, 10.0f, 500.0f, out.data());
    EXPECT_EQ(out[1].cut, 100.0f);
    EXPECT_EQ(out[2].cut, 200.0f);
    EXPECT_EQ(out[3].kind, SIL_SNAP_NONE);
    EXPECT_EQ(out[3].pause, -1);
    EXPECT_NEAR(out[3].cut, 300.0f, 0.01f);
    EXPECT_EQ(out[4].cut, 400.0f);
    EXPECT_EQ(out[4].kind, SIL_SNAP_PAUSE);
}

TEST(Snapping, AChapterPauseJustOutsideTheWindowIsTakenAsWeak) {
    // As above, with the third chapter pause at 313-315 s, 14 s from where
    // the drift expects it (300) and outside the 10 s window, and a
    // sentence pause of 0.5 s at 307 s: the hint takes the chapter pause,
    // marked weak, which neither moves the drift nor the hints after it.
    const std::vector<sil_pause> p = {pause_at(99.0, 101.0), pause_at(199.0, 201.0),
                                      pause_at(290.0, 290.5), pause_at(313.0, 315.0),
                                      pause_at(399.0, 401.0)};
    const std::vector<sil_mark> hints = {{0.0f, -1.0f, nullptr},
                                         {105.0f, -1.0f, nullptr},
                                         {205.0f, -1.0f, nullptr},
                                         {305.0f, -1.0f, nullptr},
                                         {405.0f, -1.0f, nullptr}};
    std::vector<sil_snap> out(hints.size());
    sil_snap_hints(p.data(), (int32_t)p.size(), hints.data(), 5, 10.0f, 500.0f, out.data());
    EXPECT_EQ(out[3].kind, SIL_SNAP_WEAK);
    EXPECT_EQ(out[3].pause, 3);
    EXPECT_EQ(out[3].cut, 314.0f);
    EXPECT_EQ(out[4].cut, 400.0f);
    EXPECT_EQ(out[4].kind, SIL_SNAP_PAUSE);
}

TEST(CutAtPause, NoPieceUnderASecondAtAChaptersEdge) {
    // A chapter of 35 s (the maximum 30) whose longest pause is the one that
    // ends the chapter before (its cut 0.3 s in), and a pause of 0.15 s in
    // the middle: the cut goes into the middle one, not 0.3 s from the start.
    const sil_chapter c{0.0f, 35.0f, -20.0f};
    const std::vector<sil_pause> quiet = {pause_at(0.05, 0.55), pause_at(17.0, 17.15)};
    sil_heap_ptr<sil_chapter> pieces;
    size_t n = 0;
    ASSERT_EQ(sil_cut_long(&c, 1, 30.0f, quiet.data(), (int32_t)quiet.size(), pieces, n), 0);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(pieces.get()[0].t1, quiet[1].cut_t);
    EXPECT_EQ(pieces.get()[1].t0, quiet[1].cut_t);
    // With a maximum of 1.5 s, pieces of at least 0.75 s.
    const sil_chapter short_one{0.0f, 2.0f, -20.0f};
    const std::vector<sil_pause> near_edge = {pause_at(0.2, 0.6), pause_at(1.0, 1.2)};
    ASSERT_EQ(sil_cut_long(&short_one, 1, 1.5f, near_edge.data(), 2, pieces, n), 0);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(pieces.get()[0].t1, near_edge[1].cut_t);
}

// ---------------------------------------------------------------------------
// Through the library: reports, titles, the export
// ---------------------------------------------------------------------------

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

Doc parse(const std::string &text) {
    return Doc(yyjson_read(text.c_str(), text.size(), 0));
}

yyjson_val *chapters_of(const Doc &d) {
    return yyjson_obj_get(yyjson_doc_get_root(d.get()), "chapters");
}

// Three passages of 6 s at 44.1 kHz, each followed by 2 s of silence, each sample a
// value of its own (so a chapter file shows where it was cut).
std::vector<int16_t> passages44k() {
    std::vector<int16_t> v;
    for (int part = 0; part < 3; part++) {
        for (int i = 0; i < 6 * 44100; i++)
            v.push_back((int16_t)(1000 + (i * 37 + part * 5000) % 20000));
        v.insert(v.end(), 2 * 44100, 0);
    }
    return v;
}

TEST(ChapterList, ExportFollowsItToTheSampleAndTheReportRoundTrips) {
    TempDir dir;
    const std::vector<int16_t> pcm = passages44k();
    const std::string wav = dir.file("in.wav", wav16(44100, 1, pcm));
    // Odd times, an open end in the middle, an end past the recording.
    const std::string opts = R"({"chapters":[{"t0":0.123457,"t1":2.7182818,"title":"É un"},)"
                             R"({"t0":3.3333333},{"t0":7.00001,"t1":11.5},)"
                             R"({"t0":12.25,"t1":99}]})";
    const std::string out = dir / "out";
    ASSERT_EQ(silsplit_write_chapters(wav.c_str(), opts.c_str(), out.c_str()), 4)
        << silsplit_last_error();
    const std::string report = read_text(out + "/chapters.json");
    EXPECT_EQ(take(silsplit_analyze(wav.c_str(), opts.c_str())), report);
    Doc d = parse(report);
    yyjson_val *ch = chapters_of(d);
    ASSERT_EQ(yyjson_arr_size(ch), 4u);
    const float want_t0[] = {0.123457f, 3.3333333f, 7.00001f, 12.25f};
    const float want_t1[] = {2.7182818f, 7.00001f, 11.5f, 24.0f};
    const char *want_title[] = {"\xc3\x89 un", "", "", ""};
    const int64_t frames = (int64_t)pcm.size();
    sil_chapter given[4];
    for (size_t k = 0; k < 4; k++)
        given[k] = sil_chapter{want_t0[k], want_t1[k], 0.0f};
    int64_t starts[4], ends[4];
    sil_chapter_frame_ranges(given, 4, 44100, frames, starts, ends);
    for (size_t k = 0; k < 4; k++) {
        SCOPED_TRACE(k);
        yyjson_val *c = yyjson_arr_get(ch, k);
        EXPECT_EQ(yyjson_get_num(yyjson_obj_get(c, "t0")), (double)want_t0[k]);
        EXPECT_EQ(yyjson_get_num(yyjson_obj_get(c, "t1")), (double)want_t1[k]);
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(c, "title")), want_title[k]);
        EXPECT_EQ(yyjson_obj_get(c, "snap"), nullptr);
        const int64_t start = starts[k], end = ends[k];
        char name[32];
        snprintf(name, sizeof name, "/ch_%03d.wav", (int)k + 1);
        const Bytes b = read_file(out + name);
        ASSERT_EQ((int64_t)b.size(), 44 + 2 * (end - start));
        // The first and last samples are those of the recording there.
        EXPECT_NEAR((int16_t)get16(b, 44), pcm[(size_t)start], 1);
        EXPECT_NEAR((int16_t)get16(b, b.size() - 2), pcm[(size_t)end - 1], 1);
    }

    // The report's chapters, applied as they are, give the same report.
    yyjson_mut_doc *m = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(m);
    yyjson_mut_doc_set_root(m, root);
    yyjson_mut_obj_add_val(m, root, "chapters", yyjson_val_mut_copy(m, ch));
    char *again_opts = yyjson_mut_write(m, 0, nullptr);
    yyjson_mut_doc_free(m);
    const std::string again = take(silsplit_analyze(wav.c_str(), again_opts));
    free(again_opts);
    EXPECT_EQ(again, report);
}

TEST(ChapterList, StartAtOrAfterTheEndIsAnError) {
    std::vector<float> x(16000, 0.25f);
    EXPECT_EQ(take(silsplit_analyze_pcm(x.data(), (int)x.size(),
                                        R"({"chapters":[{"t0":0},{"t0":1.0}]})")),
              "<null>");
    EXPECT_STREQ(silsplit_last_error(),
                 "chapters[1]: t0 is not before the end of the recording (1.000 s)");
    EXPECT_EQ(take(silsplit_analyze_pcm(nullptr, 0, R"({"chapters":[{"t0":0}]})")), "<null>");
    EXPECT_STREQ(silsplit_last_error(),
                 "chapters[0]: t0 is not before the end of the recording (0.000 s)");
}

// Sound with pauses of 2 s at 10, 22 and 34 s (1 s of quiet at each end).
std::vector<float> three_pauses() {
    std::vector<float> x;
    auto sound = [&](double s) {
        for (int i = 0; i < (int)(s * 16000); i++)
            x.push_back(0.3f * (float)std::sin(i * 0.05));
    };
    auto quiet = [&](double s) { x.insert(x.end(), (size_t)(s * 16000), 0.0f); };
    quiet(1.0);
    for (int k = 0; k < 4; k++) {
        sound(k == 0 ? 9.0 : 10.0);
        quiet(k < 3 ? 2.0 : 1.0);
    }
    return x;
}

TEST(Hints, ReportMembersAndTitles) {
    const std::vector<float> x = three_pauses();
    const char *opts = R"({"hints":[0,{"t":25.5,"title":"Two"},33],"titles":["One"],)"
                       R"("keep_all":true})";
    Doc d = parse(take(silsplit_analyze_pcm(x.data(), (int)x.size(), opts)));
    ASSERT_TRUE(d) << silsplit_last_error();
    yyjson_val *ch = chapters_of(d);
    ASSERT_EQ(yyjson_arr_size(ch), 3u);
    // 25.5 finds the pause at 22-24 (its middle, 23), 33 the one at 34-36.
    const double t0[] = {0.0, 23.0, 35.0};
    const double hint[] = {0.0, 25.5, 33.0};
    const char *snap[] = {"start", "pause", "pause"};
    const char *title[] = {"One", "Two", ""};
    for (size_t k = 0; k < 3; k++) {
        SCOPED_TRACE(k);
        yyjson_val *c = yyjson_arr_get(ch, k);
        EXPECT_NEAR(yyjson_get_num(yyjson_obj_get(c, "t0")), t0[k], 0.011);
        EXPECT_EQ(yyjson_get_num(yyjson_obj_get(c, "hint")), hint[k]);
        EXPECT_NEAR(yyjson_get_num(yyjson_obj_get(c, "shift")), t0[k] - hint[k], 0.011);
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(c, "snap")), snap[k]);
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(c, "title")), title[k]);
    }
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(yyjson_arr_get(ch, 2), "t1")), 47.0);

    // Without keep_all the chapters leave the pauses out, padded into them.
    Doc plain = parse(take(silsplit_analyze_pcm(x.data(), (int)x.size(), R"({"hints":[0,25,33]})")));
    ch = chapters_of(plain);
    ASSERT_EQ(yyjson_arr_size(ch), 3u);
    EXPECT_NEAR(yyjson_get_num(yyjson_obj_get(yyjson_arr_get(ch, 0), "t0")), 0.75, 0.011);
    EXPECT_NEAR(yyjson_get_num(yyjson_obj_get(yyjson_arr_get(ch, 0), "t1")), 22.25, 0.011);
    EXPECT_NEAR(yyjson_get_num(yyjson_obj_get(yyjson_arr_get(ch, 1), "t0")), 23.75, 0.011);
    EXPECT_EQ(yyjson_obj_get(yyjson_arr_get(ch, 0), "title"), nullptr);

    // A window too narrow for any pause: the hints stay, flagged.
    Doc narrow = parse(take(silsplit_analyze_pcm(x.data(), (int)x.size(),
                                                 R"({"hints":[0,27],"hint_window_s":1})")));
    yyjson_val *second = yyjson_arr_get(chapters_of(narrow), 1);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(second, "snap")), "none");
    EXPECT_EQ(yyjson_get_num(yyjson_obj_get(second, "t0")), 27.0);
}

TEST(Titles, NameDetectedChaptersAndReachTheAnalysis) {
    TempDir dir;
    const std::string wav = dir.file("in.wav", wav16(44100, 1, passages44k()));
    const std::string no_titles = take(silsplit_analyze(wav.c_str(), nullptr));
    const std::string titled =
        take(silsplit_analyze(wav.c_str(), R"({"titles":["Ouverture",null]})"));
    Doc d = parse(titled);
    yyjson_val *ch = chapters_of(d);
    ASSERT_EQ(yyjson_arr_size(ch), 3u);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_arr_get(ch, 0), "title")), "Ouverture");
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_arr_get(ch, 2), "title")), "");
    // Without the members the report is the one without titles.
    std::string stripped = titled;
    for (const char *m : {",\"title\":\"Ouverture\"", ",\"title\":\"\"", ",\"title\":\"\""})
        stripped.erase(stripped.find(m), strlen(m));
    EXPECT_EQ(stripped, no_titles);

    sil_opts o;
    sil_chapter_keys keys;
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> guard(&keys);
    ASSERT_EQ(sil_parse_opts(R"({"titles":["Ouverture",null,"Trois","Quatre"]})", &o, &keys), 0);
    sil_analysis a;
    ASSERT_EQ(sil_analyze_wav(wav.c_str(), &o, nullptr, &a, &keys), 0);
    std::unique_ptr<sil_analysis, sil_analysis_releaser> a_guard(&a);
    ASSERT_EQ(a.count, 3);
    ASSERT_NE(a.titles, nullptr);
    EXPECT_STREQ(a.titles[0], "Ouverture");
    EXPECT_EQ(a.titles[1], nullptr);
    EXPECT_STREQ(a.titles[2], "Trois");

    sil_analysis plain;
    ASSERT_EQ(sil_analyze_wav(wav.c_str(), &o, nullptr, &plain), 0);
    EXPECT_EQ(plain.titles, nullptr);
    EXPECT_EQ(std::string(plain.report), no_titles);
    sil_analysis_free(&plain);
}

} // namespace
