// A disk image formatted as owners format USB disks (exFAT or NTFS), on a
// loop device, mounted by its FUSE driver on a fresh folder in a mount
// namespace of the test process alone; unmounted and detached again however
// the test ends.  Needs root: skip says why not when it cannot be had.
#pragma once
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

#include "RecorderNamespace.h"
#include "TestSupport.h"

class FormattedDisk {
public:
  // kind: "exfat" or "ntfs" on a loop device (the kernel calls the mount
  // "fuseblk"), or "ntfs-fuse": ntfs-3g on the image itself ("fuse").
  explicit FormattedDisk(const std::string &kind, long bytes = 64 << 20)
  {
    if (!EnterPrivateMounts().empty()) {
      skip_ = "a private mount namespace needs root";
      return;
    }
    std::string image = dir_ / "disk.img";
    int fd = open(image.c_str(), O_WRONLY | O_CREAT, 0600);
    bool sized = fd >= 0 && ftruncate(fd, bytes) == 0;
    if (fd >= 0)
      close(fd);
    ProgramRun made = kind == "exfat" ? RunProgram({"mkfs.exfat", image}, Path())
                                      : RunProgram({"mkntfs", "-F", "-Q", "-q", image}, Path());
    if (!sized || made.status != 0) {
      failed_ = "formatting " + kind + ": " + made.out + made.err;
      return;
    }
    if (kind == "ntfs-fuse") {
      std::filesystem::create_directories(Root());
      ProgramRun mounted = RunProgram({"ntfs-3g", image, Root()}, Path());
      if (mounted.status != 0)
        failed_ = "mounting " + kind + ": " + mounted.out + mounted.err;
      mounted_ = mounted.status == 0;
      return;
    }
    ProgramRun loop = RunProgram({"losetup", "--find", "--show", image}, Path());
    if (loop.status != 0) {
      skip_ = "no loop device to be had: " + loop.err;
      return;
    }
    loop_ = loop.out.substr(0, loop.out.find('\n'));
    std::filesystem::create_directories(Root());
    ProgramRun mounted = kind == "exfat" ? RunProgram({"mount.exfat-fuse", loop_, Root()}, Path())
                                         : RunProgram({"ntfs-3g", loop_, Root()}, Path());
    if (mounted.status != 0)
      failed_ = "mounting " + kind + ": " + mounted.out + mounted.err;
    mounted_ = mounted.status == 0;
  }
  ~FormattedDisk()
  {
    if (mounted_)
      (void)umount2(Root().c_str(), 0);
    if (!loop_.empty())
      (void)RunProgram({"losetup", "-d", loop_}, Path());
  }
  FormattedDisk(const FormattedDisk &) = delete;
  FormattedDisk &operator=(const FormattedDisk &) = delete;
  std::string Root() const { return dir_ / "mnt"; }
  std::string skip_, failed_;

private:
  static std::vector<std::string> Path()
  {
    return {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
  }
  TempDir dir_;
  std::string loop_;
  bool mounted_ = false;
};
