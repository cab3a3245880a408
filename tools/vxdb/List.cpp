#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>

#include "Backups.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"

namespace vxdb {
namespace {

// Every backup under a destination root, newest first, as restic's
// "snapshots" lists them.
int ListDestination(const Destination &d, const Options &opt, std::ostream &out, std::ostream &err)
{
  if (d.folders.empty()) {
    err << "vxdb list: " << Shown(d.root) << ": no backups here\n";
    return kBadInput;
  }
  const Folder *latest = d.Latest();
  std::vector<const Folder *> newestFirst;
  for (const auto &f : d.folders)
    newestFirst.push_back(&f);
  std::reverse(newestFirst.begin(), newestFirst.end());
  // Copies under other names come after the dated folders.
  std::stable_partition(newestFirst.begin(), newestFirst.end(), [](const Folder *f) { return f->dated; });
  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("root").String(d.root).Key("latest");
    if (latest)
      j.String(latest->name);
    else
      j.Null();
    j.Key("backups").BeginArray();
    for (const Folder *f : newestFirst) {
      j.BeginObject().Key("folder").String(f->name).Key("date");
      if (f->date)
        j.String(BackupDateRfc3339(f->date));
      else
        j.Null();
      j.Key("state").String(StateKey(FolderStateName(f->state))).Key("partial").Bool(f->partial);
      if (f->HasCatalogue())
        j.Key("files").Unsigned(f->files).Key("size").Unsigned(f->size).Key("not_backed_up").Unsigned(f->notBackedUp)
            .Key("changed_while_read").Unsigned(f->changedWhileRead);
      if (!f->problem.empty())
        j.Key("problem").String(f->problem);
      if (f->ClockAhead())
        j.Key("clock_set_ahead").Bool(true).Key("written").String(Rfc3339(f->written));
      j.EndObject();
    }
    j.EndArray().Key("not_backups").BeginArray();
    for (const auto &o : d.others)
      j.BeginObject().Key("name").String(o.name).Key("reason").String(o.reason).EndObject();
    j.EndArray().EndObject().Finish();
    return kFine;
  }
  size_t width = 10, stateWidth = 13;
  for (const Folder *f : newestFirst) {
    width = std::max(width, Shown(f->name).size());
    stateWidth = std::max(stateWidth, FolderStateCounted(f->state, f->notBackedUp, f->changedWhileRead).size());
  }
  out << Pad("Folder", width) << "  " << Pad("Backed up", 16) << "  " << Pad("State", stateWidth) << "  "
      << Pad("Files", 7, true) << "  " << Pad("Size", 10, true) << "\n";
  std::vector<Standing> states;
  for (const Folder *f : newestFirst) {
    states.push_back(StandingOf(f->state, f->notBackedUp + f->changedWhileRead));
    bool figures = f->HasCatalogue();
    std::string line = Pad(Shown(f->name), width) + "  " + Pad(f->date ? BackupDateText(f->date) : "", 16) + "  " +
                       Pad(FolderStateCounted(f->state, f->notBackedUp, f->changedWhileRead), stateWidth) + "  " +
                       Pad(figures ? std::to_string(f->files) : "", 7, true) + "  " +
                       Pad(figures ? SizeText(f->size) : "", 10, true);
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    out << line << "\n";
  }
  for (const auto &o : d.others)
    out << "Not a backup: " << Shown(o.name) << " (" << o.reason << ")\n";
  for (const Folder *f : newestFirst)
    if (f->ClockAhead())
      out << "Clock set ahead: " << Shown(f->name) << " was " << ClockAheadText(*f)
          << "; it counts as a backup of that day.\n";
  out << Plural(d.folders.size(), "folder") << ": " << StandingCounts(states) << ". ";
  if (latest)
    out << "Newest complete backup: " << Shown(latest->name) << " (\"" << Shown(d.root) << " latest\").\n";
  else
    out << "No complete backup.\n";
  return kFine;
}

}  // namespace

int ListCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  const BackupArg &arg = opt.backups[0];
  if (!arg.latest && arg.date.empty()) {
    // A folder that is none of the plug-in's is taken for a destination root.
    Fd dir(open(arg.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Folder f;
    std::string why;
    if (dir.ok() && !ExamineFolder(dir.get(), arg.path, &f, nullptr, &why)) {
      Destination d;
      if (!ReadDestination(arg.path, &d, &why)) {
        err << "vxdb list: " << Shown(arg.path) << ": " << why << "\n";
        return kBadInput;
      }
      return ListDestination(d, opt, out, err);
    }
  }
  Backup b;
  std::string why;
  if (!OpenBackup(arg, &b, &why, &NoticeStream(err))) {
    err << "vxdb list: " << why << "\n";
    return kBadInput;
  }
  std::vector<Place> places = PlaceEntries(b.cat);
  uint64_t total = 0, never = 0, changed = 0;
  for (const auto &e : b.cat.entries) {
    total += e.size;
    never += IsZero(e.md5);
    changed += !IsZero(e.md5) && !GoodCopy(e);
  }
  // A folder the backup could not take is shown as one.
  auto shownPath = [](const Entry &e) { return e.ShortPath() + (IsFolder(e) ? "/" : ""); };

  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("catalogue").String(b.catalogueFile);
    j.Key("date").String(BackupDateRfc3339(b.cat.backupDate)).Key("date_packed").Unsigned(b.cat.backupDate);
    j.Key("state").String(StateKey(FolderStateName(b.state))).Key("partial").Bool(b.partial);
    j.Key("size").Unsigned(total).Key("files").BeginArray();
    for (size_t i = 0; i < b.cat.entries.size(); ++i) {
      const Entry &e = b.cat.entries[i];
      j.BeginObject();
      PathFields(j, shownPath(e));
      j.Key("size").Unsigned(e.size);
      j.Key("mtime").String(Rfc3339(e.modifyTime)).Key("ctime").String(Rfc3339(e.changeTime)).Key("md5");
      if (IsZero(e.md5))
        j.Null().Key("not_backed_up").Bool(true);
      else
        j.String(ToHex(e.md5));
      if (IsFolder(e))
        j.Key("folder").Bool(true);
      if (!IsZero(e.md5) && !GoodCopy(e))
        j.Key("changed_while_read").Bool(true);
      j.Key("path_crc").Unsigned(e.pathCrc);
      if (!places[i].problem.empty())
        j.Key("problem").String(places[i].problem);
      j.EndObject();
    }
    j.EndArray().EndObject().Finish();
  } else {
    out << "Backup of " << BackupDateText(b.cat.backupDate);
    if (b.partial)
      out << " (incomplete: a run that did not take every file it listed)";
    out << ": " << Plural(b.cat.entries.size(), "file") << ", " << SizeText(total);
    if (never)
      out << "; " << never << " not backed up";
    if (changed)
      out << "; " << changed << " changed while read (the copy may mix two versions)";
    out << "\n";
    if (!b.cat.notesProblem.empty())
      out << "Its notes cannot be trusted: " << b.cat.notesProblem << "\n";
    size_t pathWidth = 0, sizeWidth = 0;
    for (const auto &e : b.cat.entries) {
      pathWidth = std::max(pathWidth, Shown(shownPath(e)).size());
      sizeWidth = std::max(sizeWidth, std::to_string(e.size).size());
    }
    pathWidth = std::min<size_t>(pathWidth, 60);
    for (const auto &e : b.cat.entries) {
      std::string path = Shown(shownPath(e)), size = std::to_string(e.size);
      out << path << std::string(pathWidth > path.size() ? pathWidth - path.size() : 0, ' ') << "  "
          << std::string(sizeWidth - size.size(), ' ') << size << "  " << TimeText(e.modifyTime) << "  "
          << (IsZero(e.md5) ? "not backed up" : ToHex(e.md5)) << (!IsZero(e.md5) && !GoodCopy(e) ? "  changed while read" : "")
          << "\n";
    }
  }
  int status = kFine;
  for (size_t i = 0; i < places.size(); ++i) {
    if (places[i].problem.empty())
      continue;
    err << "vxdb list: " << Shown(b.cat.entries[i].ShortPath()) << " " << places[i].problem << "\n";
    status = kFound;
  }
  return status;
}

}  // namespace vxdb
