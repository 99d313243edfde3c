// Fuzz target 1: WAV bytes.
//
// The input is a WAV file. It is read from a memory stream by the reader
// (sil_wav_read_stream) and, when the reader accepts it, analysed from end to
// end: resampled to 16 kHz, searched for chapters and turned into a report,
// with one of the option sets below chosen by the input's last byte.
//
// Checked: no crash, leak or undefined behaviour (the sanitizers), and every
// failure leaves a message.
#include "engine.h"
#include "whole_buffer.h"
#include "report.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char *const kOptions[8] = {
    nullptr,
    "{\"min_silence_s\":0.02,\"min_chapter_s\":0,\"padding_s\":0.01}",
    "{\"max_chapter_s\":0.001,\"min_chapter_s\":0}",
    "{\"threshold_db\":-200,\"min_chapter_s\":-1,\"padding_s\":-0.5}",
    "{\"threshold_db\":10,\"min_silence_s\":0}",
    "{\"min_silence_s\":1e30,\"padding_s\":1e30,\"max_chapter_s\":1e-30}",
    "{\"threshold_db\":-1e39,\"min_silence_s\":-1e39,\"min_chapter_s\":-1e39}",
    "{\"padding_s\":3,\"min_silence_s\":0.5,\"min_chapter_s\":0.001,\"max_chapter_s\":0.5}",
};

// Keeps each run short: longer 16 kHz signals than this are not analysed.
constexpr int64_t kMaxSamples16k = 1 << 20;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0; // fmemopen needs at least one byte
    std::vector<uint8_t> copy(data, data + size);
    FILE *f = fmemopen(copy.data(), copy.size(), "rb");
    if (!f)
        return 0;
    sil_clear_error();
    sil_wav wav;
    const int rc = sil_wav_read_stream(f, &wav, nullptr);
    fclose(f);
    if (rc != 0) {
        check(sil_get_error()[0] != '\0' && wav.samples == nullptr);
        return 0;
    }
    check(wav.frames >= 0 && wav.sample_rate > 0);

    sil_opts opts;
    check(sil_parse_opts(kOptions[data[size - 1] & 7], &opts) == 0);

    if (wav.frames > 0 && (int64_t)wav.frames * 16000 / wav.sample_rate <= kMaxSamples16k) {
        float *pcm16k = nullptr;
        int n16k = 0;
        if (sil_resample_to_16k(wav.samples, wav.frames, wav.sample_rate, &pcm16k, &n16k,
                                nullptr) == 0) {
            sil_chapter *chapters = nullptr;
            int count = 0;
            float removed = 0, duration = 0;
            if (sil_detect_chapters(pcm16k, n16k, &opts, &chapters, &count, &removed, &duration,
                                    nullptr) == 0) {
                check(count >= 0 && count <= SIL_MAX_CHAPTERS && (count == 0) == !chapters);
                char *report =
                    sil_build_analyze_json(wav.sample_rate, (float)wav.frames / wav.sample_rate,
                                           chapters, count, removed);
                check(report || sil_get_error()[0] != '\0');
                free(report);
                free(chapters);
            } else {
                check(sil_get_error()[0] != '\0' && !chapters);
            }
            free(pcm16k);
        } else {
            check(sil_get_error()[0] != '\0');
        }
    }
    sil_wav_free(&wav);
    return 0;
}
