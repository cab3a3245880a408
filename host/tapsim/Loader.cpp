#include "Loader.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <map>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "../runtime/TapRuntime.h"
#include "DiskModel.h"
#include "ImageSymbol.h"
#include "Interpose.h"
#include "KernelFloor.h"
#include "PluginThread.h"
#include "ReadCount.h"

namespace {

// abort() on the recorder sleeps for good; more sleeps than this in one event
// mean the plug-in will never return.
constexpr unsigned kMaxSleepsPerEvent = 10;

// Real-time mode: at most one quick event per millisecond.
constexpr uint64_t kRealTimeEventGapUs = 1000;

// Virtual ticks slowed to real time: how often to look for a command still
// running in the background, and the length of one tick.
constexpr uint64_t kBackgroundLookNs = 10 * 1000 * 1000;
constexpr uint64_t kTickNs = 10 * 1000 * 1000;

// Whether a process of this process group other than this one still runs:
// what the plug-in started in the background (a daemon that left the group,
// such as an sshfs once it has mounted, no longer counts).
bool GroupHasOthers()
{
  pid_t self = getpid(), group = getpgrp();
  DIR *d = opendir("/proc");
  if (!d)
    return false;
  bool found = false;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9' || atol(e->d_name) == self)
      continue;
    std::string stat;
    if (!ReadTextFile(std::string("/proc/") + e->d_name + "/stat", &stat))
      continue;
    // "pid (comm) state ppid pgrp ...": the name may hold anything.
    size_t close = stat.rfind(')');
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (close == std::string::npos || sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) != 3)
      continue;
    if (pgrp == group && state != 'Z' && state != 'X') {
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

std::string Quote(const void *data, size_t size)
{
  static const char hex[] = "0123456789abcdef";
  const unsigned char *p = static_cast<const unsigned char *>(data);
  std::string out = "\"";
  for (size_t i = 0; i < size; i++) {
    unsigned char c = p[i];
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '"': out += "\\\""; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default:
      if (c < 0x20 || c >= 0x7F) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
      } else {
        out += (char)c;
      }
    }
  }
  return out + "\"";
}

std::string Hex(uint32_t v, int width)
{
  char buf[16];
  snprintf(buf, sizeof buf, "0x%0*" PRIx32, width, v);
  return buf;
}

// In 64 bits: the recorder build's time_t has 32, whose nanoseconds would
// wrap after 2.1 s.
uint64_t Nanos(const struct timespec &a, const struct timespec &b)
{
  return (uint64_t)((int64_t)(b.tv_sec - a.tv_sec) * 1000000000 + (b.tv_nsec - a.tv_nsec));
}

// One event (or TAP_Main, index 0) as the trace shows it.
struct EventRecord {
  uint64_t index = 0;
  uint32_t tick = 0, code = 0, param = 0, ret = 0;
  uint64_t ns = 0, cpuNs = 0, waitNs = 0, calls = 0, readBytes = 0, heldBytes = 0;
  unsigned sleeps = 0;
  int stateBefore = -1, stateAfter = -1;
  std::string items; // write=, print=, nested= tokens in the order they happened
  bool exited = false;
};

// A test's command, run inside the sandbox before a chosen event: another
// writer on the disks at an exact moment.  Its status is the test's to check.
void RunHook(const std::string &command)
{
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), (char *)nullptr);
    _exit(127);
  }
  int status;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR)
    ;
}

class Run {
public:
  Run(const TapsimOptions &opts, PluginFiles &files, RunProgress *progress)
      : opts_(opts), files_(files), progress_(progress), mounted_(files.ext.size(), false),
        pulled_(files.ext.size(), false), bareMade_(files.ext.size(), 0)
  {
  }
  int Go();

private:
  bool Load(int *status);
  void Hook();
  bool MountDueDisks(int *status);
  void ReportPulledDisks();
  int State() const { return state_ ? (int)*state_ : -1; }
  void WriteTrace(const EventRecord &ev, bool isMain);
  void PrintStats();
  void ReportAllocations();
  void AdvanceTicks();
  bool StartThreads(int *status);
  template <class F> void OnPluginThread(EventRecord &ev, F f);
  static void SetKernelFloor(void *self);

  const TapsimOptions &opts_;
  PluginFiles &files_;
  RunProgress *progress_;
  // Whether each disk is plugged in now, and was pulled out at least once;
  // what the plug-in made in its bare mount point before it came back.
  std::vector<bool> mounted_, pulled_;
  std::vector<int> bareMade_;

  TapRuntime *rt_ = nullptr;
  void *image_ = nullptr;
  TapInitRecord rec_ = {};
  volatile dword *state_ = nullptr;
  FILE *trace_ = nullptr;

  // Ticks held to real time while a background command runs.
  bool background_ = false;
  struct timespec lastLook_ = {}, anchorTime_ = {};
  dword anchorTick_ = 0;

  EventRecord *current_ = nullptr;
  bool inNested_ = false;
  bool nestedArmed_ = false;
  uint32_t nestedCode_ = 0;

  // Durations in tenths of a microsecond, by the state before the event
  // (-1: unknown), most idle events taking well below a microsecond; and
  // the most memory held after an event of that state.
  std::map<int, std::vector<uint64_t>> durations_;
  std::map<int, uint64_t> heldInState_;
  uint64_t maxEventRead_ = 0;

  // The plug-in's entry points run on plugin_, its commands on commands_.
  CallThread plugin_, commands_;
  std::string floorBy_; // how the kernel floor is applied
  struct timespec started_ = {};
};

bool Run::Load(int *status)
{
  auto fail = [&](const std::string &message) {
    fprintf(stderr, "tapsim: %s\n", message.c_str());
    *status = kExitLoadFailure;
    return false;
  };
  auto dlText = [](const std::string &fdPath, const std::string &path) {
    std::string e = dlerror();
    for (size_t at; (at = e.find(fdPath)) != std::string::npos;)
      e.replace(at, fdPath.size(), path);
    return e;
  };

  progress_->phase = kPhaseLoad;
  std::string rtPath = FdPath(files_.runtime.get());
  void *rt = dlopen(rtPath.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!rt)
    return fail("cannot load the host runtime: " + dlText(rtPath, "libtap.so"));
  auto control = reinterpret_cast<TapRuntime *(*)()>(dlsym(rt, "TapRuntimeControl"));
  if (!control)
    return fail("the host runtime has no TapRuntimeControl");
  rt_ = control();

  rt_->diskRoot = "/mnt/hd";
  rt_->chdirSuccess = opts_.chdirSuccess;
  rt_->virtualTicks = opts_.virtualTicks;
  rt_->tickStart = opts_.tickStart;
  rt_->tick = opts_.tickStart;
  clock_gettime(CLOCK_MONOTONIC, &rt_->realStart);
  if (opts_.clockGiven)
    rt_->clockStart = opts_.clockSeconds;
  rt_->failAllocAt = opts_.failAllocAt;
  rt_->failAllocFrom = opts_.failAllocFrom;
  rt_->failWriteAt = opts_.failHddWriteAt;
  TapRuntimeSyncPath(rt_);
  if (files_.taskTable) {
    std::string fwPath = FdPath(files_.taskTable.get());
    void *fw = dlopen(fwPath.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!fw)
      return fail("cannot load the firmware's task table: " + dlText(fwPath, "libtapsim_firmware.so"));
    auto setTask = reinterpret_cast<void (*)(dword, char *)>(dlsym(fw, "FirmwareSetTask"));
    if (!setTask)
      return fail("the firmware's task table has no FirmwareSetTask");
    setTask(0, rt_->firmwarePath);
  }
  g_interpose.internalDevice = files_.diskDevice;
  g_interpose.order = opts_.listingOrder;
  g_interpose.seed = opts_.listingSeed;
  g_interpose.noSync = opts_.noSync;

  if (opts_.utf8Firmware) {
    std::string fwPath = FdPath(files_.utf8Firmware.get());
    if (!dlopen(fwPath.c_str(), RTLD_NOW | RTLD_GLOBAL))
      return fail("cannot load the UTF-8 firmware library: " + dlText(fwPath, "libtapsim_utf8fw.so"));
  }

  // A recorder's loader refuses an image that needs what its C library
  // lacks; tapsim's own C library would satisfy any import, so check first.
  std::vector<std::string> foreign;
  std::string err;
  if (!ForeignImports(files_.image.get(), files_.runtime.get(), &foreign, &err))
    return fail("cannot load image '" + opts_.image + "': " + err);
  if (!foreign.empty()) {
    std::string names;
    for (auto &name : foreign)
      names += (names.empty() ? "" : ", ") + name;
    return fail("cannot load image '" + opts_.image + "': it imports " + names +
                ", which the recorder's C library does not offer");
  }

  // Loaded on the plug-in's thread, under its kernel floor.
  std::string imagePath = FdPath(files_.image.get()), loadError;
  auto load = [&] {
    image_ = dlopen(imagePath.c_str(), RTLD_NOW);
    if (!image_)
      loadError = dlText(imagePath, opts_.image);
  };
  plugin_.Run(load);
  if (!image_)
    return fail("cannot load image: " + loadError);
  auto init = reinterpret_cast<int (*)(TapInitRecord *)>(dlsym(image_, "__TAP_Init_"));
  if (!init)
    return fail("image '" + opts_.image + "' has no __TAP_Init_: not a TAP plug-in");
  auto callInit = [&] { init(&rec_); };
  plugin_.Run(callInit);
  if (!rec_.Main || !rec_.EventHandler)
    return fail("__TAP_Init_ of '" + opts_.image + "' did not fill in TAP_Main and TAP_EventHandler");
  state_ = static_cast<volatile dword *>(FindImageObject(files_.image.get(), image_, "State"));
  ReadCountWatch(image_);
  // What the loader used does not count: only the entry points' stack.
  plugin_.Repaint();
  return true;
}

void Run::SetKernelFloor(void *self)
{
  Run *run = static_cast<Run *>(self);
  uint32_t floor = run->opts_.kernelFloor;
  if (floor == kNoKernelFloor)
    return;
  std::string why;
  g_interpose.kernelFloor = floor;
  g_interpose.floorBySeccomp = InstallKernelFloor(floor, &why);
  run->floorBy_ = g_interpose.floorBySeccomp ? "a seccomp filter"
                                             : "tapsim's syscall(), as seccomp is not available (" + why + ")";
}

bool Run::StartThreads(int *status)
{
  std::string err;
  if (!commands_.Start(0, nullptr, nullptr, &err) ||
      !plugin_.Start((size_t)opts_.stackKiB * 1024 * kStackFactor, SetKernelFloor, this, &err)) {
    fprintf(stderr, "tapsim: cannot start the plug-in's threads: %s\n", err.c_str());
    *status = kExitSandbox;
    return false;
  }
  g_interpose.commandThread = &commands_;
  return true;
}

// Runs f on the plug-in's thread and takes its wall-clock and processor
// time there, without the hand-over.
template <class F> void Run::OnPluginThread(EventRecord &ev, F f)
{
  DiskModelFigures before = DiskModelTotals();
  auto call = [&] {
    struct timespec w0, w1, c0, c1;
    clock_gettime(CLOCK_MONOTONIC, &w0);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    f();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    clock_gettime(CLOCK_MONOTONIC, &w1);
    ev.ns = Nanos(w0, w1);
    ev.cpuNs = Nanos(c0, c1);
  };
  plugin_.Run(call);
  ev.waitNs = DiskModelTotals().waitedNs - before.waitedNs;
  ev.heldBytes = rt_->heldBytes;
}

void Run::Hook()
{
  rt_->onHostCall = [this](const char *name) {
    if (!current_ || inNested_)
      return;
    EventRecord &ev = *current_;
    ev.calls++;
    if (!strcmp(name, "TAP_Sleep") && ++ev.sleeps > kMaxSleepsPerEvent) {
      std::string where = ev.index ? "event " + std::to_string(ev.index) : std::string("TAP_Main");
      fprintf(stderr, "tapsim: the plug-in is stuck: TAP_Sleep called %u times in %s (did it call abort?)\n",
              ev.sleeps, where.c_str());
      if (trace_)
        fflush(trace_);
      fflush(stdout);
      _exit(kExitCrash);
    }
    if (!nestedArmed_)
      return;
    // The re-entrant delivery a real firmware makes when an event arrives
    // while the plug-in sits in one of its calls.
    nestedArmed_ = false;
    inNested_ = true;
    uint32_t param = (uint32_t)ev.index | 0x80000000u;
    int before = State();
    bool exitedBefore = rt_->exited;
    uint32_t ret = rec_.EventHandler(nestedCode_, param);
    int after = State();
    inNested_ = false;
    ev.items += " nested=" + Hex(nestedCode_, 4) + " nested-param=" + Hex(param, 8) + " nested-ret=" +
                Hex(ret, 8) + " nested-exit=" + (rt_->exited && !exitedBefore ? "1" : "0");
    if (before >= 0)
      ev.items += " nested-state=" + std::to_string(before) + ">" + std::to_string(after);
  };
  rt_->onWrite = [this](const char *file, const void *data, size_t size, bool failed) {
    if (current_ && trace_)
      current_->items += (failed ? " write-failed=" : " write=") + Quote(file, strlen(file)) + " text=" +
                         Quote(data, size);
  };
  rt_->onPrint = [this](const char *text) {
    if (current_ && trace_)
      current_->items += " print=" + Quote(text, strlen(text));
  };
}

// The entries in a folder, "." and ".." aside.
int EntriesIn(const std::string &folder)
{
  int made = 0;
  if (DIR *d = opendir(folder.c_str())) {
    while (struct dirent *e = readdir(d))
      made += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
  }
  return made;
}

bool Run::MountDueDisks(int *status)
{
  dword elapsed = TapRuntimeTicks(rt_) - opts_.tickStart;
  for (size_t i = 0; i < opts_.ext.size(); i++) {
    const ExtDiskOption &ext = opts_.ext[i];
    std::string point = "/mnt/" + ext.name;
    size_t due = 0;
    while (due < ext.changes.size() && ext.changes[due] <= elapsed)
      due++;
    bool in = due % 2 == 1;
    if (!in && mounted_[i]) {
      // Pulled out: lazily, so that files the plug-in holds open stay
      // usable while the path no longer leads to the disk.
      if (umount2(point.c_str(), MNT_DETACH) != 0) {
        fprintf(stderr, "tapsim: pulling out %s: %s\n", ext.name.c_str(), strerror(errno));
        *status = kExitSandbox;
        return false;
      }
      mounted_[i] = false;
      pulled_[i] = true;
    } else if (in && !mounted_[i]) {
      if (pulled_[i])
        bareMade_[i] += EntriesIn(point);
      std::string err;
      if (!Sandbox::BindDisk(files_.ext[i], ext.name, &err)) {
        fprintf(stderr, "tapsim: plugging in %s: %s\n", ext.name.c_str(), err.c_str());
        *status = kExitSandbox;
        return false;
      }
      mounted_[i] = true;
    }
  }
  return true;
}

// What the plug-in made where a pulled disk was: on a recorder, that lands
// on its own disk in place of the backup disk.
void Run::ReportPulledDisks()
{
  for (size_t i = 0; i < opts_.ext.size(); i++) {
    if (!pulled_[i])
      continue;
    std::string point = "/mnt/" + opts_.ext[i].name;
    int made = bareMade_[i] + (mounted_[i] ? 0 : EntriesIn(point));
    if (made)
      fprintf(stderr, "tapsim: %s was pulled out, and the plug-in made %d entr%s in its bare mount point %s\n",
              opts_.ext[i].name.c_str(), made, made == 1 ? "y" : "ies", point.c_str());
  }
}

void Run::WriteTrace(const EventRecord &ev, bool isMain)
{
  if (!trace_)
    return;
  std::string line = "event=" + std::to_string(ev.index) + " tick=" + std::to_string(ev.tick);
  if (isMain)
    line += " code=main ret=" + std::to_string((int32_t)ev.ret);
  else
    line += " code=" + Hex(ev.code, 4) + " param=" + Hex(ev.param, 8) + " ret=" + Hex(ev.ret, 8);
  line += " us=" + std::to_string(ev.ns / 1000) + " cpu=" + std::to_string(ev.cpuNs / 1000) +
          " calls=" + std::to_string(ev.calls);
  if (ev.readBytes)
    line += " read=" + std::to_string(ev.readBytes);
  line += " mem=" + std::to_string(ev.heldBytes);
  if (ev.waitNs)
    line += " wait=" + std::to_string(ev.waitNs / 1000);
  if (ev.stateBefore >= 0)
    line += " state=" + std::to_string(ev.stateBefore) + ">" + std::to_string(ev.stateAfter);
  line += ev.items;
  if (ev.exited)
    line += " exit=1";
  line += "\n";
  fputs(line.c_str(), trace_);
}

void Run::PrintStats()
{
  auto line = [](const std::string &label, std::vector<uint64_t> &d, const std::string &more) {
    std::sort(d.begin(), d.end());
    auto rank = [&](double p) { // nearest rank
      size_t k = (size_t)(p * (double)d.size() + 0.999999);
      return d[std::min(d.size(), std::max<size_t>(k, 1)) - 1];
    };
    printf("tapsim: %s: %zu events, TAP_EventHandler median %.1f us, p99 %.1f us, max %.1f us%s\n", label.c_str(),
           d.size(), rank(0.5) / 10.0, rank(0.99) / 10.0, d.back() / 10.0, more.c_str());
  };
  std::vector<uint64_t> all;
  for (auto &[state, d] : durations_)
    all.insert(all.end(), d.begin(), d.end());
  if (!all.empty())
    line("all", all, "");
  // A resident plug-in's state between its tasks shows what waiting costs.
  for (auto &[state, d] : durations_)
    if (state >= 0)
      line("state " + std::to_string(state), d, ", at most " + std::to_string(heldInState_[state]) + " bytes held");
  if (durations_.count(-1))
    line("state unknown", durations_[-1], "");
  printf("tapsim: read: %" PRIu64 " bytes through read(), at most %" PRIu64 " in one event\n", ReadCountBytes(),
         maxEventRead_);
  printf("tapsim: stack: at most %zu bytes of the %zu below the plug-in thread's first frame\n", plugin_.Deepest(),
         plugin_.Usable());
  printf("tapsim: memory: at most %" PRIu64 " bytes held through TAP_MemAlloc, %" PRIu64
         " bytes in %" PRId64 " blocks at the end\n",
         rt_->peakBytes, rt_->heldBytes, rt_->liveBlocks);
  struct rusage ru;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (getrusage(RUSAGE_SELF, &ru) == 0) {
    double cpu = (double)ru.ru_utime.tv_sec + (double)ru.ru_stime.tv_sec +
                 ((double)ru.ru_utime.tv_usec + (double)ru.ru_stime.tv_usec) / 1e6;
    double wall = (double)Nanos(started_, now) / 1e9;
    printf("tapsim: cpu: %.0f ms of processor time in %.0f ms, %.1f%% of one core", cpu * 1000, wall * 1000,
           wall > 0 ? cpu / wall * 100 : 0);
    if (opts_.cpuPercent)
      printf(" (--cpu %g: %s)", opts_.cpuPercent, files_.cpuShare.c_str());
    printf("\n");
  }
  if (opts_.diskSpeed) {
    DiskModelFigures d = DiskModelTotals();
    printf("tapsim: disk: %" PRIu64 " flushes waited %.1f ms in all, at most %.1f ms (%g MB/s", d.waits,
           (double)d.waitedNs / 1e6, (double)d.longestNs / 1e6, opts_.diskSpeed);
    if (opts_.recording)
      printf(", recording %g MB/s", opts_.recording);
    printf(")\n");
  }
  if (opts_.kernelFloor) {
    std::string refused = KernelFloorRefusals();
    printf("tapsim: kernel: calls after %s refused, through %s; the plug-in made %s\n",
           KernelVersionText(opts_.kernelFloor).c_str(), floorBy_.c_str(),
           refused.empty() ? "none of them" : refused.c_str());
  }
  fflush(stdout);
}

// A fault sweep needs to know how far a normal run's allocations go and
// whether the planned failure was reached at all.
void Run::ReportAllocations()
{
  if (opts_.failAllocAt)
    fprintf(stderr, "tapsim: TAP_MemAlloc called %" PRIu64 " times, %" PRIu64 " failed\n", rt_->allocCalls,
            rt_->allocFailures);
}

// Virtual ticks advance by the step, but no faster than real time while a
// command the plug-in started in the background still runs: a mount that
// takes a second takes about 100 ticks, as on a recorder.
void Run::AdvanceTicks()
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // A command just launched is looked for at once: the last look may lie
  // less than a look's interval back, and a day of idle events with it.
  if (g_interpose.launched && (!background_ || Nanos(lastLook_, now) >= kBackgroundLookNs)) {
    lastLook_ = now;
    bool was = background_;
    background_ = g_interpose.launched = GroupHasOthers();
    // Real time is counted from the look that found the command running.
    if (background_ && !was) {
      anchorTick_ = rt_->tick;
      anchorTime_ = now;
    }
  }
  if (!background_) {
    rt_->tick += opts_.tickStep;
    return;
  }
  uint64_t elapsed = Nanos(anchorTime_, now);
  dword allowed = anchorTick_ + (dword)(elapsed / kTickNs) - rt_->tick;
  if ((int32_t)allowed < 0)
    allowed = 0;
  if (allowed < opts_.tickStep) {
    // Wait for the next tick rather than spin through idle events.
    struct timespec gap = {0, (long)(kTickNs - elapsed % kTickNs)};
    nanosleep(&gap, nullptr);
  }
  rt_->tick += allowed < opts_.tickStep ? allowed : opts_.tickStep;
}

int Run::Go()
{
  int status = kExitPluginExited;
  if (files_.traceFd >= 0) {
    trace_ = fdopen(files_.traceFd, "w");
    if (trace_)
      setvbuf(trace_, nullptr, _IOLBF, 0);
  }
  clock_gettime(CLOCK_MONOTONIC, &started_);
  DiskModelSettings disk;
  disk.speed = opts_.diskSpeed * 1e6;
  disk.recording = opts_.recording * 1e6;
  disk.fsyncFlushesDisk = opts_.fsyncFlushesDisk;
  DiskModelStart(disk);
  if (!StartThreads(&status) || !Load(&status) || !MountDueDisks(&status))
    return status;
  Hook();

  EventRecord main;
  main.tick = TapRuntimeTicks(rt_);
  main.stateBefore = State();
  progress_->tick = main.tick;
  progress_->phase = kPhaseMain;
  current_ = &main;
  int resident = 0;
  OnPluginThread(main, [&] { resident = rec_.Main(); });
  current_ = nullptr;
  main.ret = (uint32_t)resident;
  main.stateAfter = State();
  main.exited = rt_->exited;
  WriteTrace(main, true);
  if (rt_->exited) {
    fprintf(stderr, "tapsim: the plug-in ended through TAP_Exit in TAP_Main\n");
    ReportAllocations();
    return kExitPluginExited;
  }
  if (!resident) {
    fprintf(stderr, "tapsim: TAP_Main returned 0: the plug-in did not stay resident and never called TAP_Exit\n");
    return kExitNotEnded;
  }

  for (uint64_t i = 1;; i++) {
    if (opts_.maxEvents && i > opts_.maxEvents) {
      fprintf(stderr, "tapsim: event limit of %" PRIu64 " reached, the plug-in did not call TAP_Exit\n",
              opts_.maxEvents);
      status = kExitNotEnded;
      break;
    }
    if (rt_->virtualTicks)
      AdvanceTicks();
    if (!MountDueDisks(&status))
      break;
    auto hook = opts_.atEvents.find(i);
    if (hook != opts_.atEvents.end())
      RunHook(hook->second);
    auto set = opts_.clockSets.find(i);
    if (set != opts_.clockSets.end())
      rt_->clockStart = set->second - (int64_t)((TapRuntimeTicks(rt_) - rt_->tickStart) / 100);
    auto scripted = opts_.events.find(i);
    auto nested = opts_.nestedEvents.find(i);
    EventRecord ev;
    ev.index = i;
    ev.code = scripted != opts_.events.end() ? scripted->second : 0;
    ev.param = (uint32_t)i;
    ev.tick = TapRuntimeTicks(rt_);
    ev.stateBefore = State();
    nestedArmed_ = nested != opts_.nestedEvents.end();
    nestedCode_ = nestedArmed_ ? nested->second : 0;
    progress_->event = i;
    progress_->code = ev.code;
    progress_->tick = ev.tick;
    progress_->phase = kPhaseEvent;

    bool exitedBefore = rt_->exited;
    current_ = &ev;
    uint64_t readBefore = ReadCountBytes();
    OnPluginThread(ev, [&] { ev.ret = rec_.EventHandler(ev.code, ev.param); });
    current_ = nullptr;
    ev.readBytes = ReadCountBytes() - readBefore;
    maxEventRead_ = std::max(maxEventRead_, ev.readBytes);
    ev.stateAfter = State();
    ev.exited = rt_->exited && !exitedBefore;
    if (nestedArmed_)
      ev.items += " nested=" + Hex(nestedCode_, 4) + " nested-ret=none";
    nestedArmed_ = false;
    WriteTrace(ev, false);
    durations_[ev.stateBefore].push_back(ev.ns / 100);
    if (ev.stateBefore >= 0)
      heldInState_[ev.stateBefore] = std::max(heldInState_[ev.stateBefore], ev.heldBytes);
    if (rt_->exited) {
      fprintf(stderr, "tapsim: the plug-in ended through TAP_Exit in event %" PRIu64 " at tick %" PRIu32 "\n", i,
              ev.tick);
      break;
    }
    // In real time, a plug-in that only waits must not spin a whole core.
    if (!rt_->virtualTicks && ev.ns / 1000 < kRealTimeEventGapUs) {
      struct timespec gap = {0, (long)(kRealTimeEventGapUs - ev.ns / 1000) * 1000};
      nanosleep(&gap, nullptr);
    }
  }
  progress_->phase = kPhaseDone;
  ReportPulledDisks();
  ReportAllocations();
  if (opts_.stats)
    PrintStats();
  return status;
}

} // namespace

int RunPlugin(const TapsimOptions &opts, PluginFiles &files, RunProgress *progress)
{
  Run run(opts, files, progress);
  int status = run.Go();
  fflush(nullptr);
  return status;
}
