#include "tqrtl/view/ProgressIndicator.h"

#include <cstdint>

ProgressIndicator::ProgressIndicator(ULONG total) : m_total(total), m_shown(0) {}

ProgressIndicator::ProgressIndicator(const ProgressIndicator& other) = default;

ProgressIndicator& ProgressIndicator::operator=(const ProgressIndicator& other) = default;

ProgressIndicator::~ProgressIndicator() = default;

void ProgressIndicator::Start(ULONG total) {
  if (total != 0) m_total = total;
  m_shown = 0;
}

void ProgressIndicator::Stop() { Finish(); }

int ProgressIndicator::Update(ULONG done, ULONG total) {
  if (total != 0) m_total = total;
  if (done < m_total) {
    // 64 bits: done * 100 overflows 32 bits from about 43 million on.
    const std::uint64_t percent = static_cast<std::uint64_t>(done) * 100 / m_total;
    DisplayProgress(static_cast<int>(percent));  // below 100, as done < total
    return 0;
  }
  DisplayProgress(100);
  Finish();
  return 1;
}

void ProgressIndicator::Finish() {}

void ProgressIndicator::DisplayProgress(int percent) {
  if (percent <= m_shown) return;
  m_shown = percent;
  ShowProgress(percent);
}
