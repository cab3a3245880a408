// The definitions that take the place of the C library's for the image.
// Built without 64-bit file offsets, so that stat and stat64, readdir and
// readdir64 are each their own symbol and get the record the caller expects.
#undef _FILE_OFFSET_BITS
#ifndef _LARGEFILE64_SOURCE
#define _LARGEFILE64_SOURCE 1
#endif
#include "Interpose.h"

#include "DiskModel.h"
#include "KernelFloor.h"
#include "PluginThread.h"
#include "ReadCount.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

InterposeControl g_interpose;

namespace {

template <class St> int Mapped(int rc, St *st)
{
  if (rc == 0 && st && g_interpose.internalDevice && st->st_dev == g_interpose.internalDevice)
    st->st_dev = kRecorderDiskDevice;
  return rc;
}

// A folder listing in the order asked for: the entries as the real call gave
// them (whole records), served one after the other.
struct Listing {
  std::vector<std::vector<char>> entries;
  size_t next = 0;
};
std::mutex listingsLock;
std::map<DIR *, Listing> listings;

uint64_t Fnv(const std::string &text, uint64_t h)
{
  for (unsigned char c : text)
    h = (h ^ c) * 1099511628211ull;
  return h;
}

template <class Ent> Ent *Serve(DIR *dir, Ent *(*real)(DIR *))
{
  if (g_interpose.order == ListingOrder::kDisk || !dir)
    return real(dir);
  std::lock_guard<std::mutex> hold(listingsLock);
  auto it = listings.find(dir);
  if (it == listings.end()) {
    Listing l;
    while (Ent *e = real(dir)) {
      // Room for a whole record, for a caller that copies one.
      std::vector<char> copy(std::max<size_t>(e->d_reclen, sizeof(Ent)), 0);
      memcpy(copy.data(), e, e->d_reclen);
      l.entries.push_back(std::move(copy));
    }
    auto name = [](const std::vector<char> &v) { return std::string(reinterpret_cast<const Ent *>(v.data())->d_name); };
    std::sort(l.entries.begin(), l.entries.end(), [&](auto &a, auto &b) { return name(a) < name(b); });
    if (g_interpose.order == ListingOrder::kShuffle) {
      // The same folder lists the same way throughout a run, as on a disk.
      uint64_t h = 1469598103934665603ull ^ g_interpose.seed;
      for (auto &e : l.entries)
        h = Fnv(name(e), h);
      std::mt19937_64 random(h);
      std::shuffle(l.entries.begin(), l.entries.end(), random);
    }
    it = listings.emplace(dir, std::move(l)).first;
  }
  Listing &l = it->second;
  if (l.next >= l.entries.size())
    return nullptr;
  return reinterpret_cast<Ent *>(l.entries[l.next++].data());
}

} // namespace

extern "C" {

int stat(const char *path, struct stat *st)
{
  static auto real = Real<int (*)(const char *, struct stat *)>("stat");
  return Mapped(real(path, st), st);
}
int lstat(const char *path, struct stat *st)
{
  static auto real = Real<int (*)(const char *, struct stat *)>("lstat");
  return Mapped(real(path, st), st);
}
int fstat(int fd, struct stat *st)
{
  static auto real = Real<int (*)(int, struct stat *)>("fstat");
  return Mapped(real(fd, st), st);
}
int stat64(const char *path, struct stat64 *st)
{
  static auto real = Real<int (*)(const char *, struct stat64 *)>("stat64");
  return Mapped(real(path, st), st);
}
int lstat64(const char *path, struct stat64 *st)
{
  static auto real = Real<int (*)(const char *, struct stat64 *)>("lstat64");
  return Mapped(real(path, st), st);
}
int fstat64(int fd, struct stat64 *st)
{
  static auto real = Real<int (*)(int, struct stat64 *)>("fstat64");
  return Mapped(real(fd, st), st);
}

struct dirent *readdir(DIR *dir)
{
  static auto real = Real<struct dirent *(*)(DIR *)>("readdir");
  return Serve(dir, real);
}
struct dirent64 *readdir64(DIR *dir)
{
  static auto real = Real<struct dirent64 *(*)(DIR *)>("readdir64");
  return Serve(dir, real);
}
int closedir(DIR *dir)
{
  static auto real = Real<int (*)(DIR *)>("closedir");
  {
    std::lock_guard<std::mutex> hold(listingsLock);
    listings.erase(dir);
  }
  return real(dir);
}

ssize_t write(int fd, const void *data, size_t size)
{
  // No guarded static: the supervisor's signal handler writes too.
  static ssize_t (*realWrite)(int, const void *, size_t);
  if (!realWrite)
    realWrite = Real<ssize_t (*)(int, const void *, size_t)>("write");
  ssize_t n = realWrite(fd, data, size);
  if (n > 0)
    DiskModelWrote(fd, (size_t)n);
  return n;
}

int close(int fd)
{
  static auto realClose = Real<int (*)(int)>("close");
  DiskModelClosed(fd);
  return realClose(fd);
}

int fsync(int fd)
{
  static auto realFsync = Real<int (*)(int)>("fsync");
  if (g_interpose.noSync)
    return 0;
  double asked = DiskModelNow(), until = DiskModelFlushFile(fd);
  int rc = realFsync(fd);
  DiskModelWait(asked, until);
  return rc;
}

// The plug-in reaches sync, syncfs, fdatasync and sync_file_range through
// syscall(); every other call passes with the six argument words.  As the
// C library's own, it reads six whatever the caller passed: the sixth may
// lie in the caller's frame, which the sanitizer need not see read.
__attribute__((no_sanitize_address)) long syscall(long number, ...)
{
  static auto realSyscall = Real<long (*)(long, ...)>("syscall");
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (long &word : a)
    word = va_arg(ap, long);
  va_end(ap);
  bool lacking = g_interpose.kernelFloor && KernelLacks(g_interpose.kernelFloor, number) &&
                 InImage(__builtin_return_address(0));
  if (lacking && !g_interpose.floorBySeccomp) {
    KernelFloorRefused(number);
    errno = ENOSYS;
    return -1;
  }
  bool flush = number == SYS_sync || number == SYS_fsync || number == SYS_fdatasync ||
               number == SYS_sync_file_range;
#ifdef SYS_syncfs
  flush = flush || number == SYS_syncfs;
#endif
  if (flush && g_interpose.noSync)
    return 0;
  double asked = flush ? DiskModelNow() : 0, until = 0;
  if (number == SYS_sync)
    until = DiskModelFlushAll();
  else if (number == SYS_fsync || number == SYS_fdatasync)
    until = DiskModelFlushFile((int)a[0]);
#if !(defined(__mips__) && _MIPS_SIM == _ABIO32)
  // On o32 the C library's syscall() cannot pass the seventh word that
  // holds the flags: the kernel refuses the call there.
  else if (number == SYS_sync_file_range)
    until = DiskModelSyncRange((int)a[0], (unsigned)a[3]);
#endif
#ifdef SYS_syncfs
  else if (number == SYS_syncfs)
    until = DiskModelFlushDisk((int)a[0]);
#endif
  long rc = realSyscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
  if (lacking && rc == -1 && errno == ENOSYS)
    KernelFloorRefused(number);
  if (until)
    DiskModelWait(asked, until);
  return rc;
}

int system(const char *command)
{
  static auto real = Real<int (*)(const char *)>("system");
  if (command)
    g_interpose.launched = true;
  if (!g_interpose.commandThread)
    return real(command);
  struct {
    const char *command;
    int status, error;
  } job = {command, 0, 0};
  auto run = [&] {
    job.status = real(job.command);
    job.error = errno;
  };
  g_interpose.commandThread->Run(run);
  errno = job.error;
  return job.status;
}

} // extern "C"
