// TextBuffer: texts, resize counts and every allocation failure.
#include <gtest/gtest.h>
#include <pellus.h>

#include <functional>

#include "base/tavlbuf.h"
#include "tavlin32.h"
#include "testsupport.h"

namespace {

template <class F> long CallsOf(F fn) {
    long before = pellus_calls();
    fn();
    return pellus_calls() - before;
}

TEST(TextBuffer, OperationsAndFailures) {
    char *t = nullptr;
    ASSERT_EQ(TextBufferNew(&t), TEXT_OK);
    EXPECT_EQ(CallsOf([&] { TextBufferSet(&t, "abcd"); }), 1);
    EXPECT_EQ(TextBufferAppend(&t, "-t"), TEXT_OK);
    EXPECT_EQ(TextBufferAppendChar(&t, 0), TEXT_OK);
    EXPECT_EQ(TextBufferAppendChar(&t, 0x100 | '!'), TEXT_OK);
    EXPECT_STREQ(t, "abcd-t!");
    EXPECT_EQ(TextBufferSetBytes(&t, "a\0b", 3), TEXT_OK);
    EXPECT_EQ(std::string(t, 4), std::string("a\0b\0", 4));
    TextBufferFree(&t);
    TextBufferFree(&t);
    EXPECT_EQ(t, nullptr);

    const std::function<TextResult(char **)> ops[] = {
        [](char **s) { return TextBufferSet(s, "longer"); },
        [](char **s) { return TextBufferSetBytes(s, "xy", 2); },
        [](char **s) { return TextBufferAppend(s, "more"); },
        [](char **s) { return TextBufferAppendChar(s, 'c'); },
        [](char **s) { return TextBufferAppendBytes(s, "a\0b", 3); },
    };
    for (const auto &op : ops) {
        EXPECT_EQ(1, tavltest::SweepAllocationFailures([&](long fail_at) {
            ASSERT_EQ(TextBufferSet(&t, "old"), TEXT_OK);
            tavltest::Arm(fail_at);
            TextResult rc = op(&t);
            tavltest::Disarm();
            EXPECT_EQ(rc, fail_at ? TEXT_NO_MEMORY : TEXT_OK);
            if (fail_at) {
                EXPECT_STREQ(t, "old");
            }
            TextBufferFree(&t);
        }));
    }
    static char earlier;
    t = &earlier;  // not released, but overwritten
    tavltest::Arm(1);
    EXPECT_EQ(TextBufferNew(&t), TEXT_NO_MEMORY);
    tavltest::Disarm();
    EXPECT_EQ(t, nullptr);
}

}  // namespace
