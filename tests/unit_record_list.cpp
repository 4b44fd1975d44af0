// RecordList: numbering, growth, ownership, removal, failures.
#include <gtest/gtest.h>

#include <vector>

#include "base/record_list.h"
#include "testsupport.h"

namespace {

std::vector<int> released;
int Release(void *e) { return released.push_back(*static_cast<int *>(e)), 0; }
int Refuse(void *) { return -5; }
int v[5] = {7, 8, 7, 9, 7};

TEST(RecordList, AddGetGrowDestroy) {
    EXPECT_EQ(RecordListCreate(0, nullptr), nullptr);
    RecordList *a = RecordListCreate(1, Release);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(RecordListAdd(a, &v[i]), i);
        EXPECT_EQ(a->capacity, static_cast<uint32_t>(i + 1));
    }
    EXPECT_EQ(RecordListAdd(a, nullptr), -1);
    EXPECT_EQ(RecordListGet(a, 3), &v[3]);
    a->used = 3;  // slots past the used extent are never read
    for (int32_t bad : {-1, 3, 4, 100}) EXPECT_EQ(RecordListGet(a, bad), nullptr);
    a->used = 4;
    released.clear();
    ASSERT_EQ(RecordListRemove(a, 1), 0);
    EXPECT_EQ(RecordListDestroy(&a), 0);
    EXPECT_EQ(released, (std::vector<int>{8, 7, 7, 9}));
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(RecordListDestroy(&a), -1);
}

TEST(RecordList, RemovalAndReuseOfSlots) {
    const struct {
        std::vector<int> remove;  // after adding elements 0, 1, 2
        int32_t next, count;      // index of the next add, live count after it
        const int *one;           // the element in slot 1 afterwards
    } cases[] = {{{2}, 2, 3, &v[1]}, {{1}, 3, 3, nullptr}, {{1, 2}, 1, 2, &v[3]},
                 {{0, 1, 2}, 0, 1, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.remove));
        RecordList *a = RecordListCreate(2, nullptr);
        for (int i = 0; i < 3; i++) RecordListAdd(a, &v[i]);
        for (int r : c.remove) ASSERT_EQ(RecordListRemove(a, r), 0);
        for (int r : c.remove) EXPECT_EQ(RecordListRemove(a, r), -1);
        EXPECT_EQ(RecordListAdd(a, &v[3]), c.next);
        EXPECT_EQ(RecordListCount(a), c.count);
        EXPECT_EQ(RecordListGet(a, 1), c.one);
        RecordListDestroy(&a);
    }
    RecordList *a = RecordListCreate(4, Refuse);
    RecordListAdd(a, &v[0]);
    EXPECT_EQ(RecordListRemove(a, 0), -5);  // the element stays
    EXPECT_EQ(RecordListGet(a, 0), &v[0]);
    EXPECT_EQ(RecordListCount(a), 1);
    RecordListDestroy(&a);
}

TEST(RecordList, AllocationFailures) {
    EXPECT_EQ(2, tavltest::SweepAllocationFailures([](long fail_at) {
        tavltest::Arm(fail_at);
        RecordList *a = RecordListCreate(3, nullptr);
        tavltest::Disarm();
        EXPECT_EQ(a == nullptr, fail_at != 0);
        RecordListDestroy(&a);
    }));
    EXPECT_EQ(1, tavltest::SweepAllocationFailures([](long fail_at) {
        RecordList *a = RecordListCreate(2, nullptr);
        RecordListAdd(a, &v[0]);
        RecordListAdd(a, &v[1]);
        tavltest::Arm(fail_at);
        int32_t rc = RecordListAdd(a, &v[2]);
        tavltest::Disarm();
        EXPECT_EQ(rc, fail_at ? -1 : 2);
        EXPECT_EQ(a->capacity, fail_at ? 2u : 4u);
        EXPECT_EQ(RecordListCount(a), fail_at ? 2 : 3);
        RecordListDestroy(&a);
    }));
}

}  // namespace
