#include "Files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
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

namespace {

volatile sig_atomic_t gInterrupted = 0;

extern "C" void NoteInterrupt(int) { gInterrupted = 1; }

}  // namespace

void WatchInterrupts()
{
  struct sigaction sa = {};
  sa.sa_handler = NoteInterrupt;
  sa.sa_flags = SA_RESETHAND;  // a second one ends the tool
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted() { return gInterrupted != 0; }

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
  return Fd(openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

bool ReadWholeFile(const std::string &path, size_t limit, std::string *data, std::string *why)
{
  Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0) {
    *why = ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return false;
  }
  if (uint64_t(st.st_size) > limit) {
    *why = "too large for a catalogue";
    return false;
  }
  // The size at opening is all that is read, even of a file that grows.
  data->assign(size_t(st.st_size), '\0');
  size_t have = 0;
  while (have < data->size()) {
    ssize_t n = read(fd.get(), data->data() + have, data->size() - have);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *why = ErrnoText(errno);
      return false;
    }
    if (n == 0)
      break;
    have += size_t(n);
  }
  data->resize(have);
  return true;
}

bool WriteAll(int fd, const char *data, size_t n)
{
  while (n) {
    ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    data += w;
    n -= size_t(w);
  }
  return true;
}

bool SortedNames(int dirfd, std::vector<std::string> *names, int *readErr)
{
  int fd = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    int saved = errno;
    if (fd >= 0)
      close(fd);
    errno = saved;
    return false;
  }
  // The copy shares its position with dirfd: a folder listed before reads
  // again from its start.
  rewinddir(dir);
  errno = 0;
  while (dirent *e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      names->emplace_back(e->d_name);
    errno = 0;
  }
  if (readErr)
    *readErr = errno;
  closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

void Walk(int dirfd, const std::function<void(const WalkItem &)> &visit,
          const std::function<void(const std::string &path, int err)> &onError,
          const std::function<bool(int parent, const std::string &name, const WalkItem &)> &enter)
{
  // Folders still to read, the next on top. Only the folder just read stays
  // open, because the next one is most often its first subfolder; any other
  // is opened afresh from dirfd, component by component.
  std::vector<std::string> pending = {""};
  Fd last;
  std::string lastPath;
  while (!pending.empty() && !Interrupted()) {
    std::string path = std::move(pending.back());
    pending.pop_back();
    Fd fd;
    size_t slash = path.rfind('/');
    if (path.empty())
      fd = Fd(fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
    else if (last.ok() && slash != std::string::npos && path.compare(0, slash, lastPath) == 0 &&
             slash == lastPath.size())
      fd = Fd(openat(last.get(), path.c_str() + slash + 1, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    else
      fd = OpenFolderBeneath(dirfd, SplitPath(path), false);
    if (!fd.ok()) {
      onError(path.empty() ? "/" : path, errno);
      continue;
    }
    int err = 0;
    std::vector<std::string> names;
    if (!SortedNames(fd.get(), &names, &err))
      err = errno;
    if (err != 0)
      onError(path.empty() ? "/" : path, err);
    std::vector<std::string> folders;
    for (const auto &name : names) {
      WalkItem item;
      item.path = path + "/" + name;
      if (fstatat(fd.get(), name.c_str(), &item.st, AT_SYMLINK_NOFOLLOW) != 0)
        onError(item.path, errno);
      else if (S_ISDIR(item.st.st_mode)) {
        if (!enter || enter(fd.get(), name, item))
          folders.push_back(std::move(item.path));
      }
      else
        visit(item);
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
      pending.push_back(std::move(*it));
    last = std::move(fd);
    lastPath = path;
  }
}

bool HashDescriptor(int fd, uint64_t limit, Digest *digest, uint64_t *bytes, Progress *progress)
{
  Md5 md5;
  static thread_local char buf[1 << 16];
  *bytes = 0;
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  while (*bytes <= limit) {
    if (Interrupted()) {
      errno = EINTR;
      return false;
    }
    uint64_t room = limit - *bytes;
    size_t want = room >= sizeof buf ? sizeof buf : size_t(room) + 1;
    ssize_t n = read(fd, buf, want);
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

Mounts::Mounts()
{
  // mountinfo: ID PARENT MAJOR:MINOR ROOT POINT ..., with blanks in POINT as \040.
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream words(line);
    std::string skip, point, path;
    words >> skip >> skip >> skip >> skip >> point;
    for (size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size() && isdigit((unsigned char)point[i + 1])) {
        path += char(std::stoi(point.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        path += point[i];
      }
    }
    struct stat st;
    if (!path.empty() && lstat(path.c_str(), &st) == 0)
      points_.insert({uint64_t(st.st_dev), uint64_t(st.st_ino)});
  }
}

bool Mounts::At(int dirfd, const std::string &name, const struct stat &st) const
{
  struct statx sx;
  if (statx(dirfd, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &sx) == 0 &&
      (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return points_.count({uint64_t(st.st_dev), uint64_t(st.st_ino)}) != 0;
}

namespace {

struct Sweep {
  dev_t dev;
  Mounts mounts;
  bool dryRun;
  const HeldNames &held;
  const std::function<void(const std::string &, bool, const std::string &)> &done;

  // Another file system below: never entered, never removed.
  bool Barrier(int parent, const std::string &name, const struct stat &st, const std::string &path)
  {
    if (st.st_dev == dev && !mounts.At(parent, name, st))
      return false;
    done(path, true, "a mount point or another file system; left alone");
    return true;
  }

  // Goes through the folder fd at path, which the tree holds as folder
  // (everything in it goes when it holds none). True when it is empty (or
  // would be) afterwards.
  bool Folder(int fd, const std::string &path, const std::map<std::string, bool> *folder)
  {
    std::vector<std::string> names;
    if (!SortedNames(fd, &names)) {
      done(path, true, "cannot read it: " + ErrnoText(errno));
      return false;
    }
    std::map<std::string, struct stat> listed;
    for (const auto &name : names) {
      struct stat st;
      if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        listed[name] = st;
      else
        done(path + "/" + name, false, "cannot look at it: " + ErrnoText(errno));
    }
    // Each held name stands for the entry of that very name, or else for
    // the one the disk finds by it.
    std::map<std::string, std::string> as;
    for (const auto &[name, isFolder] : folder ? *folder : std::map<std::string, bool>()) {
      struct stat st;
      if (listed.count(name))
        as[name] = name;
      else if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        for (const auto &[other, ost] : listed)
          if (ost.st_dev == st.st_dev && ost.st_ino == st.st_ino)
            as[other] = name;
    }
    bool empty = listed.size() == names.size();
    for (const auto &[name, st] : listed) {
      if (Interrupted())
        return false;
      std::string at = path + "/" + name;
      bool isFolder = S_ISDIR(st.st_mode);
      auto h = as.find(name);
      const std::map<std::string, bool> *inside = nullptr;
      if (h != as.end()) {
        if (isFolder && folder->at(h->second))
          inside = held(HeldPath(h->second));
        if (!inside) {
          empty = false;
          continue;
        }
      }
      if (isFolder && Barrier(fd, name, st, at)) {
        empty = false;
        continue;
      }
      if (isFolder) {
        Fd sub(openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!sub.ok()) {
          done(at, true, "cannot open it: " + ErrnoText(errno));
          empty = false;
          continue;
        }
        heldPath.push_back(h != as.end() ? h->second : name);
        bool emptied = Folder(sub.get(), at, inside);
        heldPath.pop_back();
        if (inside || !emptied) {
          empty = false;
          continue;
        }
      }
      if (!dryRun && unlinkat(fd, name.c_str(), isFolder ? AT_REMOVEDIR : 0) != 0) {
        done(at, isFolder, "cannot remove it: " + ErrnoText(errno));
        empty = false;
        continue;
      }
      done(at, isFolder, "");
    }
    return empty;
  }

  // The tree's names of the folders on the way, and the path of a name in
  // the folder being swept.
  std::vector<std::string> heldPath;
  std::string HeldPath(const std::string &name) const
  {
    std::string p;
    for (const auto &part : heldPath)
      p += "/" + part;
    return p + "/" + name;
  }
};

}  // namespace

void RemoveUnheld(int dirfd, const std::vector<std::string> &parts, const HeldNames &held, bool dryRun,
                  const std::function<void(const std::string &path, bool folder, const std::string &problem)> &done)
{
  Fd fd = OpenFolderBeneath(dirfd, parts, false);
  struct stat st;
  std::string path;
  for (const auto &p : parts)
    path += "/" + p;
  if (!fd.ok() || fstat(fd.get(), &st) != 0) {
    if (errno != ENOENT)
      done(path.empty() ? "/" : path, true, "cannot open it: " + ErrnoText(errno));
    return;
  }
  Sweep sweep{st.st_dev, Mounts(), dryRun, held, done, parts};
  sweep.Folder(fd.get(), path, held(path));
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
