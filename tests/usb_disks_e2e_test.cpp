// Two days of backups onto USB disks as owners format them: a real exFAT and
// a real NTFS file system, each on a loop device and mounted by its FUSE
// driver in a mount namespace of this test alone, plugged into the
// simulator as /mnt/sdb1.  Whatever the log reports as failed is exactly
// what vxdb verify finds wrong with the day, and nothing else is.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sys/stat.h>

#include "support/BackupScenario.h"
#include "support/FormattedDisk.h"

namespace {

const std::vector<std::pair<std::string, std::string>> kFiles = {
    {"/Recorder/settings.ini", "[Timer]\r\nChannel=1\r\n"},
    {"/Epg/guide.dat", std::string(70000, 'g')},
    {"/D/Case.txt", "upper"},
    {"/D/case.txt", "lower, and longer"},
    {"/D/we:ird?.txt", "a name exFAT refuses"},
    {"/top.txt", "top"},
};

// The relative paths that the log reports as not backed up.
std::set<std::string> FailedInLog(const std::string &log, const std::string &date)
{
  std::set<std::string> failed;
  const std::string clash = " on this disk: ", dest = "destination '", day = date + "/";
  for (const std::string &line : Lines(log)) {
    size_t at;
    if ((at = line.find(clash)) != std::string::npos)
      failed.insert(line.substr(at + clash.size()));
    else if ((at = line.find(dest)) != std::string::npos && (at = line.find(day, at)) != std::string::npos)
      failed.insert(line.substr(at + day.size(), line.rfind('\'') - at - day.size()));
  }
  std::set<std::string> tidy;
  for (std::string p : failed)
    tidy.insert(p.substr(p.find_first_not_of('/') - 1));
  return tidy;
}

// The relative paths that vxdb verify names: damaged, missing, not backed up or extra.
std::set<std::string> FoundByVerify(const std::string &day, std::string *out)
{
  ProgramRun r = RunVxdbTool({"verify", day});
  *out = r.out + r.err;
  std::set<std::string> found;
  for (const std::string &line : Lines(r.out)) {
    size_t gap = line.find(' ');
    if (gap != std::string::npos && line.rfind("Intact", 0) != 0 && line.rfind("DAMAGED", 0) != 0 &&
        line.rfind("INCOMPLETE", 0) != 0)
      found.insert(line.substr(line.find('/', gap), line.find(" (") - line.find('/', gap)));
  }
  return found;
}

class UsbDisk : public ::testing::Test {
protected:
  // Both days onto the disk; each day's failures as the log tells them and
  // as vxdb verify finds them must be the same files.
  void TwoDays(FormattedDisk &usb)
  {
    if (!usb.skip_.empty())
      GTEST_SKIP() << usb.skip_;
    ASSERT_EQ(usb.failed_, "");
    std::filesystem::create_directories(usb.Root() + "/Vaultrix");
    b = std::make_unique<BackupScenario>("DestDevice=ext\r\nDestPath=/Vaultrix\r\n", usb.Root() + "/Vaultrix");
    for (auto &[rel, content] : kFiles)
      b->Source(rel, content);
    for (const char *date : {"2026-12-01", "2026-12-02"}) {
      if (std::string(date) == "2026-12-02")
        b->Source("/top.txt", "top, day two");
      ASSERT_EQ(b->Run(date, {"--ext", "sdb1=" + usb.Root()}).status, 0) << b->log;
      logs.push_back(b->log);
      std::string said;
      std::set<std::string> failed = FailedInLog(b->log, date), found = FoundByVerify(b->Day(date), &said);
      EXPECT_EQ(failed, found) << b->log << said;
      if (!failed.empty())
        EXPECT_TRUE(b->Logged("Failed: " + std::to_string(failed.size()) + " files, ")) << b->log;
      failures.push_back(failed);
    }
  }
  ino_t Inode(const std::string &date, const std::string &rel) { return ::Inode(b->Day(date) + rel); }

  std::unique_ptr<BackupScenario> b;
  std::vector<std::string> logs;
  std::vector<std::set<std::string>> failures;
};

TEST_F(UsbDisk, ExfatCopiesEveryDayAndReportsWhatItCannotHold)
{
  FormattedDisk usb("exfat");
  TwoDays(usb);
  if (IsSkipped() || HasFatalFailure())
    return;
  for (size_t day = 0; day < 2; day++) {
    const std::string &log = logs[day];
    SCOPED_TRACE(log);
    ExpectInOrder(log, {"Destination cannot hold hard links: every file is copied", "Destination ignores letter case",
                        "DeDupe: 0 files, 0 B\r\n", "Failed: 2 files"});
    EXPECT_EQ(log.find("hard links failed"), std::string::npos);
    ExpectInOrder(log, {"we:ird?.txt'\r\n", "Vaultrix: Reason: the disk does not accept this name\r\n"});
    // Whichever of the two the scan met first stays; verify has checked
    // that it holds its own contents.
    std::set<std::string> f = failures[day];
    ASSERT_EQ(f.size(), 2u);
    EXPECT_TRUE(f.count("/D/we:ird?.txt"));
    std::string lost = f.count("/D/case.txt") ? "/D/case.txt" : "/D/Case.txt";
    std::string kept = lost == "/D/case.txt" ? "/D/Case.txt" : "/D/case.txt";
    EXPECT_TRUE(f.count(lost));
    EXPECT_NE(log.find("Name clashes with '" + kept + "' on this disk: " + lost), std::string::npos);
  }
  // Names the disk refuses at every backup keep no day incomplete: each is
  // marked done, and KeepDays removes what expired.
  EXPECT_TRUE(Exists(b->Day("2026-12-02") + "/VXDB.db"));
  std::string ini = ReadFile(b->IniPath());
  EXPECT_NE(ini.find("LastBackup="), std::string::npos) << ini;
  WriteFile(b->IniPath(), ini + "KeepDays=1\r\n");
  ASSERT_EQ(b->Run("2026-12-03", {"--ext", "sdb1=" + usb.Root()}).status, 0) << b->log;
  EXPECT_TRUE(b->Logged("Failed: 2 files")) << b->log;
  EXPECT_TRUE(b->Logged("Removed backup 2026-12-01: ")) << b->log;
  EXPECT_FALSE(Exists(b->Day("2026-12-01")));
}

TEST_F(UsbDisk, NtfsKeepsEveryNameAndLinksTheSecondDay)
{
  FormattedDisk usb("ntfs");
  TwoDays(usb);
  if (IsSkipped() || HasFatalFailure())
    return;
  for (const std::string &log : logs) {
    EXPECT_EQ(log.find("Destination cannot hold hard links"), std::string::npos) << log;
    EXPECT_EQ(log.find("Destination ignores letter case"), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed"), std::string::npos) << log;
  }
  EXPECT_TRUE(failures[0].empty() && failures[1].empty());
  EXPECT_EQ(logs[1].find("DeDupe: 0 files"), std::string::npos) << logs[1];
  EXPECT_EQ(logs[1].find("hard links failed"), std::string::npos) << logs[1];
  for (auto &[rel, content] : kFiles) {
    EXPECT_EQ(ReadFile(b->Day("2026-12-02") + rel), rel == "/top.txt" ? "top, day two" : content) << rel;
    if (rel != "/top.txt")
      EXPECT_EQ(Inode("2026-12-01", rel), Inode("2026-12-02", rel)) << rel << " was not linked";
  }
}

} // namespace
