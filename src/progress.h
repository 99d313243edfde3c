// Progress reports to the host's callback, with cancellation: the stage
// codes, the percent each stage ends at, and the call that never lets the
// percent go down.
#ifndef SILSPLIT_PROGRESS_H
#define SILSPLIT_PROGRESS_H

#include "base.h"

#include <cstdint>

// Stage codes of the progress reports.
enum { SIL_STAGE_READ = 1, SIL_STAGE_RESAMPLE = 2, SIL_STAGE_DETECT = 3, SIL_STAGE_DONE = 4 };

// The percent each stage ends at, and the work between two reports (input
// frames read, 16 kHz samples resampled, levels measured).
constexpr int SIL_PCT_READ_END = 20;
constexpr int SIL_PCT_RESAMPLE_END = 40;
constexpr int SIL_PCT_DETECT_END = 95;
constexpr int SIL_PCT_DONE = 100;
constexpr int64_t SIL_READ_STEP = 65536;
constexpr int64_t SIL_RESAMPLE_STEP = 65536;
constexpr int64_t SIL_DETECT_STEP = 1024;

// Progress context of one call; starts as {fn, user, -1, 0}.
struct sil_progress {
    silsplit_progress_fn fn; // NULL: nothing is reported
    void *user;              // handed back to fn, never dereferenced
    int32_t last_pct;        // percent of the last callback call, -1 before it
    int32_t stage;           // stage code of the last callback call, 0 before it
};

// Name of a stage code; unknown codes are "read".
const char *sil_stage_name(int stage);
// Passes a report to the host's callback, never letting the percent go down.
// 0 to go on; -1 with "cancelled" (SIL_ERR_CANCELLED) when the callback asks
// to stop. p may be NULL.
int sil_progress_report(sil_progress *p, int pct, int stage);

#endif // SILSPLIT_PROGRESS_H
