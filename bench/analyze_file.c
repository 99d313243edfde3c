/* The library alone on a file: silsplit_analyze and the report on stdout,
 * with nothing else loaded. bench/compare.sh times it beside the silsplit
 * program, whose start-up also loads FFmpeg's libraries for its media input.
 *
 *   analyze_file FILE.wav
 */
#include <silsplit.h>

#include <stdio.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: analyze_file FILE.wav\n");
        return 2;
    }
    char *report = silsplit_analyze(argv[1], NULL);
    if (!report) {
        fprintf(stderr, "analyze_file: %s: %s\n", argv[1], silsplit_last_error());
        return 1;
    }
    puts(report);
    silsplit_free_string(report);
    return 0;
}
