// The plug-in's state machine, driven through the simulator: which events
// move it, how the stop event and a re-entrant call are handled, and how the
// wait for an external disk probes and gives up, also when the tick counter
// wraps.  The trace tells each event's state, tick and messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/TestSupport.h"

namespace {

const char kInternal[] = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup/\r\n";
const char kExternal[] = "DestDevice=ext\r\nDestPath=\r\n";
const char kTimeout[] = "Destination: mount wait timeout!";
const char kFound[] = "Destination: external disk @ '/mnt/sdb1/'";
// A stopped clock, so that runs with more events log the same time stamps.
const std::vector<std::string> kStoppedClock = {"--tick-step", "0"};

class StateMachine : public ::testing::Test {
protected:
  // One load of the plug-in on a fresh recorder disk with these settings.
  TapsimResult Load(const char *settings, std::vector<std::string> args = {})
  {
    std::string disk = tmp / ("disk" + std::to_string(++loads));
    MakeRecorderDisk(disk, settings);
    args.insert(args.begin(), {"--disk", disk, "--clock", "2024-03-05 10:00:00", "--max-events", "50000"});
    bool stepGiven = false;
    for (auto &a : args)
      stepGiven |= a == "--tick-step";
    if (!stepGiven)
      args.insert(args.end(), {"--tick-step", "100"});
    return RunTapsim(args);
  }

  std::string Usb()
  {
    std::string usb = tmp / "usb";
    MakeRecorderDisk(usb, nullptr);
    return usb;
  }

  TempDir tmp;
  int loads = 0;
};

// The events after TAP_Main.
std::vector<TraceEvent> Events(const TapsimResult &r)
{
  std::vector<TraceEvent> out;
  for (auto &ev : r.trace)
    if (!ev.isMain)
      out.push_back(ev);
  return out;
}

// What the idle events did, one "before>after messages" entry each.
std::vector<std::string> IdleSteps(const TapsimResult &r)
{
  std::vector<std::string> steps;
  for (auto &ev : Events(r)) {
    if ((ev.code & 0xFFFF) != 0)
      continue;
    std::string step = std::to_string(ev.stateBefore) + ">" + std::to_string(ev.stateAfter);
    for (auto &w : ev.writes)
      step += " " + w.file + ":" + w.text;
    for (auto &p : ev.prints)
      step += " " + p;
    steps.push_back(step);
  }
  return steps;
}

// The first idle event in each state.
std::map<int, uint64_t> FirstEventPerState(const TapsimResult &r)
{
  std::map<int, uint64_t> first;
  for (auto &ev : Events(r))
    if ((ev.code & 0xFFFF) == 0)
      first.emplace(ev.stateBefore, ev.index);
  return first;
}

TEST_F(StateMachine, TheTraceKnowsThePluginsState)
{
  TapsimResult r = Load(kInternal);
  ASSERT_EQ(r.status, 0) << r.err;
  for (auto &ev : r.trace)
    ASSERT_GE(ev.stateBefore, 0) << "the image's State was not found";
  EXPECT_EQ(r.trace.back().stateAfter, 5);
}

TEST_F(StateMachine, EventsOtherThanIdleNeverMoveIt)
{
  TapsimResult baseline = Load(kInternal, kStoppedClock);
  ASSERT_EQ(baseline.status, 0) << baseline.err;

  // A key or other event before every idle event of the baseline run, the
  // stop code's neighbours and a code whose high half is not zero among them.
  const uint32_t codes[] = {0x0001, 0x0100, 0x8000, 0x0901, 0x08FF, 0xFFFF, 0x00010001};
  std::vector<std::string> args = kStoppedClock;
  size_t n = Events(baseline).size();
  for (size_t i = 0; i < n; i++)
    args.insert(args.end(), {"--event", std::to_string(2 * i + 1) + "=" + std::to_string(codes[i % 7])});
  TapsimResult keyed = Load(kInternal, args);
  ASSERT_EQ(keyed.status, 0) << keyed.err;

  for (auto &ev : Events(keyed)) {
    if ((ev.code & 0xFFFF) == 0)
      continue;
    EXPECT_EQ(ev.stateBefore, ev.stateAfter) << "event " << ev.index << " code " << ev.code;
    EXPECT_TRUE(ev.writes.empty() && ev.prints.empty()) << "event " << ev.index;
    EXPECT_EQ(ev.ret, ev.param);
  }
  EXPECT_EQ(IdleSteps(keyed), IdleSteps(baseline));

  // Only the low 16 bits are the code: 0x10000 is an idle event.
  TapsimResult high = Load(kInternal, {"--tick-step", "0", "--event", "1=0x10000"});
  EXPECT_EQ(IdleSteps(high), IdleSteps(baseline));
}

TEST_F(StateMachine, TheWaitIgnoresOtherEventsToo)
{
  std::vector<std::string> args = {"--tick-step", "500"};
  for (int i = 2; i < 70; i += 2)
    args.insert(args.end(), {"--event", std::to_string(i) + "=0x0100"});
  TapsimResult r = Load(kExternal, args);
  ASSERT_EQ(r.status, 0) << r.err;
  int waiting = 0;
  for (auto &ev : Events(r)) {
    waiting += ev.stateBefore == 1;
    if (ev.code != 0)
      EXPECT_EQ(ev.stateBefore, ev.stateAfter) << "event " << ev.index;
  }
  EXPECT_GT(waiting, 30);
}

TEST_F(StateMachine, TheStopEventEndsThePluginInEveryState)
{
  // Every state a run passes through: 0, 2, 3 and 5 on the internal disk,
  // 1 while it waits for an external one.
  std::string usb = Usb();
  struct Road {
    const char *settings;
    std::vector<std::string> args;
  } roads[] = {{kInternal, {}}, {kExternal, {"--ext", "sdb1=" + usb + "@2000"}}};
  std::set<int> stopped;
  // Each load starts without the backup of the load before: that one would
  // be found as the previous backup and change what the copy pass does.
  auto fresh = [&] { std::filesystem::remove_all(usb + "/2024-03-05"); };
  for (auto &road : roads) {
    fresh();
    TapsimResult baseline = Load(road.settings, road.args);
    ASSERT_EQ(baseline.status, 0) << baseline.err;
    for (auto [state, index] : FirstEventPerState(baseline)) {
      std::vector<std::string> args = road.args;
      args.insert(args.end(), {"--event", std::to_string(index) + "=0x0900"});
      fresh();
      TapsimResult r = Load(road.settings, args);
      EXPECT_EQ(r.status, 0) << r.err;
      ASSERT_FALSE(r.trace.empty());
      const TraceEvent &last = r.trace.back();
      EXPECT_EQ(last.index, index) << "state " << state;
      EXPECT_TRUE(last.exited);
      EXPECT_EQ(last.stateBefore, state);
      EXPECT_EQ(last.stateAfter, state);
      EXPECT_FALSE(last.Says("Exiting")) << "the stop event does not pass through the finish state";
      stopped.insert(state);
    }
  }
  EXPECT_EQ(stopped, (std::set<int>{0, 1, 2, 3, 5}));
}

TEST_F(StateMachine, ANestedCallChangesNothing)
{
  std::string usb = Usb();
  struct Road {
    const char *settings;
    std::vector<std::string> args;
  } roads[] = {{kInternal, kStoppedClock}, {kExternal, {"--ext", "sdb1=" + usb + "@2000"}}};
  // Each load starts without the backup of the load before: that one would
  // be found as the previous backup and change what the copy pass does.
  auto fresh = [&] { std::filesystem::remove_all(usb + "/2024-03-05"); };
  for (auto &road : roads) {
    fresh();
    TapsimResult baseline = Load(road.settings, road.args);
    ASSERT_EQ(baseline.status, 0) << baseline.err;
    for (const char *code : {"0x0001", "0x0000"}) {
      // Into every event of the run: a key and an idle event.  A nested stop
      // is not dropped but ends the plug-in at the next event.
      std::vector<std::string> args = road.args;
      for (size_t i = 1; i <= Events(baseline).size(); i++)
        args.insert(args.end(), {"--nested-event", std::to_string(i) + "=" + code});
      fresh();
      TapsimResult r = Load(road.settings, args);
      EXPECT_EQ(r.status, 0) << r.err;
      int delivered = 0;
      for (auto &ev : Events(r)) {
        if (!ev.nestedDelivered)
          continue;
        delivered++;
        EXPECT_EQ(ev.nestedRet, ev.nestedParam) << "event " << ev.index;
        EXPECT_FALSE(ev.nestedExit) << "event " << ev.index;
        EXPECT_EQ(ev.nestedStateBefore, ev.nestedStateAfter) << "event " << ev.index;
      }
      EXPECT_GT(delivered, 3) << code;
      EXPECT_EQ(IdleSteps(r), IdleSteps(baseline)) << code;
    }
  }
}

// The wait, with the tick counter starting at 0 and just before it wraps.
class Wait : public StateMachine, public ::testing::WithParamInterface<uint32_t> {
protected:
  static constexpr uint32_t kStep = 1;

  // The event that started the wait, and the probes the waiting state made:
  // an event that probes makes more host calls than one that only looks at
  // the clock.
  static void Probes(const TapsimResult &r, TraceEvent *start, std::vector<TraceEvent> *probes)
  {
    std::vector<TraceEvent> waiting;
    for (auto &ev : Events(r)) {
      if (ev.stateBefore == 0 && ev.stateAfter == 1)
        *start = ev;
      if (ev.stateBefore == 1)
        waiting.push_back(ev);
    }
    ASSERT_FALSE(waiting.empty());
    uint64_t idle = waiting[0].calls;
    for (auto &ev : waiting)
      idle = std::min(idle, ev.calls);
    for (auto &ev : waiting)
      if (ev.calls > idle)
        probes->push_back(ev);
  }

  std::vector<std::string> Ticks() const
  {
    return {"--tick-step", std::to_string(kStep), "--tick-start", std::to_string(GetParam())};
  }
};

TEST_P(Wait, ProbesEvery500TicksAndGivesUpStrictlyAfter30000)
{
  TapsimResult r = Load(kExternal, Ticks());
  ASSERT_EQ(r.status, 0) << r.err;
  TraceEvent start;
  std::vector<TraceEvent> probes;
  Probes(r, &start, &probes);
  ASSERT_GT(probes.size(), 50u);

  EXPECT_EQ(probes.front().index, start.index + 1) << "the first probe comes on the next idle event";
  for (size_t i = 1; i < probes.size(); i++) {
    uint32_t gap = probes[i].tick - probes[i - 1].tick;
    EXPECT_GT(gap, 500u) << "probe " << i;
    EXPECT_LE(gap, 500u + kStep) << "probe " << i;
  }

  const TraceEvent &last = probes.back();
  EXPECT_TRUE(last.Says(kTimeout));
  EXPECT_EQ(last.stateAfter, 5);
  EXPECT_GT(last.tick - start.tick, 30000u);
  EXPECT_LE(last.tick - start.tick, 30000u + 500u + kStep);
  for (size_t i = 0; i + 1 < probes.size(); i++) {
    EXPECT_FALSE(probes[i].Says(kTimeout));
    EXPECT_LE(probes[i].tick - start.tick, 30000u);
  }
  EXPECT_TRUE(Events(r).back().Says("Exiting"));
}

TEST_P(Wait, FindsADiskPluggedInAtTheNextProbe)
{
  std::vector<std::string> args = Ticks();
  args.insert(args.end(), {"--ext", "sdb1=" + Usb() + "@5000"});
  TapsimResult r = Load(kExternal, args);
  ASSERT_EQ(r.status, 0) << r.err;
  TraceEvent start;
  std::vector<TraceEvent> probes;
  Probes(r, &start, &probes);
  ASSERT_GE(probes.size(), 2u);

  const TraceEvent &found = probes.back();
  const TraceEvent &before = probes[probes.size() - 2];
  EXPECT_TRUE(found.Says(kFound));
  EXPECT_FALSE(found.Says(kTimeout));
  EXPECT_EQ(found.stateAfter, 2);
  EXPECT_GE(found.tick - GetParam(), 5000u) << "plugged in 5000 ticks after the start";
  EXPECT_LT(before.tick - GetParam(), 5000u) << "found by the first probe after it came";
}

INSTANTIATE_TEST_SUITE_P(TickCounter, Wait, ::testing::Values(0u, 0xFFFFFFFFu - 12000u),
                         [](const auto &info) { return info.param ? "AcrossTheWrap" : "FromZero"; });

TEST_F(StateMachine, ATickEqualToTheDeadlineDoesNotYetTimeOut)
{
  // A thousand ticks per event put a probe exactly on the deadline.
  TapsimResult r = Load(kExternal, {"--tick-step", "1000"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto events = Events(r);
  ASSERT_EQ(events[0].stateAfter, 1);
  uint32_t start = events[0].tick;
  for (auto &ev : events) {
    if (ev.tick - start == 30000) {
      EXPECT_EQ(ev.stateAfter, 1);
      EXPECT_FALSE(ev.Says(kTimeout));
    }
    if (ev.Says(kTimeout)) {
      EXPECT_EQ(ev.tick - start, 31000u);
    }
  }
}

TEST_F(StateMachine, ADiskThatComesWhenTheTimeIsUpIsAbandoned)
{
  // Event 1 starts the wait at tick 1000; the probe at 32000 is past the
  // deadline and is the first to see the disk.
  TapsimResult r = Load(kExternal, {"--tick-step", "1000", "--ext", "sdb1=" + Usb() + "@32000"});
  ASSERT_EQ(r.status, 0) << r.err;
  bool seen = false;
  for (auto &ev : Events(r)) {
    if (!ev.Says(kFound))
      continue;
    seen = true;
    EXPECT_EQ(ev.tick, 32000u);
    EXPECT_TRUE(ev.Says(kTimeout));
    EXPECT_EQ(ev.stateAfter, 5);
  }
  EXPECT_TRUE(seen);
}

} // namespace
