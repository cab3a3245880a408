#include <iostream>
#include <new>
#include <unistd.h>

#include "Commands.h"
#include "Output.h"

namespace vxdb {
namespace {

const char kUsage[] =
    "vxdb: inspect, verify, compare and restore Vaultrix backups\n"
    "\n"
    "Usage: vxdb COMMAND [OPTIONS] ARGUMENTS\n"
    "\n"
    "Commands:\n"
    "  list BACKUP                      the files of a backup: path, size, time, MD5\n"
    "  verify BACKUP                    re-read every file and check it against the catalogue\n"
    "  diff OLD NEW                     files added, removed and changed between two backups\n"
    "  restore BACKUP TARGET [PATH...]  copy files from a backup into the folder TARGET\n"
    "  stats DESTROOT                   what each backup under a destination costs on disk\n"
    "\n"
    "BACKUP is a dated backup folder (for example /media/usb/Vaultrix/2024-03-05)\n"
    "or the catalogue VXDB.db in it. Run \"vxdb COMMAND --help\" for a command's options.\n"
    "Exit status: 0 fine, 1 damage or differences found, 2 usage error or unreadable input.\n";

struct Command {
  const char *name;
  size_t minArgs, maxArgs;
  std::vector<std::string> options;
  int (*run)(const Options &, std::ostream &, std::ostream &);
  const char *help;
};

const std::vector<Command> &Commands()
{
  static const std::vector<Command> commands = {
      {"list", 1, 1, {"--json"}, ListCommand,
       "Usage: vxdb list [--json] BACKUP\n"
       "\n"
       "Shows the backup's date, then one line per file: its path, size in bytes,\n"
       "modification time (local time) and MD5 digest, as the catalogue records them.\n"
       "\n"
       "  --json   one JSON document instead of text\n"
       "\n"
       "Exit status: 0 listed, 1 the catalogue holds unsafe paths (named on standard\n"
       "error), 2 usage error or unreadable catalogue.\n"},
      {"verify", 1, 1, {"--json", "--progress", "--no-progress"}, VerifyCommand,
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
      {"diff", 2, 2, {"--json", "--all"}, DiffCommand,
       "Usage: vxdb diff [--json] [--all] OLD NEW\n"
       "\n"
       "Compares the catalogues of two backups by path: files added, removed and\n"
       "changed (contents or size), and the number unchanged. Reads only the\n"
       "catalogues, not the files.\n"
       "\n"
       "  --all    list the unchanged files too\n"
       "  --json   one JSON document instead of text\n"
       "\n"
       "Exit status: 0 no differences, 1 differences found, 2 usage error or\n"
       "unreadable catalogue.\n"},
      {"restore", 2, SIZE_MAX, {"--force", "--keep-damaged", "--progress", "--no-progress"}, RestoreCommand,
       "Usage: vxdb restore [--force] [--keep-damaged] BACKUP TARGET [PATH...]\n"
       "\n"
       "Copies the whole backup, or the named files and folders (paths as \"list\"\n"
       "shows them, for example /Settings/Vaultrix), into the folder TARGET, which is\n"
       "made if missing. Each file gets its recorded modification time, and its copy\n"
       "is read back and checked against the catalogue's digest. Catalogue paths that\n"
       "would land outside TARGET are refused and named. Symbolic links on the way\n"
       "are never followed.\n"
       "\n"
       "  --force          replace files that exist in TARGET (a replaced file that\n"
       "                   is hard-linked elsewhere keeps its other names unchanged)\n"
       "  --keep-damaged   restore a file even when its digest shows it damaged in\n"
       "                   the backup (it is still reported)\n"
       "  --progress       draw the progress bar even when standard error is not a\n"
       "                   terminal; --no-progress never draws it\n"
       "\n"
       "Exit status: 0 every file restored and checked, 1 some file not restored or\n"
       "damaged (each named), 2 usage error, unreadable catalogue or unusable TARGET.\n"},
      {"stats", 1, 1, {"--json"}, StatsCommand,
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
  size_t i = 0;
  if (argv.empty()) {
    *err = "no command given";
    return false;
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
  bool optionsEnd = false;
  for (i = 1; i < argv.size(); ++i) {
    const std::string &a = argv[i];
    if (optionsEnd || a.size() < 2 || a[0] != '-') {
      opt->args.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnd = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      opt->help = true;
      return true;
    }
    bool known = false;
    for (const auto &o : cmd->options)
      known = known || a == o;
    if (!known) {
      *err = cmd->name + std::string(": unknown option \"") + Shown(a) + "\"";
      return false;
    }
    if (a == "--json")
      opt->json = true;
    else if (a == "--all")
      opt->all = true;
    else if (a == "--force")
      opt->force = true;
    else if (a == "--keep-damaged")
      opt->keepDamaged = true;
    else if (a == "--progress")
      opt->progress = 1;
    else if (a == "--no-progress")
      opt->progress = 0;
  }
  if (opt->args.size() < cmd->minArgs || opt->args.size() > cmd->maxArgs) {
    *err = cmd->name + std::string(": ") + (opt->args.size() < cmd->minArgs ? "too few" : "too many") +
           " arguments";
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
