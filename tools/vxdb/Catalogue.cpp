#include "Catalogue.h"

#include <cerrno>
#include <sys/stat.h>

#include "Files.h"
#include "Output.h"
#include "app/VXDBFormat.h"

namespace vxdb {

// Far beyond any recorder's file count, and small enough for a 32-bit PC.
constexpr size_t kMaxCatalogueBytes = size_t(512) << 20;

bool LoadCatalogue(const std::string &file, Catalogue *cat, std::string *err)
{
  std::string bytes, why;
  if (!ReadWholeFile(file, kMaxCatalogueBytes, &bytes, &why)) {
    *err = Shown(file) + ": " + why;
    return false;
  }
  if (!ParseCatalogue(bytes, cat, &why)) {
    *err = Shown(file) + ": not a usable catalogue: " + why;
    return false;
  }
  return true;
}

}  // namespace vxdb
