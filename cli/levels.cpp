#include "levels.h"

#include "media/media_commands.h"
#include "media/media_levels.h"

#include <ebur128.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

namespace silsplit_cli {

namespace {

constexpr double kNoiseBlockS = 0.4; // the noise floor's blocks
constexpr double kQuietShare = 0.10; // the quietest share of them
constexpr double kSoundBelowRmsDb = 20.0;
constexpr double kSoundMinDb = -70.0;

double power_db(double mean_square) {
    return mean_square > 0 ? 10.0 * std::log10(mean_square)
                           : -std::numeric_limits<double>::infinity();
}

double amplitude_db(double amplitude) {
    return amplitude > 0 ? 20.0 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

struct StateFree {
    void operator()(ebur128_state *st) const { ebur128_destroy(&st); }
};
using StatePtr = std::unique_ptr<ebur128_state, StateFree>;

// A channel's speaker (the bit number of a WAV channel mask, -1 unknown) as
// libebur128 weighs it: the low-frequency channel left out, the surround
// channels at +1.5 dB, the rest at 0 dB.
int ebur128_channel(int bit) {
    switch (bit) {
    case 0:
        return EBUR128_LEFT;
    case 1:
        return EBUR128_RIGHT;
    case 3:
        return EBUR128_UNUSED; // low frequency
    case 4:
    case 9:
        return EBUR128_LEFT_SURROUND;
    case 5:
    case 10:
        return EBUR128_RIGHT_SURROUND;
    default:
        return EBUR128_CENTER;
    }
}

// The speaker of each channel from the fmt chunk's channel mask
// (WAVE_FORMAT_EXTENSIBLE), as bit numbers. Empty without a mask:
// libebur128's default order (L, R, C, LFE, Ls, Rs).
std::vector<int> channel_weights(const std::string &path, const sil_wav_source &src) {
    std::vector<int> map;
    if (src.fmt_size < 24)
        return map;
    std::ifstream in(path, std::ios::binary);
    unsigned char fmt[24];
    if (!in.seekg(src.fmt_offset) || !in.read(reinterpret_cast<char *>(fmt), sizeof fmt))
        return map;
    if ((fmt[0] | fmt[1] << 8) != 0xFFFE)
        return map;
    const uint32_t mask = (uint32_t)fmt[20] | (uint32_t)fmt[21] << 8 | (uint32_t)fmt[22] << 16 |
                          (uint32_t)fmt[23] << 24;
    if (mask == 0)
        return map;
    for (int bit = 0; bit < 32 && (int)map.size() < src.channels; ++bit)
        if (mask & (1u << bit))
            map.push_back(bit);
    while ((int)map.size() < src.channels) // channels beyond the mask
        map.push_back(-1);
    return map;
}

// Raw little-endian frames of src's layout as doubles, one per sample.
void decode_samples(const sil_wav_source &src, const unsigned char *raw, size_t frames,
                    double *out) {
    const size_t n = frames * (size_t)src.channels;
    const int bytes = src.bits_per_sample / 8;
    for (size_t k = 0; k < n; ++k) {
        const unsigned char *p = raw + k * (size_t)bytes;
        switch (bytes) {
        case 1:
            out[k] = ((int)p[0] - 128) / 128.0;
            break;
        case 2:
            out[k] = (int16_t)(uint16_t)(p[0] | p[1] << 8) / 32768.0;
            break;
        case 3: {
            int32_t v =
                (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24);
            out[k] = (v >> 8) / 8388608.0;
            break;
        }
        default: {
            const uint32_t u =
                (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
            if (src.is_float) {
                float f;
                memcpy(&f, &u, sizeof f);
                out[k] = f;
            } else {
                out[k] = (int32_t)u / 2147483648.0;
            }
        }
        }
    }
}

// The levels of one chapter, as its frames go by.
class ChapterMeter {
  public:
    // speakers: bit numbers of a channel mask, or empty for libebur128's order.
    ChapterMeter(int channels, int32_t rate, const std::vector<int> &speakers, bool true_peak)
        : channels_(channels), rate_(rate), true_peak_(true_peak),
          state_(
              ebur128_init((unsigned)channels, (unsigned long)rate,
                           true_peak ? EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK : EBUR128_MODE_I)) {
        for (size_t c = 0; state_ && c < speakers.size(); ++c)
            ebur128_set_channel(state_.get(), (unsigned)c, ebur128_channel(speakers[c]));
    }

    bool ok() const { return state_ != nullptr; }

    bool add(const double *samples, size_t frames) {
        if (ebur128_add_frames_double(state_.get(), samples, frames) != EBUR128_SUCCESS)
            return false;
        for (size_t f = 0; f < frames; ++f) {
            double sq = 0;
            for (int c = 0; c < channels_; ++c) {
                const double x = samples[f * (size_t)channels_ + (size_t)c];
                sq += x * x;
                peak_ = std::max(peak_, std::fabs(x));
            }
            total_sq_ += sq;
            hop_sq_ += sq;
            block_sq_ += sq;
            ++at_;
            ++hop_n_;
            ++block_n_;
            // 10 ms hops: frame boundaries floor(k * rate / 100).
            if (at_ == (int64_t)((hops_.size() + 1) * (uint64_t)rate_ / 100)) {
                hops_.push_back(hop_sq_ / (double)(hop_n_ * channels_));
                hop_sq_ = 0;
                hop_n_ = 0;
            }
            if (at_ == (int64_t)std::floor((double)(blocks_.size() + 1) * kNoiseBlockS * rate_)) {
                blocks_.push_back(block_sq_ / (double)(block_n_ * channels_));
                block_sq_ = 0;
                block_n_ = 0;
            }
        }
        return true;
    }

    ChapterLevels finish() {
        const int64_t frames = at_;
        if (hop_n_ > 0) // the last, shorter hop
            hops_.push_back(hop_sq_ / (double)(hop_n_ * channels_));
        ChapterLevels l;
        const double inf = std::numeric_limits<double>::infinity();
        double lufs = -inf;
        if (ebur128_loudness_global(state_.get(), &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs))
            lufs = -inf;
        l.integrated_lufs = lufs;
        l.rms_db = frames > 0 ? power_db(total_sq_ / ((double)frames * channels_)) : -inf;
        l.peak_db = amplitude_db(peak_);
        double tp = 0;
        for (int c = 0; true_peak_ && c < channels_; ++c) {
            double v = 0;
            if (ebur128_true_peak(state_.get(), (unsigned)c, &v) == EBUR128_SUCCESS)
                tp = std::max(tp, v);
        }
        l.true_peak_db = true_peak_ ? amplitude_db(tp) : std::numeric_limits<double>::quiet_NaN();
        if (blocks_.empty() && block_n_ > 0)
            blocks_.push_back(block_sq_ / (double)(block_n_ * channels_));
        std::sort(blocks_.begin(), blocks_.end());
        const size_t quiet =
            std::max<size_t>(1, (size_t)std::ceil((double)blocks_.size() * kQuietShare - 1e-9));
        double sum = 0;
        for (size_t k = 0; k < quiet && k < blocks_.size(); ++k)
            sum += blocks_[k];
        l.noise_floor_db = blocks_.empty() ? -inf : power_db(sum / (double)quiet);
        // Room tone: before the first and after the last hop of sound.
        const double sound_db = std::isfinite(l.rms_db)
                                    ? std::max(l.rms_db - kSoundBelowRmsDb, kSoundMinDb)
                                    : kSoundMinDb;
        const double sound = std::pow(10.0, sound_db / 10.0);
        size_t first = hops_.size(), last = hops_.size();
        for (size_t k = 0; k < hops_.size(); ++k)
            if (hops_[k] >= sound) {
                if (first == hops_.size())
                    first = k;
                last = k;
            }
        const double total_s = (double)frames / rate_;
        if (first == hops_.size()) {
            l.head_s = l.tail_s = total_s;
        } else {
            l.head_s = (double)(int64_t)(first * (uint64_t)rate_ / 100) / rate_;
            l.tail_s = total_s - (double)std::min<int64_t>(
                                     frames, (int64_t)((last + 1) * (uint64_t)rate_ / 100)) /
                                     rate_;
        }
        return l;
    }

  private:
    int channels_;
    int32_t rate_;
    bool true_peak_;
    StatePtr state_;
    double peak_ = 0, total_sq_ = 0, hop_sq_ = 0, block_sq_ = 0;
    int64_t at_ = 0, hop_n_ = 0, block_n_ = 0;
    std::vector<double> hops_, blocks_;
};

} // namespace

bool wav_chapter_ranges(const std::string &path, const std::vector<sil_chapter> &chapters,
                        std::vector<int64_t> *start, std::vector<int64_t> *end,
                        std::string *error) {
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(path.c_str(), &raw) != 0) {
        *error = path + ": " + sil_get_error();
        return false;
    }
    sil_wav_source_ptr src(raw);
    start->assign(chapters.size(), 0);
    end->assign(chapters.size(), 0);
    sil_chapter_frame_ranges(chapters.data(), (int32_t)chapters.size(), src->sample_rate,
                             src->frames, start->data(), end->data());
    return true;
}

namespace {

// What the threads measuring one file share.
struct MeasureJob {
    const std::string *path;
    const std::vector<int64_t> *start, *end;
    const std::vector<int> *speakers;
    bool true_peak;
    std::vector<ChapterLevels> *out;
    std::atomic<size_t> next{0};
    std::atomic<int64_t> done{0};
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::string error; // the first failure
};

void fail_job(MeasureJob *job, const std::string &error) {
    std::lock_guard<std::mutex> lock(job->mu);
    if (job->error.empty())
        job->error = error;
    job->stop = true;
}

// Measures chapters, one at a time, until none is left; tick() after each
// block (false: stop).
void measure_chapters(MeasureJob *job, const std::function<bool()> &tick) {
    const std::string &path = *job->path;
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(path.c_str(), &raw) != 0) {
        fail_job(job, path + ": " + sil_get_error());
        return;
    }
    sil_wav_source_ptr src(raw);
    std::vector<double> samples(src->block_frames * (size_t)src->channels);
    for (size_t k; !job->stop && (k = job->next.fetch_add(1)) < job->start->size();) {
        const int64_t first = (*job->start)[k], last = (*job->end)[k];
        ChapterMeter meter(src->channels, src->sample_rate, *job->speakers, job->true_peak);
        if (!meter.ok()) {
            fail_job(job, path + ": the loudness meter does not take " +
                              std::to_string(src->channels) + " channels at " +
                              std::to_string(src->sample_rate) + " Hz");
            return;
        }
        if (sil_wav_source_seek(src.get(), first) != 0) {
            fail_job(job, path + ": " + sil_get_error());
            return;
        }
        for (int64_t at = first; at < last;) {
            const int64_t n = sil_wav_source_read_raw(src.get(), (size_t)(last - at));
            if (n <= 0) {
                fail_job(job, path + ": " + (n < 0 ? sil_get_error() : "ends early"));
                return;
            }
            decode_samples(*src, src->raw, (size_t)n, samples.data());
            if (!meter.add(samples.data(), (size_t)n)) {
                fail_job(job, path + ": the loudness meter failed");
                return;
            }
            at += n;
            job->done += n;
            if (job->stop || !tick()) {
                job->stop = true;
                return;
            }
        }
        (*job->out)[k] = meter.finish();
    }
}

} // namespace

int measure_wav_levels(const std::string &path, const std::vector<int64_t> &start,
                       const std::vector<int64_t> &end, const LevelOptions &opts,
                       const std::function<bool(int64_t, int64_t)> &progress,
                       std::vector<ChapterLevels> *out, std::string *error) {
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(path.c_str(), &raw) != 0) {
        *error = path + ": " + sil_get_error();
        return -1;
    }
    const std::vector<int> speakers = channel_weights(path, *raw);
    sil_wav_source_free(raw);
    int64_t total = 0;
    for (size_t k = 0; k < start.size(); ++k)
        total += end[k] - start[k];
    out->assign(start.size(), ChapterLevels());
    MeasureJob job;
    job.path = &path;
    job.start = &start;
    job.end = &end;
    job.speakers = &speakers;
    job.true_peak = opts.true_peak;
    job.out = out;
    // This thread measures too, and alone tells the progress.
    std::atomic<bool> cancelled{false};
    const int helpers = (int)std::min<size_t>((size_t)std::max(opts.jobs, 1), start.size()) - 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < helpers; ++t)
        threads.emplace_back([&job] { measure_chapters(&job, [] { return true; }); });
    measure_chapters(&job, [&] {
        if (progress(job.done.load(), total))
            return true;
        cancelled = true;
        return false;
    });
    // The other threads' last chapters end without progress.
    for (std::thread &t : threads)
        t.join();
    if (!job.error.empty()) {
        *error = job.error;
        return -1;
    }
    if (cancelled || (!progress(total, total)))
        return 1;
    return 0;
}

namespace {

// The chapters' meters fed by one pass over a decoded stream, in order.
struct StreamMeters {
    const std::function<void(int32_t, std::vector<int64_t> *, std::vector<int64_t> *)> *ranges;
    const LevelOptions *opts;
    std::vector<int64_t> start, end;
    std::vector<std::unique_ptr<ChapterMeter>> meters;
    int channels = 0;
    int32_t rate = 0;
    std::vector<int> speakers;
    int64_t at = 0; // frames seen
};

int stream_start(void *user, int rate, const std::vector<int> &speakers, std::string *error) {
    StreamMeters *m = static_cast<StreamMeters *>(user);
    m->rate = rate;
    m->channels = (int)speakers.size();
    m->speakers = speakers;
    (*m->ranges)(rate, &m->start, &m->end);
    for (size_t k = 0; k < m->start.size(); ++k) {
        m->meters.emplace_back(new ChapterMeter(m->channels, rate, speakers, m->opts->true_peak));
        if (!m->meters.back()->ok()) {
            *error = "the loudness meter does not take " + std::to_string(m->channels) +
                     " channels at " + std::to_string(rate) + " Hz";
            return -1;
        }
    }
    return 0;
}

int stream_push(void *user, const double *samples, size_t frames, std::string *error) {
    StreamMeters *m = static_cast<StreamMeters *>(user);
    const int64_t first = m->at, last = m->at + (int64_t)frames;
    for (size_t k = 0; k < m->start.size(); ++k) {
        const int64_t a = std::max(first, m->start[k]), b = std::min(last, m->end[k]);
        if (a < b && !m->meters[k]->add(samples + (size_t)(a - first) * (size_t)m->channels,
                                        (size_t)(b - a))) {
            *error = "the loudness meter failed";
            return -1;
        }
    }
    m->at = last;
    return 0;
}

} // namespace

int measure_media_levels(
    const std::string &path, MediaRun *run,
    const std::function<void(int32_t, std::vector<int64_t> *, std::vector<int64_t> *)> &ranges,
    const LevelOptions &opts, std::vector<ChapterLevels> *out, std::string *error) {
    StreamMeters m;
    m.ranges = &ranges;
    m.opts = &opts;
    ChannelSink sink;
    sink.start = stream_start;
    sink.push = stream_push;
    sink.user = &m;
    std::string why;
    if (media_decode_channels(path, run, sink, &why) != 0) {
        *error = why == "cancelled" ? why : path + ": " + why;
        return why == "cancelled" ? 1 : -1;
    }
    out->clear();
    for (auto &meter : m.meters)
        out->push_back(meter->finish());
    return 0;
}

} // namespace silsplit_cli
