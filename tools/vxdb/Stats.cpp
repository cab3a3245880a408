#include "Stats.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include "Catalogue.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "app/VXDBFormat.h"

namespace vxdb {

bool LinksAreReal(int fd, std::string *fsType)
{
  constexpr long kFuseMagic = 0x65735546;
  struct stat st;
  struct statfs sfs;
  fsType->clear();
  if (fstat(fd, &st) != 0)
    return true;
  // mountinfo: ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [FIELDS...] - TYPE SOURCE ...
  std::ifstream info("/proc/self/mountinfo");
  std::string line, want = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  while (std::getline(info, line)) {
    std::istringstream words(line);
    std::string id, parent, dev, word;
    words >> id >> parent >> dev;
    if (dev != want)
      continue;
    while (words >> word && word != "-") {
    }
    words >> *fsType;
    break;
  }
  if (fsType->empty() && fstatfs(fd, &sfs) == 0 && long(sfs.f_type) == kFuseMagic)
    *fsType = "fuse";
  // "fuseblk" and "fuse" are a disk's own driver (exfat-fuse, ntfs-3g), with
  // real inodes and links; a subtype names a file system served from elsewhere.
  return fsType->rfind("fuse.", 0) != 0;
}

uint64_t DiskUsage(const struct stat &st) { return uint64_t(st.st_blocks) * 512; }

void SpaceCount::Add(size_t k, const std::string &path, const struct stat &st)
{
  std::string id = real_ ? std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino)
                         : path + '\0' + std::to_string(st.st_size) + '\0' + std::to_string(st.st_mtime);
  Node &n = nodes_[id];
  n.size = DiskUsage(st);
  n.links = uint64_t(st.st_nlink);
  ++n.seen;
  ++n.in[k];
}

std::vector<uint64_t> SpaceCount::Own(size_t count) const
{
  std::vector<uint64_t> own(count);
  for (const auto &[id, n] : nodes_)
    if (n.in.size() == 1 && n.in.begin()->second >= Links(n))
      own[n.in.begin()->first] += n.size;
  return own;
}

std::vector<uint64_t> SpaceCount::First(size_t count) const
{
  std::vector<uint64_t> first(count);
  for (const auto &[id, n] : nodes_)
    first[n.in.begin()->first] += n.size;
  return first;
}

std::vector<uint64_t> SpaceCount::Freed(size_t count, const std::vector<bool> &gone) const
{
  std::vector<uint64_t> freed(count);
  for (const auto &[id, n] : nodes_) {
    uint64_t links = 0;
    size_t last = count;
    for (const auto &[k, l] : n.in)
      if (gone[k]) {
        links += l;
        last = k;
      }
    if (last < count && links >= Links(n))
      freed[last] += n.size;
  }
  return freed;
}

bool CollectStats(const std::string &root, std::vector<BackupStats> *rowsOut, const StatsHooks &hooks, bool *linksReal,
                  std::string *fsType, std::string *why)
{
  std::vector<BackupStats> &rows = *rowsOut;
  rows.clear();
  Destination d;
  if (!ReadDestination(root, &d, why))
    return false;
  Fd rootfd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  *linksReal = !rootfd.ok() || LinksAreReal(rootfd.get(), fsType);
  SpaceCount space(*linksReal);
  for (size_t k = 0; k < d.folders.size() && !Interrupted(); ++k) {
    const Folder &f = d.folders[k];
    BackupStats row;
    row.folder = f.name;
    row.state = f.state;
    row.partial = f.partial;
    row.date = f.date;
    row.notBackedUp = f.notBackedUp;
    row.clockAhead = f.ClockAhead();
    row.written = f.written;
    row.changedWhileRead = f.changedWhileRead;
    std::string path = root + "/" + f.name;
    if (f.HasCatalogue() && hooks.onCatalogue) {
      Catalogue cat;
      std::string problem;
      if (LoadCatalogue(f.catalogueFile, &cat, &problem))
        hooks.onCatalogue(row, k, std::move(cat));
    }
    auto onError = [&](const std::string &where, int e) {
      if (hooks.onError)
        hooks.onError(path + where, e);
    };
    Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok())
      onError("", errno);
    else
      Walk(
          fd.get(),
          [&](const WalkItem &item) {
            if (!S_ISREG(item.st.st_mode))
              return;
            if (item.path.find('/', 1) != std::string::npos || !IsOwnFile(item.path.substr(1), item.st, nullptr)) {
              ++row.files;
              row.size += uint64_t(item.st.st_size);
            }
            row.disk += DiskUsage(item.st);
            space.Add(k, item.path, item.st);
          },
          onError);
    rows.push_back(row);
  }
  std::vector<uint64_t> own = space.Own(rows.size()), first = space.First(rows.size());
  for (size_t k = 0; k < rows.size(); ++k) {
    rows[k].own = own[k];
    rows[k].total = first[k] + (k ? rows[k - 1].total : 0);
  }
  return true;
}

int StatsCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  const std::string &root = opt.args[0];
  std::vector<BackupStats> rows;
  std::string why, fsType;
  bool unreadable = false, linksReal = true;
  StatsHooks hooks;
  hooks.onError = [&](const std::string &path, int e) {
    err << "vxdb stats: " << Shown(path) << ": " << ErrnoText(e) << "\n";
    unreadable = true;
  };
  if (!CollectStats(root, &rows, hooks, &linksReal, &fsType, &why)) {
    err << "vxdb stats: " << Shown(root) << ": " << why << "\n";
    return kBadInput;
  }
  if (Interrupted())
    return InterruptedExit(opt, err, "");
  if (rows.empty()) {
    err << "vxdb stats: " << Shown(root) << ": no backups here\n";
    return kBadInput;
  }

  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("root").String(root).Key("space_guessed").Bool(!linksReal);
    if (!fsType.empty())
      j.Key("file_system").String(fsType);
    j.Key("backups").BeginArray();
    for (const auto &r : rows) {
      j.BeginObject().Key("folder").String(r.folder).Key("date");
      if (r.date)
        j.String(BackupDateRfc3339(r.date));
      else
        j.Null();
      j.Key("state").String(StateKey(FolderStateName(r.state)));
      j.Key("files").Unsigned(r.files).Key("size").Unsigned(r.size).Key("disk_size").Unsigned(r.disk);
      j.Key("own_size").Unsigned(r.own).Key("total_size").Unsigned(r.total).EndObject();
    }
    j.EndArray().EndObject().Finish();
    return unreadable ? kBadInput : kFine;
  }
  size_t width = 6, stateWidth = 5;
  for (const auto &r : rows) {
    width = std::max(width, Shown(r.folder).size());
    stateWidth = std::max(stateWidth, FolderStateCounted(r.state, r.notBackedUp, r.changedWhileRead).size());
  }
  std::string mark = linksReal ? "" : "~";
  out << Pad("Backup", width) << "  " << Pad("Date", 16) << "  " << Pad("State", stateWidth)
      << "  " << Pad("Files", 8, true) << "  " << Pad("Size", 11, true) << "  " << Pad("Own", 12, true) << "  "
      << Pad("Total", 12, true) << "\n";
  for (const auto &r : rows)
    out << Pad(Shown(r.folder), width) << "  " << Pad(r.date ? BackupDateText(r.date) : "", 16) << "  "
        << Pad(FolderStateCounted(r.state, r.notBackedUp, r.changedWhileRead), stateWidth) << "  " << Pad(std::to_string(r.files), 8, true) << "  "
        << Pad(SizeText(r.size), 11, true) << "  " << Pad(mark + SizeText(r.own), 12, true) << "  "
        << Pad(mark + SizeText(r.total), 12, true) << "\n";
  if (!linksReal)
    out << "This file system (" << (fsType.empty() ? "FUSE" : fsType)
        << ") shows no hard links: files count as shared between backups when their\n"
           "path, size and modification time agree, so Own and Total (marked ~) are guesses.\n";
  out << Plural(rows.size(), "folder") << (rows.size() == 1 ? " takes " : " take ") << mark
      << SizeText(rows.back().total) << " on disk.\n";
  return unreadable ? kBadInput : kFine;
}

}  // namespace vxdb
