// ScrollingViewport.h: which item of a long list stands on the top line of
// a view of fixed height.
//
// Items are numbered from 0 and counted in 32 bits. The view has
// `totalLines` lines, counting a partly visible last line, of which
// `wholeLines` are wholly visible. Scrolling is clamped so that the top item
// always exists: top <= item count - 1 when there are items, top = 0 when
// there are none. The last item may stand alone on the top line; scrolling
// does not stop one page before the end.
//
// A value class: copy it freely. Not locked; one thread at a time.
#ifndef TQRTL_VIEW_SCROLLINGVIEWPORT_H_
#define TQRTL_VIEW_SCROLLINGVIEWPORT_H_

#include "tqrtl/platform/win32.h"

class TQRTL_API ScrollingViewport {
 public:
  // top = 0; the item count is stored as given, line counts as given.
  ScrollingViewport(int totalLines, int wholeLines, ULONG itemCount);
  ScrollingViewport(const ScrollingViewport& other);
  ScrollingViewport& operator=(const ScrollingViewport& other);
  virtual ~ScrollingViewport();

  // SetLineCount: stores both line counts; top is left alone.
  void SetLineCount(int totalLines, int wholeLines);
  int TotalLineCount() const;
  int WholeLineCount() const;

  ULONG ItemCount() const;
  // SetItemCount: stores `count`. Count 0 puts top at 0; otherwise top is
  // lowered to count - 1 when it stood at or beyond that.
  void SetItemCount(ULONG count);

  // ItemNumber: the item shown on `line` (0 = top line), top + line in
  // 32-bit unsigned arithmetic. Whether that item exists is not checked.
  ULONG ItemNumber(int line) const;
  // MaxDataLine: the last line that shows an item, or -1 when the list is
  // empty or the view has no lines.
  int MaxDataLine() const;
  // IsItemVisible: 1 when `item` is shown on one of the view's lines
  // (top <= item <= ItemNumber(MaxDataLine())), else 0.
  int IsItemVisible(ULONG item) const;
  // GetItemLine: always sets *line to item - top (negative above the view,
  // beyond the last line below it) and returns IsItemVisible(item).
  int GetItemLine(ULONG item, int* line) const;

  // The scrolling operations move top by at most the amount asked, clamped
  // to the list, and return how many items it actually moved (0 on an empty
  // list).
  ULONG ScrollDownItems(ULONG n);
  ULONG ScrollUpItems(ULONG n);
  // A page is WholeLinesPerPage() items, so one line of the old page stays
  // in view.
  ULONG ScrollDownPages(ULONG n);
  ULONG ScrollUpPages(ULONG n);
  ULONG ScrollTo(ULONG item);
  ULONG ScrollToFirst();
  // ScrollToLast: puts the last item on the top line.
  ULONG ScrollToLast();

 protected:
  // WholeLinesPerPage: whole lines - 1, or 0 for a view of fewer than two
  // whole lines.
  int WholeLinesPerPage() const;
  // ItemsPastTop: items below the top item. REQUIRES: the list is not empty.
  ULONG ItemsPastTop() const;

  ULONG m_top;
  ULONG m_itemCount;
  int m_totalLines;
  int m_wholeLines;

 private:
  // PageItems: `pages` pages in items, capped at the largest 32-bit count
  // (no scroll can move further than that anyway).
  ULONG PageItems(ULONG pages) const;
};

#endif  // TQRTL_VIEW_SCROLLINGVIEWPORT_H_
