#include <cstring>

#include "Check.h"
#include "Commands.h"
#include "Output.h"

namespace vxdb {
namespace {

void WriteJson(std::ostream &out, const DestinationCheck &c)
{
  Json j(out);
  j.BeginObject().Key("root").String(c.root).Key("state").String(StateKey(DayStateName(c.Worst())));
  j.Key("intact").Bool(c.Worst() == DayState::kIntact);
  j.Key("subset").String(std::to_string(c.subset.k) + "/" + std::to_string(c.subset.n));
  j.Key("files_read").Unsigned(c.filesRead).Key("read_size").Unsigned(c.bytesRead);
  j.Key("backups").BeginArray();
  for (const auto &d : c.days) {
    j.BeginObject().Key("folder").String(d.name).Key("date");
    if (d.date)
      j.String(BackupDateRfc3339(d.date));
    else
      j.Null();
    j.Key("state").String(StateKey(DayStateName(d.State()))).Key("partial").Bool(d.partial);
    j.Key("not_backed_up").Unsigned(d.Count(kNotBackedUp));
    if (!d.problem.empty())
      j.Key("problem").String(d.problem);
    j.Key("files").Unsigned(d.files).Key("size").Unsigned(d.bytes).Key("size_only").Unsigned(d.sizeOnly);
    j.Key("findings").BeginArray();
    for (const auto &f : d.findings) {
      j.BeginObject().Key("kind").String(StateKey(f.kind));
      PathFields(j, f.path);
      if (!f.detail.empty())
        j.Key("reason").String(f.detail);
      j.EndObject();
    }
    j.EndArray().EndObject();
  }
  j.EndArray().Key("not_backups").BeginArray();
  for (const auto &o : c.others)
    j.BeginObject().Key("name").String(o.name).Key("reason").String(o.reason).EndObject();
  j.EndArray().EndObject().Finish();
}

}  // namespace

int VerdictStatus(DayState s)
{
  return s == DayState::kDamaged ? kFound : s == DayState::kIncomplete ? kIncomplete : kFine;
}

int CheckCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  DestinationCheck c;
  std::string why;
  if (!CheckDestination(opt.args[0], opt.subset, ProgressStream(opt), &c, &why)) {
    err << "vxdb check: " << Shown(opt.args[0]) << ": " << why << "\n";
    return kBadInput;
  }
  if (c.interrupted && opt.json)
    return InterruptedExit(opt, err, "no verdict");
  if (opt.json) {
    WriteJson(out, c);
    return VerdictStatus(c.Worst());
  }
  size_t width = 10;
  for (const auto &d : c.days)
    width = std::max(width, Shown(d.name).size());
  std::map<DayState, std::vector<std::string>> byState;
  for (const auto &d : c.days) {
    DayState s = d.State();
    std::string name = Shown(d.name), state = DayStateName(s);
    if (s == DayState::kDamaged || s == DayState::kIncomplete)
      for (auto &ch : state)
        ch = char(toupper(ch));
    byState[s].push_back(name);
    out << name << std::string(width - name.size() + 2, ' ') << state
        << std::string(state.size() < 15 ? 15 - state.size() : 1, ' ');
    if (!d.problem.empty())
      out << d.problem << "\n";
    else if (s == DayState::kUnfinished)
      out << "begun by the plug-in, never finished; not checked\n";
    else if (s == DayState::kRemoving)
      out << "a removal was cut short; not checked\n";
    else
      out << Plural(d.entries, "file") << (d.partial ? " of a run that did not take every file it listed" : "")
          << (d.Count(kNotBackedUp) ? ", " + std::to_string(d.Count(kNotBackedUp)) + " not backed up" : "")
          << (d.sizeOnly ? ", " + std::to_string(d.sizeOnly) + " by size only" : "")
          << (d.Count(kExtra) ? ", " + Plural(d.Count(kExtra), "extra file") : "") << "\n";
    for (const auto &f : d.findings)
      if (IsDamage(f) || strcmp(f.kind, kNotBackedUp) == 0 || strcmp(f.kind, kChangedWhileRead) == 0)
        out << "    " << FindingLine(f) << "\n";
  }
  for (const auto &o : c.others)
    out << Shown(o.name) << std::string(width > o.name.size() ? width - o.name.size() + 2 : 2, ' ')
        << "not a backup   " << o.reason << "\n";
  if (c.interrupted)
    return InterruptedExit(opt, err, "checked " + Plural(c.days.size(), "backup") + ", no verdict");
  auto names = [&](DayState s) {
    std::string list;
    for (const auto &n : byState[s])
      list += (list.empty() ? "" : ", ") + n;
    return list;
  };
  size_t checked = c.days.size() - byState[DayState::kUnfinished].size() - byState[DayState::kRemoving].size();
  out << "Checked " << Plural(checked, "backup") << ": ";
  std::string parts;
  if (!byState[DayState::kDamaged].empty())
    parts += std::to_string(byState[DayState::kDamaged].size()) + " DAMAGED (" + names(DayState::kDamaged) + ")";
  if (!byState[DayState::kIncomplete].empty())
    parts += (parts.empty() ? "" : ", ") + std::to_string(byState[DayState::kIncomplete].size()) + " INCOMPLETE (" +
             names(DayState::kIncomplete) + ")";
  out << (parts.empty() ? "all intact" : parts);
  std::string notAll;
  size_t lacking = 0;
  for (const auto &d : c.days)
    if (d.State() == DayState::kIntact && d.Count(kNotBackedUp))
      notAll += (lacking++ ? ", " : "") + Shown(d.name);
  if (lacking)
    out << ", " << lacking << " " << StandingName(Standing::kNotAll) << " (" << notAll << ")";
  for (DayState s : {DayState::kUnfinished, DayState::kRemoving})
    if (!byState[s].empty())
      out << ", " << byState[s].size() << " " << DayStateName(s) << " not checked";
  out << "; read " << Plural(c.filesRead, "file") << " once, " << SizeText(c.bytesRead);
  if (c.subset.n > 1)
    out << " (part " << c.subset.k << " of " << c.subset.n << " of the data)";
  out << ".\n";
  return VerdictStatus(c.Worst());
}

}  // namespace vxdb
