// What the backups under a destination root cost on disk, as "stats" shows
// it, "report" draws it and "prune" frees it: one count for all three.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include "Backups.h"

namespace vxdb {

// Whether the file system that holds fd shows real inode numbers and link
// counts, as local disks do (exFAT and NTFS through FUSE included, whether
// the kernel calls the mount "fuseblk" or, for ntfs-3g on an image or a
// device it opens itself, "fuse"). A FUSE file system with a subtype, such
// as sshfs ("fuse.sshfs"), serves files from elsewhere: it makes up an inode
// number per name and shows one link per file. fsType gets its name when
// known.
bool LinksAreReal(int fd, std::string *fsType);

// The space a file takes on its disk: its blocks, which count the disk's
// allocation units as du does, not its size.
uint64_t DiskUsage(const struct stat &st);

// Files of several backups, each counted once, by the space they take on
// the disk. Where links are real, a file is its inode; elsewhere it is
// taken to be shared by backups that hold it under the same path, size and
// time, as the plug-in's hard links are.
class SpaceCount {
public:
  explicit SpaceCount(bool linksReal) : real_(linksReal) {}
  // A regular file of backup k at path below its folder.
  void Add(size_t k, const std::string &path, const struct stat &st);
  // Per backup of n: the bytes every link of which lies in that backup,
  // which removing it alone would free.
  std::vector<uint64_t> Own(size_t n) const;
  // Per backup of n: the bytes it is the first to hold.
  std::vector<uint64_t> First(size_t n) const;
  // Removing the backups of n marked in gone: per backup, the bytes freed
  // with it, each file put to the last of them that holds it.
  std::vector<uint64_t> Freed(size_t n, const std::vector<bool> &gone) const;
  bool Real() const { return real_; }

private:
  struct Node {
    uint64_t size = 0, links = 0, seen = 0;
    std::map<size_t, uint64_t> in;  // links in each backup
  };
  uint64_t Links(const Node &n) const { return real_ ? n.links : n.seen; }
  bool real_;
  std::unordered_map<std::string, Node> nodes_;
};

struct BackupStats {
  std::string folder;  // its name under the root
  FolderState state = FolderState::kComplete;
  bool partial = false;
  uint32_t date = 0;  // from the catalogue, 0 when there is none
  uint64_t notBackedUp = 0;  // files the catalogue lists as not backed up
  bool clockAhead = false;   // dated by a clock set ahead
  int64_t written = 0;       // when its catalogue was written
  uint64_t changedWhileRead = 0;  // copies that may mix two versions
  uint64_t files = 0, size = 0;  // its files and their sizes
  uint64_t disk = 0;             // the space they take on the disk, each counted whole
  uint64_t own = 0, total = 0;   // space on the disk: this one's alone, and all so far
  bool Complete() const { return state == FolderState::kComplete; }
};

struct StatsHooks {
  // A folder below the root that could not be read.
  std::function<void(const std::string &path, int err)> onError;
  // Each catalogue that loaded, with its row and the row's index, oldest
  // first; the hook may keep it.
  std::function<void(const BackupStats &row, size_t index, Catalogue &&cat)> onCatalogue;
};

// One row per folder of the destination (dated ones oldest first, then any
// other with a catalogue); every shared file is counted once. linksReal says
// whether sharing was read from the disk or guessed, fsType names the file
// system. False with why when the root cannot be listed; unreadable folders
// go to the hooks.
bool CollectStats(const std::string &root, std::vector<BackupStats> *rows, const StatsHooks &hooks, bool *linksReal,
                  std::string *fsType, std::string *why);

}  // namespace vxdb
