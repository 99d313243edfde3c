/* gen_wav: writes a deterministic speech-like test recording as a PCM WAV.
 *
 *   gen_wav SECONDS RATE CHANNELS BITS OUT.wav [SEED]
 *
 * BITS is 16 or 24. The same arguments always give the same bytes. */
#include "speech_signal.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void put_u16(unsigned char *p, unsigned v) {
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
}

static void put_u32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
    p[2] = (unsigned char)((v >> 16) & 0xFF);
    p[3] = (unsigned char)((v >> 24) & 0xFF);
}

static int usage(void) {
    fprintf(stderr, "usage: gen_wav SECONDS RATE CHANNELS BITS(16|24) OUT.wav [SEED]\n");
    return 2;
}

int main(int argc, char **argv) {
    if (argc != 6 && argc != 7)
        return usage();
    char *end;
    double seconds = strtod(argv[1], &end);
    if (*end || !(seconds > 0.0))
        return usage();
    long rate = strtol(argv[2], &end, 10);
    if (*end || rate < 1000 || rate > 768000)
        return usage();
    long channels = strtol(argv[3], &end, 10);
    if (*end || channels < 1 || channels > 16)
        return usage();
    long bits = strtol(argv[4], &end, 10);
    if (*end || (bits != 16 && bits != 24))
        return usage();
    uint64_t seed = SPEECH_DEFAULT_SEED;
    if (argc == 7) {
        seed = strtoull(argv[6], &end, 0);
        if (*end)
            return usage();
    }

    const unsigned bytes = (unsigned)bits / 8;
    const unsigned frame_bytes = bytes * (unsigned)channels;
    const double frames_d = floor(seconds * (double)rate);
    if (frames_d * frame_bytes > 4294967295.0 - 36.0) {
        fprintf(stderr, "gen_wav: too long for a WAV file\n");
        return 1;
    }
    const uint64_t frames = (uint64_t)frames_d;
    const uint32_t data_bytes = (uint32_t)(frames * frame_bytes);

    FILE *f = fopen(argv[5], "wb");
    if (!f) {
        fprintf(stderr, "gen_wav: %s: %s\n", argv[5], strerror(errno));
        return 1;
    }

    unsigned char hdr[44];
    memcpy(hdr, "RIFF", 4);
    put_u32(hdr + 4, 36u + data_bytes);
    memcpy(hdr + 8, "WAVE", 4);
    memcpy(hdr + 12, "fmt ", 4);
    put_u32(hdr + 16, 16);
    put_u16(hdr + 20, 1); /* PCM */
    put_u16(hdr + 22, (unsigned)channels);
    put_u32(hdr + 24, (uint32_t)rate);
    put_u32(hdr + 28, (uint32_t)rate * frame_bytes);
    put_u16(hdr + 32, frame_bytes);
    put_u16(hdr + 34, (unsigned)bits);
    memcpy(hdr + 36, "data", 4);
    put_u32(hdr + 40, data_bytes);
    int ok = fwrite(hdr, 1, sizeof hdr, f) == sizeof hdr;

    speech_gen g;
    speech_init(&g, (double)rate, seed);
    /* Independent low noise for the channels after the first, so that they
     * differ a little, as in a real recording. */
    speech_gen side;
    speech_init(&side, (double)rate, seed ^ 0x9E3779B97F4A7C15ull);

    enum { BUF_BYTES = 1 << 20 };
    unsigned char *buf = (unsigned char *)malloc(BUF_BYTES);
    if (!buf) {
        fprintf(stderr, "gen_wav: out of memory\n");
        fclose(f);
        return 1;
    }
    const float full = bits == 16 ? 32767.0f : 8388607.0f;
    const size_t per_buf = BUF_BYTES / frame_bytes;
    uint64_t done = 0;
    while (ok && done < frames) {
        size_t n = (size_t)(frames - done < per_buf ? frames - done : per_buf);
        unsigned char *p = buf;
        for (size_t i = 0; i < n; i++) {
            float s = speech_sample(&g);
            for (long c = 0; c < channels; c++) {
                float v = s;
                if (c > 0)
                    v = s * (1.0f - 0.05f * (float)c) + SPEECH_PAUSE_GAIN * speech_noise(&side);
                float q = v * full;
                q = q >= 0.0f ? q + 0.5f : q - 0.5f;
                if (q > full)
                    q = full;
                if (q < -full - 1.0f)
                    q = -full - 1.0f;
                int32_t x = (int32_t)q;
                uint32_t u = (uint32_t)x;
                p[0] = (unsigned char)(u & 0xFF);
                p[1] = (unsigned char)((u >> 8) & 0xFF);
                if (bytes == 3)
                    p[2] = (unsigned char)((u >> 16) & 0xFF);
                p += bytes;
            }
        }
        ok = fwrite(buf, 1, (size_t)(p - buf), f) == (size_t)(p - buf);
        done += n;
    }
    free(buf);
    if (fclose(f) != 0)
        ok = 0;
    if (!ok) {
        fprintf(stderr, "gen_wav: %s: write failed\n", argv[5]);
        remove(argv[5]);
        return 1;
    }
    return 0;
}
