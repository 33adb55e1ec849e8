// Array: growth, insertion and the cursor, freeing with and without a function.
#include "adt/array.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace adt;

namespace
{

// Owns an array for a test, so that a failing assertion does not leak it.
struct Owned {
    Array a = array_init(0);
    ~Owned() { array_free(&a); }
};

// The elements seen by the iteration protocol, as ints.
std::vector<int> walk(Array a)
{
    std::vector<int> seen;
    for (int *p = static_cast<int *>(array_get_num(a, 0)); p; p = static_cast<int *>(array_get(a)))
        seen.push_back(*p);
    return seen;
}

int freed_count = 0;

void free_slot(void **slot)
{
    free(*slot);
    *slot = nullptr;
    freed_count++;
}

} // namespace

TEST(Array, NewArrayIsEmpty)
{
    Owned o;
    ASSERT_NE(o.a, nullptr);
    EXPECT_EQ(o.a->size, 0);
    EXPECT_EQ(o.a->block, 10);
    EXPECT_EQ(o.a->items, 0);
    EXPECT_EQ(o.a->current, -1);
    EXPECT_EQ(o.a->lock, 0);
    EXPECT_EQ(o.a->locked, 0);
    EXPECT_EQ(o.a->data, nullptr);
    EXPECT_EQ(array_items(o.a), 0);
    EXPECT_EQ(array_get(o.a), nullptr);
    EXPECT_EQ(array_get_num(o.a, 0), nullptr);
    EXPECT_EQ(o.a->current, -1);
}

TEST(Array, GrowsInStepsOfTenAndKeepsOrder)
{
    Owned o;
    int v[25];
    for (int i = 0; i < 25; i++) {
        v[i] = i;
        ASSERT_EQ(array_add(o.a, &v[i]), 1);
        // One block of ten at the first element, another at the eleventh.
        EXPECT_EQ(o.a->size, i < 10 ? 10 : i < 20 ? 20 : 30);
    }
    EXPECT_EQ(o.a->size, 30);
    EXPECT_EQ(array_items(o.a), 25);
    // Slots beyond the elements are null.
    for (int i = 25; i < 30; i++) EXPECT_EQ(o.a->data[i], nullptr);
    std::vector<int> want(25);
    for (int i = 0; i < 25; i++) want[i] = i;
    EXPECT_EQ(walk(o.a), want);
    EXPECT_EQ(o.a->current, -1);
}

TEST(Array, RefusesNulls)
{
    Owned o;
    int v = 1;
    EXPECT_EQ(array_add(o.a, nullptr), 0);
    EXPECT_EQ(array_items(o.a), 0);
    EXPECT_EQ(array_add(nullptr, &v), 0);
    EXPECT_EQ(array_add_num(nullptr, &v, 0), 0);
    EXPECT_EQ(array_add_num(o.a, nullptr, 0), 0);
    EXPECT_EQ(array_items(nullptr), 0);
    EXPECT_EQ(array_get(nullptr), nullptr);
    EXPECT_EQ(array_get_num(nullptr, 0), nullptr);
}

TEST(Array, InsertPositions)
{
    Owned o;
    int v[5] = {0, 1, 2, 3, 4};
    ASSERT_EQ(array_add_num(o.a, &v[1], 0), 1);
    // num equal to items appends.
    ASSERT_EQ(array_add_num(o.a, &v[3], 1), 1);
    ASSERT_EQ(array_add_num(o.a, &v[2], 1), 1);
    ASSERT_EQ(array_add_num(o.a, &v[0], 0), 1);
    EXPECT_EQ(array_add_num(o.a, &v[4], 5), 0);
    EXPECT_EQ(array_add_num(o.a, &v[4], -1), 0);
    EXPECT_EQ(walk(o.a), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(array_items(o.a), 4);
}

TEST(Array, RefusedInsertKeepsGrowth)
{
    Owned o;
    int v = 7;
    // The growth happens before the position is checked, and stays.
    EXPECT_EQ(array_add_num(o.a, &v, 3), 0);
    EXPECT_EQ(o.a->size, 10);
    EXPECT_EQ(array_items(o.a), 0);
}

TEST(Array, InsertionMovesTheCursorWithItsElement)
{
    Owned o;
    int v[6] = {0, 1, 2, 3, 4, 99};
    for (int i = 0; i < 5; i++) array_add(o.a, &v[i]);
    ASSERT_EQ(array_get_num(o.a, 1), &v[1]);
    EXPECT_EQ(o.a->current, 2);
    ASSERT_EQ(array_add_num(o.a, &v[5], 0), 1);
    EXPECT_EQ(o.a->current, 3);
    EXPECT_EQ(array_get(o.a), &v[2]);

    // An insertion behind the cursor leaves it alone.
    ASSERT_EQ(array_get_num(o.a, 0), &v[5]);
    EXPECT_EQ(o.a->current, 1);
    ASSERT_EQ(array_add_num(o.a, &v[5], 4), 1);
    EXPECT_EQ(o.a->current, 1);

    // An insertion at the cursor moves it too: the next element stays the same.
    ASSERT_EQ(array_add_num(o.a, &v[5], 1), 1);
    EXPECT_EQ(o.a->current, 2);
    EXPECT_EQ(array_get(o.a), &v[0]);

    // With no iteration under way the cursor stays -1.
    while (array_get(o.a)) {
    }
    EXPECT_EQ(o.a->current, -1);
    ASSERT_EQ(array_add_num(o.a, &v[5], 0), 1);
    EXPECT_EQ(o.a->current, -1);
}

TEST(Array, GetNumPlacesTheCursor)
{
    Owned o;
    int v[3] = {0, 1, 2};
    for (int &x : v) array_add(o.a, &x);
    EXPECT_EQ(array_get_num(o.a, 2), &v[2]);
    EXPECT_EQ(o.a->current, -1);
    EXPECT_EQ(array_get(o.a), nullptr);
    EXPECT_EQ(array_get_num(o.a, 0), &v[0]);
    // Out of range leaves the cursor where it was.
    EXPECT_EQ(array_get_num(o.a, 3), nullptr);
    EXPECT_EQ(array_get_num(o.a, -1), nullptr);
    EXPECT_EQ(o.a->current, 1);
    EXPECT_EQ(array_get(o.a), &v[1]);
    EXPECT_EQ(array_get(o.a), &v[2]);
    EXPECT_EQ(array_get(o.a), nullptr);
}

TEST(Array, FreeFnFreesEveryElementInOrder)
{
    Array a = array_init(0);
    for (int i = 0; i < 15; i++) {
        char *s = strdup(std::to_string(i).c_str());
        ASSERT_EQ(array_add(a, s), 1);
    }
    freed_count = 0;
    array_free_fn(&a, free_slot);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(freed_count, 15);

    // The slots are handed over in index order.
    static std::vector<std::string> order;
    order.clear();
    Array b = array_init(0);
    for (const char *s : {"x", "y", "z"}) array_add(b, const_cast<char *>(s));
    array_free_fn(&b, [](void **slot) { order.push_back(static_cast<char *>(*slot)); });
    EXPECT_EQ(order, (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(b, nullptr);
}

TEST(Array, FreeToleratesNulls)
{
    Array a = nullptr;
    array_free(&a);
    array_free(nullptr);
    array_free_fn(&a, free_slot);
    array_free_fn(nullptr, free_slot);
    EXPECT_EQ(a, nullptr);

    // Without a function the elements are left alone.
    int v = 3;
    Array b = array_init(0);
    array_add(b, &v);
    array_free_fn(&b, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(v, 3);
}
