// The application's log and its size texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/Vaultrix.h"
#include "support/HostDisk.h"

namespace {

std::string SizeText(uint64_t size)
{
  char out[512];
  memset(out, '#', sizeof out);
  FileSizeToString((dword)size, (dword)(size >> 32), out);
  EXPECT_EQ(out[16], '#') << "written past 16 bytes";
  return out;
}

} // namespace

TEST(FileSizeText, EveryUnitBoundary)
{
  const uint64_t K = 1024, M = K * K, G = M * K, T = G * K;
  EXPECT_EQ(SizeText(0), "0 B");
  EXPECT_EQ(SizeText(1023), "1023 B");
  EXPECT_EQ(SizeText(1024), "1.0 kB");
  EXPECT_EQ(SizeText(1536), "1.5 kB");
  // "%.1f" rounds up while the unit is still chosen by the size.
  EXPECT_EQ(SizeText(M - 1), "1024.0 kB");
  EXPECT_EQ(SizeText(M), "1.0 MB");
  EXPECT_EQ(SizeText(G - 1), "1024.0 MB");
  EXPECT_EQ(SizeText(G), "1.0 GB");
  EXPECT_EQ(SizeText(G + G / 2), "1.5 GB");
  EXPECT_EQ(SizeText(4 * G), "4.0 GB");
  EXPECT_EQ(SizeText(T - 1), "1024.0 GB");
  EXPECT_EQ(SizeText(T), "1.0 TB");
  EXPECT_EQ(SizeText(4 * T - 1), "4.0 TB");
  // Each unit counts whole units of the next smaller one (1.0508 MB here).
  EXPECT_EQ(SizeText(M + 51 * K + 1023), "1.0 MB");
  // Beyond the supported range the text grows but stays in bounds.
  EXPECT_EQ(SizeText(~0ull), "16777216.0 TB");
  FileSizeToString(1, 0, nullptr);
}

TEST(WriteLog, FirstMessageCreatesTheFoldersAndEveryMessageIsLogged)
{
  HostDisk disk;
  ConsoleCapture console;
  CallTraceEnable(0); // as TAP_Main does
  disk.advanceSeconds(1);
  char banner[] = "Vaultrix V1.0";
  WriteLog(banner);
  EXPECT_TRUE(std::filesystem::is_directory(disk / "/ProgramFiles/Settings/Vaultrix"));
  const std::string systemLog = disk / "/ProgramFiles/Settings/TAPSystem.log";
  EXPECT_EQ(ReadFile(systemLog), "2026-12-06 13:05:10 Vaultrix: Vaultrix V1.0\r\n");
  EXPECT_EQ(console.read(), std::string("2026-12-06 13:05:10 Vaultrix: Vaultrix V1.0\n") + '\0');
  EXPECT_EQ(disk.current(), "/ProgramFiles");

  // The message is converted in place; folders are not made again.
  std::filesystem::remove(disk / "/ProgramFiles/Settings/Vaultrix");
  char message[LOGSTRING_SIZE] = "Destination: internal disk @ '/mnt/hd/Caf\xC3\xA9/'";
  WriteLog(message);
  EXPECT_STREQ(message, "Destination: internal disk @ '/mnt/hd/Caf\xE9/'");
  EXPECT_FALSE(Exists(disk / "/ProgramFiles/Settings/Vaultrix"));
  EXPECT_EQ(ReadFile(systemLog), "2026-12-06 13:05:10 Vaultrix: Vaultrix V1.0\r\n"
                                 "2026-12-06 13:05:10 Vaultrix: Destination: internal disk @ '/mnt/hd/Caf\xE9/'\r\n");
  EXPECT_EQ(disk.current(), "/ProgramFiles");
  EXPECT_EQ(CallLevel, 0);

  // What the system log's own conversion could still turn into a control
  // byte (an overlong CR) is escaped whole when no memory was left for ours.
  char overlong[LOGSTRING_SIZE] = "over\xC3\x80\xC2\x8Dlong\r";
  TapRuntime *rt = TapRuntimeControl();
  rt->failAllocAt = rt->allocCalls + 1;
  WriteLog(overlong);
  rt->failAllocAt = 0;
  EXPECT_EQ(Lines(ReadFile(systemLog)).back(), "2026-12-06 13:05:10 Vaultrix: over\\xc3\\x80\\xc2\\x8dlong\\x0d");
}
