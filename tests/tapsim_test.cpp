// The recorder simulator: its command line, exit statuses, the sandbox it
// builds, the console it captures, and its clock, ticks and faults.  Most
// cases run a small probe plug-in that reports what it sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <sstream>

#include "support/ShareServer.h"
#include "support/TestSupport.h"

namespace {

class Tapsim : public ::testing::Test {
protected:
  void SetUp() override { MakeRecorderDisk(disk, nullptr); }

  // Runs the probe plug-in with a script of "EVENT ACTION ARGS" lines.
  TapsimResult Probe(const std::string &script, std::vector<std::string> args = {})
  {
    WriteFile(disk + "/probe.cmd", script);
    args.insert(args.begin(), {"--disk", disk});
    return RunTapsimOn(VX_PROBE_IMAGE, args);
  }

  // What the probe printed during event `index`.
  static std::vector<std::string> PrintsOf(const TapsimResult &r, uint64_t index)
  {
    for (auto &ev : r.trace)
      if (ev.index == index)
        return ev.prints;
    return {};
  }

  // The first thing printed during event `index`, or "".
  static std::string PrintOf(const TapsimResult &r, uint64_t index)
  {
    auto prints = PrintsOf(r, index);
    return prints.empty() ? "" : prints[0];
  }

  TempDir tmp;
  std::string disk = tmp / "disk";
};

TEST_F(Tapsim, HelpNamesEveryOption)
{
  TapsimResult r = RunTapsimArgs({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *option :
       {"--disk", "--ext", "--clock", "--tick-step", "--tick-start", "--chdir-success", "--utf8-firmware", "--event",
        "--nested-event", "--at-event", "--max-events", "--fail-alloc", "--fail-hdd-write", "--console", "--trace",
        "--stats", "--no-task-table", "--listing-order", "--kernel", "--cpu", "--disk-speed", "--recording",
        "--fsync-flushes-disk", "--stack-size", "--set-clock", "--help", "Exit status"})
    EXPECT_TRUE(Contains(r.out, option)) << option;
}

TEST_F(Tapsim, RefusesBadCommandLines)
{
  struct Case {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{VX_IMAGE}, "--disk DIR is required"},
      {{"--disk", disk}, "no IMAGE"},
      {{"--disk", disk, "--ext", "sda1=" + disk, VX_IMAGE}, "sdb to sdz8"},
      {{"--disk", disk, "--ext", "sdb9=" + disk, VX_IMAGE}, "sdb to sdz8"},
      {{"--disk", disk, "--ext", "hd=" + disk, VX_IMAGE}, "sdb to sdz8"},
      {{"--disk", disk, "--ext", "sdb1=" + disk, "--ext", "sdb1=" + disk, VX_IMAGE}, "given twice"},
      {{"--disk", disk, "--clock", "2024-02-30 10:00:00", VX_IMAGE}, "--clock"},
      {{"--disk", disk, "--clock", "2040-01-01 00:00:00", VX_IMAGE}, "2038-04-22"},
      {{"--disk", disk, "--chdir-success", "2", VX_IMAGE}, "0 or 1"},
      {{"--disk", disk, "--event", "0=1", VX_IMAGE}, "N from 1"},
      {{"--disk", disk, "--at-event", "3=", VX_IMAGE}, "N=COMMAND"},
      {{"--disk", disk, "--fail-alloc", "0", VX_IMAGE}, "--fail-alloc"},
      {{"--disk", disk, "--tick-start", "0x100000000", VX_IMAGE}, "--tick-start"},
      {{"--disk", disk, "--no-such-option", VX_IMAGE}, "unknown option"},
      {{"--disk", disk, "--listing-order", "shuffle:", VX_IMAGE}, "--listing-order"},
      {{"--disk", tmp / "missing", VX_IMAGE}, "--disk"},
      {{"--disk", disk, "--kernel", "2.4.20", VX_IMAGE}, "--kernel wants"},
      {{"--disk", disk, "--kernel", "2.6.x", VX_IMAGE}, "--kernel wants"},
      {{"--disk", disk, "--cpu", "0", VX_IMAGE}, "--cpu wants"},
      {{"--disk", disk, "--cpu", "101", VX_IMAGE}, "--cpu wants"},
      {{"--disk", disk, "--recording", "2", VX_IMAGE}, "needs --disk-speed"},
      {{"--disk", disk, "--disk-speed", "2", "--recording", "2", VX_IMAGE}, "less than --disk-speed"},
      {{"--disk", disk, "--stack-size", "8", VX_IMAGE}, "--stack-size"},
      {{"--disk", disk, "--ext", "sdb1=" + disk + "@50-50", VX_IMAGE}, "pulled after it is plugged in"},
      {{"--disk", disk, "--ext", "sdb1=" + disk + "@50-60-55", VX_IMAGE}, "plugged in again after it is pulled"},
      {{"--disk", disk, "--set-clock", "0=2024-03-05 10:00:00", VX_IMAGE}, "N from 1"},
      {{"--disk", disk, "--set-clock", "3=2040-01-01 00:00:00", VX_IMAGE}, "2038-04-22"},
  };
  for (auto &c : cases) {
    TapsimResult r = RunTapsimArgs(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
  }
}

TEST_F(Tapsim, ReportsImagesThatCannotBeLoaded)
{
  TapsimResult missing = RunTapsimOn(tmp / "nothing.tap", {"--disk", disk});
  EXPECT_EQ(missing.status, 3);
  EXPECT_TRUE(Contains(missing.err, "cannot load image")) << missing.err;

  // A shared object, but no plug-in.
  TapsimResult foreign = RunTapsimOn(VX_UTF8FW, {"--disk", disk});
  EXPECT_EQ(foreign.status, 3);
  EXPECT_TRUE(Contains(foreign.err, "no __TAP_Init_")) << foreign.err;

  // A call the recorder's C library lacks: refused before the load, named.
  TapsimResult imports = RunTapsimOn(VX_FOREIGN_IMAGE, {"--disk", disk});
  EXPECT_EQ(imports.status, 3);
  EXPECT_TRUE(Contains(imports.err, "imports copy_file_range")) << imports.err;
}

TEST_F(Tapsim, PlaysTheRecordersDiskFirmwareAndListings)
{
  // The internal disk is device 8:2, whatever the machine's folder is on.
  TapsimResult r = Probe("0 dev /mnt/hd\n0 dev /mnt\n0 symbol _tapTask\n0 exit\n");
  auto prints = PrintsOf(r, 0);
  ASSERT_EQ(prints.size(), 3u) << r.err;
  EXPECT_EQ(prints[0], "dev /mnt/hd 2050\n");
  EXPECT_NE(prints[1], "dev /mnt 2050\n");
  EXPECT_EQ(prints[2], "symbol _tapTask 1\n");
  r = Probe("0 symbol _tapTask\n0 symbol _curTapTask\n0 exit\n", {"--no-task-table"});
  EXPECT_EQ(PrintsOf(r, 0), (std::vector<std::string>{"symbol _tapTask 0\n", "symbol _curTapTask 0\n"}));

  std::string sorted;
  for (char c = 'a'; c <= 't'; c++) {
    WriteFile(disk + "/many/" + c, "");
    sorted += std::string(" ") + c;
  }
  auto list = [&](const std::string &order) {
    return PrintOf(Probe("0 list /mnt/hd/many\n0 exit\n", {"--listing-order", order}), 0);
  };
  auto letters = [](std::string s) { return std::sort(s.begin(), s.end()), s; };
  EXPECT_EQ(list("sorted"), "list" + sorted + "\n");
  std::string shuffled = list("shuffle:1");
  EXPECT_NE(shuffled, "list" + sorted + "\n");
  EXPECT_EQ(letters(shuffled), letters("list" + sorted + "\n"));
  EXPECT_EQ(list("shuffle:1"), shuffled) << "a seed gives one order";
  EXPECT_EQ(letters(list("disk")), letters(shuffled));
}

TEST_F(Tapsim, SucceedsOnlyWhenThePluginCallsTapExit)
{
  TapsimResult exits = Probe("2 exit\n", {"--tick-step", "1"});
  EXPECT_EQ(exits.status, 0) << exits.err;
  ASSERT_EQ(exits.trace.size(), 3u);
  EXPECT_TRUE(exits.trace.back().exited);

  TapsimResult limit = Probe("", {"--tick-step", "1", "--max-events", "5"});
  EXPECT_EQ(limit.status, 1);
  EXPECT_TRUE(Contains(limit.err, "event limit of 5")) << limit.err;
  EXPECT_EQ(limit.trace.size(), 6u);

  TapsimResult declines = Probe("0 nonresident\n");
  EXPECT_EQ(declines.status, 1);
  EXPECT_TRUE(Contains(declines.err, "TAP_Main returned 0")) << declines.err;
}

TEST_F(Tapsim, ReportsACrashWithItsEvent)
{
  TapsimResult r = Probe("3 crash\n", {"--tick-step", "10"});
  EXPECT_EQ(r.status, 4);
  // Under the sanitizers the fault is reported first, then the run aborts.
  EXPECT_TRUE(Contains(r.err, "crashed: signal " + std::to_string(VX_SANITIZE ? SIGABRT : SIGSEGV))) << r.err;
  EXPECT_TRUE(Contains(r.err, "in event 3 (code 0x0000, tick 30)")) << r.err;
}

TEST_F(Tapsim, ReportsAPluginStuckInAbort)
{
  TapsimResult r = Probe("2 abort\n", {"--tick-step", "1"});
  EXPECT_EQ(r.status, 4);
  EXPECT_TRUE(Contains(r.err, "stuck")) << r.err;
  EXPECT_TRUE(Contains(r.err, "event 2")) << r.err;
}

TEST_F(Tapsim, TheInternalDiskIsAtMntHdForTheCLibraryAndAtRootForHostCalls)
{
  WriteFile(disk + "/marker", "m");
  TapsimResult r = Probe("1 exist /mnt/hd/marker\n"
                         "1 create /mnt/hd/made-by-libc\n"
                         "1 fwrite made-by-host hello\n"
                         "2 exit\n",
                         {"--tick-step", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(PrintsOf(r, 1), (std::vector<std::string>{"exist /mnt/hd/marker 1\n", "create /mnt/hd/made-by-libc ok\n",
                                                      "fwrite 1\n"}));
  EXPECT_TRUE(Exists(disk + "/made-by-libc"));
  // Host file calls start in /ProgramFiles.
  EXPECT_EQ(ReadFile(disk + "/ProgramFiles/made-by-host"), "hello");
}

TEST_F(Tapsim, TheMachineOutsideTheDisksIsReadOnly)
{
  std::string outside = tmp / "outside";
  TapsimResult r = Probe("1 create " + outside + "\n" +
                             "1 system touch " + tmp / "by-shell" + " 2>/dev/null\n" +
                             "1 create /mnt/hd/inside\n"
                             "2 exit\n",
                         {"--tick-step", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto prints = PrintsOf(r, 1);
  ASSERT_EQ(prints.size(), 3u);
  EXPECT_EQ(prints[0], "create " + outside + " Read-only file system\n");
  EXPECT_NE(prints[1], "system 0\n");
  EXPECT_EQ(prints[2], "create /mnt/hd/inside ok\n");
  EXPECT_FALSE(Exists(outside));
  EXPECT_FALSE(Exists(tmp / "by-shell"));
  EXPECT_TRUE(Exists(disk + "/inside"));
}

TEST_F(Tapsim, NothingOfTheRunIsLeftOutside)
{
  // The plug-in mounts something under /mnt itself and leaves a process
  // running, as a network mount does.
  std::string unique = "vxleak" + std::to_string(getpid());
  TapsimResult r = Probe("1 create /mnt/" + unique + "\n" +
                             "1 system mkdir /mnt/sdq && mount -t tmpfs vxprobe /mnt/sdq\n"
                             "1 exist /mnt/sdq\n"
                             "1 system sleep 1000 & echo $! > /mnt/hd/pid\n"
                             "2 exit\n",
                         {"--tick-step", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto prints = PrintsOf(r, 1);
  ASSERT_EQ(prints.size(), 4u);
  EXPECT_EQ(prints[0], "create /mnt/" + unique + " ok\n");
  EXPECT_EQ(prints[1], "system 0\n");
  EXPECT_EQ(prints[2], "exist /mnt/sdq 1\n");
  EXPECT_FALSE(Exists("/mnt/" + unique));
  std::string mounts = ReadFile("/proc/self/mountinfo");
  EXPECT_FALSE(Contains(mounts, "vxprobe"));
  EXPECT_FALSE(Contains(mounts, " /mnt/hd "));

  pid_t pid = (pid_t)atol(ReadFile(disk + "/pid").c_str());
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(Contains(r.err, "ended 1 process")) << r.err;
  EXPECT_FALSE(Contains(ReadFile("/proc/" + std::to_string(pid) + "/cmdline"), "sleep"));
}

// Processes whose command line holds text.
int ProcessesWith(const std::string &text)
{
  int n = 0;
  DIR *proc = opendir("/proc");
  while (struct dirent *e = proc ? readdir(proc) : nullptr) {
    if (!isdigit((unsigned char)e->d_name[0]) || atol(e->d_name) == getpid())
      continue;
    n += Contains(ReadFile(std::string("/proc/") + e->d_name + "/cmdline"), text);
  }
  if (proc)
    closedir(proc);
  return n;
}

TEST_F(Tapsim, AShareThePluginLeftMountedIsTakenDown)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "sshfs needs root for FUSE here";
  ASSERT_EQ(EnterPrivateNetwork(), "");
  ShareServer server;
  ASSERT_EQ(server.Start(), "");
  WriteFile(server.Share() + "/hello", "hi");
  std::string command = server.MountCommand("/mnt/nas");
  size_t key = command.find("IdentityFile=");
  std::string identity = command.substr(key, command.find(',', key) - key);

  TapsimResult r = Probe("1 system mkdir -p /mnt/nas && " + command + " 2>/dev/null\n" +
                             "1 exist /mnt/nas/hello\n"
                             "2 exit\n",
                         {"--tick-step", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(PrintsOf(r, 1), (std::vector<std::string>{"system 0\n", "exist /mnt/nas/hello 1\n"}));
  EXPECT_TRUE(Contains(r.err, "ended ")) << r.err;
  EXPECT_EQ(ProcessesWith(identity), 0);
  EXPECT_FALSE(Contains(ReadFile("/proc/self/mountinfo"), "fuse.sshfs"));
}

TEST_F(Tapsim, CapturesTheConsoleAsWrittenWithoutBlockingThePlugin)
{
  // Far more than a terminal buffers: the simulator must drain as it goes.
  TapsimResult r = Probe("1 console hello\n"
                         "2 flood 200000\n"
                         "3 console bye\n"
                         "4 exit\n",
                         {"--tick-step", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.console.size(), 6 + 200000 + 4);
  EXPECT_EQ(r.console.substr(0, 6), "hello\n");
  EXPECT_EQ(r.console.substr(r.console.size() - 4), "bye\n");
  EXPECT_EQ(r.console.find('\r'), std::string::npos);
}

TEST_F(Tapsim, WithoutConsoleFileTheConsoleGoesToStandardOutputPrefixed)
{
  WriteFile(disk + "/probe.cmd", "1 console hello\n1 console world\n2 exit\n");
  TapsimResult r = RunTapsimArgs({"--disk", disk, "--tick-step", "1", VX_PROBE_IMAGE});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "[console] hello\n[console] world\n")) << r.out;
}

TEST_F(Tapsim, AnExternalDiskAppearsAtItsTick)
{
  std::string usb = tmp / "usb", whole = tmp / "whole";
  WriteFile(usb + "/marker", "u");
  WriteFile(whole + "/marker", "w");
  std::string script = "0 exist /mnt/sdc/marker\n";
  for (int i = 1; i <= 8; i++)
    script += std::to_string(i) + " exist /mnt/sdb1/marker\n";
  script += "8 create /mnt/sdb1/written\n9 exit\n";
  TapsimResult r = Probe(script, {"--tick-step", "10", "--tick-start", "1000", "--ext", "sdb1=" + usb + "@50",
                                  "--ext", "sdc=" + whole});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(PrintsOf(r, 0), std::vector<std::string>{"exist /mnt/sdc/marker 1\n"});
  for (int i = 1; i <= 8; i++) {
    // Event i runs at tick 1000 + 10 i; the disk is there 50 ticks after the start.
    std::string seen = i * 10 >= 50 ? "1" : "0";
    EXPECT_EQ(PrintOf(r, (uint64_t)i), "exist /mnt/sdb1/marker " + seen + "\n") << "event " << i;
  }
  EXPECT_TRUE(Exists(usb + "/written"));
}

TEST_F(Tapsim, TheClockRunsWithTheTicksAcrossAWrap)
{
  // 2024-03-05 is MJD 60374; 1000 ticks are 10 seconds.
  TapsimResult r = Probe("0 time\n0 tick\n1 tick\n1 time\n4 time\n5 exit\n",
                         {"--clock", "2024-03-05 23:59:30", "--tick-step", "1000", "--tick-start", "0xFFFFFC18"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(PrintsOf(r, 0), (std::vector<std::string>{"time 60374 23:59:30\n", "tick 4294966296\n"}));
  EXPECT_EQ(PrintsOf(r, 1), (std::vector<std::string>{"tick 0\n", "time 60374 23:59:40\n"}));
  EXPECT_EQ(PrintsOf(r, 4), std::vector<std::string>{"time 60375 00:00:10\n"});
}

TEST_F(Tapsim, RealTimeTicksRunAtAHundredASecond)
{
  TapsimResult r = Probe("0 tick\n1 system sleep 0.3\n2 tick\n2 exit\n", {"--tick-start", "7"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(PrintOf(r, 0).rfind("tick ", 0), 0u);
  ASSERT_EQ(PrintOf(r, 2).rfind("tick ", 0), 0u);
  unsigned first = (unsigned)std::stoul(PrintOf(r, 0).substr(5));
  unsigned second = (unsigned)std::stoul(PrintOf(r, 2).substr(5));
  EXPECT_GE(first, 7u);
  EXPECT_GE(second - first, 29u);
  EXPECT_LT(second - first, 300u);
}

// A command launched soon after the last look for one (a daily backup's
// mount, a day of quick idle events after the last) still holds the ticks.
TEST_F(Tapsim, VirtualTicksWaitForACommandLaunchedRightAfterALook)
{
  TapsimResult r = Probe("1 system true\n2 tick\n2 system sleep 0.5 &\n3 tick\n4 exit\n", {"--tick-step", "20000"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(PrintOf(r, 2).rfind("tick ", 0), 0u);
  ASSERT_EQ(PrintOf(r, 3).rfind("tick ", 0), 0u);
  EXPECT_LT(std::stoul(PrintOf(r, 3).substr(5)) - std::stoul(PrintOf(r, 2).substr(5)), 20000u);
}

TEST_F(Tapsim, FailsAllocationsAndWritesOnRequest)
{
  const char *script = "1 alloc\n2 alloc\n3 alloc\n4 exit\n";
  auto allocs = [&](const TapsimResult &r) {
    return PrintOf(r, 1) + PrintOf(r, 2) + PrintOf(r, 3);
  };
  TapsimResult once = Probe(script, {"--tick-step", "1", "--fail-alloc", "2"});
  EXPECT_EQ(allocs(once), "alloc ok\nalloc null\nalloc ok\n");
  EXPECT_TRUE(Contains(once.err, "TAP_MemAlloc called 3 times, 1 failed")) << once.err;
  TapsimResult from = Probe(script, {"--tick-step", "1", "--fail-alloc", "2+"});
  EXPECT_EQ(allocs(from), "alloc ok\nalloc null\nalloc null\n");
  EXPECT_TRUE(Contains(from.err, "TAP_MemAlloc called 3 times, 2 failed")) << from.err;

  TapsimResult w = Probe("1 fwrite a.txt first\n2 fwrite b.txt second\n3 exit\n",
                         {"--tick-step", "1", "--fail-hdd-write", "2"});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(PrintOf(w, 2), "fwrite 0\n");
  ASSERT_EQ(w.trace[2].writes.size(), 1u);
  EXPECT_TRUE(w.trace[2].writes[0].failed);
  EXPECT_EQ(ReadFile(disk + "/ProgramFiles/a.txt"), "first");
  EXPECT_EQ(ReadFile(disk + "/ProgramFiles/b.txt"), "");
}

TEST_F(Tapsim, PlaysBothChangeDirConventionsAndTheUtf8Firmware)
{
  const char *script = "1 chdir /ProgramFiles\n1 chdir /missing\n1 utf8\n2 exit\n";
  TapsimResult zero = Probe(script, {"--tick-step", "1", "--chdir-success", "0"});
  EXPECT_EQ(PrintsOf(zero, 1),
            (std::vector<std::string>{"chdir /ProgramFiles 0\n", "chdir /missing 1\n", "utf8 0\n"}));
  TapsimResult one = Probe(script, {"--tick-step", "1", "--utf8-firmware"});
  EXPECT_EQ(PrintsOf(one, 1),
            (std::vector<std::string>{"chdir /ProgramFiles 1\n", "chdir /missing 0\n", "utf8 1\n"}));
}

TEST_F(Tapsim, TraceTiesWhatThePluginWroteToItsEventAndTick)
{
  TapsimResult r = Probe("2 fwrite log.txt line\\r\n3 exit\n",
                         {"--tick-step", "7", "--event", "2=0x1234", "--stats"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.trace.size(), 4u);
  EXPECT_TRUE(r.trace[0].isMain);
  const TraceEvent &ev = r.trace[2];
  EXPECT_EQ(ev.index, 2u);
  EXPECT_EQ(ev.tick, 14u);
  EXPECT_EQ(ev.code, 0x1234u);
  EXPECT_EQ(ev.ret, ev.param);
  ASSERT_EQ(ev.writes.size(), 1u);
  EXPECT_EQ(ev.writes[0].file, "log.txt");
  EXPECT_EQ(ev.writes[0].text, "line\\r");
  EXPECT_TRUE(Contains(r.out, "tapsim: all: 3 events, TAP_EventHandler median ")) << r.out;
  EXPECT_TRUE(Contains(r.out, " p99 ")) << r.out;
}

// The number that follows `prefix` in text, or -1.
double After(const std::string &text, const std::string &prefix)
{
  size_t at = text.find(prefix);
  return at == std::string::npos ? -1 : std::stod(text.substr(at + prefix.size()));
}

TEST_F(Tapsim, AnOldKernelRefusesOnlyTheCallsThatCameAfterIt)
{
  // openat came with 2.6.16, syncfs with 2.6.39; the C library's own open
  // (openat inside) and the commands stand for the recorder's and pass.
  const char *script = "1 sys openat\n1 sys syncfs\n1 sys time\n1 create /mnt/hd/by-open\n"
                       "1 system touch /mnt/hd/by-shell\n2 exit\n";
  auto seen = [&](const char *kernel) { return PrintsOf(Probe(script, {"--tick-step", "1", "--kernel", kernel}), 1); };
  EXPECT_EQ(seen("2.6.15"), (std::vector<std::string>{"sys openat Function not implemented\n",
                                                      "sys syncfs Function not implemented\n", "sys time ok\n",
                                                      "create /mnt/hd/by-open ok\n", "system 0\n"}));
  EXPECT_EQ(seen("2.6.16"), (std::vector<std::string>{"sys openat ok\n", "sys syncfs Function not implemented\n",
                                                      "sys time ok\n", "create /mnt/hd/by-open ok\n", "system 0\n"}));
  EXPECT_EQ(seen("none")[1], "sys syncfs ok\n");
  EXPECT_TRUE(Exists(disk + "/by-shell"));
}

TEST_F(Tapsim, AThrottledBusyDiskMakesFlushesWaitForWhatTheyFlush)
{
  // 20 MB/s, of which a recording takes 0.2, with its last 30 s (6 MB)
  // unwritten: 19.8 MB/s are left.
  TapsimResult r = Probe("1 write f1 4000000\n1 write f2 1000000\n2 fsync f2\n3 sys syncfs\n4 fsync f1\n5 exit\n",
                         {"--tick-step", "1", "--stats", "--disk-speed", "20", "--recording", "0.2", "--kernel", "none"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.trace.size(), 6u);
  EXPECT_EQ(PrintOf(r, 2), "fsync f2 ok\n");
  EXPECT_EQ(PrintOf(r, 3), "sys syncfs ok\n");
  // A file's flush waits for that file only; the disk's for all of it.
  // The events last at least the model's waits; the waits themselves, which
  // this machine's own disk and load do not change, are held to the model.
  auto ms = [&](uint64_t event) { return r.trace[event].us / 1000.0; };
  auto waitMs = [&](uint64_t event) { return r.trace[event].waitUs / 1000.0; };
  EXPECT_GE(ms(2), 45);
  EXPECT_LT(waitMs(2), 45 + 500) << "the flush of one file waited for another";
  EXPECT_GE(ms(3), 480);
  EXPECT_GT(waitMs(3), 400);
  EXPECT_LT(waitMs(3), 480 + 800);
  EXPECT_LT(waitMs(4), 20) << "the disk's flush wrote this file already";
  EXPECT_LE(r.trace[3].waitUs, r.trace[3].us);
  EXPECT_EQ(After(r.out, "tapsim: disk: "), 2) << r.out;
}

TEST_F(Tapsim, ReportsTheDeepestStackAndTheMostMemoryHeld)
{
  TapsimResult r = Probe("1 stack 12000\n1 hold 50000\n2 hold 100000\n3 exit\n", {"--tick-step", "1", "--stats"});
  ASSERT_EQ(r.status, 0) << r.err;
  double deepest = After(r.out, "tapsim: stack: at most "), usable = After(r.out, "bytes of the ");
  EXPECT_GE(deepest, 12000) << r.out;
  EXPECT_LT(deepest, usable) << r.out;
  // 32 KiB less the thread's own records at its top.
  EXPECT_GT(usable, 24000.0 * (VX_SANITIZE ? 4 : 1)) << r.out;
  EXPECT_LE(usable, 32768.0 * (VX_SANITIZE ? 4 : 1)) << r.out;
  EXPECT_EQ(After(r.out, "tapsim: memory: at most "), 150000) << r.out;
  EXPECT_TRUE(Contains(r.out, ", 150000 bytes in 2 blocks at the end")) << r.out;
  ASSERT_EQ(r.trace.size(), 4u);
  EXPECT_EQ(r.trace[1].memHeld, 50000u);
  EXPECT_EQ(r.trace[2].memHeld, 150000u);

  // A plug-in that needs more is stopped where a recorder would crash.
  TapsimResult over = Probe("1 stack 400000\n2 exit\n", {"--tick-step", "1"});
  EXPECT_EQ(over.status, 4);
  if (!VX_SANITIZE)
    EXPECT_TRUE(Contains(over.err, "overflowed its")) << over.err;
  EXPECT_TRUE(Contains(over.err, "in event 1")) << over.err;
}

TEST_F(Tapsim, AShareOfTheProcessorSlowsThePlugIn)
{
  TapsimResult r = Probe("1 spin 200\n2 exit\n", {"--tick-step", "1", "--stats", "--cpu", "25"});
  if (r.status == 5) { // no CPU controller here: refused, and said why
    EXPECT_TRUE(Contains(r.err, "--cpu: no CPU controller")) << r.err;
    GTEST_SKIP() << r.err;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.trace.size(), 3u);
  // 200 ms of the processor take four times as long at a quarter of it.
  EXPECT_GE(r.trace[1].us, 600000u);
  double cpu = 0, wall = 0, share = 0;
  size_t at = r.out.find("tapsim: cpu: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  ASSERT_EQ(sscanf(r.out.c_str() + at, "tapsim: cpu: %lf ms of processor time in %lf ms, %lf%%", &cpu, &wall, &share), 3);
  EXPECT_GE(cpu, 200);
  EXPECT_LT(share, 30) << r.out;
}

} // namespace
