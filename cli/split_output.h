// Writing a split: the output folder (refused when it holds an earlier
// split's files, unless they are to be replaced), files written under a
// temporary name and renamed once complete, and the WAV chapter files the
// engine cuts from the input.
#ifndef SILSPLIT_CLI_SPLIT_OUTPUT_H
#define SILSPLIT_CLI_SPLIT_OUTPUT_H

#include "engine.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace silsplit_cli {

// ---------------------------------------------------------------------------
// Chapter file names
// ---------------------------------------------------------------------------

// What an analysis that found no chapter says, and what to try (a quiet
// speaker is found by --auto). analyze warns with it; split and chapters
// fail with it and write nothing.
extern const char kNoChapters[];

// The names a split gives its chapter files when no template is given.
extern const char kDefaultNameTemplate[]; // "ch_{n:03}"

// "" when tmpl is a usable --name-template: text with the fields {n} (the
// chapter's number), {n:0W} (its number with W digits or more), {title}
// and the escapes {{ and }}, and no '/'. Otherwise the reason.
std::string check_name_template(const std::string &tmpl);

// The file names of count chapters: tmpl ("" for the default) filled in for
// each (the title is titles[k], or "Chapter N" when it has none) and made
// safe for any file system (see safe_file_stem in formats/file_names.h; at
// most 200 bytes before ".ext"), then made unique (" (2)", ...; names
// compared as case-insensitive or normalising volumes compare them, by
// file_name_key) and given ".ext".
std::vector<std::string> chapter_file_names(const std::string &tmpl,
                                            const std::vector<std::string> &titles, size_t count,
                                            const std::string &ext);

// The titles an analysis carries: count entries, "" for a chapter without
// one; empty when the options gave none.
std::vector<std::string> analysis_titles(const sil_analysis &a);

// The report with each chapter's file name in "file" (numbers keep their
// digits), so that --overwrite knows the names a templated split wrote;
// "" when the report is not JSON.
std::string with_file_names(const std::string &report, const std::vector<std::string> &names);

// "" unless a file among names (planned chapter files in dir) may not be
// written: the input itself, or, without overwrite, any file that is there
// already. Then "PATH: reason".
std::string check_chapter_names(const std::string &dir, const std::vector<std::string> &names,
                                bool overwrite, const std::string &input);

// Appends a LIST/INFO chunk naming the recording (INAM) to the complete WAV
// file f (open for writing, at its end) and corrects the RIFF size. false
// on a write error, or when the file would pass the RIFF size limit.
bool append_wav_title(FILE *f, const std::string &title);

// ---------------------------------------------------------------------------
// The output folder
// ---------------------------------------------------------------------------

// True for the names a split writes: chapters.json, SHA256SUMS (its
// manifest under the default name) and ch_NNN.EXT (three
// digits or more, an audio extension the split writes), and the temporary
// names NAME.part-PID-N of these, of review.html and of "stdin" whose
// process PID is no longer running (what a killed split leaves behind).
bool is_split_output_name(const std::string &name);

// The chapter files an earlier split named by a template lists in
// dir/chapters.json (each chapter's "file"): plain names with an audio
// extension the split writes. Empty when there is none.
std::set<std::string> listed_split_files(const std::string &dir);


// True when name is BASE.part-PID-N, a temporary name; *base is then BASE
// and *pid (when not NULL) PID.
bool is_temp_name(const std::string &name, std::string *base, long *pid = nullptr);

// True when no process PID runs (nor is it this one): a temporary file of
// that PID is a leftover.
bool temp_owner_gone(long pid);

// Removes what a killed run writing final_path left beside it: the
// temporary files FINAL.part-PID-N and stdin.part-PID-N of processes no
// longer running (regular files only).
void remove_leftovers(const std::string &final_path);

// "" when dir may take a split: it is missing, or a folder that holds no
// split output (or overwrite is set). Otherwise "DIR: reason".
std::string check_out_dir(const std::string &dir, bool overwrite);

// "" unless input is the same file (device and inode, through links) as a
// file of dir that a split there would remove or replace (say ch_001.wav
// split into its own folder); then "FILE: reason".
std::string check_input_kept(const std::string &input, const std::string &dir);

// Makes dir with its parents after checking again that it may take the
// split (check_out_dir) and that none of the files a split replaces is the
// input. Nothing is removed here: an earlier split is replaced by
// publish_split once the new one is complete. "" or "PATH: reason".
std::string prepare_out_dir(const std::string &dir, bool overwrite, const std::string &input);

// An advisory lock (flock) on DIR/.silsplit.lock, held by one split into
// DIR from its folder check to its last rename. Going out of scope removes
// the lock file, and DIR too when lock_out_dir made it (created) and it is
// empty: a split that failed or was interrupted, which leaves no file.
struct FolderLock {
    int fd = -1;
    bool created = false;
    std::string dir, path;
    FolderLock() = default;
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    ~FolderLock();
};

// Makes dir with its parents and locks it for this split. "" or, at once
// when another split holds it, "DIR: reason".
std::string lock_out_dir(const std::string &dir, FolderLock *lock);

// ---------------------------------------------------------------------------
// Whole files
// ---------------------------------------------------------------------------

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A file written under a temporary name beside its final path
// (FINAL.part-PID-N, a name --overwrite recognises): made by
// create_temp_file, renamed into place by commit_temp_file, and removed when
// it goes out of scope uncommitted.
struct TempFile {
    std::string temp;
    std::string final_path;
    int fd = -1; // the descriptor it was created with, while the TempFile keeps it
    bool committed = false;
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile();
};

// Creates t->temp for final_path: a new empty file, never an existing file or
// a planted link. The open descriptor (reading and writing), or -1 with errno set.
int create_temp_file(const std::string &final_path, TempFile *t);

// Renames t->temp to t->final_path. 0, or -1 with errno set.
int commit_temp_file(TempFile *t);

// The files of a new split, each complete under its temporary name: they
// replace the earlier split together (publish_split) once all of them are
// written. Going out of scope unpublished (a failure, Ctrl-C) removes them,
// and the folder holds what it held before the split began.
struct SplitStage {
    struct File {
        std::string temp, final_path;
    };
    std::string dir;
    std::vector<File> files; // in the order they were written; chapters.json last
    bool published = false;
    SplitStage() = default;
    SplitStage(const SplitStage &) = delete;
    SplitStage &operator=(const SplitStage &) = delete;
    ~SplitStage();
};

// Hands the complete temporary file t to stage in place of commit_temp_file:
// its descriptor is closed (a late write error is caught here) and the stage
// removes or publishes it. 0, or -1 with errno set (t still removes it).
int stage_temp_file(TempFile *t, SplitStage *stage);

// Puts the staged files in place: each renamed to its name, chapters.json
// last, and with overwrite the earlier split's other files (the names
// check_out_dir recognises) removed before chapters.json arrives, so that a
// folder with a chapters.json holds one split. The input is checked again
// not to be among the files replaced. "" or "PATH: reason".
std::string publish_split(SplitStage *stage, bool overwrite, const std::string &input);

enum class Outcome { done, failed, cancelled };

// Writes dir/name through body, which writes into a new temporary file in dir
// (a TempFile). Once body returns done and the file is closed without error
// it is renamed to name, or handed to stage when one is given; otherwise it
// is removed. On failure, *error is "PATH: reason" (body sets its own).
Outcome write_whole_file(const std::string &dir, const std::string &name,
                         const std::function<Outcome(FILE *, std::string *)> &body,
                         std::string *error, SplitStage *stage = nullptr);

// ---------------------------------------------------------------------------
// A whole split
// ---------------------------------------------------------------------------

struct SplitPlan {
    std::string input; // the WAV file that was analysed
    std::string out_dir;
    const sil_analysis *analysis = nullptr; // its chapters, and the report for chapters.json
    bool overwrite = false;
    std::string name_template; // "" for ch_001, ch_002, ...
    int format = SIL_CHAPTER_SOURCE; // or SIL_CHAPTER_MONO16
    // Chapter files of another format (split --to flac): their extension and
    // their writer, which writes frames [start, end) of the source with the
    // title (may be "") and returns 0, 1 when tick cancelled, or -1 with
    // *error set. NULL: WAV files as format says.
    std::string ext = "wav";
    std::function<int(sil_wav_source *, int64_t start, int64_t end, const std::string &title,
                      FILE *, sil_write_tick tick, void *user, std::string *error)>
        write_chapter;
};

// Prepares the folder and writes ch_001.wav, ... (or the template's names;
// each chapter cut from the input at the library's frame ranges, in the
// input's own format or as the library's export writes it, with its title
// in an INFO chunk when it has one) and then chapters.json, each under a
// temporary name, then puts them in place of the earlier split at once
// (publish_split). progress(done, total) hears the bytes written so far; it
// returns false to cancel, which removes every file written (the folder
// keeps what it held before).
// *chapters is the number of chapter files; *error is "PATH: reason".
Outcome write_split(const SplitPlan &plan, const std::function<bool(uint64_t, uint64_t)> &progress,
                    int *chapters, std::string *error);

} // namespace silsplit_cli

#endif
