// Tests of ScrollingViewport: clamped scrolling, visibility, and counts at
// the ends of the 32-bit range.
#include "tqrtl/view/ScrollingViewport.h"

#include <gtest/gtest.h>

namespace {

ULONG Top(const ScrollingViewport& view) { return view.ItemNumber(0); }

TEST(ScrollingViewportTest, PagesKeepOneLineAndTheLastItemCanReachTheTop) {
  ScrollingViewport view(10, 9, 100);
  EXPECT_EQ(Top(view), 0u);
  EXPECT_EQ(view.ScrollDownPages(1), 8u);
  EXPECT_EQ(Top(view), 8u);
  EXPECT_EQ(view.ScrollToLast(), 91u);
  EXPECT_EQ(Top(view), 99u);
  EXPECT_EQ(view.MaxDataLine(), 0);
  EXPECT_EQ(view.ScrollDownItems(1), 0u);  // already at the end
  EXPECT_EQ(view.ScrollUpPages(2), 16u);
  EXPECT_EQ(Top(view), 83u);
  EXPECT_EQ(view.ScrollTo(90), 7u);
  EXPECT_EQ(view.ScrollTo(85), 5u);
  EXPECT_EQ(view.ScrollUpItems(1000), 85u);  // clamped at item 0
  EXPECT_EQ(view.ScrollToFirst(), 0u);
  EXPECT_EQ(view.ScrollDownItems(1000), 99u);
}

TEST(ScrollingViewportTest, ChangingTheItemCountKeepsTopOnAnItem) {
  ScrollingViewport view(10, 9, 100);
  view.ScrollTo(80);
  view.SetItemCount(50);
  EXPECT_EQ(Top(view), 49u);
  view.SetItemCount(200);  // growing leaves top alone
  EXPECT_EQ(Top(view), 49u);
  view.SetItemCount(0);
  EXPECT_EQ(Top(view), 0u);

  // An empty list: nothing scrolls and nothing is shown.
  EXPECT_EQ(view.ScrollDownItems(5), 0u);
  EXPECT_EQ(view.ScrollUpItems(5), 0u);
  EXPECT_EQ(view.ScrollDownPages(1), 0u);
  EXPECT_EQ(view.ScrollToLast(), 0u);
  EXPECT_EQ(view.ScrollToFirst(), 0u);
  EXPECT_EQ(Top(view), 0u);
  EXPECT_EQ(view.MaxDataLine(), -1);
  EXPECT_EQ(view.IsItemVisible(0), 0);
  EXPECT_EQ(view.IsItemVisible(0xFFFFFFFFu), 0);
}

TEST(ScrollingViewportTest, VisibilityCountsThePartlyVisibleLine) {
  ScrollingViewport view(10, 9, 100);
  EXPECT_EQ(view.MaxDataLine(), 9);
  EXPECT_EQ(view.IsItemVisible(9), 1);  // on the partly visible tenth line
  EXPECT_EQ(view.IsItemVisible(10), 0);

  view.ScrollTo(95);  // five items left for ten lines
  EXPECT_EQ(view.MaxDataLine(), 4);
  for (ULONG item = 95; item <= 99; ++item) EXPECT_EQ(view.IsItemVisible(item), 1) << item;
  EXPECT_EQ(view.IsItemVisible(100), 0);
  EXPECT_EQ(view.IsItemVisible(94), 0);

  int line = 1234;
  EXPECT_EQ(view.GetItemLine(97, &line), 1);
  EXPECT_EQ(line, 2);
  EXPECT_EQ(view.GetItemLine(90, &line), 0);  // above the view: written anyway
  EXPECT_EQ(line, -5);
  EXPECT_EQ(view.GetItemLine(120, &line), 0);
  EXPECT_EQ(line, 25);
}

TEST(ScrollingViewportTest, HugeCountsDoNotWrap) {
  ScrollingViewport view(10, 9, 0xFFFFFFFFu);
  // 8 * 2^30 items is beyond 32 bits: the page count must not wrap to a
  // small number.
  EXPECT_EQ(view.ScrollDownPages(0x40000000u), 0xFFFFFFFEu);
  EXPECT_EQ(Top(view), 0xFFFFFFFEu);
  EXPECT_EQ(view.MaxDataLine(), 0);
  EXPECT_EQ(view.IsItemVisible(0xFFFFFFFEu), 1);
  EXPECT_EQ(view.ScrollUpPages(0xFFFFFFFFu), 0xFFFFFFFEu);
  EXPECT_EQ(view.ScrollToLast(), 0xFFFFFFFEu);
}

TEST(ScrollingViewportTest, DegenerateViewsShowAndPageNothing) {
  ScrollingViewport oneLine(1, 1, 100);
  EXPECT_EQ(oneLine.ScrollDownPages(3), 0u);  // a page of 0 items
  EXPECT_EQ(oneLine.MaxDataLine(), 0);

  ScrollingViewport noLines(0, 0, 100);
  EXPECT_EQ(noLines.ScrollDownPages(3), 0u);  // not (0 - 1) * 3 items
  EXPECT_EQ(noLines.MaxDataLine(), -1);
  EXPECT_EQ(noLines.IsItemVisible(0), 0);
  EXPECT_EQ(noLines.ScrollDownItems(3), 3u);  // item scrolls still work
}

}  // namespace
