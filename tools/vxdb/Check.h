// Checking backups against their catalogues: one dated folder (verify), or
// every backup under a destination root (check), where a file that several
// days share through hard links is read once.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Backups.h"

namespace vxdb {

class Progress;

// What became of one catalogue entry, or of a file that no entry names. One
// set of verdicts for every command.
extern const char kDamagedFile[];   // "damaged": its size or bytes differ from the catalogue
extern const char kMissing[];       // "missing": in the catalogue, not on the disk
extern const char kNotBackedUp[];   // "not backed up": logged as failed by the plug-in (no digest)
extern const char kExtra[];         // "extra": on the disk, not in the catalogue
extern const char kUnsafe[];        // "unsafe": a path that would leave the backup folder
extern const char kUnreadable[];    // "unreadable": the PC could not read it
extern const char kChangedWhileRead[];  // "changed while read": the copy may mix two versions

// Whether a backup vouches for the copy of its entry i: the plug-in took
// the file whole and recorded its digest. Otherwise verdict is the word for
// what it holds instead (kNotBackedUp, say), and why its detail. A copy it
// does not vouch for is never restored as the file, whatever its verdict;
// restore looks for an intact one in earlier backups.
bool Vouched(const Backup &b, size_t i, std::string *verdict, std::string *why);

struct Finding {
  const char *kind;  // one of the above
  std::string path, detail;
};
// Whether a finding makes the backup damaged: not an extra file, nor one
// that was never backed up or changed while it was read.
bool IsDamage(const Finding &f);
// "damaged       /a/b (contents differ)", the path made safe for a terminal.
std::string FindingLine(const Finding &f);

// A backup's state once it has been read back, in the words of the folder
// states: a complete backup stays complete when only files the disk
// refused are not backed up, since every backup on that disk lacks them.
enum class DayState {
  kIntact,      // complete: every catalogued copy is there with its recorded contents
  kDamaged,     // findings (or problem) name what is wrong
  kIncomplete,  // a partial run: intact as far as it goes, but it lacks files
  kUnfinished,  // begun by the plug-in, never finished: no catalogue
  kRemoving,    // a removal was cut short
};
// "complete", "damaged", "incomplete", "unfinished", "being removed".
const char *DayStateName(DayState s);

struct DayCheck {
  std::string name;     // the folder's name below the destination root
  std::string problem;  // why the backup could not be checked at all
  DayState unchecked = DayState::kIntact;  // unfinished or being removed: not checked
  bool partial = false;                    // the run did not take every file it listed
  uint32_t date = 0;
  uint64_t entries = 0;
  uint64_t files = 0, bytes = 0;  // files whose contents were checked
  uint64_t sizeOnly = 0;          // outside the data subset: presence and size only
  std::vector<Finding> findings;
  DayState State() const;
  size_t Count(const char *kind) const;
};

// Part k of n of the data, for checks that spread a full read over n runs.
struct Subset {
  uint32_t k = 1, n = 1;
};
bool ParseSubset(const std::string &text, Subset *subset);

// What has been read so far, by inode, so that hard links cost nothing.
struct CheckRun {
  Subset subset;
  struct Read {
    Digest digest{};
    uint64_t bytes = 0;
    int err = 0;
  };
  std::map<std::pair<uint64_t, uint64_t>, Read> read;
  uint64_t filesRead = 0, bytesRead = 0;
};

// Checks one backup whose catalogue has been loaded.
DayCheck CheckBackup(const Backup &b, CheckRun *run, Progress *progress);

struct DestinationCheck {
  std::string root;
  Subset subset;
  std::vector<DayCheck> days;
  std::vector<NotABackup> others;
  uint64_t filesRead = 0, bytesRead = 0;  // unique files read
  bool interrupted = false;
  // The worst of the backups: damaged, else incomplete, else intact.
  DayState Worst() const;
};

// Checks every backup under root, oldest first. progress, when given, gets a
// bar per day. False with err only when root cannot be read or holds no
// backups.
bool CheckDestination(const std::string &root, Subset subset, std::ostream *progress, DestinationCheck *result,
                      std::string *err);

}  // namespace vxdb
