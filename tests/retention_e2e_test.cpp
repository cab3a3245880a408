// Old backups removed on the recorder: day after day in the simulator with
// KeepDays set, what stays is checked from outside (dates, bytes, inodes,
// disk usage), also with a wrong clock, decoys, a stop at every event of a
// removal, and what a hostile owner or a second writer puts in its way:
// markers that are links or FIFOs, a folder swapped for a link mid-way,
// mounts, an entry that cannot go, a share that does not count links.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>

#include "app/Vaultrix.h"
#include "support/BackupScenario.h"
#include "support/ImageRecorder.h"
#include "support/ShareServer.h"
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

// The destination root's entries but the share state beside the backups.
std::set<std::string> Days(const std::string &root)
{
  std::set<std::string> names = NamesIn(root);
  names.erase("VXDB.share");
  return names;
}

// Recordings beside the backups, which no removal may touch; the plug-in
// sees them at /mnt/hd/Recordings.
TreeSnapshot Recordings(BackupScenario &b)
{
  for (int i = 0; i < 4; i++)
    if (!Exists(b.Disk() + "/Recordings/rec" + std::to_string(i) + ".ts"))
      WriteFile(b.Disk() + "/Recordings/rec" + std::to_string(i) + ".ts", Pattern(50000, 700 + i));
  return SnapshotTree(b.Disk() + "/Recordings");
}

// Each of these days is a backup that vxdb verifies as intact.
void ExpectIntact(BackupScenario &b, const std::vector<std::string> &days)
{
  for (const auto &day : days)
    EXPECT_TRUE(VxdbIntact(b.Day(day)));
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
  EXPECT_EQ(Days(root), last8);
  for (const auto &day : last8) {
    EXPECT_EQ(SnapshotTree(b.Day(day)), taken[day]) << day;
    EXPECT_TRUE(VxdbIntact(b.Day(day)));
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
  EXPECT_EQ(Days(root), expect);

  // A clock behind the newest backup: the day's backup is made all the same,
  // and nothing is removed, the mis-dated backup being today's.
  ChangeOne(b, 9);
  ASSERT_EQ(b.Run("2000-01-01").status, 0) << b.log;
  EXPECT_TRUE(b.Logged("A later backup (" + DayName(8) + ") exists: the recorder's clock may be wrong")) << b.log;
  expect.insert("2000-01-01");
  EXPECT_EQ(Days(root), expect) << b.log;

  ChangeOne(b, 10);
  ASSERT_EQ(b.Run("2037-06-01").status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2037-06-01")) << b.log;
  expect.erase("2000-01-01");
  expect.erase(DayName(1));
  expect.insert("2037-06-01");
  EXPECT_EQ(Days(root), expect) << b.log;
  EXPECT_TRUE(b.Logged("Removed backup 2000-01-01: ")) << b.log;
  EXPECT_TRUE(b.Logged("Removed backup " + DayName(1) + ": ")) << b.log;
  for (const auto &n : {"2020-01-01", "2020-01-02", "2020-01-03"})
    EXPECT_TRUE(b.Logged(std::string("Not a backup, left alone: '/mnt/hd/Backup/") + n + "'")) << b.log;

  EXPECT_EQ(ReadFile(root + "/2020-01-01/note"), "no catalogue here");
  EXPECT_TRUE(fs::is_symlink(root + "/2020-01-02"));
  EXPECT_TRUE(Exists(outside / "VXDB.db"));
  EXPECT_EQ(ReadFile(root + "/2020-01-03"), "a file named like a date");
}

// Backups made once and copied afresh (cp -a keeps their hard links) for
// each trial of a day that removes some of them.
struct ReplayedDays {
  BackupScenario tmpl{Settings(1)};

  void Fresh(BackupScenario &b) const
  {
    ProgramRun cp = RunProgram({"sh", "-c", "rm -rf \"$0\"/* && cp -a \"$1\"/. \"$0\"", b.Disk(), tmpl.Disk()});
    ASSERT_EQ(cp.status, 0) << cp.err;
  }
  // The events in which a run of day on a fresh copy removes backups.
  std::vector<int> RemovalEvents(const std::string &day, const std::string &removed) const
  {
    BackupScenario b(Settings(1));
    Fresh(b);
    TapsimResult r = b.Run(day);
    EXPECT_TRUE(b.Logged("Removed backup " + removed + ": ")) << b.log;
    std::vector<int> events;
    for (const auto &e : r.trace)
      if (!e.isMain && e.stateBefore == 4)
        events.push_back(int(e.index));
    return events;
  }
};

// 0x0900 at each event of a removal, then the next day's run: the removal
// is completed, a folder cut short never stands with a catalogue it lost,
// and no backup that stays loses a byte.  Each trial starts from a copy of
// the same two days (cp -a keeps their hard links).
TEST(Retention, StopAtEveryEventOfARemoval)
{
  const std::string d1 = "2026-10-01", d2 = "2026-10-02", d3 = "2026-10-03", d4 = "2026-10-04";
  ReplayedDays days;
  BackupScenario &tmpl = days.tmpl;
  for (int i = 0; i < 6; i++)
    tmpl.Source("/P" + std::to_string(i % 2) + "/sub/f" + std::to_string(i), Pattern(300, i));
  ASSERT_EQ(tmpl.Run(d1).status, 0) << tmpl.log;
  tmpl.Source("/P0/sub/f0", "changed");
  ASSERT_EQ(tmpl.Run(d2).status, 0) << tmpl.log;
  tmpl.Source("/P1/sub/f1", "changed too");
  std::vector<int> removing = days.RemovalEvents(d3, d1);
  ASSERT_GT(removing.size(), 10u);
  for (int n : removing) {
    SCOPED_TRACE("stopped at event " + std::to_string(n));
    BackupScenario b(Settings(1));
    days.Fresh(b);
    TreeSnapshot kept = SnapshotTree(b.Day(d2));
    ASSERT_EQ(b.Run(d3, {"--event", std::to_string(n) + "=0x0900"}).status, 0) << b.log;
    EXPECT_EQ(SnapshotTree(b.Day(d2)), kept);
    if (Exists(b.Day(d1)) && !Exists(b.Day(d1) + "/VXDB.db"))
      EXPECT_TRUE(Exists(b.Day(d1) + "/VXDB.removing")) << "a folder cut short looks like an unfinished backup";
    TreeSnapshot today = SnapshotTree(b.Day(d3));
    ASSERT_EQ(b.Run(d4).status, 0) << b.log;
    EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{d3, d4})) << b.log;
    EXPECT_EQ(SnapshotTree(b.Day(d3)), today);
    EXPECT_TRUE(b.Complete(d3));
    EXPECT_TRUE(b.Complete(d4));
    EXPECT_FALSE(b.Logged("Failed to remove")) << b.log;
  }
  printf("removal stopped at each of its %zu events, each followed by the next day\n", removing.size());
}

// An internal destination on a small disk, with 1 MB to be kept free: a
// day that would eat into it stops before the copy that would, writing a
// partial catalogue of what it holds and no date.  With KeepDays set, the same day first removes the
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
  VXDB partial;
  memset(&partial, 0, sizeof partial);
  ASSERT_TRUE(LoadVXDB((b.Day(DayName(3)) + "/VXDB.partial").c_str(), &partial));
  // It describes what the folder holds, and lists what it did not take.
  int untaken = 0;
  for (int i = 0; i < partial.NrEntries; i++) {
    std::string rel = std::string(EntryText(&partial, partial.Entries[i].FolderOffset)) +
                      EntryText(&partial, partial.Entries[i].NameOffset);
    if (BackedUp(&partial.Entries[i]))
      EXPECT_EQ(Md5Hex(b.Day(DayName(3)) + rel), Md5Text(partial.Entries[i].MD5)) << rel;
    else
      untaken += !Exists(b.Day(DayName(3)) + rel);
  }
  EXPECT_GT(untaken, 0);
  FreeVXDB(&partial);
  EXPECT_EQ(ReadFile(b.IniPath()), ini);
  EXPECT_GE(small.FreeBytes(), 1u << 20);

  WriteFile(b.IniPath(), ini + "KeepDays=1\r\n");
  ASSERT_EQ(b.Run(DayName(3)).status, 0) << b.log;
  ExpectInOrder(b.log, {"Removed backup " + DayName(0) + ": 5 files, 900.4 kB freed", "Copied: ",
                        "Removed backup " + DayName(1) + ": "});
  EXPECT_FALSE(b.Logged("nearly full")) << b.log;
  EXPECT_TRUE(b.Complete(DayName(3))) << b.log;
  EXPECT_FALSE(Exists(b.Day(DayName(3)) + "/VXDB.partial"));
  EXPECT_EQ(SnapshotTree(b.Day(DayName(2))), kept);
  EXPECT_GE(small.FreeBytes(), 1u << 20);
}

// Markers are made, never followed, and one backup that cannot go stops no
// other: an expired backup whose VXDB.removing is a link to a recording,
// another whose VXDB.removing is a FIFO, are named and left whole; the
// expired backup after them goes.
TEST(Retention, MarkersThatAreLinksOrFifosAreLeftAlone)
{
  BackupScenario b(Settings(1));
  Sources(b);
  TreeSnapshot outside = Recordings(b);
  for (int d = 0; d < 4; d++) {
    ChangeOne(b, d);
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
  }
  // Days 0 and 1 are gone by now: copies of day 2 take their places.
  std::string root = b.Disk() + "/Backup";
  ASSERT_FALSE(Exists(b.Day(DayName(1))));
  fs::copy(b.Day(DayName(2)), b.Day(DayName(0)), fs::copy_options::recursive);
  fs::copy(b.Day(DayName(2)), b.Day(DayName(1)), fs::copy_options::recursive);
  fs::create_symlink("/mnt/hd/Recordings/rec0.ts", b.Day(DayName(0)) + "/VXDB.removing");
  ASSERT_EQ(mkfifo((b.Day(DayName(1)) + "/VXDB.removing").c_str(), 0644), 0);
  fs::copy(b.Day(DayName(2)), b.Day("2026-09-20"), fs::copy_options::recursive);

  ChangeOne(b, 4);
  ASSERT_EQ(b.Run(DayName(4)).status, 0) << b.log;
  for (int d : {0, 1})
    EXPECT_EQ(Count(b.log, "Backup " + DayName(d) + " left alone: '/mnt/hd/Backup/" + DayName(d) +
                               "/VXDB.removing' is not Vaultrix's marker"),
              1u)
        << b.log;
  EXPECT_TRUE(b.Logged("Removed backup 2026-09-20: ")) << b.log;
  EXPECT_TRUE(b.Logged("Removed backup " + DayName(2) + ": ")) << b.log;
  EXPECT_EQ(Days(root), (std::set<std::string>{DayName(0), DayName(1), DayName(3), DayName(4)}));
  EXPECT_EQ(Recordings(b), outside);
  EXPECT_TRUE(fs::is_symlink(b.Day(DayName(0)) + "/VXDB.removing"));
  EXPECT_TRUE(fs::is_fifo(b.Day(DayName(1)) + "/VXDB.removing"));
  EXPECT_TRUE(Exists(b.Day(DayName(0)) + "/VXDB.db"));
  ExpectIntact(b, {DayName(3), DayName(4)});
}

// The owner's files named like the catalogue's companions are refused at
// the top of the source, in any letter case, and stay the owner's; below
// the top they are ordinary files.  The removal takes them from no backup.
TEST(Retention, OwnerFilesNamedLikeMarkersAreRefusedAndNeverLost)
{
  BackupScenario b(Settings(1));
  Sources(b);
  const std::vector<std::string> reserved = {"/VXDB.removing", "/vxdb.UNFINISHED", "/VXDB.partial",
                                             "/VXDB.partial.part", "/VXDB.probe"};
  for (const auto &rel : reserved)
    b.Source(rel, "the owner's " + rel);
  b.Source("/Sub/VXDB.removing", "fine below the top");
  for (int d = 0; d < 4; d++) {
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
    for (const auto &rel : reserved)
      EXPECT_EQ(Count(b.log, "Name reserved for the catalogue, not backed up: '/mnt/hd/ProgramFiles" + rel + "'"), 1u)
          << b.log;
  }
  EXPECT_TRUE(b.Logged("Removed backup " + DayName(1) + ": ")) << b.log;
  for (const auto &rel : reserved)
    EXPECT_EQ(ReadFile(b.Pf(rel)), "the owner's " + rel);
  for (int d : {2, 3})
    EXPECT_EQ(ReadFile(b.Day(DayName(d)) + "/Sub/VXDB.removing"), "fine below the top");
  EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{DayName(2), DayName(3)}));
  // Named as not backed up by vxdb too, and nothing else is amiss.
  ProgramRun verify = RunVxdbTool({"verify", b.Day(DayName(3))});
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_EQ(Count(verify.out, "not backed up /"), reserved.size()) << verify.out;
  EXPECT_TRUE(Contains(verify.out, "; 5 not backed up (")) << verify.out;
}

// A second writer swaps the subfolder being emptied for a link to
// ../../Recordings, at each event of a removal in turn: the removal never
// follows it, names the backup, and the next day finishes it.
TEST(Retention, AFolderSwappedForALinkMidRemovalLeadsNowhere)
{
  const std::string d1 = "2026-10-01", d2 = "2026-10-02", d3 = "2026-10-03", d4 = "2026-10-04";
  ReplayedDays days;
  for (int i = 0; i < 12; i++)
    days.tmpl.Source("/P" + std::to_string(i % 2) + "/sub" + std::to_string(i % 3) + "/f" + std::to_string(i),
                     Pattern(300, i));
  ASSERT_EQ(days.tmpl.Run(d1).status, 0) << days.tmpl.log;
  ASSERT_EQ(days.tmpl.Run(d2).status, 0) << days.tmpl.log;
  std::vector<int> removing = days.RemovalEvents(d3, d1);
  ASSERT_GT(removing.size(), 8u);
  const std::string swap = "mv /mnt/hd/Backup/" + d1 + "/P0 /mnt/hd/Moved; ln -s ../../Recordings /mnt/hd/Backup/" +
                           d1 + "/P0";
  int failed = 0;
  for (int n : removing) {
    SCOPED_TRACE("swapped before event " + std::to_string(n));
    BackupScenario b(Settings(1));
    days.Fresh(b);
    TreeSnapshot outside = Recordings(b), kept = SnapshotTree(b.Day(d2));
    ASSERT_EQ(b.Run(d3, {"--at-event", std::to_string(n) + "=" + swap}).status, 0) << b.log;
    EXPECT_EQ(Recordings(b), outside) << b.log;
    EXPECT_EQ(SnapshotTree(b.Day(d2)), kept);
    failed += b.Logged("Failed to remove backup " + d1);
    ASSERT_EQ(b.Run(d4).status, 0) << b.log;
    EXPECT_EQ(Recordings(b), outside) << b.log;
    EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{d3, d4})) << b.log;
    ExpectIntact(b, {d3, d4});
  }
  EXPECT_GT(failed, 0) << "no swap came while the removal was inside the folder";
  printf("subfolder swapped for a link before each of %zu removal events; %d caught mid-way\n", removing.size(),
         failed);
}

// Another file system mounted in an expired backup, a bind mount of the
// recordings in another, and one so deep that the mount table's path is
// longer than a path the plug-in builds: none is entered, each backup is
// named and left whole, and the expired backup after them goes.
TEST(Retention, MountsInsideABackupAreNeverCrossed)
{
  BackupScenario b(Settings(1));
  Sources(b);
  TreeSnapshot outside = Recordings(b);
  for (int d = 0; d < 5; d++) {
    ChangeOne(b, d);
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
  }
  for (const char *copy : {"2026-09-20", "2026-09-21", "2026-09-22"})
    fs::copy(b.Day(DayName(3)), b.Day(copy), fs::copy_options::recursive);
  std::string bound = b.Day("2026-09-20") + "/Plugin0", other = b.Day("2026-09-21") + "/Plugin1";
  // 515 bytes as /proc/mounts names it, 500 below /mnt/hd/Backup.
  std::string deep = b.Day("2026-09-22") + "/Plugin2/" + std::string(240, 'd') + "/" + std::string(240, 'e');
  fs::create_directories(deep);
  if (!EnterPrivateMounts().empty() || mount((b.Disk() + "/Recordings").c_str(), bound.c_str(), nullptr, MS_BIND,
                                             nullptr) != 0)
    GTEST_SKIP() << "mounting needs root";
  struct Unmount {
    std::vector<std::string> points;
    ~Unmount()
    {
      for (auto &p : points)
        umount2(p.c_str(), MNT_DETACH);
    }
  } unmount{{bound}};
  ASSERT_EQ(mount("vxother", other.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k"), 0);
  unmount.points.push_back(other);
  WriteFile(other + "/on another disk", "stays");
  ASSERT_EQ(mount((b.Disk() + "/Recordings").c_str(), deep.c_str(), nullptr, MS_BIND, nullptr), 0);
  unmount.points.push_back(deep);

  ChangeOne(b, 5);
  ASSERT_EQ(b.Run(DayName(5)).status, 0) << b.log;
  for (const char *at : {"2026-09-20/Plugin0", "2026-09-21/Plugin1"})
    EXPECT_EQ(Count(b.log, "Backup " + std::string(at, 10) + " left alone: a file system is mounted at '/mnt/hd/Backup/" +
                               at + "'"),
              1u)
        << b.log;
  EXPECT_EQ(Count(b.log, "Backup 2026-09-22 left alone: a file system is mounted at '/mnt/hd/Backup/2026-09-22/"), 1u)
      << b.log;
  EXPECT_TRUE(b.Logged("Removed backup " + DayName(3) + ": ")) << b.log;
  EXPECT_EQ(Recordings(b), outside);
  EXPECT_EQ(ReadFile(other + "/on another disk"), "stays");
  EXPECT_TRUE(Exists(b.Day("2026-09-21") + "/VXDB.db"));
  ExpectIntact(b, {DayName(4), DayName(5)});
}

// An entry that cannot be removed (an immutable file) stops its own
// backup's removal, named once a day, and no other: day after day only it
// stays beyond what KeepDays keeps.
TEST(Retention, OneEntryThatCannotGoStopsNoOtherRemoval)
{
  BackupScenario b(Settings(1));
  Sources(b);
  TreeSnapshot outside = Recordings(b);
  ASSERT_EQ(b.Run(DayName(0)).status, 0) << b.log;
  WriteFile(b.Day(DayName(0)) + "/Plugin3/zz stuck", "cannot go");
  if (RunProgram({"chattr", "+i", b.Day(DayName(0)) + "/Plugin3/zz stuck"}).status != 0)
    GTEST_SKIP() << "chattr +i is not available here";
  struct Unfreeze {
    std::string path;
    ~Unfreeze() { RunProgram({"chattr", "-i", path}); }
  } unfreeze{b.Day(DayName(0)) + "/Plugin3/zz stuck"};
  for (int d = 1; d < 7; d++) {
    ChangeOne(b, d);
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
    if (d >= 2)
      EXPECT_EQ(Count(b.log, "Failed to remove backup " + DayName(0) + ": cannot remove '"), 1u) << b.log;
    if (d >= 3)
      EXPECT_TRUE(b.Logged("Removed backup " + DayName(d - 2) + ": ")) << b.log;
    EXPECT_LE(Days(b.Disk() + "/Backup").size(), 3u) << b.log;
  }
  EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{DayName(0), DayName(5), DayName(6)}));
  EXPECT_EQ(Recordings(b), outside);
  ExpectIntact(b, {DayName(5), DayName(6)});
}

// A run stopped during its copies leaves a folder marked unfinished; once
// older than KeepDays it goes, before any complete backup.  A folder
// without that marker and without a catalogue, and folders whose names are
// no calendar day, stay.
TEST(Retention, UnfinishedFoldersGoOnceExpiredAndFirst)
{
  BackupScenario b(Settings(1));
  Sources(b);
  TreeSnapshot outside = Recordings(b);
  ASSERT_EQ(b.Run(DayName(0)).status, 0) << b.log;
  b.Checkpoint();
  ChangeOne(b, 1);
  TapsimResult probe = b.Run(DayName(1));
  uint64_t stopAt = 0;
  int copying = 0;
  for (const auto &e : probe.trace)
    if (!e.isMain && e.stateBefore == 3 && ++copying == 5)
      stopAt = e.index;
  ASSERT_GT(stopAt, 0u);
  b.Restore();
  ASSERT_EQ(b.Run(DayName(1), {"--event", std::to_string(stopAt) + "=0x0900"}).status, 0) << b.log;
  ASSERT_TRUE(Exists(b.Day(DayName(1)) + "/VXDB.unfinished"));
  ASSERT_FALSE(Exists(b.Day(DayName(1)) + "/VXDB.db"));
  ASSERT_EQ(b.Run(DayName(1)).status, 0) << b.log;
  ASSERT_FALSE(Exists(b.Day(DayName(1)) + "/VXDB.unfinished")) << "the rerun finished it";
  WriteFile(b.Day("2026-09-29") + "/VXDB.unfinished", "");
  WriteFile(b.Day("2026-09-29") + "/Plugin0/file0.dat", "began, never finished");
  WriteFile(b.Day("2026-09-28") + "/note", "no marker, no catalogue");
  WriteFile(b.Day("2026-02-30") + "/VXDB.unfinished", "");
  WriteFile(b.Day("2000-13-45") + "/VXDB.unfinished", "");

  ChangeOne(b, 2);
  ASSERT_EQ(b.Run(DayName(2)).status, 0) << b.log;
  ExpectInOrder(b.log, {"Removed backup 2026-09-29: 1 files, ", "Removed backup " + DayName(0) + ": "});
  EXPECT_TRUE(b.Logged("Not a backup, left alone: '/mnt/hd/Backup/2026-09-28'")) << b.log;
  EXPECT_FALSE(b.Logged("2026-02-30")) << b.log;
  EXPECT_FALSE(b.Logged("2000-13-45")) << b.log;
  EXPECT_EQ(Days(b.Disk() + "/Backup"),
            (std::set<std::string>{"2000-13-45", "2026-02-30", "2026-09-28", DayName(1), DayName(2)}));
  EXPECT_EQ(ReadFile(b.Day("2026-09-28") + "/note"), "no marker, no catalogue");
  EXPECT_EQ(Recordings(b), outside);
  ExpectIntact(b, {DayName(1), DayName(2)});
}

// KeepDays keeps the KeepDays + 1 newest complete backups: a partial one
// (crafted here from a complete one) never counts among them, and goes
// like any other once expired.
TEST(Retention, APartialBackupNeverCountsAmongThoseKept)
{
  BackupScenario b(Settings(2));
  Sources(b);
  for (int d : {0, 1, 2, 5}) {
    ChangeOne(b, d);
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
  }
  fs::rename(b.Day(DayName(5)) + "/VXDB.db", b.Day(DayName(5)) + "/VXDB.partial");
  ChangeOne(b, 6);
  ASSERT_EQ(b.Run(DayName(6)).status, 0) << b.log;
  EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{DayName(1), DayName(2), DayName(5), DayName(6)}))
      << b.log;
  ExpectIntact(b, {DayName(1), DayName(2), DayName(6)});
  ChangeOne(b, 8);
  ASSERT_EQ(b.Run(DayName(8)).status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Removed backup " + DayName(5) + ": ")) << b.log;
  EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{DayName(2), DayName(6), DayName(8)})) << b.log;
  ExpectIntact(b, {DayName(2), DayName(6), DayName(8)});
}

// A rerun into today's folder leaves only what its new catalogue lists:
// files of the first attempt and what a second writer planted go, links
// among them unfollowed, and the folder verifies with nothing extra.
TEST(Retention, ARerunTodayLeavesOnlyWhatItsCatalogueLists)
{
  BackupScenario b("DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n");
  TreeSnapshot outside = Recordings(b);
  b.Source("/a.txt", "a");
  b.Source("/Gone/b.txt", "b");
  b.Source("/Keep/c.txt", "c");
  const std::string day = "2026-12-01";
  ASSERT_EQ(b.Run(day).status, 0) << b.log;
  std::string ini = ReadFile(b.IniPath());
  fs::remove_all(b.Pf("/Gone"));
  b.Source("/Keep/d.txt", "d");
  fs::create_directory_symlink("/mnt/hd/Recordings", b.Day(day) + "/Keep/evil");
  fs::create_symlink("/mnt/hd/Recordings/rec0.ts", b.Day(day) + "/Keep/rec.lnk");
  WriteFile(b.Day(day) + "/stray.tmp", "left by the first attempt");
  WriteFile(b.Day(day) + "/Old/deeper/x", "x");
  WriteFile(b.IniPath(), "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n");

  ASSERT_EQ(b.Run(day).status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Removed 3 files of an earlier run today that this backup does not hold")) << b.log;
  EXPECT_TRUE(b.Complete(day)) << b.log;
  std::set<std::string> left;
  for (auto it = fs::recursive_directory_iterator(b.Day(day)); it != fs::recursive_directory_iterator(); ++it)
    if (it->path().string().find("/Settings") == std::string::npos)
      left.insert(it->path().string().substr(b.Day(day).size()));
  EXPECT_EQ(left, (std::set<std::string>{"/VXDB.db", "/a.txt", "/Keep", "/Keep/c.txt", "/Keep/d.txt"}));
  EXPECT_EQ(Recordings(b), outside);
  ExpectIntact(b, {day});
}

// On a share that reports one link per file (sshfs), what a removal frees
// cannot be told: the line says so instead of a figure.
class RetentionOnShare : public OnShareServer<::testing::Test> {};

TEST_F(RetentionOnShare, TheSpaceFreedIsNotClaimedWhereLinksAreNotCounted)
{
  BackupScenario b(Settings("true /mnt/hd/unused") + "KeepDays=1\r\n", server->Share() + "/backup");
  Sources(b);
  fs::create_directories(b.Disk() + "/nas");
  ASSERT_EQ(system((server->MountCommand(b.Disk() + "/nas") + " 2>/dev/null").c_str()), 0);
  struct Unmount {
    std::string point;
    ~Unmount() { umount2(point.c_str(), MNT_DETACH); }
  } unmount{b.Disk() + "/nas"};
  for (int d = 0; d < 3; d++) {
    ChangeOne(b, d);
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
  }
  ExpectInOrder(b.log, {"Removed backup " + DayName(0) + ": ", " files, space freed unknown (this disk does not count links)"});
  EXPECT_FALSE(b.Logged(" freed\r\n")) << b.log;
  EXPECT_EQ(Days(server->Share() + "/backup"), (std::set<std::string>{DayName(1), DayName(2)}));
  ExpectIntact(b, {DayName(1), DayName(2)});
}

// ---- the last good copy ------------------------------------------------------
// On a loop-mounted ext4 disk, day after day with KeepDays=1: whatever a
// backup cannot take is listed and named, the newest backup holding its
// last good copy stays, and the disk is looked at from outside after each
// day (vxdb, and every listed file re-hashed).

class LastGoodCopy : public ImageRecorder {
protected:
  void SetUp() override
  {
    ImageRecorder::SetUp();
    if (!IsSkipped() && !HasFatalFailure())
      MakeRecorderDisk(disk->root(), (Settings(1) + "MinFreeMB=0\r\n").c_str());
  }
  // A change made while the disk is unmounted.
  void Unmounted(const std::string &request)
  {
    disk.reset();
    Debugfs(request);
    Mount();
  }
  // A day that counts as done: its catalogue saved and its date written.
  void RunComplete(int d)
  {
    ASSERT_EQ(b.Run(DayName(d)).status, 0) << b.log;
    EXPECT_TRUE(Exists(b.Day(DayName(d)) + "/VXDB.db")) << b.log;
    EXPECT_FALSE(b.Logged("Backup incomplete")) << b.log;
    EXPECT_TRUE(Contains(ReadFile(b.IniPath()), "LastBackup=")) << b.log;
    EXPECT_EQ(b.WithoutGoodCopy(), std::set<std::string>{}) << b.log;
  }
  // A path the backup of that day did not take, named by the log, by
  // vxdb's list, verify, check and report, never as intact; it leaves a
  // complete backup complete, as it would every backup.
  void NamedByEveryTool(int d, const std::string &shown)
  {
    std::string day = b.Day(DayName(d)), root = b.Disk() + "/Backup";
    ProgramRun list = RunVxdbTool({"list", day}), verify = RunVxdbTool({"verify", day});
    ProgramRun check = RunVxdbTool({"check", root}), report = RunVxdbTool({"report", "--check", root});
    EXPECT_TRUE(Contains(list.out, shown)) << list.out;
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_TRUE(Contains(verify.out, "not backed up " + shown + " (")) << verify.out;
    EXPECT_TRUE(Contains(check.out, DayName(d) + "  complete")) << check.out;
    EXPECT_TRUE(Contains(check.out, "not backed up " + shown)) << check.out;
    EXPECT_FALSE(Contains(check.out, "DAMAGED")) << check.out;
    EXPECT_TRUE(Contains(report.out, "not backed up: " + shown)) << report.out;
  }
};

// A file and a folder whose inodes the disk cannot read (their block maps
// damaged by debugfs, "Structure needs cleaning"): failures listed as not
// backed up, never links or FIFOs; the days stay complete, and the backup
// holding their last good copies (the folder's ten files) stays until they
// have left the source.
TEST_F(LastGoodCopy, UnreadableInodesKeepTheBackupWithTheirGoodCopies)
{
  Sources(b);
  for (int d = 0; d < 2; d++) {
    ChangeOne(b, d);
    RunComplete(d);
  }
  Unmounted("sif /ProgramFiles/Plugin2/file7.dat block[0] 0x12345678");
  Unmounted("sif /ProgramFiles/Plugin1 block[0] 0x12345678");
  const std::string damaged = " not backed up (the disk's record of it is damaged): '/ProgramFiles/";
  for (int d = 2; d < 6; d++) {
    ChangeOne(b, d);
    RunComplete(d);
    EXPECT_EQ(Count(b.log, "Cannot read," + damaged + "Plugin2/file7.dat'"), 1u) << b.log;
    EXPECT_EQ(Count(b.log, "Cannot read, folder" + damaged + "Plugin1'"), 1u) << b.log;
    EXPECT_FALSE(b.Logged("Not a file or folder")) << b.log;
    EXPECT_TRUE(b.Logged("Failed: 1 files, 0 B")) << b.log;
    EXPECT_TRUE(b.Logged("Failed: 1 folders, nothing in them backed up")) << b.log;
    if (d >= 3)
      EXPECT_EQ(Count(b.log, "Kept backup " + DayName(1) + ": it holds the last good copy of 11 files"), 1u) << b.log;
  }
  EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{DayName(1), DayName(4), DayName(5)}));
  NamedByEveryTool(5, "/Plugin2/file7.dat");
  NamedByEveryTool(5, "/Plugin1/");
  ExpectIntact(b, {DayName(1)});

  // Gone from the source, they need no copy: the rules hold again.
  Unmounted("unlink /ProgramFiles/Plugin1");
  Unmounted("unlink /ProgramFiles/Plugin2/file7.dat");
  RunComplete(6);
  EXPECT_FALSE(b.Logged("Kept backup")) << b.log;
  EXPECT_TRUE(b.Logged("Removed backup " + DayName(1) + ": ")) << b.log;
  EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{DayName(5), DayName(6)}));
}

// A plug-in's folder renamed to 43 three-byte characters (129 bytes, more
// than the host's entry holds): named by its whole name as a folder not
// backed up, counted as a folder, and no tool calls a day with it intact.
TEST_F(LastGoodCopy, AFolderRenamedPastTheNameLengthIsNamedByEveryTool)
{
  Sources(b);
  for (int d = 0; d < 2; d++) {
    ChangeOne(b, d);
    RunComplete(d);
  }
  std::string name, logged; // the log, in ISO 8859-1, spells what it cannot hold
  for (int i = 0; i < 43; i++)
    name += "\xE2\x82\xAC", logged += "\\u20ac";
  fs::rename(b.Pf("/Plugin3"), b.Pf("/" + name));
  for (int d = 2; d < 5; d++) {
    RunComplete(d);
    EXPECT_EQ(Count(b.log, "Name too long, folder not backed up: '/ProgramFiles/" + logged + "'"), 1u) << b.log;
    EXPECT_TRUE(b.Logged("Failed: 1 folders, nothing in them backed up")) << b.log;
    EXPECT_FALSE(b.Logged("Failed: 1 files")) << b.log;
  }
  NamedByEveryTool(4, "/" + name + "/");
  EXPECT_TRUE(ReadFile(b.Pf("/" + name + "/file3.dat")).size() > 0);
}

// Folders named like the files beside a catalogue, at the top of the
// source: refused, listed, named; every day saves its catalogue, writes its
// date and removes what has expired, and the owner's folders stay as they
// were.
TEST_F(LastGoodCopy, ReservedFolderNamesAtTheTopChangeNothingElse)
{
  Sources(b);
  const std::vector<std::string> reserved = {"VXDB.db", "VXDB.db.part", "VXDB.unfinished", "VXDB.removing",
                                             "VXDB.partial"};
  for (const auto &name : reserved)
    b.Source("/" + name + "/inside.dat", "the owner's " + name);
  for (int d = 0; d < 5; d++) {
    ChangeOne(b, d);
    RunComplete(d);
    for (const auto &name : reserved)
      EXPECT_EQ(Count(b.log, "Name reserved for the catalogue, folder not backed up: '/ProgramFiles/" + name + "'"),
                1u)
          << b.log;
    EXPECT_TRUE(b.Logged("Failed: 5 folders, nothing in them backed up")) << b.log;
    for (const char *trouble : {"Failed to save", "left alone", "cannot remove", "Failed to remove"})
      EXPECT_FALSE(b.Logged(trouble)) << b.log;
    if (d >= 2)
      EXPECT_TRUE(b.Logged("Removed backup " + DayName(d - 2) + ": ")) << b.log;
  }
  EXPECT_EQ(Days(b.Disk() + "/Backup"), (std::set<std::string>{DayName(3), DayName(4)}));
  for (const auto &name : reserved) {
    NamedByEveryTool(4, "/" + name + "/");
    EXPECT_EQ(ReadFile(b.Pf("/" + name + "/inside.dat")), "the owner's " + name);
  }
}

// A USB disk (its own ext4 image) that a day's new file overflows, with
// MinFreeMB at its default there (0): the copy that finds no room has the
// expired backups removed, the oldest first, and is tried again, so that
// every day is complete; no file loses its last good copy.
TEST_F(LastGoodCopy, AnOverflowingUsbDiskNeverStopsBackupsForGood)
{
  TempDir usbDir;
  ASSERT_EQ(MakeExt4Image(usbDir / "usb.img", 20 << 20), "");
  MountedImage usb(usbDir / "usb.img");
  ASSERT_TRUE(usb.ok()) << usb.error();
  fs::create_directories(usb.root() + "/Vaultrix");
  BackupScenario u("DestDevice=External\r\nDestPath=/Vaultrix\r\nKeepDays=1\r\n", usb.root() + "/Vaultrix");
  const std::vector<std::string> plugged = {"--ext", "sdb1=" + usb.root()};
  u.Source("/P/base.bin", Pattern(2000 << 10, 1));
  for (int d = 0; d < 6; d++) {
    u.Source("/P/daily.bin", Pattern(3000 << 10, 10 + d));
    if (d == 2)
      u.Source("/P/big.bin", Pattern(7000 << 10, 2));
    ASSERT_EQ(u.Run(DayName(d), plugged).status, 0) << u.log;
    EXPECT_TRUE(u.Complete(DayName(d))) << u.log;
    EXPECT_FALSE(u.Logged("Failed")) << u.log;
    EXPECT_EQ(u.WithoutGoodCopy(), std::set<std::string>{}) << u.log;
    if (d >= 2)
      ExpectInOrder(u.log, {"Destination full: expired backups are removed to make room",
                            "Removed backup " + DayName(d - 2) + ": ", "Copied: "});
    ProgramRun check = RunVxdbTool({"check", usb.root() + "/Vaultrix"});
    EXPECT_EQ(check.status, 0) << check.out;
  }
  EXPECT_EQ(Days(usb.root() + "/Vaultrix"), (std::set<std::string>{DayName(4), DayName(5)}));
}

}  // namespace
