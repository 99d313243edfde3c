// Fuzz target 4: bytes through the command-line program's media input.
//
// The input is any file: FFmpeg probes it from memory through a custom I/O
// context (with seeking, as a file would allow), the first audio stream is
// decoded, mixed to one channel and pushed into the library's streaming
// pipeline, whose report ends the run. Long streams stop early to keep
// each run short.
//
// Checked: no crash, leak, hang or undefined behaviour in our code (the
// sanitizers; FFmpeg itself is not instrumented), every failure has a
// message, and a finished analysis gives a report.
#include "engine.h"
#include "media/media_source.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// About 20 seconds at 48 kHz.
constexpr int64_t kMaxFrames = 1 << 20;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

struct PipelineCloser {
    void operator()(sil_pipeline *p) const { sil_pipeline_free(p); }
};

struct fuzz_sink {
    sil_opts opts;
    std::unique_ptr<sil_pipeline, PipelineCloser> p;
    int64_t frames = 0;
};

int start(void *user, int rate, std::string *error) {
    fuzz_sink *s = static_cast<fuzz_sink *>(user);
    check(rate > 0);
    s->p.reset(sil_pipeline_new(rate, -1, &s->opts, nullptr));
    if (!s->p) {
        *error = sil_get_error();
        return -1;
    }
    return 0;
}

int push(void *user, const float *frames, size_t n, std::string *error) {
    fuzz_sink *s = static_cast<fuzz_sink *>(user);
    check(s->p != nullptr);
    s->frames += (int64_t)n;
    if (s->frames > kMaxFrames) {
        *error = "long enough";
        return -1;
    }
    if (sil_pipeline_push(s->p.get(), frames, n) != 0) {
        *error = sil_get_error();
        return -1;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    silsplit_cli::MediaInput in;
    std::string error;
    if (silsplit_cli::media_open_memory(data, size, -1, &in, &error) != 0) {
        check(!error.empty());
        return 0;
    }
    fuzz_sink s;
    sil_opts_defaults(&s.opts);
    silsplit_cli::MediaSink sink;
    sink.start = start;
    sink.push = push;
    sink.user = &s;
    silsplit_cli::MediaStats stats;
    if (silsplit_cli::media_decode(&in, sink, nullptr, 95, &stats, &error) != 0) {
        check(!error.empty());
        return 0;
    }
    check(s.p != nullptr && stats.frames == s.frames && stats.sample_rate > 0);
    char *report = sil_pipeline_report(s.p.get());
    check(report || sil_get_error()[0] != '\0');
    free(report);
    return 0;
}
