// analyze, split and chapters on recordings that FFmpeg reads. The decoded
// audio goes through the library's streaming pipeline; cutting and chapter
// marks copy the input's packets (no re-encoding) into new containers.
#include "media_commands.h"

#include "engine.h"
#include "formats/chapter_files.h"
#include "formats/json_doc.h"
#include "formats/report_json.h"
#include "split_output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <strings.h>
#include <vector>

namespace silsplit_cli {

namespace fs = std::filesystem;

namespace {

// Output goes through the descriptor its temporary file was created with
// (TempFile::fd), never through the name again: nothing planted at the name
// in between can be written to.
int fd_write(void *opaque, uint8_t *buf, int size) {
    const int fd = static_cast<TempFile *>(opaque)->fd;
    for (int done = 0; done < size;) {
        const ssize_t n = write(fd, buf + done, (size_t)(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return AVERROR(n < 0 ? errno : EIO);
        done += (int)n;
    }
    return size;
}

int64_t fd_seek(void *opaque, int64_t offset, int whence) {
    const int fd = static_cast<TempFile *>(opaque)->fd;
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return fstat(fd, &st) == 0 ? (int64_t)st.st_size : AVERROR(errno);
    }
    const off_t at = lseek(fd, (off_t)offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : (int64_t)at;
}

// An output context writing to t's descriptor. 0, or a negative FFmpeg code.
int open_temp_io(TempFile *t, AVIOContext **pb) {
    constexpr int kBufferSize = 1 << 16;
    unsigned char *buffer = static_cast<unsigned char *>(av_malloc(kBufferSize));
    if (!buffer)
        return AVERROR(ENOMEM);
    *pb = avio_alloc_context(buffer, kBufferSize, 1, t, nullptr, fd_write, fd_seek);
    if (!*pb) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    return 0;
}

// Flushes and frees an output context of open_temp_io. 0, or the first
// write error it met.
int close_temp_io(AVIOContext **pb) {
    if (!*pb)
        return 0;
    avio_flush(*pb);
    const int rc = (*pb)->error;
    av_freep(&(*pb)->buffer);
    avio_context_free(pb);
    return rc;
}

struct OutputCloser {
    void operator()(AVFormatContext *oc) const {
        if (oc && oc->pb)
            close_temp_io(&oc->pb);
        avformat_free_context(oc);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputCloser>;

// Frees an analysis's report and chapters at the end of a scope.
using AnalysisGuard = std::unique_ptr<sil_analysis, sil_analysis_releaser>;

// A new empty temporary file for final_path (see TempFile), kept open in
// t->fd for the writing. 0, or -1 with *error set.
int create_temp(const std::string &final_path, TempFile *t, std::string *error) {
    t->fd = create_temp_file(final_path, t);
    if (t->fd < 0) {
        *error = "cannot create " + final_path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

// A stdio stream over t's descriptor, which it takes ("w+b"). NULL with
// errno set.
FILE *take_temp_stream(TempFile *t) {
    FILE *f = fdopen(t->fd, "w+b");
    if (f)
        t->fd = -1;
    return f;
}

// Renames t into place, or hands it to stage (a split's file, put in place
// with the others once all are written). 0, or -1 with *error set.
int commit(TempFile *t, SplitStage *stage, std::string *error) {
    if ((stage ? stage_temp_file(t, stage) : commit_temp_file(t)) != 0) {
        *error = "cannot write " + t->final_path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

int write_text(const std::string &dir, const std::string &name, const char *text,
               SplitStage *stage, std::string *error) {
    const Outcome out = write_whole_file(
        dir, name,
        [text](FILE *f, std::string *) {
            const size_t len = strlen(text);
            return fwrite(text, 1, len, f) == len ? Outcome::done : Outcome::failed;
        },
        error, stage);
    return out == Outcome::done ? 0 : -1;
}

std::string skipped_warning(long long corrupt) {
    return "skipped " + std::to_string(corrupt) + " undecodable packet" + (corrupt == 1 ? "" : "s");
}

// Adds a warning to the run's, one per line.
void add_warning(MediaRun *run, const std::string &text) {
    if (run->warning.find(text) != std::string::npos)
        return;
    run->warning += run->warning.empty() ? text : "\n" + text;
}

// A warning for each hint that found no pause to move onto; -1 with *error
// set for hints at or past the end of the recording (empty chapters).
int check_hints(MediaRun *run, const char *report, std::string *error) {
    if (!report)
        return 0;
    *error = hints_past_end(report);
    if (!error->empty())
        return -1;
    for (const std::string &line : snap_warnings(report))
        add_warning(run, line);
    return 0;
}

// The options text with the input's chapter marks as the hints: their
// starts on the decoded stream's timeline, and their titles. -1 with
// *error set when the input has none.
int hints_from_marks(const AVFormatContext *fmt, MediaRun *run, std::string *out,
                     std::string *error) {
    if (fmt->nb_chapters == 0) {
        *error = "has no chapter marks to use as hints (--hints-from-input)";
        return -1;
    }
    // Chapter times count from the container's zero; the analysis from
    // its first sample.
    const double origin =
        fmt->start_time != AV_NOPTS_VALUE ? (double)fmt->start_time / AV_TIME_BASE : 0.0;
    std::vector<ChapterMark> marks;
    for (unsigned k = 0; k < fmt->nb_chapters; k++) {
        const AVChapter *ch = fmt->chapters[k];
        ChapterMark m;
        m.t0 = std::max(0.0, (double)ch->start * av_q2d(ch->time_base) - origin);
        const AVDictionaryEntry *title = av_dict_get(ch->metadata, "title", nullptr, 0);
        if (title && title->value[0]) {
            bool latin1 = false; // FFmpeg hands over the bytes a muxer wrote
            m.has_title = true;
            m.title = utf8_or_latin1(title->value, &latin1);
            if (latin1)
                add_warning(run, "the title of chapter mark " + std::to_string(k + 1) +
                                     " is not UTF-8: read as Latin-1 (\"" + m.title + "\")");
        }
        marks.push_back(m);
    }
    *out = options_with_hints(run->opts, marks);
    return 0;
}

// media_open for the commands: a WAV file with a wrapped size is read to
// its end, with a warning naming the size; one whose data breaks off is
// read as far as it goes, with a warning, and the command fails after it.
int open_input(const std::string &path, FILE *spool, MediaRun *run, MediaInput *in,
               std::string *error) {
    const std::string wrapped = wav_wrapped_size(path);
    if (!wrapped.empty())
        add_warning(run, wrapped);
    // A second opening (the copy of a pipe) reports no second break.
    const std::string short_data = run->broken_off ? "" : wav_data_short(path);
    if (!short_data.empty()) {
        add_warning(run, short_data);
        run->broken_off = true;
    }
    return media_open(path, run->stream, spool, run->stop, in, error, !wrapped.empty());
}

// ---------------------------------------------------------------------------
// Analysis through the pipeline
// ---------------------------------------------------------------------------

struct PipelineSink {
    const sil_opts *opts;
    sil_progress *progress;
    const sil_chapter_keys *keys; // the options' lists (chapters, hints, titles)
    sil_pipeline_ptr p;
};

int sink_start(void *user, int rate, std::string *error) {
    PipelineSink *s = static_cast<PipelineSink *>(user);
    s->p.reset(sil_pipeline_new(rate, -1, s->opts, s->progress, s->keys));
    if (!s->p) {
        *error = sil_get_error();
        return -1;
    }
    return 0;
}

int sink_push(void *user, const float *frames, size_t n, std::string *error) {
    PipelineSink *s = static_cast<PipelineSink *>(user);
    if (sil_pipeline_push(s->p.get(), frames, n) != 0) {
        *error = sil_get_error();
        return -1;
    }
    return 0;
}

// Decoding is nearly all the work: its position in the input takes the
// progress this far, and the pipeline's own calls, which come at the end
// (the length of a stream is not known before), take it on to 100.
constexpr int kReadPctEnd = 95;

std::string clock_text(double s) {
    const long long ms = llround(s * 1000.0);
    char text[48];
    snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
             ms / 1000 % 60, ms % 1000);
    return text;
}

// An input that breaks off: its packets end before the end the container
// declares for the stream (its own duration, or the file's when the stream
// is the file's only one), by more than half a second and 5 %, so that
// the encoder's padding and rounding, and packets lost to damage inside the
// file, never count. The packets' times, not
// the decoded frames, are compared, so that jumps in the timestamps and
// skipped packets are no break; the warning gives the decoded length.
// Durations estimated from the bit rate are not declared. Sets the warning
// and run->broken_off.
void check_end(const MediaInput &in, const MediaStats &stats, MediaRun *run) {
    const AVFormatContext *fmt = in.fmt.get();
    const AVStream *st = fmt->streams[in.stream];
    if (stats.sample_rate <= 0 || fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE)
        return;
    double declared = -1.0;
    if (st->duration > 0 && st->duration != AV_NOPTS_VALUE)
        declared = (double)st->duration * av_q2d(st->time_base);
    else if (fmt->nb_streams == 1 && fmt->duration > 0 && fmt->duration != AV_NOPTS_VALUE)
        declared = (double)fmt->duration / AV_TIME_BASE;
    if (declared < 0.0 || stats.end_pts == INT64_MIN)
        return;
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    const double reached = (double)(stats.end_pts - start) * av_q2d(st->time_base);
    if (declared - reached <= 0.5 || declared - reached <= 0.05 * declared)
        return;
    const double read = (double)stats.frames / stats.sample_rate;
    add_warning(run, "the input breaks off at " + clock_text(read) + " of its declared " +
                         clock_text(declared) + ": what was read is used");
    run->broken_off = true;
}

// An EBML variable-size integer at p, of at most left bytes: its length,
// its value without the length marker, and whether every value bit is set
// (a size left unknown). 0 when there is none.
size_t ebml_vint(const uint8_t *p, size_t left, uint64_t *value, bool *unknown) {
    if (left == 0 || p[0] == 0)
        return 0;
    size_t len = 1;
    while (!(p[0] & (0x80 >> (len - 1))))
        len++;
    if (len > left)
        return 0;
    uint64_t v = p[0] & (0xFFu >> len);
    bool ones = v == (0xFFu >> len);
    for (size_t i = 1; i < len; i++) {
        v = v << 8 | p[i];
        ones = ones && p[i] == 0xFF;
    }
    *value = v;
    *unknown = ones;
    return len;
}

// Where a Matroska file's segment ends as its size declares it (bytes from
// the start), or -1 when the head holds no such size (a live writer leaves
// it unknown).
int64_t matroska_segment_end(const std::vector<uint8_t> &head) {
    const uint8_t *p = head.data();
    const size_t n = head.size();
    static const uint8_t kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
    static const uint8_t kSegment[4] = {0x18, 0x53, 0x80, 0x67};
    uint64_t size = 0;
    bool unknown = false;
    if (n < 4 || memcmp(p, kEbml, 4) != 0)
        return -1;
    size_t at = 4;
    size_t len = ebml_vint(p + at, n - at, &size, &unknown);
    if (len == 0 || unknown || size > n - at - len)
        return -1;
    at += len + (size_t)size;
    if (n - at < 4 || memcmp(p + at, kSegment, 4) != 0)
        return -1;
    at += 4;
    len = ebml_vint(p + at, n - at, &size, &unknown);
    if (len == 0 || unknown || size > (uint64_t)INT64_MAX - at - len)
        return -1;
    return (int64_t)(at + len + size);
}

// The data chunk a RIFF WAV header declares: where it starts and its size.
// false when the head holds none, or its size is left open (0xFFFFFFFF).
bool riff_data_chunk(const std::vector<uint8_t> &head, int64_t *start, int64_t *size) {
    const uint8_t *p = head.data();
    const size_t n = head.size();
    const auto le32 = [](const uint8_t *q) {
        return (uint32_t)q[0] | (uint32_t)q[1] << 8 | (uint32_t)q[2] << 16 | (uint32_t)q[3] << 24;
    };
    if (n < 12 || memcmp(p, "RIFF", 4) != 0 || memcmp(p + 8, "WAVE", 4) != 0)
        return false;
    for (size_t at = 12; at + 8 <= n;) {
        const uint32_t chunk = le32(p + at + 4);
        if (memcmp(p + at, "data", 4) == 0) {
            *start = (int64_t)at + 8;
            *size = chunk;
            return chunk != 0xFFFFFFFFu;
        }
        at += 8 + (size_t)chunk + (chunk & 1u);
    }
    return false;
}

// How an Ogg file of size bytes ends: "" on a whole page that ends its
// stream (or when its end cannot be read), else where it breaks off.
std::string ogg_end(const std::string &path, int64_t size) {
    // A page is at most 27 + 255 + 255 * 255 bytes: the last one begins in
    // the file's last 65307.
    constexpr int64_t kMaxPage = 27 + 255 + 255 * 255;
    const int64_t from = std::max<int64_t>(0, size - kMaxPage);
    FilePtr f(fopen(path.c_str(), "rb"));
    std::vector<uint8_t> tail((size_t)(size - from));
    if (!f || fseeko(f.get(), (off_t)from, SEEK_SET) != 0 ||
        fread(tail.data(), 1, tail.size(), f.get()) != tail.size())
        return "";
    for (size_t at = tail.size() < 4 ? 0 : tail.size() - 3; at-- > 0;) {
        if (memcmp(&tail[at], "OggS", 4) != 0)
            continue;
        const size_t left = tail.size() - at;
        if (left > 4 && tail[at + 4] != 0) // not a page: the pattern inside a packet
            continue;
        if (left < 27 || left < 27 + (size_t)tail[at + 26])
            return ", in the middle of a page";
        const size_t segments = tail[at + 26];
        size_t body = 0;
        for (size_t i = 0; i < segments; i++)
            body += tail[at + 27 + i];
        const size_t page = 27 + segments + body;
        if (page > left)
            return ", in the middle of a page";
        if (page < left)
            return ""; // more follows that is not a page: not judged
        return (tail[at + 5] & 0x04) ? "" : ", without the page that ends its stream";
    }
    return "";
}

// An input that breaks off where its container's own structure says more
// should follow: a Matroska segment whose size runs past the bytes there
// are, a WAV file through a pipe whose data chunk does (a named one is
// judged by wav_data_short before it is opened), an Ogg file whose last
// page is cut short or does not end the stream. Judged after the pipe was
// read to its end, and only when check_end found no break. Sets the warning
// and run->broken_off.
void check_structure_end(const std::string &path, const MediaInput &in, const MediaStats &stats,
                         MediaRun *run) {
    if (run->broken_off || stats.sample_rate <= 0)
        return;
    const AVFormatContext *fmt = in.fmt.get();
    const std::string format = fmt->iformat->name;
    const MediaBytes *b = in.bytes.get();
    const bool pipe = b && b->fd >= 0;
    std::vector<uint8_t> head;
    int64_t held = -1;
    if (pipe) {
        if (!b->ended)
            return;
        head = b->head;
        held = b->total;
    } else if (!b) {
        FilePtr f(fopen(path.c_str(), "rb"));
        struct stat st;
        if (!f || fstat(fileno(f.get()), &st) != 0)
            return;
        held = (int64_t)st.st_size;
        head.resize(MediaBytes::kHeadBytes);
        head.resize(fread(head.data(), 1, head.size(), f.get()));
    } else {
        return;
    }
    const double read = (double)stats.frames / stats.sample_rate;
    std::string text;
    if (format == "matroska,webm") {
        const int64_t end = matroska_segment_end(head);
        if (end < 0 || end <= held)
            return;
        if (fmt->duration > 0 && fmt->duration != AV_NOPTS_VALUE)
            text = " of its declared " + clock_text((double)fmt->duration / AV_TIME_BASE);
        else
            text = ": its segment says " + std::to_string(end) + " bytes, the input holds " +
                   std::to_string(held) + ";";
    } else if (format == "wav" && pipe) {
        int64_t start = 0, size = 0;
        if (!riff_data_chunk(head, &start, &size) || start + size <= held)
            return;
        const AVCodecParameters *par = fmt->streams[in.stream]->codecpar;
        const int bits = av_get_bits_per_sample(par->codec_id);
        const int channels = par->ch_layout.nb_channels;
        // PCM's frames follow from the size; other codecs' from the share of
        // the data that was read.
        double declared = -1.0;
        if (bits > 0 && channels > 0)
            declared = (double)(size * 8 / ((int64_t)bits * channels)) / stats.sample_rate;
        else if (held > start)
            declared = read * (double)size / (double)(held - start);
        if (declared <= 0.0)
            return;
        text = " of its declared " + clock_text(declared);
    } else if (format == "ogg" && !pipe) {
        text = ogg_end(path, held);
        if (text.empty())
            return;
    } else {
        return;
    }
    add_warning(run,
                "the input breaks off at " + clock_text(read) + text +
                    (text.back() == ';' ? " what was read is used" : ": what was read is used"));
    run->broken_off = true;
}

// The stream's analysis. 0 and a filled record, or -1 with *error set.
int analyze_input(const std::string &path, MediaInput *in, MediaRun *run, MediaStats *stats,
                  sil_analysis *out, std::string *error) {
    *out = sil_analysis{};
    std::string text = run->opts;
    if (run->hints_from_input && hints_from_marks(in->fmt.get(), run, &text, error) != 0)
        return -1;
    sil_opts opts;
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    if (sil_parse_opts(text.empty() ? nullptr : text.c_str(), &opts, &keys) != 0) {
        *error = sil_get_error();
        return -1;
    }
    sil_progress progress = {run->progress, run->progress_user, -1, 0};
    if (sil_progress_report(&progress, 0, SIL_STAGE_READ) != 0) {
        *error = sil_get_error();
        return -1;
    }
    PipelineSink ps{&opts, &progress, &keys, nullptr};
    MediaSink sink;
    sink.start = sink_start;
    sink.push = sink_push;
    sink.user = &ps;
    if (media_decode_ranges(path, in, run->jobs, sink, &progress, kReadPctEnd, run->note, stats,
                            error) != 0)
        return -1;
    if (stats->corrupt > 0)
        add_warning(run, skipped_warning(stats->corrupt));
    if (!ps.p || sil_pipeline_frames(ps.p.get()) == 0) {
        *error = "the audio stream holds no samples";
        return -1;
    }
    check_end(*in, *stats, run);
    check_structure_end(path, *in, *stats, run);
    if (sil_pipeline_finish(ps.p.get(), out) != 0) { // makes the "done" call too
        *error = sil_get_error();
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Output formats
// ---------------------------------------------------------------------------

std::string lower_extension(const std::string &path) {
    std::string ext = fs::path(path).extension().string();
    if (!ext.empty())
        ext.erase(0, 1);
    for (char &c : ext)
        c = (char)tolower((unsigned char)c);
    return ext;
}

const AVOutputFormat *format_for_extension(const std::string &ext) {
    return ext.empty() ? nullptr : av_guess_format(nullptr, ("x." + ext).c_str(), nullptr);
}

bool muxer_takes(const AVOutputFormat *f, AVCodecID id) {
    // A muxer without a codec list answers "unknown" (< 0): let it try.
    return f && avformat_query_codec(f, id, FF_COMPLIANCE_NORMAL) != 0;
}

bool has_video(const AVFormatContext *fmt) {
    for (unsigned i = 0; i < fmt->nb_streams; i++) {
        const AVStream *st = fmt->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return true;
    }
    return false;
}

// A cover picture: a stream of one picture with the attached-picture
// disposition (an MP4's covr, an ID3v2 APIC frame, a FLAC PICTURE block).
bool is_picture(const AVStream *st) {
    return (st->disposition & AV_DISPOSITION_ATTACHED_PIC) && st->attached_pic.size > 0;
}

// Containers that keep a cover picture as one: MP4 (M4A, M4B), MP3 and
// FLAC. (Matroska would keep it as a video track of one frame, Ogg not at
// all.)
bool keeps_pictures(const AVOutputFormat *f) {
    static const char *const names[] = {"mp4", "mov", "ipod", "mp3", "flac"};
    for (const char *n : names)
        if (strcmp(f->name, n) == 0)
            return true;
    return false;
}

// The extension of the chapter files: the input's own when its container
// holds the audio stream alone, else the audio member of the input's
// container family.
std::string chapter_extension(const MediaInput &in, const std::string &path) {
    const AVCodecID id = in.fmt->streams[in.stream]->codecpar->codec_id;
    std::string ext = path == "-" ? "" : lower_extension(path);
    if (has_video(in.fmt.get())) {
        if (ext == "mkv" || ext == "webm")
            ext = ext == "mkv" ? "mka" : "webm";
        else if (ext == "mp4" || ext == "mov" || ext == "m4v")
            ext = "m4a";
        else
            ext = "";
    }
    if (muxer_takes(format_for_extension(ext), id))
        return ext;
    std::string demuxer = in.fmt->iformat->name;
    demuxer = demuxer.substr(0, demuxer.find(','));
    static const char *const family[][2] = {
        {"mp3", "mp3"},   {"mov", "m4a"}, {"flac", "flac"}, {"matroska", "mka"}, {"wav", "wav"},
        {"w64", "w64"},   {"aac", "aac"}, {"aiff", "aiff"}, {"caf", "caf"},      {"ac3", "ac3"},
        {"eac3", "eac3"}, {"asf", "wma"}, {"wv", "wv"},     {"tta", "tta"},      {"amr", "amr"},
    };
    std::string guess;
    if (demuxer == "ogg")
        guess = id == AV_CODEC_ID_OPUS ? "opus" : id == AV_CODEC_ID_FLAC ? "oga" : "ogg";
    for (const auto &f : family)
        if (demuxer == f[0])
            guess = f[1];
    if (muxer_takes(format_for_extension(guess), id))
        return guess;
    return "mka"; // Matroska holds nearly every codec
}

// ---------------------------------------------------------------------------
// Packet copy into chapter files
// ---------------------------------------------------------------------------

// Each chapter's frames at the stream's rate, the ranges the library's own
// split takes: [start[k], end[k]) (chapters that meet share no frame).
void chapter_frame_ranges(const sil_analysis &a, std::vector<int64_t> *start,
                          std::vector<int64_t> *end) {
    start->resize((size_t)a.count);
    end->resize((size_t)a.count);
    sil_chapter_frame_ranges(a.chapters, a.count, a.sample_rate, a.frames, start->data(),
                             end->data());
}

struct ChapterFile {
    TempFile file;
    OutputPtr oc;
    int64_t offset = AV_NOPTS_VALUE; // input time of the file's first packet
    int64_t last = AV_NOPTS_VALUE;   // file time of the last packet written
    int64_t end = AV_NOPTS_VALUE;    // and where it ends
    bool done = false;
    int64_t w64_audio_bytes = -1; // a Wave64 piece's audio bytes (see w64_unpad)
};

// FFmpeg's Wave64 writer gives the data chunk the size of its audio and the
// zero bytes that align the chunk to 8 bytes, which readers (FFmpeg's own
// among them) then read as audio: one to three frames of silence more in a
// piece whose audio is no multiple of 8 bytes. Sets the size of the data
// chunk of the Wave64 file open on fd to its 24 header bytes and the audio
// (the padding stays, after the chunk). 0, or -1 with errno set.
int w64_unpad(int fd, int64_t audio_bytes) {
    static const uint8_t kData[16] = {'d',  'a',  't',  'a',  0xF3, 0xAC, 0xD3, 0x11,
                                      0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    uint8_t head[24];
    // The chunks after the 40 bytes of the RIFF GUID, its size and the WAVE GUID.
    for (off_t at = 40; pread(fd, head, sizeof head, at) == (ssize_t)sizeof head;) {
        uint64_t size = 0;
        for (int k = 7; k >= 0; k--)
            size = size << 8 | head[16 + k];
        if (memcmp(head, kData, 16) == 0) {
            const uint64_t want = 24 + (uint64_t)audio_bytes;
            if (size < want || size - want >= 8)
                return 0; // not the padding this mends
            uint8_t field[8];
            for (int k = 0; k < 8; k++)
                field[k] = (uint8_t)(want >> (8 * k));
            return pwrite(fd, field, 8, at + 16) == 8 ? 0 : -1;
        }
        if (size < 24 || size > (uint64_t)INT64_MAX - (uint64_t)at)
            return 0;
        at += (off_t)((size + 7) & ~(uint64_t)7);
    }
    return 0;
}

// Opens chapter file index of count for a stream of parameters par in time
// base tb, with the input's tags, the stream's (stream_tags) and the
// chapter's title and track.
int open_chapter_file(const AVFormatContext *ifmt, const AVCodecParameters *par, AVRational tb,
                      const AVDictionary *stream_tags, const AVOutputFormat *ofmt, int index,
                      int count, const std::string &title, ChapterFile *cf, std::string *error) {
    if (create_temp(cf->file.final_path, &cf->file, error) != 0)
        return -1;
    AVFormatContext *oc = nullptr;
    int rc = avformat_alloc_output_context2(&oc, ofmt, nullptr, cf->file.temp.c_str());
    if (rc < 0) {
        *error = media_error_text(rc);
        return -1;
    }
    cf->oc.reset(oc);
    AVStream *os = avformat_new_stream(oc, nullptr);
    if (!os || avcodec_parameters_copy(os->codecpar, par) < 0) {
        *error = "out of memory";
        return -1;
    }
    os->codecpar->codec_tag = 0; // the output container picks its own
    os->time_base = tb;
    av_dict_copy(&os->metadata, stream_tags, 0);
    av_dict_copy(&oc->metadata, ifmt->metadata, 0);
    av_dict_set(&oc->metadata, "title",
                (title.empty() ? "Chapter " + std::to_string(index) : title).c_str(), 0);
    av_dict_set(&oc->metadata, "track",
                (std::to_string(index) + "/" + std::to_string(count)).c_str(), 0);
    // The input's cover pictures, in every piece of a container that keeps them.
    std::vector<const AVStream *> pictures;
    for (unsigned i = 0; keeps_pictures(ofmt) && i < ifmt->nb_streams; i++) {
        const AVStream *ist = ifmt->streams[i];
        if (!is_picture(ist))
            continue;
        AVStream *ps = avformat_new_stream(oc, nullptr);
        if (!ps || avcodec_parameters_copy(ps->codecpar, ist->codecpar) < 0) {
            *error = "out of memory";
            return -1;
        }
        ps->codecpar->codec_tag = 0;
        ps->time_base = ist->time_base;
        ps->disposition = ist->disposition;
        av_dict_copy(&ps->metadata, ist->metadata, 0);
        pictures.push_back(ist);
    }
    if (!(ofmt->flags & AVFMT_NOFILE)) {
        rc = open_temp_io(&cf->file, &oc->pb);
        if (rc < 0) {
            *error = "cannot create " + cf->file.final_path + ": " + media_error_text(rc);
            return -1;
        }
    }
    // A WAV piece of 4 GiB or more becomes RF64 (the space for its sizes
    // is kept in a JUNK chunk).
    AVDictionary *mux_opts = nullptr;
    if (strcmp(ofmt->name, "wav") == 0)
        av_dict_set(&mux_opts, "rf64", "auto", 0);
    rc = avformat_write_header(oc, &mux_opts);
    av_dict_free(&mux_opts);
    if (rc < 0) {
        *error = cf->file.final_path + ": " + media_error_text(rc);
        return -1;
    }
    for (size_t i = 0; i < pictures.size(); i++) {
        PacketPtr pic(av_packet_clone(&pictures[i]->attached_pic));
        if (!pic) {
            *error = "out of memory";
            return -1;
        }
        pic->stream_index = (int)i + 1;
        pic->pos = -1;
        if ((rc = av_interleaved_write_frame(oc, pic.get())) < 0) {
            *error = "cannot write " + cf->file.final_path + ": " + media_error_text(rc);
            return -1;
        }
    }
    return 0;
}

int finish_chapter_file(ChapterFile *cf, SplitStage *stage, std::string *error) {
    cf->done = true;
    int rc = av_write_trailer(cf->oc.get());
    const int closed = close_temp_io(&cf->oc->pb);
    if (rc >= 0)
        rc = closed;
    cf->oc.reset();
    if (rc < 0) {
        *error = "cannot write " + cf->file.final_path + ": " + media_error_text(rc);
        return -1;
    }
    if (cf->w64_audio_bytes >= 0 && w64_unpad(cf->file.fd, cf->w64_audio_bytes) != 0) {
        *error = "cannot write " + cf->file.final_path + ": " + strerror(errno);
        return -1;
    }
    return commit(&cf->file, stage, error);
}

// The frames an MP3 decoder's filter bank delays its output by, which
// readers of the LAME tag skip at the start of every file beside the
// encoder delay the tag gives.
constexpr uint32_t kMp3DecoderDelay = 529;

int write_copy(ChapterFile *cf, const AVPacket *pkt, AVRational tb, std::string *error) {
    PacketPtr c(av_packet_clone(pkt));
    if (!c) {
        *error = "out of memory";
        return -1;
    }
    const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (cf->offset == AV_NOPTS_VALUE)
        cf->offset = ts;
    // A chained stream's next link starts its times again: the file's run
    // on from the end of the packet before.
    if (ts != AV_NOPTS_VALUE && cf->last != AV_NOPTS_VALUE && ts - cf->offset < cf->last)
        cf->offset = ts - cf->end;
    if (ts != AV_NOPTS_VALUE) {
        cf->last = ts - cf->offset;
        cf->end = cf->last + std::max<int64_t>(pkt->duration, 0);
    }
    if (c->pts != AV_NOPTS_VALUE)
        c->pts -= cf->offset;
    if (c->dts != AV_NOPTS_VALUE)
        c->dts -= cf->offset;
    c->stream_index = 0;
    c->pos = -1;
    // FFmpeg's MP3 writer puts the skip of a packet's skip-samples data,
    // less the decoder's delay of 529 frames, into the LAME tag's 12-bit
    // encoder delay: the input's last packet, whose data holds only its end
    // padding (a skip of 0), would wrap it to 3567. It says 529 instead, so
    // that a piece without the input's first packet has a delay of 0.
    size_t side_size = 0;
    uint8_t *skip = av_packet_get_side_data(c.get(), AV_PKT_DATA_SKIP_SAMPLES, &side_size);
    if (skip && side_size >= 10 && strcmp(cf->oc->oformat->name, "mp3") == 0 &&
        AV_RL32(skip) < kMp3DecoderDelay)
        AV_WL32(skip, kMp3DecoderDelay);
    av_packet_rescale_ts(c.get(), tb, cf->oc->streams[0]->time_base);
    const int rc = av_interleaved_write_frame(cf->oc.get(), c.get());
    if (rc < 0) {
        *error = "cannot write " + cf->file.final_path + ": " + media_error_text(rc);
        return -1;
    }
    return 0;
}

// Shows the copy's position at (bytes) in the input of size bytes as the
// "write" stage. 0, or -1 with "cancelled" when the host's callback asks to
// stop.
int report_write_at(MediaRun *run, int *shown, int64_t at, int64_t size, std::string *error) {
    if (!run->progress || size <= 0)
        return 0;
    const int pct = at <= 0 ? 0 : at >= size ? 100 : (int)(at * 100 / size);
    if (pct == *shown)
        return 0;
    *shown = pct;
    if (run->progress(pct, "write", run->progress_user) != 0) {
        *error = "cancelled";
        return -1;
    }
    return 0;
}

// Why a split stops when its second reading of the input (for the pieces)
// does not end where the analysed first one did: the file was cut short, or
// grew, while it was split. Nothing of the split is put in place.
std::string input_changed(int64_t second, int64_t first) {
    return "the input changed while it was split: it ended at frame " + std::to_string(second) +
           " on its second reading, at frame " + std::to_string(first) +
           " on its first; no chapter file was written";
}

// report_write_at with the reading's own position in the input.
int report_write(MediaRun *run, int *shown, AVIOContext *pb, int64_t size, std::string *error) {
    return pb ? report_write_at(run, shown, avio_tell(pb), size, error) : 0;
}

// Decoded frames of one packet, counted as the analysis counts them: the
// decoder's own output for the packet, on the analysis's timeline (frames
// at another rate as many as their resampling gives, see
// media_timeline_count). -1 with *error set when the decoder fails
// outright.
int64_t packet_frames(AVCodecContext *dec, AVFrame *frame, const AVPacket *pkt,
                      MediaTimelineCount *count, std::string *error) {
    int rc = avcodec_send_packet(dec, pkt);
    if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF)
        return 0; // a packet the decoder drops adds nothing to the timeline
    int64_t n = 0;
    for (;;) {
        rc = avcodec_receive_frame(dec, frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return n;
        if (rc == AVERROR(ENOMEM)) {
            *error = "out of memory";
            return -1;
        }
        if (rc < 0)
            continue;
        if (frame->nb_samples > 0 && frame->ch_layout.nb_channels > 0 && frame->sample_rate > 0)
            n += media_timeline_count(count, frame->sample_rate, frame->nb_samples);
        av_frame_unref(frame);
    }
}

// Where the packets of a packet copy go: the chapters' frame ranges and
// limits, the chapter being written or waited for, what its file holds, and
// the frames where each file was cut.
struct CopyPlan {
    std::vector<int64_t> start, end;
    int64_t max_len = INT64_MAX;
    bool keep_all = false;
    int min_packets = 1;
    size_t k = 0;     // the chapter being written or waited for
    int64_t held = 0; // frames of the packets in chapter k's file
    int packets = 0;  // and the packets
    std::vector<int64_t> cut0, cut1;
};

// What place_packet decided for one packet: the chapters whose files close
// before it, [closed_from, closed_to), cut at its start; the chapter whose
// file takes it (the chapter count: none); whether that file closes after
// it, cut at its end.
struct Placement {
    size_t closed_from = 0, closed_to = 0;
    size_t to = 0;
    bool close_after = false;
};

// Places the packet spanning frames [s0, s1) of the decoded stream (len
// frames; 0 for one the decoder drops). into, when it is a chapter, is
// where the packet must go: the files before it close at s0.
Placement place_packet(CopyPlan *p, int64_t s0, int64_t s1, int64_t len, size_t into) {
    const size_t n = p->start.size();
    Placement r;
    r.closed_from = r.closed_to = p->k;
    r.to = n;
    const auto close = [p](int64_t at) {
        if (p->cut0[p->k] < 0)
            p->cut0[p->k] = at;
        p->cut1[p->k] = at;
        p->k++;
        p->held = 0;
        p->packets = 0;
    };
    while (p->k < n) {
        const size_t k = p->k;
        if (into < n && k < into) {
            close(s0);
            r.closed_to = p->k;
            continue;
        }
        if (p->cut0[k] < 0) { // waiting for the chapter's first frame
            const bool meets = k > 0 && p->start[k] <= p->end[k - 1];
            if (k != into && !meets && s1 <= p->start[k] && !(len == 0 && s0 == p->start[k]))
                break; // before the chapter: in no file
            p->cut0[k] = s0;
        }
        const int64_t limit =
            p->end[k] - p->cut0[k] > p->max_len ? p->cut0[k] + p->max_len : p->end[k];
        const bool last_of_all = p->keep_all && k + 1 == n;
        const bool too_few = p->packets < p->min_packets && s1 - p->cut0[k] <= p->max_len;
        if (p->held == 0 || s1 <= limit || last_of_all || too_few || k == into) {
            r.to = k;
            p->held += len > 0 ? len : 1;
            p->packets++;
            if (s1 >= limit && !last_of_all && p->packets >= p->min_packets) {
                close(s1);
                r.close_after = true;
            }
            break;
        }
        close(s0); // the packet ends past the cut
        r.closed_to = p->k;
    }
    return r;
}

// The chapter that the last two packets of the input, [s0, s1) and then
// [s1, s2), should go to together, or the chapter count when they may go
// where place_packet puts them: an MP3 piece must hold two packets, and the
// last packet alone in a file has no next one to take, so the file takes the
// packet before it (and the previous file ends one packet earlier, when it
// keeps two of its own and the two fit within max_chapter_s).
size_t last_pair(const CopyPlan &p, int64_t s0, int64_t s1, int64_t len0, int64_t s2,
                 int64_t len1) {
    const size_t n = p.start.size();
    if (p.min_packets < 2 || p.k >= n)
        return n;
    CopyPlan dry = p;
    const Placement first = place_packet(&dry, s0, s1, len0, n);
    const Placement last = place_packet(&dry, s1, s2, len1, n);
    if (last.to >= n || last.to == first.to || dry.packets != 1)
        return n; // not alone
    const bool gives_up =
        first.to == n || (first.to == p.k && first.closed_to == p.k && p.packets >= p.min_packets);
    return gives_up && s2 - s0 <= p.max_len ? last.to : n;
}

// A packet read ahead, with the frames its decoding gave and the position
// in the input after it.
struct AheadPacket {
    PacketPtr pkt;
    int64_t len = 0;
    int64_t read_to = 0;
};

// Copies the packets of the chosen stream into the chapter files. The cuts
// lie on packet boundaries of the analysis's own timeline: each packet spans
// the frames its decoding gives, so jumps in timestamps and packets the
// decoder drops cannot move a chapter. A file starts at the packet that
// holds its chapter's first frame (or where the one before it ended, when
// the chapters meet) and ends at the last boundary at or before the
// chapter's end and within max_chapter_s of its start; every packet goes to
// one file at most, and with keep_all the files hold every packet once.
// The times cut are kept in cut_t0 and cut_t1 (seconds of the analysis).
int copy_chapters(MediaInput *in, const std::string &source_name, const sil_analysis &a,
                  const std::string &out_dir, SplitStage *stage, MediaRun *run,
                  std::vector<double> *cut_t0,
                  std::vector<double> *cut_t1, std::vector<std::string> *names,
                  std::string *error) {
    const AVStream *ist = in->fmt->streams[in->stream];
    const AVRational tb = ist->time_base;
    const std::string ext = chapter_extension(*in, source_name);
    const AVOutputFormat *ofmt = format_for_extension(ext);
    if (!ofmt) {
        *error = "no container for ." + ext;
        return -1;
    }
    sil_opts opts;
    if (sil_parse_opts(run->opts.empty() ? nullptr : run->opts.c_str(), &opts) != 0) {
        *error = sil_get_error();
        return -1;
    }
    const size_t n = (size_t)a.count;
    const int rate = a.sample_rate;
    CopyPlan plan;
    chapter_frame_ranges(a, &plan.start, &plan.end);
    plan.max_len = opts.max_chapter_s > 0.0f && rate > 0
                       ? (int64_t)std::floor((double)opts.max_chapter_s * rate)
                       : INT64_MAX;
    plan.keep_all = opts.keep_all;
    // An MP3 file of one frame is not recognised as MP3 (the reader wants a
    // second frame after the first): a piece takes a second packet from the
    // next chapter when it would otherwise hold one, and the last piece the
    // packet before its own (see last_pair).
    plan.min_packets = strcmp(ofmt->name, "mp3") == 0 ? 2 : 1;
    plan.cut0.assign(n, -1);
    plan.cut1.assign(n, -1);
    std::vector<ChapterFile> files(n);
    std::vector<std::string> titles = analysis_titles(a);
    titles.resize(n);
    *names = chapter_file_names(run->name_template, titles, n, ext);
    const std::string why = check_chapter_names(out_dir, *names, run->overwrite, source_name);
    if (!why.empty()) {
        *error = why;
        return -1;
    }
    for (size_t k = 0; k < n; k++)
        files[k].file.final_path = (fs::path(out_dir) / (*names)[k]).string();

    FramePtr frame(av_frame_alloc());
    if (!frame) {
        *error = "out of memory";
        return -1;
    }
    AVCodecContext *dec = in->dec.get();
    MediaTimelineCount count;
    count.rate = rate;
    int64_t pos = 0; // decoded frames before the packet being placed
    const int64_t size = in->fmt->pb ? avio_size(in->fmt->pb) : -1;
    int shown = -1;
    // Opens chapter k's file unless it is open.
    const auto open_file = [&](size_t k) -> int {
        ChapterFile &cf = files[k];
        if (cf.oc)
            return 0;
        return open_chapter_file(in->fmt.get(), ist->codecpar, tb, ist->metadata, ofmt, (int)k + 1,
                                 (int)n, titles[k], &cf, error);
    };
    // Finishes chapter k's file (empty when no packet came).
    const auto finish_file = [&](size_t k) -> int {
        return open_file(k) != 0 || finish_chapter_file(&files[k], stage, error) != 0 ? -1 : 0;
    };
    // Three packets are read ahead, so that the last two are known as such;
    // the progress follows the packets placed.
    std::deque<AheadPacket> ahead;
    bool input_ended = false;
    int64_t placed_to = in->fmt->pb ? avio_tell(in->fmt->pb) : 0;
    while (plan.k < n) {
        if (in->fmt->pb && report_write_at(run, &shown, placed_to, size, error) != 0)
            return -1;
        while (!input_ended && ahead.size() < 3) {
            AheadPacket next{PacketPtr(av_packet_alloc()), 0};
            if (!next.pkt) {
                *error = "out of memory";
                return -1;
            }
            const int got = media_next_packet(in, in->stream, next.pkt.get(), error);
            if (got < 0)
                return -1;
            if (got == 0) {
                input_ended = true;
                break;
            }
            next.len = packet_frames(dec, frame.get(), next.pkt.get(), &count, error);
            if (next.len < 0)
                return -1;
            next.read_to = in->fmt->pb ? avio_tell(in->fmt->pb) : 0;
            ahead.push_back(std::move(next));
        }
        if (ahead.empty()) {
            // The chapters still open end where the input ends: it must end
            // where the analysis saw it end.
            if (pos != a.frames) {
                *error = input_changed(pos, a.frames);
                return -1;
            }
            break;
        }
        const AheadPacket cur = std::move(ahead.front());
        ahead.pop_front();
        placed_to = cur.read_to;
        const int64_t s0 = pos, s1 = pos + cur.len;
        pos = s1;
        const size_t into = input_ended && ahead.size() == 1
                                ? last_pair(plan, s0, s1, cur.len, s1 + ahead[0].len, ahead[0].len)
                                : n;
        const Placement put = place_packet(&plan, s0, s1, cur.len, into);
        for (size_t k = put.closed_from; k < put.closed_to; k++)
            if (finish_file(k) != 0)
                return -1;
        if (put.to < n) {
            if (open_file(put.to) != 0 || write_copy(&files[put.to], cur.pkt.get(), tb, error) != 0)
                return -1;
            if (put.close_after && finish_file(put.to) != 0)
                return -1;
        }
    }
    for (; plan.k < n;) {
        const size_t k = plan.k;
        const int64_t at = plan.cut0[k] >= 0 ? pos : std::min(pos, plan.start[k]);
        if (plan.cut0[k] < 0)
            plan.cut0[k] = at;
        plan.cut1[k] = at;
        plan.k++;
        if (finish_file(k) != 0)
            return -1;
    }
    if (run->progress && size > 0 && shown != 100 &&
        run->progress(100, "write", run->progress_user) != 0) {
        *error = "cancelled";
        return -1;
    }
    cut_t0->resize(n);
    cut_t1->resize(n);
    for (size_t j = 0; j < n; j++) {
        (*cut_t0)[j] = rate > 0 ? (double)plan.cut0[j] / rate : 0.0;
        (*cut_t1)[j] = rate > 0 ? (double)plan.cut1[j] / rate : 0.0;
    }
    return 0;
}

// The report with the times a packet copy cut, cut_t0 and cut_t1 in each
// chapter (seconds of the decoded stream); "" when the report is not JSON.
std::string with_cut_times(const char *report, const std::vector<double> &cut_t0,
                           const std::vector<double> &cut_t1) {
    JsonDoc doc = read_json(report);
    if (!doc)
        return "";
    JsonMutDoc out(yyjson_doc_mut_copy(doc.get(), nullptr));
    if (!out)
        throw std::bad_alloc();
    yyjson_mut_val *chapters = yyjson_mut_obj_get(yyjson_mut_doc_get_root(out.get()), "chapters");
    size_t idx, max;
    yyjson_mut_val *ch;
    yyjson_mut_arr_foreach(chapters, idx, max, ch) {
        if (idx >= cut_t0.size())
            break;
        yyjson_mut_obj_add_real(out.get(), ch, "cut_t0", cut_t0[idx]);
        yyjson_mut_obj_add_real(out.get(), ch, "cut_t1", cut_t1[idx]);
    }
    return take_json_text(yyjson_mut_write(out.get(), 0, nullptr));
}

// ---------------------------------------------------------------------------
// Decoded chapters as 16-bit WAV files
// ---------------------------------------------------------------------------

// One chapter's WAV file while its frames come: the temporary file and the
// writer, removed again unless the chapter is finished and committed.
struct WavPiece {
    TempFile t;
    sil_wav_writer w{};
    bool open = false;
    WavPiece() = default;
    WavPiece(const WavPiece &) = delete;
    WavPiece &operator=(const WavPiece &) = delete;
    ~WavPiece() {
        if (open)
            sil_wav_writer_abort(&w);
    }
};

// The chapters' frame ranges and the files being written. Each frame goes
// to its file as it is decoded, so memory is bounded by the decoder's
// block, never by a chapter's length.
struct WavChapters {
    const std::string *out_dir;
    SplitStage *stage;
    MediaRun *run; // the "write" progress: the frames written of the analysis's
    int64_t frames = 0;
    int shown = -1;
    std::vector<std::string> names, titles;
    std::vector<int64_t> start, end;
    std::vector<std::unique_ptr<WavPiece>> pieces;
    int rate = 0;
    int64_t pos = 0;
    size_t next = 0;
};

int open_wav_piece(WavChapters *w, size_t k, std::string *error) {
    const std::string &name = w->names[k];
    const int64_t n = w->end[k] - w->start[k];
    if (n > SIL_PCM16_MAX_SAMPLES) {
        *error = name + ": chapter too long for a WAV file";
        return -1;
    }
    std::unique_ptr<WavPiece> p(new WavPiece);
    if (create_temp((fs::path(*w->out_dir) / name).string(), &p->t, error) != 0)
        return -1;
    FILE *f = take_temp_stream(&p->t);
    if (!f) {
        *error = name + ": " + strerror(errno);
        return -1;
    }
    if (sil_wav_writer_open_stream(&p->w, f, p->t.temp.c_str(), n, w->rate) != 0) {
        *error = name + ": " + sil_get_error();
        return -1;
    }
    p->open = true;
    w->pieces[k] = std::move(p);
    return 0;
}

int finish_wav_piece(WavChapters *w, size_t k, std::string *error) {
    if (!w->pieces[k] && open_wav_piece(w, k, error) != 0)
        return -1;
    WavPiece *p = w->pieces[k].get();
    p->open = false;
    if (sil_wav_writer_close(&p->w) != 0) {
        *error = w->names[k] + ": " + sil_get_error();
        return -1;
    }
    if (!w->titles[k].empty()) {
        FilePtr f(fopen(p->t.temp.c_str(), "r+b"));
        if (!f || !append_wav_title(f.get(), w->titles[k]) || fflush(f.get()) != 0) {
            *error = "cannot write " + p->t.final_path + ": " + strerror(errno);
            return -1;
        }
    }
    if (commit(&p->t, w->stage, error) != 0)
        return -1;
    w->pieces[k].reset();
    return 0;
}

int wav_start(void *user, int rate, std::string *) {
    static_cast<WavChapters *>(user)->rate = rate;
    return 0;
}

int wav_push(void *user, const float *frames, size_t n, std::string *error) {
    WavChapters *w = static_cast<WavChapters *>(user);
    const int64_t b0 = w->pos, b1 = w->pos + (int64_t)n;
    for (size_t k = w->next; k < w->start.size() && w->start[k] < b1; k++) {
        const int64_t a = std::max(b0, w->start[k]), b = std::min(b1, w->end[k]);
        if (a >= b)
            continue;
        if (!w->pieces[k] && open_wav_piece(w, k, error) != 0)
            return -1;
        WavPiece *p = w->pieces[k].get();
        if (sil_wav_writer_put(&p->w, frames + (a - b0), (size_t)(b - a)) != 0) {
            p->open = false; // the writer removed its file and closed
            *error = w->names[k] + ": " + sil_get_error();
            return -1;
        }
    }
    w->pos = b1;
    while (w->next < w->start.size() && w->end[w->next] <= w->pos) {
        if (finish_wav_piece(w, w->next, error) != 0)
            return -1;
        w->next++;
    }
    return report_write_at(w->run, &w->shown, w->pos, w->frames, error);
}

// Decodes the input again and writes each chapter's frames, the range the
// library's own split takes at the stream's rate.
int write_wav_chapters(MediaInput *in, const sil_analysis &a, const std::string &out_dir,
                       const std::vector<std::string> &names, SplitStage *stage, MediaRun *run,
                       std::string *error) {
    WavChapters w;
    w.out_dir = &out_dir;
    w.stage = stage;
    w.run = run;
    w.frames = a.frames;
    const size_t n = (size_t)a.count;
    w.names = names;
    w.titles = analysis_titles(a);
    w.titles.resize(n);
    chapter_frame_ranges(a, &w.start, &w.end);
    w.pieces.resize(n);
    MediaSink sink;
    sink.start = wav_start;
    sink.push = wav_push;
    sink.user = &w;
    MediaStats stats;
    if (media_decode(in, sink, nullptr, 0, &stats, error) != 0)
        return -1;
    for (; w.next < n; w.next++) {
        if (w.end[w.next] > w.pos) {
            *error = input_changed(w.pos, a.frames);
            return -1;
        }
        if (finish_wav_piece(&w, w.next, error) != 0)
            return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Lossless inputs: each chapter decoded and encoded again, sample-exact
// ---------------------------------------------------------------------------

// Whether the WavPack stream of source (read as run reads it; as_stream
// for the copy of a pipe) is lossless: the block header that starts its
// first packet has no hybrid flag (bit 3 of the flags at bytes 24-27). A
// hybrid stream is lossy without its correction file, which FFmpeg does not
// read. A stream whose packets carry no block header (Matroska strips it)
// counts as hybrid.
bool wavpack_lossless(const std::string &source, bool as_stream, const MediaRun &run) {
    MediaInput in;
    std::string error;
    if (media_open(source, run.stream, nullptr, run.stop, &in, &error, false, as_stream) != 0)
        return false;
    PacketPtr pkt(av_packet_alloc());
    if (!pkt || media_next_packet(&in, in.stream, pkt.get(), &error) != 1)
        return false;
    return pkt->size >= 32 && memcmp(pkt->data, "wvpk", 4) == 0 && !(AV_RL32(pkt->data + 24) & 0x8);
}

// Whether the chosen stream is cut by encoding its decoded frames again: a
// lossless codec (FLAC, ALAC, PCM of any layout, G.711; WavPack when
// lossless_wavpack, see wavpack_lossless) that FFmpeg also encodes, in a
// container that takes it. The pieces then start and end on the chapters'
// own frames, the audio bit for bit the input's.
bool cuts_exactly(const MediaInput &in, const AVOutputFormat *ofmt, bool lossless_wavpack) {
    const AVCodecParameters *par = in.fmt->streams[in.stream]->codecpar;
    const AVCodecDescriptor *desc = avcodec_descriptor_get(par->codec_id);
    // G.711 is lossy against the analogue signal, but its decoded samples
    // encode back to the same bytes. WavPack is listed as lossy too, for
    // its hybrid mode.
    const bool g711 = par->codec_id == AV_CODEC_ID_PCM_MULAW || par->codec_id == AV_CODEC_ID_PCM_ALAW;
    const bool wavpack = par->codec_id == AV_CODEC_ID_WAVPACK && lossless_wavpack;
    if (!desc || (!g711 && !wavpack &&
                  (!(desc->props & AV_CODEC_PROP_LOSSLESS) || (desc->props & AV_CODEC_PROP_LOSSY))))
        return false;
    const AVCodec *enc = avcodec_find_encoder(par->codec_id);
    if (!enc || !muxer_takes(ofmt, par->codec_id))
        return false;
    const AVSampleFormat fmt = in.dec->sample_fmt;
    if (!enc->sample_fmts)
        return false;
    for (const AVSampleFormat *f = enc->sample_fmts; *f != AV_SAMPLE_FMT_NONE; f++)
        if (*f == fmt)
            return true;
    return false;
}

struct EncoderCloser {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FifoCloser {
    void operator()(AVAudioFifo *f) const { av_audio_fifo_free(f); }
};

// One chapter's file while its frames come: the container, the encoder and
// the frames waiting for a whole encoder frame. Removed again unless the
// chapter is finished and committed.
struct ExactPiece {
    ChapterFile file;
    std::unique_ptr<AVCodecContext, EncoderCloser> enc;
    std::unique_ptr<AVAudioFifo, FifoCloser> fifo;
    FramePtr frame; // one encoder frame
    int frame_size = 0;
    int64_t written = 0; // frames sent to the encoder
};

struct ExactChapters {
    MediaInput *in;
    const AVOutputFormat *ofmt;
    std::string ext, out_dir;
    SplitStage *stage;
    std::vector<std::string> names, titles; // the pieces' file names and titles
    std::vector<int64_t> start, end;
    std::vector<std::unique_ptr<ExactPiece>> pieces;
    int rate = 0;
    int64_t pos = 0; // decoded frames so far, counted as the analysis counts them
    size_t next = 0; // the first chapter not yet finished
};

// Frames for a variable frame size encoder (PCM): the size of one encoder call.
constexpr int kPcmFrames = 4096;

int open_exact_piece(ExactChapters *x, size_t k, std::string *error) {
    const AVCodecContext *dec = x->in->dec.get();
    const AVStream *ist = x->in->fmt->streams[x->in->stream];
    std::unique_ptr<ExactPiece> p(new ExactPiece);
    p->file.file.final_path = (fs::path(x->out_dir) / x->names[k]).string();
    const AVCodec *codec = avcodec_find_encoder(ist->codecpar->codec_id);
    p->enc.reset(avcodec_alloc_context3(codec));
    if (!p->enc) {
        *error = "out of memory";
        return -1;
    }
    AVCodecContext *enc = p->enc.get();
    enc->sample_fmt = dec->sample_fmt;
    enc->sample_rate = x->rate;
    enc->bits_per_raw_sample = dec->bits_per_raw_sample;
    enc->time_base = AVRational{1, x->rate};
    int rc = av_channel_layout_copy(&enc->ch_layout, &dec->ch_layout);
    if (rc >= 0 && (x->ofmt->flags & AVFMT_GLOBALHEADER))
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (rc >= 0)
        rc = avcodec_open2(enc, codec, nullptr);
    if (rc < 0) {
        *error = p->file.file.final_path + ": " + media_error_text(rc);
        return -1;
    }
    const bool variable = (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || enc->frame_size <= 0;
    p->frame_size = variable ? kPcmFrames : enc->frame_size;
    p->fifo.reset(av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, p->frame_size));
    p->frame.reset(av_frame_alloc());
    if (!p->fifo || !p->frame) {
        *error = "out of memory";
        return -1;
    }
    // The container's stream takes the encoder's parameters; the tags are
    // those of a packet copy.
    std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters *)> par(
        avcodec_parameters_alloc(), [](AVCodecParameters *q) { avcodec_parameters_free(&q); });
    if (!par || avcodec_parameters_from_context(par.get(), enc) < 0) {
        *error = "out of memory";
        return -1;
    }
    if (open_chapter_file(x->in->fmt.get(), par.get(), enc->time_base, ist->metadata, x->ofmt,
                          (int)k + 1, (int)x->start.size(), x->titles[k], &p->file, error) != 0)
        return -1;
    x->pieces[k] = std::move(p);
    return 0;
}

// Sends frame (NULL: the end) to the piece's encoder and writes what comes out.
int encode_exact(ExactPiece *p, AVFrame *frame, std::string *error) {
    AVCodecContext *enc = p->enc.get();
    int rc = avcodec_send_frame(enc, frame);
    if (rc < 0) {
        *error = p->file.file.final_path + ": " + media_error_text(rc);
        return -1;
    }
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) {
        *error = "out of memory";
        return -1;
    }
    AVFormatContext *oc = p->file.oc.get();
    for (;;) {
        rc = avcodec_receive_packet(enc, pkt.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return 0;
        if (rc < 0) {
            *error = p->file.file.final_path + ": " + media_error_text(rc);
            return -1;
        }
        pkt->stream_index = 0;
        av_packet_rescale_ts(pkt.get(), enc->time_base, oc->streams[0]->time_base);
        rc = av_interleaved_write_frame(oc, pkt.get());
        if (rc < 0) {
            *error = "cannot write " + p->file.file.final_path + ": " + media_error_text(rc);
            return -1;
        }
    }
}

// Encodes the waiting frames, in encoder frames of the piece's size (all of
// them, the last one shorter, when flush).
int drain_fifo(ExactPiece *p, bool flush, std::string *error) {
    AVCodecContext *enc = p->enc.get();
    for (;;) {
        const int have = av_audio_fifo_size(p->fifo.get());
        if (have == 0 || (!flush && have < p->frame_size))
            return 0;
        const int n = std::min(have, p->frame_size);
        AVFrame *f = p->frame.get();
        av_frame_unref(f);
        f->nb_samples = n;
        f->format = enc->sample_fmt;
        f->sample_rate = enc->sample_rate;
        if (av_channel_layout_copy(&f->ch_layout, &enc->ch_layout) < 0 ||
            av_frame_get_buffer(f, 0) < 0) {
            *error = "out of memory";
            return -1;
        }
        if (av_audio_fifo_read(p->fifo.get(), reinterpret_cast<void **>(f->data), n) != n) {
            *error = "out of memory";
            return -1;
        }
        f->pts = p->written;
        p->written += n;
        if (encode_exact(p, f, error) != 0)
            return -1;
    }
}

int finish_exact_piece(ExactChapters *x, size_t k, std::string *error) {
    if (!x->pieces[k] && open_exact_piece(x, k, error) != 0)
        return -1;
    ExactPiece *p = x->pieces[k].get();
    if (drain_fifo(p, true, error) != 0)
        return -1;
    if (strcmp(x->ofmt->name, "w64") == 0) { // PCM: every frame sent is written
        const AVCodecContext *enc = p->enc.get();
        p->file.w64_audio_bytes = p->written * enc->ch_layout.nb_channels *
                                  (av_get_bits_per_sample(enc->codec_id) / 8);
    }
    if (encode_exact(p, nullptr, error) != 0 || finish_chapter_file(&p->file, x->stage, error) != 0)
        return -1;
    x->pieces[k].reset();
    return 0;
}

// Hands frames [a, b) of the decoded frame f (a and b counted from its first
// frame) to the piece.
int put_exact(ExactPiece *p, const AVFrame *f, int a, int b, std::string *error) {
    const AVSampleFormat fmt = (AVSampleFormat)f->format;
    const int channels = f->ch_layout.nb_channels;
    const size_t bytes = (size_t)av_get_bytes_per_sample(fmt);
    const bool planar = av_sample_fmt_is_planar(fmt) != 0;
    std::vector<void *> planes(planar ? (size_t)channels : 1);
    for (size_t c = 0; c < planes.size(); c++)
        planes[c] = f->extended_data[c] + (size_t)a * bytes * (planar ? 1 : (size_t)channels);
    if (av_audio_fifo_write(p->fifo.get(), planes.data(), b - a) != b - a) {
        *error = "out of memory";
        return -1;
    }
    return drain_fifo(p, false, error);
}

// One decoded frame of the analysis's timeline, to every chapter that holds
// part of it; chapters that end with it are finished.
int exact_frame(ExactChapters *x, const AVFrame *f, std::string *error) {
    const int64_t b0 = x->pos, b1 = x->pos + f->nb_samples;
    for (size_t k = x->next; k < x->start.size() && x->start[k] < b1; k++) {
        const int64_t a = std::max(b0, x->start[k]), b = std::min(b1, x->end[k]);
        if (a >= b)
            continue;
        if (!x->pieces[k] && open_exact_piece(x, k, error) != 0)
            return -1;
        if (put_exact(x->pieces[k].get(), f, (int)(a - b0), (int)(b - b0), error) != 0)
            return -1;
    }
    x->pos = b1;
    while (x->next < x->start.size() && x->end[x->next] <= x->pos) {
        if (finish_exact_piece(x, x->next, error) != 0)
            return -1;
        x->next++;
    }
    return 0;
}

// Takes the frames the decoder has ready. Frames are counted as the
// analysis counts them: a frame without samples is left out; a frame at
// another rate ends the cutting with an error.
int receive_exact(ExactChapters *x, AVFrame *frame, std::string *error) {
    for (;;) {
        const int rc = avcodec_receive_frame(x->in->dec.get(), frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return 0;
        if (rc == AVERROR(ENOMEM)) {
            *error = "out of memory";
            return -1;
        }
        if (rc < 0)
            continue;
        int taken = 0;
        if (frame->nb_samples > 0 && frame->ch_layout.nb_channels > 0 && frame->sample_rate > 0 &&
            frame->sample_rate != x->rate) {
            // The analysis resampled the rest onto its timeline; pieces of
            // the input's own samples cannot follow it.
            *error = "the stream changes its sample rate from " + std::to_string(x->rate) +
                     " Hz to " + std::to_string(frame->sample_rate) + " Hz at " +
                     clock_text((double)x->pos / x->rate) +
                     ", so its chapters cannot be cut sample-exact; --to-wav writes them";
            taken = -1;
        } else if (frame->nb_samples > 0 && frame->ch_layout.nb_channels > 0 &&
                   frame->sample_rate == x->rate) {
            if (frame->format != x->in->dec->sample_fmt ||
                frame->ch_layout.nb_channels != x->in->dec->ch_layout.nb_channels) {
                *error = "the stream changes its sample format or channels at frame " +
                         std::to_string(x->pos);
                taken = -1;
            } else {
                taken = exact_frame(x, frame, error);
            }
        }
        av_frame_unref(frame);
        if (taken != 0)
            return -1;
    }
}

// Decodes the input again and writes each chapter's frames, the range the
// library's own split takes, encoded as the input was, block by block.
int write_exact_chapters(MediaInput *in, const sil_analysis &a, const std::string &ext,
                         const AVOutputFormat *ofmt, const std::string &out_dir,
                         const std::vector<std::string> &names, SplitStage *stage, MediaRun *run,
                         std::string *error) {
    ExactChapters x;
    x.in = in;
    x.stage = stage;
    x.ofmt = ofmt;
    x.ext = ext;
    x.out_dir = out_dir;
    x.rate = a.sample_rate;
    const size_t n = (size_t)a.count;
    x.names = names;
    x.titles = analysis_titles(a);
    x.titles.resize(n);
    chapter_frame_ranges(a, &x.start, &x.end);
    x.pieces.resize(n);
    PacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!pkt || !frame) {
        *error = "out of memory";
        return -1;
    }
    AVCodecContext *dec = in->dec.get();
    const int64_t size = in->fmt->pb ? avio_size(in->fmt->pb) : -1;
    int shown = -1;
    while (x.next < n) {
        if (report_write(run, &shown, in->fmt->pb, size, error) != 0)
            return -1;
        const int got = media_next_packet(in, in->stream, pkt.get(), error);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        avcodec_send_packet(dec, pkt.get()); // a packet the decoder drops adds nothing
        av_packet_unref(pkt.get());
        if (receive_exact(&x, frame.get(), error) != 0)
            return -1;
    }
    if (x.next < n && avcodec_send_packet(dec, nullptr) >= 0 &&
        receive_exact(&x, frame.get(), error) != 0)
        return -1;
    for (; x.next < n; x.next++) {
        if (x.end[x.next] > x.pos) {
            *error = input_changed(x.pos, a.frames);
            return -1;
        }
        if (finish_exact_piece(&x, x.next, error) != 0)
            return -1;
    }
    if (run->progress && size > 0 && shown != 100 &&
        run->progress(100, "write", run->progress_user) != 0) {
        *error = "cancelled";
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Standard input kept for a second reading
// ---------------------------------------------------------------------------

struct Spool {
    TempFile file;
    FilePtr f;
};

// A spool for standard input, in dir, when path is "-" or names a FIFO or a
// device, which cannot be read a second time either (*spool stays NULL for
// a regular file). 0, or -1 with *error set.
int open_spool(const std::string &path, const std::string &dir, std::unique_ptr<Spool> *spool,
               std::string *error) {
    struct stat st;
    if (path != "-" && !(stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)))
        return 0;
    spool->reset(new Spool);
    Spool *s = spool->get();
    if (create_temp((fs::path(dir) / "stdin").string(), &s->file, error) != 0)
        return -1;
    s->f.reset(take_temp_stream(&s->file));
    if (!s->f) {
        *error = "cannot create a copy of standard input in " + dir + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

// Analyses the input once, keeping standard input in a spool file when
// there is one. 0 and a filled record, or -1 with *error set.
int first_pass(const std::string &path, Spool *spool, MediaRun *run, MediaStats *stats,
               bool refuse_chapters, sil_analysis *out, std::string *error) {
    *out = sil_analysis{};
    MediaInput in;
    if (open_input(path, spool ? spool->f.get() : nullptr, run, &in, error) != 0)
        return -1;
    if (refuse_chapters && in.fmt->nb_chapters > 0) {
        *error = "has " + std::to_string(in.fmt->nb_chapters) +
                 " chapters already (--replace replaces them)";
        return -1;
    }
    sil_analysis a;
    if (analyze_input(path, &in, run, stats, &a, error) != 0)
        return -1;
    AnalysisGuard guard(&a);
    if (spool) {
        if (media_drain(&in, error) != 0)
            return -1;
        if (fflush(spool->f.get()) != 0) {
            *error = spool_error_text(errno);
            return -1;
        }
    }
    *out = a; // handed over: the guard frees the emptied record
    a = sil_analysis{};
    return 0;
}

// The review's analysis of standard input, read from its spool (see
// MediaRun::review_opts); nothing for a named file. 0, or -1 with *error set.
int review_spool(Spool *spool, MediaRun *run, std::string *error) {
    if (!spool || run->review_opts.empty())
        return 0;
    MediaRun review;
    review.opts = run->review_opts;
    review.hints_from_input = run->hints_from_input;
    review.stream = run->stream;
    review.stop = run->stop;
    MediaInput in;
    if (media_open(spool->file.temp, review.stream, nullptr, review.stop, &in, error, false, true) != 0)
        return -1;
    MediaStats stats;
    sil_analysis a;
    if (analyze_input(spool->file.temp, &in, &review, &stats, &a, error) != 0)
        return -1;
    run->review_report = a.report;
    sil_analysis_free(&a);
    return 0;
}

// ---------------------------------------------------------------------------
// Chapter marks
// ---------------------------------------------------------------------------

// Tags copied into the new container, without the chapter comments of an
// Ogg or FLAC input (the new chapters replace them).
void copy_tags(AVDictionary **to, const AVDictionary *from) {
    const AVDictionaryEntry *e = nullptr;
    while ((e = av_dict_get(from, "", e, AV_DICT_IGNORE_SUFFIX)))
        if (strncasecmp(e->key, "CHAPTER", 7) != 0)
            av_dict_set(to, e->key, e->value, 0);
}

// Containers whose chapters are Vorbis comments.
bool chapter_comments(const AVOutputFormat *f) {
    static const char *const names[] = {"ogg", "oga", "opus", "spx", "flac"};
    for (const char *n : names)
        if (strcmp(f->name, n) == 0)
            return true;
    return false;
}

// The title of chapter k of a, or "Chapter K+1".
std::string mark_title(const sil_analysis &a, size_t k) {
    if (a.titles && a.titles[k] && a.titles[k][0])
        return a.titles[k];
    return "Chapter " + std::to_string(k + 1);
}

void add_chapter_comments(AVDictionary **tags, const sil_analysis &a) {
    char key[32], value[32];
    for (size_t k = 0; k < (size_t)a.count; k++) {
        const long long ms = llround((double)a.chapters[k].t0 * 1000.0);
        snprintf(key, sizeof key, "CHAPTER%03zu", k + 1);
        snprintf(value, sizeof value, "%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                 ms / 1000 % 60, ms % 1000);
        av_dict_set(tags, key, value, 0);
        snprintf(key, sizeof key, "CHAPTER%03zuNAME", k + 1);
        av_dict_set(tags, key, mark_title(a, k).c_str(), 0);
    }
}

int add_chapters(AVFormatContext *oc, const sil_analysis &a, std::string *error) {
    oc->chapters = static_cast<AVChapter **>(av_calloc((size_t)a.count + 1, sizeof(AVChapter *)));
    if (!oc->chapters) {
        *error = "out of memory";
        return -1;
    }
    for (size_t k = 0; k < (size_t)a.count; k++) {
        AVChapter *ch = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
        if (!ch) {
            *error = "out of memory";
            return -1;
        }
        oc->chapters[k] = ch;
        oc->nb_chapters = (unsigned)k + 1;
        ch->id = (int64_t)k + 1;
        ch->time_base = AVRational{1, 1000};
        ch->start = llround((double)a.chapters[k].t0 * 1000.0);
        ch->end = llround((double)a.chapters[k].t1 * 1000.0);
        av_dict_set(&ch->metadata, "title", mark_title(a, k).c_str(), 0);
    }
    return 0;
}

// Why a copy into ofmt cannot be made, and what to do: the container does
// not take the input's audio as it is, and chapters are marked without
// re-encoding.
std::string container_refuses(const AVOutputFormat *ofmt, const AVFormatContext *ifmt,
                              const std::string &path, const std::string &out) {
    std::string codecs;
    for (unsigned i = 0; i < ifmt->nb_streams; i++) {
        const AVCodecParameters *par = ifmt->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        const std::string name = avcodec_get_name(par->codec_id);
        if (codecs.find(name) == std::string::npos)
            codecs += (codecs.empty() ? "" : ", ") + name;
    }
    const std::string ext = lower_extension(out);
    std::string text = "the " + std::string(ofmt->name) + " container (." + ext + ") cannot hold " +
                       (codecs.empty() ? std::string("the input's streams") : codecs + " audio") +
                       " without re-encoding";
    if (ext == "m4b" || ext == "m4a" || ext == "mp4")
        text += " (it holds AAC or ALAC)";
    else if (ext == "mp3")
        text += " (it holds MP3)";
    const std::string stem = fs::path(path == "-" ? "input" : path).stem().string();
    return text + ": name the output .mka, which holds any codec, or re-encode first and mark " +
           "that, e.g. ffmpeg -i " + (path == "-" ? "INPUT" : path) +
           (ext == "mp3" ? " -c:a libmp3lame " : " -c:a aac ") + stem + "-reencoded." + ext;
}

// How many chapters FFmpeg reads back from a written file (-1: unreadable).
// The number of chapter marks the file at path reads back with (-1 when it
// cannot be read); *differs "" when they are the marks of a (their starts to
// the millisecond and their titles), otherwise what differs.
int marks_read_back(const std::string &path, const sil_analysis &a, std::string *differs) {
    differs->clear();
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr) < 0)
        return -1;
    InputPtr f(raw);
    if (f->nb_chapters != (unsigned)a.count) {
        *differs = std::to_string(f->nb_chapters) + " of " + std::to_string(a.count) +
                   " chapter marks read back";
        return (int)f->nb_chapters;
    }
    for (size_t k = 0; k < (size_t)a.count && differs->empty(); k++) {
        const AVChapter *ch = f->chapters[k];
        const AVDictionaryEntry *title = av_dict_get(ch->metadata, "title", nullptr, 0);
        const double start = (double)ch->start * av_q2d(ch->time_base);
        if (!title || mark_title(a, k) != title->value)
            *differs = "chapter mark " + std::to_string(k + 1) + " reads back " +
                       (title ? "with another title" : "without its title");
        else if (k > 0 && std::fabs(start - (double)a.chapters[k].t0) > 0.0025) // MP4: 1st at 0
            *differs = "chapter mark " + std::to_string(k + 1) + " reads back at another time";
    }
    return (int)f->nb_chapters;
}

// MP3 chapter frames: FFmpeg writes the sizes of ID3v2.4 CHAP frames
// unencoded where its reader (and the standard) wants them synchsafe, so a
// frame of 128 bytes or more (a title of about 100 bytes) reads back wrong;
// ID3v2.3 has plain sizes throughout, and is used when a title is that long.
bool needs_id3v2_3(const AVOutputFormat *f, const sil_analysis &a) {
    if (strcmp(f->name, "mp3") != 0)
        return false;
    for (size_t k = 0; k < (size_t)a.count; k++)
        if (mark_title(a, k).size() > 80)
            return true;
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

int analyze_media(const std::string &path, MediaRun *run, sil_analysis *out, std::string *error) {
    *out = sil_analysis{};
    MediaInput in;
    if (open_input(path, nullptr, run, &in, error) != 0)
        return -1;
    MediaStats stats;
    return analyze_input(path, &in, run, &stats, out, error);
}

int media_split(const std::string &path, const std::string &out_dir, bool to_wav, MediaRun *run,
                std::string *error) {
    std::error_code ec;
    fs::create_directories(out_dir, ec);
    if (!fs::is_directory(out_dir)) {
        *error = "cannot create " + out_dir;
        return -1;
    }
    std::unique_ptr<Spool> spool;
    if (open_spool(path, out_dir, &spool, error) != 0)
        return -1;
    MediaStats stats;
    sil_analysis a;
    if (first_pass(path, spool.get(), run, &stats, false, &a, error) != 0)
        return -1;
    AnalysisGuard guard(&a);
    if (check_hints(run, a.report, error) != 0)
        return -1;
    if (a.count == 0) { // an earlier split is not replaced by none
        *error = std::string(kNoChapters) + "; nothing was written";
        return -1;
    }
    // The copy of standard input is read again as the pipe was read (a
    // demuxer that can seek may trim or find more than it did: an MP3's
    // padding), so that the second reading is the one analysed.
    MediaInput in;
    if ((spool ? media_open(spool->file.temp, run->stream, nullptr, run->stop, &in, error, false, true)
               : open_input(path, nullptr, run, &in, error)) != 0)
        return -1;
    // Every file is kept under its temporary name until all are written:
    // only then do they replace an earlier split in the folder.
    SplitStage stage;
    stage.dir = out_dir;
    // A templated split lists its names in chapters.json for --overwrite.
    const bool list_names =
        !run->name_template.empty() && run->name_template != kDefaultNameTemplate;
    std::string report;
    const std::string ext = to_wav ? "wav" : chapter_extension(in, path);
    const AVOutputFormat *ofmt = to_wav ? nullptr : format_for_extension(ext);
    const bool lossless_wavpack =
        !to_wav && in.fmt->streams[in.stream]->codecpar->codec_id == AV_CODEC_ID_WAVPACK &&
        wavpack_lossless(spool ? spool->file.temp : path, spool != nullptr, *run);
    if (to_wav || (ofmt && cuts_exactly(in, ofmt, lossless_wavpack))) {
        if (!to_wav && stats.rate_change_at >= 0) { // refused before any piece is written
            *error = "the stream changes its sample rate from " + std::to_string(a.sample_rate) +
                     " Hz to " + std::to_string(stats.changed_rate) + " Hz at " +
                     clock_text((double)stats.rate_change_at / a.sample_rate) +
                     ", so its chapters cannot be cut sample-exact; --to-wav writes them";
            return -1;
        }
        const std::vector<std::string> names =
            chapter_file_names(run->name_template, analysis_titles(a), (size_t)a.count, ext);
        std::string why = check_chapter_names(out_dir, names, run->overwrite, path);
        if (!why.empty()) {
            *error = why;
            return -1;
        }
        report = list_names ? with_file_names(a.report, names) : a.report;
        if (to_wav ? write_wav_chapters(&in, a, out_dir, names, &stage, run, error) != 0
                   : write_exact_chapters(&in, a, ext, ofmt, out_dir, names, &stage, run, error) != 0)
            return -1;
    } else {
        std::vector<double> cut_t0, cut_t1;
        std::vector<std::string> names;
        if (copy_chapters(&in, path, a, out_dir, &stage, run, &cut_t0, &cut_t1, &names, error) != 0)
            return -1;
        report = with_cut_times(a.report, cut_t0, cut_t1);
        if (list_names && !report.empty())
            report = with_file_names(report, names);
    }
    if (report.empty()) {
        *error = "cannot read the library's report";
        return -1;
    }
    if (write_text(out_dir, "chapters.json", report.c_str(), &stage, error) != 0 ||
        review_spool(spool.get(), run, error) != 0)
        return -1;
    // Ctrl-C before the files are put in place leaves the folder as it was.
    if (run->stop.fn && run->stop.fn(run->stop.user)) {
        *error = "cancelled";
        return -1;
    }
    const std::string why = publish_split(&stage, run->overwrite, path);
    if (!why.empty()) {
        *error = why;
        return -1;
    }
    return a.count;
}

int media_write_chapter_marks(const std::string &path, const std::string &out, bool replace,
                              MediaRun *run, std::string *error) {
    const AVOutputFormat *ofmt = av_guess_format(nullptr, out.c_str(), nullptr);
    if (!ofmt) {
        *error = "cannot tell a container from the name " + out;
        return -1;
    }
    std::string out_folder = fs::path(out).parent_path().string();
    if (out_folder.empty())
        out_folder = ".";
    std::unique_ptr<Spool> spool;
    if (open_spool(path, out_folder, &spool, error) != 0)
        return -1;
    // Marks used as hints are replaced by the corrected ones.
    replace = replace || run->hints_from_input;
    sil_analysis a;
    if (!spool && media_wants_library(path) && !run->hints_from_input) {
        if (analyze_any(path, run, &a, error) != 0)
            return -1;
    } else {
        MediaStats stats;
        if (first_pass(path, spool.get(), run, &stats, !replace, &a, error) != 0)
            return -1;
    }
    AnalysisGuard guard(&a);
    if (check_hints(run, a.report, error) != 0)
        return -1;
    if (a.count == 0) {
        *error = std::string(kNoChapters) + "; " + out + " was not written";
        return -1;
    }
    run->report = a.report;

    // The copy: every stream the output container takes, packets unchanged.
    const std::string source = spool ? spool->file.temp : path;
    AVFormatContext *raw = nullptr;
    AVDictionary *demux_opts = nullptr;
    if (!wav_wrapped_size(source).empty()) { // read to the end, as the analysis did
        av_dict_set(&demux_opts, "ignore_length", "1", 0);
        av_dict_set(&demux_opts, "seekable", "0", 0);
    }
    int rc = avformat_open_input(&raw, ("file:" + source).c_str(), nullptr, &demux_opts);
    av_dict_free(&demux_opts);
    if (rc < 0) {
        *error = media_error_text(rc);
        return -1;
    }
    MediaInput src; // the streams are copied, not decoded
    src.fmt.reset(raw);
    src.stop = run->stop;
    AVFormatContext *ifmt = raw;
    if ((rc = avformat_find_stream_info(raw, nullptr)) < 0) {
        *error = media_error_text(rc);
        return -1;
    }
    if (ifmt->nb_chapters > 0 && !replace) {
        *error = "has " + std::to_string(ifmt->nb_chapters) +
                 " chapters already (--replace replaces them)";
        return -1;
    }
    TempFile t;
    if (create_temp(out, &t, error) != 0)
        return -1;
    AVFormatContext *oraw = nullptr;
    if ((rc = avformat_alloc_output_context2(&oraw, ofmt, nullptr, t.temp.c_str())) < 0) {
        *error = media_error_text(rc);
        return -1;
    }
    OutputPtr oc(oraw);
    std::vector<int> map(ifmt->nb_streams, -1);
    for (unsigned i = 0; i < ifmt->nb_streams; i++) {
        const AVStream *ist = ifmt->streams[i];
        const AVMediaType type = ist->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO &&
            type != AVMEDIA_TYPE_SUBTITLE)
            continue;
        // A cover picture is no video track: MP4 keeps it whatever its codec.
        if (!muxer_takes(ofmt, ist->codecpar->codec_id) && !(is_picture(ist) && keeps_pictures(ofmt)))
            continue;
        AVStream *os = avformat_new_stream(oc.get(), nullptr);
        if (!os || avcodec_parameters_copy(os->codecpar, ist->codecpar) < 0) {
            *error = "out of memory";
            return -1;
        }
        os->codecpar->codec_tag = 0;
        os->time_base = ist->time_base;
        os->disposition = ist->disposition;
        copy_tags(&os->metadata, ist->metadata);
        map[i] = os->index;
    }
    if (oc->nb_streams == 0) {
        *error = container_refuses(ofmt, ifmt, path, out);
        return -1;
    }
    copy_tags(&oc->metadata, ifmt->metadata);
    // The muxer sets (or removes) its own "encoder", which moves the last
    // tag into its place: the last chapter's name would come before its time.
    av_dict_set(&oc->metadata, "encoder", nullptr, 0);
    if (chapter_comments(ofmt)) {
        // Vorbis comments, written here: FFmpeg's own writer rounds the
        // seconds of these times to the nearest instead of truncating them.
        AVDictionary **tags = &oc->metadata;
        if (strcmp(ofmt->name, "flac") != 0)
            for (unsigned i = 0; i < oc->nb_streams; i++)
                if (oc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
                    tags = &oc->streams[i]->metadata;
                    break;
                }
        add_chapter_comments(tags, a);
    } else if (add_chapters(oc.get(), a, error) != 0) {
        return -1;
    }
    if (!(ofmt->flags & AVFMT_NOFILE) && (rc = open_temp_io(&t, &oc->pb)) < 0) {
        *error = "cannot create " + out + ": " + media_error_text(rc);
        return -1;
    }
    AVDictionary *mux_opts = nullptr;
    if (needs_id3v2_3(ofmt, a))
        av_dict_set(&mux_opts, "id3v2_version", "3", 0);
    rc = avformat_write_header(oc.get(), &mux_opts);
    av_dict_free(&mux_opts);
    if (rc < 0) {
        // A muxer that cannot say which codecs it takes refuses them here.
        *error = rc == AVERROR(EINVAL) ? container_refuses(ofmt, ifmt, path, out)
                                       : out + ": " + media_error_text(rc);
        return -1;
    }
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) {
        *error = "out of memory";
        return -1;
    }
    const int64_t size = ifmt->pb ? avio_size(ifmt->pb) : -1;
    int shown = -1;
    // A chained stream's next link starts its times again: an audio
    // stream's run on from the end of its packet before (shift, in the
    // input's time base).
    struct Run {
        int64_t shift = 0, last = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
    };
    std::vector<Run> runs(ifmt->nb_streams);
    for (;;) {
        if (report_write(run, &shown, ifmt->pb, size, error) != 0)
            return -1;
        const int got = media_next_packet(&src, -1, pkt.get(), error);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        const int o = map[pkt->stream_index];
        if (o < 0) {
            av_packet_unref(pkt.get());
            continue;
        }
        const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        Run &r = runs[(size_t)pkt->stream_index];
        if (ts != AV_NOPTS_VALUE &&
            ifmt->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            if (r.last != AV_NOPTS_VALUE && ts + r.shift < r.last)
                r.shift = r.end - ts;
            r.last = ts + r.shift;
            r.end = r.last + std::max<int64_t>(pkt->duration, 0);
            if (pkt->pts != AV_NOPTS_VALUE)
                pkt->pts += r.shift;
            if (pkt->dts != AV_NOPTS_VALUE)
                pkt->dts += r.shift;
        }
        av_packet_rescale_ts(pkt.get(), ifmt->streams[pkt->stream_index]->time_base,
                             oc->streams[o]->time_base);
        pkt->stream_index = o;
        pkt->pos = -1;
        if ((rc = av_interleaved_write_frame(oc.get(), pkt.get())) < 0) {
            *error = "cannot write " + out + ": " + media_error_text(rc);
            return -1;
        }
    }
    if (run->progress && size > 0 && shown != 100 &&
        run->progress(100, "write", run->progress_user) != 0) {
        *error = "cancelled";
        return -1;
    }
    rc = av_write_trailer(oc.get());
    const int closed = close_temp_io(&oc->pb);
    if (rc >= 0)
        rc = closed;
    if (rc < 0) {
        *error = "cannot write " + out + ": " + media_error_text(rc);
        return -1;
    }
    oc.reset();
    std::string differs;
    if (a.count > 0 && marks_read_back(t.temp, a, &differs) <= 0) {
        std::string others; // the containers that keep marks, but this one
        const std::string ext = fs::path(out).extension().string();
        for (const char *e : {".m4b", ".mka", ".mp3", ".ogg", ".flac"})
            if (strcasecmp(e, ext.c_str()) != 0)
                others += std::string(others.empty() ? "" : ", ") + e;
        others.replace(others.rfind(", "), 2, " or ");
        *error = std::string("the ") + ofmt->name +
                 " container does not keep chapter marks; name the output " + others;
        return -1;
    }
    if (a.count > 0 && !differs.empty()) {
        *error = out + ": the chapter marks written do not read back as they are (" + differs +
                 "); nothing was written";
        return -1;
    }
    if (commit(&t, nullptr, error) != 0)
        return -1;
    return a.count;
}

} // namespace silsplit_cli
