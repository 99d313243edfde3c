#include "split_output.h"

#include "formats/file_names.h"
#include "formats/json_doc.h"

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
#include <fstream>
#include <iterator>
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
    return name == "chapters.json" || name == "SHA256SUMS" || is_chapter_name(name);
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

std::set<std::string> listed_split_files(const std::string &dir) {
    std::set<std::string> names;
    std::ifstream in(join(dir, "chapters.json"), std::ios::binary);
    if (!in)
        return names;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    JsonDoc doc = read_json(text);
    yyjson_val *chapters = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "chapters") : nullptr;
    size_t idx, max;
    yyjson_val *ch;
    yyjson_arr_foreach(chapters, idx, max, ch) {
        yyjson_val *file = yyjson_obj_get(ch, "file");
        if (!yyjson_is_str(file))
            continue;
        // Only what a split could have written: a plain name in dir with
        // an audio extension, never a path or a hidden file.
        const std::string name(yyjson_get_str(file), yyjson_get_len(file));
        const size_t dot = name.rfind('.');
        if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos ||
            name.find('\0') != std::string::npos || dot == std::string::npos ||
            !is_chapter_extension(name.substr(dot + 1)))
            continue;
        names.insert(name);
    }
    return names;
}

namespace {

// A name of the split output in a folder whose chapters.json lists the
// chapter files of a templated split (listed).
bool is_output_in(const std::string &name, const std::set<std::string> &listed) {
    std::string base;
    if (is_split_output_name(name) || listed.count(name))
        return true;
    return is_temp_name(name, &base) && listed.count(base);
}

// The split output in dir, in name order.
bool list_split_output(const std::string &dir, std::vector<std::string> *names,
                       std::string *error) {
    const std::set<std::string> listed = listed_split_files(dir);
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code type_ec;
        if (is_output_in(name, listed) && !it->is_directory(type_ec))
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
    const std::set<std::string> listed = listed_split_files(dir);
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!is_output_in(name, listed) && name != "review.html")
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
    return "";
}

SplitStage::~SplitStage() {
    if (published)
        return;
    for (const File &f : files)
        if (!f.temp.empty())
            unlink(f.temp.c_str());
}

int stage_temp_file(TempFile *t, SplitStage *stage) {
    if (t->fd >= 0) {
        const int fd = t->fd;
        t->fd = -1;
        if (close(fd) != 0)
            return -1;
    }
    stage->files.push_back({t->temp, t->final_path});
    t->committed = true; // the stage removes it now
    return 0;
}

std::string publish_split(SplitStage *stage, bool overwrite, const std::string &input) {
    std::string why = check_input_kept(input, stage->dir);
    if (!why.empty())
        return why;
    // The earlier split, as its own chapters.json names it, read before
    // anything is replaced; this run's temporary files are not among it.
    std::vector<std::string> old;
    if (overwrite && !list_split_output(stage->dir, &old, &why))
        return why;
    std::set<std::string> fresh;
    for (const SplitStage::File &f : stage->files) {
        fresh.insert(fs::path(f.final_path).filename().string());
        fresh.insert(fs::path(f.temp).filename().string());
    }
    const auto put = [&](SplitStage::File &f) -> std::string {
        if (rename(f.temp.c_str(), f.final_path.c_str()) != 0)
            return f.final_path + ": " + reason(errno);
        f.temp.clear();
        return "";
    };
    const auto is_report = [](const SplitStage::File &f) {
        return fs::path(f.final_path).filename() == "chapters.json";
    };
    for (SplitStage::File &f : stage->files)
        if (!is_report(f) && !(why = put(f)).empty())
            return why;
    for (const std::string &name : old) {
        if (fresh.count(name))
            continue; // replaced by a rename
        const std::string path = join(stage->dir, name);
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return path + ": " + reason(errno);
    }
    for (SplitStage::File &f : stage->files)
        if (is_report(f) && !(why = put(f)).empty())
            return why;
    stage->published = true;
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
// Chapter file names
// ---------------------------------------------------------------------------

const char kDefaultNameTemplate[] = "ch_{n:03}";

const char kNoChapters[] =
    "no chapters found: no sound above the threshold lasts long enough for one; --auto sets the "
    "threshold from the recording (a quiet speaker), --threshold-db sets a lower one, --keep-all "
    "keeps the whole recording";

namespace {

// Longest name before ".ext": room is left for the extension and for the
// temporary name's ".part-PID-N" within the usual 255 bytes.
constexpr size_t kMaxStemBytes = 200;

// The template's fields: text and {n}, {n:0W}, {title}. Fills *out for the
// chapter numbered n, or returns the reason the template is unusable.
std::string fill_template(const std::string &tmpl, size_t n, const std::string &title,
                          std::string *out) {
    out->clear();
    for (size_t i = 0; i < tmpl.size(); ++i) {
        const char c = tmpl[i];
        if ((c == '{' || c == '}') && i + 1 < tmpl.size() && tmpl[i + 1] == c) {
            *out += c;
            ++i;
            continue;
        }
        if (c == '}')
            return "a '}' without its '{' (write }} for the character)";
        if (c != '{') {
            *out += c;
            continue;
        }
        const size_t close = tmpl.find('}', i);
        if (close == std::string::npos)
            return "a '{' without its '}' (write {{ for the character)";
        const std::string field = tmpl.substr(i + 1, close - i - 1);
        if (field == "title") {
            *out += title;
        } else if (field == "n") {
            *out += std::to_string(n);
        } else if (field.size() >= 4 && field.size() <= 5 && field.compare(0, 3, "n:0") == 0 &&
                   all_digits(field.substr(3)) && field.substr(3) != "0") {
            const std::string digits = std::to_string(n);
            const size_t width = (size_t)std::stoi(field.substr(3));
            *out += std::string(digits.size() < width ? width - digits.size() : 0, '0') + digits;
        } else {
            return "unknown field {" + field + "} (the fields are {n}, {n:03} and {title})";
        }
        i = close;
    }
    return "";
}

// The name made safe for any file system (see safe_file_stem).
std::string safe_stem(const std::string &name) { return safe_file_stem(name, kMaxStemBytes); }

// Names that one volume or another takes for the same file share this key.
std::string folded(const std::string &s) { return file_name_key(s); }

} // namespace

std::string check_name_template(const std::string &tmpl) {
    if (tmpl.empty())
        return "is empty";
    if (tmpl.find('/') != std::string::npos)
        return "names a file in the output folder and must not hold '/'";
    std::string out;
    return fill_template(tmpl, 1, "Chapter 1", &out);
}

std::vector<std::string> chapter_file_names(const std::string &tmpl,
                                            const std::vector<std::string> &titles, size_t count,
                                            const std::string &ext) {
    const std::string &pattern = tmpl.empty() ? std::string(kDefaultNameTemplate) : tmpl;
    std::vector<std::string> names;
    std::set<std::string> taken; // folded, so that names differ on any file system
    for (size_t k = 0; k < count; ++k) {
        const std::string number = std::to_string(k + 1);
        const std::string title =
            k < titles.size() && !titles[k].empty() ? titles[k] : "Chapter " + number;
        std::string filled;
        fill_template(pattern, k + 1, title, &filled);
        std::string stem = safe_stem(filled);
        if (stem.empty())
            fill_template(kDefaultNameTemplate, k + 1, title, &stem);
        std::string name = stem + "." + ext;
        for (int copy = 2; taken.count(folded(name)); ++copy)
            name = stem + " (" + std::to_string(copy) + ")." + ext;
        taken.insert(folded(name));
        names.push_back(name);
    }
    return names;
}

std::vector<std::string> analysis_titles(const sil_analysis &a) {
    std::vector<std::string> titles;
    if (!a.titles)
        return titles;
    for (int32_t k = 0; k < a.count; ++k)
        titles.push_back(a.titles[k] ? a.titles[k] : "");
    return titles;
}

std::string with_file_names(const std::string &report, const std::vector<std::string> &names) {
    JsonDoc doc = read_json(report, YYJSON_READ_NUMBER_AS_RAW);
    if (!doc)
        return "";
    JsonMutDoc out(yyjson_doc_mut_copy(doc.get(), nullptr));
    if (!out)
        throw std::bad_alloc();
    yyjson_mut_val *chapters = yyjson_mut_obj_get(yyjson_mut_doc_get_root(out.get()), "chapters");
    size_t idx, max;
    yyjson_mut_val *ch;
    yyjson_mut_arr_foreach(chapters, idx, max, ch) {
        if (idx >= names.size())
            break;
        yyjson_mut_obj_add_strncpy(out.get(), ch, "file", names[idx].data(), names[idx].size());
    }
    return take_json_text(yyjson_mut_write(out.get(), 0, nullptr));
}

std::string check_chapter_names(const std::string &dir, const std::vector<std::string> &names,
                                bool overwrite, const std::string &input) {
    for (const std::string &name : names) {
        const std::string path = join(dir, name);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(path, ec)))
            continue;
        std::error_code same_ec;
        if (input != "-" && fs::equivalent(input, path, same_ec) && !same_ec)
            return input + ": is the same file as " + path + ", which this split replaces; "
                   "choose another folder or another --name-template";
        if (!overwrite)
            return path + ": exists; add --overwrite to replace it, or choose another folder";
    }
    return "";
}

bool append_wav_title(FILE *f, const std::string &title) {
    if (fseek(f, 0, SEEK_END) != 0)
        return false;
    long end = ftell(f);
    if (end < 12)
        return false;
    // A chunk starts at an even offset: the pad byte of an odd data chunk.
    if (end % 2 == 1) {
        if (fputc(0, f) == EOF)
            return false;
        ++end;
    }
    const uint32_t text = (uint32_t)title.size() + 1; // with its NUL
    const uint32_t inam = text + (text & 1);
    const uint32_t list = 4 + 8 + inam;
    if ((uint64_t)end + 8 + list - 8 > 0xFFFFFFFFu)
        return false;
    const auto le32 = [](uint32_t v, unsigned char *p) {
        for (int k = 0; k < 4; ++k)
            p[k] = (unsigned char)(v >> (8 * k));
    };
    std::string chunk = "LIST____INFOINAM____";
    le32(list, reinterpret_cast<unsigned char *>(&chunk[4]));
    le32(text, reinterpret_cast<unsigned char *>(&chunk[16]));
    chunk += title;
    chunk.append(inam - title.size(), '\0');
    unsigned char riff[4];
    le32((uint32_t)((uint64_t)end + chunk.size() - 8), riff);
    return fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && fseek(f, 4, SEEK_SET) == 0 &&
           fwrite(riff, 1, 4, f) == 4 && fseek(f, 0, SEEK_END) == 0;
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
                         std::string *error, SplitStage *stage) {
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
    if (out == Outcome::done && (stage ? stage_temp_file(&t, stage) : commit_temp_file(&t)) != 0) {
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
    std::vector<int64_t> starts((size_t)a.count), ends((size_t)a.count);
    sil_chapter_frame_ranges(a.chapters, a.count, src->sample_rate, src->frames, starts.data(),
                             ends.data());
    for (int32_t k = 0; k < a.count; ++k) {
        const Range r{starts[(size_t)k], ends[(size_t)k]};
        ranges.push_back(r);
        // Progress counts the sample bytes and the report.
        written.total += (uint64_t)(r.end - r.start) *
                         (plan.format == SIL_CHAPTER_MONO16 ? 2u : src->frame_bytes);
    }

    const std::vector<std::string> titles = analysis_titles(a);
    const std::vector<std::string> names =
        chapter_file_names(plan.name_template, titles, ranges.size(), plan.ext);
    // A templated split lists its names in chapters.json for --overwrite.
    const bool list_names = !plan.name_template.empty() && plan.name_template != kDefaultNameTemplate;
    const std::string report = list_names ? with_file_names(a.report, names) : a.report;
    if (report.empty()) {
        *error = plan.input + ": cannot read the library's report";
        return Outcome::failed;
    }
    written.total += report.size() - report_bytes;

    std::string why = prepare_out_dir(plan.out_dir, plan.overwrite, plan.input);
    if (why.empty())
        why = check_chapter_names(plan.out_dir, names, plan.overwrite, plan.input);
    if (!why.empty()) {
        *error = why;
        return Outcome::failed;
    }

    if (!progress(0, written.total))
        return Outcome::cancelled;
    SplitStage stage;
    stage.dir = plan.out_dir;
    for (size_t k = 0; k < ranges.size(); ++k) {
        const std::string &name = names[k];
        const Outcome out = write_whole_file(
            plan.out_dir, name,
            [&](FILE *f, std::string *err) {
                if (plan.write_chapter) {
                    std::string why;
                    const int rc = plan.write_chapter(src.get(), ranges[k].start, ranges[k].end,
                                                      k < titles.size() ? titles[k] : "", f, tick,
                                                      &written, &why);
                    if (rc < 0)
                        *err = join(plan.out_dir, name) + ": " + why;
                    return rc == 0 ? Outcome::done : rc > 0 ? Outcome::cancelled : Outcome::failed;
                }
                if (sil_write_wav_chapter(src.get(), ranges[k].start, ranges[k].end, plan.format, f,
                                          tick, &written) == 0) {
                    if (k < titles.size() && !titles[k].empty() && !append_wav_title(f, titles[k])) {
                        *err = join(plan.out_dir, name) + ": " + reason(errno);
                        return Outcome::failed;
                    }
                    return Outcome::done;
                }
                if (sil_error_code() == SIL_ERR_CANCELLED)
                    return Outcome::cancelled;
                // A read error is the input's; anything else, the chapter file's.
                *err = (sil_error_code() == SIL_ERR_READ ? plan.input : join(plan.out_dir, name)) +
                       ": " + sil_get_error();
                return Outcome::failed;
            },
            error, &stage);
        if (out != Outcome::done)
            return out;
    }
    const Outcome out = write_whole_file(
        plan.out_dir, "chapters.json",
        [&](FILE *f, std::string *err) {
            if (fwrite(report.data(), 1, report.size(), f) != report.size()) {
                *err = join(plan.out_dir, "chapters.json") + ": " + reason(errno);
                return Outcome::failed;
            }
            return advance(&written, report.size()) ? Outcome::done : Outcome::cancelled;
        },
        error, &stage);
    if (out != Outcome::done)
        return out;
    why = publish_split(&stage, plan.overwrite, plan.input);
    if (!why.empty()) {
        *error = why;
        return Outcome::failed;
    }
    *chapters = (int)ranges.size();
    return Outcome::done;
}

} // namespace silsplit_cli
