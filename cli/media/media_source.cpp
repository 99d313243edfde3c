// Decoding recordings with FFmpeg's libraries for the analysis: demuxer,
// decoder (the send/receive loop), the mix to one channel and the custom I/O
// that reads pipes and memory.
#include "media_source.h"

#include "engine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <strings.h>

namespace silsplit_cli {

void InputCloser::operator()(AVFormatContext *f) const { avformat_close_input(&f); }
void CodecCloser::operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
void IoCloser::operator()(AVIOContext *io) const {
    if (io)
        av_freep(&io->buffer); // FFmpeg may have swapped the buffer we gave it
    avio_context_free(&io);
}
void PacketCloser::operator()(AVPacket *p) const { av_packet_free(&p); }
void FrameCloser::operator()(AVFrame *f) const { av_frame_free(&f); }
void ParamsCloser::operator()(AVCodecParameters *p) const { avcodec_parameters_free(&p); }
void SwrCloser::operator()(SwrContext *s) const { swr_free(&s); }

std::string media_error_text(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

// ---------------------------------------------------------------------------
// Custom I/O: pipes and memory
// ---------------------------------------------------------------------------

static int stop_requested(const MediaStop &stop) { return stop.fn && stop.fn(stop.user) != 0; }

MediaBytes::~MediaBytes() {
    if (owns_fd && fd >= 0)
        close(fd);
}

static int interrupt_cb(void *opaque) {
    return stop_requested(*static_cast<const MediaStop *>(opaque));
}

static int read_fd(void *opaque, uint8_t *buf, int size) {
    MediaBytes *b = static_cast<MediaBytes *>(opaque);
    for (;;) {
        // Waits in short steps, asking the stop between them: the signal
        // that raised it may have gone to another thread, leaving a read
        // here blocked.
        struct pollfd pfd = {b->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, 100);
        if (ready < 0 && errno != EINTR)
            return AVERROR(errno);
        if (ready <= 0) {
            if (stop_requested(b->stop))
                return AVERROR_EXIT;
            continue;
        }
        const ssize_t n = read(b->fd, buf, (size_t)size);
        if (n > 0) {
            if (b->spool && !b->spool_failed && fwrite(buf, 1, (size_t)n, b->spool) != (size_t)n) {
                b->spool_failed = true;
                b->spool_errno = errno;
            }
            if (b->head.size() < MediaBytes::kHeadBytes)
                b->head.insert(b->head.end(), buf,
                               buf + std::min((size_t)n, MediaBytes::kHeadBytes - b->head.size()));
            b->total += n;
            return (int)n;
        }
        if (n == 0) {
            b->ended = true;
            return AVERROR_EOF;
        }
        if (errno != EINTR && errno != EAGAIN)
            return AVERROR(errno);
        if (stop_requested(b->stop))
            return AVERROR_EXIT;
    }
}

static int read_memory(void *opaque, uint8_t *buf, int size) {
    MediaBytes *b = static_cast<MediaBytes *>(opaque);
    const size_t left = b->size - b->pos;
    if (left == 0)
        return AVERROR_EOF;
    const size_t n = left < (size_t)size ? left : (size_t)size;
    memcpy(buf, b->data + b->pos, n);
    b->pos += n;
    return (int)n;
}

static int64_t seek_memory(void *opaque, int64_t offset, int whence) {
    MediaBytes *b = static_cast<MediaBytes *>(opaque);
    if (whence & AVSEEK_SIZE)
        return (int64_t)b->size;
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = (int64_t)b->pos;
        break;
    case SEEK_END:
        base = (int64_t)b->size;
        break;
    default:
        return AVERROR(EINVAL);
    }
    // Offsets from the input are untrusted: no overflow, no place outside.
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0 ||
        base + offset > (int64_t)b->size)
        return AVERROR(EINVAL);
    b->pos = (size_t)(base + offset);
    return (int64_t)b->pos;
}

constexpr int kIoBuffer = 1 << 16;

static int make_custom_io(MediaInput *in, std::string *error) {
    unsigned char *buf = static_cast<unsigned char *>(av_malloc(kIoBuffer));
    if (!buf) {
        *error = "out of memory";
        return -1;
    }
    MediaBytes *b = in->bytes.get();
    const bool memory = b->fd < 0;
    in->io.reset(avio_alloc_context(buf, kIoBuffer, 0, b, memory ? read_memory : read_fd, nullptr,
                                    memory ? seek_memory : nullptr));
    if (!in->io) {
        av_free(buf);
        *error = "out of memory";
        return -1;
    }
    in->io->seekable = memory ? AVIO_SEEKABLE_NORMAL : 0;
    return 0;
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

static int pick_stream(AVFormatContext *fmt, int wanted, std::string *error) {
    if (wanted >= 0) {
        if ((unsigned)wanted >= fmt->nb_streams) {
            *error = "no stream " + std::to_string(wanted) + " (the input has " +
                     std::to_string(fmt->nb_streams) + ")";
            return -1;
        }
        if (fmt->streams[wanted]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            const char *kind = av_get_media_type_string(fmt->streams[wanted]->codecpar->codec_type);
            *error = "stream " + std::to_string(wanted) + " is not audio but " +
                     (kind ? kind : "unknown");
            return -1;
        }
        return wanted;
    }
    for (unsigned i = 0; i < fmt->nb_streams; i++)
        if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            return (int)i;
    *error = "no audio stream";
    return -1;
}

ParamsPtr media_copy_params(const AVCodecParameters *par) {
    ParamsPtr copy(avcodec_parameters_alloc());
    if (copy && avcodec_parameters_copy(copy.get(), par) < 0)
        copy.reset();
    return copy;
}

bool media_new_link(const AVCodecParameters *link, const AVCodecParameters *par) {
    if (link->codec_id != par->codec_id || link->extradata_size != par->extradata_size)
        return true;
    return link->extradata_size > 0 &&
           memcmp(link->extradata, par->extradata, (size_t)link->extradata_size) != 0;
}

int media_open_decoder(const MediaInput &in, CodecPtr *dec, std::string *error) {
    const AVStream *st = in.fmt->streams[in.stream];
    return media_open_decoder_for(st->codecpar, st->time_base, dec, error);
}

int media_open_decoder_for(const AVCodecParameters *par, AVRational tb, CodecPtr *dec,
                           std::string *error) {
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        const char *name = avcodec_get_name(par->codec_id);
        *error = std::string("no decoder for ") + (name ? name : "this codec");
        return -1;
    }
    dec->reset(avcodec_alloc_context3(codec));
    if (!*dec) {
        *error = "out of memory";
        return -1;
    }
    int rc = avcodec_parameters_to_context(dec->get(), par);
    if (rc < 0) {
        *error = media_error_text(rc);
        return -1;
    }
    // Needed for the decoder to drop the encoder's priming and padding.
    (*dec)->pkt_timebase = tb;
    rc = avcodec_open2(dec->get(), codec, nullptr);
    if (rc < 0) {
        *error = media_error_text(rc);
        return -1;
    }
    return 0;
}

static int open_input(const char *url, MediaInput *in, int stream_index, std::string *error,
                      bool whole_file = false) {
    AVFormatContext *fmt = avformat_alloc_context();
    if (!fmt) {
        *error = "out of memory";
        return -1;
    }
    fmt->interrupt_callback.callback = interrupt_cb;
    fmt->interrupt_callback.opaque = &in->stop;
    if (in->io) {
        fmt->pb = in->io.get();
        fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    // The WAV demuxer's ignore_length reads the data chunk to the end of
    // the file; read as a stream (the file protocol's seekable=0), the
    // demuxer does not look for chunks after the size the header states,
    // which in the audio past a wrapped size means stepping through every
    // run of zero bytes eight at a time. On failure FFmpeg frees the
    // context itself.
    AVDictionary *opts = nullptr;
    if (whole_file) {
        av_dict_set(&opts, "ignore_length", "1", 0);
        av_dict_set(&opts, "seekable", "0", 0);
    }
    int rc = avformat_open_input(&fmt, url, nullptr, &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        *error = stop_requested(in->stop) ? "cancelled" : media_error_text(rc);
        return -1;
    }
    in->fmt.reset(fmt);
    rc = avformat_find_stream_info(fmt, nullptr);
    if (rc < 0) {
        *error = stop_requested(in->stop) ? "cancelled" : media_error_text(rc);
        return -1;
    }
    in->stream = pick_stream(fmt, stream_index, error);
    if (in->stream < 0)
        return -1;
    for (unsigned i = 0; i < fmt->nb_streams; i++) // only the chosen stream is demuxed
        fmt->streams[i]->discard = (int)i == in->stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;

    return media_open_decoder(*in, &in->dec, error);
}

int media_open(const std::string &path, int stream_index, FILE *spool, MediaStop stop,
               MediaInput *in, std::string *error, bool whole_file, bool as_stream) {
    // FFmpeg's reasons reach the user through the return codes, one message
    // per file; its own log would repeat them and add warnings of its own.
    av_log_set_level(AV_LOG_QUIET);
    *in = MediaInput{};
    in->stop = stop;
    if (path == "-") {
        in->bytes.reset(new MediaBytes);
        in->bytes->fd = STDIN_FILENO;
        in->bytes->spool = spool;
        in->bytes->stop = stop;
        if (make_custom_io(in, error) != 0)
            return -1;
        return open_input("pipe:", in, stream_index, error);
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && (as_stream || !S_ISREG(st.st_mode))) {
        // A FIFO or a device is read as standard input is, through one
        // descriptor, opened without waiting for a writer: the reads wait
        // for data (and a writer) in steps that ask the stop.
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *error = strerror(errno);
            return -1;
        }
        in->bytes.reset(new MediaBytes);
        in->bytes->fd = fd;
        in->bytes->owns_fd = true;
        in->bytes->spool = spool;
        in->bytes->stop = stop;
        if (make_custom_io(in, error) != 0)
            return -1;
        return open_input("pipe:", in, stream_index, error);
    }
    // "file:" keeps names with a colon from being taken for protocols.
    return open_input(("file:" + path).c_str(), in, stream_index, error, whole_file);
}

int media_open_memory(const uint8_t *data, size_t size, int stream_index, MediaInput *in,
                      std::string *error) {
    av_log_set_level(AV_LOG_QUIET);
    *in = MediaInput{};
    in->bytes.reset(new MediaBytes);
    in->bytes->data = data;
    in->bytes->size = size;
    if (make_custom_io(in, error) != 0)
        return -1;
    return open_input("", in, stream_index, error);
}

std::string spool_error_text(int err) {
    return std::string("cannot keep a copy of standard input beside the output: ") +
           (err ? strerror(err) : "write error") +
           " (standard input is kept there until its chapters are written: make room, or "
           "choose a folder on another disk)";
}

int media_drain(MediaInput *in, std::string *error) {
    MediaBytes *b = in->bytes.get();
    if (!b || b->fd < 0)
        return 0;
    // What the demuxer buffered but did not use was spooled when it was read;
    // only the bytes still in the pipe are left.
    std::vector<uint8_t> buf(kIoBuffer);
    for (;;) {
        const int n = read_fd(b, buf.data(), (int)buf.size());
        if (n == AVERROR_EOF)
            break;
        if (n < 0) {
            *error = n == AVERROR_EXIT ? "cancelled" : media_error_text(n);
            return -1;
        }
    }
    if (b->spool_failed) {
        *error = spool_error_text(b->spool_errno);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Reading packets
// ---------------------------------------------------------------------------

int media_next_packet(MediaInput *in, int stream, AVPacket *pkt, std::string *error) {
    for (;;) {
        if (stop_requested(in->stop)) {
            *error = "cancelled";
            return -1;
        }
        const int rc = av_read_frame(in->fmt.get(), pkt);
        if (rc == AVERROR_EOF)
            return 0;
        if (rc < 0) {
            *error = stop_requested(in->stop) ? "cancelled" : media_error_text(rc);
            return -1;
        }
        if (stream < 0 || pkt->stream_index == stream)
            return 1;
        av_packet_unref(pkt);
    }
}

// ---------------------------------------------------------------------------
// Mixing to one channel
// ---------------------------------------------------------------------------

// Every sample as the WAV reader would decode it: a float (integer samples
// scaled by a power of two), then added in double in channel order and
// divided by the channel count.
template <typename T> static inline T load(const uint8_t *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

static inline float sample_value(const uint8_t *p, int fmt) {
    switch (fmt) {
    case AV_SAMPLE_FMT_U8:
        return (float)((int)*p - 128) * (1.0f / 128.0f);
    case AV_SAMPLE_FMT_S16:
        return (float)load<int16_t>(p) * (1.0f / 32768.0f);
    case AV_SAMPLE_FMT_S32:
        return (float)load<int32_t>(p) * (1.0f / 2147483648.0f);
    case AV_SAMPLE_FMT_S64:
        return (float)load<int64_t>(p) * (1.0f / 9223372036854775808.0f);
    case AV_SAMPLE_FMT_DBL:
        return (float)load<double>(p);
    default:
        return load<float>(p);
    }
}

// Planar frames hold a plane per channel, interleaved ones the channels of
// a frame side by side. Two channels, the common case, have a loop of
// their own that the compiler turns into vector code; the sum is the same,
// 0.0 plus each channel in order, divided by the count.
template <int FMT, bool PLANAR>
static void mix_frames(const AVFrame *f, int channels, float *out) {
    const int n = f->nb_samples;
    const size_t bytes = (size_t)av_get_bytes_per_sample((AVSampleFormat)FMT);
    const size_t step = PLANAR ? bytes : (size_t)channels * bytes;
    const auto first = [&](int c) {
        return PLANAR ? f->extended_data[c] : f->extended_data[0] + (size_t)c * bytes;
    };
    if (channels == 1) {
        const uint8_t *p = first(0);
        for (int i = 0; i < n; i++)
            out[i] = sample_value(p + (size_t)i * step, FMT);
        return;
    }
    if (channels == 2) {
        const uint8_t *p0 = first(0);
        const uint8_t *p1 = first(1);
        for (int i = 0; i < n; i++) {
            double sum = 0.0;
            sum += (double)sample_value(p0 + (size_t)i * step, FMT);
            sum += (double)sample_value(p1 + (size_t)i * step, FMT);
            out[i] = (float)(sum / 2.0);
        }
        return;
    }
    for (int i = 0; i < n; i++) {
        double sum = 0.0;
        for (int c = 0; c < channels; c++)
            sum += (double)sample_value(first(c) + (size_t)i * step, FMT);
        out[i] = (float)(sum / (double)channels);
    }
}

static int mix_to_mono(const AVFrame *f, int channels, float *out) {
    using MixFn = void (*)(const AVFrame *, int, float *);
    static const struct {
        AVSampleFormat format;
        MixFn mix;
    } mixers[] = {
        {AV_SAMPLE_FMT_U8, mix_frames<AV_SAMPLE_FMT_U8, false>},
        {AV_SAMPLE_FMT_S16, mix_frames<AV_SAMPLE_FMT_S16, false>},
        {AV_SAMPLE_FMT_S32, mix_frames<AV_SAMPLE_FMT_S32, false>},
        {AV_SAMPLE_FMT_S64, mix_frames<AV_SAMPLE_FMT_S64, false>},
        {AV_SAMPLE_FMT_FLT, mix_frames<AV_SAMPLE_FMT_FLT, false>},
        {AV_SAMPLE_FMT_DBL, mix_frames<AV_SAMPLE_FMT_DBL, false>},
        {AV_SAMPLE_FMT_U8P, mix_frames<AV_SAMPLE_FMT_U8, true>},
        {AV_SAMPLE_FMT_S16P, mix_frames<AV_SAMPLE_FMT_S16, true>},
        {AV_SAMPLE_FMT_S32P, mix_frames<AV_SAMPLE_FMT_S32, true>},
        {AV_SAMPLE_FMT_S64P, mix_frames<AV_SAMPLE_FMT_S64, true>},
        {AV_SAMPLE_FMT_FLTP, mix_frames<AV_SAMPLE_FMT_FLT, true>},
        {AV_SAMPLE_FMT_DBLP, mix_frames<AV_SAMPLE_FMT_DBL, true>},
    };
    for (const auto &m : mixers) {
        if (m.format == (AVSampleFormat)f->format) {
            m.mix(f, channels, out);
            return 0;
        }
    }
    return -1;
}

int media_mix_frame(const AVFrame *f, float *out) {
    return mix_to_mono(f, f->ch_layout.nb_channels, out);
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// The timeline
// ---------------------------------------------------------------------------

int64_t media_timeline_frames(int64_t n, int from, int to) {
    return from == to ? n : av_rescale_rnd(n, to, from, AV_ROUND_NEAR_INF);
}

int64_t media_timeline_count(MediaTimelineCount *c, int rate, int64_t n) {
    if (rate == c->rate) {
        c->run_rate = 0;
        return n;
    }
    if (rate != c->run_rate) {
        c->run_rate = rate;
        c->run_in = 0;
        c->run_out = 0;
    }
    c->run_in += n;
    const int64_t due = media_timeline_frames(c->run_in, rate, c->rate);
    const int64_t got = due - c->run_out;
    c->run_out = due;
    return got;
}

static int start_timeline(MediaTimeline *t, int rate, std::string *error) {
    t->started = true;
    t->stats->sample_rate = rate;
    return t->sink->start ? t->sink->start(t->sink->user, rate, error) : 0;
}

// Hands on up to the run's due frames of out (n of them); the resampler's
// output is held to the run's exact share of the timeline.
static int push_run(MediaTimeline *t, const float *out, int64_t n, std::string *error) {
    const int64_t due = media_timeline_frames(t->run_in, t->run_rate, t->stats->sample_rate);
    n = std::min(n, due - t->run_out);
    if (n <= 0)
        return 0;
    t->run_out += n;
    t->stats->frames += n;
    return t->sink->push(t->sink->user, out, (size_t)n, error);
}

// Ends the run being resampled: the resampler's last frames, then silence
// up to the run's share, should the filter's delay leave it short.
static int end_run(MediaTimeline *t, std::string *error) {
    if (!t->swr)
        return 0;
    for (;;) {
        const int room = 4096;
        t->buf.resize(room);
        uint8_t *out = reinterpret_cast<uint8_t *>(t->buf.data());
        const int got = swr_convert(t->swr.get(), &out, room, nullptr, 0);
        if (got < 0) {
            *error = media_error_text(got);
            return -1;
        }
        if (got == 0)
            break;
        if (push_run(t, t->buf.data(), got, error) != 0)
            return -1;
    }
    const int64_t due = media_timeline_frames(t->run_in, t->run_rate, t->stats->sample_rate);
    while (t->run_out < due) {
        const int64_t n = std::min<int64_t>(due - t->run_out, 4096);
        t->buf.assign((size_t)n, 0.0f);
        if (push_run(t, t->buf.data(), n, error) != 0)
            return -1;
    }
    t->swr.reset();
    t->run_rate = 0;
    return 0;
}

static int start_run(MediaTimeline *t, int rate, std::string *error) {
    SwrContext *swr = nullptr;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO; // FFmpeg 5 takes it without const
    int rc = swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, t->stats->sample_rate, &mono,
                                 AV_SAMPLE_FMT_FLT, rate, 0, nullptr);
    t->swr.reset(swr);
    if (rc >= 0)
        rc = swr_init(swr);
    if (rc < 0) {
        *error = rc == AVERROR(ENOMEM) ? "out of memory" : media_error_text(rc);
        return -1;
    }
    t->run_rate = rate;
    t->run_in = 0;
    t->run_out = 0;
    return 0;
}

int media_timeline_push(MediaTimeline *t, int rate, int64_t pts, const float *mono, size_t n,
                        std::string *error) {
    if (!t->started) {
        t->stats->origin_pts = pts;
        if (start_timeline(t, rate, error) != 0)
            return -1;
    }
    if (rate != t->run_rate && end_run(t, error) != 0)
        return -1;
    if (rate == t->stats->sample_rate) {
        t->stats->frames += (int64_t)n;
        return t->sink->push(t->sink->user, mono, n, error);
    }
    if (t->stats->rate_change_at < 0) {
        t->stats->rate_change_at = t->stats->frames;
        t->stats->changed_rate = rate;
    }
    if (!t->swr && start_run(t, rate, error) != 0)
        return -1;
    // In slices whose output stays near kSlice frames: a frame of a low
    // rate becomes many of the timeline's (a FLAC frame may say 1 Hz).
    constexpr int64_t kSlice = 1 << 16;
    const size_t step =
        (size_t)std::max<int64_t>(1, av_rescale(kSlice, rate, t->stats->sample_rate));
    for (size_t done = 0; done < n;) {
        const size_t k = std::min(step, n - done);
        t->run_in += (int64_t)k;
        const int room = swr_get_out_samples(t->swr.get(), (int)k);
        if (room < 0) {
            *error = media_error_text(room);
            return -1;
        }
        t->buf.resize((size_t)room + 1);
        uint8_t *out = reinterpret_cast<uint8_t *>(t->buf.data());
        const uint8_t *in = reinterpret_cast<const uint8_t *>(mono + done);
        const int got = swr_convert(t->swr.get(), &out, room + 1, &in, (int)k);
        if (got < 0) {
            *error = media_error_text(got);
            return -1;
        }
        if (push_run(t, t->buf.data(), got, error) != 0)
            return -1;
        done += k;
    }
    return 0;
}

void media_timeline_skip(MediaTimeline *t) { t->stats->corrupt++; }

int media_timeline_end(MediaTimeline *t, int fallback_rate, std::string *error) {
    if (end_run(t, error) != 0)
        return -1;
    if (t->started)
        return 0;
    if (fallback_rate <= 0) {
        *error = t->stats->corrupt ? "no audio could be decoded" : "no audio in the stream";
        return -1;
    }
    return start_timeline(t, fallback_rate, error);
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

struct DecodeState {
    MediaTimeline line;
    std::vector<float> mono;
};

// Hands on one decoded frame; a frame that cannot be used is counted and
// skipped.
static int take_frame(DecodeState *s, const AVFrame *f, std::string *error) {
    const int channels = f->ch_layout.nb_channels;
    if (f->nb_samples <= 0)
        return 0;
    if (channels <= 0 || f->sample_rate <= 0) {
        media_timeline_skip(&s->line);
        return 0;
    }
    if (s->mono.size() < (size_t)f->nb_samples)
        s->mono.resize((size_t)f->nb_samples);
    if (mix_to_mono(f, channels, s->mono.data()) != 0) {
        media_timeline_skip(&s->line);
        return 0;
    }
    const int64_t pts = f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp;
    return media_timeline_push(&s->line, f->sample_rate, pts, s->mono.data(), (size_t)f->nb_samples,
                               error);
}

// Takes every frame the decoder has ready. 0, or -1 with *error set.
static int receive_all(DecodeState *s, AVCodecContext *dec, AVFrame *frame, std::string *error) {
    for (;;) {
        const int rc = avcodec_receive_frame(dec, frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return 0;
        if (rc < 0) { // a packet the decoder could not use: skipped, as ffmpeg does
            media_timeline_skip(&s->line);
            continue;
        }
        const int taken = take_frame(s, frame, error);
        av_frame_unref(frame);
        if (taken != 0)
            return -1;
    }
}

// Position of the reading in the input, 0 to 1, or -1 when unknown. size is
// the input's size in bytes, 0 or less when unknown (a pipe).
static double position(const MediaInput *in, const AVPacket *pkt, int64_t size) {
    AVFormatContext *fmt = in->fmt.get();
    if (fmt->pb && size > 0)
        return (double)avio_tell(fmt->pb) / (double)size;
    if (fmt->duration > 0 && pkt->pts != AV_NOPTS_VALUE) {
        const AVStream *st = fmt->streams[in->stream];
        const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        return (double)(pkt->pts - start) * av_q2d(st->time_base) /
               ((double)fmt->duration / AV_TIME_BASE);
    }
    return -1.0;
}

int media_decode(MediaInput *in, const MediaSink &sink, sil_progress *progress, int max_pct,
                 MediaStats *stats, std::string *error) {
    *stats = MediaStats{};
    DecodeState s;
    s.line.sink = &sink;
    s.line.stats = stats;
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    const AVStream *st = in->fmt->streams[in->stream];
    ParamsPtr link = media_copy_params(st->codecpar);
    if (!pkt || !frame || !link) {
        *error = "out of memory";
        return -1;
    }
    const int64_t size = in->fmt->pb ? avio_size(in->fmt->pb) : -1;
    for (;;) {
        const int got = media_next_packet(in, in->stream, pkt.get(), error);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        if (media_new_link(link.get(), st->codecpar)) {
            // The old link's decoder hands on its last frames; the new link
            // has a decoder of its own, opened from its header.
            if (avcodec_send_packet(in->dec.get(), nullptr) >= 0 &&
                receive_all(&s, in->dec.get(), frame.get(), error) != 0)
                return -1;
            link = media_copy_params(st->codecpar);
            if (!link) {
                *error = "out of memory";
                return -1;
            }
            if (media_open_decoder_for(link.get(), st->time_base, &in->dec, error) != 0)
                return -1;
        }
        AVCodecContext *dec = in->dec.get();
        const double at = position(in, pkt.get(), size);
        if (pkt->pts != AV_NOPTS_VALUE)
            stats->end_pts = std::max(stats->end_pts, pkt->pts + std::max<int64_t>(pkt->duration, 0));
        const int rc = avcodec_send_packet(dec, pkt.get());
        av_packet_unref(pkt.get());
        if (rc < 0 && rc != AVERROR(EAGAIN))
            media_timeline_skip(&s.line); // the packet is dropped; the stream goes on
        if (receive_all(&s, dec, frame.get(), error) != 0)
            return -1;
        // A container's duration can be far below the packets' times (a
        // pipe, a wrong header): the fraction is held to [0, 1].
        if (at >= 0.0 &&
            sil_progress_report(progress, (int)(std::min(at, 1.0) * max_pct), SIL_STAGE_READ) != 0) {
            *error = sil_get_error();
            return -1;
        }
    }
    // The decoder's last frames.
    AVCodecContext *dec = in->dec.get();
    if (avcodec_send_packet(dec, nullptr) >= 0 && receive_all(&s, dec, frame.get(), error) != 0)
        return -1;
    return media_timeline_end(&s.line, dec->sample_rate, error);
}

} // namespace silsplit_cli
