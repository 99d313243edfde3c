// The chapter export: frame ranges at the recording's own rate, chapter files
// in the input's format or as 16-bit mono, temporary names, and the export of
// a whole recording as 16-bit WAV files beside a chapters.json that holds the
// report.
#include "export.h"

#include "pipeline.h"
#include "report.h"
#include "wav_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t PATH_BUF = 1024;

// Bytes a chapter file is written in at most (raw frames per block).
constexpr size_t CHAPTER_BLOCK_BYTES = 65536;

} // namespace

// ---------------------------------------------------------------------------
// Frames and chapter files
// ---------------------------------------------------------------------------

void sil_chapter_frames(float t0, float t1, int32_t rate, int64_t frames, int64_t *start,
                        int64_t *end) {
    const float rate_f = (float)rate;
    const double start_f = floorf(t0 * rate_f);
    const double end_f = ceilf(t1 * rate_f);
    int64_t s = !(start_f >= 0.0) ? 0 : start_f > (double)frames ? frames : (int64_t)start_f;
    int64_t e = end_f > (double)frames ? frames : !(end_f >= 0.0) ? 0 : (int64_t)end_f;
    // The analysis sees the recording at 16 kHz, trunc(frames * 16000 / rate)
    // samples long: the last few frames of the source (fewer than one 16 kHz
    // sample's worth) lie past the end it can place. A chapter that ends
    // there ends with the recording, and keeps them.
    if (rate > 0 && frames > 0) {
        // In double: frames may stand for "no known end" (INT64_MAX), whose
        // count at 16 kHz does not fit an int64_t.
        const double n16 =
            std::trunc((double)frames * ((double)SIL_ANALYSIS_RATE / (double)rate));
        if (t1 >= (float)n16 / (float)SIL_ANALYSIS_RATE)
            e = frames;
    }
    if (e < s)
        e = s;
    *start = s;
    *end = e;
}

void sil_chapter_frame_ranges(const sil_chapter *chapters, int32_t count, int32_t rate,
                              int64_t frames, int64_t *start, int64_t *end) {
    for (int32_t k = 0; k < count; k++) {
        sil_chapter_frames(chapters[k].t0, chapters[k].t1, rate, frames, &start[k], &end[k]);
        if (k > 0 && chapters[k].t0 == chapters[k - 1].t1 && start[k] < end[k - 1]) {
            start[k] = end[k - 1];
            if (end[k] < start[k])
                end[k] = start[k];
        }
    }
}

static void put_u32(unsigned char *b, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        b[k] = (unsigned char)((v >> (8 * k)) & 0xFF);
}

// An odd fmt chunk gets a zero byte inside it rather than a pad byte after
// it: the reader reads the next chunk right after the fmt body, and so do
// readers that skip pad bytes when the size is even.
static uint32_t fmt_chunk_size(const sil_wav_source *src) {
    return src->fmt_size + (src->fmt_size & 1u);
}

uint64_t sil_wav_chapter_bytes(const sil_wav_source *src, int64_t start, int64_t end, int format) {
    const uint64_t n = (uint64_t)(end - start);
    if (format == SIL_CHAPTER_MONO16)
        return 44 + 2 * n;
    const uint64_t data = n * src->frame_bytes;
    return 12 + 8 + fmt_chunk_size(src) + 8 + data + (data & 1u);
}

static int write_all(FILE *out, const void *p, size_t len) {
    if (fwrite(p, 1, len, out) == len)
        return 0;
    sil_fail(SIL_ERR_WRITE, strerror(errno ? errno : EIO));
    return -1;
}

static int read_failed(void) {
    sil_fail(SIL_ERR_READ, "read error");
    return -1;
}

// The header of a chapter in the source's format: RIFF, the fmt chunk as the
// input holds it (extension and all), and the data chunk's header.
static int write_source_header(sil_wav_source *src, uint64_t total, uint64_t data_bytes,
                               unsigned char *block, size_t block_size, FILE *out) {
    unsigned char hdr[20];
    memcpy(hdr, "RIFF", 4);
    put_u32(hdr + 4, (uint32_t)(total - 8));
    memcpy(hdr + 8, "WAVE", 4);
    memcpy(hdr + 12, "fmt ", 4);
    put_u32(hdr + 16, fmt_chunk_size(src));
    if (write_all(out, hdr, 20) != 0)
        return -1;
    for (uint32_t done = 0; done < src->fmt_size;) {
        const size_t len = block_size < src->fmt_size - done ? block_size : src->fmt_size - done;
        if (fseeko(src->f, (off_t)(src->fmt_offset + done), SEEK_SET) != 0 ||
            fread(block, 1, len, src->f) != len)
            return read_failed();
        if (write_all(out, block, len) != 0)
            return -1;
        done += (uint32_t)len;
    }
    if ((src->fmt_size & 1u) && write_all(out, "", 1) != 0)
        return -1;
    memcpy(hdr, "data", 4);
    put_u32(hdr + 4, (uint32_t)data_bytes);
    return write_all(out, hdr, 8);
}

int sil_write_wav_chapter(sil_wav_source *src, int64_t start, int64_t end, int format, FILE *out,
                          sil_write_tick tick, void *user) {
    const bool mono16 = format == SIL_CHAPTER_MONO16;
    const uint64_t n = (uint64_t)(end - start);
    const uint64_t total = sil_wav_chapter_bytes(src, start, end, format);
    if (total - 8 > 0xFFFFFFFFu || (mono16 && n > (uint64_t)SIL_PCM16_MAX_SAMPLES)) {
        sil_fail(SIL_ERR_TOO_LARGE, "chapter too long for a WAV file");
        return -1;
    }
    size_t per_block = CHAPTER_BLOCK_BYTES / src->frame_bytes;
    per_block = per_block < 1 ? 1 : per_block > src->block_frames ? src->block_frames : per_block;
    // The raw frames come through the source's own block; the mix and its
    // 16-bit form need blocks of their own.
    sil_heap_ptr<unsigned char> bytes(static_cast<unsigned char *>(
        malloc(mono16 ? per_block * (sizeof(float) + 2) : CHAPTER_BLOCK_BYTES)));
    if (!bytes) {
        sil_fail_memory();
        return -1;
    }
    if (mono16) {
        unsigned char hdr[44];
        sil_pcm16_header(hdr, (int64_t)n, src->sample_rate);
        if (write_all(out, hdr, sizeof hdr) != 0)
            return -1;
    } else if (write_source_header(src, total, n * src->frame_bytes, bytes.get(),
                                   CHAPTER_BLOCK_BYTES, out) != 0) {
        return -1;
    }
    if (fseeko(src->f, (off_t)(src->data_offset + start * (int64_t)src->frame_bytes), SEEK_SET) !=
        0)
        return read_failed();
    src->next_frame = start;
    float *mix = reinterpret_cast<float *>(bytes.get());
    unsigned char *pcm = bytes.get() + per_block * sizeof(float);
    for (uint64_t first = 0; first < n;) {
        const size_t want = (size_t)(n - first < per_block ? n - first : per_block);
        const int64_t got = mono16 ? sil_wav_source_read(src, mix, want)
                                   : sil_wav_source_read_raw(src, want);
        if (got <= 0)
            return read_failed();
        size_t len;
        if (mono16) {
            for (int64_t k = 0; k < got; ++k) {
                const uint16_t v = (uint16_t)sil_to_pcm16(mix[k]);
                pcm[2 * k] = (unsigned char)(v & 0xFF);
                pcm[2 * k + 1] = (unsigned char)(v >> 8);
            }
            len = (size_t)got * 2;
            if (write_all(out, pcm, len) != 0)
                return -1;
        } else {
            len = (size_t)got * src->frame_bytes;
            if (write_all(out, src->raw, len) != 0)
                return -1;
        }
        if (tick && tick(len, user) != 0) {
            sil_fail(SIL_ERR_CANCELLED, "cancelled");
            return -1;
        }
        first += (uint64_t)got;
    }
    const uint64_t data_bytes = n * src->frame_bytes;
    if (!mono16 && (data_bytes & 1u) && write_all(out, "", 1) != 0)
        return -1;
    return 0;
}

int sil_temp_create(const char *final_path, char *temp, size_t cap) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int len =
            snprintf(temp, cap, "%s.part-%ld-%d", final_path, (long)getpid(), attempt);
        if (len < 0 || (size_t)len >= cap) {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// The library's export: the output folder
// ---------------------------------------------------------------------------

enum path_kind { PATH_MISSING, PATH_DIR, PATH_OTHER };

static path_kind query_path(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return PATH_MISSING;
    return S_ISDIR(st.st_mode) ? PATH_DIR : PATH_OTHER;
}

// Creates one directory (no parents); 0 when it exists afterwards.
static int make_dir(const char *path) {
    if (mkdir(path, 0777) == 0 || errno == EEXIST)
        return 0;
    return -1;
}

// ---------------------------------------------------------------------------
// Chapter export
// ---------------------------------------------------------------------------

// Writes text to path without its NUL; on any failure removes the file.
static int write_text_file(const char *path, const char *text) {
    FILE *f = sil_create_output(path);
    if (!f)
        return -1;
    const size_t len = strlen(text);
    bool ok = fwrite(text, 1, len, f) == len;
    if (fclose(f) != 0)
        ok = false;
    if (!ok) {
        remove(path);
        return -1;
    }
    return 0;
}

// Writes frames [start, end) of the source to path, a block at a time. Each
// chapter is read whole from the file, so overlapping chapters are each
// complete. 0, or -1 with the message set and no partial file left behind.
static int write_chapter(sil_wav_source *src, float *block, const char *path, int64_t start,
                         int64_t end) {
    sil_wav_writer w;
    if (sil_wav_writer_open(&w, path, end - start, src->sample_rate) != 0)
        return -1;
    if (sil_wav_source_seek(src, start) != 0) {
        sil_wav_writer_abort(&w);
        return -1;
    }
    for (int64_t at = start; at < end;) {
        const int64_t got = sil_wav_source_read(src, block, (size_t)(end - at));
        if (got <= 0) {
            sil_wav_writer_abort(&w);
            if (got == 0)
                sil_fail(SIL_ERR_READ, "data read fail");
            return -1;
        }
        if (sil_wav_writer_put(&w, block, (size_t)got) != 0)
            return -1;
        at += got;
    }
    return sil_wav_writer_close(&w);
}

int sil_write_chapters_impl(const char *wav_path, const sil_opts *opts, const char *out_dir,
                            const sil_chapter_keys *keys) {
    if (!opts || !out_dir || !wav_path) {
        sil_fail(SIL_ERR_ARGS, "NULL argument to write_chapters");
        return -1;
    }
    // Refused before anything is touched: the longest file name the detector
    // allows must fit, so no path is ever truncated.
    if (strlen(out_dir) + strlen("/ch_10000.wav") >= PATH_BUF) {
        sil_fail(SIL_ERR_ARGS, "output path too long");
        return -1;
    }

    switch (query_path(out_dir)) {
    case PATH_DIR:
        break;
    case PATH_OTHER:
        sil_fail(SIL_ERR_WRITE, "out_dir exists but is not a directory");
        return -1;
    case PATH_MISSING:
        if (make_dir(out_dir) != 0) {
            sil_fail(SIL_ERR_WRITE, "cannot create out_dir");
            return -1;
        }
        break;
    }

    // One pass for the analysis; the file stays open for the chapters.
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(wav_path, &raw) != 0)
        return -1;
    sil_wav_source_ptr src(raw);
    sil_heap_ptr<sil_chapter> chapters;
    int count = 0;
    float removed_s = 0.0f;
    // The pipeline lives until chapters.json is written: the level curve the
    // report may carry is its own.
    sil_pipeline_ptr p(sil_pipeline_new(src->sample_rate, src->frames, opts, nullptr, keys));
    sil_report_extras extras;
    sil_report_extras_init(&extras);
    std::unique_ptr<sil_report_extras, sil_report_extras_releaser> extras_guard(&extras);
    {
        sil_chapter *chapters_raw = nullptr;
        if (!p || sil_pipeline_push_source(p.get(), src.get()) != 0 ||
            sil_pipeline_chapters(p.get(), &chapters_raw, &count, &removed_s, &extras) != 0)
            return -1;
        chapters.reset(chapters_raw);
    }
    sil_heap_ptr<float> block(static_cast<float *>(malloc(src->block_frames * sizeof(float))));
    if (!block) {
        sil_fail_memory();
        return -1;
    }

    char path[PATH_BUF];
    const int32_t rate = src->sample_rate;
    const int64_t frames = src->frames;
    // Each chapter's first frame, then each one's end.
    sil_heap_ptr<int64_t> ranges(
        static_cast<int64_t *>(malloc(2 * ((size_t)count + 1) * sizeof(int64_t))));
    if (!ranges) {
        sil_fail_memory();
        return -1;
    }
    int64_t *start = ranges.get();
    int64_t *end = start + count + 1;
    sil_chapter_frame_ranges(chapters.get(), count, rate, frames, start, end);
    for (int k = 1; k <= count; k++) {
        snprintf(path, sizeof path, "%s/ch_%03d.wav", out_dir, k);
        if (write_chapter(src.get(), block.get(), path, start[k - 1], end[k - 1]) != 0)
            return -1;
    }

    // "/chapters.json" is one character longer than "/ch_10000.wav", the name
    // the length check above allows for: give it room so it is never cut short.
    char json_path[PATH_BUF + 1];
    snprintf(json_path, sizeof json_path, "%s/chapters.json", out_dir);
    char *report = sil_build_analyze_json(rate, (float)frames / (float)rate, chapters.get(), count,
                                          removed_s, &extras);
    if (!report)
        return -1;
    const int wrote = write_text_file(json_path, report);
    const int open_errno = errno;
    free(report);
    if (wrote != 0) {
        if (open_errno == ENOMEM)
            sil_fail_memory();
        else
            sil_fail(SIL_ERR_WRITE, "cannot write chapters.json");
        return -1;
    }
    return count;
}
