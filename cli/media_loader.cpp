// The program's side of the media module: the functions of media_commands.h
// that need FFmpeg, each loading the module (silsplit-media.so) on its first
// use and calling its entry point. The module is looked for beside the
// program (the build tree), then in ../LIBDIR/silsplit/ from the program's
// own folder (an installation, wherever its prefix has moved);
// SILSPLIT_MEDIA_MODULE names another file.
#include "media/media_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#ifndef SILSPLIT_MEDIA_LIBDIR
#define SILSPLIT_MEDIA_LIBDIR "lib"
#endif

namespace silsplit_cli {

namespace {

constexpr const char *kModuleName = "silsplit-media.so";

// The folder of the running program, with its final '/'; "" when unknown.
std::string program_folder() {
    std::string exe(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", &exe[0], exe.size());
    if (n <= 0 || (size_t)n >= exe.size())
        return "";
    exe.resize((size_t)n);
    return exe.substr(0, exe.rfind('/') + 1);
}

std::string module_path() {
    const char *chosen = getenv("SILSPLIT_MEDIA_MODULE");
    if (chosen && *chosen)
        return chosen;
    const std::string folder = program_folder();
    const std::string beside = folder + kModuleName;
    if (access(beside.c_str(), F_OK) == 0)
        return beside;
    const std::string libdir = SILSPLIT_MEDIA_LIBDIR;
    const std::string base = libdir[0] == '/' ? libdir + "/" : folder + "../" + libdir + "/";
    return base + "silsplit/" + kModuleName;
}

struct Loaded {
    const MediaModule *module = nullptr;
    std::string why; // when module is NULL
};

// Loaded once for the whole run (several files may need it at once); the
// module stays loaded until the program ends.
const Loaded &load_module() {
    static Loaded loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string path = module_path();
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *why = dlerror();
            loaded.why = why ? why : path + ": cannot be loaded";
            return;
        }
        using entry_fn = const MediaModule *(*)();
        entry_fn entry = reinterpret_cast<entry_fn>(dlsym(handle, SILSPLIT_MEDIA_ENTRY));
        const MediaModule *m = entry ? entry() : nullptr;
        if (!m || m->version != kMediaModuleVersion || m->run_size != sizeof(MediaRun)) {
            loaded.why = path + ": not a media module of this program";
            dlclose(handle);
            return;
        }
        loaded.module = m;
    });
    return loaded;
}

const MediaModule *media_module(std::string *error) {
    const Loaded &l = load_module();
    if (!l.module)
        *error = "media support not available: " + l.why;
    return l.module;
}

} // namespace

int analyze_media(const std::string &path, MediaRun *run, sil_analysis *out, std::string *error) {
    const MediaModule *m = media_module(error);
    return m ? m->analyze_media(path, run, out, error) : -1;
}

int media_split(const std::string &path, const std::string &out_dir, bool to_wav, MediaRun *run,
                std::string *error) {
    const MediaModule *m = media_module(error);
    return m ? m->media_split(path, out_dir, to_wav, run, error) : -1;
}

int media_write_chapter_marks(const std::string &path, const std::string &out, bool replace,
                              MediaRun *run, std::string *error) {
    const MediaModule *m = media_module(error);
    return m ? m->media_write_chapter_marks(path, out, replace, run, error) : -1;
}

int media_decode_channels(const std::string &path, MediaRun *run, const ChannelSink &sink,
                          std::string *error) {
    const MediaModule *m = media_module(error);
    return m ? m->media_decode_channels(path, run, sink, error) : -1;
}

} // namespace silsplit_cli
