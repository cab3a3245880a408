#include <cstring>

#include "Check.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Progress.h"

namespace vxdb {
namespace {

const char *const kKinds[] = {kMissing, kDamagedFile, kNotBackedUp, kExtra, kUnsafe, kUnreadable, kChangedWhileRead};

void WriteJson(std::ostream &out, const Backup &b, const DayCheck &day)
{
  Json j(out);
  j.BeginObject().Key("backup").String(b.folder).Key("date").String(BackupDateRfc3339(b.cat.backupDate));
  j.Key("intact").Bool(day.State() == DayState::kIntact);
  j.Key("state").String(StateKey(DayStateName(day.State()))).Key("partial").Bool(b.partial);
  j.Key("files").Unsigned(day.files).Key("size").Unsigned(day.bytes);
  for (const char *kind : kKinds) {
    j.Key(StateKey(kind)).BeginArray();
    for (const auto &f : day.findings) {
      if (strcmp(f.kind, kind) != 0)
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

// "1 missing, 2 damaged": the counts of the kinds found, in this order.
std::string Counts(const DayCheck &day, std::initializer_list<const char *> kinds)
{
  std::string text;
  for (const char *kind : kinds)
    if (size_t n = day.Count(kind))
      text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + kind;
  return text;
}

}  // namespace

int VerifyCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Backup b;
  std::string why;
  if (!OpenBackup(opt.backups[0], &b, &why, &NoticeStream(err))) {
    err << "vxdb verify: " << why << "\n";
    return kBadInput;
  }
  uint64_t totalBytes = 0;
  for (const auto &e : b.cat.entries)
    totalBytes += e.size;
  CheckRun run;
  DayCheck day;
  {
    Progress progress(ProgressStream(opt), b.cat.entries.size(), totalBytes);
    day = CheckBackup(b, &run, &progress);
  }
  if (Interrupted())
    return InterruptedExit(opt, err, "read " + Plural(day.files, "file") + " of " +
                                         std::to_string(b.cat.entries.size()) + ", no verdict");
  if (!day.problem.empty()) {
    err << "vxdb verify: " << Shown(b.folder) << ": " << day.problem << "\n";
    return kBadInput;
  }
  DayState state = day.State();
  int status = VerdictStatus(state);
  if (opt.json) {
    WriteJson(out, b, day);
    return status;
  }
  for (const auto &f : day.findings)
    out << FindingLine(f) << "\n";
  std::string of = Plural(b.cat.entries.size(), "file") + " in the catalogue of " + BackupDateText(b.cat.backupDate);
  std::string extra = day.Count(kExtra) ? " (" + Plural(day.Count(kExtra), "extra file") + " beside them)" : "";
  if (state == DayState::kDamaged) {
    out << "DAMAGED: "
        << Counts(day, {kMissing, kDamagedFile, kUnsafe, kUnreadable, kNotBackedUp, kChangedWhileRead, kExtra}) << " (of "
        << of << ").\n";
  } else if (state == DayState::kIncomplete) {
    size_t never = day.Count(kNotBackedUp), changed = day.Count(kChangedWhileRead);
    std::string what;
    auto add = [&](bool is, const std::string &text) { what += is ? (what.empty() ? "" : ", and ") + text : ""; };
    add(b.partial, "a run that did not take every file it listed");
    add(never, Plural(never, "file") + " not backed up (logged as failed when the backup ran)");
    add(changed, Plural(changed, "file") + " changed while read (the copy may mix two versions)");
    out << "INCOMPLETE: " << what << "; "
        << (never ? "the " + Plural(day.files, "other file") : "its " + Plural(day.files, "file")) << ", "
        << SizeText(day.bytes) << ", match the catalogue of " << BackupDateText(b.cat.backupDate) << extra << ".\n";
  } else if (size_t never = day.Count(kNotBackedUp)) {
    // Files the disk refused: every backup on it lacks them, so they leave
    // this one complete.
    out << "Intact: " << Plural(day.files, "file") << ", " << SizeText(day.bytes) << ", match the catalogue of "
        << BackupDateText(b.cat.backupDate) << extra << "; " << never
        << " not backed up (logged as failed when the backup ran).\n";
  } else {
    out << "Intact: " << Plural(day.files, "file") << ", " << SizeText(day.bytes) << ", match the " << of << extra
        << ".\n";
  }
  return status;
}

}  // namespace vxdb
