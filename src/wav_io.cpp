// WAV files in and out, and the resampler that brings any rate to 16000 Hz.
//
// The reader walks the RIFF chunks of a file, keeps the last "fmt " and
// "data" chunks, and decodes 8/16/24/32-bit integer or 32-bit float frames
// into one float per frame: the mean of the frame's channels. The writer
// stores mono floats as 16-bit PCM behind the fixed 44-byte header.
#include "silsplit_internal.h"

#include <sys/types.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

} // namespace

// ---------------------------------------------------------------------------
// Little-endian fields
// ---------------------------------------------------------------------------

static uint16_t get_u16(const unsigned char *b) { return (uint16_t)(b[0] | (b[1] << 8)); }

static uint32_t get_u32(const unsigned char *b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

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

// ---------------------------------------------------------------------------
// Reader: chunk walk
// ---------------------------------------------------------------------------

// What the chunk walk found.
struct wav_chunks {
    bool have_fmt;
    uint16_t format_tag;
    uint16_t channels;
    uint32_t sample_rate;
    uint16_t bits_per_sample;
    sil_heap_ptr<unsigned char> data; // body of the last data chunk; NULL if none
    uint64_t data_bytes;
};

constexpr uint32_t DATA_CHUNK_MAX = 2147483648u; // 2^31 bytes

// Moves len bytes forward. A target past the end of the file stops at the
// end, where the next header read fails and ends the walk: the same outcome
// on a disk file (which can seek past its end) and on a memory stream (which
// cannot).
static int skip_forward(FILE *f, uint64_t len, int64_t file_size) {
    const int64_t pos = (int64_t)ftello(f);
    if (pos < 0)
        return -1;
    const int64_t target = (uint64_t)(file_size - pos) < len ? file_size : pos + (int64_t)len;
    return fseeko(f, (off_t)target, SEEK_SET);
}

// Checks the RIFF header and walks every chunk to the end of the stream.
// 0, or -1 with the message set (the caller frees what *c holds).
static int walk_chunks(FILE *f, wav_chunks *c) {
    if (fseeko(f, 0, SEEK_END) != 0) {
        sil_set_error("seek failed");
        return -1;
    }
    // 64-bit sizes: a file of 2 GiB or more is not mistaken for a tiny one.
    const int64_t file_size = (int64_t)ftello(f);
    if (file_size < 44) {
        sil_set_error("file too small for WAV");
        return -1;
    }
    rewind(f);

    unsigned char riff[12];
    if (fread(riff, 1, 12, f) != 12 || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0) {
        sil_set_error("not a RIFF/WAVE file");
        return -1;
    }

    for (;;) {
        unsigned char hdr[8];
        // A short header at the end of the file just ends the walk.
        if (feof(f) || fread(hdr, 1, 8, f) != 8)
            break;
        const uint32_t size = get_u32(hdr + 4);

        if (memcmp(hdr, "fmt ", 4) == 0) {
            if (size < 16) {
                sil_set_error("bad fmt chunk");
                return -1;
            }
            unsigned char fmt[40];
            const size_t want = size < 40 ? size : 40;
            if (fread(fmt, 1, want, f) != want) {
                sil_set_error("fmt read fail");
                return -1;
            }
            // The extension is never interpreted; a rest of 2^31 bytes or
            // more still seeks forward, with a 64-bit offset.
            if (size > 40 && skip_forward(f, size - 40, file_size) != 0) {
                sil_set_error("fmt skip fail");
                return -1;
            }
            c->format_tag = get_u16(fmt);
            c->channels = get_u16(fmt + 2);
            c->sample_rate = get_u32(fmt + 4);
            c->bits_per_sample = get_u16(fmt + 14);
            c->have_fmt = true;
        } else if (memcmp(hdr, "data", 4) == 0) {
            if (size > DATA_CHUNK_MAX) {
                sil_set_error("data chunk too large");
                return -1;
            }
            // A tiny file that declares a huge body must not make us allocate
            // it: a body longer than what is left can never be read.
            const int64_t pos = (int64_t)ftello(f);
            if (pos < 0 || file_size - pos < (int64_t)size) {
                sil_set_error("data read fail");
                return -1;
            }
            c->data.reset();
            c->data_bytes = 0;
            // An empty chunk still counts as present: keep a 1-byte block.
            c->data.reset(static_cast<unsigned char *>(malloc(size ? size : 1)));
            if (!c->data) {
                sil_set_error("out of memory");
                return -1;
            }
            if (size != 0) {
                if (fread(c->data.get(), 1, size, f) != size) {
                    sil_set_error("data read fail");
                    return -1;
                }
                c->data_bytes = size;
            }
        } else {
            // Other chunks are skipped with their pad byte. Sizes that read as
            // not positive in 32 bits are not skipped at all.
            const uint32_t skip = size + (size & 1u);
            if ((int32_t)skip > 0 && skip_forward(f, skip, file_size) != 0)
                break;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Reader: decoding
// ---------------------------------------------------------------------------

// One sample of each supported layout, in single precision. The scales are
// powers of two, so every product is exact.
static inline float decode_u8(const unsigned char *b) {
    return ((float)b[0] - 128.0f) * 0.0078125f;
}
static inline float decode_s16(const unsigned char *b) {
    return (float)(int16_t)get_u16(b) * (1.0f / 32768.0f);
}
static inline float decode_s24(const unsigned char *b) {
    int32_t s = (int32_t)((uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16));
    if (s & 0x800000)
        s -= 0x1000000; // sign-extend from bit 23
    return (float)s * (1.0f / 8388608.0f);
}
static inline float decode_s32(const unsigned char *b) {
    // Converted to float first, so 2147483647 becomes 2^31 and then 1.0.
    return (float)(int32_t)get_u32(b) * (1.0f / 2147483648.0f);
}
static inline float decode_f32(const unsigned char *b) {
    float v;
    uint32_t u = get_u32(b);
    memcpy(&v, &u, 4);
    return v;
}

// Mixes every frame down to the mean of its channels (summed in double, in
// channel order) and reports progress every 65536 frames.
template <float (*decode)(const unsigned char *), int BYTES>
static int decode_frames(const unsigned char *data, int32_t frames, int channels, float *out,
                         sil_progress *progress) {
    const size_t frame_bytes = (size_t)channels * BYTES;
    for (int32_t i = 0; i < frames; i++) {
        const unsigned char *p = data + (size_t)i * frame_bytes;
        double sum = 0.0;
        for (int ch = 0; ch < channels; ch++)
            sum += (double)decode(p + (size_t)ch * BYTES);
        out[i] = (float)(sum / (double)channels);
        if ((i & 0xFFFF) == 0) {
            const int pct = (int)((double)i / (double)frames * 20.0);
            if (sil_progress_report(progress, pct, SIL_STAGE_READ) != 0)
                return -1;
        }
    }
    return 0;
}

// Validates what the walk found and decodes it into wav. The data block is
// freed before the closing progress report, as soon as it has been decoded.
static int decode_chunks(wav_chunks *c, sil_wav *wav, sil_progress *progress) {
    if (!c->have_fmt || !c->data) {
        sil_set_error("missing fmt or data chunk");
        return -1;
    }
    if (c->channels == 0 || (int32_t)c->sample_rate <= 0) {
        sil_set_error("invalid channel/sample rate");
        return -1;
    }
    const uint16_t tag = c->format_tag;
    if (tag != 1 && tag != 3 && tag != 0xFFFE) {
        sil_set_error("unsupported WAV format");
        return -1;
    }
    const int bits = c->bits_per_sample;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        sil_set_error("unsupported bit depth");
        return -1;
    }
    const uint32_t frame_bytes = (uint32_t)c->channels * (uint32_t)(bits / 8);
    const uint64_t frames64 = c->data_bytes / frame_bytes; // a partial frame is dropped
    if (frames64 > 2147483647u) {
        sil_set_error("invalid frame size");
        return -1;
    }
    const int32_t frames = (int32_t)frames64;

    sil_heap_ptr<float> samples(static_cast<float *>(malloc(frames ? (size_t)frames * 4 : 1)));
    if (!samples) {
        sil_set_error("out of memory");
        return -1;
    }

    // Only 32-bit samples look at the float flag; narrower ones are integers
    // under every accepted tag.
    const bool is_float = tag == 3 || (tag == 0xFFFE && bits == 32);
    const unsigned char *data = c->data.get();
    const int channels = c->channels;
    int rc;
    switch (bits) {
    case 8:
        rc = decode_frames<decode_u8, 1>(data, frames, channels, samples.get(), progress);
        break;
    case 16:
        rc = decode_frames<decode_s16, 2>(data, frames, channels, samples.get(), progress);
        break;
    case 24:
        rc = decode_frames<decode_s24, 3>(data, frames, channels, samples.get(), progress);
        break;
    default:
        rc = is_float
                 ? decode_frames<decode_f32, 4>(data, frames, channels, samples.get(), progress)
                 : decode_frames<decode_s32, 4>(data, frames, channels, samples.get(), progress);
        break;
    }
    if (rc != 0)
        return -1;

    c->data.reset();
    if (sil_progress_report(progress, 20, SIL_STAGE_RESAMPLE) != 0)
        return -1;

    wav->samples = samples.release(); // the caller owns it from here
    wav->frames = frames;
    wav->sample_rate = (int32_t)c->sample_rate;
    wav->bits_per_sample = bits;
    return 0;
}

// ---------------------------------------------------------------------------
// Reader: entry points
// ---------------------------------------------------------------------------

int sil_wav_read_stream(FILE *f, sil_wav *wav, sil_progress *progress) {
    *wav = sil_wav{};
    wav_chunks c{};
    if (walk_chunks(f, &c) != 0)
        return -1;
    return decode_chunks(&c, wav, progress);
}

int sil_wav_read(const char *path, sil_wav *wav, sil_progress *progress) {
    *wav = sil_wav{};
    if (!path) {
        sil_set_error("NULL wav path");
        return -1;
    }
    file_ptr f(fopen(path, "rb"));
    if (!f) {
        sil_set_error("cannot open wav file");
        return -1;
    }
    wav_chunks c{};
    if (walk_chunks(f.get(), &c) != 0)
        return -1;
    f.reset(); // closed before decoding
    return decode_chunks(&c, wav, progress);
}

void sil_wav_free(sil_wav *wav) {
    if (!wav)
        return;
    free(wav->samples);
    wav->samples = nullptr;
    wav->frames = 0;
}

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

// One output sample: clamped, scaled by 32767 in single precision and rounded
// with lrintf (halfway cases to even). NaN has no value of its own: 0.
static inline int16_t to_pcm16(float v) {
    if (v > 1.0f)
        return 32767;
    if (v != v)
        return 0;
    if (v < -1.0f)
        v = -1.0f;
    return (int16_t)lrintf(v * 32767.0f);
}

int sil_wav_write_pcm16(const char *path, const float *samples, int n, int sample_rate) {
    // 36 + 2n must fit the 32-bit RIFF size.
    if (!path || !samples || n < 0 || sample_rate <= 0 || n > 2147483629) {
        sil_set_error("invalid wav write args");
        return -1;
    }
    FILE *f = fopen(path, "wb");
    if (!f) {
        sil_set_error("cannot create output wav");
        return -1;
    }

    unsigned char hdr[44];
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
    bool ok = fwrite(hdr, 1, sizeof hdr, f) == sizeof hdr;

    // Samples go out through a small block, converted in order.
    unsigned char block[8192];
    const int per_block = (int)(sizeof block / 2);
    for (int i = 0; ok && i < n; i += per_block) {
        const int len = n - i < per_block ? n - i : per_block;
        for (int k = 0; k < len; k++)
            put_u16(block + 2 * k, (uint16_t)to_pcm16(samples[i + k]));
        ok = fwrite(block, 1, (size_t)len * 2, f) == (size_t)len * 2;
    }
    // A full disk shows at the write or only at the close; either way the
    // partial file is removed rather than passed off as a chapter.
    if (fclose(f) != 0)
        ok = false;
    if (!ok) {
        remove(path);
        sil_set_error("cannot write output wav");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Resampler
// ---------------------------------------------------------------------------

int sil_resample_to_16k(const float *in, int n, int rate, float **out, int *out_n,
                        sil_progress *progress) {
    if (!in || n <= 0 || rate <= 0 || !out || !out_n) {
        sil_set_error("invalid resample args");
        return -1;
    }
    if (sil_progress_report(progress, 20, SIL_STAGE_RESAMPLE) != 0)
        return -1;

    if (rate == 16000) {
        float *buf = static_cast<float *>(malloc((size_t)n * sizeof(float)));
        if (!buf) {
            sil_set_error("out of memory");
            return -1;
        }
        memcpy(buf, in, (size_t)n * sizeof(float));
        *out = buf;
        *out_n = n;
        if (sil_progress_report(progress, 40, SIL_STAGE_DETECT) != 0) {
            free(buf);
            *out = nullptr;
            return -1;
        }
        return 0;
    }

    const double ratio = 16000.0 / (double)rate;
    double m_d = std::trunc((double)n * ratio);
    if (m_d < 1.0)
        m_d = 1.0;
    if (m_d > 2147483647.0) {
        sil_set_error("resampled signal too long");
        return -1;
    }
    const int m = (int)m_d;
    sil_heap_ptr<float> buf(static_cast<float *>(malloc((size_t)m * sizeof(float))));
    if (!buf) {
        sil_set_error("out of memory");
        return -1;
    }
    float *o = buf.get();
    const int64_t last = (int64_t)n - 1;
    for (int i = 0; i < m; i++) {
        // A division by the ratio, not a multiplication by its inverse.
        const double p = (double)i / ratio;
        int64_t i0 = (int64_t)p;
        const double frac = p - (double)i0;
        int64_t i1 = i0 + 1;
        if (i0 > last)
            i0 = last;
        if (i1 > last)
            i1 = last;
        o[i] = (float)((double)in[i0] * (1.0 - frac) + frac * (double)in[i1]);
        if ((i & 0xFFFF) == 0) {
            const int pct = 20 + (int)((double)i / (double)m * 20.0);
            if (sil_progress_report(progress, pct, SIL_STAGE_RESAMPLE) != 0)
                return -1;
        }
    }
    if (sil_progress_report(progress, 40, SIL_STAGE_DETECT) != 0)
        return -1;
    *out = buf.release();
    *out_n = m;
    return 0;
}
