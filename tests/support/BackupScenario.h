// A recorder whose /ProgramFiles is backed up through the simulator day
// after day, and whose backups are looked at from outside: contents, inode
// numbers and catalogues.  For the fault tests, a checkpoint puts the disk
// back as it was before a run, so that every run starts from the same state.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "TestSupport.h"

// A regular file as seen from outside.
struct SeenFile {
  ino_t ino = 0;
  std::string content;
  bool operator==(const SeenFile &o) const { return ino == o.ino && content == o.content; }
};
// Every regular file below a folder, by its path below it ("/a/b").
using TreeSnapshot = std::map<std::string, SeenFile>;
TreeSnapshot SnapshotTree(const std::string &root);

class BackupScenario {
public:
  // settings: the Vaultrix.ini; backupRoot: the Linux path of the folder
  // that DestPath names (default: the disk's /Backup, DestPath=/mnt/hd/Backup).
  explicit BackupScenario(const std::string &settings = "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n",
                          const std::string &backupRoot = "");

  const std::string &Disk() const { return root_; }
  // The same recorder on another folder (a mounted disk image); a backup
  // root on the disk's own /Backup moves with it.
  void UseDisk(const std::string &root);
  std::string Pf(const std::string &rel) const { return root_ + "/ProgramFiles" + rel; }
  std::string Day(const std::string &date) const { return backupRoot_ + "/" + date; }
  std::string IniPath() const { return Pf("/Settings/Vaultrix/Vaultrix.ini"); }
  void Source(const std::string &rel, const std::string &content) { WriteFile(Pf(rel), content); }

  // One load of the plug-in at 10:00 of that day (virtual ticks, one per
  // event, at most 100000 unless extra says --max-events).  log holds what
  // this run logged.
  TapsimResult Run(const std::string &date, const std::vector<std::string> &extra = {});
  bool Logged(const std::string &text) const { return log.find(text) != std::string::npos; }

  // The owner's files of the source (not the recorder's settings and logs,
  // which change while the backup runs), by relative path.
  std::map<std::string, std::string> OwnerFiles() const;
  // Every owner file is in the day's backup byte for byte, and its catalogue
  // lists every file with the digest of the copy it holds.
  ::testing::AssertionResult Complete(const std::string &date) const;
  // The files that the newest backup lists (folders it could not take
  // aside) without a good copy in any backup: one with a digest, no note
  // that it changed while read, and those bytes on the disk, re-hashed.
  std::set<std::string> WithoutGoodCopy() const;

  // The settings folder, the dated folders and the share state as they are
  // now; Restore removes dated folders made since and puts the settings
  // files and the share state back.
  void Checkpoint();
  void Restore();

  std::string log;

private:
  TempDir disk_;
  std::string root_, backupRoot_;
  bool ownBackupRoot_;
  std::map<std::string, std::string> settings_;
  std::vector<std::string> days_;
  std::string share_;
};

// The MD5 digest of a file's contents in hex ("" when it cannot be read),
// and a digest in hex.
std::string Md5Hex(const std::string &path);
std::string Md5Text(const byte *digest);
// A file's inode number, 0 when there is none.
ino_t Inode(const std::string &path);
// vxdb verify finds the backup folder intact: exit status 0, "Intact: ".
::testing::AssertionResult VxdbIntact(const std::string &folder);
