// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Marks a hot function to be compiled twice, for AVX2 and for the baseline, with the variant
// chosen when the program loads: a portable -O2 build that still uses the wide registers where
// the machine has them.
// Sanitizer builds go without: the variant is picked by a resolver that runs before the
// sanitizer's runtime is up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define CORVANE_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define CORVANE_SIMD_CLONES
#endif
