// Reading recordings through FFmpeg's libraries: any file or pipe with an
// audio stream that FFmpeg decodes, mixed to one channel (the mean of the
// channels, as the library's WAV reader computes it) and handed on in blocks
// of frames at the stream's own rate (the rate it starts with: a later one is
// resampled to it).
#ifndef SILSPLIT_CLI_MEDIA_MEDIA_SOURCE_H
#define SILSPLIT_CLI_MEDIA_MEDIA_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVPacket;
struct AVFrame;
struct AVCodecParameters;
struct AVRational;
struct SwrContext;
struct sil_progress;

namespace silsplit_cli {

// ---------------------------------------------------------------------------
// Owners of FFmpeg's contexts
// ---------------------------------------------------------------------------
struct InputCloser {
    void operator()(AVFormatContext *f) const;
};
struct CodecCloser {
    void operator()(AVCodecContext *c) const;
};
struct IoCloser { // a custom AVIOContext and its buffer
    void operator()(AVIOContext *io) const;
};
struct PacketCloser {
    void operator()(AVPacket *p) const;
};
struct FrameCloser {
    void operator()(AVFrame *f) const;
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using IoPtr = std::unique_ptr<AVIOContext, IoCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameCloser>;

// Asked between packets and inside FFmpeg's blocking reads: non-zero stops
// the work with "cancelled".
struct MediaStop {
    int (*fn)(void *user) = nullptr;
    void *user = nullptr;
};

// Bytes read through a custom I/O context: standard input, or a block of
// memory (fuzzing). When spool is set, every byte read from standard input
// is also written there, so that a pipe can be read a second time.
struct MediaBytes {
    int fd = -1;                   // standard input or another pipe; -1 for memory
    const uint8_t *data = nullptr; // memory input
    size_t size = 0;
    size_t pos = 0;
    FILE *spool = nullptr; // not owned
    bool spool_failed = false;
    int spool_errno = 0; // why the copy failed
    bool owns_fd = false; // a FIFO or device opened by name: closed with this
    MediaStop stop;
    // What came through a pipe: its first kHeadBytes bytes (the container's
    // header, for the sizes it declares), how many in all, and whether the
    // writer closed it.
    static constexpr size_t kHeadBytes = 1 << 16;
    std::vector<uint8_t> head;
    int64_t total = 0;
    bool ended = false;
    MediaBytes() = default;
    MediaBytes(const MediaBytes &) = delete;
    MediaBytes &operator=(const MediaBytes &) = delete;
    ~MediaBytes();
};

// One opened input: the demuxer, the chosen audio stream and its decoder.
struct MediaInput {
    std::unique_ptr<MediaBytes> bytes; // custom I/O state; NULL for a named file
    IoPtr io;                          // declared before fmt: freed after it
    InputPtr fmt;
    CodecPtr dec;
    int stream = -1; // index of the audio stream
    MediaStop stop;
};

// What one decoding pass saw.
struct MediaStats {
    int sample_rate = 0;
    int64_t frames = 0;             // mono frames handed on
    int64_t origin_pts = INT64_MIN; // stream time of the first frame handed on (stream time base)
    long long corrupt = 0;          // packets or frames skipped as undecodable
    int64_t end_pts = INT64_MIN;    // stream time where the last packet read ends
    // Where the stream first changes its rate (a frame of the timeline, -1:
    // nowhere) and its rate from there.
    int64_t rate_change_at = -1;
    int changed_rate = 0;
};

// Receives the decoded audio. start comes once, before the first block (or
// at the end when nothing was decoded), with the stream's rate; push gets
// blocks of mono frames. Each returns 0 to go on, or -1 to stop, with its
// message in *error.
struct MediaSink {
    int (*start)(void *user, int sample_rate, std::string *error) = nullptr;
    int (*push)(void *user, const float *frames, size_t n, std::string *error) = nullptr;
    void *user = nullptr;
};

// The decoded frames' way to the sink: one timeline at the rate of the
// first frame. Frames at another rate (a stream that changes its rate
// part-way, as two MP3 files one after the other do) are resampled to it:
// each run of frames at one other rate, n frames in all, takes
// media_timeline_frames(n) frames of the timeline, exactly.
struct SwrCloser {
    void operator()(SwrContext *s) const;
};
struct MediaTimeline {
    const MediaSink *sink = nullptr;
    MediaStats *stats = nullptr;
    bool started = false;
    // The run being resampled: its rate, the frames that came in, and
    // those handed on.
    std::unique_ptr<SwrContext, SwrCloser> swr;
    int run_rate = 0;
    int64_t run_in = 0;
    int64_t run_out = 0;
    std::vector<float> buf;
};

// Frames of the timeline at rate to for a run of n frames at rate from.
int64_t media_timeline_frames(int64_t n, int from, int to);

// The frames of the timeline that frames at another rate take, counted as
// media_timeline_push counts them, for a reading that places packets on the
// timeline without handing samples on (the packet copy). Each run's frames
// are counted as they come, rounded; the run's total is exact.
struct MediaTimelineCount {
    int rate = 0; // the timeline's
    int run_rate = 0;
    int64_t run_in = 0;
    int64_t run_out = 0;
};
// Timeline frames for n more frames at rate.
int64_t media_timeline_count(MediaTimelineCount *c, int rate, int64_t n);

// Hands on n mono frames at rate (pts: the stream time of the first, for
// the stats' origin). Starts the sink at the first call. 0, or -1 with
// *error set (a sink's refusal, or out of memory).
int media_timeline_push(MediaTimeline *t, int rate, int64_t pts, const float *mono, size_t n,
                        std::string *error);
// Counts a packet or frame that could not be used.
void media_timeline_skip(MediaTimeline *t);
// Hands on what a run being resampled still holds; then, when no frame came
// at all, starts the sink at fallback_rate (0 or less: "no audio ..."). 0,
// or -1 with *error set.
int media_timeline_end(MediaTimeline *t, int fallback_rate, std::string *error);

// Opens path ("-": standard input, read as a pipe) and its first audio
// stream, or the stream with index stream_index (>= 0). When spool is not
// NULL, standard input is copied there as it is read. whole_file reads a
// WAV file's audio to the end of the file, whatever its data size says.
// as_stream reads a regular file as standard input is read (one descriptor,
// no seeking), so that the copy of a pipe is demuxed as the pipe was. 0,
// or -1 with FFmpeg's reason (or ours) in *error.
int media_open(const std::string &path, int stream_index, FILE *spool, MediaStop stop,
               MediaInput *in, std::string *error, bool whole_file = false,
               bool as_stream = false);
// As media_open, over a block of memory that stays valid while in is used.
int media_open_memory(const uint8_t *data, size_t size, int stream_index, MediaInput *in,
                      std::string *error);

// A decoder of its own for in's chosen stream, opened as media_open opens
// in->dec. 0, or -1 with *error set.
int media_open_decoder(const MediaInput &in, CodecPtr *dec, std::string *error);

// A copy of a stream's codec parameters, taken by the thread that reads
// the stream: the demuxer changes its own in place (a chained Ogg stream's
// next link brings its own header), so a decoder on another thread opens
// from such a copy.
struct ParamsCloser {
    void operator()(AVCodecParameters *p) const;
};
using ParamsPtr = std::unique_ptr<AVCodecParameters, ParamsCloser>;
ParamsPtr media_copy_params(const AVCodecParameters *par); // NULL when out of memory

// A decoder for a stream of parameters par in time base tb. 0, or -1 with
// *error set.
int media_open_decoder_for(const AVCodecParameters *par, AVRational tb, CodecPtr *dec,
                           std::string *error);

// Whether par starts a new link of the stream decoded with parameters
// link: another codec or other header bytes (the channels and the
// pre-skip of an Ogg Opus link, a Vorbis link's own headers). A new link
// is decoded by a new decoder, after the old one has handed on its last
// frames, as its encoder began it; a rate that changes inside one link
// (MP3's frames each say theirs) is the decoder's to follow.
bool media_new_link(const AVCodecParameters *link, const AVCodecParameters *par);

// Reads the next packet of the stream with index stream (-1: of any stream)
// into pkt, asking in->stop before each read. 1, 0 at the end of the input,
// or -1 with *error set ("cancelled" when stopped).
int media_next_packet(MediaInput *in, int stream, AVPacket *pkt, std::string *error);

// Decodes the chosen stream to its end and hands its frames to sink, on
// one timeline (MediaTimeline); each link of a chained stream by a decoder of
// its own (in->dec is replaced at each new link). progress (may be NULL) hears the position in the stream as the "read"
// stage, from 0 up to at most max_pct. 0, or -1 with *error set ("cancelled"
// when stopped).
int media_decode(MediaInput *in, const MediaSink &sink, sil_progress *progress, int max_pct,
                 MediaStats *stats, std::string *error);

// One decoded frame mixed to one channel into out (f->nb_samples values),
// as media_decode hands frames on. 0, or -1 for a sample format without a
// meaning as audio levels.
int media_mix_frame(const AVFrame *f, float *out);

// The message for a copy of standard input that could not be kept, with the
// system's reason err (an errno value; 0 when none is known).
std::string spool_error_text(int err);

// Reads what is left of a pipe input to its end (into the spool, if any).
// 0, or -1 with *error set.
int media_drain(MediaInput *in, std::string *error);

// FFmpeg's text for an error code.
std::string media_error_text(int code);

} // namespace silsplit_cli

#endif
