// fuzz_codec.cpp - the stored form of a cell, fed any bytes.
//
// Input: the first byte is the delimiter (NUL and the backslash, which no
// table accepts, stand for the comma); the rest is used twice: as a value
// to encode in both forms and decode (it must come back byte for byte),
// and, up to its first NUL, as a stored line to split, find pieces of and
// decode them (which must stay in bounds, find the pieces the split gives
// and split into pieces that join back into the line); its first up to 127
// bytes are also a line in a window whose tail is the rest of the input,
// which every form of the window select this processor runs must answer as
// FindField does, or leave exactly when the window cannot tell; and the
// whole input, as a text of lines ended or not, must give the same bits of
// the split rule by masks as byte by byte, in every window.
#include <tavlin32.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/processor.h"
#include "base/tavlbuf.h"
#include "codec/field_bits.h"
#include "codec/field_select.h"
#include "codec/tavl_codec.h"
#include "store/backend.h"
#include "fuzz_util.h"

namespace {

using fuzzutil::Fail;

// A buffer slot that is freed however the check ends.
struct Text {
    char *slot = nullptr;
    Text() {
        if (TextBufferNew(&slot) != TEXT_OK) Fail("TextBufferNew failed without a failure armed");
    }
    ~Text() { TextBufferFree(&slot); }
};

// Delimiters whose stored form can never hold a bare one: not the escape
// letters (a control byte's \xNN can hold them, and the writers refuse such
// values instead), nor the quote, LF or CR, which no table accepts.
bool NeverBare(char d) { return d != '\0' && std::strchr("x0123456789abcdef\"\n\r", d) == nullptr; }

void RoundTrip(const std::string &value, char d, int escaped) {
    Text encoded;
    if (EncodeField(value.data(), value.size(), d, escaped, &encoded.slot) != TEXT_OK)
        Fail("EncodeField failed");
    const std::string stored = encoded.slot;
    // Control bytes are escaped; one may appear only as the delimiter
    // itself, between the two quotes that escape it.
    for (size_t i = 0; i < stored.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(stored[i]);
        if (b < 0x20 && !(b == static_cast<unsigned char>(d) && i > 0 && i + 1 < stored.size() &&
                          stored[i - 1] == '"' && stored[i + 1] == '"'))
            Fail("stored form holds a bare control byte");
    }
    if (NeverBare(d) && FieldHasBareDelimiter(stored.c_str(), d))
        Fail("stored form holds a bare delimiter");
    if (escaped && stored.find('"') != std::string::npos) Fail("escaped form holds a quote");

    Text decoded;
    int32_t size = -1;
    if (DecodeField(stored.data(), stored.size(), d, &decoded.slot, &size) != TEXT_OK)
        Fail("DecodeField failed");
    if (size != static_cast<int32_t>(value.size()) + 1)
        Fail("decoded size " + std::to_string(size) + " for a value of " + std::to_string(value.size()) + " bytes");
    if (std::memcmp(decoded.slot, value.data(), value.size()) != 0 || decoded.slot[value.size()] != '\0')
        Fail("value did not come back byte for byte");
}

void SplitFindDecode(const std::string &line, char d) {
    std::string split = line;
    int32_t pieces = SplitLine(&split[0], d);
    // Separators become NUL; putting D back gives the line again.
    int32_t nuls = 0;
    for (char &c : split)
        if (c == '\0') {
            ++nuls;
            c = d;
        }
    if (pieces != nuls + 1) Fail("SplitLine reported " + std::to_string(pieces) + " pieces for " + std::to_string(nuls) + " separators");
    if (split != line) Fail("joining the pieces with the delimiter does not give the line back");
    if ((pieces > 1) != (FieldHasBareDelimiter(line.c_str(), d) != 0))
        Fail("FieldHasBareDelimiter disagrees with SplitLine");

    split = line;
    SplitLine(&split[0], d);
    // The pieces are found in the unchanged line, which lies in a block of
    // exactly its size, and decoded where they lie. They are the pieces the
    // split gives, except with the quote as D, which no table accepts: the
    // split then takes a quote it has already cut for a neighbour.
    const bool same_rule = d != '"';
    const std::vector<char> exact(line.begin(), line.end());
    const char *piece = split.c_str();
    for (int32_t k = 0; k <= static_cast<int32_t>(line.size()) + 1; ++k) {
        size_t start = 0, length = 0;
        int found = FindField(exact.data(), exact.size(), d, k, &start, &length);
        if (same_rule && found != (k < pieces))
            Fail("FindField disagrees with SplitLine on piece " + std::to_string(k));
        if (!found) break;
        if (start > line.size() || length > line.size() - start) Fail("FindField left the line");
        if (same_rule && line.compare(start, length, piece) != 0) Fail("FindField found another piece");
        Text decoded;
        int32_t size = -1;
        if (DecodeField(exact.data() + start, length, d, &decoded.slot, &size) != TEXT_OK)
            Fail("DecodeField failed");
        if (size < 1 || size > static_cast<int32_t>(length) + 1)
            Fail("decoded size " + std::to_string(size) + " for a field of " + std::to_string(length) + " bytes");
        if (decoded.slot[size - 1] != '\0') Fail("decoded value not terminated at its size");
        if (same_rule) piece += length + 1;
    }
}

// The line line[0..n) (n below the window) ahead of tail in a block of
// exactly the bytes a select may read: every form answers field k as
// FindField does, exactly when the window holds no quote or backslash
// and, with controls, the line no byte up to CR but D.
void WindowSelect(const std::string &input, char d) {
    using Select = int (*)(const char *, uint32_t, char, int, uint32_t, uint32_t *, uint32_t *);
    std::vector<Select> forms = {SelectFieldPlain};
#if defined(TAVL_SELECT_WIDE)
    if (ProcessorVectorKind() >= PROCESSOR_AVX2) forms.push_back(SelectFieldWide);
    if (ProcessorVectorKind() >= PROCESSOR_AVX512) forms.push_back(SelectFieldWidest);
#endif
    const std::string line = input.substr(0, SELECT_WINDOW - 1);
    for (int controls : {0, 1}) {
        std::string window = line + (controls ? '\n' : '\0') + input.substr(line.size());
        window.resize(line.size() + SELECT_READ, 'x');
        const std::vector<char> exact(window.begin(), window.end());
        bool odd = window.find_first_of("\"\\") < SELECT_WINDOW;
        for (char c : line) odd |= controls && c != d && static_cast<unsigned char>(c) <= '\r';
        for (uint32_t k = 0; k < SELECT_FIELDS; k++) {
            size_t at = 0, length = 0;
            const int found = FindField(line.data(), line.size(), d, static_cast<int32_t>(k), &at, &length);
            for (Select select : forms) {
                uint32_t start = 0, size = 0;
                const int got = select(exact.data(), static_cast<uint32_t>(line.size()), d, controls, k,
                                       &start, &size);
                if (got != (found && !odd)) Fail("a window select answered where it should not, or left a field");
                if (got && line.compare(start, size, line, at, length) != 0)
                    Fail("a window select found another field than FindField");
            }
            if (!found) break;
        }
    }
}

// The two forms of the split rule's window, from every position of the
// text (its start and every position past 64 bytes before its end, where
// blocks cross the text's end).
void FieldBitsForms(const std::string &text, char d) {
    const std::vector<char> exact(text.begin(), text.end());
    for (int unended : {0, 1})
        for (size_t at = 0; at < text.size(); ++at) {
            if (at > 64 && at + 80 < text.size()) at = text.size() - 80;
            FieldBits wide, plain;
            FieldBitsAt(exact.data(), exact.size(), unended, at, d, &wide);
            FieldBitsPlainAt(exact.data(), exact.size(), unended, at, d, &plain);
            if (wide.delimiters != plain.delimiters || wide.quotes != plain.quotes ||
                wide.separators != plain.separators || wide.ends != plain.ends ||
                wide.special != plain.special)
                Fail("the split rule's masks differ from its bytes at " + std::to_string(at));
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    char d = static_cast<char>(data[0]);
    if (d == '\0' || d == '\\') d = ',';
    fuzzutil::Held held;
    {
        std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
        FieldBitsForms(rest, d);
        RoundTrip(rest, d, 0);
        RoundTrip(rest, d, 1);
        SplitFindDecode(rest.substr(0, rest.find('\0')), d);
        if (d != '"' && d != '\n' && d != '\r') WindowSelect(rest, d);
    }
    held.ExpectSame("codec");
    return 0;
}
