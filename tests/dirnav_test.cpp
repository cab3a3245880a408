// Directory navigation and firmware symbols against the host runtime: the
// learned success value, the stack and its limits, the firmware's view of
// the current folder.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

#include "host/firmware/Firmware.h"
#include "host/runtime/TapRuntime.h"
#include "support/TestSupport.h"

namespace {

std::string Current()
{
  char dir[DIR_STACK_ENTRY];
  EXPECT_EQ(HDD_TAP_GetCurrentDir(dir), 0);
  return dir;
}

class DirNav : public ::testing::Test {
protected:
  void SetUp() override
  {
    rt = TapRuntimeControl();
    rt->diskRoot = disk.path();
    rt->currentDir = "/";
    TapRuntimeSyncPath(rt);
    FirmwareSetTask(1, rt->firmwarePath);
    MakeRecorderDisk(disk.path(), nullptr);
    WriteFile(disk / "ProgramFiles/Settings/a.txt", "x");
    TAPDirStackDepth = -1;
  }
  void TearDown() override { rt->chdirSuccess = 1; }
  TempDir disk;
  TapRuntime *rt;
};

// Runs first: the learning happens once per load, whatever the first path.
TEST_F(DirNav, FirstChangeLearnsSuccessValueEvenForNullPath)
{
  rt->chdirSuccess = 0; // a firmware that answers 0 for success
  ASSERT_EQ(ReturnTypeToBeChecked, 1);
  EXPECT_EQ(HDD_ChangeDir(nullptr), 0);
  EXPECT_EQ(ReturnTypeToBeChecked, 0);
  EXPECT_EQ(ChDirSuccessful, 0u);
  EXPECT_EQ(Current(), "/") << "the learning must restore the folder it was in";
  EXPECT_EQ(TAPDirStackDepth, -1);
  EXPECT_EQ(HDD_ChangeDir("/ProgramFiles/Settings"), 1);
  EXPECT_EQ(HDD_ChangeDir("/ProgramFiles/Missing"), 0);
  EXPECT_EQ(Current(), "/ProgramFiles/Settings");
}

TEST_F(DirNav, ChangeDirAnswersOneAndZeroWhateverTheHostReturns)
{
  for (dword success : {0u, 1u}) {
    rt->chdirSuccess = success;
    ChDirSuccessful = success; // as learned on such a firmware
    EXPECT_EQ(HDD_ChangeDir("/ProgramFiles"), 1);
    EXPECT_EQ(HDD_ChangeDir("Settings"), 1);
    EXPECT_EQ(Current(), "/ProgramFiles/Settings");
    EXPECT_EQ(HDD_ChangeDir("Nowhere"), 0);
    EXPECT_EQ(HDD_ChangeDir("a.txt"), 0) << "a file is not a folder";
    EXPECT_EQ(Current(), "/ProgramFiles/Settings");
  }
}

TEST_F(DirNav, PushChangePopRestoresFolderAndDepth)
{
  ASSERT_EQ(HDD_ChangeDir("/ProgramFiles"), 1);
  EXPECT_EQ(HDD_TAP_PushDir(), 1);
  EXPECT_EQ(TAPDirStackDepth, 0);
  ASSERT_EQ(HDD_ChangeDir("Settings/Vaultrix"), 1);
  EXPECT_EQ(Current(), "/ProgramFiles/Settings/Vaultrix");
  EXPECT_EQ(HDD_TAP_PopDir(), 1);
  EXPECT_EQ(Current(), "/ProgramFiles");
  EXPECT_EQ(TAPDirStackDepth, -1);
  EXPECT_EQ(HDD_TAP_PopDir(), 0) << "a pop on an empty stack";
  EXPECT_EQ(Current(), "/ProgramFiles");
}

TEST_F(DirNav, SixteenPushesFitTheSeventeenthFails)
{
  for (int i = 0; i < DIR_STACK_DEPTH; i++)
    ASSERT_EQ(HDD_TAP_PushDir(), 1) << i;
  EXPECT_EQ(TAPDirStackDepth, 15);
  EXPECT_EQ(HDD_TAP_PushDir(), 0);
  EXPECT_EQ(TAPDirStackDepth, 15);
  for (int i = 0; i < DIR_STACK_DEPTH; i++)
    HDD_TAP_PopDir();
  EXPECT_EQ(TAPDirStackDepth, -1);
}

TEST_F(DirNav, FolderLongerThanAStackEntryIsRefusedNotCut)
{
  // 199 characters fit an entry, 200 do not.
  std::string fits = "/ProgramFiles/" + std::string(199 - 14, 'f');
  std::string over = "/ProgramFiles/" + std::string(200 - 14, 'o');
  ASSERT_EQ(fits.size(), 199u);
  for (auto *p : {&fits, &over})
    WriteFile(disk.path() + *p + "/x", "x");

  ASSERT_EQ(HDD_ChangeDir(fits.c_str()), 1);
  EXPECT_EQ(HDD_TAP_PushDir(), 1);
  EXPECT_EQ(HDD_ChangeDir("/"), 1);
  EXPECT_EQ(HDD_TAP_PopDir(), 1);
  EXPECT_EQ(Current(), fits);

  HDD_ChangeDir("/ProgramFiles");
  EXPECT_EQ(HDD_TAP_PushDir(), 1); // an enclosing bracket
  ASSERT_EQ(HDD_ChangeDir(over.c_str()), 1);
  char dir[DIR_STACK_ENTRY];
  EXPECT_EQ(HDD_TAP_GetCurrentDir(dir), -2);
  EXPECT_STREQ(dir, "");
  // A failed push still takes a slot, so that the caller's pop is its own
  // and leaves the enclosing entry alone.
  EXPECT_EQ(HDD_TAP_PushDir(), 0);
  EXPECT_EQ(TAPDirStackDepth, 1);
  EXPECT_EQ(HDD_TAP_PopDir(), 0);
  EXPECT_EQ(HDD_TAP_PopDir(), 1);
  EXPECT_EQ(Current(), "/ProgramFiles");
}

TEST_F(DirNav, LinuxPathOfCurrentFolder)
{
  HDD_ChangeDir("/ProgramFiles/Settings");
  char path[64];
  EXPECT_EQ(HDD_TAP_GetCurrentDirLinux(path, sizeof path), 1);
  EXPECT_STREQ(path, "/mnt/hd/ProgramFiles/Settings");
  char small[10];
  EXPECT_EQ(HDD_TAP_GetCurrentDirLinux(small, sizeof small), 0);
  EXPECT_STREQ(small, "");
}

// Also run under valgrind: no buffer here may be read before it is written.
TEST_F(DirNav, TaskRecordWithoutFolderTextIsAFailureNotGarbage)
{
  HDD_ChangeDir("/ProgramFiles/Settings");
  ASSERT_EQ(HDD_TAP_PushDir(), 1);
  HDD_TAP_PopDir();
  _tapTask[1].Dir->Path = nullptr;
  char dir[DIR_STACK_ENTRY];
  memset(dir, 'X', sizeof dir);
  EXPECT_EQ(HDD_TAP_GetCurrentDir(dir), -1);
  EXPECT_STREQ(dir, "");
  EXPECT_EQ(HDD_TAP_GetCurrentDirLinux(dir, sizeof dir), 0);
  EXPECT_STREQ(dir, "");
  EXPECT_EQ(HDD_TAP_PushDir(), 0);
  EXPECT_STREQ(TAPDirStack[0], "");
  EXPECT_EQ(HDD_TAP_PopDir(), 0);
  EXPECT_EQ(TAPDirStackDepth, -1);

  // Settings are still found and saved where they belong, through the
  // host's calls alone.
  WriteFile(disk / "ProgramFiles/Settings/s.ini", "A=1\r\n");
  ASSERT_EQ(HDD_ChangeDir("/ProgramFiles"), 1);
  EXPECT_EQ(INIOpenFile("s.ini", nullptr), 4);
  INISetString("B", "2");
  EXPECT_EQ(INISaveFile("s.ini", 4, nullptr), 1);
  INICloseFile();
  EXPECT_EQ(ReadFile(disk / "ProgramFiles/Settings/s.ini"), "A=1\r\nB=2\r\n");
  EXPECT_FALSE(Exists(disk / "ProgramFiles/Settings/s.ini.copy"));

  // Cut while the file was rewritten: the checked copy beside it is read.
  for (bool fileLeft : {true, false}) {
    WriteFile(disk / "ProgramFiles/Settings/s.ini.copy", "A=1\r\nB=3\r\n");
    if (fileLeft)
      WriteFile(disk / "ProgramFiles/Settings/s.ini", "A=");
    else
      unlink((disk / "ProgramFiles/Settings/s.ini").c_str());
    ASSERT_EQ(HDD_ChangeDir("/ProgramFiles"), 1);
    EXPECT_GE(INIOpenFile("s.ini", nullptr), 2) << "found";
    char value[8];
    INIGetString("B", value, "", sizeof value);
    EXPECT_STREQ(value, "3") << fileLeft;
    EXPECT_EQ(INISaveFile("s.ini", 4, nullptr), 1);
    INICloseFile();
    EXPECT_EQ(ReadFile(disk / "ProgramFiles/Settings/s.ini"), "A=1\r\nB=3\r\n");
    EXPECT_FALSE(Exists(disk / "ProgramFiles/Settings/s.ini.copy"));
  }
  FirmwareSetTask(1, rt->firmwarePath);
}

TEST(FirmwareSymbols, ResolvedOnceAndCached)
{
  FirmwareTask *table = FIS_vTAPTable();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table, _tapTask);
  EXPECT_EQ(FIS_vCurTapTask(), &_curTapTask);
  EXPECT_EQ(FIS_vTAPTable(), table);
  EXPECT_EQ(TryResolve("NoSuchSymbolAnywhere"), nullptr);
}

TEST(FirmwareSymbols, Utf8FirmwareFunctionOnlyWhenLoaded)
{
  EXPECT_EQ(FIS_fwAppl_ConvertToValidUTF8Str(), nullptr);
  EXPECT_EQ(FIS_fwAppl_ConvertToValidUTF8Str(), nullptr) << "a miss is looked up again, and missed again";
  void *fw = dlopen(VX_UTF8FW, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(fw, nullptr) << dlerror();
  void *f = FIS_fwAppl_ConvertToValidUTF8Str();
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(f, dlsym(fw, "_Z26Appl_ConvertToValidUTF8StrPhi"));
}

} // namespace
