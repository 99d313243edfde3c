// WAV files in and out, and the resampler that brings any rate to 16000 Hz.
//
// The reader walks the RIFF chunks of a file, keeps the last "fmt " and
// "data" chunks, and decodes 8/16/24/32-bit integer or 32-bit float frames
// into one float per frame: the mean of the frame's channels. The writer
// stores mono floats as 16-bit PCM behind the fixed 44-byte header.
#include "silsplit_internal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <sys/types.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h> // SSE2 for every x86-64, AVX2 where the CPU has it
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cerrno>
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
// Large blocks
// ---------------------------------------------------------------------------

void sil_prefault_large_block(void *p, size_t n) {
#ifdef MADV_POPULATE_WRITE
    // One call maps every page of a block that is about to be written whole,
    // instead of one page fault per 4 KiB. (Huge pages were tried and
    // dropped: on a host whose memory is fragmented, the kernel compacts
    // memory to find them and a read can stall for seconds.)
    const uintptr_t page = 4096;
    if (n < ((size_t)8 << 20))
        return;
    const uintptr_t a = ((uintptr_t)p + page - 1) & ~(page - 1);
    const uintptr_t e = ((uintptr_t)p + n) & ~(page - 1);
    if (e > a)
        madvise(reinterpret_cast<void *>(a), e - a, MADV_POPULATE_WRITE); // a hint: errors ignored
#else
    (void)p;
    (void)n;
#endif
}

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
    size_t data_cap; // allocated size of data
};

constexpr uint32_t DATA_CHUNK_MAX = 2147483648u; // 2^31 bytes

// Bytes after the data that the decoder may load (and ignore) when it reads
// a 3-byte sample with one 4-byte load.
constexpr size_t DATA_SLACK = 4;

// Size of the block for a data chunk of size bytes: the larger of the chunk
// and 4 bytes per frame under the fmt chunk seen so far (a later fmt chunk
// may still change it; decoding then grows the block), plus the slack.
static size_t decoded_capacity(const wav_chunks *c, uint32_t size) {
    size_t cap = size;
    const size_t frame_bytes = (size_t)c->channels * (c->bits_per_sample / 8);
    if (c->have_fmt && frame_bytes > 0 && (size_t)(size / frame_bytes) * 4 > cap)
        cap = (size_t)(size / frame_bytes) * 4;
    return cap + DATA_SLACK;
}

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
            // Room for the decoded floats as well (4 bytes a frame), so that
            // decoding needs no second block. An empty chunk still counts as
            // present: its block holds just the slack.
            const size_t cap = decoded_capacity(c, size);
            c->data.reset(static_cast<unsigned char *>(malloc(cap)));
            if (!c->data) {
                sil_set_error("out of memory");
                return -1;
            }
            c->data_cap = cap;
            sil_prefault_large_block(c->data.get(), cap);
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

constexpr int32_t READ_PROGRESS_STEP = 65536;

static int report_read(int32_t i, int32_t frames, sil_progress *progress) {
    return sil_progress_report(progress, (int)((double)i / (double)frames * 20.0), SIL_STAGE_READ);
}

// Decodes every frame of block into one float per frame, in place: float i
// takes bytes 4i to 4i+3. A frame of 4 bytes or more is decoded forwards (a
// float never reaches a frame not yet read); a narrower one backwards, for
// the same reason. Progress reports go out in frame order every 65536 frames
// either way.
template <typename Frame>
static int decode_in_place(unsigned char *block, int32_t frames, size_t frame_bytes, Frame frame,
                           sil_progress *progress) {
    float *out = reinterpret_cast<float *>(block);
    if (frame_bytes >= 4) {
        for (int32_t first = 0; first < frames; first += READ_PROGRESS_STEP) {
            const int32_t end =
                frames - first < READ_PROGRESS_STEP ? frames : first + READ_PROGRESS_STEP;
            for (int32_t i = first; i < end; i++)
                out[i] = frame(block + (size_t)i * frame_bytes);
            if (report_read(first, frames, progress) != 0)
                return -1;
        }
        return 0;
    }
    for (int32_t i = frames - 1; i >= 0; i--)
        out[i] = frame(block + (size_t)i * frame_bytes);
    for (int32_t i = 0; i < frames; i += READ_PROGRESS_STEP)
        if (report_read(i, frames, progress) != 0)
            return -1;
    return 0;
}

#if defined(__SSE2__)
// The two commonest layouts get SSE2 loops of their own (SSE2 is part of
// every x86-64).
//
// Stereo 16-bit, four frames at a time: the two channels are added as
// integers (pmaddwd) and scaled by 2^-16 in single precision. The sum fits a
// float exactly, so this is the generic path's value. A frame is 4 bytes and
// float i overwrites only frame i.
static int decode_s16_stereo(unsigned char *block, int32_t frames, sil_progress *progress) {
    const __m128i ones = _mm_set1_epi16(1);
    const __m128 scale = _mm_set1_ps(1.0f / 65536.0f);
    for (int32_t first = 0; first < frames; first += READ_PROGRESS_STEP) {
        const int32_t end =
            frames - first < READ_PROGRESS_STEP ? frames : first + READ_PROGRESS_STEP;
        int32_t i = first;
        for (; end - i >= 4; i += 4) {
            const __m128i lr = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 4 * i));
            const __m128 v = _mm_mul_ps(_mm_cvtepi32_ps(_mm_madd_epi16(lr, ones)), scale);
            _mm_storeu_ps(reinterpret_cast<float *>(block + 4 * i), v);
        }
        const int_frame<raw_s16, 2, 2> frame{2, 1.0 / 65536.0, true};
        for (; i < end; i++)
            reinterpret_cast<float *>(block)[i] = frame(block + 4 * (size_t)i);
        if (report_read(first, frames, progress) != 0)
            return -1;
    }
    return 0;
}

// Mono 16-bit, eight frames at a time from the end: frames are 2 bytes and
// become 4, so the floats of a group land on frames already read.
static int decode_s16_mono(unsigned char *block, int32_t frames, sil_progress *progress) {
    const __m128 scale = _mm_set1_ps(1.0f / 32768.0f);
    float *out = reinterpret_cast<float *>(block);
    const int32_t whole = frames & ~7;
    for (int32_t i = frames - 1; i >= whole; i--)
        out[i] = (float)raw_s16(block + 2 * (size_t)i) * (1.0f / 32768.0f);
    for (int32_t g = whole - 8; g >= 0; g -= 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 2 * g));
        const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16); // sign-extended
        const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        _mm_storeu_ps(out + g, _mm_mul_ps(_mm_cvtepi32_ps(lo), scale));
        _mm_storeu_ps(out + g + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), scale));
    }
    for (int32_t i = 0; i < frames; i += READ_PROGRESS_STEP)
        if (report_read(i, frames, progress) != 0)
            return -1;
    return 0;
}
#endif

template <int32_t (*raw)(const unsigned char *), int BYTES>
static int decode_int(unsigned char *block, int32_t frames, int channels, sil_progress *progress) {
    const double unit = 1.0 / (double)(1u << (8 * BYTES - 1));
    const bool pow2 = (channels & (channels - 1)) == 0;
    const size_t fb = (size_t)channels * BYTES;
#if defined(__SSE2__)
    if (channels == 1 && BYTES == 2)
        return decode_s16_mono(block, frames, progress);
    if (channels == 2 && BYTES == 2)
        return decode_s16_stereo(block, frames, progress);
#endif
    if (channels == 1)
        return decode_in_place(block, frames, fb, int_frame<raw, BYTES, 1>{1, unit, true},
                               progress);
    if (channels == 2)
        return decode_in_place(block, frames, fb, int_frame<raw, BYTES, 2>{2, unit / 2.0, true},
                               progress);
    return decode_in_place(block, frames, fb,
                           int_frame<raw, BYTES, 0>{channels, pow2 ? unit / channels : unit, pow2},
                           progress);
}

template <float (*decode)(const unsigned char *)>
static int decode_wide(unsigned char *block, int32_t frames, int channels, sil_progress *progress) {
    const size_t fb = (size_t)channels * 4;
    if (channels == 1)
        return decode_in_place(block, frames, fb, wide_frame<decode, 1>{1}, progress);
    if (channels == 2)
        return decode_in_place(block, frames, fb, wide_frame<decode, 2>{2}, progress);
    return decode_in_place(block, frames, fb, wide_frame<decode, 0>{channels}, progress);
}

// Validates what the walk found and decodes it, in the data block itself,
// into the record's samples.
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

    // The block was sized under the fmt chunk known when the data chunk came;
    // a data chunk before its fmt chunk may need more room for the floats.
    const size_t need = (size_t)frames * 4 + DATA_SLACK;
    if (c->data_cap < need) {
        unsigned char *grown = static_cast<unsigned char *>(realloc(c->data.get(), need));
        if (!grown) {
            sil_set_error("out of memory");
            return -1;
        }
        c->data.release();
        c->data.reset(grown);
        c->data_cap = need;
    }

    // Only 32-bit samples look at the float flag; narrower ones are integers
    // under every accepted tag.
    const bool is_float = tag == 3 || (tag == 0xFFFE && bits == 32);
    unsigned char *block = c->data.get();
    const int channels = c->channels;
    int rc;
    switch (bits) {
    case 8:
        rc = decode_int<raw_u8, 1>(block, frames, channels, progress);
        break;
    case 16:
        rc = decode_int<raw_s16, 2>(block, frames, channels, progress);
        break;
    case 24:
        rc = decode_int<raw_s24, 3>(block, frames, channels, progress);
        break;
    default:
        rc = is_float ? decode_wide<decode_f32>(block, frames, channels, progress)
                      : decode_wide<decode_s32>(block, frames, channels, progress);
        break;
    }
    if (rc != 0)
        return -1;

    if (sil_progress_report(progress, 20, SIL_STAGE_RESAMPLE) != 0)
        return -1;

    wav->samples = reinterpret_cast<float *>(c->data.release()); // the caller owns it from here
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
        sil_set_error(errno == ENOMEM ? "out of memory" : "cannot open wav file");
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
    FILE *f = sil_create_output(path);
    if (!f) {
        sil_set_error(errno == ENOMEM ? "out of memory" : "cannot create output wav");
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

// Output length for n input samples: n × ratio truncated, at least 1.
// -1 with the message set when it does not fit an int.
static int resampled_length(int n, double ratio) {
    double m_d = std::trunc((double)n * ratio);
    if (m_d < 1.0)
        m_d = 1.0;
    if (m_d > 2147483647.0) {
        sil_set_error("resampled signal too long");
        return -1;
    }
    return (int)m_d;
}

// One output sample: in[i0] × (1 − frac) + frac × in[i1] at position
// i / ratio (a division by the ratio, not a multiplication by its inverse),
// in double, rounded to float once.
static inline float interpolate_one(const float *in, int64_t last, double ratio, int i) {
    const double p = (double)i / ratio;
    int64_t i0 = (int64_t)p;
    const double frac = p - (double)i0;
    int64_t i1 = i0 + 1;
    if (i0 > last)
        i0 = last;
    if (i1 > last)
        i1 = last;
    return (float)((double)in[i0] * (1.0 - frac) + frac * (double)in[i1]);
}

static void interpolate_range(const float *in, int64_t last, double ratio, float *out, int first,
                              int end) {
    for (int i = first; i < end; i++)
        out[i] = interpolate_one(in, last, ratio, i);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same arithmetic four outputs at a time: the same divisions, the same
// products and sums (AVX2 alone, without FMA, so nothing is fused), the same
// rounding. The four results are stored only after their inputs were read,
// and output i never reads below input i, so in-place use stays safe.
__attribute__((target("avx2"))) static void interpolate_range_avx2(const float *in, int64_t last,
                                                                   double ratio, float *out,
                                                                   int first, int end) {
    int i = first;
    if (last < 2147483647) {
        const __m256d vratio = _mm256_set1_pd(ratio);
        const __m256d one = _mm256_set1_pd(1.0);
        const __m128i vlast = _mm_set1_epi32((int)last);
        const __m128i vone = _mm_set1_epi32(1);
        for (; end - i >= 4; i += 4) {
            const __m256d vi = _mm256_set_pd(i + 3.0, i + 2.0, i + 1.0, (double)i);
            const __m256d p = _mm256_div_pd(vi, vratio);
            const __m128i i0 = _mm256_cvttpd_epi32(p); // p lies in [0, n): fits
            const __m256d frac = _mm256_sub_pd(p, _mm256_cvtepi32_pd(i0));
            // Plain loads: faster than gather instructions on the CPUs we
            // measured.
            int32_t k0[4], k1[4];
            _mm_storeu_si128(reinterpret_cast<__m128i *>(k0), _mm_min_epi32(i0, vlast));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(k1),
                             _mm_min_epi32(_mm_add_epi32(i0, vone), vlast));
            const __m256d a =
                _mm256_cvtps_pd(_mm_setr_ps(in[k0[0]], in[k0[1]], in[k0[2]], in[k0[3]]));
            const __m256d b =
                _mm256_cvtps_pd(_mm_setr_ps(in[k1[0]], in[k1[1]], in[k1[2]], in[k1[3]]));
            const __m256d v =
                _mm256_add_pd(_mm256_mul_pd(a, _mm256_sub_pd(one, frac)), _mm256_mul_pd(frac, b));
            _mm_storeu_ps(out + i, _mm256_cvtpd_ps(v));
        }
    }
    interpolate_range(in, last, ratio, out, i, end);
}
#endif

// Linear interpolation of m output samples at 16 kHz, with progress every
// 65536 of them. out may be in itself when the rate goes down: output i reads
// only input samples at i or later, which are still untouched.
static int interpolate(const float *in, int n, double ratio, float *out, int m,
                       sil_progress *progress) {
    const int64_t last = (int64_t)n - 1;
#if defined(__x86_64__) && defined(__GNUC__)
    const bool avx2 = __builtin_cpu_supports("avx2");
#endif
    for (int first = 0; first < m; first += 65536) {
        const int end = m - first < 65536 ? m : first + 65536;
#if defined(__x86_64__) && defined(__GNUC__)
        if (avx2)
            interpolate_range_avx2(in, last, ratio, out, first, end);
        else
#endif
            interpolate_range(in, last, ratio, out, first, end);
        const int pct = 20 + (int)((double)first / (double)m * 20.0);
        if (sil_progress_report(progress, pct, SIL_STAGE_RESAMPLE) != 0)
            return -1;
    }
    return sil_progress_report(progress, 40, SIL_STAGE_DETECT);
}

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
    const int m = resampled_length(n, ratio);
    if (m < 0)
        return -1;
    sil_heap_ptr<float> buf(static_cast<float *>(malloc((size_t)m * sizeof(float))));
    if (!buf) {
        sil_set_error("out of memory");
        return -1;
    }
    sil_prefault_large_block(buf.get(), (size_t)m * sizeof(float));
    if (interpolate(in, n, ratio, buf.get(), m, progress) != 0)
        return -1;
    *out = buf.release();
    *out_n = m;
    return 0;
}

int sil_resample_or_borrow(const float *in, int n, int rate, const float **out, int *out_n,
                           float **owned, sil_progress *progress) {
    *owned = nullptr;
    if (rate != 16000 || !in || n <= 0 || !out || !out_n) {
        float *buf = nullptr;
        const int rc = sil_resample_to_16k(in, n, rate, out ? &buf : nullptr, out_n, progress);
        if (rc == 0) {
            *owned = buf;
            *out = buf;
        }
        return rc;
    }
    // The same reports as a copy would make, without the copy.
    if (sil_progress_report(progress, 20, SIL_STAGE_RESAMPLE) != 0 ||
        sil_progress_report(progress, 40, SIL_STAGE_DETECT) != 0)
        return -1;
    *out = in;
    *out_n = n;
    return 0;
}

int sil_resample_in_place(float *in, int n, int rate, const float **out, int *out_n, float **owned,
                          sil_progress *progress) {
    if (rate <= 16000 || !in || n <= 0 || !out || !out_n)
        return sil_resample_or_borrow(in, n, rate, out, out_n, owned, progress);
    *owned = nullptr;
    if (sil_progress_report(progress, 20, SIL_STAGE_RESAMPLE) != 0)
        return -1;
    const double ratio = 16000.0 / (double)rate;
    const int m = resampled_length(n, ratio);
    if (m < 0 || interpolate(in, n, ratio, in, m, progress) != 0)
        return -1;
    *out = in;
    *out_n = m;
    return 0;
}
