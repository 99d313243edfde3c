// FLAC chapter files cut from a WAV source (split --to flac): the source's
// frames in its own channels, rate and bit depth, lossless, each file whole
// (its sample count and MD5 in STREAMINFO), through libFLAC.
#ifndef SILSPLIT_CLI_FLAC_OUTPUT_H
#define SILSPLIT_CLI_FLAC_OUTPUT_H

#include "engine.h"

#include <cstdio>
#include <string>

namespace silsplit_cli {

// Raw little-endian frames of src's layout as 32-bit integers, one per
// sample, as FLAC holds them (8-bit samples centred on 0).
void wav_frames_as_int32(const sil_wav_source &src, const unsigned char *raw, size_t frames,
                         int32_t *out);

// "" when FLAC holds src's samples exactly (integer PCM of 8 to 32 bits, at
// most 8 channels); otherwise the reason.
std::string flac_refusal(const sil_wav_source &src);

// Writes frames [start, end) of src to out (a new file, open for writing and
// seeking) as a FLAC file, with TITLE=title in its Vorbis comment when title
// is not empty. tick (may be NULL) hears the source bytes encoded after each
// block; non-zero cancels. 0, 1 when cancelled, or -1 with *error set.
int write_flac_chapter(sil_wav_source *src, int64_t start, int64_t end, const std::string &title,
                       FILE *out, sil_write_tick tick, void *user, std::string *error);

} // namespace silsplit_cli

#endif
