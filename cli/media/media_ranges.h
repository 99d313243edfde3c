// Decoding one compressed input on several threads: the stream is cut into
// time ranges, each decoded by a decoder of its own that starts a little
// before its range (the pre-roll), and the ranges' samples are handed to one
// sink in order, exactly as one decoder from the start hands them on.
//
// Each decoder goes a little past the end of its range; those samples are
// compared, bit for bit, with the first samples of the next range. Where
// they differ (a decoder whose state reaches further back than the
// pre-roll), the earlier range's decoder goes on to the end of the input
// alone, so that the result is always one decoder's.
#ifndef SILSPLIT_CLI_MEDIA_MEDIA_RANGES_H
#define SILSPLIT_CLI_MEDIA_MEDIA_RANGES_H

#include "media_source.h"

#include <string>

namespace silsplit_cli {

// Told once why an input is decoded by one decoder after all; the text
// reads "decoding on one thread: REASON".
struct MediaNote {
    void (*fn)(void *user, const std::string &text) = nullptr;
    void *user = nullptr;
};

// Why in (opened by media_open from path) is not decoded in ranges: a pipe,
// a codec other than MP3, FLAC and Opus (AAC among them: its noise
// substitution draws from a sequence that runs from the first frame), a
// stream without a known length; "" when it can be.
std::string media_ranges_refusal(const MediaInput &in);

// As media_decode, with up to ranges decoders at once (path is the file in
// was opened from). One range, or an input that media_ranges_refusal
// refuses, goes through media_decode itself; the refusal reaches note.
// Progress and stop work over all threads; the sink is called from the
// calling thread only.
int media_decode_ranges(const std::string &path, MediaInput *in, int ranges, const MediaSink &sink,
                        sil_progress *progress, int max_pct, const MediaNote &note,
                        MediaStats *stats, std::string *error);

} // namespace silsplit_cli

#endif
