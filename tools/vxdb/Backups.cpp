#include "Backups.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>

#include "Files.h"
#include "Output.h"
#include "app/VXDBFormat.h"

namespace vxdb {

const char *FolderStateName(FolderState s)
{
  switch (s) {
  case FolderState::kComplete:
    return "complete";
  case FolderState::kIncomplete:
    return "incomplete";
  case FolderState::kUnfinished:
    return "unfinished";
  case FolderState::kRemoving:
    return "being removed";
  case FolderState::kUnusable:
    return "damaged";
  }
  return "?";
}

std::string StateKey(std::string_view name)
{
  std::string key(name);
  std::replace(key.begin(), key.end(), ' ', '_');
  return key;
}

Standing StandingOf(FolderState s, uint64_t notBackedUp)
{
  switch (s) {
  case FolderState::kComplete:
    return notBackedUp ? Standing::kNotAll : Standing::kComplete;
  case FolderState::kIncomplete:
    return Standing::kIncomplete;
  case FolderState::kUnfinished:
    return Standing::kUnfinished;
  case FolderState::kRemoving:
    return Standing::kRemoving;
  case FolderState::kUnusable:
    return Standing::kDamaged;
  }
  return Standing::kDamaged;
}

const char *StandingName(Standing s)
{
  switch (s) {
  case Standing::kComplete:
    return "complete";
  case Standing::kNotAll:
    return "complete with files not backed up";
  case Standing::kIncomplete:
    return "incomplete";
  case Standing::kUnfinished:
    return "unfinished";
  case Standing::kRemoving:
    return "being removed";
  case Standing::kDamaged:
    return "damaged";
  }
  return "?";
}

const char *StandingClass(Standing s)
{
  switch (s) {
  case Standing::kComplete:
    return "complete";
  case Standing::kNotAll:
    return "not-all";
  case Standing::kIncomplete:
    return "incomplete";
  case Standing::kUnfinished:
    return "unfinished";
  case Standing::kRemoving:
    return "removing";
  case Standing::kDamaged:
    return "damaged";
  }
  return "";
}

std::string StandingCounts(const std::vector<Standing> &states)
{
  std::string text;
  for (Standing s : {Standing::kComplete, Standing::kNotAll, Standing::kIncomplete, Standing::kUnfinished,
                     Standing::kRemoving, Standing::kDamaged})
    if (size_t n = size_t(std::count(states.begin(), states.end(), s)))
      text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + StandingName(s);
  return text;
}

bool IsDateName(const std::string &n)
{
  std::chrono::sys_days day;
  return DateOfName(n, &day);
}

bool DateOfName(const std::string &n, std::chrono::sys_days *day)
{
  if (n.size() != 10 || n[4] != '-' || n[7] != '-')
    return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (n[i] < '0' || n[i] > '9')
      return false;
  using namespace std::chrono;
  year_month_day ymd{year{std::stoi(n.substr(0, 4))}, month{unsigned(std::stoi(n.substr(5, 2)))},
                     std::chrono::day{unsigned(std::stoi(n.substr(8, 2)))}};
  if (!ymd.ok())
    return false;
  *day = sys_days{ymd};
  return true;
}

namespace {

// Looks like a date, but is none: "2000-13-45".
bool DateShaped(const std::string &n)
{
  return n.size() == 10 && n[4] == '-' && n[7] == '-' &&
         n.find_first_not_of("0123456789-") == std::string::npos;
}

// A name listed as not backed up holds nothing of the backup: the file by
// that name is still the plug-in's own.
bool Listed(const Catalogue *cat, const std::string &name)
{
  if (!cat)
    return false;
  for (const auto &e : cat->entries)
    if (e.folder == "/" && !IsZero(e.md5) && strcasecmp(std::string(e.name).c_str(), name.c_str()) == 0)
      return true;
  return false;
}

bool StatAt(int dirfd, const char *name, struct stat *st)
{
  return fstatat(dirfd, name, st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

bool IsReservedName(std::string_view name)
{
  return VXDBReservedName(name.data(), name.size()) != 0;
}

bool IsOwnFile(const std::string &name, const struct stat &st, const Catalogue *cat)
{
  return IsReservedName(name) && S_ISREG(st.st_mode) && st.st_nlink == 1 && !Listed(cat, name);
}

bool IsRemovalMarker(const struct stat &st, const Catalogue *cat)
{
  return IsOwnFile(VXDB_REMOVING_NAME, st, cat) && st.st_size == 0;
}

bool ExamineFolder(int dirfd, const std::string &path, Folder *f, Catalogue *keep, std::string *reason)
{
  struct stat st;
  // Anything by a catalogue's name stands for one; what is no regular file
  // makes an unusable catalogue, read without waiting.
  const char *name = StatAt(dirfd, VXDB_FILE_NAME, &st)      ? VXDB_FILE_NAME
                     : StatAt(dirfd, VXDB_PARTIAL_NAME, &st) ? VXDB_PARTIAL_NAME
                                                             : nullptr;
  Catalogue local;
  Catalogue *cat = keep ? keep : &local;
  bool loaded = false;
  if (name) {
    f->catalogueFile = path + "/" + name;
    f->partial = strcmp(name, VXDB_PARTIAL_NAME) == 0;
    // A link by that name is never followed to a catalogue elsewhere.
    if (S_ISLNK(st.st_mode))
      f->problem = Shown(f->catalogueFile) + ": not a regular file";
    else
      loaded = LoadCatalogue(f->catalogueFile, cat, &f->problem);
    if (loaded) {
      f->written = int64_t(st.st_mtime);
      f->date = cat->backupDate;
      for (const auto &e : cat->entries) {
        bool never = IsZero(e.md5);
        f->notBackedUp += never;
        f->changedWhileRead += !never && !GoodCopy(e);
        f->files += !never;
        f->size += never ? 0 : e.size;
      }
    }
  }
  const Catalogue *listing = loaded ? cat : nullptr;
  if (StatAt(dirfd, VXDB_REMOVING_NAME, &st) && IsRemovalMarker(st, listing))
    f->state = FolderState::kRemoving;
  else if (name)
    f->state = !loaded ? FolderState::kUnusable : f->partial ? FolderState::kIncomplete : FolderState::kComplete;
  else if (StatAt(dirfd, VXDB_UNFINISHED_NAME, &st) && IsOwnFile(VXDB_UNFINISHED_NAME, st, nullptr))
    f->state = FolderState::kUnfinished;
  else {
    *reason = "no catalogue and no marker of the plug-in";
    return false;
  }
  return true;
}

bool ReadDestination(const std::string &root, Destination *d, std::string *err)
{
  d->root = root;
  Fd rootfd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<std::string> names;
  if (!rootfd.ok() || !SortedNames(rootfd.get(), &names)) {
    *err = ErrnoText(errno);
    return false;
  }
  for (const auto &name : names) {
    Folder f;
    f.name = name;
    f.dated = DateOfName(name, &f.day);
    bool shaped = DateShaped(name);
    struct stat st;
    if (!StatAt(rootfd.get(), name.c_str(), &st)) {
      if (f.dated)
        d->others.push_back({name, ErrnoText(errno)});
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (f.dated)
        d->others.push_back({name, S_ISLNK(st.st_mode) ? "a symbolic link" : "not a folder"});
      continue;
    }
    if (shaped && !f.dated) {
      d->others.push_back({name, "not a calendar date"});
      continue;
    }
    Fd dir = OpenFolderBeneath(rootfd.get(), {name}, false);
    std::string why;
    if (!dir.ok()) {
      if (f.dated)
        d->others.push_back({name, ErrnoText(errno)});
      continue;
    }
    if (!ExamineFolder(dir.get(), root + "/" + name, &f, nullptr, &why)) {
      if (f.dated)
        d->others.push_back({name, why});
      continue;
    }
    // Other folders count only with a catalogue: the markers are the plug-in's, in dated folders.
    if (f.dated || !f.catalogueFile.empty())
      d->folders.push_back(std::move(f));
  }
  std::stable_sort(d->folders.begin(), d->folders.end(), [](const Folder &a, const Folder &b) {
    return a.dated != b.dated ? a.dated : a.dated && a.day < b.day;
  });
  // A date can lie ahead only of a clock that other dates agree with, as
  // the plug-in's lookup judges it from the same catalogues.
  bool agreed = std::any_of(d->folders.begin(), d->folders.end(), [](const Folder &f) {
    return f.dated && f.date != 0 && !VXDBDatedAhead(f.date, f.written);
  });
  for (auto &f : d->folders)
    f.agreed = agreed;
  return true;
}

uint32_t Folder::Order() const
{
  if (date != 0)
    return VXDBBackupOrder(date, written, agreed);
  const std::chrono::sys_days mjdEpoch = std::chrono::year{1858} / std::chrono::November / 17;
  return dated ? uint32_t((day - mjdEpoch).count()) << 16 | 23 << 8 | 59 : 0;
}

std::string ClockAheadText(const Folder &f)
{
  return "dated by a clock set ahead: its catalogue was written on " +
         BackupDateText(VXDBPackedTime(f.written)).substr(0, 10);
}

const Folder *Destination::Latest() const
{
  const Folder *latest = nullptr;
  for (const auto &f : folders)
    if (f.dated && f.state == FolderState::kComplete && (!latest || !latest->After(f)))
      latest = &f;
  return latest;
}

const Folder *Destination::Find(const std::string &name) const
{
  for (const auto &f : folders)
    if (f.name == name)
      return &f;
  return nullptr;
}

bool NamesABackup(const std::string &path)
{
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return true;
  for (const char *own : {VXDB_FILE_NAME, VXDB_PARTIAL_NAME, VXDB_UNFINISHED_NAME, VXDB_REMOVING_NAME})
    if (lstat((path + "/" + own).c_str(), &st) == 0)
      return true;
  return false;
}

std::string FolderStateText(FolderState s)
{
  switch (s) {
  case FolderState::kIncomplete:
    return "incomplete (a run that did not take every file it listed)";
  case FolderState::kUnfinished:
    return "unfinished (the plug-in began it and never finished)";
  case FolderState::kRemoving:
    return "being removed (a removal that was cut short)";
  case FolderState::kUnusable:
    return "damaged (its catalogue cannot be read)";
  default:
    return FolderStateName(s);
  }
}

std::string FolderStateCounted(FolderState s, uint64_t notBackedUp, uint64_t changedWhileRead)
{
  std::string text = FolderStateName(s);
  if (notBackedUp)
    text += ", " + std::to_string(notBackedUp) + " not backed up";
  if (changedWhileRead)
    text += ", " + std::to_string(changedWhileRead) + " changed while read";
  return text;
}

namespace {

bool OpenLatest(const std::string &root, Backup *backup, std::string *err, std::ostream *notes)
{
  Destination d;
  if (!ReadDestination(root, &d, err)) {
    *err = Shown(root) + ": " + *err;
    return false;
  }
  const Folder *latest = d.Latest();
  std::vector<std::pair<std::string, std::string>> newer;  // by name, which sorts as the dates do
  for (const auto &f : d.folders) {
    if (!f.dated || &f == latest)
      continue;
    if (!latest || f.After(*latest))
      newer.push_back({f.name, FolderStateText(f.state)});
    else if (f.day > latest->day && f.ClockAhead())
      newer.push_back({f.name, std::string(FolderStateName(f.state)) + ", but " + ClockAheadText(f) +
                                   ", before " + Shown(latest->name) + "'s"});
  }
  for (const auto &o : d.others)
    if (IsDateName(o.name) && (!latest || o.name > latest->name))
      newer.push_back({o.name, "not a backup (" + o.reason + ")"});
  std::sort(newer.rbegin(), newer.rend());
  if (notes)
    for (const auto &[name, why] : newer)
      *notes << "Passing over " << Shown(name) << ": " << why << ".\n";
  if (!latest) {
    *err = Shown(root) + ": no complete backup here (\"vxdb list " + Shown(root) + "\" shows what there is)";
    return false;
  }
  backup->folder = root + "/" + latest->name;
  backup->root = root;
  backup->name = latest->name;
  backup->catalogueFile = latest->catalogueFile;
  backup->state = latest->state;
  backup->partial = latest->partial;
  return LoadCatalogue(backup->catalogueFile, &backup->cat, err);
}

// The root a dated folder lies in, by its path: "" for any other folder.
void PlaceInRoot(const std::string &folder, Backup *backup)
{
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!IsDateName(name))
    return;
  backup->name = name;
  backup->root = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool OpenBackup(const BackupArg &arg, Backup *backup, std::string *err, std::ostream *notes)
{
  if (arg.latest)
    return OpenLatest(arg.path, backup, err, notes);
  const std::string path = arg.date.empty() ? arg.path : arg.path + "/" + arg.date;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *err = Shown(path) + ": " + ErrnoText(errno);
    if (!arg.date.empty() && errno == ENOENT)
      *err = Shown(arg.path) + ": no backup of " + arg.date + " here (\"vxdb list " + Shown(arg.path) +
             "\" shows what there is)";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    backup->catalogueFile = path;
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    backup->folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    backup->partial = name == VXDB_PARTIAL_NAME;
    backup->state = backup->partial ? FolderState::kIncomplete : FolderState::kComplete;
    PlaceInRoot(backup->folder, backup);
    return LoadCatalogue(path, &backup->cat, err);
  }
  Fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Folder f;
  std::string why;
  if (!dir.ok()) {
    *err = Shown(path) + ": " + ErrnoText(errno);
    return false;
  }
  if (!ExamineFolder(dir.get(), path, &f, &backup->cat, &why)) {
    *err = Shown(path) + ": no " VXDB_FILE_NAME " here (not a backup folder; \"vxdb list\" on its destination "
                         "shows the backups there)";
    return false;
  }
  if (f.state == FolderState::kUnusable) {
    *err = f.problem;
    return false;
  }
  if (f.catalogueFile.empty()) {
    *err = Shown(path) + ": " + FolderStateText(f.state) + "; it has no catalogue to go by";
    return false;
  }
  if (f.state == FolderState::kRemoving && notes)
    *notes << "Note: " << Shown(path) << " is " << FolderStateText(f.state) << "; the next prune finishes it.\n";
  backup->folder = path;
  backup->catalogueFile = f.catalogueFile;
  backup->state = f.state;
  backup->partial = f.partial;
  PlaceInRoot(path, backup);
  return true;
}

}  // namespace vxdb
