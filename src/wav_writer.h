// The WAV writer: mono floats as 16-bit PCM behind the fixed 44-byte header,
// written block by block as the samples come.
#ifndef SILSPLIT_WAV_WRITER_H
#define SILSPLIT_WAV_WRITER_H

#include "base.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One WAV file being written: the 44-byte header, then samples as they come.
struct sil_wav_writer {
    FILE *f;
    const char *path; // the caller's text, kept alive until the writer closes
    int64_t expected; // samples the header announces
    int64_t written;
};

// Opens path for writing ("wb"), creating or truncating it, but never through
// a symbolic link standing at that name. NULL with errno set on failure.
FILE *sil_create_output(const char *path);
// One output sample: clamped, scaled by 32767 in single precision and rounded
// half to even. NaN has no value of its own: 0.
int16_t sil_to_pcm16(float v);
// The 44-byte header of a mono 16-bit file of n samples at sample_rate.
void sil_pcm16_header(unsigned char hdr[44], int64_t n, int32_t sample_rate);
// Most samples a 16-bit mono file can announce: 36 + 2n must fit 32 bits.
constexpr int64_t SIL_PCM16_MAX_SAMPLES = 2147483629;
// Creates path and writes the header of a mono 16-bit file of n samples.
// 0, or -1 with the message set and nothing left open.
int sil_wav_writer_open(sil_wav_writer *w, const char *path, int64_t n, int32_t sample_rate);
// As sil_wav_writer_open, on a stream the caller has just created as path
// (the writer owns it from here, and closes it on failure too).
int sil_wav_writer_open_stream(sil_wav_writer *w, FILE *f, const char *path, int64_t n,
                               int32_t sample_rate);
// Appends n samples. 0, or -1 with the message set, the file removed and the
// writer closed.
int sil_wav_writer_put(sil_wav_writer *w, const float *samples, size_t n);
// Closes the file once every announced sample is written. 0, or -1 with the
// message set and the file removed.
int sil_wav_writer_close(sil_wav_writer *w);
// Closes and removes an unfinished file (no message); a closed writer is left alone.
void sil_wav_writer_abort(sil_wav_writer *w);
// Writes n mono samples as a 16-bit PCM WAV file with the 44-byte header.
// 0, or -1 with the message set and no partial file left behind.
int sil_wav_write_pcm16(const char *path, const float *samples, int n, int sample_rate);

#endif // SILSPLIT_WAV_WRITER_H
