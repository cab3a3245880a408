#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "Catalogue.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Progress.h"

namespace vxdb {
namespace {

// Copies wait under a temporary name until a batch of them has reached the
// disk (one syncfs rather than one fsync per file), then get their names.
constexpr size_t kBatchFiles = 512;
constexpr uint64_t kBatchBytes = uint64_t(256) << 20;
constexpr size_t kTmpPath = kMaxPath + 64;

// The temporary files that exist now, relative to the target folder, for a
// signal handler to remove; an empty slot is done with.
int gTargetFd = -1;
char gTmp[kBatchFiles + 1][kTmpPath];
volatile sig_atomic_t gTmpCount = 0;

extern "C" void RemoveTemporaries(int sig)
{
  for (sig_atomic_t i = 0; i < gTmpCount; ++i)
    if (gTmp[i][0])
      unlinkat(gTargetFd, gTmp[i], 0);
  signal(sig, SIG_DFL);
  raise(sig);
}

class SignalGuard {
public:
  explicit SignalGuard(int target)
  {
    gTargetFd = target;
    gTmpCount = 0;
    struct sigaction sa = {};
    sa.sa_handler = RemoveTemporaries;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i)
      sigaction(kSignals[i], &sa, &old_[i]);
  }
  ~SignalGuard()
  {
    for (size_t i = 0; i < std::size(kSignals); ++i)
      sigaction(kSignals[i], &old_[i], nullptr);
    gTmpCount = 0;
  }

private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  struct sigaction old_[std::size(kSignals)];
};

std::string Join(const std::vector<std::string> &parts)
{
  std::string s;
  for (const auto &p : parts)
    s += "/" + p;
  return s;
}

// Copies at most limit bytes of src into fd and digests them as they are
// written; grew tells whether src had more.
bool Copy(int src, int fd, uint64_t limit, Digest *digest, uint64_t *bytes, bool *grew, Progress &progress,
          std::string *why)
{
  Md5 md5;
  static char buf[1 << 16];
  *bytes = 0;
  *grew = false;
  for (;;) {
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

enum class Outcome { kRestored, kInPlace, kDamaged, kFailed, kRefused, kPending };

struct Pending {
  size_t index;       // into the chosen entries
  std::string folder; // relative, "/a/b" or ""
  std::string name, tmp;
  ino_t ino;
  uint64_t bytes;
  std::string damage;  // set when restored although damaged
};

struct Result {
  Outcome outcome;
  std::string why;
  uint64_t bytes = 0;
};

class Restorer {
public:
  Restorer(int root, int target, const Options &opt, Progress &progress)
      : root_(root), target_(target), opt_(opt), progress_(progress)
  {
  }

  // Restores one entry; kPending when its copy waits for the next Flush.
  Result One(size_t index, const Entry &e, const std::vector<std::string> &parts);
  // Brings the waiting copies to the disk and gives them their names.
  void Flush(const std::function<void(size_t, const Result &)> &done);
  bool Full() const { return pending_.size() >= kBatchFiles || pendingBytes_ >= kBatchBytes; }

private:
  Result Fail(int dir, const std::string &tmp, std::string why)
  {
    unlinkat(dir, tmp.c_str(), 0);
    DropCurrent();
    return {Outcome::kFailed, std::move(why)};
  }
  // The slots after the pending copies' belong to the copy being made.
  void DropCurrent()
  {
    if (size_t(gTmpCount) > pending_.size()) {
      gTmpCount = gTmpCount - 1;
      gTmp[gTmpCount][0] = 0;
    }
  }
  bool Identical(int dir, const std::string &name, const Entry &e);

  int root_, target_;
  const Options &opt_;
  Progress &progress_;
  std::vector<Pending> pending_;
  uint64_t pendingBytes_ = 0;
  std::map<dev_t, Fd> devices_;  // one folder on each file system written to
  unsigned serial_ = 0;
};

// Whether the file already at name holds exactly the entry's contents.
bool Restorer::Identical(int dir, const std::string &name, const Entry &e)
{
  if (IsZero(e.md5))
    return false;
  Fd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  Digest d;
  uint64_t bytes = 0;
  return fd.ok() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == e.size &&
         HashDescriptor(fd.get(), e.size, &d, &bytes, nullptr) && bytes == e.size && d == e.md5;
}

Result Restorer::One(size_t index, const Entry &e, const std::vector<std::string> &parts)
{
  Fd src = OpenFileBeneath(root_, parts);
  struct stat st;
  if (!src.ok() || fstat(src.get(), &st) != 0)
    return {Outcome::kFailed, errno == ENOENT ? "missing from the backup"
                              : errno == ELOOP ? "is a symbolic link in the backup"
                                               : "cannot open it in the backup: " + ErrnoText(errno)};
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
    return {Outcome::kFailed, errno == ELOOP ? "a folder on its way in the target is a symbolic link"
                              : errno == ENOTDIR ? "a file in the target is in the way of its folder"
                                                 : "cannot make its folder: " + ErrnoText(errno)};
  struct stat old;
  bool exists = dir.ok() && fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(old.st_mode))
    return {Outcome::kFailed, "a folder of that name is in the way"};
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
  std::string rel = Join(folder);
  while (!out.ok()) {
    tmp = ".vxdb-restore-" + std::to_string(getpid()) + "-" + std::to_string(serial_++);
    std::string path = (rel.empty() ? "" : rel.substr(1) + "/") + tmp;
    snprintf(gTmp[gTmpCount], kTmpPath, "%s", path.c_str());
    gTmpCount = gTmpCount + 1;
    out = Fd(openat(dir.get(), tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!out.ok()) {
      int err = errno;
      DropCurrent();
      if (err != EEXIST || serial_ > 1000000)
        return {Outcome::kFailed, "cannot create it: " + ErrnoText(err)};
    }
  }

  Digest digest{};
  uint64_t bytes = 0;
  bool grew = false;
  std::string text;
  uint64_t limit = opt_.keepDamaged ? std::max<uint64_t>(e.size, uint64_t(st.st_size)) : e.size;
  if (!Copy(src.get(), out.get(), limit, &digest, &bytes, &grew, progress_, &text))
    return Fail(dir.get(), tmp, text);
  std::string damage = sizeDamage;
  if (grew || bytes != e.size)
    damage = "damaged in the backup: it changed while it was read";
  else if (damage.empty() && !IsZero(e.md5) && digest != e.md5)
    damage = "damaged in the backup: its contents differ from the catalogue";
  if (!damage.empty() && !opt_.keepDamaged)
    return Fail(dir.get(), tmp, damage + "; not restored (--keep-damaged restores it anyway)");

  struct timespec times[2] = {{e.modifyTime, 0}, {e.modifyTime, 0}};
  struct stat made;
  if (futimens(out.get(), times) != 0 || fstat(out.get(), &made) != 0)
    return Fail(dir.get(), tmp, "cannot set its modification time: " + ErrnoText(errno));
  if (close(out.release()) != 0)
    return Fail(dir.get(), tmp, "cannot write it: " + ErrnoText(errno));
  if (!devices_.count(made.st_dev))
    devices_.emplace(made.st_dev, Fd(fcntl(dir.get(), F_DUPFD_CLOEXEC, 0)));
  pending_.push_back({index, rel, name, tmp, made.st_ino, bytes, damage});
  pendingBytes_ += bytes;
  return {Outcome::kPending, ""};
}

void Restorer::Flush(const std::function<void(size_t, const Result &)> &done)
{
  std::string synced;
  for (auto &[dev, fd] : devices_)
    if (!fd.ok() || syncfs(fd.get()) != 0)
      synced = "cannot bring it to the disk: " + ErrnoText(fd.ok() ? errno : EBADF);
  for (const auto &p : pending_) {
    Fd dir = OpenFolderBeneath(target_, SplitPath(p.folder), false);
    struct stat st;
    Result r{Outcome::kRestored, "", p.bytes};
    if (!dir.ok() || fstatat(dir.get(), p.tmp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != p.ino)
      r = {Outcome::kFailed, "its copy vanished from the target before it got its name"};
    else if (!synced.empty())
      r = {Outcome::kFailed, synced};
    else if (opt_.force ? renameat(dir.get(), p.tmp.c_str(), dir.get(), p.name.c_str()) != 0
                        : renameat2(dir.get(), p.tmp.c_str(), dir.get(), p.name.c_str(), RENAME_NOREPLACE) != 0 &&
                              !((errno == EINVAL || errno == ENOSYS) &&
                                renameat(dir.get(), p.tmp.c_str(), dir.get(), p.name.c_str()) == 0))
      r = {Outcome::kFailed, errno == EEXIST ? "appeared in the target meanwhile (use --force to replace it)"
                                             : "cannot put it in place: " + ErrnoText(errno)};
    else if (!p.damage.empty())
      r = {Outcome::kDamaged, p.damage + "; restored as it is", p.bytes};
    if (r.outcome == Outcome::kFailed && dir.ok())
      unlinkat(dir.get(), p.tmp.c_str(), 0);
    done(p.index, r);
  }
  pending_.clear();
  pendingBytes_ = 0;
  gTmpCount = 0;
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
  default:
    return "failed";
  }
}

}  // namespace

int RestoreCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Backup b;
  std::string why;
  if (!OpenBackup(opt.args[0], &b, &why)) {
    err << "vxdb restore: " << why << "\n";
    return kBadInput;
  }
  const std::string &targetArg = opt.args[1];
  std::vector<Place> places = PlaceEntries(b.cat);
  std::vector<std::string> keys(places.size());
  for (size_t i = 0; i < places.size(); ++i)
    keys[i] = places[i].problem.empty() ? places[i].key : b.cat.entries[i].ShortPath();

  // A wanted path is taken as it is, or else as "list" shows it, escapes
  // and all: that names a file whose name is not valid UTF-8 exactly.
  std::vector<std::string> wanted;
  for (size_t w = 2; w < opt.args.size(); ++w) {
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
  uint64_t restored = 0, restoredBytes = 0, failed = 0;
  auto report = [&](size_t i, const Result &r) {
    const std::string &path = keys[i];
    bool lost = r.outcome == Outcome::kFailed || r.outcome == Outcome::kRefused;
    bool problem = lost || (r.outcome == Outcome::kDamaged && !opt.dryRun);
    if (!lost) {
      ++restored;
      restoredBytes += r.bytes;
    }
    failed += problem;
    if (opt.json) {
      Json j(out);
      j.BeginObject().Key("event").String(EventName(r.outcome, opt.dryRun));
      PathFields(j, path);
      j.Key("bytes").Unsigned(r.bytes);
      if (!r.why.empty())
        j.Key("reason").String(r.why);
      j.EndObject().Finish();
      return;
    }
    if (problem) {
      std::string kind = EventName(r.outcome, false);
      err << kind << std::string(11 - kind.size(), ' ') << Shown(path) << " (" << r.why << ")\n" << std::flush;
    } else if (opt.dryRun) {
      const char *kind = r.outcome == Outcome::kInPlace ? "in place   " : r.outcome == Outcome::kDamaged ? "replace    " : "restore    ";
      out << kind << Shown(path) << (r.why.empty() ? "" : " (" + r.why + ")") << "\n";
    }
  };
  {
    Progress progress(ProgressStream(opt, err), chosen.size(), totalBytes);
    SignalGuard guard(targetFd);
    Restorer restorer(root.get(), targetFd, opt, progress);
    auto done = [&](size_t i, const Result &r) {
      progress.Finish();
      report(i, r);
    };
    for (size_t i : chosen) {
      const Place &p = places[i];
      Result r;
      if (!p.problem.empty())
        r = {Outcome::kRefused, (p.escapes ? "would land outside " + Shown(where) + ": " : std::string()) + p.problem};
      else if (targetFd < 0)
        r = {Outcome::kRestored, "", b.cat.entries[i].size};  // dry run into a folder still to be made
      else
        r = restorer.One(i, b.cat.entries[i], p.parts);
      progress.FileDone();
      if (r.outcome != Outcome::kPending) {
        if (r.outcome == Outcome::kFailed || r.outcome == Outcome::kRefused || opt.json || opt.dryRun)
          progress.Finish();
        report(i, r);
      }
      if (restorer.Full())
        restorer.Flush(done);
    }
    restorer.Flush(done);
  }
  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("event").String("summary").Key("dry_run").Bool(opt.dryRun);
    j.Key("restored").Unsigned(restored).Key("files").Unsigned(chosen.size()).Key("bytes").Unsigned(restoredBytes);
    j.Key("problems").Unsigned(failed).Key("target").String(where).EndObject().Finish();
    return failed ? kFound : kFine;
  }
  out << (opt.dryRun ? "Would restore " : "Restored ") << restored << " of " << Plural(chosen.size(), "file") << " ("
      << SizeText(restoredBytes) << ") from " << BackupDateText(b.cat.backupDate) << " into " << Shown(where) << ".";
  if (failed)
    out << " " << failed << " with problems, listed on standard error.";
  out << "\n";
  return failed ? kFound : kFine;
}

}  // namespace vxdb
