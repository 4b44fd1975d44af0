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

/* What a text operation gave. Its one failure is a block the host
 * allocator refused; the slot then keeps its old block and text. The
 * codec's encoding and decoding answer the same. */
typedef enum TextResult {
    TEXT_OK = 0,
    TEXT_NO_MEMORY
} TextResult;

/* A text argument must not lie inside the buffer's own block. */
TextResult TextBufferNew(char **slot);               /* 1-byte empty text */
TextResult TextBufferSet(char **slot, const char *text);
TextResult TextBufferSetBytes(char **slot, const char *bytes, int32_t count);
/* The same for a count of any size (a line of a table may pass 2 GiB). */
TextResult TextBufferSetLength(char **slot, const char *bytes, size_t count);
TextResult TextBufferAppend(char **slot, const char *text);
/* Appends count bytes (NUL bytes among them copied like any other). */
TextResult TextBufferAppendBytes(char **slot, const char *bytes, size_t count);
TextResult TextBufferAppendChar(char **slot, int c); /* NUL appends nothing */
void TextBufferFree(char **slot);

#endif /* TAVL_TAVLBUF_H */
