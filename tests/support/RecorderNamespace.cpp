#include "RecorderNamespace.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "host/firmware/Firmware.h"
#include "host/runtime/TapRuntime.h"

namespace {

std::string failed(const char *step)
{
  return std::string(step) + ": " + strerror(errno);
}

} // namespace

std::string EnterPrivateMounts()
{
  static std::string error = [] {
    if (unshare(CLONE_NEWNS) != 0)
      return failed("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return failed("making / private");
    return std::string();
  }();
  return error;
}

std::string EnterRecorderNamespace(const std::string &diskDir)
{
  static bool entered, bound;
  if (!entered) {
    if (unshare(CLONE_NEWNS) != 0)
      return failed("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return failed("make / private");
    if (mount("vxtest", "/mnt", "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0)
      return failed("tmpfs on /mnt");
    if (mkdir("/mnt/hd", 0755) != 0)
      return failed("mkdir /mnt/hd");
    entered = true;
  }
  if (bound && umount2("/mnt/hd", MNT_DETACH) != 0)
    return failed("unmount the previous disk");
  bound = false;
  if (mount(diskDir.c_str(), "/mnt/hd", nullptr, MS_BIND, nullptr) != 0)
    return failed("bind the disk at /mnt/hd");
  bound = true;
  return "";
}

void UseRecorderDisk(const std::string &diskDir)
{
  TapRuntime *rt = TapRuntimeControl();
  rt->diskRoot = diskDir;
  rt->currentDir = "/ProgramFiles";
  TapRuntimeSyncPath(rt);
  FirmwareSetTask(0, rt->firmwarePath);
}
