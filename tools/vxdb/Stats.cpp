#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/vfs.h>

#include "Catalogue.h"
#include "Check.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Stats.h"
#include "app/VXDBFormat.h"

namespace vxdb {
namespace {

using Row = BackupStats;

struct Inode {
  uint64_t size;
  size_t first;          // the first backup that holds it
  std::set<size_t> in;   // every backup that holds it
};

}  // namespace

bool CollectStats(const std::string &root, std::vector<BackupStats> *rowsOut, const StatsHooks &hooks,
                  bool *sharedByPath, std::string *why)
{
  std::vector<Row> &rows = *rowsOut;
  rows.clear();
  std::vector<std::string> names;
  if (!FindBackups(root, &names, why))
    return false;
  for (const auto &name : names) {
    Row row;
    row.folder = name;
    struct stat st;
    row.hasCatalogue = lstat((root + "/" + name + "/" VXDB_FILE_NAME).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    rows.push_back(row);
  }
  // FUSE file systems such as sshfs make up inode numbers, one per name, so
  // a file shared by two days would count twice. There a file is taken as
  // shared when its path, size and modification time agree, as the
  // plug-in's hard links do.
  constexpr long kFuseMagic = 0x65735546;
  struct statfs fsInfo;
  bool madeUpInodes = statfs(root.c_str(), &fsInfo) == 0 && long(fsInfo.f_type) == kFuseMagic;
  if (sharedByPath)
    *sharedByPath = madeUpInodes;
  std::map<std::string, Inode> inodes;
  for (size_t k = 0; k < rows.size(); ++k) {
    Row &row = rows[k];
    std::string path = root + "/" + row.folder;
    if (row.hasCatalogue) {
      Catalogue cat;
      std::string problem;
      if (LoadCatalogue(path + "/" VXDB_FILE_NAME, &cat, &problem)) {
        row.date = cat.backupDate;
        if (hooks.onCatalogue)
          hooks.onCatalogue(row, k, std::move(cat));
      } else {
        row.catalogueProblem = "unusable catalogue";
      }
    }
    auto onError = [&](const std::string &where, int e) {
      if (hooks.onError)
        hooks.onError(path + where, e);
    };
    Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) {
      onError("", errno);
      continue;
    }
    Walk(
        fd.get(),
        [&](const WalkItem &item) {
          if (!S_ISREG(item.st.st_mode))
            return;
          if (item.path != "/" VXDB_FILE_NAME) {
            ++row.files;
            row.size += uint64_t(item.st.st_size);
          }
          std::string id = madeUpInodes ? item.path + '\0' + std::to_string(item.st.st_size) + '\0' +
                                              std::to_string(item.st.st_mtime)
                                        : std::to_string(item.st.st_dev) + ':' + std::to_string(item.st.st_ino);
          auto [it, fresh] = inodes.try_emplace(id, Inode{uint64_t(item.st.st_size), k, {}});
          it->second.in.insert(k);
        },
        onError);
  }
  for (const auto &[id, inode] : inodes) {
    if (inode.in.size() == 1)
      rows[inode.first].own += inode.size;
    rows[inode.first].total += inode.size;
  }
  for (size_t k = 1; k < rows.size(); ++k)
    rows[k].total += rows[k - 1].total;
  return true;
}

int StatsCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  const std::string &root = opt.args[0];
  std::vector<Row> rows;
  std::string why;
  bool unreadable = false, madeUpInodes = false;
  StatsHooks hooks;
  hooks.onError = [&](const std::string &path, int e) {
    err << "vxdb stats: " << Shown(path) << ": " << ErrnoText(e) << "\n";
    unreadable = true;
  };
  if (!CollectStats(root, &rows, hooks, &madeUpInodes, &why)) {
    err << "vxdb stats: " << Shown(root) << ": " << why << "\n";
    return kBadInput;
  }
  if (rows.empty()) {
    err << "vxdb stats: " << Shown(root) << ": no backups here\n";
    return kBadInput;
  }

  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("root").String(root);
    if (madeUpInodes)
      j.Key("shared_by").String("path, size and time");
    j.Key("backups").BeginArray();
    for (const auto &r : rows) {
      j.BeginObject().Key("folder").String(r.folder).Key("date");
      if (r.date)
        j.String(BackupDateText(r.date));
      else
        j.Null();
      j.Key("catalogue").Bool(r.hasCatalogue && r.catalogueProblem.empty());
      j.Key("files").Unsigned(r.files).Key("size").Unsigned(r.size);
      j.Key("own").Unsigned(r.own).Key("total").Unsigned(r.total).EndObject();
    }
    j.EndArray().EndObject().Finish();
    return unreadable ? kBadInput : kFine;
  }
  size_t width = 6;
  for (const auto &r : rows)
    width = std::max(width, Shown(r.folder).size());
  auto pad = [](const std::string &s, size_t w, bool right) {
    std::string fill(w > s.size() ? w - s.size() : 0, ' ');
    return right ? fill + s : s + fill;
  };
  out << pad("Backup", width, false) << "  " << pad("Date", 16, false) << "  " << pad("Files", 8, true) << "  "
      << pad("Size", 10, true) << "  " << pad("Own", 10, true) << "  " << pad("Total", 10, true) << "\n";
  for (const auto &r : rows) {
    std::string date = r.date ? BackupDateText(r.date)
                       : r.hasCatalogue ? "(bad catalogue)"
                                        : "(unfinished)";
    out << pad(Shown(r.folder), width, false) << "  " << pad(date, 16, false) << "  "
        << pad(std::to_string(r.files), 8, true) << "  " << pad(SizeText(r.size), 10, true) << "  "
        << pad(SizeText(r.own), 10, true) << "  " << pad(SizeText(r.total), 10, true) << "\n";
  }
  if (madeUpInodes)
    out << "This file system (FUSE, such as sshfs) does not keep inode numbers: files count as shared\n"
           "between backups when their path, size and modification time agree.\n";
  out << Plural(rows.size(), "backup") << (rows.size() == 1 ? " takes " : " take ") << SizeText(rows.back().total) << " on disk.\n";
  return unreadable ? kBadInput : kFine;
}

}  // namespace vxdb
