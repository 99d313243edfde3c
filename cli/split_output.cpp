#include "split_output.h"

#include "formats/report_json.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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

// ---------------------------------------------------------------------------
// Little-endian fields
// ---------------------------------------------------------------------------

uint16_t get_u16(const unsigned char *b) { return (uint16_t)(b[0] | (b[1] << 8)); }

uint32_t get_u32(const unsigned char *b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

void put_u16(unsigned char *b, uint16_t v) {
    b[0] = (unsigned char)(v & 0xFF);
    b[1] = (unsigned char)(v >> 8);
}

void put_u32(unsigned char *b, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        b[k] = (unsigned char)((v >> (8 * k)) & 0xFF);
}

// ---------------------------------------------------------------------------
// Mixing down to 16 bits, with the library's arithmetic: integer samples
// summed exactly and scaled by a power of two (in single precision for one or
// two channels), 32-bit samples added in double and divided by the channel
// count; then clamped, scaled by 32767 and rounded half to even.
// ---------------------------------------------------------------------------

int32_t raw_sample(const unsigned char *b, int bytes) {
    switch (bytes) {
    case 1:
        return (int32_t)b[0] - 128;
    case 2:
        return (int16_t)get_u16(b);
    default: {
        const uint32_t u = ((uint32_t)b[0] << 8) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 24);
        return (int32_t)u >> 8;
    }
    }
}

float wide_sample(const unsigned char *b, bool is_float) {
    const uint32_t u = get_u32(b);
    if (is_float) {
        float v;
        memcpy(&v, &u, 4);
        return v;
    }
    return (float)(int32_t)u * (1.0f / 2147483648.0f);
}

float mean_of_frame(const unsigned char *p, const WavLayout &w) {
    const int ch = w.channels;
    const int bytes = w.bits / 8;
    if (bytes == 4) {
        double sum = 0.0;
        for (int c = 0; c < ch; c++)
            sum += (double)wide_sample(p + c * 4, w.is_float);
        return (float)(sum / (double)ch);
    }
    const double unit = 1.0 / (double)(1u << (8 * bytes - 1));
    if (ch == 1)
        return (float)raw_sample(p, bytes) * (float)unit;
    if (ch == 2)
        return (float)(raw_sample(p, bytes) + raw_sample(p + bytes, bytes)) * (float)(unit / 2.0);
    int64_t sum = 0;
    for (int c = 0; c < ch; c++)
        sum += raw_sample(p + c * bytes, bytes);
    if ((ch & (ch - 1)) == 0)
        return (float)((double)sum * (unit / ch));
    return (float)((double)sum * unit / (double)ch);
}

int16_t to_pcm16(float v) {
    if (v > 1.0f)
        return 32767;
    if (v != v)
        return 0;
    if (v < -1.0f)
        v = -1.0f;
    return (int16_t)lrintf(v * 32767.0f);
}

// ---------------------------------------------------------------------------
// Chunk walk, step for step the library's: fmt and data chunks are not
// followed by a pad byte, other chunks are; a move past the end stops at the
// end, which ends the walk.
// ---------------------------------------------------------------------------

bool skip_forward(FILE *f, uint64_t len, int64_t file_size) {
    const int64_t pos = (int64_t)ftello(f);
    if (pos < 0)
        return false;
    const int64_t target = (uint64_t)(file_size - pos) < len ? file_size : pos + (int64_t)len;
    return fseeko(f, (off_t)target, SEEK_SET) == 0;
}

const size_t kBlock = 65536;

// An odd fmt chunk gets a zero byte inside it rather than a pad byte after
// it: the library reads the next chunk right after the fmt body, and so do
// readers that skip pad bytes when the size is even.
uint32_t fmt_chunk_size(const WavLayout &w) { return w.fmt_size + (w.fmt_size & 1u); }

} // namespace

// ---------------------------------------------------------------------------
// The output folder
// ---------------------------------------------------------------------------

bool is_split_output_name(const std::string &name) {
    // The media cutter's temporary names: ".ch_001.mp3.part<pid>".
    if (name.size() > 1 && name[0] == '.' && name.find(".part", 1) != std::string::npos)
        return is_split_output_name(name.substr(1));
    if (name == "chapters.json" || name.rfind("chapters.json.part", 0) == 0)
        return true;
    if (name.rfind("ch_", 0) != 0)
        return false;
    size_t k = 3;
    while (k < name.size() && name[k] >= '0' && name[k] <= '9')
        ++k;
    return k > 3 && (k == name.size() || name[k] == '.');
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
    const fs::path in(input);
    if (!is_split_output_name(in.filename().string()))
        return "";
    std::error_code ec;
    const fs::path folder = in.has_parent_path() ? in.parent_path() : fs::path(".");
    if (!fs::equivalent(folder, dir, ec) || ec)
        return "";
    return input + ": is in " + dir +
           " under a name that a split there replaces; choose another folder";
}

std::string prepare_out_dir(const std::string &dir, bool overwrite) {
    std::string why = check_out_dir(dir, overwrite);
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

// ---------------------------------------------------------------------------
// Whole files
// ---------------------------------------------------------------------------

Outcome write_whole_file(const std::string &dir, const std::string &name,
                         const std::function<Outcome(FILE *, std::string *)> &body,
                         std::string *error) {
    const std::string final_path = join(dir, name);
    // A new name of our own, never an existing file or a planted link.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = final_path + ".part-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *error = final_path + ": " + reason(errno);
        return Outcome::failed;
    }
    FILE *f = fdopen(fd, "wb");
    if (!f) {
        *error = final_path + ": " + reason(errno);
        close(fd);
        unlink(temp.c_str());
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
    if (out == Outcome::done && rename(temp.c_str(), final_path.c_str()) != 0) {
        *error = final_path + ": " + reason(errno);
        out = Outcome::failed;
    }
    if (out != Outcome::done)
        unlink(temp.c_str());
    return out;
}

// ---------------------------------------------------------------------------
// WAV chapters
// ---------------------------------------------------------------------------

bool read_wav_layout(FILE *f, WavLayout *out, std::string *error) {
    *out = WavLayout{};
    if (fseeko(f, 0, SEEK_END) != 0) {
        *error = "seek failed";
        return false;
    }
    const int64_t file_size = (int64_t)ftello(f);
    rewind(f);
    unsigned char riff[12];
    if (file_size < 44 || fread(riff, 1, 12, f) != 12 || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0) {
        *error = "not a RIFF/WAVE file";
        return false;
    }
    bool have_fmt = false, have_data = false;
    WavLayout w;
    for (;;) {
        unsigned char hdr[8];
        if (fread(hdr, 1, 8, f) != 8)
            break;
        const uint32_t size = get_u32(hdr + 4);
        const int64_t pos = (int64_t)ftello(f);
        if (memcmp(hdr, "fmt ", 4) == 0) {
            unsigned char fmt[40];
            const size_t want = size < 40 ? size : 40;
            if (size < 16 || fread(fmt, 1, want, f) != want) {
                *error = "bad fmt chunk";
                return false;
            }
            w.fmt_offset = pos;
            w.fmt_size = (uint32_t)std::min<int64_t>(size, file_size - pos);
            w.format_tag = get_u16(fmt);
            w.channels = get_u16(fmt + 2);
            w.sample_rate = (int32_t)get_u32(fmt + 4);
            w.bits = get_u16(fmt + 14);
            // An extensible chunk holds 32-bit floats unless its extension,
            // all of it present, names integer PCM as the sub-format.
            const bool pcm_subformat =
                size >= 40 && get_u16(fmt + 16) >= 22 && get_u16(fmt + 24) == 1;
            w.is_float = w.format_tag == 3 || (w.format_tag == 0xFFFE && !pcm_subformat);
            have_fmt = true;
            if (fseeko(f, (off_t)pos, SEEK_SET) != 0 || !skip_forward(f, size, file_size)) {
                *error = "fmt skip fail";
                return false;
            }
        } else if (memcmp(hdr, "data", 4) == 0) {
            if (size > 2147483648u || pos < 0 || file_size - pos < (int64_t)size) {
                *error = "data read fail";
                return false;
            }
            w.data_offset = pos;
            w.data_bytes = size;
            have_data = true;
            if (fseeko(f, (off_t)(pos + size), SEEK_SET) != 0) {
                *error = "data read fail";
                return false;
            }
        } else {
            const uint32_t skip = size + (size & 1u);
            if ((int32_t)skip > 0 && !skip_forward(f, skip, file_size))
                break;
        }
    }
    if (!have_fmt || !have_data) {
        *error = "missing fmt or data chunk";
        return false;
    }
    const uint16_t tag = w.format_tag;
    if (w.channels == 0 || w.sample_rate <= 0 || (tag != 1 && tag != 3 && tag != 0xFFFE) ||
        (w.bits != 8 && w.bits != 16 && w.bits != 24 && w.bits != 32)) {
        *error = "unsupported WAV format";
        return false;
    }
    w.frame_bytes = (uint32_t)w.channels * (w.bits / 8u);
    w.frames = w.data_bytes / w.frame_bytes;
    *out = w;
    return true;
}

void chapter_frames(double t0, double t1, const WavLayout &w, int64_t *start, int64_t *end) {
    const float rate_f = (float)w.sample_rate;
    const double start_f = floorf((float)t0 * rate_f);
    const double end_f = ceilf((float)t1 * rate_f);
    const int64_t frames = w.frames;
    int64_t s = !(start_f >= 0.0) ? 0 : start_f > (double)frames ? frames : (int64_t)start_f;
    int64_t e = end_f > (double)frames ? frames : !(end_f >= 0.0) ? 0 : (int64_t)end_f;
    if (e < s)
        e = s;
    *start = s;
    *end = e;
}

uint64_t chapter_file_bytes(const WavLayout &w, int64_t start, int64_t end, ChapterFormat format) {
    const uint64_t n = (uint64_t)(end - start);
    if (format == ChapterFormat::mono16)
        return 44 + 2 * n;
    const uint64_t data = n * w.frame_bytes;
    return 12 + 8 + fmt_chunk_size(w) + 8 + data + (data & 1u);
}

Outcome write_wav_chapter(FILE *in, const WavLayout &w, int64_t start, int64_t end,
                          ChapterFormat format, FILE *out,
                          const std::function<bool(uint64_t)> &tick, std::string *error) {
    const uint64_t n = (uint64_t)(end - start);
    const uint64_t total = chapter_file_bytes(w, start, end, format);
    if (total - 8 > 0xFFFFFFFFu || (format == ChapterFormat::mono16 && n > 2147483629u)) {
        *error = "chapter too long for a WAV file";
        return Outcome::failed;
    }
    auto write = [&](const void *p, size_t len) {
        if (fwrite(p, 1, len, out) == len)
            return true;
        *error = reason(errno);
        return false;
    };
    auto read_at = [&](int64_t offset, unsigned char *p, size_t len) {
        if (fseeko(in, (off_t)offset, SEEK_SET) == 0 && fread(p, 1, len, in) == len)
            return true;
        *error = "read error";
        return false;
    };
    const size_t frame_bytes = w.frame_bytes;
    const size_t per_block = std::max<size_t>(1, kBlock / frame_bytes);
    std::vector<unsigned char> block(per_block * frame_bytes);
    std::vector<unsigned char> pcm(format == ChapterFormat::mono16 ? per_block * 2 : 0);

    unsigned char hdr[44];
    memcpy(hdr, "RIFF", 4);
    put_u32(hdr + 4, (uint32_t)(total - 8));
    memcpy(hdr + 8, "WAVE", 4);
    uint64_t data_bytes;
    if (format == ChapterFormat::mono16) {
        data_bytes = 2 * n;
        memcpy(hdr + 12, "fmt ", 4);
        put_u32(hdr + 16, 16);
        put_u16(hdr + 20, 1);
        put_u16(hdr + 22, 1);
        put_u32(hdr + 24, (uint32_t)w.sample_rate);
        put_u32(hdr + 28, 2u * (uint32_t)w.sample_rate);
        put_u16(hdr + 32, 2);
        put_u16(hdr + 34, 16);
        if (!write(hdr, 36))
            return Outcome::failed;
    } else {
        data_bytes = n * frame_bytes;
        memcpy(hdr + 12, "fmt ", 4);
        put_u32(hdr + 16, fmt_chunk_size(w));
        if (!write(hdr, 20))
            return Outcome::failed;
        // The fmt chunk's body as it is, extension and all.
        for (uint32_t done = 0; done < w.fmt_size;) {
            const size_t len = std::min<size_t>(block.size(), w.fmt_size - done);
            if (!read_at(w.fmt_offset + done, block.data(), len) || !write(block.data(), len))
                return Outcome::failed;
            done += (uint32_t)len;
        }
        if ((w.fmt_size & 1u) && !write("", 1))
            return Outcome::failed;
    }
    memcpy(hdr, "data", 4);
    put_u32(hdr + 4, (uint32_t)data_bytes);
    if (!write(hdr, 8))
        return Outcome::failed;

    for (uint64_t first = 0; first < n;) {
        const size_t frames = (size_t)std::min<uint64_t>(per_block, n - first);
        const size_t len = frames * frame_bytes;
        if (!read_at(w.data_offset + (int64_t)((start + first) * frame_bytes), block.data(), len))
            return Outcome::failed;
        if (format == ChapterFormat::mono16) {
            for (size_t k = 0; k < frames; ++k)
                put_u16(pcm.data() + 2 * k,
                        (uint16_t)to_pcm16(mean_of_frame(block.data() + k * frame_bytes, w)));
            if (!write(pcm.data(), frames * 2))
                return Outcome::failed;
            if (!tick(frames * 2))
                return Outcome::cancelled;
        } else {
            if (!write(block.data(), len))
                return Outcome::failed;
            if (!tick(len))
                return Outcome::cancelled;
        }
        first += frames;
    }
    if (format == ChapterFormat::source && (data_bytes & 1u) && !write("", 1))
        return Outcome::failed;
    return Outcome::done;
}

// ---------------------------------------------------------------------------
// A whole split
// ---------------------------------------------------------------------------

Outcome write_split(const SplitPlan &plan, const std::function<bool(uint64_t, uint64_t)> &progress,
                    int *chapters, std::string *error) {
    *chapters = 0;
    Report report;
    if (!parse_report(plan.report, &report)) {
        *error = plan.input + ": cannot read the library's report";
        return Outcome::failed;
    }
    FilePtr in(fopen(plan.input.c_str(), "rb"));
    WavLayout w;
    std::string why;
    if (!in) {
        *error = plan.input + ": " + reason(errno);
        return Outcome::failed;
    }
    if (!read_wav_layout(in.get(), &w, &why)) {
        *error = plan.input + ": " + why;
        return Outcome::failed;
    }

    struct Range {
        int64_t start, end;
    };
    std::vector<Range> ranges;
    uint64_t total = plan.report.size();
    for (const Chapter &c : report.chapters) {
        Range r{};
        chapter_frames(c.t0, c.t1, w, &r.start, &r.end);
        ranges.push_back(r);
        // Progress counts the sample bytes and the report.
        total += (uint64_t)(r.end - r.start) *
                 (plan.format == ChapterFormat::mono16 ? 2u : w.frame_bytes);
    }

    why = prepare_out_dir(plan.out_dir, plan.overwrite);
    if (!why.empty()) {
        *error = why;
        return Outcome::failed;
    }

    uint64_t done = 0;
    const auto tick = [&](uint64_t bytes) {
        done += bytes;
        return progress(done, total);
    };
    if (!progress(0, total))
        return Outcome::cancelled;
    for (size_t k = 0; k < ranges.size(); ++k) {
        char name[32];
        snprintf(name, sizeof name, "ch_%03zu.wav", k + 1);
        const Outcome out = write_whole_file(
            plan.out_dir, name,
            [&](FILE *f, std::string *err) {
                std::string reason_text;
                const Outcome o = write_wav_chapter(in.get(), w, ranges[k].start, ranges[k].end,
                                                    plan.format, f, tick, &reason_text);
                if (o == Outcome::failed)
                    *err = (reason_text == "read error" ? plan.input : join(plan.out_dir, name)) +
                           ": " + reason_text;
                return o;
            },
            error);
        if (out != Outcome::done)
            return out;
        *chapters = (int)k + 1;
    }
    return write_whole_file(
        plan.out_dir, "chapters.json",
        [&](FILE *f, std::string *err) {
            if (fwrite(plan.report.data(), 1, plan.report.size(), f) != plan.report.size()) {
                *err = join(plan.out_dir, "chapters.json") + ": " + reason(errno);
                return Outcome::failed;
            }
            return tick(plan.report.size()) ? Outcome::done : Outcome::cancelled;
        },
        error);
}

} // namespace silsplit_cli
