#include "tqrtl/view/ScrollingViewport.h"

#include <algorithm>
#include <cstdint>

ScrollingViewport::ScrollingViewport(int totalLines, int wholeLines, ULONG itemCount)
    : m_top(0), m_itemCount(itemCount), m_totalLines(totalLines), m_wholeLines(wholeLines) {}

ScrollingViewport::ScrollingViewport(const ScrollingViewport& other) = default;

ScrollingViewport& ScrollingViewport::operator=(const ScrollingViewport& other) = default;

ScrollingViewport::~ScrollingViewport() = default;

void ScrollingViewport::SetLineCount(int totalLines, int wholeLines) {
  m_totalLines = totalLines;
  m_wholeLines = wholeLines;
}

int ScrollingViewport::TotalLineCount() const { return m_totalLines; }

int ScrollingViewport::WholeLineCount() const { return m_wholeLines; }

ULONG ScrollingViewport::ItemCount() const { return m_itemCount; }

void ScrollingViewport::SetItemCount(ULONG count) {
  m_itemCount = count;
  if (count == 0) {
    m_top = 0;
  } else if (m_top >= count - 1) {
    m_top = count - 1;
  }
}

int ScrollingViewport::WholeLinesPerPage() const { return m_wholeLines > 1 ? m_wholeLines - 1 : 0; }

ULONG ScrollingViewport::ItemNumber(int line) const { return m_top + static_cast<ULONG>(line); }

int ScrollingViewport::MaxDataLine() const {
  if (m_itemCount == 0 || m_totalLines < 1) return -1;
  // Both operands fit in 32 bits unsigned; the smaller one is at most
  // total lines - 1, so it fits an int.
  return static_cast<int>(std::min(ItemsPastTop(), static_cast<ULONG>(m_totalLines - 1)));
}

int ScrollingViewport::IsItemVisible(ULONG item) const {
  const int last = MaxDataLine();
  if (last < 0) return 0;  // nothing shown, not even item `top`
  return (item >= m_top && item <= ItemNumber(last)) ? 1 : 0;
}

int ScrollingViewport::GetItemLine(ULONG item, int* line) const {
  *line = static_cast<int>(item - m_top);
  return IsItemVisible(item);
}

ULONG ScrollingViewport::ItemsPastTop() const { return m_itemCount - m_top - 1; }

ULONG ScrollingViewport::ScrollDownItems(ULONG n) {
  if (m_itemCount == 0) return 0;
  const ULONG moved = std::min(ItemsPastTop(), n);
  m_top += moved;
  return moved;
}

ULONG ScrollingViewport::ScrollUpItems(ULONG n) {
  if (m_itemCount == 0) return 0;
  const ULONG moved = std::min(m_top, n);
  m_top -= moved;
  return moved;
}

ULONG ScrollingViewport::PageItems(ULONG pages) const {
  const std::uint64_t items =
      static_cast<std::uint64_t>(WholeLinesPerPage()) * static_cast<std::uint64_t>(pages);
  return static_cast<ULONG>(std::min<std::uint64_t>(items, 0xFFFFFFFFu));
}

ULONG ScrollingViewport::ScrollDownPages(ULONG n) { return ScrollDownItems(PageItems(n)); }

ULONG ScrollingViewport::ScrollUpPages(ULONG n) { return ScrollUpItems(PageItems(n)); }

ULONG ScrollingViewport::ScrollTo(ULONG item) {
  if (item <= m_top) return ScrollUpItems(m_top - item);
  return ScrollDownItems(item - m_top);
}

ULONG ScrollingViewport::ScrollToFirst() { return ScrollTo(0); }

ULONG ScrollingViewport::ScrollToLast() { return ScrollTo(m_itemCount - 1); }
