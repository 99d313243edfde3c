// The media module as the engine library finds and calls it. Looked for as
// SILSPLIT_MEDIA_MODULE names it, else beside this library, else in
// silsplit/ beside it (the installed layout: LIBDIR/silsplit/). Built only
// where the program's sources are; elsewhere every such input fails with
// SIL_ERR_MEDIA_MISSING.
#include "media_input.h"

#include <string>

#if SLE_WITH_MEDIA
#include "media/media_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <new>

namespace {

constexpr const char *kModuleName = "silsplit-media.so";

// This library's own folder, with its final '/'; "" when unknown.
std::string library_folder() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&sle_media_load), &info) == 0 || !info.dli_fname)
        return "";
    const std::string self = info.dli_fname;
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? "" : self.substr(0, slash + 1);
}

struct Loaded {
    const silsplit_cli::MediaModule *module = nullptr;
    std::string why;
};

const Loaded &load_module() {
    static Loaded loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string tried;
        std::string paths[3];
        int n = 0;
        const char *chosen = getenv("SILSPLIT_MEDIA_MODULE");
        if (chosen && *chosen) {
            paths[n++] = chosen; // an explicit choice is the only one tried
        } else {
            const std::string folder = library_folder();
            paths[n++] = folder + kModuleName;
            paths[n++] = folder + "silsplit/" + kModuleName;
        }
        for (int i = 0; i < n; i++) {
            if (n > 1 && access(paths[i].c_str(), F_OK) != 0) {
                tried += (tried.empty() ? "" : "; ") + paths[i] + ": no such file";
                continue;
            }
            void *handle = dlopen(paths[i].c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char *why = dlerror();
                tried += (tried.empty() ? "" : "; ") + std::string(why ? why : paths[i]);
                continue;
            }
            using entry_fn = const silsplit_cli::MediaModule *(*)();
            entry_fn entry = reinterpret_cast<entry_fn>(dlsym(handle, SILSPLIT_MEDIA_ENTRY));
            const silsplit_cli::MediaModule *m = entry ? entry() : nullptr;
            if (!m || m->version != silsplit_cli::kMediaModuleVersion ||
                m->run_size != sizeof(silsplit_cli::MediaRun)) {
                tried +=
                    (tried.empty() ? "" : "; ") + paths[i] + ": not a media module of this library";
                dlclose(handle);
                continue;
            }
            loaded.module = m; // stays loaded until the process ends
            return;
        }
        loaded.why = "media support not available: " + tried;
    });
    return loaded;
}

} // namespace

bool sle_media_load(void) {
    const Loaded &l = load_module();
    if (!l.module)
        sil_fail(SIL_ERR_MEDIA_MISSING, l.why.c_str());
    return l.module != nullptr;
}

int sle_media_analyze(const char *path, const char *opts_json, sil_progress *progress,
                      sil_analysis *out) {
    *out = sil_analysis{};
    if (!sle_media_load())
        return -1;
    silsplit_cli::MediaRun run;
    run.opts = opts_json ? opts_json : "";
    if (progress) {
        run.progress = progress->fn;
        run.progress_user = progress->user;
    }
    std::string error;
    if (load_module().module->analyze_media(path, &run, out, &error) == 0)
        return 0;
    sil_analysis_free(out);
    const int code = error == "cancelled"       ? SIL_ERR_CANCELLED
                     : error == "out of memory" ? SIL_ERR_MEMORY
                                                : SIL_ERR_READ;
    sil_fail(code, error.c_str());
    return -1;
}

#else // no media module in this build

bool sle_media_load(void) {
    sil_fail(SIL_ERR_MEDIA_MISSING,
             "media support not available: this library was built without the media module");
    return false;
}

int sle_media_analyze(const char *, const char *, sil_progress *, sil_analysis *out) {
    *out = sil_analysis{};
    return sle_media_load() ? 0 : -1;
}

#endif
