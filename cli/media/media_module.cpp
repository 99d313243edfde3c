// The media module's entry point: the table of its functions.
#include "media_module.h"

extern "C" __attribute__((visibility("default"))) const silsplit_cli::MediaModule *
silsplit_media_module(void) {
    static const silsplit_cli::MediaModule table = {
        silsplit_cli::kMediaModuleVersion, sizeof(silsplit_cli::MediaRun),
        silsplit_cli::analyze_media, silsplit_cli::media_split,
        silsplit_cli::media_write_chapter_marks};
    return &table;
}
