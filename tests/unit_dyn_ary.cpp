// SparseArray: numbering, growth, ownership, removal, search, failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/dyn_ary.h"
#include "testsupport.h"

namespace {

std::vector<int> released;
int Release(void *e) { return released.push_back(*static_cast<int *>(e)), 0; }
int Refuse(void *) { return -5; }
int Equals(const void *e, const char *key) {
    return std::to_string(*static_cast<const int *>(e)) == key;
}
int v[5] = {7, 8, 7, 9, 7};

TEST(SparseArray, AddGetGrowDestroy) {
    EXPECT_EQ(SparseArrayCreate(0, nullptr), nullptr);
    SparseArray *a = SparseArrayCreate(1, Release);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(SparseArrayAdd(a, &v[i]), i);
        EXPECT_EQ(a->capacity, static_cast<uint32_t>(i + 1));
    }
    EXPECT_EQ(SparseArrayAdd(a, nullptr), -1);
    EXPECT_EQ(SparseArrayGet(a, 3), &v[3]);
    a->used = 3;  // slots past the used extent are never read
    for (int32_t bad : {-1, 3, 4, 100}) EXPECT_EQ(SparseArrayGet(a, bad), nullptr);
    a->used = 4;
    released.clear();
    ASSERT_EQ(SparseArrayRemove(a, 1), 0);
    EXPECT_EQ(SparseArrayDestroy(&a), 0);
    EXPECT_EQ(released, (std::vector<int>{8, 7, 7, 9}));
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(SparseArrayDestroy(&a), -1);
}

TEST(SparseArray, RemovalAndReuseOfSlots) {
    const struct {
        std::vector<int> remove;  // after adding elements 0, 1, 2
        int32_t next, count;      // index of the next add, live count after it
        int one;                  // slot 1 occupied afterwards
    } cases[] = {{{2}, 2, 3, 1}, {{1}, 3, 3, 0}, {{1, 2}, 1, 2, 1}, {{0, 1, 2}, 0, 1, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.remove));
        SparseArray *a = SparseArrayCreate(2, nullptr);
        for (int i = 0; i < 3; i++) SparseArrayAdd(a, &v[i]);
        for (int r : c.remove) ASSERT_EQ(SparseArrayRemove(a, r), 0);
        for (int r : c.remove) EXPECT_EQ(SparseArrayRemove(a, r), -1);
        EXPECT_EQ(SparseArrayAdd(a, &v[3]), c.next);
        EXPECT_EQ(SparseArrayCount(a), c.count);
        EXPECT_EQ(SparseArrayIsOccupied(a, 1), c.one);
        SparseArrayDestroy(&a);
    }
    SparseArray *a = SparseArrayCreate(4, Refuse);
    SparseArrayAdd(a, &v[0]);
    EXPECT_EQ(SparseArrayRemove(a, 0), -5);
    EXPECT_EQ(SparseArraySet(a, 1, &v[1]), -1);  // at the used extent
    EXPECT_EQ(SparseArraySet(a, 0, &v[3]), 0);
    EXPECT_EQ(SparseArrayGet(a, 0), &v[3]);
    EXPECT_EQ(SparseArrayCount(a), 1);
    SparseArrayDestroy(&a);
}

TEST(SparseArray, SearchWithCursor) {
    SparseArray *a = SparseArrayCreate(8, nullptr);
    ArraySearch cur;
    EXPECT_EQ(SparseArrayFindFirst(a, "7", Equals, &cur), -1);
    EXPECT_EQ(cur.position, -1);
    for (int &e : v) SparseArrayAdd(a, &e);
    SparseArrayRemove(a, 2);
    std::vector<int32_t> hits;
    for (int32_t i = SparseArrayFindFirst(a, "7", Equals, &cur); i >= 0;
         i = SparseArrayFindNext(a, &cur))
        hits.push_back(i);
    EXPECT_EQ(hits, (std::vector<int32_t>{0, 4}));
    EXPECT_EQ(cur.position, 4);
    std::string key(3000, 'k');
    ArraySearchInit(Equals, key.c_str(), -7, &cur);
    EXPECT_EQ(std::string(cur.key), key.substr(0, 1023));
    ArraySearchInit(Equals, "9", -7, &cur);  // a position below -1 starts at 0
    EXPECT_EQ(SparseArrayFindNext(a, &cur), 3);
    SparseArrayDestroy(&a);
}

TEST(SparseArray, AllocationFailures) {
    EXPECT_EQ(2, tavltest::SweepAllocationFailures([](long fail_at) {
        tavltest::Arm(fail_at);
        SparseArray *a = SparseArrayCreate(3, nullptr);
        tavltest::Disarm();
        EXPECT_EQ(a == nullptr, fail_at != 0);
        SparseArrayDestroy(&a);
    }));
    EXPECT_EQ(1, tavltest::SweepAllocationFailures([](long fail_at) {
        SparseArray *a = SparseArrayCreate(2, nullptr);
        SparseArrayAdd(a, &v[0]);
        SparseArrayAdd(a, &v[1]);
        tavltest::Arm(fail_at);
        int32_t rc = SparseArrayAdd(a, &v[2]);
        tavltest::Disarm();
        EXPECT_EQ(rc, fail_at ? -1 : 2);
        EXPECT_EQ(a->capacity, fail_at ? 2u : 4u);
        EXPECT_EQ(SparseArrayCount(a), fail_at ? 2 : 3);
        SparseArrayDestroy(&a);
    }));
}

}  // namespace
