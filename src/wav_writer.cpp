// The WAV writer: mono floats as 16-bit PCM behind the fixed 44-byte header,
// written block by block as the samples come, so a chapter of any length
// passes through a small buffer.
#include "wav_writer.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Samples converted at a time on their way to the file.
constexpr size_t WRITE_BLOCK_SAMPLES = 4096;

} // namespace

static void put_u16(unsigned char *b, uint16_t v) {
    b[0] = (unsigned char)(v & 0xFF);
    b[1] = (unsigned char)(v >> 8);
}

static void put_u32(unsigned char *b, uint32_t v) {
    b[0] = (unsigned char)(v & 0xFF);
    b[1] = (unsigned char)((v >> 8) & 0xFF);
    b[2] = (unsigned char)((v >> 16) & 0xFF);
    b[3] = (unsigned char)(v >> 24);
}

FILE *sil_create_output(const char *path) {
    // O_NOFOLLOW: a symbolic link planted at an output's name makes the open
    // fail instead of sending the output wherever the link points.
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (!f) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

// lrintf rounds halfway cases to even.
int16_t sil_to_pcm16(float v) {
    if (v > 1.0f)
        return 32767;
    if (v != v)
        return 0;
    if (v < -1.0f)
        v = -1.0f;
    return (int16_t)lrintf(v * 32767.0f);
}

// A full disk shows at a write or only at the close; either way the partial
// file is removed rather than passed off as a chapter.
static int fail_write(sil_wav_writer *w) {
    sil_wav_writer_abort(w);
    sil_fail(SIL_ERR_WRITE, "cannot write output wav");
    return -1;
}

void sil_pcm16_header(unsigned char hdr[44], int64_t n, int32_t sample_rate) {
    const uint32_t data_bytes = 2u * (uint32_t)n;
    memcpy(hdr, "RIFF", 4);
    put_u32(hdr + 4, 36u + data_bytes);
    memcpy(hdr + 8, "WAVE", 4);
    memcpy(hdr + 12, "fmt ", 4);
    put_u32(hdr + 16, 16);
    put_u16(hdr + 20, 1);
    put_u16(hdr + 22, 1);
    put_u32(hdr + 24, (uint32_t)sample_rate);
    put_u32(hdr + 28, 2u * (uint32_t)sample_rate);
    put_u16(hdr + 32, 2);
    put_u16(hdr + 34, 16);
    memcpy(hdr + 36, "data", 4);
    put_u32(hdr + 40, data_bytes);
}

int sil_wav_writer_open(sil_wav_writer *w, const char *path, int64_t n, int32_t sample_rate) {
    *w = sil_wav_writer{};
    if (!path || n < 0 || sample_rate <= 0 || n > SIL_PCM16_MAX_SAMPLES) {
        sil_fail(SIL_ERR_ARGS, "invalid wav write args");
        return -1;
    }
    FILE *f = sil_create_output(path);
    if (!f) {
        if (errno == ENOMEM)
            sil_fail_memory();
        else
            sil_fail(SIL_ERR_WRITE, "cannot create output wav");
        return -1;
    }
    return sil_wav_writer_open_stream(w, f, path, n, sample_rate);
}

int sil_wav_writer_open_stream(sil_wav_writer *w, FILE *f, const char *path, int64_t n,
                               int32_t sample_rate) {
    *w = sil_wav_writer{};
    if (!f || !path || n < 0 || sample_rate <= 0 || n > SIL_PCM16_MAX_SAMPLES) {
        if (f)
            fclose(f);
        sil_fail(SIL_ERR_ARGS, "invalid wav write args");
        return -1;
    }
    w->f = f;
    w->path = path;
    w->expected = n;

    unsigned char hdr[44];
    sil_pcm16_header(hdr, n, sample_rate);
    if (fwrite(hdr, 1, sizeof hdr, f) != sizeof hdr)
        return fail_write(w);
    return 0;
}

int sil_wav_writer_put(sil_wav_writer *w, const float *samples, size_t n) {
    unsigned char block[2 * WRITE_BLOCK_SAMPLES];
    for (size_t i = 0; i < n; i += WRITE_BLOCK_SAMPLES) {
        const size_t len = n - i < WRITE_BLOCK_SAMPLES ? n - i : WRITE_BLOCK_SAMPLES;
        for (size_t k = 0; k < len; k++)
            put_u16(block + 2 * k, (uint16_t)sil_to_pcm16(samples[i + k]));
        if (fwrite(block, 1, len * 2, w->f) != len * 2)
            return fail_write(w);
    }
    w->written += (int64_t)n;
    return 0;
}

int sil_wav_writer_close(sil_wav_writer *w) {
    if (w->written != w->expected)
        return fail_write(w);
    FILE *f = w->f;
    w->f = nullptr;
    if (fclose(f) != 0) {
        remove(w->path);
        sil_fail(SIL_ERR_WRITE, "cannot write output wav");
        return -1;
    }
    return 0;
}

void sil_wav_writer_abort(sil_wav_writer *w) {
    if (!w->f)
        return;
    fclose(w->f);
    w->f = nullptr;
    remove(w->path);
}

int sil_wav_write_pcm16(const char *path, const float *samples, int n, int sample_rate) {
    if (!samples) {
        sil_fail(SIL_ERR_ARGS, "invalid wav write args");
        return -1;
    }
    sil_wav_writer w;
    if (sil_wav_writer_open(&w, path, n, sample_rate) != 0 ||
        sil_wav_writer_put(&w, samples, (size_t)(n > 0 ? n : 0)) != 0)
        return -1;
    return sil_wav_writer_close(&w);
}
