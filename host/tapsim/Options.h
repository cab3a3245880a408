// The simulator's command line as one plain struct; parsing, validation and
// --help all work from it.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "KernelFloor.h"

struct ExtDiskOption {
  std::string name; // sdb .. sdz8
  std::string dir;
  // Ticks after the start, rising, at which it is plugged in, pulled out,
  // plugged in again, and so on.
  std::vector<uint32_t> changes = {0};
};

// The order in which folders list: as the disk gives it, by name, or
// shuffled with a seed.
enum class ListingOrder { kDisk, kSorted, kShuffle };

// The kernel of the recorders Vaultrix supports (--kernel recorder).
constexpr uint32_t kRecorderKernel = KernelVersion(2, 6, 12);
// The recorder's kernel by default, so that every run takes the plug-in's
// fallbacks for the calls such a kernel lacks.
constexpr uint32_t kDefaultKernelFloor = kRecorderKernel;
// The stack of the plug-in's entry points, in KiB.
constexpr uint32_t kDefaultStackKiB = 32;

struct TapsimOptions {
  bool help = false;
  std::string image;
  std::string disk;
  std::vector<ExtDiskOption> ext;

  bool clockGiven = false;
  int64_t clockSeconds = 0; // local wall clock, seconds since 1970 as if UTC
  std::map<uint64_t, int64_t> clockSets; // event index -> the clock set before it

  bool virtualTicks = false;
  uint32_t tickStep = 0;
  uint32_t tickStart = 0;

  uint32_t chdirSuccess = 1;
  bool utf8Firmware = false;
  bool noTaskTable = false;

  ListingOrder listingOrder = ListingOrder::kDisk;
  uint64_t listingSeed = 0;

  std::map<uint64_t, uint32_t> events;       // event index -> code
  std::map<uint64_t, uint32_t> nestedEvents; // event index -> nested code
  std::map<uint64_t, std::string> atEvents;  // event index -> shell command run before it
  uint64_t maxEvents = 0;                    // 0: no limit

  uint64_t failAllocAt = 0;
  bool failAllocFrom = false;
  uint64_t failHddWriteAt = 0;

  // A recorder's limits.
  uint32_t kernelFloor = kDefaultKernelFloor; // KernelVersion(); 0: none
  double cpuPercent = 0;                     // share of one core; 0: all of the machine's
  double diskSpeed = 0;                      // MB/s; 0: the machine's disks as they are
  double recording = 0;                      // MB/s on the internal disk
  bool fsyncFlushesDisk = false;
  uint32_t stackKiB = kDefaultStackKiB;

  std::string consoleFile; // empty: standard output, prefixed
  std::string traceFile;
  bool stats = false;
  bool noSync = false;
};

// Fills *opts from argv; on a usage error returns false with a message.
bool ParseOptions(int argc, char **argv, TapsimOptions *opts, std::string *err);

// The --help text.
const char *TapsimUsage();

// The prefix of console lines on standard output.
constexpr const char *kConsolePrefix = "[console] ";
