#include "HostDisk.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "host/firmware/Firmware.h"

HostDisk::HostDisk(const char *clock)
{
  std::filesystem::create_directories(dir_.path() + "/ProgramFiles");
  TapRuntime *rt = TapRuntimeControl();
  rt->diskRoot = dir_.path();
  rt->currentDir = "/ProgramFiles";
  TapRuntimeSyncPath(rt);
  FirmwareSetTask(0, rt->firmwarePath);
  int y, mo, d, h, mi, s;
  if (sscanf(clock, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6)
    throw std::invalid_argument(clock);
  rt->virtualTicks = true;
  rt->tick = rt->tickStart = 0;
  rt->clockStart = TapDaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

std::string HostDisk::current() const { return TapRuntimeControl()->currentDir; }

void HostDisk::advanceSeconds(int seconds) { TapRuntimeControl()->tick += seconds * 100; }

ConsoleCapture::ConsoleCapture(std::initializer_list<int> numbers) : prefix_(dir_.path() + "/pts/")
{
  std::filesystem::create_directories(prefix_);
  for (int n = 0; n < 20; n++)
    fds_[n] = keepOpen_[n] = -1;
  for (int n : numbers) {
    std::string path = prefix_ + std::to_string(n);
    if (mkfifo(path.c_str(), 0600) != 0)
      throw std::runtime_error("mkfifo " + path);
    fds_[n] = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A writer of our own keeps the FIFO from reporting end of file.
    keepOpen_[n] = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  }
  oldPrefix_ = PrintNetDevicePrefix;
  PrintNetDevicePrefix = prefix_.c_str();
  reader_ = std::thread([this] {
    while (!stop_) {
      struct pollfd p[20];
      nfds_t count = 0;
      for (int fd : fds_)
        if (fd >= 0)
          p[count++] = {fd, POLLIN, 0};
      poll(p, count, 20);
      for (int n = 0; n < 20; n++)
        drain(n);
    }
  });
}

ConsoleCapture::~ConsoleCapture()
{
  PrintNetDevicePrefix = oldPrefix_;
  stop_ = true;
  reader_.join();
  for (int n = 0; n < 20; n++) {
    if (fds_[n] >= 0)
      close(fds_[n]);
    if (keepOpen_[n] >= 0)
      close(keepOpen_[n]);
  }
}

void ConsoleCapture::drain(int n)
{
  std::lock_guard<std::mutex> lock(mutex_);
  char buf[4096];
  ssize_t got;
  while (fds_[n] >= 0 && ((got = ::read(fds_[n], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR)))
    if (got > 0)
      captured_[n].append(buf, (size_t)got);
}

std::string ConsoleCapture::read(int n)
{
  drain(n);
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  out.swap(captured_[n]);
  return out;
}
