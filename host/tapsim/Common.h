// Small pieces every part of the simulator uses: exit codes, an owned
// descriptor, error texts that carry errno.
#pragma once
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// Exit statuses, documented in --help.
enum TapsimExit {
  kExitPluginExited = 0, // the plug-in ended through TAP_Exit
  kExitNotEnded = 1,     // event limit reached, or TAP_Main declined to stay
  kExitUsage = 2,
  kExitLoadFailure = 3,
  kExitCrash = 4,        // a signal, or stuck in TAP_Sleep (abort)
  kExitSandbox = 5,      // namespace or mount set-up failed
  kExitInterrupted = 130,
};

class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
  UniqueFd &operator=(UniqueFd &&o) noexcept
  {
    reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release()
  {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1)
  {
    if (fd_ >= 0)
      close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

// "what: strerror(errno)" into *err; returns false so callers can
// `return SysError(err, ...)`.
inline bool SysError(std::string *err, const std::string &what)
{
  int saved = errno;
  if (err)
    *err = what + ": " + strerror(saved);
  errno = saved;
  return false;
}

// The path through which a descriptor opened before the namespace was set up
// can still be named after /mnt has been covered.
inline std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Reads a whole (small) file such as /proc/self/mountinfo; false if it
// cannot be opened.
inline bool ReadTextFile(const std::string &path, std::string *out)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  out->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    out->append(buf, (size_t)n);
  }
  close(fd);
  return true;
}

// Writes all of a buffer, retrying on EINTR and short writes.
inline bool WriteAll(int fd, const void *data, size_t size)
{
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    size -= (size_t)n;
  }
  return true;
}

// Writes a small text to a file that is there already, such as one of /proc
// or of a control group; dir as for openat.
inline bool WriteTextFile(int dir, const char *file, const std::string &text, std::string *err)
{
  UniqueFd fd(openat(dir, file, O_WRONLY | O_CLOEXEC));
  if (!fd || !WriteAll(fd.get(), text.data(), text.size()))
    return SysError(err, std::string("writing ") + file);
  return true;
}
