// Signals and small wrappers shared by the detector and analysis tests.
//
// Signals are 16 kHz mono buffers built from 10 ms hops of 160 samples.
// Frame k covers hops k and k + 1, so a hop pattern fixes every frame's
// level: a frame over two zero hops is silent (-120 dB), a frame touching a
// hop of amplitude 0.5 is loud (-6 dB or -9 dB).
#ifndef SILSPLIT_TESTS_SIGNAL_HELPERS_H
#define SILSPLIT_TESTS_SIGNAL_HELPERS_H

#include "engine.h"
#include "whole_buffer.h"

#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

namespace sigtest {

constexpr int kRate = 16000;
constexpr int kHop = 160;

// Level of a frame whose samples all have magnitude amp.
inline float level_of(double amp) { return static_cast<float>(20.0 * std::log10(amp)); }

// Start time of frame f, as the detector computes chapter times.
inline float frame_time(int f) { return static_cast<float>(f) * 160.0f / 16000.0f; }

inline int hundredths(double s) { return static_cast<int>(std::lround(s * 100.0)); }

// A silent signal of the given length (whole hundredths of a second).
inline std::vector<float> silence(double seconds) {
    return std::vector<float>(static_cast<size_t>(hundredths(seconds)) * kHop, 0.0f);
}

// Fills hops f0 + 1 .. f1 - 1 with amp, where f = t * 100. Between silences
// the loud frames then run exactly from frame f0 to frame f1 - 1, so the
// scan sees the stretch of sound [t0, t1).
inline void add_burst(std::vector<float> &s, double t0, double t1, float amp = 0.5f) {
    size_t a = static_cast<size_t>(hundredths(t0) + 1) * kHop;
    size_t b = static_cast<size_t>(hundredths(t1)) * kHop;
    for (size_t i = a; i < b && i < s.size(); ++i) s[i] = amp;
}

// A signal of `seconds` holding the given bursts of amplitude 0.5.
inline std::vector<float> bursts(double seconds, std::vector<std::pair<double, double>> spans) {
    std::vector<float> s = silence(seconds);
    for (const auto &sp : spans) add_burst(s, sp.first, sp.second);
    return s;
}

// Bursts of two loud hops, each followed by a number of silent hops: the
// first by first_gap, the others by gap. With two silent hops one silent
// frame lies between chapters, with three two frames.
inline std::vector<float> comb(int count, int first_gap, int gap) {
    std::vector<float> s;
    for (int c = 0; c < count; ++c) {
        s.insert(s.end(), 2 * kHop, 0.5f);
        s.insert(s.end(), static_cast<size_t>(c == 0 ? first_gap : gap) * kHop, 0.0f);
    }
    return s;
}

inline sil_opts make_opts(float threshold_db, float min_silence_s, float min_chapter_s,
                          float padding_s, float max_chapter_s) {
    sil_opts o;
    sil_opts_defaults(&o); // every newer rule off
    o.threshold_db = threshold_db;
    o.min_silence_s = min_silence_s;
    o.min_chapter_s = min_chapter_s;
    o.padding_s = padding_s;
    o.max_chapter_s = max_chapter_s;
    o.sample_rate = 0;
    return o;
}

inline sil_opts default_opts() { return make_opts(-40.0f, 0.8f, 5.0f, 0.25f, 0.0f); }

// Everything one detector call hands back.
struct Detection {
    int rc = 0;
    bool list_null = true;
    std::vector<sil_chapter> chapters;
    float removed_s = 0;
    float duration_s = 0;
    std::string error;
};

inline Detection detect(const float *samples, int n, const sil_opts *opts,
                        sil_progress *progress = nullptr) {
    Detection d;
    sil_chapter *out = reinterpret_cast<sil_chapter *>(&d); // must be overwritten
    int out_n = -7;
    d.removed_s = -7.0f;
    d.duration_s = -7.0f;
    sil_clear_error();
    d.rc = sil_detect_chapters(samples, n, opts, &out, &out_n, &d.removed_s, &d.duration_s,
                               progress);
    d.error = sil_get_error();
    d.list_null = (out == nullptr);
    if (out != nullptr && out != reinterpret_cast<sil_chapter *>(&d)) {
        d.chapters.assign(out, out + (out_n > 0 ? out_n : 0));
        std::free(out);
    } else if (out_n != 0) {
        d.chapters.resize(static_cast<size_t>(out_n > 0 ? out_n : 1));
    }
    return d;
}

inline Detection detect(const std::vector<float> &s, const sil_opts &opts,
                        sil_progress *progress = nullptr) {
    return detect(s.data(), static_cast<int>(s.size()), &opts, progress);
}

// One progress callback call.
struct ProgressCall {
    int pct;
    std::string stage;
    bool operator==(const ProgressCall &o) const { return pct == o.pct && stage == o.stage; }
};

inline std::ostream &operator<<(std::ostream &os, const ProgressCall &c) {
    return os << "(" << c.pct << ", " << c.stage << ")";
}

// Records every call; cancels at call number cancel_at (0-based), if set.
struct ProgressLog {
    std::vector<ProgressCall> calls;
    int cancel_at = -1;
};

inline int record_progress(int pct, const char *stage, void *user) {
    auto *log = static_cast<ProgressLog *>(user);
    log->calls.push_back({pct, stage});
    return static_cast<int>(log->calls.size()) - 1 == log->cancel_at ? 1 : 0;
}

inline sil_progress progress_for(ProgressLog *log) {
    return sil_progress{record_progress, log, -1, 0};
}

} // namespace sigtest

#endif // SILSPLIT_TESTS_SIGNAL_HELPERS_H
