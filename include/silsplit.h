/*
 * silsplit: find the silences in a recording and divide it into chapters.
 *
 * A plain C interface to libkestrova-audio-silence-splitter. Every function
 * may be called from any number of threads at once; each call runs to its
 * end on the calling thread and the library starts no threads of its own.
 *
 * Failures show as a NULL result (or -1) together with a short English
 * message that silsplit_last_error() returns on the same thread.
 */
#ifndef SILSPLIT_H
#define SILSPLIT_H

#if defined(_WIN32)
#  if defined(SILSPLIT_BUILDING)
#    define SILSPLIT_API __declspec(dllexport)
#  else
#    define SILSPLIT_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define SILSPLIT_API __attribute__((visibility("default")))
#else
#  define SILSPLIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Progress callback of silsplit_analyze_progress().
 * percent: 0 to 100, never lower than in the call before; stage: "read",
 * "resample", "detect" or "done" (static text, do not free); user: the pointer
 * given to silsplit_analyze_progress(), passed back untouched.
 * Return 0 to go on; any other value cancels the analysis, which then fails
 * with "cancelled".
 */
typedef int (*silsplit_progress_fn)(int percent, const char *stage, void *user);

/* The library's version, "1.1.0". Static text; never NULL, never freed. */
SILSPLIT_API const char *silsplit_version(void);

/*
 * The message of the calling thread's last failed call, or "" when its last
 * call succeeded or it made none. Never NULL; valid until the thread's next
 * analysis call. Calling it does not change the message.
 */
SILSPLIT_API const char *silsplit_last_error(void);

/*
 * Frees a report returned by one of the silsplit_analyze functions. NULL does
 * nothing. Use this rather than free(): the host and the library may be
 * built against different C runtimes.
 */
SILSPLIT_API void silsplit_free_string(char *s);

/*
 * Analyses a buffer of mono float samples (full scale 1.0). pcm may be NULL
 * only when n_samples is 0. opts_json: NULL or a JSON object with any of
 * threshold_db, min_silence_s, min_chapter_s, padding_s, max_chapter_s and
 * sample_rate (the rate of pcm; 16000 when absent or not above 0).
 * Returns the JSON report, owned by the caller and freed with
 * silsplit_free_string(), or NULL on failure (see silsplit_last_error()).
 */
SILSPLIT_API char *silsplit_analyze_pcm(const float *pcm, int n_samples, const char *opts_json);

/*
 * Analyses a RIFF/WAVE file (8/16/24/32-bit integer or float, any channel
 * count) at its own sample rate; opts_json as above (sample_rate is ignored).
 * Returns the JSON report, freed with silsplit_free_string(), or NULL on
 * failure.
 */
SILSPLIT_API char *silsplit_analyze(const char *wav_path, const char *opts_json);

/*
 * As silsplit_analyze(), reporting progress to fn (which may be NULL) with
 * user handed back unchanged. fn hears (0, "read") before the file is opened
 * and (100, "done") once the report is ready; a non-zero return at any call
 * makes this return NULL with "cancelled", even at "done".
 */
SILSPLIT_API char *silsplit_analyze_progress(const char *wav_path, const char *opts_json,
                                             silsplit_progress_fn fn, void *user);

/*
 * Cuts a WAV file into chapters: writes out_dir/ch_001.wav, ch_002.wav, ...
 * (16-bit mono at the file's own rate) and out_dir/chapters.json (the report
 * of silsplit_analyze()). out_dir is created if its parent exists.
 * Returns the number of chapters written (0 or more), or -1 on failure.
 * Chapter files written before a failure stay on disk.
 */
SILSPLIT_API int silsplit_write_chapters(const char *wav_path, const char *opts_json,
                                         const char *out_dir);

#ifdef __cplusplus
}
#endif

#endif /* SILSPLIT_H */
