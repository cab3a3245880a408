// The folders under a destination root and what each of them is. This is
// the one place that reads the names the plug-in writes beside its
// catalogues, so that every command calls a folder the same.
#pragma once
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "Catalogue.h"

namespace vxdb {

enum class FolderState {
  kComplete,    // VXDB.db: the run took every file it listed
  kIncomplete,  // VXDB.partial: a run that did not take every file it listed
  kUnfinished,  // VXDB.unfinished and no catalogue: begun, never finished
  kRemoving,    // VXDB.removing: a removal that was cut short
  kUnusable,    // a catalogue that cannot be read
};
// "complete", "incomplete", "unfinished", "being removed", "damaged".
const char *FolderStateName(FolderState s);
// The same for scripts: "being_removed".
std::string StateKey(std::string_view name);

// The states every command, the report and the README name a backup by:
// the folder's state, with a complete backup that lacks files the disk
// refused (a letter-case twin on exFAT) apart from one that holds all.
enum class Standing { kComplete, kNotAll, kIncomplete, kUnfinished, kRemoving, kDamaged };
Standing StandingOf(FolderState s, uint64_t notBackedUp);
// "complete with files not backed up", and so on, for counts.
const char *StandingName(Standing s);
// "not-all", and so on: the report's colours go by it.
const char *StandingClass(Standing s);
// "3 complete, 1 incomplete, 2 unfinished": the states that occur, in
// the order above.
std::string StandingCounts(const std::vector<Standing> &states);

struct Folder {
  std::string name;  // below the root
  bool dated = false;
  std::chrono::sys_days day{};
  FolderState state = FolderState::kUnusable;
  std::string catalogueFile;  // its full path, "" when there is none
  bool partial = false;       // the catalogue is a partial run's
  std::string problem;        // why a catalogue is unusable
  // From the catalogue, when it loads: the files it holds and their size,
  // and the files it lists as not backed up; when the catalogue was
  // written (its modification time).
  uint32_t date = 0;
  uint64_t files = 0, size = 0, notBackedUp = 0;
  int64_t written = 0;
  // Whether the date of some backup of its destination agrees with the
  // clock that wrote its catalogue (VXDBBackupOrder).
  bool agreed = true;
  uint64_t changedWhileRead = 0;  // copies that may mix two versions
  bool HasCatalogue() const { return !catalogueFile.empty() && state != FolderState::kUnusable; }
  // Where it stands among the backups, as the plug-in's lookup orders them:
  // by the catalogue's date, unless a clock set ahead gave that; a folder
  // without one by the end of the day it is named after.
  uint32_t Order() const;
  // Whether it stands after f: by Order, then by date.
  bool After(const Folder &f) const { return Order() != f.Order() ? Order() > f.Order() : date > f.date; }
  // Its catalogue's date lies more than a day after the catalogue was
  // written: the recorder's clock was set ahead.
  bool ClockAhead() const { return date != 0 && Order() != date; }
};

// "dated by a clock set ahead: its catalogue was written on 2026-12-04".
std::string ClockAheadText(const Folder &f);

// The state with what it means: "unfinished (the plug-in began it and
// never finished)".
std::string FolderStateText(FolderState s);
// The state with the files the plug-in logged as failed, and those copied
// while they changed: "complete, 2 not backed up, 1 changed while read".
std::string FolderStateCounted(FolderState s, uint64_t notBackedUp, uint64_t changedWhileRead = 0);

// A dated name that is not a backup, and why.
struct NotABackup {
  std::string name, reason;
};

struct Destination {
  std::string root;
  std::vector<Folder> folders;     // dated ones oldest first, then others by name
  std::vector<NotABackup> others;  // dated names that are no backup
  // The newest dated complete backup by Order, or none.
  const Folder *Latest() const;
  const Folder *Find(const std::string &name) const;
};

// Reads the root: every dated folder the plug-in made or began, and any
// other folder that holds a catalogue (a copy, say). Catalogues are loaded
// for their figures and let go. False with err when the root cannot be read.
bool ReadDestination(const std::string &root, Destination *d, std::string *err);

// What one folder is, seen through its handle; false with reason when it is
// none of the plug-in's (no catalogue, no marker). cat, when given, keeps
// the catalogue that loaded.
bool ExamineFolder(int dirfd, const std::string &path, Folder *f, Catalogue *cat, std::string *reason);

// A real calendar date "YYYY-MM-DD", the only names the plug-in gives its
// backups.
bool IsDateName(const std::string &name);
bool DateOfName(const std::string &name, std::chrono::sys_days *day);

// The names the plug-in writes beside a catalogue (in any letter case, as a
// disk that ignores case may show them).
bool IsReservedName(std::string_view name);
// Whether a file at the top of a backup folder is the plug-in's own rather
// than an owner's file of that name: a reserved name the catalogue does not
// list, as a regular file of one link.
bool IsOwnFile(const std::string &name, const struct stat &st, const Catalogue *cat);
// The plug-in's removal marker: its own file, empty.
bool IsRemovalMarker(const struct stat &st, const Catalogue *cat);

// A backup folder and its catalogue.
struct Backup {
  std::string folder, catalogueFile;
  // The destination root it lies in, and its name there: "" when it is no
  // dated folder of one.
  std::string root, name;
  FolderState state = FolderState::kComplete;
  bool partial = false;  // a run that did not take every file it listed
  Catalogue cat;
};

// Names a backup on the command line: a folder or catalogue file, or a
// destination root with "latest" or a date.
struct BackupArg {
  BackupArg(std::string p = "", bool l = false, std::string d = "") : path(std::move(p)), latest(l), date(std::move(d)) {}
  std::string path;
  bool latest = false;
  std::string date;  // "2026-12-03": the folder of that name below path
};

// Whether path is a backup itself (a catalogue, or a folder with one or
// with a marker of the plug-in) rather than a destination root, so that a
// date after it names something else.
bool NamesABackup(const std::string &path);

// Opens the backup an argument names. For "latest", each newer folder that
// is passed over is named on notes. A folder whose removal began opens with
// a note. err says why there is no backup to open.
bool OpenBackup(const BackupArg &arg, Backup *backup, std::string *err, std::ostream *notes);

}  // namespace vxdb
