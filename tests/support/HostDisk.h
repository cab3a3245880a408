// Unit tests of the support library's file calls: the host runtime on a
// recorder disk in a fresh folder, with a clock that moves only when told,
// and a network console that the test reads instead of a real terminal.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "host/runtime/TapRuntime.h"

class HostDisk {
public:
  // clock: "YYYY-MM-DD HH:MM:SS", local time of the recorder.
  explicit HostDisk(const char *clock = "2026-12-06 13:05:09");
  // Disk root, and the Linux path of a path on the disk ("/ProgramFiles/...").
  const std::string &root() const { return dir_.path(); }
  std::string operator/(const std::string &diskPath) const { return dir_.path() + diskPath; }
  // The folder the plug-in is in, as the host's file calls see it.
  std::string current() const;
  void advanceSeconds(int seconds);

private:
  TempDir dir_;
};

// Stands in for /dev/pts: the consoles with the given numbers exist as
// FIFOs that a thread of this object keeps drained, so a writer never
// blocks.  Restores the silent console at the end.
class ConsoleCapture {
public:
  explicit ConsoleCapture(std::initializer_list<int> numbers = {0});
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture &) = delete;
  ConsoleCapture &operator=(const ConsoleCapture &) = delete;
  // Everything written to console n since the last call.
  std::string read(int n = 0);

private:
  void drain(int n);

  TempDir dir_;
  std::string prefix_;
  const char *oldPrefix_;
  int fds_[20];
  int keepOpen_[20];
  std::string captured_[20];
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};
