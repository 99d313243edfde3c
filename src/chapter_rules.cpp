// Chapter rules on the level curve beyond the fixed-threshold scan: a
// threshold taken from the recording's own levels (following a noise floor
// that drifts), the quiet stretches between sounds ranked by strength, long
// chapters cut at their best pause, a fixed chapter count, and chapters that
// cover the whole recording; and with speech, pauses that are the stretches
// without speech, whatever their level. Without any of these options the
// chapters are those of sil_chapters_from_levels, untouched.
#include "chapter_rules.h"

#include "chapter_marks.h"
#include "report.h"
#include "silence_scan.h"
#include "speech_model.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr float SILENCE_DB = -120.0f;
constexpr float ONSET_MARGIN_DB = SIL_ONSET_MARGIN_DB;

// Threshold from the levels: the curve is taken in blocks of 5 s; a block's
// noise floor is its 10th percentile, and the floor at a block is the lowest
// of those within 20 s on either side (a stretch of 45 s always holds some
// pause in speech, while a block may be all speech).
constexpr int32_t BLOCK_FRAMES = 500;
constexpr int32_t FLOOR_REACH_BLOCKS = 4;
constexpr double FLOOR_QUANTILE = 0.10;
// A block whose levels all lie within MIN_SPREAD_DB of its 10th percentile
// (up to its 98th) holds no pause: it is material (music, speech without
// pauses, a long noise), and its floor climbs at most this much per block
// over the floor of the blocks around it, so a long loud stretch keeps the
// floor of the quiet around it instead of becoming the floor.
constexpr float FLOOR_CLIMB_DB_PER_BLOCK = 0.3f;
// The speech level is the 98th percentile of the levels above the floor.
constexpr double SPEECH_QUANTILE = 0.98;
// Below this distance between floor and speech the recording is taken as
// one population (all noise, or all sound): nothing is split on it.
constexpr float MIN_SPREAD_DB = 15.0f;
// The threshold sits this share of the way from the floor to the speech
// level, at least 6 dB over the floor (noise frames spread about it) and at
// most 15 dB (deep pauses need not be that deep).
constexpr float THRESHOLD_SHARE = 0.3f;
constexpr float MIN_ABOVE_FLOOR_DB = 6.0f;
constexpr float MAX_ABOVE_FLOOR_DB = 15.0f;
// A threshold whose blocks stay within this range is reported and used as
// one value.
constexpr float STEADY_RANGE_DB = 1.0f;
// A pause's extent runs over the frames this far under the threshold, on
// the way to the floor (hysteresis): a word's quiet ending between the two
// stays in the sound and does not lengthen the pause. Not further down, so
// a room's reverberation decaying into digital silence still ends a sound.
constexpr float NEAR_FLOOR_DB = 3.0f;

// Shortest quiet stretch that counts as a pause for the report and the
// chapter count; cut_at_pause takes any quiet frame.
constexpr int32_t PAUSE_MIN_FRAMES = 10;
// Longest blip a quiet stretch goes on over.
constexpr int32_t BRIDGE_FRAMES = 10;

// auto: a click (an impulse of a few milliseconds) lights at most this many
// 20 ms frames; a quiet stretch goes on over one when the frames within
// CLICK_REACH_FRAMES of it are at most CLICK_SHARE not quiet (clicks, not
// the start of a word).
constexpr int32_t CLICK_FRAMES = 4;
constexpr int32_t CLICK_REACH_FRAMES = 25;
constexpr double CLICK_SHARE = 0.3;
// auto's pause scale: the widest ratio between two neighbouring pause
// lengths (in length order) above BREAK_MIN_FRAMES splits sentence pauses
// from chapter pauses when it is at least BREAK_MIN_RATIO; without one only
// the pauses within NO_BREAK_SHARE of the longest end chapters.
constexpr int32_t BREAK_MIN_FRAMES = 60;
constexpr double BREAK_MIN_RATIO = 1.4;
constexpr double NO_BREAK_SHARE = 0.8;
// Without a clear break, a pause of NO_BREAK_CAP_FRAMES or more ends a
// chapter whatever the longest one (a tape side whose only pauses are the
// gaps between its tracks, all of 2.5 to 4.5 s).
constexpr int32_t NO_BREAK_CAP_FRAMES = 200;

// speech: a 32 ms window whose probability is at least SPEECH_ON starts
// speech, which goes on until a window under SPEECH_OFF (the hysteresis keeps
// the dips inside a word in it); a stretch without speech of fewer than
// SPEECH_GAP_MIN windows between speech belongs to the speech around it.
constexpr float SPEECH_ON = 0.5f;
constexpr float SPEECH_OFF = 0.35f;
constexpr int64_t SPEECH_GAP_MIN = 3;
// The curve the rules read with speech, under a threshold of 0: a speech
// frame is SPEECH_LOUD_DB over it (a sound opens there), a frame without
// speech SPEECH_DEPTH_DB x (1 - p) under it, so that a pause's depth in the
// ranks is how surely it holds no speech (999 tenths at p = 0).
constexpr float SPEECH_LOUD_DB = 100.0f;
constexpr float SPEECH_DEPTH_DB = 99.9f;
// auto decides about speech: the recording holds speech when at least
// SPEECH_SHARE of its frames over the threshold lie in windows the model
// calls speech (SPEECH_ON), and those are at least SPEECH_MIN_FRAMES.
// Narration, under a bed or stings included, scores over 0.9; music and
// tones near 0; a radio show of talk and songs about 0.4.
constexpr double SPEECH_SHARE = 0.1;
constexpr int32_t SPEECH_MIN_FRAMES = 500;
// auto with speech: a pause is a stretch without speech of at least this
// many frames unless the stretches' own lengths show a clearer break
// between SPEECH_BREAK_LOW and SPEECH_BREAK_HIGH frames.
constexpr int32_t SPEECH_SCALE_FRAMES = 150;
constexpr int32_t SPEECH_BREAK_LOW = 80;
constexpr int32_t SPEECH_BREAK_HIGH = 250;
// auto with speech: a stretch without speech of at least MATERIAL_FRAMES
// that holds a quiet run of at least MATERIAL_QUIET_FRAMES under the level
// threshold is material of its own (music between talk): its sounding
// frames count as sound, so the quiet runs around and between the pieces
// are the pauses, and music breaks are kept beside the speech ones.
constexpr int32_t MATERIAL_FRAMES = 1000;
constexpr int32_t MATERIAL_QUIET_FRAMES = 100;
// auto with speech: speech of at most SPEECH_BLIP_FRAMES between stretches
// without speech is a blip of the model (a sting's note, a click), no word.
constexpr int32_t SPEECH_BLIP_FRAMES = 10;

// A stretch of sound or a chapter under construction, in seconds; the peak
// is filled in at the end.
using stretch = sil_chapter;

inline int64_t strength(const sil_pause &p) { return sil_pause_strength(p); }
inline float frame_time(int32_t k) { return sil_frame_time(k); }

// With speech: the level curve and its thresholds, which place the cuts
// inside the gaps without speech, and the model's probabilities.
struct speech_view {
    const float *level;
    const float *thr;
    int32_t frames;
    const float *p; // one per 32 ms window of the 16 kHz signal
    int64_t n_p;
};

} // namespace

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

template <typename T> static T *alloc_array(size_t n) { return sil_alloc_array<T>(n); }

// A level fit for statistics: NaN and anything under the floor read -120.
static inline float clean_level(float v) {
    if (!(v > SILENCE_DB))
        return SILENCE_DB;
    return v > 999.0f ? 999.0f : v;
}

// The q-quantile (0..1) of n values, reordering them.
static float quantile(float *v, size_t n, double q) {
    size_t k = (size_t)(q * (double)(n - 1) + 0.5);
    if (k >= n)
        k = n - 1;
    std::nth_element(v, v + k, v + n);
    return v[k];
}

static inline float round_tenth(float db) { return (float)(std::round((double)db * 10.0) / 10.0); }

// The first frame at or after t seconds (times are multiples of the hop or
// halfway between two).
static int32_t frame_at(float t, int32_t frames) {
    const double k = std::floor((double)t * 100.0 + 0.5);
    if (!(k > 0.0))
        return 0;
    return k > (double)frames ? frames : (int32_t)k;
}

// Highest level of the frames a chapter covers (at least one frame).
static float peak_of(const float *level, int32_t frames, float t0, float t1) {
    int32_t a = frame_at(t0, frames);
    int32_t b = frame_at(t1, frames);
    if (a >= frames)
        a = frames - 1;
    if (b <= a)
        b = a + 1;
    float peak = SILENCE_DB;
    for (int32_t k = a; k < b; k++)
        if (level[k] > peak) // NaN never wins
            peak = level[k];
    return peak;
}

// ---------------------------------------------------------------------------
// Threshold from the level curve
// ---------------------------------------------------------------------------

// Fills thr[0..frames) with the threshold of each frame: the fixed option,
// or with auto_threshold the one found from the curve, which then goes into
// the extras (its median, and its points over time when it varies). When
// the threshold comes from a floor, near[0..frames) receives the level near
// the floor that bounds pauses and *has_near is set.
static int fill_thresholds(const float *level, int32_t frames, const sil_opts *opts, float *thr,
                           float *near, bool *has_near, sil_report_extras *extras) {
    *has_near = false;
    float fixed = opts->threshold_db;
    if (!opts->auto_threshold || frames == 0) {
        for (int32_t k = 0; k < frames; k++)
            thr[k] = fixed;
        if (opts->auto_threshold && extras) {
            extras->has_threshold = true;
            extras->threshold_db = fixed;
        }
        return 0;
    }

    const int32_t n_blocks = (frames + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
    sil_heap_ptr<float> work(alloc_array<float>((size_t)frames));
    sil_heap_ptr<float> block_low(alloc_array<float>((size_t)n_blocks));
    sil_heap_ptr<float> floor_db(alloc_array<float>((size_t)n_blocks));
    sil_heap_ptr<unsigned char> material(alloc_array<unsigned char>((size_t)n_blocks));
    if (!work || !block_low || !floor_db || !material) {
        sil_fail_memory();
        return -1;
    }
    float *w = work.get();
    for (int32_t k = 0; k < frames; k++)
        w[k] = clean_level(level[k]);
    for (int32_t b = 0; b < n_blocks; b++) {
        const int32_t a = b * BLOCK_FRAMES;
        const int32_t e = std::min(frames, a + BLOCK_FRAMES);
        block_low.get()[b] = quantile(w + a, (size_t)(e - a), FLOOR_QUANTILE);
        const float high = quantile(w + a, (size_t)(e - a), SPEECH_QUANTILE);
        material.get()[b] = high - block_low.get()[b] < MIN_SPREAD_DB ? 1 : 0;
    }
    for (int32_t b = 0; b < n_blocks; b++) {
        float lo = block_low.get()[b];
        for (int32_t j = std::max(0, b - FLOOR_REACH_BLOCKS);
             j <= std::min(n_blocks - 1, b + FLOOR_REACH_BLOCKS); j++)
            lo = std::min(lo, block_low.get()[j]);
        floor_db.get()[b] = lo;
    }
    float *f = floor_db.get();
    // auto (without an auto_threshold key) holds every block's floor to its
    // neighbours' plus the climb: a quiet passage far inside a piece of
    // music, whose own low levels stand over the hiss, is not a floor.
    if (opts->auto_detect && !sil_option_given(opts, "auto_threshold"))
        memset(material.get(), 1, (size_t)n_blocks);
    for (int32_t b = 1; b < n_blocks; b++)
        if (material.get()[b])
            f[b] = std::min(f[b], f[b - 1] + FLOOR_CLIMB_DB_PER_BLOCK);
    for (int32_t b = n_blocks - 2; b >= 0; b--)
        if (material.get()[b])
            f[b] = std::min(f[b], f[b + 1] + FLOOR_CLIMB_DB_PER_BLOCK);

    // Levels above the local floor; their high quantile is the speech level.
    for (int32_t k = 0; k < frames; k++)
        w[k] = clean_level(level[k]) - floor_db.get()[k / BLOCK_FRAMES];
    const float spread = quantile(w, (size_t)frames, SPEECH_QUANTILE);

    if (!(spread >= MIN_SPREAD_DB)) {
        // One population: keep the threshold out of it, on the side the
        // fixed threshold puts most of it, so its ripples split nothing.
        for (int32_t k = 0; k < frames; k++)
            w[k] = clean_level(level[k]);
        const float median = quantile(w, (size_t)frames, 0.5);
        const float low = quantile(w, (size_t)frames, 0.01);
        const float high = *std::max_element(w, w + frames);
        if (median < fixed)
            fixed = std::max(fixed, high + 3.0f - ONSET_MARGIN_DB); // no frame opens a sound
        else
            fixed = std::min(fixed, low - 3.0f); // hardly a frame is quiet
        fixed = round_tenth(fixed);
        for (int32_t k = 0; k < frames; k++)
            thr[k] = fixed;
        if (extras) {
            extras->has_threshold = true;
            extras->threshold_db = fixed;
        }
        return 0;
    }

    const float above = std::min(MAX_ABOVE_FLOOR_DB, std::max(MIN_ABOVE_FLOOR_DB,
                                                              THRESHOLD_SHARE * spread));
    // Block thresholds to 0.1 dB, so the report holds exactly what was used.
    float *block_thr = block_low.get();
    float lo = 0.0f, hi = 0.0f;
    for (int32_t b = 0; b < n_blocks; b++) {
        block_thr[b] = round_tenth(floor_db.get()[b] + above);
        lo = b == 0 ? block_thr[b] : std::min(lo, block_thr[b]);
        hi = b == 0 ? block_thr[b] : std::max(hi, block_thr[b]);
    }
    memcpy(floor_db.get(), block_thr, (size_t)n_blocks * sizeof(float));
    const float median = quantile(floor_db.get(), (size_t)n_blocks, 0.5);
    const float near_below = std::min(NEAR_FLOOR_DB, 0.5f * above);
    *has_near = true;

    if (hi - lo <= STEADY_RANGE_DB) {
        for (int32_t k = 0; k < frames; k++) {
            thr[k] = median;
            near[k] = median - near_below;
        }
        if (extras) {
            extras->has_threshold = true;
            extras->threshold_db = median;
        }
        return 0;
    }

    // Straight lines between the block centres; level before the first and
    // after the last.
    const int32_t half = BLOCK_FRAMES / 2;
    for (int32_t k = 0; k < frames; k++) {
        const int32_t b = (k - half) / BLOCK_FRAMES; // the centre at or before k
        if (k < half || b >= n_blocks - 1) {
            thr[k] = block_thr[k < half ? 0 : n_blocks - 1];
            continue;
        }
        const float f = (float)(k - half - b * BLOCK_FRAMES) / (float)BLOCK_FRAMES;
        thr[k] = block_thr[b] + (block_thr[b + 1] - block_thr[b]) * f;
    }
    for (int32_t k = 0; k < frames; k++)
        near[k] = thr[k] - near_below;
    if (extras) {
        sil_point *track = alloc_array<sil_point>((size_t)n_blocks);
        if (!track) {
            sil_fail_memory();
            return -1;
        }
        for (int32_t b = 0; b < n_blocks; b++)
            track[b] = sil_point{frame_time(b * BLOCK_FRAMES + half), block_thr[b]};
        extras->has_threshold = true;
        extras->threshold_db = median;
        extras->track = track;
        extras->n_track = n_blocks;
    }
    return 0;
}

static int find_pauses(const float *level, const float *thr, const float *near, int32_t frames,
                       int32_t min_frames, sil_pause **out, int32_t *out_n);

// ---------------------------------------------------------------------------
// auto: clicks and the pause scale
// ---------------------------------------------------------------------------

// The curve auto reads: level, with every stretch that is not quiet but lies
// between quiet frames taken as quiet when it is a blip find_pauses goes on
// over (at most BRIDGE_FRAMES, nothing loud) or a click (at most
// CLICK_FRAMES among few others that are not quiet). Such a stretch takes the
// lower of the quiet levels on its two sides. 0, or -1 with "out of memory".
static int quiet_through_clicks(const float *level, const float *thr, int32_t frames,
                                float *out) {
    sil_heap_ptr<int32_t> loud_before(alloc_array<int32_t>((size_t)frames + 1));
    if (!loud_before) {
        sil_fail_memory();
        return -1;
    }
    int32_t *cum = loud_before.get(); // frames not quiet before k
    cum[0] = 0;
    for (int32_t k = 0; k < frames; k++) {
        out[k] = level[k];
        cum[k + 1] = cum[k] + (level[k] < thr[k] ? 0 : 1);
    }
    int32_t k = 0;
    while (k < frames) {
        if (level[k] < thr[k]) {
            k++;
            continue;
        }
        const int32_t a = k;
        bool loud = false;
        while (k < frames && !(level[k] < thr[k])) {
            loud = loud || level[k] > ONSET_MARGIN_DB + thr[k];
            k++;
        }
        if (a == 0 || k == frames)
            continue; // the run must lie between quiet frames
        const int32_t len = k - a;
        bool quiet = !loud && len <= BRIDGE_FRAMES;
        if (!quiet && len <= CLICK_FRAMES) {
            const int32_t lo = std::max(0, a - CLICK_REACH_FRAMES);
            const int32_t hi = std::min(frames, k + CLICK_REACH_FRAMES);
            quiet = (double)(cum[hi] - cum[lo]) <= CLICK_SHARE * (double)(hi - lo);
        }
        if (!quiet)
            continue;
        const float side = std::min(level[a - 1], level[k]);
        for (int32_t j = a; j < k; j++)
            out[j] = std::min(side, thr[j] - 0.1f);
    }
    return 0;
}

// What auto takes for min_silence_s.
struct pause_scale {
    float min_silence_s;
    sil_pause_scale_kind kind;
};

// The pause scale of a curve: among the quiet stretches between sounds
// (pauses of at least PAUSE_MIN_FRAMES), the widest ratio between two
// neighbouring lengths in length order (the longer at least
// BREAK_MIN_FRAMES) marks the break between sentence and chapter pauses,
// and the scale is the geometric middle of the break. Without a clear break
// it keeps the longest pauses only; without pauses it is fallback.
static int find_pause_scale(const float *level, const float *thr, const float *near,
                            int32_t frames, float fallback, pause_scale *out) {
    *out = pause_scale{fallback, SIL_PAUSE_SCALE_NO_PAUSE};
    sil_pause *raw = nullptr;
    int32_t n = 0;
    if (find_pauses(level, thr, near, frames, PAUSE_MIN_FRAMES, &raw, &n) != 0)
        return -1;
    sil_heap_ptr<sil_pause> pauses(raw);
    if (n == 0)
        return 0;
    sil_heap_ptr<int32_t> lengths(alloc_array<int32_t>((size_t)n));
    if (!lengths) {
        sil_fail_memory();
        return -1;
    }
    int32_t *len = lengths.get();
    for (int32_t i = 0; i < n; i++)
        len[i] = pauses.get()[i].end - pauses.get()[i].first;
    std::sort(len, len + n);
    double best = 0.0;
    int32_t split = -1; // the break lies between len[split] and len[split + 1]
    for (int32_t i = 0; i + 1 < n; i++) {
        if (len[i + 1] < BREAK_MIN_FRAMES)
            continue;
        const double ratio = (double)len[i + 1] / (double)len[i];
        if (ratio > best) { // ties to the shorter break
            best = ratio;
            split = i;
        }
    }
    if (split >= 0 && best >= BREAK_MIN_RATIO) {
        // A run of this many frames ends a sound: every pause above the
        // break, none below it.
        const double mid = std::sqrt((double)len[split] * (double)len[split + 1]);
        const int32_t run = std::max(len[split] + 1, std::min(len[split + 1], (int32_t)mid));
        *out = pause_scale{(float)run / 100.0f, SIL_PAUSE_SCALE_BREAK};
        return 0;
    }
    const int32_t longest = len[n - 1];
    const int32_t run = std::max(
        PAUSE_MIN_FRAMES,
        std::min(NO_BREAK_CAP_FRAMES, (int32_t)(NO_BREAK_SHARE * (double)longest)));
    *out = pause_scale{(float)run / 100.0f, SIL_PAUSE_SCALE_LONGEST_ONLY};
    return 0;
}

// ---------------------------------------------------------------------------
// Pauses
// ---------------------------------------------------------------------------

// Every quiet stretch with sound on both sides and at least min_frames
// frames, in time order. A stretch goes on over a blip of at most
// BRIDGE_FRAMES frames that are not quiet but hold no loud frame (noise
// rising over the threshold for a moment, not a sound). With near (may be
// NULL) a stretch runs from its first frame under near to its last, and one
// without such a frame is no pause. 0 and a heap array (NULL when none), or
// -1.
static int find_pauses(const float *level, const float *thr, const float *near, int32_t frames,
                       int32_t min_frames, sil_pause **out, int32_t *out_n) {
    *out = nullptr;
    *out_n = 0;
    int32_t count = 0;
    for (int pass = 0; pass < 2; pass++) {
        sil_pause *list = pass ? *out : nullptr;
        count = 0;
        int32_t k = 0;
        while (k < frames) {
            if (!(level[k] < thr[k])) {
                k++;
                continue;
            }
            const int32_t first = k;
            double sum_level = 0.0, sum_depth = 0.0;
            for (;;) {
                while (k < frames && level[k] < thr[k]) {
                    sum_level += (double)level[k];
                    sum_depth += (double)thr[k] - (double)level[k];
                    k++;
                }
                // A blip: quiet again within BRIDGE_FRAMES, nothing loud.
                int32_t j = k;
                while (j < frames && j - k < BRIDGE_FRAMES && !(level[j] < thr[j]) &&
                       !(level[j] > ONSET_MARGIN_DB + thr[j]))
                    j++;
                if (j == k || j >= frames || !(level[j] < thr[j]))
                    break;
                for (; k < j; k++) {
                    sum_level += (double)clean_level(level[k]);
                    sum_depth += (double)thr[k] - (double)clean_level(level[k]);
                }
            }
            if (first == 0 || k == frames)
                continue;
            int32_t a = first, e = k;
            if (near) {
                while (a < e && !(level[a] < near[a]))
                    a++;
                while (e > a && !(level[e - 1] < near[e - 1]))
                    e--;
                if (e - a < min_frames)
                    continue;
                if (list) {
                    sum_level = sum_depth = 0.0;
                    for (int32_t j = a; j < e; j++) {
                        sum_level += (double)clean_level(level[j]);
                        sum_depth += (double)thr[j] - (double)clean_level(level[j]);
                    }
                }
            }
            if (e - a < min_frames)
                continue;
            if (list) {
                const double n = (double)(e - a);
                const double depth = std::round(sum_depth / n * 10.0);
                list[count] = sil_pause{a, e, (float)(sum_level / n),
                                        (int32_t)std::min(999.0, std::max(0.0, depth)), 0,
                                        sil_pause_middle(a, e), -1.0f, -1.0f};
            }
            count++;
        }
        if (pass == 0) {
            if (count == 0)
                return 0;
            *out = alloc_array<sil_pause>((size_t)count);
            if (!*out) {
                sil_fail_memory();
                return -1;
            }
        }
    }
    *out_n = count;
    return 0;
}

// Sets each pause's rank: 1 for the strongest, ties to the earlier one.
static int rank_pauses(sil_pause *p, int32_t n);

// Each pause's confidence against the pause scale min_silence_s.
static void rate_pauses(sil_pause *p, int32_t n, float min_silence_s) {
    for (int32_t i = 0; i < n; i++)
        p[i].confidence = sil_pause_confidence(p[i].end - p[i].first, p[i].depth_tenths,
                                               min_silence_s);
}

// The confidence of each boundary between neighbouring chapters, handed to
// extras: that of the quiet stretch (between sounds, of any length) holding
// the middle of the gap between the two chapters, 0 when none holds it (a
// cut through sound). 0, or -1 with "out of memory".
static int report_boundaries(const float *level, const float *thr, const float *near,
                             int32_t frames, const sil_chapter *c, size_t count,
                             float min_silence_s, sil_report_extras *extras) {
    const size_t n = count > 1 ? count - 1 : 0;
    sil_pause *raw = nullptr;
    int32_t n_quiet = 0;
    if (n > 0 && find_pauses(level, thr, near, frames, 1, &raw, &n_quiet) != 0)
        return -1;
    sil_heap_ptr<sil_pause> quiet(raw);
    sil_heap_ptr<sil_point> points(alloc_array<sil_point>(n ? n : 1));
    if (!points) {
        sil_fail_memory();
        return -1;
    }
    int32_t q = 0;
    for (size_t i = 0; i < n; i++) {
        const float t = (c[i].t1 + c[i + 1].t0) * 0.5f;
        while (q < n_quiet && frame_time(quiet.get()[q].end) < t)
            q++;
        float conf = 0.0f;
        if (q < n_quiet && frame_time(quiet.get()[q].first) <= t) {
            const sil_pause &p = quiet.get()[q];
            conf = sil_pause_confidence(p.end - p.first, p.depth_tenths, min_silence_s);
        }
        points.get()[i] = sil_point{t, conf};
    }
    extras->has_boundaries = true;
    extras->boundaries = points.release();
    extras->n_boundaries = (int32_t)n;
    return 0;
}

// The ranked pauses of the curve under thr, handed to extras.
static int report_pauses(const float *level, const float *thr, int32_t frames,
                         float min_silence_s, sil_report_extras *extras) {
    const float *near = nullptr;
    sil_pause *raw = nullptr;
    int32_t n = 0;
    if (find_pauses(level, thr, near, frames, PAUSE_MIN_FRAMES, &raw, &n) != 0)
        return -1;
    sil_heap_ptr<sil_pause> pauses(raw);
    if (pauses && rank_pauses(pauses.get(), n) != 0)
        return -1;
    rate_pauses(pauses.get(), n, min_silence_s);
    extras->has_pauses = true;
    extras->pauses = pauses.release();
    extras->n_pauses = n;
    return 0;
}

// The pauses' indices, strongest first (ties to the earlier one), in order.
static int order_by_strength(const sil_pause *p, int32_t n, sil_heap_ptr<int32_t> &order) {
    order.reset(alloc_array<int32_t>((size_t)n));
    if (!order) {
        sil_fail_memory();
        return -1;
    }
    int32_t *o = order.get();
    for (int32_t i = 0; i < n; i++)
        o[i] = i;
    std::sort(o, o + n, [p](int32_t a, int32_t b) {
        const int64_t sa = strength(p[a]), sb = strength(p[b]);
        return sa != sb ? sa > sb : a < b;
    });
    return 0;
}

static int rank_pauses(sil_pause *p, int32_t n) {
    sil_heap_ptr<int32_t> order;
    if (order_by_strength(p, n, order) != 0)
        return -1;
    for (int32_t r = 0; r < n; r++)
        p[order.get()[r]].rank = r + 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Speech
// ---------------------------------------------------------------------------

// A probability fit for the rules: NaN reads 0.
static inline float clean_p(float p) { return p > 0.0f ? (p < 1.0f ? p : 1.0f) : 0.0f; }

// The model's window that holds the middle of level frame k's hop.
static inline int64_t speech_window(int32_t k, int64_t n_p) {
    const int64_t j = ((int64_t)k * SIL_HOP + SIL_HOP / 2) / SIL_SPEECH_WINDOW;
    return j < n_p ? j : n_p - 1;
}

// The curve the rules read with speech (see SPEECH_LOUD_DB), one value per
// level frame. 0, or -1 with "out of memory".
static int speech_curve(const speech_view &v, float *out) {
    sil_heap_ptr<unsigned char> talk(alloc_array<unsigned char>((size_t)v.n_p));
    if (!talk) {
        sil_fail_memory();
        return -1;
    }
    unsigned char *on = talk.get();
    bool speaking = false;
    for (int64_t j = 0; j < v.n_p; j++) {
        const float p = clean_p(v.p[j]);
        speaking = speaking ? !(p < SPEECH_OFF) : !(p < SPEECH_ON);
        on[j] = speaking ? 1 : 0;
    }
    for (int64_t j = 0; j < v.n_p;) {
        if (on[j]) {
            j++;
            continue;
        }
        const int64_t a = j;
        while (j < v.n_p && !on[j])
            j++;
        if (a > 0 && j < v.n_p && j - a < SPEECH_GAP_MIN)
            memset(on + a, 1, (size_t)(j - a));
    }
    for (int32_t k = 0; k < v.frames; k++) {
        const int64_t j = speech_window(k, v.n_p);
        out[k] = on[j] ? SPEECH_LOUD_DB : -SPEECH_DEPTH_DB * (1.0f - clean_p(v.p[j]));
    }
    return 0;
}

// Where a gap without speech, level frames [a, b), is cut: in the middle of
// its longest run of frames under the level threshold (the first of equal
// ones), since the model's edges run some 40 ms late and a quiet part is the
// safe place between two sounds; in the middle of the gap when no frame of it
// is quiet (music or noise all through).
static float speech_cut(const speech_view &v, int32_t a, int32_t b) {
    int32_t best_a = a, best_b = a;
    for (int32_t k = a; k < b;) {
        if (!(v.level[k] < v.thr[k])) {
            k++;
            continue;
        }
        const int32_t first = k;
        while (k < b && v.level[k] < v.thr[k])
            k++;
        if (k - first > best_b - best_a) {
            best_a = first;
            best_b = k;
        }
    }
    return best_b > best_a ? sil_pause_middle(best_a, best_b) : sil_pause_middle(a, b);
}

// Where the gap between two stretches, from t0 to t1 seconds, is cut: its
// middle, or with speech (v not NULL) where speech_cut places it.
static float gap_cut(const speech_view *v, float t0, float t1) {
    if (!v)
        return (t0 + t1) * 0.5f;
    return speech_cut(*v, frame_at(t0, v->frames), frame_at(t1, v->frames));
}

// Pauses found on the speech curve: their level, cut and mean probability
// from the level curve and the model.
static void place_speech_pauses(const speech_view &v, sil_pause *p, int32_t n) {
    for (int32_t i = 0; i < n; i++) {
        double sum_level = 0.0, sum_p = 0.0;
        for (int32_t k = p[i].first; k < p[i].end; k++) {
            sum_level += (double)clean_level(v.level[k]);
            sum_p += (double)clean_p(v.p[speech_window(k, v.n_p)]);
        }
        const double len = (double)(p[i].end - p[i].first);
        p[i].level_db = (float)(sum_level / len);
        p[i].speech_p = (float)(sum_p / len);
        p[i].cut_t = speech_cut(v, p[i].first, p[i].end);
    }
}

// auto: whether the recording holds speech, from the model's own output:
// the share of the frames over the threshold whose window it calls speech.
static bool holds_speech(const speech_view &v) {
    int64_t sounding = 0, talking = 0;
    for (int32_t k = 0; k < v.frames; k++) {
        if (!(v.level[k] >= v.thr[k]))
            continue;
        sounding++;
        if (!(clean_p(v.p[speech_window(k, v.n_p)]) < SPEECH_ON))
            talking++;
    }
    return talking >= SPEECH_MIN_FRAMES && (double)talking >= SPEECH_SHARE * (double)sounding;
}

// auto with speech: a blip of speech (at most SPEECH_BLIP_FRAMES) between
// stretches without speech joins them.
static void drop_speech_blips(const speech_view &v, float *curve) {
    for (int32_t k = 0; k < v.frames;) {
        if (curve[k] < 0.0f) {
            k++;
            continue;
        }
        const int32_t a = k;
        while (k < v.frames && !(curve[k] < 0.0f))
            k++;
        if (a == 0 || k == v.frames || k - a > SPEECH_BLIP_FRAMES)
            continue;
        for (int32_t j = a; j < k; j++)
            curve[j] = -SPEECH_DEPTH_DB * (1.0f - clean_p(v.p[speech_window(j, v.n_p)]));
    }
}

// auto with speech: a long stretch without speech that holds a quiet run
// under the level threshold is material of its own (music between talk,
// songs one after another): its frames over the threshold become sound on
// the speech curve, so the breaks between the pieces stay pauses. A long
// stretch with no quiet run (a bed under a long interlude) stays one pause.
static void mark_material(const speech_view &v, float *curve) {
    for (int32_t k = 0; k < v.frames;) {
        if (curve[k] >= 0.0f) {
            k++;
            continue;
        }
        const int32_t a = k;
        while (k < v.frames && curve[k] < 0.0f)
            k++;
        if (k - a < MATERIAL_FRAMES)
            continue;
        int32_t run = 0, longest = 0;
        for (int32_t j = a; j < k; j++) {
            run = v.level[j] < v.thr[j] ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        if (longest < MATERIAL_QUIET_FRAMES)
            continue;
        for (int32_t j = a; j < k; j++)
            if (!(v.level[j] < v.thr[j]))
                curve[j] = SPEECH_LOUD_DB;
    }
}

// auto with speech: the pause scale of the stretches without speech (at
// least PAUSE_MIN_FRAMES between speech): the widest ratio between
// neighbouring lengths whose break lies between SPEECH_BREAK_LOW and
// SPEECH_BREAK_HIGH frames, when it is at least BREAK_MIN_RATIO; else
// SPEECH_SCALE_FRAMES, the length every chapter break of spoken word
// reaches and few sentence gaps do.
static int find_speech_scale(const float *curve, const float *zero, int32_t frames,
                             pause_scale *out) {
    *out = pause_scale{(float)SPEECH_SCALE_FRAMES / 100.0f, SIL_PAUSE_SCALE_SPEECH_FIXED};
    sil_pause *raw = nullptr;
    int32_t n = 0;
    if (find_pauses(curve, zero, nullptr, frames, PAUSE_MIN_FRAMES, &raw, &n) != 0)
        return -1;
    sil_heap_ptr<sil_pause> pauses(raw);
    if (n == 0) {
        out->kind = SIL_PAUSE_SCALE_NO_PAUSE;
        return 0;
    }
    sil_heap_ptr<int32_t> lengths(alloc_array<int32_t>((size_t)n));
    if (!lengths) {
        sil_fail_memory();
        return -1;
    }
    int32_t *len = lengths.get();
    for (int32_t i = 0; i < n; i++)
        len[i] = pauses.get()[i].end - pauses.get()[i].first;
    std::sort(len, len + n);
    double best = 0.0;
    int32_t split = -1;
    for (int32_t i = 0; i + 1 < n; i++) {
        const double mid = std::sqrt((double)len[i] * (double)len[i + 1]);
        if (mid < SPEECH_BREAK_LOW || mid > SPEECH_BREAK_HIGH)
            continue;
        const double ratio = (double)len[i + 1] / (double)len[i];
        if (ratio > best) {
            best = ratio;
            split = i;
        }
    }
    if (split >= 0 && best >= BREAK_MIN_RATIO) {
        const double mid = std::sqrt((double)len[split] * (double)len[split + 1]);
        const int32_t run = std::max(len[split] + 1, std::min(len[split + 1], (int32_t)mid));
        *out = pause_scale{(float)run / 100.0f, SIL_PAUSE_SCALE_BREAK};
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Chapters from the scan
// ---------------------------------------------------------------------------

// The stretches of sound under a threshold per frame, in order; with near
// (may be NULL) the pauses between them are bounded by it
// (sil_scan_sound_near).
static int scan_sound(const float *level, const float *thr, const float *near, int32_t frames,
                      float duration, float min_silence_s, sil_heap_ptr<stretch> &out,
                      size_t &n) {
    sil_heap_ptr<sil_span> spans;
    size_t n_spans = 0;
    n = 0;
    const int32_t min_run = sil_min_silence_frames(min_silence_s);
    if ((near ? sil_scan_sound_near(level, thr, near, frames, min_run, spans, n_spans)
              : sil_scan_sound(level, thr, 0.0f, frames, min_run, spans, n_spans)) != 0)
        return -1;
    out.reset(n_spans ? alloc_array<stretch>(n_spans) : nullptr);
    if (n_spans && !out) {
        sil_fail_memory();
        return -1;
    }
    for (size_t i = 0; i < n_spans; i++) {
        const sil_span sp = spans.get()[i];
        out.get()[i] = stretch{frame_time(sp.first),
                               sp.end == frames ? duration : frame_time(sp.end), SILENCE_DB};
    }
    n = n_spans;
    return 0;
}

// The defaults' refinement on the stretches: the short ones dropped,
// padding, merging of chapters closer than min_silence_s. Returns the count.
static size_t refine(stretch *s, size_t n, const sil_opts *opts, float duration) {
    size_t kept = 0;
    for (size_t i = 0; i < n; i++)
        if (!(s[i].t1 - s[i].t0 < opts->min_chapter_s))
            s[kept++] = s[i];
    kept = sil_pad_chapters(s, kept, opts->padding_s, duration);
    return sil_sort_and_merge(s, kept, opts->min_silence_s);
}

// Every stretch shorter than min_chapter_s joins the neighbour across the
// shorter pause (the shortest stretches first; equal pauses to the earlier
// neighbour), until it is long enough or alone. The groups replace the
// stretches in order. 0 with their count, or -1 with "out of memory".
static int join_short(stretch *s, size_t n, float min_chapter_s, size_t *out_n) {
    *out_n = n;
    if (n == 0)
        return 0;
    // Joining: neighbours in a list; each joined group is kept in its first
    // member, and a member's group is found through parent links.
    sil_heap_ptr<int32_t> links(alloc_array<int32_t>(4 * n));
    if (!links) {
        sil_fail_memory();
        return -1;
    }
    int32_t *prev = links.get(), *next = prev + n, *parent = next + n, *order = parent + n;
    for (size_t i = 0; i < n; i++) {
        prev[i] = (int32_t)i - 1;
        next[i] = i + 1 < n ? (int32_t)i + 1 : -1;
        parent[i] = (int32_t)i;
        order[i] = (int32_t)i;
    }
    std::sort(order, order + n, [s](int32_t a, int32_t b) {
        const float la = s[a].t1 - s[a].t0, lb = s[b].t1 - s[b].t0;
        return la != lb ? la < lb : a < b;
    });
    auto find = [parent](int32_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    for (size_t r = 0; r < n; r++) {
        int32_t g = find(order[r]);
        while (s[g].t1 - s[g].t0 < min_chapter_s && (prev[g] >= 0 || next[g] >= 0)) {
            const int32_t p = prev[g], q = next[g];
            const bool to_prev = q < 0 || (p >= 0 && s[g].t0 - s[p].t1 <= s[q].t0 - s[g].t1);
            const int32_t left = to_prev ? p : g, right = to_prev ? g : q;
            s[left].t1 = s[right].t1;
            parent[right] = left;
            next[left] = next[right];
            if (next[right] >= 0)
                prev[next[right]] = left;
            g = left;
        }
    }

    // The groups in order (the first is always in slot 0). Slot count is
    // never past g, so the slots still to be read are intact.
    size_t count = 0;
    for (int32_t g = 0; g >= 0; g = next[g])
        s[count++] = s[g];
    *out_n = count;
    return 0;
}

// With a threshold from the recording: the defaults' refinement, but a
// stretch too short to stand alone joins its neighbour across the shorter
// pause instead of being dropped, so no sound is left out. 0 with the count,
// or -1.
static int refine_joined(stretch *s, size_t n, const sil_opts *opts, float duration,
                         size_t *out_n) {
    if (join_short(s, n, opts->min_chapter_s, &n) != 0)
        return -1;
    n = sil_pad_chapters(s, n, opts->padding_s, duration);
    *out_n = sil_sort_and_merge(s, n, opts->min_silence_s);
    return 0;
}

// keep_all: stretches closer than the chapters' merging gap merge, every
// stretch shorter than min_chapter_s joins the neighbour across the shorter
// pause (the shortest stretches first), and the chapters meet in the middle
// of the pauses between them (with speech, v not NULL: where speech_cut
// places it), from 0 to the duration. Returns the count.
static int cover_all(stretch *s, size_t n, const sil_opts *opts, float duration,
                     const speech_view *v, size_t *out_n) {
    if (n == 0) {
        // Nothing but quiet: one chapter holds it all.
        s[0] = stretch{0.0f, duration, SILENCE_DB};
        *out_n = duration > 0.0f ? 1 : 0;
        return 0;
    }
    // Merge as padding and merging would (the pause between padded chapters
    // is the pause between the stretches less twice the padding).
    const float pad = opts->padding_s;
    size_t kept = 0;
    for (size_t i = 1; i < n; i++) {
        if ((s[i].t0 - pad) - (s[kept].t1 + pad) < opts->min_silence_s)
            s[kept].t1 = std::max(s[kept].t1, s[i].t1);
        else
            s[++kept] = s[i];
    }
    n = kept + 1;

    if (join_short(s, n, opts->min_chapter_s, &n) != 0)
        return -1;

    // The groups in order, meeting in the middle of their pauses.
    float t0 = 0.0f;
    for (size_t g = 0; g < n; g++) {
        const float t1 = g + 1 == n ? duration : gap_cut(v, s[g].t1, s[g + 1].t0);
        s[g] = stretch{t0, t1, SILENCE_DB};
        t0 = t1;
    }
    *out_n = n;
    return 0;
}

// ---------------------------------------------------------------------------
// Chapter count
// ---------------------------------------------------------------------------

// The chapters between the N-1 strongest pauses. Chapters run from the end
// of one pause to the start of the next, padded into the pause by at most
// half of it; with keep_all they meet in the middle of the pauses and run
// from 0 to the duration. 0 with the chapters in out (room for the pauses
// plus one), or -1.
static int count_chapters(const float *level, const float *thr, int32_t frames, float duration,
                          const sil_opts *opts, sil_pause *pauses, int32_t n_pauses,
                          stretch *out, size_t *out_n) {
    *out_n = 0;
    int32_t first_sound = 0, end_sound = frames;
    while (first_sound < frames && level[first_sound] < thr[first_sound])
        first_sound++;
    while (end_sound > first_sound && level[end_sound - 1] < thr[end_sound - 1])
        end_sound--;
    if (first_sound == frames) {
        if (opts->keep_all && duration > 0.0f) {
            out[0] = stretch{0.0f, duration, SILENCE_DB};
            *out_n = 1;
        }
        return 0;
    }

    // The strongest pauses, back in time order.
    const int32_t want = std::min(n_pauses, opts->chapter_count - 1);
    sil_heap_ptr<int32_t> order;
    if (order_by_strength(pauses, n_pauses, order) != 0)
        return -1;
    int32_t *o = order.get();
    std::sort(o, o + want);

    const float pad = opts->padding_s > 0.0f ? opts->padding_s : 0.0f;
    float t0 = opts->keep_all ? 0.0f : std::max(0.0f, frame_time(first_sound) - pad);
    for (int32_t i = 0; i <= want; i++) {
        float t1;
        float next_t0 = 0.0f;
        if (i == want) {
            const float end_t = end_sound == frames ? duration : frame_time(end_sound);
            t1 = opts->keep_all ? duration : std::min(duration, end_t + pad);
        } else {
            const sil_pause &p = pauses[o[i]];
            const float a = frame_time(p.first), b = frame_time(p.end);
            const float cut = p.cut_t;
            t1 = opts->keep_all ? cut : std::min(a + pad, cut);
            next_t0 = opts->keep_all ? cut : std::max(b - pad, cut);
        }
        out[i] = stretch{t0, t1, SILENCE_DB};
        t0 = next_t0;
    }
    *out_n = (size_t)want + 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Hints
// ---------------------------------------------------------------------------

// The chapters from hint to hint: each hint moved onto a pause, chapters
// running from the end of one pause to the start of the next, padded into
// them by at most half (with keep_all meeting at the cuts, from 0 to the
// duration), a boundary with no pause a single point. 0 with n_hints
// chapters in out and their notes in notes (may be NULL), or -1.
static int hint_chapters(const float *level, const float *thr, int32_t frames, float duration,
                         const sil_opts *opts, const sil_pause *pauses, int32_t n_pauses,
                         const sil_chapter_keys *keys, stretch *out,
                         sil_chapter_note *notes) {
    const int32_t n = keys->n_hints;
    sil_heap_ptr<sil_snap> snaps(alloc_array<sil_snap>((size_t)n));
    if (!snaps) {
        sil_fail_memory();
        return -1;
    }
    sil_snap *s = snaps.get();
    sil_snap_hints(pauses, n_pauses, keys->hints, n, keys->hint_window_s, duration, s);
    int32_t first_sound = 0, end_sound = frames;
    while (first_sound < frames && level[first_sound] < thr[first_sound])
        first_sound++;
    while (end_sound > first_sound && level[end_sound - 1] < thr[end_sound - 1])
        end_sound--;
    const float pad = opts->padding_s > 0.0f ? opts->padding_s : 0.0f;
    const bool all = opts->keep_all;
    for (int32_t i = 0; i < n; i++) {
        float t0, t1;
        if (i == 0 && (all || s[0].kind == SIL_SNAP_START))
            t0 = all || first_sound == frames ? 0.0f
                                              : std::max(0.0f, frame_time(first_sound) - pad);
        else if (all || s[i].pause < 0)
            t0 = s[i].cut;
        else
            t0 = std::max(frame_time(pauses[s[i].pause].end) - pad, s[i].cut);
        if (i + 1 == n)
            t1 = all || end_sound == frames ? duration
                                            : std::min(duration, frame_time(end_sound) + pad);
        else if (all || s[i + 1].pause < 0)
            t1 = s[i + 1].cut;
        else
            t1 = std::min(frame_time(pauses[s[i + 1].pause].first) + pad, s[i + 1].cut);
        out[i] = stretch{t0, std::max(t0, t1), SILENCE_DB};
        if (notes)
            notes[i] = sil_chapter_note{keys->hints[i].t0, s[i].cut - keys->hints[i].t0,
                                        s[i].kind};
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

float sil_chapter_peak(const float *level, int32_t frames, float t0, float t1) {
    return frames > 0 ? peak_of(level, frames, t0, t1) : SILENCE_DB;
}

bool sil_opts_run_speech(const sil_opts *opts) {
    return opts->speech || opts->report_speech ||
           (opts->auto_detect && !sil_option_given(opts, "speech"));
}

bool sil_opts_use_rules(const sil_opts *opts) {
    return opts->auto_detect || opts->auto_threshold || opts->chapter_count > 0 || opts->keep_all ||
           opts->speech || (opts->cut_at_pause && opts->max_chapter_s > 0.0f);
}

// The rules themselves; extras may be NULL; speech_p holds the model's
// probabilities when the options ask for speech.
static int detect_with_rules(const float *level, int32_t frames, float duration,
                             const sil_opts *opts, sil_heap_ptr<stretch> &chapters, size_t &count,
                             sil_report_extras *extras, const float *speech_p, int64_t n_speech,
                             const sil_chapter_keys *keys) {
    const bool hinted = keys && keys->n_hints > 0;
    sil_heap_ptr<float> thresholds(alloc_array<float>((size_t)frames));
    if (!thresholds) {
        sil_fail_memory();
        return -1;
    }
    float *thr = thresholds.get();
    sil_heap_ptr<float> near_floor(alloc_array<float>((size_t)frames));
    if (!near_floor) {
        sil_fail_memory();
        return -1;
    }
    // auto chooses the keys the options text leaves out: the threshold from
    // the recording, chapters covering all of it (no padding then, which
    // would only widen the merging gap), and the pause scale below.
    sil_opts chosen = *opts;
    if (opts->auto_detect) {
        if (!sil_option_given(opts, "threshold_db") && !sil_option_given(opts, "auto_threshold"))
            chosen.auto_threshold = true;
        if (!sil_option_given(opts, "keep_all"))
            chosen.keep_all = true;
        if (!sil_option_given(opts, "padding_s"))
            chosen.padding_s = 0.0f;
        opts = &chosen;
    }
    bool has_near = false;
    if (fill_thresholds(level, frames, opts, thr, near_floor.get(), &has_near, extras) != 0)
        return -1;
    sil_heap_ptr<float> cleaned;
    if (opts->auto_detect) {
        if (extras && !extras->has_threshold) {
            extras->has_threshold = true;
            extras->threshold_db = opts->threshold_db;
        }
        cleaned.reset(alloc_array<float>((size_t)frames));
        if (frames > 0 && !cleaned) {
            sil_fail_memory();
            return -1;
        }
        if (quiet_through_clicks(level, thr, frames, cleaned.get()) != 0)
            return -1;
        level = cleaned.get();
    }
    // auto without a speech key listens for speech when the model was run
    // and finds that the recording holds speech.
    const bool auto_speech = opts->auto_detect && !sil_option_given(opts, "speech") &&
                             speech_p && n_speech > 0 && frames > 0;
    if (auto_speech) {
        const speech_view probe{level, thr, frames, speech_p, n_speech};
        chosen.speech = holds_speech(probe);
        if (extras) {
            extras->has_speech_used = true;
            extras->speech_used = chosen.speech;
        }
    }
    const float *near = has_near && !opts->speech ? near_floor.get() : nullptr;
    // With speech every rule below reads the speech curve under a threshold
    // of 0, and the level curve with its thresholds only places the cuts.
    speech_view view{level, thr, frames, speech_p, n_speech};
    const speech_view *sv = nullptr;
    sil_heap_ptr<float> speech_curves;
    if (opts->speech && frames > 0) {
        speech_curves.reset(alloc_array<float>(2 * (size_t)frames));
        if (!speech_curves) {
            sil_fail_memory();
            return -1;
        }
        if (speech_curve(view, speech_curves.get()) != 0)
            return -1;
        if (auto_speech) {
            drop_speech_blips(view, speech_curves.get());
            mark_material(view, speech_curves.get());
        }
        level = speech_curves.get();
        thr = speech_curves.get() + frames;
        memset(thr, 0, (size_t)frames * sizeof(float));
        sv = &view;
    }
    // auto's pause scale comes from the pauses the rules read: the quiet
    // stretches, or with speech the stretches without speech.
    if (opts->auto_detect) {
        pause_scale scale{opts->min_silence_s, SIL_PAUSE_SCALE_GIVEN};
        if (!sil_option_given(opts, "min_silence_s") &&
            (auto_speech && opts->speech
                 ? find_speech_scale(level, thr, frames, &scale)
                 : find_pause_scale(level, thr, near, frames, opts->min_silence_s, &scale)) != 0)
            return -1;
        chosen.min_silence_s = scale.min_silence_s;
        if (extras) {
            extras->has_pause_scale = true;
            extras->min_silence_s_used = scale.min_silence_s;
            extras->pause_scale = scale.kind;
        }
    }

    // The pauses for the report and the count.
    sil_pause *pauses_raw = nullptr;
    int32_t n_pauses = 0;
    if (opts->report_pauses || opts->chapter_count > 0 || hinted) {
        if (find_pauses(level, thr, near, frames, PAUSE_MIN_FRAMES, &pauses_raw, &n_pauses) != 0)
            return -1;
    }
    sil_heap_ptr<sil_pause> pauses(pauses_raw);
    if (sv)
        place_speech_pauses(*sv, pauses.get(), n_pauses);
    if (opts->report_pauses && pauses && rank_pauses(pauses.get(), n_pauses) != 0)
        return -1;
    if (opts->report_pauses)
        rate_pauses(pauses.get(), n_pauses, opts->min_silence_s);

    count = 0;
    if (hinted) {
        chapters.reset(alloc_array<stretch>((size_t)keys->n_hints));
        sil_heap_ptr<sil_chapter_note> notes(
            extras ? alloc_array<sil_chapter_note>((size_t)keys->n_hints) : nullptr);
        if (!chapters || (extras && !notes)) {
            sil_fail_memory();
            return -1;
        }
        if (hint_chapters(level, thr, frames, duration, opts, pauses.get(), n_pauses, keys,
                          chapters.get(), notes.get()) != 0)
            return -1;
        count = (size_t)keys->n_hints;
        if (extras) {
            extras->notes = notes.release();
            extras->n_notes = keys->n_hints;
        }
    } else if (opts->chapter_count > 0) {
        chapters.reset(alloc_array<stretch>((size_t)n_pauses + 1));
        if (!chapters) {
            sil_fail_memory();
            return -1;
        }
        if (count_chapters(level, thr, frames, duration, opts, pauses.get(), n_pauses,
                           chapters.get(), &count) != 0)
            return -1;
        if (extras) {
            extras->count_requested = opts->chapter_count;
            extras->count_found = (int32_t)count;
        }
    } else {
        if (scan_sound(level, thr, near, frames, duration, opts->min_silence_s, chapters, count) !=
            0)
            return -1;
        if (opts->keep_all) {
            if (!chapters) {
                chapters.reset(alloc_array<stretch>(1));
                if (!chapters) {
                    sil_fail_memory();
                    return -1;
                }
            }
            if (cover_all(chapters.get(), count, opts, duration, sv, &count) != 0)
                return -1;
        } else if (opts->auto_threshold && !opts->speech) {
            if (refine_joined(chapters.get(), count, opts, duration, &count) != 0)
                return -1;
        } else {
            count = refine(chapters.get(), count, opts, duration);
        }
        if (opts->max_chapter_s > 0.0f && count > 0) {
            sil_pause *quiet_raw = nullptr;
            int32_t n_quiet = 0;
            if (opts->cut_at_pause &&
                find_pauses(level, thr, near, frames, 1, &quiet_raw, &n_quiet) != 0)
                return -1;
            sil_heap_ptr<sil_pause> quiet(quiet_raw);
            if (sv)
                place_speech_pauses(*sv, quiet.get(), n_quiet);
            sil_heap_ptr<sil_chapter> pieces;
            size_t n_pieces = 0;
            if (sil_cut_long(chapters.get(), count, opts->max_chapter_s,
                             opts->cut_at_pause ? quiet.get() : nullptr, n_quiet, pieces,
                             n_pieces) != 0)
                return -1;
            chapters = std::move(pieces);
            count = n_pieces;
        }
    }
    if (count > (size_t)SIL_MAX_CHAPTERS) {
        sil_set_error("chapter count exceeds 10000");
        return -1;
    }
    if (extras && opts->report_pauses) {
        extras->has_pauses = true;
        extras->pauses = pauses.release();
        extras->n_pauses = n_pauses;
    }
    if (extras && (opts->auto_detect || opts->report_pauses) &&
        report_boundaries(level, thr, near, frames, chapters.get(), count, opts->min_silence_s,
                          extras) != 0)
        return -1;
    return 0;
}

int sil_detect_on_levels(const float *level, int32_t frames, float duration, const sil_opts *opts,
                         sil_chapter **out, int *out_n, float *out_removed_s,
                         sil_report_extras *extras, const float *speech_p, int64_t n_speech,
                         const sil_chapter_keys *keys) {
    *out = nullptr;
    *out_n = 0;
    if (out_removed_s)
        *out_removed_s = 0.0f;
    if (!opts || frames < 0 || (!level && frames != 0) ||
        (opts->speech && frames > 0 && (!speech_p || n_speech < 1))) {
        sil_fail(SIL_ERR_ARGS, "invalid detect args");
        return -1;
    }
    if (!sil_opts_use_rules(opts) && !(keys && keys->n_hints > 0)) {
        if (sil_chapters_from_levels(level, frames, duration, opts, out, out_n, out_removed_s) !=
            0)
            return -1;
        if (extras && sil_left_out(level, frames, duration, opts, *out, (size_t)*out_n,
                                   &extras->left_out_s, &extras->left_out_n) != 0) {
            free(*out);
            *out = nullptr;
            *out_n = 0;
            return -1;
        }
        if (!extras || !opts->report_pauses)
            return 0;
        // The pauses under the fixed threshold, beside the scan's chapters.
        sil_heap_ptr<float> thresholds(alloc_array<float>((size_t)frames));
        if (thresholds) {
            for (int32_t k = 0; k < frames; k++)
                thresholds.get()[k] = opts->threshold_db;
        } else {
            sil_fail_memory();
        }
        if (!thresholds ||
            report_pauses(level, thresholds.get(), frames, opts->min_silence_s, extras) != 0 ||
            report_boundaries(level, thresholds.get(), nullptr, frames, *out, (size_t)*out_n,
                              opts->min_silence_s, extras) != 0) {
            free(*out);
            *out = nullptr;
            *out_n = 0;
            if (out_removed_s)
                *out_removed_s = 0.0f;
            return -1;
        }
        return 0;
    }

    sil_heap_ptr<stretch> chapters;
    size_t count = 0;
    if (detect_with_rules(level, frames, duration, opts, chapters, count, extras, speech_p,
                          n_speech, keys) != 0) {
        sil_report_extras_free(extras);
        return -1;
    }
    if (count == 0)
        chapters.reset(); // an empty list is NULL
    for (size_t i = 0; i < count; i++) {
        sil_chapter &c = chapters.get()[i];
        c.peak_db = peak_of(level, frames, c.t0, c.t1);
    }
    const float removed = sil_removed_s(chapters.get(), count, duration);
    *out = chapters.release();
    *out_n = (int)count;
    if (out_removed_s)
        *out_removed_s = removed;
    return 0;
}
