// Test helpers: an in-memory RIFF/WAVE builder that can produce well-formed
// and broken files alike (any chunk order, odd sizes, wrong RIFF sizes,
// truncated bodies, huge declared sizes), temporary directories, and small
// file-system helpers.
#ifndef SILSPLIT_TESTS_WAV_BUILDER_H
#define SILSPLIT_TESTS_WAV_BUILDER_H

#include "silsplit.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <ftw.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wavtest {

// A report returned by the library as a string ("<null>" for a failure),
// freed as a host must free it.
inline std::string take(char *report) {
    std::string s = report ? report : "<null>";
    silsplit_free_string(report);
    return s;
}

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put24(Bytes &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v >> 16));
}
inline void put32(Bytes &b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}
inline void put_id(Bytes &b, const char *id) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(id[i]));
}
inline uint16_t get16(const Bytes &b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
inline uint32_t get32(const Bytes &b, size_t at) {
    return static_cast<uint32_t>(get16(b, at)) | (static_cast<uint32_t>(get16(b, at + 2)) << 16);
}

// Body of an fmt chunk: the 16 standard bytes, then `extra` further bytes
// (zeros unless given).
inline Bytes fmt_body(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                      const Bytes &extra = {}) {
    Bytes b;
    put16(b, tag);
    put16(b, channels);
    put32(b, rate);
    put32(b, rate * channels * (bits / 8u)); // byte rate: never read
    put16(b, static_cast<uint16_t>(channels * (bits / 8u)));
    put16(b, bits);
    b.insert(b.end(), extra.begin(), extra.end());
    return b;
}

// Sample bodies, little-endian, interleaved as given.
inline Bytes pcm8(const std::vector<uint8_t> &v) { return Bytes(v.begin(), v.end()); }
inline Bytes pcm16(const std::vector<int16_t> &v) {
    Bytes b;
    for (int16_t s : v)
        put16(b, static_cast<uint16_t>(s));
    return b;
}
inline Bytes pcm24(const std::vector<int32_t> &v) {
    Bytes b;
    for (int32_t s : v)
        put24(b, static_cast<uint32_t>(s) & 0xFFFFFFu);
    return b;
}
inline Bytes pcm32(const std::vector<int32_t> &v) {
    Bytes b;
    for (int32_t s : v)
        put32(b, static_cast<uint32_t>(s));
    return b;
}
inline Bytes f32(const std::vector<float> &v) {
    Bytes b;
    for (float s : v) {
        uint32_t u;
        std::memcpy(&u, &s, 4);
        put32(b, u);
    }
    return b;
}

// Builds a RIFF/WAVE file chunk by chunk. The RIFF size is computed unless
// set; nothing is checked, so any malformed layout can be produced.
class WavBuilder {
  public:
    // Form "RIFF"/"WAVE" by default; other ids give broken headers.
    WavBuilder &form(const char *riff_id, const char *wave_id) {
        riff_id_ = riff_id;
        wave_id_ = wave_id;
        return *this;
    }
    WavBuilder &riff_size(uint32_t s) {
        riff_size_ = s;
        riff_size_set_ = true;
        return *this;
    }
    // A chunk whose declared size is the body's size; a zero pad byte follows
    // an odd body when `pad` is set.
    WavBuilder &chunk(const char *id, const Bytes &body, bool pad = false) {
        chunk_declared(id, static_cast<uint32_t>(body.size()), body);
        if (pad && (body.size() & 1))
            body_.push_back(0);
        return *this;
    }
    // A chunk that declares `size` but carries exactly `body` (shorter for a
    // truncated body, empty for a bare header).
    WavBuilder &chunk_declared(const char *id, uint32_t size, const Bytes &body) {
        put_id(body_, id);
        put32(body_, size);
        body_.insert(body_.end(), body.begin(), body.end());
        return *this;
    }
    WavBuilder &fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
        return chunk("fmt ", fmt_body(tag, channels, rate, bits));
    }
    WavBuilder &data(const Bytes &body) { return chunk("data", body); }
    // Raw bytes appended as they are (trailing junk, partial headers).
    WavBuilder &raw(const Bytes &b) {
        body_.insert(body_.end(), b.begin(), b.end());
        return *this;
    }
    Bytes build() const {
        Bytes out;
        put_id(out, riff_id_);
        put32(out, riff_size_set_ ? riff_size_ : static_cast<uint32_t>(4 + body_.size()));
        put_id(out, wave_id_);
        out.insert(out.end(), body_.begin(), body_.end());
        return out;
    }

  private:
    const char *riff_id_ = "RIFF";
    const char *wave_id_ = "WAVE";
    uint32_t riff_size_ = 0;
    bool riff_size_set_ = false;
    Bytes body_;
};

// A canonical 16-bit PCM file: fmt then data.
inline Bytes wav16(uint32_t rate, uint16_t channels, const std::vector<int16_t> &interleaved) {
    return WavBuilder().fmt(1, channels, rate, 16).data(pcm16(interleaved)).build();
}
// A canonical 32-bit float file (format tag 3): fmt then data.
inline Bytes wavf32(uint32_t rate, uint16_t channels, const std::vector<float> &interleaved) {
    return WavBuilder().fmt(3, channels, rate, 32).data(f32(interleaved)).build();
}

// Mono 16-bit samples made of runs of a constant value: {frames, value}, ...
inline std::vector<int16_t> runs16(const std::vector<std::pair<int, int16_t>> &runs) {
    std::vector<int16_t> v;
    for (const auto &r : runs)
        v.insert(v.end(), static_cast<size_t>(r.first), r.second);
    return v;
}
// Interleaves two channels of equal length.
inline std::vector<int16_t> stereo(const std::vector<int16_t> &l, const std::vector<int16_t> &r) {
    std::vector<int16_t> v;
    for (size_t i = 0; i < l.size() && i < r.size(); ++i) {
        v.push_back(l[i]);
        v.push_back(r[i]);
    }
    return v;
}
// `count` bursts at 16000 Hz, each 0.1 s at 0.5 followed by 0.1 s of
// silence; with kBurstOpts every burst becomes one chapter.
inline std::vector<int16_t> bursts16k(int count) {
    std::vector<int16_t> v;
    for (int i = 0; i < count; ++i) {
        v.insert(v.end(), 1600, 16384);
        v.insert(v.end(), 1600, 0);
    }
    return v;
}
constexpr const char *kBurstOpts =
    "{\"min_silence_s\":0.05,\"min_chapter_s\":0.05,\"padding_s\":0}";

// ---------------------------------------------------------------------------
// Files and directories
// ---------------------------------------------------------------------------

// Runs fn in a forked child whose files may not grow beyond limit bytes, so
// that the write crossing the limit fails (EFBIG, not SIGXFSZ), and returns
// the text fn returned there ("child failed" when it could not run).
inline std::string in_child_with_file_size_limit(rlim_t limit,
                                                 const std::function<std::string()> &fn) {
    int fds[2];
    if (pipe(fds) != 0)
        return "child failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        const std::string out = fn();
        const ssize_t n = write(fds[1], out.data(), out.size());
        _exit(n == (ssize_t)out.size() ? 0 : 1);
    }
    close(fds[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        got.append(buf, (size_t)n);
    close(fds[0]);
    int status = 1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? got : "child failed";
}

inline void write_file(const std::string &path, const Bytes &b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot create " + path);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}
inline void write_file(const std::string &path, const std::string &text) {
    write_file(path, Bytes(text.begin(), text.end()));
}
inline Bytes read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
inline std::string read_text(const std::string &path) {
    Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}
// Does anything (a symlink included) exist at path?
inline bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
inline bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
inline long long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A fresh directory from mkdtemp, removed with all its content on destruction.
class TempDir {
  public:
    TempDir() {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/silsplit-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Writes bytes into a file of this directory and returns its path.
    std::string file(const std::string &name, const Bytes &b) const {
        std::string p = *this / name;
        write_file(p, b);
        return p;
    }

    // Removes everything inside p, keeping p itself.
    static void remove_tree_content(const std::string &p) {
        nftw(
            p.c_str(),
            [](const char *fpath, const struct stat *, int, struct FTW *ftw) {
                return ftw->level == 0 ? 0 : ::remove(fpath);
            },
            16, FTW_DEPTH | FTW_PHYS);
    }
    static void remove_tree(const std::string &p) {
        nftw(
            p.c_str(),
            [](const char *fpath, const struct stat *, int, struct FTW *) {
                return ::remove(fpath);
            },
            16, FTW_DEPTH | FTW_PHYS);
    }

  private:
    std::string path_;
};

// A small tmpfs mounted on a fresh directory, for real "disk full" failures.
// Needs the right to mount (as a rule root); ok() is false otherwise.
class ScopedTmpfs {
  public:
    explicit ScopedTmpfs(const std::string &dir, const char *size = "16k") : dir_(dir) {
        if (::mkdir(dir.c_str(), 0700) != 0)
            return;
        const std::string opts = std::string("size=") + size + ",mode=0700";
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) == 0;
    }
    ~ScopedTmpfs() {
        if (mounted_) {
            TempDir::remove_tree_content(dir_);
            ::umount2(dir_.c_str(), MNT_DETACH);
        }
        ::rmdir(dir_.c_str());
    }
    ScopedTmpfs(const ScopedTmpfs &) = delete;
    ScopedTmpfs &operator=(const ScopedTmpfs &) = delete;
    bool ok() const { return mounted_; }
    const std::string &path() const { return dir_; }

  private:
    std::string dir_;
    bool mounted_ = false;
};

} // namespace wavtest

#endif // SILSPLIT_TESTS_WAV_BUILDER_H
