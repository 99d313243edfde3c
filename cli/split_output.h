// Writing a split: the output folder (refused when it holds an earlier
// split's files, unless they are to be replaced), files written under a
// temporary name and renamed once complete, and WAV chapter files cut from
// the input at the frame ranges the library's own export uses.
#ifndef SILSPLIT_CLI_SPLIT_OUTPUT_H
#define SILSPLIT_CLI_SPLIT_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace silsplit_cli {

// ---------------------------------------------------------------------------
// The output folder
// ---------------------------------------------------------------------------

// True for the names a split writes: chapters.json and ch_<digits>[.<ext>],
// and the temporary names of either, ".part" names with or without a leading
// dot (what a killed split leaves behind).
bool is_split_output_name(const std::string &name);

// "" when dir may take a split: it is missing, or a folder that holds no
// split output (or overwrite is set). Otherwise "DIR: reason".
std::string check_out_dir(const std::string &dir, bool overwrite);

// "" unless input is itself a file of dir that a split there would replace
// (say ch_001.wav split into its own folder); then "FILE: reason".
std::string check_input_kept(const std::string &input, const std::string &dir);

// Makes dir with its parents and, with overwrite, removes the split output
// found in it (nothing else). "" or "PATH: reason".
std::string prepare_out_dir(const std::string &dir, bool overwrite);

// ---------------------------------------------------------------------------
// Whole files
// ---------------------------------------------------------------------------

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

enum class Outcome { done, failed, cancelled };

// Writes dir/name through body, which writes into a new temporary file in dir
// (named name.part-...). Once body returns done and the file is closed
// without error it is renamed to name; otherwise it is removed. On failure,
// *error is "PATH: reason" (body sets its own).
Outcome write_whole_file(const std::string &dir, const std::string &name,
                         const std::function<Outcome(FILE *, std::string *)> &body,
                         std::string *error);

// ---------------------------------------------------------------------------
// WAV chapters
// ---------------------------------------------------------------------------

// Where a WAV file keeps what the library reads of it: its last fmt chunk and
// its last data chunk, found by the same chunk walk.
struct WavLayout {
    int64_t fmt_offset = 0; // the fmt chunk's body
    uint32_t fmt_size = 0;  // its bytes present in the file
    int64_t data_offset = 0;
    uint32_t data_bytes = 0;
    uint16_t format_tag = 0;
    uint16_t channels = 0;
    int32_t sample_rate = 0;
    uint16_t bits = 0;
    bool is_float = false;    // 32-bit samples are floats
    uint32_t frame_bytes = 0; // channels * bits / 8
    int64_t frames = 0;       // whole frames in the data chunk
};

// Reads the layout of the open file; false with "reason" in *error for a file
// the library would refuse.
bool read_wav_layout(FILE *in, WavLayout *out, std::string *error);

// The frames [*start, *end) of the chapter from t0 to t1 seconds, as the
// library's export computes them: floorf(t0 * rate) and ceilf(t1 * rate) in
// single precision, clamped into the file.
void chapter_frames(double t0, double t1, const WavLayout &w, int64_t *start, int64_t *end);

// source: the input's fmt chunk and its frames copied byte for byte.
// mono16: what the library's export writes (16-bit PCM, channels mixed down
// to their mean), byte for byte.
enum class ChapterFormat { source, mono16 };

// Bytes of the chapter file of frames [start, end).
uint64_t chapter_file_bytes(const WavLayout &w, int64_t start, int64_t end, ChapterFormat format);

// Writes the chapter file of frames [start, end) of in to out, in blocks of at
// most 64 KiB. tick(bytes) is told every block's output bytes; it returns
// false to cancel.
Outcome write_wav_chapter(FILE *in, const WavLayout &w, int64_t start, int64_t end,
                          ChapterFormat format, FILE *out,
                          const std::function<bool(uint64_t)> &tick, std::string *error);

// ---------------------------------------------------------------------------
// A whole split
// ---------------------------------------------------------------------------

struct SplitPlan {
    std::string input; // the WAV file that was analysed
    std::string out_dir;
    std::string report; // the library's report of it, written as chapters.json
    bool overwrite = false;
    ChapterFormat format = ChapterFormat::source;
};

// Prepares the folder and writes ch_001.wav, ... and then chapters.json, each
// under a temporary name first. progress(done, total) hears the bytes written
// so far; it returns false to cancel, which removes the file being written
// (complete ones stay; chapters.json, written last, is then missing).
// *chapters is the number of chapter files; *error is "PATH: reason".
Outcome write_split(const SplitPlan &plan, const std::function<bool(uint64_t, uint64_t)> &progress,
                    int *chapters, std::string *error);

} // namespace silsplit_cli

#endif
