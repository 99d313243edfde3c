// Which reader reads an input: the library's own for the WAV files it reads,
// FFmpeg (analyze_media) for the rest. Built into the program and into the
// media module alike; nothing here touches FFmpeg, so that a WAV file is
// analysed without loading it.
#include "media/media_commands.h"
#include "split_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace silsplit_cli {

static bool ends_with_wav(const std::string &path) {
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".wav") == 0;
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
    return memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WAVE", 4) == 0;
}

int analyze_wav(const std::string &path, const MediaRun &run, sil_analysis *out) {
    *out = sil_analysis{};
    sil_clear_error();
    sil_opts opts;
    if (sil_parse_opts(run.opts.empty() ? nullptr : run.opts.c_str(), &opts) != 0)
        return -1;
    sil_progress progress = {run.progress, run.progress_user, -1, 0};
    if (sil_analyze_wav(path.c_str(), &opts, &progress, out) == 0)
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
    if (media_wants_library(path)) {
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
