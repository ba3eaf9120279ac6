// Dynamic objects loaded for real: framework shell modules built beside the
// tests, named in entries of a private registry.
#include "tqrtl/shell/TQDynamicObject.h"

#include <gtest/gtest.h>

#include <string>

#include "registry_test_support.h"
#include "tqrtl/files/FileUtil.h"

namespace {

const std::string kShellDir = TQRTL_TEST_SHELL_DIR;

std::string InShellDir(const char* file) {
  return static_cast<const char*>(FileUtil::MakePath(kShellDir.c_str(), file));
}

bool IsLoaded(const char* file) { return GetModuleHandleA(file) != nullptr; }

// Gives the protected parts to the tests. A copy of a loaded shell lives
// in the test, so that it can still be looked at after its module is gone.
struct Loader : TQFrameworkShell {
  Loader() = default;
  explicit Loader(TQFrameworkShell const& other) : TQFrameworkShell(other) {}
  using TQDynamicObject::TQDO_Load;
};

class DynamicObjectTest : public ::testing::Test {
 protected:
  DynamicObjectTest()
      : name_(registry_test::UniqueName("Shells")),
        list_(TQReg::CurrentUserRoot(), name_.c_str()),
        entry_(&list_, "Test Shell") {}
  ~DynamicObjectTest() override {
    registry_test::DeleteTree(HKEY_CURRENT_USER, "Software\\Vantor\\" + name_);
  }
  void Entry(const std::string& module, int load) {
    entry_.m_module = module.c_str();
    entry_.m_load = load;
  }

  std::string name_;
  Registry::Subkey list_;
  TQReg::DynamicObjectKey entry_;
};

TEST_F(DynamicObjectTest, EmptyOrDisabledEntryLeavesEverythingAlone) {
  TQFrameworkShell* const untouched = reinterpret_cast<TQFrameworkShell*>(&name_);
  TQFrameworkShell* shell = untouched;
  void* object = &name_;
  HINSTANCE module = reinterpret_cast<HINSTANCE>(&name_);

  Entry("", 1);
  EXPECT_EQ(SysUtil::LoadFailed, TQFrameworkShell::TQFS_Load(entry_, &shell, kShellDir.c_str()));
  EXPECT_EQ(SysUtil::LoadFailed,
            SysUtil::LoadObject(entry_, "GetTQFrameworkShellInstance", &object, &module, nullptr));

  Entry(InShellDir(TQRTL_TEST_SHELL), 0);
  EXPECT_EQ(SysUtil::LoadDisabled, TQFrameworkShell::TQFS_Load(entry_, &shell, nullptr));
  EXPECT_EQ(SysUtil::LoadDisabled,
            SysUtil::LoadObject(entry_, "GetTQFrameworkShellInstance", &object, &module, nullptr));
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL));

  EXPECT_EQ(untouched, shell);
  EXPECT_EQ(&name_, object);
  EXPECT_EQ(reinterpret_cast<HINSTANCE>(&name_), module);
}

TEST_F(DynamicObjectTest, ShellLoadsThroughTheSearchPathAndUnloads) {
  Entry(TQRTL_TEST_SHELL, 1);
  TQFrameworkShell* shell = nullptr;
  // By its bare name the module is not found: it is not beside the program.
  EXPECT_EQ(SysUtil::LoadFailed, TQFrameworkShell::TQFS_Load(entry_, &shell, nullptr));
  EXPECT_EQ(nullptr, shell);
  const std::string searchPath = InShellDir("no-such-folder") + ";" + kShellDir;
  ASSERT_EQ(SysUtil::LoadSucceeded,
            TQFrameworkShell::TQFS_Load(entry_, &shell, searchPath.c_str()));
  ASSERT_NE(nullptr, shell);
  EXPECT_STREQ("Test Shell", shell->TQDO_Name());
  EXPECT_EQ(TQDynamicObject::TQDO_StateLoaded, shell->TQDO_State());
  EXPECT_EQ(GetModuleHandleA(TQRTL_TEST_SHELL), shell->TQDO_Module());

  EXPECT_TRUE(shell->TQDO_StartUp());
  EXPECT_EQ(TQDynamicObject::TQDO_StateStarted, shell->TQDO_State());
  EXPECT_TRUE(shell->TQDO_ShutDown());
  Loader copy(*shell);
  EXPECT_EQ(TQDynamicObject::TQDO_StateShutDown, copy.TQDO_State());
  EXPECT_STREQ("Test Shell", copy.TQDO_Name());
  // Unloading destroys the module's shell; only the copy can be asked.
  EXPECT_TRUE(copy.TQDO_Unload());
  EXPECT_EQ(TQDynamicObject::TQDO_StateUnloaded, copy.TQDO_State());
  EXPECT_FALSE(IsLoaded(TQRTL_TEST_SHELL));

  // A module that cannot be freed: false, and unloaded all the same.
  Loader never;
  never.TQDO_Init(nullptr, "never", TQDynamicObject::TQDO_StateShutDown);
  EXPECT_FALSE(never.TQDO_Unload());
  EXPECT_EQ(TQDynamicObject::TQDO_StateUnloaded, never.TQDO_State());
}

TEST_F(DynamicObjectTest, ModulesThatGiveNoObjectFailAndAreFreed) {
  const struct {
    const char* module;
    const char* factory;
  } cases[] = {
      {TQRTL_TEST_SHELL_NULL, "GetTQFrameworkShellInstance"},
      {TQRTL_TEST_SHELL_NOEXPORT, "GetTQFrameworkShellInstance"},
      {TQRTL_TEST_SHELL, "NoSuchFactory"},
      {"no-such-module-file", "GetTQFrameworkShellInstance"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.module) + " " + c.factory);
    Entry(InShellDir(c.module), 1);
    TQDynamicObject* object = reinterpret_cast<TQDynamicObject*>(&name_);
    EXPECT_EQ(SysUtil::LoadFailed, Loader::TQDO_Load(entry_, c.factory, &object, nullptr));
    EXPECT_EQ(nullptr, object);
    EXPECT_FALSE(IsLoaded(c.module));
  }
}

}  // namespace
