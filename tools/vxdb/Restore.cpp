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
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "Backups.h"
#include "Check.h"
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
  Result(Outcome o = Outcome::kFailed, std::string w = "", uint64_t b = 0, std::string f = "")
      : outcome(o), why(std::move(w)), bytes(b), from(std::move(f))
  {
  }
  Outcome outcome;
  std::string why;
  uint64_t bytes;
  std::string from;  // the earlier backup the bytes came from, "" for the chosen one
};

// Why a backup's copy of a file does not serve: "damaged in" the backup,
// with the detail "size 13, catalogue 12". Said of the backup it is in.
struct Doubt {
  std::string what, detail;
  bool damage = false;  // a copy is there, with other bytes than recorded
  bool Said() const { return !what.empty(); }
  std::string Of(const std::string &where) const { return what + " " + where + (detail.empty() ? "" : ": " + detail); }
};

// Copies at most limit bytes of src into fd (none: only digests them) and
// digests them as they go; grew tells whether src had more. A failed write
// leaves its errno in *writeErr.
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
    if (fd >= 0 && !WriteAll(fd, buf, size_t(n))) {
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

// A backup that restore reads: the chosen one, or an earlier one of the
// same destination that may hold an intact copy of a file the chosen one
// does not. The earlier ones are opened when first needed.
struct Source {
  std::string label;  // its folder's name, as the owner knows it
  std::string path;
  Backup b;
  Fd root;
  std::vector<Place> places;
  std::unordered_map<std::string, size_t> byKey;
  std::map<std::string, std::set<std::string>> names;  // its folders as listed
  bool opened = false;

  bool Open()
  {
    if (opened)
      return root.ok();
    opened = true;
    std::string why;
    if (b.cat.entries.empty() && !OpenBackup({path}, &b, &why, nullptr))
      return false;
    root = Fd(open(b.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    places = PlaceEntries(b.cat);
    for (size_t i = 0; i < places.size(); ++i)
      if (places[i].problem.empty())
        byKey.emplace(places[i].key, i);
    return root.ok();
  }

  // Whether every component of the path stands in its folder under exactly
  // that name. On a disk that ignores letter case, "case.txt" would otherwise
  // open "Case.txt".
  bool ExactName(const std::vector<std::string> &parts)
  {
    std::string folder;
    for (size_t i = 0; i < parts.size(); ++i) {
      auto it = names.find(folder);
      if (it == names.end()) {
        std::vector<std::string> listed;
        Fd dir = OpenFolderBeneath(root.get(), std::vector<std::string>(parts.begin(), parts.begin() + long(i)), false);
        if (dir.ok())
          SortedNames(dir.get(), &listed);
        it = names.emplace(folder, std::set<std::string>(listed.begin(), listed.end())).first;
      }
      if (!it->second.count(parts[i]))
        return false;
      folder += "/" + parts[i];
    }
    return true;
  }

  // Opens the copy of entry i, at parts, as far as its name and size go.
  Fd OpenCopy(size_t i, const std::vector<std::string> &parts, Doubt *d)
  {
    const Entry &e = b.cat.entries[i];
    Fd src = OpenFileBeneath(root.get(), parts);
    struct stat st;
    if (!src.ok() || fstat(src.get(), &st) != 0)
      *d = errno == ENOENT  ? Doubt{"missing from", ""}
           : errno == ELOOP ? Doubt{"is a symbolic link in", ""}
                            : Doubt{"cannot be opened in", ErrnoText(errno)};
    else if (!ExactName(parts))
      *d = {"missing from", "only a name that differs in letter case is there"};
    else if (!S_ISREG(st.st_mode))
      *d = {"is not a regular file in", ""};
    else if (uint64_t(st.st_size) != e.size)
      *d = {"damaged in", "size " + std::to_string(st.st_size) + ", catalogue " + std::to_string(e.size), true};
    else
      return src;
    return Fd();
  }
};

// A copy that may serve for a file: entry i of a source.
struct Pick {
  Source *source;
  size_t i;
};

struct Pending {
  size_t index;        // into the chosen entries
  std::string folder;  // relative, "/a/b" or ""
  std::string name, tmp;
  ino_t ino;
  uint64_t bytes;
  std::string damage;  // set when restored although damaged
  std::string from, why;
};

// What the target holds at a name, digested once.
struct Held {
  bool looked = false, regular = false;
  uint64_t size = 0;
  Digest digest{};
};

class Restorer {
public:
  Restorer(Source &chosen, std::vector<Source> &earlier, int target, const Options &opt, Progress &progress)
      : chosen_(chosen), earlier_(earlier), target_(target), opt_(opt), progress_(progress),
        batchStart_(std::chrono::steady_clock::now())
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
  Result One(size_t index, const std::vector<std::string> &parts, const std::string &key);
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
  bool Matches(int dir, const std::string &name, const Entry &e, Held *held);
  void Tidy(int dir, const std::string &folder);
  bool Next(size_t *k, const std::string &key, Pick *pick);
  // Reads the copy and checks its digest, writing it to fd unless that is
  // -1; false with the doubt, or with why and writeErr when it failed else.
  bool Take(int src, int fd, const Entry &e, Doubt *d, std::string *why, int *writeErr);
  // Copies src into a temporary file of dir that waits for the next Flush
  // as p: kPending. A copy other than e records is dropped with its doubt
  // in d, unless keep.
  Result Stage(int dir, int src, const Entry &e, bool keep, Doubt *d, Pending p);

  Source &chosen_;
  std::vector<Source> &earlier_;
  int target_;
  const Options &opt_;
  Progress &progress_;
  std::vector<Pending> pending_;
  uint64_t pendingBytes_ = 0;
  std::chrono::steady_clock::time_point batchStart_;
  std::map<dev_t, Fd> devices_;  // one folder on each file system written to
  // The target's folders as Tidy listed them, kept up to date with what this
  // run names. On a target that ignores letter case, case.txt finds
  // Case.txt, which is never replaced by it, --force or not.
  std::map<std::string, std::set<std::string>> targetNames_;
  bool ListedAs(const std::string &folder, const std::string &name) { return targetNames_[folder].count(name) != 0; }
  unsigned serial_ = 0;
};

// Whether the file already at name holds exactly the entry's contents.
bool Restorer::Matches(int dir, const std::string &name, const Entry &e, Held *held)
{
  if (!held->looked) {
    held->looked = true;
    Fd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    uint64_t bytes = 0;
    held->regular = fd.ok() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                    HashDescriptor(fd.get(), uint64_t(st.st_size), &held->digest, &bytes, nullptr) &&
                    bytes == uint64_t(st.st_size);
    held->size = bytes;
  }
  return held->regular && held->size == e.size && held->digest == e.md5;
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

// The copies that may serve for the file at key, best first: the chosen
// backup's, then those of earlier backups, newest first, that hold the file
// under the same path with a digest.
bool Restorer::Next(size_t *k, const std::string &key, Pick *pick)
{
  std::string verdict, why;
  while (*k <= earlier_.size() + 1) {
    size_t at = (*k)++;
    if (at == 0) {
      if (!Vouched(chosen_.b, pick->i, &verdict, &why))
        continue;
      pick->source = &chosen_;
      return true;
    }
    // Last, a copy noted as changed while read: no good copy, but the best
    // there is when no backup holds a better one; it is named as such.
    if (at == earlier_.size() + 1) {
      const Entry &e = chosen_.b.cat.entries[pick->i];
      if (IsZero(e.md5) || GoodCopy(e))
        continue;
      pick->source = &chosen_;
      return true;
    }
    Source &s = earlier_[at - 1];
    if (!s.Open())
      continue;
    auto it = s.byKey.find(key);
    if (it == s.byKey.end() || !Vouched(s.b, it->second, &verdict, &why))
      continue;
    *pick = {&s, it->second};
    return true;
  }
  return false;
}

bool Restorer::Take(int src, int fd, const Entry &e, Doubt *d, std::string *why, int *writeErr)
{
  Digest digest{};
  uint64_t bytes = 0;
  bool grew = false;
  // Never more than the catalogue records, damaged or not.
  if (!Copy(src, fd, e.size, &digest, &bytes, &grew, progress_, why, writeErr))
    return false;
  if (grew || bytes != e.size)
    *d = {"damaged in", "it changed while it was read", true};
  else if (digest != e.md5)
    *d = {"damaged in", "its contents differ from the catalogue", true};
  return !d->Said();
}

Result Restorer::One(size_t index, const std::vector<std::string> &parts, const std::string &key)
{
  const Entry &e = chosen_.b.cat.entries[index];
  std::vector<std::string> folder(parts.begin(), parts.end() - 1);
  const std::string &name = parts.back();
  Fd dir = target_ >= 0 ? OpenFolderBeneath(target_, folder, !opt_.dryRun) : Fd();
  if (target_ >= 0 && !dir.ok() && !(opt_.dryRun && errno == ENOENT))
    return {DiskFull(errno) ? Outcome::kTargetFull : Outcome::kFailed,
            errno == ELOOP     ? "a folder on its way in the target is a symbolic link"
            : errno == ENOTDIR ? "a file in the target is in the way of its folder"
                               : "cannot make its folder: " + ErrnoText(errno)};
  std::string rel = Join(folder);
  if (dir.ok())
    Tidy(dir.get(), rel);
  struct stat old;
  bool exists = dir.ok() && fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;

  Doubt first;  // why the chosen backup's copy does not serve
  std::string verdict, why;
  bool vouched = Vouched(chosen_.b, index, &verdict, &why);
  if (!vouched)
    first = {verdict + " in", why};
  Held held;
  Pick pick{nullptr, index};
  for (size_t k = 0; Next(&k, key, &pick); pick.i = index) {
    // What stands in the way matters once there is something to restore.
    if (exists && S_ISDIR(old.st_mode))
      return {Outcome::kFailed, "a folder of that name is in the way"};
    if (exists && !ListedAs(rel, name))
      return {Outcome::kFailed, kOtherCase};
    Source &s = *pick.source;
    const Entry &pe = s.b.cat.entries[pick.i];
    std::string from = &s == &chosen_ ? "" : s.label;
    std::string note = first.Said() ? first.Of(chosen_.label) : "";
    if (exists && Matches(dir.get(), name, pe, &held)) {
      // Its time is set only where no other name of the file would see it.
      struct timespec times[2] = {{pe.modifyTime, 0}, {pe.modifyTime, 0}};
      if (!opt_.dryRun && old.st_mtime != pe.modifyTime && old.st_nlink == 1)
        utimensat(dir.get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW);
      progress_.AddBytes(pe.size);
      return {Outcome::kInPlace, note, pe.size, from};
    }
    Doubt d;
    Fd src = s.OpenCopy(pick.i, parts, &d);
    int writeErr = 0;
    // The owner's file stays unless asked to go; a dry run writes nothing.
    // Either way the copy is read, so that a damaged one is known as such.
    if (src.ok() && (opt_.dryRun || (exists && !opt_.force))) {
      if (!Take(src.get(), -1, pe, &d, &why, &writeErr)) {
        if (!d.Said())
          return {Interrupted() ? Outcome::kInterrupted : Outcome::kFailed, why};
      } else if (exists && !opt_.force) {
        return {Outcome::kFailed, "exists with other contents; --force replaces it"};
      } else {
        return {exists ? Outcome::kDamaged : Outcome::kRestored, note, pe.size, from};
      }
    }
    if (d.Said()) {
      if (!first.Said())
        first = d;
      continue;
    }
    Result r = Stage(dir.get(), src.get(), pe, false, &d, {index, rel, name, "", 0, 0, "", from, note});
    if (!d.Said())
      return r;
    if (!first.Said())
      first = d;
  }

  // No copy is intact. With --keep-damaged the chosen backup's own copy is
  // taken as it is, never more of it than the catalogue records.
  bool looked = !opt_.oneBackup && !earlier_.empty();
  std::string none = looked ? "; no earlier backup holds it intact either" : "";
  if (!first.damage || !opt_.keepDamaged) {
    if (!vouched && verdict == kNotBackedUp)
      return {Outcome::kNotBackedUp, first.detail + "; not restored" + none};
    return {Outcome::kFailed, first.Of("the backup") + "; not restored" + none +
                                  (first.damage ? "; --keep-damaged restores it anyway" : "")};
  }
  if (exists && (S_ISDIR(old.st_mode) || !ListedAs(rel, name) || !opt_.force))
    return {Outcome::kFailed, S_ISDIR(old.st_mode)    ? "a folder of that name is in the way"
                              : !ListedAs(rel, name) ? kOtherCase
                                                     : "exists with other contents; --force replaces it"};
  Doubt d;
  Fd src = OpenFileBeneath(chosen_.root.get(), parts);
  std::string damage = first.Of("the backup");
  if (opt_.dryRun || !src.ok())
    return {src.ok() ? (exists ? Outcome::kDamaged : Outcome::kRestored) : Outcome::kFailed,
            src.ok() ? damage : "cannot open it in the backup: " + ErrnoText(errno), e.size};
  return Stage(dir.get(), src.get(), e, true, &d, {index, rel, name, "", 0, 0, damage, "", ""});
}

Result Restorer::Stage(int dir, int src, const Entry &e, bool keep, Doubt *d, Pending p)
{
  // The copy grows under a temporary name, so that a file is either whole
  // or absent, and a replaced file that is hard-linked elsewhere stays
  // unchanged.
  Fd out;
  while (!out.ok()) {
    p.tmp = kTmpPrefix + std::to_string(getpid()) + "-" + std::to_string(serial_++);
    out = Fd(openat(dir, p.tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!out.ok() && (errno != EEXIST || serial_ > 1000000))
      return {DiskFull(errno) ? Outcome::kTargetFull : Outcome::kFailed, "cannot create it: " + ErrnoText(errno)};
  }
  std::string why;
  int writeErr = 0;
  if (!Take(src, out.get(), e, d, &why, &writeErr) && (!d->Said() || !keep)) {
    if (!d->Said())
      return Fail(dir, p.tmp, why, writeErr);
    unlinkat(dir, p.tmp.c_str(), 0);
    return {Outcome::kFailed, d->Of("the backup")};
  }
  struct timespec times[2] = {{e.modifyTime, 0}, {e.modifyTime, 0}};
  struct stat made;
  if (futimens(out.get(), times) != 0 || fstat(out.get(), &made) != 0)
    return Fail(dir, p.tmp, "cannot set its modification time: " + ErrnoText(errno));
  if (close(out.release()) != 0)
    return Fail(dir, p.tmp, "cannot write it: " + ErrnoText(errno), errno);
  if (!devices_.count(made.st_dev))
    devices_.emplace(made.st_dev, Fd(fcntl(dir, F_DUPFD_CLOEXEC, 0)));
  if (pending_.empty())
    batchStart_ = std::chrono::steady_clock::now();
  p.ino = made.st_ino;
  p.bytes = uint64_t(made.st_size);
  pendingBytes_ += p.bytes;
  pending_.push_back(std::move(p));
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
    Result r{Outcome::kRestored, p.why, p.bytes, p.from};
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
      r = {Outcome::kFailed, errno == EEXIST ? "appeared in the target meanwhile; --force replaces it"
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
  uint64_t fromOther = 0;     // taken from an earlier backup
  uint64_t deleted = 0;       // removed (or to be) by --delete
  std::string stopped;        // why the restore stopped early
  bool full = false, interrupted = false;
};

// The earlier backups of the chosen one's destination, newest first, in the
// order of "latest": the places to look for a file the chosen one lacks.
std::vector<Source> EarlierBackups(const Backup &b)
{
  std::vector<Source> earlier;
  Destination d;
  std::string why;
  if (b.root.empty() || !ReadDestination(b.root, &d, &why))
    return earlier;
  const Folder *chosen = d.Find(b.name);
  if (!chosen)
    return earlier;
  std::vector<const Folder *> folders;
  for (const auto &f : d.folders)
    if (&f != chosen && f.dated && f.HasCatalogue() && chosen->After(f) &&
        (f.state == FolderState::kComplete || f.state == FolderState::kIncomplete))
      folders.push_back(&f);
  std::stable_sort(folders.begin(), folders.end(), [](const Folder *x, const Folder *y) { return x->After(*y); });
  for (const Folder *f : folders) {
    earlier.emplace_back();
    earlier.back().label = f->name;
    earlier.back().path = b.root + "/" + f->name;
  }
  return earlier;
}

}  // namespace

int RestoreCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Source chosen;
  std::string why;
  std::ostream &notes = NoticeStream(err);
  if (!OpenBackup(opt.backups[0], &chosen.b, &why, &notes)) {
    err << "vxdb restore: " << why << "\n";
    return kBadInput;
  }
  const Backup &b = chosen.b;
  chosen.label = b.name.empty() ? BackupDateText(b.cat.backupDate).substr(0, 10) : b.name;
  chosen.opened = true;
  const std::string &targetArg = opt.args[0];
  std::vector<Place> &places = chosen.places = PlaceEntries(b.cat);
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
  std::vector<size_t> picked;
  for (size_t i = 0; i < places.size(); ++i)
    if (wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&](auto &w) { return Selected(keys[i], w); }))
      picked.push_back(i);

  chosen.root = Fd(open(b.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!chosen.root.ok()) {
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
  std::vector<Source> earlier;
  if (!opt.oneBackup)
    earlier = EarlierBackups(b);

  uint64_t totalBytes = 0;
  for (size_t i : picked)
    totalBytes += b.cat.entries[i].size;
  Tally t;
  t.chosen = picked.size();
  // One document for scripts, its events written as they happen.
  Json j(out);
  if (opt.json)
    j.BeginObject().Key("backup").String(b.folder).Key("events").BeginArray();
  auto event = [&](const char *name, const std::string &path, uint64_t size, const std::string &reason,
                   const std::string &from, bool changed) {
    j.BeginObject().Key("event").String(name);
    PathFields(j, path);
    if (size != UINT64_MAX)
      j.Key("size").Unsigned(size);
    if (!from.empty())
      j.Key("from").String(from);
    if (!reason.empty())
      j.Key("reason").String(reason);
    if (changed)
      j.Key("changed_while_read").Bool(true);
    j.EndObject();
  };
  auto report = [&](size_t i, const Result &r) {
    const Entry &e = b.cat.entries[i];
    std::string path = keys[i] + (IsFolder(e) ? "/" : "");
    // Restored all the same: it is what the backup holds, and the owner is told.
    bool changed = !IsZero(e.md5) && !GoodCopy(e) && r.from.empty() &&
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
      t.stopped = "at " + Shown(path) + ": " + r.why;
      t.missingBytes += b.cat.entries[i].size;
      return;
    case Outcome::kInterrupted:
      t.interrupted = true;
      return;
    default:
      ++t.problems;
    }
    t.fromOther += !r.from.empty();
    bool damaged = r.outcome == Outcome::kDamaged && r.from.empty() && !opt.dryRun;
    bool problem = r.outcome == Outcome::kFailed || r.outcome == Outcome::kRefused ||
                   r.outcome == Outcome::kNotBackedUp || damaged;
    if (opt.json) {
      // A dry run names the changes only; what is in place is counted.
      if (!opt.dryRun || r.outcome != Outcome::kInPlace)
        event(EventName(r.outcome, opt.dryRun), path, r.bytes, r.why, r.from, changed);
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
      std::string from = r.from.empty() ? r.why : "from " + r.from + "; " + r.why;
      out << (r.outcome == Outcome::kDamaged ? "replace   " : "restore   ") << Shown(path)
          << (from.empty() ? "" : " (" + from + ")") << "\n";
    } else if (!r.from.empty()) {
      notes << (r.outcome == Outcome::kInPlace ? "in place as in " : "taken from ") << Shown(r.from) << ": "
            << Shown(path) << " (" << r.why << ")\n" << std::flush;
    }
  };
  {
    Progress progress(ProgressStream(opt), picked.size(), totalBytes);
    Restorer restorer(chosen, earlier, targetFd, opt, progress);
    auto done = [&](size_t i, const Result &r) {
      progress.Finish();
      report(i, r);
    };
    for (size_t k = 0; k < picked.size() && !t.full && !t.interrupted; ++k) {
      size_t i = picked[k];
      const Place &p = places[i];
      Result r;
      if (Interrupted())
        r = {Outcome::kInterrupted, ""};
      else if (!p.problem.empty())
        r = {Outcome::kRefused, (p.escapes ? "would land outside " + Shown(where) + ": " : std::string()) + p.problem};
      else
        r = restorer.One(i, p.parts, p.key);
      progress.FileDone();
      if (r.outcome != Outcome::kPending) {
        if (r.outcome != Outcome::kRestored && r.outcome != Outcome::kInPlace)
          progress.Finish();
        report(i, r);
      }
      if (t.full)  // what is left does not fit either
        for (size_t rest = k + 1; rest < picked.size(); ++rest)
          t.missingBytes += b.cat.entries[picked[rest]].size;
      if (restorer.Full() || t.full || t.interrupted)
        restorer.Flush(done);
    }
    restorer.Flush(done);
    restorer.SyncNames();
    if (restorer.leftovers)
      notes << "vxdb restore: " << (opt.dryRun ? "would remove " : "removed ") << restorer.leftovers
            << " half-written " << (restorer.leftovers == 1 ? "copy" : "copies")
            << " of an earlier restore that was cut short\n";
  }

  // --delete: what the backup does not hold under the restored paths goes,
  // once every copy stands, as with rsync's --delete-after. What it holds
  // includes its files not backed up: the target's file of that name may
  // be the only copy there is.
  if (opt.deleteExtra && targetFd >= 0 && (t.full || t.interrupted))
    notes << "vxdb restore: nothing removed for --delete: the restore stopped before its end\n";
  else if (opt.deleteExtra && targetFd >= 0) {
    std::map<std::string, std::map<std::string, bool>> tree;  // folder -> its names, and whether each is a folder
    for (const auto &p : places)
      for (size_t k = 0; k < p.parts.size(); ++k)
        tree[Join({p.parts.begin(), p.parts.begin() + long(k)})][p.parts[k]] |= k + 1 < p.parts.size();
    HeldNames held = [&](const std::string &folder) -> const std::map<std::string, bool> * {
      auto it = tree.find(folder);
      return it == tree.end() ? nullptr : &it->second;
    };
    std::vector<std::string> scopes;
    for (const auto &w : wanted.empty() ? std::vector<std::string>{""} : wanted)
      if (tree.count(w) && std::find(scopes.begin(), scopes.end(), w) == scopes.end())
        scopes.push_back(w);
    for (const auto &scope : scopes)
      RemoveUnheld(targetFd, SplitPath(scope), held, opt.dryRun,
                   [&](const std::string &path, bool folder, const std::string &problem) {
                     std::string shown = path + (folder ? "/" : "");
                     if (!problem.empty()) {
                       ++t.problems;
                       if (opt.json)
                         event("failed", shown, UINT64_MAX, problem, "", false);
                       else
                         err << FindingLine({"failed", shown, problem}) << "\n";
                       return;
                     }
                     t.deleted += !folder;
                     if (opt.json)
                       event(opt.dryRun ? "would_delete" : "deleted", shown, UINT64_MAX, "", "", false);
                     else
                       out << (opt.dryRun ? "delete    " : "deleted   ") << Shown(shown) << "\n";
                   });
    if (!opt.dryRun)
      (void)syncfs(targetFd);
  }

  if (opt.json) {
    j.EndArray().Key("summary").BeginObject().Key("dry_run").Bool(opt.dryRun);
    j.Key("restored").Unsigned(t.restored - t.inPlace).Key("in_place").Unsigned(t.inPlace);
    j.Key("from_other").Unsigned(t.fromOther);
    // A dry run's size is what it would write.
    j.Key("files").Unsigned(t.chosen).Key("size").Unsigned(t.restoredBytes - (opt.dryRun ? t.inPlaceBytes : 0));
    j.Key("problems").Unsigned(t.problems).Key("not_backed_up").Unsigned(t.notBackedUp);
    if (opt.deleteExtra)
      j.Key("deleted").Unsigned(t.deleted);
    j.Key("changed_while_read").Unsigned(t.changed);
    j.Key("partial").Bool(b.partial).Key("stopped");
    if (t.interrupted)
      j.String("interrupted");
    else if (t.full)
      j.String("target full");
    else
      j.Null();
    j.Key("target").String(where).EndObject().EndObject().Finish();
  } else {
    std::string from = " from " + BackupDateText(b.cat.backupDate) + " into " + Shown(where);
    if (opt.dryRun)
      out << "Would restore " << Plural(t.restored - t.inPlace - t.replaced, "file") << " and replace " << t.replaced
          << " (" << SizeText(t.restoredBytes - t.inPlaceBytes) << " in all)" << from << "; " << t.inPlace
          << " in place already"
          << (opt.deleteExtra ? "; would remove " + Plural(t.deleted, "file") + " the backup does not hold" : "")
          << ".";
    else
      out << "Restored " << t.restored << " of " << Plural(t.chosen, "file") << " (" << SizeText(t.restoredBytes)
          << (t.inPlace ? "; " + std::to_string(t.inPlace) + " in place already" : "") << ")" << from
          << (opt.deleteExtra ? "; removed " + Plural(t.deleted, "file") + " the backup does not hold" : "") << ".";
    if (t.fromOther)
      out << " " << t.fromOther << (opt.dryRun ? " would be" : "") << " taken from an earlier backup"
          << (opt.dryRun ? ", as shown." : ", named on standard error.");
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
    err << "vxdb restore: stopped: the target is full " << t.stopped << "; " << SizeText(t.missingBytes)
        << " of files were not restored. Make room and run the same command again: what is restored stays.\n";
  if (t.interrupted)
    return InterruptedExit(opt, err, "what was restored stays; run the same command again to go on");
  return t.full ? kTargetFull : t.problems ? kFound : (t.changed || b.partial) ? kIncomplete : kFine;
}

}  // namespace vxdb
