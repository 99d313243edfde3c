#include "media_levels.h"

#include "media_commands.h"
#include "media_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstring>

namespace silsplit_cli {

namespace {

template <typename T> double sample_value(T v);
template <> double sample_value(uint8_t v) { return ((int)v - 128) / 128.0; }
template <> double sample_value(int16_t v) { return v / 32768.0; }
template <> double sample_value(int32_t v) { return v / 2147483648.0; }
template <> double sample_value(int64_t v) { return (double)v / 9223372036854775808.0; }
template <> double sample_value(float v) { return v; }
template <> double sample_value(double v) { return v; }

template <typename T, bool planar> void interleave(const AVFrame *f, int channels, double *out) {
    const size_t n = (size_t)f->nb_samples;
    for (int c = 0; c < channels; ++c) {
        const T *in =
            reinterpret_cast<const T *>(planar ? f->extended_data[c] : f->extended_data[0]);
        for (size_t k = 0; k < n; ++k) {
            T v;
            memcpy(&v, planar ? &in[k] : &in[k * (size_t)channels + (size_t)c], sizeof v);
            out[k * (size_t)channels + (size_t)c] = sample_value<T>(v);
        }
    }
}

// One decoded frame as interleaved doubles; false for a sample format
// without a meaning as audio levels.
bool frame_samples(const AVFrame *f, int channels, double *out) {
    using Fn = void (*)(const AVFrame *, int, double *);
    static const struct {
        AVSampleFormat format;
        Fn fn;
    } formats[] = {
        {AV_SAMPLE_FMT_U8, interleave<uint8_t, false>},
        {AV_SAMPLE_FMT_S16, interleave<int16_t, false>},
        {AV_SAMPLE_FMT_S32, interleave<int32_t, false>},
        {AV_SAMPLE_FMT_S64, interleave<int64_t, false>},
        {AV_SAMPLE_FMT_FLT, interleave<float, false>},
        {AV_SAMPLE_FMT_DBL, interleave<double, false>},
        {AV_SAMPLE_FMT_U8P, interleave<uint8_t, true>},
        {AV_SAMPLE_FMT_S16P, interleave<int16_t, true>},
        {AV_SAMPLE_FMT_S32P, interleave<int32_t, true>},
        {AV_SAMPLE_FMT_S64P, interleave<int64_t, true>},
        {AV_SAMPLE_FMT_FLTP, interleave<float, true>},
        {AV_SAMPLE_FMT_DBLP, interleave<double, true>},
    };
    for (const auto &fm : formats)
        if (fm.format == (AVSampleFormat)f->format) {
            fm.fn(f, channels, out);
            return true;
        }
    return false;
}

std::vector<int> speakers_of(const AVChannelLayout &layout) {
    std::vector<int> out;
    for (int c = 0; c < layout.nb_channels; ++c) {
        const AVChannel ch = av_channel_layout_channel_from_index(&layout, (unsigned)c);
        out.push_back(layout.order == AV_CHANNEL_ORDER_UNSPEC || ch < 0 || ch > 31 ? -1 : (int)ch);
    }
    return out;
}

struct Decoding {
    const ChannelSink *sink;
    int rate = 0, channels = 0;
    bool started = false;
    std::vector<double> samples;
};

int take(Decoding *d, const AVFrame *f, std::string *error) {
    const int channels = f->ch_layout.nb_channels;
    if (f->nb_samples <= 0 || channels <= 0 || f->sample_rate <= 0 ||
        (d->started && (f->sample_rate != d->rate || channels != d->channels)))
        return 0; // skipped, as the analysis skips it
    d->samples.resize((size_t)f->nb_samples * (size_t)channels);
    if (!frame_samples(f, channels, d->samples.data()))
        return 0;
    if (!d->started) {
        d->started = true;
        d->rate = f->sample_rate;
        d->channels = channels;
        if (d->sink->start(d->sink->user, d->rate, speakers_of(f->ch_layout), error) != 0)
            return -1;
    }
    return d->sink->push(d->sink->user, d->samples.data(), (size_t)f->nb_samples, error);
}

int receive(Decoding *d, AVCodecContext *dec, AVFrame *frame, std::string *error) {
    for (;;) {
        const int rc = avcodec_receive_frame(dec, frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return 0;
        if (rc < 0)
            continue; // a packet the decoder could not use
        const int taken = take(d, frame, error);
        av_frame_unref(frame);
        if (taken != 0)
            return -1;
    }
}

} // namespace

int media_decode_channels(const std::string &path, MediaRun *run, const ChannelSink &sink,
                          std::string *error) {
    MediaInput in;
    if (media_open(path, run->stream, nullptr, run->stop, &in, error) != 0)
        return -1;
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!pkt || !frame) {
        *error = "out of memory";
        return -1;
    }
    Decoding d;
    d.sink = &sink;
    AVCodecContext *dec = in.dec.get();
    const int64_t size = in.fmt->pb ? avio_size(in.fmt->pb) : -1;
    int shown = -1;
    for (;;) {
        const int got = media_next_packet(&in, in.stream, pkt.get(), error);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        avcodec_send_packet(dec, pkt.get()); // a packet it refuses is dropped, as in the analysis
        av_packet_unref(pkt.get());
        if (receive(&d, dec, frame.get(), error) != 0)
            return -1;
        if (run->progress && size > 0) {
            const int percent = (int)std::min<int64_t>(100, avio_tell(in.fmt->pb) * 100 / size);
            if (percent != shown) {
                shown = percent;
                if (run->progress(percent, "levels", run->progress_user) != 0) {
                    *error = "cancelled";
                    return -1;
                }
            }
        }
    }
    if (avcodec_send_packet(dec, nullptr) >= 0 && receive(&d, dec, frame.get(), error) != 0)
        return -1;
    if (!d.started) {
        *error = "no audio could be decoded";
        return -1;
    }
    return 0;
}

} // namespace silsplit_cli
