// Tests of ScrollRangeMap: exact mapping of short ranges, scaling of long
// ones, and the ends of the 32-bit and int ranges.
#include "tqrtl/view/ScrollRangeMap.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

int ScrollMax(const ScrollRangeMap& map) {
  int min = -1, max = -1;
  ScrollRangeMap copy(map);
  copy.SetPageSize(1);  // then the scroll range's max is scroll max
  copy.GetScrollRange(&min, &max);
  EXPECT_EQ(min, 0);
  return max;
}

TEST(ScrollRangeMapTest, DefaultMapsEverythingToZero) {
  ScrollRangeMap map;
  ULONG low = 0, high = 1;
  map.GetDataRange(&low, &high);
  EXPECT_EQ(low, 0xFFFFFFFFu);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(map.PageSize(), 1);
  EXPECT_EQ(ScrollMax(map), 0);
  EXPECT_EQ(map.DataPos(5), 0u);
  EXPECT_EQ(map.ScrollPos(7), 0);
}

TEST(ScrollRangeMapTest, ShortRangesMapOneToOne) {
  struct Range {
    ULONG low, high;
  };
  for (const Range& range : {Range{0, 1}, Range{0, 99}, Range{1000, 1099}, Range{5, 32772}}) {
    ScrollRangeMap map(range.low, range.high, 1);
    const int count = static_cast<int>(range.high - range.low + 1);
    EXPECT_EQ(ScrollMax(map), count - 1) << range.low << ".." << range.high;
    for (int pos = 0; pos < count; ++pos) {
      const ULONG data = range.low + static_cast<ULONG>(pos);
      ASSERT_EQ(map.DataPos(pos), data) << range.low << ".." << range.high << " pos " << pos;
      ASSERT_EQ(map.ScrollPos(data), pos) << range.low << ".." << range.high << " pos " << pos;
    }
  }
}

TEST(ScrollRangeMapTest, LongRangesAreScaledDownAndReachBothEnds) {
  ScrollRangeMap map(0, 999999, 1);
  EXPECT_EQ(ScrollMax(map), 32767);
  EXPECT_EQ(map.DataPos(0), 0u);
  EXPECT_EQ(map.DataPos(32767), 999999u);
  EXPECT_EQ(map.ScrollPos(500000), 16384);
  EXPECT_EQ(map.ScrollPos(999999), 32767);
  EXPECT_EQ(map.ScrollPos(0), 0);
  // Both directions rise step by step and stay inside their ranges.
  ULONG previousData = 0;
  for (int pos = 0; pos <= 32767; ++pos) {
    const ULONG data = map.DataPos(pos);
    ASSERT_GE(data, previousData) << pos;
    ASSERT_LE(data, 999999u) << pos;
    previousData = data;
  }
  int previousPos = 0;
  for (ULONG data = 0; data <= 999999; data += 7) {
    const int pos = map.ScrollPos(data);
    ASSERT_GE(pos, previousPos) << data;
    ASSERT_LE(pos, 32767) << data;
    previousPos = pos;
  }
}

TEST(ScrollRangeMapTest, PositionsNearTheTopOfTheRangeDoNotWrap) {
  ScrollRangeMap map(0x80000000u, 0xFFFFFFFFu, 1);
  EXPECT_EQ(ScrollMax(map), 32767);
  EXPECT_EQ(map.DataPos(0), 0x80000000u);
  EXPECT_EQ(map.DataPos(16384), 0xC0008001u);  // 0x80000000 + trunc(16384 * 2^31 / 32767)
  EXPECT_EQ(map.DataPos(32767), 0xFFFFFFFFu);
  EXPECT_EQ(map.DataPos(INT_MAX), 0xFFFFFFFFu);  // beyond scroll max: the end
  EXPECT_EQ(map.DataPos(-5), 0x80000000u);       // before 0: the start
  EXPECT_EQ(map.ScrollPos(0xFFFFFFFFu), 32767);
  // Below data low the unsigned distance is huge: the far end, not a
  // wrapped int.
  EXPECT_EQ(map.ScrollPos(0x7FFFFFFFu), 32767);

  ScrollRangeMap small(0, 99, 1);
  EXPECT_EQ(small.DataPos(INT_MAX), 99u);
  EXPECT_EQ(small.ScrollPos(0xFFFFFFFFu), 99);
}

TEST(ScrollRangeMapTest, ScrollRangeMakesRoomForThePage) {
  ScrollRangeMap map;
  map.SetDataRange(1000);
  ULONG low = 1, high = 0;
  map.GetDataRange(&low, &high);
  EXPECT_EQ(low, 0u);
  EXPECT_EQ(high, 999u);
  map.SetPageSize(10);
  EXPECT_EQ(map.PageSize(), 10);
  int min = -1, max = -1;
  map.GetScrollRange(&min, &max);
  EXPECT_EQ(min, 0);
  EXPECT_EQ(max, 1008);

  map.SetPageSize(INT_MAX);  // page + scroll max - 1 overflows an int
  map.GetScrollRange(&min, &max);
  EXPECT_EQ(max, INT_MAX);
}

TEST(ScrollRangeMapTest, OnePositionAndEmptyRangesStayInside) {
  ScrollRangeMap one(5, 5, 1);
  EXPECT_EQ(ScrollMax(one), 0);
  for (int pos : {0, 1, 100, INT_MAX, -1}) EXPECT_EQ(one.DataPos(pos), 5u) << pos;
  for (ULONG data : {0u, 5u, 6u, 0xFFFFFFFFu}) EXPECT_EQ(one.ScrollPos(data), 0) << data;

  ScrollRangeMap empty;
  empty.SetDataRange(0);  // 0 ... 0xFFFFFFFF in 32 bits: no positions
  EXPECT_EQ(ScrollMax(empty), -1);
  EXPECT_EQ(empty.DataPos(3), 0u);
  EXPECT_EQ(empty.ScrollPos(7), 0);

  ScrollRangeMap emptyAt10(10, 9, 4);
  EXPECT_EQ(emptyAt10.DataPos(0), 10u);
  EXPECT_EQ(emptyAt10.DataPos(20000), 10u);
  EXPECT_EQ(emptyAt10.ScrollPos(10), 0);
  int min = -1, max = -1;
  emptyAt10.GetScrollRange(&min, &max);
  EXPECT_EQ(max, 2);  // page 4 + scroll max -1 - 1
}

}  // namespace
