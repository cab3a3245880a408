// The tool's commands. Each reads the parsed request and returns the exit
// status.
#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "Backups.h"
#include "Check.h"

namespace vxdb {

enum Exit {
  kFine = 0,
  kFound = 1,         // damage or differences found, or something failed
  kBadInput = 2,      // usage error, or input that cannot be read
  kIncomplete = 3,    // a backup that lacks files it listed, as restic's 3
  kTargetFull = 4,    // restore: the target's disk is full
  kInterrupted = 130  // Ctrl-C or SIGTERM, as a shell reports SIGINT
};

struct Options {
  std::string command;
  std::vector<BackupArg> backups;  // the backups a command names first
  std::vector<std::string> args;   // what follows them
  bool help = false;
  bool version = false;
  bool json = false;
  bool all = false;          // diff: unchanged files too
  bool force = false;        // restore: replace existing files
  bool keepDamaged = false;  // restore: keep files whose digest is wrong
  bool dryRun = false;       // restore, prune: say what would be done, change nothing
  bool deleteExtra = false;  // restore: remove what the backup does not hold under the restored paths
  bool oneBackup = false;    // restore: take nothing from other backups
  int progress = -1;         // -1 on a terminal only, 0 never, 1 always
  Subset subset;             // check: the part of the data to read
  bool check = false;        // report: verify every day too
  std::string output;        // report: the page's file
  int keepLast = 0, keepDaily = 0, keepWeekly = 0, keepMonthly = 0;  // prune
};

// Parses argv (without the program name) into opt; false with err on misuse.
bool ParseOptions(const std::vector<std::string> &argv, Options *opt, std::string *err);
// The whole tool: parse, then run the command.
int RunVxdb(const std::vector<std::string> &argv, std::ostream &out, std::ostream &err);

int ListCommand(const Options &opt, std::ostream &out, std::ostream &err);
int VerifyCommand(const Options &opt, std::ostream &out, std::ostream &err);
int DiffCommand(const Options &opt, std::ostream &out, std::ostream &err);
int RestoreCommand(const Options &opt, std::ostream &out, std::ostream &err);
int CheckCommand(const Options &opt, std::ostream &out, std::ostream &err);
int StatsCommand(const Options &opt, std::ostream &out, std::ostream &err);
int ReportCommand(const Options &opt, std::ostream &out, std::ostream &err);
int PruneCommand(const Options &opt, std::ostream &out, std::ostream &err);

// The stream for a progress bar: standard error when wanted, else none.
std::ostream *ProgressStream(const Options &opt);

// Where a command says what is no error (a folder passed over, a file
// taken from another backup): err, or with --json the document's notices.
std::ostream &NoticeStream(std::ostream &err);

// The exit status for a verdict of verify or check: damaged, incomplete or
// fine.
int VerdictStatus(DayState s);

// The last words of an interrupted command on err; its exit status.
int InterruptedExit(const Options &opt, std::ostream &err, const std::string &done);

}  // namespace vxdb
