// Allocation failures: every allocation a call makes is failed in turn, and
// the call must then either succeed with exactly the text it gives when
// nothing fails (some allocations have a fallback, qsort's buffer for one),
// or fail with "out of memory", or "json alloc failed" when the report could
// not be built. A report with members missing must never pass for a success.
//
// This program replaces the C heap's malloc, calloc and realloc with thin
// wrappers over glibc's own that can be told to fail the n-th allocation of
// the calling thread; the library's code and yyjson both allocate through
// them. Sanitizer builds replace the heap themselves and skip this program.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine.h"
#include "report.h"
#include "../wav_builder.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}

namespace {

// Allocation number to fail on this thread (0: none), and the count so far.
thread_local long t_fail_at = 0;
thread_local long t_count = 0;

bool fail_this_one() {
    if (t_fail_at == 0)
        return false;
    if (++t_count != t_fail_at)
        return false;
    errno = ENOMEM;
    return true;
}

} // namespace

extern "C" void *malloc(size_t n) { return fail_this_one() ? nullptr : __libc_malloc(n); }
extern "C" void *calloc(size_t a, size_t b) {
    return fail_this_one() ? nullptr : __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n) {
    return fail_this_one() ? nullptr : __libc_realloc(p, n);
}

namespace {

using namespace wavtest;

// What one call handed back: a report text (freed here) or a count.
struct Raw {
    char *report = nullptr;
    int rc = -1;
};

struct Outcome {
    bool ok;
    std::string text; // the report or the count, or the error text
};

// Runs call with allocation number k failing (0: none) and counts the
// allocations. call must allocate nothing itself: a failed allocation in the
// test's own code would throw.
Outcome run(const std::function<Raw(long)> &call, long k, long *allocations = nullptr) {
    t_count = 0;
    t_fail_at = k == 0 ? -1 : k; // -1 counts without failing
    const Raw r = call(k);
    t_fail_at = 0;
    if (allocations)
        *allocations = t_count;
    Outcome o;
    if (r.report) {
        o = {true, r.report};
        silsplit_free_string(r.report);
    } else if (r.rc >= 0) {
        o = {true, std::to_string(r.rc)};
    } else {
        o = {false, silsplit_last_error()};
    }
    return o;
}

// Fails each allocation of call in turn and checks every outcome. prepare(n)
// runs first with the number of allocations a successful call makes.
void fail_each_allocation(const std::function<Raw(long)> &call, bool only_json,
                          const std::function<void(long)> &prepare = nullptr) {
    if (prepare)
        prepare(0);
    long n = 0;
    const Outcome want = run(call, 0, &n);
    ASSERT_TRUE(want.ok) << want.text;
    ASSERT_GT(n, 0);
    if (prepare)
        prepare(n);
    bool saw_json = false, saw_oom = false;
    for (long k = 1; k <= n; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(n));
        const Outcome o = run(call, k);
        if (o.ok) {
            EXPECT_FALSE(only_json) << "a failed allocation went unnoticed";
            EXPECT_EQ(o.text, want.text);
            continue;
        }
        EXPECT_TRUE(o.text == "out of memory" || o.text == "json alloc failed") << o.text;
        saw_json = saw_json || o.text == "json alloc failed";
        saw_oom = saw_oom || o.text == "out of memory";
    }
    EXPECT_TRUE(saw_json);
    EXPECT_EQ(saw_oom, !only_json);
}

// 20 s at 16 kHz with two passages: 1 to 7 s and 9 to 16 s.
std::vector<float> two_chapters() {
    std::vector<float> s(16000 * 20, 0.0f);
    for (size_t i = 16000; i < 16000 * 7; ++i)
        s[i] = 0.25f;
    for (size_t i = 16000 * 9; i < 16000 * 16; ++i)
        s[i] = 0.5f;
    return s;
}

// Every allocation of the report builder belongs to the report.
TEST(AllocationFailure, ReportBuilderFailsWithJsonAllocFailed) {
    const sil_chapter chapters[3] = {{1.0f, 2.0f, -6.0f}, {3.0f, 4.0f, -7.0f}, {5.0f, 6.0f, -8.0f}};
    fail_each_allocation(
        [&](long) {
            sil_clear_error();
            return Raw{sil_build_analyze_json(44100, 7.0f, chapters, 3, 4.0f)};
        },
        true);
}

TEST(AllocationFailure, AnalyzePcm) {
    const std::vector<float> s = two_chapters();
    for (const char *opts : {"{\"min_chapter_s\":2}", "{\"sample_rate\":44100}",
                             "{\"speech\":true,\"report_speech\":true,\"report_pauses\":true,"
                             "\"keep_all\":true}",
                             "{\"hints\":[0,{\"t\":8.5,\"title\":\"Two\"}],\"titles\":[\"One\"],"
                             "\"keep_all\":true}",
                             "{\"chapters\":[{\"t0\":0.5,\"t1\":7,\"title\":\"a\"},{\"t0\":8}],"
                             "\"titles\":[null,\"b\"]}"}) {
        SCOPED_TRACE(opts);
        fail_each_allocation(
            [&](long) { return Raw{silsplit_analyze_pcm(s.data(), (int)s.size(), opts)}; },
            false);
    }
}

TEST(AllocationFailure, FileAnalysisAndExport) {
    TempDir dir;
    std::vector<int16_t> v;
    for (float x : two_chapters())
        v.push_back((int16_t)(x * 32767.0f));
    const std::string wav = dir.file("in.wav", wav16(44100, 1, v));
    fail_each_allocation([&](long) { return Raw{silsplit_analyze(wav.c_str(), "{}")}; }, false);

    // Each run of the export gets a folder of its own, named beforehand.
    std::vector<std::string> outs;
    fail_each_allocation(
        [&](long k) {
            Raw r;
            r.rc = silsplit_write_chapters(wav.c_str(), nullptr, outs[(size_t)k].c_str());
            return r;
        },
        false,
        [&](long n) {
            while ((long)outs.size() <= n)
                outs.push_back(dir / ("out" + std::to_string(outs.size())));
        });
}

} // namespace
