// vxdb prune: removes old backups under a destination root by keep rules in
// the manner of restic's forget. Each rule keeps the newest backup of each of
// its last N days, weeks or months (or simply the last N backups); a backup
// that any rule keeps stays. Only dated folders whose catalogue loads count as
// backups, and nothing is ever followed through a symbolic link.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "Catalogue.h"
#include "Check.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "app/VXDBFormat.h"

namespace vxdb {
namespace {

using std::chrono::sys_days;

struct Candidate {
  std::string name;
  sys_days day;
  bool unfinished = false;  // its removal was cut short: no catalogue, a marker
  std::vector<std::string> rules;
  uint64_t files = 0, freed = 0;
  bool removed = false;
};

struct Skipped {
  std::string name, reason;
};

bool ReadDescriptor(int fd, std::string *data)
{
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n == 0;
    data->append(buf, size_t(n));
  }
}

bool IsRegular(int dirfd, const char *name)
{
  struct stat st;
  return fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Sorts the entries of the root into backups, half-removed backups and the
// dated names that are neither.
bool FindCandidates(int rootfd, std::vector<Candidate> *found, std::vector<Skipped> *skipped, std::string *why)
{
  std::vector<std::string> names;
  if (!SortedNames(rootfd, &names)) {
    *why = ErrnoText(errno);
    return false;
  }
  for (const auto &name : names) {
    if (!IsDateName(name))
      continue;
    Candidate c;
    c.name = name;
    struct stat st;
    if (!DateOfName(name, &c.day)) {
      skipped->push_back({name, "not a calendar date"});
      continue;
    }
    if (fstatat(rootfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      skipped->push_back({name, ErrnoText(errno)});
      continue;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
      skipped->push_back({name, S_ISLNK(st.st_mode) ? "a symbolic link" : "not a folder"});
      continue;
    }
    Fd folder = OpenFolderBeneath(rootfd, {name}, false);
    if (!folder.ok()) {
      skipped->push_back({name, ErrnoText(errno)});
      continue;
    }
    if (!IsRegular(folder.get(), VXDB_FILE_NAME)) {
      if (IsRegular(folder.get(), VXDB_REMOVING_NAME)) {
        c.unfinished = true;
        found->push_back(c);
      } else {
        skipped->push_back({name, "no catalogue"});
      }
      continue;
    }
    Fd cat(openat(folder.get(), VXDB_FILE_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::string bytes, problem;
    Catalogue parsed;
    if (!cat.ok() || !ReadDescriptor(cat.get(), &bytes)) {
      skipped->push_back({name, "catalogue unreadable: " + ErrnoText(errno)});
      continue;
    }
    if (!ParseCatalogue(bytes, &parsed, &problem)) {
      skipped->push_back({name, "catalogue does not load: " + problem});
      continue;
    }
    found->push_back(c);
  }
  return true;
}

// restic's rule: walking from the newest backup back, a rule keeps a backup
// when its bucket (day, week, month) differs from that of the last backup the
// rule kept, until the rule has kept its N.
void ApplyRules(const Options &opt, std::vector<Candidate *> newestFirst)
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
      int64_t b = r.bucket(newestFirst[i]->day, i);
      if (b == r.last)
        continue;
      r.last = b;
      --r.left;
      newestFirst[i]->rules.push_back(r.name);
    }
}

// Files and the space that removing these backups frees: a file counts when
// all its links lie in backups that go. Its size is put to the last of them.
// Links and other special files take no space worth naming.
void CountFreed(int rootfd, const std::vector<Candidate *> &gone, std::ostream &err, const char *cmd)
{
  struct Inode {
    uint64_t size, links, seen = 0;
    Candidate *last = nullptr;
  };
  std::map<std::pair<uint64_t, uint64_t>, Inode> inodes;
  for (Candidate *c : gone) {
    Fd fd = OpenFolderBeneath(rootfd, {c->name}, false);
    auto onError = [&](const std::string &where, int e) {
      err << cmd << Shown(c->name + where) << ": " << ErrnoText(e) << "\n";
    };
    if (!fd.ok()) {
      onError("", errno);
      continue;
    }
    Walk(
        fd.get(),
        [&](const WalkItem &item) {
          if (!S_ISREG(item.st.st_mode))
            return;
          if (item.path != "/" VXDB_FILE_NAME && item.path != "/" VXDB_REMOVING_NAME)
            ++c->files;
          auto [it, fresh] = inodes.try_emplace({uint64_t(item.st.st_dev), uint64_t(item.st.st_ino)},
                                                Inode{uint64_t(item.st.st_size), uint64_t(item.st.st_nlink)});
          ++it->second.seen;
          it->second.last = c;
        },
        onError);
  }
  for (const auto &[id, inode] : inodes)
    if (inode.seen >= inode.links)
      inode.last->freed += inode.size;
}

// Empties the folder dirfd, depth first, never leaving its file system and
// never following a link; except (at the top) keeps the named file.
bool RemoveContents(int dirfd, dev_t dev, const char *keep, std::string *where)
{
  std::vector<std::string> names;
  if (!SortedNames(dirfd, &names))
    return false;
  for (const auto &name : names) {
    if (keep && name == keep)
      continue;
    *where = "/" + name;
    struct stat st;
    if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return false;
    if (S_ISDIR(st.st_mode)) {
      if (st.st_dev != dev) {
        errno = EXDEV;
        return false;
      }
      Fd sub(openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      std::string inner;
      if (!sub.ok() || !RemoveContents(sub.get(), dev, nullptr, &inner)) {
        *where += inner;
        return false;
      }
    }
    if (unlinkat(dirfd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
      return false;
  }
  return true;
}

// Removes one backup so that no moment leaves a partial folder that looks
// complete: a marker, then the catalogue (each made durable), then the rest,
// the marker last.
bool RemoveBackup(int rootfd, const Candidate &c, std::string *why)
{
  std::string where;
  auto fail = [&](const std::string &what) {
    *why = Shown(c.name + where) + ": " + what + ": " + ErrnoText(errno);
    return false;
  };
  Fd dir = OpenFolderBeneath(rootfd, {c.name}, false);
  struct stat st;
  if (!dir.ok() || fstat(dir.get(), &st) != 0)
    return fail("cannot open");
  if (!c.unfinished) {
    Fd marker(openat(dir.get(), VXDB_REMOVING_NAME, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!marker.ok() || fsync(marker.get()) != 0 || fsync(dir.get()) != 0)
      return fail("cannot mark for removal");
    if (unlinkat(dir.get(), VXDB_FILE_NAME, 0) != 0 || fsync(dir.get()) != 0)
      return fail("cannot remove the catalogue");
  }
  if (!RemoveContents(dir.get(), st.st_dev, VXDB_REMOVING_NAME, &where))
    return fail("cannot remove");
  where.clear();
  if ((unlinkat(dir.get(), VXDB_REMOVING_NAME, 0) != 0 && errno != ENOENT) ||
      unlinkat(rootfd, c.name.c_str(), AT_REMOVEDIR) != 0)
    return fail("cannot remove");
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
  Fd rootfd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<Candidate> all;
  std::vector<Skipped> skipped;
  std::string why;
  if (!rootfd.ok() || !FindCandidates(rootfd.get(), &all, &skipped, &why)) {
    err << cmd << Shown(root) << ": " << (rootfd.ok() ? why : ErrnoText(errno)) << "\n";
    return kBadInput;
  }
  std::vector<Candidate *> complete, gone;
  for (auto it = all.rbegin(); it != all.rend(); ++it)
    if (!it->unfinished)
      complete.push_back(&*it);
  if (complete.empty()) {
    err << cmd << Shown(root) << ": no backups here\n";
    return kBadInput;
  }
  ApplyRules(opt, complete);
  for (auto &c : all)
    if (c.rules.empty())
      gone.push_back(&c);
  CountFreed(rootfd.get(), gone, err, cmd);

  int status = kFine;
  std::string failure;
  if (!opt.dryRun)
    for (Candidate *c : gone) {
      if (!RemoveBackup(rootfd.get(), *c, &failure)) {
        status = kFound;
        break;
      }
      c->removed = true;
    }
  uint64_t freed = 0;
  size_t removed = 0;
  for (Candidate *c : gone)
    if (c->removed || opt.dryRun) {
      freed += c->freed;
      ++removed;
    }

  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("root").String(root).Key("dry_run").Bool(opt.dryRun).Key("kept").BeginArray();
    for (auto &c : all)
      if (!c.rules.empty()) {
        j.BeginObject().Key("folder").String(c.name).Key("rules").BeginArray();
        for (const auto &r : c.rules)
          j.String(r);
        j.EndArray().EndObject();
      }
    j.EndArray().Key("removed").BeginArray();
    for (Candidate *c : gone)
      if (c->removed || opt.dryRun)
        j.BeginObject().Key("folder").String(c->name).Key("unfinished").Bool(c->unfinished).Key("files")
            .Unsigned(c->files).Key("freed").Unsigned(c->freed).EndObject();
    j.EndArray().Key("skipped").BeginArray();
    for (const auto &s : skipped)
      j.BeginObject().Key("name").String(s.name).Key("reason").String(s.reason).EndObject();
    j.EndArray().Key("freed").Unsigned(freed);
    if (!failure.empty())
      j.Key("error").String(failure);
    j.EndObject().Finish();
  } else {
    for (auto &c : all) {
      if (!c.rules.empty()) {
        std::string rules;
        for (const auto &r : c.rules)
          rules += (rules.empty() ? "" : ", ") + r;
        out << "Keep          " << c.name << "  (" << rules << ")\n";
      } else if (c.removed || opt.dryRun) {
        out << (opt.dryRun ? "Would remove  " : "Removed       ") << c.name << "  " << Plural(c.files, "file")
            << ", " << SizeText(c.freed) << " freed" << (c.unfinished ? " (its removal had been cut short)" : "")
            << "\n";
      }
    }
    for (const auto &s : skipped)
      out << "Not a backup  " << Shown(s.name) << "  (" << s.reason << ")\n";
    size_t kept = all.size() - gone.size();
    out << Plural(kept, "backup") << " kept, " << removed << " " << (opt.dryRun ? "would be removed" : "removed") << ", "
        << SizeText(freed) << (opt.dryRun ? " would be freed" : " freed") << ".\n";
  }
  if (!failure.empty())
    err << cmd << failure << "; stopped, the backups after it are left as they were\n";
  return status;
}

}  // namespace vxdb
