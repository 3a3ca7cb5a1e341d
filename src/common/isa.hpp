// The instruction sets the library's kernels are written for, and the one place that decides which
// of them this processor runs.
//
// Every kernel has a portable version, plain C++ that is compiled for every target and is what ships
// on every architecture but x86, and may have a vector version per instruction set. An exported
// function asks best_isa() once and passes the answer down; each kernel picks its version with one
// switch on it. The answer comes from the C runtime's own description of the processor (filled in
// before the library's code runs), so the library keeps no state of its own.
//
// A build with PLATEIO_PORTABLE compiles no vector code at all, as on an architecture without any.
#pragma once

#include <span>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(PLATEIO_PORTABLE)
// The AVX2 versions exist in this build. They are compiled for exactly the features best_isa()
// checks: AVX2 with the BMI and POPCNT instructions that every AVX2 processor has.
#define PLATEIO_HAVE_AVX2 1
#define PLATEIO_TARGET_AVX2 __attribute__((target("avx2,bmi,popcnt")))
#else
#define PLATEIO_HAVE_AVX2 0
#endif

// A 32-bit x86 host may call with a stack aligned to 4 bytes only (older compilers, hand-written code,
// other languages' runtimes), while code compiled for SSE and AVX expects 16. Entry points that reach
// vector code realign the stack on entry there; 64-bit ABIs guarantee the alignment.
#if defined(__i386__)
#define PLATEIO_ALIGNED_ENTRY __attribute__((force_align_arg_pointer))
#else
#define PLATEIO_ALIGNED_ENTRY
#endif

namespace plateio {

enum class Isa {
    portable, // plain C++, on every processor
    avx2,     // x86 with AVX2, BMI and POPCNT
};

// True when this build holds the version for `isa` and this processor runs it.
bool isa_supported(Isa isa) noexcept;

// The fastest instruction set this build and processor share.
Isa best_isa() noexcept;

// Every instruction set isa_supported() accepts, portable first: for tests and benchmarks that hold
// each version to the portable one.
std::span<const Isa> supported_isas() noexcept;

// "portable", "avx2".
const char *isa_name(Isa isa) noexcept;

} // namespace plateio
