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

#include "Catalogue.h"

namespace vxdb {

class Progress;

struct Finding {
  const char *kind;  // missing, changed, extra, unsafe, unreadable, unverified
  std::string path, detail;
};
bool IsDamage(const Finding &f);
// "changed    /a/b (contents differ)", the path made safe for a terminal.
std::string FindingLine(const Finding &f);

enum class DayState {
  kIntact,      // every catalogued file is there with its recorded contents
  kDamaged,     // findings name what is wrong
  kUnusable,    // the catalogue cannot be read; problem says why
  kUnfinished,  // a dated folder without a catalogue: its backup never ended
};
const char *DayStateName(DayState s);  // "intact", "damaged", "unusable", "unfinished"

struct DayCheck {
  std::string name;     // the folder's name below the destination root
  std::string problem;  // why the backup could not be checked at all
  bool unfinished = false;
  uint32_t date = 0;
  uint64_t entries = 0;
  uint64_t files = 0, bytes = 0;  // files whose contents were checked
  uint64_t sizeOnly = 0;          // outside the data subset: presence and size only
  std::vector<Finding> findings;
  DayState State() const;
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
  uint64_t filesRead = 0, bytesRead = 0;  // unique files read
  bool Intact() const;                    // no day damaged or unusable
};

// The backups under a destination root: dated folders, and any other folder
// with a catalogue, in name order. False with err when root cannot be read.
bool FindBackups(const std::string &root, std::vector<std::string> *names, std::string *err);
bool IsDateName(const std::string &name);
// The day a dated folder's name gives; false when it is not a calendar date.
bool DateOfName(const std::string &name, std::chrono::sys_days *day);

// Checks every backup under root. progress, when given, gets a bar per day.
// False with err only when root cannot be read or holds no backups.
bool CheckDestination(const std::string &root, Subset subset, std::ostream *progress, DestinationCheck *result,
                      std::string *err);

}  // namespace vxdb
