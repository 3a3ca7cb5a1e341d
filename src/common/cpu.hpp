// What the processor can run, for the paths chosen at run time. The answers come from the C
// runtime's own description of the CPU (filled in before the library's code runs); the library
// keeps no state of its own.
#pragma once

namespace plateio {

// AVX2 with the BMI and POPCNT instructions that every AVX2 processor has.
inline bool cpu_has_avx2() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

} // namespace plateio
