/* A deterministic, speech-like test signal shared by gen_wav and the stage
 * benchmarks: bursts of 2 to 30 s of voiced, syllable-shaped sound around
 * -20 dBFS RMS, separated by pauses of 0.2 to 4 s of noise around -70 dBFS,
 * all from a fixed seed. Plain C that also compiles as C++. */
#ifndef SILSPLIT_BENCH_SPEECH_SIGNAL_H
#define SILSPLIT_BENCH_SPEECH_SIGNAL_H

#include <stdint.h>

#define SPEECH_DEFAULT_SEED 0x5EED2024u

typedef struct speech_gen {
    uint64_t rng;
    double rate;
    int in_burst;       /* 1 inside a burst, 0 inside a pause */
    int64_t seg_left;   /* samples left in the current burst or pause */
    int64_t syl_left;   /* samples left in the current syllable */
    float env;          /* smoothed syllable envelope */
    float env_target;
    float env_coef;     /* one-pole smoothing of the envelope */
    float phase;        /* voiced oscillator phase in [-1, 1) */
    float phase_step;
    float lp;           /* low-passed noise (the unvoiced part) */
} speech_gen;

static inline uint64_t speech_next(speech_gen *g) {
    /* xorshift64* */
    uint64_t x = g->rng;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    g->rng = x;
    return x * 0x2545F4914F6CDD1Dull;
}

/* Uniform in [0, 1). */
static inline double speech_unit(speech_gen *g) {
    return (double)(speech_next(g) >> 11) * (1.0 / 9007199254740992.0);
}

/* Uniform in [-1, 1), cheap: 24 random bits. */
static inline float speech_noise(speech_gen *g) {
    return (float)(int32_t)(speech_next(g) >> 40) * (1.0f / 8388608.0f) - 1.0f;
}

static inline void speech_new_syllable(speech_gen *g) {
    double u = speech_unit(g);
    if (u < 0.2) {
        /* a short dip between words */
        g->env_target = 0.15f;
        g->syl_left = (int64_t)(g->rate * (0.03 + 0.07 * speech_unit(g)));
    } else {
        g->env_target = (float)(0.4 + 0.6 * speech_unit(g));
        g->syl_left = (int64_t)(g->rate * (0.08 + 0.22 * speech_unit(g)));
        /* pitch of the voiced part: 90 to 230 Hz */
        g->phase_step = (float)(2.0 * (90.0 + 140.0 * speech_unit(g)) / g->rate);
    }
    if (g->syl_left < 1)
        g->syl_left = 1;
}

static inline void speech_new_segment(speech_gen *g) {
    g->in_burst = !g->in_burst;
    double secs = g->in_burst ? 2.0 + 28.0 * speech_unit(g) : 0.2 + 3.8 * speech_unit(g);
    g->seg_left = (int64_t)(secs * g->rate);
    if (g->seg_left < 1)
        g->seg_left = 1;
    g->syl_left = 0;
}

static inline void speech_init(speech_gen *g, double rate, uint64_t seed) {
    g->rng = seed ? seed : 1;
    g->rate = rate;
    g->in_burst = 1; /* the first segment is a pause */
    g->seg_left = 0;
    g->syl_left = 0;
    g->env = 0.0f;
    g->env_target = 0.0f;
    /* about 15 ms to follow a new syllable level */
    g->env_coef = (float)(1.0 / (0.015 * rate));
    if (g->env_coef > 1.0f)
        g->env_coef = 1.0f;
    g->phase = 0.0f;
    g->phase_step = (float)(2.0 * 150.0 / rate);
    g->lp = 0.0f;
    speech_new_segment(g);
}

/* Gains that put a burst near -20 dBFS RMS and a pause near -70 dBFS RMS
 * (uniform noise in [-1, 1) has an RMS of 1/sqrt(3)). */
#define SPEECH_BURST_GAIN 0.31f
#define SPEECH_PAUSE_GAIN 0.000548f

/* Next mono sample in [-1, 1). */
static inline float speech_sample(speech_gen *g) {
    if (g->seg_left <= 0)
        speech_new_segment(g);
    g->seg_left--;
    float n = speech_noise(g);
    if (!g->in_burst)
        return SPEECH_PAUSE_GAIN * n;
    if (g->syl_left <= 0)
        speech_new_syllable(g);
    g->syl_left--;
    g->env += (g->env_target - g->env) * g->env_coef;
    g->phase += g->phase_step;
    if (g->phase >= 1.0f)
        g->phase -= 2.0f;
    g->lp += 0.3f * (n - g->lp);
    float s = 0.6f * g->phase + 0.8f * g->lp;
    return SPEECH_BURST_GAIN * g->env * s;
}

#endif /* SILSPLIT_BENCH_SPEECH_SIGNAL_H */
