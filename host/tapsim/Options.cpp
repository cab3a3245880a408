#include "Options.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "../runtime/TapRuntime.h"
#include "KernelFloor.h"

namespace {

const char kUsage[] =
    "Usage: tapsim [options] IMAGE\n"
    "Plays the recorder for a TAP plug-in image: loads IMAGE with the host runtime,\n"
    "calls __TAP_Init_ and TAP_Main, then delivers events until the plug-in calls\n"
    "TAP_Exit.  The plug-in runs in a private mount namespace (root, or unprivileged\n"
    "user namespaces, needed): the internal disk at /mnt/hd, external disks at\n"
    "/mnt/sdXN, a fresh /dev/pts whose console is captured, and the rest of the\n"
    "machine read-only.\n"
    "\n"
    "Disks\n"
    "  --disk DIR            the internal disk (required): /mnt/hd for the C library,\n"
    "                        / for the host's file calls\n"
    "  --ext NAME=DIR[@IN[-OUT[-IN...]]]\n"
    "                        an external partition at /mnt/NAME (NAME sdb .. sdz8),\n"
    "                        plugged in IN ticks after the start (default 0) and\n"
    "                        pulled out at OUT (unmounted lazily, as a recorder\n"
    "                        loses a USB disk), plugged in again at the next tick\n"
    "                        given, and so on; repeatable\n"
    "Time\n"
    "  --clock \"YYYY-MM-DD HH:MM:SS\"\n"
    "                        the recorder's local clock at the start (default: this\n"
    "                        machine's); it then runs with the ticks, 100 a second\n"
    "  --set-clock N=\"YYYY-MM-DD HH:MM:SS\"\n"
    "                        the clock is set to this just before event N, as a\n"
    "                        recorder sets it from the broadcast time; repeatable\n"
    "  --tick-step N         virtual ticks: the counter advances N per event, but\n"
    "                        no faster than real time while a command the plug-in\n"
    "                        started in the background still runs\n"
    "                        (default: real time, 100 ticks a second, with events\n"
    "                        at most every millisecond while they are quick)\n"
    "  --tick-start N        the counter's first value (decimal or 0x hex), e.g.\n"
    "                        0xFFFFF000 to see it wrap\n"
    "Firmware\n"
    "  --chdir-success 0|1   what TAP_Hdd_ChangeDir returns on success (default 1)\n"
    "  --utf8-firmware       play a firmware that keeps names in UTF-8 (exports\n"
    "                        Appl_ConvertToValidUTF8Str)\n"
    "  --no-task-table       play a firmware without the task table (no _tapTask,\n"
    "                        no _curTapTask)\n"
    "  --listing-order sorted|disk|shuffle:SEED\n"
    "                        the order in which folders list (default disk: as\n"
    "                        the disk gives it, like a recorder)\n"
    "Events\n"
    "  --event N=CODE        deliver CODE as event N (1-based) instead of an idle\n"
    "                        event; repeatable\n"
    "  --nested-event N=CODE while handling event N, deliver CODE re-entrantly from\n"
    "                        inside the plug-in's first host call; repeatable\n"
    "  --at-event N=COMMAND  run COMMAND with /bin/sh inside the sandbox just before\n"
    "                        event N is delivered, and wait for it; repeatable\n"
    "  --max-events N        give up after N events (default: no limit)\n"
    "Faults\n"
    "  --fail-alloc N|N+     the N-th TAP_MemAlloc fails, or every one from the N-th;\n"
    "                        at the end, how many calls were made and failed\n"
    "  --fail-hdd-write N    the N-th TAP_Hdd_Fwrite writes nothing and returns 0\n"
    "Recorder limits\n"
    "  --kernel VERSION|recorder|none\n"
    "                        what the image asks of the kernel through syscall()\n"
    "                        fails with ENOSYS when the call came after VERSION\n"
    "                        (2.6.0 or later); recorder is 2.6.12, the oldest kernel\n"
    "                        Vaultrix supports (default: recorder).  A seccomp filter on\n"
    "                        the plug-in's thread; under qemu, which refuses seccomp,\n"
    "                        tapsim's syscall() applies the same table\n"
    "  --cpu PERCENT         the plug-in's process gets PERCENT of one core (0.1 to\n"
    "                        100) from the control groups' CPU controller, in\n"
    "                        periods of 10 ms, longer below 10% (default: the\n"
    "                        machine's speed; refused where no controller serves)\n"
    "  --disk-speed MB/S     the disks write MB/S (10^6 bytes): a flush waits until\n"
    "                        the disk has written what it flushes (default: the\n"
    "                        machine's disks as they are)\n"
    "  --recording MB/S      a recording writes MB/S to the internal disk all the\n"
    "                        time; its last 30 s are unwritten, and syncfs and sync\n"
    "                        wait for them (default 0; needs --disk-speed)\n"
    "  --fsync-flushes-disk  fsync waits for all that is unwritten on its disk, the\n"
    "                        recording included, as on ext3 (needs --disk-speed)\n"
    "  --stack-size KIB      the stack of the thread the plug-in's entry points run\n"
    "                        on (default 32; a sanitized build gives 4 times that)\n"
    "Output\n"
    "  --console FILE        write the captured console (/dev/pts/0) to FILE\n"
    "                        (default: standard output, lines prefixed \"[console] \")\n"
    "  --trace FILE          one line per event (event 0 is TAP_Main):\n"
    "                        event=I tick=T code=C param=P ret=R us=MICROSECONDS\n"
    "                        cpu=MICROSECONDS (of the processor) calls=HOSTCALLS\n"
    "                        read=BYTES (read() by the plug-in, when any)\n"
    "                        mem=BYTES (held through TAP_MemAlloc after it)\n"
    "                        wait=MICROSECONDS (for the --disk-speed disk, when any)\n"
    "                        state=BEFORE>AFTER, then in order what\n"
    "                        the plug-in wrote, write=\"FILE\" text=\"...\" (C escapes),\n"
    "                        and printed, print=\"...\"; a nested call adds nested=C\n"
    "                        nested-param=P nested-ret=R|none nested-exit=0|1\n"
    "                        nested-state=B>A; exit=1 when it called TAP_Exit\n"
    "  --stats               at the end, TAP_EventHandler durations: count, median,\n"
    "                        p99 and max, in all and per state, with the most\n"
    "                        memory held after an event of that state; the bytes the\n"
    "                        plug-in read through read(), in all and in one event;\n"
    "                        the deepest stack its entry points used; the most\n"
    "                        memory it held through TAP_MemAlloc, and what it still\n"
    "                        held at the end; its processor time; the disk's waits\n"
    "  --no-sync             fsync, fdatasync, sync, syncfs and sync_file_range of\n"
    "                        the plug-in do nothing (to measure what its flushes cost; never\n"
    "                        for a real test)\n"
    "  --help                this text\n"
    "\n"
    "Exit status: 0 the plug-in ended through TAP_Exit; 1 it did not (event limit,\n"
    "or TAP_Main returned 0); 2 usage error; 3 the image or runtime could not be\n"
    "loaded; 4 the plug-in crashed or hung in TAP_Sleep; 5 the sandbox could not be\n"
    "set up; 130 interrupted.\n";

bool ParseU64(const std::string &text, uint64_t max, uint64_t *out)
{
  if (text.empty())
    return false;
  int base = 10;
  size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t v = 0;
  for (; i < text.size(); i++) {
    int c = (unsigned char)text[i], d;
    if (isdigit(c))
      d = c - '0';
    else if (base == 16 && isxdigit(c))
      d = tolower(c) - 'a' + 10;
    else
      return false;
    if (v > (max - (uint64_t)d) / (uint64_t)base)
      return false;
    v = v * (uint64_t)base + (uint64_t)d;
  }
  *out = v;
  return true;
}

bool ParseU32(const std::string &text, uint32_t *out)
{
  uint64_t v;
  if (!ParseU64(text, 0xFFFFFFFFu, &v))
    return false;
  *out = (uint32_t)v;
  return true;
}

// A positive decimal number such as "25" or "2.5".
bool ParseDecimal(const std::string &text, double max, double *out)
{
  if (text.empty() || text.size() > 12 || text == ".")
    return false;
  double v = 0, unit = 1;
  bool point = false;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
    } else if (c < '0' || c > '9') {
      return false;
    } else if (!point) {
      v = v * 10 + (c - '0');
    } else {
      unit /= 10;
      v += (c - '0') * unit;
    }
  }
  if (v <= 0 || v > max)
    return false;
  *out = v;
  return true;
}

bool ValidExtName(const std::string &name)
{
  // sd, a letter b to z, an optional partition 1 to 8
  if (name.size() < 3 || name.size() > 4 || name.compare(0, 2, "sd") != 0)
    return false;
  if (name[2] < 'b' || name[2] > 'z')
    return false;
  return name.size() == 3 || (name[3] >= '1' && name[3] <= '8');
}

bool ParseClock(const std::string &text, int64_t *seconds)
{
  // Exactly "YYYY-MM-DD HH:MM:SS".
  static const char shape[] = "dddd-dd-dd dd:dd:dd";
  if (text.size() != sizeof shape - 1)
    return false;
  for (size_t i = 0; i < text.size(); i++)
    if (shape[i] == 'd' ? !isdigit((unsigned char)text[i]) : text[i] != shape[i])
      return false;
  auto num = [&](size_t at, size_t len) { return std::stoi(text.substr(at, len)); };
  int y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), s = num(17, 2);
  if (mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59)
    return false;
  int64_t days = TapDaysFromCivil(y, (unsigned)mo, (unsigned)d);
  int cy;
  unsigned cm, cd;
  TapCivilFromDays(days, &cy, &cm, &cd);
  if (cy != y || (int)cm != mo || (int)cd != d) // 31 April and the like
    return false;
  *seconds = days * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

// Within the recorder's calendar, whose day is a 16-bit MJD.
bool ParseClockInRange(const std::string &text, int64_t *seconds, std::string *err)
{
  if (!ParseClock(text, seconds)) {
    *err = "a valid \"YYYY-MM-DD HH:MM:SS\", not '" + text + "'";
    return false;
  }
  int64_t mjd = *seconds / 86400 + kMjdOfUnixEpoch;
  if (*seconds < -kMjdOfUnixEpoch * 86400 || mjd > 0xFFFF) {
    *err = "a time between 1858-11-17 and 2038-04-22, the recorder's calendar";
    return false;
  }
  return true;
}

// "N=..." with N >= 1: N, and what follows the '='.
bool ParseIndexed(const std::string &text, uint64_t *index, std::string *rest)
{
  size_t eq = text.find('=');
  if (eq == std::string::npos || !ParseU64(text.substr(0, eq), UINT64_MAX, index) || *index == 0)
    return false;
  *rest = text.substr(eq + 1);
  return true;
}

} // namespace

const char *TapsimUsage() { return kUsage; }

bool ParseOptions(int argc, char **argv, TapsimOptions *opts, std::string *err)
{
  auto fail = [&](const std::string &message) {
    *err = message;
    return false;
  };
  std::vector<std::string> seen; // options that may be given once

  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i], value;
    bool positional = arg.compare(0, 2, "--") != 0 || arg.size() == 2;
    if (arg == "--") {
      if (i + 1 >= argc)
        return fail("no IMAGE after --");
      arg = argv[++i];
    }
    if (positional) {
      if (!opts->image.empty())
        return fail("more than one image: '" + opts->image + "' and '" + arg + "'");
      opts->image = arg;
      continue;
    }
    size_t eq = arg.find('=');
    bool inlineValue = eq != std::string::npos;
    std::string name = inlineValue ? arg.substr(0, eq) : arg;
    if (inlineValue)
      value = arg.substr(eq + 1);

    static const char *const flags[] = {"--help", "--utf8-firmware", "--stats", "--no-task-table", "--no-sync",
                                        "--fsync-flushes-disk"};
    bool isFlag = false;
    for (const char *f : flags)
      isFlag |= name == f;
    if (isFlag) {
      if (inlineValue)
        return fail(name + " takes no value");
      if (name == "--help")
        opts->help = true;
      else if (name == "--utf8-firmware")
        opts->utf8Firmware = true;
      else if (name == "--no-task-table")
        opts->noTaskTable = true;
      else if (name == "--no-sync")
        opts->noSync = true;
      else if (name == "--fsync-flushes-disk")
        opts->fsyncFlushesDisk = true;
      else
        opts->stats = true;
      continue;
    }

    static const char *const valued[] = {"--disk", "--ext", "--clock", "--tick-step", "--tick-start",
                                         "--chdir-success", "--event", "--nested-event", "--at-event",
                                         "--max-events", "--fail-alloc", "--fail-hdd-write", "--console",
                                         "--trace", "--listing-order", "--kernel", "--cpu", "--disk-speed",
                                         "--recording", "--stack-size", "--set-clock"};
    bool known = false;
    for (const char *v : valued)
      known |= name == v;
    if (!known)
      return fail("unknown option '" + name + "'");
    if (!inlineValue) {
      if (i + 1 >= argc)
        return fail(name + " needs a value");
      value = argv[++i];
    }

    static const char *const once[] = {"--disk", "--clock", "--tick-step", "--tick-start", "--chdir-success",
                                       "--max-events", "--fail-alloc", "--fail-hdd-write", "--kernel", "--cpu",
                                       "--disk-speed", "--recording", "--stack-size"};
    for (const char *o : once)
      if (name == o) {
        if (std::find(seen.begin(), seen.end(), name) != seen.end())
          return fail(name + " given twice");
        seen.push_back(name);
      }

    if (name == "--disk") {
      if (value.empty())
        return fail("--disk needs a folder");
      opts->disk = value;
    } else if (name == "--ext") {
      ExtDiskOption ext;
      size_t at = value.find('=');
      if (at == std::string::npos)
        return fail("--ext wants NAME=DIR[@IN[-OUT]], not '" + value + "'");
      ext.name = value.substr(0, at);
      ext.dir = value.substr(at + 1);
      // A trailing @IN, @IN-OUT, @IN-OUT-IN... of digits is the ticks; any
      // other '@' belongs to the folder.
      size_t tickAt = ext.dir.rfind('@');
      if (tickAt != std::string::npos) {
        std::string ticks = ext.dir.substr(tickAt + 1);
        std::vector<uint32_t> changes;
        uint32_t tick = 0;
        bool digits = true;
        for (size_t at = 0; digits && at <= ticks.size();) {
          size_t dash = std::min(ticks.find('-', at), ticks.size());
          digits = ParseU32(ticks.substr(at, dash - at), &tick);
          changes.push_back(tick);
          at = dash + 1;
        }
        if (digits) {
          for (size_t k = 1; k < changes.size(); k++)
            if (changes[k] <= changes[k - 1])
              return fail("--ext " + ext.name + ": the disk must be " + (k % 2 ? "pulled" : "plugged in again") +
                          " after it is " + (k % 2 ? "plugged in" : "pulled") + ", not at " + ticks);
          ext.changes = changes;
          ext.dir.resize(tickAt);
        }
      }
      if (!ValidExtName(ext.name))
        return fail("--ext: '" + ext.name + "' is not a partition name from sdb to sdz8");
      if (ext.dir.empty())
        return fail("--ext " + ext.name + " needs a folder");
      for (auto &other : opts->ext)
        if (other.name == ext.name)
          return fail("--ext " + ext.name + " given twice");
      opts->ext.push_back(ext);
    } else if (name == "--clock") {
      std::string wanted;
      if (!ParseClockInRange(value, &opts->clockSeconds, &wanted))
        return fail("--clock wants " + wanted);
      opts->clockGiven = true;
    } else if (name == "--set-clock") {
      uint64_t index;
      int64_t seconds;
      std::string clock, wanted;
      if (!ParseIndexed(value, &index, &clock))
        return fail("--set-clock wants N=\"YYYY-MM-DD HH:MM:SS\" with N from 1, not '" + value + "'");
      if (!ParseClockInRange(clock, &seconds, &wanted))
        return fail("--set-clock wants " + wanted);
      if (!opts->clockSets.emplace(index, seconds).second)
        return fail("--set-clock for event " + std::to_string(index) + " given twice");
    } else if (name == "--tick-step") {
      if (!ParseU32(value, &opts->tickStep))
        return fail("--tick-step wants a number of ticks, not '" + value + "'");
      opts->virtualTicks = true;
    } else if (name == "--tick-start") {
      if (!ParseU32(value, &opts->tickStart))
        return fail("--tick-start wants a 32-bit number, not '" + value + "'");
    } else if (name == "--chdir-success") {
      if (value != "0" && value != "1")
        return fail("--chdir-success wants 0 or 1, not '" + value + "'");
      opts->chdirSuccess = value == "1";
    } else if (name == "--event" || name == "--nested-event") {
      uint64_t index;
      uint32_t code;
      std::string text;
      if (!ParseIndexed(value, &index, &text) || !ParseU32(text, &code))
        return fail(name + " wants N=CODE with N from 1, not '" + value + "'");
      auto &map = name == "--event" ? opts->events : opts->nestedEvents;
      if (!map.emplace(index, code).second)
        return fail(name + " for event " + std::to_string(index) + " given twice");
    } else if (name == "--at-event") {
      uint64_t index;
      std::string command;
      if (!ParseIndexed(value, &index, &command) || command.empty())
        return fail("--at-event wants N=COMMAND with N from 1, not '" + value + "'");
      if (!opts->atEvents.emplace(index, command).second)
        return fail("--at-event for event " + std::to_string(index) + " given twice");
    } else if (name == "--max-events") {
      if (!ParseU64(value, UINT64_MAX, &opts->maxEvents))
        return fail("--max-events wants a number, not '" + value + "'");
    } else if (name == "--fail-alloc") {
      std::string n = value;
      if (!n.empty() && n.back() == '+') {
        opts->failAllocFrom = true;
        n.pop_back();
      }
      if (!ParseU64(n, UINT64_MAX, &opts->failAllocAt) || opts->failAllocAt == 0)
        return fail("--fail-alloc wants N or N+ with N from 1, not '" + value + "'");
    } else if (name == "--fail-hdd-write") {
      if (!ParseU64(value, UINT64_MAX, &opts->failHddWriteAt) || opts->failHddWriteAt == 0)
        return fail("--fail-hdd-write wants N from 1, not '" + value + "'");
    } else if (name == "--listing-order") {
      if (value == "disk" || value == "sorted") {
        opts->listingOrder = value == "disk" ? ListingOrder::kDisk : ListingOrder::kSorted;
      } else if (value.compare(0, 8, "shuffle:") == 0 && ParseU64(value.substr(8), UINT64_MAX, &opts->listingSeed)) {
        opts->listingOrder = ListingOrder::kShuffle;
      } else {
        return fail("--listing-order wants sorted, disk or shuffle:SEED, not '" + value + "'");
      }
    } else if (name == "--kernel") {
      if (value == "none")
        opts->kernelFloor = kNoKernelFloor;
      else if (value == "recorder")
        opts->kernelFloor = kRecorderKernel;
      else if (!ParseKernelVersion(value, &opts->kernelFloor))
        return fail("--kernel wants a version from 2.6.0 such as 2.6.12, recorder or none, not '" + value + "'");
    } else if (name == "--cpu") {
      if (!ParseDecimal(value, 100, &opts->cpuPercent) || opts->cpuPercent < 0.1)
        return fail("--cpu wants a share of one core from 0.1 to 100 (percent), not '" + value + "'");
    } else if (name == "--disk-speed" || name == "--recording") {
      if (!ParseDecimal(value, 100000, name == "--disk-speed" ? &opts->diskSpeed : &opts->recording))
        return fail(name + " wants MB a second, such as 25 or 2.5, not '" + value + "'");
    } else if (name == "--stack-size") {
      uint64_t kib;
      if (!ParseU64(value, 1u << 20, &kib) || kib < 16 || kib > 65536)
        return fail("--stack-size wants KiB from 16 to 65536, not '" + value + "'");
      opts->stackKiB = (uint32_t)kib;
    } else if (name == "--console") {
      if (!opts->consoleFile.empty() || value.empty())
        return fail("--console wants one file name");
      opts->consoleFile = value;
    } else if (name == "--trace") {
      if (!opts->traceFile.empty() || value.empty())
        return fail("--trace wants one file name");
      opts->traceFile = value;
    }
  }
  if (opts->help)
    return true;
  if ((opts->recording || opts->fsyncFlushesDisk) && !opts->diskSpeed)
    return fail(std::string(opts->recording ? "--recording" : "--fsync-flushes-disk") + " needs --disk-speed");
  if (opts->recording >= opts->diskSpeed && opts->recording)
    return fail("--recording must write less than --disk-speed, or the disk never catches up");
  if (opts->disk.empty())
    return fail("--disk DIR is required");
  if (opts->image.empty())
    return fail("no IMAGE given");
  return true;
}
