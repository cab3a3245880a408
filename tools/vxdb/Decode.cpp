#include <cstring>

#include "Catalogue.h"
#include "app/VXDBFormat.h"

namespace vxdb {

bool ParseCatalogue(std::string_view bytes, Catalogue *cat, std::string *err)
{
  auto *file = reinterpret_cast<const uint8_t *>(bytes.data());
  VXDBHeader h;
  int32_t bad = -1;
  int r = VXDBValidate(file, bytes.size(), &h, &bad);
  if (r != VXDB_OK) {
    *err = VXDBErrorText(r);
    if (bad >= 0)
      *err += " (entry " + std::to_string(bad + 1) + ")";
    return false;
  }
  cat->backupDate = h.BackupDate;
  cat->entries.clear();
  cat->entries.reserve(size_t(h.NrEntries));
  const uint8_t *records = file + VXDB_HEADER_SIZE;
  size_t textAt = VXDB_HEADER_SIZE + size_t(h.NrEntries) * VXDB_ENTRY_SIZE;
  auto pool = std::make_shared<std::string>(textAt < bytes.size() ? bytes.substr(textAt) : std::string_view());
  cat->text = pool;
  const char *text = pool->data();
  // The validation has placed every offset at a string that ends in the pool.
  auto str = [&](int32_t offset) { return std::string_view(text + offset, strlen(text + offset)); };
  for (int32_t i = 0; i < h.NrEntries; ++i) {
    VXDBEntry raw;
    VXDBDecodeEntry(records + size_t(i) * VXDB_ENTRY_SIZE, &raw);
    Entry e;
    e.folder = str(raw.FolderOffset);
    e.name = str(raw.NameOffset);
    e.pathCrc = raw.PathCRC;
    e.size = raw.FileSize;
    e.changeTime = raw.ChangeTime;
    e.modifyTime = raw.ModifyTime;
    memcpy(e.md5.data(), raw.MD5, 16);
    cat->entries.push_back(std::move(e));
  }
  return true;
}

std::string Entry::Path() const
{
  std::string path;
  path.reserve(PathLength());
  return path.append(folder).append(name);
}

std::string Entry::ShortPath() const
{
  if (PathLength() <= kMaxPath)
    return Path();
  std::string path(folder.substr(0, kMaxPath));
  path.append(name.substr(0, kMaxPath - path.size()));
  return path + "... (" + std::to_string(PathLength()) + " bytes)";
}

}  // namespace vxdb
