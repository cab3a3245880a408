#include <gtest/gtest.h>

#include <unistd.h>

#include "app/Vaultrix.h"
#include "host/runtime/TapRuntime.h"
#include "support/RecorderNamespace.h"
#include "support/TestSupport.h"

namespace {

class SettingsKeys : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_EQ(EnterRecorderNamespace(disk.path()), "");
    UseRecorderDisk(disk.path());
    INIDestDevice[0] = INIDestPath[0] = INIMountCommand[0] = 0;
    INILastBackup = 0;
  }
  void TearDown() override { rt->onHostCall = nullptr; }

  std::string Ini() { return ReadFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini"); }

  TempDir disk;
  TapRuntime *rt = TapRuntimeControl();
};

TEST_F(SettingsKeys, LoadReadsTheFourKeysCutToTheirBuffers)
{
  MakeRecorderDisk(disk.path(), ("DestDevice=" + std::string(30, 'd') + "\r\nDestPath=" + std::string(200, 'p') +
                                 "\r\nMountCommand=" + std::string(300, 'm') + "\r\nLastBackup=E8D2\r\n")
                                    .c_str());
  LoadINI();
  EXPECT_EQ(std::string(INIDestDevice), std::string(19, 'd'));
  EXPECT_EQ(std::string(INIDestPath), std::string(127, 'p'));
  EXPECT_EQ(std::string(INIMountCommand), std::string(255, 'm'));
  EXPECT_EQ(INILastBackup, 0xE8D2u);
  EXPECT_EQ(rt->currentDir, "/ProgramFiles");
  EXPECT_EQ(INIBuffer, nullptr);
}

// Missing, empty or anything but a plain number keeps every backup and the
// disk's own reserve; a wrong value is named in the log.
TEST_F(SettingsKeys, KeepDaysAndMinFreeMBAreDecimalCounts)
{
  const struct {
    const char *text;
    dword keep, reserve;
  } cases[] = {{"", 0, INI_MIN_FREE_UNSET},
               {"KeepDays=\r\nMinFreeMB=\r\n", 0, INI_MIN_FREE_UNSET},
               {"KeepDays=7\r\nMinFreeMB=0\r\n", 7, 0},
               {"keepdays=0010\r\nMINFREEMB=999999\r\n", 10, 999999},
               {"KeepDays=7d\r\nMinFreeMB=-1\r\n", 0, INI_MIN_FREE_UNSET},
               {"KeepDays=1000000\r\nMinFreeMB=99999999999\r\n", 0, INI_MIN_FREE_UNSET}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.text);
    MakeRecorderDisk(disk.path(), (std::string("DestDevice=i\r\n") + c.text).c_str());
    INIKeepDays = 5;
    INIMinFreeMB = 5;
    LoadINI();
    EXPECT_EQ(INIKeepDays, c.keep);
    EXPECT_EQ(INIMinFreeMB, c.reserve);
  }
  EXPECT_NE(ReadFile(disk / "ProgramFiles/Settings/TAPSystem.log").find("KeepDays is not a number of 0 to 999999: '7d', ignored"),
            std::string::npos);
}

// Only a time of day counts; anything else is named in the log once and
// leaves one backup per load.
TEST_F(SettingsKeys, BackupTimeIsATimeOfDay)
{
  const struct {
    const char *text;
    dword minutes;
  } cases[] = {{"", INI_TIME_UNSET},
               {"BackupTime=\r\n", INI_TIME_UNSET},
               {"BackupTime=03:00\r\n", 180},
               {"backuptime=3:05\n", 185},
               {"BackupTime=23:59\r\n", 1439},
               {"BackupTime=00:00", 0},
               {"BackupTime=24:00\r\n", INI_TIME_UNSET},
               {"BackupTime=03:60\r\n", INI_TIME_UNSET},
               {"BackupTime=0300\r\n", INI_TIME_UNSET},
               {"BackupTime=03:0\r\n", INI_TIME_UNSET},
               {"BackupTime=003:00\r\n", INI_TIME_UNSET},
               {"BackupTime=03:00 \r\n", INI_TIME_UNSET},
               {"BackupTime=:30\r\n", INI_TIME_UNSET}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.text);
    MakeRecorderDisk(disk.path(), (std::string("DestDevice=i\r\n") + c.text).c_str());
    INIBackupTime = 5;
    size_t logged = Count(ReadFile(disk / "ProgramFiles/Settings/TAPSystem.log"), "BackupTime is not a time");
    LoadINI();
    EXPECT_EQ(INIBackupTime, c.minutes);
    EXPECT_EQ(Count(ReadFile(disk / "ProgramFiles/Settings/TAPSystem.log"), "BackupTime is not a time"),
              logged + (c.minutes == INI_TIME_UNSET && strlen(c.text) > strlen("BackupTime=\r\n") ? 1 : 0));
  }
}

TEST_F(SettingsKeys, MissingFileLeavesTheValuesAlone)
{
  MakeRecorderDisk(disk.path(), nullptr);
  INILastBackup = 7;
  LoadINI();
  EXPECT_STREQ(INIDestDevice, "");
  EXPECT_EQ(INILastBackup, 7u);
}

TEST_F(SettingsKeys, BackupDateChangesOnlyItsOwnLine)
{
  const std::string head = "#LastBackup=0001\nDestDevice=EXT\nLastBackup=", tail = "\nDestPath=/B\n";
  MakeRecorderDisk(disk.path(), (head + "e000" + tail).c_str());
  LastBackup = 0xE8D21730; // 23:48 on day e8d2: the day the backup began counts
  INIUpdateBackupDate();
  EXPECT_EQ(Ini(), head + "e8d2" + tail);
  EXPECT_EQ(INILastBackup, 0xE8D2u);
  EXPECT_EQ(rt->currentDir, "/ProgramFiles");
}

TEST_F(SettingsKeys, BackupDateStartsAFileWhenThereIsNone)
{
  MakeRecorderDisk(disk.path(), nullptr);
  LastBackup = 0x00AB0000;
  INIUpdateBackupDate();
  EXPECT_EQ(Ini(), "LastBackup=00ab\r\n");
}

TEST_F(SettingsKeys, UnreadableFileIsNotOverwritten)
{
  MakeRecorderDisk(disk.path(), "DestDevice=i\r\nDestPath=/mnt/hd/B\r\n");
  // The file shrinks under the read, which then brings less than its length.
  std::string path = disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini";
  rt->onHostCall = [&](const char *name) {
    if (!strcmp(name, "TAP_Hdd_Fread"))
      ASSERT_EQ(truncate(path.c_str(), 3), 0);
  };
  LastBackup = 0xE8D20000;
  INIUpdateBackupDate();
  rt->onHostCall = nullptr;
  EXPECT_EQ(Ini(), "Des");
}

TEST_F(SettingsKeys, ExamplesNameEachDestinationKind)
{
  const struct {
    const char *folder, *device;
    dword backupTime;
  } examples[] = {{"internal-disk", "internal", INI_TIME_UNSET},
                  {"external-disk", "external", INI_TIME_UNSET},
                  {"network-share", "nas", INI_TIME_UNSET},
                  {"never-restarted", "external", 3 * 60}};
  for (auto &e : examples) {
    SCOPED_TRACE(e.folder);
    MakeRecorderDisk(disk.path(), ReadFile(std::string(VX_SOURCE_DIR "/examples/") + e.folder + "/Vaultrix.ini").c_str());
    LoadINI();
    LowerCase(INIDestDevice);
    EXPECT_STREQ(INIDestDevice, e.device);
    EXPECT_EQ(INIDestPath[0], '/');
    EXPECT_EQ(INIMountCommand[0] != 0, e.device[0] == 'n');
    // A share that stops answering fails its calls rather than hold them.
    if (e.device[0] == 'n')
      EXPECT_NE(strstr(INIMountCommand, " -o soft,"), nullptr) << INIMountCommand;
    EXPECT_EQ(INILastBackup, 0u);
    EXPECT_EQ(INIBackupTime, e.backupTime);
  }
}

} // namespace
