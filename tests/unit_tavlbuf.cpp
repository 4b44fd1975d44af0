// TextBuffer and ReadLine: texts, resize counts, block sizes where the heap
// shows them, and every allocation failure.
#include <gtest/gtest.h>
#include <pellus.h>

#include <cstdio>
#include <random>

#include "base/tavlbuf.h"
#include "tavlin32.h"
#include "testsupport.h"
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

FILE *StreamOf(const std::string &bytes) {
    FILE *f = std::tmpfile();
    if (f) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::rewind(f);
    }
    return f;
}

template <class F> long CallsOf(F fn) {
    long before = pellus_calls();
    fn();
    return pellus_calls() - before;
}

// glibc rounds a block up by less than 16 bytes (AddressSanitizer: none).
void ExpectBlockAbout(char *block, size_t size) {
#if defined(__GLIBC__)
    EXPECT_GE(malloc_usable_size(block), size);
    EXPECT_LT(malloc_usable_size(block), size + 16);
#else
    (void)block, (void)size;
#endif
}

TEST(TextBuffer, OperationsAndFailures) {
    char *t = nullptr;
    ASSERT_EQ(TextBufferNew(&t), TBL_OK);
    EXPECT_EQ(CallsOf([&] { TextBufferSet(&t, "abcd"); }), 1);
    EXPECT_EQ(TextBufferPutChar(&t, 'x', 1), TBL_OK);  // cuts the text there
    EXPECT_EQ(TextBufferPutChar(&t, 'y', 2), TBL_OK);  // at the length: appends
    EXPECT_EQ(TextBufferAppend(&t, "-t"), TBL_OK);
    EXPECT_EQ(TextBufferAppendChar(&t, 0), TBL_OK);
    EXPECT_EQ(TextBufferAppendChar(&t, 0x100 | '!'), TBL_OK);
    EXPECT_STREQ(t, "axy-t!");
    EXPECT_EQ(TextBufferSetBytes(&t, "a\0b", 3), TBL_OK);
    EXPECT_EQ(std::string(t, 4), std::string("a\0b\0", 4));
    EXPECT_EQ(TextBufferPutChar(&t, 'z', -1), TBL_ERR_RANGE);
    TextBufferFree(&t);
    TextBufferFree(&t);
    EXPECT_EQ(t, nullptr);

    const std::function<int(char **)> ops[] = {
        [](char **s) { return TextBufferSet(s, "longer"); },
        [](char **s) { return TextBufferSetBytes(s, "xy", 2); },
        [](char **s) { return TextBufferAppend(s, "more"); },
        [](char **s) { return TextBufferAppendChar(s, 'c'); },
        [](char **s) { return TextBufferPutChar(s, 'c', 1); },
    };
    for (const auto &op : ops) {
        EXPECT_EQ(1, tavltest::SweepAllocationFailures([&](long fail_at) {
            ASSERT_EQ(TextBufferSet(&t, "old"), TBL_OK);
            tavltest::Arm(fail_at);
            int rc = op(&t);
            tavltest::Disarm();
            EXPECT_EQ(rc, fail_at ? TBL_ERR_NO_MEMORY : TBL_OK);
            if (fail_at) {
                EXPECT_STREQ(t, "old");
            }
            TextBufferFree(&t);
        }));
    }
    static char earlier;
    t = &earlier;  // not released, but overwritten
    tavltest::Arm(1);
    EXPECT_EQ(TextBufferNew(&t), TBL_ERR_NO_MEMORY);
    tavltest::Disarm();
    EXPECT_EQ(t, nullptr);
}

TEST(ReadLine, EndingsAndCarriageReturns) {
    const struct {
        std::string stream;
        int result;
        std::string text;
    } cases[] = {
        {"abc\n", 0, "abc"}, {"abc\r\n", 0, "abc"}, {"abc\r\r\n", 0, "abc\r"},
        {"\n", 0, ""},       {"\r\n", 0, ""},       {"abc", -1, "abc"},
        {"abc\r", -1, "abc"}, {"", -1, ""},         {"\r", -1, ""},
        {std::string("a\0b\rc\n", 6), 0, std::string("a\0b\rc", 5)},
    };
    for (const auto &c : cases) {
        FILE *f = StreamOf(c.stream);
        char *t = nullptr;
        ASSERT_TRUE(f && TextBufferNew(&t) == TBL_OK);
        EXPECT_EQ(ReadLine(&f, &t), c.result) << testing::PrintToString(c.stream);
        EXPECT_EQ(std::string(t, c.text.size() + 1), c.text + '\0');
        TextBufferFree(&t);
        std::fclose(f);
    }
}

// Lines around the 1024 steps and the stream's buffer seams come back
// exactly, with one resize per step and the block sizes the steps give.
TEST(ReadLine, StepsSizesAndRandomLines) {
    std::mt19937 rng(7);
    std::vector<std::string> lines = {std::string(1024, 'a'), std::string(1025, 'b'), "",
                                      "xyz"};
    for (int i = 0; i < 300; i++)
        lines.emplace_back(i % 3 ? rng() % 5000 : 1020 + rng() % 10, 'A' + i % 26);
    std::string all;
    for (const auto &l : lines) all += l + "\n";
    FILE *f = StreamOf(all);
    char *t = nullptr;
    ASSERT_TRUE(f && TextBufferNew(&t) == TBL_OK);
    const size_t blocks[] = {1025, 2049, 2049, 1025};  // an empty line keeps it
    for (size_t i = 0; i < lines.size(); i++) {
        long calls = CallsOf([&] { ASSERT_EQ(ReadLine(&f, &t), 0); });
        ASSERT_EQ(std::string(t), lines[i]) << "line " << i;
        EXPECT_EQ(calls, static_cast<long>((lines[i].size() + 1023) / 1024));
        if (i < 4) ExpectBlockAbout(t, blocks[i]);
    }
    EXPECT_EQ(ReadLine(&f, &t), -1);
    TextBufferFree(&t);
    std::fclose(f);
}

// Failing step k keeps the 1024 * (k - 1) characters stored so far, loses
// the character just read and leaves the rest of the line unread.
TEST(ReadLine, FailedGrowthKeepsWhatWasStored) {
    std::string line;
    for (int i = 0; i < 3000; i++) line += static_cast<char>('a' + i % 26);
    EXPECT_EQ(3, tavltest::SweepAllocationFailures([&](long fail_at) {
        FILE *f = StreamOf(line + "\n");
        char *t = nullptr;
        ASSERT_TRUE(f && TextBufferNew(&t) == TBL_OK);
        tavltest::Arm(fail_at);
        int rc = ReadLine(&f, &t);
        tavltest::Disarm();
        size_t kept = 1024 * static_cast<size_t>(fail_at ? fail_at - 1 : 3);
        EXPECT_EQ(rc, fail_at ? TBL_ERR_NO_MEMORY : 0);
        EXPECT_EQ(std::string(t), line.substr(0, kept));
        if (fail_at) {
            ASSERT_EQ(ReadLine(&f, &t), 0);
            EXPECT_EQ(std::string(t), line.substr(kept + 1));
        }
        TextBufferFree(&t);
        std::fclose(f);
    }));
}

}  // namespace
