// ScrollRangeMap.h: maps a data range of up to 2^32 positions onto a scroll
// bar of at most 32768 positions, and back.
//
// A scroll bar range is a signed 16-bit quantity on some systems, so a long
// data range is scaled down: scroll max = min(data count, 32768) - 1, with
// data count = high - low + 1 in 32-bit unsigned arithmetic. Two scales are
// kept, and they are deliberately not reciprocals:
//   scroll to data: data count / scroll max, so that scroll max lands on
//                   the end of the data;
//   data to scroll: min(data count, 32768) / data count, and data positions
//                   round to the nearest scroll position.
// A range of one position maps everything onto that position; an empty
// range (high = low - 1, data count 0) has scroll max -1, maps every scroll
// position to data low and every data position to scroll position 0.
//
// A value class: copy it freely. Not locked; one thread at a time.
#ifndef TQRTL_VIEW_SCROLLRANGEMAP_H_
#define TQRTL_VIEW_SCROLLRANGEMAP_H_

#include "tqrtl/platform/win32.h"

class TQRTL_API ScrollRangeMap {
 public:
  // Largest number of scroll positions the map hands to a scroll bar.
  static constexpr ULONG kMaxScrollPositions = 32768;

  // An unset map: data low 0xFFFFFFFF, data high 0, scroll max 0, both
  // scales 0 and page size 1. It maps every position to 0.
  ScrollRangeMap();
  // Stores the page size, then SetDataRange(low, high).
  ScrollRangeMap(ULONG low, ULONG high, int pageSize);

  // SetDataRange: the data positions low ... high (inclusive); computes
  // scroll max and the scales.
  void SetDataRange(ULONG low, ULONG high);
  // SetDataRange: the positions 0 ... count - 1 (empty for count 0).
  void SetDataRange(ULONG count);
  void GetDataRange(ULONG* low, ULONG* high) const;

  // GetScrollRange: *min = 0, *max = page size + scroll max - 1, the range
  // for a scroll bar whose thumb is page size positions long, so that the
  // thumb's top reaches scroll max. *max is clamped to the int range.
  void GetScrollRange(int* min, int* max) const;

  void SetPageSize(int pageSize);
  int PageSize() const;

  // DataPos: the data position of scroll position `scrollPos`: data low
  // plus scrollPos times the scroll-to-data scale (truncated), at most data
  // high. A negative scrollPos counts as 0.
  ULONG DataPos(int scrollPos) const;
  // ScrollPos: the scroll position nearest to `dataPos`, at most scroll max.
  // The distance from data low is taken in 32-bit unsigned arithmetic, so a
  // position below data low maps to scroll max.
  int ScrollPos(ULONG dataPos) const;

 private:
  ULONG m_dataLow;
  ULONG m_dataHigh;
  int m_scrollMax;
  double m_dataToScroll;
  double m_scrollToData;
  int m_pageSize;
};

#endif  // TQRTL_VIEW_SCROLLRANGEMAP_H_
