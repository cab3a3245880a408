#include "Catalogue.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "Files.h"
#include "Output.h"
#include "app/VXDBFormat.h"

namespace vxdb {

// Far beyond any recorder's file count, and small enough for a 32-bit PC.
constexpr size_t kMaxCatalogueBytes = size_t(512) << 20;

namespace {

// The notes beside a catalogue file, into its entries. None there: nothing
// to note. Notes that cannot be read or do not fit the catalogue leave none
// of its copies trusted as read unchanged, as on the recorder.
void LoadNotes(const std::string &file, Catalogue *cat)
{
  size_t slash = file.rfind('/');
  std::string path = (slash == std::string::npos ? std::string() : file.substr(0, slash + 1)) + VXDB_NOTES_NAME;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 && errno == ENOENT)
    return;
  std::string bytes, why = "not a regular file";
  uint32_t count = 0, index, crc, kinds;
  const size_t most = VXDB_NOTES_HEADER_SIZE + cat->entries.size() * VXDB_NOTE_SIZE;
  bool ok = S_ISREG(st.st_mode) && ReadWholeFile(path, most, &bytes, &why);
  auto *b = reinterpret_cast<const uint8_t *>(bytes.data());
  if (ok && !VXDBCheckNotesHeader(b, bytes.size(), cat->backupDate, int32_t(cat->entries.size()), &count)) {
    ok = false;
    why = "not the notes of this catalogue";
  }
  for (uint32_t i = 0; ok && i < count; ++i) {
    VXDBDecodeNote(b + VXDB_NOTES_HEADER_SIZE + size_t(i) * VXDB_NOTE_SIZE, &index, &crc, &kinds);
    ok = index < cat->entries.size() && cat->entries[index].pathCrc == crc;
    if (ok)
      cat->entries[index].notes |= kinds;
    else
      why = "a note for an entry the catalogue does not have";
  }
  if (ok)
    return;
  cat->notesProblem = Shown(path) + ": " + why;
  for (auto &e : cat->entries)
    e.notes |= VXDB_NOTE_CHANGED;
}

}  // namespace

bool GoodCopy(const Entry &e) { return VXDBGoodCopy(e.md5.data(), e.notes) != 0; }

bool IsFolder(const Entry &e) { return IsZero(e.md5) && (e.notes & VXDB_NOTE_FOLDER); }

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
  cat->notesProblem.clear();
  LoadNotes(file, cat);
  return true;
}

}  // namespace vxdb
