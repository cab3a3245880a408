// A recorder's day as the logs tell it: the plug-in runs in the simulator
// with a destination whose name holds a euro sign, and the system log, the
// library log and the network console are read from outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/TestSupport.h"

namespace {

const char *kClock = "2026-12-06 13:05:09";
const std::string kSettings = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup \xE2\x82\xAC\r\n";
const std::regex kStamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");

class LogsDay : public ::testing::Test {
protected:
  void SetUp() override
  {
    MakeRecorderDisk(disk.path(), kSettings.c_str());
    WriteFile(systemLog, "2026-12-05 22:00:00 OtherTAP: written yesterday\r\n");
    WriteFile(libraryLog, "2026-12-05 22:00:01 a line of another program\r\n");
  }

  TapsimResult Run()
  {
    return RunTapsim({"--disk", disk.path(), "--clock", kClock, "--tick-step", "100", "--max-events", "2000"});
  }

  // The CR LF lines of a log, checked for their ending, without it.
  static std::vector<std::string> CrLfLines(const std::string &text)
  {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    EXPECT_EQ(start, text.size()) << "a line without CR LF";
    return lines;
  }

  // Console writes are lines ending in LF, each sent with its terminating zero.
  static std::vector<std::string> ConsoleLines(const std::string &text)
  {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find(std::string("\n") + '\0', start)) != std::string::npos) {
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    EXPECT_EQ(start, text.size()) << "console text that is not a line";
    return lines;
  }

  TempDir disk;
  const std::string systemLog = disk / "ProgramFiles/Settings/TAPSystem.log";
  const std::string libraryLog = disk / "ProgramFiles/Settings/Kovlib.log";
};

TEST_F(LogsDay, EveryMessageIsAStampedLineInLatin1OnDiskAndConsole)
{
  const std::string systemBefore = ReadFile(systemLog), libraryBefore = ReadFile(libraryLog);
  TapsimResult r = Run();
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string systemAfter = ReadFile(systemLog), libraryAfter = ReadFile(libraryLog);
  ASSERT_EQ(systemAfter.compare(0, systemBefore.size(), systemBefore), 0) << "earlier lines changed";
  ASSERT_EQ(libraryAfter.compare(0, libraryBefore.size(), libraryBefore), 0) << "earlier lines changed";
  std::vector<std::string> system = CrLfLines(systemAfter.substr(systemBefore.size()));
  std::vector<std::string> library = CrLfLines(libraryAfter.substr(libraryBefore.size()));

  ASSERT_GE(system.size(), 3u);
  EXPECT_EQ(system.front(), "2026-12-06 13:05:09 Vaultrix: Vaultrix V1.0");
  EXPECT_EQ(system.back().substr(20), "Vaultrix: Exiting");
  std::string previous;
  for (const std::string &line : system) {
    SCOPED_TRACE(line);
    ASSERT_GE(line.size(), 30u);
    EXPECT_TRUE(std::regex_match(line.substr(0, 20), kStamp));
    EXPECT_GE(line.substr(0, 19), "2026-12-06 13:05:09");
    EXPECT_GE(line.substr(0, 19), previous);
    previous = line.substr(0, 19);
    EXPECT_EQ(line.substr(20, 10), "Vaultrix: ");
    EXPECT_EQ(line.find('\xE2'), std::string::npos);
  }

  // ISO 8859-1 has no euro sign: the line spells it, rather than leaving
  // a name without it, and nothing is left out.
  auto destination = std::find_if(system.begin(), system.end(), [](const std::string &l) {
    return l.find("Destination: internal disk") != std::string::npos;
  });
  ASSERT_NE(destination, system.end());
  EXPECT_EQ(destination->substr(30), "Destination: internal disk @ '/mnt/hd/Backup \\u20ac/'");
  EXPECT_EQ(library.size(), 0u);

  // The console holds the same lines, ending in LF, in the order they came.
  std::vector<std::string> console = ConsoleLines(r.console);
  EXPECT_EQ(console, system);
  EXPECT_TRUE(Exists(disk / "Backup \xE2\x82\xAC"));
}

TEST_F(LogsDay, ASecondLoadOnlyAddsLines)
{
  ASSERT_EQ(Run().status, 0);
  const std::string systemFirst = ReadFile(systemLog), libraryFirst = ReadFile(libraryLog);
  TapsimResult r = Run();
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string systemSecond = ReadFile(systemLog), librarySecond = ReadFile(libraryLog);
  ASSERT_GT(systemSecond.size(), systemFirst.size());
  EXPECT_EQ(systemSecond.compare(0, systemFirst.size(), systemFirst), 0);
  EXPECT_EQ(librarySecond, libraryFirst);
  std::vector<std::string> added = CrLfLines(systemSecond.substr(systemFirst.size()));
  ASSERT_GE(added.size(), 2u);
  EXPECT_EQ(added.front(), "2026-12-06 13:05:09 Vaultrix: Vaultrix V1.0");
  EXPECT_EQ(added.back().substr(20), "Vaultrix: Exiting");
}

TEST_F(LogsDay, NamesCannotForgeLines)
{
  // Links and a folder whose names hold line ends and other control bytes,
  // one of them an overlong UTF-8 CR, which two conversions to Latin-1
  // would otherwise turn into a real one.
  const std::string forged = "2026-12-06 13:05:11 Vaultrix: Copied: 999 files, 1.0 GB";
  ASSERT_EQ(symlink("nowhere", (disk / ("ProgramFiles/x\r\n" + forged)).c_str()), 0);
  WriteFile(disk / "ProgramFiles/tab\there\x1B[2J/keep", "x");
  ASSERT_EQ(symlink("nowhere", (disk / "ProgramFiles/tab\there\x1B[2J/bell\x07").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (disk / "ProgramFiles/over\xC3\x80\xC2\x8Dlong").c_str()), 0);
  TapsimResult r = Run();
  ASSERT_EQ(r.status, 0) << r.err;

  // Control bytes stand only in line ends; the names show them escaped.
  auto expectVisible = [&](const std::string &text, const std::string &ends) {
    size_t lines = 0;
    for (size_t at = 0; (at = text.find(ends, at)) != std::string::npos; at += ends.size())
      lines++;
    EXPECT_EQ(std::count_if(text.begin(), text.end(), [](char c) { return (byte)c < 0x20; }),
              (std::ptrdiff_t)(lines * ends.size()));
    EXPECT_NE(text.find("x\\x0d\\x0a" + forged + "'"), std::string::npos) << text;
    EXPECT_NE(text.find("tab\\x09here\\x1b[2J/bell\\x07'"), std::string::npos) << text;
    EXPECT_NE(text.find("over\\x0dlong"), std::string::npos) << text;
  };
  const std::string system = ReadFile(systemLog);
  expectVisible(system, "\r\n");
  expectVisible(r.console, std::string("\n") + '\0');
  for (const std::string &line : CrLfLines(system))
    EXPECT_NE(line.rfind(forged, 0), 0u) << "forged line";
}

} // namespace
