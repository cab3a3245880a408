// How the backup reads file contents, seen through the simulator: the
// catalogue describes the bytes in the backup whatever the source does, a
// file rewritten while it is read is never stored as a mix unsaid, a large
// file is read in short events, and every file is read once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/Vaultrix.h"
#include "support/BackupScenario.h"
#include "support/PowerCut.h"

namespace {

constexpr uint64_t kEventBytes = 1 << 20; // file data one event may read

// The bytes of the files a day's catalogue lists, by their sizes.
uint64_t CatalogueBytes(const std::string &day)
{
  VXDB db;
  memset(&db, 0, sizeof db);
  uint64_t bytes = 0;
  if (LoadVXDB((day + "/VXDB.db").c_str(), &db))
    for (int i = 0; i < db.NrEntries; i++)
      bytes += db.Entries[i].FileSize;
  FreeVXDB(&db);
  return bytes;
}

// Every catalogue entry's digest is that of the file the backup holds.
::testing::AssertionResult CatalogueTrue(const std::string &day)
{
  VXDB db;
  memset(&db, 0, sizeof db);
  if (!LoadVXDB((day + "/VXDB.db").c_str(), &db))
    return ::testing::AssertionFailure() << "no catalogue in " << day;
  std::string wrong;
  for (int i = 0; i < db.NrEntries; i++) {
    std::string rel = std::string(db.Text + db.Entries[i].FolderOffset) + (db.Text + db.Entries[i].NameOffset);
    if (Md5Hex(day + rel) != Md5Text(db.Entries[i].MD5))
      wrong += " " + rel;
  }
  FreeVXDB(&db);
  if (!wrong.empty())
    return ::testing::AssertionFailure() << "digests that are not the backup's in " << day << ":" << wrong;
  return ::testing::AssertionSuccess();
}

// A day's copy of a file rewritten all A then all B by one writer: whether
// the log says it changed while read.  A copy that holds both letters
// without that line fails the test.
bool SaidOfAMix(const BackupScenario &b, const std::string &day, const std::string &rel, size_t size)
{
  std::string kept = ReadFile(b.Day(day) + rel);
  EXPECT_EQ(kept.size(), size) << day;
  size_t turns = 0;
  for (size_t i = 1; i < kept.size(); i++)
    turns += kept[i] != kept[i - 1];
  bool line = b.Logged("Changed while read, copy may be inconsistent: /mnt/hd/ProgramFiles" + rel) ||
              b.Logged("Changed while read, earlier version kept: /mnt/hd/ProgramFiles" + rel);
  if (turns > 0)
    EXPECT_TRUE(line) << day << ": a copy with " << turns << " changes of letter kept unsaid\n" << b.log;
  return line;
}

// A copy the log calls possibly inconsistent is never called intact by
// vxdb: verify, check, list and restore say "changed while read"; any other
// copy is intact.
::testing::AssertionResult SaidAlike(const BackupScenario &b, const std::string &date, const std::string &rel)
{
  std::string day = b.Day(date);
  ProgramRun verify = RunVxdbTool({"verify", day});
  if (!b.Logged("Changed while read, copy may be inconsistent: /mnt/hd/ProgramFiles" + rel))
    return VxdbIntact(day);
  ProgramRun list = RunVxdbTool({"list", day}), check = RunVxdbTool({"check", b.Day("")});
  TempDir target;
  ProgramRun restore = RunVxdbTool({"restore", day, target.path(), rel});
  if (verify.status == 3 && Contains(verify.out, "changed while read " + rel + " (") &&
      Contains(list.out, "  changed while read\n") && Contains(check.out, "changed while read " + rel) &&
      !Contains(check.out, "all intact") && restore.status == 3 && Contains(restore.err, "changed while read " + rel))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << date << ": a copy logged as inconsistent, but vxdb says\n"
                                       << verify.out << list.out << check.out << restore.out << restore.err;
}

TEST(Content, FilesRewrittenInPlaceDuringBackupsNeverLeaveAFalseCatalogue)
{
  BackupScenario b;
  const int kFiles = 30;
  // Read in more than one event each, so that rewrites come between reads.
  auto version = [](int file, int v) { return std::string(300000, (char)('a' + v)) + std::to_string(file); };
  for (int f = 0; f < kFiles; f++)
    b.Source("/Live/f" + std::to_string(f), version(f, 0));

  // Same size, same second: only the contents tell the versions apart.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int v = 1; !stop; v = v % 5 + 1)
      for (int f = 0; f < kFiles && !stop; f++) {
        int fd = open(b.Pf("/Live/f" + std::to_string(f)).c_str(), O_WRONLY);
        std::string s = version(f, v);
        if (fd >= 0) {
          (void)!pwrite(fd, s.data(), s.size(), 0);
          close(fd);
        }
      }
  });
  // A reading that met a rewrite is read again: that day reads more bytes
  // than its catalogue lists (the first day has no earlier copies to read).
  int met = 0;
  for (const char *day : {"2026-05-01", "2026-05-02", "2026-05-03"}) {
    TapsimResult r = b.Run(day);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(CatalogueTrue(b.Day(day)));
    uint64_t read = 0;
    for (auto &e : r.trace)
      read += e.readBytes;
    if (std::string(day) == "2026-05-01")
      met += read > CatalogueBytes(b.Day(day));
    met += b.Logged("Changed while read");
  }
  stop = true;
  writer.join();
  EXPECT_GT(met, 0) << "the writer never met a reading";
  printf("rewrites met a reading: %d signs in 3 days\n", met);

  // A quiet day afterwards holds the source as it is.
  ASSERT_EQ(b.Run("2026-05-04").status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2026-05-04")) << b.log;
}

// A programme guide rewritten in place all day, all A then all B: one
// writer can leave at most one change of letter in a copy taken while it
// writes.  Whatever a day keeps, its catalogue and vxdb agree on the bytes,
// and a copy that mixes the two is never kept without its line.
TEST(Content, AFileRewrittenWhileReadIsNeverStoredAsAMixUnsaid)
{
  BackupScenario b;
  const size_t kSize = 8 << 20, kChunk = 1 << 20;
  const std::string rel = "/Epg/guide.db";
  b.Source(rel, std::string(kSize, 'A'));
  b.Source("/Epg/calm.txt", "calm");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::string chunk(kChunk, 'B');
    while (!stop) {
      int fd = open(b.Pf(rel).c_str(), O_WRONLY);
      for (size_t at = 0; fd >= 0 && at < kSize && !stop; at += kChunk)
        (void)!pwrite(fd, chunk.data(), kChunk, (off_t)at);
      if (fd >= 0)
        close(fd);
      chunk.assign(kChunk, chunk[0] == 'A' ? 'B' : 'A');
      usleep(1000);
    }
  });
  int said = 0;
  for (const char *day : {"2026-05-01", "2026-05-02", "2026-05-03"}) {
    TapsimResult r = b.Run(day);
    ASSERT_EQ(r.status, 0) << r.err;
    bool line = SaidOfAMix(b, day, rel, kSize);
    said += line;
    if (line)
      EXPECT_TRUE(b.Logged("Changed while read: 1 files")) << b.log;
    if (b.Logged("earlier version kept"))
      EXPECT_EQ(Inode(b.Day(day) + rel), Inode(b.Day("2026-05-01") + rel)) << day;
    EXPECT_TRUE(CatalogueTrue(b.Day(day)));
    EXPECT_TRUE(SaidAlike(b, day, rel));
  }
  stop = true;
  writer.join();
  EXPECT_GT(said, 0) << "the writer never met a reading";
  printf("rewritten while read: said on %d of 3 days\n", said);

  // Quiet again: the next day reads the file once and keeps it as it is.
  ASSERT_EQ(b.Run("2026-05-04").status, 0) << b.log;
  EXPECT_FALSE(b.Logged("Changed while read")) << b.log;
  EXPECT_TRUE(b.Complete("2026-05-04")) << b.log;
}

// On whole-second stamps (ext4 with 128-byte inodes, as ext3 and the
// disks of the recorders' era), a 6 MB file rewritten in place without
// pause: a rewrite within the second of the stamps leaves them as they
// were.  Whatever a day keeps is one version whole, or its line says
// otherwise and vxdb agrees; a quiet day stores the file as it is.
TEST(Content, WholeSecondStampsHideNoMix)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "disk images need root";
  TempDir work;
  ASSERT_EQ(MakeExt4Image(work / "disk.img", 64 << 20, {"-I", "128"}), "");
  MountedImage disk(work / "disk.img");
  ASSERT_TRUE(disk.ok()) << disk.error();
  BackupScenario b;
  b.UseDisk(disk.root());
  MakeRecorderDisk(disk.root(), "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\nMinFreeMB=0\r\n");
  const size_t kSize = 6 << 20, kChunk = 1 << 20;
  const std::string rel = "/Epg/guide.db";
  b.Source(rel, std::string(kSize, 'A'));
  b.Source("/Epg/calm.txt", "calm");
  struct stat st;
  ASSERT_EQ(stat(b.Pf(rel).c_str(), &st), 0);
  ASSERT_EQ(st.st_mtim.tv_nsec, 0) << "the disk keeps finer stamps than whole seconds";
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::string chunk(kChunk, 'B');
    int fd = open(b.Pf(rel).c_str(), O_WRONLY);
    while (fd >= 0 && !stop) {
      for (size_t at = 0; at < kSize && !stop; at += kChunk)
        (void)!pwrite(fd, chunk.data(), kChunk, (off_t)at);
      chunk.assign(kChunk, chunk[0] == 'A' ? 'B' : 'A');
    }
    if (fd >= 0)
      close(fd);
  });
  int said = 0;
  for (const char *day : {"2026-05-01", "2026-05-02", "2026-05-03", "2026-05-04", "2026-05-05"}) {
    ASSERT_EQ(b.Run(day, {"--max-events", "10000000"}).status, 0) << b.log;
    said += SaidOfAMix(b, day, rel, kSize);
    EXPECT_TRUE(CatalogueTrue(b.Day(day)));
    EXPECT_TRUE(SaidAlike(b, day, rel));
  }
  stop = true;
  writer.join();
  EXPECT_GT(said, 0) << "the writer never met a reading";
  printf("whole-second stamps, rewritten without pause: said on %d of 5 days\n", said);

  ASSERT_EQ(b.Run("2026-05-06", {"--max-events", "10000000"}).status, 0) << b.log;
  EXPECT_FALSE(b.Logged("Changed while read")) << b.log;
  EXPECT_TRUE(b.Complete("2026-05-06")) << b.log;
  EXPECT_TRUE(VxdbIntact(b.Day("2026-05-06")));
}

// An owner who restored a folder with cp -al: the source file is the
// backup's copy.  The next day copies it rather than linking the live file
// into the backup, so that a rewrite in place reaches no later backup.
TEST(Content, ASourceRestoredAsLinksIsCopiedNotLinked)
{
  BackupScenario b;
  b.Source("/Plugin/data.bin", "the owner's data");
  b.Source("/Plugin/other.txt", "unchanged");
  ASSERT_EQ(b.Run("2026-07-01").status, 0) << b.log;
  std::filesystem::remove_all(b.Pf("/Plugin"));
  ProgramRun cp = RunProgram({"cp", "-al", b.Day("2026-07-01") + "/Plugin", b.Pf("/Plugin")});
  ASSERT_EQ(cp.status, 0) << cp.err;
  ASSERT_EQ(Inode(b.Pf("/Plugin/data.bin")), Inode(b.Day("2026-07-01") + "/Plugin/data.bin"));

  ASSERT_EQ(b.Run("2026-07-02").status, 0) << b.log;
  std::string day2 = b.Day("2026-07-02");
  EXPECT_NE(Inode(day2 + "/Plugin/data.bin"), Inode(b.Pf("/Plugin/data.bin")));
  EXPECT_TRUE(b.Complete("2026-07-02")) << b.log;
  int fd = open(b.Pf("/Plugin/data.bin").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "THE", 3, 0), 3);
  close(fd);
  EXPECT_EQ(ReadFile(day2 + "/Plugin/data.bin"), "the owner's data");
  EXPECT_TRUE(VxdbIntact(day2));
}

TEST(Content, ALargeFileIsReadOnceInShortEventsAndLinkedTheNextDay)
{
  BackupScenario b;
  const uint64_t kSize = 200ull << 20;
  std::string big = b.Pf("/Media/film.rec");
  b.Source("/Media/film.rec", "");
  ASSERT_EQ(truncate(big.c_str(), (off_t)kSize), 0); // sparse: quick to make and to read
  b.Source("/Media/note.txt", "a small file beside it");

  for (const char *day : {"2026-06-01", "2026-06-02"}) {
    TapsimResult r = b.Run(day);
    ASSERT_EQ(r.status, 0) << r.err;
    uint64_t total = 0, most = 0, slowest = 0;
    for (auto &e : r.trace) {
      total += e.readBytes;
      most = std::max(most, e.readBytes);
      if (e.stateBefore == 2 || e.stateBefore == 3)
        slowest = std::max(slowest, e.us);
    }
    EXPECT_LE(most, kEventBytes + 1) << day;
    // Copied on day 1, hashed to be linked on day 2: one read either way.
    EXPECT_GE(total, kSize) << day;
    EXPECT_LE(total, kSize + kSize / 50) << day;
    printf("%s: %llu bytes read, at most %llu in one event; slowest scan or copy event %llu us\n", day,
           (unsigned long long)total, (unsigned long long)most, (unsigned long long)slowest);
  }
  struct stat one, two;
  ASSERT_EQ(stat((b.Day("2026-06-01") + "/Media/film.rec").c_str(), &one), 0);
  ASSERT_EQ(stat((b.Day("2026-06-02") + "/Media/film.rec").c_str(), &two), 0);
  EXPECT_EQ(one.st_ino, two.st_ino) << "not linked";
  EXPECT_EQ((uint64_t)one.st_size, kSize);
  EXPECT_TRUE(CatalogueTrue(b.Day("2026-06-02")));
}

} // namespace
