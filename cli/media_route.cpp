// Which reader reads an input: the library's own for the WAV files it reads,
// FFmpeg (analyze_media) for the rest. Built into the program and into the
// media module alike; nothing here touches FFmpeg, so that a WAV file is
// analysed without loading it.
#include "media/media_commands.h"
#include "split_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>

namespace silsplit_cli {

static bool ends_with_wav(const std::string &path) {
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".wav") == 0;
}

static uint32_t le32(const unsigned char *b) {
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

// The data chunk of a RIFF/WAVE file: *size as it says, *held as the file
// holds from its start to the file's end; *riff the RIFF size. false when
// path is no such file or has no data chunk.
static bool wav_data_chunk(const std::string &path, int64_t *file_size, uint32_t *riff,
                           uint32_t *size, int64_t *held) {
    struct stat st;
    if (path == "-" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *file_size = (int64_t)st.st_size;
    FilePtr f(fopen(path.c_str(), "rb"));
    unsigned char head[12];
    if (!f || fread(head, 1, sizeof head, f.get()) != sizeof head ||
        memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0)
        return false;
    *riff = le32(head + 4);
    for (int64_t at = 12; at + 8 <= *file_size;) {
        unsigned char hdr[8];
        if (fseeko(f.get(), (off_t)at, SEEK_SET) != 0 || fread(hdr, 1, 8, f.get()) != 8)
            return false;
        const uint32_t chunk = le32(hdr + 4);
        if (memcmp(hdr, "data", 4) == 0) {
            *size = chunk;
            *held = *file_size - (at + 8);
            return true;
        }
        at += 8 + (int64_t)chunk + (chunk & 1u);
    }
    return false;
}

std::string wav_wrapped_size(const std::string &path) {
    int64_t file_size = 0, held = 0;
    uint32_t riff = 0, size = 0;
    constexpr int64_t k4GiB = (int64_t)1 << 32;
    // The data chunk's size is what the reader believes, the file's length
    // what the writer wrote; a wrapped size needs 4 GiB more than it says.
    if (!wav_data_chunk(path, &file_size, &riff, &size, &held) || file_size < k4GiB)
        return "";
    if (size != 0xFFFFFFFFu && held - (int64_t)size >= k4GiB)
        return "the data size says " + std::to_string(size) + " bytes, the file holds " +
               std::to_string(held) +
               " (a size that wrapped past 4 GiB): read to the end of the file";
    if (riff != 0xFFFFFFFFu && file_size - 8 - (int64_t)riff >= k4GiB)
        return "the RIFF size says " + std::to_string(riff) + " bytes, the file holds " +
               std::to_string(file_size - 8) +
               " (a size that wrapped past 4 GiB): read to the end of the file";
    return "";
}

std::string wav_data_short(const std::string &path) {
    int64_t file_size = 0, held = 0;
    uint32_t riff = 0, size = 0;
    if (!wav_data_chunk(path, &file_size, &riff, &size, &held) || size == 0xFFFFFFFFu ||
        held >= (int64_t)size)
        return "";
    return "the input breaks off: its data size says " + std::to_string(size) +
           " bytes, the file holds " + std::to_string(held) + "; what was read is used";
}

bool media_wants_library(const std::string &path) {
    if (path == "-")
        return false;
    // A FIFO or a device is left unopened here: opening one waits for a
    // writer, and closing it again would end that writer. FFmpeg's route
    // streams it.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) // the library's own message for a WAV name; FFmpeg's for the rest
        return ends_with_wav(path);
    FilePtr f(fdopen(fd, "rb"));
    if (!f) {
        close(fd);
        return ends_with_wav(path);
    }
    unsigned char head[12];
    if (fread(head, 1, sizeof head, f.get()) != sizeof head)
        return ends_with_wav(path); // too short for anything: the library says why
    return memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WAVE", 4) == 0 &&
           wav_wrapped_size(path).empty() && wav_data_short(path).empty();
}

int analyze_wav(const std::string &path, const MediaRun &run, sil_analysis *out) {
    *out = sil_analysis{};
    sil_clear_error();
    sil_opts opts;
    sil_chapter_keys keys;
    sil_chapter_keys_init(&keys);
    std::unique_ptr<sil_chapter_keys, sil_chapter_keys_releaser> keys_guard(&keys);
    if (sil_parse_opts(run.opts.empty() ? nullptr : run.opts.c_str(), &opts, &keys) != 0)
        return -1;
    sil_progress progress = {run.progress, run.progress_user, -1, 0};
    if (sil_analyze_wav(path.c_str(), &opts, &progress, out, &keys) == 0)
        return 0;
    // The library says it could not open the file; the system says why.
    if (sil_error_code() == SIL_ERR_READ && strcmp(sil_get_error(), "cannot open wav file") == 0) {
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
        } else {
            const std::string message = std::string("cannot open wav file: ") + strerror(errno);
            sil_fail(SIL_ERR_READ, message.c_str());
        }
    }
    return -1;
}

bool media_takes_refused() {
    // A data chunk of 2 GiB or more, or the 0xFFFFFFFF size that streaming
    // writers leave: the reader will not hold it, FFmpeg streams it. A codec
    // or sample depth the reader does not decode (mu-law, A-law, ADPCM,
    // MP3 in WAV, 64-bit float): FFmpeg decodes it.
    const int code = sil_error_code();
    return code == SIL_ERR_TOO_LARGE || code == SIL_ERR_FORMAT;
}

int analyze_any(const std::string &path, MediaRun *run, sil_analysis *out, std::string *error) {
    if (!run->hints_from_input && media_wants_library(path)) {
        if (analyze_wav(path, *run, out) == 0)
            return 0;
        if (!media_takes_refused()) {
            *error = sil_get_error();
            return -1;
        }
    }
    return analyze_media(path, run, out, error);
}

bool split_needs_media(const std::string &path) { return !media_wants_library(path); }

} // namespace silsplit_cli
