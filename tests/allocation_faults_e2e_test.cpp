// Out of memory at every allocation of a small backup: TAP_MemAlloc fails at
// call N, or at every call from N on, for every N up to what a normal run
// makes, each time from the same disk.  Whatever fails, the plug-in ends
// through TAP_Exit, marks the day done only after a complete copy pass, and
// never touches the backup of the day before.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/BackupScenario.h"

namespace {

// "tapsim: TAP_MemAlloc called N times, M failed": N and M.
std::pair<int, int> Allocations(const TapsimResult &r)
{
  size_t at = r.err.find("TAP_MemAlloc called ");
  int calls = -1, failed = -1;
  if (at != std::string::npos)
    sscanf(r.err.c_str() + at, "TAP_MemAlloc called %d times, %d failed", &calls, &failed);
  return {calls, failed};
}

bool CopyPassCompleted(const TapsimResult &r)
{
  for (auto &e : r.trace)
    if (!e.isMain && e.stateBefore == 3 && e.stateAfter == 5)
      return true;
  return false;
}

class AllocationFaults : public ::testing::Test {
protected:
  void SetUp() override
  {
    b.Source("/Recorder/settings.ini", "[Timer]\r\nChannel=1\r\n");
    b.Source("/Recorder/Logs/run.log", std::string(5000, 'r'));
    b.Source("/Epg/guide.dat", std::string(70000, 'g'));
    b.Source("/Caf\xC3\xA9/Men\xC3\xBC.txt", "utf-8 names are converted for the log");
    b.Source("/top.txt", "top");
    // Enough folders to grow the scan's queue, files to grow the catalogue.
    for (int i = 0; i < 20; i++)
      for (int j = 0; j < 6; j++)
        b.Source("/Plug-in with a rather long folder name " + std::to_string(i) + "/file" + std::to_string(j),
                 std::to_string(i * j));
    ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
    ASSERT_TRUE(b.Complete("2026-12-01"));
    day1 = SnapshotTree(b.Day("2026-12-01"));

    // Day 2 copies some files and links the others.
    b.Source("/Recorder/settings.ini", "[Timer]\r\nChannel=2\r\n");
    b.Source("/Epg/new.dat", "new");
    b.Checkpoint();
    iniBefore = ReadFile(b.IniPath());
    TapsimResult normal = b.Run(kDay, {"--fail-alloc", "1000000"});
    ASSERT_EQ(normal.status, 0) << b.log;
    ASSERT_TRUE(b.Complete(kDay));
    iniDone = ReadFile(b.IniPath());
    ASSERT_NE(iniDone, iniBefore);
    calls = Allocations(normal).first;
    ASSERT_GT(calls, 10) << normal.err;
  }

  // One run of day 2 from the checkpoint, with this allocation plan.
  void Sweep(const std::string &plan, int *marked)
  {
    b.Restore();
    TapsimResult r = b.Run(kDay, {"--fail-alloc", plan});
    SCOPED_TRACE("--fail-alloc " + plan);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(Allocations(r).second, 1) << "the planned failure never came: " << r.err;
    std::string ini = ReadFile(b.IniPath());
    if (ini == iniDone) {
      EXPECT_TRUE(CopyPassCompleted(r)) << "day marked done without a completed copy pass";
      EXPECT_TRUE(b.Complete(kDay)) << b.log;
      ++*marked;
    } else {
      EXPECT_EQ(ini, iniBefore) << "the settings file was damaged";
    }
    EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1) << "the day-1 backup changed";
  }

  const std::string kDay = "2026-12-02";
  BackupScenario b;
  TreeSnapshot day1;
  std::string iniBefore, iniDone;
  int calls = 0;
};

TEST_F(AllocationFaults, EveryAllocationFailingOnceOrForGood)
{
  int markedOnce = 0, markedFrom = 0;
  for (int n = 1; n <= calls && !HasFatalFailure(); n++) {
    Sweep(std::to_string(n), &markedOnce);
    Sweep(std::to_string(n) + "+", &markedFrom);
  }
  // Some runs end early, some still finish their backup.
  EXPECT_GT(markedOnce, 0);
  EXPECT_LT(markedFrom, calls);
  printf("allocation sweep: %d allocation calls, %d runs, day marked done in %d (once) and %d (from N on)\n",
         calls, 2 * calls, markedOnce, markedFrom);
}

} // namespace
