// Which reader reads an input: the library's own for the WAV files it reads,
// FFmpeg (analyze_media) for the rest. Built into the program and into the
// media module alike; nothing here touches FFmpeg, so that a WAV file is
// analysed without loading it.
#include "media/media_commands.h"
#include "split_output.h"

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
    FilePtr f(fopen(path.c_str(), "rb"));
    if (!f) // the library's own message for a WAV name; FFmpeg's for the rest
        return ends_with_wav(path);
    unsigned char head[12];
    if (fread(head, 1, sizeof head, f.get()) != sizeof head)
        return ends_with_wav(path); // too short for anything: the library says why
    return memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WAVE", 4) == 0;
}

bool media_library_refusal(const char *message) {
    // A data chunk of 2 GiB or more, or the 0xFFFFFFFF size that streaming
    // writers leave: the reader will not hold it, FFmpeg streams it.
    return message && strcmp(message, "data chunk too large") == 0;
}

char *analyze_any(const std::string &path, MediaRun *run, std::string *error) {
    const char *opts = run->opts.empty() ? nullptr : run->opts.c_str();
    if (media_wants_library(path)) {
        char *report = silsplit_analyze_progress(path.c_str(), opts, run->progress,
                                                 run->progress_user);
        if (report || !media_library_refusal(silsplit_last_error())) {
            if (!report)
                *error = silsplit_last_error();
            return report;
        }
    }
    return analyze_media(path, run, error);
}

bool split_needs_media(const std::string &path) { return !media_wants_library(path); }

} // namespace silsplit_cli
