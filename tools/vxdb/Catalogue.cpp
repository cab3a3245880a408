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

bool OpenBackup(const std::string &arg, Backup *backup, std::string *err)
{
  struct stat st;
  if (stat(arg.c_str(), &st) != 0) {
    *err = Shown(arg) + ": " + ErrnoText(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    backup->folder = arg;
    backup->catalogueFile = arg + "/" VXDB_FILE_NAME;
    if (stat(backup->catalogueFile.c_str(), &st) != 0 && errno == ENOENT) {
      *err = Shown(arg) + ": no " VXDB_FILE_NAME " here (not a backup folder, or its backup did not finish)";
      return false;
    }
  } else {
    backup->catalogueFile = arg;
    size_t slash = arg.rfind('/');
    backup->folder = slash == std::string::npos ? "." : slash == 0 ? "/" : arg.substr(0, slash);
  }
  return LoadCatalogue(backup->catalogueFile, &backup->cat, err);
}

}  // namespace vxdb
