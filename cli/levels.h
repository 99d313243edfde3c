// The levels of each chapter of a recording, measured on its samples at the
// recording's own rate and channels, over the frame ranges a split cuts (so
// a chapter's levels are those of its chapter file): integrated loudness
// (EBU R128, from libebur128), RMS, sample and true peak, the noise floor,
// and the room tone at the head and the tail. A WAV file the library reads
// is read again chapter by chapter; anything else is decoded once more by
// the media module (media/media_levels.h).
//
// Definitions (dB relative to full scale, 0 dB = a full-scale square wave,
// so a full-scale sine is -3.01 dB RMS):
//   rms_db          the RMS of every sample of every channel.
//   peak_db         the largest sample magnitude (sample peak).
//   true_peak_db    libebur128's true peak (4x oversampled below 96 kHz),
//                   when asked for: it makes the measuring about four times
//                   slower (NaN otherwise).
//   noise_floor_db  the chapter cut into 400 ms blocks from its start (a
//                   last, shorter block counts only when it is the only
//                   one); the RMS of the quietest 10 % of them (at least
//                   one block).
//   head_s, tail_s  the room tone before the first and after the last
//                   10 ms block of sound: one whose RMS is at most 20 dB
//                   below the chapter's RMS and at least -70 dB (the whole
//                   chapter when none is).
// A quantity of digital silence is -inf (null in JSON, "-inf" in the table).
#ifndef SILSPLIT_CLI_LEVELS_H
#define SILSPLIT_CLI_LEVELS_H

#include "engine.h"

#include <functional>
#include <string>
#include <vector>

namespace silsplit_cli {

struct ChapterLevels {
    double integrated_lufs = 0; // -inf when no block passes the absolute gate
    double rms_db = 0;
    double peak_db = 0;
    double true_peak_db = 0;
    double noise_floor_db = 0;
    double head_s = 0;
    double tail_s = 0;
};

struct LevelOptions {
    bool true_peak = false;
    int jobs = 1; // chapters measured at once, each by its own thread and reader
};

// Measures frames [start[k], end[k]) of the WAV file at path for each k.
// progress(done, total), called from this thread only, hears the frames
// measured so far and returns false to cancel. 0, 1 when cancelled, or -1
// with *error set ("PATH: reason").
int measure_wav_levels(const std::string &path, const std::vector<int64_t> &start,
                       const std::vector<int64_t> &end, const LevelOptions &opts,
                       const std::function<bool(int64_t, int64_t)> &progress,
                       std::vector<ChapterLevels> *out, std::string *error);

struct MediaRun;

// Measures the chapters of a recording that FFmpeg decodes (never standard
// input), in one decoding pass at its own channels (speakers from its
// channel layout): ranges(rate, &start, &end) gives the chapters' frame
// ranges, counted from the first decoded frame as the analysis counts them,
// once the rate is known. run->stream chooses the stream, run->stop cancels,
// run->progress hears the share read as "levels". 0, 1 when cancelled, or
// -1 with *error set.
int measure_media_levels(
    const std::string &path, MediaRun *run,
    const std::function<void(int32_t, std::vector<int64_t> *, std::vector<int64_t> *)> &ranges,
    const LevelOptions &opts, std::vector<ChapterLevels> *out, std::string *error);

// The frame ranges a split of the WAV file at path cuts for the chapters
// (sil_chapter_frame_ranges at the file's rate and length). false with
// *error set when the library's reader cannot read the file.
bool wav_chapter_ranges(const std::string &path, const std::vector<sil_chapter> &chapters,
                        std::vector<int64_t> *start, std::vector<int64_t> *end, std::string *error);

} // namespace silsplit_cli

#endif
