// A backup's catalogue as the tool sees it, read from an untrusted file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Md5.h"

namespace vxdb {

struct Entry {
  std::string folder, name;
  uint32_t pathCrc = 0;
  uint64_t size = 0;
  int32_t changeTime = 0, modifyTime = 0;
  Digest md5{};
  std::string Path() const { return folder + name; }
};

struct Catalogue {
  uint32_t backupDate = 0;
  std::vector<Entry> entries;
};

// Decodes and checks a catalogue file's bytes; err says what is wrong.
bool ParseCatalogue(std::string_view bytes, Catalogue *cat, std::string *err);
bool LoadCatalogue(const std::string &file, Catalogue *cat, std::string *err);

// A dated backup folder and its catalogue. The argument names the folder or
// the catalogue file in it.
struct Backup {
  std::string folder, catalogueFile;
  Catalogue cat;
};
bool OpenBackup(const std::string &arg, Backup *backup, std::string *err);

// Where an entry lies below the folder it belongs to. An entry whose path
// could reach outside that folder, or that another entry already claims, has
// a problem and no place.
struct Place {
  std::vector<std::string> parts;  // folders, then the name
  std::string key;                 // "/" joined, beginning with "/"
  std::string problem;
  bool escapes = false;  // a plain join would leave the folder
};
std::vector<Place> PlaceEntries(const Catalogue &cat);

}  // namespace vxdb
