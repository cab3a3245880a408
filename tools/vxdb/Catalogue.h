// A backup's catalogue as the tool sees it, read from an untrusted file.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Md5.h"

namespace vxdb {

// The longest relative path the plug-in can write; a longer one comes from a
// crafted catalogue.
constexpr size_t kMaxPath = 512;

// Folder and name point into the catalogue's text pool, which many entries
// share: a copy per entry could need far more memory than the file's size.
struct Entry {
  std::string_view folder, name;
  uint32_t pathCrc = 0;
  uint64_t size = 0;
  int32_t changeTime = 0, modifyTime = 0;
  Digest md5{};
  uint32_t notes = 0;  // VXDB_NOTE_ bits from the notes beside the catalogue
  size_t PathLength() const { return folder.size() + name.size(); }
  std::string Path() const;
  // The path as far as it may be shown: an over-long one cut at kMaxPath
  // bytes and marked.
  std::string ShortPath() const;
};

struct Catalogue {
  uint32_t backupDate = 0;
  std::vector<Entry> entries;
  std::shared_ptr<const std::string> text;  // the pool the entries point into
  // Why the notes beside it say nothing reliable ("" when they do, or when
  // there are none); every entry then counts as changed while read.
  std::string notesProblem;
};

// A copy the backup holds whole and read unchanged: a digest, and no note
// that it changed while it was read. The same meaning as on the recorder.
bool GoodCopy(const Entry &e);
// The entry names a folder the backup could not take.
bool IsFolder(const Entry &e);

// Decodes and checks a catalogue file's bytes; err says what is wrong.
bool ParseCatalogue(std::string_view bytes, Catalogue *cat, std::string *err);
bool LoadCatalogue(const std::string &file, Catalogue *cat, std::string *err);

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
