/* read_floor: the least any reader of a whole WAV file into memory can do.
 * Allocates the file's size, reads the file with one fread, touches every
 * page of the block and frees it. compare.sh times it beside silsplit.
 *
 *   read_floor FILE */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: read_floor FILE\n");
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    struct stat st;
    if (!f || fstat(fileno(f), &st) != 0) {
        fprintf(stderr, "read_floor: %s: %s\n", argv[1], strerror(errno));
        if (f)
            fclose(f);
        return 1;
    }
    size_t size = (size_t)st.st_size;
    unsigned char *block = (unsigned char *)malloc(size ? size : 1);
    if (!block) {
        fprintf(stderr, "read_floor: out of memory\n");
        fclose(f);
        return 1;
    }
    size_t got = fread(block, 1, size, f);
    fclose(f);
    if (got != size) {
        fprintf(stderr, "read_floor: %s: short read\n", argv[1]);
        free(block);
        return 1;
    }
    /* One byte of every page, into a sum the compiler must keep. */
    volatile unsigned sink = 0;
    unsigned sum = 0;
    for (size_t i = 0; i < size; i += 4096)
        sum += block[i];
    sink = sum;
    (void)sink;
    free(block);
    return 0;
}
