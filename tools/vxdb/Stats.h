// What each backup under a destination root costs on disk, as "stats" shows
// it and "report" draws it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Catalogue.h"

namespace vxdb {

struct BackupStats {
  std::string folder;          // its name under the root
  bool hasCatalogue = false;
  std::string catalogueProblem;
  uint32_t date = 0;           // from the catalogue, 0 when it did not load
  uint64_t files = 0, size = 0, own = 0, total = 0;
  bool Complete() const { return hasCatalogue && catalogueProblem.empty(); }
};

struct StatsHooks {
  // A folder below the root that could not be read.
  std::function<void(const std::string &path, int err)> onError;
  // Each catalogue that loaded, with its row and the row's index, oldest
  // name first; the hook may keep it.
  std::function<void(const BackupStats &row, size_t index, Catalogue &&cat)> onCatalogue;
};

// One row per backup under root (dated folders and any folder with a
// catalogue), sorted by name; every shared inode is counted once. Where the
// file system makes up inode numbers (FUSE), files count as shared by path,
// size and time, and sharedByPath (if given) says so. False with why when
// the root cannot be listed; unreadable folders go to the hooks.
bool CollectStats(const std::string &root, std::vector<BackupStats> *rows, const StatsHooks &hooks,
                  bool *sharedByPath, std::string *why);

}  // namespace vxdb
