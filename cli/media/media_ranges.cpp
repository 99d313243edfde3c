// Decoding one input in ranges on several threads (media_ranges.h). Three
// kinds of thread share one record: the demuxer reads the packets and cuts
// them into ranges, the decoders decode the ranges that are ready, and the
// calling thread takes the decoded ranges in order, checks each seam and
// feeds the sink.
#include "media_ranges.h"

#include "engine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace silsplit_cli {

namespace {

// How much of the stream a range's decoder decodes before the range, and
// throws away, so that its state is that of one decoder from the start; how
// far it goes past the range's end, to be compared with the next range; and
// how long a range is (each range's decoded samples are held until the
// ranges before it are handed on). MP3 carries state from a few frames back
// (the bit reservoir, up to half a second back at the lowest rates, the
// overlap, the synthesis window); FLAC frames stand alone; Opus's
// linear-prediction layer (SILK) and band energies run their filters in
// floating point, which can take seconds of input to settle to the same
// bits, so its ranges are longer, to keep the pre-roll a small part of the
// work.
struct Span {
    AVCodecID codec;
    double preroll_s;
    double check_s;
    double range_s;
};
constexpr Span kSpans[] = {
    {AV_CODEC_ID_MP3, 0.5, 0.25, 15.0},
    {AV_CODEC_ID_FLAC, 0.1, 0.1, 15.0},
    {AV_CODEC_ID_OPUS, 8.0, 1.0, 60.0},
};
// A range whose seam fails is decoded again, by the calling thread, with
// this much more pre-roll, then this much more, before one decoder decodes
// the input again from its start: whether a decoder with floating-point
// filters settles to the same bits depends on where it starts, not only on
// how long it runs.
constexpr double kRetryS[] = {3.0, 9.0};

// The decoded samples waiting to be handed on (about two ranges a thread)
// are held to about this many bytes: with many threads, ranges are made
// shorter, down to twice their pre-roll and check span.
constexpr double kWaitingBytes = 48.0 * 1024 * 1024;

// Packets are measured by their durations; a stream whose packets carry
// none is cut by count, which also bounds what one range holds.
constexpr size_t kMaxRangePackets = 1 << 14;
constexpr size_t kMaxPrerollPackets = 1 << 12;

// One decoded frame, or a packet or frame that could not be used; its
// samples are count values from at in its Decoded's samples.
struct Piece {
    enum Kind : uint8_t { frames, unmixable, corrupt } kind = frames;
    int rate = 0;
    int64_t pts = INT64_MIN;
    size_t at = 0;
    size_t count = 0;
};

// A range's decoded frames. The sample buffer keeps its size from range
// to range (used says how much holds samples), so that a buffer handed back
// is filled again without being cleared or grown.
struct Decoded {
    std::vector<Piece> pieces;
    std::vector<float> samples;
    size_t used = 0;

    float *append(size_t n) {
        if (samples.size() - used < n)
            samples.resize(std::max(used + n, samples.size() + samples.size() / 2));
        used += n;
        return samples.data() + used - n;
    }
    void clear() {
        pieces.clear();
        used = 0;
    }
};

// A link's codec parameters and time base, copied by the demuxer's thread
// for the decoders' (see media_copy_params).
struct LinkParams {
    ParamsPtr par;
    AVRational tb;
};
using Link = std::shared_ptr<const LinkParams>;

// A copy of in's stream's parameters as they are; NULL when out of memory.
Link copy_link(const MediaInput *in) {
    const AVStream *st = in->fmt->streams[in->stream];
    ParamsPtr par = media_copy_params(st->codecpar);
    if (!par)
        return nullptr;
    return std::make_shared<const LinkParams>(LinkParams{std::move(par), st->time_base});
}

struct Range {
    // Its packets, by their numbers in the stream: the pre-roll from first,
    // its own from own_from, the check span (the first packets of the next
    // range) from check_from, up to end.
    int64_t first = 0;
    int64_t retry_from = 0; // the packets kept for a longer pre-roll
    int64_t own_from = 0;
    int64_t check_from = 0;
    int64_t end = 0;
    int64_t own_len = 0; // its own packets' duration (stream time base)
    bool drain = false;  // the input or its link ends in it or its check span
    bool fresh = false;  // it begins a link: its decoder starts there, without pre-roll
    Link link;           // its link's parameters
    double read = -1.0;  // how much of the input was read once its own packets were in, 0 to 1
    enum State { filling, ready, decoding, decoded } state = filling;
    std::vector<const AVPacket *> packets; // while it is decoded: first to end
    Decoded out;                           // its own packets' frames
    Decoded check;                         // the check span's frames
    std::string error;
};

struct Shared {
    MediaInput *in = nullptr;
    Link link; // the first link's parameters
    int64_t preroll = 0; // stream time base
    int64_t check = 0;
    int64_t retry = 0; // the longest pre-roll of a range decoded again
    size_t window = 0; // ranges in flight at most: the memory the threads may run ahead with

    std::mutex mu;
    std::condition_variable changed;
    // The packets read and still needed, numbered from packets_base on.
    // Only the demuxer adds and frees them, so that no other thread frees
    // what it allocated.
    std::deque<PacketPtr> packets;
    int64_t packets_base = 0;
    std::deque<std::unique_ptr<Range>> ranges; // not yet taken by the calling thread, in order
    int64_t held_from = INT64_MAX;             // the packets of the range the calling thread holds
    bool demuxed = false;                      // the demuxer stopped: at the end, or failed
    std::string demux_error;
    int64_t end_pts = INT64_MIN;
    std::vector<Decoded> spare; // buffers of ranges handed on, for the next ones
    std::atomic<bool> cancelled{false};
};

bool cancelled(const Shared *s) { return s->cancelled.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// The demuxer's thread
// ---------------------------------------------------------------------------

// A new range at the end of the list, once there is room for it; NULL when
// cancelled.
Range *new_range(Shared *s) {
    std::unique_ptr<Range> r(new Range);
    Range *p = r.get();
    std::unique_lock<std::mutex> lock(s->mu);
    s->changed.wait(lock, [&] { return cancelled(s) || s->ranges.size() < s->window; });
    if (cancelled(s))
        return nullptr;
    s->ranges.push_back(std::move(r));
    return p;
}

void set_ready(Shared *s, Range *r, int64_t end) {
    {
        std::lock_guard<std::mutex> lock(s->mu);
        r->end = end;
        r->state = Range::ready;
    }
    s->changed.notify_all();
}

// Frees the packets below keep that no range still to be handed on needs,
// for its decoding or for a longer pre-roll.
void free_packets(Shared *s, int64_t keep) {
    std::lock_guard<std::mutex> lock(s->mu);
    keep = std::min(keep, s->held_from);
    for (const auto &r : s->ranges)
        keep = std::min(keep, r->retry_from);
    while (s->packets_base < keep && !s->packets.empty()) {
        s->packets.pop_front();
        s->packets_base++;
    }
}

double read_fraction(const MediaInput *in, int64_t size) {
    AVIOContext *pb = in->fmt->pb;
    return pb && size > 0 ? std::min(1.0, (double)avio_tell(pb) / (double)size) : -1.0;
}

// Reads the stream to its end. A packet goes to the range being filled;
// once that range holds its length, the next packet starts a new one, whose
// pre-roll is the packets just read, and the packets that follow are the
// earlier range's check span too until it holds its length.
void demux(Shared *s, int64_t range_len) {
    MediaInput *in = s->in;
    const int64_t size = in->fmt->pb ? avio_size(in->fmt->pb) : -1;
    // Durations of the last packets: the next range's pre-roll, and the
    // longest pre-roll it may be decoded again with.
    struct Window {
        std::deque<int64_t> lens;
        int64_t first = 0; // the number of the first of them
        int64_t len = 0;
        void add(int64_t n, int64_t want) {
            lens.push_back(n);
            len += n;
            while (!lens.empty() && (len - lens.front() >= want || lens.size() > kMaxPrerollPackets)) {
                len -= lens.front();
                lens.pop_front();
                first++;
            }
        }
    } recent, kept;
    Range *cur = nullptr;      // being filled
    Range *checking = nullptr; // waiting for its check span
    int64_t check_len = 0;
    int64_t seq = 0; // the number of the next packet
    int64_t end_pts = INT64_MIN;
    const AVCodecParameters *par = in->fmt->streams[in->stream]->codecpar; // changed by the reads
    Link link = s->link;
    std::string error;
    try {
        cur = new_range(s);
        if (cur)
            cur->link = link;
        while (cur) {
            if (cancelled(s)) {
                error = "cancelled";
                break;
            }
            PacketPtr pkt(av_packet_alloc());
            if (!pkt)
                throw std::bad_alloc();
            const int got = media_next_packet(in, in->stream, pkt.get(), &error);
            if (got < 0)
                break;
            if (got == 0) { // the end: the last ranges drain their decoders
                if (checking) {
                    checking->drain = true;
                    set_ready(s, checking, seq);
                    checking = nullptr;
                }
                cur->check_from = seq;
                cur->drain = true;
                cur->read = 1.0;
                set_ready(s, cur, seq);
                cur = nullptr;
                break;
            }
            const int64_t len = std::max<int64_t>(pkt->duration, 0);
            if (pkt->pts != AV_NOPTS_VALUE)
                end_pts = std::max(end_pts, pkt->pts + len);
            if (media_new_link(link->par.get(), par)) {
                // A new link (a chained stream's next part): the range being
                // filled ends with the old link, its decoder handing on its
                // last frames, and a new range starts the new link with a
                // decoder of its own and no pre-roll, as one decoder from the
                // start does (media_decode).
                link = copy_link(in);
                if (!link)
                    throw std::bad_alloc();
                if (seq > cur->own_from) {
                    if (checking) {
                        set_ready(s, checking, seq);
                        checking = nullptr;
                    }
                    cur->check_from = seq;
                    cur->drain = true;
                    cur->read = read_fraction(in, size);
                    set_ready(s, cur, seq);
                    free_packets(s, seq);
                    cur = new_range(s);
                    if (!cur) {
                        error = "cancelled";
                        break;
                    }
                    cur->first = cur->retry_from = cur->own_from = seq;
                    cur->fresh = true;
                }
                cur->link = link;
                recent = Window{};
                recent.first = seq;
                kept = Window{};
                kept.first = seq;
            }
            if (seq > cur->own_from && (cur->own_len >= range_len || seq - cur->own_from >= (int64_t)kMaxRangePackets)) {
                cur->check_from = seq;
                cur->read = read_fraction(in, size);
                if (checking) // a check span longer than a range ends with it
                    set_ready(s, checking, seq);
                checking = cur;
                check_len = 0;
                free_packets(s, kept.first);
                cur = new_range(s);
                if (!cur) {
                    error = "cancelled";
                    break;
                }
                cur->first = recent.first;
                cur->retry_from = kept.first;
                cur->own_from = seq;
                cur->link = link;
            }
            {
                std::lock_guard<std::mutex> lock(s->mu);
                s->packets.push_back(std::move(pkt));
            }
            seq++;
            cur->own_len += len;
            if (checking) {
                check_len += len;
                if (check_len >= s->check) {
                    set_ready(s, checking, seq);
                    checking = nullptr;
                }
            }
            recent.add(len, s->preroll);
            kept.add(len, s->retry);
        }
    } catch (const std::bad_alloc &) {
        error = "out of memory";
    }
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->demuxed = true;
        s->end_pts = end_pts;
        if (cur || checking)
            s->demux_error = error.empty() ? "cancelled" : error;
    }
    s->changed.notify_all();
}

// ---------------------------------------------------------------------------
// The decoders' threads
// ---------------------------------------------------------------------------

void add_corrupt(Decoded *to) {
    if (!to)
        return;
    Piece p;
    p.kind = Piece::corrupt;
    p.at = to->used;
    to->pieces.push_back(p);
}

// Takes every frame the decoder has ready into to (NULL: the pre-roll,
// thrown away).
void receive_all(AVCodecContext *dec, AVFrame *frame, Decoded *to) {
    for (;;) {
        const int rc = avcodec_receive_frame(dec, frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return;
        if (rc < 0) { // counted and skipped, as one decoder does
            add_corrupt(to);
            continue;
        }
        if (to && frame->nb_samples > 0) {
            Piece p;
            p.rate = frame->sample_rate;
            p.pts = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
            p.at = to->used;
            if (frame->ch_layout.nb_channels <= 0) {
                p.kind = Piece::corrupt;
            } else if (media_mix_frame(frame, to->append((size_t)frame->nb_samples)) != 0) {
                p.kind = Piece::unmixable;
                to->used = p.at;
            } else {
                p.count = (size_t)frame->nb_samples;
            }
            to->pieces.push_back(p);
        }
        av_frame_unref(frame);
    }
}

// Decodes a range's packets with a decoder of its own: the frames of its
// pre-roll are thrown away, those of its own packets and of its check span
// kept apart. A frame belongs to the packet last sent, the same way in
// every range, so that neighbours agree on where one range ends.
void decode_range(Shared *s, Range *r) {
    CodecPtr dec;
    if (media_open_decoder_for(r->link->par.get(), r->link->tb, &dec, &r->error) != 0)
        return;
    FramePtr frame(av_frame_alloc());
    if (!frame)
        throw std::bad_alloc();
    // Room for the range's samples at once, from its packets' durations.
    const int64_t want =
        av_rescale_q(r->own_len, r->link->tb, AVRational{1, std::max(1, r->link->par->sample_rate)});
    if (want > 0 && r->out.samples.size() < (size_t)want + 8192)
        r->out.samples.resize((size_t)want + 8192);
    Decoded *to = nullptr;
    for (size_t i = 0; i < r->packets.size(); i++) {
        if (cancelled(s))
            return;
        const int64_t n = r->first + (int64_t)i;
        to = n < r->own_from ? nullptr : n < r->check_from ? &r->out : &r->check;
        const int rc = avcodec_send_packet(dec.get(), r->packets[i]);
        if (rc < 0 && rc != AVERROR(EAGAIN))
            add_corrupt(to);
        receive_all(dec.get(), frame.get(), to);
    }
    if (r->drain && avcodec_send_packet(dec.get(), nullptr) >= 0)
        receive_all(dec.get(), frame.get(), to);
}

// Takes the first range that is ready, decodes it, and goes on until the
// demuxer has stopped and no range is left to decode.
void work(Shared *s) {
    for (;;) {
        Range *r = nullptr;
        try {
            std::unique_lock<std::mutex> lock(s->mu);
            for (;;) {
                if (cancelled(s))
                    return;
                for (auto &q : s->ranges)
                    if (q->state == Range::ready) {
                        r = q.get();
                        break;
                    }
                if (r || s->demuxed)
                    break;
                s->changed.wait(lock);
            }
            if (!r)
                return;
            r->state = Range::decoding;
            for (Decoded *d : {&r->out, &r->check}) // the buffer handed back last is the large one
                if (!s->spare.empty()) {
                    *d = std::move(s->spare.back());
                    s->spare.pop_back();
                }
            for (int64_t n = r->first; n < r->end; n++)
                r->packets.push_back(s->packets[(size_t)(n - s->packets_base)].get());
            lock.unlock();
            decode_range(s, r);
        } catch (const std::bad_alloc &) {
            r->error = "out of memory";
        }
        {
            std::lock_guard<std::mutex> lock(s->mu);
            r->state = Range::decoded;
        }
        s->changed.notify_all();
    }
}

// Cancels and joins every thread when the decoding ends, however it ends.
struct Threads {
    Shared *s;
    std::vector<std::thread> list;
    ~Threads() { stop(); }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(s->mu);
            s->cancelled.store(true);
        }
        s->changed.notify_all();
        for (std::thread &t : list)
            if (t.joinable())
                t.join();
    }
};

// ---------------------------------------------------------------------------
// The calling thread
// ---------------------------------------------------------------------------

// Hands on a piece as media_decode hands on a frame.
int take_piece(MediaTimeline *t, const Piece &p, const float *samples, std::string *error) {
    if (p.kind != Piece::frames || p.rate <= 0) {
        media_timeline_skip(t);
        return 0;
    }
    return media_timeline_push(t, p.rate, p.pts, samples + p.at, p.count, error);
}

// Whether the frames of a range's check span are, to the bit, the first
// frames of the next range. A check span without frames proves nothing.
bool same_start(const Decoded &check, const Decoded &next) {
    if (check.pieces.empty())
        return next.pieces.empty();
    if (check.pieces.size() > next.pieces.size())
        return false;
    for (size_t i = 0; i < check.pieces.size(); i++) {
        const Piece &a = check.pieces[i];
        const Piece &b = next.pieces[i];
        if (a.kind != b.kind || a.rate != b.rate || a.pts != b.pts || a.count != b.count ||
            (a.count > 0 && memcmp(check.samples.data() + a.at, next.samples.data() + b.at,
                                   a.count * sizeof(float)) != 0))
            return false;
    }
    return true;
}

// Decodes r again with longer pre-rolls until its first frames are the
// earlier range's check frames; true when one was, with r's frames
// replaced by that decoding's.
bool decode_again_longer(Shared *s, Range *r, const Decoded &last_check) {
    for (double extra_s : kRetryS) {
        Range t;
        t.link = r->link;
        t.own_from = r->own_from;
        t.check_from = r->check_from;
        t.end = r->end;
        t.own_len = r->own_len;
        t.drain = r->drain;
        try {
            std::lock_guard<std::mutex> lock(s->mu);
            const int64_t extra = (int64_t)(extra_s / av_q2d(r->link->tb));
            int64_t len = 0;
            t.first = r->first;
            while (t.first > std::max(r->retry_from, s->packets_base) && len < extra) {
                t.first--;
                len += std::max<int64_t>(s->packets[(size_t)(t.first - s->packets_base)]->duration, 0);
            }
            for (int64_t n = t.first; n < t.end; n++)
                t.packets.push_back(s->packets[(size_t)(n - s->packets_base)].get());
        } catch (const std::bad_alloc &) {
            return false;
        }
        if (t.first == r->first)
            return false; // nothing further back is kept
        try {
            decode_range(s, &t);
        } catch (const std::bad_alloc &) {
            return false;
        }
        if (t.error.empty() && same_start(last_check, t.out)) {
            std::swap(r->out, t.out);
            std::swap(r->check, t.check);
            return true;
        }
    }
    return false;
}

std::string clock_text(double s) {
    const long long t = (long long)s;
    char buf[32];
    snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", t / 3600, t / 60 % 60, t % 60);
    return buf;
}

void tell(const MediaNote &note, const std::string &reason) {
    if (note.fn)
        note.fn(note.user, "decoding on one thread: " + reason);
}

const Span *span_of(AVCodecID codec) {
    for (const Span &s : kSpans)
        if (s.codec == codec)
            return &s;
    return nullptr;
}

// The sink of a second decoding from the start: what was handed on already
// is passed over.
struct Again {
    const MediaSink *sink;
    bool started;
    int64_t skip;
};

int again_start(void *user, int rate, std::string *error) {
    Again *a = static_cast<Again *>(user);
    if (a->started || !a->sink->start)
        return 0;
    a->started = true;
    return a->sink->start(a->sink->user, rate, error);
}

int again_push(void *user, const float *frames, size_t n, std::string *error) {
    Again *a = static_cast<Again *>(user);
    if (a->skip >= (int64_t)n) {
        a->skip -= (int64_t)n;
        return 0;
    }
    const size_t from = (size_t)a->skip;
    a->skip = 0;
    return a->sink->push(a->sink->user, frames + from, n - from, error);
}

// One decoder from the start of path, handing on what follows the frames
// the timeline handed on already.
int decode_again(const std::string &path, const MediaInput &in, const MediaTimeline &line,
                 sil_progress *progress, int max_pct, MediaStats *stats, std::string *error) {
    MediaInput again;
    if (media_open(path, in.stream, nullptr, in.stop, &again, error) != 0)
        return -1;
    Again a{line.sink, line.started, stats->frames};
    MediaSink sink;
    sink.start = again_start;
    sink.push = again_push;
    sink.user = &a;
    return media_decode(&again, sink, progress, max_pct, stats, error);
}

} // namespace

std::string media_ranges_refusal(const MediaInput &in) {
    if (in.bytes)
        return "the input is a pipe";
    const AVCodecParameters *par = in.fmt->streams[in.stream]->codecpar;
    switch (par->codec_id) {
    case AV_CODEC_ID_AAC:
        // The decoder fills bands coded as noise (PNS) from one random
        // sequence that runs from the first frame on: a decoder started
        // later draws other noise, and only the spectral data tells which
        // frames have such bands.
        if (par->profile == FF_PROFILE_AAC_HE || par->profile == FF_PROFILE_AAC_HE_V2)
            return "HE-AAC carries its SBR and noise state from the first frame";
        return "AAC's noise substitution carries its state from the first frame";
    default:
        if (!span_of(par->codec_id)) {
            const char *name = avcodec_get_name(par->codec_id);
            return std::string(name ? name : "this codec") + " is not decoded in ranges";
        }
    }
    return "";
}

int media_decode_ranges(const std::string &path, MediaInput *in, int threads, const MediaSink &sink,
                        sil_progress *progress, int max_pct, const MediaNote &note,
                        MediaStats *stats, std::string *error, const MediaRangeSizes &sizes) {
    if (threads <= 1)
        return media_decode(in, sink, progress, max_pct, stats, error);
    const std::string refusal = media_ranges_refusal(*in);
    if (!refusal.empty()) {
        tell(note, refusal);
        return media_decode(in, sink, progress, max_pct, stats, error);
    }
    const AVStream *st = in->fmt->streams[in->stream];
    const Span *span = span_of(st->codecpar->codec_id);
    const double tb = av_q2d(st->time_base);
    const double preroll_s = sizes.preroll_s >= 0.0 ? sizes.preroll_s : span->preroll_s;
    const int rate = std::max(1, st->codecpar->sample_rate);
    const double range_s =
        sizes.range_s > 0.0
            ? sizes.range_s
            : std::min(span->range_s,
                       std::max(2.0 * (preroll_s + span->check_s),
                                kWaitingBytes / sizeof(float) / rate / (threads + 2)));
    const int64_t length = st->duration > 0 ? st->duration
                           : in->fmt->duration > 0
                               ? av_rescale_q(in->fmt->duration, AV_TIME_BASE_Q, st->time_base)
                               : 0;
    // An input known to be shorter than two ranges gains nothing.
    if (tb <= 0.0 || (length > 0 && (double)length * tb < 2.0 * range_s))
        return media_decode(in, sink, progress, max_pct, stats, error);

    Shared s;
    s.in = in;
    s.link = copy_link(in);
    if (!s.link) {
        *error = "out of memory";
        return -1;
    }
    s.preroll = (int64_t)(preroll_s / tb);
    s.check = std::max<int64_t>(1, (int64_t)(std::min(span->check_s, range_s) / tb));
    s.retry = (int64_t)((preroll_s + kRetryS[sizeof kRetryS / sizeof kRetryS[0] - 1]) / tb);
    // Each thread decodes a range while the one before is handed on and
    // the demuxer fills the next.
    s.window = (size_t)threads + 1;
    Threads pool{&s, {}};
    pool.list.emplace_back(demux, &s, (int64_t)(range_s / tb));
    for (int k = 0; k < threads; k++)
        pool.list.emplace_back(work, &s);

    *stats = MediaStats{};
    MediaTimeline line;
    line.sink = &sink;
    line.stats = stats;
    Decoded last_check;
    bool first = true;
    for (;;) {
        std::unique_ptr<Range> r;
        {
            std::unique_lock<std::mutex> lock(s.mu);
            for (;;) {
                if (in->stop.fn && in->stop.fn(in->stop.user) != 0) {
                    *error = "cancelled";
                    return -1;
                }
                if (!s.ranges.empty() && s.ranges.front()->state == Range::decoded) {
                    r = std::move(s.ranges.front());
                    s.ranges.pop_front();
                    s.held_from = r->retry_from;
                    break;
                }
                if (s.demuxed && (!s.demux_error.empty() || s.ranges.empty()))
                    break;
                // The stop is asked while waiting, as a decoder between
                // packets asks it.
                s.changed.wait_for(lock, std::chrono::milliseconds(50));
            }
            if (!r && !s.demux_error.empty()) {
                *error = s.demux_error;
                return -1;
            }
        }
        if (!r)
            break;
        s.changed.notify_all(); // room for the demuxer
        if (!r->error.empty()) {
            *error = r->error;
            return -1;
        }
        // The seam: the next range's first frames must be the earlier
        // range's check frames, to the bit.
        if (!first && !r->fresh && !same_start(last_check, r->out) &&
            !(sizes.retry && decode_again_longer(&s, r.get(), last_check))) {
            pool.stop();
            const int rate = stats->sample_rate > 0 ? stats->sample_rate : 1;
            tell(note, "from " + clock_text((double)stats->frames / rate) +
                           " on, as the ranges' decoders differ there");
            return decode_again(path, *in, line, progress, max_pct, stats, error);
        }
        first = false;
        for (const Piece &p : r->out.pieces)
            if (take_piece(&line, p, r->out.samples.data(), error) != 0)
                return -1;
        if (r->read >= 0.0 &&
            sil_progress_report(progress, (int)(r->read * max_pct), SIL_STAGE_READ) != 0) {
            *error = sil_get_error();
            return -1;
        }
        // The buffers go back for the next ranges.
        r->out.clear();
        std::swap(last_check, r->check);
        r->check.clear();
        std::lock_guard<std::mutex> lock(s.mu);
        s.spare.push_back(std::move(r->check)); // taken last: the small one
        s.spare.push_back(std::move(r->out));
    }
    stats->end_pts = s.end_pts;
    return media_timeline_end(&line, in->dec->sample_rate, error);
}

} // namespace silsplit_cli
