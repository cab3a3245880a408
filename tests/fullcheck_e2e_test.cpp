// The quick check and the rolling share, on an ext4 disk image whose time
// stamps and data blocks the test changes by hand while it is unmounted: the
// only way to age a file's change time, or to change its bytes and leave its
// time stamps as they were.  The share's rhythm alone needs no image.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Vaultrix.h"
#include "checksum/CRC32.h"
#include "support/BackupScenario.h"
#include "support/ImageRecorder.h"

namespace {

unsigned Mjd(const std::string &date)
{
  using namespace std::chrono;
  year_month_day d{year{std::stoi(date.substr(0, 4))}, month{(unsigned)std::stoi(date.substr(5, 2))},
                   day{(unsigned)std::stoi(date.substr(8, 2))}};
  return (unsigned)(sys_days(d) - sys_days(year{1858} / November / 17)).count();
}

// A relative path folder/stemN.dat whose file is in the rolling share of
// n days on the given day.
std::string InShareOn(const std::string &folder, const std::string &stem, unsigned n, const std::string &date)
{
  for (int i = 0;; i++) {
    std::string rel = folder + "/" + stem + std::to_string(i) + ".dat";
    if (CRC32(0, rel.data(), (dword)rel.size()) % n == Mjd(date) % n)
      return rel;
  }
}

class QuickCheck : public ImageRecorder {
protected:
  void SetUp() override
  {
    ImageRecorder::SetUp();
    if (!IsSkipped() && !HasFatalFailure())
      MakeRecorderDisk(disk->root(), nullptr);
  }

  // Both time stamps of a path on the disk, an hour back.
  void Age(const std::string &path)
  {
    for (const char *field : {"mtime", "ctime"})
      Debugfs("set_inode_field " + path + " " + field + " @" + std::to_string(time(nullptr) - 3600));
  }

  // The first byte of a file on the disk changed in place: its size and
  // time stamps stay as they were, as with a failing disk.
  void Rot(const std::string &path)
  {
    unsigned long block = std::stoul(Debugfs("blocks " + path));
    std::string stats = Debugfs("stats");
    unsigned long size = std::stoul(stats.substr(stats.find("Block size:") + 11));
    int fd = open(image.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char c = 0;
    ASSERT_EQ(pread(fd, &c, 1, (off_t)(block * size)), 1);
    c ^= 0x5a;
    ASSERT_EQ(pwrite(fd, &c, 1, (off_t)(block * size)), 1);
    close(fd);
  }
};

std::string Settings(const std::string &dest, const std::string &more)
{
  return "DestDevice=internal\r\nDestPath=/mnt/hd/" + dest + "\r\nMinFreeMB=0\r\n" + more;
}

// Entries of the two catalogues of one day, byte for byte, but for the
// recorder's settings and log, which each run changes.
::testing::AssertionResult SameCatalogue(const std::string &a, const std::string &b)
{
  std::string x = ReadFile(a + "/VXDB.db"), y = ReadFile(b + "/VXDB.db");
  VXDB db;
  memset(&db, 0, sizeof db);
  if (x.size() != y.size() || !LoadVXDB((a + "/VXDB.db").c_str(), &db))
    return ::testing::AssertionFailure() << a << " and " << b << " differ in size";
  std::string differ;
  for (int i = 0; i < db.NrEntries; i++) {
    std::string rel = std::string(db.Text + db.Entries[i].FolderOffset) + (db.Text + db.Entries[i].NameOffset);
    size_t at = VXDB_HEADER_SIZE + (size_t)i * VXDB_ENTRY_SIZE;
    if (rel.rfind("/Settings/", 0) != 0 && x.compare(at, VXDB_ENTRY_SIZE, y, at, VXDB_ENTRY_SIZE) != 0)
      differ += " " + rel;
  }
  size_t text = VXDB_HEADER_SIZE + (size_t)db.NrEntries * VXDB_ENTRY_SIZE;
  FreeVXDB(&db);
  if (x.compare(0, VXDB_HEADER_SIZE, y, 0, VXDB_HEADER_SIZE) != 0 || x.compare(text, x.npos, y, text, y.npos) != 0)
    differ += " (header or names)";
  if (!differ.empty())
    return ::testing::AssertionFailure() << a << " and " << b << " differ:" << differ;
  return ::testing::AssertionSuccess();
}

TEST_F(QuickCheck, AWeekWithAndWithoutItGivesTheSameCatalogues)
{
  for (int i = 0; i < 12; i++)
    b.Source("/P" + std::to_string(i % 3) + "/f" + std::to_string(i), Pattern(500 + 900 * i, i));
  disk.reset();
  for (int i = 0; i < 12; i++)
    Age("/ProgramFiles/P" + std::to_string(i % 3) + "/f" + std::to_string(i));
  Mount();
  std::string quick = Settings("Backup", "FullCheckDays=7\r\n"), full = Settings("Full", "");
  for (int d = 1; d <= 7; d++) {
    std::string day = "2026-11-0" + std::to_string(d);
    if (d > 1) {
      int i = 3 * (d % 4);
      b.Source("/P0/f" + std::to_string(i), Pattern(500 + 900 * i, 100 + d)); // same size, new bytes
      b.Source("/P1/new" + std::to_string(d), Pattern(300 * d, d));
      unlink(b.Pf("/P2/f" + std::to_string(3 * d - 1)).c_str());
    }
    for (std::string *settings : {&quick, &full}) {
      WriteFile(b.IniPath(), *settings);
      ASSERT_EQ(b.Run(day).status, 0) << b.log;
      *settings = ReadFile(b.IniPath());
      if (settings == &quick && d > 1)
        EXPECT_TRUE(b.Logged("Quick check: ")) << day << " read every file:\n" << b.log;
    }
    EXPECT_TRUE(SameCatalogue(b.Day(day), disk->root() + "/Full/" + day)) << day;
  }
  EXPECT_TRUE(b.Complete("2026-11-07")) << b.log;
}

TEST_F(QuickCheck, TheRollingShareFindsRotInTheSourceAndInTheBackup)
{
  const std::string d1 = "2026-12-01", d2 = "2026-12-02", d3 = "2026-12-03", d4 = "2026-12-04";
  const std::string source = InShareOn("/Rot", "source", 3, d3), copy = InShareOn("/Rot", "copy", 3, d4);
  const std::string race = InShareOn("/Race", "race", 3, d3);
  WriteFile(b.IniPath(), Settings("Backup", "FullCheckDays=3\r\n"));
  b.Source(source, Pattern(5000, 1));
  b.Source(copy, Pattern(7000, 2));
  for (int i = 0; i < 6; i++)
    b.Source("/Calm/f" + std::to_string(i), Pattern(2000 + i, 10 + i));
  // Written just before the backup reads it: its time stamps could hide a
  // rewrite in the same second.
  b.Source(race, Pattern(3000, 3));
  std::string good = ReadFile(b.Pf(source));
  disk.reset();
  for (const std::string &old : {source, copy, std::string("/Calm/f0"), std::string("/Calm/f1")})
    Age("/ProgramFiles" + old);
  Mount();
  ASSERT_EQ(b.Run(d1).status, 0) << b.log;
  ASSERT_TRUE(b.Complete(d1)) << b.log;

  disk.reset();
  Rot("/ProgramFiles" + source);
  Rot("/ProgramFiles" + race);
  Rot("/Backup/" + d1 + copy);
  Mount();

  // The rewrite is seen at once, although size and time stamps are as the
  // catalogue has them; the aged files are taken over unread.
  ASSERT_EQ(b.Run(d2).status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Quick check: ")) << b.log;
  EXPECT_FALSE(b.Logged("without a new time stamp")) << b.log;
  EXPECT_EQ(ReadFile(b.Day(d2) + race), ReadFile(b.Pf(race)));
  EXPECT_NE(Inode(b.Day(d2) + race), Inode(b.Day(d1) + race));

  // The source's rot is found on its day, and copied: the earlier backups
  // keep the good bytes.
  ASSERT_EQ(b.Run(d3).status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Contents changed without a new time stamp: /mnt/hd/ProgramFiles" + source)) << b.log;
  EXPECT_TRUE(b.Logged("Changed without a new time stamp: 1 files")) << b.log;
  EXPECT_EQ(ReadFile(b.Day(d3) + source), ReadFile(b.Pf(source)));
  EXPECT_EQ(ReadFile(b.Day(d1) + source), good);
  EXPECT_EQ(ReadFile(b.Day(d2) + source), good);

  // The backup's rot is found on its day, and the file copied afresh rather
  // than linked to the damaged copy.
  ASSERT_EQ(b.Run(d4).status, 0) << b.log;
  size_t line = b.log.find("Backup copy damaged: /mnt/hd/Backup/" + d3);
  EXPECT_NE(line, std::string::npos) << b.log;
  EXPECT_LT(b.log.find(copy, line), b.log.find('\n', line)) << b.log;
  EXPECT_NE(Inode(b.Day(d4) + copy), Inode(b.Day(d1) + copy));
  EXPECT_TRUE(b.Complete(d4)) << b.log;
}

// Without FullCheckDays, a backup every second day: the share read in full
// moves on by one at each backup, so 30 backups reach every one of 30
// damaged copies, whatever the day numbers.
TEST(RollingShare, ThirtyBackupsTwoDaysApartFindEveryDamagedCopy)
{
  BackupScenario b;
  std::vector<std::string> files;
  for (unsigned share = 0; share < 30; share++)
    for (int i = 0;; i++) {
      std::string rel = "/Share/f" + std::to_string(i) + ".dat";
      if (CRC32(0, rel.data(), (dword)rel.size()) % 30 == share) {
        files.push_back(rel);
        b.Source(rel, Pattern(300, share));
        break;
      }
    }
  using namespace std::chrono;
  sys_days day = sys_days(year{2027} / January / 1);
  auto name = [](sys_days d) {
    year_month_day ymd{d};
    char text[16];
    snprintf(text, sizeof text, "%04d-%02u-%02u", (int)ymd.year(), (unsigned)ymd.month(), (unsigned)ymd.day());
    return std::string(text);
  };
  const std::string first = name(day);
  ASSERT_EQ(b.Run(first).status, 0) << b.log;
  for (const std::string &rel : files) {
    int fd = open((b.Day(first) + rel).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char c = 0;
    ASSERT_EQ(pread(fd, &c, 1, 0), 1);
    c ^= 0x5a;
    ASSERT_EQ(pwrite(fd, &c, 1, 0), 1);
    close(fd);
  }
  std::set<std::string> found;
  for (int n = 0; n < 30; n++) {
    day += days{2};
    ASSERT_EQ(b.Run(name(day)).status, 0) << b.log;
    for (const std::string &line : Lines(b.log))
      if (size_t at = line.find("Backup copy damaged: "); at != std::string::npos)
        found.insert(line.substr(line.find("/Share/", at)));
  }
  EXPECT_EQ(found.size(), files.size()) << "damaged copies still linked into every backup";
  EXPECT_TRUE(VxdbIntact(b.Day(name(day))));
}

} // namespace
