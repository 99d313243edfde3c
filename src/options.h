// The analysis options: the record, the table of keys with their defaults and
// types (which the program's flags and checks are made from), and the parser
// of the options text.
#ifndef SILSPLIT_OPTIONS_H
#define SILSPLIT_OPTIONS_H

#include "base.h"

#include <cstddef>
#include <cstdint>

// The longest options text read (16 MiB); a longer one is an error.
constexpr size_t SIL_MAX_OPTIONS_TEXT = (size_t)16 << 20;

// Analysis options; the field names are the keys of the options text.
struct sil_opts {
    float threshold_db;  // frames below this level (dBFS) are silent
    float min_silence_s; // shortest silence that ends a chapter; merge gap
    float min_chapter_s; // shortest chapter kept
    float padding_s;     // added before and after each chapter
    float max_chapter_s; // longer chapters are cut; 0 or less: no maximum
    int32_t sample_rate; // rate of a host buffer; 0 or less means 16000
    // Chapter rules and report members beyond the threshold scan; all off by
    // default, and then the results are those of the scan alone.
    int32_t chapter_count; // exactly this many chapters; 0: not asked for
    bool auto_threshold;   // threshold from the recording's own level curve
    bool cut_at_pause;     // with max_chapter_s: long chapters are cut at pauses
    bool keep_all;         // chapters cover the whole recording
    bool report_pauses;    // the report lists the candidate pauses
    bool report_levels;    // the report carries the level curve
    bool auto_detect;      // key "auto": threshold, pause scale and keep_all from the recording
    bool speech;           // pauses are the stretches without speech (the speech model)
    bool report_speech;    // the report carries the speech probability curve
    uint16_t given;        // bit i: the options text held the key SIL_OPTIONS[i]
};
static_assert(sizeof(sil_opts) == 40,
              "sil_opts is seven 4-byte fields, eight flags and the mask of given keys");

// How a key's value is read. Numbers are lenient (a value of another type
// leaves the default); flags and counts are strict (another type is an error
// naming the key).
enum sil_option_type {
    SIL_OPTION_NUMBER, // any JSON number, stored as the nearest float
    SIL_OPTION_FLAG,   // true or false
    SIL_OPTION_COUNT,  // a whole number from 1 to SIL_MAX_CHAPTERS
};

// One key of the options text that a file analysis reads.
struct sil_option_info {
    const char *key;
    sil_option_type type;
    float fallback;          // a number's default (flags are off, a count unset)
    const char *flag;        // the program's flag for it
    const char *value_name;  // the program's name for its value ("" for a flag)
    const char *help;        // the program's help text
    float sil_opts::*number; // the field, for a number
    bool sil_opts::*on;      // the field, for a flag
    int32_t sil_opts::*count; // the field, for a count
};

// Every key, in the order the program and the Python package list them.
inline constexpr sil_option_info SIL_OPTIONS[] = {
    {"threshold_db", SIL_OPTION_NUMBER, -40.0f, "--threshold-db", "DB",
     "frames quieter than this level (dBFS) are silent", &sil_opts::threshold_db, nullptr,
     nullptr},
    {"min_silence_s", SIL_OPTION_NUMBER, 0.8f, "--min-silence", "SECONDS",
     "seconds of silence that end a chapter; chapters closer than this merge",
     &sil_opts::min_silence_s, nullptr, nullptr},
    {"min_chapter_s", SIL_OPTION_NUMBER, 5.0f, "--min-chapter", "SECONDS",
     "seconds; shorter chapters are dropped", &sil_opts::min_chapter_s, nullptr, nullptr},
    {"padding_s", SIL_OPTION_NUMBER, 0.25f, "--padding", "SECONDS",
     "seconds added before and after each chapter", &sil_opts::padding_s, nullptr, nullptr},
    {"max_chapter_s", SIL_OPTION_NUMBER, 0.0f, "--max-chapter", "SECONDS",
     "seconds; longer chapters are cut into pieces (0: no maximum)", &sil_opts::max_chapter_s,
     nullptr, nullptr},
    {"auto", SIL_OPTION_FLAG, 0.0f, "--auto", "",
     "find the chapters of the recording: threshold and pause length from its own levels, "
     "clicks ignored, all of it kept (given keys win)",
     nullptr, &sil_opts::auto_detect, nullptr},
    {"auto_threshold", SIL_OPTION_FLAG, 0.0f, "--auto-threshold", "",
     "take the threshold from the recording's own levels (noise floor and speech)", nullptr,
     &sil_opts::auto_threshold, nullptr},
    {"cut_at_pause", SIL_OPTION_FLAG, 0.0f, "--cut-at-pause", "",
     "with --max-chapter: cut long chapters at their best pause, not at the maximum", nullptr,
     &sil_opts::cut_at_pause, nullptr},
    {"chapter_count", SIL_OPTION_COUNT, 0.0f, "--chapter-count", "N",
     "exactly N chapters, at the N-1 strongest pauses", nullptr, nullptr,
     &sil_opts::chapter_count},
    {"keep_all", SIL_OPTION_FLAG, 0.0f, "--keep-all", "",
     "chapters cover the whole recording, boundaries in the middle of pauses", nullptr,
     &sil_opts::keep_all, nullptr},
    {"speech", SIL_OPTION_FLAG, 0.0f, "--speech", "",
     "pauses are the stretches without speech, whatever their level (a speech model finds "
     "them: music, applause or hum between the talk count as pauses)",
     nullptr, &sil_opts::speech, nullptr},
    {"report_pauses", SIL_OPTION_FLAG, 0.0f, "--report-pauses", "",
     "the report lists the candidate pauses", nullptr, &sil_opts::report_pauses, nullptr},
    {"report_levels", SIL_OPTION_FLAG, 0.0f, "--report-levels", "",
     "the report carries the level curve (10 ms hops)", nullptr, &sil_opts::report_levels,
     nullptr},
    {"report_speech", SIL_OPTION_FLAG, 0.0f, "--report-speech", "",
     "the report carries the speech probability curve (32 ms hops)", nullptr,
     &sil_opts::report_speech, nullptr},
};
inline constexpr size_t SIL_N_OPTIONS = sizeof SIL_OPTIONS / sizeof SIL_OPTIONS[0];
static_assert(SIL_N_OPTIONS <= 16, "sil_opts::given holds a bit per key");

// The index of key in SIL_OPTIONS (at compile time), or SIL_N_OPTIONS.
constexpr size_t sil_option_index(const char *key) {
    for (size_t i = 0; i < SIL_N_OPTIONS; i++) {
        const char *a = SIL_OPTIONS[i].key, *b = key;
        while (*a && *a == *b) {
            a++;
            b++;
        }
        if (*a == *b)
            return i;
    }
    return SIL_N_OPTIONS;
}
// True when the options text held key (a value of its type for a flag or a
// count, any number for a number).
inline bool sil_option_given(const sil_opts *o, const char *key) {
    const size_t i = sil_option_index(key);
    return i < SIL_N_OPTIONS && (o->given >> i & 1u) != 0;
}

// ---------------------------------------------------------------------------
// The keys that hold lists: chapters, hints, hint_window_s and titles
// ---------------------------------------------------------------------------

// One entry of the chapters or hints key, in seconds of the recording.
struct sil_mark {
    float t0;    // chapters: the start; hints: the given time
    float t1;    // chapters: the end, or -1 when it runs to the next start or the end
    char *title; // a heap UTF-8 text, or NULL
};

// Window of a hint (seconds on either side) when hint_window_s is not given.
constexpr float SIL_HINT_WINDOW_S = 30.0f;

// The list keys of the options text. Their length varies, so they live in a
// record of their own beside sil_opts, owned by whoever parsed them (and
// copied into a pipeline). All lists empty: none of the keys was given.
struct sil_chapter_keys {
    sil_mark *chapters; // "chapters": used as they are, in time order
    int32_t n_chapters;
    sil_mark *hints; // "hints": approximate starts, each moved onto a pause
    int32_t n_hints;
    float hint_window_s; // "hint_window_s": how far a hint may move
    char **titles;       // "titles": names of the chapters in order (entries may be NULL)
    int32_t n_titles;
};
// The empty record: no list, the default window.
void sil_chapter_keys_init(sil_chapter_keys *k);
// Frees the lists and empties the record; NULL does nothing.
void sil_chapter_keys_free(sil_chapter_keys *k);
struct sil_chapter_keys_releaser {
    void operator()(sil_chapter_keys *k) const { sil_chapter_keys_free(k); }
};
// A deep copy of from into to (to is overwritten, not freed). 0, or -1 with
// "out of memory" and to empty.
int sil_chapter_keys_copy(const sil_chapter_keys *from, sil_chapter_keys *to);
// True when a list key was given.
inline bool sil_chapter_keys_any(const sil_chapter_keys *k) {
    return k && (k->n_chapters > 0 || k->n_hints > 0 || k->n_titles > 0);
}

// Fills o with the defaults (every chapter rule and report member off).
void sil_opts_defaults(sil_opts *o);
// Defaults overlaid by the members of json (NULL, "" and "{}" keep the
// defaults): the numbers and sample_rate when they hold numbers (any other
// value is ignored), flags and counts only with a value of their type (any
// other is an error naming the key). 0, or -1 with the message set and o
// holding the defaults. The list keys are checked as well (an error names
// the entry, "chapters[2]: t1 is not after t0") and then left out.
int sil_parse_opts(const char *json, sil_opts *o);
// As above, keeping the list keys in keys (emptied first; freed with
// sil_chapter_keys_free, also after a failure). chapters: objects with a t0,
// an optional t1 and title, strictly in time order without overlaps; hints:
// numbers or objects with a t and an optional title, strictly increasing;
// titles: texts (or null); hint_window_s: a number above 0. chapters and
// hints exclude each other and chapter_count.
int sil_parse_opts(const char *json, sil_opts *o, sil_chapter_keys *keys);

#endif // SILSPLIT_OPTIONS_H
