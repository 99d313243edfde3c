#include "split_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace silsplit_cli {

namespace fs = std::filesystem;

namespace {

std::string join(const std::string &dir, const std::string &name) {
    return (fs::path(dir) / name).string();
}

std::string reason(int err) { return strerror(err ? err : EIO); }

} // namespace

// ---------------------------------------------------------------------------
// The output folder
// ---------------------------------------------------------------------------

namespace {

// The extensions of the chapter files a split writes: WAV, and the audio
// containers FFmpeg's cutter picks (the input's own, or its family's).
bool is_chapter_extension(const std::string &ext) {
    static const char *const known[] = {
        "aac", "ac3", "aif", "aifc", "aiff", "amr", "ape", "au",  "caf", "dts",  "eac3",
        "flac", "m4a", "m4b", "mka", "mkv",  "mov", "mp2", "mp3", "mp4", "mpc",  "oga",
        "ogg", "opus", "ra",  "spx", "tta",  "w64", "wav", "webm", "wma", "wv",
    };
    for (const char *k : known)
        if (ext == k)
            return true;
    return false;
}

// ch_NNN.EXT as the split numbers its chapters: three digits, or more
// without a leading zero ("ch_%03d").
bool is_chapter_name(const std::string &name) {
    if (name.rfind("ch_", 0) != 0)
        return false;
    size_t k = 3;
    while (k < name.size() && name[k] >= '0' && name[k] <= '9')
        ++k;
    const size_t digits = k - 3;
    if (digits < 3 || (digits > 3 && name[3] == '0'))
        return false;
    return k < name.size() && name[k] == '.' && is_chapter_extension(name.substr(k + 1));
}

bool all_digits(const std::string &s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool is_temp_name(const std::string &name, std::string *base, long *pid) {
    const size_t at = name.rfind(".part-");
    if (at == std::string::npos || at == 0)
        return false;
    const std::string tail = name.substr(at + 6);
    const size_t dash = tail.find('-');
    if (dash == std::string::npos || dash > 9 || !all_digits(tail.substr(0, dash)) ||
        !all_digits(tail.substr(dash + 1)))
        return false;
    *base = name.substr(0, at);
    if (pid)
        *pid = std::stol(tail.substr(0, dash));
    return true;
}

bool temp_owner_gone(long pid) {
    return pid != (long)getpid() && (pid <= 0 || pid > INT_MAX || (kill((pid_t)pid, 0) != 0 && errno == ESRCH));
}

bool is_split_output_name(const std::string &name) {
    std::string base;
    long pid = 0;
    // A temporary file a killed split left (FINAL.part-PID-N, or the copy
    // of standard input it analysed); one of a running process is not ours.
    if (is_temp_name(name, &base, &pid))
        return (base == "stdin" || base == "review.html" || is_split_output_name(base)) &&
               temp_owner_gone(pid);
    return name == "chapters.json" || is_chapter_name(name);
}

void remove_leftovers(const std::string &final_path) {
    const fs::path path(final_path);
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const std::string own = path.filename().string();
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string base;
        long pid = 0;
        const std::string name = it->path().filename().string();
        std::error_code type_ec;
        if (is_temp_name(name, &base, &pid) && (base == own || base == "stdin") &&
            temp_owner_gone(pid) && it->is_regular_file(type_ec) && !it->is_symlink(type_ec))
            unlink(it->path().c_str());
    }
}

namespace {

// The split output in dir, in name order.
bool list_split_output(const std::string &dir, std::vector<std::string> *names,
                       std::string *error) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code type_ec;
        if (is_split_output_name(name) && !it->is_directory(type_ec))
            names->push_back(name);
    }
    if (ec) {
        *error = dir + ": " + ec.message();
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

} // namespace

std::string check_out_dir(const std::string &dir, bool overwrite) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return errno == ENOENT ? "" : dir + ": " + reason(errno);
    if (!S_ISDIR(st.st_mode))
        return dir + ": exists and is not a folder";
    if (overwrite)
        return "";
    std::vector<std::string> names;
    std::string error;
    if (!list_split_output(dir, &names, &error))
        return error;
    if (names.empty())
        return "";
    std::string shown = names[0];
    if (names.size() > 1)
        shown += names.size() > 2 ? ", ..., " + names.back() : ", " + names.back();
    return dir + ": holds the files of an earlier split (" + shown +
           "); add --overwrite to replace them, or choose another folder";
}

std::string check_input_kept(const std::string &input, const std::string &dir) {
    if (input == "-")
        return "";
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!is_split_output_name(name) && name != "review.html")
            continue;
        // By device and inode: a link or another name of the recording
        // counts as the recording.
        std::error_code same_ec;
        if (fs::equivalent(input, it->path(), same_ec) && !same_ec)
            return input + ": is the same file as " + it->path().string() +
                   ", which a split into " + dir + " replaces; choose another folder";
    }
    return "";
}

std::string prepare_out_dir(const std::string &dir, bool overwrite, const std::string &input) {
    std::string why = check_out_dir(dir, overwrite);
    if (why.empty())
        why = check_input_kept(input, dir);
    if (!why.empty())
        return why;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        return dir + ": " + ec.message();
    if (!overwrite)
        return "";
    std::vector<std::string> names;
    if (!list_split_output(dir, &names, &why))
        return why;
    for (const std::string &name : names) {
        const std::string path = join(dir, name);
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return path + ": " + reason(errno);
    }
    return "";
}

FolderLock::~FolderLock() {
    if (fd < 0)
        return;
    unlink(path.c_str());
    close(fd);
    if (created) // a split that wrote nothing leaves no folder behind
        rmdir(dir.c_str());
}

std::string lock_out_dir(const std::string &dir, FolderLock *lock) {
    std::error_code ec;
    lock->dir = dir;
    lock->created = fs::create_directories(dir, ec);
    if (ec)
        return dir + ": " + ec.message();
    lock->path = join(dir, ".silsplit.lock");
    // The lock file is removed by the split that holds it: a lock taken on a
    // file that was removed meanwhile is taken again on the new one.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(lock->path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            return lock->path + ": " + reason(errno);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            close(fd);
            if (err == EWOULDBLOCK)
                return dir + ": another split is writing into this folder; wait for it to end, "
                             "or choose another folder";
            return lock->path + ": " + reason(err);
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(lock->path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            lock->fd = fd;
            return "";
        }
        close(fd);
    }
    return lock->path + ": cannot be locked";
}

// ---------------------------------------------------------------------------
// Whole files
// ---------------------------------------------------------------------------

TempFile::~TempFile() {
    if (fd >= 0)
        close(fd);
    if (!committed && !temp.empty())
        remove(temp.c_str());
}

int create_temp_file(const std::string &final_path, TempFile *t) {
    t->final_path = final_path;
    std::vector<char> name(final_path.size() + 64);
    const int fd = sil_temp_create(final_path.c_str(), name.data(), name.size());
    if (fd >= 0)
        t->temp = name.data();
    return fd;
}

int commit_temp_file(TempFile *t) {
    if (rename(t->temp.c_str(), t->final_path.c_str()) != 0)
        return -1;
    t->committed = true;
    return 0;
}

Outcome write_whole_file(const std::string &dir, const std::string &name,
                         const std::function<Outcome(FILE *, std::string *)> &body,
                         std::string *error) {
    const std::string final_path = join(dir, name);
    TempFile t;
    const int fd = create_temp_file(final_path, &t);
    if (fd < 0) {
        *error = final_path + ": " + reason(errno);
        return Outcome::failed;
    }
    FILE *f = fdopen(fd, "wb");
    if (!f) {
        *error = final_path + ": " + reason(errno);
        close(fd);
        return Outcome::failed;
    }
    Outcome out = body(f, error);
    if (out == Outcome::done && (fflush(f) != 0 || ferror(f))) {
        *error = final_path + ": " + reason(errno);
        out = Outcome::failed;
    }
    errno = 0;
    if (fclose(f) != 0 && out == Outcome::done) {
        *error = final_path + ": " + reason(errno);
        out = Outcome::failed;
    }
    if (out == Outcome::done && commit_temp_file(&t) != 0) {
        *error = final_path + ": " + reason(errno);
        out = Outcome::failed;
    }
    return out;
}

// ---------------------------------------------------------------------------
// A whole split
// ---------------------------------------------------------------------------

namespace {

// The bytes written so far, told to the split's progress.
struct WriteProgress {
    const std::function<bool(uint64_t, uint64_t)> *progress;
    uint64_t done = 0, total = 0;
};

bool advance(WriteProgress *p, uint64_t bytes) {
    p->done += bytes;
    return (*p->progress)(p->done, p->total);
}

int tick(uint64_t bytes, void *user) {
    return advance(static_cast<WriteProgress *>(user), bytes) ? 0 : 1;
}

} // namespace

Outcome write_split(const SplitPlan &plan, const std::function<bool(uint64_t, uint64_t)> &progress,
                    int *chapters, std::string *error) {
    *chapters = 0;
    const sil_analysis &a = *plan.analysis;
    sil_wav_source *raw = nullptr;
    if (sil_wav_source_open(plan.input.c_str(), &raw) != 0) {
        *error = plan.input + ": " + sil_get_error();
        return Outcome::failed;
    }
    sil_wav_source_ptr src(raw);

    struct Range {
        int64_t start, end;
    };
    std::vector<Range> ranges;
    const size_t report_bytes = strlen(a.report);
    WriteProgress written{&progress, 0, report_bytes};
    for (int32_t k = 0; k < a.count; ++k) {
        Range r{};
        sil_chapter_frames(a.chapters[k].t0, a.chapters[k].t1, src->sample_rate, src->frames,
                           &r.start, &r.end);
        ranges.push_back(r);
        // Progress counts the sample bytes and the report.
        written.total += (uint64_t)(r.end - r.start) *
                         (plan.format == SIL_CHAPTER_MONO16 ? 2u : src->frame_bytes);
    }

    std::string why = prepare_out_dir(plan.out_dir, plan.overwrite, plan.input);
    if (!why.empty()) {
        *error = why;
        return Outcome::failed;
    }

    if (!progress(0, written.total))
        return Outcome::cancelled;
    for (size_t k = 0; k < ranges.size(); ++k) {
        char name[32];
        snprintf(name, sizeof name, "ch_%03zu.wav", k + 1);
        const Outcome out = write_whole_file(
            plan.out_dir, name,
            [&](FILE *f, std::string *err) {
                if (sil_write_wav_chapter(src.get(), ranges[k].start, ranges[k].end, plan.format, f,
                                          tick, &written) == 0)
                    return Outcome::done;
                if (sil_error_code() == SIL_ERR_CANCELLED)
                    return Outcome::cancelled;
                // A read error is the input's; anything else, the chapter file's.
                *err = (sil_error_code() == SIL_ERR_READ ? plan.input : join(plan.out_dir, name)) +
                       ": " + sil_get_error();
                return Outcome::failed;
            },
            error);
        if (out != Outcome::done)
            return out;
        *chapters = (int)k + 1;
    }
    return write_whole_file(
        plan.out_dir, "chapters.json",
        [&](FILE *f, std::string *err) {
            if (fwrite(a.report, 1, report_bytes, f) != report_bytes) {
                *err = join(plan.out_dir, "chapters.json") + ": " + reason(errno);
                return Outcome::failed;
            }
            return advance(&written, report_bytes) ? Outcome::done : Outcome::cancelled;
        },
        error);
}

} // namespace silsplit_cli
