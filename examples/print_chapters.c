/*
 * print_chapters: prints the chapters of a WAV file with the silsplit C API.
 *
 *   cc print_chapters.c $(pkg-config --cflags --libs silsplit) -o print_chapters
 *   ./print_chapters audio/talk.wav
 */
#include <silsplit.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The number after "key": at or after *pos in the compact report; moves *pos
 * past it. Returns 0 when there is none. */
static int next_number(const char **pos, const char *key, double *out) {
    char pattern[16];
    const char *at;
    char *end;
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    at = strstr(*pos, pattern);
    if (!at)
        return 0;
    *out = strtod(at + strlen(pattern), &end);
    *pos = end;
    return 1;
}

int main(int argc, char **argv) {
    const char *pos;
    char *report;
    double t0, t1;
    int n = 0;

    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE.wav\n", argv[0]);
        return 2;
    }
    report = silsplit_analyze(argv[1], NULL); /* NULL: the default options */
    if (!report) {
        fprintf(stderr, "print_chapters: %s: %s\n", argv[1], silsplit_last_error());
        return 1;
    }
    printf("silsplit %s, %s\n", silsplit_version(), argv[1]);
    pos = strstr(report, "\"chapters\":");
    while (pos && next_number(&pos, "t0", &t0) && next_number(&pos, "t1", &t1))
        printf("chapter %d: %.2f s to %.2f s\n", ++n, t0, t1);
    silsplit_free_string(report); /* not free(): the library owns its allocator */
    return 0;
}
