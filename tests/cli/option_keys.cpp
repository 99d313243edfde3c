// option_keys: the engine's option table, one key a line with its kind
// (number, flag or count), for the test that holds the Python package's key
// lists against it.
#include "engine.h"

#include <cstdio>

int main() {
    for (const sil_option_info &row : SIL_OPTIONS) {
        const char *kind = row.type == SIL_OPTION_NUMBER ? "number"
                           : row.type == SIL_OPTION_FLAG ? "flag"
                                                         : "count";
        printf("%s %s\n", row.key, kind);
    }
    return 0;
}
