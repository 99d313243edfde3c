// The stages over whole buffers, for callers that hold a whole signal (tests,
// benchmarks, fuzzers and the in-memory entry): each is a loop over its
// streaming stage that makes the progress calls of a whole-buffer run,
// stage after stage, instead of the pipeline's interleaved ones.
#include "whole_buffer.h"

#include "chapter_rules.h"
#include "levels.h"
#include "resampler.h"
#include "speech_model.h"
#include "wav_reader.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

// ---------------------------------------------------------------------------
// Reading a whole file
// ---------------------------------------------------------------------------

// Decodes every frame into one heap block, with a read report every
// SIL_READ_STEP frames and the hand-over to the resample stage at the end.
static int read_all(sil_wav_source *src, sil_wav *wav, sil_progress *progress) {
    const int64_t frames = src->frames;
    sil_heap_ptr<float> samples(static_cast<float *>(malloc((size_t)(frames ? frames : 1) * 4)));
    if (!samples) {
        sil_fail_memory();
        return -1;
    }
    for (int64_t first = 0; first < frames; first += SIL_READ_STEP) {
        const int64_t end = frames - first < SIL_READ_STEP ? frames : first + SIL_READ_STEP;
        for (int64_t i = first; i < end;) {
            const int64_t got = sil_wav_source_read(src, samples.get() + i, (size_t)(end - i));
            if (got <= 0) {
                if (got == 0)
                    sil_fail(SIL_ERR_READ, "data read fail");
                return -1;
            }
            i += got;
        }
        const int pct = (int)((double)first / (double)frames * SIL_PCT_READ_END);
        if (sil_progress_report(progress, pct, SIL_STAGE_READ) != 0)
            return -1;
    }
    if (sil_progress_report(progress, SIL_PCT_READ_END, SIL_STAGE_RESAMPLE) != 0)
        return -1;
    wav->samples = samples.release(); // the caller owns it from here
    wav->frames = (int32_t)frames;
    wav->sample_rate = src->sample_rate;
    wav->bits_per_sample = src->bits_per_sample;
    return 0;
}

int sil_wav_read_stream(FILE *f, sil_wav *wav, sil_progress *progress) {
    *wav = sil_wav{};
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_from_stream(f, &raw) != 0)
        return -1;
    sil_wav_source_ptr src(raw);
    return read_all(src.get(), wav, progress);
}

int sil_wav_read(const char *path, sil_wav *wav, sil_progress *progress) {
    *wav = sil_wav{};
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(path, &raw) != 0)
        return -1;
    sil_wav_source_ptr src(raw);
    return read_all(src.get(), wav, progress);
}

void sil_wav_free(sil_wav *wav) {
    if (!wav)
        return;
    free(wav->samples);
    wav->samples = nullptr;
    wav->frames = 0;
}

// ---------------------------------------------------------------------------
// Resampling, levels and chapters of a whole signal
// ---------------------------------------------------------------------------

int sil_resample_to_16k(const float *in, int n, int rate, float **out, int *out_n,
                        sil_progress *progress) {
    if (!in || n <= 0 || rate <= 0 || !out || !out_n) {
        sil_fail(SIL_ERR_ARGS, "invalid resample args");
        return -1;
    }
    if (sil_progress_report(progress, SIL_PCT_READ_END, SIL_STAGE_RESAMPLE) != 0)
        return -1;

    const int64_t m = rate == SIL_ANALYSIS_RATE ? n : sil_resampled_length(n, rate);
    if (m > INT_MAX) {
        sil_set_error("resampled signal too long");
        return -1;
    }
    sil_heap_ptr<float> buf(static_cast<float *>(malloc((size_t)m * sizeof(float))));
    if (!buf) {
        sil_fail_memory();
        return -1;
    }
    if (rate == SIL_ANALYSIS_RATE) {
        memcpy(buf.get(), in, (size_t)n * sizeof(float));
    } else {
        sil_resampler r;
        sil_resampler_init(&r, rate);
        const int64_t got = sil_resampler_push(&r, in, (size_t)n, buf.get());
        if (got < 0) {
            sil_resampler_free(&r);
            return -1;
        }
        sil_resampler_finish(&r, buf.get() + got);
        sil_resampler_free(&r);
        for (int64_t first = 0; first < m; first += SIL_RESAMPLE_STEP) {
            const int pct = SIL_PCT_READ_END + (int)((double)first / (double)m *
                                                     (SIL_PCT_RESAMPLE_END - SIL_PCT_READ_END));
            if (sil_progress_report(progress, pct, SIL_STAGE_RESAMPLE) != 0)
                return -1;
        }
    }
    if (sil_progress_report(progress, SIL_PCT_RESAMPLE_END, SIL_STAGE_DETECT) != 0)
        return -1;
    *out = buf.release();
    *out_n = (int)m;
    return 0;
}

int sil_frame_levels(const float *samples, int n, float **out, int32_t *out_frames,
                     sil_progress *progress) {
    *out = nullptr;
    *out_frames = 0;
    if (n <= 0 || !samples) {
        sil_fail(SIL_ERR_ARGS, "invalid detect args");
        return -1;
    }
    if (sil_progress_report(progress, SIL_PCT_RESAMPLE_END, SIL_STAGE_DETECT) != 0)
        return -1;

    const int32_t frames = (int32_t)sil_level_count(n);
    sil_heap_ptr<float> curve(static_cast<float *>(malloc((size_t)frames * sizeof(float))));
    if (!curve) {
        sil_fail_memory();
        return -1;
    }
    float *level = curve.get();
    if (n < SIL_FRAME_LEN) {
        // The short-signal level, as the streaming stage ends such a signal.
        sil_level_stage s;
        if (sil_levels_init(&s, 1) != 0)
            return -1;
        const int rc = sil_levels_push(&s, samples, (size_t)n) != 0 || sil_levels_finish(&s) != 0;
        if (!rc)
            level[0] = s.curve[0];
        sil_levels_free(&s);
        if (rc)
            return -1;
        if (sil_progress_report(progress, SIL_PCT_RESAMPLE_END, SIL_STAGE_DETECT) != 0)
            return -1;
    } else {
        // Every frame is whole here; a report goes out every SIL_DETECT_STEP frames.
        for (int64_t k = 0; k < frames; k += SIL_DETECT_STEP) {
            const int64_t end = frames - k < SIL_DETECT_STEP ? frames : k + SIL_DETECT_STEP;
            sil_frame_levels_with(sil_widest_kernel(), samples + SIL_HOP * k, end - k, level + k);
            const int pct = SIL_PCT_RESAMPLE_END +
                            (int)((double)k / (double)frames *
                                  (SIL_PCT_DETECT_END - SIL_PCT_RESAMPLE_END));
            if (sil_progress_report(progress, pct, SIL_STAGE_DETECT) != 0)
                return -1;
        }
    }
    if (sil_progress_report(progress, SIL_PCT_DETECT_END, SIL_STAGE_DETECT) != 0)
        return -1;
    *out = curve.release();
    *out_frames = frames;
    return 0;
}

int sil_detect_chapters(const float *samples, int n, const sil_opts *opts, sil_chapter **out,
                        int *out_n, float *out_removed_s, float *out_duration_s,
                        sil_progress *progress, sil_report_extras *extras) {
    *out = nullptr;
    *out_n = 0;
    if (out_removed_s)
        *out_removed_s = 0.0f;
    if (n < 0 || !opts || (!samples && n != 0)) {
        sil_fail(SIL_ERR_ARGS, "invalid detect args");
        return -1;
    }
    if (n == 0) {
        if (out_duration_s)
            *out_duration_s = 0.0f;
        // No chapters; the members asked for are there, empty.
        if (extras) {
            if (sil_detect_on_levels(nullptr, 0, 0.0f, opts, out, out_n, out_removed_s, extras) != 0)
                return -1;
            sil_report_extras_take_levels(extras, opts, nullptr, 0);
            sil_report_extras_take_speech(extras, opts, nullptr, 0);
        }
        return 0;
    }
    // The duration is handed out once the detect stage has begun (a cancel at
    // its first report leaves it untouched).
    if (sil_progress_report(progress, SIL_PCT_RESAMPLE_END, SIL_STAGE_DETECT) != 0)
        return -1;
    const float duration = (float)n / (float)SIL_ANALYSIS_RATE;
    if (out_duration_s)
        *out_duration_s = duration;
    float *curve_raw = nullptr;
    int32_t frames = 0;
    if (sil_frame_levels(samples, n, &curve_raw, &frames, progress) != 0)
        return -1;
    sil_heap_ptr<float> curve(curve_raw);
    // The speech model over the whole signal, when the options ask for it.
    sil_speech_stage speech{};
    std::unique_ptr<sil_speech_stage, void (*)(sil_speech_stage *)> speech_guard(nullptr,
                                                                                sil_speech_free);
    if (sil_opts_run_speech(opts)) {
        if (sil_speech_init(&speech) != 0)
            return -1;
        speech_guard.reset(&speech);
        if (sil_speech_push(&speech, samples, (size_t)n) != 0 || sil_speech_finish(&speech) != 0)
            return -1;
    }
    if (sil_detect_on_levels(curve.get(), frames, duration, opts, out, out_n, out_removed_s,
                             extras, speech.probs, speech.count) != 0)
        return -1;
    if (extras && sil_report_extras_take_levels(extras, opts, curve.get(), frames))
        curve.release(); // kept for the report
    if (extras && sil_report_extras_take_speech(extras, opts, speech.probs, speech.count))
        speech.probs = nullptr; // kept for the report
    return 0;
}
