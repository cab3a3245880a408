// A recorder that is never restarted: with BackupTime the plug-in stays
// loaded, backs up each day at that time and ends only on the stop event.
// Days pass within one load on virtual ticks of 200 s each (18 events an
// hour), and the clock is set forward and back as by the broadcast time.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/Vaultrix.h"
#include "host/runtime/TapRuntime.h"
#include "support/BackupScenario.h"

namespace {

const std::vector<std::string> kEmulator = {VX_EMULATOR_ARGV};
// What the plug-in holds while it waits, by TAP_MemAlloc's own count: the
// call trace's table of timings (100,000 bytes on the recorder), nothing of
// a backup.  The README states it.
constexpr uint64_t kWaitingBytes = 120000;

class Resident : public ::testing::Test {
protected:
  // One load from the clock's start, days long; the log it wrote.
  TapsimResult Load(BackupScenario &b, const std::string &clock, const std::string &step,
                    std::vector<std::string> extra)
  {
    std::vector<std::string> args = {"--disk", b.Disk(), "--clock", clock, "--tick-step", step, "--max-events", "5000"};
    args.insert(args.end(), extra.begin(), extra.end());
    TapsimResult r = RunTapsim(args);
    log = r.err + ReadFile(b.Pf("/Settings/TAPSystem.log"));
    return r;
  }

  // A complete day: its catalogue, every copy proven by vxdb.
  void ExpectIntact(const std::string &day)
  {
    EXPECT_TRUE(Exists(day + "/VXDB.db")) << day << "\n" << log;
    EXPECT_TRUE(VxdbIntact(day));
  }

  // Every event of the wait holds what TAP_Main left, and does little: a
  // leak of a run shows here, at the latest after the next day's.
  void ExpectWaitingCostsNothing(const TapsimResult &r)
  {
    ASSERT_FALSE(r.trace.empty());
    uint64_t atLoad = r.trace[0].memHeld, waiting = 0;
    for (const TraceEvent &ev : r.trace) {
      if (ev.isMain || ev.stateBefore != 6)
        continue;
      waiting++;
      EXPECT_EQ(ev.memHeld, atLoad) << "event " << ev.index;
      EXPECT_LE(ev.memHeld, kWaitingBytes) << "event " << ev.index;
      // Processor time: a busy machine may hold the thread up, not slow it.
      if (kEmulator.empty() && !VX_SANITIZE)
        EXPECT_LE(ev.cpuUs, 1000u) << "event " << ev.index;
    }
    EXPECT_GT(waiting, 0u);
  }

  std::string log;
};

const char kInternal[] = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\nBackupTime=03:00\r\n";

// Day 1 at load (02:00, before its time); the clock set back across 03:00,
// which must not repeat day 1; set forward past day 2's time, which must not
// skip it; an owner's edit of BackupTime on day 2, which day 3 follows.
TEST_F(Resident, ThreeDaysInOneLoadEachCompleteAndLinkedToTheOneBefore)
{
  BackupScenario b(kInternal);
  b.Source("/Epg/guide.dat", Pattern(300000, 1));
  b.Source("/Plugin/daily.txt", "day 1");
  const std::string daily = "/mnt/hd/ProgramFiles/Plugin/daily.txt", ini = "/mnt/hd" SETTINGS_FOLDER "/Vaultrix.ini";
  TapsimResult r = Load(b, "2026-12-01 02:00:00", "20000",
                        {"--set-clock", "60=2026-12-01 01:00:00", "--at-event", "200=echo 'day 2' >" + daily,
                         "--at-event", "201=sed -i s/03:00/05:00/ " + ini, "--set-clock",
                         "400=2026-12-02 09:00:00", "--at-event", "600=echo 'day 3' >" + daily, "--event",
                         "900=0x0900"});
  ASSERT_EQ(r.status, 0) << r.err << log;
  ASSERT_FALSE(r.trace.empty());
  EXPECT_EQ(r.trace.back().index, 900u);
  EXPECT_TRUE(r.trace.back().exited);
  ExpectInOrder(log, {"Vaultrix V1.0", "Performing recursive scan", "No previous backup found", "Copied: ",
                      "Next backup at 2026-12-02 03:00\r\n",
                      "2026-12-02 09:0", "Performing recursive scan", "Last backup found: 2026-12-01\r\n",
                      "Next backup at 2026-12-03 05:00\r\n",
                      "2026-12-03 05:0", "Performing recursive scan", "Last backup found: 2026-12-02\r\n",
                      "Next backup at 2026-12-04 05:00\r\n"});
  EXPECT_EQ(Count(log, "Performing recursive scan"), 3u) << log;
  EXPECT_EQ(Count(log, "Next backup at"), 3u) << log;
  EXPECT_EQ(log.find("Exiting"), std::string::npos) << log;

  const char *days[] = {"2026-12-01", "2026-12-02", "2026-12-03"};
  for (int d = 0; d < 3; d++) {
    SCOPED_TRACE(days[d]);
    ExpectIntact(b.Day(days[d]));
    EXPECT_EQ(ReadFile(b.Day(days[d]) + "/Plugin/daily.txt"), d == 0 ? "day 1" : "day " + std::to_string(d + 1) + "\n");
    if (d > 0)
      EXPECT_EQ(Inode(b.Day(days[d]) + "/Epg/guide.dat"), Inode(b.Day(days[d - 1]) + "/Epg/guide.dat"));
  }
  char lastBackup[32];
  snprintf(lastBackup, sizeof lastBackup, "LastBackup=%04x",
           (unsigned)(TapDaysFromCivil(2026, 12, 3) + kMjdOfUnixEpoch));
  EXPECT_NE(ReadFile(b.IniPath()).find(lastBackup), std::string::npos) << ReadFile(b.IniPath());
  ExpectWaitingCostsNothing(r);
}

// The USB disk is pulled on day 2 and plugged in again on day 3: day 2 is
// tried and reported, nothing lands where the disk was, and day 3 links to
// day 1.
TEST_F(Resident, ADiskPulledOnDayTwoIsReportedAndDayThreeIsComplete)
{
  TempDir usb;
  std::filesystem::create_directories(usb / "VB");
  BackupScenario b("DestDevice=ext\r\nDestPath=/VB\r\nBackupTime=03:00\r\n", usb / "VB");
  b.Source("/Epg/guide.dat", Pattern(300000, 2));
  // Out at day 2, 00:13; in again at day 2, 22:26.
  TapsimResult r = Load(b, "2026-12-01 02:00:00", "20000",
                        {"--ext", "sdb1=" + usb.path() + "@0-8000000-16000000", "--event", "1000=0x0900"});
  ASSERT_EQ(r.status, 0) << r.err << log;
  ExpectInOrder(log, {"Destination: external disk @ '/mnt/sdb1/VB/'", "Copied: ",
                      "Next backup at 2026-12-02 03:00\r\n",
                      "2026-12-02 03:0", "Destination: external disk not found, waiting up to 3 minutes",
                      "Destination: mount wait timeout!", "Next backup at 2026-12-03 03:00\r\n",
                      "2026-12-03 03:0", "Destination: external disk @ '/mnt/sdb1/VB/'",
                      "Last backup found: 2026-12-01\r\n", "Next backup at 2026-12-04 03:00\r\n"});
  EXPECT_EQ(r.err.find("was pulled out"), std::string::npos) << r.err;
  EXPECT_EQ(NamesIn(usb / "VB"), (std::set<std::string>{"2026-12-01", "2026-12-03", VXDB_SHARE_NAME}));
  ExpectIntact(b.Day("2026-12-03"));
  EXPECT_EQ(Inode(b.Day("2026-12-03") + "/Epg/guide.dat"), Inode(b.Day("2026-12-01") + "/Epg/guide.dat"));
}

// At a tick of 0.1 s: a backup at load, the wait, a clock set to just before
// the next day's time, that day's backup, the wait again.  The wait reads
// the clock once a second at most, holds nothing of a backup and costs no
// processor time to speak of.
TEST_F(Resident, WaitingReadsTheClockOnceASecondAndHoldsNothingOfABackup)
{
  BackupScenario b(kInternal);
  b.Source("/Epg/guide.dat", Pattern(300000, 3));
  TapsimResult r = Load(b, "2026-12-01 02:59:00", "10",
                        {"--set-clock", "1000=2026-12-02 02:59:50", "--event", "3000=0x0900", "--stats"});
  ASSERT_EQ(r.status, 0) << r.err << log;
  ExpectInOrder(log, {"Next backup at 2026-12-02 03:00\r\n", "2026-12-02 03:00:0", "Last backup found: 2026-12-01",
                      "Next backup at 2026-12-03 03:00\r\n"});
  ExpectIntact(b.Day("2026-12-02"));
  ExpectWaitingCostsNothing(r);
  // An event that reads the clock makes more host calls than one that only
  // looks at the tick; such events lie more than 100 ticks apart.
  uint64_t fewest = UINT64_MAX;
  for (const TraceEvent &ev : r.trace)
    if (ev.stateBefore == 6 && ev.stateAfter == 6)
      fewest = std::min(fewest, ev.calls);
  uint32_t lastLook = 0;
  int looks = 0;
  for (const TraceEvent &ev : r.trace) {
    if (ev.stateBefore != 6 || ev.calls == fewest)
      continue;
    if (looks++ > 0)
      EXPECT_GT(ev.tick - lastLook, 100u) << "event " << ev.index;
    lastLook = ev.tick;
  }
  EXPECT_GT(looks, 10);
  size_t stats = r.out.find("tapsim: state 6: ");
  ASSERT_NE(stats, std::string::npos) << r.out;
  std::string line = r.out.substr(stats, r.out.find('\n', stats) - stats);
  EXPECT_NE(line.find(", at most " + std::to_string(r.trace[0].memHeld) + " bytes held"), std::string::npos) << line;
}

} // namespace
