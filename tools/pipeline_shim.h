// Stand-in for the library's streaming pipeline: the same four calls, but the
// frames are gathered in memory and analysed at the end by the public
// in-memory entry point, whose report is the one a file analysis gives.
// Memory grows with the recording; the streaming pipeline replaces this file.
#ifndef SILSPLIT_TOOLS_PIPELINE_SHIM_H
#define SILSPLIT_TOOLS_PIPELINE_SHIM_H

#include "silsplit_internal.h"

#include <yyjson.h>

#include <climits>
#include <cstdint>
#include <new>
#include <vector>

struct sil_pipeline {
    int32_t rate;
    sil_opts opts;
    std::vector<float> frames;
};

inline sil_pipeline *sil_pipeline_new(int32_t source_rate, int64_t total_frames,
                                      const sil_opts *opts, sil_progress *progress) {
    (void)total_frames;
    (void)progress;
    if (source_rate <= 0 || !opts) {
        sil_set_error("invalid pipeline args");
        return nullptr;
    }
    sil_pipeline *p = new (std::nothrow) sil_pipeline{source_rate, *opts, {}};
    if (!p)
        sil_set_error("out of memory");
    return p;
}

inline int sil_pipeline_push(sil_pipeline *p, const float *frames, size_t n) {
    if (p->frames.size() + n > (size_t)INT_MAX) {
        sil_set_error("recording too long");
        return -1;
    }
    try {
        p->frames.insert(p->frames.end(), frames, frames + n);
    } catch (const std::bad_alloc &) {
        sil_set_error("out of memory");
        return -1;
    }
    return 0;
}

inline char *sil_pipeline_report(sil_pipeline *p) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    yyjson_mut_obj_add_int(doc, root, "sample_rate", p->rate);
    yyjson_mut_obj_add_real(doc, root, "threshold_db", p->opts.threshold_db);
    yyjson_mut_obj_add_real(doc, root, "min_silence_s", p->opts.min_silence_s);
    yyjson_mut_obj_add_real(doc, root, "min_chapter_s", p->opts.min_chapter_s);
    yyjson_mut_obj_add_real(doc, root, "padding_s", p->opts.padding_s);
    yyjson_mut_obj_add_real(doc, root, "max_chapter_s", p->opts.max_chapter_s);
    char *opts = yyjson_mut_write(doc, 0, nullptr);
    yyjson_mut_doc_free(doc);
    if (!opts) {
        sil_set_error("out of memory");
        return nullptr;
    }
    char *report = silsplit_analyze_pcm(p->frames.data(), (int)p->frames.size(), opts);
    free(opts);
    return report;
}

inline void sil_pipeline_free(sil_pipeline *p) { delete p; }

#endif
