#include "CpuShare.h"

#include <cmath>
#include <ctime>
#include <sstream>
#include <sys/stat.h>
#include <vector>

#include "Sandbox.h"

namespace {

constexpr long kShortestPeriodUs = 10000;
constexpr long kLeastQuotaUs = 1000;

bool HasWord(const std::string &text, const std::string &word)
{
  std::istringstream words(text);
  for (std::string w; words >> w;)
    if (w == word)
      return true;
  return false;
}

// This process's group under v1's cpu controller, from /proc/self/cgroup
// ("4:cpu,cpuacct:/a").
std::string OwnCpuGroup()
{
  std::string text;
  if (!ReadTextFile("/proc/self/cgroup", &text))
    return "/";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    size_t c1 = line.find(':'), c2 = line.find(':', c1 + 1);
    if (c1 == std::string::npos || c2 == std::string::npos)
      continue;
    if (HasOption(line.substr(c1 + 1, c2 - c1 - 1), "cpu"))
      return line.substr(c2 + 1);
  }
  return "/";
}

} // namespace

bool CpuShare::CreateIn(const std::string &dir, bool v2, long quotaUs, long periodUs, std::string *err)
{
  UniqueFd parent(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent)
    return SysError(err, dir);
  std::string name = "tapsim." + std::to_string(getpid());
  if (mkdirat(parent.get(), name.c_str(), 0755) != 0)
    return SysError(err, "creating " + dir + "/" + name);
  UniqueFd group(openat(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  bool ready = group ? true : SysError(err, "opening " + dir + "/" + name);
  if (ready && v2)
    ready = WriteTextFile(group.get(), "cpu.max", std::to_string(quotaUs) + " " + std::to_string(periodUs), err);
  else if (ready)
    ready = WriteTextFile(group.get(), "cpu.cfs_period_us", std::to_string(periodUs), err) &&
            WriteTextFile(group.get(), "cpu.cfs_quota_us", std::to_string(quotaUs), err);
  if (ready) {
    procs_.reset(openat(group.get(), "cgroup.procs", O_WRONLY | O_CLOEXEC));
    ready = procs_ ? true : SysError(err, "opening " + dir + "/" + name + "/cgroup.procs");
  }
  if (!ready) {
    (void)unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
    return false;
  }
  parent_ = std::move(parent);
  name_ = name;
  description_ = std::string(v2 ? "cgroup v2 " : "cgroup v1 ") + dir + "/" + name + ": " + std::to_string(quotaUs) +
                 " us every " + std::to_string(periodUs) + " us";
  return true;
}

bool CpuShare::Create(double percent, std::string *err)
{
  long periodUs = std::max(kShortestPeriodUs, (long)std::ceil(kLeastQuotaUs * 100.0 / percent));
  long quotaUs = std::max(kLeastQuotaUs, std::lround((double)periodUs * percent / 100.0));
  std::vector<MountEntry> mounts;
  if (!ReadMounts(&mounts, err))
    return false;
  std::string tried;
  for (bool v2 : {true, false}) {
    for (const MountEntry &m : mounts) {
      std::string why;
      if (v2 && m.fsType == "cgroup2") {
        // Only the top of the hierarchy may hand the controller down while
        // it holds processes itself.
        std::string controllers, subtree;
        ReadTextFile(m.mountPoint + "/cgroup.controllers", &controllers);
        ReadTextFile(m.mountPoint + "/cgroup.subtree_control", &subtree);
        // Enabling it there would change the whole machine: left to its owner.
        if (!HasWord(controllers, "cpu"))
          why = "the cpu controller is not offered there";
        else if (!HasWord(subtree, "cpu"))
          why = "cpu is not in its cgroup.subtree_control";
        else if (CreateIn(m.mountPoint, true, quotaUs, periodUs, &why))
          return true;
      } else if (!v2 && m.fsType == "cgroup" && HasOption(m.superOptions, "cpu")) {
        // Below this process's own group, so that its limits still hold.
        std::string own = OwnCpuGroup(), dir = m.mountPoint;
        if (m.root != "/" && own.compare(0, m.root.size(), m.root) == 0)
          own = own.substr(m.root.size());
        struct stat st;
        if (own != "/" && stat((dir + own).c_str(), &st) == 0)
          dir += own;
        if (CreateIn(dir, false, quotaUs, periodUs, &why))
          return true;
      } else {
        continue;
      }
      tried += (tried.empty() ? "" : "; ") + m.mountPoint + ": " + why;
    }
  }
  *err = "no CPU controller of the control groups can be used here (" +
         (tried.empty() ? std::string("none is mounted") : tried) + "); run as root on a machine whose "
         "cgroup v2 hands cpu down at its top, or whose cgroup v1 mounts cpu";
  return false;
}

bool CpuShare::Join(std::string *err)
{
  std::string pid = std::to_string(getpid());
  if (!WriteAll(procs_.get(), pid.data(), pid.size()))
    return SysError(err, "joining the CPU share's group");
  procs_.reset();
  return true;
}

bool CpuShare::Remove()
{
  procs_.reset();
  if (!parent_)
    return true;
  // The group empties as its last processes are reaped.
  for (int i = 0; i < 100; i++) {
    if (unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
      parent_.reset();
      return true;
    }
    if (errno != EBUSY)
      break;
    struct timespec t = {0, 10 * 1000 * 1000};
    nanosleep(&t, nullptr);
  }
  parent_.reset();
  return false;
}
