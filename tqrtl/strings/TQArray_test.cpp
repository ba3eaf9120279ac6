// Tests of TQArray as an array of strings: the growth rule, and that moving
// and resizing the block keeps every string's reference count right.
#include "tqrtl/strings/TQArray.h"

#include <gtest/gtest.h>

#include <vector>

#include "tqrtl/strings/TQString.h"

namespace {

LONG RefsOf(const TQString& s) {
  return (reinterpret_cast<const TQStringData*>(static_cast<const char*>(s)) - 1)->refs;
}

TEST(TQArrayTest, GrowsExactlyFirstThenByAnEighth) {
  TQStringArray array;
  EXPECT_EQ(array.data, nullptr);
  EXPECT_EQ(array.size, 0);
  EXPECT_EQ(array.capacity, 0);
  EXPECT_EQ(array.growStep, 0);

  // Appending one by one: the first block is exact, then steps of at least 4.
  std::vector<int> capacities;
  for (int i = 0; i < 40; ++i) {
    array.Add(TQString('a', i % 3));
    if (capacities.empty() || capacities.back() != array.capacity)
      capacities.push_back(array.capacity);
  }
  const std::vector<int> expected = {1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41};
  EXPECT_EQ(capacities, expected);

  // From 100 elements the step is 100 / 8 = 12; a larger request wins.
  array.Resize(0);
  EXPECT_EQ(array.data, nullptr);
  array.Resize(100);
  EXPECT_EQ(array.capacity, 100);
  array.Add("x");
  EXPECT_EQ(array.capacity, 112);
  array.Resize(200);
  EXPECT_EQ(array.capacity, 200);
  // Ten thousand elements would step by 1250: the step stops at 1024.
  array.Resize(0);
  array.Resize(10000);
  array.Add("x");
  EXPECT_EQ(array.capacity, 11024);

  // A fixed step replaces the rule.
  array.Resize(0);
  array.Resize(3, 10);
  array.Add("x");
  EXPECT_EQ(array.capacity, 13);
  EXPECT_EQ(array.growStep, 10);
}

TEST(TQArrayTest, ElementsKeepTheirCountsThroughMovesAndResizes) {
  const TQString s = "text";
  {
    TQStringArray array;
    for (int i = 0; i < 20; ++i) array.Add(s);
    EXPECT_EQ(RefsOf(s), 21);  // the block moved several times on the way

    // Shrinking destroys the elements past the new size; growing within
    // the block adds empty strings.
    array.Resize(5);
    EXPECT_EQ(RefsOf(s), 6);
    array.Resize(8);
    EXPECT_TRUE(array[7].IsEmpty());
    EXPECT_EQ(RefsOf(s), 6);

    // Adding an element of the array itself survives the block moving.
    array.Resize(array.capacity);
    array.Add(array.ElementAt(0));
    EXPECT_STREQ(array[array.size - 1], "text");
    EXPECT_EQ(RefsOf(s), 7);

    TQStringArray copy = array;
    EXPECT_EQ(copy.size, array.size);
    EXPECT_EQ(RefsOf(s), 13);
    array.RemoveAll();
    EXPECT_EQ(RefsOf(s), 7);
  }
  EXPECT_EQ(RefsOf(s), 1);
}

}  // namespace
