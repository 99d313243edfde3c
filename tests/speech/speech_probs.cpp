// Prints the speech model's probability for each window of a raw file of
// 16 kHz mono float32 (little-endian) samples, one per line, the samples
// pushed in blocks of the given size (4096 when not given).
//
//     speech_probs samples.f32 [block]
#include "speech_model.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: speech_probs samples.f32 [block]\n");
        return 2;
    }
    const long block = argc == 3 ? strtol(argv[2], nullptr, 10) : 4096;
    FILE *f = fopen(argv[1], "rb");
    if (!f || block < 1) {
        fprintf(stderr, "speech_probs: cannot read %s\n", argv[1]);
        return 1;
    }
    sil_speech_stage s;
    if (sil_speech_init(&s) != 0) {
        fprintf(stderr, "speech_probs: %s\n", sil_get_error());
        return 1;
    }
    std::vector<float> buf((size_t)block);
    size_t got;
    int rc = 0;
    while (rc == 0 && (got = fread(buf.data(), sizeof(float), buf.size(), f)) > 0)
        rc = sil_speech_push(&s, buf.data(), got);
    fclose(f);
    if (rc == 0)
        rc = sil_speech_finish(&s);
    if (rc != 0) {
        fprintf(stderr, "speech_probs: %s\n", sil_get_error());
        sil_speech_free(&s);
        return 1;
    }
    for (int64_t k = 0; k < s.count; k++)
        printf("%.9g\n", (double)s.probs[k]);
    sil_speech_free(&s);
    return 0;
}
