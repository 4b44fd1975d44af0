// Field codec: stored forms, splitting, decoding, round trips of every
// byte, the multibyte path and allocation failures.
#include <gtest/gtest.h>
#include <varnix32.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <random>

#include "codec/tavl_codec.h"
#include "base/tavlbuf.h"
#include "tavlin32.h"
#include "testsupport.h"

namespace {

std::string Encode(const std::string &value, char d, int escaped = 0) {
    char *out = nullptr;
    EXPECT_EQ(TextBufferNew(&out), TEXT_OK);
    EXPECT_EQ(EncodeField(value.data(), value.size(), d, escaped, &out), TEXT_OK);
    std::string s(out);
    TextBufferFree(&out);
    return s;
}

// Decoded bytes, checked against the reported size and the terminator.
// The field goes in a block of exactly its size, with no NUL after it.
std::string Decode(const std::string &field, char d) {
    char *out = nullptr;
    int32_t size = -99;
    std::vector<char> exact(field.begin(), field.end());
    EXPECT_EQ(TextBufferNew(&out), TEXT_OK);
    EXPECT_EQ(DecodeField(exact.data(), exact.size(), d, &out, &size), TEXT_OK);
    std::string s(out, size > 0 ? size - 1 : 0);
    EXPECT_EQ(out[s.size()], '\0');
    TextBufferFree(&out);
    return s;
}

std::vector<std::string> Split(std::string line, char d) {
    std::vector<std::string> pieces;
    const char *p = line.c_str();
    for (int32_t n = SplitLine(&line[0], d); n > 0; n--, p += strlen(p) + 1)
        pieces.push_back(p);
    return pieces;
}

TEST(Codec, StoredForms) {
    const struct {
        std::string value, stored;
        char d;
        int encodes;  // 1: the plain form, 2: the escaped form, 0: an
                      // irregular field that only decodes
    } cases[] = {
        {"a,b", "a\",\"b", ',', 1}, {",", "\",\"", ',', 1}, {"C:\\dir", "C:\\\\dir", ',', 1},
        {"x\ny", "x\\x0ay", ',', 1}, {"\t", "\\x09", ',', 1}, {"say \"hi\"", "say \"hi\"", ',', 1},
        {"", "", ',', 1}, {"5\"", "5\"", ',', 1}, {std::string("a\0b", 3), "a\\x00b", ',', 1},
        {"\x7f\x80\xff", "\x7f\x80\xff", ',', 1}, {"a\tb", "a\"\t\"b", '\t', 1},
        {"J", "\\x4A", ',', 0}, {"\\X41", "\\X41", ',', 0}, {"a\\b", "a\\b", ',', 0},
        {"ab\\", "ab\\", ',', 0}, {"\x04", "\\x4", ',', 0}, {std::string(1, 0), "\\x", ',', 0},
        {std::string("\0z", 2), "\\xg1z", ',', 0}, {"\x12" "3", "\\x123", ',', 0},
        {"\",", "\",", ',', 0}, {"\",", "\"\",\"", ',', 0},
        {"a,\"b\\\n", "a\\x2c\\x22b\\\\\\x0a", ',', 2}, {"a\tb", "a\\x09b", '\t', 2},
        {"x", "\\x78", 'x', 2}, {"", "", ',', 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        if (c.encodes) {
            EXPECT_EQ(Encode(c.value, c.d, c.encodes == 2), c.stored);
        }
        EXPECT_EQ(Decode(c.stored, c.d), c.value);
    }
    for (int b = 0; b < 0x20; b++) {
        char want[5];
        snprintf(want, sizeof want, "\\x%02x", b);
        EXPECT_EQ(Encode(std::string(1, static_cast<char>(b)), ','), want);
    }
}

TEST(Codec, SplitAndBareDelimiters) {
    const std::pair<std::string, std::vector<std::string>> lines[] = {
        {"x,a\",\"b,", {"x", "a\",\"b", ""}}, {",a", {"", "a"}}, {"a\",", {"a\"", ""}},
        {"\",\"", {"\",\""}}, {",\",", {"", "\"", ""}}, {"a,,b", {"a", "", "b"}},
        {"p0,p\",\"1,,p3", {"p0", "p\",\"1", "", "p3"}},
    };
    for (const auto &c : lines) EXPECT_EQ(Split(c.first, ','), c.second) << c.first;
    // A field has a bare D exactly when it splits between two separators.
    const std::pair<const char *, int> fields[] = {
        {"", 0},  {"abc", 0}, {"a\",\"b", 0}, {"\",\"\",\"", 0}, {"a,b", 1},
        {",a", 1}, {"a,", 1},  {"\",", 1},     {",\"", 1},
    };
    for (const auto &c : fields) {
        EXPECT_EQ(FieldHasBareDelimiter(c.first, ','), c.second) << c.first;
        // ... exactly when the field splits standing between two separators.
        EXPECT_EQ(Split(std::string("x,") + c.first + ",y", ',').size(), 3u + c.second);
    }
}

// Every byte and random values survive encoding, sit in a line as exactly
// one field and decode back, whatever the delimiter.
TEST(Codec, RoundTrips) {
    std::string all;
    for (int b = 0; b < 256; b++) all += static_cast<char>(b);
    std::mt19937 rng(11);
    const char alphabet[] = "\",\\x\n\t;|\xa7\x01\0aZ";
    for (char d : {',', '\t', ';', '|', '\x01', '\xa7'}) {
        std::vector<std::string> values = {all, std::string(1, d)};
        for (int i = 0; i < 200; i++) {
            values.emplace_back();
            for (size_t n = rng() % 12; n; n--) values.back() += alphabet[rng() % 13];
        }
        for (const auto &v : values) {
            std::string stored = Encode(v, d);
            EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);
            ASSERT_EQ(Decode(stored, d), v) << "delimiter " << int(d);
            std::string sep(1, d);
            EXPECT_EQ(Split("a" + sep + stored + sep + "b", d),
                      (std::vector<std::string>{"a", stored, "b"}));
            EXPECT_EQ(FieldHasBareDelimiter(stored.c_str(), d), 0);
            // Both forms measure exactly what they write, and the escaped
            // one decodes to the value too.
            for (int escaped : {0, 1}) {
                std::string out(StoreField(v.data(), v.size(), d, escaped, nullptr), '#');
                EXPECT_EQ(StoreField(v.data(), v.size(), d, escaped, &out[0]), out.size());
                if (v.find('#') == std::string::npos) {
                    EXPECT_EQ(out.find('#'), std::string::npos); // every byte written
                }
                ASSERT_EQ(Decode(out, d), v) << "escaped " << escaped;
                EXPECT_EQ(Encode(v, d, escaped), out);  // appended whole
                if (escaped) {
                    EXPECT_EQ(out.find('"'), std::string::npos);
                }
            }
        }
    }
}

TEST(Codec, MultibyteCharactersStayWhole) {
    // One two-byte character of a multibyte locale: UTF-8 "\xc3\xa9" where
    // the C library has C.UTF-8, Shift-JIS "\x82\xa0" (code page 932) with
    // the Windows C runtime, which has no UTF-8 locale.
#ifdef _WIN32
    const char *locale = ".932";
    const std::string ch = "\x82\xa0";
#else
    const char *locale = "C.UTF-8";
    const std::string ch = "\xc3\xa9";
#endif
    std::string old_locale = setlocale(LC_CTYPE, nullptr);
    // Some runtimes answer an unknown locale with the old one's name, so the
    // character itself must measure two bytes.
    if (!setlocale(LC_CTYPE, locale) || mblen(ch.c_str(), 2) != 2) {
        setlocale(LC_CTYPE, old_locale.c_str());
        GTEST_SKIP() << "no " << locale << " locale";
    }
    int old_type = zkOsCharsetType;
    zkOsCharsetType = 2;
    EXPECT_EQ(Encode("caf" + ch + "," + ch, ','), "caf" + ch + "\",\"" + ch);
    // With D equal to the second byte the pair is stored byte by byte: kept
    // whole, its D would split the line.
    const char d = ch[1];
    const std::string split = ch.substr(0, 1) + "\"" + d + "\"";
    EXPECT_EQ(Encode(ch, d), split);
    EXPECT_EQ(Decode(split, d), ch);
    zkOsCharsetType = old_type;
    setlocale(LC_CTYPE, old_locale.c_str());
}

TEST(Codec, AllocationFailures) {
    EXPECT_EQ(1, tavltest::SweepAllocationFailures([](long fail_at) {
        char *out = nullptr;
        ASSERT_EQ(TextBufferSet(&out, "head:"), TEXT_OK);
        tavltest::Arm(fail_at);
        TextResult rc = EncodeField("a,b\\c\n", 6, ',', 0, &out);
        tavltest::Disarm();
        EXPECT_EQ(rc, fail_at ? TEXT_NO_MEMORY : TEXT_OK);
        EXPECT_STREQ(out, fail_at ? "head:" : "head:a\",\"b\\\\c\\x0a");
        TextBufferFree(&out);
    }));
    EXPECT_EQ(1, tavltest::SweepAllocationFailures([](long fail_at) {
        char *out = nullptr;
        int32_t size = -99;
        ASSERT_EQ(TextBufferNew(&out), TEXT_OK);
        tavltest::Arm(fail_at);
        TextResult rc = DecodeField("a\",\"b", 5, ',', &out, &size);
        tavltest::Disarm();
        EXPECT_EQ(rc, fail_at ? TEXT_NO_MEMORY : TEXT_OK);
        EXPECT_EQ(size, fail_at ? -99 : 4);
        TextBufferFree(&out);
    }));
}

}  // namespace
