#include <fcntl.h>
#include <map>
#include <sys/stat.h>

#include "Catalogue.h"
#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Progress.h"
#include "app/VXDBFormat.h"

namespace vxdb {
namespace {

struct Finding {
  const char *kind;  // missing, changed, extra, unsafe, unreadable, unverified
  std::string path, detail;
};

bool IsDamage(const Finding &f) { return std::string(f.kind) != "unverified"; }

void WriteJson(std::ostream &out, const Backup &b, const std::vector<Finding> &findings, bool intact,
               uint64_t files, uint64_t bytes)
{
  Json j(out);
  j.BeginObject().Key("backup").String(b.folder).Key("date").String(BackupDateText(b.cat.backupDate));
  j.Key("intact").Bool(intact).Key("files").Unsigned(files).Key("bytes").Unsigned(bytes);
  for (const char *kind : {"missing", "changed", "extra", "unsafe", "unreadable", "unverified"}) {
    j.Key(kind).BeginArray();
    for (const auto &f : findings) {
      if (std::string(f.kind) != kind)
        continue;
      j.BeginObject().Key("path").String(f.path);
      if (!f.detail.empty())
        j.Key("reason").String(f.detail);
      j.EndObject();
    }
    j.EndArray();
  }
  j.EndObject().Finish();
}

}  // namespace

int VerifyCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  Backup b;
  std::string why;
  if (!OpenBackup(opt.args[0], &b, &why)) {
    err << "vxdb verify: " << why << "\n";
    return kBadInput;
  }
  Fd root(open(b.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.ok()) {
    err << "vxdb verify: " << Shown(b.folder) << ": " << ErrnoText(errno) << "\n";
    return kBadInput;
  }

  std::vector<Finding> findings;
  std::map<std::string, struct stat> onDisk;
  Walk(
      root.get(), [&](const WalkItem &item) { onDisk[item.path] = item.st; },
      [&](const std::string &path, int e) { findings.push_back({"unreadable", path, ErrnoText(e)}); });
  onDisk.erase("/" VXDB_FILE_NAME);

  std::vector<Place> places = PlaceEntries(b.cat);
  uint64_t totalFiles = 0, totalBytes = 0;
  for (size_t i = 0; i < places.size(); ++i) {
    if (!places[i].problem.empty() || !onDisk.count(places[i].key))
      continue;
    ++totalFiles;
    totalBytes += b.cat.entries[i].size;
  }

  uint64_t checkedFiles = 0, checkedBytes = 0;
  {
    Progress progress(ProgressStream(opt, err), totalFiles, totalBytes);
    for (size_t i = 0; i < places.size(); ++i) {
      const Entry &e = b.cat.entries[i];
      const Place &p = places[i];
      if (!p.problem.empty()) {
        findings.push_back({"unsafe", e.Path(), p.problem});
        continue;
      }
      auto found = onDisk.find(p.key);
      if (found == onDisk.end()) {
        findings.push_back({"missing", p.key, ""});
        continue;
      }
      struct stat st = found->second;
      onDisk.erase(found);
      if (!S_ISREG(st.st_mode)) {
        findings.push_back({"changed", p.key, "not a regular file"});
        continue;
      }
      if (uint64_t(st.st_size) != e.size) {
        findings.push_back({"changed", p.key,
                            "size " + std::to_string(st.st_size) + ", catalogue " + std::to_string(e.size)});
        progress.FileDone();
        continue;
      }
      Fd fd = OpenFileBeneath(root.get(), p.parts);
      Digest digest;
      uint64_t bytes = 0;
      if (!fd.ok() || !HashDescriptor(fd.get(), &digest, &bytes, &progress)) {
        findings.push_back({"unreadable", p.key, ErrnoText(errno)});
        progress.FileDone();
        continue;
      }
      progress.FileDone();
      ++checkedFiles;
      checkedBytes += bytes;
      if (IsZero(e.md5))
        findings.push_back({"unverified", p.key, "no digest recorded"});
      else if (digest != e.md5)
        findings.push_back({"changed", p.key, "contents differ"});
    }
  }
  for (const auto &[path, st] : onDisk)
    findings.push_back({"extra", path, S_ISREG(st.st_mode) ? "" : "not a regular file"});

  std::map<std::string, int> counts;
  bool intact = true;
  for (const auto &f : findings) {
    ++counts[f.kind];
    intact = intact && !IsDamage(f);
  }
  if (opt.json) {
    WriteJson(out, b, findings, intact, checkedFiles, checkedBytes);
    return intact ? kFine : kFound;
  }
  for (const auto &f : findings) {
    std::string kind = f.kind;
    out << kind << std::string(kind.size() < 11 ? 11 - kind.size() : 1, ' ') << Shown(f.path);
    if (!f.detail.empty())
      out << " (" << f.detail << ")";
    out << "\n";
  }
  std::string of = Plural(b.cat.entries.size(), "file") + " in the catalogue of " +
                   BackupDateText(b.cat.backupDate);
  if (intact) {
    out << "Intact: " << Plural(checkedFiles, "file") << ", " << SizeText(checkedBytes) << ", match the " << of;
    if (counts["unverified"])
      out << " (" << counts["unverified"] << " without a digest)";
    out << ".\n";
    return kFine;
  }
  out << "DAMAGED:";
  const char *sep = " ";
  for (const char *kind : {"missing", "changed", "extra", "unsafe", "unreadable"}) {
    if (counts[kind]) {
      out << sep << counts[kind] << " " << kind;
      sep = ", ";
    }
  }
  out << " (of " << of << ").\n";
  return kFound;
}

}  // namespace vxdb
