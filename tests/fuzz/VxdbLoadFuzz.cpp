#include "VxdbLoadFuzz.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "app/Vaultrix.h"
#include "tests/support/RecorderNamespace.h"
#include "tests/support/TestSupport.h"

namespace {

const size_t kMaxInput = 1 << 20;

void Check(bool ok, const char *what)
{
  if (!ok) {
    fprintf(stderr, "catalogue loader: %s\n", what);
    abort();
  }
}

// Every offset of a loaded catalogue names a terminated string of its pool.
void CheckLoaded(const VXDB &db, const VXDBHeader &h)
{
  Check(db.NrEntries == h.NrEntries && db.EntriesAllocated == db.NrEntries, "entry counts");
  Check(db.BackupDate == h.BackupDate, "backup date");
  if (db.NrEntries == 0) {
    Check(!db.Entries && !db.Text && db.TextAllocated == 0, "buffers of an empty catalogue");
    return;
  }
  Check(db.TextLength == h.TextLength && db.TextAllocated == db.TextLength && db.Text[0] == 0, "text pool");
  for (int32_t i = 0; i < db.NrEntries; i++) {
    for (int32_t at : {db.Entries[i].NameOffset, db.Entries[i].FolderOffset}) {
      Check(at >= 0 && at < db.TextLength, "offset outside the pool");
      Check(memchr(db.Text + at, 0, (size_t)(db.TextLength - at)) != nullptr, "string runs off the pool");
    }
  }
}

void Reset(VXDB *db)
{
  memset(db, 0, sizeof *db);
  FreeVXDB(db);
}

} // namespace

int VxdbLoadFuzzOne(const uint8_t *data, size_t size)
{
  static TempDir disk;
  static std::string file, copy, source;
  if (file.empty()) {
    MakeRecorderDisk(disk.path(), nullptr);
    UseRecorderDisk(disk.path()); // where a failure would be logged
    file = disk / "VXDB.db";
    copy = disk / "copy.db";
    StrCopy(SourceRoot, sizeof SourceRoot, (disk / "ProgramFiles").c_str());
    source = std::string(SourceRoot) + "/Dir/file";
    WriteFile(source, "content");
  }
  if (size > kMaxInput)
    return 0;
  WriteFile(file, std::string((const char *)data, size));

  VXDBHeader h;
  int verdict = VXDBValidate(data, size, &h, nullptr);
  VXDB db;
  Reset(&db);
  int loaded = LoadVXDB(file.c_str(), &db);
  Check(loaded == (verdict == VXDB_OK), "loader and validation disagree");
  if (!loaded) {
    Check(!db.Entries && !db.Text && db.NrEntries == 0 && db.TextLength == 1, "failed load left something");
    return 0;
  }
  CheckLoaded(db, h);

  // A loaded catalogue grows like a scanned one: texts of its own and a file.
  // (Without entries there is no pool, whatever length the header gives it.)
  if (db.NrEntries == 0 && db.TextLength != 1) {
    FreeVXDB(&db);
    return 0;
  }
  int32_t nr = db.NrEntries;
  std::string text((const char *)data, size < 40 ? size : 40);
  text = text.c_str();
  int32_t at = AddTextToVXDB(text.c_str(), &db);
  Check(at >= 0 && strcmp(db.Text + at, text.c_str()) == 0, "text not found where it was added");
  Check(AddTextToVXDB(text.c_str(), &db) == at, "text added twice");
  VXDBEntry *entry = AddToVXDB(source.c_str(), &db);
  Check(entry && db.NrEntries == nr + 1 && strcmp(db.Text + entry->NameOffset, "file") == 0, "file not added");

  // What is saved loads back the same.
  Check(SaveVXDB(copy.c_str(), &db) == 1, "save failed");
  VXDB again;
  Reset(&again);
  Check(LoadVXDB(copy.c_str(), &again) == 1, "saved catalogue does not load");
  Check(again.NrEntries == db.NrEntries && again.TextLength == db.TextLength, "counts changed");
  Check(memcmp(again.Entries, db.Entries, (size_t)db.NrEntries * VXDB_ENTRY_SIZE) == 0, "entries changed");
  Check(memcmp(again.Text, db.Text, (size_t)db.TextLength) == 0, "text changed");
  FreeVXDB(&again);
  FreeVXDB(&db);
  return 0;
}

#ifdef VX_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  return VxdbLoadFuzzOne(data, size);
}
#endif
