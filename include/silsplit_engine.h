/*
 * silsplit_engine.h: the engine of silsplit as a C library
 * (libsilsplit-engine). Find the pauses of a recording and divide it into
 * chapters, from a file of any format or from frames as they arrive.
 *
 * Contents
 *   1. Example
 *   2. Ownership, threads and errors
 *   3. Errors
 *   4. Options: every key with its default
 *   5. Sessions: open, push, finish, free
 *   6. Results: chapters as records, the report as text
 *
 * ---------------------------------------------------------------------------
 * 1. Example: the chapters of a stream of 48 kHz stereo frames
 * ---------------------------------------------------------------------------
 *
 *   #include <silsplit_engine.h>
 *   #include <stdio.h>
 *
 *   static int on_chapter(const sle_chapter *ch, void *user) {
 *       (void)user;
 *       printf("chapter %d: %.2f s to %.2f s, frames %lld to %lld\n", ch->index, ch->t0,
 *              ch->t1, (long long)ch->frame0, (long long)ch->frame1);
 *       return 0;                               // non-zero would cancel
 *   }
 *
 *   int main(void) {
 *       sle_session *s = NULL;
 *       sle_status st = sle_open("{\"min_chapter_s\": 1}", 48000, 2, &s);
 *       if (st == SLE_OK)
 *           st = sle_set_chapter_fn(s, on_chapter, NULL);
 *       static float block[48000 * 2];          // one second, interleaved L R
 *       for (int second = 0; st == SLE_OK && second < 10; second++) {
 *           for (int i = 0; i < 48000; i++)     // 3 s of tone, 2 s of silence
 *               block[2 * i] = block[2 * i + 1] =
 *                   second % 5 < 3 ? 0.5f * (float)((i / 24) % 2 * 2 - 1) : 0.0f;
 *           st = sle_push(s, block, 48000);
 *       }
 *       if (st == SLE_OK)
 *           st = sle_finish(s);                 // on_chapter hears each chapter
 *       if (st != SLE_OK) {
 *           fprintf(stderr, "silsplit: %s (%s)\n", sle_last_error(), sle_strerror(st));
 *           sle_free(s);
 *           return 1;
 *       }
 *       printf("%d chapters\n%s\n", sle_chapter_count(s), sle_report(s));
 *       sle_free(s);
 *       return 0;
 *   }
 *
 * A file instead of frames: sle_open_file("talk.mp3", options, &s), then
 * sle_finish(s) reads it all (sle_set_progress() follows the reading).
 * Build: cc host.c -lsilsplit-engine
 *
 * ---------------------------------------------------------------------------
 * 2. Ownership, threads and errors (said once, true of every function)
 * ---------------------------------------------------------------------------
 *
 * - A session belongs to the thread that uses it: one thread at a time may
 *   call functions on one session; different sessions may be used on
 *   different threads at once. The library starts no threads of its own.
 * - Callbacks (progress, chapters) are called on the thread that called
 *   sle_push() or sle_finish(), before that call returns; they must not call
 *   back into the same session.
 * - Everything the library hands out (report text, titles, option records,
 *   messages) is owned by the library: a session's results live until
 *   sle_free() of that session, static texts for ever. Nothing is freed by
 *   the caller but the session itself, with sle_free().
 * - Texts are UTF-8 and end with a NUL. Paths are the system's byte strings.
 * - Every function that can fail returns an sle_status; on a failure the
 *   calling thread's message (sle_last_error()) says what happened. A session
 *   whose push or finish failed can only be freed.
 *
 * The options text takes the same keys as the seven-function library
 * (silsplit.h); the report is byte for byte the one silsplit_analyze()
 * returns for the same recording and options.
 */
#ifndef SILSPLIT_ENGINE_H_PUBLIC
#define SILSPLIT_ENGINE_H_PUBLIC

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#  define SLE_API __attribute__((visibility("default")))
#else
#  define SLE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, "1.1.0". Static text. */
SLE_API const char *sle_version(void);

/* ---------------------------------------------------------------------------
 * 3. Errors
 * ------------------------------------------------------------------------- */

typedef enum sle_status {
    SLE_OK = 0,
    SLE_ERR_FAILED = 1,    /* any other failure; the message says which */
    SLE_ERR_ARGS = 2,      /* an invalid argument or option */
    SLE_ERR_MEMORY = 3,    /* out of memory */
    SLE_ERR_CANCELLED = 4, /* a callback asked to stop */
    SLE_ERR_READ = 5,      /* the input could not be read */
    SLE_ERR_WRITE = 6,     /* an output could not be written */
    SLE_ERR_FORMAT = 7,    /* an input no reader takes */
    SLE_ERR_TOO_LARGE = 8, /* an input or result over a limit */
    SLE_ERR_MEDIA = 9,     /* the input needs the media module, which is not there */
    SLE_ERR_STATE = 10     /* a call out of order (push after finish, results before it) */
} sle_status;

/* A fixed English description of a status ("cancelled"). Static text. */
SLE_API const char *sle_strerror(sle_status status);

/* The calling thread's message of its last failed call ("" after a success
 * or before any call): more precise than sle_strerror(), e.g. "chapters[2]:
 * t1 is not after t0". Valid until the thread's next call into the library. */
SLE_API const char *sle_last_error(void);

/* ---------------------------------------------------------------------------
 * 4. Options
 *
 * An options text is NULL, "" or a JSON object. Keys and defaults:
 *
 *   threshold_db   number  -40     frames below this level (dBFS) are silent
 *   min_silence_s  number  0.8     shortest silence that ends a chapter
 *   min_chapter_s  number  5       shorter chapters are dropped
 *   padding_s      number  0.25    seconds added before and after each chapter
 *   max_chapter_s  number  0       longer chapters are cut; 0: no maximum
 *   auto           flag    false   chapters of the recording, rules from its levels
 *   auto_threshold flag    false   threshold from the recording's levels
 *   cut_at_pause   flag    false   with max_chapter_s: cut long chapters at pauses
 *   chapter_count  count   unset   exactly this many chapters (1 to 10000)
 *   keep_all       flag    false   the chapters cover the whole recording
 *   speech         flag    false   pauses are the stretches without speech
 *   report_pauses  flag    false   the report lists the candidate pauses
 *   report_levels  flag    false   the report carries the level curve
 *   report_speech  flag    false   the report carries the speech curve
 *   hint_window_s  number  30      how far a hint may move (above 0)
 *   chapters       list    none    chapters used as they are: [{"t0","t1","title"}]
 *   hints          list    none    approximate starts: [s, ...] or [{"t","title"}]
 *   titles         list    none    names of the chapters in order
 *
 * Numbers are lenient, as in silsplit.h: a value of another type keeps the
 * default. Flags, counts and lists are checked: a wrong value fails with
 * SLE_ERR_ARGS and a message naming the key. Other keys are ignored;
 * "sample_rate" is ignored by sessions (the rate is sle_open()'s).
 * ------------------------------------------------------------------------- */

typedef enum sle_option_kind {
    SLE_OPTION_NUMBER = 0, /* a JSON number */
    SLE_OPTION_FLAG = 1,   /* true or false */
    SLE_OPTION_COUNT = 2,  /* a whole number from min to max */
    SLE_OPTION_LIST = 3    /* a JSON array (see the table above) */
} sle_option_kind;

typedef struct sle_option {
    const char *key;       /* the key in the options text */
    sle_option_kind kind;
    double fallback;       /* the default (flags: 0, counts: 0 = unset, lists: 0) */
    double min, max;       /* the values taken (-HUGE_VAL/HUGE_VAL where any is);
                              for a list, how many entries it may hold */
    int min_excluded;      /* 1 when min itself is refused (hint_window_s > 0) */
    const char *flag;      /* the command-line program's flag, or "" */
    const char *help;      /* one line of help */
} sle_option;

/* The number of keys, and key i (0 to count - 1; NULL past the end), in the
 * order of the table above. Static records. */
SLE_API int sle_option_count(void);
SLE_API const sle_option *sle_option_at(int i);

/* Checks an options text as sle_open() would: SLE_OK, or SLE_ERR_ARGS with
 * the message naming the key or entry. */
SLE_API sle_status sle_check_options(const char *options_json);

/* ---------------------------------------------------------------------------
 * 5. Sessions
 * ------------------------------------------------------------------------- */

typedef struct sle_session sle_session;

/* One chapter, as soon as it is final (section 6). */
typedef struct sle_chapter {
    int index;           /* from 1 */
    double t0, t1;       /* start and end, seconds (the report's values) */
    int64_t frame0;      /* first frame, at the input's rate */
    int64_t frame1;      /* one past the last frame: [frame0, frame1) */
    double peak_db;      /* the loudest 20 ms frame inside, dBFS */
    double start_confidence; /* how clearly the boundary before it stands out,
                                0..1; -1 for the first chapter, or when not
                                measured (only auto and report_pauses measure) */
    double end_confidence;   /* the same for the boundary after it */
    const char *title;   /* "" when it has none */
} sle_chapter;

/* Progress: percent 0..100, never going down; stage "read", "resample",
 * "detect" or "done". Non-zero cancels (SLE_ERR_CANCELLED). */
typedef int (*sle_progress_fn)(int percent, const char *stage, void *user);

/* Told each chapter once it is final, in order, index 1 first; the record
 * and its title live until sle_free(). Non-zero cancels. */
typedef int (*sle_chapter_fn)(const sle_chapter *chapter, void *user);

/* A session for frames that the caller pushes: rate in Hz (> 0), channels
 * 1 to 65535, frames interleaved. *out is NULL on failure. */
SLE_API sle_status sle_open(const char *options_json, int rate, int channels,
                            sle_session **out);

/* A session for a file. A RIFF/WAVE file the library reads itself (8- to
 * 32-bit integer, 32-bit float, any channel count); any other format, and
 * WAV files it refuses (other codecs, data over 2 GiB), through the media
 * module silsplit-media.so (FFmpeg), loaded the first time an input needs
 * it: SILSPLIT_MEDIA_MODULE names it, else it is looked for beside this
 * library and in silsplit/ beside it. Without it such an input fails with
 * SLE_ERR_MEDIA. The file is opened here; sle_finish() reads it. */
SLE_API sle_status sle_open_file(const char *path, const char *options_json,
                                 sle_session **out);

/* Callbacks, set before the first sle_push() or sle_finish(); fn may be NULL
 * (none). A pushed session makes its progress calls at sle_finish(). */
SLE_API sle_status sle_set_progress(sle_session *s, sle_progress_fn fn, void *user);
SLE_API sle_status sle_set_chapter_fn(sle_session *s, sle_chapter_fn fn, void *user);

/* Pushes n_frames frames (n_frames x channels floats, full scale 1.0;
 * frames may be NULL when n_frames is 0). The channels are mixed to their
 * mean as the WAV reader mixes a file's: any split of a recording into
 * pushes gives the same result as the whole file. Not for file sessions. */
SLE_API sle_status sle_push(sle_session *s, const float *frames, size_t n_frames);

/* Ends the recording (a file session reads its input first), finds the
 * chapters, calls the chapter callback for each one not yet told, and keeps
 * the results. Once only. A session that was pushed no frames fails with
 * SLE_ERR_ARGS ("no frames were pushed"). */
SLE_API sle_status sle_finish(sle_session *s);

/* Frees the session and everything it handed out. NULL does nothing. */
SLE_API void sle_free(sle_session *s);

/* ---------------------------------------------------------------------------
 * 6. Results (after a successful sle_finish(); before it they fail with
 *    SLE_ERR_STATE, or give -1 / NULL)
 *
 * A chapter is final once nothing pushed later can change it. Today every
 * chapter is final at the end of the recording, so the chapter callback
 * hears them all during sle_finish(); a session whose rules allow it may
 * tell them earlier, during sle_push(), and they never change afterwards.
 * ------------------------------------------------------------------------- */

/* The number of chapters, or -1 before sle_finish(). */
SLE_API int sle_chapter_count(const sle_session *s);

/* Chapter i (0 to count - 1) into *out. */
SLE_API sle_status sle_get_chapter(const sle_session *s, int i, sle_chapter *out);

/* The JSON report (as silsplit_analyze() gives it), or NULL before
 * sle_finish(). */
SLE_API const char *sle_report(const sle_session *s);

/* The input: its rate, its channel count (0 when the media module mixed it
 * and did not say) and the frames read or pushed, at that rate. */
typedef struct sle_input {
    int rate;
    int channels;
    int64_t frames;
} sle_input;
SLE_API sle_status sle_get_input(const sle_session *s, sle_input *out);

#ifdef __cplusplus
}
#endif

#endif /* SILSPLIT_ENGINE_H_PUBLIC */
