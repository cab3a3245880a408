// Call tracing: the stack of open procedures, the depth limit and its
// messages, per-procedure timing, and the console lines of entries.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/HostDisk.h"

namespace {

class CallTrace : public ::testing::Test {
protected:
  HostDisk disk;
  ConsoleCapture console;
  TapRuntime *rt = TapRuntimeControl();

  void SetUp() override
  {
    std::filesystem::create_directories(disk / "/ProgramFiles/Settings");
    rt->tick = rt->tickStart = 1000;
    CallTraceInit();
  }
  void TearDown() override { CallTraceInit(); }

  std::vector<std::string> LibraryLog()
  {
    std::vector<std::string> out;
    for (auto &line : Lines(ReadFile(disk / "/ProgramFiles/Settings/Kovlib.log")))
      out.push_back(line.substr(20));
    return out;
  }

  const CallTraceStat *Stat(const char *name)
  {
    for (int i = 0; i < CallTraceStatsEntries; i++)
      if (CallTraceStats[i].ProcName == name)
        return &CallTraceStats[i];
    return nullptr;
  }

  void Call(const char *name, dword ticks)
  {
    CallTraceEnter(name);
    rt->tick += ticks;
    CallTraceExit(nullptr);
  }
};

std::string Z(const std::string &line) { return line + '\0'; }

} // namespace

TEST_F(CallTrace, EnabledTracePrintsEachEntryIndentedByDepth)
{
  CallTraceEnter("A");
  CallTraceEnter("B");
  CallTraceExit(nullptr);
  CallTraceEnter("C");
  CallTraceExit(nullptr);
  CallTraceExit(nullptr);
  EXPECT_EQ(console.read(), Z("A\n") + Z("  B\n") + Z("  C\n"));
  EXPECT_EQ(CallLevel, 0);
}

TEST_F(CallTrace, DisabledTraceIsSilentButStillTimes)
{
  CallTraceEnable(0);
  static const char A[] = "A", B[] = "B";
  CallTraceEnter(A);
  rt->tick += 50;
  Call(B, 20);
  rt->tick += 30;
  CallTraceExit(nullptr);
  EXPECT_EQ(console.read(), "");
  ASSERT_EQ(CallTraceStatsEntries, 2);
  EXPECT_EQ(CallTraceStats[0].ProcName, B);
  EXPECT_EQ(CallTraceStats[1].ProcName, A);
  EXPECT_EQ(Stat(A)->MinTicks, 100u);
  EXPECT_EQ(Stat(A)->TotalTicks, 100u);
  EXPECT_EQ(Stat(B)->MaxTicks, 20u);
  EXPECT_EQ(Stat(B)->Calls, 1u);
}

TEST_F(CallTrace, RepeatedCallsKeepShortestLongestTotalAndCount)
{
  static const char F[] = "F";
  Call(F, 5);
  Call(F, 3);
  Call(F, 9);
  const CallTraceStat *s = Stat(F);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->MinTicks, 3u);
  EXPECT_EQ(s->MaxTicks, 9u);
  EXPECT_EQ(s->TotalTicks, 17u);
  EXPECT_EQ(s->Calls, 3u);
  CallTraceStats[0].Calls = 0xFFFFFFFEu;
  Call(F, 1);
  Call(F, 1);
  EXPECT_EQ(s->Calls, 0xFFFFFFFFu);
  EXPECT_EQ(s->TotalTicks, 19u);
  // The tick counter may wrap during a call.
  rt->tick = 0xFFFFFFF0u;
  Call(F, 0x20);
  EXPECT_EQ(s->MaxTicks, 0x20u);
}

TEST_F(CallTrace, ProceduresAreToldApartByTheirLiteral)
{
  static const char one[] = "Step", other[] = "Step";
  Call(one, 1);
  Call(one, 2);
  Call(other, 4);
  ASSERT_EQ(CallTraceStatsEntries, 2);
  EXPECT_EQ(Stat(one)->Calls, 2u);
  EXPECT_EQ(Stat(other)->Calls, 1u);
}

TEST_F(CallTrace, FiftyFirstLevelIsReportedAndNotStored)
{
  CallTraceEnable(0);
  static char names[52][8];
  for (int i = 0; i < 51; i++) {
    snprintf(names[i], sizeof names[i], "P%d", i);
    CallTraceEnter(names[i]);
  }
  EXPECT_EQ(CallLevel, 51);
  EXPECT_EQ(LibraryLog(), std::vector<std::string>{"CallLevel Overflow! (TAPID 0x2a565854)"});
  EXPECT_EQ(console.read(), Z("2026-12-06 13:05:09  KOVLIB - CallLevel Overflow! (TAPID 0x2a565854)\n"));
  EXPECT_EQ(CallTraceStack[CALLTRACE_DEPTH - 1].ProcName, names[49]);
  CallTraceExit(nullptr);
  EXPECT_EQ(CallLevel, 50);
  EXPECT_EQ(CallTraceStatsEntries, 0);
  // The frames below pair up by depth as before.
  for (int i = 49; i >= 0; i--) {
    rt->tick += 1;
    CallTraceExit(nullptr);
    ASSERT_EQ(CallTraceStats[CallTraceStatsEntries - 1].ProcName, names[i]);
    ASSERT_EQ(CallTraceStats[CallTraceStatsEntries - 1].MaxTicks, (dword)(50 - i));
  }
  EXPECT_EQ(CallLevel, 0);
}

TEST_F(CallTrace, IndentationStopsAtOneHundredBlanks)
{
  for (int i = 0; i < 60; i++)
    CallTraceEnter("deep");
  std::string out = console.read();
  EXPECT_NE(out.find(Z(std::string(98, ' ') + "deep\n")), std::string::npos);
  EXPECT_EQ(out.find(std::string(101, ' ')), std::string::npos);
  EXPECT_NE(out.find(Z(std::string(100, ' ') + "deep\n")), std::string::npos);
  EXPECT_EQ(LibraryLog().size(), 10u);
}

TEST_F(CallTrace, ExitWithoutEntryIsReported)
{
  CallTraceExit(nullptr);
  EXPECT_EQ(CallLevel, 0);
  EXPECT_EQ(CallTraceStatsEntries, 0);
  EXPECT_EQ(LibraryLog(), std::vector<std::string>{"CallLevel Underflow! (TAPID 0x2a565854)"});
}

TEST_F(CallTrace, CheckWordIsRepairedOnce)
{
  CallTraceEnter("A");
  CallTraceEnter("B");
  console.read();
  dword word = CALLTRACE_MAGIC;
  CallTraceExit(&word);
  EXPECT_EQ(console.read(), "");
  word = 0x12345678;
  CallTraceExit(&word);
  EXPECT_EQ(console.read(), Z("INVALID MAGIC!\n"));
  EXPECT_EQ(word, CALLTRACE_MAGIC);
  CallTraceEnter("C");
  CallTraceEnter("D");
  word = 0;
  CallTraceExit(&word);
  EXPECT_EQ(console.read(), Z("C\n") + Z("  D\n") + Z("  INVALID MAGIC!\n"));
  CallTraceExit(nullptr);
}

TEST_F(CallTrace, NamesArePrintedInLatin1)
{
  CallTraceEnter("Caf\xC3\xA9 \xE2\x82\xAC");
  CallTraceExit(nullptr);
  EXPECT_EQ(console.read(),
            Z("2026-12-06 13:05:09  KOVLIB - StrToISO: character 0x20ac ignored\n") + Z("Caf\xE9 \n"));
}

TEST_F(CallTrace, StatisticsResetAndTheirLimits)
{
  int64_t live = rt->liveBlocks;
  Call("A", 1);
  CallTraceResetStats();
  EXPECT_EQ(CallTraceStatsEntries, 0);
  EXPECT_EQ(rt->liveBlocks, live);
  ASSERT_NE(CallTraceStats, nullptr);
  EXPECT_EQ(CallTraceStats[CALLTRACE_STATS - 1].ProcName, nullptr);

  // A full table records no new procedure, but still the known ones.
  static char names[CALLTRACE_STATS + 1][8];
  for (int i = 0; i <= CALLTRACE_STATS; i++) {
    snprintf(names[i], sizeof names[i], "%d", i);
    Call(names[i], 1);
  }
  EXPECT_EQ(CallTraceStatsEntries, CALLTRACE_STATS);
  EXPECT_EQ(Stat(names[CALLTRACE_STATS]), nullptr);
  Call(names[0], 1);
  EXPECT_EQ(Stat(names[0])->Calls, 2u);

  // Without a table, nothing is timed and nothing breaks.
  rt->failAllocAt = rt->allocCalls + 1;
  CallTraceResetStats();
  rt->failAllocAt = 0;
  EXPECT_EQ(CallTraceStats, nullptr);
  Call("A", 1);
  EXPECT_EQ(CallTraceStatsEntries, 0);
  EXPECT_EQ(CallLevel, 0);
}
