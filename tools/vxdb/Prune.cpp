// vxdb prune: removes old backups under a destination root by keep rules in
// the manner of restic's forget. Each rule keeps the newest backup of each of
// its last N days, weeks or months (or simply the last N backups); a backup
// that any rule keeps stays. Only complete backups count for the rules. No
// file that the newest backup lists loses its last good copy, whatever the
// rules say.
// Everything is removed through open folder handles: no symbolic link is
// followed, no other file system is entered, and no existing file is ever
// opened for writing.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "Backups.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Stats.h"
#include "app/VXDBFormat.h"

namespace vxdb {
namespace {

using std::chrono::sys_days;

struct Candidate {
  const Folder *folder;
  std::vector<std::string> rules;  // the rules that keep it
  bool gone = false;               // to be removed
  uint64_t files = 0, freed = 0;
  std::string failure;  // why it was left as it was
  bool removed = false;
  uint64_t lastGood = 0;  // files whose last good copy it holds
  const std::string &Name() const { return folder->name; }
};

// restic's rule: walking from the newest backup back, a rule keeps a backup
// when its bucket (day, week, month) differs from that of the last backup the
// rule kept, until the rule has kept its N.
void ApplyRules(const Options &opt, const std::vector<Candidate *> &newestFirst)
{
  using namespace std::chrono;
  struct Rule {
    const char *name;
    int left;
    int64_t (*bucket)(sys_days, size_t);
    int64_t last = INT64_MIN;
  };
  Rule rules[] = {
      {"last", opt.keepLast, [](sys_days, size_t i) { return int64_t(i); }},
      {"daily", opt.keepDaily, [](sys_days d, size_t) { return int64_t(d.time_since_epoch().count()); }},
      {"weekly", opt.keepWeekly,
       [](sys_days d, size_t) {  // ISO weeks: the Monday names the week
         return int64_t((d - days{weekday{d}.iso_encoding() - 1}).time_since_epoch().count());
       }},
      {"monthly", opt.keepMonthly,
       [](sys_days d, size_t) {
         year_month_day ymd{d};
         return int64_t(int(ymd.year())) * 12 + int64_t(unsigned(ymd.month()));
       }},
  };
  for (size_t i = 0; i < newestFirst.size(); ++i)
    for (Rule &r : rules) {
      if (r.left <= 0)
        continue;
      int64_t b = r.bucket(newestFirst[i]->folder->day, i);
      if (b == r.last)
        continue;
      r.last = b;
      --r.left;
      newestFirst[i]->rules.push_back(r.name);
    }
}

sys_days Today()
{
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  using namespace std::chrono;
  return sys_days{year{tm.tm_year + 1900} / month{unsigned(tm.tm_mon + 1)} / day{unsigned(tm.tm_mday)}};
}

// A good copy that is there: a regular file of the recorded size, besides
// what the catalogue says of it.
bool CopyThere(int dirfd, const Place &p, const Entry &e)
{
  if (!p.problem.empty() || !GoodCopy(e))
    return false;
  Fd fd = OpenFileBeneath(dirfd, p.parts);
  struct stat st;
  return fd.ok() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == e.size;
}

// A backup's catalogue, with where its entries lie and its folder opened.
struct Looked {
  Catalogue cat;
  std::vector<Place> places;
  std::unordered_map<std::string, size_t> byPath;
  Fd dir;
  bool Load(int rootfd, const Folder &f)
  {
    std::string why;
    dir = OpenFolderBeneath(rootfd, {f.name}, false);
    if (!dir.ok() || !LoadCatalogue(f.catalogueFile, &cat, &why))
      return false;
    places = PlaceEntries(cat);
    for (size_t i = 0; i < places.size(); ++i)
      if (places[i].problem.empty())
        byPath.emplace(places[i].key, i);
    return true;
  }
  // How many good copies it holds of what the entry named: the file, or
  // every file below a folder that was not taken.
  uint64_t Holds(const Entry &e, const std::string &key) const
  {
    if (!IsFolder(e)) {
      auto at = byPath.find(key);
      return at != byPath.end() && CopyThere(dir.get(), places[at->second], cat.entries[at->second]);
    }
    uint64_t n = 0;
    for (size_t i = 0; i < places.size(); ++i)
      n += places[i].key.compare(0, key.size() + 1, key + "/") == 0 &&
           CopyThere(dir.get(), places[i], cat.entries[i]);
    return n;
  }
};

// No file that the newest backup lists loses its last good copy: for each
// one it does not hold intact (not backed up, changed while read, missing
// or cut short on the disk), the newest older backup that holds a good
// copy stays, as on the recorder. Every catalogue is read at most once,
// newest first, and none once every such file has its copy.
void KeepLastGoodCopies(int rootfd, std::vector<Candidate> &all)
{
  std::vector<Candidate *> withCatalogue;
  for (auto &c : all)
    if (c.folder->HasCatalogue())
      withCatalogue.push_back(&c);
  if (withCatalogue.empty())
    return;
  Looked newest;
  if (!newest.Load(rootfd, *withCatalogue.back()->folder))
    return;
  std::vector<size_t> needed;
  for (size_t i = 0; i < newest.cat.entries.size(); ++i)
    if (newest.places[i].problem.empty() &&
        !CopyThere(newest.dir.get(), newest.places[i], newest.cat.entries[i]))
      needed.push_back(i);
  for (size_t k = withCatalogue.size() - 1; k-- > 0 && !needed.empty();) {
    Looked older;
    if (!older.Load(rootfd, *withCatalogue[k]->folder))
      continue;
    uint64_t files = 0;
    for (size_t n = 0; n < needed.size();) {
      size_t i = needed[n];
      if (uint64_t held = older.Holds(newest.cat.entries[i], newest.places[i].key)) {
        files += held;
        needed[n] = needed.back();
        needed.pop_back();
      } else {
        ++n;
      }
    }
    if (files && withCatalogue[k]->gone) {
      withCatalogue[k]->gone = false;
      withCatalogue[k]->lastGood = files;
    }
  }
}

// Why an existing VXDB.removing is no marker of ours.
std::string NotAMarker(const struct stat &st)
{
  if (S_ISLNK(st.st_mode))
    return "a symbolic link";
  if (!S_ISREG(st.st_mode))
    return "not a regular file";
  if (st.st_nlink != 1)
    return "a file with other names (hard links)";
  if (st.st_size != 0)
    return "a file with contents";
  return "a file the catalogue lists";
}

// A folder below the backup that must not be entered: another file system,
// or a mount point (bind mounts included). "" when it may be.
std::string Barrier(int parent, const std::string &name, const struct stat &st, dev_t dev, const Mounts &mounts)
{
  if (st.st_dev != dev)
    return "another file system is mounted at";
  if (mounts.At(parent, name, st))
    return "a mount point is at";
  return "";
}

// Counts the files of the backups to go and the space they free, and finds
// any mount inside them; such a backup is left alone.
void Survey(int rootfd, dev_t dev, const Mounts &mounts, const std::vector<Candidate *> &gone, SpaceCount *space,
            std::ostream &err)
{
  for (size_t k = 0; k < gone.size(); ++k) {
    Candidate *c = gone[k];
    Fd fd = OpenFolderBeneath(rootfd, {c->Name()}, false);
    if (!fd.ok()) {
      c->failure = "cannot open it: " + ErrnoText(errno);
      continue;
    }
    Walk(
        fd.get(),
        [&](const WalkItem &item) {
          if (!S_ISREG(item.st.st_mode))
            return;
          if (item.path.find('/', 1) != std::string::npos || !IsReservedName(item.path.substr(1)))
            ++c->files;
          space->Add(k, item.path, item.st);
        },
        [&](const std::string &where, int e) {
          err << "vxdb prune: " << Shown(c->Name() + where) << ": " << ErrnoText(e) << "\n";
        },
        [&](int parent, const std::string &name, const WalkItem &item) {
          std::string barrier = Barrier(parent, name, item.st, dev, mounts);
          if (!barrier.empty() && c->failure.empty())
            c->failure = barrier + " " + Shown(c->Name() + item.path) + "; left alone with its contents";
          return barrier.empty();
        });
  }
}

// Empties the folder dirfd, depth first, through handles: never following a
// link, never entering a mount. Keeps the marker at the top. Goes on past
// what it cannot remove and says what that was first.
bool RemoveContents(int dirfd, const std::string &path, dev_t dev, const Mounts &mounts, bool top, std::string *first)
{
  std::vector<std::string> names;
  if (!SortedNames(dirfd, &names)) {
    *first = "cannot read " + Shown(path) + ": " + ErrnoText(errno);
    return false;
  }
  bool ok = true;
  auto failed = [&](const std::string &what) {
    if (first->empty())
      *first = what;
    ok = false;
  };
  for (const auto &name : names) {
    if (Interrupted())
      return false;
    if (top && name == VXDB_REMOVING_NAME)
      continue;
    std::string at = path + "/" + name;
    struct stat st;
    if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      failed("cannot look at " + Shown(at) + ": " + ErrnoText(errno));
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      std::string barrier = Barrier(dirfd, name, st, dev, mounts);
      if (!barrier.empty()) {
        failed(barrier + " " + Shown(at));
        continue;
      }
      Fd sub(openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!sub.ok()) {
        failed("cannot open " + Shown(at) + ": " + ErrnoText(errno));
        continue;
      }
      if (!RemoveContents(sub.get(), at, dev, mounts, false, first)) {
        ok = false;
        continue;
      }
    }
    if (unlinkat(dirfd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
      failed("cannot remove " + Shown(at) + ": " + ErrnoText(errno));
  }
  return ok;
}

// Removes one backup so that no moment leaves a folder that looks complete:
// a marker made afresh (never one followed or truncated), then the catalogue
// (each made durable), then the rest, the marker last.
bool RemoveBackup(int rootfd, dev_t dev, const Mounts &mounts, const Candidate &c, std::string *why)
{
  const std::string &name = c.Name();
  Fd dir = OpenFolderBeneath(rootfd, {name}, false);
  struct stat st;
  if (!dir.ok() || fstat(dir.get(), &st) != 0) {
    *why = "cannot open it: " + ErrnoText(errno);
    return false;
  }
  if (!Barrier(rootfd, name, st, dev, mounts).empty()) {
    *why = "it is a mount point, or on another file system; left alone";
    return false;
  }
  Catalogue cat;
  std::string ignored;
  bool listed = !c.folder->catalogueFile.empty() && LoadCatalogue(c.folder->catalogueFile, &cat, &ignored);
  Fd marker(openat(dir.get(), VXDB_REMOVING_NAME, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                   0666));
  if (!marker.ok()) {
    struct stat m;
    if (errno != EEXIST || fstatat(dir.get(), VXDB_REMOVING_NAME, &m, AT_SYMLINK_NOFOLLOW) != 0) {
      *why = "cannot mark it for removal: " + ErrnoText(errno);
      return false;
    }
    if (!IsRemovalMarker(m, listed ? &cat : nullptr)) {
      *why = "it holds " VXDB_REMOVING_NAME ", " + NotAMarker(m) + ", which is no removal marker of the plug-in; "
             "left alone";
      return false;
    }
  } else if (fsync(marker.get()) != 0 || fsync(dir.get()) != 0) {
    *why = "cannot mark it for removal: " + ErrnoText(errno);
    unlinkat(dir.get(), VXDB_REMOVING_NAME, 0);  // a marker left would doom a backup the rules may keep
    return false;
  }
  for (const char *own : {VXDB_FILE_NAME, VXDB_PARTIAL_NAME})
    if (fstatat(dir.get(), own, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        (unlinkat(dir.get(), own, 0) != 0 || fsync(dir.get()) != 0)) {
      *why = std::string("cannot remove its ") + own + ": " + ErrnoText(errno);
      return false;
    }
  std::string first;
  if (!RemoveContents(dir.get(), name, dev, mounts, true, &first)) {
    *why = Interrupted() ? "interrupted" : first;
    return false;
  }
  if (unlinkat(dir.get(), VXDB_REMOVING_NAME, 0) != 0 || unlinkat(rootfd, name.c_str(), AT_REMOVEDIR) != 0) {
    *why = "cannot remove it: " + ErrnoText(errno);
    return false;
  }
  (void)fsync(rootfd);
  return true;
}

}  // namespace

int PruneCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  const std::string &root = opt.args[0];
  const char *cmd = "vxdb prune: ";
  if (opt.keepLast <= 0 && opt.keepDaily <= 0 && opt.keepWeekly <= 0 && opt.keepMonthly <= 0) {
    err << cmd << "give at least one of --keep-last, --keep-daily, --keep-weekly, --keep-monthly above 0\n";
    return kBadInput;
  }
  Destination d;
  std::string why;
  Fd rootfd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat rootSt;
  if (!rootfd.ok() || fstat(rootfd.get(), &rootSt) != 0 || !ReadDestination(root, &d, &why)) {
    err << cmd << Shown(root) << ": " << (rootfd.ok() ? why : ErrnoText(errno)) << "\n";
    return kBadInput;
  }
  std::vector<Candidate> all;
  std::vector<NotABackup> skipped = d.others;
  for (const auto &f : d.folders) {
    if (!f.dated)
      continue;
    if (f.state == FolderState::kUnusable)
      skipped.push_back({f.name, "catalogue does not load: " + f.problem});
    else
      all.push_back(Candidate{&f, {}, false, 0, 0, "", false});
  }
  std::vector<Candidate *> complete;
  for (auto it = all.rbegin(); it != all.rend(); ++it)
    if (it->folder->state == FolderState::kComplete)
      complete.push_back(&*it);
  if (complete.empty()) {
    err << cmd << Shown(root) << ": no complete backups here\n";
    return kBadInput;
  }
  ApplyRules(opt, complete);
  sys_days oldestKept = complete.front()->folder->day, today = Today();
  for (Candidate *c : complete)
    if (!c->rules.empty())
      oldestKept = std::min(oldestKept, c->folder->day);
  // Partial runs and unfinished folders go once they are older than what
  // the rules keep, but never the newest folder nor today's.
  const std::string &newest = all.back().Name();
  for (auto &c : all) {
    FolderState s = c.folder->state;
    if (s == FolderState::kComplete)
      c.gone = c.rules.empty();
    else if (s == FolderState::kRemoving)
      c.gone = true;
    else
      c.gone = c.folder->day < oldestKept && c.Name() != newest && c.folder->day != today;
  }
  KeepLastGoodCopies(rootfd.get(), all);
  // What is no backup goes first: where space matters, it frees the most for
  // the least.
  std::vector<Candidate *> gone;
  for (auto &c : all)
    if (c.gone && c.folder->state != FolderState::kComplete)
      gone.push_back(&c);
  for (auto &c : all)
    if (c.gone && c.folder->state == FolderState::kComplete)
      gone.push_back(&c);

  std::string fsType;
  Mounts mounts;
  SpaceCount space(LinksAreReal(rootfd.get(), &fsType));
  Survey(rootfd.get(), rootSt.st_dev, mounts, gone, &space, err);
  int status = kFine;
  for (Candidate *c : gone) {
    if (Interrupted())
      break;
    if (c->failure.empty() && !opt.dryRun && RemoveBackup(rootfd.get(), rootSt.st_dev, mounts, *c, &c->failure))
      c->removed = true;
    if (!c->failure.empty())
      status = kFound;
  }
  std::vector<bool> freedFrom(gone.size());
  for (size_t k = 0; k < gone.size(); ++k)
    freedFrom[k] = opt.dryRun ? gone[k]->failure.empty() : gone[k]->removed;
  std::vector<uint64_t> freedEach = space.Freed(gone.size(), freedFrom);
  uint64_t freed = 0;
  size_t removed = 0;
  for (size_t k = 0; k < gone.size(); ++k) {
    gone[k]->freed = freedEach[k];
    if (freedFrom[k]) {
      freed += freedEach[k];
      ++removed;
    }
  }
  std::string unknown = "space freed unknown: " + (fsType.empty() ? std::string("this file system") : fsType) +
                        " shows no hard links";

  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("root").String(root).Key("dry_run").Bool(opt.dryRun).Key("kept").BeginArray();
    for (auto &c : all)
      if (!c.gone) {
        j.BeginObject().Key("folder").String(c.Name()).Key("state").String(StateKey(FolderStateName(c.folder->state)));
        j.Key("rules").BeginArray();
        for (const auto &r : c.rules)
          j.String(r);
        j.EndArray();
        if (c.lastGood)
          j.Key("last_good_copy_of").Unsigned(c.lastGood);
        j.EndObject();
      }
    j.EndArray().Key("removed").BeginArray();
    for (size_t k = 0; k < gone.size(); ++k)
      if (freedFrom[k]) {
        j.BeginObject().Key("folder").String(gone[k]->Name());
        j.Key("state").String(StateKey(FolderStateName(gone[k]->folder->state)));
        j.Key("files").Unsigned(gone[k]->files).Key("freed_size");
        if (space.Real())
          j.Unsigned(gone[k]->freed);
        else
          j.Null();
        j.EndObject();
      }
    j.EndArray().Key("left_alone").BeginArray();
    for (Candidate *c : gone)
      if (!c->failure.empty())
        j.BeginObject().Key("folder").String(c->Name()).Key("reason").String(c->failure).EndObject();
    j.EndArray().Key("skipped").BeginArray();
    for (const auto &s : skipped)
      j.BeginObject().Key("name").String(s.name).Key("reason").String(s.reason).EndObject();
    j.EndArray().Key("freed_size");
    if (space.Real())
      j.Unsigned(freed);
    else
      j.Null();
    j.Key("space_guessed").Bool(!space.Real()).EndObject().Finish();
  } else {
    for (auto &c : all)
      if (!c.gone) {
        std::string rules;
        for (const auto &r : c.rules)
          rules += (rules.empty() ? "" : ", ") + r;
        if (c.lastGood)
          rules += (rules.empty() ? "" : ", ") + std::string("the last good copy of ") + Plural(c.lastGood, "file");
        out << "Keep          " << Shown(c.Name()) << "  ("
            << (rules.empty() ? std::string(FolderStateName(c.folder->state)) + ", not old enough to go" : rules)
            << ")\n";
      }
    for (size_t k = 0; k < gone.size(); ++k) {
      const Candidate &c = *gone[k];
      if (freedFrom[k])
        out << (opt.dryRun ? "Would remove  " : "Removed       ") << Shown(c.Name()) << "  " << Plural(c.files, "file")
            << ", " << (space.Real() ? SizeText(c.freed) + " freed" : unknown) << (c.folder->state == FolderState::kComplete ? "" : "; it was " + FolderStateText(c.folder->state)) << "\n";
      else if (!c.failure.empty())
        out << "Left alone    " << Shown(c.Name()) << "  (" << c.failure << ")\n";
    }
    for (const auto &s : skipped)
      out << "Not a backup  " << Shown(s.name) << "  (" << s.reason << ")\n";
    out << Plural(all.size() - gone.size(), "backup") << " kept, " << removed << " "
        << (opt.dryRun ? "would be removed" : "removed") << ", "
        << (space.Real() ? SizeText(freed) + (opt.dryRun ? " would be freed" : " freed") : unknown) << ".\n";
  }
  if (Interrupted())
    return InterruptedExit(opt, err, "a backup whose removal was cut short is finished by the next prune");
  for (Candidate *c : gone)
    if (!c->failure.empty())
      err << cmd << Shown(c->Name()) << ": " << c->failure << "\n";
  return status;
}

}  // namespace vxdb
