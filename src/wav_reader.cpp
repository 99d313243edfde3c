// The WAV reader: walks the RIFF chunks of a file, keeps the last "fmt " and
// "data" chunks, checks the format, and then decodes the data chunk a block at
// a time into one float per frame: the mean of the frame's channels. 8, 16,
// 24 and 32-bit integer and 32-bit float samples.
#include "wav_reader.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cerrno>
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

constexpr uint32_t DATA_CHUNK_MAX = 2147483648u; // 2^31 bytes

// Bytes after a raw block that the decoder may load (and ignore) when it
// reads a 3-byte sample with one 4-byte load.
constexpr size_t RAW_SLACK = 4;

// The fmt chunk's extension: its size field, and the sub-format's tag.
constexpr uint32_t FMT_EXTENSIBLE_SIZE = 40;
constexpr uint16_t EXTENSION_SIZE_MIN = 22;
constexpr uint16_t TAG_PCM = 1;
constexpr uint16_t TAG_FLOAT = 3;
constexpr uint16_t TAG_EXTENSIBLE = 0xFFFE;

} // namespace

// ---------------------------------------------------------------------------
// Little-endian fields
// ---------------------------------------------------------------------------

static uint16_t get_u16(const unsigned char *b) { return (uint16_t)(b[0] | (b[1] << 8)); }

static uint32_t get_u32(const unsigned char *b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

// ---------------------------------------------------------------------------
// Chunk walk
// ---------------------------------------------------------------------------

// What the chunk walk found.
struct wav_chunks {
    bool have_fmt;
    uint16_t format_tag;
    uint16_t channels;
    uint32_t sample_rate;
    uint16_t bits_per_sample;
    bool pcm_subformat; // an extension whose sub-format is integer PCM
    int64_t fmt_offset; // the fmt body's place and the bytes of it in the file
    uint32_t fmt_size;
    bool have_data;
    int64_t data_offset;
    uint64_t data_bytes;
};

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
// 0, or -1 with the message set.
static int walk_chunks(FILE *f, wav_chunks *c) {
    if (fseeko(f, 0, SEEK_END) != 0) {
        sil_fail(SIL_ERR_READ, "seek failed");
        return -1;
    }
    // 64-bit sizes: a file of 2 GiB or more is not mistaken for a tiny one.
    const int64_t file_size = (int64_t)ftello(f);
    if (file_size < 44) {
        sil_fail(SIL_ERR_FORMAT, "file too small for WAV");
        return -1;
    }
    rewind(f);

    unsigned char riff[12];
    if (fread(riff, 1, 12, f) != 12 || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0) {
        sil_fail(SIL_ERR_FORMAT, "not a RIFF/WAVE file");
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
                sil_fail(SIL_ERR_FORMAT, "bad fmt chunk");
                return -1;
            }
            unsigned char fmt[FMT_EXTENSIBLE_SIZE];
            const int64_t fmt_pos = (int64_t)ftello(f);
            const size_t want = size < FMT_EXTENSIBLE_SIZE ? size : FMT_EXTENSIBLE_SIZE;
            if (fread(fmt, 1, want, f) != want) {
                sil_fail(SIL_ERR_READ, "fmt read fail");
                return -1;
            }
            // Past the extension nothing is interpreted; a rest of 2^31 bytes
            // or more still seeks forward, with a 64-bit offset.
            if (size > FMT_EXTENSIBLE_SIZE &&
                skip_forward(f, size - FMT_EXTENSIBLE_SIZE, file_size) != 0) {
                sil_fail(SIL_ERR_READ, "fmt skip fail");
                return -1;
            }
            c->format_tag = get_u16(fmt);
            c->channels = get_u16(fmt + 2);
            c->sample_rate = get_u32(fmt + 4);
            c->bits_per_sample = get_u16(fmt + 14);
            // The extension (size field at 16, sub-format GUID at 24) counts
            // only when the chunk is long enough to hold all of it.
            c->pcm_subformat = size >= FMT_EXTENSIBLE_SIZE &&
                               get_u16(fmt + 16) >= EXTENSION_SIZE_MIN &&
                               get_u16(fmt + 24) == TAG_PCM;
            c->fmt_offset = fmt_pos;
            c->fmt_size = (uint32_t)(file_size - fmt_pos < (int64_t)size ? file_size - fmt_pos : size);
            c->have_fmt = true;
        } else if (memcmp(hdr, "data", 4) == 0) {
            if (size > DATA_CHUNK_MAX) {
                sil_fail(SIL_ERR_TOO_LARGE, "data chunk too large");
                return -1;
            }
            // A body longer than what is left of the file can never be read.
            const int64_t pos = (int64_t)ftello(f);
            if (pos < 0 || file_size - pos < (int64_t)size) {
                sil_fail(SIL_ERR_READ, "data read fail");
                return -1;
            }
            // Only the place is kept; the body is read when it is decoded.
            // An empty chunk still counts as present.
            c->have_data = true;
            c->data_offset = pos;
            c->data_bytes = size;
            if (size != 0 && fseeko(f, (off_t)(pos + (int64_t)size), SEEK_SET) != 0) {
                sil_fail(SIL_ERR_READ, "data read fail");
                return -1;
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
// Decoding
// ---------------------------------------------------------------------------

// One sample of each layout in single precision. The scales are powers of
// two, so every product is exact.
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

// Integer value of one narrow sample; its float value is raw × 2^-(bits-1).
static inline int32_t raw_u8(const unsigned char *b) { return (int32_t)b[0] - 128; }
static inline int32_t raw_s16(const unsigned char *b) { return (int16_t)get_u16(b); }
static inline int32_t raw_s24(const unsigned char *b) {
    // The three bytes go to the top of a 32-bit word, and an arithmetic shift
    // sign-extends from bit 23 without a branch. On a little-endian machine
    // one 4-byte load does it; the fourth byte (the block has slack for it)
    // is shifted out.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t u;
    memcpy(&u, b, 4);
    u <<= 8;
#else
    const uint32_t u = ((uint32_t)b[0] << 8) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 24);
#endif
    return (int32_t)u >> 8;
}

// Mean of a frame of 8-, 16- or 24-bit samples. Each decoded sample is
// raw × 2^-k exactly, and adding them in double is exact (the sum stays far
// below 2^53 units of 2^-k), so the integer sum scaled once is bit for bit
// the double sum of the decoded samples. With a power-of-two channel count
// the division is folded into the scale, which is then still a power of two.
template <int32_t (*raw)(const unsigned char *), int BYTES, int CH> struct int_frame {
    int channels;
    double scale; // 2^-k, or 2^-k / channels for a power-of-two count
    bool exact_scale;
    inline float operator()(const unsigned char *p) const {
        if (CH == 1 || CH == 2) {
            // At most 2^24 in magnitude: the sum and the power-of-two scale
            // are exact in single precision too.
            int32_t sum = raw(p);
            if (CH == 2)
                sum += raw(p + BYTES);
            return (float)sum * (float)scale;
        }
        const int ch = CH ? CH : channels;
        int64_t sum = 0;
        for (int c = 0; c < ch; c++)
            sum += raw(p + c * BYTES);
        if (exact_scale)
            return (float)((double)sum * scale);
        return (float)((double)sum * scale / (double)ch);
    }
};

// Mean of a frame of 32-bit samples: widened to double and added in channel
// order, then divided by the channel count.
template <float (*decode)(const unsigned char *), int CH> struct wide_frame {
    int channels;
    inline float operator()(const unsigned char *p) const {
        const int ch = CH ? CH : channels;
        double sum = 0.0;
        for (int c = 0; c < ch; c++)
            sum += (double)decode(p + c * 4);
        return (float)(sum / (double)ch);
    }
};

template <int32_t (*raw)(const unsigned char *), int BYTES, int CH>
static void decode_int(const unsigned char *in, size_t frames, int channels, float *out) {
    const double unit = 1.0 / (double)(1u << (8 * BYTES - 1));
    const bool pow2 = (channels & (channels - 1)) == 0;
    const int_frame<raw, BYTES, CH> frame{channels,
                                          CH == 1   ? unit
                                          : CH == 2 ? unit / 2.0
                                          : pow2    ? unit / channels
                                                    : unit,
                                          CH != 0 || pow2};
    const size_t fb = (size_t)channels * BYTES;
    for (size_t i = 0; i < frames; i++)
        out[i] = frame(in + i * fb);
}

template <float (*decode)(const unsigned char *), int CH>
static void decode_wide(const unsigned char *in, size_t frames, int channels, float *out) {
    const wide_frame<decode, CH> frame{channels};
    const size_t fb = (size_t)channels * 4;
    for (size_t i = 0; i < frames; i++)
        out[i] = frame(in + i * fb);
}

#if defined(__SSE2__)
// The two commonest layouts get SSE2 loops of their own (SSE2 is part of
// every x86-64), with the generic path's values.
//
// Stereo 16-bit, four frames at a time: the two channels are added as
// integers (pmaddwd) and scaled by 2^-16 in single precision; the sum fits a
// float exactly.
static void decode_s16_stereo(const unsigned char *in, size_t frames, int, float *out) {
    const __m128i ones = _mm_set1_epi16(1);
    const __m128 scale = _mm_set1_ps(1.0f / 65536.0f);
    size_t i = 0;
    for (; frames - i >= 4; i += 4) {
        const __m128i lr = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 4 * i));
        _mm_storeu_ps(out + i, _mm_mul_ps(_mm_cvtepi32_ps(_mm_madd_epi16(lr, ones)), scale));
    }
    decode_int<raw_s16, 2, 2>(in + 4 * i, frames - i, 2, out + i);
}

// Mono 16-bit, eight frames at a time: sign-extended and scaled by 2^-15.
static void decode_s16_mono(const unsigned char *in, size_t frames, int, float *out) {
    const __m128 scale = _mm_set1_ps(1.0f / 32768.0f);
    size_t i = 0;
    for (; frames - i >= 8; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * i));
        const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
        const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        _mm_storeu_ps(out + i, _mm_mul_ps(_mm_cvtepi32_ps(lo), scale));
        _mm_storeu_ps(out + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), scale));
    }
    decode_int<raw_s16, 2, 1>(in + 2 * i, frames - i, 1, out + i);
}
#endif

using decode_fn = void (*)(const unsigned char *, size_t, int, float *);

template <int32_t (*raw)(const unsigned char *), int BYTES>
static decode_fn int_decoder(int channels) {
    return channels == 1 ? decode_int<raw, BYTES, 1>
           : channels == 2 ? decode_int<raw, BYTES, 2>
                           : decode_int<raw, BYTES, 0>;
}

template <float (*decode)(const unsigned char *)> static decode_fn wide_decoder(int channels) {
    return channels == 1 ? decode_wide<decode, 1>
           : channels == 2 ? decode_wide<decode, 2>
                           : decode_wide<decode, 0>;
}

static decode_fn pick_decoder(int bits, bool is_float, int channels) {
    switch (bits) {
    case 8:
        return int_decoder<raw_u8, 1>(channels);
    case 16:
#if defined(__SSE2__)
        if (channels == 1)
            return decode_s16_mono;
        if (channels == 2)
            return decode_s16_stereo;
#endif
        return int_decoder<raw_s16, 2>(channels);
    case 24:
        return int_decoder<raw_s24, 3>(channels);
    default:
        return is_float ? wide_decoder<decode_f32>(channels) : wide_decoder<decode_s32>(channels);
    }
}

decode_fn sil_wav_decoder(int bits, bool is_float, int channels) {
    return pick_decoder(bits, bits == 32 && is_float, channels);
}

// ---------------------------------------------------------------------------
// Source
// ---------------------------------------------------------------------------

// Checks what the walk found, in the order the messages have always come,
// and fills the record; the raw block is allocated only once all is known.
static int open_checked(FILE *f, bool owns, sil_wav_source **out) {
    *out = nullptr;
    file_ptr owned(owns ? f : nullptr);
    wav_chunks c{};
    if (walk_chunks(f, &c) != 0)
        return -1;
    if (!c.have_fmt || !c.have_data) {
        sil_fail(SIL_ERR_FORMAT, "missing fmt or data chunk");
        return -1;
    }
    if (c.channels == 0 || (int32_t)c.sample_rate <= 0) {
        sil_fail(SIL_ERR_FORMAT, "invalid channel/sample rate");
        return -1;
    }
    const uint16_t tag = c.format_tag;
    if (tag != TAG_PCM && tag != TAG_FLOAT && tag != TAG_EXTENSIBLE) {
        sil_fail(SIL_ERR_FORMAT, "unsupported WAV format");
        return -1;
    }
    const int bits = c.bits_per_sample;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        sil_fail(SIL_ERR_FORMAT, "unsupported bit depth");
        return -1;
    }
    const size_t frame_bytes = (size_t)c.channels * (size_t)(bits / 8);
    const uint64_t frames = c.data_bytes / frame_bytes; // a partial frame is dropped
    if (frames > 2147483647u) {
        sil_fail(SIL_ERR_FORMAT, "invalid frame size");
        return -1;
    }

    sil_wav_source_ptr src(static_cast<sil_wav_source *>(calloc(1, sizeof(sil_wav_source))));
    if (!src) {
        sil_fail_memory();
        return -1;
    }
    size_t block = SIL_READ_BLOCK_BYTES / frame_bytes;
    if (block < 1)
        block = 1;
    if (block > SIL_READ_BLOCK_FRAMES)
        block = SIL_READ_BLOCK_FRAMES;
    src->raw = static_cast<unsigned char *>(malloc(block * frame_bytes + RAW_SLACK));
    if (!src->raw) {
        sil_fail_memory();
        return -1;
    }
    // Only 32-bit samples look at the float flag; narrower ones are integers
    // under every accepted tag. An extensible file is float unless its
    // sub-format says integer PCM.
    const bool is_float = tag == TAG_FLOAT || (tag == TAG_EXTENSIBLE && !c.pcm_subformat);
    src->f = owned ? owned.release() : f;
    src->owns_file = owns;
    src->sample_rate = (int32_t)c.sample_rate;
    src->channels = c.channels;
    src->bits_per_sample = bits;
    src->is_float = bits == 32 && is_float;
    src->frames = (int64_t)frames;
    src->frame_bytes = frame_bytes;
    src->data_offset = c.data_offset;
    src->fmt_offset = c.fmt_offset;
    src->fmt_size = c.fmt_size;
    src->block_frames = block;
    src->decode = pick_decoder(bits, src->is_float, c.channels);
    if (sil_wav_source_seek(src.get(), 0) != 0)
        return -1;
    *out = src.release();
    return 0;
}

// Opens for reading without waiting for a writer (a FIFO), then puts the
// descriptor back into blocking mode for the reads.
static FILE *open_input(const char *path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    FILE *f = fdopen(fd, "rb");
    if (!f) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

int sil_wav_source_open(const char *path, sil_wav_source **out) {
    *out = nullptr;
    if (!path) {
        sil_fail(SIL_ERR_ARGS, "NULL wav path");
        return -1;
    }
    FILE *f = open_input(path);
    if (!f) {
        if (errno == ENOMEM)
            sil_fail_memory();
        else
            sil_fail(SIL_ERR_READ, "cannot open wav file");
        return -1;
    }
    return open_checked(f, true, out);
}

int sil_wav_source_from_stream(FILE *f, sil_wav_source **out) {
    return open_checked(f, false, out);
}

void sil_wav_source_free(sil_wav_source *src) {
    if (!src)
        return;
    if (src->owns_file && src->f)
        fclose(src->f);
    free(src->raw);
    free(src);
}

int sil_wav_source_seek(sil_wav_source *src, int64_t frame) {
    if (frame < 0 || frame > src->frames ||
        fseeko(src->f, (off_t)(src->data_offset + frame * (int64_t)src->frame_bytes), SEEK_SET) !=
            0) {
        sil_fail(SIL_ERR_READ, "seek failed");
        return -1;
    }
    src->next_frame = frame;
    return 0;
}

int64_t sil_wav_source_read_raw(sil_wav_source *src, size_t max) {
    const int64_t left = src->frames - src->next_frame;
    size_t n = src->block_frames < max ? src->block_frames : max;
    if ((int64_t)n > left)
        n = (size_t)left;
    if (n == 0)
        return 0;
    if (fread(src->raw, src->frame_bytes, n, src->f) != n) {
        sil_fail(SIL_ERR_READ, "data read fail");
        return -1;
    }
    src->next_frame += (int64_t)n;
    return (int64_t)n;
}

int64_t sil_wav_source_read(sil_wav_source *src, float *out, size_t max) {
    const int64_t n = sil_wav_source_read_raw(src, max);
    if (n > 0)
        src->decode(src->raw, (size_t)n, src->channels, out);
    return n;
}
