// Catalogues for tests that need backups by the hundred without running the
// plug-in for each.
#pragma once
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

// One file of a backup written by hand: its path ("/a/b.dat"), its bytes,
// and how the plug-in would have listed it: backed up, not backed up (the
// zero digest), changed while read or a folder it could not take (notes).
struct HandFile {
  std::string path, content;
  bool backedUp = true;
  uint32_t notes = 0;
};

// The catalogue the plug-in would write for these files, and its notes
// ("" when there is nothing to note).  digest gives a content's MD5.
template <typename Digest>
std::pair<std::string, std::string> HandCatalogue(const std::vector<HandFile> &files, uint32_t date, Digest digest)
{
  std::string text(1, '\0'), entries, notes;
  auto offset = [&](const std::string &s) {
    size_t at = text.find('\0' + s + '\0');
    if (at != std::string::npos)
      return int32_t(at + 1);
    int32_t put = int32_t(text.size());
    text += s + '\0';
    return put;
  };
  uint32_t noted = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const HandFile &f = files[i];
    size_t slash = f.path.rfind('/');
    VXDBEntry e{};
    e.FolderOffset = offset(f.path.substr(0, slash + 1));
    e.NameOffset = offset(f.path.substr(slash + 1));
    e.PathCRC = uint32_t(i + 1) * 2654435761u;
    e.FileSize = f.backedUp ? f.content.size() : 0;
    if (f.backedUp)
      digest(f.content, e.MD5);
    uint8_t raw[VXDB_ENTRY_SIZE];
    VXDBEncodeEntry(&e, raw);
    entries.append(reinterpret_cast<char *>(raw), sizeof raw);
    if (f.notes) {
      uint8_t note[VXDB_NOTE_SIZE];
      VXDBEncodeNote(uint32_t(i), e.PathCRC, f.notes, note);
      notes.append(reinterpret_cast<char *>(note), sizeof note);
      ++noted;
    }
  }
  VXDBHeader h{};
  memcpy(h.Magic, VXDB_MAGIC, 4);
  h.Version = VXDB_VERSION;
  h.BackupDate = date;
  h.NrEntries = h.EntriesAllocated = int32_t(files.size());
  h.TextLength = h.TextAllocated = int32_t(text.size());
  std::string out(VXDB_HEADER_SIZE, '\0');
  VXDBEncodeHeader(&h, reinterpret_cast<uint8_t *>(out.data()));
  std::string head(VXDB_NOTES_HEADER_SIZE, '\0');
  VXDBEncodeNotesHeader(date, h.NrEntries, noted, reinterpret_cast<uint8_t *>(head.data()));
  return {out + entries + (files.empty() ? "" : text), noted ? head + notes : ""};
}
