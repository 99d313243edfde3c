/*
 * write_chapters WAV OUT_DIR: the library's own export of a recording, for
 * the command-line tests to compare split --mono16 with.
 */
#include <silsplit.h>

#include <stdio.h>

int main(int argc, char **argv) {
    int n;
    if (argc != 3) {
        fprintf(stderr, "usage: write_chapters WAV OUT_DIR\n");
        return 2;
    }
    n = silsplit_write_chapters(argv[1], NULL, argv[2]);
    if (n < 0) {
        fprintf(stderr, "write_chapters: %s: %s\n", argv[1], silsplit_last_error());
        return 1;
    }
    printf("%d\n", n);
    return 0;
}
