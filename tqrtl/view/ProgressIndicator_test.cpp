// Tests of ProgressIndicator: which percentages reach the display, when
// Finish runs, and totals near the 32-bit limit.
#include "tqrtl/view/ProgressIndicator.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int kFinished = -1;

// Records the display calls as percentages and Finish as kFinished.
class RecordingProgress : public ProgressIndicator {
 public:
  explicit RecordingProgress(ULONG total = 0) : ProgressIndicator(total) {}
  void ShowProgress(int percent) override { events.push_back(percent); }
  std::vector<int> Take() {
    std::vector<int> taken;
    taken.swap(events);
    return taken;
  }
  std::vector<int> events;

 protected:
  void Finish() override { events.push_back(kFinished); }
};

using Events = std::vector<int>;

TEST(ProgressIndicatorTest, ShowsEachHigherWholePercentOnce) {
  RecordingProgress progress(200);
  EXPECT_EQ(progress.Update(1, 0), 0);  // 0 %: nothing above the start
  EXPECT_EQ(progress.Take(), Events{});
  EXPECT_EQ(progress.Update(2, 0), 0);
  EXPECT_EQ(progress.Take(), Events{1});
  EXPECT_EQ(progress.Update(3, 0), 0);  // still 1 %
  EXPECT_EQ(progress.Update(100, 0), 0);
  EXPECT_EQ(progress.Update(50, 0), 0);  // going back shows nothing
  EXPECT_EQ(progress.Update(199, 0), 0);
  EXPECT_EQ(progress.Take(), (Events{50, 99}));
}

TEST(ProgressIndicatorTest, CompletionShows100OnceAndFinishesEveryTime) {
  RecordingProgress progress;
  EXPECT_EQ(progress.Update(150, 100), 1);
  EXPECT_EQ(progress.Take(), (Events{100, kFinished}));
  EXPECT_EQ(progress.Update(150, 100), 1);
  EXPECT_EQ(progress.Take(), Events{kFinished});
  progress.Stop();
  EXPECT_EQ(progress.Take(), Events{kFinished});
  // The total given with the update stays: 50 of 100 is below what was
  // shown.
  EXPECT_EQ(progress.Update(50, 0), 0);
  EXPECT_EQ(progress.Take(), Events{});
}

TEST(ProgressIndicatorTest, StartResetsWhatWasShown) {
  RecordingProgress progress(10);
  progress.Update(5, 0);
  progress.Update(10, 0);
  EXPECT_EQ(progress.Take(), (Events{50, 100, kFinished}));

  progress.Start(0);  // keeps the total of 10
  EXPECT_EQ(progress.Take(), Events{});
  EXPECT_EQ(progress.Update(5, 0), 0);
  EXPECT_EQ(progress.Take(), Events{50});

  progress.Start(1000);
  EXPECT_EQ(progress.Update(5, 0), 0);  // 0 % of the new total
  EXPECT_EQ(progress.Update(20, 0), 0);
  EXPECT_EQ(progress.Take(), Events{2});
}

TEST(ProgressIndicatorTest, ZeroTotalCountsAsComplete) {
  RecordingProgress progress;
  EXPECT_EQ(progress.Update(5, 0), 1);
  EXPECT_EQ(progress.Take(), (Events{100, kFinished}));
  progress.Start(0);
  EXPECT_EQ(progress.Update(0, 0), 1);
  EXPECT_EQ(progress.Take(), (Events{100, kFinished}));
}

TEST(ProgressIndicatorTest, LargeAmountsDoNotOverflow) {
  RecordingProgress progress(4000000000u);
  EXPECT_EQ(progress.Update(3000000000u, 0), 0);
  EXPECT_EQ(progress.Take(), Events{75});
  EXPECT_EQ(progress.Update(0xFFFFFFFEu, 0xFFFFFFFFu), 0);
  EXPECT_EQ(progress.Take(), Events{99});
  EXPECT_EQ(progress.Update(0xFFFFFFFFu, 0), 1);
  EXPECT_EQ(progress.Take(), (Events{100, kFinished}));
}

}  // namespace
