// The ground floor every stage stands on: the per-thread error text and its
// code, the chapter record, the analysis grid, the vector units, and small
// heap helpers.
//
// Conventions: every function that can fail returns -1 (or NULL) after
// writing exactly one message with sil_set_error() or sil_fail() and freeing
// what it allocated; blocks handed between stages are C heap blocks freed
// with free().
#ifndef SILSPLIT_BASE_H
#define SILSPLIT_BASE_H

#include "silsplit.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// ---------------------------------------------------------------------------
// Errors (errors.cpp)
// ---------------------------------------------------------------------------

// A code beside the calling thread's error text, so that callers can branch
// on what happened without matching texts.
enum sil_error_code {
    SIL_ERR_NONE = 0,
    SIL_ERR_FAILED,    // any other failure (the text says which)
    SIL_ERR_ARGS,      // invalid arguments or options
    SIL_ERR_MEMORY,    // an allocation failed
    SIL_ERR_CANCELLED, // the progress callback asked to stop
    SIL_ERR_READ,      // the input could not be read
    SIL_ERR_WRITE,     // an output could not be written
    SIL_ERR_FORMAT,    // not a file the WAV reader takes
    SIL_ERR_TOO_LARGE, // a WAV file the reader refuses for its size
};

// Stores the first 511 bytes of msg as the calling thread's error text, with
// the code SIL_ERR_FAILED; NULL empties it.
void sil_set_error(const char *msg);
// As sil_set_error, with the given code.
void sil_fail(int code, const char *msg);
// "out of memory", with SIL_ERR_MEMORY.
void sil_fail_memory(void);
// Empties the calling thread's error text.
void sil_clear_error(void);
// The calling thread's error text (never NULL).
const char *sil_get_error(void);
// The code of that text; SIL_ERR_NONE when it is empty.
int sil_error_code(void);

// ---------------------------------------------------------------------------
// The analysis grid and the chapter record
// ---------------------------------------------------------------------------

// The analysis runs at 16 kHz on frames of 20 ms taken every 10 ms.
constexpr int32_t SIL_ANALYSIS_RATE = 16000;
constexpr int SIL_FRAME_LEN = 320;
constexpr int SIL_HOP = 160;

// Most chapters a result may hold; one more is an error.
constexpr int SIL_MAX_CHAPTERS = 10000;

// One chapter of the analysed signal, in seconds.
struct sil_chapter {
    float t0;
    float t1;
    float peak_db; // highest frame level inside the chapter, never below -120
};
static_assert(sizeof(sil_chapter) == 12, "sil_chapter is three floats");

// Start time of level frame k, in single precision: k × 160 / 16000.
inline float sil_frame_time(int32_t k) {
    return (float)k * (float)SIL_HOP / (float)SIL_ANALYSIS_RATE;
}

// ---------------------------------------------------------------------------
// Vector units (vector_units.cpp)
// ---------------------------------------------------------------------------

// The inner loops come in versions for the CPU's vector units, all with the
// plain loop's results bit for bit; the widest the CPU has is used. Tests
// run each one.
enum { SIL_KERNEL_PLAIN = 0, SIL_KERNEL_AVX2 = 1, SIL_KERNEL_AVX512 = 2 };
bool sil_kernel_available(int kernel);
int sil_widest_kernel(void);

// ---------------------------------------------------------------------------
// Heap helpers
// ---------------------------------------------------------------------------

// Scope guard for a C heap block; .release() hands the block on.
struct sil_free_deleter {
    void operator()(void *p) const { free(p); }
};
template <typename T> using sil_heap_ptr = std::unique_ptr<T, sil_free_deleter>;

// A heap array of n (at least one) elements, uninitialised; NULL when it
// cannot be had.
template <typename T> inline T *sil_alloc_array(size_t n) {
    return static_cast<T *>(malloc((n ? n : 1) * sizeof(T)));
}

// Appends v to a growing heap list (16 entries first, then doubled); false
// when it cannot grow, with the list unchanged.
template <typename T>
inline bool sil_push(sil_heap_ptr<T> &list, size_t &count, size_t &cap, const T &v) {
    if (count == cap) {
        const size_t new_cap = cap ? cap * 2 : 16;
        T *grown = static_cast<T *>(realloc(list.get(), new_cap * sizeof(T)));
        if (!grown)
            return false;
        list.release();
        list.reset(grown);
        cap = new_cap;
    }
    list.get()[count++] = v;
    return true;
}

#endif // SILSPLIT_BASE_H
