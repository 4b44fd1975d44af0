/*
 * tavlbuf.cpp - TextBuffer operations and the line reader.
 *
 * Every operation measures what the new text needs on entry, resizes the
 * block once through qmem_realloc to exactly that size, and only then
 * stores the new address in the slot and writes. A failed resize therefore
 * leaves the slot, its block and its text as they were, and the caller
 * sees TBL_ERR_NO_MEMORY. ReadLine is the one exception to exact sizing: it
 * grows a line's block in steps of 1024 bytes, one resize each time the
 * stored characters reach a multiple of 1024.
 */
#include "base/tavlbuf.h"

#include <string.h>

#include "base/tavlhost.h"
#include "tavlin32.h"

#define LINE_STEP 1024u

/* Resizes *slot to size bytes. On failure the slot is untouched. */
static char *Resize(char **slot, size_t size) {
    char *block = (char *)qmem_realloc(*slot, size);
    if (block) *slot = block;
    return block;
}

static size_t TextLength(const char *text) { return text ? strlen(text) : 0; }

int TextBufferNew(char **slot) {
    *slot = (char *)qmem_calloc(1, 1);
    return *slot ? TBL_OK : TBL_ERR_NO_MEMORY;
}

/* Makes the text a copy of n bytes followed by a NUL. */
static int SetBytes(char **slot, const char *bytes, size_t n) {
    char *block = Resize(slot, n + 1);
    if (!block) return TBL_ERR_NO_MEMORY;
    if (n) memcpy(block, bytes, n);
    block[n] = '\0';
    return TBL_OK;
}

int TextBufferSet(char **slot, const char *text) {
    return SetBytes(slot, text, TextLength(text));
}

int TextBufferSetBytes(char **slot, const char *bytes, int32_t count) {
    /* A negative count or missing bytes set the empty text: reading from a
     * null pointer or sizing by a negative count would go out of bounds. */
    return SetBytes(slot, bytes, (bytes && count > 0) ? (size_t)count : 0);
}

int TextBufferAppend(char **slot, const char *text) {
    return TextBufferAppendBytes(slot, text, TextLength(text));
}

int TextBufferAppendBytes(char **slot, const char *bytes, size_t count) {
    size_t have = TextLength(*slot);
    char *block = Resize(slot, have + count + 1);
    if (!block) return TBL_ERR_NO_MEMORY;
    if (count) memcpy(block + have, bytes, count);
    block[have + count] = '\0';
    return TBL_OK;
}

int TextBufferAppendChar(char **slot, int c) {
    size_t have = TextLength(*slot);
    char *block = Resize(slot, have + 2);
    if (!block) return TBL_ERR_NO_MEMORY;
    /* Appending NUL leaves the text as it was; the block still grows. */
    block[have] = (char)(c & 0xFF);
    block[have + 1] = '\0';
    return TBL_OK;
}

int TextBufferPutChar(char **slot, int c, int32_t position) {
    /* A negative position would write in front of the block. */
    if (position < 0) return TBL_ERR_RANGE;
    size_t p = (size_t)position;
    char *block = Resize(slot, p + 2);
    if (!block) return TBL_ERR_NO_MEMORY;
    block[p] = (char)(c & 0xFF);
    block[p + 1] = '\0';
    return TBL_OK;
}

void TextBufferFree(char **slot) {
    if (*slot) qmem_free(*slot);
    *slot = NULL;
}

/* Terminates a line of n bytes in *slot and drops one CR at its end. An
 * empty line is written into the block already there; a slot without a
 * block gets the one-byte empty text. */
static int FinishLine(char **slot, size_t n) {
    if (!*slot) {
        char *block = (char *)qmem_calloc(1, 1);
        if (!block) return TBL_ERR_NO_MEMORY;
        *slot = block;
    }
    char *block = *slot;
    block[n] = '\0';
    if (n && block[n - 1] == '\r') block[n - 1] = '\0';
    return TBL_OK;
}

int ReadLine(FILE **stream, char **slot) {
    /* No stream reads as the end of one. */
    if (!stream || !*stream) {
        int rc = FinishLine(slot, 0);
        return rc ? rc : -1;
    }
    size_t n = 0; /* characters stored */
    int result;
    for (;;) {
        int c = fgetc(*stream);
        if (c == EOF) { result = -1; break; }
        if (c == '\n') { result = 0; break; }
        if (n % LINE_STEP == 0 && !Resize(slot, n + LINE_STEP + 1)) {
            /* The character just read is lost; what was stored stays,
             * terminated (each step leaves room for the NUL). */
            if (*slot) (*slot)[n] = '\0';
            return TBL_ERR_NO_MEMORY;
        }
        (*slot)[n++] = (char)c;
    }
    int rc = FinishLine(slot, n);
    return rc ? rc : result;
}
