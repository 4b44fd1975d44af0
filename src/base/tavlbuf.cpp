/*
 * tavlbuf.cpp - TextBuffer operations.
 *
 * Every operation measures what the new text needs on entry, resizes the
 * block once through qmem_realloc to exactly that size, and only then
 * stores the new address in the slot and writes. A failed resize therefore
 * leaves the slot, its block and its text as they were, and the caller
 * sees TEXT_NO_MEMORY.
 */
#include "base/tavlbuf.h"

#include <string.h>

#include "base/tavlbits.h"
#include "base/tavlhost.h"

/* Resizes *slot to size bytes. On failure the slot is untouched. */
static char *Resize(char **slot, size_t size) {
    char *block = (char *)qmem_realloc(*slot, size);
    if (block) *slot = block;
    return block;
}

static size_t TextLength(const char *text) { return text ? strlen(text) : 0; }

/* 1 when bytes lie inside the text's own block, which a resize may move:
 * a caller may not pass those. Only the assertions ask it. */
[[maybe_unused]] static int OwnBytes(const char *text, const char *bytes) {
    return text && bytes && bytes >= text && bytes <= text + strlen(text);
}

TextResult TextBufferNew(char **slot) {
    *slot = (char *)qmem_calloc(1, 1);
    return *slot ? TEXT_OK : TEXT_NO_MEMORY;
}

/* Makes the text a copy of n bytes followed by a NUL. */
static TextResult SetBytes(char **slot, const char *bytes, size_t n) {
    TAVL_ASSERT(!OwnBytes(*slot, bytes));
    char *block = Resize(slot, n + 1);
    if (!block) return TEXT_NO_MEMORY;
    if (n) memcpy(block, bytes, n);
    block[n] = '\0';
    return TEXT_OK;
}

TextResult TextBufferSet(char **slot, const char *text) {
    return SetBytes(slot, text, TextLength(text));
}

TextResult TextBufferSetBytes(char **slot, const char *bytes, int32_t count) {
    /* A negative count or missing bytes set the empty text: reading from a
     * null pointer or sizing by a negative count would go out of bounds. */
    return SetBytes(slot, bytes, (bytes && count > 0) ? (size_t)count : 0);
}

TextResult TextBufferSetLength(char **slot, const char *bytes, size_t count) {
    return SetBytes(slot, bytes, bytes ? count : 0);
}

TextResult TextBufferAppend(char **slot, const char *text) {
    return TextBufferAppendBytes(slot, text, TextLength(text));
}

TextResult TextBufferAppendBytes(char **slot, const char *bytes, size_t count) {
    TAVL_ASSERT(!OwnBytes(*slot, bytes));
    size_t have = TextLength(*slot);
    char *block = Resize(slot, have + count + 1);
    if (!block) return TEXT_NO_MEMORY;
    if (count) memcpy(block + have, bytes, count);
    block[have + count] = '\0';
    return TEXT_OK;
}

TextResult TextBufferAppendChar(char **slot, int c) {
    size_t have = TextLength(*slot);
    char *block = Resize(slot, have + 2);
    if (!block) return TEXT_NO_MEMORY;
    /* Appending NUL leaves the text as it was; the block still grows. */
    block[have] = (char)(c & 0xFF);
    block[have + 1] = '\0';
    return TEXT_OK;
}

void TextBufferFree(char **slot) {
    if (*slot) qmem_free(*slot);
    *slot = NULL;
}
