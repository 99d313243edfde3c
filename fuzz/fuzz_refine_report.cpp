// Fuzz target 3: chapter refinement and the report builder.
//
// Input layout: five raw floats (20 bytes: threshold_db, min_silence_s,
// min_chapter_s, padding_s, max_chapter_s; any bit pattern), then a body.
//
// 1. The refinement (padding, sorting, merging, splitting, the chapter limit)
//    runs inside sil_detect_chapters, so the body is read as a 16 kHz signal
//    made of runs, two bytes each: a length of 1 to 256 hops of 160 samples
//    and a level code (0: silence; 1-249: -124 dB to 0 dB in 0.5 dB steps;
//    250-255: NaN, infinity, minus infinity, 1e30, 1e-30, -1), at most 16 s.
// 2. The same body read as an array of sil_chapter records (three raw floats
//    each) goes straight to sil_build_analyze_json, with the first option
//    floats as duration and silence removed and the third one's bits as the
//    sample rate.
//
// Checked: no crash, leak or undefined behaviour; the detector's results
// hold its limits; the report holds exactly the given values (each float
// written as its exact double) or, when one is not finite, fails with
// "json write failed".
#include "engine.h"
#include "whole_buffer.h"
#include "report.h"

#include <yyjson.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxSamples = 1 << 18; // 16 s

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

float level_amplitude(uint8_t code) {
    switch (code) {
    case 0:
        return 0.0f;
    case 250:
        return std::numeric_limits<float>::quiet_NaN();
    case 251:
        return std::numeric_limits<float>::infinity();
    case 252:
        return -std::numeric_limits<float>::infinity();
    case 253:
        return 1e30f;
    case 254:
        return 1e-30f;
    case 255:
        return -1.0f;
    default:
        return (float)std::pow(10.0, -(249 - code) * 0.5 / 20.0);
    }
}

void refine(const sil_opts &opts, const uint8_t *body, size_t len) {
    std::vector<float> signal;
    for (size_t i = 0; i + 1 < len && signal.size() < kMaxSamples; i += 2) {
        const size_t hops = (size_t)body[i] + 1;
        signal.insert(signal.end(), hops * 160, level_amplitude(body[i + 1]));
    }
    if (signal.size() > kMaxSamples)
        signal.resize(kMaxSamples);
    sil_chapter *chapters = nullptr;
    int count = -1;
    float removed = -1, duration = -1;
    sil_clear_error();
    const int n = (int)signal.size();
    if (sil_detect_chapters(signal.data(), n, &opts, &chapters, &count, &removed, &duration,
                            nullptr) == 0) {
        check(count >= 0 && count <= SIL_MAX_CHAPTERS && (count == 0) == !chapters);
        check(duration == (float)n / 16000.0f);
        check(!(removed < 0.0f));
    } else {
        const std::string e = sil_get_error();
        check(e == "chapter count exceeds 10000" || e == "out of memory");
        check(!chapters && count == 0);
    }
    free(chapters);
}

bool same(yyjson_val *v, float want) {
    return yyjson_is_num(v) && yyjson_get_num(v) == (double)want;
}

void report(const float f[5], uint32_t rate_bits, const uint8_t *body, size_t len) {
    const int count = (int)(len / sizeof(sil_chapter));
    std::vector<sil_chapter> chapters(count);
    if (count)
        memcpy(chapters.data(), body, (size_t)count * sizeof(sil_chapter));
    const int rate = (int)rate_bits;
    bool finite = std::isfinite(f[0]) && std::isfinite(f[1]);
    for (const sil_chapter &c : chapters)
        finite = finite && std::isfinite(c.t0) && std::isfinite(c.t1) &&
                 std::isfinite(c.peak_db) && std::isfinite(c.t1 - c.t0);
    sil_clear_error();
    char *text = sil_build_analyze_json(rate, f[0], chapters.data(), count, f[1]);
    if (!finite) {
        check(!text && std::string(sil_get_error()) == "json write failed");
        return;
    }
    check(text != nullptr);
    yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
    check(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc);
    check(yyjson_obj_size(root) == 4);
    check(yyjson_get_sint(yyjson_obj_get(root, "sample_rate")) == rate);
    check(same(yyjson_obj_get(root, "duration_s"), f[0]));
    check(same(yyjson_obj_get(root, "silences_removed_s"), f[1]));
    yyjson_val *arr = yyjson_obj_get(root, "chapters");
    check(yyjson_arr_size(arr) == (size_t)count);
    for (int i = 0; i < count; i++) {
        yyjson_val *c = yyjson_arr_get(arr, (size_t)i);
        const sil_chapter &w = chapters[i];
        check(yyjson_get_sint(yyjson_obj_get(c, "i")) == i + 1);
        check(same(yyjson_obj_get(c, "t0"), w.t0) && same(yyjson_obj_get(c, "t1"), w.t1));
        check(same(yyjson_obj_get(c, "dur"), w.t1 - w.t0));
        check(same(yyjson_obj_get(c, "peak_db"), w.peak_db));
    }
    yyjson_doc_free(doc);
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 20)
        return 0;
    float f[5];
    memcpy(f, data, sizeof f);
    sil_opts opts;
    sil_opts_defaults(&opts);
    opts.threshold_db = f[0];
    opts.min_silence_s = f[1];
    opts.min_chapter_s = f[2];
    opts.padding_s = f[3];
    opts.max_chapter_s = f[4];
    opts.sample_rate = 16000;
    uint32_t rate_bits;
    memcpy(&rate_bits, data + 8, 4);

    refine(opts, data + 20, size - 20);
    report(f, rate_bits, data + 20, size - 20);
    return 0;
}
