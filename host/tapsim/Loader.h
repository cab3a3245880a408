// The recorder's side of a plug-in's life, run in the simulator's child
// process: load the runtime and the image, __TAP_Init_, TAP_Main, then one
// event after another until TAP_Exit.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "Common.h"
#include "Options.h"
#include "Sandbox.h"

// Where the child is, on a page shared with the supervising process, so that
// a crash can be reported with its event.
enum RunPhase : uint32_t { kPhaseSetup, kPhaseLoad, kPhaseMain, kPhaseEvent, kPhaseDone };
struct RunProgress {
  volatile uint32_t phase;
  volatile uint32_t code;
  volatile uint32_t tick;
  volatile uint64_t event;
};

// Everything the child needs that had to be opened before the namespace.
struct PluginFiles {
  UniqueFd runtime, image, utf8Firmware; // O_RDONLY, loaded through FdPath
  UniqueFd taskTable;                    // the firmware's, unless --no-task-table
  dev_t diskDevice = 0;                  // the internal disk's folder on the machine
  std::vector<DiskSource> ext;           // in the order of TapsimOptions::ext
  int traceFd = -1;
  std::string cpuShare; // how --cpu is applied, for --stats
};

// Runs the plug-in; returns the process's exit status (TapsimExit).
int RunPlugin(const TapsimOptions &opts, PluginFiles &files, RunProgress *progress);
