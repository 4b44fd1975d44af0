/*
 * tavlbuf.h - TextBuffer, the library's growable NUL-terminated byte string,
 * and ReadLine, which fills one from a stream.
 *
 * A TextBuffer is a char* slot that holds null or one heap block from the
 * host allocator. Every operation takes the slot's address, resizes the
 * block in place to exactly what the new text needs and writes the block's
 * new address back, so callers read the text through the slot and never
 * keep the block's address across a call. On failure the slot keeps its old
 * block and text. Only ReadLine keeps spare room (steps of 1024 bytes).
 */
#ifndef TAVL_TAVLBUF_H
#define TAVL_TAVLBUF_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* Results: TBL_OK or TBL_ERR_NO_MEMORY. A text argument must not lie inside
 * the buffer's own block. */
int TextBufferNew(char **slot);                      /* 1-byte empty text */
int TextBufferSet(char **slot, const char *text);
int TextBufferSetBytes(char **slot, const char *bytes, int32_t count);
int TextBufferAppend(char **slot, const char *text);
/* Appends count bytes (NUL bytes among them copied like any other). */
int TextBufferAppendBytes(char **slot, const char *bytes, size_t count);
int TextBufferAppendChar(char **slot, int c);        /* NUL appends nothing */
/* Stores c at position (at most the current length) and a NUL after it; a
 * smaller position cuts the text there. A negative position is refused with
 * TBL_ERR_RANGE, slot untouched. */
int TextBufferPutChar(char **slot, int c, int32_t position);
void TextBufferFree(char **slot);

/* Reads the next line of *stream into *slot (which must hold a block),
 * without its LF and one CR before it. 0: a newline ended the line; -1: the
 * end of the stream did (or a read error); TBL_ERR_NO_MEMORY: the block
 * could not grow (the text read so far stays, terminated; the character
 * just read is lost). The block grows to n + 1025 bytes each time the n
 * stored characters reach a multiple of 1024; an empty line resizes
 * nothing. A null stream reads as the end of one. */
int ReadLine(FILE **stream, char **slot);

#endif /* TAVL_TAVLBUF_H */
