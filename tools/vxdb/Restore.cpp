#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "Backups.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Progress.h"

namespace vxdb {
namespace {

// Copies wait under a temporary name until a batch of them has reached the
// disk (one syncfs rather than one fsync per file), then get their names. A
// batch ends after so many files, bytes or seconds, so that an interrupted
// or killed restore loses little.
constexpr size_t kBatchFiles = 512;
constexpr uint64_t kBatchBytes = uint64_t(256) << 20;
constexpr auto kBatchTime = std::chrono::seconds(2);
const char kTmpPrefix[] = ".vxdb-restore-";
const char kOtherCase[] = "the target holds a file whose name differs in letter case only, and takes it for this "
                          "one; not restored";

std::string Join(const std::vector<std::string> &parts)
{
  std::string s;
  for (const auto &p : parts)
    s += "/" + p;
  return s;
}

bool DiskFull(int err) { return err == ENOSPC || err == EDQUOT; }

enum class Outcome { kRestored, kInPlace, kDamaged, kFailed, kRefused, kNotBackedUp, kTargetFull, kInterrupted, kPending };

struct Result {
  Outcome outcome;
  std::string why;
  uint64_t bytes = 0;
};

// Copies at most limit bytes of src into fd and digests them as they are
// written; grew tells whether src had more. A failed write leaves its errno
// in *writeErr.
bool Copy(int src, int fd, uint64_t limit, Digest *digest, uint64_t *bytes, bool *grew, Progress &progress,
          std::string *why, int *writeErr)
{
  Md5 md5;
  static char buf[1 << 16];
  *bytes = 0;
  *grew = false;
  *writeErr = 0;
  for (;;) {
    if (Interrupted()) {
      *why = "interrupted";
      return false;
    }
    uint64_t room = limit - *bytes;
    size_t want = room >= sizeof buf ? sizeof buf : size_t(room) + 1;
    ssize_t n = read(src, buf, want);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *why = "cannot read it from the backup: " + ErrnoText(errno);
      return false;
    }
    if (n == 0)
      break;
    if (uint64_t(n) > room) {
      *grew = true;
      n = ssize_t(room);
    }
    if (!WriteAll(fd, buf, size_t(n))) {
      *writeErr = errno;
      *why = "cannot write it: " + ErrnoText(errno);
      return false;
    }
    md5.Update(buf, size_t(n));
    *bytes += uint64_t(n);
    progress.AddBytes(uint64_t(n));
    if (*grew)
      break;
  }
  *digest = md5.Final();
  return true;
}

// Whether a name is a temporary copy of a restore whose process is gone.
bool Leftover(const std::string &name)
{
  if (name.rfind(kTmpPrefix, 0) != 0)
    return false;
  const char *p = name.c_str() + strlen(kTmpPrefix);
  char *end = nullptr;
  errno = 0;
  long pid = strtol(p, &end, 10);
  if (end == p || *end != '-' || errno || pid <= 0 || pid > INT_MAX || pid == getpid())
    return false;
  p = end + 1;
  if (!*p || strspn(p, "0123456789") != strlen(p))
    return false;
  return kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

struct Pending {
  size_t index;        // into the chosen entries
  std::string folder;  // relative, "/a/b" or ""
  std::string name, tmp;
  ino_t ino;
  uint64_t bytes;
  std::string damage;  // set when restored although damaged
};

class Restorer {
public:
  Restorer(int root, int target, const Options &opt, Progress &progress)
      : root_(root), target_(target), opt_(opt), progress_(progress), batchStart_(std::chrono::steady_clock::now())
  {
  }
  ~Restorer()
  {
    // A copy that never got its name is not left behind.
    for (const auto &p : pending_) {
      Fd dir = OpenFolderBeneath(target_, SplitPath(p.folder), false);
      if (dir.ok())
        unlinkat(dir.get(), p.tmp.c_str(), 0);
    }
  }

  // Restores one entry; kPending when its copy waits for the next Flush.
  Result One(size_t index, const Entry &e, const std::vector<std::string> &parts);
  // Brings the waiting copies to the disk and gives them their names.
  void Flush(const std::function<void(size_t, const Result &)> &done);
  // Makes the names given so far durable.
  void SyncNames();
  bool Full() const
  {
    return pending_.size() >= kBatchFiles || pendingBytes_ >= kBatchBytes ||
           (!pending_.empty() && std::chrono::steady_clock::now() - batchStart_ >= kBatchTime);
  }
  uint64_t leftovers = 0;  // temporary copies of killed runs, removed

private:
  Result Fail(int dir, const std::string &tmp, std::string why, int err = 0)
  {
    unlinkat(dir, tmp.c_str(), 0);
    if (Interrupted())
      return {Outcome::kInterrupted, "interrupted"};
    return {DiskFull(err) ? Outcome::kTargetFull : Outcome::kFailed, std::move(why)};
  }
  bool Identical(int dir, const std::string &name, const Entry &e);
  bool ExactName(const std::vector<std::string> &parts);
  void Tidy(int dir, const std::string &folder);

  int root_, target_;
  const Options &opt_;
  Progress &progress_;
  std::vector<Pending> pending_;
  uint64_t pendingBytes_ = 0;
  std::chrono::steady_clock::time_point batchStart_;
  std::map<dev_t, Fd> devices_;                        // one folder on each file system written to
  std::map<std::string, std::set<std::string>> names_;  // the backup's folders as listed
  // The target's folders as Tidy listed them, kept up to date with what this
  // run names. On a target that ignores letter case, case.txt finds
  // Case.txt, which is never replaced by it, --force or not.
  std::map<std::string, std::set<std::string>> targetNames_;
  bool ListedAs(const std::string &folder, const std::string &name) { return targetNames_[folder].count(name) != 0; }
  unsigned serial_ = 0;
};

// Whether the file already at name holds exactly the entry's contents.
bool Restorer::Identical(int dir, const std::string &name, const Entry &e)
{
  Fd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  Digest d;
  uint64_t bytes = 0;
  return fd.ok() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == e.size &&
         HashDescriptor(fd.get(), e.size, &d, &bytes, nullptr) && bytes == e.size && d == e.md5;
}

// Whether every component of the path stands in its folder under exactly
// that name. On a disk that ignores letter case, "case.txt" would otherwise
// open "Case.txt".
bool Restorer::ExactName(const std::vector<std::string> &parts)
{
  std::string folder;
  for (size_t i = 0; i < parts.size(); ++i) {
    auto it = names_.find(folder);
    if (it == names_.end()) {
      std::vector<std::string> listed;
      Fd dir = OpenFolderBeneath(root_, std::vector<std::string>(parts.begin(), parts.begin() + long(i)), false);
      if (dir.ok())
        SortedNames(dir.get(), &listed);
      it = names_.emplace(folder, std::set<std::string>(listed.begin(), listed.end())).first;
    }
    if (!it->second.count(parts[i]))
      return false;
    folder += "/" + parts[i];
  }
  return true;
}

// Lists a target folder the first time it is reached: removes the temporary
// copies that a killed restore left there and keeps the other names.
void Restorer::Tidy(int dir, const std::string &folder)
{
  auto [names, fresh] = targetNames_.try_emplace(folder);
  if (!fresh)
    return;
  std::vector<std::string> listed;
  SortedNames(dir, &listed);
  for (const auto &name : listed) {
    struct stat st;
    bool left = Leftover(name) && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                (opt_.dryRun || unlinkat(dir, name.c_str(), 0) == 0);
    leftovers += left;
    if (!left || opt_.dryRun)
      names->second.insert(name);
  }
}

Result Restorer::One(size_t index, const Entry &e, const std::vector<std::string> &parts)
{
  // The plug-in logged the file as failed: nothing recorded to restore.
  if (IsFolder(e))
    return {Outcome::kNotBackedUp, "a folder the backup could not take; nothing in it was backed up"};
  if (IsZero(e.md5))
    return {Outcome::kNotBackedUp, "logged as failed when the backup ran; not restored"};
  Fd src = OpenFileBeneath(root_, parts);
  struct stat st;
  if (!src.ok() || fstat(src.get(), &st) != 0)
    return {Outcome::kFailed, errno == ENOENT ? "missing from the backup"
                              : errno == ELOOP ? "is a symbolic link in the backup"
                                               : "cannot open it in the backup: " + ErrnoText(errno)};
  if (!ExactName(parts))
    return {Outcome::kFailed, "missing from the backup (only a name that differs in letter case is there)"};
  if (!S_ISREG(st.st_mode))
    return {Outcome::kFailed, "is not a regular file in the backup"};
  std::string sizeDamage;
  if (uint64_t(st.st_size) != e.size) {
    sizeDamage = "damaged in the backup: size " + std::to_string(st.st_size) + ", catalogue " + std::to_string(e.size);
    if (!opt_.keepDamaged)
      return {Outcome::kFailed, sizeDamage + "; not restored (--keep-damaged restores it anyway)"};
  }

  std::vector<std::string> folder(parts.begin(), parts.end() - 1);
  const std::string &name = parts.back();
  Fd dir = OpenFolderBeneath(target_, folder, !opt_.dryRun);
  if (!dir.ok() && !(opt_.dryRun && errno == ENOENT))
    return {DiskFull(errno) ? Outcome::kTargetFull : Outcome::kFailed,
            errno == ELOOP     ? "a folder on its way in the target is a symbolic link"
            : errno == ENOTDIR ? "a file in the target is in the way of its folder"
                               : "cannot make its folder: " + ErrnoText(errno)};
  std::string rel = Join(folder);
  if (dir.ok())
    Tidy(dir.get(), rel);
  struct stat old;
  bool exists = dir.ok() && fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(old.st_mode))
    return {Outcome::kFailed, "a folder of that name is in the way"};
  if (exists && !ListedAs(rel, name))
    return {Outcome::kFailed, kOtherCase};
  if (exists && Identical(dir.get(), name, e)) {
    // Its time is set only where no other name of the file would see it.
    struct timespec times[2] = {{e.modifyTime, 0}, {e.modifyTime, 0}};
    if (!opt_.dryRun && old.st_mtime != e.modifyTime && old.st_nlink == 1)
      utimensat(dir.get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    progress_.AddBytes(e.size);
    return {Outcome::kInPlace, "", e.size};
  }
  if (exists && !opt_.force)
    return {Outcome::kFailed, "exists with other contents (use --force to replace it)"};
  if (opt_.dryRun)
    return {exists ? Outcome::kDamaged : Outcome::kRestored, sizeDamage, e.size};

  // The copy grows under a temporary name, so that a file is either whole or
  // absent, and a replaced file that is hard-linked elsewhere stays unchanged.
  std::string tmp;
  Fd out;
  while (!out.ok()) {
    tmp = kTmpPrefix + std::to_string(getpid()) + "-" + std::to_string(serial_++);
    out = Fd(openat(dir.get(), tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!out.ok() && (errno != EEXIST || serial_ > 1000000))
      return {DiskFull(errno) ? Outcome::kTargetFull : Outcome::kFailed, "cannot create it: " + ErrnoText(errno)};
  }

  Digest digest{};
  uint64_t bytes = 0;
  bool grew = false;
  std::string text;
  int writeErr = 0;
  // Never more than the catalogue records, damaged or not.
  if (!Copy(src.get(), out.get(), e.size, &digest, &bytes, &grew, progress_, &text, &writeErr))
    return Fail(dir.get(), tmp, text, writeErr);
  std::string damage = sizeDamage;
  if (damage.empty() && (grew || bytes != e.size))
    damage = "damaged in the backup: it changed while it was read";
  else if (damage.empty() && digest != e.md5)
    damage = "damaged in the backup: its contents differ from the catalogue";
  if (!damage.empty() && !opt_.keepDamaged)
    return Fail(dir.get(), tmp, damage + "; not restored (--keep-damaged restores it anyway)");

  struct timespec times[2] = {{e.modifyTime, 0}, {e.modifyTime, 0}};
  struct stat made;
  if (futimens(out.get(), times) != 0 || fstat(out.get(), &made) != 0)
    return Fail(dir.get(), tmp, "cannot set its modification time: " + ErrnoText(errno));
  if (close(out.release()) != 0)
    return Fail(dir.get(), tmp, "cannot write it: " + ErrnoText(errno), errno);
  if (!devices_.count(made.st_dev))
    devices_.emplace(made.st_dev, Fd(fcntl(dir.get(), F_DUPFD_CLOEXEC, 0)));
  if (pending_.empty())
    batchStart_ = std::chrono::steady_clock::now();
  pending_.push_back({index, rel, name, tmp, made.st_ino, bytes, damage});
  pendingBytes_ += bytes;
  return {Outcome::kPending, ""};
}

void Restorer::Flush(const std::function<void(size_t, const Result &)> &done)
{
  std::string synced;
  bool full = false;
  for (auto &[dev, fd] : devices_)
    if (!fd.ok() || syncfs(fd.get()) != 0) {
      full = full || DiskFull(errno);
      synced = "cannot bring it to the disk: " + ErrnoText(fd.ok() ? errno : EBADF);
    }
  for (const auto &p : pending_) {
    Fd dir = OpenFolderBeneath(target_, SplitPath(p.folder), false);
    struct stat st;
    Result r{Outcome::kRestored, "", p.bytes};
    struct stat there;
    if (!dir.ok() || fstatat(dir.get(), p.tmp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != p.ino)
      r = {Outcome::kFailed, "its copy vanished from the target before it got its name"};
    else if (fstatat(dir.get(), p.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
             !ListedAs(p.folder, p.name))
      r = {Outcome::kFailed, kOtherCase};
    else if (!synced.empty())
      r = {full ? Outcome::kTargetFull : Outcome::kFailed, synced};
    else if (opt_.force ? renameat(dir.get(), p.tmp.c_str(), dir.get(), p.name.c_str()) != 0
                        : renameat2(dir.get(), p.tmp.c_str(), dir.get(), p.name.c_str(), RENAME_NOREPLACE) != 0 &&
                              !((errno == EINVAL || errno == ENOSYS) &&
                                renameat(dir.get(), p.tmp.c_str(), dir.get(), p.name.c_str()) == 0))
      r = {Outcome::kFailed, errno == EEXIST ? "appeared in the target meanwhile (use --force to replace it)"
                                             : "cannot put it in place: " + ErrnoText(errno)};
    else if (!p.damage.empty())
      r = {Outcome::kDamaged, p.damage + "; restored as it is", p.bytes};
    if (r.outcome != Outcome::kRestored && r.outcome != Outcome::kDamaged && dir.ok())
      unlinkat(dir.get(), p.tmp.c_str(), 0);
    else
      targetNames_[p.folder].insert(p.name);
    done(p.index, r);
  }
  pending_.clear();
  pendingBytes_ = 0;
}

void Restorer::SyncNames()
{
  for (auto &[dev, fd] : devices_)
    if (fd.ok())
      (void)syncfs(fd.get());
}

// "/a/b" for a wanted path, or "" for all; false for a path with "..".
bool Wanted(const std::string &arg, std::string *key)
{
  std::vector<std::string> parts = SplitPath(arg);
  for (const auto &p : parts)
    if (p == "..")
      return false;
  std::erase(parts, ".");
  *key = Join(parts);
  return true;
}

bool Selected(const std::string &key, const std::string &w)
{
  return w.empty() || key == w || (key.size() > w.size() && key.compare(0, w.size(), w) == 0 && key[w.size()] == '/');
}

bool Below(const std::string &path, const std::string &folder)
{
  return path == folder || folder == "/" ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

// Opens the target folder, made if missing. The part that exists is resolved
// once and shown; nothing below it is followed. A target that is itself a
// link, or that lies in the backup's destination (which whoever wrote the
// backup disk controls), is refused.
bool OpenTarget(const std::string &arg, const std::string &backupFolder, bool create, Fd *fd, std::string *where,
                std::string *why)
{
  // "link/" would name what the link points to.
  std::string existing = arg.empty() ? "." : arg;
  while (existing.size() > 1 && existing.back() == '/')
    existing.pop_back();
  const std::string given = existing;
  struct stat st;
  if (lstat(existing.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    *why = "is a symbolic link; name the folder itself";
    return false;
  }
  std::vector<std::string> missing;
  while (lstat(existing.c_str(), &st) != 0 && errno == ENOENT) {
    while (existing.size() > 1 && existing.back() == '/')
      existing.pop_back();
    size_t slash = existing.rfind('/');
    std::string last = slash == std::string::npos ? existing : existing.substr(slash + 1);
    if (last == ".." || last == "." || last.empty()) {
      *why = "cannot be made: \"..\" or \".\" after a folder that does not exist";
      return false;
    }
    missing.insert(missing.begin(), last);
    existing = slash == std::string::npos ? "." : slash == 0 ? "/" : existing.substr(0, slash);
  }
  char real[PATH_MAX], dest[PATH_MAX];
  if (!realpath(existing.c_str(), real)) {
    *why = ErrnoText(errno);
    return false;
  }
  std::string parent = backupFolder + "/..";
  if (!realpath(parent.c_str(), dest)) {
    *why = "cannot find the backup's destination folder: " + ErrnoText(errno);
    return false;
  }
  *where = real;
  for (const auto &m : missing)
    *where += (where->back() == '/' ? "" : "/") + m;
  // As written, too: a link planted in the destination must not lead away.
  std::error_code ec;
  auto lexical = [&](const std::string &p) { return std::filesystem::absolute(p, ec).lexically_normal().string(); };
  std::string written = lexical(given), destWritten = lexical(parent);
  while (destWritten.size() > 1 && destWritten.back() == '/')
    destWritten.pop_back();
  if (Below(*where, dest) || Below(written, destWritten)) {
    *why = "lies inside the backup's destination " + Shown(dest) + "; choose a folder elsewhere";
    return false;
  }
  Fd base(open(real, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  *fd = base.ok() ? OpenFolderBeneath(base.get(), missing, create) : std::move(base);
  if (!fd->ok() && !(!create && errno == ENOENT)) {
    *why = errno == ELOOP ? "a folder on its way is a symbolic link" : ErrnoText(errno);
    return false;
  }
  return true;
}

const char *EventName(Outcome o, bool dryRun)
{
  switch (o) {
  case Outcome::kRestored:
    return dryRun ? "would_restore" : "restored";
  case Outcome::kInPlace:
    return "in_place";
  case Outcome::kDamaged:
    return dryRun ? "would_replace" : "damaged";
  case Outcome::kRefused:
    return "refused";
  case Outcome::kNotBackedUp:
    return "not_backed_up";
  default:
    return "failed";
  }
}

struct Tally {
  uint64_t chosen = 0, restored = 0, restoredBytes = 0, inPlace = 0, replaced = 0, problems = 0, notBackedUp = 0;
  uint64_t changed = 0;       // restored as backed up, but copied while they changed
  uint64_t inPlaceBytes = 0;  // of restoredBytes, what was in place already
  uint64_t missingBytes = 0;  // of the files a full target stopped
  std::string stopped;        // why the restore stopped early
  bool full = false, interrupted = false;
};

}  // namespace

int RestoreCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Backup b;
  std::string why;
  if (!OpenBackup(opt.backups[0], &b, &why, &err)) {
    err << "vxdb restore: " << why << "\n";
    return kBadInput;
  }
  const std::string &targetArg = opt.args[0];
  std::vector<Place> places = PlaceEntries(b.cat);
  std::vector<std::string> keys(places.size());
  for (size_t i = 0; i < places.size(); ++i)
    keys[i] = places[i].problem.empty() ? places[i].key : b.cat.entries[i].ShortPath();

  // A wanted path is taken as it is, or else as "list" shows it, escapes
  // and all: that names a file whose name is not valid UTF-8 exactly.
  std::vector<std::string> wanted;
  for (size_t w = 1; w < opt.args.size(); ++w) {
    std::string key, bytes;
    if (!Wanted(opt.args[w], &key)) {
      err << "vxdb restore: " << Shown(opt.args[w]) << ": paths in a backup have no \"..\"\n";
      return kBadInput;
    }
    auto any = [&](const std::string &k) {
      return std::any_of(keys.begin(), keys.end(), [&](const std::string &key) { return Selected(key, k); });
    };
    if (!any(key) && Unescaped(opt.args[w], &bytes) && Wanted(bytes, &bytes) && any(bytes))
      key = bytes;
    else if (!any(key)) {
      err << "vxdb restore: " << Shown(opt.args[w]) << ": not in this backup\n";
      return kBadInput;
    }
    wanted.push_back(key);
  }
  std::vector<size_t> chosen;
  for (size_t i = 0; i < places.size(); ++i)
    if (wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&](auto &w) { return Selected(keys[i], w); }))
      chosen.push_back(i);

  Fd root(open(b.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.ok()) {
    err << "vxdb restore: " << Shown(b.folder) << ": " << ErrnoText(errno) << "\n";
    return kBadInput;
  }
  Fd target;
  std::string where;
  if (!OpenTarget(targetArg, b.folder, !opt.dryRun, &target, &where, &why)) {
    err << "vxdb restore: " << Shown(targetArg) << ": " << why << "\n";
    return kBadInput;
  }
  // None in a dry run into a folder still to be made.
  int targetFd = target.ok() ? target.get() : -1;

  uint64_t totalBytes = 0;
  for (size_t i : chosen)
    totalBytes += b.cat.entries[i].size;
  Tally t;
  t.chosen = chosen.size();
  auto report = [&](size_t i, const Result &r) {
    const Entry &e = b.cat.entries[i];
    std::string path = keys[i] + (IsFolder(e) ? "/" : "");
    // Restored all the same: it is what the backup holds, and the owner is told.
    bool changed = !IsZero(e.md5) && !GoodCopy(e) &&
                   (r.outcome == Outcome::kRestored || r.outcome == Outcome::kInPlace ||
                    (r.outcome == Outcome::kDamaged && opt.dryRun));
    t.changed += changed;
    switch (r.outcome) {
    case Outcome::kRestored:
    case Outcome::kDamaged:
      ++t.restored;
      t.restoredBytes += r.bytes;
      t.replaced += opt.dryRun && r.outcome == Outcome::kDamaged;
      t.problems += !opt.dryRun && r.outcome == Outcome::kDamaged;
      break;
    case Outcome::kInPlace:
      ++t.restored;
      ++t.inPlace;
      t.restoredBytes += r.bytes;
      t.inPlaceBytes += r.bytes;
      break;
    case Outcome::kNotBackedUp:
      ++t.notBackedUp;
      break;
    case Outcome::kTargetFull:
      t.full = true;
      t.stopped = r.why;
      t.missingBytes += b.cat.entries[i].size;
      return;
    case Outcome::kInterrupted:
      t.interrupted = true;
      return;
    default:
      ++t.problems;
    }
    bool problem = r.outcome == Outcome::kFailed || r.outcome == Outcome::kRefused ||
                   r.outcome == Outcome::kNotBackedUp || (r.outcome == Outcome::kDamaged && !opt.dryRun);
    if (opt.json) {
      // A dry run names the changes only; what is in place is counted.
      if (opt.dryRun && r.outcome == Outcome::kInPlace)
        return;
      Json j(out);
      j.BeginObject().Key("event").String(EventName(r.outcome, opt.dryRun));
      PathFields(j, path);
      j.Key("size").Unsigned(r.bytes);
      if (!r.why.empty())
        j.Key("reason").String(r.why);
      if (changed)
        j.Key("changed_while_read").Bool(true);
      j.EndObject().Finish();
      return;
    }
    if (changed)
      err << FindingLine({kChangedWhileRead, path, "restored as backed up; the copy may mix two versions"}) << "\n"
          << std::flush;
    if (problem) {
      Finding f{EventName(r.outcome, false), path, r.why};
      if (r.outcome == Outcome::kNotBackedUp)
        f.kind = kNotBackedUp;
      err << FindingLine(f) << "\n" << std::flush;
    } else if (opt.dryRun && r.outcome != Outcome::kInPlace) {
      out << (r.outcome == Outcome::kDamaged ? "replace   " : "restore   ") << Shown(path)
          << (r.why.empty() ? "" : " (" + r.why + ")") << "\n";
    }
  };
  {
    Progress progress(ProgressStream(opt), chosen.size(), totalBytes);
    Restorer restorer(root.get(), targetFd, opt, progress);
    auto done = [&](size_t i, const Result &r) {
      progress.Finish();
      report(i, r);
    };
    for (size_t k = 0; k < chosen.size() && !t.full && !t.interrupted; ++k) {
      size_t i = chosen[k];
      const Place &p = places[i];
      Result r;
      if (Interrupted())
        r = {Outcome::kInterrupted, ""};
      else if (!p.problem.empty())
        r = {Outcome::kRefused, (p.escapes ? "would land outside " + Shown(where) + ": " : std::string()) + p.problem};
      else if (targetFd < 0)
        r = IsFolder(b.cat.entries[i])
                ? Result{Outcome::kNotBackedUp, "a folder the backup could not take; nothing in it was backed up"}
            : IsZero(b.cat.entries[i].md5) ? Result{Outcome::kNotBackedUp, "logged as failed when the backup ran"}
                                           : Result{Outcome::kRestored, "", b.cat.entries[i].size};
      else
        r = restorer.One(i, b.cat.entries[i], p.parts);
      progress.FileDone();
      if (r.outcome != Outcome::kPending) {
        if (r.outcome != Outcome::kRestored && r.outcome != Outcome::kInPlace)
          progress.Finish();
        report(i, r);
      }
      if (t.full)  // what is left does not fit either
        for (size_t rest = k + 1; rest < chosen.size(); ++rest)
          t.missingBytes += b.cat.entries[chosen[rest]].size;
      if (restorer.Full() || t.full || t.interrupted)
        restorer.Flush(done);
    }
    restorer.Flush(done);
    restorer.SyncNames();
    if (restorer.leftovers)
      err << "vxdb restore: " << (opt.dryRun ? "would remove " : "removed ") << restorer.leftovers
          << " half-written " << (restorer.leftovers == 1 ? "copy" : "copies") << " of an earlier restore that was cut short\n";
  }
  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("event").String("summary").Key("dry_run").Bool(opt.dryRun);
    j.Key("restored").Unsigned(t.restored - t.inPlace).Key("in_place").Unsigned(t.inPlace);
    // A dry run's size is what it would write.
    j.Key("files").Unsigned(t.chosen).Key("size").Unsigned(t.restoredBytes - (opt.dryRun ? t.inPlaceBytes : 0));
    j.Key("problems").Unsigned(t.problems).Key("not_backed_up").Unsigned(t.notBackedUp);
    j.Key("changed_while_read").Unsigned(t.changed);
    j.Key("partial").Bool(b.partial).Key("stopped");
    if (t.interrupted)
      j.String("interrupted");
    else if (t.full)
      j.String("target full");
    else
      j.Null();
    j.Key("target").String(where).EndObject().Finish();
  } else {
    std::string from = " from " + BackupDateText(b.cat.backupDate) + " into " + Shown(where);
    if (opt.dryRun)
      out << "Would restore " << Plural(t.restored - t.inPlace - t.replaced, "file") << " and replace " << t.replaced
          << " (" << SizeText(t.restoredBytes - t.inPlaceBytes) << " in all)" << from << "; " << t.inPlace << " in place already.";
    else
      out << "Restored " << t.restored << " of " << Plural(t.chosen, "file") << " (" << SizeText(t.restoredBytes)
          << (t.inPlace ? "; " + std::to_string(t.inPlace) + " in place already" : "") << ")" << from << ".";
    if (t.problems)
      out << " " << t.problems << " with problems, listed on standard error.";
    if (t.notBackedUp)
      out << " " << t.notBackedUp << " not backed up, listed on standard error.";
    if (t.changed)
      out << " " << t.changed << " changed while read, listed on standard error.";
    if (b.partial)
      out << " The backup is incomplete: a run that did not take every file it listed.";
    out << "\n";
  }
  if (t.full)
    err << "vxdb restore: stopped: the target is full (" << t.stopped << "); " << SizeText(t.missingBytes)
        << " of files were not restored. Make room and run the same command again: what is restored stays.\n";
  if (t.interrupted)
    return InterruptedExit(opt, err, "what was restored stays; run the same command again to go on");
  return t.full ? kTargetFull : t.problems ? kFound : (t.notBackedUp || t.changed || b.partial) ? kIncomplete : kFine;
}

}  // namespace vxdb
