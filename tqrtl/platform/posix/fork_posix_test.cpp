// fork() without exec: each test runs a helper sub-command that forks (the
// helper starts no threads of its own, so the fork copies a process whose
// threads are known, which this test program cannot promise) and checks the
// child and the parent from the inside. The exit codes are listed in
// tests/process_helper/fork.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "files_test_support.h"
#include "process_support.h"

namespace {

// Points the helpers at a registry store of their own while it lives.
struct ScratchRegistry {
  ScratchRegistry() { std::filesystem::create_directories(dir); }
  ~ScratchRegistry() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  const std::string dir = ScratchPath("fork-registry");
  files_test::ScopedEnv env{{"TQRTL_REGISTRY_DIR", dir.c_str()}};
};

// Without ids of its own the child would take the parent's mutex as its own
// and enter it while the parent is inside.
TEST(ForkTest, ChildHasItsOwnIdsAndTheForkingThreadsHandleNamesIt) {
  EXPECT_EQ(RunHelper({"fork-ids", UniqueName("fork-ids")}), 0);
}

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

TEST(ForkTest, NamedEventLivesWhileTheParentHoldsIt) {
  EXPECT_EQ(RunHelper({"fork-event", UniqueName("fork-event")}), 0);
}

// A fork while another thread is inside the layer must not hand the child a
// lock held by a thread the child does not have.
TEST(ForkTest, ForksWhileAnotherThreadWorksInTheLayer) {
  ScratchRegistry store;
  EXPECT_EQ(RunHelper({"fork-busy", UniqueName("fork-busy"), "40"}, 120000), 0);
}

}  // namespace
