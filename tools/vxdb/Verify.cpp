#include <map>

#include "Check.h"
#include "Commands.h"
#include "Output.h"
#include "Progress.h"

namespace vxdb {
namespace {

const char *const kKinds[] = {"missing", "changed", "extra", "unsafe", "unreadable", "unverified"};

void WriteJson(std::ostream &out, const Backup &b, const DayCheck &day)
{
  Json j(out);
  j.BeginObject().Key("backup").String(b.folder).Key("date").String(BackupDateText(b.cat.backupDate));
  j.Key("intact").Bool(day.State() == DayState::kIntact).Key("files").Unsigned(day.files);
  j.Key("bytes").Unsigned(day.bytes);
  for (const char *kind : kKinds) {
    j.Key(kind).BeginArray();
    for (const auto &f : day.findings) {
      if (std::string(f.kind) != kind)
        continue;
      j.BeginObject();
      PathFields(j, f.path);
      if (!f.detail.empty())
        j.Key("reason").String(f.detail);
      j.EndObject();
    }
    j.EndArray();
  }
  j.EndObject().Finish();
}

}  // namespace

int VerifyCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Backup b;
  std::string why;
  if (!OpenBackup(opt.args[0], &b, &why)) {
    err << "vxdb verify: " << why << "\n";
    return kBadInput;
  }
  uint64_t totalBytes = 0;
  for (const auto &e : b.cat.entries)
    totalBytes += e.size;
  CheckRun run;
  DayCheck day;
  {
    Progress progress(ProgressStream(opt, err), b.cat.entries.size(), totalBytes);
    day = CheckBackup(b, &run, &progress);
  }
  if (!day.problem.empty()) {
    err << "vxdb verify: " << Shown(b.folder) << ": " << day.problem << "\n";
    return kBadInput;
  }
  bool intact = day.State() == DayState::kIntact;
  if (opt.json) {
    WriteJson(out, b, day);
    return intact ? kFine : kFound;
  }
  std::map<std::string, int> counts;
  for (const auto &f : day.findings) {
    ++counts[f.kind];
    out << FindingLine(f) << "\n";
  }
  std::string of = Plural(b.cat.entries.size(), "file") + " in the catalogue of " +
                   BackupDateText(b.cat.backupDate);
  if (intact) {
    out << "Intact: " << Plural(day.files, "file") << ", " << SizeText(day.bytes) << ", match the " << of;
    if (counts["unverified"])
      out << " (" << counts["unverified"] << " without a digest)";
    out << ".\n";
    return kFine;
  }
  out << "DAMAGED:";
  const char *sep = " ";
  for (const char *kind : {"missing", "changed", "extra", "unsafe", "unreadable"}) {
    if (counts[kind]) {
      out << sep << counts[kind] << " " << kind;
      sep = ", ";
    }
  }
  out << " (of " << of << ").\n";
  return kFound;
}

}  // namespace vxdb
