// The system log, the library log and the network console: the exact bytes
// of each line, append-only files, and the console found among /dev/pts.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/HostDisk.h"

namespace {

class Logs : public ::testing::Test {
protected:
  HostDisk disk;
  ConsoleCapture console;
  const std::string systemLog = disk / "/ProgramFiles/Settings/TAPSystem.log";
  const std::string libraryLog = disk / "/ProgramFiles/Settings/Kovlib.log";

  void SetUp() override { std::filesystem::create_directories(disk / "/ProgramFiles/Settings/Vaultrix"); }
};

} // namespace

TEST_F(Logs, SystemLogLineIsStampNameTextCrLf)
{
  ASSERT_TRUE(HDD_ChangeDir("/ProgramFiles/Settings/Vaultrix"));
  LogEntryGeneric("Vaultrix", 1, "Vaultrix V1.0");
  EXPECT_EQ(ReadFile(systemLog), "2026-12-06 13:05:09 Vaultrix: Vaultrix V1.0\r\n");
  EXPECT_EQ(console.read(), std::string("2026-12-06 13:05:09 Vaultrix: Vaultrix V1.0\n") + '\0');
  EXPECT_EQ(disk.current(), "/ProgramFiles/Settings/Vaultrix");
  EXPECT_FALSE(Exists(libraryLog));
}

TEST_F(Logs, LogsOnlyGrow)
{
  WriteFile(systemLog, "written by another program\r\n");
  WriteFile(libraryLog, "older line without an end");
  LogEntryGeneric("Vaultrix", 0, "first");
  disk.advanceSeconds(61);
  LogEntryGeneric("Other", 0, "second");
  LogEntryKovlibPrintf(0, "value %d", 42);
  EXPECT_EQ(ReadFile(systemLog), "written by another program\r\n"
                                 "2026-12-06 13:05:09 Vaultrix: first\r\n"
                                 "2026-12-06 13:06:10 Other: second\r\n");
  EXPECT_EQ(ReadFile(libraryLog), "older line without an end2026-12-06 13:06:10 value 42\r\n");
  EXPECT_EQ(console.read(), "");
}

TEST_F(Logs, MissingFolderAndFilesAreCreated)
{
  std::filesystem::remove_all(disk / "/ProgramFiles/Settings");
  LogEntryGeneric("Vaultrix", 0, "hello");
  LogEntryKovlibPrintf(0, "%s", "library");
  EXPECT_EQ(ReadFile(systemLog), "2026-12-06 13:05:09 Vaultrix: hello\r\n");
  EXPECT_EQ(ReadFile(libraryLog), "2026-12-06 13:05:09 library\r\n");
  EXPECT_EQ(disk.current(), "/ProgramFiles");
}

TEST_F(Logs, NullArgumentsDoNothing)
{
  std::filesystem::remove_all(disk / "/ProgramFiles/Settings");
  TapRuntimeControl()->currentDir = "/";
  TapRuntimeSyncPath(TapRuntimeControl());
  LogEntryGeneric(nullptr, 1, "text");
  LogEntryGeneric("Vaultrix", 1, nullptr);
  LogEntryKovlibPrintf(1, nullptr);
  PrintNet(nullptr);
  EXPECT_FALSE(Exists(disk / "/ProgramFiles/Settings"));
  EXPECT_EQ(disk.current(), "/");
  EXPECT_EQ(console.read(), "");
}

TEST_F(Logs, CharacterAboveLatin1IsLeftOutAndReported)
{
  disk.advanceSeconds(3600);
  LogEntryGeneric("Vaultrix", 1, "Price 5 \xE2\x82\xAC, caf\xC3\xA9");
  EXPECT_EQ(ReadFile(systemLog), "2026-12-06 14:05:09 Vaultrix: Price 5 , caf\xE9\r\n");
  EXPECT_EQ(ReadFile(libraryLog), "2026-12-06 14:05:09 StrToISO: character 0x20ac ignored\r\n");
  std::string want = std::string("2026-12-06 14:05:09  KOVLIB - StrToISO: character 0x20ac ignored\n") + '\0' +
                     "2026-12-06 14:05:09 Vaultrix: Price 5 , caf\xE9\n" + '\0';
  EXPECT_EQ(console.read(), want);
}

TEST_F(Logs, LibraryMessageIsCutAfter511Characters)
{
  std::string longText(600, 'x');
  LogEntryKovlibPrintf(1, "%s", longText.c_str());
  EXPECT_EQ(ReadFile(libraryLog), "2026-12-06 13:05:09 " + std::string(511, 'x') + "\r\n");
  EXPECT_EQ(console.read(), "2026-12-06 13:05:09  KOVLIB - " + std::string(511, 'x') + "\n" + '\0');
}

TEST_F(Logs, ConsoleLineThatDoesNotFitIsCutNotOverflowed)
{
  // The file takes the whole line; the 1024-byte console buffer a cut copy
  // that still ends in LF.
  std::string longText(3000, 'y');
  LogEntryGeneric("Vaultrix", 1, longText.c_str());
  EXPECT_EQ(ReadFile(systemLog), "2026-12-06 13:05:09 Vaultrix: " + longText + "\r\n");
  std::string line = "2026-12-06 13:05:09 Vaultrix: " + longText;
  EXPECT_EQ(console.read(), line.substr(0, PUFFER_SIZE - 2) + "\n" + '\0');
  EXPECT_EQ(strlen(puffer), (size_t)PUFFER_SIZE - 1);
}

TEST_F(Logs, ConsoleIsTheFirstTerminalThatOpens)
{
  ConsoleCapture later({3, 5});
  PrintNet("to the oldest login\n");
  EXPECT_EQ(later.read(3), std::string("to the oldest login\n") + '\0');
  EXPECT_EQ(later.read(5), "");
  EXPECT_EQ(console.read(0), "");
}

TEST_F(Logs, WithoutAConsoleTheFileLineIsStillWritten)
{
  ConsoleCapture none({});
  LogEntryGeneric("Vaultrix", 1, "nobody listens");
  LogEntryKovlibPrintf(1, "nor here");
  EXPECT_EQ(ReadFile(systemLog), "2026-12-06 13:05:09 Vaultrix: nobody listens\r\n");
  EXPECT_EQ(ReadFile(libraryLog), "2026-12-06 13:05:09 nor here\r\n");
}

TEST_F(Logs, UnopenableFileStillReachesTheConsole)
{
  std::filesystem::create_directories(systemLog);
  std::filesystem::create_directories(libraryLog);
  LogEntryGeneric("Vaultrix", 1, "no file");
  LogEntryKovlibPrintf(1, "no file either");
  EXPECT_EQ(console.read(), std::string("2026-12-06 13:05:09 Vaultrix: no file\n") + '\0' +
                                "2026-12-06 13:05:09  KOVLIB - no file either\n" + '\0');
  EXPECT_EQ(disk.current(), "/ProgramFiles");
}

TEST_F(Logs, OutOfMemoryLosesTheLineOnly)
{
  TapRuntime *rt = TapRuntimeControl();
  int64_t live = rt->liveBlocks;
  for (uint64_t fail = 1; fail <= 2; fail++) {
    rt->failAllocAt = rt->allocCalls + fail;
    LogEntryGeneric("Vaultrix", 1, "lost");
    rt->failAllocAt = 0;
    EXPECT_EQ(disk.current(), "/ProgramFiles");
  }
  EXPECT_FALSE(Exists(systemLog));
  EXPECT_EQ(console.read(), "");
  EXPECT_EQ(rt->liveBlocks, live);
}
