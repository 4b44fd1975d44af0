/*
 * tavlbuf.h - TextBuffer, the library's growable NUL-terminated byte string.
 *
 * A TextBuffer is a char* slot that holds null or one heap block from the
 * host allocator. Every operation takes the slot's address, resizes the
 * block in place to exactly what the new text needs and writes the block's
 * new address back, so callers read the text through the slot and never
 * keep the block's address across a call. On failure the slot keeps its old
 * block and text.
 */
#ifndef TAVL_TAVLBUF_H
#define TAVL_TAVLBUF_H

#include <stddef.h>
#include <stdint.h>

/* Results: TBL_OK or TBL_ERR_NO_MEMORY. A text argument must not lie inside
 * the buffer's own block. */
int TextBufferNew(char **slot);                      /* 1-byte empty text */
int TextBufferSet(char **slot, const char *text);
int TextBufferSetBytes(char **slot, const char *bytes, int32_t count);
/* The same for a count of any size (a line of a table may pass 2 GiB). */
int TextBufferSetLength(char **slot, const char *bytes, size_t count);
int TextBufferAppend(char **slot, const char *text);
/* Appends count bytes (NUL bytes among them copied like any other). */
int TextBufferAppendBytes(char **slot, const char *bytes, size_t count);
int TextBufferAppendChar(char **slot, int c);        /* NUL appends nothing */
void TextBufferFree(char **slot);

#endif /* TAVL_TAVLBUF_H */
