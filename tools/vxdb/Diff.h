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
  const char *kind;  // added, removed, changed, unchanged
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

// The two catalogues compared as ByPath gives them.
CatalogueDiff DiffCatalogues(const Catalogue &old, const Catalogue &now, bool withUnchanged, std::ostream *err);

}  // namespace vxdb
