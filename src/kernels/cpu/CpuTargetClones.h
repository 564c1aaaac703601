// Multiversioning of the CPU kernels.
//
// On x86-64 these kernels are compiled more than once: for processors with
// AVX2 and FMA instructions (where std::fma becomes a single instruction
// instead of a library call per element, and loops run four doubles wide),
// and for the baseline instruction set; the loader picks the version that
// the processor runs. The kernels with the most double-precision work per
// element get a third version for AVX-512 processors, whose 32 vector
// registers hold their intermediate values without spilling. All versions
// give the same bits: every step is an IEEE operation rounded the same way
// on every instruction set, a fused multiply-add is exactly rounded either
// way, and the build forbids the compiler to fuse anything else.
#pragma once

#if defined(__x86_64__) && defined(__ELF__) && defined(__has_attribute) && !defined(POWERGPU_NO_TARGET_CLONES)
#if __has_attribute(target_clones)
#define POWERGPU_CPU_KERNEL_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#define POWERGPU_CPU_WIDE_KERNEL_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
#endif

#ifndef POWERGPU_CPU_KERNEL_CLONES
#define POWERGPU_CPU_KERNEL_CLONES
#define POWERGPU_CPU_WIDE_KERNEL_CLONES
#endif

// Helpers of the cloned kernels are inlined into each clone, so that they
// are compiled for the clone's instruction set.
#if defined(__GNUC__)
#define POWERGPU_CPU_INLINE __attribute__((always_inline)) inline
#else
#define POWERGPU_CPU_INLINE inline
#endif
