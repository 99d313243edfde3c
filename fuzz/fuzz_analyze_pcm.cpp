// Fuzz target 2: options text and float samples through silsplit_analyze_pcm.
//
// Input layout: the options text, a 0 byte, two bytes n (little-endian), then
// raw float samples (any bit pattern: NaN, infinities, huge and tiny values).
// The samples are repeated until the buffer holds 16 * n of them (at most
// 2^17), so a short input can still make a signal long enough for chapters.
// Calls whose 16 kHz signal would exceed 2^20 samples are skipped to keep
// each run short.
// Without a 0 byte the whole input is the options text and there are no
// samples.
//
// Checked: no crash, leak or undefined behaviour; a NULL result always has a
// message and a report never has one; the same call twice gives the same
// report; the members the newer keys add hold their promises (chapters that
// cover the recording with keep_all, no piece over the maximum with
// cut_at_pause, pauses in time order with ranks 1..n, a level per hop, no
// more chapters than a chapter count asks for, a speech probability per
// 32 ms window from 0 to 1, speech_p on the pauses only with speech; with
// chapters, the chapters given, in order; with hints, a chapter per hint
// with its note; a title on every chapter when titles were given).
// fuzz_analyze_pcm.dict holds the option keys.
#include "engine.h"

#include <yyjson.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxSamples = 1 << 17;
constexpr double kMaxSamples16k = 1 << 20;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

std::string run(const float *pcm, int n, const char *opts, std::string *error) {
    char *report = silsplit_analyze_pcm(pcm, n, opts);
    *error = silsplit_last_error();
    std::string text = report ? report : "<null>";
    check(report ? error->empty() : !error->empty());
    silsplit_free_string(report);
    return text;
}

double num(yyjson_val *obj, const char *key) { return yyjson_get_num(yyjson_obj_get(obj, key)); }

void check_members(const std::string &text, const sil_opts &o, const sil_chapter_keys &k) {
    yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
    check(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc);
    yyjson_val *chapters = yyjson_obj_get(root, "chapters");
    const size_t n = yyjson_arr_size(chapters);
    const double duration = num(root, "duration_s");
    check((yyjson_obj_get(root, "threshold_db") != nullptr) == (o.auto_threshold || o.auto_detect));
    check((yyjson_obj_get(root, "pauses") != nullptr) == o.report_pauses);
    check((yyjson_obj_get(root, "levels") != nullptr) == o.report_levels);
    check((yyjson_obj_get(root, "chapter_count") != nullptr) == (o.chapter_count > 0));
    check((yyjson_obj_get(root, "speech") != nullptr) == o.report_speech);
    // One boundary per pair of neighbouring chapters, each rated 0..1.
    yyjson_val *bounds = yyjson_obj_get(root, "boundaries");
    check((bounds != nullptr) == ((o.auto_detect || o.report_pauses) && k.n_chapters == 0));
    if (bounds) {
        check(yyjson_arr_size(bounds) == (n > 0 ? n - 1 : 0));
        for (size_t i = 0; i < yyjson_arr_size(bounds); i++) {
            const double c = num(yyjson_arr_get(bounds, i), "confidence");
            check(c >= 0.0 && c <= 1.0);
        }
    }
    if (o.chapter_count > 0) {
        yyjson_val *cc = yyjson_obj_get(root, "chapter_count");
        check(yyjson_get_int(yyjson_obj_get(cc, "requested")) == o.chapter_count);
        check(yyjson_get_int(yyjson_obj_get(cc, "found")) == (int)n && (int)n <= o.chapter_count);
    }
    for (size_t i = 0; i < n; i++) {
        yyjson_val *c = yyjson_arr_get(chapters, i);
        check((yyjson_obj_get(c, "title") != nullptr) == sil_chapter_keys_titled(&k));
        check((yyjson_obj_get(c, "snap") != nullptr) == (k.n_hints > 0));
        if (sil_chapter_keys_any(&k) && i > 0)
            check(!(num(c, "t0") < num(yyjson_arr_get(chapters, i - 1), "t0")) &&
                  !(num(c, "t1") < num(c, "t0")));
    }
    if (k.n_chapters > 0) {
        check(n == (size_t)k.n_chapters);
        for (size_t i = 0; i < n; i++)
            check(num(yyjson_arr_get(chapters, i), "t0") == (double)k.chapters[i].t0);
    }
    if (k.n_hints > 0)
        check(n == (size_t)k.n_hints);
    if (o.keep_all && duration > 0.0 && k.n_chapters == 0) {
        // The 16 kHz signal's end may differ from the input's duration by a
        // fraction of a hop when the input rate is not 16 kHz.
        check(n >= 1 && num(yyjson_arr_get(chapters, 0), "t0") == 0.0);
        for (size_t i = 1; i < n; i++)
            check(num(yyjson_arr_get(chapters, i - 1), "t1") == num(yyjson_arr_get(chapters, i), "t0"));
    }
    if (o.cut_at_pause && o.max_chapter_s > 0.0f && o.chapter_count == 0) {
        for (size_t i = 0; i < n; i++) {
            yyjson_val *c = yyjson_arr_get(chapters, i);
            check(!(num(c, "dur") > (double)o.max_chapter_s + 1e-3 * (double)o.max_chapter_s + 1e-5));
        }
    }
    if (o.report_pauses) {
        yyjson_val *pauses = yyjson_obj_get(root, "pauses");
        const size_t np = yyjson_arr_size(pauses);
        std::vector<bool> seen(np + 1, false);
        double last_t1 = -1.0;
        for (size_t i = 0; i < np; i++) {
            yyjson_val *p = yyjson_arr_get(pauses, i);
            const int64_t rank = yyjson_get_sint(yyjson_obj_get(p, "rank"));
            check(rank >= 1 && (size_t)rank <= np && !seen[(size_t)rank]);
            seen[(size_t)rank] = true;
            check(num(p, "t0") > last_t1 && num(p, "t1") > num(p, "t0"));
            // With speech (given, or chosen by auto) a pause carries its mean
            // probability, without none.
            yyjson_val *sp = yyjson_obj_get(p, "speech_p");
            const bool speech = o.speech || yyjson_is_true(yyjson_obj_get(root, "speech_used"));
            check((sp != nullptr) == speech && !(yyjson_get_num(sp) < 0.0) &&
                  !(yyjson_get_num(sp) > 1.0));
            last_t1 = num(p, "t1");
        }
    }
    if (o.report_speech) {
        // A probability per 32 ms of the 16 kHz signal, from 0 to 1.
        yyjson_val *p = yyjson_obj_get(yyjson_obj_get(root, "speech"), "p");
        const size_t np = yyjson_arr_size(p);
        check(std::fabs((double)np * 0.032 - duration) <= 0.032 + 1e-3 * duration);
        for (size_t i = 0; i < np; i++)
            check(yyjson_get_num(yyjson_arr_get(p, i)) >= 0.0 &&
                  yyjson_get_num(yyjson_arr_get(p, i)) <= 1.0);
    }
    if (o.report_levels) {
        yyjson_val *db = yyjson_obj_get(yyjson_obj_get(root, "levels"), "db");
        for (size_t i = 0; i < yyjson_arr_size(db); i++)
            check(!(yyjson_get_num(yyjson_arr_get(db, i)) < -120.0));
    }
    yyjson_doc_free(doc);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
    const size_t opts_len = nul ? (size_t)(nul - data) : size;
    const std::string opts(reinterpret_cast<const char *>(data), opts_len);

    std::vector<float> samples;
    if (nul) {
        const uint8_t *rest = nul + 1;
        size_t rest_len = size - opts_len - 1;
        size_t want = 0;
        if (rest_len >= 2) {
            want = (size_t)(rest[0] | (rest[1] << 8)) * 16;
            rest += 2;
            rest_len -= 2;
        }
        const size_t pattern = rest_len / 4;
        if (pattern > 0) {
            if (want < pattern)
                want = pattern;
            if (want > kMaxSamples)
                want = kMaxSamples;
            samples.resize(want);
            for (size_t i = 0; i < want; i++)
                memcpy(&samples[i], rest + 4 * (i % pattern), 4);
        }
    }

    const float *pcm = samples.empty() ? nullptr : samples.data();
    const int n = (int)samples.size();
    sil_opts o;
    sil_chapter_keys keys;
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    const bool opts_ok = sil_parse_opts(opts.c_str(), &o, &keys) == 0;
    if (opts_ok && o.sample_rate > 0 && (double)n * 16000.0 / o.sample_rate > kMaxSamples16k)
        return 0;
    std::string e1, e2;
    const std::string r1 = run(pcm, n, opts.c_str(), &e1);
    const std::string r2 = run(pcm, n, opts.c_str(), &e2);
    check(r1 == r2 && e1 == e2);
    if (opts_ok && e1.empty())
        check_members(r1, o, keys);
    // NULL options and "{}" both mean the defaults.
    if (opts == "{}") {
        std::string e3;
        check(run(pcm, n, nullptr, &e3) == r1);
    }
    return 0;
}
