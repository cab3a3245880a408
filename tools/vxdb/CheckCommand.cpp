#include "Check.h"
#include "Commands.h"
#include "Output.h"

namespace vxdb {
namespace {

void WriteJson(std::ostream &out, const DestinationCheck &c)
{
  Json j(out);
  j.BeginObject().Key("root").String(c.root).Key("intact").Bool(c.Intact());
  j.Key("subset").String(std::to_string(c.subset.k) + "/" + std::to_string(c.subset.n));
  j.Key("files_read").Unsigned(c.filesRead).Key("bytes_read").Unsigned(c.bytesRead);
  j.Key("backups").BeginArray();
  for (const auto &d : c.days) {
    j.BeginObject().Key("folder").String(d.name).Key("date");
    if (d.date)
      j.String(BackupDateText(d.date));
    else
      j.Null();
    j.Key("state").String(DayStateName(d.State()));
    if (!d.problem.empty())
      j.Key("problem").String(d.problem);
    j.Key("files").Unsigned(d.files).Key("bytes").Unsigned(d.bytes).Key("size_only").Unsigned(d.sizeOnly);
    j.Key("findings").BeginArray();
    for (const auto &f : d.findings) {
      j.BeginObject().Key("kind").String(f.kind);
      PathFields(j, f.path);
      if (!f.detail.empty())
        j.Key("reason").String(f.detail);
      j.EndObject();
    }
    j.EndArray().EndObject();
  }
  j.EndArray().EndObject().Finish();
}

}  // namespace

int CheckCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  DestinationCheck c;
  std::string why;
  if (!CheckDestination(opt.args[0], opt.subset, ProgressStream(opt, err), &c, &why)) {
    err << "vxdb check: " << Shown(opt.args[0]) << ": " << why << "\n";
    return kBadInput;
  }
  if (opt.json) {
    WriteJson(out, c);
    return c.Intact() ? kFine : kFound;
  }
  size_t width = 10;
  for (const auto &d : c.days)
    width = std::max(width, Shown(d.name).size());
  uint64_t bad = 0, unfinished = 0;
  std::string badNames;
  for (const auto &d : c.days) {
    DayState s = d.State();
    std::string name = Shown(d.name), state = DayStateName(s);
    if (s == DayState::kDamaged || s == DayState::kUnusable) {
      for (auto &ch : state)
        ch = char(toupper(ch));
      badNames += std::string(bad ? ", " : "") + name;
      ++bad;
    }
    unfinished += s == DayState::kUnfinished;
    out << name << std::string(width - name.size() + 2, ' ') << state << std::string(12 - state.size(), ' ');
    if (!d.problem.empty())
      out << d.problem << "\n";
    else
      out << Plural(d.entries, "file") << (d.sizeOnly ? ", " + std::to_string(d.sizeOnly) + " by size only" : "")
          << "\n";
    for (const auto &f : d.findings)
      if (IsDamage(f))
        out << "    " << FindingLine(f) << "\n";
  }
  out << "Checked " << Plural(c.days.size(), "backup") << ": ";
  if (bad)
    out << bad << " DAMAGED (" << badNames << ")";
  else
    out << "all intact";
  if (unfinished)
    out << ", " << unfinished << " unfinished";
  out << "; read " << Plural(c.filesRead, "file") << " once, " << SizeText(c.bytesRead);
  if (c.subset.n > 1)
    out << " (part " << c.subset.k << " of " << c.subset.n << " of the data)";
  out << ".\n";
  return bad ? kFound : kFine;
}

}  // namespace vxdb
