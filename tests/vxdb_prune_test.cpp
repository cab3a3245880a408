// vxdb prune: the keep rules against a small model of restic's, and what a
// removal leaves on the disk (decoys, links, files shared with kept days).
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/VXDBFormat.h"
#include "checksum/Md5.h"
#include "support/BackupScenario.h"
#include "support/Catalogues.h"
#include "support/RecorderNamespace.h"
#include "support/ShareServer.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string DayName(int dayOfYear2024)
{
  struct tm tm{};
  tm.tm_year = 124;
  tm.tm_mday = dayOfYear2024 + 1;
  time_t t = timegm(&tm);
  gmtime_r(&t, &tm);
  char buf[16];
  strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

// restic's forget policy as its documentation states it, with strftime for
// the buckets: newest first, a rule keeps a snapshot whose bucket differs
// from the last one it kept, until its count is spent.
std::set<std::string> Model(std::vector<std::string> names, int last, int daily, int weekly, int monthly)
{
  std::sort(names.rbegin(), names.rend());
  auto fmt = [](const std::string &name, const char *f) {
    struct tm tm{};
    strptime(name.c_str(), "%Y-%m-%d", &tm);
    time_t t = timegm(&tm);
    gmtime_r(&t, &tm);
    char buf[16];
    strftime(buf, sizeof buf, f, &tm);
    return std::string(buf);
  };
  struct Rule {
    int left;
    std::function<std::string(size_t)> bucket;
    std::string last = "none";
  };
  std::vector<Rule> rules = {{last, [](size_t i) { return std::to_string(i); }},
                             {daily, [&](size_t i) { return names[i]; }},
                             {weekly, [&](size_t i) { return fmt(names[i], "%G-%V"); }},
                             {monthly, [&](size_t i) { return fmt(names[i], "%Y-%m"); }}};
  std::set<std::string> keep;
  for (size_t i = 0; i < names.size(); ++i)
    for (auto &r : rules)
      if (r.left > 0 && r.bucket(i) != r.last) {
        r.last = r.bucket(i);
        --r.left;
        keep.insert(names[i]);
      }
  return keep;
}

// The folder names in one array of prune's JSON output, up to the next key.
std::set<std::string> Folders(const std::string &json, const std::string &array, const std::string &next)
{
  size_t from = json.find("\"" + array + "\":["), to = json.find("\"" + next + "\":[");
  std::string part = json.substr(from, to - from);
  std::set<std::string> names;
  std::regex folder("\"folder\":\"([^\"]*)\"");
  for (std::sregex_iterator it(part.begin(), part.end(), folder), end; it != end; ++it)
    names.insert((*it)[1]);
  return names;
}

// Decoys that look like backups by name: no catalogue, a link to a real
// backup outside the root, a file.
void LayDecoys(const std::string &root, const std::string &outside)
{
  fs::create_directories(root + "/2020-01-01");
  WriteFile(root + "/2020-01-01/keep.me", "no catalogue");
  WriteFile(outside + "/VXDB.db", EmptyCatalogue());
  WriteFile(outside + "/precious", "outside");
  fs::create_directory_symlink(outside, root + "/2020-01-02");
  WriteFile(root + "/2020-01-03", "a file named like a date");
  WriteFile(root + "/2020-01-04/VXDB.db", "VXDB short");
}

class VxdbPrune : public ::testing::Test {
protected:
  TempDir tmp;
  std::string root = tmp / "Vaultrix";
};

TEST_F(VxdbPrune, KeepRulesAgreeWithResticsOverAYearOfDays)
{
  std::vector<std::string> names;
  for (int d = 0; d < 366; ++d)
    if (d % 11 != 5 && d % 17 != 3)  // days without a backup
      names.push_back(DayName(d));
  for (const auto &n : names)
    WriteFile(root + "/" + n + "/VXDB.db", EmptyCatalogue());
  LayDecoys(root, tmp / "outside");
  std::set<std::string> before = NamesIn(root);

  struct Policy {
    int last, daily, weekly, monthly;
  };
  for (Policy p : {Policy{3, 0, 0, 0}, Policy{0, 7, 0, 0}, Policy{0, 0, 5, 0}, Policy{0, 0, 0, 13},
                   Policy{2, 10, 6, 4}, Policy{0, 400, 0, 0}, Policy{1, 0, 60, 12}}) {
    SCOPED_TRACE(testing::Message() << p.last << " " << p.daily << " " << p.weekly << " " << p.monthly);
    ProgramRun r = RunVxdbTool({"prune", "--dry-run", "--json", "--keep-last", std::to_string(p.last), "--keep-daily",
                         std::to_string(p.daily), "--keep-weekly=" + std::to_string(p.weekly), "--keep-monthly",
                         std::to_string(p.monthly), root});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> keep = Model(names, p.last, p.daily, p.weekly, p.monthly);
    EXPECT_EQ(Folders(r.out, "kept", "removed"), keep);
    EXPECT_EQ(Folders(r.out, "removed", "skipped").size() + keep.size(), names.size());
    EXPECT_EQ(NamesIn(root), before);
  }

  ProgramRun r = RunVxdbTool({"prune", "--keep-weekly", "3", "--keep-monthly", "2", root});
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> left = Model(names, 0, 0, 3, 2);
  left.insert({"2020-01-01", "2020-01-02", "2020-01-03", "2020-01-04"});
  EXPECT_EQ(NamesIn(root), left);
  EXPECT_EQ(ReadFile(tmp / "outside/precious"), "outside");
  EXPECT_EQ(ReadFile(root + "/2020-01-01/keep.me"), "no catalogue");
  EXPECT_NE(r.out.find("Not a backup  2020-01-02  (a symbolic link)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Not a backup  2020-01-04  (catalogue does not load: "), std::string::npos) << r.out;
}

// Three days laid as the plug-in lays them: unchanged files hard-linked to
// the day before. Removing the first two frees only what the third does not
// share, finishes a removal that was cut short, and follows no link.
TEST_F(VxdbPrune, RemovesWholeBackupsAndCountsOnlyLastLinks)
{
  std::string d1 = root + "/2024-03-01", d2 = root + "/2024-03-02", d3 = root + "/2024-03-03";
  WriteFile(d1 + "/same.bin", std::string(1000, 's'));
  WriteFile(d1 + "/sub/old.bin", std::string(300, 'o'));
  WriteFile(tmp / "outside/target", "must survive");
  fs::create_symlink(tmp / "outside/target", d1 + "/sub/link");
  fs::create_directory_symlink(tmp / "outside", d1 + "/dirlink");
  fs::create_directories(d2 + "/sub");
  fs::create_hard_link(d1 + "/same.bin", d2 + "/same.bin");
  WriteFile(d2 + "/sub/mid.bin", std::string(50, 'm'));
  fs::create_directories(d3 + "/sub");
  fs::create_hard_link(d1 + "/same.bin", d3 + "/same.bin");
  fs::create_hard_link(d2 + "/sub/mid.bin", d3 + "/sub/mid.bin");
  WriteFile(d3 + "/new.bin", std::string(7, 'n'));
  for (const auto &d : {d1, d2, d3})
    WriteFile(d + "/VXDB.db", EmptyCatalogue());
  // An earlier removal stopped after the catalogue had gone.
  WriteFile(root + "/2024-02-01/" VXDB_REMOVING_NAME, "");
  WriteFile(root + "/2024-02-01/rest.bin", std::string(20, 'r'));
  LayDecoys(root, tmp / "outside2");
  TreeSnapshot kept = SnapshotTree(d3);

  // What a removal frees is the disk's allocation, as du counts it.
  auto du = [](const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
  };
  uint64_t rest = du(root + "/2024-02-01/rest.bin"), old = du(d1 + "/sub/old.bin"), cat = du(d1 + "/VXDB.db");
  ProgramRun dry = RunVxdbTool({"prune", "--dry-run", "--keep-last", "1", root});
  EXPECT_EQ(dry.status, 0) << dry.err;
  ProgramRun r = RunVxdbTool({"prune", "--json", "--keep-last", "1", root});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"root\":\"" + root + "\",\"dry_run\":false,"
                   "\"kept\":[{\"folder\":\"2024-03-03\",\"state\":\"complete\",\"rules\":[\"last\"]}],"
                   "\"removed\":[{\"folder\":\"2024-02-01\",\"state\":\"being_removed\",\"files\":1,\"freed_size\":" + std::to_string(rest) + "},"
                   "{\"folder\":\"2024-03-01\",\"state\":\"complete\",\"files\":2,\"freed_size\":" + std::to_string(old + cat) + "},"
                   "{\"folder\":\"2024-03-02\",\"state\":\"complete\",\"files\":2,\"freed_size\":" + std::to_string(cat) + "}],"
                   "\"left_alone\":[],"
                   "\"skipped\":[{\"name\":\"2020-01-01\",\"reason\":\"no catalogue and no marker of the plug-in\"},"
                   "{\"name\":\"2020-01-02\",\"reason\":\"a symbolic link\"},"
                   "{\"name\":\"2020-01-03\",\"reason\":\"not a folder\"},"
                   "{\"name\":\"2020-01-04\",\"reason\":\"catalogue does not load: " + root + "/2020-01-04/VXDB.db: not a usable catalogue: " +
                   std::string(VXDBErrorText(VXDB_ERR_SHORT_HEADER)) + "\"}],\"freed_size\":" + std::to_string(rest + old + 2 * cat) +
                   ",\"space_guessed\":false}\n");
  EXPECT_EQ(NamesIn(root), (std::set<std::string>{"2020-01-01", "2020-01-02", "2020-01-03", "2020-01-04", "2024-03-03"}));
  EXPECT_EQ(SnapshotTree(d3), kept);
  EXPECT_EQ(ReadFile(tmp / "outside/target"), "must survive");
  EXPECT_EQ(ReadFile(tmp / "outside2/precious"), "outside");
  struct stat st;
  ASSERT_EQ(stat((d3 + "/same.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);
  // The dry run had said the same in words.
  EXPECT_NE(dry.out.find("Would remove  2024-03-01  2 files, " ), std::string::npos) << dry.out;
  EXPECT_NE(dry.out.find("1 backup kept, 3 would be removed, "), std::string::npos) << dry.out;

  // Nothing left to remove is fine; no backups at all, or no rule, is refused.
  EXPECT_EQ(RunVxdbTool({"prune", "--keep-daily", "1", root}).status, 0);
  fs::remove_all(d3);
  ProgramRun none = RunVxdbTool({"prune", "--keep-daily", "1", root});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.err, "vxdb prune: " + root + ": no complete backups here\n");
  EXPECT_EQ(RunVxdbTool({"prune", "--keep-daily", "0", root}).status, 2);
  EXPECT_EQ(RunVxdbTool({"prune", "--keep-daily", "x", root}).status, 2);
  EXPECT_EQ(NamesIn(root), (std::set<std::string>{"2020-01-01", "2020-01-02", "2020-01-03", "2020-01-04"}));
}

// prune under a time limit: a removal that waits on what it finds fails
// the test instead of hanging it.
ProgramRun Prune(const std::vector<std::string> &args)
{
  std::vector<std::string> argv = {"timeout", "-s", "KILL", "60", VX_EMULATOR_ARGV VX_BINARY_DIR "/vxdb", "prune"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, {"TZ=UTC"});
}

// A marker is made afresh, never followed nor truncated: a link, a FIFO or
// an owner's file by the marker's name leaves its backup alone, named, and
// the next expired backup still goes.
TEST_F(VxdbPrune, MarkersAreMadeNeverFollowed)
{
  WriteFile(tmp / "Recordings/film.rec", Pattern(50000, 1));
  for (const char *day : {"2000-01-01", "2000-01-02", "2000-01-03", "2000-01-04", "2000-01-05"})
    WriteFile(root + "/" + day + "/VXDB.db", EmptyCatalogue());
  fs::create_symlink(tmp / "Recordings/film.rec", root + "/2000-01-01/" VXDB_REMOVING_NAME);
  ASSERT_EQ(mkfifo((root + "/2000-01-02/" VXDB_REMOVING_NAME).c_str(), 0644), 0);
  WriteFile(root + "/2000-01-05/" VXDB_REMOVING_NAME, "the owner's own file");
  fs::create_hard_link(root + "/2000-01-05/" VXDB_REMOVING_NAME, root + "/2000-01-03/" VXDB_REMOVING_NAME);
  WriteFile(root + "/2000-01-04/data.bin", "goes");
  TreeSnapshot kept = SnapshotTree(root + "/2000-01-05");

  ProgramRun r = Prune({"--keep-last", "1", root});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(NamesIn(root), (std::set<std::string>{"2000-01-01", "2000-01-02", "2000-01-03", "2000-01-05"}));
  EXPECT_EQ(ReadFile(tmp / "Recordings/film.rec"), Pattern(50000, 1));
  EXPECT_EQ(SnapshotTree(root + "/2000-01-05"), kept);
  for (const char *day : {"2000-01-01", "2000-01-02", "2000-01-03"})
    EXPECT_TRUE(Exists(root + "/" + day + "/VXDB.db")) << day << " was touched";
  EXPECT_EQ(r.err, "vxdb prune: 2000-01-01: it holds VXDB.removing, a symbolic link, which is no removal marker of "
                   "the plug-in; left alone\n"
                   "vxdb prune: 2000-01-02: it holds VXDB.removing, not a regular file, which is no removal marker "
                   "of the plug-in; left alone\n"
                   "vxdb prune: 2000-01-03: it holds VXDB.removing, a file with other names (hard links), which is "
                   "no removal marker of the plug-in; left alone\n");
  EXPECT_NE(r.out.find("Removed       2000-01-04  1 file, "), std::string::npos) << r.out;
}

// No other file system, bind mounts included, is entered: the backup that
// holds one is left with it and named, and the next one goes.
TEST_F(VxdbPrune, AMountInsideABackupIsLeftAloneAndTheRestGoesOn)
{
  if (!EnterPrivateMounts().empty())
    GTEST_SKIP() << "mounts need root";
  WriteFile(tmp / "Recordings/film.rec", Pattern(50000, 2));
  for (const char *day : {"2000-01-01", "2000-01-02", "2000-01-03", "2000-01-04"}) {
    WriteFile(root + "/" + day + "/VXDB.db", EmptyCatalogue());
    WriteFile(root + "/" + day + "/sub/file.bin", day);
  }
  ASSERT_EQ(mount((tmp / "Recordings").c_str(), (root + "/2000-01-01/sub").c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount("vxtmp", (root + "/2000-01-02/sub").c_str(), "tmpfs", 0, "size=1m"), 0);
  WriteFile(root + "/2000-01-02/sub/other.bin", "on another file system");

  ProgramRun r = Prune({"--keep-last", "1", root});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(Lines(r.err), (std::vector<std::string>{
                              "vxdb prune: 2000-01-01: a mount point is at 2000-01-01/sub; left alone with its contents",
                              "vxdb prune: 2000-01-02: another file system is mounted at 2000-01-02/sub; left alone "
                              "with its contents"}));
  EXPECT_EQ(NamesIn(root), (std::set<std::string>{"2000-01-01", "2000-01-02", "2000-01-04"}));
  EXPECT_EQ(ReadFile(tmp / "Recordings/film.rec"), Pattern(50000, 2));
  EXPECT_EQ(ReadFile(root + "/2000-01-02/sub/other.bin"), "on another file system");
  EXPECT_TRUE(Exists(root + "/2000-01-01/VXDB.db"));
  umount2((root + "/2000-01-01/sub").c_str(), MNT_DETACH);
  umount2((root + "/2000-01-02/sub").c_str(), MNT_DETACH);
  // Once the mounts are gone, so are the backups.
  ProgramRun again = Prune({"--keep-last", "1", root});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(NamesIn(root), std::set<std::string>{"2000-01-04"});
}

// Folders the plug-in began and never finished go once older than what the
// rules keep, first; partial runs never count as kept backups; a name that
// is no calendar date is no backup.
TEST_F(VxdbPrune, UnfinishedAndPartialFoldersGoWhenExpiredAndNeverCountAsKept)
{
  auto day = [&](const char *name, const char *catalogue) {
    WriteFile(root + "/" + name + "/a.bin", name);
    WriteFile(root + "/" + name + "/" + catalogue, std::string(catalogue).rfind("VXDB.unf", 0) ? EmptyCatalogue() : "");
  };
  day("2024-03-01", VXDB_FILE_NAME);
  day("2024-03-02", VXDB_UNFINISHED_NAME);
  day("2024-03-03", VXDB_FILE_NAME);
  day("2024-03-04", VXDB_PARTIAL_NAME);
  day("2024-03-05", VXDB_FILE_NAME);
  day("2024-03-06", VXDB_UNFINISHED_NAME);  // the newest folder stays, whatever it is
  day("2024-13-45", VXDB_FILE_NAME);
  day("2024-02-30", VXDB_FILE_NAME);

  ProgramRun r = Prune({"--keep-last", "2", root});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(NamesIn(root), (std::set<std::string>{"2024-03-03", "2024-03-04", "2024-03-05", "2024-03-06",
                                                  "2024-13-45", "2024-02-30"}));
  ExpectInOrder(r.out, {"Keep          2024-03-03  (last)", "Keep          2024-03-04  (incomplete, not old enough to go)",
                        "Keep          2024-03-05  (last)", "Keep          2024-03-06  (unfinished, not old enough to go)",
                        "Removed       2024-03-02  1 file, ", " freed; it was unfinished (the plug-in began it and never finished)",
                        "Removed       2024-03-01  1 file, ",
                        "Not a backup  2024-02-30  (not a calendar date)",
                        "Not a backup  2024-13-45  (not a calendar date)"});
}

// A backup laid by hand: its files, its catalogue and notes.
void HandBackup(const std::string &folder, const std::vector<HandFile> &files)
{
  auto md5 = [](const std::string &content, uint8_t *out) {
    MD5Context c;
    MD5Init(&c);
    MD5Update(&c, (const byte *)content.data(), (dword)content.size());
    MD5Final(&c);
    memcpy(out, c.digest, 16);
  };
  for (const auto &f : files)
    if (f.backedUp)
      WriteFile(folder + f.path, f.content);
  auto [catalogue, notes] = HandCatalogue(files, 0, md5);
  WriteFile(folder + "/" VXDB_FILE_NAME, catalogue);
  if (!notes.empty())
    WriteFile(folder + "/" VXDB_NOTES_NAME, notes);
}

// No file the newest backup lists loses its last good copy, whatever the
// rules say: the newest backup holding a good one stays for each file it
// does not hold intact (not backed up, changed while read, a folder not
// taken), passing over a copy cut short on the disk; the dry run says so
// first, and what goes holds no last good copy.
TEST_F(VxdbPrune, TheLastGoodCopyOfEveryFileStays)
{
  const HandFile a{"/a.dat", "a"}, b1{"/b.dat", "b, first"}, b3{"/b.dat", "b, third"}, c{"/c.dat", "c"},
      x{"/d/x.dat", "x"};
  HandBackup(root + "/2024-03-01", {a, b1, c, x});
  HandBackup(root + "/2024-03-02", {a, b1, c, x});
  HandBackup(root + "/2024-03-03", {a, b3, {"/c.dat", "", false}, x});
  HandBackup(root + "/2024-03-04", {a, {"/b.dat", "b, fourth", true, VXDB_NOTE_CHANGED}, {"/c.dat", "", false}, x});
  HandBackup(root + "/2024-03-05", {a, {"/b.dat", "b, fifth", true, VXDB_NOTE_CHANGED}, {"/c.dat", "", false},
                                    {"/d", "", false, VXDB_NOTE_FOLDER}});
  // The third day's copy of b was cut short after its catalogue stood.
  WriteFile(root + "/2024-03-03/b.dat", "b, th");
  TreeSnapshot before = SnapshotTree(root);

  ProgramRun dry = Prune({"--dry-run", "--keep-last", "1", root});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(SnapshotTree(root), before);
  ProgramRun r = Prune({"--json", "--keep-last", "1", root});
  ASSERT_EQ(r.status, 0) << r.err;
  // 03-03's b is not whole, so 03-02 holds the last good copies of b and
  // c; 03-04 the last good copy of what the folder d holds.
  EXPECT_TRUE(Contains(dry.out, "Keep          2024-03-02  (the last good copy of 2 files)\n")) << dry.out;
  EXPECT_TRUE(Contains(dry.out, "Keep          2024-03-04  (the last good copy of 1 file)\n")) << dry.out;
  EXPECT_TRUE(Contains(dry.out, "Would remove  2024-03-01")) << dry.out;
  EXPECT_TRUE(Contains(dry.out, "Would remove  2024-03-03")) << dry.out;
  EXPECT_EQ(Folders(r.out, "kept", "removed"), (std::set<std::string>{"2024-03-02", "2024-03-04", "2024-03-05"}))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"folder\":\"2024-03-02\",\"state\":\"complete\",\"rules\":[],\"last_good_copy_of\":2"))
      << r.out;
  EXPECT_EQ(NamesIn(root), (std::set<std::string>{"2024-03-02", "2024-03-04", "2024-03-05"}));
  EXPECT_EQ(ReadFile(root + "/2024-03-04/d/x.dat"), "x");
  EXPECT_EQ(ReadFile(root + "/2024-03-02/b.dat"), "b, first");
  EXPECT_EQ(ReadFile(root + "/2024-03-02/c.dat"), "c");

  // Once the newest backup holds them intact, the rules alone decide.
  HandBackup(root + "/2024-03-06", {a, b3, c, x});
  ProgramRun later = Prune({"--keep-last", "2", root});
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_EQ(NamesIn(root), (std::set<std::string>{"2024-03-05", "2024-03-06"})) << later.out;
}

// On a share whose file system shows no link counts (sshfs), the space
// freed is not made up, and stats says its figures are a guess.
class VxdbPruneOnShare : public OnShareServer<::testing::Test> {};

TEST_F(VxdbPruneOnShare, SpaceOnAShareWithoutLinkCountsIsNotMadeUp)
{
  std::string served = server->Share() + "/backup";
  for (const char *day : {"2024-03-01", "2024-03-02"})
    WriteFile(served + "/" + day + "/VXDB.db", EmptyCatalogue());
  WriteFile(served + "/2024-03-01/same.bin", Pattern(10000, 1));
  fs::create_hard_link(served + "/2024-03-01/same.bin", served + "/2024-03-02/same.bin");
  TempDir mnt;
  ASSERT_EQ(system((server->MountCommand(mnt.path()) + " 2>/dev/null").c_str()), 0);

  ProgramRun p = Prune({"-n", "--keep-last", "1", mnt / "backup"});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_NE(p.out.find("Would remove  2024-03-01  1 file, space freed unknown: fuse.sshfs shows no hard links\n"),
            std::string::npos)
      << p.out;
  ProgramRun s = RunVxdbTool({"stats", mnt / "backup"});
  EXPECT_EQ(s.status, 0) << s.err;
  EXPECT_NE(s.out.find("This file system (fuse.sshfs) shows no hard links"), std::string::npos) << s.out;
  EXPECT_EQ(umount2(mnt.path().c_str(), 0), 0);
}

}  // namespace
