// Decoding one input in ranges on several threads (media_ranges.h). Each
// range's thread demuxes and decodes; the calling thread takes the ranges'
// decoded frames in order, checks each seam and feeds the sink.
#include "media_ranges.h"

#include "engine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace silsplit_cli {

namespace {

// How much of the stream a range decodes before its own start, and throws
// away, so that its decoder's state is that of one decoder from the start;
// and how far it goes past its end, to be compared with the next range.
// MP3 carries state from a few frames back (the bit reservoir, the
// overlap, the synthesis window); FLAC frames stand alone; Opus's
// linear-prediction layer (SILK) runs its filters in floating point, which
// can take seconds of noise-like input to settle to the same bits.
struct Span {
    AVCodecID codec;
    double preroll_s;
    double check_s;
};
constexpr Span kSpans[] = {
    {AV_CODEC_ID_MP3, 1.0, 0.5},
    {AV_CODEC_ID_FLAC, 0.5, 0.5},
    {AV_CODEC_ID_OPUS, 8.0, 1.0},
};
// Shorter ranges are not worth a decoder of their own.
constexpr double kMinRangeS = 10.0;
// Decoded frames move from a range's thread to the calling thread in
// batches of about this many samples, or this many frames (fewer when the
// range ends), one lock and one wake-up a batch: a wake-up costs more than
// a frame's analysis.
constexpr size_t kBatchSamples = 1 << 16;
constexpr size_t kBatchPieces = 64;
// Batches waiting per range: the memory a range may run ahead with.
constexpr size_t kQueueBatches = 2;

// What a range's decoder hands on: one decoded frame, or a packet or frame
// that could not be used, or the end of the range.
struct Piece {
    enum Kind { frames, unmixable, corrupt, end, failed } kind = frames;
    bool check = false; // past the range's end: compared with the next range
    int rate = 0;
    int64_t pts = INT64_MIN;
    std::vector<float> mono;
    std::string error; // failed
};

enum class Verdict { waiting, stop, go_on };

struct Range {
    int64_t t0 = INT64_MIN; // its packets: t0 <= pts < t1 (stream time base)
    int64_t t1 = INT64_MAX;
    int64_t preroll = 0;
    int64_t check = 0;
    int64_t from = 0; // where its progress counts from: t0, or the stream's start
    MediaInput *in = nullptr;
    MediaStop outer; // the run's own stop

    // Sample buffers go back to the thread that filled them, so that no
    // thread frees what another allocated (the allocator locks for that).
    std::vector<Piece> filling; // the range's thread only
    size_t filling_samples = 0;
    std::vector<std::vector<float>> buffers;
    std::deque<Piece> emptying; // the calling thread only
    std::vector<std::vector<float>> used;

    std::mutex mu;
    std::condition_variable changed; // queue, verdict or cancel
    std::deque<std::vector<Piece>> queue;
    std::vector<std::vector<float>> returned;
    Verdict verdict = Verdict::waiting;
    std::atomic<bool> cancelled{false};
    std::atomic<int64_t> done{0}; // stream time decoded from t0 on
    // Where the last packet read ends (stream time); the range's thread
    // writes it before handing on its end, the caller reads it after.
    int64_t end_pts = INT64_MIN;
    std::thread thread;
};

int range_stop(void *user) {
    const Range *r = static_cast<const Range *>(user);
    return r->cancelled.load() || (r->outer.fn && r->outer.fn(r->outer.user) != 0);
}

void cancel(Range *r) {
    {
        std::lock_guard<std::mutex> lock(r->mu);
        r->cancelled.store(true);
    }
    r->changed.notify_all();
}

// Hands the batch being filled on, waiting for room in the range's queue.
// False when the range was cancelled.
bool send(Range *r) {
    std::unique_lock<std::mutex> lock(r->mu);
    r->changed.wait(lock, [&] { return r->cancelled.load() || r->queue.size() < kQueueBatches; });
    if (r->cancelled.load())
        return false;
    r->queue.push_back(std::move(r->filling));
    r->filling.clear();
    r->filling_samples = 0;
    if (r->buffers.empty())
        r->buffers.swap(r->returned);
    lock.unlock();
    r->changed.notify_all();
    return true;
}

// Adds a piece to the batch being filled; a full batch, the end of the
// range and a failure are handed on. False when the range was cancelled.
bool put(Range *r, Piece &&p) {
    const bool last = p.kind == Piece::end || p.kind == Piece::failed;
    r->filling_samples += p.mono.size();
    r->filling.push_back(std::move(p));
    return last || r->filling.size() >= kBatchPieces || r->filling_samples >= kBatchSamples
               ? send(r)
               : !r->cancelled.load();
}

Piece take(Range *r) {
    if (r->emptying.empty()) {
        std::unique_lock<std::mutex> lock(r->mu);
        r->changed.wait(lock, [&] { return !r->queue.empty(); });
        std::vector<Piece> batch = std::move(r->queue.front());
        r->queue.pop_front();
        for (auto &b : r->used)
            if (r->returned.size() < 2 * kBatchPieces)
                r->returned.push_back(std::move(b));
        lock.unlock();
        r->used.clear();
        r->changed.notify_all();
        for (Piece &p : batch)
            r->emptying.push_back(std::move(p));
    }
    Piece p = std::move(r->emptying.front());
    r->emptying.pop_front();
    return p;
}

// Gives a taken piece's buffer back to its range.
void give_back(Range *r, Piece *p) {
    if (p->mono.capacity() > 0)
        r->used.push_back(std::move(p->mono));
}

void set_verdict(Range *r, Verdict v) {
    {
        std::lock_guard<std::mutex> lock(r->mu);
        r->verdict = v;
    }
    r->changed.notify_all();
}

Verdict wait_verdict(Range *r) {
    std::unique_lock<std::mutex> lock(r->mu);
    r->changed.wait(lock, [&] { return r->cancelled.load() || r->verdict != Verdict::waiting; });
    return r->cancelled.load() ? Verdict::stop : r->verdict;
}

// ---------------------------------------------------------------------------
// A range's thread
// ---------------------------------------------------------------------------

enum class Phase { preroll, own, check, rest };

bool put_frame(Range *r, Phase phase, const AVFrame *f) {
    if (phase == Phase::preroll || f->nb_samples <= 0)
        return true;
    Piece p;
    p.check = phase == Phase::check;
    p.rate = f->sample_rate;
    p.pts = f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp;
    if (f->ch_layout.nb_channels <= 0) {
        p.kind = Piece::corrupt;
    } else {
        if (!r->buffers.empty()) {
            p.mono = std::move(r->buffers.back());
            r->buffers.pop_back();
        }
        p.mono.resize((size_t)f->nb_samples);
        if (media_mix_frame(f, p.mono.data()) != 0) {
            p.kind = Piece::unmixable;
            p.mono.clear();
        }
    }
    return put(r, std::move(p));
}

bool put_corrupt(Range *r, Phase phase) {
    if (phase == Phase::preroll)
        return true;
    Piece p;
    p.kind = Piece::corrupt;
    p.check = phase == Phase::check;
    return put(r, std::move(p));
}

// Takes every frame the decoder has ready. False when the range was
// cancelled.
bool receive_all(Range *r, Phase phase, AVFrame *frame) {
    for (;;) {
        const int rc = avcodec_receive_frame(r->in->dec.get(), frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0) { // counted and skipped, as one decoder does
            if (!put_corrupt(r, phase))
                return false;
            continue;
        }
        const bool kept = put_frame(r, phase, frame);
        av_frame_unref(frame);
        if (!kept)
            return false;
    }
}

void fail(Range *r, const std::string &error) {
    Piece p;
    p.kind = Piece::failed;
    p.error = error;
    put(r, std::move(p));
}

bool put_end(Range *r) {
    Piece p;
    p.kind = Piece::end;
    return put(r, std::move(p));
}

// Demuxes from the start of the input, decodes from the pre-roll on, and
// hands on the frames of the packets from t0 to t1, then those of the
// check span. Packets are assigned to phases by their timestamps, the same
// way in every range, so that two neighbours agree on where one ends.
void run_range(Range *r, bool first) {
    const bool last = r->t1 == INT64_MAX;
    const int64_t check_end = last ? INT64_MAX : r->t1 + r->check;
    Phase phase = first ? Phase::own : Phase::preroll;
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!pkt || !frame) {
        fail(r, "out of memory");
        return;
    }
    AVCodecContext *dec = r->in->dec.get();
    std::string error;
    for (;;) {
        if (r->cancelled.load())
            return;
        const int got = media_next_packet(r->in, r->in->stream, pkt.get(), &error);
        if (got < 0) {
            fail(r, error);
            return;
        }
        if (got == 0)
            break;
        const int64_t pts = pkt->pts;
        if (phase == Phase::preroll) {
            if (pts == AV_NOPTS_VALUE) {
                fail(r, "a packet without a timestamp");
                return;
            }
            if (pts < r->t0 - r->preroll) { // demuxed only
                av_packet_unref(pkt.get());
                continue;
            }
            if (pts >= r->t0)
                phase = Phase::own;
        }
        if (pts != AV_NOPTS_VALUE) {
            if (phase == Phase::own && pts >= r->t1)
                phase = Phase::check;
            if (phase == Phase::check && pts >= check_end) {
                if (!put_end(r) || wait_verdict(r) != Verdict::go_on)
                    return;
                phase = Phase::rest;
            }
            if (phase != Phase::preroll)
                r->done.store(std::max<int64_t>(0, pts - r->from));
            r->end_pts = std::max(r->end_pts, pts + std::max<int64_t>(pkt->duration, 0));
        }
        const int rc = avcodec_send_packet(dec, pkt.get());
        av_packet_unref(pkt.get());
        if (rc < 0 && rc != AVERROR(EAGAIN) && !put_corrupt(r, phase))
            return;
        if (!receive_all(r, phase, frame.get()))
            return;
    }
    // The decoder's last frames.
    if (avcodec_send_packet(dec, nullptr) >= 0 && !receive_all(r, phase, frame.get()))
        return;
    if (!put_end(r))
        return;
    // The input ended within the check span: should this range go on
    // alone, it has nothing left but its end to hand on once more.
    if (phase == Phase::check && wait_verdict(r) == Verdict::go_on)
        put_end(r);
}

// ---------------------------------------------------------------------------
// The calling thread
// ---------------------------------------------------------------------------

// Hands on a piece as media_decode hands on a frame.
struct Taker {
    const MediaSink *sink;
    MediaStats *stats;
    bool started = false;
};

int take_piece(Taker *t, const Piece &p, std::string *error) {
    MediaStats *s = t->stats;
    if (p.kind == Piece::corrupt) {
        s->corrupt++;
        return 0;
    }
    if (p.rate <= 0 || (t->started && p.rate != s->sample_rate)) {
        s->corrupt++; // the rate of the analysis is fixed by the first frame
        return 0;
    }
    if (!t->started) {
        t->started = true;
        s->sample_rate = p.rate;
        if (t->sink->start && t->sink->start(t->sink->user, p.rate, error) != 0)
            return -1;
    }
    if (s->frames == 0)
        s->origin_pts = p.pts;
    if (p.kind == Piece::unmixable) {
        s->corrupt++;
        return 0;
    }
    s->frames += (int64_t)p.mono.size();
    return t->sink->push(t->sink->user, p.mono.data(), p.mono.size(), error);
}

bool same_piece(const Piece &a, const Piece &b) {
    return a.kind == b.kind && a.rate == b.rate && a.pts == b.pts && a.mono.size() == b.mono.size() &&
           (a.mono.empty() ||
            memcmp(a.mono.data(), b.mono.data(), a.mono.size() * sizeof(float)) == 0);
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

// Cancels and joins every range's thread when the decoding ends, however
// it ends.
struct RangesGuard {
    std::vector<std::unique_ptr<Range>> *ranges;
    ~RangesGuard() {
        for (auto &r : *ranges)
            cancel(r.get());
        for (auto &r : *ranges)
            if (r->thread.joinable())
                r->thread.join();
    }
};

} // namespace

std::string media_ranges_refusal(const MediaInput &in) {
    if (in.bytes)
        return "the input is a pipe";
    const AVStream *st = in.fmt->streams[in.stream];
    const AVCodecParameters *par = st->codecpar;
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
    if (st->duration <= 0 && in.fmt->duration <= 0)
        return "the stream's length is not known";
    return "";
}

int media_decode_ranges(const std::string &path, MediaInput *in, int ranges, const MediaSink &sink,
                        sil_progress *progress, int max_pct, const MediaNote &note,
                        MediaStats *stats, std::string *error) {
    if (ranges <= 1)
        return media_decode(in, sink, progress, max_pct, stats, error);
    const std::string refusal = media_ranges_refusal(*in);
    if (!refusal.empty()) {
        tell(note, refusal);
        return media_decode(in, sink, progress, max_pct, stats, error);
    }
    const AVStream *st = in->fmt->streams[in->stream];
    const Span *span = span_of(st->codecpar->codec_id);
    const double tb = av_q2d(st->time_base);
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    const int64_t length = st->duration > 0
                               ? st->duration
                               : av_rescale_q(in->fmt->duration, AV_TIME_BASE_Q, st->time_base);
    const int n = (int)std::min<double>(ranges, std::floor((double)length * tb / kMinRangeS));
    if (n <= 1 || tb <= 0.0)
        return media_decode(in, sink, progress, max_pct, stats, error);

    // The ranges' own inputs are opened here, one after the other: FFmpeg's
    // opening touches its global settings.
    std::vector<MediaInput> inputs((size_t)n);
    std::vector<std::unique_ptr<Range>> list;
    RangesGuard guard{&list};
    for (int k = 0; k < n; k++) {
        list.emplace_back(new Range);
        Range *r = list.back().get();
        r->t0 = k == 0 ? INT64_MIN : start + length * k / n;
        r->t1 = k == n - 1 ? INT64_MAX : start + length * (k + 1) / n;
        r->preroll = (int64_t)(span->preroll_s / tb);
        r->check = (int64_t)(span->check_s / tb);
        r->from = k == 0 ? start : r->t0;
        r->outer = in->stop;
        if (k == 0) {
            r->in = in;
            continue;
        }
        std::string why;
        if (media_open(path, in->stream, nullptr, MediaStop{range_stop, r}, &inputs[(size_t)k],
                       &why) != 0) {
            if (range_stop(r)) {
                *error = "cancelled";
                return -1;
            }
            tell(note, "cannot open the input again: " + why);
            return media_decode(in, sink, progress, max_pct, stats, error);
        }
        r->in = &inputs[(size_t)k];
    }
    for (int k = 0; k < n; k++)
        list[(size_t)k]->thread = std::thread(run_range, list[(size_t)k].get(), k == 0);

    *stats = MediaStats{};
    Taker taker{&sink, stats};
    int shown = -1;
    bool alone = false; // one range's decoder goes on to the end
    const auto report = [&](size_t k) {
        double done = 0.0;
        if (alone) {
            const Range &r = *list[k];
            done = (double)(r.from - start + r.done.load());
        } else {
            for (const auto &r : list) {
                const int64_t span = std::min(r->t1, start + length) - r->from;
                done += (double)std::min(r->done.load(), span);
            }
        }
        const int pct = (int)(std::min(1.0, std::max(0.0, done / (double)length)) * max_pct);
        if (pct <= shown)
            return 0;
        shown = pct;
        if (sil_progress_report(progress, pct, SIL_STAGE_READ) != 0) {
            *error = sil_get_error();
            return -1;
        }
        return 0;
    };
    for (size_t k = 0;;) {
        Range *r = list[k].get();
        std::vector<Piece> checks;
        for (;;) {
            Piece p = take(r);
            if (p.kind == Piece::failed) {
                *error = p.error;
                return -1;
            }
            if (p.kind == Piece::end)
                break;
            if (p.check) {
                checks.push_back(std::move(p));
                continue;
            }
            if (take_piece(&taker, p, error) != 0 || report(k) != 0)
                return -1;
            give_back(r, &p);
        }
        if (alone || k + 1 == list.size()) {
            stats->end_pts = r->end_pts; // this range read the input to its end
            break;
        }
        // The seam: the next range's first frames must be these, to the bit.
        Range *next = list[k + 1].get();
        bool same = true;
        std::string why = "the ranges' decoders differ there";
        for (const Piece &c : checks) {
            Piece p = take(next);
            if (!same_piece(c, p)) {
                same = false;
                if (p.kind == Piece::failed)
                    why = "the next range failed: " + p.error;
                break;
            }
        }
        for (const Piece &c : checks)
            if (take_piece(&taker, c, error) != 0)
                return -1;
        if (same) {
            set_verdict(r, Verdict::stop);
            k++;
            continue;
        }
        for (size_t j = k + 1; j < list.size(); j++)
            cancel(list[j].get());
        tell(note, "from " + clock_text((double)(next->t0 - start) * tb) + " on, as " + why);
        alone = true;
        set_verdict(r, Verdict::go_on);
    }
    if (!taker.started) {
        AVCodecContext *dec = in->dec.get();
        if (dec->sample_rate <= 0) {
            *error = stats->corrupt ? "no audio could be decoded" : "no audio in the stream";
            return -1;
        }
        taker.started = true;
        stats->sample_rate = dec->sample_rate;
        if (sink.start && sink.start(sink.user, dec->sample_rate, error) != 0)
            return -1;
    }
    return 0;
}

} // namespace silsplit_cli
