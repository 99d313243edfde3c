// The media module's entry point: the table of its functions.
#include "media_module.h"

#include <new>

namespace {

// Runs one command; allocation failure anywhere in it is "out of memory",
// a failure like any other, so no exception leaves the module.
template <typename F> int out_of_memory_guard(std::string *error, F &&command) {
    try {
        return command();
    } catch (const std::bad_alloc &) {
        *error = "out of memory";
        return -1;
    }
}

int analyze_media(const std::string &path, silsplit_cli::MediaRun *run, sil_analysis *out,
                  std::string *error) {
    return out_of_memory_guard(
        error, [&] { return silsplit_cli::analyze_media(path, run, out, error); });
}

int media_split(const std::string &path, const std::string &out_dir, bool to_wav,
                silsplit_cli::MediaRun *run, std::string *error) {
    return out_of_memory_guard(
        error, [&] { return silsplit_cli::media_split(path, out_dir, to_wav, run, error); });
}

int media_write_chapter_marks(const std::string &path, const std::string &out, bool replace,
                              silsplit_cli::MediaRun *run, std::string *error) {
    return out_of_memory_guard(error, [&] {
        return silsplit_cli::media_write_chapter_marks(path, out, replace, run, error);
    });
}

int media_decode_channels(const std::string &path, silsplit_cli::MediaRun *run,
                          const silsplit_cli::ChannelSink &sink, std::string *error) {
    return out_of_memory_guard(
        error, [&] { return silsplit_cli::media_decode_channels(path, run, sink, error); });
}

} // namespace

extern "C" __attribute__((visibility("default"))) const silsplit_cli::MediaModule *
silsplit_media_module(void) {
    static const silsplit_cli::MediaModule table = {
        silsplit_cli::kMediaModuleVersion, sizeof(silsplit_cli::MediaRun), analyze_media,
        media_split, media_write_chapter_marks, media_decode_channels};
    return &table;
}
