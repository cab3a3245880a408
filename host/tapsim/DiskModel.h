// A recorder's disk, slow and busy, played in the plug-in's own calls (this
// machine's disks are fast, and nothing slows the kernel's write-back).
//
// The disk writes `speed` bytes a second.  What the plug-in writes to a file
// on a disk (/mnt/hd, /mnt/sdXN) stays unwritten until a flush or the
// kernel's write-back takes it, 30 seconds later.  On the internal disk a
// recording writes `recording` bytes a second all the time: the kernel's
// write-back of it takes that much of the disk's speed, and up to the last
// 30 seconds of it are unwritten at any moment.  A flush of a file waits
// until the disk has written that file's unwritten bytes, after whatever the
// disk was still writing; a flush of a disk (syncfs, sync) waits for every
// file on it, the recording included.  Starting write-back
// (sync_file_range without waiting) queues a file's bytes without waiting.
// The waits are real: they show in the event's time.
#pragma once
#include <cstddef>
#include <cstdint>

struct DiskModelSettings {
  double speed = 0;             // bytes a second; 0: no model
  double recording = 0;         // bytes a second on the internal disk
  bool fsyncFlushesDisk = false; // fsync waits for the whole disk (ext3)
};

// The seconds unwritten data waits for the kernel's own write-back.
constexpr double kDirtyExpireSeconds = 30;

// In the plug-in's process, before it runs.
void DiskModelStart(const DiskModelSettings &settings);

// A write of bytes to fd.
void DiskModelWrote(int fd, size_t bytes);
void DiskModelClosed(int fd);

// Each returns the moment (CLOCK_MONOTONIC, seconds, as DiskModelNow) until
// which the call waits, 0 for none; the caller makes the real call, then
// DiskModelWait with the moment it asked.  The wait counted is the model
// disk's from that moment, whatever this machine's own disk and scheduler
// add or overlap.
double DiskModelNow();
double DiskModelFlushFile(int fd);       // fsync, fdatasync
double DiskModelSyncRange(int fd, unsigned flags); // sync_file_range
double DiskModelFlushDisk(int fd);       // syncfs
double DiskModelFlushAll();              // sync
void DiskModelWait(double asked, double until);

// Flushes that waited, and how long, in nanoseconds: in all and the longest.
struct DiskModelFigures {
  uint64_t waits = 0, waitedNs = 0, longestNs = 0;
};
DiskModelFigures DiskModelTotals();
