// The copy pass: links for unchanged files, copies for the rest, and the
// promise that no file of an earlier backup ever changes.  Each pass runs
// in a child process (it runs once per load); the disk is checked from
// outside.
#include <set>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utime.h>

#include "checksum/CRC32.h"
#include "checksum/Md5.h"
#include "support/AppFixture.h"

namespace {

struct Inode {
  ino_t ino = 0;
  std::string content;
  bool operator==(const Inode &o) const { return ino != 0 && ino == o.ino && content == o.content; }
};

class CopyPass : public AppFixture {
protected:
  void SetUp() override
  {
    AppFixture::SetUp();
    memset(&prev, 0, sizeof prev);
    FreeVXDB(&prev);
    memset(&cur, 0, sizeof cur);
    FreeVXDB(&cur);
  }
  void TearDown() override
  {
    FreeVXDB(&prev);
    FreeVXDB(&cur);
    AppFixture::TearDown();
  }

  void Source(const std::string &rel, const std::string &content) { WriteFile(Src(rel), content); }
  // DestRoot as the state machine leaves it: dest found, day made below it.
  void UseDatedFolder(const std::string &day)
  {
    StrFormat(DestRoot, sizeof DestRoot, "%s/", dest.path().c_str());
    NoteDestination();
    size_t len = strlen(DestRoot);
    StrFormat(DestRoot + len, sizeof DestRoot - len, "%s/", day.c_str());
    ASSERT_EQ(MakeDatedFolder(len), 1);
  }
  // The scan's catalogue of these files, in this order.
  void Scan(const std::vector<std::string> &rels)
  {
    FreeVXDB(&cur);
    for (auto &r : rels)
      ASSERT_NE(AddToVXDB(Src(r).c_str(), &cur), nullptr) << r;
  }
  // One pass into dest/day/ after the backup in dest/last/; the catalogue
  // of this pass becomes the previous one of the next.  The log of this
  // pass alone, and the number of DoBackup calls in *calls.
  std::string Pass(const std::string &day, const std::string &last, int *calls = nullptr,
                   rlim_t fileLimit = RLIM_INFINITY, int refused = 0)
  {
    fclose(fopen((io / "console").c_str(), "w"));
    std::string count = io / "calls", saved = io / "pass.db";
    unlink(saved.c_str());
    InChild([&] {
      UseDatedFolder(day);
      StrFormat(LastDestRoot, sizeof LastDestRoot, "%s/", (dest / last).c_str());
      TotalRefusedPaths = refused;
      if (fileLimit != RLIM_INFINITY) {
        struct rlimit small = {fileLimit, fileLimit};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
      }
      chdir(io.path().c_str()); // where a shell would have left traces
      // Counted calls: a loaded machine must not split an event in two.
      if (calls)
        rt->virtualTicks = true;
      alarm(60); // a source that blocks the pass fails the test
      int n = 1;
      while (!DoBackup(&cur, &prev) && n < 100000)
        n++;
      WriteFile(count, std::to_string(n));
      LastBackup = 0x10000;
      SaveVXDB(saved.c_str(), &cur);
    });
    if (calls)
      *calls = atoi(ReadFile(count).c_str());
    // The catalogue as the pass left it, as the plug-in saves it (read with
    // whatever memory the test denies the pass).
    uint64_t failAt = rt->failAllocAt;
    rt->failAllocAt = 0;
    EXPECT_EQ(LoadVXDB(saved.c_str(), &prev), 1);
    rt->failAllocAt = failAt;
    FreeVXDB(&cur);
    return Log();
  }
  Inode At(const std::string &day, const std::string &rel)
  {
    Inode i;
    struct stat st;
    if (lstat((dest / (day + rel)).c_str(), &st) == 0)
      i.ino = st.st_ino;
    i.content = ReadFile(dest / (day + rel));
    return i;
  }
  static bool Has(const std::string &log, const std::string &line) { return log.find(line) != std::string::npos; }

  TempDir dest;
  VXDB prev, cur;
};

TEST_F(CopyPass, FirstBackupCopiesEveryFileWithItsModificationTime)
{
  Source("/a.bin", "hello");
  Source("/Sub/b.txt", std::string(5000, 'b'));
  Source("/Sub/Deep/c", "");
  struct utimbuf old = {1000000000, 1200000000};
  utime(Src("/Sub/b.txt").c_str(), &old);
  Scan({"/a.bin", "/Sub/b.txt", "/Sub/Deep/c"});
  int calls = 0;
  std::string log = Pass("d1", "none", &calls);
  EXPECT_EQ(calls, 3 + 3);
  struct stat st; // before any read of the copy moves its access time
  ASSERT_EQ(stat((dest / "d1/Sub/b.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1200000000);
  EXPECT_EQ(st.st_atime, 1200000000);
  EXPECT_EQ(At("d1", "/a.bin").content, "hello");
  EXPECT_EQ(At("d1", "/Sub/b.txt").content, std::string(5000, 'b'));
  EXPECT_TRUE(Exists(dest / "d1/Sub/Deep/c"));
  EXPECT_TRUE(Has(log, "Copied: 3 files, 4.9 kB")) << log;
  EXPECT_TRUE(Has(log, "DeDupe: 0 files, 0 B")) << log;
  EXPECT_FALSE(Has(log, "Failed"));
}

TEST_F(CopyPass, AFailedLinkFallsBackToACopy)
{
  for (const char *f : {"/a", "/b", "/c"})
    Source(f, f);
  Scan({"/a", "/b", "/c"});
  Pass("d1", "none");
  unlink((dest / "d1/b").c_str()); // the earlier copy is gone
  Scan({"/a", "/b", "/c"});
  std::string log = Pass("d2", "d1");
  EXPECT_EQ(At("d2", "/b").content, "/b");
  EXPECT_TRUE(Has(log, "Copied: 1 files, 2 B")) << log;
  EXPECT_TRUE(Has(log, "DeDupe: 2 files, 4 B (1 of 3 hard links failed)")) << log;
}

TEST_F(CopyPass, ACrcCollisionNeverLinksAnotherFilesContents)
{
  Source("/a.bin", "old contents");
  Scan({"/a.bin"});
  Pass("d1", "none");
  Source("/a.bin", "new contents");
  Scan({"/a.bin"});
  // An earlier entry of another path with a.bin's CRC and today's digest,
  // listed before a.bin's own entry.
  VXDBEntry real = prev.Entries[0];
  VXDBEntry fake = cur.Entries[0];
  fake.NameOffset = AddTextToVXDB("other", &prev);
  fake.FolderOffset = real.FolderOffset;
  ASSERT_EQ(fake.PathCRC, real.PathCRC);
  AddToVXDB(Src("/a.bin").c_str(), &prev); // a second slot
  prev.Entries[0] = fake;
  prev.Entries[1] = real;
  std::string log = Pass("d2", "d1");
  EXPECT_EQ(At("d2", "/a.bin").content, "new contents");
  EXPECT_NE(At("d2", "/a.bin").ino, At("d1", "/a.bin").ino);
  EXPECT_TRUE(Has(log, "DeDupe: 0 files")) << log;

  // With no entry of the same path there is no earlier copy at all.
  Scan({"/a.bin"});
  FreeVXDB(&prev);
  AddToVXDB(Src("/a.bin").c_str(), &prev);
  prev.Entries[0].NameOffset = AddTextToVXDB("other", &prev);
  log = Pass("d3", "d2");
  EXPECT_TRUE(Has(log, "Copied: 1 files")) << log;
  EXPECT_FALSE(Has(log, "hard links failed")) << log;
}

TEST_F(CopyPass, AmongEqualCrcsTheFirstEntryOfTheSamePathDecides)
{
  std::vector<std::string> rels = {"/a.bin"};
  Source("/a.bin", "same");
  for (int i = 0; i < 300; i++) {
    rels.push_back("/d/f" + std::to_string(i));
    Source(rels.back(), "file " + std::to_string(i));
  }
  Scan(rels);
  Pass("d1", "none");
  // a.bin's own entry with a stale digest first, another path with its CRC
  // and digest next (in f0's place), its true entry last.
  VXDBEntry real = prev.Entries[0];
  AddToVXDB(Src("/a.bin").c_str(), &prev);
  prev.Entries[prev.NrEntries - 1] = real;
  prev.Entries[0].MD5[0] ^= 1;
  prev.Entries[1] = real;
  prev.Entries[1].NameOffset = AddTextToVXDB("other", &prev);
  std::string saved = io / "prev.db";
  ASSERT_EQ(SaveVXDB(saved.c_str(), &prev), 1);

  for (bool memory : {true, false}) {
    std::string day = memory ? "d2" : "d2-without-memory";
    ASSERT_EQ(LoadVXDB(saved.c_str(), &prev), 1);
    Scan(rels);
    if (!memory) {
      rt->failAllocAt = rt->allocCalls + 1; // no index: the linear search
      rt->failAllocFrom = true;
    }
    Pass(day, "d1");
    rt->failAllocAt = 0;
    rt->failAllocFrom = false;
    EXPECT_EQ(At(day, "/a.bin").content, "same");
    EXPECT_NE(At(day, "/a.bin").ino, At("d1", "/a.bin").ino) << day << ": the stale digest came first";
    EXPECT_NE(At(day, "/d/f0").ino, At("d1", "/d/f0").ino) << day << ": its entry went to the other path";
    for (int i = 1; i < 300; i++)
      EXPECT_EQ(At(day, "/d/f" + std::to_string(i)), At("d1", "/d/f" + std::to_string(i))) << day << " f" << i;
  }
}

TEST_F(CopyPass, ARerunReplacesWhatAnInterruptedRunLeft)
{
  Source("/a", "unchanged a");
  Source("/b", "day one b");
  Source("/c", "unchanged c");
  Scan({"/a", "/b", "/c"});
  Pass("d1", "none");
  Inode a1 = At("d1", "/a"), b1 = At("d1", "/b"), c1 = At("d1", "/c");

  // What an interrupted second day left: b linked before it changed, a
  // half-written copy of a, c already linked.
  mkdir((dest / "d2").c_str(), 0777);
  link((dest / "d1/b").c_str(), (dest / "d2/b").c_str());
  WriteFile(dest / "d2/a", "unch");
  link((dest / "d1/c").c_str(), (dest / "d2/c").c_str());

  Source("/b", "day two b");
  Scan({"/a", "/b", "/c"});
  std::string log = Pass("d2", "d1");
  EXPECT_EQ(At("d1", "/a"), a1);
  EXPECT_EQ(At("d1", "/b"), b1) << "the earlier backup changed";
  EXPECT_EQ(At("d1", "/c"), c1);
  EXPECT_EQ(At("d2", "/a"), a1);
  EXPECT_EQ(At("d2", "/c"), c1);
  EXPECT_EQ(At("d2", "/b").content, "day two b");
  EXPECT_TRUE(Has(log, "Copied: 1 files")) << log;
  EXPECT_TRUE(Has(log, "DeDupe: 2 files")) << log;
}

TEST_F(CopyPass, ASecondRunIntoTheNewestBackupsOwnFolder)
{
  Source("/a", "same");
  Source("/b", "first");
  Scan({"/a", "/b"});
  Pass("d0", "none");
  Scan({"/a", "/b"});
  Pass("d1", "d0");
  Inode a0 = At("d0", "/a"), b0 = At("d0", "/b");
  ASSERT_EQ(At("d1", "/b"), b0);

  Source("/b", "second");
  Scan({"/a", "/b"});
  std::string log = Pass("d1", "d1");
  EXPECT_EQ(At("d1", "/a"), a0);
  EXPECT_EQ(At("d1", "/b").content, "second");
  EXPECT_EQ(At("d0", "/a"), a0);
  EXPECT_EQ(At("d0", "/b"), b0) << "the earlier backup changed";
  EXPECT_TRUE(Has(log, "DeDupe: 1 files, 4 B")) << log;
}

TEST_F(CopyPass, AFailedCopyIsAFailureAndLeavesNothing)
{
  Source("/small", "fits");
  Source("/big", std::string(10000, 'x'));
  Source("/gone", "deleted after the scan");
  Source("/nowdir", "a folder by the time it is copied");
  Scan({"/small", "/big", "/gone", "/nowdir"});
  unlink(Src("/gone").c_str());
  unlink(Src("/nowdir").c_str());
  mkdir(Src("/nowdir").c_str(), 0777);
  std::string log = Pass("d1", "none", nullptr, 5000, 2);
  EXPECT_EQ(At("d1", "/small").content, "fits");
  EXPECT_FALSE(Exists(dest / "d1/big")) << "a partial copy stayed";
  EXPECT_FALSE(Exists(dest / "d1/gone"));
  EXPECT_FALSE(Exists(dest / "d1/nowdir"));
  EXPECT_TRUE(Has(log, "Failed to write destination '" + dest / "d1//big'")) << log;
  EXPECT_TRUE(Has(log, "Failed to open source '" + Src("/gone") + "'")) << log;
  EXPECT_TRUE(Has(log, "Not a regular file, not backed up: '" + Src("/nowdir") + "'")) << log;
  EXPECT_TRUE(Has(log, "Copied: 1 files, 4 B")) << log;
  // Two refused by the scan, two here; a folder is no file to copy.
  EXPECT_TRUE(Has(log, "Failed: 4 files, 9.8 kB")) << log;
  EXPECT_TRUE(Has(log, "Skipped: 1 entries")) << log;
}

TEST_F(CopyPass, SourcesThatChangeBetweenScanAndCopy)
{
  for (const char *f : {"/grows", "/shrinks", "/vanishes", "/fifo", "/device", "/link", "/dir/in"})
    Source(f, "scanned");
  WriteFile(disk / "outside", "not below the source");
  WriteFile(disk / "elsewhere/in", "not below the source");
  Scan({"/grows", "/shrinks", "/vanishes", "/fifo", "/device", "/link", "/dir/in"});
  Source("/grows", std::string(9000, 'g'));
  Source("/shrinks", "s");
  unlink(Src("/vanishes").c_str());
  unlink(Src("/fifo").c_str());
  mkfifo(Src("/fifo").c_str(), 0666);
  unlink(Src("/device").c_str());
  bool device = mknod(Src("/device").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;
  unlink(Src("/link").c_str());
  symlink((disk / "outside").c_str(), Src("/link").c_str());
  unlink(Src("/dir/in").c_str());
  rmdir(Src("/dir").c_str());
  symlink((disk / "elsewhere").c_str(), Src("/dir").c_str());
  std::string log = Pass("d1", "none");

  // What is copied is what was there; the catalogue says so, lists the
  // file that failed as not backed up, and no longer what was skipped.
  EXPECT_EQ(At("d1", "/grows").content, std::string(9000, 'g'));
  EXPECT_EQ(At("d1", "/shrinks").content, "s");
  std::set<std::string> listed;
  for (int i = 0; i < prev.NrEntries; i++) {
    std::string rel =
        std::string(prev.Text + prev.Entries[i].FolderOffset) + (prev.Text + prev.Entries[i].NameOffset);
    listed.insert(rel);
    byte md5[16];
    if (MD5AbsFile((dest / ("d1" + rel)).c_str(), md5))
      EXPECT_EQ(memcmp(md5, prev.Entries[i].MD5, 16), 0) << rel;
    else
      EXPECT_FALSE(BackedUp(&prev.Entries[i])) << rel;
  }
  EXPECT_EQ(listed, (std::set<std::string>{"/grows", "/shrinks", "/vanishes"}));
  // A FIFO, a device or a link put in a file's or a folder's place is
  // never read.
  for (const char *f : {"/vanishes", "/fifo", "/device", "/link", "/dir/in"})
    EXPECT_FALSE(Exists(dest / ("d1" + std::string(f)))) << f;
  EXPECT_TRUE(Has(log, "Failed to open source '" + Src("/vanishes") + "'")) << log;
  EXPECT_TRUE(Has(log, "Not a regular file, not backed up: '" + Src("/fifo") + "'")) << log;
  EXPECT_TRUE(Has(log, "Not a regular file, not backed up: '" + Src("/link") + "'")) << log;
  if (device)
    EXPECT_TRUE(Has(log, "Not a regular file, not backed up: '" + Src("/device") + "'")) << log;
  EXPECT_TRUE(Has(log, "Failed: 1 files, 7 B")) << log;
  EXPECT_TRUE(Has(log, "Source folder behind a link, not backed up: '" + Src("/dir/in") + "'")) << log;
  EXPECT_TRUE(Has(log, "Skipped: " + std::to_string(device ? 4 : 3) + " entries")) << log;
}

TEST_F(CopyPass, PathsBeyondTheBuffersAreRefusedAndCounted)
{
  // Destination root of 240 bytes and a relative path of about 290: the
  // source fits its 512 bytes, the destination does not.
  std::string day = "d";
  while ((dest / day).size() < 238)
    day += "x";
  std::string rel = "/" + std::string(140, 'p') + "/" + std::string(140, 'q') + "/file";
  Source(rel, "deep");
  Source("/short", "ok");
  Scan({rel, "/short"});
  std::string log = Pass(day, "none");
  EXPECT_EQ(At(day, "/short").content, "ok");
  EXPECT_TRUE(Has(log, "Path too long, not backed up: '/" + std::string(140, 'p'))) << log;
  EXPECT_TRUE(Has(log, "Failed: 1 files, 4 B")) << log;
}

TEST_F(CopyPass, NamesAShellWouldReadAreJustNames)
{
  const std::vector<std::string> rels = {
      "/with blank/a file",     "/quote\"d/it's",  "/$(touch pwned)/x",  "/`touch pwned2`/y",
      "/new\nline/z",           "/\xE4\xF6\xFC/\xC3\xA9t\xC3\xA9", "/semi;colon/&amp|pipe>",
  };
  for (auto &r : rels)
    Source(r, r);
  Scan(rels);
  std::string log = Pass("d1", "none");
  for (auto &r : rels)
    EXPECT_EQ(At("d1", r).content, r);
  EXPECT_FALSE(Exists(io / "pwned"));
  EXPECT_FALSE(Exists(io / "pwned2"));
  EXPECT_TRUE(Has(log, "Copied: 7 files")) << log;
}

// A file that changes between the scan and its copy (the plug-in's own log
// always does) is catalogued as it was copied, so that the catalogue tells
// the truth about the backup and a later day never links to other contents.
TEST_F(CopyPass, AFileChangedAfterTheScanIsCataloguedAsCopied)
{
  Source("/log.txt", "one\n");
  Source("/same.txt", "same");
  Scan({"/log.txt", "/same.txt"});
  Source("/log.txt", "one\ntwo\n");
  struct utimbuf later = {1300000000, 1300000000};
  utime(Src("/log.txt").c_str(), &later);
  std::string saved = io / "d1.db";
  InChild([&] {
    UseDatedFolder("d1");
    StrFormat(LastDestRoot, sizeof LastDestRoot, "%s/", (dest / "none").c_str());
    while (!DoBackup(&cur, &prev))
      ;
    SaveVXDB(saved.c_str(), &cur);
  });
  EXPECT_TRUE(Has(Log(), "Copied: 2 files, 8 B")) << "the summary counts what the scan saw";
  FreeVXDB(&prev);
  ASSERT_EQ(LoadVXDB(saved.c_str(), &prev), 1);
  byte digest[16];
  MD5String("one\ntwo\n", digest);
  EXPECT_EQ(prev.Entries[0].FileSize, 8u);
  EXPECT_EQ(prev.Entries[0].ModifyTime, 1300000000);
  EXPECT_EQ(memcmp(prev.Entries[0].MD5, digest, 16), 0);
  EXPECT_EQ(At("d1", "/log.txt").content, "one\ntwo\n");

  // The next day the file is back to what the first scan saw.
  Source("/log.txt", "one\n");
  Scan({"/log.txt", "/same.txt"});
  Pass("d2", "d1");
  EXPECT_EQ(At("d2", "/log.txt").content, "one\n");
  EXPECT_EQ(At("d2", "/same.txt"), At("d1", "/same.txt"));
}

// A clock stepped back while the pass ran (broadcast time taken after the
// start) may have stamped rewrites before the start the pass recorded: no
// LastReadStart is kept then, so the next backup takes nothing over unread.
dword FakeNow;
dword SteadyClock(void) { return FakeNow; }
dword SteppingBackClock(void) { return FakeNow -= 30; }

TEST_F(CopyPass, AClockThatWentBackDuringThePassKeepsNoReadStart)
{
  Source("/a", "a");
  for (bool back : {false, true}) {
    Scan({"/a"});
    int kept = InChild([&] {
      UseDatedFolder(back ? "back" : "steady");
      INIFullCheckDays = 7;
      FakeNow = 2000000000;
      KernelClock = back ? SteppingBackClock : SteadyClock;
      while (!DoBackup(&cur, &prev))
        ;
      char text[INI_READ_START_SIZE];
      int saved = ReadStartText(text, sizeof text);
      fflush(nullptr);
      _exit(saved);
    });
    EXPECT_EQ(kept, back ? 0 : 1) << (back ? "a start kept after the clock went back" : "no start kept");
  }
  EXPECT_TRUE(Logged("The clock went back during the backup: the next backup reads every file")) << Log();
}

} // namespace
