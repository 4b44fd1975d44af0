/*
 * tavlbits.h - the constants and low-level helpers every layer shares, each
 * written once: the bytes the stored form gives a meaning to, the
 * byte-order mark, sixteen-byte blocks, bit counts and scans, prefetch,
 * an atomic counter, out-of-line functions, and the assertion macro.
 *
 * TAVL_ASSERT states what a caller guarantees. It is compiled in where
 * TAVL_ASSERTIONS is defined (debug, sanitizer and fuzz builds) and stops
 * the process with the failed condition; release builds drop it. It never
 * stands in for a check at the interface: the exports test what a host
 * passes and answer with a result code.
 */
#ifndef TAVL_TAVLBITS_H
#define TAVL_TAVLBITS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* The bytes the stored form of a cell gives a meaning to. */
#define QUOTE '"'
#define BACKSLASH '\\'

/* The UTF-8 byte-order mark. It belongs to a file, not to its first field. */
static const char kByteOrderMark[3] = {'\xEF', '\xBB', '\xBF'};

/* Sixteen bytes at a time where the machine has SSE2 (every x86-64). */
#if defined(__SSE2__) || defined(_M_X64) || \
    (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#  include <emmintrin.h>
#  define TAVL_SSE2 1

/* Bit k set where byte k of x equals the byte in every lane of bytes. */
static inline uint32_t ByteMask(__m128i x, __m128i bytes) {
    return (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(x, bytes));
}

static inline __m128i LoadSixteen(const void *at) {
    return _mm_loadu_si128((const __m128i *)at);
}
#endif

/* Eight bytes at a time without SIMD: the word with every byte b, and the
 * high bit of every byte of x that is zero. A byte above a zero byte may
 * be flagged too, so the result tells whether x holds a zero byte, not
 * which; x ^ Bytes(b) holds one where x holds b. */
static inline uint64_t Bytes(unsigned char b) { return 0x0101010101010101ull * b; }
static inline uint64_t ZeroBytes(uint64_t x) {
    return (x - Bytes(1)) & ~x & Bytes(0x80);
}

/* Bit counts and scans. GCC and clang have builtins for them, MSVC
 * intrinsics; elsewhere plain arithmetic does. These wrappers are the only
 * place the library names either, so that each compiler the library is
 * built with takes its own branch. */
#if defined(_MSC_VER) && !defined(__clang__)
#  include <intrin.h>
#endif

/* Inlined wherever it is called: for the few helpers of a hot path. */
#if defined(__GNUC__)
#  define TAVL_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#  define TAVL_ALWAYS_INLINE __forceinline
#else
#  define TAVL_ALWAYS_INLINE inline
#endif

/* Set bits of a 64-bit mask: the processor's instruction where the build
 * may use it, else plain arithmetic (not every machine the library is
 * built for has one). */
static TAVL_ALWAYS_INLINE unsigned BitCount64(uint64_t x) {
#if defined(__GNUC__) && defined(__POPCNT__)
    return (unsigned)__builtin_popcountll(x);
#else
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (unsigned)((x * Bytes(1)) >> 56);
#endif
}

/* A function built for processors that count bits in one instruction,
 * which its caller makes sure of (ProcessorCountsBits, base/processor.h);
 * inside it BitCount64Counting is that instruction. Where the compiler
 * cannot build such a form, it is an ordinary function. */
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#  define TAVL_TARGET_BITCOUNT __attribute__((target("popcnt")))
#else
#  define TAVL_TARGET_BITCOUNT
#endif

static TAVL_ALWAYS_INLINE unsigned BitCount64Counting(uint64_t x) {
#if defined(__GNUC__)
    return (unsigned)__builtin_popcountll(x);
#elif defined(_MSC_VER) && defined(_M_X64)
    return (unsigned)__popcnt64(x);
#else
    return BitCount64(x);
#endif
}

/* Position of the lowest set bit of a mask that is not 0. */
static inline unsigned LowestBit(uint32_t x) {
#if defined(__GNUC__)
    return (unsigned)__builtin_ctz(x);
#elif defined(_MSC_VER)
    unsigned long k;
    _BitScanForward(&k, x);
    return (unsigned)k;
#else
    unsigned k = 0;
    while (!(x & 1u)) {
        x >>= 1;
        k++;
    }
    return k;
#endif
}

/* Position of the lowest set bit of a 64-bit mask that is not 0. */
static inline unsigned LowestBit64(uint64_t x) {
#if defined(__GNUC__)
    return (unsigned)__builtin_ctzll(x);
#elif defined(_MSC_VER) && defined(_M_X64)
    unsigned long k;
    _BitScanForward64(&k, x);
    return (unsigned)k;
#else
    return (uint32_t)x ? LowestBit((uint32_t)x) : 32u + LowestBit((uint32_t)(x >> 32));
#endif
}

/* Position of the highest set bit of a mask that is not 0. */
static inline unsigned HighestBit(uint32_t x) {
#if defined(__GNUC__)
    return 31u - (unsigned)__builtin_clz(x);
#elif defined(_MSC_VER)
    unsigned long k;
    _BitScanReverse(&k, x);
    return (unsigned)k;
#else
    unsigned k = 0;
    while (x >>= 1) k++;
    return k;
#endif
}

/* Position of the highest set bit of a 64-bit mask that is not 0. */
static inline unsigned HighestBit64(uint64_t x) {
    return x >> 32 ? 32u + HighestBit((uint32_t)(x >> 32)) : HighestBit((uint32_t)x);
}

/* Copies count bytes; short copies, the usual cell, go as a pair of
 * overlapping words instead of a call. */
static TAVL_ALWAYS_INLINE void CopyBytes(char *dst, const char *src, size_t count) {
    if (count > 16) {
        memcpy(dst, src, count);
    } else if (count >= 8) {
        uint64_t head, tail;
        memcpy(&head, src, 8);
        memcpy(&tail, src + count - 8, 8);
        memcpy(dst, &head, 8);
        memcpy(dst + count - 8, &tail, 8);
    } else if (count >= 4) {
        uint32_t head, tail;
        memcpy(&head, src, 4);
        memcpy(&tail, src + count - 4, 4);
        memcpy(dst, &head, 4);
        memcpy(dst + count - 4, &tail, 4);
    } else {
        for (size_t j = 0; j < count; j++) dst[j] = src[j];
    }
}

/* Asks for the cache line at p while other work goes on. Never faults,
 * wherever p points. */
#if defined(__GNUC__)
#  define TAVL_PREFETCH(p) __builtin_prefetch((const void *)(p))
#elif defined(_MSC_VER) && defined(TAVL_SSE2)
#  define TAVL_PREFETCH(p) _mm_prefetch((const char *)(p), _MM_HINT_T0)
#else
#  define TAVL_PREFETCH(p) ((void)(p))
#endif

/* The value of *counter before adding 1 to it, atomically: threads that
 * count at once each get another value. No order with other memory is
 * asked for. A compiler with neither form gets a plain add. */
static inline uint32_t CounterNext(uint32_t *counter) {
#if defined(__GNUC__)
    return __atomic_fetch_add(counter, 1u, __ATOMIC_RELAXED);
#elif defined(_MSC_VER)
    return (uint32_t)_InterlockedExchangeAdd((volatile long *)counter, 1);
#else
    return (*counter)++;
#endif
}

/* Keeps a function out of line where it is called from a short fast path,
 * so that the fast path stays short. */
#if defined(__GNUC__)
#  define TAVL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#  define TAVL_NOINLINE __declspec(noinline)
#else
#  define TAVL_NOINLINE
#endif

#if defined(TAVL_ASSERTIONS)
#  include <stdio.h>
#  include <stdlib.h>
static inline void TavlAssertFailed(const char *condition, const char *file,
                                    int line) {
    fprintf(stderr, "tavlin32: %s:%d: assertion failed: %s\n", file, line,
            condition);
    abort();
}
#  define TAVL_ASSERT(condition) \
      ((condition) ? (void)0 : TavlAssertFailed(#condition, __FILE__, __LINE__))
#else
/* Not evaluated; still compiled, so what it names stays in use. */
#  define TAVL_ASSERT(condition) ((void)sizeof(condition))
#endif

#endif /* TAVL_TAVLBITS_H */
