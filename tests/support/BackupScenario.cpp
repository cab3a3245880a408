#include "BackupScenario.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

#include "app/Vaultrix.h"
#include "checksum/Md5.h"

namespace fs = std::filesystem;

std::string Md5Text(const byte *digest)
{
  char s[33];
  for (int i = 0; i < 16; i++)
    snprintf(s + 2 * i, 3, "%02x", digest[i]);
  return s;
}

ino_t Inode(const std::string &path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

::testing::AssertionResult VxdbIntact(const std::string &folder)
{
  ProgramRun v = RunVxdbTool({"verify", folder});
  if (v.status == 0 && v.out.find("Intact: ") != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "vxdb verify " << folder << ": exit status " << v.status << "\n"
                                       << v.out << v.err;
}

TreeSnapshot SnapshotTree(const std::string &root)
{
  TreeSnapshot s;
  std::error_code ec;
  if (!fs::is_directory(root, ec))
    return s;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
      s[it->path().string().substr(root.size())] = {st.st_ino, ReadFile(it->path())};
  }
  return s;
}

std::string Md5Hex(const std::string &path)
{
  byte digest[16];
  return MD5AbsFile(path.c_str(), digest) ? Md5Text(digest) : "";
}

BackupScenario::BackupScenario(const std::string &settings, const std::string &backupRoot)
    : root_(disk_.path()), backupRoot_(backupRoot.empty() ? disk_ / "Backup" : backupRoot),
      ownBackupRoot_(backupRoot.empty())
{
  MakeRecorderDisk(disk_.path(), settings.c_str());
}

void BackupScenario::UseDisk(const std::string &root)
{
  root_ = root;
  if (ownBackupRoot_)
    backupRoot_ = root + "/Backup";
}

TapsimResult BackupScenario::Run(const std::string &date, const std::vector<std::string> &extra)
{
  std::string systemLog = Pf("/Settings/TAPSystem.log");
  size_t before = ReadFile(systemLog).size();
  std::vector<std::string> args = {"--disk", root_, "--clock", date + " 10:00:00", "--tick-step", "1"};
  if (std::find(extra.begin(), extra.end(), "--max-events") == extra.end())
    args.insert(args.end(), {"--max-events", "100000"});
  args.insert(args.end(), extra.begin(), extra.end());
  TapsimResult r = RunTapsim(args);
  std::string after = ReadFile(systemLog);
  log = r.err + (after.size() >= before ? after.substr(before) : after);
  return r;
}

std::map<std::string, std::string> BackupScenario::OwnerFiles() const
{
  std::map<std::string, std::string> files;
  for (auto &[rel, seen] : SnapshotTree(Pf("")))
    if (rel.rfind("/Settings/", 0) != 0)
      files[rel] = seen.content;
  return files;
}

::testing::AssertionResult BackupScenario::Complete(const std::string &date) const
{
  std::string day = Day(date);
  for (auto &[rel, content] : OwnerFiles()) {
    if (!Exists(day + rel))
      return ::testing::AssertionFailure() << rel << " is missing from " << date;
    if (ReadFile(day + rel) != content)
      return ::testing::AssertionFailure() << rel << " differs in " << date;
  }
  VXDB db;
  memset(&db, 0, sizeof db);
  if (!LoadVXDB((day + "/VXDB.db").c_str(), &db))
    return ::testing::AssertionFailure() << "no catalogue in " << date;
  std::map<std::string, std::string> listed;
  for (int i = 0; i < db.NrEntries; i++)
    listed[std::string(db.Text + db.Entries[i].FolderOffset) + (db.Text + db.Entries[i].NameOffset)] =
        Md5Text(db.Entries[i].MD5);
  FreeVXDB(&db);
  for (auto &[rel, content] : OwnerFiles())
    if (!listed.count(rel))
      return ::testing::AssertionFailure() << rel << " is not in the catalogue of " << date;
  for (auto &[rel, md5] : listed)
    if (Md5Hex(day + rel) != md5)
      return ::testing::AssertionFailure() << "the catalogue of " << date << " has another digest for " << rel;
  return ::testing::AssertionSuccess();
}

std::set<std::string> BackupScenario::WithoutGoodCopy() const
{
  // Each backup's catalogue, with its notes, by day: the newest last.
  std::map<std::string, std::map<std::string, std::pair<std::string, uint32_t>>> days;
  std::error_code ec;
  for (auto &e : fs::directory_iterator(backupRoot_, ec))
    for (const char *name : {VXDB_FILE_NAME, VXDB_PARTIAL_NAME}) {
      VXDB db;
      memset(&db, 0, sizeof db);
      if (!e.is_directory() || !LoadVXDB((e.path().string() + "/" + name).c_str(), &db))
        continue;
      auto &files = days[e.path().filename().string()];
      for (int i = 0; i < db.NrEntries; i++)
        files[std::string(EntryText(&db, db.Entries[i].FolderOffset)) + EntryText(&db, db.Entries[i].NameOffset)] = {
            Md5Text(db.Entries[i].MD5), db.Entries[i].Reserved};
      FreeVXDB(&db);
    }
  std::set<std::string> without;
  if (days.empty())
    return without;
  auto good = [&](const std::string &day, const std::string &rel, const std::pair<std::string, uint32_t> &e) {
    return e.first != std::string(32, '0') && !(e.second & ENTRY_CHANGED) && Md5Hex(Day(day) + rel) == e.first;
  };
  for (auto &[rel, entry] : days.rbegin()->second) {
    if (entry.second & ENTRY_FOLDER)
      continue;
    bool found = false;
    for (auto it = days.rbegin(); it != days.rend() && !found; ++it) {
      auto at = it->second.find(rel);
      found = at != it->second.end() && good(it->first, rel, at->second);
    }
    if (!found)
      without.insert(rel);
  }
  return without;
}

void BackupScenario::Checkpoint()
{
  settings_.clear();
  for (auto &[rel, seen] : SnapshotTree(Pf("/Settings")))
    settings_[rel] = seen.content;
  days_.clear();
  std::error_code ec;
  for (auto &e : fs::directory_iterator(backupRoot_, ec))
    days_.push_back(e.path().string());
  share_ = ReadFile(backupRoot_ + "/" VXDB_SHARE_NAME);
}

void BackupScenario::Restore()
{
  std::error_code ec;
  std::vector<fs::path> made;
  for (auto &e : fs::directory_iterator(backupRoot_, ec))
    if (std::find(days_.begin(), days_.end(), e.path().string()) == days_.end())
      made.push_back(e.path());
  for (auto &p : made)
    fs::remove_all(p, ec);
  for (auto &[rel, seen] : SnapshotTree(Pf("/Settings")))
    if (!settings_.count(rel))
      fs::remove(Pf("/Settings" + rel), ec);
  for (auto &[rel, content] : settings_)
    WriteFile(Pf("/Settings" + rel), content);
  // The share read in full moves on at each run: every run starts from the same.
  if (share_.empty())
    fs::remove(backupRoot_ + "/" VXDB_SHARE_NAME, ec);
  else
    WriteFile(backupRoot_ + "/" VXDB_SHARE_NAME, share_);
}
