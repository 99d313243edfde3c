// split --live: the WAV stream's header read as it comes, its frames spooled
// beside the output and pushed into the live analysis, and each final
// chapter written from the spool (in the input's own format, byte for byte,
// or as 16-bit mono) the moment it is final.
#include "live_split.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace silsplit_cli {

namespace {

constexpr size_t kReadBytes = 256 * 1024;
// Spool bytes before the first frame still needed, freed once this many.
constexpr int64_t kSpoolFreeBytes = 64 << 20;

uint16_t le16(const unsigned char *b) { return (uint16_t)(b[0] | b[1] << 8); }
uint32_t le32(const unsigned char *b) {
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}
void put32(unsigned char *b, uint32_t v) {
    for (int k = 0; k < 4; k++)
        b[k] = (unsigned char)(v >> (8 * k));
}

// Reads from a descriptor, asking stop ten times a second while it waits.
// Following a growing file, the end of the file is no end: it waits for
// more, until writer_done says the writer finished or the file has not grown
// for idle_ms (0: never).
struct Input {
    int fd = -1;
    bool owned = false;
    const std::function<bool()> *stop = nullptr;
    bool stopped = false;
    bool follow = false;
    int64_t idle_ms = 0;
    std::function<bool()> writer_done;
    uint64_t pos = 0; // bytes read
    ~Input() {
        if (owned && fd >= 0)
            close(fd);
    }
    // Up to n bytes; 0 at the end (or when stopped), -1 with errno.
    ssize_t some(unsigned char *p, size_t n) {
        int64_t idle = 0;
        for (;;) {
            if ((*stop)()) {
                stopped = true;
                return 0;
            }
            struct pollfd pfd {
                fd, POLLIN, 0
            };
            const int r = poll(&pfd, 1, 100);
            if (r < 0 && errno != EINTR)
                return -1;
            if (r <= 0)
                continue;
            const ssize_t got = read(fd, p, n);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got == 0 && follow) {
                if (writer_done && writer_done())
                    return 0;
                if (idle_ms > 0 && idle >= idle_ms)
                    return 0;
                poll(nullptr, 0, 100);
                idle += 100;
                continue;
            }
            if (got > 0)
                pos += (uint64_t)got;
            return got;
        }
    }
    // Exactly n bytes; false at an end before them.
    bool exact(unsigned char *p, size_t n) {
        while (n > 0) {
            const ssize_t got = some(p, n);
            if (got <= 0)
                return false;
            p += got;
            n -= (size_t)got;
        }
        return true;
    }
};

struct Format {
    std::vector<unsigned char> fmt; // the fmt chunk's body as the input holds it
    int channels = 0, bits = 0;
    int32_t rate = 0;
    bool is_float = false;
    size_t frame_bytes = 0;
    uint64_t data_bytes = 0;    // as the data chunk says; 0 or 0xFFFFFFFF: to the end
    uint64_t data_size_pos = 0; // where the data chunk's size field lies
};

// The chunks up to the data chunk's body. "" or the reason.
std::string read_header(Input *in, Format *f) {
    unsigned char h[12];
    if (!in->exact(h, 12))
        return in->stopped ? "" : "file too small for WAV";
    if (memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0)
        return "not a RIFF/WAVE file (--live reads WAV)";
    for (;;) {
        unsigned char c[8];
        if (!in->exact(c, 8))
            return in->stopped ? "" : "missing fmt or data chunk";
        const uint32_t size = le32(c + 4);
        if (memcmp(c, "data", 4) == 0) {
            if (f->fmt.empty())
                return "missing fmt or data chunk";
            f->data_bytes = size;
            f->data_size_pos = in->pos - 4;
            break;
        }
        const uint64_t body = (uint64_t)size + (size & 1u);
        if (memcmp(c, "fmt ", 4) == 0) {
            if (size < 16 || size > 4096)
                return "bad fmt chunk";
            f->fmt.resize(size);
            if (!in->exact(f->fmt.data(), size) || ((size & 1u) && !in->exact(c, 1)))
                return in->stopped ? "" : "fmt read fail";
            continue;
        }
        unsigned char skip[4096];
        for (uint64_t left = body; left > 0;) {
            const size_t n = left < sizeof skip ? (size_t)left : sizeof skip;
            if (!in->exact(skip, n))
                return in->stopped ? "" : "missing fmt or data chunk";
            left -= n;
        }
    }
    const unsigned char *b = f->fmt.data();
    const uint16_t tag = le16(b);
    f->channels = le16(b + 2);
    f->rate = (int32_t)le32(b + 4);
    f->bits = le16(b + 14);
    if (f->channels == 0 || f->rate <= 0)
        return "invalid channel/sample rate";
    if (tag != 1 && tag != 3 && tag != 0xFFFE)
        return "unsupported WAV format";
    if (f->bits != 8 && f->bits != 16 && f->bits != 24 && f->bits != 32)
        return "unsupported bit depth";
    const bool pcm_sub = f->fmt.size() >= 40 && le16(b + 16) >= 22 && le16(b + 24) == 1;
    f->is_float = f->bits == 32 && (tag == 3 || (tag == 0xFFFE && !pcm_sub));
    f->frame_bytes = (size_t)f->channels * (size_t)(f->bits / 8);
    return "";
}

// The whole chunk sizes of a chapter file of n frames.
uint64_t piece_bytes(const Format &f, int64_t n, bool mono16) {
    if (mono16)
        return 44 + 2 * (uint64_t)n;
    const uint64_t data = (uint64_t)n * f.frame_bytes;
    const uint64_t fmt = f.fmt.size() + (f.fmt.size() & 1u);
    return 12 + 8 + fmt + 8 + data + (data & 1u);
}

bool put(FILE *out, const void *p, size_t n) { return fwrite(p, 1, n, out) == n; }

struct Writer {
    const LiveSplitPlan &plan;
    const Format &f;
    void (*decode)(const unsigned char *, size_t, int, float *);
    int spool = -1;          // the spool's descriptor
    int64_t spool_freed = 0; // frames before this are freed in the spool
    int written = 0;

    // Writes chapter k (0-based) from the spool. "" or "PATH: reason".
    std::string piece(int k, const sil_live_chapter &c) {
        char name[32];
        snprintf(name, sizeof name, "ch_%03d.wav", k + 1);
        const std::string path = (std::filesystem::path(plan.out_dir) / name).string();
        TempFile t;
        const int fd = create_temp_file(path, &t);
        if (fd < 0)
            return path + ": " + strerror(errno);
        FilePtr out(fdopen(dup(fd), "wb"));
        if (!out)
            return path + ": " + strerror(errno);
        const int64_t n = c.end - c.start;
        const uint64_t total = piece_bytes(f, n, plan.mono16);
        if (total - 8 > 0xFFFFFFFFu || (plan.mono16 && n > SIL_PCM16_MAX_SAMPLES))
            return path + ": chapter too long for a WAV file";
        bool ok = true;
        if (plan.mono16) {
            unsigned char hdr[44];
            sil_pcm16_header(hdr, n, f.rate);
            ok = put(out.get(), hdr, sizeof hdr);
        } else {
            unsigned char hdr[20];
            memcpy(hdr, "RIFF", 4);
            put32(hdr + 4, (uint32_t)(total - 8));
            memcpy(hdr + 8, "WAVEfmt ", 8);
            put32(hdr + 16, (uint32_t)(f.fmt.size() + (f.fmt.size() & 1u)));
            ok = put(out.get(), hdr, 20) && put(out.get(), f.fmt.data(), f.fmt.size()) &&
                 (!(f.fmt.size() & 1u) || put(out.get(), "", 1));
            memcpy(hdr, "data", 4);
            put32(hdr + 4, (uint32_t)((uint64_t)n * f.frame_bytes));
            ok = ok && put(out.get(), hdr, 8);
        }
        const size_t per = std::max<size_t>(1, 65536 / f.frame_bytes);
        std::vector<unsigned char> raw(per * f.frame_bytes + 4);
        std::vector<float> mix(plan.mono16 ? per : 0);
        std::vector<unsigned char> pcm(plan.mono16 ? 2 * per : 0);
        for (int64_t at = c.start; ok && at < c.end;) {
            const size_t want = (size_t)std::min<int64_t>((int64_t)per, c.end - at);
            const size_t bytes = want * f.frame_bytes;
            if (pread(spool, raw.data(), bytes, (off_t)(at * (int64_t)f.frame_bytes)) !=
                (ssize_t)bytes)
                return path + ": spool read failed";
            if (plan.mono16) {
                decode(raw.data(), want, f.channels, mix.data());
                for (size_t i = 0; i < want; i++) {
                    const uint16_t v = (uint16_t)sil_to_pcm16(mix[i]);
                    pcm[2 * i] = (unsigned char)(v & 0xFF);
                    pcm[2 * i + 1] = (unsigned char)(v >> 8);
                }
                ok = put(out.get(), pcm.data(), 2 * want);
            } else {
                ok = put(out.get(), raw.data(), bytes);
            }
            at += (int64_t)want;
        }
        const uint64_t data = (uint64_t)n * f.frame_bytes;
        if (ok && !plan.mono16 && (data & 1u))
            ok = put(out.get(), "", 1);
        if (fclose(out.release()) != 0)
            ok = false;
        if (!ok || commit_temp_file(&t) != 0)
            return path + ": " + strerror(errno ? errno : EIO);
        written++;
        return "";
    }

    // chapters.json, the report of the chapters written.
    std::string report(const sil_live *l) {
        sil_heap_ptr<char> text(sil_live_report(l));
        if (!text)
            return plan.out_dir + ": " + sil_get_error();
        std::string error;
        const std::string json = text.get();
        const Outcome o = write_whole_file(
            plan.out_dir, "chapters.json",
            [&](FILE *out, std::string *err) {
                if (put(out, json.data(), json.size()))
                    return Outcome::done;
                *err = plan.out_dir + "/chapters.json: " + strerror(errno);
                return Outcome::failed;
            },
            &error);
        return o == Outcome::done ? "" : error;
    }

    // Every chapter made final since the last call, then chapters.json.
    std::string flush(const sil_live *l, bool end = false) {
        int32_t n = 0;
        const sil_live_chapter *c = sil_live_chapters(l, &n);
        const int before = written;
        for (int k = written; k < n; k++) {
            const std::string why = piece(k, c[k]);
            if (!why.empty())
                return why;
        }
        if (written != before || end) {
            const std::string why = report(l);
            if (!why.empty())
                return why;
        }
        // The spool's frames no chapter to come needs are freed.
        const int64_t keep = sil_live_keep_from(l);
        if ((keep - spool_freed) * (int64_t)f.frame_bytes >= kSpoolFreeBytes) {
            const off_t to = (off_t)(keep * (int64_t)f.frame_bytes) & ~(off_t)4095;
            if (fallocate(spool, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, to) == 0)
                spool_freed = keep;
        }
        return "";
    }
};

} // namespace

Outcome live_split(const LiveSplitPlan &plan, int *chapters, std::string *error,
                   std::string *warning, float *left_s, int32_t *left_n) {
    *chapters = 0;
    *left_s = 0.0f;
    *left_n = 0;
    Input in;
    in.stop = &plan.stop;
    if (plan.input == "-") {
        in.fd = STDIN_FILENO;
    } else {
        in.fd = open(plan.input.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (in.fd < 0) {
            *error = plan.input + ": cannot open wav file: " + strerror(errno);
            return Outcome::failed;
        }
        in.owned = true;
        struct stat st;
        in.follow = plan.follow && fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode);
        in.idle_ms = (int64_t)(plan.follow_timeout_s * 1000.0);
        const int fl = fcntl(in.fd, F_GETFL);
        if (fl >= 0)
            fcntl(in.fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    Format f;
    std::string why = read_header(&in, &f);
    if (in.stopped)
        return Outcome::cancelled;
    if (!why.empty()) {
        *error = plan.input + ": " + why;
        return Outcome::failed;
    }
    sil_opts opts;
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    if (sil_parse_opts(plan.opts.empty() ? nullptr : plan.opts.c_str(), &opts, &keys) != 0) {
        *error = plan.input + ": " + sil_get_error();
        return Outcome::failed;
    }
    sil_live_ptr l(sil_live_new(f.rate, &opts, &keys));
    if (!l) {
        *error = plan.input + ": " + sil_get_error();
        return Outcome::failed;
    }
    TempFile spool;
    const int spool_fd =
        create_temp_file((std::filesystem::path(plan.out_dir) / "stdin").string(), &spool);
    if (spool_fd < 0) {
        *error = plan.out_dir + ": " + strerror(errno);
        return Outcome::failed;
    }
    Writer w{plan, f, sil_wav_decoder(f.bits, f.is_float, f.channels), spool_fd, 0, 0};
    // A growing file's header sizes are not final: its data runs to the end
    // of the file until the writer puts the final size into the header.
    // A stream's writer cannot seek back to put the size in: it leaves 0,
    // 0xFFFFFFFF or a placeholder near 2 GiB (sox, arecord); such a size is
    // read to the end of the stream.
    struct stat in_st;
    const bool stream = fstat(in.fd, &in_st) != 0 || !S_ISREG(in_st.st_mode);
    bool sized = !plan.follow && f.data_bytes != 0 && f.data_bytes != 0xFFFFFFFFu &&
                 !(stream && f.data_bytes >= 0x7FFF0000u);
    uint64_t left = sized ? f.data_bytes : UINT64_MAX;
    uint64_t consumed = 0; // data bytes read
    in.writer_done = [&] {
        unsigned char b[4];
        if (pread(in.fd, b, 4, (off_t)f.data_size_pos) != 4)
            return false;
        const uint32_t v = le32(b);
        if (v == 0 || v == 0xFFFFFFFFu || v < consumed)
            return false;
        sized = true;
        left = v - consumed;
        f.data_bytes = v;
        return left == 0;
    };
    std::vector<unsigned char> buf(kReadBytes + f.frame_bytes + 4);
    std::vector<float> mono(kReadBytes / f.frame_bytes + 1);
    size_t have = 0; // bytes in buf, less than a frame carried over
    int64_t frames = 0;
    bool broke_off = false;
    for (;;) {
        const size_t want = (size_t)std::min<uint64_t>(kReadBytes, left);
        if (want == 0)
            break;
        ssize_t got = in.some(buf.data() + have, want);
        if (got < 0) {
            *error = plan.input + ": data read fail: " + strerror(errno);
            return Outcome::failed;
        }
        if (got == 0) {
            broke_off = sized && left > 0 && !in.stopped;
            break;
        }
        if ((uint64_t)got > left) // the writer's final size came with this read
            got = (ssize_t)left;
        left -= (uint64_t)got;
        consumed += (uint64_t)got;
        have += (size_t)got;
        const size_t n = have / f.frame_bytes;
        const size_t bytes = n * f.frame_bytes;
        if (n > 0) {
            if (pwrite(spool_fd, buf.data(), bytes, (off_t)(frames * (int64_t)f.frame_bytes)) !=
                (ssize_t)bytes) {
                *error = plan.out_dir + ": " + strerror(errno);
                return Outcome::failed;
            }
            w.decode(buf.data(), n, f.channels, mono.data());
            if (sil_live_push(l.get(), mono.data(), n) != 0) {
                // The chapters final before the failure are written and listed.
                *error = plan.input + ": " + sil_get_error();
                w.flush(l.get());
                *chapters = w.written;
                return Outcome::failed;
            }
            frames += (int64_t)n;
            memmove(buf.data(), buf.data() + bytes, have - bytes);
            have -= bytes;
            why = w.flush(l.get());
            *chapters = w.written;
            if (!why.empty()) {
                *error = why;
                return Outcome::failed;
            }
        }
    }
    if (in.stopped)
        return Outcome::cancelled;
    if (broke_off)
        *warning = "the input breaks off: its data size says " + std::to_string(f.data_bytes) +
                   " bytes, " + std::to_string(f.data_bytes - left) + " came; what came is used";
    if (sil_live_finish(l.get()) != 0) {
        *error = plan.input + ": " + sil_get_error();
        return Outcome::failed;
    }
    int32_t n = 0;
    sil_live_chapters(l.get(), &n);
    if (n == 0) {
        *error = plan.input + ": " + kNoChapters + "; nothing was written";
        return Outcome::failed;
    }
    why = w.flush(l.get(), true);
    *chapters = w.written;
    if (!why.empty()) {
        *error = why;
        return Outcome::failed;
    }
    sil_live_left_out(l.get(), left_s, left_n);
    return Outcome::done;
}

} // namespace silsplit_cli
