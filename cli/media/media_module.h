// The boundary between the program and its media module (silsplit-media),
// the part of the program that links FFmpeg. The program loads the module
// with dlopen() only when an input needs FFmpeg (media_loader.cpp), so that
// WAV files are analysed without FFmpeg's libraries in the process. Both
// sides are built from the same sources by the same compiler; the version
// and the record sizes guard against a module left over from another build.
#ifndef SILSPLIT_CLI_MEDIA_MEDIA_MODULE_H
#define SILSPLIT_CLI_MEDIA_MEDIA_MODULE_H

#include "media_commands.h"
#include "media_levels.h"

#include <cstddef>

namespace silsplit_cli {

// Raised whenever the entry points or the records they take change.
constexpr int kMediaModuleVersion = 4;

// The module's entry points, the functions of media_commands.h (and
// media_levels.h) that need FFmpeg.
struct MediaModule {
    int version;
    size_t run_size; // sizeof(MediaRun) in the module
    int (*analyze_media)(const std::string &path, MediaRun *run, sil_analysis *out,
                         std::string *error);
    int (*media_split)(const std::string &path, const std::string &out_dir, bool to_wav,
                       MediaRun *run, std::string *error);
    int (*media_write_chapter_marks)(const std::string &path, const std::string &out, bool replace,
                                     MediaRun *run, std::string *error);
    int (*media_decode_channels)(const std::string &path, MediaRun *run, const ChannelSink &sink,
                                 std::string *error);
};

} // namespace silsplit_cli

// The one symbol the program looks up in the module.
#define SILSPLIT_MEDIA_ENTRY "silsplit_media_module"
extern "C" const silsplit_cli::MediaModule *silsplit_media_module(void);

#endif
