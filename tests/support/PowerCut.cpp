#include "PowerCut.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "RecorderNamespace.h"

#ifndef F_ADD_SEALS
#define F_ADD_SEALS 1033
#define F_SEAL_WRITE 0x0008
#endif
#ifndef MFD_ALLOW_SEALING
#define MFD_ALLOW_SEALING 2
#endif

namespace {

constexpr size_t kChunk = 1 << 20;

std::string Failed(const std::string &step) { return step + ": " + strerror(errno); }

bool AllZero(const char *p, size_t n)
{
  for (size_t i = 0; i < n; i++)
    if (p[i])
      return false;
  return true;
}

// Copies size bytes from one descriptor to another, leaving holes where
// the source holds only zeros.  "" or what failed.
std::string CopySparse(int from, int to, uint64_t size, const char *what)
{
  std::vector<char> buf(kChunk);
  if (ftruncate(to, (off_t)size) != 0)
    return Failed(std::string(what) + ": ftruncate");
  for (uint64_t at = 0; at < size;) {
    ssize_t got = pread(from, buf.data(), buf.size(), (off_t)at);
    if (got <= 0)
      return Failed(std::string(what) + ": read");
    if (!AllZero(buf.data(), (size_t)got) && pwrite(to, buf.data(), (size_t)got, (off_t)at) != got)
      return Failed(std::string(what) + ": write");
    at += (uint64_t)got;
  }
  return "";
}

// A free loop device bound to fd, detaching itself once its last user
// closes it.  Another process may take the same free device first: retried.
int AttachLoop(int fd, std::string *error)
{
  int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    *error = Failed("/dev/loop-control");
    return -1;
  }
  for (int attempt = 0; attempt < 20; attempt++) {
    int n = ioctl(control, LOOP_CTL_GET_FREE);
    if (n < 0) {
      *error = Failed("LOOP_CTL_GET_FREE");
      break;
    }
    std::string dev = "/dev/loop" + std::to_string(n);
    int loop = open(dev.c_str(), O_RDWR | O_CLOEXEC);
    if (loop < 0) {
      *error = Failed(dev);
      break;
    }
    if (ioctl(loop, LOOP_SET_FD, fd) != 0) {
      *error = Failed("LOOP_SET_FD " + dev);
      close(loop);
      if (errno == EBUSY)
        continue;
      break;
    }
    struct loop_info64 info;
    memset(&info, 0, sizeof info);
    info.lo_flags = LO_FLAGS_AUTOCLEAR;
    if (ioctl(loop, LOOP_SET_STATUS64, &info) != 0) {
      *error = Failed("LOOP_SET_STATUS64 " + dev);
      ioctl(loop, LOOP_CLR_FD, 0);
      close(loop);
      break;
    }
    close(control);
    error->clear();
    return loop;
  }
  close(control);
  return -1;
}

} // namespace

std::string MakeExt4Image(const std::string &path, uint64_t bytes, const std::vector<std::string> &options)
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    return Failed(path);
  bool sized = ftruncate(fd, (off_t)bytes) == 0;
  close(fd);
  if (!sized)
    return Failed("ftruncate " + path);
  std::vector<std::string> argv = {"mkfs.ext4", "-q", "-F"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(path);
  ProgramRun mkfs = RunProgram(argv);
  return mkfs.status == 0 ? "" : "mkfs.ext4: " + mkfs.err;
}

int CheckExt4Image(const std::string &path, std::string *out)
{
  ProgramRun fsck = RunProgram({"e2fsck", "-fy", path});
  *out = fsck.out + fsck.err;
  return fsck.status;
}

MountedImage::MountedImage(const std::string &image)
{
  int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    error_ = Failed(image);
    return;
  }
  Mount(fd);
  close(fd);
}

MountedImage::~MountedImage() { Drop(); }

void MountedImage::Mount(int fd)
{
  error_ = EnterPrivateMounts();
  if (!error_.empty())
    return;
  int loop = AttachLoop(fd, &error_);
  if (loop < 0)
    return;
  std::string dev = "/proc/self/fd/" + std::to_string(loop);
  char name[64];
  ssize_t n = readlink(dev.c_str(), name, sizeof name - 1);
  name[n > 0 ? n : 0] = 0;
  if (mount(name, mnt_.path().c_str(), "ext4", 0, nullptr) != 0)
    error_ = Failed(std::string("mounting ") + name);
  else
    mounted_ = true;
  close(loop); // the mount holds it now; without one it detaches
}

void MountedImage::Drop()
{
  if (mounted_ && umount2(mnt_.path().c_str(), 0) != 0)
    (void)umount2(mnt_.path().c_str(), MNT_DETACH);
  mounted_ = false;
}

PoweredDisk::PoweredDisk(const std::string &image)
{
  int file = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (file < 0 || fstat(file, &st) != 0) {
    error_ = Failed(image);
    if (file >= 0)
      close(file);
    return;
  }
  size_ = (uint64_t)st.st_size;
  memory_ = memfd_create("vx-powered-disk", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memory_ < 0)
    error_ = Failed("memfd_create");
  else
    error_ = CopySparse(file, memory_, size_, "filling the disk");
  close(file);
  if (error_.empty())
    Mount(memory_);
}

PoweredDisk::~PoweredDisk()
{
  Drop();
  if (memory_ >= 0)
    close(memory_);
}

std::string PoweredDisk::CutPower(const std::string &copy)
{
  if (memory_ < 0 || !mounted_)
    return "no disk to cut";
  if (fcntl(memory_, F_ADD_SEALS, F_SEAL_WRITE) != 0)
    return Failed("sealing the disk");
  int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0)
    return Failed(copy);
  std::string error = CopySparse(memory_, out, size_, "copying the disk");
  close(out);
  Drop(); // its last writes fail against the seal
  return error;
}
