// Workspaces on real storage files: creating, reloading and saving the
// settings, read-only use, copies, and damaged files that must fail without
// losing what they hold.
#include "tqrtl/shell/TQWorkspace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files_test_support.h"

namespace {

using files_test::DirEntry;
using files_test::Hex;
using files_test::ReadBytes;
using files_test::U32;
using files_test::WriteBytes;

// Counts the SettingsChanged notifications it gets.
class Listener : public EventReceiver {
 public:
  int UponEventNotification(EventNotification const* n, EventSender*) override {
    if (dynamic_cast<TQWorkspace::SettingsChanged const*>(n) != nullptr) ++changes;
    return 1;
  }
  int changes = 0;
};

// A workspace whose defaults are not empty, as applications derive them.
class ProjectWorkspace : public TQWorkspace {
 public:
  using TQWorkspace::TQWorkspace;

 protected:
  void InitDefaults() override {
    TQWorkspace::InitDefaults();
    SrcPaths() = ".;..";
  }
};

// A stored string: its 4-byte length, then its bytes.
std::string Str(const std::string& s) { return U32(s.size()) + s; }

// A storage file holding the given sections in this order.
std::string Storage(const std::vector<std::pair<std::string, std::string>>& sections) {
  std::string bytes = U32(sections.size());
  for (const auto& [name, data] : sections) bytes += DirEntry(name, data.size());
  for (const auto& section : sections) bytes += section.second;
  return bytes;
}

class WorkspaceTest : public ::testing::Test {
 protected:
  files_test::ScratchDir scratch_;
  std::string path_ = scratch_.File("project.tqw");
};

TEST_F(WorkspaceTest, MissingFileIsCreatedWithTheDefaultsAndReceiversAreToldOnce) {
  ProjectWorkspace ws;
  Listener listener;
  ws.EventRegister(&listener);
  ASSERT_EQ(1, ws.Load(path_.c_str(), "Project"));
  EXPECT_TRUE(ws.IsLoaded());
  EXPECT_STREQ("Project", ws.Name());
  EXPECT_STREQ(path_.c_str(), ws.Pathname());
  EXPECT_EQ(1, listener.changes);
  const std::string section = Str("") + Str(".;..") + Str("");
  EXPECT_EQ(Hex(Storage({{"TQWorkspace", section}})), Hex(ReadBytes(path_)));
  ws.EventUnregister(&listener);
}

TEST_F(WorkspaceTest, SettingsRoundTripAndOtherSectionsSurviveSaving) {
  WriteBytes(path_, Storage({{"Editor", "layout"}, {"TQWorkspace", Str("a") + Str("b") + Str("c")}}));
  {
    TQWorkspace ws;
    Listener listener;
    ws.EventRegister(&listener);
    ASSERT_EQ(1, ws.Load(path_.c_str(), nullptr));
    EXPECT_STREQ("a", ws.WorkingDir());
    EXPECT_STREQ("b", ws.SrcPaths());
    EXPECT_STREQ("c", ws.SymbolPaths());
    ws.WorkingDir() = "/home/dev/project";
    ws.SrcPaths() = "src;include;../shared/src";
    ws.SymbolPaths() = "";
    ws.Save();
    EXPECT_FALSE(ws.LastSaveFailed());
    EXPECT_EQ(1, listener.changes);
    ws.EventUnregister(&listener);
  }
  TQWorkspace again(true);
  ASSERT_EQ(1, again.Load(path_.c_str(), "again"));
  EXPECT_STREQ("/home/dev/project", again.WorkingDir());
  EXPECT_STREQ("src;include;../shared/src", again.SrcPaths());
  EXPECT_STREQ("", again.SymbolPaths());
  EXPECT_EQ(2u, again.GetStorage()->SectionCount());
  EXPECT_NE(std::string::npos, ReadBytes(path_).find("layout"));
}

TEST_F(WorkspaceTest, ReadOnlyWorkspaceNeverCreatesOrWrites) {
  TQWorkspace ws(true);
  Listener listener;
  ws.EventRegister(&listener);
  EXPECT_EQ(0, ws.Load(path_.c_str(), "ro"));
  EXPECT_TRUE(scratch_.Files().empty());

  const std::string stored = Storage({{"Other", "xyz"}});
  WriteBytes(path_, stored);
  ASSERT_EQ(1, ws.Load(path_.c_str(), nullptr));
  EXPECT_STREQ("ro", ws.Name());
  ws.WorkingDir() = "changed";
  ws.Save();
  EXPECT_EQ(0, listener.changes);
  EXPECT_EQ(Hex(stored), Hex(ReadBytes(path_)));
  ws.EventUnregister(&listener);
}

TEST_F(WorkspaceTest, FileWithoutTheSectionGetsItOnlyWhenSaved) {
  const std::string stored = Storage({{"Other", "xyz"}});
  WriteBytes(path_, stored);
  ProjectWorkspace ws;
  ASSERT_EQ(1, ws.Load(path_.c_str(), nullptr));
  EXPECT_STREQ(".;..", ws.SrcPaths());
  EXPECT_EQ(Hex(stored), Hex(ReadBytes(path_)));
  ws.Save();
  TQWorkspace reread;
  ASSERT_EQ(1, reread.Load(path_.c_str(), nullptr));
  EXPECT_STREQ(".;..", reread.SrcPaths());
  EXPECT_EQ(2u, reread.GetStorage()->SectionCount());
}

TEST_F(WorkspaceTest, DamagedFilesFailAndAreLeftAsTheyWere) {
  const std::string good = Str("w") + Str("s") + Str("y");
  const std::string sound = Storage({{"TQWorkspace", good}});
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"cut inside the directory", sound.substr(0, 100)},
      {"cut inside the section", sound.substr(0, sound.size() - 2)},
      {"section count beyond the file", U32(0x7FFFFFFF) + DirEntry("TQWorkspace", 0)},
      {"two strings only", Storage({{"TQWorkspace", Str("w") + Str("s")}})},
      {"string longer than its section", Storage({{"TQWorkspace", Str("w") + U32(0xFFFFFFF0) + "s"}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteBytes(path_, c.bytes);
    ProjectWorkspace ws;
    Listener listener;
    ws.EventRegister(&listener);
    ws.WorkingDir() = "before";
    EXPECT_EQ(0, ws.Load(path_.c_str(), nullptr));
    EXPECT_FALSE(ws.IsLoaded());
    EXPECT_STREQ("", ws.WorkingDir());
    EXPECT_STREQ(".;..", ws.SrcPaths());
    ws.Save();
    EXPECT_TRUE(ws.LastSaveFailed());
    EXPECT_EQ(0, listener.changes);
    EXPECT_EQ(Hex(c.bytes), Hex(ReadBytes(path_)));
    ws.EventUnregister(&listener);
    // No section or save temporaries are left behind either.
    EXPECT_EQ(std::vector<std::string>{"project.tqw"}, scratch_.Files());
  }
}

TEST_F(WorkspaceTest, CopyHasItsOwnReceiversAndSavesOnItsOwn) {
  TQWorkspace original;
  Listener first, second;
  original.EventRegister(&first);
  ASSERT_EQ(1, original.Load(path_.c_str(), "orig"));
  original.WorkingDir() = "unsaved";

  TQWorkspace copy(original);
  EXPECT_EQ(0, copy.EventReceiverCount());
  EXPECT_TRUE(copy.IsLoaded());
  EXPECT_STREQ("orig", copy.Name());
  EXPECT_STREQ("unsaved", copy.WorkingDir());
  copy.EventRegister(&second);
  copy.SrcPaths() = "copied";
  copy.Save();
  EXPECT_EQ(1, first.changes);  // the original's own save at creation
  EXPECT_EQ(1, second.changes);
  copy.EventUnregister(&second);

  // Closed, the original no longer reaches the file.
  original.Close();
  original.Save();
  EXPECT_TRUE(original.LastSaveFailed());
  EXPECT_EQ(1, first.changes);
  original.EventUnregister(&first);

  TQWorkspace reread;
  ASSERT_EQ(1, reread.Load(path_.c_str(), nullptr));
  EXPECT_STREQ("unsaved", reread.WorkingDir());
  EXPECT_STREQ("copied", reread.SrcPaths());
}

}  // namespace
