// fork() without exec: each test runs a helper sub-command that forks (the
// helper starts no threads, so the fork copies a single-threaded process,
// which this test program cannot promise) and checks the child and the
// parent from the inside. The exit codes are listed in
// tests/process_helper/fork.cpp and shared_memory.cpp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "process_support.h"

namespace {

// Points the helpers at a registry store of their own while it lives.
class ScratchRegistry {
 public:
  ScratchRegistry() : dir_(ScratchPath("fork-registry")) {
    std::filesystem::create_directories(dir_);
    if (const char* old = std::getenv("TQRTL_REGISTRY_DIR")) old_ = old;
    setenv("TQRTL_REGISTRY_DIR", dir_.c_str(), 1);
  }
  ~ScratchRegistry() {
    if (old_)
      setenv("TQRTL_REGISTRY_DIR", old_->c_str(), 1);
    else
      unsetenv("TQRTL_REGISTRY_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::string dir_;
  std::optional<std::string> old_;
};

TEST(ForkTest, ChildHasItsOwnThreadAndProcessIds) { EXPECT_EQ(RunHelper({"fork-ids"}), 0); }

TEST(ForkTest, HandleOfTheForkingThreadNamesTheChildsThread) {
  EXPECT_EQ(RunHelper({"fork-from-thread"}), 0);
}

// Without ids of its own the child would take the parent's mutex as its own
// and enter it while the parent is inside.
TEST(ForkTest, ParentAndChildNeverShareTheMutex) {
  EXPECT_EQ(RunHelper({"fork-mutex", UniqueName("fork-mutex"), "20000"}), 0);
}

TEST(ForkTest, MutexOfAKilledForkedOwnerIsAbandonedAndRecovered) {
  EXPECT_EQ(RunHelper({"fork-mutex-abandon", UniqueName("fork-abandon")}), 0);
}

TEST(ForkTest, ThreeProcessesShareOneHeapThroughInheritedCopies) {
  EXPECT_EQ(RunHelper({"shm-fork-stress", UniqueName("fork-heap"), "1500", "5"}, 120000), 0);
}

TEST(ForkTest, ParentAndChildBothWriteTheRegistry) {
  ScratchRegistry store;
  EXPECT_EQ(RunHelper({"fork-registry", "200"}, 120000), 0);
}

TEST(ForkTest, ChildForkedInsideATransactionLeavesThatHiveAlone) {
  ScratchRegistry store;
  EXPECT_EQ(RunHelper({"fork-registry-transaction"}), 0);
}

TEST(ForkTest, NamedEventLivesWhileParentOrChildHoldsIt) {
  EXPECT_EQ(RunHelper({"fork-event", UniqueName("fork-event")}), 0);
}

// A fork while another thread is inside the layer must not hand the child a
// lock held by a thread the child does not have.
TEST(ForkTest, ForksWhileAnotherThreadWorksInTheLayer) {
  ScratchRegistry store;
  EXPECT_EQ(RunHelper({"fork-busy", UniqueName("fork-busy"), "40"}, 120000), 0);
}

}  // namespace
