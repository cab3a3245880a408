// Catalogues under the destination root that are cut short, claim more than
// they hold, point outside their text, or are no file at all.  Each would be
// the newest if it were believed; the lookup passes over them, and the
// backup links to the real day before.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "app/VXDBFormat.h"
#include "support/BackupScenario.h"

namespace fs = std::filesystem;

namespace {

using Mutation = void (*)(std::string &);

void Put32(std::string &b, size_t at, uint32_t v)
{
  VXDBPut32((uint8_t *)&b[at], v);
}

size_t TextStart(const std::string &b)
{
  return VXDB_HEADER_SIZE + (size_t)VXDBGet32((const uint8_t *)&b[VXDB_OFS_NRENTRIES]) * VXDB_ENTRY_SIZE;
}

const std::pair<const char *, Mutation> kCrafted[] = {
    {"header-only", [](std::string &b) { b.resize(20); }},
    {"cut-in-entries", [](std::string &b) { b.resize(VXDB_HEADER_SIZE + VXDB_ENTRY_SIZE + 7); }},
    {"cut-in-text", [](std::string &b) { b.resize(b.size() - 3); }},
    {"count-beyond-file", [](std::string &b) { Put32(b, VXDB_OFS_NRENTRIES, 1000000); }},
    {"count-huge", [](std::string &b) { Put32(b, VXDB_OFS_NRENTRIES, 0x7FFFFFFF); }},
    {"count-negative", [](std::string &b) { Put32(b, VXDB_OFS_NRENTRIES, 0xFFFFFFFF); }},
    {"count-wraps", [](std::string &b) { Put32(b, VXDB_OFS_NRENTRIES, 0x05555556); }},
    {"text-huge", [](std::string &b) { Put32(b, VXDB_OFS_TEXTLENGTH, 0x7FFFFFF0); }},
    {"text-zero", [](std::string &b) { Put32(b, VXDB_OFS_TEXTLENGTH, 0); }},
    {"name-past-pool", [](std::string &b) { Put32(b, VXDB_HEADER_SIZE + VXDB_OFS_NAMEOFFSET, 1 << 30); }},
    {"name-negative", [](std::string &b) { Put32(b, VXDB_HEADER_SIZE + VXDB_OFS_NAMEOFFSET, 0xFFFFFFF0); }},
    {"folder-mid-string", [](std::string &b) { Put32(b, VXDB_HEADER_SIZE + VXDB_OFS_FOLDEROFFSET, 2); }},
    {"pool-unterminated", [](std::string &b) { b.back() = 'x'; }},
    {"pool-no-zero-first", [](std::string &b) { b[TextStart(b)] = '/'; }},
    {"wrong-version", [](std::string &b) { Put32(b, VXDB_OFS_VERSION, 2); }},
    {"empty-file", [](std::string &b) { b.clear(); }},
};

TEST(HostileDestination, CraftedCataloguesArePassedOverWithoutHarm)
{
  BackupScenario b;
  b.Source("/Recorder/settings.ini", "[Timer]\r\nChannel=1\r\n");
  b.Source("/Epg/guide.dat", std::string(20000, 'g'));
  b.Source("/top.txt", "top");
  ASSERT_EQ(b.Run("2026-12-01").status, 0) << b.log;
  TreeSnapshot day1 = SnapshotTree(b.Day("2026-12-01"));
  std::string real = ReadFile(b.Day("2026-12-01") + "/VXDB.db");
  ASSERT_GT(real.size(), (size_t)VXDB_HEADER_SIZE + 2 * VXDB_ENTRY_SIZE);

  // Each dated far in the future, so that it would win if it were loaded.
  std::string root = b.Day("");
  for (auto &[name, mutate] : kCrafted) {
    std::string bytes = real;
    Put32(bytes, VXDB_OFS_BACKUPDATE, 0xFFFF0000);
    mutate(bytes);
    WriteFile(root + name + "/VXDB.db", bytes);
    WriteFile(root + name + "/top.txt", "not the real top.txt");
  }
  fs::create_directories(root + "fifo");
  ASSERT_EQ(mkfifo((root + "fifo/VXDB.db").c_str(), 0666), 0);
  fs::create_directories(root + "folder/VXDB.db");
  fs::create_directories(root + "device");
  if (mknod((root + "device/VXDB.db").c_str(), S_IFCHR | 0666, makedev(1, 5)) != 0)
    symlink("/dev/zero", (root + "device/VXDB.db").c_str());
  symlink("2026-12-01", (root + "linked-folder").c_str());
  // The share state and its temporary name, each a link to a file elsewhere.
  TempDir outside;
  WriteFile(outside / "share", "the owner's");
  WriteFile(outside / "part", "the owner's too");
  unlink((root + "VXDB.share").c_str());
  symlink((outside / "share").c_str(), (root + "VXDB.share").c_str());
  symlink((outside / "part").c_str(), (root + "VXDB.share.part").c_str());
  TreeSnapshot crafted = SnapshotTree(root);

  b.Source("/top.txt", "top, day two");
  alarm(300); // a catalogue read that blocks fails the test
  TapsimResult r = b.Run("2026-12-02");
  alarm(0);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(b.Logged("Last backup found: 2026-12-01")) << b.log;
  EXPECT_TRUE(b.Complete("2026-12-02")) << b.log;
  EXPECT_FALSE(b.Logged("hard links failed")) << b.log;
  TreeSnapshot day2 = SnapshotTree(b.Day("2026-12-02"));
  EXPECT_EQ(day2["/Epg/guide.dat"], day1["/Epg/guide.dat"]) << "not linked to the real day before";
  EXPECT_EQ(SnapshotTree(b.Day("2026-12-01")), day1);
  TreeSnapshot after = SnapshotTree(root);
  for (auto &[rel, seen] : crafted)
    EXPECT_EQ(after[rel], seen) << rel << " was changed";
  EXPECT_TRUE(b.Logged("Not a file, left alone: '/mnt/hd/Backup/VXDB.share'")) << b.log;
  EXPECT_EQ(ReadFile(outside / "share"), "the owner's");
  EXPECT_EQ(ReadFile(outside / "part"), "the owner's too");
  printf("hostile destinations: %zu crafted catalogues and 4 that are no file passed over\n",
         sizeof kCrafted / sizeof kCrafted[0]);
}

} // namespace
