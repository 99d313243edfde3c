// Progress reports: stage names and the one call through which every stage
// reaches the host's callback.
#include "progress.h"

const char *sil_stage_name(int stage) {
    switch (stage) {
    case SIL_STAGE_RESAMPLE:
        return "resample";
    case SIL_STAGE_DETECT:
        return "detect";
    case SIL_STAGE_DONE:
        return "done";
    default:
        return "read";
    }
}

int sil_progress_report(sil_progress *p, int pct, int stage) {
    if (!p || !p->fn)
        return 0;
    if (pct > 100)
        pct = 100;
    if (pct < 0)
        pct = 0;
    // A repeat of the stage without a higher percent tells the host nothing.
    if (pct <= p->last_pct && stage == p->stage)
        return 0;
    p->stage = stage;
    if (pct > p->last_pct)
        p->last_pct = pct;
    if (p->fn(p->last_pct, sil_stage_name(stage), p->user) != 0) {
        sil_fail(SIL_ERR_CANCELLED, "cancelled");
        return -1;
    }
    return 0;
}
