#include "DiskModel.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct FileState {
  uint64_t unwritten = 0;
  double since = 0;  // when the oldest unwritten byte was written
  double doneAt = 0; // when the disk has written what was queued of it
};

struct Disk {
  std::string name;   // hd, sdb1, ...
  double rate = 0;    // bytes a second left for everything but the recording
  double recording = 0;
  double busyUntil = 0;
  double recordingSince = -kDirtyExpireSeconds; // last flush of the whole disk
  std::map<std::pair<dev_t, ino_t>, FileState> files;
};

struct FdEntry {
  dev_t dev = 0;
  ino_t ino = 0;
  int disk = -1; // index into disks, -1: on no modelled disk
  bool known = false;
};

std::mutex lock;
bool active;
DiskModelSettings settings;
std::vector<Disk> disks;
std::vector<FdEntry> fds;
DiskModelFigures totals;

double Now()
{
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// The disk a path lies on: /mnt/hd or /mnt/sdXN, nothing else (a share).
int DiskOfPath(const std::string &path)
{
  if (path.compare(0, 5, "/mnt/") != 0)
    return -1;
  std::string name = path.substr(5, path.find('/', 5) - 5);
  if (name != "hd" && name.compare(0, 2, "sd") != 0)
    return -1;
  for (size_t i = 0; i < disks.size(); i++)
    if (disks[i].name == name)
      return (int)i;
  Disk d;
  d.name = name;
  d.recording = name == "hd" ? settings.recording : 0;
  d.rate = settings.speed - d.recording;
  disks.push_back(d);
  return (int)disks.size() - 1;
}

int DiskOfFd(int fd)
{
  char path[4096];
  ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  path[n > 0 ? n : 0] = 0;
  return DiskOfPath(path);
}

// The modelled file behind fd, or null; a descriptor is looked up by its
// path when its file is not the one seen last under that number.
FileState *FileOf(int fd, Disk **disk)
{
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return nullptr;
  if ((size_t)fd >= fds.size())
    fds.resize((size_t)fd + 1);
  FdEntry &e = fds[(size_t)fd];
  if (!e.known || e.dev != st.st_dev || e.ino != st.st_ino)
    e = {st.st_dev, st.st_ino, DiskOfFd(fd), true};
  if (e.disk < 0)
    return nullptr;
  *disk = &disks[(size_t)e.disk];
  return &(*disk)->files[{st.st_dev, st.st_ino}];
}

// Queues a file's unwritten bytes on its disk from the moment at.
void Queue(Disk &d, FileState &f, double at)
{
  if (!f.unwritten)
    return;
  d.busyUntil = std::max(d.busyUntil, at) + (double)f.unwritten / d.rate;
  f.doneAt = d.busyUntil;
  f.unwritten = 0;
}

// What has waited for the kernel's write-back long enough is queued.
void Expire(Disk &d, FileState &f, double now)
{
  if (f.unwritten && f.since + kDirtyExpireSeconds <= now)
    Queue(d, f, f.since + kDirtyExpireSeconds);
}

double FlushDisk(Disk &d, double now)
{
  for (auto &entry : d.files) {
    Expire(d, entry.second, now);
    Queue(d, entry.second, now);
  }
  double backlog = d.recording * std::min(kDirtyExpireSeconds, now - d.recordingSince);
  d.busyUntil = std::max(d.busyUntil, now) + backlog / d.rate;
  d.recordingSince = now;
  return d.busyUntil;
}

} // namespace

void DiskModelStart(const DiskModelSettings &s)
{
  std::lock_guard<std::mutex> hold(lock);
  settings = s;
  active = s.speed > 0;
}

void DiskModelWrote(int fd, size_t bytes)
{
  if (!active || !bytes)
    return;
  int saved = errno;
  std::lock_guard<std::mutex> hold(lock);
  Disk *d;
  if (FileState *f = FileOf(fd, &d)) {
    double now = Now();
    Expire(*d, *f, now);
    if (!f->unwritten)
      f->since = now;
    f->unwritten += bytes;
  }
  errno = saved;
}

void DiskModelClosed(int fd)
{
  if (!active)
    return;
  std::lock_guard<std::mutex> hold(lock);
  if (fd >= 0 && (size_t)fd < fds.size())
    fds[(size_t)fd].known = false;
}

double DiskModelFlushFile(int fd)
{
  // On ext3 fsync commits the journal, which first writes the whole disk.
  if (settings.fsyncFlushesDisk)
    return DiskModelFlushDisk(fd);
  return DiskModelSyncRange(fd, SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

double DiskModelSyncRange(int fd, unsigned flags)
{
  if (!active)
    return 0;
  std::lock_guard<std::mutex> hold(lock);
  Disk *d;
  FileState *f = FileOf(fd, &d);
  if (!f)
    return 0;
  double now = Now(), until = 0;
  if (flags & SYNC_FILE_RANGE_WAIT_BEFORE) // what is already being written
    until = f->doneAt;
  if (flags & SYNC_FILE_RANGE_WRITE) {
    Expire(*d, *f, now);
    Queue(*d, *f, now);
  }
  if (flags & SYNC_FILE_RANGE_WAIT_AFTER)
    until = std::max(until, f->doneAt);
  return until;
}

double DiskModelFlushDisk(int fd)
{
  if (!active)
    return 0;
  std::lock_guard<std::mutex> hold(lock);
  int d = fd >= 0 ? DiskOfFd(fd) : -1;
  return d >= 0 ? FlushDisk(disks[(size_t)d], Now()) : 0;
}

double DiskModelFlushAll()
{
  if (!active)
    return 0;
  std::lock_guard<std::mutex> hold(lock);
  double now = Now(), until = 0;
  for (Disk &d : disks)
    until = std::max(until, FlushDisk(d, now));
  return until;
}

double DiskModelNow() { return Now(); }

void DiskModelWait(double asked, double until)
{
  if (!active || until <= asked)
    return;
  int saved = errno;
  struct timespec t;
  t.tv_sec = (time_t)until;
  t.tv_nsec = (long)((until - (double)t.tv_sec) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR)
    ;
  uint64_t ns = (uint64_t)((until - asked) * 1e9);
  std::lock_guard<std::mutex> hold(lock);
  totals.waits++;
  totals.waitedNs += ns;
  totals.longestNs = std::max(totals.longestNs, ns);
  errno = saved;
}

DiskModelFigures DiskModelTotals()
{
  std::lock_guard<std::mutex> hold(lock);
  return totals;
}
