// The per-thread error text and its code: the one piece of state the library
// keeps between calls, read back by silsplit_last_error().
#include "base.h"

#include <cstdio>

// One message and its code per thread; zero-filled on the thread's first use.
thread_local char g_err[512];
thread_local int g_err_code;

void sil_fail(int code, const char *msg) {
    if (!msg) {
        g_err[0] = '\0';
        g_err_code = SIL_ERR_NONE;
        return;
    }
    snprintf(g_err, sizeof g_err, "%s", msg);
    g_err_code = code;
}

void sil_set_error(const char *msg) { sil_fail(SIL_ERR_FAILED, msg); }

void sil_fail_memory(void) { sil_fail(SIL_ERR_MEMORY, "out of memory"); }

void sil_clear_error(void) { sil_fail(SIL_ERR_NONE, nullptr); }

const char *sil_get_error(void) { return g_err; }

int sil_error_code(void) { return g_err[0] ? g_err_code : SIL_ERR_NONE; }
