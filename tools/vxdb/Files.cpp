#include "Files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "Progress.h"

namespace vxdb {

Fd &Fd::operator=(Fd &&o) noexcept
{
  if (this != &o) {
    if (fd_ >= 0)
      close(fd_);
    fd_ = o.release();
  }
  return *this;
}

Fd::~Fd()
{
  if (fd_ >= 0)
    close(fd_);
}

int Fd::release()
{
  int fd = fd_;
  fd_ = -1;
  return fd;
}

std::string ErrnoText(int err) { return strerror(err); }

Fd OpenFolderBeneath(int dirfd, const std::vector<std::string> &parts, bool create)
{
  Fd cur(fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
  for (const auto &part : parts) {
    if (!cur.ok())
      return cur;
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
      errno = EINVAL;
      return Fd();
    }
    int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(cur.get(), part.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
      if (mkdirat(cur.get(), part.c_str(), 0777) != 0 && errno != EEXIST)
        return Fd();
      fd = openat(cur.get(), part.c_str(), flags);
    }
    // O_NOFOLLOW|O_DIRECTORY on a link gives ENOTDIR on some kernels.
    if (fd < 0 && errno == ENOTDIR) {
      struct stat st;
      if (fstatat(cur.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        errno = ELOOP;
      else
        errno = ENOTDIR;
    }
    cur = Fd(fd);
  }
  return cur;
}

Fd OpenFileBeneath(int dirfd, const std::vector<std::string> &parts)
{
  if (parts.empty()) {
    errno = EINVAL;
    return Fd();
  }
  std::vector<std::string> folder(parts.begin(), parts.end() - 1);
  Fd dir = OpenFolderBeneath(dirfd, folder, false);
  if (!dir.ok())
    return dir;
  const std::string &name = parts.back();
  if (name == "." || name == "..") {
    errno = EINVAL;
    return Fd();
  }
  return Fd(openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
}

bool ReadWholeFile(const std::string &path, size_t limit, std::string *data)
{
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok())
    return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0)
    return false;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  data->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    if (data->size() + size_t(n) > limit) {
      errno = EFBIG;
      return false;
    }
    data->append(buf, size_t(n));
  }
}

namespace {

void WalkFolder(int dirfd, const std::string &prefix, const std::function<void(const WalkItem &)> &visit,
                const std::function<void(const std::string &, int)> &onError)
{
  int fd = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    int err = errno;
    if (fd >= 0)
      close(fd);
    onError(prefix.empty() ? "/" : prefix, err);
    return;
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent *e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      names.emplace_back(e->d_name);
    errno = 0;
  }
  if (errno != 0)
    onError(prefix.empty() ? "/" : prefix, errno);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const auto &name : names) {
    WalkItem item;
    item.path = prefix + "/" + name;
    if (fstatat(dirfd, name.c_str(), &item.st, AT_SYMLINK_NOFOLLOW) != 0) {
      onError(item.path, errno);
      continue;
    }
    if (!S_ISDIR(item.st.st_mode)) {
      visit(item);
      continue;
    }
    Fd sub(openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.ok()) {
      onError(item.path, errno);
      continue;
    }
    WalkFolder(sub.get(), item.path, visit, onError);
  }
}

}  // namespace

void Walk(int dirfd, const std::function<void(const WalkItem &)> &visit,
          const std::function<void(const std::string &path, int err)> &onError)
{
  WalkFolder(dirfd, "", visit, onError);
}

bool HashDescriptor(int fd, Digest *digest, uint64_t *bytes, Progress *progress)
{
  Md5 md5;
  static thread_local char buf[1 << 16];
  *bytes = 0;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      break;
    md5.Update(buf, size_t(n));
    *bytes += uint64_t(n);
    if (progress)
      progress->AddBytes(uint64_t(n));
  }
  *digest = md5.Final();
  return true;
}

std::vector<std::string> SplitPath(const std::string &path)
{
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos)
      end = path.size();
    if (end > start)
      parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace vxdb
