#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "Catalogue.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Progress.h"

namespace vxdb {
namespace {

enum class Outcome { kRestored, kRestoredDamaged, kNotRestored };

struct Job {
  int root, target;
  const Options &opt;
  Progress &progress;
};

std::string Join(const std::vector<std::string> &parts)
{
  std::string s;
  for (const auto &p : parts)
    s += "/" + p;
  return s;
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

// Copies src into fd, digesting what was read.
bool Copy(int src, int fd, Digest *digest, uint64_t *bytes, Progress &progress, std::string *why)
{
  Md5 md5;
  static char buf[1 << 16];
  *bytes = 0;
  for (;;) {
    ssize_t n = read(src, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *why = "cannot read it from the backup: " + ErrnoText(errno);
      return false;
    }
    if (n == 0)
      break;
    if (!WriteAll(fd, buf, size_t(n))) {
      *why = "cannot write it: " + ErrnoText(errno);
      return false;
    }
    md5.Update(buf, size_t(n));
    *bytes += uint64_t(n);
    progress.AddBytes(uint64_t(n));
  }
  *digest = md5.Final();
  return true;
}

// Moves the finished copy to its name; without force an existing file stays.
bool PutInPlace(int dir, const std::string &tmp, const std::string &name, bool force, std::string *why)
{
  if (force) {
    if (renameat(dir, tmp.c_str(), dir, name.c_str()) == 0)
      return true;
  } else {
    if (renameat2(dir, tmp.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
      return true;
    // File systems without the flag: the check before the copy has to do.
    if ((errno == EINVAL || errno == ENOSYS) && renameat(dir, tmp.c_str(), dir, name.c_str()) == 0)
      return true;
  }
  *why = errno == EEXIST ? "exists (use --force to replace it)" : "cannot put it in place: " + ErrnoText(errno);
  return false;
}

Outcome RestoreOne(const Job &job, const Entry &e, const std::vector<std::string> &parts, std::string *why)
{
  Fd src = OpenFileBeneath(job.root, parts);
  struct stat st;
  if (!src.ok() || fstat(src.get(), &st) != 0) {
    *why = errno == ENOENT ? "missing from the backup"
           : errno == ELOOP ? "is a symbolic link in the backup"
                            : "cannot open it in the backup: " + ErrnoText(errno);
    return Outcome::kNotRestored;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "is not a regular file in the backup";
    return Outcome::kNotRestored;
  }
  std::vector<std::string> folder(parts.begin(), parts.end() - 1);
  Fd dir = OpenFolderBeneath(job.target, folder, true);
  if (!dir.ok()) {
    *why = errno == ELOOP ? "a folder on its way in the target is a symbolic link"
           : errno == ENOTDIR ? "a file in the target is in the way of its folder"
                              : "cannot make its folder: " + ErrnoText(errno);
    return Outcome::kNotRestored;
  }
  const std::string &name = parts.back();
  struct stat old;
  if (fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(old.st_mode)) {
      *why = "a folder of that name is in the way";
      return Outcome::kNotRestored;
    }
    if (!job.opt.force) {
      *why = "exists (use --force to replace it)";
      return Outcome::kNotRestored;
    }
  }

  // The copy grows under a temporary name, so that a file is either whole or
  // absent, and a replaced file that is hard-linked elsewhere stays unchanged.
  std::string tmp;
  Fd out;
  for (int k = 0; !out.ok(); ++k) {
    tmp = ".vxdb-restore-" + std::to_string(getpid()) + "-" + std::to_string(k);
    out = Fd(openat(dir.get(), tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!out.ok() && (errno != EEXIST || k > 1000)) {
      *why = "cannot create it: " + ErrnoText(errno);
      return Outcome::kNotRestored;
    }
  }
  auto fail = [&](const std::string &text) {
    unlinkat(dir.get(), tmp.c_str(), 0);
    *why = text;
    return Outcome::kNotRestored;
  };

  Digest read{}, written{};
  uint64_t bytes = 0, rebytes = 0;
  std::string text;
  if (!Copy(src.get(), out.get(), &read, &bytes, job.progress, &text))
    return fail(text);
  if (lseek(out.get(), 0, SEEK_SET) != 0 || !HashDescriptor(out.get(), UINT64_MAX, &written, &rebytes, nullptr))
    return fail("cannot read the copy back: " + ErrnoText(errno));
  if (written != read || rebytes != bytes)
    return fail("the copy differs from the backup's file");

  bool damaged = false;
  if (bytes != e.size) {
    damaged = true;
    text = "damaged in the backup: size " + std::to_string(bytes) + ", catalogue " + std::to_string(e.size);
  } else if (!IsZero(e.md5) && read != e.md5) {
    damaged = true;
    text = "damaged in the backup: its contents differ from the catalogue";
  }
  if (damaged && !job.opt.keepDamaged)
    return fail(text + "; not restored (--keep-damaged restores it anyway)");

  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = e.modifyTime;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  if (futimens(out.get(), times) != 0)
    return fail("cannot set its modification time: " + ErrnoText(errno));
  if (!PutInPlace(dir.get(), tmp, name, job.opt.force, why))
    return fail(*why);
  if (damaged) {
    *why = text + "; restored as it is";
    return Outcome::kRestoredDamaged;
  }
  return Outcome::kRestored;
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

// Whether path, existing or not, is folder or lies below it.
bool Inside(const std::string &path, const std::string &folder)
{
  std::error_code ec1, ec2;
  auto p = std::filesystem::weakly_canonical(path, ec1);
  auto f = std::filesystem::canonical(folder, ec2);
  if (ec1 || ec2)
    return false;
  auto [fi, pi] = std::mismatch(f.begin(), f.end(), p.begin(), p.end());
  return fi == f.end();
}

bool Selected(const std::string &key, const std::vector<std::string> &wanted)
{
  if (wanted.empty())
    return true;
  for (const auto &w : wanted)
    if (w.empty() || key == w || (key.size() > w.size() && key.compare(0, w.size(), w) == 0 && key[w.size()] == '/'))
      return true;
  return false;
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
  std::vector<std::string> wanted;
  for (size_t i = 2; i < opt.args.size(); ++i) {
    std::string key;
    if (!Wanted(opt.args[i], &key)) {
      err << "vxdb restore: " << Shown(opt.args[i]) << ": paths in a backup have no \"..\"\n";
      return kBadInput;
    }
    wanted.push_back(key);
  }

  std::vector<Place> places = PlaceEntries(b.cat);
  std::vector<std::string> keys(places.size());
  std::vector<size_t> chosen;
  for (size_t i = 0; i < places.size(); ++i) {
    keys[i] = places[i].problem.empty() ? places[i].key : Join(SplitPath(b.cat.entries[i].Path()));
    if (Selected(keys[i], wanted))
      chosen.push_back(i);
  }
  for (size_t w = 0; w < wanted.size(); ++w) {
    bool any = false;
    for (size_t i : chosen)
      any = any || Selected(keys[i], {wanted[w]});
    if (!any) {
      err << "vxdb restore: " << Shown(opt.args[w + 2]) << ": not in this backup\n";
      return kBadInput;
    }
  }

  Fd root(open(b.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.ok()) {
    err << "vxdb restore: " << Shown(b.folder) << ": " << ErrnoText(errno) << "\n";
    return kBadInput;
  }
  // Files restored into the backup itself would change the backup.
  if (Inside(targetArg, b.folder)) {
    err << "vxdb restore: " << Shown(targetArg) << " lies inside the backup; choose another folder\n";
    return kBadInput;
  }
  std::error_code ec;
  std::filesystem::create_directories(targetArg, ec);
  Fd target(open(targetArg.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!target.ok()) {
    err << "vxdb restore: " << Shown(targetArg) << ": " << (ec ? ec.message() : ErrnoText(errno)) << "\n";
    return kBadInput;
  }

  uint64_t totalBytes = 0;
  for (size_t i : chosen)
    totalBytes += b.cat.entries[i].size;
  uint64_t restored = 0, restoredBytes = 0, failed = 0;
  {
    Progress progress(ProgressStream(opt, err), chosen.size(), totalBytes);
    Job job{root.get(), target.get(), opt, progress};
    for (size_t i : chosen) {
      const Entry &e = b.cat.entries[i];
      const Place &p = places[i];
      std::string line;
      if (!p.problem.empty()) {
        line = "refused    " + Shown(e.Path()) + " (" +
               (p.escapes ? "would land outside " + Shown(targetArg) + ": " : std::string()) + p.problem + ")";
        ++failed;
      } else {
        std::string detail;
        switch (RestoreOne(job, e, p.parts, &detail)) {
        case Outcome::kRestored:
          ++restored;
          restoredBytes += e.size;
          break;
        case Outcome::kRestoredDamaged:
          ++restored;
          ++failed;
          line = "damaged    " + Shown(p.key) + " (" + detail + ")";
          break;
        case Outcome::kNotRestored:
          ++failed;
          line = "failed     " + Shown(p.key) + " (" + detail + ")";
          break;
        }
      }
      progress.FileDone();
      if (!line.empty()) {
        progress.Finish();
        out << line << "\n" << std::flush;
      }
    }
  }
  out << "Restored " << restored << " of " << Plural(chosen.size(), "file") << " (" << SizeText(restoredBytes) << ") from "
      << BackupDateText(b.cat.backupDate) << " into " << Shown(targetArg) << ".";
  if (failed)
    out << " " << failed << " with problems, listed above.";
  out << "\n";
  return failed ? kFound : kFine;
}

}  // namespace vxdb
