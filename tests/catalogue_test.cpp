// The catalogue "VXDB.db": its bytes, its growth, and the refusal of
// hostile files, against the shared layout of app/VXDBFormat.h.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/Vaultrix.h"
#include "checksum/CRC32.h"
#include "checksum/Md5.h"
#include "host/firmware/Firmware.h"
#include "host/runtime/TapRuntime.h"
#include "support/AppFixture.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes &b, uint32_t v)
{
  for (int i = 0; i < 4; i++)
    b.push_back((uint8_t)(v >> (8 * i)));
}

Bytes Load(const std::string &path)
{
  std::string s = ReadFile(path);
  return Bytes(s.begin(), s.end());
}

void Store(const std::string &path, const Bytes &b)
{
  WriteFile(path, std::string(b.begin(), b.end()));
}

class Catalogue : public AppFixture {
protected:
  void SetUp() override
  {
    AppFixture::SetUp();
    LastBackup = 0xE9A50C1E; // a packed date-time
    memset(&db, 0, sizeof db);
    FreeVXDB(&db);
    live = rt->liveBlocks;
  }
  void TearDown() override
  {
    FreeVXDB(&db);
    EXPECT_EQ(rt->liveBlocks, live) << "a catalogue buffer leaked";
    rt->failAllocAt = 0;
    rt->failAllocFrom = false;
    AppFixture::TearDown();
  }
  VXDBEntry *Add(const std::string &rel, const std::string &content)
  {
    WriteFile(Src(rel), content);
    return AddToVXDB(Src(rel).c_str(), &db);
  }

  VXDB db;
  int64_t live = 0;
};

TEST_F(Catalogue, AFiveByteFileSavesAsHeaderEntryAndPoolByteForByte)
{
  ASSERT_NE(Add("/a.bin", "hello"), nullptr);
  struct stat st;
  ASSERT_EQ(lstat(Src("/a.bin").c_str(), &st), 0);
  std::string path = disk / "VXDB.db";
  EXPECT_EQ(SaveVXDB(path.c_str(), &db), 1);

  Bytes want;
  for (char c : std::string("VXDB"))
    want.push_back((uint8_t)c);
  for (uint32_t v : {1u, 0xE9A50C1Eu, 100u, 1u, 0u, 1028u, 9u, 0u})
    Put32(want, v);
  for (uint32_t v : {3u, 1u, 0x8884497Du, 0u, 5u, 0u, (uint32_t)st.st_ctime, (uint32_t)st.st_mtime})
    Put32(want, v);
  const uint8_t md5[] = {0x5d, 0x41, 0x40, 0x2a, 0xbc, 0x4b, 0x2a, 0x76,
                         0xb9, 0x71, 0x9d, 0x91, 0x10, 0x17, 0xc5, 0x92};
  want.insert(want.end(), md5, md5 + 16);
  for (uint8_t b : {0x00, 0x2F, 0x00, 0x61, 0x2E, 0x62, 0x69, 0x6E, 0x00})
    want.push_back(b);
  ASSERT_EQ(want.size(), 93u);
  EXPECT_EQ(Load(path), want);
  EXPECT_FALSE(Exists(path + ".part"));
}

TEST_F(Catalogue, TextPoolKeepsOneCopyAndGrowsBy1026BytesWhenFull)
{
  EXPECT_EQ(AddTextToVXDB("/", &db), 1);
  EXPECT_EQ(db.TextAllocated, 1 + 1 + 1026);
  EXPECT_EQ(AddTextToVXDB("/", &db), 1);
  EXPECT_EQ(AddTextToVXDB("", &db), 0);
  EXPECT_EQ(db.TextLength, 3);
  EXPECT_EQ(AddTextToVXDB(nullptr, &db), -1);
  EXPECT_EQ(AddTextToVXDB("x", nullptr), -1);

  // Room means strictly less: 3 + 1022 + 2 < 1028 fits, one more grows.
  EXPECT_EQ(AddTextToVXDB(std::string(1022, 'a').c_str(), &db), 3);
  EXPECT_EQ(db.TextAllocated, 1028);
  EXPECT_EQ(db.TextLength, 1026);
  EXPECT_EQ(AddTextToVXDB("b", &db), 1026);
  EXPECT_EQ(db.TextAllocated, 1026 + 1 + 1026);
  EXPECT_EQ(db.Text[0], 0);
  EXPECT_STREQ(db.Text + 1, "/");
  EXPECT_EQ(AddTextToVXDB(std::string(1022, 'a').c_str(), &db), 3);
}

TEST_F(Catalogue, FoldersAndNamesShareThePool)
{
  VXDBEntry *a = Add("/a/x.ini", "1");
  ASSERT_NE(a, nullptr);
  dword crcA = a->PathCRC;
  int32_t nameA = a->NameOffset;
  VXDBEntry *b = Add("/b/x.ini", "2");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->NameOffset, nameA);
  EXPECT_NE(b->PathCRC, crcA);
  EXPECT_STREQ(db.Text + db.Entries[0].FolderOffset, "/a/");
  EXPECT_STREQ(db.Text + db.Entries[1].FolderOffset, "/b/");
  EXPECT_STREQ(db.Text + nameA, "x.ini");
  EXPECT_EQ(db.Entries[0].PathCRC, CRC32(0, "/a/x.ini", 8));
  EXPECT_EQ(db.Entries[1].FileSize, 1u);
  EXPECT_EQ(db.Entries[1].Reserved, 0u);
}

TEST_F(Catalogue, TheHundredAndFirstEntryGrowsTheArrayIntact)
{
  for (int i = 0; i < 101; i++) {
    ASSERT_NE(Add("/d/f" + std::to_string(i), std::string(i, 'z')), nullptr) << i;
    EXPECT_EQ(db.EntriesAllocated, i < 100 ? 100 : 200);
  }
  for (int i = 0; i < 101; i++) {
    EXPECT_EQ(db.Entries[i].FileSize, (uint64_t)i);
    EXPECT_STREQ(db.Text + db.Entries[i].NameOffset, ("f" + std::to_string(i)).c_str());
  }
}

TEST_F(Catalogue, FilesThatCannotBeAddedAddNothing)
{
  EXPECT_EQ(AddToVXDB(Src("/gone").c_str(), &db), nullptr);
  EXPECT_EQ(AddToVXDB(nullptr, &db), nullptr);
  WriteFile(disk / "elsewhere", "x"); // not below SourceRoot
  EXPECT_EQ(AddToVXDB((disk / "elsewhere").c_str(), &db), nullptr);
  WriteFile(Src("/a"), "x");
  EXPECT_EQ(AddToVXDB(Src("/a").c_str(), nullptr), nullptr);
  EXPECT_EQ(db.NrEntries, 0);
  EXPECT_EQ(Log(), "");
}

TEST_F(Catalogue, WhatIsNoLongerARegularFileIsRefusedUnread)
{
  // Listed as files, then replaced before the entry is made.
  mkfifo(Src("/fifo").c_str(), 0666);
  symlink("/etc/passwd", Src("/link").c_str());
  TotalSkippedEntries = 0;
  alarm(60); // an open that blocks fails the test
  EXPECT_EQ(AddToVXDB(Src("/fifo").c_str(), &db), nullptr);
  EXPECT_EQ(AddToVXDB(Src("/link").c_str(), &db), nullptr);
  alarm(0);
  EXPECT_EQ(db.NrEntries, 0);
  EXPECT_EQ(TotalSkippedEntries, 2);
  EXPECT_NE(Log().find("Not a regular file, not backed up: '" + Src("/fifo") + "'"), std::string::npos) << Log();
  // The digest alone refuses them as well.
  byte md5[16];
  EXPECT_EQ(MD5AbsFile(Src("/fifo").c_str(), md5), 0);
  EXPECT_EQ(MD5AbsFile(Src("/link").c_str(), md5), 0);
}

TEST_F(Catalogue, RunningOutOfMemoryEndsTheRunAndKeepsTheRecord)
{
  ASSERT_NE(Add("/a", "1"), nullptr);
  ASSERT_EQ(AddTextToVXDB(std::string(1020, 't').c_str(), &db), 5); // pool 1026 of 1028
  VXDB before = db;
  rt->failAllocAt = rt->allocCalls + 1; // the text pool's growth
  VXDBEntry *e = Add("/" + std::string(200, 'n'), "2");
  ASSERT_NE(e, nullptr) << "the entry is filled before its text is added";
  EXPECT_EQ(e->NameOffset, -1);
  EXPECT_EQ(e->FolderOffset, 1);
  EXPECT_EQ(State, 5u);
  EXPECT_EQ(db.Text, before.Text);
  EXPECT_EQ(db.TextAllocated, before.TextAllocated);
  EXPECT_EQ(db.TextLength, before.TextLength);
  EXPECT_NE(Log().find("Failed to increase the VDXD text to 2252 characters!"), std::string::npos) << Log();

  // Filling the first 100 slots, then failing the growth to 200.
  State = 3;
  for (int i = db.NrEntries; i < 100; i++)
    ASSERT_NE(Add("/f" + std::to_string(i), ""), nullptr);
  rt->failAllocAt = rt->allocCalls + 1;
  EXPECT_EQ(Add("/last", ""), nullptr);
  EXPECT_EQ(db.NrEntries, 100);
  EXPECT_EQ(db.EntriesAllocated, 100);
  EXPECT_EQ(State, 5u);
  EXPECT_NE(Log().find("Failed to increase the VDXD to 200 entries!"), std::string::npos);
}

TEST_F(Catalogue, EmptyCatalogueIsTheHeaderAlone)
{
  std::string path = disk / "VXDB.db";
  EXPECT_EQ(SaveVXDB(path.c_str(), &db), 1);
  Bytes b = Load(path);
  ASSERT_EQ(b.size(), 36u);
  VXDBHeader h;
  VXDBDecodeHeader(b.data(), &h);
  EXPECT_EQ(h.NrEntries, 0);
  EXPECT_EQ(h.TextLength, 1);
  EXPECT_EQ(h.BackupDate, 0xE9A50C1Eu);

  EXPECT_EQ(LoadVXDB(path.c_str(), &db), 1);
  EXPECT_EQ(db.NrEntries, 0);
  EXPECT_EQ(db.Entries, nullptr);
  EXPECT_EQ(db.Text, nullptr);
  EXPECT_EQ(db.TextAllocated, 0);
  EXPECT_EQ(db.BackupDate, 0xE9A50C1Eu);
}

TEST_F(Catalogue, LoadGivesBackWhatWasSaved)
{
  Add("/a.bin", "hello");
  Add("/Settings/x.ini", std::string(5000, 'q'));
  Add("/Settings/Sub dir/y", "");
  std::string path = disk / "VXDB.db";
  ASSERT_EQ(SaveVXDB(path.c_str(), &db), 1);

  VXDB back;
  memset(&back, 0, sizeof back);
  ASSERT_EQ(LoadVXDB(path.c_str(), &back), 1);
  EXPECT_EQ(memcmp(back.Magic, "VXDB", 4), 0);
  EXPECT_EQ(back.BackupDate, 0xE9A50C1Eu);
  EXPECT_EQ(back.NrEntries, 3);
  EXPECT_EQ(back.EntriesAllocated, 3);
  EXPECT_EQ(back.TextLength, db.TextLength);
  EXPECT_EQ(back.TextAllocated, db.TextLength);
  EXPECT_EQ(memcmp(back.Entries, db.Entries, 3 * sizeof(VXDBEntry)), 0);
  EXPECT_EQ(memcmp(back.Text, db.Text, db.TextLength), 0);
  // Loading again into a filled record replaces it without a leak.
  ASSERT_EQ(LoadVXDB(path.c_str(), &back), 1);
  FreeVXDB(&back);
  EXPECT_EQ(LoadVXDB((disk / "missing").c_str(), &back), 0);
  EXPECT_EQ(LoadVXDB(nullptr, &back), 0);
  EXPECT_EQ(LoadVXDB(path.c_str(), nullptr), 0);
}

// A valid two-entry catalogue as bytes, for the hostile variants below:
// text "\0/\0a\0/d/\0b\0", entries ("/", "a") and ("/d/", "b").
Bytes GoodCatalogue()
{
  Bytes b;
  for (char c : std::string("VXDB"))
    b.push_back((uint8_t)c);
  for (uint32_t v : {1u, 0x12340000u, 100u, 2u, 0xDEADBEEFu, 1030u, 12u, 0xDEADBEEFu})
    Put32(b, v);
  for (uint32_t e : {0u, 1u}) {
    Put32(b, e ? 9 : 3);
    Put32(b, e ? 5 : 1);
    for (int i = 0; i < 10; i++)
      Put32(b, i);
  }
  for (char c : std::string("\0/\0a\0/d/\0b\0", 12))
    b.push_back((uint8_t)c);
  return b;
}

void Set32(Bytes &b, size_t at, uint32_t v)
{
  for (int i = 0; i < 4; i++)
    b[at + i] = (uint8_t)(v >> (8 * i));
}

struct Hostile {
  const char *what;
  int code;
  void (*mutate)(Bytes &);
};

const Hostile kHostile[] = {
    {"35 bytes", VXDB_ERR_SHORT_HEADER, [](Bytes &b) { b.resize(35); }},
    {"magic", VXDB_ERR_MAGIC, [](Bytes &b) { b[3] = 'X'; }},
    {"version 2", VXDB_ERR_VERSION, [](Bytes &b) { Set32(b, 4, 2); }},
    {"negative count", VXDB_ERR_COUNT, [](Bytes &b) { Set32(b, 16, 0xFFFFFFFF); }},
    {"huge count", VXDB_ERR_COUNT, [](Bytes &b) { Set32(b, 16, 0x7FFFFFFF); }},
    {"count past the end", VXDB_ERR_TRUNCATED, [](Bytes &b) { Set32(b, 16, 3); }},
    {"negative text", VXDB_ERR_TEXT_LENGTH, [](Bytes &b) { Set32(b, 28, 0x80000000); }},
    {"zero text", VXDB_ERR_TEXT_LENGTH, [](Bytes &b) { Set32(b, 28, 0); }},
    {"huge text", VXDB_ERR_TEXT_LENGTH, [](Bytes &b) { Set32(b, 28, 0x7FFFFFF0); }},
    {"text past the end", VXDB_ERR_TRUNCATED, [](Bytes &b) { Set32(b, 28, 13); }},
    {"cut in the entries", VXDB_ERR_TRUNCATED, [](Bytes &b) { b.resize(36 + 60); }},
    {"cut in the text", VXDB_ERR_TRUNCATED, [](Bytes &b) { b.pop_back(); }},
    {"pool byte 0", VXDB_ERR_POOL_START, [](Bytes &b) { b[36 + 96] = 'x'; }},
    {"unterminated pool", VXDB_ERR_POOL_END, [](Bytes &b) { Set32(b, 28, 10); }},
    {"negative name", VXDB_ERR_OFFSET, [](Bytes &b) { Set32(b, 36, 0xFFFFFFFF); }},
    {"name at the end", VXDB_ERR_OFFSET, [](Bytes &b) { Set32(b, 36, 12); }},
    {"name inside a string", VXDB_ERR_OFFSET, [](Bytes &b) { Set32(b, 36 + 48, 6); }},
    {"folder inside a string", VXDB_ERR_OFFSET, [](Bytes &b) { Set32(b, 36 + 52, 7); }},
    {"folder far away", VXDB_ERR_OFFSET, [](Bytes &b) { Set32(b, 36 + 52, 0x40000000); }},
};

TEST_F(Catalogue, HostileCataloguesAreRefusedCleanly)
{
  Bytes good = GoodCatalogue();
  ASSERT_EQ(VXDBValidate(good.data(), good.size(), nullptr, nullptr), VXDB_OK);
  std::string path = disk / "VXDB.db";
  Store(path, good);
  ASSERT_EQ(LoadVXDB(path.c_str(), &db), 1);
  EXPECT_STREQ(db.Text + db.Entries[1].FolderOffset, "/d/");
  EXPECT_EQ(db.Entries[1].FileSize, (uint64_t)3 << 32 | 2);

  for (const Hostile &h : kHostile) {
    Bytes bad = good;
    h.mutate(bad);
    int32_t badEntry = -2;
    EXPECT_EQ(VXDBValidate(bad.data(), bad.size(), nullptr, &badEntry), h.code) << h.what;
    if (h.code == VXDB_ERR_OFFSET)
      EXPECT_GE(badEntry, 0) << h.what;
    Store(path, bad);
    EXPECT_EQ(LoadVXDB(path.c_str(), &db), 0) << h.what;
    EXPECT_EQ(db.Entries, nullptr) << h.what;
    EXPECT_EQ(db.Text, nullptr) << h.what;
    EXPECT_EQ(db.NrEntries, 0) << h.what;
    EXPECT_EQ(db.BackupDate, 0u) << h.what;
  }
  EXPECT_EQ(Log(), "") << "a bad catalogue is passed over silently";
}

// The text pool as the plain linear walk builds it: the yardstick for the
// index, which must give the same offsets, bytes and sizes.
struct LinearPool {
  std::string bytes;
  int32_t allocated = 0;
  int32_t Add(const std::string &text)
  {
    int32_t used = bytes.empty() ? 1 : (int32_t)bytes.size();
    if (allocated >= 1)
      for (int32_t at = 0; at < used; at += (int32_t)strlen(bytes.c_str() + at) + 1)
        if (text == bytes.c_str() + at)
          return at;
    if (used + (int32_t)text.size() + 2 >= allocated) {
      allocated = used + (int32_t)text.size() + 1026;
      bytes.resize((size_t)used, '\0');
    }
    bytes += text;
    bytes += '\0';
    return used;
  }
};

// Names and folders as a recorder has them: many repeats, prefixes of one
// another, and the empty string.
std::vector<std::string> PoolTexts(int n)
{
  std::vector<std::string> texts;
  uint32_t x = 7;
  for (int i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    int k = (int)(x >> 16) % (n / 2 + 1);
    if (k % 97 == 0)
      texts.push_back("");
    else if (k % 3 == 0)
      texts.push_back("/Plugin" + std::to_string(k / 3) + "/");
    else
      texts.push_back("set" + std::to_string(k) + (k % 2 ? ".ini" : ""));
  }
  return texts;
}

TEST_F(Catalogue, ManyTextsGetTheOffsetsOfTheLinearWalk)
{
  LinearPool model;
  for (const std::string &t : PoolTexts(3000))
    ASSERT_EQ(AddTextToVXDB(t.c_str(), &db), model.Add(t)) << "'" << t << "'";
  ASSERT_EQ(db.TextLength, (int32_t)model.bytes.size());
  EXPECT_EQ(db.TextAllocated, model.allocated);
  EXPECT_EQ(std::string(db.Text, db.TextLength), model.bytes);

  // A pool loaded from disk is indexed on its first search, the same way.
  std::string path = disk / "VXDB.db";
  ASSERT_NE(Add("/a.bin", "x"), nullptr);
  ASSERT_EQ(SaveVXDB(path.c_str(), &db), 1);
  VXDB back;
  memset(&back, 0, sizeof back);
  ASSERT_EQ(LoadVXDB(path.c_str(), &back), 1);
  for (const std::string &t : PoolTexts(3000))
    EXPECT_EQ(AddTextToVXDB(t.c_str(), &back), AddTextToVXDB(t.c_str(), &db)) << t;
  int32_t end = back.TextLength;
  EXPECT_EQ(AddTextToVXDB("new", &back), end);
  EXPECT_EQ(AddTextToVXDB("new", &back), end);
  FreeVXDB(&back);
}

TEST_F(Catalogue, AnIndexWithoutMemoryChangesNoOffset)
{
  const std::vector<std::string> texts = PoolTexts(600);
  for (bool from : {false, true})
    for (uint64_t n = 1;; n++) {
      FreeVXDB(&db);
      LinearPool model;
      rt->failAllocAt = rt->allocCalls + n;
      rt->failAllocFrom = from;
      for (const std::string &t : texts) {
        int32_t used = db.TextLength;
        int32_t got = AddTextToVXDB(t.c_str(), &db);
        if (got == -1) {
          // Only the pool's own growth may fail, and it leaves the pool be.
          EXPECT_EQ(db.TextLength, used) << n;
          EXPECT_EQ(State, 5u);
          State = 3;
          continue;
        }
        ASSERT_EQ(got, model.Add(t)) << "failing allocation " << n << (from ? "+" : "") << ", '" << t << "'";
      }
      bool injected = rt->allocCalls >= rt->failAllocAt;
      rt->failAllocAt = 0;
      rt->failAllocFrom = false;
      if (!injected)
        break;
    }
}

TEST_F(Catalogue, LoadSurvivesEveryAllocationFailing)
{
  Bytes good = GoodCatalogue();
  std::string path = disk / "VXDB.db";
  Store(path, good);
  for (uint64_t n = 1;; n++) {
    rt->failAllocAt = rt->allocCalls + n;
    int ok = LoadVXDB(path.c_str(), &db);
    bool injected = rt->allocCalls >= rt->failAllocAt;
    rt->failAllocAt = 0;
    if (!injected) {
      EXPECT_EQ(ok, 1);
      break;
    }
    EXPECT_EQ(ok, 0) << n;
    EXPECT_EQ(db.Entries, nullptr) << n;
  }
}

TEST_F(Catalogue, SavingNeverLeavesAHalfCatalogue)
{
  for (int i = 0; i < 100; i++)
    Add("/f" + std::to_string(i), "");
  std::string path = disk / "day/VXDB.db";
  ASSERT_EQ(mkdir((disk / "day").c_str(), 0777), 0);
  // The old catalogue is also a hard link in an earlier backup.
  WriteFile(disk / "old", "old catalogue");
  ASSERT_EQ(link((disk / "old").c_str(), path.c_str()), 0);

  // A file size limit stands in for a full disk: the header and some
  // entries fit, not the whole catalogue.
  struct rlimit saved, small = {4096, 4096};
  getrlimit(RLIMIT_FSIZE, &saved);
  small.rlim_max = saved.rlim_max;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  int result = SaveVXDB(path.c_str(), &db);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFile(path), "old catalogue");
  EXPECT_FALSE(Exists(path + ".part"));
  EXPECT_NE(Log().find("Failed to save the Vaultrix database"), std::string::npos);

  EXPECT_EQ(SaveVXDB(path.c_str(), &db), 1);
  EXPECT_EQ(LoadVXDB(path.c_str(), &db), 1);
  EXPECT_EQ(db.NrEntries, 100);
  EXPECT_EQ(ReadFile(disk / "old"), "old catalogue") << "the earlier backup's catalogue changed";

  EXPECT_EQ(SaveVXDB((disk / "no/such/folder/VXDB.db").c_str(), &db), 0);
  EXPECT_EQ(SaveVXDB(nullptr, &db), 0);
}

// Catalogues written by the PC build and by the recorder build, checked in:
// each build must read both and write the very same bytes.  Regenerate with
// VX_WRITE_TESTDATA=<folder> after a deliberate format change.
void FillFixed(VXDB *db)
{
  const char *paths[][2] = {{"/", "a.bin"}, {"/Settings/", "x.ini"}, {"/Settings/Sub dir/", "x.ini"},
                            {"/\xC3\xA4/", "big"}};
  for (int i = 0; i < 4; i++) {
    VXDBEntry e = {};
    e.FolderOffset = AddTextToVXDB(paths[i][0], db);
    e.NameOffset = AddTextToVXDB(paths[i][1], db);
    std::string rel = std::string(paths[i][0]) + paths[i][1];
    e.PathCRC = CRC32(0, rel.data(), (dword)rel.size());
    e.FileSize = i == 3 ? 0x123456789ull : (uint64_t)(i * 1000);
    e.ChangeTime = 1700000000 + i;
    e.ModifyTime = i == 2 ? -1 : 1600000000 + i;
    for (int k = 0; k < 16; k++)
      e.MD5[k] = (uint8_t)(i * 16 + k);
    if (db->NrEntries == db->EntriesAllocated) {
      VXDBEntry *grown = (VXDBEntry *)TAP_MemAlloc(100 * sizeof(VXDBEntry));
      memset(grown, 0, 100 * sizeof(VXDBEntry));
      db->Entries = grown;
      db->EntriesAllocated = 100;
    }
    db->Entries[db->NrEntries++] = e;
  }
}

TEST_F(Catalogue, CataloguesOfBothBuildsReadBackOnEither)
{
  FillFixed(&db);
  LastBackup = 0xEA5B1405;
  std::string mine = disk / "VXDB.db";
  ASSERT_EQ(SaveVXDB(mine.c_str(), &db), 1);
  if (const char *out = getenv("VX_WRITE_TESTDATA")) {
    std::string name = sizeof(void *) == 4 ? "/vxdb-mipsel.db" : "/vxdb-host.db";
    Store(out + name, Load(mine));
  }
  for (const char *build : {"host", "mipsel"}) {
    std::string path = std::string(VX_SOURCE_DIR "/tests/data/vxdb-") + build + ".db";
    ASSERT_TRUE(Exists(path)) << path;
    EXPECT_EQ(Load(path), Load(mine)) << "this build writes other bytes than the " << build << " build";
    VXDB back;
    memset(&back, 0, sizeof back);
    ASSERT_EQ(LoadVXDB(path.c_str(), &back), 1) << build;
    EXPECT_EQ(back.BackupDate, 0xEA5B1405u);
    ASSERT_EQ(back.NrEntries, 4);
    EXPECT_EQ(back.Entries[3].FileSize, 0x123456789ull);
    EXPECT_EQ(back.Entries[2].ModifyTime, -1);
    EXPECT_EQ(back.Entries[1].ChangeTime, 1700000001);
    EXPECT_STREQ(back.Text + back.Entries[3].FolderOffset, "/\xC3\xA4/");
    EXPECT_STREQ(back.Text + back.Entries[2].NameOffset, "x.ini");
    EXPECT_EQ(back.Entries[2].NameOffset, back.Entries[1].NameOffset);
    EXPECT_EQ(back.Entries[3].MD5[15], 63);
    EXPECT_EQ(memcmp(back.Entries, db.Entries, 4 * sizeof(VXDBEntry)), 0);
    FreeVXDB(&back);
  }
}

} // namespace
