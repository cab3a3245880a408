// How the backup reads file contents, seen through the simulator: the
// catalogue describes the bytes in the backup whatever the source does, a
// large file is read in short events, and every file is read once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/Vaultrix.h"
#include "support/BackupScenario.h"

namespace {

constexpr uint64_t kEventBytes = 1 << 20; // file data one event may read

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

TEST(Content, FilesRewrittenInPlaceDuringBackupsNeverLeaveAFalseCatalogue)
{
  BackupScenario b;
  const int kFiles = 30;
  auto version = [](int file, int v) { return std::string(3000, (char)('a' + v)) + std::to_string(file); };
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
        usleep(200);
      }
  });
  for (const char *day : {"2026-05-01", "2026-05-02", "2026-05-03"}) {
    TapsimResult r = b.Run(day);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(CatalogueTrue(b.Day(day)));
  }
  stop = true;
  writer.join();

  // A quiet day afterwards holds the source as it is.
  ASSERT_EQ(b.Run("2026-05-04").status, 0) << b.log;
  EXPECT_TRUE(b.Complete("2026-05-04")) << b.log;
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
