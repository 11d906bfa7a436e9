// Loops compiled for the widest vectors the processor has.
//
// A function marked TROVAN_VECTOR_CLONES is compiled three times, for
// AVX-512, for AVX2 and for the baseline instruction set, and the first
// call picks the version the processor runs (GCC on x86-64; elsewhere the
// mark does nothing). It is meant for the simple loops over the grid (a
// gather, a scaling, a square root per point) that the compiler vectorises
// by itself; the transform has kernels of its own.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TROVAN_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TROVAN_VECTOR_CLONES
#endif
