#include <unordered_set>

#include "Catalogue.h"
#include "Files.h"

namespace vxdb {
namespace {

// The plug-in writes folders as "/a/b/" and names without a slash; anything
// else comes from a damaged or crafted catalogue.
std::string Problem(const Entry &e, bool *escapes)
{
  *escapes = false;
  if (e.PathLength() > kMaxPath)
    return "has a path longer than " + std::to_string(kMaxPath) + " bytes";
  std::string_view f = e.folder, n = e.name;
  std::vector<std::string> parts = SplitPath(e.Path());
  *escapes = true;
  for (const auto &part : parts)
    if (part == "..")
      return "climbs out of its folder with \"..\"";
  if (!n.empty() && n[0] == '/')
    return "has an absolute file name";
  *escapes = false;
  if (n.empty() || n == "." || n.find('/') != std::string_view::npos)
    return "has no plain file name";
  if (!f.empty() && (f.front() != '/' || f.back() != '/'))
    return "has a malformed folder";
  if (f.find("//") != std::string_view::npos)
    return "has an empty folder name";
  for (const auto &part : parts)
    if (part == ".")
      return "has a \".\" folder";
  return "";
}

}  // namespace

std::vector<Place> PlaceEntries(const Catalogue &cat)
{
  std::vector<Place> places(cat.entries.size());
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < cat.entries.size(); ++i) {
    Place &p = places[i];
    p.problem = Problem(cat.entries[i], &p.escapes);
    if (!p.problem.empty())
      continue;
    p.parts = SplitPath(cat.entries[i].Path());
    for (const auto &part : p.parts)
      p.key += "/" + part;
    if (!seen.insert(p.key).second) {
      p.problem = "is listed twice";
      p.parts.clear();
    }
  }
  return places;
}

}  // namespace vxdb
