// Cutting the power of a recorder's internal disk.  The disk is an ext4
// file system (default options: ordered data, delayed allocation) on a loop
// device whose backing file is sealable memory.  The cut seals that memory
// against writes, so from that moment nothing more reaches the disk, not even
// what the kernel still holds in its page cache, and takes a copy of it: the
// disk as it was when the power went.  Setting the loop device read-only
// would not do: the kernel only warns about writes to it and carries them
// out.
//
// Needs root.  Mounts are made in a private mount namespace of the test
// process (the simulator's namespace inherits them), and every loop device
// detaches itself when its file system is unmounted, also when the test dies.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"

// Makes an empty ext4 image file of the given size, with mkfs.ext4's
// options added (such as {"-I", "128"}: inodes that keep whole seconds);
// "" or what failed.
std::string MakeExt4Image(const std::string &path, uint64_t bytes, const std::vector<std::string> &options = {});

// e2fsck -fy on an image file: its exit status (0 clean, 1 repaired, 4 or
// more errors left); its output in *out.
int CheckExt4Image(const std::string &path, std::string *out);

// An image file (or sealable memory) on a loop device, mounted read-write at
// a fresh folder; unmounted at the end.
class MountedImage {
public:
  explicit MountedImage(const std::string &image);
  ~MountedImage();
  MountedImage(const MountedImage &) = delete;
  MountedImage &operator=(const MountedImage &) = delete;
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  const std::string &root() const { return mnt_.path(); }

protected:
  MountedImage() = default;
  void Mount(int fd);
  void Drop(); // lazily: what it still writes may fail

  TempDir mnt_;
  std::string error_;
  bool mounted_ = false;
};

// The disk that loses its power: a copy of an image file in sealable memory,
// mounted.  CutPower freezes it and writes what the disk holds to a file.
class PoweredDisk : public MountedImage {
public:
  explicit PoweredDisk(const std::string &image);
  ~PoweredDisk();
  // "" or what failed.  The file system is gone afterwards.
  std::string CutPower(const std::string &copy);

private:
  int memory_ = -1;
  uint64_t size_ = 0;
};
