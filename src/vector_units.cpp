// Which vector units the CPU has, for the stages whose inner loops come in a
// version per unit (resampler, levels).
#include "base.h"

bool sil_kernel_available(int kernel) {
    switch (kernel) {
    case SIL_KERNEL_PLAIN:
        return true;
#if defined(__x86_64__) && defined(__GNUC__)
    case SIL_KERNEL_AVX2:
        return __builtin_cpu_supports("avx2");
    case SIL_KERNEL_AVX512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512dq");
#endif
    default:
        return false;
    }
}

int sil_widest_kernel(void) {
    for (int k = SIL_KERNEL_AVX512; k > SIL_KERNEL_PLAIN; k--)
        if (sil_kernel_available(k))
            return k;
    return SIL_KERNEL_PLAIN;
}
