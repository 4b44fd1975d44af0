/*
 * processor.h - what the processor the library runs on can do, where that
 * decides which form of a routine runs. Asked at each open; the answer
 * never changes while a process runs.
 */
#ifndef TAVL_PROCESSOR_H
#define TAVL_PROCESSOR_H

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#  include <intrin.h>
#endif

/* Kinds of processor that forms of a routine are built for, each able to
 * run the forms of the kinds before it. */
#define PROCESSOR_PLAIN  0 /* any */
#define PROCESSOR_AVX2   1 /* AVX2, POPCNT, LZCNT and a fast BMI2 bit deposit */
#define PROCESSOR_AVX512 2 /* that, and AVX-512 byte compares (AVX512BW) */
#define PROCESSOR_KINDS  3

/* The kind of this processor. A fast bit deposit matters: AMD processors
 * before family 19h (Zen 3) and their derivatives run it as microcode,
 * hundreds of cycles a call, so they count as plain. Registers the system
 * does not keep across a switch of threads do not count. Plain on
 * processors other than x86. */
static inline int ProcessorVectorKind(void) {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    /* The compiler's runtime reads the processor once, as the library
     * loads, and checks what the system keeps; these only look at what it
     * found. */
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("bmi2") ||
        !__builtin_cpu_supports("popcnt") || __builtin_cpu_is("amdfam15h") ||
        __builtin_cpu_is("amdfam17h"))
        return PROCESSOR_PLAIN;
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f")
               ? PROCESSOR_AVX512
               : PROCESSOR_AVX2;
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    int r[4];
    __cpuid(r, 0);
    const int top = r[0];
    /* "AuthenticAMD" and "HygonGenuine" in EBX */
    const int amd = r[1] == 0x68747541 || r[1] == 0x6f677948;
    if (top < 7) return PROCESSOR_PLAIN;
    __cpuid(r, 1);
    const unsigned base = ((unsigned)r[0] >> 8) & 0xF;
    const unsigned family = base + (base == 0xF ? ((unsigned)r[0] >> 20) & 0xFF : 0);
    const int popcnt = (r[2] >> 23) & 1, osxsave = (r[2] >> 27) & 1, avx = (r[2] >> 28) & 1;
    if (!popcnt || !osxsave || !avx || (amd && family < 0x19)) return PROCESSOR_PLAIN;
    const unsigned long long kept = _xgetbv(0);
    __cpuidex(r, 7, 0);
    const int avx2 = (r[1] >> 5) & 1, bmi2 = (r[1] >> 8) & 1;
    const int avx512 = ((r[1] >> 16) & 1) && ((r[1] >> 30) & 1); /* F and BW */
    if (!avx2 || !bmi2 || (kept & 6) != 6) return PROCESSOR_PLAIN;
    return avx512 && (kept & 0xE6) == 0xE6 ? PROCESSOR_AVX512 : PROCESSOR_AVX2;
#else
    return PROCESSOR_PLAIN;
#endif
}

/* 1 when the processor counts the bits of a word in one instruction
 * (x86's POPCNT), which TAVL_TARGET_BITCOUNT functions use. */
static inline int ProcessorCountsBits(void) {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt");
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    int r[4];
    __cpuid(r, 1);
    return (r[2] >> 23) & 1;
#else
    return 0;
#endif
}

#endif /* TAVL_PROCESSOR_H */
