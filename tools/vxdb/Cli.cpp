#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <new>
#include <sstream>
#include <unistd.h>

#include "Commands.h"
#include "Output.h"
#include "app/VXDBFormat.h"

namespace vxdb {
namespace {

const char kVersion[] = "vxdb 1.0 (Vaultrix V1.0 backups, catalogue format 1)\n";
static_assert(VXDB_VERSION == 1, "the version text names the catalogue format");

const char kUsage[] =
    "vxdb: inspect, verify, compare and restore Vaultrix backups\n"
    "\n"
    "Usage: vxdb COMMAND [OPTIONS] ARGUMENTS\n"
    "       vxdb --version | --help | help COMMAND\n"
    "\n"
    "Commands:\n"
    "  list DESTROOT                    every backup under a destination: date, state, files, size\n"
    "  list BACKUP                      the files of a backup: path, size, time, MD5\n"
    "  verify BACKUP                    re-read every file and check it against the catalogue\n"
    "  check DESTROOT                   verify every backup under a destination, each file read once\n"
    "  diff OLD NEW                     files added, removed and changed between two backups\n"
    "  restore BACKUP TARGET [PATH...]  copy files from a backup into the folder TARGET\n"
    "  stats DESTROOT                   what each backup under a destination costs on disk\n"
    "  report DESTROOT [-o FILE]        one HTML page: every day's backup, its cost and state\n"
    "  prune DESTROOT                   remove old backups by keep rules (--keep-daily 7 ...)\n"
    "\n"
    "DESTROOT is the folder that holds the dated backup folders (for example\n"
    "/media/usb/VaultrixBackup). BACKUP is one of them (/media/usb/VaultrixBackup/2024-03-05),\n"
    "the catalogue in it, \"DESTROOT latest\" (the newest complete backup) or \"DESTROOT\n"
    "2024-03-05\" (the backup of that day).\n"
    "Run \"vxdb COMMAND --help\" for a command's options.\n"
    "\n"
    "Exit status: 0 fine, 1 damage or differences found (or something failed), 2 usage\n"
    "error or unreadable input, 3 a backup that lacks files (incomplete), 4 restore\n"
    "stopped by a full target, 130 interrupted.\n";

// Every option of every command; a command accepts those it names.
const struct option kOptions[] = {
    {"json", no_argument, nullptr, 'j'},        {"all", no_argument, nullptr, 'a'},
    {"force", no_argument, nullptr, 'f'},       {"keep-damaged", no_argument, nullptr, 'k'},
    {"progress", no_argument, nullptr, 'P'},    {"no-progress", no_argument, nullptr, 'Q'},
    {"dry-run", no_argument, nullptr, 'n'},     {"read-data-subset", required_argument, nullptr, 'S'},
    {"output", required_argument, nullptr, 'o'}, {"check", no_argument, nullptr, 'c'},
    {"keep-last", required_argument, nullptr, 'L'}, {"keep-daily", required_argument, nullptr, 'D'},
    {"keep-weekly", required_argument, nullptr, 'W'}, {"keep-monthly", required_argument, nullptr, 'M'},
    {"delete", no_argument, nullptr, 'x'},      {"this-backup-only", no_argument, nullptr, 'O'},
    {"help", no_argument, nullptr, 'h'},
};
// Options with a one-letter form as well.
const char kShort[] = "afknoh";

struct Command {
  const char *name;
  size_t backups;           // backup references first: a folder, or a root and "latest"
  size_t minArgs, maxArgs;  // the arguments after them
  const char *options;      // the codes of kOptions it takes
  int (*run)(const Options &, std::ostream &, std::ostream &);
  const char *help;
};

const std::vector<Command> &Commands()
{
  static const std::vector<Command> commands = {
      {"list", 1, 0, 0, "j", ListCommand,
       "Usage: vxdb list [--json] DESTROOT\n"
       "       vxdb list [--json] BACKUP\n"
       "\n"
       "Given the destination folder, lists every backup there, newest first: its\n"
       "date, state, files and size, as restic's \"snapshots\" does. The states,\n"
       "the same in every command and in the report:\n"
       "  complete       the run took every file it listed; \"complete, 2 not backed\n"
       "                 up\" counts files the disk refused (a letter-case twin on\n"
       "                 exFAT, for instance), which every backup there lacks\n"
       "  incomplete     a run that did not take every file it listed\n"
       "  unfinished     begun by the plug-in and never finished\n"
       "  being removed  a removal that was cut short\n"
       "  damaged        its catalogue cannot be read\n"
       "A backup whose date lies more than a day after its catalogue was written,\n"
       "while other backups' dates agree with that clock, was dated by a clock set\n"
       "ahead; it is named, and counts as made when it was written (so does the\n"
       "plug-in when it looks for the backup to link to).\n"
       "\n"
       "Given a backup (or \"DESTROOT latest\", \"DESTROOT DATE\"), shows its date,\n"
       "then one line per file: its path, size in bytes, modification time (local\n"
       "time) and MD5 digest, as the catalogue records them.\n"
       "\n"
       "  --json   one JSON document instead of text\n"
       "\n"
       "Exit status: 0 listed, 1 the catalogue holds unsafe paths (named on standard\n"
       "error), 2 usage error, unreadable catalogue or no backups.\n"},
      {"verify", 1, 0, 0, "jPQ", VerifyCommand,
       "Usage: vxdb verify [--json] [--progress|--no-progress] BACKUP\n"
       "\n"
       "Re-reads every file of a backup and compares it with the catalogue. Names\n"
       "each file that is damaged (its contents or size differ), missing, not\n"
       "backed up (logged as failed by the plug-in: the catalogue has no digest),\n"
       "extra (on the disk but not in the catalogue), unreadable, listed under an\n"
       "unsafe path, or changed while read (the plug-in noted that the copy may mix\n"
       "two versions). Only damaged, missing, unreadable and unsafe files make the\n"
       "backup damaged; a copy changed while read, or a run that did not take every\n"
       "file it listed, makes it incomplete. Files the disk refused (not backed up)\n"
       "leave a complete backup complete.\n"
       "\n"
       "  --json          one JSON document instead of text\n"
       "  --progress      draw the progress bar on standard error even when it is not\n"
       "                  a terminal; --no-progress never draws it (default: only on\n"
       "                  a terminal)\n"
       "\n"
       "Exit status: 0 intact, 1 damaged, 2 usage error or unreadable catalogue,\n"
       "3 incomplete, 130 interrupted.\n"},
      {"diff", 2, 0, 0, "ja", DiffCommand,
       "Usage: vxdb diff [--json] [-a|--all] OLD NEW\n"
       "\n"
       "Compares the catalogues of two backups by path: files added, removed and\n"
       "changed (contents or size), and the number unchanged. Reads only the\n"
       "catalogues, not the files. A partial run lists only what it reached: a file\n"
       "it does not list is unknown, not removed (or added), and so is a file not\n"
       "backed up on either side; the first lines say which side is incomplete.\n"
       "\n"
       "  -a, --all    list the unchanged files too\n"
       "  --json       one JSON document instead of text\n"
       "\n"
       "Exit status: 0 no differences, 1 differences found, 2 usage error or\n"
       "unreadable catalogue.\n"},
      {"restore", 1, 1, SIZE_MAX, "fknjPQxO", RestoreCommand,
       "Usage: vxdb restore [-f|--force] [-k|--keep-damaged] [-n|--dry-run] [--delete] [--this-backup-only]\n"
       "                    [--json] BACKUP TARGET [PATH...]\n"
       "\n"
       "Copies the whole backup, or the named files and folders (paths as \"list\"\n"
       "shows them, escapes included, for example /Settings/Vaultrix), into the folder\n"
       "TARGET, which is made if missing. \"DESTROOT latest\" restores the newest\n"
       "complete backup, \"DESTROOT 2024-03-05\" the backup of that day. Each file\n"
       "gets its recorded modification time; its digest, taken from the bytes as they\n"
       "are written, must match the catalogue. A file that is damaged in the backup,\n"
       "or was not backed up there, is taken from the newest earlier backup of the\n"
       "same destination that holds it intact, and named on a line of its own.\n"
       "Files reach the disk and get their names in batches as the restore goes on,\n"
       "so an interrupted restore keeps what it finished; a rerun goes on from there\n"
       "and removes what a killed run left half-written. A file already in TARGET\n"
       "with the recorded contents counts as restored. Catalogue paths that would\n"
       "land outside TARGET are refused and named. TARGET must not be a symbolic link\n"
       "nor lie in the backup's destination folder; the part of it that exists is\n"
       "resolved once and shown, and no link below it is followed. Problems with\n"
       "single files go to standard error; the first \"no space left\" stops the\n"
       "restore.\n"
       "\n"
       "  -f, --force      replace files that exist in TARGET with other contents (a\n"
       "                   replaced file that is hard-linked elsewhere keeps its\n"
       "                   other names unchanged)\n"
       "  --delete         then remove what the backup does not hold from TARGET (or\n"
       "                   from the named folders in it), as rsync's --delete: each\n"
       "                   file named; links go as links, mounts are left alone\n"
       "  --this-backup-only  take nothing from earlier backups\n"
       "  -k, --keep-damaged  when no backup holds a file intact, restore the damaged\n"
       "                   copy (it is still reported; never more than its recorded\n"
       "                   size is written)\n"
       "  -n, --dry-run    read the backup and say what would be restored, replaced,\n"
       "                   taken from an earlier backup or removed, count what is in\n"
       "                   place already, and change nothing\n"
       "  --json           one JSON document: \"events\", one per file (\"event\":\n"
       "                   restored, in_place, damaged, failed, refused, not_backed_up,\n"
       "                   deleted, would_restore, would_replace, would_delete; \"from\"\n"
       "                   names an earlier backup), then \"summary\"\n"
       "  --progress       draw the progress bar even when standard error is not a\n"
       "                   terminal; --no-progress never draws it\n"
       "\n"
       "Exit status: 0 every file restored (or in place), 1 some file not restored or\n"
       "damaged (each named), 2 usage error, unreadable catalogue or unusable TARGET,\n"
       "3 the backup is a partial run, which lacks files, 4 stopped by a full TARGET,\n"
       "130 interrupted.\n"},
      {"check", 0, 1, 1, "jPQS", CheckCommand,
       "Usage: vxdb check [--json] [--read-data-subset=K/N] [--progress|--no-progress] DESTROOT\n"
       "\n"
       "Verifies every backup under a destination root (the dated folders and any\n"
       "folder with a catalogue) as \"verify\" does, one line per backup: complete\n"
       "(with any files not backed up named below it), DAMAGED (with what is\n"
       "damaged, missing or unreadable named) or INCOMPLETE. A file that several\n"
       "backups share through hard links is read once, so checking a year of backups\n"
       "costs about one read of the distinct data. Folders the plug-in began and\n"
       "never finished, and removals cut short, are shown and not checked.\n"
       "\n"
       "  --read-data-subset=K/N  read only part K of N of the data (chosen by\n"
       "                   digest, so the same part in every run); the other files\n"
       "                   are checked for presence and size. Run 1/N to N/N on\n"
       "                   successive days to read everything over N days.\n"
       "  --json           one JSON document instead of text\n"
       "  --progress       draw a progress bar per backup on standard error even when\n"
       "                   it is not a terminal; --no-progress never draws it\n"
       "\n"
       "Exit status: 0 every backup intact, 1 damage found (or a catalogue that cannot\n"
       "be read), 2 usage error or a destination that cannot be read, 3 no damage but\n"
       "some backup incomplete, 130 interrupted.\n"},
      {"stats", 0, 1, 1, "j", StatsCommand,
       "Usage: vxdb stats [--json] DESTROOT\n"
       "\n"
       "One row per backup under the destination root (dated folders and any folder\n"
       "with a catalogue), oldest first: its files and their size, the bytes that\n"
       "only this backup holds (what removing it frees), and the running total of\n"
       "the space all backups so far take, each shared file counted once. Own and\n"
       "Total are the space on the disk, as du counts it (whole allocation units);\n"
       "Size is the files' sizes, the catalogues included. Sharing is read from the\n"
       "disk's inode numbers and link counts; on a network file system that shows\n"
       "neither (sshfs), it is guessed from path, size and time, and the output says\n"
       "so.\n"
       "\n"
       "  --json   one JSON document, sizes in bytes\n"
       "\n"
       "Exit status: 0 fine, 2 usage error, no backups, or a folder that cannot be\n"
       "read.\n"},
      {"report", 0, 1, 1, "oc", ReportCommand,
       "Usage: vxdb report [--check] [-o FILE] DESTROOT\n"
       "\n"
       "One self-contained HTML page about the backups under a destination root:\n"
       "a bar per day (the space its files take, the part that day alone holds, days\n"
       "without a backup left as gaps), the running total of the space taken, each\n"
       "day's state in the words of \"list\" (complete, complete with files not\n"
       "backed up, incomplete, unfinished, being removed, damaged), each in its own\n"
       "colour in the bars and the table, the largest files and the files that\n"
       "change most often. The page needs no network and runs no script.\n"
       "\n"
       "  -o, --output FILE   write the page to FILE; without it the page goes to\n"
       "                      standard output, or a short summary when that is a\n"
       "                      terminal\n"
       "  --check             also read every backup back as check does, and\n"
       "                      show it intact, damaged or incomplete\n"
       "\n"
       "Exit status: 0 fine, 1 damage found by --check, 2 usage error, no backups,\n"
       "a folder that cannot be read, or FILE that cannot be written, 3 no damage\n"
       "but some backup incomplete (with --check), 130 interrupted.\n"},
      {"prune", 0, 1, 1, "jnLDWM", PruneCommand,
       "Usage: vxdb prune [--dry-run] [--json] --keep-... N DESTROOT\n"
       "\n"
       "Removes the backups under the destination root that no keep rule keeps.\n"
       "Each rule walks back from the newest complete backup:\n"
       "\n"
       "  --keep-last N      keeps the N newest backups\n"
       "  --keep-daily N     keeps the newest backup of each of the last N days that\n"
       "                     have a backup\n"
       "  --keep-weekly N    the same for weeks (Monday to Sunday)\n"
       "  --keep-monthly N   the same for months\n"
       "\n"
       "A backup that any rule keeps stays, and so does the newest backup holding\n"
       "the last good copy of a file that the newest backup does not hold intact.\n"
       "Only complete backups (folders named as a calendar date whose VXDB.db\n"
       "loads) count for the rules. Partial runs and\n"
       "folders the plug-in began and never finished go once they are older than\n"
       "the oldest backup kept, never the newest folder nor today's; removals cut\n"
       "short are finished. Anything else is left alone, and dated names are named.\n"
       "A backup is removed catalogue first, so a removal that is cut short never\n"
       "leaves a folder that looks complete. Symbolic links are removed as links,\n"
       "never followed; no other file system mounted inside a backup is entered.\n"
       "A backup that cannot be removed is named and left as it is, and the next\n"
       "goes on. The space freed counts the files whose last link goes; on a disk\n"
       "that shows no link counts (sshfs) it is not known, and said so.\n"
       "\n"
       "  -n, --dry-run   show what would be removed; change nothing\n"
       "  --json          one JSON document, sizes in bytes\n"
       "\n"
       "Exit status: 0 fine, 1 a removal failed (that backup is left as it was), 2\n"
       "usage error, no keep rule, no backups, or a root that cannot be read, 130\n"
       "interrupted.\n"},
  };
  return commands;
}

const Command *Find(const std::string &name)
{
  for (const auto &c : Commands())
    if (name == c.name)
      return &c;
  return nullptr;
}

}  // namespace

// Where a progress bar may draw: the real standard error, also when a
// command's messages are gathered for --json.
std::ostream *gProgressOut = nullptr;
// Where notices are gathered for --json; none otherwise.
std::ostream *gNotices = nullptr;

std::ostream &NoticeStream(std::ostream &err) { return gNotices ? *gNotices : err; }

std::ostream *ProgressStream(const Options &opt)
{
  if (!gProgressOut || opt.progress == 0)
    return nullptr;
  if (opt.progress == 1)
    return gProgressOut;
  return gProgressOut == &std::cerr && isatty(STDERR_FILENO) ? gProgressOut : nullptr;
}

int InterruptedExit(const Options &opt, std::ostream &err, const std::string &done)
{
  err << "vxdb " << opt.command << ": interrupted" << (done.empty() ? "" : "; " + done) << "\n";
  return kInterrupted;
}

bool ParseOptions(const std::vector<std::string> &argv, Options *opt, std::string *err)
{
  if (argv.empty()) {
    *err = "no command given";
    return false;
  }
  if (argv[0] == "--version" || argv[0] == "-V") {
    opt->version = true;
    return argv.size() == 1 || (*err = "--version takes no arguments", false);
  }
  if (argv[0] == "--help" || argv[0] == "-h" || argv[0] == "help") {
    opt->help = true;
    if (argv.size() > 1)
      opt->command = argv[1];
    if (argv.size() > 2 || (argv.size() == 2 && !Find(argv[1]))) {
      *err = "help takes one command name";
      return false;
    }
    return true;
  }
  const Command *cmd = Find(argv[0]);
  if (!cmd) {
    *err = "unknown command \"" + Shown(argv[0]) + "\"";
    return false;
  }
  opt->command = cmd->name;

  std::vector<struct option> longs;
  std::string shorts = ":";
  for (const auto &o : kOptions) {
    if (o.val != 'h' && !strchr(cmd->options, o.val))
      continue;
    longs.push_back(o);
    if (strchr(kShort, o.val))
      shorts += std::string(1, char(o.val)) + (o.has_arg == required_argument ? ":" : "");
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  std::vector<std::string> copies(argv);
  std::vector<char *> args;
  for (auto &a : copies)
    args.push_back(a.data());
  args.push_back(nullptr);
  int argc = int(copies.size());
  optind = 0;  // a fresh scan, also when called again
  opterr = 0;
  std::string prefix = cmd->name + std::string(": ");
  for (;;) {
    int at = optind ? optind : 1;
    int code = getopt_long(argc, args.data(), shorts.c_str(), longs.data(), nullptr);
    if (code == -1)
      break;
    std::string token = at < argc ? copies[size_t(at)] : "";
    std::string name = token.substr(0, token.find('='));
    switch (code) {
    case 'h':
      opt->help = true;
      return true;
    case 'j':
      opt->json = true;
      break;
    case 'a':
      opt->all = true;
      break;
    case 'f':
      opt->force = true;
      break;
    case 'k':
      opt->keepDamaged = true;
      break;
    case 'n':
      opt->dryRun = true;
      break;
    case 'x':
      opt->deleteExtra = true;
      break;
    case 'O':
      opt->oneBackup = true;
      break;
    case 'P':
      opt->progress = 1;
      break;
    case 'Q':
      opt->progress = 0;
      break;
    case 'o':
      opt->output = optarg;
      break;
    case 'c':
      opt->check = true;
      break;
    case 'S':
      if (!ParseSubset(optarg, &opt->subset)) {
        *err = prefix + "--read-data-subset wants K/N with 1 <= K <= N, not \"" + Shown(optarg) + "\"";
        return false;
      }
      break;
    case 'L':
    case 'D':
    case 'W':
    case 'M': {
      int *count = code == 'L' ? &opt->keepLast : code == 'D' ? &opt->keepDaily : code == 'W' ? &opt->keepWeekly
                                                                                             : &opt->keepMonthly;
      char *end = nullptr;
      errno = 0;
      long n = isdigit((unsigned char)optarg[0]) ? strtol(optarg, &end, 10) : -1;
      if (n < 0 || *end || errno || n > 1000000) {
        *err = prefix + name + " takes a count, 0 or more, not \"" + Shown(optarg) + "\"";
        return false;
      }
      *count = int(n);
      break;
    }
    case ':':
      *err = prefix + "option \"" + Shown(name) + "\" needs a value";
      return false;
    default:
      if (optopt && name.rfind("--", 0) == 0 && token.find('=') != std::string::npos)
        *err = prefix + "option \"" + Shown(name) + "\" takes no value";
      else if (optopt && name.rfind("--", 0) != 0)
        *err = prefix + "unknown option \"-" + Shown(std::string(1, char(optopt))) + "\"";
      else
        *err = prefix + "unknown option \"" + Shown(token) + "\"";
      return false;
    }
  }
  // getopt_long has moved them behind the options. A backup is a folder or
  // catalogue, or a destination root followed by the word "latest" or a
  // date; a date after a backup itself is the next argument (a target).
  int i = optind;
  for (size_t b = 0; b < cmd->backups && i < argc; ++b) {
    BackupArg backup{args[size_t(i++)]};
    if (i < argc && strcmp(args[size_t(i)], "latest") == 0) {
      backup.latest = true;
      ++i;
    } else if (i < argc && IsDateName(args[size_t(i)]) && !NamesABackup(backup.path)) {
      backup.date = args[size_t(i++)];
    }
    opt->backups.push_back(backup);
  }
  for (; i < argc; ++i)
    opt->args.push_back(args[size_t(i)]);
  if (opt->backups.size() < cmd->backups || opt->args.size() < cmd->minArgs || opt->args.size() > cmd->maxArgs) {
    *err = prefix + (opt->args.size() > cmd->maxArgs ? "too many" : "too few") + " arguments";
    return false;
  }
  return true;
}

namespace {

int Run(const std::vector<std::string> &argv, std::ostream &out, std::ostream &err, bool *json)
{
  Options opt;
  std::string why;
  if (!ParseOptions(argv, &opt, &why)) {
    err << "vxdb: " << why << "\n"
        << "Try \"vxdb " << (Find(opt.command) ? opt.command + " " : "") << "--help\".\n";
    return kBadInput;
  }
  *json = opt.json && !opt.help;
  if (opt.version) {
    out << kVersion;
    return kFine;
  }
  if (opt.help) {
    const Command *cmd = Find(opt.command);
    out << (cmd ? cmd->help : kUsage);
    return kFine;
  }
  try {
    return Find(opt.command)->run(opt, out, err);
  } catch (const std::bad_alloc &) {
    err << "vxdb " << opt.command << ": out of memory\n";
    return kBadInput;
  }
}

}  // namespace

int RunVxdb(const std::vector<std::string> &argv, std::ostream &out, std::ostream &err)
{
  gProgressOut = &err;
  bool json = std::find(argv.begin(), argv.end(), "--json") != argv.end();
  if (!json)
    return Run(argv, out, err, &json);
  // Scripts that read only standard output find what was said there too,
  // as members of the one document: notices apart from errors.
  std::ostringstream said, noted;
  gNotices = &noted;
  Json::Hold(&out);
  int status = Run(argv, out, said, &json);
  gNotices = nullptr;
  err << noted.str() << said.str();
  if (json)
    Json::Close(out, SplitLines(noted.str()), SplitLines(said.str()), status);
  else
    Json::Hold(nullptr);
  return status;
}

}  // namespace vxdb
