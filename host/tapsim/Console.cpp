#include "Console.h"

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>

#include "Options.h"

bool Console::Open(std::string *err)
{
  master_.reset(open("/dev/pts/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!master_)
    return SysError(err, "opening /dev/pts/ptmx");
  char name[64];
  if (unlockpt(master_.get()) != 0 || ptsname_r(master_.get(), name, sizeof name) != 0)
    return SysError(err, "unlocking the console terminal");
  slaveName_ = name;
  // O_NOCTTY: the simulator must never get it as controlling terminal.
  slave_.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave_)
    return SysError(err, std::string("opening ") + name);
  struct termios raw;
  if (tcgetattr(slave_.get(), &raw) != 0)
    return SysError(err, "reading the console's terminal mode");
  cfmakeraw(&raw);
  if (tcsetattr(slave_.get(), TCSANOW, &raw) != 0)
    return SysError(err, "setting the console to raw mode");
  return true;
}

void Console::Emit(const char *data, size_t size)
{
  if (!prefix_) {
    (void)WriteAll(sink_, data, size); // a full disk loses console text, not the run
    return;
  }
  // PrintNet sends each line with its terminating zero; a terminal shows nothing for it.
  for (size_t i = 0; i < size; i++)
    if (data[i])
      partial_ += data[i];
  size_t start = 0, nl;
  std::string out;
  while ((nl = partial_.find('\n', start)) != std::string::npos) {
    out += kConsolePrefix;
    out.append(partial_, start, nl + 1 - start);
    start = nl + 1;
  }
  partial_.erase(0, start);
  if (!out.empty())
    (void)WriteAll(sink_, out.data(), out.size());
}

void Console::Drain()
{
  if (!master_)
    return;
  char buf[65536];
  for (;;) {
    ssize_t n = read(master_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    Emit(buf, (size_t)n);
  }
}

void Console::Close()
{
  Drain();
  if (prefix_ && !partial_.empty()) {
    std::string out = kConsolePrefix + partial_ + "\n";
    (void)WriteAll(sink_, out.data(), out.size());
    partial_.clear();
  }
  slave_.reset();
  master_.reset();
}
