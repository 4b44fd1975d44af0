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

/* Byte-at-a-time stream access without a lock per character; ReadLine holds
 * the stream's lock for the whole line instead. */
#if defined(_WIN32)
#  define TAVL_LOCK_FILE(f)   _lock_file(f)
#  define TAVL_UNLOCK_FILE(f) _unlock_file(f)
#  define TAVL_GETC(f)        _getc_nolock(f)
#else
#  define TAVL_LOCK_FILE(f)   flockfile(f)
#  define TAVL_UNLOCK_FILE(f) funlockfile(f)
#  define TAVL_GETC(f)        getc_unlocked(f)
#endif

/* glibc keeps the unread part of a stream's buffer in two public fields of
 * FILE. Reading them lets ReadLine copy a run of bytes with memchr and
 * memcpy instead of one getc per byte; everything else goes through getc,
 * which refills the buffer. */
#if defined(__GLIBC__) && !defined(_WIN32)
#  define TAVL_STREAM_PEEK 1
#endif

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
    FILE *fp = *stream;
    size_t n = 0;   /* characters stored */
    int result;

    TAVL_LOCK_FILE(fp);
    for (;;) {
        int c = TAVL_GETC(fp);
        if (c == EOF) { result = -1; break; }
        if (c == '\n') { result = 0; break; }
        if (n % LINE_STEP == 0) {
            if (!Resize(slot, n + LINE_STEP + 1)) {
                /* The character just read is lost; what was stored stays,
                 * terminated (each step leaves room for the NUL). */
                if (*slot) (*slot)[n] = '\0';
                TAVL_UNLOCK_FILE(fp);
                return TBL_ERR_NO_MEMORY;
            }
        }
        char *block = *slot;
        block[n++] = (char)c;
#ifdef TAVL_STREAM_PEEK
        /* Copy the rest of this 1024-byte step straight from the stream's
         * buffer, up to the newline if it is there. */
        size_t room = (LINE_STEP - n % LINE_STEP) % LINE_STEP;
        size_t avail = (size_t)(fp->_IO_read_end - fp->_IO_read_ptr);
        size_t run = avail < room ? avail : room;
        if (run) {
            const char *src = fp->_IO_read_ptr;
            const char *nl = (const char *)memchr(src, '\n', run);
            if (nl) run = (size_t)(nl - src);
            memcpy(block + n, src, run);
            n += run;
            fp->_IO_read_ptr += run;
        }
#endif
    }
    TAVL_UNLOCK_FILE(fp);

    int rc = FinishLine(slot, n);
    return rc ? rc : result;
}
