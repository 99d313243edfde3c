// The live analysis: on the same input, the chapters it hands out while the
// frames come, followed by those it decides at the end, are the offline
// analysis's chapters exactly (times, peaks, frame ranges and the report
// text, the sound left out), for any split of the input into blocks; and each chapter comes as
// soon as its boundary is certain, not at the end.
#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// A recording of stretches: seconds of noise at amp (0: near silence).
struct Stretch {
    double s;
    float amp;
};

std::vector<float> recording(const std::vector<Stretch> &parts, int rate, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v;
    for (const Stretch &p : parts) {
        const size_t n = (size_t)std::llround(p.s * rate);
        for (size_t i = 0; i < n; i++)
            v.push_back((p.amp > 0.0f ? p.amp : 0.0003f) * u(g));
    }
    return v;
}

// Talk: sentences of 1.5 to 9 s between pauses of 0.2 to 2.5 s, and one
// long stretch without a pause.
std::vector<Stretch> talk(uint32_t seed, double seconds) {
    std::mt19937 g(seed);
    std::vector<Stretch> parts{{0.4, 0.0f}};
    double t = 0.4;
    bool long_one = false;
    while (t < seconds) {
        double s = 1.5 + (g() % 750) / 100.0;
        if (!long_one && t > seconds / 3) {
            s = 23.0;
            long_one = true;
        }
        const float amp = 0.05f + (g() % 30) / 100.0f;
        parts.push_back({s, amp});
        const double pause = 0.2 + (g() % 230) / 100.0;
        parts.push_back({pause, 0.0f});
        t += s + pause;
    }
    return parts;
}

struct Offline {
    int status = 0;
    float left_s = 0.0f; // the sound left out
    int32_t left_n = 0;
    std::string error;
    std::string report;
    std::vector<sil_live_chapter> chapters;
};

Offline offline(const std::vector<float> &x, int rate, const std::string &opts_text) {
    Offline r;
    sil_opts opts;
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    EXPECT_EQ(sil_parse_opts(opts_text.c_str(), &opts, &keys), 0);
    sil_pipeline_ptr p(sil_pipeline_new(rate, (int64_t)x.size(), &opts, nullptr, &keys));
    sil_analysis a;
    if (!p || sil_pipeline_push(p.get(), x.data(), x.size()) != 0 ||
        sil_pipeline_finish(p.get(), &a) != 0) {
        r.status = -1;
        r.error = sil_get_error();
        sil_chapter_keys_free(&keys);
        return r;
    }
    r.report = a.report;
    r.left_s = a.left_out_s;
    r.left_n = a.left_out_n;
    std::vector<int64_t> start(a.count + 1), end(a.count + 1);
    sil_chapter_frame_ranges(a.chapters, a.count, rate, (int64_t)x.size(), start.data(),
                             end.data());
    for (int i = 0; i < a.count; i++)
        r.chapters.push_back(sil_live_chapter{a.chapters[i], start[i], end[i]});
    sil_analysis_free(&a);
    sil_chapter_keys_free(&keys);
    return r;
}

struct Live {
    int status = 0;
    float left_s = 0.0f;
    int32_t left_n = 0;
    std::string error;
    std::string report;
    std::vector<sil_live_chapter> chapters;
    std::vector<int64_t> handed_at; // frames pushed when each chapter came; -1: at the end
    std::vector<int64_t> keep_from; // sil_live_keep_from after each push
    std::vector<int64_t> pushed;    // the frames pushed by then
};

Live live(const std::vector<float> &x, int rate, const std::string &opts_text, uint32_t seed,
          size_t max_block) {
    Live r;
    sil_opts opts;
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    EXPECT_EQ(sil_parse_opts(opts_text.c_str(), &opts, &keys), 0);
    sil_live_ptr l(sil_live_new(rate, &opts, &keys));
    sil_chapter_keys_free(&keys);
    EXPECT_TRUE(l);
    std::mt19937 g(seed);
    size_t done = 0;
    int32_t seen = 0;
    bool ok = true;
    while (ok && done < x.size()) {
        const size_t n = std::min(x.size() - done, (size_t)(1 + g() % max_block));
        ok = sil_live_push(l.get(), x.data() + done, n) == 0;
        done += n;
        int32_t count = 0;
        const sil_live_chapter *c = sil_live_chapters(l.get(), &count);
        // Handed-out chapters never move (a piece's peak may still rise).
        for (int32_t i = 0; i < seen && i < count; i++) {
            EXPECT_EQ(c[i].c.t0, r.chapters[i].c.t0);
            EXPECT_EQ(c[i].c.t1, r.chapters[i].c.t1);
            EXPECT_EQ(c[i].start, r.chapters[i].start);
            EXPECT_EQ(c[i].end, r.chapters[i].end);
        }
        for (; seen < count; seen++) {
            r.chapters.push_back(c[seen]);
            r.handed_at.push_back((int64_t)done);
        }
        r.keep_from.push_back(sil_live_keep_from(l.get()));
        r.pushed.push_back((int64_t)done);
    }
    if (ok)
        ok = sil_live_finish(l.get()) == 0;
    if (!ok) {
        r.status = -1;
        r.error = sil_get_error();
        return r;
    }
    int32_t count = 0;
    const sil_live_chapter *c = sil_live_chapters(l.get(), &count);
    r.chapters.assign(c, c + count);
    r.handed_at.resize((size_t)count, -1);
    char *report = sil_live_report(l.get());
    EXPECT_TRUE(report);
    r.report = report ? report : "";
    free(report);
    sil_live_left_out(l.get(), &r.left_s, &r.left_n);
    return r;
}

// The options of a text (the list keys are dropped).
sil_opts parse(const char *text) {
    sil_opts o;
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    EXPECT_EQ(sil_parse_opts(text, &o, &keys), 0);
    sil_chapter_keys_free(&keys);
    return o;
}

struct Case {
    const char *name;
    const char *opts;
    bool early; // chapters come before the end
};

const Case kCases[] = {
    {"defaults", "{}", true},
    {"short pauses, short chapters", R"({"min_silence_s":0.3,"min_chapter_s":1})", true},
    {"no padding", R"({"padding_s":0})", true},
    {"padding that merges", R"({"padding_s":1.2,"min_silence_s":0.5})", true},
    {"negative padding", R"({"padding_s":-0.3,"min_chapter_s":0.5})", true},
    {"every sound", R"({"min_chapter_s":0,"min_silence_s":0.25})", true},
    {"nothing long enough", R"({"min_chapter_s":400})", false},
    {"max chapter", R"({"max_chapter_s":3})", true},
    {"max chapter, padding", R"({"max_chapter_s":2.5,"padding_s":0.4,"min_silence_s":0.3})", true},
    {"max chapter 30 s", R"({"max_chapter_s":30,"min_chapter_s":1})", true},
    {"threshold", R"({"threshold_db":-20})", true},
    // Decided at the end: the same chapters, all at the end.
    {"keep_all", R"({"keep_all":true})", false},
    {"chapter_count", R"({"chapter_count":3})", false},
    {"cut_at_pause", R"({"max_chapter_s":4,"cut_at_pause":true})", false},
    {"auto_threshold", R"({"auto_threshold":true})", false},
    {"report_pauses", R"({"report_pauses":true})", false},
    {"titles", R"({"titles":["One","Two"]})", false},
};

void expect_same(const Offline &off, const Live &lv, const std::string &what) {
    ASSERT_EQ(off.status, lv.status) << what << ": " << off.error << " / " << lv.error;
    EXPECT_EQ(off.error, lv.error) << what;
    EXPECT_EQ(off.report, lv.report) << what;
    if (off.status != 0)
        return; // the chapters handed out before the failure stay handed out
    EXPECT_EQ(off.left_s, lv.left_s) << what;
    EXPECT_EQ(off.left_n, lv.left_n) << what;
    ASSERT_EQ(off.chapters.size(), lv.chapters.size()) << what;
    for (size_t i = 0; i < off.chapters.size(); i++) {
        EXPECT_EQ(memcmp(&off.chapters[i].c, &lv.chapters[i].c, sizeof(sil_chapter)), 0)
            << what << " chapter " << i;
        EXPECT_EQ(off.chapters[i].start, lv.chapters[i].start) << what << " chapter " << i;
        EXPECT_EQ(off.chapters[i].end, lv.chapters[i].end) << what << " chapter " << i;
    }
}

TEST(Live, SameChaptersAsOfflineForAnyBlocks) {
    const int rates[] = {16000, 44100, 48000, 8000};
    for (const Case &c : kCases) {
        for (int k = 0; k < 4; k++) {
            const int rate = rates[k];
            const std::vector<float> x = recording(talk(7 + k, 80.0), rate, 11 + k);
            const Offline off = offline(x, rate, c.opts);
            const std::string what = std::string(c.name) + " at " + std::to_string(rate);
            for (uint32_t seed = 1; seed <= 2; seed++) {
                const Live lv = live(x, rate, c.opts, seed, seed == 1 ? 70000 : rate / 50);
                expect_same(off, lv, what);
                if (::testing::Test::HasFailure())
                    return;
                size_t early = 0;
                for (int64_t at : lv.handed_at)
                    early += at >= 0;
                if (c.early)
                    EXPECT_GE(early + 1, lv.chapters.size()) << what;
                else
                    EXPECT_EQ(early, 0u) << what;
            }
        }
    }
}

// A chapter comes once the pause after it is min_silence_s long and its
// padding heard (the time a later sound would have to start to merge with
// it); a piece of max_chapter_s once the audio reaches its end and its sound
// is sure to be a chapter (min_chapter_s long): within 50 ms of audio (the
// level frame's 20 ms, the blocks' 10 ms).
TEST(Live, ChaptersComeWhenTheirBoundaryIsCertain) {
    // (A sound that starts within a chapter's merging reach holds it until
    // that sound is known to be dropped or merged: the options here keep
    // the reach inside the pauses of the recording.)
    const char *opts[] = {"{}", R"({"max_chapter_s":3})", R"({"max_chapter_s":30})",
                          R"({"padding_s":0,"min_silence_s":1.5})"};
    for (const char *o : opts) {
        const sil_opts parsed = parse(o);
        const double pad = parsed.padding_s > 0.0f ? parsed.padding_s : 0.0f;
        for (int rate : {16000, 48000}) {
            const std::vector<Stretch> parts = talk(3, 200.0);
            const std::vector<float> x = recording(parts, rate, 5);
            const Live lv = live(x, rate, o, 9, (size_t)rate / 100);
            // When the scan is sure that the last sound starting before t
            // is a chapter: the loud stretches closer than min_silence_s
            // are one sound, sure once it has been min_chapter_s long
            // without a pause that could end it.
            auto sound_sure = [&](double t) {
                std::vector<std::pair<double, double>> loud;
                double at = 0.0;
                for (const Stretch &p : parts) {
                    if (p.amp > 0.0f)
                        loud.push_back({at, at + p.s});
                    at += p.s;
                }
                double sure = 0.0;
                for (size_t j = 0; j < loud.size() && loud[j].first <= t;) {
                    const double start = loud[j].first;
                    sure = 1e9;
                    for (; j < loud.size() &&
                           (loud[j].first == start ||
                            loud[j].first - loud[j - 1].second < parsed.min_silence_s);
                         j++)
                        if (sure > 1e8 && loud[j].second - start >= parsed.min_chapter_s)
                            sure = std::max(loud[j].first, start + parsed.min_chapter_s);
                }
                return sure;
            };
            ASSERT_EQ(lv.status, 0);
            ASSERT_GT(lv.chapters.size(), 3u);
            for (size_t i = 0; i + 1 < lv.chapters.size(); i++) {
                ASSERT_GE(lv.handed_at[i], 0) << o << " chapter " << i;
                const sil_chapter &c = lv.chapters[i].c;
                const bool piece = lv.chapters[i + 1].c.t0 == c.t1;
                const double certain = piece ? std::max((double)c.t1, sound_sure(c.t1))
                                             : c.t1 + pad + parsed.min_silence_s;
                EXPECT_LE((double)lv.handed_at[i] / rate, certain + 0.05)
                    << o << " at " << rate << ": chapter " << i << " ends at " << c.t1;
            }
        }
    }
}

// Past the chapter limit both fail with the same message.
TEST(Live, ChapterLimitAsOffline) {
    const std::vector<float> x = recording({{0.5, 0.0f}, {25.0, 0.3f}, {1.0, 0.0f}}, 16000, 1);
    const char *opts = R"({"max_chapter_s":0.002,"min_chapter_s":1})";
    const Offline off = offline(x, 16000, opts);
    ASSERT_EQ(off.status, -1);
    EXPECT_EQ(off.error, "chapter count exceeds 10000");
    const Live lv = live(x, 16000, opts, 3, 4000);
    EXPECT_EQ(lv.status, -1);
    EXPECT_EQ(lv.error, off.error);
    // Exactly at the limit both succeed.
    const char *at_limit = R"({"max_chapter_s":0.003,"min_chapter_s":1,"padding_s":0})";
    const Offline near = offline(x, 16000, at_limit);
    ASSERT_EQ(near.status, 0);
    EXPECT_GT(near.chapters.size(), 8000u);
    expect_same(near, live(x, 16000, at_limit, 4, 4000), "near the limit");
}

// Edge inputs: empty, shorter than one level frame, silence, sound to the
// very end.
TEST(Live, EdgeInputsAsOffline) {
    const std::vector<std::vector<float>> inputs = {
        {},
        std::vector<float>(100, 0.2f),
        recording({{3.0, 0.0f}}, 16000, 1),
        recording({{0.3, 0.0f}, {12.0, 0.2f}}, 16000, 2),
        recording({{12.0, 0.2f}, {0.3, 0.0f}}, 16000, 3),
    };
    for (size_t i = 0; i < inputs.size(); i++)
        for (const char *o : {"{}", R"({"max_chapter_s":5})", R"({"min_chapter_s":0})"})
            expect_same(offline(inputs[i], 16000, o), live(inputs[i], 16000, o, 5, 3000),
                        "input " + std::to_string(i) + " " + o);
}

TEST(Live, DeferredOptionsNamed) {
    sil_opts o = parse("{}");
    EXPECT_EQ(sil_live_deferred_option(&o, nullptr), nullptr);
    o = parse(R"({"max_chapter_s":30})");
    EXPECT_EQ(sil_live_deferred_option(&o, nullptr), nullptr);
    o = parse(R"({"keep_all":true})");
    EXPECT_STREQ(sil_live_deferred_option(&o, nullptr), "keep_all");
    o = parse(R"({"auto":true})");
    EXPECT_STREQ(sil_live_deferred_option(&o, nullptr), "auto");
}

// The frames to keep: every chapter handed out later starts at or after the
// keep point reported before it came.
TEST(Live, KeepFromCoversLaterChapters) {
    for (const char *o : {"{}", R"({"max_chapter_s":3})", R"({"padding_s":1.2})"}) {
        const std::vector<float> x = recording(talk(21, 70.0), 44100, 2);
        const Live lv = live(x, 44100, o, 6, 4410);
        ASSERT_EQ(lv.status, 0);
        ASSERT_EQ(lv.keep_from.size(), lv.pushed.size());
        for (size_t i = 0; i < lv.chapters.size(); i++) {
            const int64_t at = lv.handed_at[i] < 0 ? INT64_MAX : lv.handed_at[i];
            for (size_t j = 0; j < lv.pushed.size() && lv.pushed[j] < at; j++)
                EXPECT_LE(lv.keep_from[j], lv.chapters[i].start) << o << " chapter " << i;
        }
    }
}

} // namespace
