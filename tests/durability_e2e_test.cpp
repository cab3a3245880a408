// A backup stands only for what is on the disk.  The power is cut at many
// moments of a backup on an ext4 disk image; a USB disk is pulled during the
// copy pass; a rerun of the same day is stopped after its copies; an earlier
// copy is cut short by hand.  Whatever a catalogue lists is there, whole, and
// the next backup holds the real bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Vaultrix.h"
#include "support/BackupScenario.h"
#include "support/PowerCut.h"

namespace fs = std::filesystem;

namespace {

// Every dated folder under root that holds a catalogue has every file it
// lists at the listed size and digest.
::testing::AssertionResult CataloguesStandForTheirFiles(const std::string &root)
{
  std::error_code ec;
  for (auto &day : fs::directory_iterator(root, ec)) {
    std::string db = day.path().string() + "/VXDB.db";
    if (!Exists(db))
      continue;
    VXDB record;
    memset(&record, 0, sizeof record);
    if (!LoadVXDB(db.c_str(), &record))
      return ::testing::AssertionFailure() << db << " does not load";
    std::string bad;
    for (int i = 0; i < record.NrEntries && bad.empty(); i++) {
      const VXDBEntry &e = record.Entries[i];
      std::string file = day.path().string() + (record.Text + e.FolderOffset) + (record.Text + e.NameOffset);
      struct stat st;
      if (lstat(file.c_str(), &st) != 0 || (uint64_t)st.st_size != e.FileSize)
        bad = file + " is not at its catalogued size";
      else if (Md5Hex(file) != Md5Text(e.MD5))
        bad = file + " does not have its catalogued digest";
    }
    FreeVXDB(&record);
    if (!bad.empty())
      return ::testing::AssertionFailure() << bad;
  }
  return ::testing::AssertionSuccess();
}

// A recorder whose internal disk is an ext4 image, and whose power is cut.
class PowerCut : public ::testing::Test {
protected:
  // The image of a disk that holds the source tree written by fill.
  template <class F> void MakeDisk(F fill)
  {
    if (geteuid() != 0)
      GTEST_SKIP() << "disk images need root";
    ASSERT_EQ(MakeExt4Image(image, 64 << 20), "");
    MountedImage disk(image);
    ASSERT_TRUE(disk.ok()) << disk.error();
    b.UseDisk(disk.root());
    // A 64 MB disk: no room for the internal disk's default reserve.
    MakeRecorderDisk(disk.root(), "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\nMinFreeMB=0\r\n");
    fill();
  }

  // Day 1 on a fresh copy of the disk with these tapsim options, cut after
  // event n (0: after the run's end); the disk as the power left it is in cut.
  void RunAndCut(uint64_t n, const std::vector<std::string> &options = {})
  {
    PoweredDisk live(image);
    ASSERT_TRUE(live.ok()) << live.error();
    b.UseDisk(live.root());
    std::vector<std::string> stop = options;
    if (n)
      stop.insert(stop.end(), {"--max-events", std::to_string(n)});
    TapsimResult r = b.Run(kDay1, stop);
    if (!n)
      ASSERT_EQ(r.status, 0) << b.log;
    ASSERT_EQ(live.CutPower(cut), "");
  }

  // The disk after the cut, repaired and mounted: what every catalogue lists
  // is there, and the next day's backup is complete and verifies.
  void CheckAfterCut(uint64_t n)
  {
    std::string fsck;
    int status = CheckExt4Image(cut, &fsck);
    ASSERT_LT(status, 4) << "e2fsck after event " << n << ":\n" << fsck;
    MountedImage disk(cut);
    ASSERT_TRUE(disk.ok()) << disk.error();
    b.UseDisk(disk.root());
    EXPECT_TRUE(CataloguesStandForTheirFiles(b.Day(""))) << "cut after event " << n;
    ASSERT_EQ(b.Run(kDay2).status, 0) << b.log;
    EXPECT_TRUE(b.Complete(kDay2)) << "cut after event " << n << "\n" << b.log;
    EXPECT_TRUE(VxdbIntact(b.Day(kDay2))) << "cut after event " << n;
  }

  const std::string kDay1 = "2026-12-01", kDay2 = "2026-12-02";
  TempDir work;
  std::string image = work / "disk.img", cut = work / "cut.img";
  BackupScenario b;
};

int Findings() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

TEST_F(PowerCut, AtEveryTenthEventTheCataloguesStandAndTheNextDayIsWhole)
{
  MakeDisk([&] {
    for (unsigned i = 0; i < 3; i++)
      b.Source("/Media/large" + std::to_string(i) + ".ts", Pattern((3 << 20) + i * 4099, i));
    for (unsigned i = 0; i < 60; i++)
      b.Source("/Plugin" + std::to_string(i % 6) + "/file" + std::to_string(i) + ".dat",
               Pattern(100 + i * 97, i + 10));
  });
  ASSERT_FALSE(HasFatalFailure());
  uint64_t events;
  {
    PoweredDisk whole(image);
    ASSERT_TRUE(whole.ok()) << whole.error();
    b.UseDisk(whole.root());
    TapsimResult r = b.Run(kDay1);
    ASSERT_EQ(r.status, 0) << b.log;
    events = r.trace.size() - 1; // event 0 is TAP_Main
  }
#if defined(__mips__)
  const uint64_t step = 40; // every run is emulated: fewer points
#else
  const uint64_t step = 10;
#endif
  std::vector<uint64_t> points;
  for (uint64_t n = step; n + 1 < events; n += step)
    points.push_back(n);
  points.push_back(events - 1); // the last event before the exit
  points.push_back(0);          // right after the end
  int passed = 0;
  for (uint64_t n : points) {
    int before = Findings();
    RunAndCut(n);
    if (!HasFatalFailure())
      CheckAfterCut(n);
    passed += Findings() == before;
    if (HasFatalFailure())
      break;
  }
  printf("power cut: %zu cut points in a run of %llu events, %d disks passed\n", points.size(),
         (unsigned long long)events, passed);
}

// The index of the first traced event that logged text, or 0.
uint64_t EventThatSays(const TapsimResult &r, const std::string &text)
{
  for (auto &ev : r.trace)
    if (ev.Says(text))
      return ev.index;
  return 0;
}

// On a disk that records while the backup runs, the flush before the
// catalogue takes several events: cut at each of them, and at the save.
TEST_F(PowerCut, AtEachStepOfTheFinalFlushOnABusyDiskTheCataloguesStand)
{
  MakeDisk([&] {
    b.Source("/Media/film.ts", Pattern(2 << 20, 1));
    for (unsigned i = 0; i < 80; i++)
      b.Source("/Plugin" + std::to_string(i / 2) + "/Data/file" + std::to_string(i) + ".dat", Pattern(500 + i, i));
  });
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<std::string> busy = {"--disk-speed", "25", "--recording", "2"};
  uint64_t summary, events;
  {
    PoweredDisk whole(image);
    ASSERT_TRUE(whole.ok()) << whole.error();
    b.UseDisk(whole.root());
    TapsimResult r = b.Run(kDay1, busy);
    ASSERT_EQ(r.status, 0) << b.log;
    summary = EventThatSays(r, "Copied: ");
    events = r.trace.size() - 1;
  }
  // The summary, the flush of 40 folders and more, the save and the exit.
  ASSERT_GT(summary, 0u);
  ASSERT_GE(events, summary + 3) << "the flush took one event";
  for (uint64_t n = summary; n <= events; n++) {
    RunAndCut(n == events ? 0 : n, busy);
    if (!HasFatalFailure())
      CheckAfterCut(n);
    if (HasFatalFailure())
      break;
  }
}

// Cut right after a normal day 1: the next day links only to whole copies.
TEST_F(PowerCut, RightAfterADayTheNextDayHoldsTheRealBytes)
{
  MakeDisk([&] {
    for (unsigned i = 0; i < 20; i++)
      b.Source("/Data/file" + std::to_string(i) + ".bin", Pattern(1 << 20, i));
  });
  ASSERT_FALSE(HasFatalFailure());
  RunAndCut(0);
  ASSERT_FALSE(HasFatalFailure());
  CheckAfterCut(0);
}

TEST(PulledDisk, MidCopyPassNothingStandsAndTheSameDayCompletesWithTheDiskBack)
{
  TempDir usb;
  WriteFile(usb / "Vaultrix/.keep", "");
  BackupScenario b("DestDevice=External\r\nDestPath=/Vaultrix\r\n", usb / "Vaultrix");
  for (unsigned i = 0; i < 40; i++)
    b.Source("/Plugin" + std::to_string(i % 4) + "/file" + std::to_string(i) + ".dat", Pattern(2000 + i, i));
  b.Checkpoint();
  std::string ini = ReadFile(b.IniPath());
  TapsimResult whole = b.Run("2026-12-01", {"--ext", "sdb1=" + usb.path()});
  ASSERT_EQ(whole.status, 0) << b.log;
  uint64_t first = EventThatSays(whole, "No previous backup found"), last = EventThatSays(whole, "Copied: ");
  ASSERT_GT(last, first + 20) << b.log;
  b.Restore();

  // Ticks follow the events one to one: pulled halfway through the copies.
  uint32_t pull = (uint32_t)(whole.trace[(first + last) / 2].tick - whole.trace[0].tick);
  TapsimResult r = b.Run("2026-12-01", {"--ext", "sdb1=" + usb.path() + "@0-" + std::to_string(pull)});
  EXPECT_EQ(r.status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Destination vanished")) << b.log;
  EXPECT_EQ(r.err.find("bare mount point"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(b.Day("2026-12-01") + "/VXDB.db"));
  EXPECT_EQ(ReadFile(b.IniPath()), ini) << "no date for a backup that was not saved";

  ASSERT_EQ(b.Run("2026-12-01", {"--ext", "sdb1=" + usb.path()}).status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-01")) << b.log;
  EXPECT_NE(ReadFile(b.IniPath()), ini);
}

TEST(SameDayRerun, StoppedAfterItsCopiesLeavesNoCatalogueThatDisagrees)
{
  BackupScenario b;
  for (unsigned i = 0; i < 10; i++)
    b.Source("/Data/file" + std::to_string(i) + ".bin", Pattern(3000, i));
  TapsimResult first = b.Run("2026-12-01");
  ASSERT_EQ(first.status, 0) << b.log;
  uint64_t copied = EventThatSays(first, "Copied: "); // the rerun takes as many steps
  ASSERT_GT(copied, 0u) << b.log;
  // The owner deletes the date and changes files: the rerun replaces them.
  WriteFile(b.IniPath(), "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n");
  for (unsigned i = 0; i < 5; i++)
    b.Source("/Data/file" + std::to_string(i) + ".bin", Pattern(3000, i + 100));
  ASSERT_EQ(b.Run("2026-12-01", {"--max-events", std::to_string(copied)}).status, 1) << b.log;
  EXPECT_TRUE(CataloguesStandForTheirFiles(b.Day("")));
  ASSERT_EQ(b.Run("2026-12-02").status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-02")) << b.log;
  EXPECT_TRUE(VxdbIntact(b.Day("2026-12-02")));
}

TEST(EarlierCopy, CutShortByHandIsCopiedNotLinkedTo)
{
  BackupScenario b;
  b.Source("/a.bin", Pattern(5000, 1));
  b.Source("/b.bin", Pattern(5000, 2));
  b.Source("/c.bin", Pattern(5000, 3));
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  truncate((b.Day("2026-12-01") + "/a.bin").c_str(), 0);
  truncate((b.Day("2026-12-01") + "/b.bin").c_str(), 100);
  ASSERT_EQ(b.Run("2026-12-02").status, 0) << b.log;
  ExpectInOrder(b.log, {"Earlier copy is not whole, copied instead: '/mnt/hd/Backup/2026-12-01/", "a.bin'",
                        "Earlier copy is not whole, copied instead: '/mnt/hd/Backup/2026-12-01/", "b.bin'"});
  EXPECT_TRUE(b.Logged("DeDupe: 1 files")) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-02")) << b.log;
}

} // namespace
