// What tapsim changes in the C library calls of the plug-in (and of the
// runtime): tapsim defines these calls itself, so that they come first in
// the global scope, and reaches the real ones through dlsym(RTLD_NEXT).
// Until the runner sets the controls, every call passes straight through.
#pragma once
#include <cstdint>
#include <dlfcn.h>
#include <sys/types.h>

#include "Options.h"

class CallThread;

struct InterposeControl {
  // Files on this device (the internal disk's folder on the machine) report
  // the recorder's internal disk, 8:2; 0: no change.
  dev_t internalDevice = 0;
  ListingOrder order = ListingOrder::kDisk;
  uint64_t seed = 0;
  // Set when the plug-in hands a command to system(): something may now run
  // in the background.
  bool launched = false;
  // fsync, sync and syncfs return at once: what the flushes cost is
  // measured against a run without them.
  bool noSync = false;
  // The kernel floor (0: none), applied here to the image's syscall()
  // where no seccomp filter could be set (qemu user emulation).
  uint32_t kernelFloor = 0;
  bool floorBySeccomp = false;
  // Where the plug-in's commands run: a thread outside the floor.
  CallThread *commandThread = nullptr;
};

extern InterposeControl g_interpose;

// The recorder's internal disk as st_dev reports it.
constexpr dev_t kRecorderDiskDevice = 2050;

// The C library's own `name`, which tapsim's definition hides.
template <class F> F Real(const char *name)
{
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
