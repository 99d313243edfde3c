// The decoded audio of a recording at its own channels, for the levels per
// chapter (the program's levels.h measures it): one decoding pass through
// FFmpeg over the chosen stream, its frames handed on as interleaved
// doubles, numbered from the first decoded frame as the analysis numbers
// them (frames the decoder cannot use, or of another rate or channel count
// than the first, are skipped as the analysis skips them).
#ifndef SILSPLIT_CLI_MEDIA_MEDIA_LEVELS_H
#define SILSPLIT_CLI_MEDIA_MEDIA_LEVELS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace silsplit_cli {

struct MediaRun;

// Receives the decoded audio. start comes once, before the first block,
// with the stream's rate and, per channel, its speaker as the bit number of
// a WAV channel mask (0 front left, 1 front right, 2 front centre, 3 low
// frequency, 4 and 5 back left and right, 9 and 10 side left and right;
// -1 unknown). push gets blocks of whole frames. Each returns 0 to go on,
// or -1 to stop, with its message in *error.
struct ChannelSink {
    int (*start)(void *user, int sample_rate, const std::vector<int> &speakers,
                 std::string *error) = nullptr;
    int (*push)(void *user, const double *samples, size_t frames, std::string *error) = nullptr;
    void *user = nullptr;
};

// Decodes path (never standard input) through FFmpeg, run->stream's stream
// or the first audio stream, to its end; run->stop cancels and
// run->progress hears the share read as the "levels" stage. 0, or -1 with
// *error set ("cancelled" when stopped).
int media_decode_channels(const std::string &path, MediaRun *run, const ChannelSink &sink,
                          std::string *error);

} // namespace silsplit_cli

#endif
