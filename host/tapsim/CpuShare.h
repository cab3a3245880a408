// A share of one core for the plug-in's process, as slow as a recorder's
// processor: a control group of its own under the CPU controller this
// machine has, cgroup v2's cpu.max or v1's CFS quota.  The group's quota
// comes in periods of at least 10 ms (one tick); the controller allows
// no less than 1 ms a period, so below a share of 10% the period grows.
#pragma once
#include <string>

#include "Common.h"

class CpuShare {
public:
  CpuShare() = default;
  CpuShare(const CpuShare &) = delete;
  CpuShare &operator=(const CpuShare &) = delete;
  ~CpuShare() { Remove(); }

  // Makes the group; before the namespace is entered, as the machine is
  // read-only in it.  False with what was tried when no controller serves.
  bool Create(double percent, std::string *err);
  // In the plug-in's process: it and what it starts join the group.
  bool Join(std::string *err);
  // Once the group's processes have ended; false when it could not be.
  bool Remove();
  // "cgroup v1 /sys/fs/cgroup/cpu/tapsim.123: 3000 us every 100000 us"
  const std::string &description() const { return description_; }

private:
  bool CreateIn(const std::string &dir, bool v2, long quotaUs, long periodUs, std::string *err);

  UniqueFd parent_, procs_;
  std::string name_, description_;
};
