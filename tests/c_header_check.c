/* Compiled as C99 with -pedantic: the public header is valid C. */
#include "silsplit.h"

#include <stddef.h>

static int on_progress(int percent, const char *stage, void *user) {
    (void)percent;
    (void)stage;
    (void)user;
    return 0;
}

int silsplit_c_header_check(void) {
    silsplit_progress_fn fn = on_progress;
    return fn != NULL;
}
