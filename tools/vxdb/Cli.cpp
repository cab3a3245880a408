#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <new>
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
    "  list BACKUP                      the files of a backup: path, size, time, MD5\n"
    "  verify BACKUP                    re-read every file and check it against the catalogue\n"
    "  check DESTROOT                   verify every backup under a destination, each file read once\n"
    "  diff OLD NEW                     files added, removed and changed between two backups\n"
    "  restore BACKUP TARGET [PATH...]  copy files from a backup into the folder TARGET\n"
    "  stats DESTROOT                   what each backup under a destination costs on disk\n"
    "  report DESTROOT [-o FILE]        one HTML page: every day's backup, its cost and state\n"
    "  prune DESTROOT                   remove old backups by keep rules (--keep-daily 7 ...)\n"
    "\n"
    "BACKUP is a dated backup folder (for example /media/usb/Vaultrix/2024-03-05)\n"
    "or the catalogue VXDB.db in it. Run \"vxdb COMMAND --help\" for a command's options.\n"
    "Exit status: 0 fine, 1 damage or differences found, 2 usage error or unreadable input.\n";

// Every option of every command; a command accepts those it names.
const struct option kOptions[] = {
    {"json", no_argument, nullptr, 'j'},        {"all", no_argument, nullptr, 'a'},
    {"force", no_argument, nullptr, 'f'},       {"keep-damaged", no_argument, nullptr, 'k'},
    {"progress", no_argument, nullptr, 'P'},    {"no-progress", no_argument, nullptr, 'Q'},
    {"dry-run", no_argument, nullptr, 'n'},     {"read-data-subset", required_argument, nullptr, 'S'},
    {"output", required_argument, nullptr, 'o'}, {"check", no_argument, nullptr, 'c'},
    {"keep-last", required_argument, nullptr, 'L'}, {"keep-daily", required_argument, nullptr, 'D'},
    {"keep-weekly", required_argument, nullptr, 'W'}, {"keep-monthly", required_argument, nullptr, 'M'},
    {"help", no_argument, nullptr, 'h'},
};
// Options with a one-letter form as well.
const char kShort[] = "afknoh";

struct Command {
  const char *name;
  size_t minArgs, maxArgs;
  const char *options;  // the codes of kOptions it takes
  int (*run)(const Options &, std::ostream &, std::ostream &);
  const char *help;
};

const std::vector<Command> &Commands()
{
  static const std::vector<Command> commands = {
      {"list", 1, 1, "j", ListCommand,
       "Usage: vxdb list [--json] BACKUP\n"
       "\n"
       "Shows the backup's date, then one line per file: its path, size in bytes,\n"
       "modification time (local time) and MD5 digest, as the catalogue records them.\n"
       "\n"
       "  --json   one JSON document instead of text\n"
       "\n"
       "Exit status: 0 listed, 1 the catalogue holds unsafe paths (named on standard\n"
       "error), 2 usage error or unreadable catalogue.\n"},
      {"verify", 1, 1, "jPQ", VerifyCommand,
       "Usage: vxdb verify [--json] [--progress|--no-progress] BACKUP\n"
       "\n"
       "Re-reads every file of a dated backup folder and compares it with the\n"
       "catalogue. Names each file that is missing, changed (contents or size),\n"
       "extra (on disk but not in the catalogue), unreadable, or listed under an\n"
       "unsafe path; \"unverified\" files have no digest in the catalogue and are not\n"
       "counted as damage.\n"
       "\n"
       "  --json          one JSON document instead of text\n"
       "  --progress      draw the progress bar on standard error even when it is not\n"
       "                  a terminal; --no-progress never draws it (default: only on\n"
       "                  a terminal)\n"
       "\n"
       "Exit status: 0 intact, 1 damage found, 2 usage error or unreadable catalogue.\n"},
      {"diff", 2, 2, "ja", DiffCommand,
       "Usage: vxdb diff [--json] [-a|--all] OLD NEW\n"
       "\n"
       "Compares the catalogues of two backups by path: files added, removed and\n"
       "changed (contents or size), and the number unchanged. Reads only the\n"
       "catalogues, not the files.\n"
       "\n"
       "  -a, --all    list the unchanged files too\n"
       "  --json       one JSON document instead of text\n"
       "\n"
       "Exit status: 0 no differences, 1 differences found, 2 usage error or\n"
       "unreadable catalogue.\n"},
      {"restore", 2, SIZE_MAX, "fknjPQ", RestoreCommand,
       "Usage: vxdb restore [-f|--force] [-k|--keep-damaged] [-n|--dry-run] [--json] BACKUP TARGET [PATH...]\n"
       "\n"
       "Copies the whole backup, or the named files and folders (paths as \"list\"\n"
       "shows them, escapes included, for example /Settings/Vaultrix), into the folder\n"
       "TARGET, which is made if missing. Each file gets its recorded modification\n"
       "time; its digest, taken from the bytes as they are written, must match the\n"
       "catalogue, and it is on the disk before it gets its name. A file already in\n"
       "TARGET with the recorded contents counts as restored. Catalogue paths that\n"
       "would land outside TARGET are refused and named. TARGET must not be a\n"
       "symbolic link nor lie in the backup's destination folder; the part of it\n"
       "that exists is resolved once and shown, and no link below it is followed.\n"
       "Problems with single files go to standard error.\n"
       "\n"
       "  -f, --force      replace files that exist in TARGET with other contents (a\n"
       "                   replaced file that is hard-linked elsewhere keeps its\n"
       "                   other names unchanged)\n"
       "  -k, --keep-damaged  restore a file even when its digest shows it damaged in\n"
       "                   the backup (it is still reported)\n"
       "  -n, --dry-run    say what would be restored, replaced or is in place, and\n"
       "                   change nothing (the backup's files are not read)\n"
       "  --json           one JSON object per line and file (\"event\": restored,\n"
       "                   in_place, damaged, failed, refused, would_restore,\n"
       "                   would_replace), then one with \"event\": \"summary\"\n"
       "  --progress       draw the progress bar even when standard error is not a\n"
       "                   terminal; --no-progress never draws it\n"
       "\n"
       "Exit status: 0 every file restored (or in place), 1 some file not restored or\n"
       "damaged (each named), 2 usage error, unreadable catalogue or unusable TARGET.\n"},
      {"check", 1, 1, "jPQS", CheckCommand,
       "Usage: vxdb check [--json] [--read-data-subset=K/N] [--progress|--no-progress] DESTROOT\n"
       "\n"
       "Verifies every backup under a destination root (the dated folders and any\n"
       "folder with a catalogue) as \"verify\" does, one line per backup, naming what\n"
       "is missing, changed, extra or unreadable. A file that several backups share\n"
       "through hard links is read once, so checking a year of backups costs about\n"
       "one read of the distinct data. A dated folder without a catalogue is shown as\n"
       "unfinished and is not counted as damage.\n"
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
       "be read), 2 usage error or a destination that cannot be read.\n"},
      {"stats", 1, 1, "j", StatsCommand,
       "Usage: vxdb stats [--json] DESTROOT\n"
       "\n"
       "One row per backup under the destination root (dated folders and any folder\n"
       "with a catalogue), oldest name first: its files and their size, the bytes\n"
       "that this backup alone holds (files not hard-linked into another backup),\n"
       "and the running total of the space all backups so far take, each shared file\n"
       "counted once. Sizes are file sizes, including the catalogues.\n"
       "\n"
       "  --json   one JSON document, sizes in bytes\n"
       "\n"
       "Exit status: 0 fine, 2 usage error, no backups, or a folder that cannot be\n"
       "read.\n"},
      {"report", 1, 1, "oc", ReportCommand,
       "Usage: vxdb report [--check] [-o FILE] DESTROOT\n"
       "\n"
       "One self-contained HTML page about the backups under a destination root:\n"
       "a bar per day (its files, their size, the bytes that day alone holds, days\n"
       "without a backup left as gaps), the running total of the space taken, each\n"
       "day's state (complete, or incomplete when its catalogue is missing or\n"
       "unusable), the largest files and the files that change most often. The\n"
       "page needs no network and runs no script.\n"
       "\n"
       "  -o, --output FILE   write the page to FILE; without it the page goes to\n"
       "                      standard output, or a short summary when that is a\n"
       "                      terminal\n"
       "  --check             also read every backup back as check does, and\n"
       "                      show it intact or name its damaged files\n"
       "\n"
       "Exit status: 0 fine, 1 damage found by --check, 2 usage error, no backups,\n"
       "a folder that cannot be read, or FILE that cannot be written.\n"},
      {"prune", 1, 1, "jnLDWM", PruneCommand,
       "Usage: vxdb prune [--dry-run] [--json] --keep-... N DESTROOT\n"
       "\n"
       "Removes the backups under the destination root that no keep rule keeps.\n"
       "Each rule walks back from the newest backup:\n"
       "\n"
       "  --keep-last N      keeps the N newest backups\n"
       "  --keep-daily N     keeps the newest backup of each of the last N days that\n"
       "                     have a backup\n"
       "  --keep-weekly N    the same for weeks (Monday to Sunday)\n"
       "  --keep-monthly N   the same for months\n"
       "\n"
       "A backup that any rule keeps stays. Only folders named YYYY-MM-DD whose\n"
       "catalogue loads count as backups; other entries are left alone, and dated ones\n"
       "are named. A backup is removed catalogue first, so a removal that is cut short\n"
       "never leaves a folder that looks complete; such a folder is finished next\n"
       "time. Symbolic links are removed as links, never followed. The space freed\n"
       "counts the files whose last link goes.\n"
       "\n"
       "  -n, --dry-run   show what would be removed; change nothing\n"
       "  --json          one JSON document, sizes in bytes\n"
       "\n"
       "Exit status: 0 fine, 1 a removal failed (the rest is left as it was), 2 usage\n"
       "error, no keep rule, no backups, or a root that cannot be read.\n"},
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

std::ostream *ProgressStream(const Options &opt, std::ostream &err)
{
  if (opt.progress == 1)
    return &err;
  if (opt.progress == 0 || &err != &std::cerr)
    return nullptr;
  return isatty(STDERR_FILENO) ? &err : nullptr;
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
  for (int i = optind; i < argc; ++i)
    opt->args.push_back(args[size_t(i)]);  // getopt_long has moved them behind the options
  if (opt->args.size() < cmd->minArgs || opt->args.size() > cmd->maxArgs) {
    *err = prefix + (opt->args.size() < cmd->minArgs ? "too few" : "too many") + " arguments";
    return false;
  }
  return true;
}

int RunVxdb(const std::vector<std::string> &argv, std::ostream &out, std::ostream &err)
{
  Options opt;
  std::string why;
  if (!ParseOptions(argv, &opt, &why)) {
    err << "vxdb: " << why << "\n"
        << "Try \"vxdb " << (Find(opt.command) ? opt.command + " " : "") << "--help\".\n";
    return kBadInput;
  }
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

}  // namespace vxdb
