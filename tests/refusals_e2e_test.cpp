// Settings and situations in which a backup would be wrong, or would wreck an
// earlier one: the plug-in refuses, says why, and never records such a run
// as a completed backup.  Each case runs the simulator and looks at the disk
// from outside: files, inode numbers, the settings file, vxdb verify.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "support/BackupScenario.h"

namespace fs = std::filesystem;

namespace {

const char kInternal[] = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n";

// Every folder below root, root itself included.
std::set<std::string> Folders(const std::string &root)
{
  std::set<std::string> folders = {root};
  for (auto &e : fs::recursive_directory_iterator(root))
    if (e.is_directory() && !e.is_symlink())
      folders.insert(e.path().string());
  return folders;
}

// The day that misses folders is partial to every reader and never counts
// among the backups that KeepDays keeps; the next complete day links to it
// all the same.
TEST(Refusals, MoreFoldersThanTheLimitIsAnIncompleteBackup)
{
  const std::string settings = std::string(kInternal) + "KeepDays=1\r\n";
  BackupScenario b(settings);
  b.Source("/top.txt", "top");
  ASSERT_EQ(b.Run("2026-11-28").status, 0) << b.log;
  std::string ini = ReadFile(b.IniPath());
  for (int k = 0; k < 1100; k++)
    fs::create_directories(b.Pf("/Many/d" + std::to_string(k)));
  int notScanned = (int)Folders(b.Pf("")).size() - 1001;
  b.Source("/top.txt", "top, changed");
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;

  EXPECT_TRUE(b.Logged("Recursive scan seems to be in an endless loop!")) << b.log;
  EXPECT_TRUE(b.Logged(std::to_string(notScanned) + " folders were not scanned")) << b.log;
  EXPECT_TRUE(b.Logged("Failed: " + std::to_string(notScanned) + " folders, nothing in them backed up")) << b.log;
  EXPECT_FALSE(b.Logged("Failed: " + std::to_string(notScanned) + " files")) << b.log;
  EXPECT_TRUE(b.Logged("Backup incomplete, the next load tries again")) << b.log;
  EXPECT_EQ(ReadFile(b.IniPath()), ini) << "an incomplete backup must not count as done";
  std::string partial = b.Day("2026-12-01");
  EXPECT_EQ(ReadFile(partial + "/top.txt"), "top, changed");
  EXPECT_FALSE(Exists(partial + "/VXDB.db"));
  EXPECT_TRUE(Exists(partial + "/VXDB.partial"));
  ProgramRun verify = RunVxdbTool({"verify", partial});
  EXPECT_NE(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.out.find("Intact"), std::string::npos) << verify.out;

  // A complete day links to the partial one and removes nothing it keeps.
  fs::remove_all(b.Pf("/Many"));
  ASSERT_EQ(b.Run("2026-12-02").status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Last backup found: 2026-12-01")) << b.log;
  EXPECT_TRUE(b.Logged("That backup is incomplete: what it lacks is copied afresh")) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-02")) << b.log;
  EXPECT_EQ(Inode(b.Day("2026-12-02") + "/top.txt"), Inode(partial + "/top.txt"));
  EXPECT_EQ(ReadFile(b.Day("2026-11-28") + "/top.txt"), "top") << "the last complete backup before was removed";
  EXPECT_TRUE(Exists(b.Day("2026-11-28") + "/VXDB.db"));
}

TEST(Refusals, ADestinationInsideTheSourceIsRefusedAtTheStart)
{
  BackupScenario b(kInternal);
  b.Source("/a.txt", "a");
  // A share mounted inside the source (the internal disk itself is no
  // share); the file keeps its folder when the share is unmounted.
  WriteFile(b.Pf("/Share/keep"), "");
  symlink("ProgramFiles", (b.Disk() + "/pf").c_str());
  std::set<std::string> folders = Folders(b.Pf(""));
  for (const std::string settings :
       {"DestDevice=internal\r\nDestPath=/mnt/hd/ProgramFiles\r\n",
        "DestDevice=internal\r\nDestPath=/mnt/hd//ProgramFiles/./Backup/\r\n",
        "DestDevice=internal\r\nDestPath=/mnt/hd/pf/Backup\r\n",
        "DestDevice=internal\r\nDestPath=/mnt/hd/New/../ProgramFiles/B\r\n", "DestDevice=NAS\r\nMountCommand=mount -t tmpfs share /mnt/hd/ProgramFiles/Share\r\n"
        "DestPath=/mnt/hd/ProgramFiles/Share/\r\n"}) {
    SCOPED_TRACE(settings);
    WriteFile(b.IniPath(), settings);
    ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
    EXPECT_TRUE(b.Logged("DestPath lies inside the source folder!")) << b.log;
    EXPECT_FALSE(b.Logged("Performing recursive scan")) << b.log;
    EXPECT_EQ(ReadFile(b.IniPath()), settings);
    EXPECT_EQ(Folders(b.Pf("")), folders);
    EXPECT_FALSE(Exists(b.Disk() + "/New"));
  }
  // A name that only begins like the source is another folder.
  WriteFile(b.IniPath(), "DestDevice=internal\r\nDestPath=/mnt/hd/ProgramFilesBackup\r\n");
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  EXPECT_EQ(ReadFile(b.Disk() + "/ProgramFilesBackup/2026-12-01/a.txt"), "a") << b.log;
}

TEST(Refusals, TheLookupNeverTakesTheSourceForABackup)
{
  BackupScenario b("DestDevice=internal\r\nDestPath=/mnt/hd/Other\r\n");
  b.Source("/a.txt", "a");
  b.Source("/sub/b.txt", "b");
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  // A copy of that catalogue in the source, which lies under the new root.
  fs::copy_file(b.Disk() + "/Other/2026-12-01/VXDB.db", b.Pf("/VXDB.db"));
  WriteFile(b.IniPath(), "DestDevice=internal\r\nDestPath=/mnt/hd/\r\n");
  ASSERT_EQ(b.Run("2026-12-02").status, 0) << b.log;

  EXPECT_TRUE(b.Logged("No previous backup found")) << b.log;
  std::string day = b.Disk() + "/2026-12-02";
  for (const char *rel : {"/a.txt", "/sub/b.txt"}) {
    EXPECT_EQ(ReadFile(day + rel), ReadFile(b.Pf(rel))) << rel;
    EXPECT_NE(Inode(day + rel), Inode(b.Pf(rel))) << rel << " is the live source file";
  }
}

TEST(Refusals, AClockSetBackLeavesEveryBackupAsItWas)
{
  BackupScenario b(kInternal);
  b.Source("/a.txt", "day one");
  b.Source("/same.txt", "unchanged");
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  b.Source("/a.txt", "day five");
  ASSERT_EQ(b.Run("2026-12-05").status, 0) << b.log;
  TreeSnapshot day1 = SnapshotTree(b.Day("2026-12-01")), day5 = SnapshotTree(b.Day("2026-12-05"));
  std::string ini = ReadFile(b.IniPath());
  std::set<std::string> folders = Folders(b.Disk() + "/Backup");

  b.Source("/a.txt", "clock back");
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  EXPECT_TRUE(b.Logged("A later backup (2026-12-05) exists: the recorder's clock may be wrong; no backup")) << b.log;
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1);
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-05")), day5);
  EXPECT_EQ(ReadFile(b.IniPath()), ini);
  EXPECT_EQ(Folders(b.Disk() + "/Backup"), folders);

  // A day between them has no backup yet: it is made, the owner told once.
  ASSERT_EQ(b.Run("2026-12-03").status, 0) << b.log;
  EXPECT_EQ(Count(b.log, "A later backup (2026-12-05) exists: the recorder's clock may be wrong"), 1u) << b.log;
  EXPECT_FALSE(b.Logged("; no backup")) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-03")) << b.log;
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1);
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-05")), day5);

  // The owner who deletes LastBackup to force a new backup of the newest day.
  WriteFile(b.IniPath(), kInternal);
  ASSERT_EQ(b.Run("2026-12-05").status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-05")) << b.log;
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1);
}

TEST(Refusals, AFolderNamedAfterALaterDayStopsNoBackup)
{
  BackupScenario b(kInternal);
  b.Source("/a.txt", "a");
  // Folders that are no backups: empty, or no real date.
  fs::create_directories(b.Day("2099-01-01"));
  fs::create_directories(b.Day("9999-99-99"));
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  EXPECT_FALSE(b.Logged("A later backup")) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-01")) << b.log;

  // A backup the clock once dated 2099 is one; the days after it still get
  // theirs.
  fs::copy(b.Day("2026-12-01"), b.Day("2099-01-01"), fs::copy_options::recursive);
  ASSERT_EQ(b.Run("2026-12-02").status, 0) << b.log;
  EXPECT_EQ(Count(b.log, "A later backup (2099-01-01) exists: the recorder's clock may be wrong\r\n"), 1u) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-02")) << b.log;
  EXPECT_NE(ReadFile(b.IniPath()).find("LastBackup="), std::string::npos);
}

TEST(Refusals, SourceFilesNamedLikeTheCatalogueAreRefusedAndCounted)
{
  BackupScenario b(kInternal);
  b.Source("/VXDB.db", "the owner's own file");
  b.Source("/VXDB.db.part", "another");
  b.Source("/sub/VXDB.db", "fine below the top");
  b.Source("/a.txt", "a");
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;

  for (const char *rel : {"/VXDB.db'", "/VXDB.db.part'"})
    EXPECT_EQ(Count(b.log, std::string("Name reserved for the catalogue, not backed up: '/mnt/hd/ProgramFiles") + rel),
              1u)
        << b.log;
  EXPECT_TRUE(b.Logged("Failed: 2 files")) << b.log;
  EXPECT_EQ(ReadFile(b.Pf("/VXDB.db")), "the owner's own file");
  EXPECT_EQ(ReadFile(b.Pf("/VXDB.db.part")), "another");
  std::string day = b.Day("2026-12-01");
  EXPECT_EQ(ReadFile(day + "/sub/VXDB.db"), "fine below the top");
  // Listed as not backed up: every reader names them, none takes the
  // catalogue for the owner's file.
  ProgramRun verify = RunVxdbTool({"verify", day});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  ExpectInOrder(verify.out, {"not backed up /VXDB.db (", "not backed up /VXDB.db.part (", "; 2 not backed up ("});
}

TEST(Refusals, AStopTurnedAwayByTheGuardEndsThePluginAtTheNextEvent)
{
  BackupScenario b(kInternal);
  b.Source("/a.txt", "a");
  b.Source("/sub/b.txt", "b");
  TapsimResult r = b.Run("2026-12-01", {"--nested-event", "4=0x0900"});
  ASSERT_EQ(r.status, 0) << r.err;

  ASSERT_EQ(r.trace.back().index, 5u) << "the plug-in ran on after the stop";
  EXPECT_TRUE(r.trace[4].nestedDelivered);
  EXPECT_FALSE(r.trace[4].nestedExit);
  EXPECT_TRUE(r.trace.back().exited);
  EXPECT_EQ(ReadFile(b.IniPath()), kInternal);
  EXPECT_FALSE(Exists(b.Day("2026-12-01") + "/VXDB.db"));
}

TEST(Refusals, SettingsFromAFallbackPlaceAreSavedWhereTheOwnerIsTold)
{
  const std::string settings = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n";
  BackupScenario b(settings);
  b.Source("/a.txt", "a");
  fs::rename(b.IniPath(), b.Pf("/Settings/Vaultrix.ini"));
  const std::string told = "Settings read from /ProgramFiles/Settings/Vaultrix.ini are saved to "
                           "/ProgramFiles/Settings/Vaultrix/Vaultrix.ini; edit that file from now on";

  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  EXPECT_EQ(Count(b.log, told), 1u) << b.log;
  EXPECT_EQ(ReadFile(b.Pf("/Settings/Vaultrix.ini")), settings);
  EXPECT_EQ(ReadFile(b.IniPath()).rfind(settings + "LastBackup=", 0), 0u) << ReadFile(b.IniPath());

  ASSERT_EQ(b.Run("2026-12-02").status, 0) << b.log;
  EXPECT_EQ(Count(b.log, told), 0u) << b.log;
}

} // namespace
