#include <algorithm>

#include "Catalogue.h"
#include "Commands.h"
#include "Output.h"

namespace vxdb {

int ListCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Backup b;
  std::string why;
  if (!OpenBackup(opt.args[0], &b, &why)) {
    err << "vxdb list: " << why << "\n";
    return kBadInput;
  }
  std::vector<Place> places = PlaceEntries(b.cat);
  uint64_t total = 0;
  for (const auto &e : b.cat.entries)
    total += e.size;

  if (opt.json) {
    Json j(out);
    j.BeginObject().Key("catalogue").String(b.catalogueFile);
    j.Key("date").String(BackupDateText(b.cat.backupDate)).Key("date_packed").Unsigned(b.cat.backupDate);
    j.Key("size").Unsigned(total).Key("files").BeginArray();
    for (size_t i = 0; i < b.cat.entries.size(); ++i) {
      const Entry &e = b.cat.entries[i];
      j.BeginObject();
      PathFields(j, e.ShortPath());
      j.Key("size").Unsigned(e.size);
      j.Key("mtime").Number(e.modifyTime).Key("ctime").Number(e.changeTime);
      j.Key("md5").String(ToHex(e.md5)).Key("path_crc").Unsigned(e.pathCrc);
      if (!places[i].problem.empty())
        j.Key("problem").String(places[i].problem);
      j.EndObject();
    }
    j.EndArray().EndObject().Finish();
  } else {
    out << "Backup of " << BackupDateText(b.cat.backupDate) << ": " << b.cat.entries.size() << " files, "
        << SizeText(total) << "\n";
    size_t pathWidth = 0, sizeWidth = 0;
    for (const auto &e : b.cat.entries) {
      pathWidth = std::max(pathWidth, Shown(e.ShortPath()).size());
      sizeWidth = std::max(sizeWidth, std::to_string(e.size).size());
    }
    pathWidth = std::min<size_t>(pathWidth, 60);
    for (const auto &e : b.cat.entries) {
      std::string path = Shown(e.ShortPath()), size = std::to_string(e.size);
      out << path << std::string(pathWidth > path.size() ? pathWidth - path.size() : 0, ' ') << "  "
          << std::string(sizeWidth - size.size(), ' ') << size << "  " << TimeText(e.modifyTime) << "  "
          << ToHex(e.md5) << "\n";
    }
  }
  int status = kFine;
  for (size_t i = 0; i < places.size(); ++i) {
    if (places[i].problem.empty())
      continue;
    err << "vxdb list: " << Shown(b.cat.entries[i].ShortPath()) << " " << places[i].problem << "\n";
    status = kFound;
  }
  return status;
}

}  // namespace vxdb
