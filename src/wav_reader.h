// The WAV reader: an open file whose chunks were walked and checked, decoded a
// block of frames at a time into one float per frame (the mean of the
// frame's channels).
#ifndef SILSPLIT_WAV_READER_H
#define SILSPLIT_WAV_READER_H

#include "base.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// An open WAV source. Memory: one raw block of at most SIL_READ_BLOCK_BYTES
// (or one frame, when a frame is larger), whatever the file's length.
struct sil_wav_source {
    FILE *f;
    bool owns_file;      // closed by sil_wav_source_free
    int32_t sample_rate; // > 0
    int32_t channels;    // 1 to 65535
    int32_t bits_per_sample;
    bool is_float;       // 32-bit IEEE float samples
    int64_t frames;      // whole frames in the data chunk, at most INT32_MAX
    size_t frame_bytes;
    int64_t data_offset; // file offset of the first frame
    int64_t fmt_offset;  // file offset of the fmt chunk's body
    uint32_t fmt_size;   // bytes of that body present in the file
    int64_t next_frame;  // frame the next read starts at
    size_t block_frames; // most frames one read decodes
    unsigned char *raw;  // heap block of block_frames frames plus slack
    void (*decode)(const unsigned char *raw, size_t frames, int channels, float *out);
};

// Raw bytes read from the data chunk at a time (a whole number of frames).
constexpr size_t SIL_READ_BLOCK_BYTES = 256 * 1024;
// Most frames one read decodes: a float block of 256 KiB at most.
constexpr size_t SIL_READ_BLOCK_FRAMES = 65536;

// Opens path without blocking (a FIFO without a writer fails at the first
// seek), walks every chunk and checks the format. 0 and a heap record in
// *out (free with sil_wav_source_free), or -1 with the message set: a data
// chunk over 2 GiB is "data chunk too large" with SIL_ERR_TOO_LARGE.
int sil_wav_source_open(const char *path, sil_wav_source **out);
// As sil_wav_source_open on an open stream positioned anywhere (the size is
// taken from its end); the stream stays the caller's.
int sil_wav_source_from_stream(FILE *f, sil_wav_source **out);
// Closes an owned file and frees the record; NULL does nothing.
void sil_wav_source_free(sil_wav_source *src);
struct sil_wav_source_deleter {
    void operator()(sil_wav_source *s) const { sil_wav_source_free(s); }
};
using sil_wav_source_ptr = std::unique_ptr<sil_wav_source, sil_wav_source_deleter>;
// Places the next read at frame (0 to frames). 0, or -1 with "seek failed".
int sil_wav_source_seek(sil_wav_source *src, int64_t frame);
// Decodes the next frames (at most max and block_frames) into out, one float
// per frame: the mean of its channels. The count, 0 at the end of the data,
// or -1 with "data read fail" (SIL_ERR_READ).
int64_t sil_wav_source_read(sil_wav_source *src, float *out, size_t max);
// Reads the next frames (at most max and block_frames) as they are stored,
// into src->raw. The count, 0 at the end of the data, or -1 with
// "data read fail" (SIL_ERR_READ).
int64_t sil_wav_source_read_raw(sil_wav_source *src, size_t max);

// The decoder the reader uses for samples of bits (8, 16, 24, 32; 32-bit
// float when is_float) in frames of channels: one float per frame, the mean
// of its channels. A live reader of a stream decodes with it.
void (*sil_wav_decoder(int bits, bool is_float, int channels))(const unsigned char *raw,
                                                               size_t frames, int channels,
                                                               float *out);

#endif // SILSPLIT_WAV_READER_H
