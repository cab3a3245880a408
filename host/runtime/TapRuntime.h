// Control side of the host runtime (libtap.so): what the simulator and the
// tests set and read.  The plug-in sees only the TAP_ pointers of tap.h.
#ifndef VAULTRIX_TAPRUNTIME_H
#define VAULTRIX_TAPRUNTIME_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

#include "../../support/tap.h"

struct TapRuntime {
  // Internal disk: Linux path of its root ("/mnt/hd" inside the simulator).
  std::string diskRoot = "/mnt/hd";
  // The plug-in's current folder on the disk, and the firmware's view of it
  // ("/mnt/hd" + folder), which the task table points at.
  std::string currentDir = "/ProgramFiles";
  char firmwarePath[1024] = "/mnt/hd/ProgramFiles";

  // What TAP_Hdd_ChangeDir returns on success; failure returns the other.
  dword chdirSuccess = 1;

  // Ticks: virtual (advanced by the simulator) or real time at 100 a second.
  bool virtualTicks = false;
  dword tick = 0;                 // virtual counter
  dword tickStart = 0;            // counter at start (real mode: offset)
  struct timespec realStart = {}; // real mode: monotonic time at start

  // Clock: local wall-clock seconds (as if UTC) at tickStart; runs with ticks.
  int64_t clockStart = 0;

  // Allocation faults: call number failAllocAt fails (1-based); with
  // failAllocFrom every later call fails too.  0 disables.
  uint64_t allocCalls = 0;
  uint64_t failAllocAt = 0;
  bool failAllocFrom = false;
  uint64_t allocFailures = 0;
  int64_t liveBlocks = 0;
  // Bytes held through TAP_MemAlloc now, and the most held at once.
  uint64_t heldBytes = 0, peakBytes = 0;

  // Write faults on the internal disk: TAP_Hdd_Fwrite call number failWriteAt
  // writes nothing and reports 0 items (1-based, 0 disables).
  uint64_t writeCalls = 0;
  uint64_t failWriteAt = 0;

  bool exited = false;            // TAP_Exit was called
  uint64_t sleeps = 0;

  FILE *debugConsole = stdout;    // TAP_Print
  const char *debugPrefix = "";

  // Called at the start of every host call with its name (nested events).
  std::function<void(const char *)> onHostCall;

  // What the plug-in hands to TAP_Hdd_Fwrite (file name as it opened it;
  // failed is set for a write refused by failWriteAt) and the text of every
  // TAP_Print, for the simulator's trace.
  std::function<void(const char *file, const void *data, size_t size, bool failed)> onWrite;
  std::function<void(const char *text)> onPrint;
};

extern "C" TapRuntime *TapRuntimeControl();

constexpr int64_t kMjdOfUnixEpoch = 40587;

// The tick counter as TAP_GetTick reports it, without counting as a host call.
inline dword TapRuntimeTicks(const TapRuntime *rt)
{
  if (rt->virtualTicks)
    return rt->tick;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t cs = (now.tv_sec - rt->realStart.tv_sec) * 100 + (now.tv_nsec - rt->realStart.tv_nsec) / 10000000;
  return rt->tickStart + (dword)cs;
}

// Recompute firmwarePath after currentDir changed.
inline void TapRuntimeSyncPath(TapRuntime *rt)
{
  snprintf(rt->firmwarePath, sizeof rt->firmwarePath, "/mnt/hd%s", rt->currentDir.c_str());
}

// Howard Hinnant's civil-calendar conversions (proleptic Gregorian).
inline int64_t TapDaysFromCivil(int y, unsigned m, unsigned d)
{
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = (unsigned)(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (int64_t)doe - 719468;
}

inline void TapCivilFromDays(int64_t z, int *y, unsigned *m, unsigned *d)
{
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = (unsigned)(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = (int)(yoe + era * 400) + (*m <= 2);
}

#endif
