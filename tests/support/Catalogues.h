// Catalogues for tests that need backups by the hundred without running the
// plug-in for each.
#pragma once
#include <cstring>
#include <string>

#include "app/VXDBFormat.h"

// A catalogue of no files: enough for a folder to count as a backup.
inline std::string EmptyCatalogue(uint32_t backupDate = 0)
{
  VXDBHeader h{};
  memcpy(h.Magic, VXDB_MAGIC, 4);
  h.Version = VXDB_VERSION;
  h.BackupDate = backupDate;
  h.TextLength = 1;
  std::string out(VXDB_HEADER_SIZE, '\0');
  VXDBEncodeHeader(&h, reinterpret_cast<uint8_t *>(out.data()));
  return out;
}
