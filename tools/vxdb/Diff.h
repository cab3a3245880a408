// What changed from one catalogue to another, by path, as "diff" shows it
// and "report" counts it.
#pragma once
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "Catalogue.h"

namespace vxdb {

struct Change {
  // added, removed, changed, unchanged; unknown: listed on one side only,
  // the other being a partial run that may never have reached it, or
  // without a digest on either side (not backed up)
  const char *kind;
  std::string path;
  const Entry *before = nullptr, *after = nullptr;  // into the two catalogues
};

struct CatalogueDiff {
  std::vector<Change> changes;  // by path; unchanged files only when asked for
  std::map<std::string, int> counts;
  bool Same() const;
};

// The entries of cat by path; a path listed twice counts once, as its first
// entry. One longer than the plug-in can write is left out, and named on err
// when that is given.
std::map<std::string, const Entry *> ByPath(const Catalogue &cat, std::ostream *err);

// The two catalogues compared as ByPath gives them; a partial side lists
// only what its run reached.
CatalogueDiff DiffCatalogues(const Catalogue &old, const Catalogue &now, bool withUnchanged, std::ostream *err,
                             bool oldPartial = false, bool nowPartial = false);

}  // namespace vxdb
