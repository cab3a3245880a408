// A recorder owner's days with the settings file, through the simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "host/runtime/TapRuntime.h"
#include "support/TestSupport.h"

namespace {

const char *kClock = "2026-12-06 10:00:00";

std::string TodayHex()
{
  char hex[8];
  snprintf(hex, sizeof hex, "%04x", (unsigned)(TapDaysFromCivil(2026, 12, 6) + kMjdOfUnixEpoch));
  return hex;
}

class SettingsDay : public ::testing::Test {
protected:
  std::string IniPath() { return disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini"; }

  TapsimResult Run(std::vector<std::string> extra = {}, int maxEvents = 2000)
  {
    std::vector<std::string> args = {"--disk", disk.path(), "--clock", kClock, "--tick-step", "100",
                                     "--max-events", std::to_string(maxEvents)};
    args.insert(args.end(), extra.begin(), extra.end());
    TapsimResult r = RunTapsim(args);
    logged = r.out + r.console + ReadFile(disk / "ProgramFiles/Settings/TAPSystem.log");
    return r;
  }
  // Messages in the order given, each after the one before.
  void ExpectLogged(const std::vector<std::string> &messages) { ExpectInOrder(logged, messages); }

  TempDir disk;
  std::string logged;
};

TEST_F(SettingsDay, NoSettingsFileStopsTheRun)
{
  MakeRecorderDisk(disk.path(), nullptr);
  EXPECT_EQ(Run().status, 0);
  ExpectLogged({"Vaultrix.ini not found!", "No valid destination, check Vaultrix.ini!", "Exiting"});
  EXPECT_FALSE(Exists(IniPath()));
}

TEST_F(SettingsDay, TodaysBackupIsNotMadeTwice)
{
  const std::string ini = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\nLastBackup=" + TodayHex() + "\r\n";
  MakeRecorderDisk(disk.path(), ini.c_str());
  EXPECT_EQ(Run().status, 0);
  ExpectLogged({"Today's backup has been done already.", "Exiting"});
  EXPECT_EQ(logged.find("Destination"), std::string::npos);
  EXPECT_FALSE(Exists(disk / "Backup"));
  EXPECT_EQ(ReadFile(IniPath()), ini);
}

TEST_F(SettingsDay, CompletedRunWritesOnlyTheDate)
{
  // Hand-written: LF lines, a comment, an old date, no final line end.
  const std::string head = "# my backup\nDestDevice=Internal\nLastBackup=", tail = "\nDestPath=/mnt/hd/Backup";
  MakeRecorderDisk(disk.path(), (head + "E000" + tail).c_str());
  EXPECT_EQ(Run().status, 0);
  EXPECT_TRUE(Exists(disk / "Backup/2026-12-06"));
  EXPECT_EQ(ReadFile(IniPath()), head + TodayHex() + tail + "\r\n");

  // The next load on the same day makes no second backup.
  Run();
  ExpectLogged({"Today's backup has been done already."});
}

TEST_F(SettingsDay, FirmwareWithoutTaskTableStillSavesTheDate)
{
  // No Linux path of the current folder: the save goes through the host's
  // calls alone.
  const std::string ini = "DestDevice=Internal\r\nDestPath=/mnt/hd/Backup\r\n";
  MakeRecorderDisk(disk.path(), ini.c_str());
  EXPECT_EQ(Run({"--no-task-table"}).status, 0);
  EXPECT_TRUE(Exists(disk / "Backup/2026-12-06"));
  EXPECT_EQ(ReadFile(IniPath()), ini + "LastBackup=" + TodayHex() + "\r\n");
  EXPECT_FALSE(Exists(IniPath() + ".copy"));
  logged.clear();
  EXPECT_EQ(Run({"--no-task-table"}).status, 0);
  ExpectLogged({"Today's backup has been done already.", "Exiting"});
}

TEST_F(SettingsDay, OldCopyBesideTheFileNeverOverridesTheOwner)
{
  // A copy a save without rename left behind, older than the owner's edit.
  const std::string owner = "DestDevice=Internal\r\nDestPath=/mnt/hd/Backup\r\n";
  const std::string old = "DestDevice=Internal\r\nDestPath=/mnt/hd/OLD\r\nLastBackup=0001\r\n";
  const std::string saved = owner + "LastBackup=" + TodayHex() + "\r\n";
  for (const std::vector<std::string> &extra : std::vector<std::vector<std::string>>{{}, {"--no-task-table"}}) {
    SCOPED_TRACE(extra.empty() ? "task table" : "no task table");
    MakeRecorderDisk(disk.path(), owner.c_str());
    WriteFile(IniPath() + ".copy", old);
    EXPECT_EQ(Run(extra).status, 0);
    EXPECT_EQ(ReadFile(IniPath()), saved);
    EXPECT_FALSE(Exists(IniPath() + ".copy"));
    EXPECT_TRUE(Exists(disk / "Backup/2026-12-06"));
    EXPECT_FALSE(Exists(disk / "OLD"));
    EXPECT_EQ(Run(extra).status, 0);
    EXPECT_EQ(ReadFile(IniPath()), saved);
    ExpectLogged({"Today's backup has been done already."});
    std::filesystem::remove_all(disk / "Backup");

    // What a save cut while it rewrote the file leaves: the copy is read.
    MakeRecorderDisk(disk.path(), owner.substr(0, 30).c_str());
    WriteFile(IniPath() + ".copy", owner);
    EXPECT_EQ(Run(extra).status, 0);
    EXPECT_EQ(ReadFile(IniPath()), saved);
    EXPECT_FALSE(Exists(IniPath() + ".copy"));
    EXPECT_TRUE(Exists(disk / "Backup/2026-12-06"));
    std::filesystem::remove_all(disk / "Backup");
  }
}

TEST_F(SettingsDay, DeviceTextCountsByItsFirstLetter)
{
  const struct {
    const char *device, *message;
  } days[] = {{"Internal", "Destination: internal disk @ '/mnt/elsewhere/'"},
              {"EXT", "Destination: external disk not found, waiting up to 3 minutes"},
              {"nas", "Destination: NAS not mounted, waiting up to 3 minutes"},
              {"usb", "No valid destination, check Vaultrix.ini!"}};
  for (auto &day : days) {
    SCOPED_TRACE(day.device);
    std::string ini = std::string("DestDevice=") + day.device + "\r\nDestPath=/mnt/elsewhere\r\n";
    MakeRecorderDisk(disk.path(), ini.c_str());
    Run({}, 3);
    ExpectLogged({day.message});
  }
}

TEST_F(SettingsDay, FailedSaveKeepsThePreviousFile)
{
  const std::string ini = "DestDevice=i\r\nDestPath=/mnt/hd/Backup\r\nLastBackup=0001\r\n";
  const std::string saved = "DestDevice=i\r\nDestPath=/mnt/hd/Backup\r\nLastBackup=" + TodayHex() + "\r\n";
  // Fail each write of a run in turn, until a run has no write left to fail.
  int failedSaves = 0;
  for (int n = 1;; n++) {
    SCOPED_TRACE("write " + std::to_string(n));
    MakeRecorderDisk(disk.path(), ini.c_str());
    TempDir io;
    Run({"--fail-hdd-write", std::to_string(n), "--trace", io / "trace"});
    std::string trace = ReadFile(io / "trace"), now = ReadFile(IniPath());
    EXPECT_TRUE(now == ini || now == saved) << now;
    EXPECT_FALSE(Exists(IniPath() + ".copy"));
    if (trace.find("write-failed=\"Vaultrix.ini.new\"") != std::string::npos) {
      EXPECT_EQ(now, ini);
      ExpectLogged({"Vaultrix.ini could not be saved!"});
      failedSaves++;
    }
    if (trace.find("write-failed=") == std::string::npos || n == 100)
      break;
  }
  EXPECT_EQ(failedSaves, 1);
}

} // namespace
