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
// report.
#include "silsplit_internal.h"

#include <cstdint>
#include <cstring>
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
    if (sil_parse_opts(opts.c_str(), &o) == 0 && o.sample_rate > 0 &&
        (double)n * 16000.0 / o.sample_rate > kMaxSamples16k)
        return 0;
    std::string e1, e2;
    const std::string r1 = run(pcm, n, opts.c_str(), &e1);
    const std::string r2 = run(pcm, n, opts.c_str(), &e2);
    check(r1 == r2 && e1 == e2);
    // NULL options and "{}" both mean the defaults.
    if (opts == "{}") {
        std::string e3;
        check(run(pcm, n, nullptr, &e3) == r1);
    }
    return 0;
}
