// The source scan and the previous-backup lookup on a recorder disk of the
// host runtime.  Each scan runs in a child process: it runs once per load.
#include <dirent.h>
#include <set>
#include <sys/stat.h>

#include "support/AppFixture.h"

namespace {

class Scan : public AppFixture {
protected:
  // One whole scan; returns its catalogue (saved by the child) and the
  // number of steps it took.
  int RunScan(VXDB *out)
  {
    std::string saved = io / "scan.db";
    std::string steps = io / "steps";
    InChild([&] {
      int n = 1;
      while (!RecursiveScan() && n < 100000)
        n++;
      LastBackup = 0x10000;
      SaveVXDB(saved.c_str(), &CurrentVXDB);
      WriteFile(steps, std::to_string(n) + " " + std::to_string(TotalRefusedPaths) + " " +
                           std::to_string(TotalRefusedFolders) + " " + std::to_string(TotalSkippedEntries));
    });
    memset(out, 0, sizeof *out);
    EXPECT_EQ(LoadVXDB(saved.c_str(), out), 1);
    int n = 0;
    EXPECT_EQ(sscanf(ReadFile(steps).c_str(), "%d %d %d %d", &n, &refused, &refusedFolders, &skipped), 4);
    return n;
  }
  // The relative paths of a catalogue, leaving out the settings folder
  // (where the application's own log may lie).
  static std::vector<std::string> Paths(const VXDB &db)
  {
    std::vector<std::string> paths;
    for (int i = 0; i < db.NrEntries; i++) {
      std::string p = std::string(db.Text + db.Entries[i].FolderOffset) + (db.Text + db.Entries[i].NameOffset);
      if (p.rfind("/Settings/", 0) != 0)
        paths.push_back(p);
    }
    return paths;
  }
  std::string Pf(const std::string &rel) { return disk / ("ProgramFiles" + rel); }
  int refused = 0, refusedFolders = 0, skipped = 0;
};

TEST_F(Scan, WholeTreeBreadthFirstWithFoldersOnceAndLinksLoggedAndPassedOver)
{
  WriteFile(Pf("/a.bin"), "hello");
  WriteFile(Pf("/B/c.txt"), "cc");
  WriteFile(Pf("/B/D/e.txt"), std::string(3000, 'e'));
  mkdir(Pf("/Empty").c_str(), 0777);
  symlink("a.bin", Pf("/link").c_str());
  symlink("B", Pf("/folderlink").c_str());

  VXDB db;
  int steps = RunScan(&db);
  EXPECT_EQ(Paths(db), (std::vector<std::string>{"/a.bin", "/B/c.txt", "/B/D/e.txt"})) << Log();
  ASSERT_GE(db.NrEntries, 3);
  EXPECT_STREQ(db.Text + db.Entries[0].FolderOffset, "/");
  EXPECT_EQ(db.Entries[0].PathCRC, 0x8884497Du);
  EXPECT_EQ(db.Entries[0].FileSize, 5u);
  // Six folders: root, B, Empty, Settings, B/D, Settings/Vaultrix.
  EXPECT_TRUE(Logged("Performing recursive scan"));
  uint64_t total = 0;
  for (int i = 0; i < db.NrEntries; i++)
    total += db.Entries[i].FileSize;
  char size[16];
  FileSizeToString((dword)total, 0, size);
  EXPECT_TRUE(Logged("Scan result: 6 folders, " + std::to_string(db.NrEntries) + " files, " + size)) << Log();
  // One call per entry and two per folder, plus start, end and report.
  int entries = 0;
  for (const char *f : {"", "/B", "/Empty", "/Settings", "/B/D", "/Settings/Vaultrix"}) {
    DIR *d = opendir(Pf(f).c_str());
    while (struct dirent *e = readdir(d))
      entries += strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
    closedir(d);
  }
  EXPECT_EQ(steps, entries + 2 * 6 + 3);
  // The links are not followed, and not silently missing from the backup.
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(skipped, 2);
  EXPECT_TRUE(Logged("Not a file or folder, not backed up: '/ProgramFiles/folderlink'")) << Log();
  FreeVXDB(&db);
}

TEST_F(Scan, PathsBeyondTheBufferAreRefusedCountedAndListed)
{
  // Folder paths below /ProgramFiles grow by 121 bytes a level: the fourth
  // level (497 bytes) is queued, the fifth (618) is not; a file in the
  // fourth level no longer fits its full path.  Both are listed as far as
  // a path fits, which here is one cut path: listed once.
  std::string rel;
  for (int level = 1; level <= 5; level++) {
    rel += "/" + std::string(120, (char)('0' + level));
    mkdir(Pf(rel).c_str(), 0777);
    WriteFile(Pf(rel + "/f.txt"), "x");
  }
  VXDB db;
  RunScan(&db);
  std::vector<std::string> paths = Paths(db);
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_EQ(paths[2], rel.substr(0, 3 * 121) + "/f.txt");
  EXPECT_EQ(paths[3], rel.substr(0, paths[3].size()));
  EXPECT_LE(paths[3].size() + strlen(SourceRoot), (size_t)PATH_SIZE - 1);
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(refusedFolders, 1);
  EXPECT_TRUE(Logged("Path too long, folder not backed up")) << Log();
  EXPECT_TRUE(Logged("Path too long, file not backed up")) << Log();
  FreeVXDB(&db);
}

TEST_F(Scan, AThousandAndOneFoldersFinishTheNextOneIsAnEndlessLoop)
{
  // Root, Settings, Settings/Vaultrix and many: 4, plus 997 below many.
  for (int i = 0; i < 997; i++)
    mkdir(Pf("/many").c_str(), 0777), mkdir(Pf("/many/" + std::to_string(i)).c_str(), 0777);
  VXDB db;
  RunScan(&db);
  EXPECT_TRUE(Logged("Scan result: 1001 folders, ")) << Log();
  EXPECT_FALSE(Logged("endless loop"));
  FreeVXDB(&db);

  // The 1002nd folder, last in the host's order, is never listed.
  WriteFile(Pf("/many/997/late.txt"), "x");
  fclose(fopen((io / "console").c_str(), "w"));
  unlink((disk / "ProgramFiles/Settings/TAPSystem.log").c_str());
  RunScan(&db);
  EXPECT_TRUE(Logged("Recursive scan seems to be in an endless loop!")) << Log();
  EXPECT_FALSE(Logged("Scan result"));
  for (const std::string &p : Paths(db))
    EXPECT_NE(p, "/many/997/late.txt");
  FreeVXDB(&db);
}

class Lookup : public AppFixture {
protected:
  void SetUp() override
  {
    AppFixture::SetUp();
    StrCopy(DestRoot, sizeof DestRoot, (dest.path() + "/").c_str());
    StrCopy(LastDestRoot, sizeof LastDestRoot, "unchanged");
    memset(&found, 0, sizeof found);
  }
  void TearDown() override
  {
    FreeVXDB(&found);
    AppFixture::TearDown();
  }
  static dword Date(int y, unsigned m, unsigned d, int hour = 3)
  {
    return (dword)(TapDaysFromCivil(y, m, d) + kMjdOfUnixEpoch) << 16 | (dword)hour << 8;
  }
  // A catalogue of one entry (so that its contents can be told apart).
  void Backup(const std::string &folder, dword date, const char *name = "x")
  {
    VXDB db;
    memset(&db, 0, sizeof db);
    FreeVXDB(&db);
    WriteFile(Src(std::string("/") + name), name);
    AddToVXDB(Src(std::string("/") + name).c_str(), &db);
    mkdir((dest / folder).c_str(), 0777);
    LastBackup = date;
    ASSERT_EQ(SaveVXDB((dest / (folder + "/VXDB.db")).c_str(), &db), 1);
    FreeVXDB(&db);
  }
  std::string Name(int i) { return found.Text + found.Entries[i].NameOffset; }
  // A catalogue whose header is sound and whose text pool is not: only a
  // whole load finds out.
  void Break(const std::string &folder)
  {
    std::string path = dest / (folder + "/VXDB.db");
    std::string bytes = ReadFile(path);
    bytes[36 + 48] = 'x';
    WriteFile(path, bytes);
  }
  // The choice of the plain walk, every catalogue loaded whole in listing
  // order and kept only when strictly newer; skip leaves one folder out.
  std::string WholeLoadChoice(const std::string &skip = "")
  {
    std::string best = "unchanged";
    dword bestDate = 0;
    DIR *d = opendir(dest.path().c_str());
    while (struct dirent *e = readdir(d)) {
      struct stat st;
      std::string dir = dest / e->d_name;
      if (e->d_name == skip || lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        continue;
      VXDB c;
      memset(&c, 0, sizeof c);
      if (LoadVXDB((dir + "/VXDB.db").c_str(), &c) && bestDate < c.BackupDate) {
        bestDate = c.BackupDate;
        best = dir + "/";
      }
      FreeVXDB(&c);
    }
    closedir(d);
    return best;
  }
  // Newest dates broken, ties among the next: a year's worth of folders.
  void Year()
  {
    for (int day = 10; day <= 28; day++)
      Backup("2024-03-" + std::to_string(day), Date(2024, 3, day), ("m" + std::to_string(day)).c_str());
    for (const char *tie : {"2024-06-01", "2024-06-02", "2024-06-03", "2024-06-04"})
      Backup(tie, Date(2024, 6, 1), tie);
    Break("2024-06-02");
    for (const char *broken : {"2024-12-24", "2024-12-25"}) {
      Backup(broken, Date(2024, 12, 24), broken);
      Break(broken);
    }
  }

  TempDir dest;
  VXDB found;
};

TEST_F(Lookup, NothingToFindIsTheFirstBackup)
{
  mkdir((dest / "2024-01-01").c_str(), 0777);
  WriteFile(dest / "2024-01-02/other.txt", "no catalogue");
  FindLastBackup(&found);
  EXPECT_EQ(found.NrEntries, 0);
  EXPECT_EQ(found.BackupDate, 0u);
  EXPECT_STREQ(LastDestRoot, "unchanged");
  EXPECT_TRUE(Logged("No previous backup found, this might be the first one."));

  StrCopy(DestRoot, sizeof DestRoot, (dest / "missing/").c_str());
  FindLastBackup(&found);
  EXPECT_STREQ(LastDestRoot, "unchanged");
}

TEST_F(Lookup, NewestCatalogueWinsByItsOwnDate)
{
  Backup("2024-02-01", Date(2024, 2, 1), "feb");
  Backup("2024-01-01", Date(2024, 1, 1), "jan");
  Backup("2024-01-20", Date(2024, 1, 15), "mid");
  FindLastBackup(&found);
  EXPECT_EQ(std::string(LastDestRoot), dest / "2024-02-01/");
  EXPECT_TRUE(Logged("Last backup found: 2024-02-01")) << Log();
  ASSERT_EQ(found.NrEntries, 1);
  EXPECT_EQ(Name(0), "feb") << "the entries must stay valid while later candidates load";

  Backup("2023-12-31", Date(2024, 3, 1, 22), "mar");
  Backup("2024-03-01", Date(2024, 3, 1, 21), "earlier that day");
  // Only a folder named as a dated backup is one: others hold copies.
  Backup("not-a-date", Date(2024, 4, 1), "copy");
  Backup("2024-4-02", Date(2024, 4, 2), "copy");
  Backup("2024-04-03x", Date(2024, 4, 3), "copy");
  FindLastBackup(&found);
  EXPECT_EQ(std::string(LastDestRoot), dest / "2023-12-31/");
  EXPECT_EQ(Name(0), "mar");
}

TEST_F(Lookup, BrokenLinkedAndUndatedCataloguesArePassedOver)
{
  Backup("2024-01-01", Date(2024, 1, 1));
  Backup("2024-04-01", 0);
  WriteFile(dest / "2024-05-01/VXDB.db", "VXDB but nothing more");
  Backup("2024-06-01", Date(2024, 6, 1));
  symlink((dest / "2024-06-01").c_str(), (dest / "2024-07-01").c_str());
  WriteFile(dest / "2024-08-01", "x");
  rename((dest / "2024-06-01").c_str(), (dest / "2024-06-02").c_str());
  symlink((dest / "2024-06-02").c_str(), (dest / "2024-06-01").c_str());
  FindLastBackup(&found);
  EXPECT_EQ(std::string(LastDestRoot), dest / "2024-06-02/");

  unlink((dest / "2024-06-02/VXDB.db").c_str());
  FindLastBackup(&found);
  EXPECT_EQ(std::string(LastDestRoot), dest / "2024-01-01/");
}

TEST_F(Lookup, EqualDatesGoToTheFirstListed)
{
  Backup("2024-04-04", Date(2024, 4, 4), "2024-04-04");
  Backup("2024-04-05", Date(2024, 4, 4), "2024-04-05");
  std::string first;
  DIR *d = opendir(dest.path().c_str());
  while (struct dirent *e = readdir(d))
    if (first.empty() && (!strcmp(e->d_name, "2024-04-04") || !strcmp(e->d_name, "2024-04-05")))
      first = e->d_name;
  closedir(d);
  FindLastBackup(&found);
  EXPECT_EQ(std::string(LastDestRoot), dest / (first + "/"));
  EXPECT_EQ(Name(0), first);
}

TEST_F(Lookup, ABrokenNewestCatalogueGivesWayToTheNextBest)
{
  Year();
  std::string choice = WholeLoadChoice();
  ASSERT_TRUE(choice == dest / "2024-06-01/" || choice == dest / "2024-06-03/" || choice == dest / "2024-06-04/")
      << choice;
  FindLastBackup(&found);
  EXPECT_EQ(std::string(LastDestRoot), choice);
  ASSERT_EQ(found.NrEntries, 1);
  EXPECT_EQ(dest / (Name(0) + "/"), choice) << "the entries are the chosen catalogue's";
  EXPECT_TRUE(Logged("Last backup found: 2024-06-01")) << Log();
}

TEST_F(Lookup, WithoutMemoryTheChoiceIsStillAWholeLoadChoice)
{
  Year();
  // One failed allocation may fail one catalogue's load, no more.
  std::set<std::string> acceptable = {WholeLoadChoice()};
  DIR *d = opendir(dest.path().c_str());
  while (struct dirent *e = readdir(d))
    acceptable.insert(WholeLoadChoice(e->d_name));
  closedir(d);
  int64_t live = rt->liveBlocks;
  for (bool from : {false, true})
    for (uint64_t n = 1;; n++) {
      StrCopy(LastDestRoot, sizeof LastDestRoot, "unchanged");
      rt->failAllocAt = rt->allocCalls + n;
      rt->failAllocFrom = from;
      FindLastBackup(&found);
      bool injected = rt->allocCalls >= rt->failAllocAt;
      rt->failAllocAt = 0;
      rt->failAllocFrom = false;
      std::string chosen = LastDestRoot;
      if (from)
        EXPECT_TRUE(chosen == WholeLoadChoice() || chosen == "unchanged") << chosen; // later loads all fail
      else
        EXPECT_TRUE(acceptable.count(chosen)) << "failing allocation " << n << ": " << chosen;
      if (chosen != "unchanged") {
        ASSERT_EQ(found.NrEntries, 1);
        EXPECT_EQ(dest / (Name(0) + "/"), chosen);
      }
      FreeVXDB(&found);
      EXPECT_EQ(rt->liveBlocks, live) << "failing allocation " << n;
      if (!injected)
        break;
    }
}

} // namespace
