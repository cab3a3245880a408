// Old backups removed on the recorder: day after day in the simulator with
// KeepDays set, what stays is checked from outside (dates, bytes, inodes,
// disk usage), also with a wrong clock, decoys, and a stop at every event of
// a removal.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sys/stat.h>

#include "support/BackupScenario.h"
#include "support/SmallDisk.h"

namespace fs = std::filesystem;

namespace {

const char kSettings[] = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\nKeepDays=%d\r\n";

std::string Settings(int keepDays)
{
  char buf[128];
  snprintf(buf, sizeof buf, kSettings, keepDays);
  return buf;
}

std::string DayName(int n)  // day n after 2026-10-01
{
  time_t t = 1790812800 + time_t(n) * 86400;  // 2026-10-01 00:00 UTC
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[16];
  strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

// What du counts: the blocks of every inode below root once; but not the
// recorder's own logs, which grow every day and are copied every day.
uint64_t DiskUsage(const std::string &root)
{
  std::set<ino_t> seen;
  uint64_t bytes = 0;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st;
    if (it->path().string().find("/Settings/") == std::string::npos && lstat(it->path().c_str(), &st) == 0 &&
        seen.insert(st.st_ino).second)
      bytes += uint64_t(st.st_blocks) * 512;
  }
  return bytes;
}

ProgramRun Verify(const std::string &day)
{
  return RunProgram({VX_EMULATOR_ARGV VX_BINARY_DIR "/vxdb", "verify", day});
}

// Fifty small files in five folders; a day changes one of them (2 %).
void Sources(BackupScenario &b)
{
  for (int i = 0; i < 50; i++)
    b.Source("/Plugin" + std::to_string(i % 5) + "/file" + std::to_string(i) + ".dat", Pattern(1500, i));
}

void ChangeOne(BackupScenario &b, int day)
{
  b.Source("/Plugin" + std::to_string(day % 5) + "/file" + std::to_string(day % 50) + ".dat",
           Pattern(1500, 1000 + day));
}

TEST(Retention, FortyDaysKeepTheLastEightWhole)
{
  BackupScenario b(Settings(7));
  Sources(b);
  std::string root = b.Disk() + "/Backup";
  std::map<std::string, TreeSnapshot> taken;
  std::vector<uint64_t> usage;
  for (int d = 0; d < 40; d++) {
    ChangeOne(b, d);
    std::string day = DayName(d);
    ASSERT_EQ(b.Run(day).status, 0) << b.log;
    ASSERT_TRUE(b.Complete(day)) << b.log;
    taken[day] = SnapshotTree(b.Day(day));
    usage.push_back(DiskUsage(root));
    if (d >= 8)
      EXPECT_TRUE(b.Logged("Removed backup " + DayName(d - 8) + ": ")) << b.log;
    else
      EXPECT_FALSE(b.Logged("Removed backup")) << b.log;
  }
  std::set<std::string> last8;
  for (int d = 32; d < 40; d++)
    last8.insert(DayName(d));
  EXPECT_EQ(NamesIn(root), last8);
  for (const auto &day : last8) {
    EXPECT_EQ(SnapshotTree(b.Day(day)), taken[day]) << day;
    ProgramRun v = Verify(b.Day(day));
    EXPECT_EQ(v.status, 0) << day << v.out << v.err;
  }
  // Flat from day 8 on: each day adds one changed file and frees one.
  for (int d = 9; d < 40; d++)
    EXPECT_LE(usage[d], usage[8] + 16384) << "day " << d;
  printf("40 days, KeepDays=7: %llu bytes on disk at the end, %llu after day 8\n",
         (unsigned long long)usage.back(), (unsigned long long)usage[8]);
}

// A clock far behind, then one far ahead: each run keeps at least
// KeepDays + 1 complete backups, the mis-dated ones counted, and removes
// only the oldest beyond them.  Decoys stay untouched throughout.
TEST(Retention, WrongClockAndDecoys)
{
  BackupScenario b(Settings(7));
  Sources(b);
  std::string root = b.Disk() + "/Backup";
  TempDir outside;
  WriteFile(outside / "VXDB.db", "");
  fs::create_directories(root + "/2020-01-01");
  WriteFile(root + "/2020-01-01/note", "no catalogue here");
  fs::create_directory_symlink(outside.path(), root + "/2020-01-02");
  WriteFile(root + "/2020-01-03", "a file named like a date");
  std::set<std::string> decoys = {"2020-01-01", "2020-01-02", "2020-01-03"};

  std::set<std::string> expect = decoys;
  for (int d = 0; d < 9; d++) {
    ChangeOne(b, d);
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
    expect.insert(DayName(d));
  }
  expect.erase(DayName(0));
  EXPECT_EQ(NamesIn(root), expect);

  // A clock behind the newest backup: the day's backup is made all the same,
  // and nothing is removed, the mis-dated backup being today's.
  ChangeOne(b, 9);
  ASSERT_EQ(b.Run("2000-01-01").status, 0) << b.log;
  EXPECT_TRUE(b.Logged("A later backup (" + DayName(8) + ") exists: the recorder's clock may be wrong")) << b.log;
  expect.insert("2000-01-01");
  EXPECT_EQ(NamesIn(root), expect) << b.log;

  ChangeOne(b, 10);
  ASSERT_EQ(b.Run("2037-06-01").status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2037-06-01")) << b.log;
  expect.erase("2000-01-01");
  expect.erase(DayName(1));
  expect.insert("2037-06-01");
  EXPECT_EQ(NamesIn(root), expect) << b.log;
  EXPECT_TRUE(b.Logged("Removed backup 2000-01-01: ")) << b.log;
  EXPECT_TRUE(b.Logged("Removed backup " + DayName(1) + ": ")) << b.log;
  for (const auto &n : {"2020-01-01", "2020-01-02", "2020-01-03"})
    EXPECT_TRUE(b.Logged(std::string("Not a backup, left alone: '/mnt/hd/Backup/") + n + "'")) << b.log;

  EXPECT_EQ(ReadFile(root + "/2020-01-01/note"), "no catalogue here");
  EXPECT_TRUE(fs::is_symlink(root + "/2020-01-02"));
  EXPECT_TRUE(Exists(outside / "VXDB.db"));
  EXPECT_EQ(ReadFile(root + "/2020-01-03"), "a file named like a date");
}

// 0x0900 at each event of a removal, then the next day's run: the removal
// is completed, a folder cut short never stands with a catalogue it lost,
// and no backup that stays loses a byte.  Each trial starts from a copy of
// the same two days (cp -a keeps their hard links).
TEST(Retention, StopAtEveryEventOfARemoval)
{
  const std::string d1 = "2026-10-01", d2 = "2026-10-02", d3 = "2026-10-03", d4 = "2026-10-04";
  BackupScenario tmpl(Settings(1));
  for (int i = 0; i < 6; i++)
    tmpl.Source("/P" + std::to_string(i % 2) + "/sub/f" + std::to_string(i), Pattern(300, i));
  ASSERT_EQ(tmpl.Run(d1).status, 0) << tmpl.log;
  tmpl.Source("/P0/sub/f0", "changed");
  ASSERT_EQ(tmpl.Run(d2).status, 0) << tmpl.log;
  tmpl.Source("/P1/sub/f1", "changed too");
  auto fresh = [&](BackupScenario &b) {
    ProgramRun cp = RunProgram({"sh", "-c", "rm -rf \"$0\"/* && cp -a \"$1\"/. \"$0\"", b.Disk(), tmpl.Disk()});
    ASSERT_EQ(cp.status, 0) << cp.err;
  };
  std::vector<int> removing;
  {
    BackupScenario b(Settings(1));
    fresh(b);
    TapsimResult r = b.Run(d3);
    ASSERT_TRUE(b.Logged("Removed backup " + d1 + ": ")) << b.log;
    for (const auto &e : r.trace)
      if (!e.isMain && e.stateBefore == 4)
        removing.push_back(int(e.index));
  }
  ASSERT_GT(removing.size(), 10u);
  for (int n : removing) {
    SCOPED_TRACE("stopped at event " + std::to_string(n));
    BackupScenario b(Settings(1));
    fresh(b);
    TreeSnapshot kept = SnapshotTree(b.Day(d2));
    ASSERT_EQ(b.Run(d3, {"--event", std::to_string(n) + "=0x0900"}).status, 0) << b.log;
    EXPECT_EQ(SnapshotTree(b.Day(d2)), kept);
    if (Exists(b.Day(d1)) && !Exists(b.Day(d1) + "/VXDB.db"))
      EXPECT_TRUE(Exists(b.Day(d1) + "/VXDB.removing")) << "a folder cut short looks like an unfinished backup";
    TreeSnapshot today = SnapshotTree(b.Day(d3));
    ASSERT_EQ(b.Run(d4).status, 0) << b.log;
    EXPECT_EQ(NamesIn(b.Disk() + "/Backup"), (std::set<std::string>{d3, d4})) << b.log;
    EXPECT_EQ(SnapshotTree(b.Day(d3)), today);
    EXPECT_TRUE(b.Complete(d3));
    EXPECT_TRUE(b.Complete(d4));
    EXPECT_FALSE(b.Logged("Failed to remove")) << b.log;
  }
  printf("removal stopped at each of its %zu events, each followed by the next day\n", removing.size());
}

// An internal destination on a small disk, with 1 MB to be kept free: a
// day that would eat into it stops before the copy that would, writing no
// catalogue and no date.  With KeepDays set, the same day first removes the
// expired backup and then completes.
TEST(Retention, ReserveStopsTheBackupUnlessExpiredBackupsMakeRoom)
{
  BackupScenario b("DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\nMinFreeMB=1\r\n");
  fs::create_directories(b.Disk() + "/Backup");
  SmallDisk small(b.Disk() + "/Backup", "4m");
  if (!small.mounted())
    GTEST_SKIP() << "mounting a tmpfs needs root";
  auto day = [&](int d) {
    for (int i = 0; i < 3; i++)
      b.Source("/Big/f" + std::to_string(i), Pattern(300 * 1024, 100 * d + i));
    return b.Run(DayName(d)).status;
  };
  for (int d = 0; d < 3; d++)
    ASSERT_EQ(day(d), 0) << b.log;
  ASSERT_TRUE(b.Complete(DayName(2))) << b.log;
  std::string ini = ReadFile(b.IniPath());
  TreeSnapshot kept = SnapshotTree(b.Day(DayName(2)));

  ASSERT_EQ(day(3), 0) << b.log;
  EXPECT_TRUE(b.Logged("Destination nearly full: backup stopped, ")) << b.log;
  EXPECT_FALSE(Exists(b.Day(DayName(3)) + "/VXDB.db"));
  EXPECT_EQ(ReadFile(b.IniPath()), ini);
  EXPECT_GE(small.FreeBytes(), 1u << 20);

  WriteFile(b.IniPath(), ini + "KeepDays=1\r\n");
  ASSERT_EQ(b.Run(DayName(3)).status, 0) << b.log;
  ExpectInOrder(b.log, {"Removed backup " + DayName(0) + ": 5 files, 900.4 kB freed", "Copied: ",
                        "Removed backup " + DayName(1) + ": "});
  EXPECT_FALSE(b.Logged("nearly full")) << b.log;
  EXPECT_TRUE(b.Complete(DayName(3))) << b.log;
  EXPECT_EQ(SnapshotTree(b.Day(DayName(2))), kept);
  EXPECT_GE(small.FreeBytes(), 1u << 20);
}

// A full external disk (no reserve there): the day whose copies failed
// removes nothing, whatever KeepDays says.
TEST(Retention, ACopyPassThatFailedRemovesNothing)
{
  TempDir usb;
  SmallDisk small(usb.path(), "2m");
  if (!small.mounted())
    GTEST_SKIP() << "mounting a tmpfs needs root";
  fs::create_directories(usb / "Vaultrix");
  BackupScenario b("DestDevice=External\r\nDestPath=/Vaultrix\r\nKeepDays=1\r\n", usb / "Vaultrix");
  const std::vector<std::string> plugged = {"--ext", "sdb1=" + usb.path()};
  TreeSnapshot first;
  for (int d = 0; d < 3; d++) {
    for (int i = 0; i < 3; i++)
      b.Source("/Big/f" + std::to_string(i), Pattern(250 * 1024, 100 * d + i));
    ASSERT_EQ(b.Run(DayName(d), plugged).status, 0) << b.log;
    if (d == 0)
      first = SnapshotTree(b.Day(DayName(0)));
  }
  ASSERT_TRUE(b.Logged("Failed to write destination")) << b.log;
  EXPECT_FALSE(b.Logged("Removed backup")) << b.log;
  EXPECT_EQ(SnapshotTree(b.Day(DayName(0))), first);
  EXPECT_TRUE(first.count("/VXDB.db"));
}

}  // namespace
