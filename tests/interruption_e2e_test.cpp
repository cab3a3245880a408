// The owner stops the plug-in (event code 0x0900) at every step of a small
// backup that includes files of several events each, and the recorder loads it again the same day.  Every backup that
// results is complete, and the day before stays byte- and inode-identical.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/BackupScenario.h"

namespace {

class Interruption : public ::testing::Test {
protected:
  void SetUp() override
  {
    b.Source("/Recorder/settings.ini", "[Timer]\r\nChannel=1\r\n");
    b.Source("/Recorder/Logs/run.log", std::string(5000, 'r'));
    b.Source("/Epg/guide.dat", std::string(70000, 'g'));
    b.Source("/Epg/old.dat", "unchanged");
    b.Source("/with blank/it's \"quoted\".txt", "names");
    b.Source("/top.txt", "top");
    // Files that take several events each: one changed in place (hashed,
    // found changed, copied), one unchanged (hashed, linked).
    b.Source("/Media/changed.rec", std::string((3 << 19) + 5, 'c'));
    b.Source("/Media/same.rec", std::string((1 << 20) + 7, 's'));
    ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
    day1 = SnapshotTree(b.Day("2026-12-01"));

    b.Source("/Recorder/settings.ini", "[Timer]\r\nChannel=2\r\n");
    b.Source("/Epg/new.dat", "new");
    b.Source("/Media/changed.rec", std::string((3 << 19) + 5, 'C'));
    b.Checkpoint();
    iniBefore = ReadFile(b.IniPath());
    TapsimResult normal = b.Run(kDay);
    ASSERT_EQ(normal.status, 0) << b.log;
    ASSERT_TRUE(b.Complete(kDay));
    iniDone = ReadFile(b.IniPath());
    events = (int)normal.trace.size() - 1; // event 0 is TAP_Main
    ASSERT_GT(events, 20);
  }

  const std::string kDay = "2026-12-02";
  BackupScenario b;
  TreeSnapshot day1;
  std::string iniBefore, iniDone;
  int events = 0;
};

TEST_F(Interruption, StoppedAtEveryStepThenLoadedAgain)
{
  for (int n = 1; n <= events && !HasFatalFailure(); n++) {
    SCOPED_TRACE("stopped at event " + std::to_string(n));
    b.Restore();
    TapsimResult stopped = b.Run(kDay, {"--event", std::to_string(n) + "=0x0900"});
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    bool completed = false;
    for (auto &e : stopped.trace)
      completed = completed || (!e.isMain && e.stateBefore == 3 && e.stateAfter == 5);
    EXPECT_EQ(ReadFile(b.IniPath()), completed ? iniDone : iniBefore);
    EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1) << "the stop changed the day-1 backup";

    TapsimResult again = b.Run(kDay);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(ReadFile(b.IniPath()), iniDone);
    EXPECT_TRUE(b.Complete(kDay)) << b.log;
    EXPECT_FALSE(b.Logged("hard links failed")) << b.log;
    TreeSnapshot day2 = SnapshotTree(b.Day(kDay));
    for (const char *same : {"/Epg/old.dat", "/Epg/guide.dat", "/top.txt", "/Media/same.rec"})
      EXPECT_EQ(day2[same], day1[same]) << same << " is not the day-1 file";
    EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1) << "the day-1 backup changed";
  }
  printf("interruptions: 0x0900 at each of %d events, each followed by a full run\n", events);
}

} // namespace
