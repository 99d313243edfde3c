// Micro-benchmarks of the library's stages through the internal API:
//   decode_mix   sil_wav_read_stream on an in-memory WAV, per depth and channel count
//   resample     sil_resample_to_16k, per input rate
//   detect       sil_detect_chapters on a 16 kHz signal (frame levels dominate)
// Run with `make bench`, or build-bench/bench/stages_bench [--benchmark_filter=...].
#include "engine.h"
#include "whole_buffer.h"
#include "report.h"
#include "chapter_rules.h"

#include "speech_model.h"
#include "speech_signal.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

namespace {

constexpr double kDecodeSeconds = 10.0;
constexpr int kDecodeRate = 44100;
constexpr double kResampleSeconds = 30.0;
constexpr double kDetectSeconds = 600.0;

std::vector<float> speech(double seconds, int rate) {
    speech_gen g;
    speech_init(&g, (double)rate, SPEECH_DEFAULT_SEED);
    std::vector<float> v((size_t)(seconds * rate));
    for (float &x : v)
        x = speech_sample(&g);
    return v;
}

void put16(unsigned char *p, unsigned v) {
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
}

void put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)((v >> (8 * i)) & 0xFF);
}

// A whole WAV file in memory. bits 32 with is_float: IEEE float (tag 3),
// otherwise PCM (tag 1; 8-bit is unsigned).
std::vector<unsigned char> make_wav(int bits, bool is_float, int channels) {
    const std::vector<float> mono = speech(kDecodeSeconds, kDecodeRate);
    const unsigned bytes = (unsigned)bits / 8;
    const unsigned frame_bytes = bytes * (unsigned)channels;
    const uint32_t data_bytes = (uint32_t)(mono.size() * frame_bytes);
    std::vector<unsigned char> w(44 + (size_t)data_bytes);
    unsigned char *h = w.data();
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + data_bytes);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put32(h + 16, 16);
    put16(h + 20, is_float ? 3 : 1);
    put16(h + 22, (unsigned)channels);
    put32(h + 24, (uint32_t)kDecodeRate);
    put32(h + 28, (uint32_t)kDecodeRate * frame_bytes);
    put16(h + 32, frame_bytes);
    put16(h + 34, (unsigned)bits);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, data_bytes);
    unsigned char *p = h + 44;
    for (float s : mono) {
        for (int c = 0; c < channels; c++) {
            const float v = s * (1.0f - 0.05f * (float)c);
            if (is_float) {
                uint32_t u;
                std::memcpy(&u, &v, 4);
                put32(p, u);
            } else if (bits == 8) {
                p[0] = (unsigned char)(128 + (int)std::lround(v * 127.0f));
            } else {
                const double full = std::ldexp(1.0, bits - 1) - 1.0;
                const uint32_t u = (uint32_t)(int32_t)std::llround((double)v * full);
                for (unsigned b = 0; b < bytes; b++)
                    p[b] = (unsigned char)((u >> (8 * b)) & 0xFF);
            }
            p += bytes;
        }
    }
    return w;
}

// Depth codes of the decode benchmark's first argument.
enum Depth { kU8 = 8, kS16 = 16, kS24 = 24, kS32 = 32, kF32 = 33 };

const std::vector<unsigned char> &wav_for(int depth, int channels) {
    static std::map<std::pair<int, int>, std::vector<unsigned char>> cache;
    auto key = std::make_pair(depth, channels);
    auto it = cache.find(key);
    if (it == cache.end()) {
        const bool is_float = depth == kF32;
        const int bits = is_float ? 32 : depth;
        it = cache.emplace(key, make_wav(bits, is_float, channels)).first;
    }
    return it->second;
}

void BM_decode_mix(benchmark::State &state) {
    const int depth = (int)state.range(0);
    const int channels = (int)state.range(1);
    const std::vector<unsigned char> &wav = wav_for(depth, channels);
    int64_t frames = 0;
    for (auto _ : state) {
        FILE *f = fmemopen(const_cast<unsigned char *>(wav.data()), wav.size(), "rb");
        if (!f) {
            state.SkipWithError("fmemopen failed");
            break;
        }
        sil_wav out{};
        const int rc = sil_wav_read_stream(f, &out, nullptr);
        std::fclose(f);
        if (rc != 0) {
            state.SkipWithError(sil_get_error());
            break;
        }
        benchmark::DoNotOptimize(out.samples);
        frames = out.frames;
        sil_wav_free(&out);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(wav.size() - 44));
    state.SetItemsProcessed((int64_t)state.iterations() * frames);
    state.SetLabel(depth == kF32 ? "f32" : (depth == kU8 ? "u8" : "s" + std::to_string(depth)));
}
BENCHMARK(BM_decode_mix)
    ->ArgNames({"bits", "channels"})
    ->ArgsProduct({{kU8, kS16, kS24, kS32, kF32}, {1, 2, 6}})
    ->Unit(benchmark::kMillisecond);

void BM_resample(benchmark::State &state) {
    const int rate = (int)state.range(0);
    const std::vector<float> in = speech(kResampleSeconds, rate);
    for (auto _ : state) {
        float *out = nullptr;
        int out_n = 0;
        if (sil_resample_to_16k(in.data(), (int)in.size(), rate, &out, &out_n, nullptr) != 0) {
            state.SkipWithError(sil_get_error());
            break;
        }
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)in.size());
}
BENCHMARK(BM_resample)
    ->ArgName("rate")
    ->Arg(8000)
    ->Arg(22050)
    ->Arg(44100)
    ->Arg(48000)
    ->Arg(96000)
    ->Unit(benchmark::kMillisecond);

void BM_detect(benchmark::State &state) {
    const std::vector<float> in = speech(kDetectSeconds, 16000);
    sil_opts opts;
    sil_opts_defaults(&opts);
    int count = 0;
    for (auto _ : state) {
        sil_chapter *ch = nullptr;
        int n = 0;
        if (sil_detect_chapters(in.data(), (int)in.size(), &opts, &ch, &n, nullptr, nullptr,
                                nullptr) != 0) {
            state.SkipWithError(sil_get_error());
            break;
        }
        benchmark::DoNotOptimize(ch);
        count = n;
        std::free(ch);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)in.size());
    state.counters["chapters"] = count;
}
BENCHMARK(BM_detect)->Unit(benchmark::kMillisecond);

// The speech model over a minute at 16 kHz, one kernel per case (0 plain,
// 1 AVX2, 2 AVX-512); x_realtime is seconds of signal per second on one core.
void BM_speech(benchmark::State &state) {
    const int kernel = (int)state.range(0);
    if (!sil_kernel_available(kernel)) {
        state.SkipWithError("kernel not available on this CPU");
        return;
    }
    const double seconds = 60.0;
    const std::vector<float> in = speech(seconds, 16000);
    for (auto _ : state) {
        sil_speech_stage s;
        if (sil_speech_init(&s) != 0) {
            state.SkipWithError(sil_get_error());
            break;
        }
        s.kernel = kernel;
        if (sil_speech_push(&s, in.data(), in.size()) != 0 || sil_speech_finish(&s) != 0) {
            state.SkipWithError(sil_get_error());
            sil_speech_free(&s);
            break;
        }
        benchmark::DoNotOptimize(s.probs);
        sil_speech_free(&s);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)in.size());
    state.counters["x_realtime"] =
        benchmark::Counter(seconds * (double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_speech)
    ->ArgName("kernel")
    ->Arg(SIL_KERNEL_PLAIN)
    ->Arg(SIL_KERNEL_AVX2)
    ->Arg(SIL_KERNEL_AVX512)
    ->Unit(benchmark::kMillisecond);

// The chapter rules and report members on the level curve of an hour (ten
// minutes of speech six times over): the chapters and the report text, with
// no key (arg 0) and with each key. Their cost beside the whole analysis of
// an hour (about 0.5 s for 44.1 kHz stereo) is the cost of the keys.
const char *const kRuleOptions[] = {
    "{}",
    "{\"auto_threshold\":true}",
    "{\"cut_at_pause\":true,\"max_chapter_s\":30}",
    "{\"max_chapter_s\":30}",
    "{\"chapter_count\":32}",
    "{\"keep_all\":true}",
    "{\"report_pauses\":true}",
    "{\"report_levels\":true}",
    "{\"auto_threshold\":true,\"cut_at_pause\":true,\"max_chapter_s\":30,\"keep_all\":true,"
    "\"report_pauses\":true,\"report_levels\":true}",
};

void BM_rules(benchmark::State &state) {
    static std::vector<float> curve;
    if (curve.empty()) {
        const std::vector<float> in = speech(kDetectSeconds, 16000);
        float *raw = nullptr;
        int32_t frames = 0;
        if (sil_frame_levels(in.data(), (int)in.size(), &raw, &frames, nullptr) != 0) {
            state.SkipWithError(sil_get_error());
            return;
        }
        for (int k = 0; k < 6; k++)
            curve.insert(curve.end(), raw, raw + frames);
        std::free(raw);
    }
    const char *text = kRuleOptions[state.range(0)];
    sil_opts opts;
    if (sil_parse_opts(text, &opts) != 0) {
        state.SkipWithError(sil_get_error());
        return;
    }
    state.SetLabel(text);
    const float duration = (float)curve.size() / 100.0f;
    for (auto _ : state) {
        sil_chapter *ch = nullptr;
        int n = 0;
        float removed = 0.0f;
        sil_report_extras extras;
        sil_report_extras_init(&extras);
        if (sil_detect_on_levels(curve.data(), (int32_t)curve.size(), duration, &opts, &ch, &n,
                                 &removed, &extras) != 0) {
            state.SkipWithError(sil_get_error());
            break;
        }
        if (opts.report_levels) {
            extras.has_levels = true;
            extras.levels = curve.data();
            extras.n_levels = (int32_t)curve.size();
        }
        char *report = sil_build_analyze_json(44100, duration, ch, n, removed, &extras);
        benchmark::DoNotOptimize(report);
        std::free(report);
        std::free(ch);
        sil_report_extras_free(&extras);
    }
}
BENCHMARK(BM_rules)->DenseRange(0, 8)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
