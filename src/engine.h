// The engine's one door for the programs built on it (the command-line
// program, its media module), and for the tests, benchmarks and fuzzers: the
// streaming analysis, its options and progress, WAV input and output, and the
// chapter export. The shared library's seven exports (api.cpp) stand on the
// same functions.
//
// The way of the data:
//
//   source (WAV reader, a host's buffer, a decoder) --frames--> pipeline
//     pipeline: resampler (to 16 kHz) -> levels (one per 10 ms) -> level curve
//     at the end: silence scan + chapter rules (the curve) -> report (JSON)
//   export: chapter frames at the source's rate -> chapter files
//
// Every function that can fail returns -1 (or NULL) with the calling
// thread's error text and code set (sil_get_error, sil_error_code).
#ifndef SILSPLIT_ENGINE_H
#define SILSPLIT_ENGINE_H

#include "base.h"
#include "chapter_marks.h"
#include "export.h"
#include "live.h"
#include "options.h"
#include "pipeline.h"
#include "progress.h"
#include "wav_reader.h"
#include "wav_writer.h"

#endif // SILSPLIT_ENGINE_H
