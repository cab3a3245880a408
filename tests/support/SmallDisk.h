// A small tmpfs mounted on a folder, in a mount namespace of the test
// process alone (the simulator's namespace inherits it); unmounted again at
// the end.  Mounting needs root: mounted() says whether it worked.
#pragma once
#include <cstdint>
#include <string>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include "RecorderNamespace.h"

class SmallDisk {
public:
  SmallDisk(const std::string &dir, const std::string &size) : dir_(dir)
  {
    mounted_ = EnterPrivateMounts().empty() &&
               mount("vxsmall", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) == 0;
  }
  ~SmallDisk()
  {
    if (mounted_)
      umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk &) = delete;
  SmallDisk &operator=(const SmallDisk &) = delete;
  bool mounted() const { return mounted_; }
  uint64_t FreeBytes() const
  {
    struct statvfs vfs;
    return statvfs(dir_.c_str(), &vfs) == 0 ? (uint64_t)vfs.f_bavail * vfs.f_frsize : 0;
  }

private:
  std::string dir_;
  bool mounted_ = false;
};
