// Attributes of the exported entry points.
#pragma once

// A 32-bit x86 host may call with a stack aligned to 4 bytes only (older compilers, hand-written
// code, other languages' runtimes), while code compiled for SSE and AVX expects 16. Entry points
// that reach vector code realign the stack on entry there; 64-bit ABIs guarantee the alignment.
#if defined(__i386__)
#define PLATEIO_ALIGNED_ENTRY __attribute__((force_align_arg_pointer))
#else
#define PLATEIO_ALIGNED_ENTRY
#endif
