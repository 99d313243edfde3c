// The commands on recordings that FFmpeg reads: analysis through the
// library's pipeline, lossless cutting into chapter files, and chapter marks
// written into a copy of the recording. media_wants_library, analyze_wav,
// analyze_any and split_needs_media (media_route.cpp) are the program's own;
// the functions that need FFmpeg live in the media module
// (media_commands.cpp), which the program reaches through media_loader.cpp.
#ifndef SILSPLIT_CLI_MEDIA_MEDIA_COMMANDS_H
#define SILSPLIT_CLI_MEDIA_MEDIA_COMMANDS_H

#include "media_ranges.h"
#include "media_source.h"

#include "engine.h"

#include <string>

namespace silsplit_cli {

// What the commands share: the library's options text ("" for the
// defaults), the audio stream (-1: the first), progress and Ctrl-C.
struct MediaRun {
    std::string opts;
    int stream = -1;
    silsplit_progress_fn progress = nullptr; // may be NULL
    void *progress_user = nullptr;
    MediaStop stop;
    int jobs = 1;     // decoders for one compressed input (media_ranges.h)
    MediaNote note;   // why it was decoded by one decoder after all
    std::string warning; // lines shown beside the result (packets skipped, hints unmoved)
    bool hints_from_input = false; // the input's own chapter marks as the hints
    // A split's file names (see chapter_file_names; "" for ch_001, ...) and
    // whether it may replace files of those names.
    std::string name_template;
    bool overwrite = false;
    // A split of standard input with these options set analyses its copy of
    // the input a second time with them and leaves the report in
    // review_report (for the review page: standard input cannot be read twice).
    std::string review_opts;
    std::string review_report;
    // The input broke off before its declared end: the result holds what
    // was read, and the command fails once it is written.
    bool broken_off = false;
    // chapters: the analysis's report, for the levels per chapter.
    std::string report;
};

// Whether the library's own WAV reader should read path: a RIFF/WAVE file
// (or a missing .wav name, so that its message stays the library's). "-",
// other files, unreadable ones and those of wav_wrapped_size go through
// FFmpeg.
bool media_wants_library(const std::string &path);

// For a RIFF/WAVE file whose data size (or RIFF size) is at least 4 GiB
// short of what the file holds, as writers leave it when the 32-bit field
// wraps: the warning naming the wrapped size. Such a file is read to its
// end through FFmpeg. "" for every other file.
std::string wav_wrapped_size(const std::string &path);

// For a RIFF/WAVE file whose data chunk says more than the file holds (it
// broke off): the warning with both sizes. FFmpeg reads what there is, and
// the command fails once its output is written. "" for every other file.
std::string wav_data_short(const std::string &path);

// The analysis of a WAV file by the library's reader, with the progress calls
// of silsplit_analyze_progress. 0 and a filled record (free with
// sil_analysis_free), or -1 with the engine's message and code set: a WAV
// file that only FFmpeg can read is SIL_ERR_TOO_LARGE (a data chunk over the
// reader's size limit) or SIL_ERR_FORMAT (a codec or depth it refuses).
int analyze_wav(const std::string &path, const MediaRun &run, sil_analysis *out);

// Whether the engine's last failure, from analyze_wav, leaves the file to
// FFmpeg: SIL_ERR_TOO_LARGE or SIL_ERR_FORMAT.
bool media_takes_refused();

// The analysis of path (its report and chapters): through the library's
// reader for the WAV files it reads, through FFmpeg for the rest (and for
// every input with run->hints_from_input, whose marks FFmpeg reads). 0 and a
// filled record (free with sil_analysis_free), or -1 with *error set
// ("cancelled" when stopped).
int analyze_any(const std::string &path, MediaRun *run, sil_analysis *out, std::string *error);

// The analysis of path read through FFmpeg, whatever it holds; as
// analyze_any. With run->hints_from_input the input's chapter marks are the
// options' hints (an input without marks is refused).
int analyze_media(const std::string &path, MediaRun *run, sil_analysis *out, std::string *error);

// Whether split needs FFmpeg for path: every input but the RIFF/WAVE files
// (which go to the library's split, and come back here only when its reader
// refuses them for their size).
bool split_needs_media(const std::string &path);

// Cuts path into out_dir/ch_001.EXT, ... (or run->name_template's names)
// in the input's own codec and container family (packets copied, no
// re-encoding, the chapter's title in the file's tags), or 16-bit WAV files
// when to_wav, plus chapters.json holding the report. Every file is written
// under a temporary name and renamed when complete. The chapter count, or -1
// with *error set.
int media_split(const std::string &path, const std::string &out_dir, bool to_wav, MediaRun *run,
                std::string *error);

// Copies path's streams into out (format from out's name) with the detected
// chapters as the container's chapter marks, named by their titles or
// "Chapter 1", ... An input that has chapters already is refused unless
// replace or run->hints_from_input. The chapter count, or -1
// with *error set.
int media_write_chapter_marks(const std::string &path, const std::string &out, bool replace,
                              MediaRun *run, std::string *error);

} // namespace silsplit_cli

#endif
