// The chapter export: the frames of a chapter at a recording's own rate, a
// chapter written as a WAV file in the input's own format or as 16-bit mono,
// new files under temporary names, and the library's export of a whole
// recording into a folder.
#ifndef SILSPLIT_EXPORT_H
#define SILSPLIT_EXPORT_H

#include "base.h"
#include "options.h"
#include "wav_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Frames [*start, *end) of the chapter from t0 to t1 seconds of a recording
// of `frames` frames at `rate`: floorf(t0 * rate) and ceilf(t1 * rate) in
// single precision, then clamped into the recording in integers (a float
// cannot hold every frame count above 2^24); never end before start. A
// chapter that ends at or after the end of the analysis's 16 kHz signal
// ends at the recording's last frame (the few frames past that end, fewer
// than one 16 kHz sample's worth, are the chapter's too).
void sil_chapter_frames(float t0, float t1, int32_t rate, int64_t frames, int64_t *start,
                        int64_t *end);

// The frames of each of count chapters, start[k] to end[k], as
// sil_chapter_frames gives them, except that a chapter starting at the time
// the one before it ends starts at the frame where that one's range ends: a
// time between two frames would otherwise put that frame in both (floor for
// the start, ceil for the end), and the pieces of chapters that meet would
// not add up to the recording.
void sil_chapter_frame_ranges(const sil_chapter *chapters, int32_t count, int32_t rate,
                              int64_t frames, int64_t *start, int64_t *end);

// The layout of a chapter file cut from a WAV source.
enum sil_chapter_format {
    SIL_CHAPTER_SOURCE = 0, // the input's fmt chunk and frames, byte for byte
    SIL_CHAPTER_MONO16 = 1, // 16-bit PCM, channels mixed to their mean
};

// Bytes of the chapter file of frames [start, end) of src.
uint64_t sil_wav_chapter_bytes(const sil_wav_source *src, int64_t start, int64_t end, int format);

// Told each block's bytes as they are written; non-zero cancels.
typedef int (*sil_write_tick)(uint64_t bytes, void *user);

// Writes the chapter file of frames [start, end) of src to out, a block at a
// time (tick may be NULL). 0, or -1 with the code set: SIL_ERR_READ ("read
// error"), SIL_ERR_WRITE (the system's reason), SIL_ERR_TOO_LARGE ("chapter
// too long for a WAV file"), SIL_ERR_CANCELLED ("cancelled"), SIL_ERR_MEMORY.
int sil_write_wav_chapter(sil_wav_source *src, int64_t start, int64_t end, int format, FILE *out,
                          sil_write_tick tick, void *user);

// Creates a new empty file named FINAL.part-PID-N beside final_path (N from 0
// up, never an existing file or a link), its name in temp (cap bytes). The
// open descriptor (reading and writing), or -1 with errno set.
int sil_temp_create(const char *final_path, char *temp, size_t cap);

// Analyses the WAV file at wav_path and writes ch_NNN.wav files (16-bit
// mono) and chapters.json into out_dir; keys (may be NULL) holds the
// options' list keys. The chapter count, or -1 with the message set.
int sil_write_chapters_impl(const char *wav_path, const sil_opts *opts, const char *out_dir,
                            const sil_chapter_keys *keys = nullptr);

#endif // SILSPLIT_EXPORT_H
