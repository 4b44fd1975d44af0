/*
 * pellus.cpp - allocator stand-in over the C heap, with a failure switch,
 * a live-block count and the largest block asked for, for tests. Safe to
 * call from several threads.
 */
#include "pellus.h"

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<long> calls{0};
std::atomic<long> live{0};
std::atomic<long> fail_call{0}; // absolute call number that fails; 0 = none
std::atomic<size_t> largest{0};

// Counts one allocation call of size bytes and tells whether it must fail.
bool next_call_fails(size_t size) {
    for (size_t seen = largest.load(); size > seen && !largest.compare_exchange_weak(seen, size);) {
    }
    long n = calls.fetch_add(1) + 1;
    long f = fail_call.load();
    return f != 0 && n == f;
}
} // namespace

extern "C" {

void *qmem_malloc(size_t size) {
    if (next_call_fails(size)) return nullptr;
    void *p = std::malloc(size ? size : 1);
    if (p) live.fetch_add(1);
    return p;
}

void *qmem_calloc(size_t count, size_t size) {
    if (next_call_fails(count * size)) return nullptr;
    void *p = std::calloc(count ? count : 1, size ? size : 1);
    if (p) live.fetch_add(1);
    return p;
}

void *qmem_realloc(void *block, size_t size) {
    if (next_call_fails(size)) return nullptr;
    void *p = std::realloc(block, size ? size : 1);
    if (p && !block) live.fetch_add(1);
    return p;
}

int qmem_free(void *block) {
    if (block) {
        live.fetch_sub(1);
        std::free(block);
    }
    return 0;
}

void pellus_fail_at(long n) { fail_call.store(n > 0 ? calls.load() + n : 0); }
long pellus_calls(void) { return calls.load(); }
long pellus_live_blocks(void) { return live.load(); }
size_t pellus_largest_block(void) { return largest.exchange(0); }

} // extern "C"
