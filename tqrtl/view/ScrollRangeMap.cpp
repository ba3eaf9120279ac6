#include "tqrtl/view/ScrollRangeMap.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// The data count of low ... high in 32-bit unsigned arithmetic: 0 stands for
// an empty range (high = low - 1).
ULONG DataCount(ULONG low, ULONG high) { return static_cast<ULONG>(high - low + 1); }

}  // namespace

ScrollRangeMap::ScrollRangeMap()
    : m_dataLow(0xFFFFFFFFu),
      m_dataHigh(0),
      m_scrollMax(0),
      m_dataToScroll(0.0),
      m_scrollToData(0.0),
      m_pageSize(1) {}

ScrollRangeMap::ScrollRangeMap(ULONG low, ULONG high, int pageSize) : ScrollRangeMap() {
  m_pageSize = pageSize;
  SetDataRange(low, high);
}

void ScrollRangeMap::SetDataRange(ULONG low, ULONG high) {
  m_dataLow = low;
  m_dataHigh = high;
  const std::uint64_t count = DataCount(low, high);
  const std::uint64_t scrollCount = std::min<std::uint64_t>(count, kMaxScrollPositions);
  m_scrollMax = static_cast<int>(scrollCount) - 1;
  // A count of 0 or 1 would divide by zero: such ranges have one position
  // (or none) to map to, and DataPos and ScrollPos find it with scales of 0.
  m_dataToScroll = count == 0 ? 0.0 : static_cast<double>(scrollCount) / static_cast<double>(count);
  m_scrollToData =
      count <= 1 ? 0.0 : static_cast<double>(count) / static_cast<double>(scrollCount - 1);
}

void ScrollRangeMap::SetDataRange(ULONG count) { SetDataRange(0, count - 1); }

void ScrollRangeMap::GetDataRange(ULONG* low, ULONG* high) const {
  *low = m_dataLow;
  *high = m_dataHigh;
}

void ScrollRangeMap::GetScrollRange(int* min, int* max) const {
  const std::int64_t top = static_cast<std::int64_t>(m_pageSize) + m_scrollMax - 1;
  *min = 0;
  *max = static_cast<int>(std::clamp<std::int64_t>(top, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

void ScrollRangeMap::SetPageSize(int pageSize) { m_pageSize = pageSize; }

int ScrollRangeMap::PageSize() const { return m_pageSize; }

ULONG ScrollRangeMap::DataPos(int scrollPos) const {
  if (DataCount(m_dataLow, m_dataHigh) == 0) return m_dataLow;
  // The sum is taken in 64 bits so that it cannot wrap past the end of the
  // 32-bit range and come back as a small position.
  constexpr double kBeyond = 4294967296.0;  // 2^32: more than any distance
  const double product = scrollPos > 0 ? scrollPos * m_scrollToData : 0.0;
  const std::uint64_t distance = product >= kBeyond ? static_cast<std::uint64_t>(kBeyond)
                                                    : static_cast<std::uint64_t>(product);
  const std::uint64_t position = static_cast<std::uint64_t>(m_dataLow) + distance;
  return static_cast<ULONG>(std::min<std::uint64_t>(position, m_dataHigh));
}

int ScrollRangeMap::ScrollPos(ULONG dataPos) const {
  if (m_scrollMax < 0) return 0;  // empty range
  const ULONG distance = dataPos - m_dataLow;
  // Compared before the conversion: a far position times the scale may not
  // fit an int.
  const double nearest = static_cast<double>(distance) * m_dataToScroll + 0.5;
  if (nearest >= static_cast<double>(m_scrollMax)) return m_scrollMax;
  return static_cast<int>(nearest);
}
