// A recorder owner's week of backups onto the internal disk, through the
// simulator, checked from outside: inode numbers, contents, an independent
// md5sum, the catalogue and the log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/Vaultrix.h"
#include "host/runtime/TapRuntime.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// One file of a backup as seen from outside.
struct Seen {
  ino_t ino = 0;
  std::string content;
  bool operator==(const Seen &o) const { return ino == o.ino && content == o.content; }
};
using Snapshot = std::map<std::string, Seen>; // path below the backup root

// md5sum of a file's contents, fed on its standard input.
std::string Md5sum(const std::string &path)
{
  int out[2];
  if (pipe(out) != 0)
    return "";
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(path.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(out[1], 1);
    close(out[0]);
    execlp("md5sum", "md5sum", (char *)nullptr);
    _exit(127);
  }
  close(out[1]);
  char hex[32];
  ssize_t got = read(out[0], hex, sizeof hex);
  close(out[0]);
  waitpid(pid, nullptr, 0);
  return got == 32 ? std::string(hex, 32) : "";
}

std::string Hex(const byte *d)
{
  char s[33];
  for (int i = 0; i < 16; i++)
    snprintf(s + 2 * i, 3, "%02x", d[i]);
  return s;
}

// A name that creates /mnt/hd/pwned if any shell ever reads it; it holds
// no slash, so it is a valid file name.
const std::string kSlash = "${PWD%%[a-z]*}";
const std::string kShellName = "$(touch " + kSlash + "mnt" + kSlash + "hd" + kSlash + "pwned)";

class BackupWeek : public ::testing::Test {
protected:
  void SetUp() override
  {
    MakeRecorderDisk(disk.path(), "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n");
    files = {
        {"/Recorder/settings.ini", "[Timer]\r\nChannel=1\r\n"},
        {"/Recorder/Logs/run.log", Pattern(3000, 1)},
        {"/Epg/guide.dat", Pattern(200000, 2)},
        {"/empty.file", ""},
        {"/Big/movie.bin", Pattern(1048577, 3)},
        {"/with blank/it's \"quoted\".txt", "blank"},
        {"/" + kShellName + "/x", "dollar"},
        {"/`touch pwned2`/y", "backtick"},
        {"/new\nline/z", "newline"},
        {"/\xE4\xF6\xFC/caf\xC3\xA9", "high bytes"},
    };
    for (auto &[rel, content] : files)
      WriteFile(Pf(rel), content);
  }

  std::string Pf(const std::string &rel) { return disk / ("ProgramFiles" + rel); }
  std::string Day(const std::string &date) { return disk / ("Backup/" + date); }

  // One load of the plug-in on that day; the log of this run alone.
  TapsimResult Run(const std::string &date, std::vector<std::string> extra = {})
  {
    std::string systemLog = disk / "ProgramFiles/Settings/TAPSystem.log";
    size_t before = ReadFile(systemLog).size();
    std::vector<std::string> args = {"--disk", disk.path(), "--clock", date + " 10:00:00", "--tick-step", "1",
                                     "--max-events", "200000"};
    args.insert(args.end(), extra.begin(), extra.end());
    TapsimResult r = RunTapsim(args);
    log = r.out + r.console + ReadFile(systemLog).substr(before);
    return r;
  }
  bool Logged(const std::string &text) { return log.find(text) != std::string::npos; }

  // The event at which the run of that day is half-way through its copy
  // pass, found by a run on a copy of the disk.
  int MiddleOfCopyPass(const std::string &date)
  {
    TempDir scratch;
    fs::copy(disk.path(), scratch.path(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    TapsimResult r = RunTapsim({"--disk", scratch.path(), "--clock", date + " 10:00:00", "--tick-step", "1"});
    std::vector<uint64_t> copying;
    for (auto &e : r.trace)
      if (!e.isMain && e.stateBefore == 3 && e.stateAfter == 3)
        copying.push_back(e.index);
    EXPECT_GT(copying.size(), 4u);
    return copying.empty() ? 1 : (int)copying[copying.size() / 2];
  }

  Snapshot Look(const std::string &root)
  {
    Snapshot s;
    if (!fs::exists(root))
      return s;
    for (auto &e : fs::recursive_directory_iterator(root)) {
      struct stat st;
      if (lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
        s[e.path().string().substr(root.size())] = {st.st_ino, ReadFile(e.path())};
    }
    return s;
  }

  // The catalogue of a dated folder, checked against md5sum of each copy.
  std::map<std::string, std::string> Catalogue(const std::string &date)
  {
    std::map<std::string, std::string> md5;
    VXDB db;
    memset(&db, 0, sizeof db);
    EXPECT_EQ(LoadVXDB((Day(date) + "/VXDB.db").c_str(), &db), 1) << date;
    for (int i = 0; i < db.NrEntries; i++) {
      std::string rel = std::string(db.Text + db.Entries[i].FolderOffset) + (db.Text + db.Entries[i].NameOffset);
      md5[rel] = Hex(db.Entries[i].MD5);
    }
    FreeVXDB(&db);
    return md5;
  }
  // Files of the backup that the owner put there (not the recorder's own
  // settings and logs, which change every day).
  static bool Owners(const std::string &rel) { return rel.rfind("/Settings/", 0) != 0; }

  // Linked files of a day: catalogue entries with the same path and digest
  // as the day before.
  static int Unchanged(const std::map<std::string, std::string> &before,
                       const std::map<std::string, std::string> &after)
  {
    int n = 0;
    for (auto &[rel, md5] : after)
      n += before.count(rel) && before.at(rel) == md5;
    return n;
  }

  TempDir disk;
  std::vector<std::pair<std::string, std::string>> files;
  std::string log;
};

TEST_F(BackupWeek, DayOneCopiesDayTwoLinksDayThreeCopiesWhatChanged)
{
  // Day 1: everything is copied.
  EXPECT_EQ(Run("2026-12-01").status, 0);
  EXPECT_TRUE(Logged("No previous backup found, this might be the first one.")) << log;
  auto cat1 = Catalogue("2026-12-01");
  for (auto &[rel, content] : files) {
    EXPECT_EQ(ReadFile(Day("2026-12-01") + rel), content) << rel;
    ASSERT_TRUE(cat1.count(rel)) << rel;
    EXPECT_EQ(cat1[rel], Md5sum(Pf(rel))) << rel;
  }
  EXPECT_TRUE(Logged("Copied: " + std::to_string(cat1.size()) + " files, ")) << log;
  EXPECT_TRUE(Logged("DeDupe: 0 files, 0 B")) << log;
  EXPECT_FALSE(Logged("Failed"));
  EXPECT_FALSE(Exists(disk / "pwned"));
  EXPECT_FALSE(Exists(disk / "ProgramFiles/pwned2"));
  Snapshot day1 = Look(Day("2026-12-01"));

  // Day 2, nothing of the owner's changed: every such file is a link.
  EXPECT_EQ(Run("2026-12-02").status, 0);
  EXPECT_TRUE(Logged("Last backup found: 2026-12-01")) << log;
  auto cat2 = Catalogue("2026-12-02");
  Snapshot day2 = Look(Day("2026-12-02"));
  for (auto &[rel, content] : files)
    EXPECT_EQ(day2[rel], day1[rel]) << rel << " is not the day-1 file";
  int linked = Unchanged(cat1, cat2);
  EXPECT_GE(linked, (int)files.size());
  EXPECT_TRUE(Logged("DeDupe: " + std::to_string(linked) + " files, ")) << log;
  EXPECT_TRUE(Logged("Copied: " + std::to_string(cat2.size() - linked) + " files, ")) << log;
  EXPECT_EQ(Look(Day("2026-12-01")), day1);

  // Day 3: two changed, one new, one deleted.
  WriteFile(Pf("/Recorder/settings.ini"), "[Timer]\r\nChannel=2\r\n");
  WriteFile(Pf("/Epg/guide.dat"), Pattern(200000, 4));
  WriteFile(Pf("/Epg/new.dat"), "new");
  fs::remove(Pf("/Recorder/Logs/run.log"));
  EXPECT_EQ(Run("2026-12-03").status, 0);
  auto cat3 = Catalogue("2026-12-03");
  Snapshot day3 = Look(Day("2026-12-03"));
  std::vector<std::string> copied;
  for (auto &[rel, seen] : day3)
    if (Owners(rel) && rel != "/VXDB.db" && !(day2.count(rel) && day2[rel] == seen))
      copied.push_back(rel);
  EXPECT_EQ(copied, (std::vector<std::string>{"/Epg/guide.dat", "/Epg/new.dat", "/Recorder/settings.ini"}));
  EXPECT_EQ(day3["/Epg/guide.dat"].content, Pattern(200000, 4));
  EXPECT_FALSE(day3.count("/Recorder/Logs/run.log"));
  EXPECT_EQ(day2["/Recorder/Logs/run.log"], day1["/Recorder/Logs/run.log"]);
  EXPECT_EQ(cat3.size(), cat2.size());
  int linked3 = Unchanged(cat2, cat3);
  EXPECT_TRUE(Logged("DeDupe: " + std::to_string(linked3) + " files, ")) << log;
  EXPECT_TRUE(Logged("Copied: " + std::to_string(cat3.size() - linked3) + " files, ")) << log;
  EXPECT_EQ(Look(Day("2026-12-01")), day1);
  EXPECT_EQ(Look(Day("2026-12-02")), day2);
}

TEST_F(BackupWeek, AnInterruptedCopyPassCompletesOnTheSameDayAndNothingEarlierChanges)
{
  ASSERT_EQ(Run("2026-12-01").status, 0);
  WriteFile(Pf("/Recorder/settings.ini"), "[Timer]\r\nChannel=7\r\n");
  WriteFile(Pf("/Big/movie.bin"), Pattern(1048577, 5));
  WriteFile(Pf("/Epg/new.dat"), "new");
  std::string ini = ReadFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini");
  Snapshot day1 = Look(Day("2026-12-01"));

  // The owner stops the plug-in in the middle of the copy pass.
  int stop = MiddleOfCopyPass("2026-12-02");
  EXPECT_EQ(Run("2026-12-02", {"--event", std::to_string(stop) + "=0x0900"}).status, 0);
  EXPECT_FALSE(Logged("Copied:")) << log;
  EXPECT_FALSE(Exists(Day("2026-12-02") + "/VXDB.db"));
  EXPECT_EQ(ReadFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini"), ini) << "the day was marked done";
  Snapshot half = Look(Day("2026-12-02"));
  EXPECT_FALSE(half.empty());
  EXPECT_EQ(Look(Day("2026-12-01")), day1);

  // The next load of the same day makes the whole backup.
  ASSERT_EQ(Run("2026-12-02").status, 0);
  EXPECT_TRUE(Logged("Last backup found: 2026-12-01")) << log;
  auto cat1 = Catalogue("2026-12-01"), cat2 = Catalogue("2026-12-02");
  int linked = Unchanged(cat1, cat2);
  EXPECT_TRUE(Logged("DeDupe: " + std::to_string(linked) + " files, ")) << log;
  EXPECT_FALSE(Logged("hard links failed")) << log;
  Snapshot day2 = Look(Day("2026-12-02"));
  for (auto &[rel, content] : files) {
    std::string now = ReadFile(Pf(rel));
    EXPECT_EQ(day2[rel].content, now) << rel;
    EXPECT_EQ(cat2[rel], Md5sum(Day("2026-12-02") + rel)) << rel;
    if (cat1.count(rel) && cat1[rel] == cat2[rel])
      EXPECT_EQ(day2[rel], day1[rel]) << rel << " should be the day-1 file";
    else
      EXPECT_NE(day2[rel].ino, day1[rel].ino) << rel;
  }
  EXPECT_EQ(Look(Day("2026-12-01")), day1) << "a file of the earlier backup changed";
  EXPECT_NE(ReadFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini"), ini);
}

} // namespace
