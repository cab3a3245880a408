#include <algorithm>
#include <map>

#include "Backups.h"
#include "Commands.h"
#include "Diff.h"
#include "Output.h"

namespace vxdb {
std::map<std::string, const Entry *> ByPath(const Catalogue &cat, std::ostream *err)
{
  std::map<std::string, const Entry *> m;
  for (const auto &e : cat.entries) {
    if (e.PathLength() <= kMaxPath)
      m.emplace(e.Path(), &e);
    else if (err)
      *err << "vxdb diff: " << Shown(e.ShortPath()) << " has a path longer than " << kMaxPath << " bytes; left out\n";
  }
  return m;
}

namespace {

void EntryJson(Json &j, const char *key, const Entry *e)
{
  if (!e)
    return;
  j.Key(key).BeginObject().Key("size").Unsigned(e->size).Key("mtime").String(Rfc3339(e->modifyTime));
  j.Key("md5");
  if (IsZero(e->md5))
    j.Null();
  else
    j.String(ToHex(e->md5));
  j.EndObject();
}

}  // namespace

bool CatalogueDiff::Same() const
{
  for (const char *kind : {"added", "removed", "changed"}) {
    auto it = counts.find(kind);
    if (it != counts.end() && it->second)
      return false;
  }
  return true;
}

CatalogueDiff DiffCatalogues(const Catalogue &old, const Catalogue &now, bool withUnchanged, std::ostream *err,
                             bool oldPartial, bool nowPartial)
{
  CatalogueDiff d;
  auto before = ByPath(old, err), after = ByPath(now, err);
  auto note = [&](const char *kind, const std::string &path, const Entry *b, const Entry *a) {
    ++d.counts[kind];
    if (std::string(kind) != "unchanged" || withUnchanged)
      d.changes.push_back({kind, path, b, a});
  };
  for (const auto &[path, e] : before) {
    auto it = after.find(path);
    if (it == after.end())
      note(nowPartial ? "unknown" : "removed", path, e, nullptr);
    else if (IsZero(e->md5) || IsZero(it->second->md5))
      note("unknown", path, e, it->second);
    else if (it->second->size != e->size || it->second->md5 != e->md5)
      note("changed", path, e, it->second);
    else
      note("unchanged", path, e, it->second);
  }
  for (const auto &[path, e] : after)
    if (!before.count(path))
      note(oldPartial ? "unknown" : "added", path, nullptr, e);
  std::stable_sort(d.changes.begin(), d.changes.end(),
                   [](const Change &a, const Change &b) { return a.path < b.path; });
  return d;
}

int DiffCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Backup old, now;
  std::string why;
  std::ostream &notes = NoticeStream(err);
  if (!OpenBackup(opt.backups[0], &old, &why, &notes) || !OpenBackup(opt.backups[1], &now, &why, &notes)) {
    err << "vxdb diff: " << why << "\n";
    return kBadInput;
  }
  CatalogueDiff d = DiffCatalogues(old.cat, now.cat, opt.all, &notes, old.partial, now.partial);
  const std::vector<Change> &changes = d.changes;
  std::map<std::string, int> &counts = d.counts;
  bool same = d.Same();
  const char *const kinds[] = {"added", "removed", "changed", "unchanged", "unknown"};

  if (opt.json) {
    Json j(out);
    j.BeginObject();
    for (auto [key, b] : {std::pair{"old", &old}, std::pair{"new", &now}}) {
      j.Key(key).BeginObject().Key("catalogue").String(b->catalogueFile);
      j.Key("date").String(BackupDateRfc3339(b->cat.backupDate));
      j.Key("state").String(StateKey(FolderStateName(b->state))).Key("partial").Bool(b->partial).EndObject();
    }
    for (const char *kind : kinds) {
      j.Key(kind).BeginArray();
      for (const auto &c : changes) {
        if (std::string(c.kind) != kind)
          continue;
        j.BeginObject();
        PathFields(j, c.path);
        EntryJson(j, "old", c.before);
        EntryJson(j, "new", c.after);
        j.EndObject();
      }
      j.EndArray();
    }
    j.Key("counts").BeginObject();
    for (const char *kind : kinds)
      j.Key(kind).Number(counts[kind]);
    j.EndObject().EndObject().Finish();
    return same ? kFine : kFound;
  }
  // A partial run lists only what it reached: what it lacks is not known
  // to be gone, nor what it alone lacks to be new.
  for (auto [b, other] : {std::pair{&old, "new"}, std::pair{&now, "old"}})
    if (b->partial)
      out << BackupDateText(b->cat.backupDate) << " is incomplete (a run that did not take every file it listed): "
          << "files of the " << other << " backup that it does not list are unknown, not "
          << (b == &now ? "removed" : "added") << ".\n";
  for (const auto &c : changes) {
    std::string kind = c.kind;
    out << kind << std::string(11 - kind.size(), ' ') << Shown(c.path) << "\n";
  }
  out << "From " << BackupDateText(old.cat.backupDate) << " to " << BackupDateText(now.cat.backupDate) << ": "
      << counts["added"] << " added, " << counts["removed"] << " removed, " << counts["changed"] << " changed, "
      << counts["unchanged"] << " unchanged";
  if (counts["unknown"])
    out << ", " << counts["unknown"] << " unknown (not listed by an incomplete run, or not backed up)";
  out << ".\n";
  return same ? kFine : kFound;
}

}  // namespace vxdb
