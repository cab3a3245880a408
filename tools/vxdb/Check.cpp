#include "Check.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "Files.h"
#include "Output.h"
#include "Progress.h"
#include "app/VXDBFormat.h"

namespace vxdb {

const char kDamagedFile[] = "damaged";
const char kMissing[] = "missing";
const char kNotBackedUp[] = "not backed up";
const char kExtra[] = "extra";
const char kUnsafe[] = "unsafe";
const char kUnreadable[] = "unreadable";
const char kChangedWhileRead[] = "changed while read";

bool Vouched(const Backup &b, size_t i, std::string *verdict, std::string *why)
{
  const Entry &e = b.cat.entries[i];
  if (GoodCopy(e))
    return true;
  if (!IsZero(e.md5)) {
    *verdict = kChangedWhileRead;
    *why = "the plug-in noted that the copy may mix two versions";
  } else {
    *verdict = kNotBackedUp;
    *why = IsFolder(e) ? "a folder the backup could not take" : "logged as failed when the backup ran";
  }
  return false;
}

bool IsDamage(const Finding &f)
{
  return strcmp(f.kind, kExtra) != 0 && strcmp(f.kind, kNotBackedUp) != 0 && strcmp(f.kind, kChangedWhileRead) != 0;
}

std::string FindingLine(const Finding &f)
{
  std::string kind = f.kind;
  std::string line = kind + std::string(kind.size() < 14 ? 14 - kind.size() : 1, ' ') + Shown(f.path);
  if (!f.detail.empty())
    line += " (" + f.detail + ")";
  return line;
}

const char *DayStateName(DayState s)
{
  switch (s) {
  case DayState::kIntact:
    return "complete";
  case DayState::kDamaged:
    return "damaged";
  case DayState::kIncomplete:
    return "incomplete";
  case DayState::kUnfinished:
    return "unfinished";
  case DayState::kRemoving:
    return "being removed";
  }
  return "?";
}

DayState DayCheck::State() const
{
  if (unchecked != DayState::kIntact)
    return unchecked;
  if (!problem.empty())
    return DayState::kDamaged;
  for (const auto &f : findings)
    if (IsDamage(f))
      return DayState::kDamaged;
  // Files the disk refused leave a complete backup complete; a copy that may
  // mix two versions is no good copy, whatever the run's state.
  return partial || Count(kChangedWhileRead) ? DayState::kIncomplete : DayState::kIntact;
}

size_t DayCheck::Count(const char *kind) const
{
  return size_t(
      std::count_if(findings.begin(), findings.end(), [&](const Finding &f) { return strcmp(f.kind, kind) == 0; }));
}

bool ParseSubset(const std::string &text, Subset *subset)
{
  unsigned k = 0, n = 0;
  char end = 0;
  if (sscanf(text.c_str(), "%u/%u%c", &k, &n, &end) != 2 || n == 0 || k == 0 || k > n ||
      text.find_first_not_of("0123456789/") != std::string::npos)
    return false;
  subset->k = k;
  subset->n = n;
  return true;
}

namespace {

// Whether an entry's data belong to the subset. By digest, so that a file
// and its hard links in other days fall into the same part.
bool InSubset(const Entry &e, Subset s)
{
  if (s.n <= 1)
    return true;
  uint32_t key = e.pathCrc;
  if (!IsZero(e.md5))
    key = uint32_t(e.md5[0]) << 24 | uint32_t(e.md5[1]) << 16 | uint32_t(e.md5[2]) << 8 | e.md5[3];
  return key % s.n == s.k - 1;
}

bool Below(const std::string &path, const std::string &folder)
{
  return folder == "/" || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                           path[folder.size()] == '/');
}

}  // namespace

DayCheck CheckBackup(const Backup &b, CheckRun *run, Progress *progress)
{
  DayCheck day;
  day.partial = b.partial;
  day.date = b.cat.backupDate;
  day.entries = b.cat.entries.size();
  Fd root(open(b.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.ok()) {
    day.problem = ErrnoText(errno);
    return day;
  }

  std::map<std::string, struct stat> onDisk;
  std::vector<std::string> unreadable;  // folders, each reported once
  Walk(
      root.get(), [&](const WalkItem &item) { onDisk[item.path] = item.st; },
      [&](const std::string &path, int e) {
        day.findings.push_back({kUnreadable, path, ErrnoText(e)});
        unreadable.push_back(path);
      });
  // The plug-in's own files beside the catalogue are no extra files.
  for (auto it = onDisk.begin(); it != onDisk.end();)
    if (it->first.find('/', 1) == std::string::npos && IsOwnFile(it->first.substr(1), it->second, &b.cat))
      it = onDisk.erase(it);
    else
      ++it;
  auto hidden = [&](const std::string &path) {
    for (const auto &u : unreadable)
      if (Below(path, u))
        return true;
    return false;
  };

  // Findings keep the catalogue's order; the files are read in inode order,
  // which on most file systems is close to their order on the disk.
  std::vector<std::pair<size_t, Finding>> found;
  auto note = [&](size_t i, const char *kind, const std::string &path, std::string detail) {
    found.push_back({i, {kind, path, std::move(detail)}});
  };
  struct Read {
    size_t i;
    std::pair<uint64_t, uint64_t> id;
  };
  std::vector<Read> reads;
  std::vector<size_t> changed;
  std::vector<Place> places = PlaceEntries(b.cat);
  for (size_t i = 0; i < places.size(); ++i) {
    const Entry &e = b.cat.entries[i];
    const Place &p = places[i];
    if (!p.problem.empty()) {
      note(i, kUnsafe, e.ShortPath(), p.problem);
      continue;
    }
    // Looked up by the exact names the folders list, so that a disk which
    // ignores letter case cannot pass one file off as another.
    auto at = onDisk.find(p.key);
    if (IsZero(e.md5)) {
      // Whatever lies there was never recorded: it is not read.
      if (IsFolder(e))
        note(i, kNotBackedUp, p.key + "/", "a folder the backup could not take; nothing in it was backed up");
      else
        note(i, kNotBackedUp, p.key, "logged as failed when the backup ran");
      if (at != onDisk.end())
        onDisk.erase(at);
      continue;
    }
    // Its bytes are checked all the same: damage is told before this.
    if (!GoodCopy(e))
      changed.push_back(i);
    if (at == onDisk.end()) {
      if (!hidden(p.key))
        note(i, kMissing, p.key, "");
      continue;
    }
    struct stat st = at->second;
    onDisk.erase(at);
    if (!S_ISREG(st.st_mode)) {
      note(i, kDamagedFile, p.key, "not a regular file");
    } else if (uint64_t(st.st_size) != e.size) {
      note(i, kDamagedFile, p.key, "size " + std::to_string(st.st_size) + ", catalogue " + std::to_string(e.size));
      if (progress)
        progress->FileDone();
    } else if (!InSubset(e, run->subset)) {
      ++day.sizeOnly;
    } else {
      reads.push_back({i, {uint64_t(st.st_dev), uint64_t(st.st_ino)}});
    }
  }
  std::sort(reads.begin(), reads.end(), [](const Read &x, const Read &y) { return x.id < y.id; });
  for (const auto &[i, id] : reads) {
    const Entry &e = b.cat.entries[i];
    const Place &p = places[i];
    auto known = run->read.find(id);
    if (known == run->read.end()) {
      CheckRun::Read r;
      Fd fd = OpenFileBeneath(root.get(), p.parts);
      struct stat now;
      if (!fd.ok() || fstat(fd.get(), &now) != 0)
        r.err = errno;
      else if (!S_ISREG(now.st_mode))
        r.err = EBADF;  // swapped for something else since the walk
      else if (!HashDescriptor(fd.get(), e.size, &r.digest, &r.bytes, progress))
        r.err = errno;
      else {
        ++run->filesRead;
        run->bytesRead += r.bytes;
      }
      known = run->read.emplace(id, r).first;
    } else if (progress) {
      progress->AddBytes(e.size);
    }
    if (progress)
      progress->FileDone();
    const CheckRun::Read &r = known->second;
    if (r.err == EINTR && Interrupted())
      break;
    if (r.err == EBADF) {
      note(i, kDamagedFile, p.key, "not a regular file");
      continue;
    }
    if (r.err != 0) {
      note(i, kUnreadable, p.key, ErrnoText(r.err));
      continue;
    }
    ++day.files;
    day.bytes += std::min(r.bytes, e.size);
    if (r.bytes != e.size)
      note(i, kDamagedFile, p.key, "size changed while it was read");
    else if (r.digest != e.md5)
      note(i, kDamagedFile, p.key, "contents differ");
  }
  std::string why = b.cat.notesProblem.empty() ? "the copy may mix two versions" : b.cat.notesProblem;
  for (size_t i : changed)
    if (std::none_of(found.begin(), found.end(), [&](const auto &f) { return f.first == i && IsDamage(f.second); }))
      note(i, kChangedWhileRead, places[i].key, why);
  std::stable_sort(found.begin(), found.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
  for (auto &f : found)
    day.findings.push_back(std::move(f.second));
  for (const auto &[path, st] : onDisk)
    day.findings.push_back({kExtra, path, S_ISREG(st.st_mode) ? "" : "not a regular file"});
  return day;
}

DayState DestinationCheck::Worst() const
{
  DayState worst = DayState::kIntact;
  for (const auto &d : days) {
    DayState s = d.State();
    if (s == DayState::kDamaged)
      return s;
    if (s == DayState::kIncomplete)
      worst = s;
  }
  return worst;
}

bool CheckDestination(const std::string &root, Subset subset, std::ostream *progressOut, DestinationCheck *result,
                      std::string *err)
{
  Destination dest;
  if (!ReadDestination(root, &dest, err))
    return false;
  if (dest.folders.empty()) {
    *err = "no backups here";
    return false;
  }
  result->root = root;
  result->subset = subset;
  result->others = dest.others;
  CheckRun run;
  run.subset = subset;
  for (const auto &f : dest.folders) {
    DayCheck day;
    if (f.state == FolderState::kUnfinished || f.state == FolderState::kRemoving) {
      day.unchecked = f.state == FolderState::kUnfinished ? DayState::kUnfinished : DayState::kRemoving;
      day.date = f.date;
    } else if (f.state == FolderState::kUnusable) {
      day.problem = f.problem;
    } else {
      Backup b;
      std::string why;
      if (!OpenBackup({root + "/" + f.name}, &b, &why, nullptr)) {
        day.problem = why;
      } else {
        uint64_t bytes = 0;
        for (const auto &e : b.cat.entries)
          bytes += e.size;
        Progress progress(progressOut, b.cat.entries.size(), bytes);
        day = CheckBackup(b, &run, &progress);
      }
    }
    if (Interrupted()) {
      result->interrupted = true;
      break;
    }
    day.name = f.name;
    result->days.push_back(std::move(day));
  }
  result->filesRead = run.filesRead;
  result->bytesRead = run.bytesRead;
  return true;
}

}  // namespace vxdb
