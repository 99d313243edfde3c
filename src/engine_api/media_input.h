// Inputs that only the media module (silsplit-media.so, FFmpeg) reads: the
// module is loaded the first time such an input comes, and analyses the
// whole input into an analysis record.
#ifndef SILSPLIT_ENGINE_API_MEDIA_INPUT_H
#define SILSPLIT_ENGINE_API_MEDIA_INPUT_H

#include "pipeline.h"

// Whether the media module can be had (loading it on the first call); when
// not, the message (SIL_ERR_MEDIA_MISSING's text, naming what was tried) is
// the thread's error.
bool sle_media_load(void);

// Analyses path through the media module with the options text opts_json
// (may be NULL) and progress (may be NULL). 0 and a filled record (free
// with sil_analysis_free), or -1 with the thread's error set.
int sle_media_analyze(const char *path, const char *opts_json, sil_progress *progress,
                      sil_analysis *out);

// The error code of a missing media module, beside the engine's own codes.
constexpr int SIL_ERR_MEDIA_MISSING = 9;

#endif
