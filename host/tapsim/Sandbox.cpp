#include "Sandbox.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#ifndef MS_NOSYMFOLLOW
#define MS_NOSYMFOLLOW 256
#endif

namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string &s)
{
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit((unsigned char)s[i + 1])) {
      out += (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

} // namespace

bool HasOption(const std::string &options, const char *name)
{
  std::stringstream s(options);
  std::string o;
  while (std::getline(s, o, ','))
    if (o == name)
      return true;
  return false;
}

namespace {

// The flags a bind remount must repeat: in a user namespace they are locked,
// and a remount that drops them fails.  Atime flags are left out, which
// keeps them as they are.
unsigned long KeptFlags(const std::string &options)
{
  unsigned long flags = 0;
  if (HasOption(options, "nosuid"))
    flags |= MS_NOSUID;
  if (HasOption(options, "nodev"))
    flags |= MS_NODEV;
  if (HasOption(options, "noexec"))
    flags |= MS_NOEXEC;
  if (HasOption(options, "nosymfollow"))
    flags |= MS_NOSYMFOLLOW;
  return flags;
}

bool Remount(const MountEntry &m, bool readOnly, std::string *err)
{
  unsigned long flags = MS_BIND | MS_REMOUNT | KeptFlags(m.options) | (readOnly ? MS_RDONLY : 0);
  if (mount(nullptr, m.mountPoint.c_str(), nullptr, flags, nullptr) != 0)
    return SysError(err, std::string("remounting ") + m.mountPoint + (readOnly ? " read-only" : " writable"));
  return true;
}

bool Under(const std::string &path, const std::string &root)
{
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// Lazily unmounts every mount at or below root, deepest first.
void DetachAll(const std::string &root, bool includeRoot)
{
  for (int round = 0; round < 8; round++) {
    std::vector<MountEntry> mounts;
    std::string ignored;
    if (!ReadMounts(&mounts, &ignored))
      return;
    std::vector<std::string> targets;
    for (auto &m : mounts)
      if (Under(m.mountPoint, root) && (includeRoot || m.mountPoint != root))
        targets.push_back(m.mountPoint);
    if (targets.empty())
      return;
    std::sort(targets.begin(), targets.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (auto &t : targets)
      (void)umount2(t.c_str(), MNT_DETACH); // a stacked mount or a gone one: the next round sees
  }
}

std::string MountNamespaceOf(const std::string &pid)
{
  char link[128];
  ssize_t n = readlink(("/proc/" + pid + "/ns/mnt").c_str(), link, sizeof link - 1);
  if (n <= 0)
    return "";
  link[n] = 0;
  return link;
}

// Processes other than this one in this mount namespace: nobody outside can
// enter it, so they are all the run's own descendants.
std::vector<pid_t> NamespaceMembers()
{
  std::vector<pid_t> out;
  std::string self = std::to_string(getpid());
  std::string ours = MountNamespaceOf(self);
  DIR *d = opendir("/proc");
  if (!d || ours.empty()) {
    if (d)
      closedir(d);
    return out;
  }
  while (struct dirent *e = readdir(d)) {
    if (!isdigit((unsigned char)e->d_name[0]) || self == e->d_name)
      continue;
    if (MountNamespaceOf(e->d_name) == ours)
      out.push_back((pid_t)atol(e->d_name));
  }
  closedir(d);
  return out;
}

void ReapAll()
{
  while (waitpid(-1, nullptr, WNOHANG) > 0)
    ;
}

} // namespace

bool OpenDiskSource(const std::string &dir, DiskSource *out, std::string *err)
{
  out->dir = dir;
  out->fd.reset(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!out->fd)
    return SysError(err, "disk folder '" + dir + "'");
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) != 0)
    return SysError(err, "disk folder '" + dir + "'");
  out->readOnly = (vfs.f_flag & ST_RDONLY) != 0;
  return true;
}

bool ReopenDiskSource(DiskSource *disk, std::string *err)
{
  disk->fd.reset(open(disk->dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return disk->fd ? true : SysError(err, "disk folder '" + disk->dir + "'");
}

bool ReadMounts(std::vector<MountEntry> *out, std::string *err)
{
  std::string text;
  if (!ReadTextFile("/proc/self/mountinfo", &text))
    return SysError(err, "reading /proc/self/mountinfo");
  out->clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // id parent dev root mountpoint options [optional...] - fstype source super
    std::istringstream s(line);
    std::vector<std::string> fields;
    std::string w;
    while (s >> w)
      fields.push_back(w);
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || dash + 1 == fields.end())
      continue;
    out->push_back({Unescape(fields[4]), fields[5], *(dash + 1), Unescape(fields[3]),
                    dash + 3 < fields.end() ? *(dash + 3) : ""});
  }
  return true;
}

bool Sandbox::Enter(std::string *err)
{
  if (unshare(CLONE_NEWNS) == 0) {
    entered_ = true;
  } else {
    int first = errno;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      std::string why = std::string("unshare(CLONE_NEWNS): ") + strerror(first) +
                        "; unshare(CLONE_NEWUSER|CLONE_NEWNS): " + strerror(errno);
      *err = "cannot make a private mount namespace (" + why +
             "); run tapsim as root or allow unprivileged user namespaces";
      return false;
    }
    entered_ = userNamespace_ = true;
    if (!WriteTextFile(AT_FDCWD, "/proc/self/setgroups", "deny", err) ||
        !WriteTextFile(AT_FDCWD, "/proc/self/uid_map", "0 " + std::to_string(uid) + " 1", err) ||
        !WriteTextFile(AT_FDCWD, "/proc/self/gid_map", "0 " + std::to_string(gid) + " 1", err))
      return false;
  }
  // Before any other mount: on a host with shared mounts they would leak out.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return SysError(err, "making / recursively private");
  return true;
}

bool Sandbox::LockMachine(std::string *err)
{
  std::vector<MountEntry> mounts;
  if (!ReadMounts(&mounts, err))
    return false;
  std::vector<std::string> done;
  for (auto &m : mounts) {
    if (HasOption(m.options, "ro") || std::find(done.begin(), done.end(), m.mountPoint) != done.end())
      continue;
    done.push_back(m.mountPoint);
    std::string why;
    if (Remount(m, true, &why))
      continue;
    // A mount point that is gone, or hidden under a later mount, cannot be
    // reached by its path, so there is nothing to protect there.
    if (errno == ENOENT || errno == EINVAL || errno == ENOTDIR || errno == EACCES)
      continue;
    *err = why;
    return false;
  }
  return true;
}

bool Sandbox::MountMnt(std::string *err)
{
  if (mount("tmpfs", "/mnt", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=16m") != 0)
    return SysError(err, "mounting a tmpfs on /mnt");
  mntMounted_ = true;
  return true;
}

bool Sandbox::MountDevpts(std::string *err)
{
  if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") != 0)
    return SysError(err, "mounting a devpts instance on /dev/pts");
  devptsMounted_ = true;
  return true;
}

bool Sandbox::BindDisk(const DiskSource &disk, const std::string &name, std::string *err)
{
  std::string target = "/mnt/" + name;
  if (mkdir(target.c_str(), 0755) != 0 && errno != EEXIST)
    return SysError(err, "creating " + target);
  if (mount(FdPath(disk.fd.get()).c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    return SysError(err, "binding '" + disk.dir + "' at " + target);
  if (disk.readOnly)
    return true;
  // The bind took the read-only flag of the locked machine; give it back.
  std::vector<MountEntry> mounts;
  if (!ReadMounts(&mounts, err))
    return false;
  for (auto &m : mounts)
    if (Under(m.mountPoint, target) && HasOption(m.options, "ro") && !Remount(m, false, err))
      return false;
  return true;
}

void Sandbox::DetachDisks()
{
  if (mntMounted_)
    DetachAll("/mnt", false);
}

void Sandbox::TearDown()
{
  if (!entered_)
    return;
  if (mntMounted_) {
    DetachAll("/mnt", false);
    DetachAll("/mnt", true);
    mntMounted_ = false;
  }
  if (devptsMounted_) {
    (void)umount2("/dev/pts", MNT_DETACH); // only our instance, on top
    devptsMounted_ = false;
  }
}

int EndLeftoverProcesses()
{
  auto pause = [] {
    struct timespec t = {0, 10 * 1000 * 1000};
    nanosleep(&t, nullptr);
  };
  ReapAll();
  std::vector<pid_t> left = NamespaceMembers();
  // Half a second for those already on their way out (an sshfs and its ssh
  // after the unmount) before they count as left running.
  for (int i = 0; i < 50 && !left.empty(); i++) {
    pause();
    ReapAll();
    left = NamespaceMembers();
  }
  int ended = (int)left.size();
  for (pid_t pid : left)
    kill(pid, SIGTERM);
  // A second's grace, then SIGKILL for those still there.
  for (int i = 0; i < 100 && !left.empty(); i++) {
    pause();
    ReapAll();
    left = NamespaceMembers();
  }
  for (int round = 0; round < 100 && !left.empty(); round++) {
    for (pid_t pid : left)
      kill(pid, SIGKILL);
    pause();
    ReapAll();
    left = NamespaceMembers();
  }
  return ended;
}
