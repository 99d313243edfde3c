// Decoding one compressed input on several threads. One demuxer reads the
// stream in order and cuts its packets into short ranges (half a minute or
// so); the ranges are handed out in turn to decoder threads, each range
// decoded by a decoder of its own that starts on the packets just before it
// (the pre-roll), and the ranges' samples go to one sink in order, exactly
// as one decoder from the start hands them on. While the sink takes one
// range, the threads decode the next ones.
//
// Each decoder goes a little past the end of its range; those samples are
// compared, bit for bit, with the first samples of the next range. Where
// they differ (a decoder whose state reaches further back than the
// pre-roll), the next range is decoded again with longer pre-rolls; where
// none agrees, one decoder decodes the input again from its start and
// hands on what follows what was already handed on, so that the result is
// always one decoder's.
//
// No range, pre-roll or seam crosses a link of a chained stream: the range
// that holds a link's last packets drains its decoder, and the next link's
// first range starts with a decoder of its own, as media_decode's one
// decoder does there. Every decoder opens from a copy of its link's codec
// parameters that the demuxer's thread took, never from the stream's own,
// which the demuxer replaces at the next link.
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

// The lengths a codec's ranges are cut to, in seconds; 0 (or less) takes
// the codec's own. Tests make them short, or the pre-roll too short to
// hold, to try many seams, seams decoded again with a longer pre-roll, and
// a seam that fails.
struct MediaRangeSizes {
    double range_s = 0.0;
    double preroll_s = -1.0; // below 0: the codec's own; 0: no pre-roll
    bool retry = true;       // a failed seam is decoded again with longer pre-rolls
};

// Why in (opened by media_open from path) is not decoded in ranges: a pipe,
// a codec other than MP3, FLAC and Opus (AAC among them: its noise
// substitution draws from a sequence that runs from the first frame); ""
// when it can be.
std::string media_ranges_refusal(const MediaInput &in);

// As media_decode, with up to threads decoders at once (path is the file in
// was opened from). One thread, a short input or an input that
// media_ranges_refusal refuses goes through media_decode itself; the
// refusal reaches note. Progress and stop work over all threads; the sink
// is called from the calling thread only.
int media_decode_ranges(const std::string &path, MediaInput *in, int threads, const MediaSink &sink,
                        sil_progress *progress, int max_pct, const MediaNote &note,
                        MediaStats *stats, std::string *error,
                        const MediaRangeSizes &sizes = MediaRangeSizes{});

} // namespace silsplit_cli

#endif
