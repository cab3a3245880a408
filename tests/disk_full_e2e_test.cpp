// The backup disk fills up in the middle of a copy pass: an external disk
// that is a small tmpfs, mounted in a mount namespace of this test alone
// (the simulator's namespace inherits it).  The run ends normally with its
// failures counted, leaves no half-written copy and no change to the day
// before, and is not marked done; the next day, with room again, the backup
// is complete.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/BackupScenario.h"
#include "support/SmallDisk.h"

namespace {

std::string Pattern(size_t n, char seed)
{
  std::string s(n, 0);
  for (size_t i = 0; i < n; i++)
    s[i] = (char)(seed + i * 7 + i / 251);
  return s;
}

TEST(DiskFull, FailuresAreCountedNothingHalfIsLeftAndTheNextDayCompletes)
{
  TempDir usb;
  SmallDisk small(usb.path(), "512k");
  if (!small.mounted())
    GTEST_SKIP() << "mounting a tmpfs needs root";
  WriteFile(usb / "Vaultrix/.keep", "");
  BackupScenario b("DestDevice=External\r\nDestPath=/Vaultrix\r\n", usb / "Vaultrix");
  const std::vector<std::string> plugged = {"--ext", "sdb1=" + usb.path()};
  for (int i = 0; i < 8; i++)
    b.Source("/Plugin" + std::to_string(i % 3) + "/data" + std::to_string(i) + ".bin", Pattern(16000, (char)i));
  ASSERT_EQ(b.Run("2026-12-01", plugged).status, 0) << b.log;
  ASSERT_TRUE(b.Complete("2026-12-01")) << b.log;
  TreeSnapshot day1 = SnapshotTree(b.Day("2026-12-01"));

  // Six files grow to 32 kB each, with room for about two of them.
  for (int i = 0; i < 6; i++)
    b.Source("/Plugin" + std::to_string(i % 3) + "/data" + std::to_string(i) + ".bin", Pattern(32000, (char)(i + 50)));
  WriteFile(usb / "filler", std::string(small.FreeBytes() - 72 * 1024, 'f'));
  std::string ini = ReadFile(b.IniPath());
  ASSERT_EQ(b.Run("2026-12-02", plugged).status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Failed to write destination")) << b.log;
  EXPECT_TRUE(b.Logged("Failed: ")) << b.log;
  EXPECT_TRUE(b.Logged("Copied: ")) << b.log;
  int failed = 0;
  for (auto &[rel, content] : b.OwnerFiles()) {
    std::string copy = b.Day("2026-12-02") + rel;
    if (!Exists(copy))
      failed++;
    else
      EXPECT_EQ(ReadFile(copy), content) << rel << " is a partial copy";
  }
  EXPECT_GE(failed, 1);
  EXPECT_TRUE(b.Logged("Failed: " + std::to_string(failed) + " files, ")) << b.log;
  EXPECT_FALSE(Exists(b.Day("2026-12-02") + "/VXDB.db.part"));
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1) << "the day-1 backup changed";
  // A day whose copies failed is incomplete: never marked done, and the
  // catalogue that stands, if the disk took one, is the partial one.
  EXPECT_FALSE(Exists(b.Day("2026-12-02") + "/VXDB.db"));
  EXPECT_EQ(ReadFile(b.IniPath()), ini) << b.log;
  bool saved = Exists(b.Day("2026-12-02") + "/VXDB.partial");
  EXPECT_EQ(b.Logged("Backup incomplete, the next load tries again"), saved) << b.log;
  EXPECT_EQ(b.Logged("Backup date not saved"), !saved) << b.log;
  TreeSnapshot day2 = SnapshotTree(b.Day("2026-12-02"));

  // Room again the next day: everything is there.
  unlink((usb / "filler").c_str());
  ASSERT_EQ(b.Run("2026-12-03", plugged).status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-03")) << b.log;
  EXPECT_FALSE(b.Logged("Failed")) << b.log;
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1);
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-02")), day2);
  printf("disk full: %d of %zu files failed and were counted, the next day complete\n", failed,
         b.OwnerFiles().size());
}

} // namespace
