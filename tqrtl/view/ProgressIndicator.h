// ProgressIndicator.h: turns reports of "done out of total" into whole
// percentages for a display that a derived class supplies.
//
// The display (ShowProgress) sees a strictly rising series of percentages
// between two calls of Start: at most one call per whole percent, and 100
// once when the work is complete. Finish is called each time Update finds
// the work complete, and by Stop.
//
// Not locked: report progress from one thread at a time. A derived class
// whose display lives on another thread forwards the percentage itself.
#ifndef TQRTL_VIEW_PROGRESSINDICATOR_H_
#define TQRTL_VIEW_PROGRESSINDICATOR_H_

#include "tqrtl/platform/win32.h"

class TQRTL_API ProgressIndicator {
 public:
  // `total` is the amount that means 100 %; nothing has been shown yet.
  explicit ProgressIndicator(ULONG total = 0);
  ProgressIndicator(const ProgressIndicator& other);
  ProgressIndicator& operator=(const ProgressIndicator& other);
  virtual ~ProgressIndicator();

  // Start: begins a new run. A non-zero `total` replaces the stored total
  // (0 keeps it); the next rising percentage is shown again from 1 %.
  // Displays nothing itself.
  virtual void Start(ULONG total);
  // Stop: ends the run early or late; calls Finish.
  virtual void Stop();
  // Update: reports that `done` of the total is done; a non-zero `total`
  // replaces the stored total first. While done is below the total, shows
  // done * 100 / total (truncated) if that is a new, higher percentage and
  // returns 0. Once done reaches the total (and always while the total is
  // 0), shows 100 unless already shown, calls Finish and returns 1.
  virtual int Update(ULONG done, ULONG total);
  // ShowProgress: displays `percent` (1 ... 100).
  virtual void ShowProgress(int percent) = 0;

 protected:
  // Finish: the work is over; a derived class may close or hide its
  // display. Does nothing here.
  virtual void Finish();

  ULONG m_total;
  int m_shown;  // highest percentage shown since the last Start

 private:
  // DisplayProgress: shows `percent` when it is above what was shown.
  void DisplayProgress(int percent);
};

#endif  // TQRTL_VIEW_PROGRESSINDICATOR_H_
