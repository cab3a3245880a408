#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

#include "app/Vaultrix.h"
#include "host/runtime/TapRuntime.h"
#include "support/RecorderNamespace.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> probed;
std::string present;
dev_t presentDevice;

int FakeStat(const char *path, struct stat64 *st)
{
  probed.push_back(path);
  if (path != present)
    return -1;
  memset(st, 0, sizeof *st);
  st->st_dev = presentDevice;
  return 0;
}

class Destinations : public ::testing::Test {
protected:
  void SetUp() override
  {
    MakeRecorderDisk(disk.path(), nullptr);
    ASSERT_EQ(EnterRecorderNamespace(disk.path()), "");
    UseRecorderDisk(disk.path());
    probed.clear();
    present.clear();
    presentDevice = 0x0801;
    State = 2;
    VXDidNASMount = 0;
    INIDestPath[0] = INIMountCommand[0] = 0;
  }
  void TearDown() override
  {
    DestStat = lstat64;
    for (auto &e : made)
      fs::remove_all(e);
  }
  void SetPath(const std::string &path) { StrCopy(INIDestPath, sizeof INIDestPath, path.c_str()); }
  // Folders made under the namespace's own /mnt, removed after the test.
  void Make(const std::string &path)
  {
    fs::create_directories(path);
    made.push_back(path.substr(0, path.find('/', 5)));
  }

  TempDir disk;
  char dst[ROOT_SIZE];
  std::vector<std::string> made;
};

TEST_F(Destinations, ExternalProbesWholeDiskThenPartitionsFromSdbToSdz)
{
  DestStat = FakeStat;
  SetPath("/Backup");
  EXPECT_EQ(FindExtBackupDisk(dst), 0);
  EXPECT_STREQ(dst, "");
  ASSERT_EQ(probed.size(), 225u);
  EXPECT_EQ(probed[0], "/mnt/sdb/Backup/");
  EXPECT_EQ(probed[1], "/mnt/sdb1/Backup/");
  EXPECT_EQ(probed[8], "/mnt/sdb8/Backup/");
  EXPECT_EQ(probed[9], "/mnt/sdc/Backup/");
  EXPECT_EQ(probed[224], "/mnt/sdz8/Backup/");

  probed.clear();
  present = "/mnt/sdc2/Backup/";
  EXPECT_EQ(FindExtBackupDisk(dst), 1);
  EXPECT_STREQ(dst, "/mnt/sdc2/Backup/");
  EXPECT_EQ(probed.size(), 12u);
}

TEST_F(Destinations, ExternalTakesTheFirstMountThatHoldsThePath)
{
  Make("/mnt/sdb/Backup");
  Make("/mnt/sdb1/Backup");
  Make("/mnt/sdc");
  SetPath("/Backup");
  EXPECT_EQ(FindExtBackupDisk(dst), 1);
  EXPECT_STREQ(dst, "/mnt/sdb/Backup/");
  SetPath("");
  fs::remove_all("/mnt/sdb");
  EXPECT_EQ(FindExtBackupDisk(dst), 1);
  EXPECT_STREQ(dst, "/mnt/sdb1/");
}

TEST_F(Destinations, ExternalPathLongerThanTheProbeBufferIsRefused)
{
  SetPath("/" + std::string(68, 'x'));
  EXPECT_EQ(ExtDestPathFits(), 1);
  Make("/mnt/sdz8/" + std::string(68, 'x'));
  EXPECT_EQ(FindExtBackupDisk(dst), 1);
  EXPECT_EQ(strlen(dst), 79u);

  SetPath("/" + std::string(69, 'x'));
  EXPECT_EQ(ExtDestPathFits(), 0);
  DestStat = FakeStat;
  EXPECT_EQ(FindExtBackupDisk(dst), 0);
  for (auto &p : probed)
    EXPECT_LT(p.size(), 80u);
}

TEST_F(Destinations, ShareOnTheRecordersOwnDiskCountsAsNotMounted)
{
  DestStat = FakeStat;
  SetPath("/mnt/nas/Backup");
  EXPECT_EQ(FindNASDisk(dst), 0);
  present = "/mnt/nas/Backup";
  presentDevice = 2050;
  EXPECT_EQ(FindNASDisk(dst), 0);
  EXPECT_STREQ(dst, "");
  presentDevice = 2049;
  EXPECT_EQ(FindNASDisk(dst), 1);
  // The slash the dated folders need is added.
  EXPECT_STREQ(dst, "/mnt/nas/Backup/");
  present = "/mnt/nas/Backup/";
  SetPath(present);
  EXPECT_EQ(FindNASDisk(dst), 1);
  EXPECT_STREQ(dst, "/mnt/nas/Backup/");
}

TEST_F(Destinations, MountLaunchesTheCommandAndUnmountUndoesIt)
{
  StrCopy(INIMountCommand, sizeof INIMountCommand, "touch /mnt/launched /mnt/share/point");
  MountNAS();
  made.push_back("/mnt/launched");
  made.push_back("/mnt/share");
  EXPECT_EQ(VXDidNASMount, 1u);
  EXPECT_TRUE(fs::is_directory("/mnt/share/point"));
  for (int i = 0; i < 500 && !Exists("/mnt/launched"); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Exists("/mnt/launched"));

  ASSERT_EQ(mount("vxshare", "/mnt/share/point", "tmpfs", 0, "size=16k"), 0);
  UnmountNAS();
  EXPECT_FALSE(Exists("/mnt/share/point"));
}

TEST_F(Destinations, MountCommandWithoutMountPointOrTextDoesLess)
{
  MountNAS();
  EXPECT_EQ(VXDidNASMount, 0u);
  StrCopy(INIMountCommand, sizeof INIMountCommand, "true");
  MountNAS();
  EXPECT_EQ(VXDidNASMount, 1u);
  UnmountNAS();
}

TEST_F(Destinations, InternalFolderIsMadeWithoutAShell)
{
  const std::string backup = "/mnt/hd/My Backup;touch /mnt/hd/ran";
  SetPath(backup);
  EXPECT_EQ(PrepareInternalDest(), 1);
  EXPECT_EQ(std::string(DestRoot), backup + "/");
  EXPECT_EQ(std::string(INIDestPath), backup + "/");
  EXPECT_TRUE(fs::is_directory(disk / "My Backup;touch "));
  EXPECT_FALSE(Exists(disk / "ran"));
  EXPECT_EQ(State, 2u);

  SetPath("");
  EXPECT_EQ(PrepareInternalDest(), 1);
  EXPECT_STREQ(DestRoot, "/");

  // A DestPath that fills its buffer still gets its slash.
  SetPath("/mnt/hd/" + std::string(119, 'l'));
  EXPECT_EQ(PrepareInternalDest(), 1);
  EXPECT_EQ(std::string(DestRoot), "/mnt/hd/" + std::string(119, 'l') + "/");
}

TEST_F(Destinations, InternalPathThatCannotBeAFolderEndsTheRun)
{
  WriteFile(disk / "file", "x");
  SetPath("/mnt/hd/file");
  EXPECT_EQ(PrepareInternalDest(), 0);
  EXPECT_EQ(State, 5u);
  State = 2;
  SetPath("/mnt/hd/file/below");
  EXPECT_EQ(PrepareInternalDest(), 0);
  EXPECT_EQ(State, 5u);
}

} // namespace
