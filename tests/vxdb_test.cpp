// The owner's PC tool: backups are laid out here as the plug-in lays them
// (files with their times, hard links, a catalogue written with the shared
// encoders), then vxdb runs as its own process and the disk is looked at.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/VXDBFormat.h"
#include "checksum/CRC32.h"
#include "checksum/Md5.h"
#include "support/BackupScenario.h"
#include "support/FormattedDisk.h"
#include "support/JsonDocument.h"
#include "support/SmallDisk.h"
#include "support/TestSupport.h"
#include "tools/vxdb/Catalogue.h"
#include "tools/vxdb/Output.h"
#include "tools/vxdb/Progress.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMar5 = 60374u << 16 | 14 << 8 | 30;  // 2024-03-05 14:30
constexpr uint32_t kMar6 = 60375u << 16 | 9 << 8 | 5;    // 2024-03-06 09:05

using ToolRun = ProgramRun;

// Times in UTC, so that listings do not depend on the machine's zone.
ToolRun Exec(const std::vector<std::string> &args) { return RunProgram(args, {"TZ=UTC"}); }

// This build's vxdb, under the emulator in a cross build.
ToolRun Vxdb(const std::vector<std::string> &args)
{
  return RunVxdbTool(args);
}

std::array<uint8_t, 16> Digest(const std::string &content)
{
  MD5Context ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const byte *>(content.data()), dword(content.size()));
  MD5Final(&ctx);
  std::array<uint8_t, 16> d;
  memcpy(d.data(), ctx.digest, 16);
  return d;
}

// The text pool as the plug-in builds it: a zero byte, then each string once.
struct Pool {
  std::string bytes = std::string(1, '\0');
  Pool() = default;
  explicit Pool(std::string existing) : bytes(std::move(existing)) {}
  int32_t Add(const std::string &s)
  {
    for (size_t at = 0; at < bytes.size(); at += strlen(bytes.c_str() + at) + 1)
      if (bytes.c_str() + at == s)
        return int32_t(at);
    bytes += s;
    bytes += '\0';
    return int32_t(bytes.size() - s.size() - 1);
  }
};

struct File {
  std::string folder, name, content;
  int32_t mtime = 1700000000;
  bool failed = false;  // logged as failed by the plug-in: no digest, no copy
  std::string Path() const { return folder + name; }
};

VXDBEntry EntryFor(Pool &pool, const File &f)
{
  VXDBEntry e{};
  e.FolderOffset = pool.Add(f.folder);
  e.NameOffset = pool.Add(f.name);
  std::string path = f.Path();
  e.PathCRC = CRC32(0, path.data(), dword(path.size()));
  e.FileSize = f.content.size();
  e.ChangeTime = f.mtime;
  e.ModifyTime = f.mtime;
  auto d = Digest(f.content);
  if (!f.failed)
    memcpy(e.MD5, d.data(), 16);
  return e;
}

std::string Encode(uint32_t date, const std::vector<VXDBEntry> &entries, const std::string &pool)
{
  VXDBHeader h{};
  memcpy(h.Magic, VXDB_MAGIC, 4);
  h.Version = VXDB_VERSION;
  h.BackupDate = date;
  h.NrEntries = int32_t(entries.size());
  h.EntriesAllocated = (h.NrEntries + 99) / 100 * 100;
  h.TextLength = int32_t(pool.size());
  h.TextAllocated = h.TextLength + VXDB_TEXT_STEP;
  std::string out(VXDB_HEADER_SIZE + entries.size() * VXDB_ENTRY_SIZE, '\0');
  auto *b = reinterpret_cast<uint8_t *>(out.data());
  VXDBEncodeHeader(&h, b);
  for (size_t i = 0; i < entries.size(); ++i)
    VXDBEncodeEntry(&entries[i], b + VXDB_HEADER_SIZE + i * VXDB_ENTRY_SIZE);
  if (!entries.empty())
    out += pool;
  return out;
}

std::string CatalogueOf(uint32_t date, const std::vector<File> &files)
{
  Pool pool;
  std::vector<VXDBEntry> entries;
  for (const auto &f : files)
    entries.push_back(EntryFor(pool, f));
  return Encode(date, entries, pool.bytes);
}

void SetMtime(const std::string &path, int64_t t)
{
  struct timespec ts[2] = {{time_t(t), 0}, {time_t(t), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The space a file takes on its disk, as du counts it.
uint64_t Du(const std::string &path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

void WriteTree(const std::string &root, const std::vector<File> &files)
{
  for (const auto &f : files) {
    if (f.failed)
      continue;
    WriteFile(root + f.Path(), f.content);
    SetMtime(root + f.Path(), f.mtime);
  }
}

// A dated backup folder: the files, and the catalogue of exactly those.
void LayBackup(const std::string &folder, uint32_t date, const std::vector<File> &files,
               const char *catalogue = VXDB_FILE_NAME)
{
  WriteTree(folder, files);
  WriteFile(folder + "/" + catalogue, CatalogueOf(date, files));
}

// Every file below root with its contents and modification time.
std::map<std::string, std::pair<std::string, int64_t>> Tree(const std::string &root)
{
  std::map<std::string, std::pair<std::string, int64_t>> tree;
  for (const auto &e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file())
      continue;
    struct stat st;
    stat(e.path().c_str(), &st);
    tree[e.path().string().substr(root.size())] = {ReadFile(e.path()), int64_t(st.st_mtime)};
  }
  return tree;
}

std::vector<File> DayOfFiles()
{
  return {
      {"/", "Vaultrix.tap", std::string(70000, 'T'), 1709600000},
      {"/Settings/", "TAPSystem.log", "line one\nline two\n", 1709640000},
      {"/Settings/Vaultrix/", "Vaultrix.ini", "DestDevice=e\nDestPath=Vaultrix\n", 1709500000},
      {"/Settings/Other/", "empty.dat", "", 1600000000},
      {"/Data/Epg/", "channels.bin", std::string("\0\1\2\3binary\xff", 11), 1700000123},
  };
}

class VxdbTest : public ::testing::Test {
protected:
  TempDir tmp;
  std::string Backup(const std::string &day = "2024-03-05") { return tmp / ("Vaultrix/" + day); }
};

// ---- verify -------------------------------------------------------------

TEST_F(VxdbTest, VerifyPassesOnAnIntactBackup)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  ToolRun r = Vxdb({"verify", Backup()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "Intact: 5 files, 68.4 KiB, match the 5 files in the catalogue of 2024-03-05 14:30.\n");
  EXPECT_EQ(r.err, "") << "no progress bar when standard error is not a terminal";

  ToolRun viaFile = Vxdb({"verify", "--json", Backup() + "/VXDB.db"});
  EXPECT_EQ(viaFile.status, 0);
  EXPECT_NE(viaFile.out.find("\"intact\":true,\"state\":\"complete\",\"partial\":false,\"files\":5,\"size\":70060"),
            std::string::npos)
      << viaFile.out;
}

TEST_F(VxdbTest, VerifyNamesExactlyTheChangedMissingAndExtraFiles)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  std::string log = Backup() + "/Settings/TAPSystem.log";
  std::string text = ReadFile(log);
  text[3] ^= 0x20;  // one byte, same size, same time
  WriteFile(log, text);
  SetMtime(log, 1709640000);
  fs::remove(Backup() + "/Settings/Vaultrix/Vaultrix.ini");
  WriteFile(Backup() + "/Data/stray.txt", "not in the catalogue");

  ToolRun r = Vxdb({"verify", Backup()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "damaged       /Settings/TAPSystem.log (contents differ)\n"
                   "missing       /Settings/Vaultrix/Vaultrix.ini\n"
                   "extra         /Data/stray.txt\n"
                   "DAMAGED: 1 missing, 1 damaged, 1 extra (of 5 files in the catalogue of 2024-03-05 14:30).\n");

  ToolRun j = Vxdb({"verify", "--json", Backup()});
  EXPECT_EQ(j.status, 1);
  EXPECT_NE(j.out.find("\"intact\":false"), std::string::npos);
  EXPECT_NE(j.out.find("\"missing\":[{\"path\":\"/Settings/Vaultrix/Vaultrix.ini\"}],"
                       "\"damaged\":[{\"path\":\"/Settings/TAPSystem.log\",\"reason\":\"contents differ\"}],"
                       "\"not_backed_up\":[],\"extra\":[{\"path\":\"/Data/stray.txt\"}],\"unsafe\":[]"),
            std::string::npos)
      << j.out;
}

TEST_F(VxdbTest, VerifyReportsSizeChangesLinksAndFilesWithoutDigest)
{
  std::vector<File> files = DayOfFiles();
  LayBackup(Backup(), kMar5, files);
  WriteFile(Backup() + "/Data/Epg/channels.bin", "shorter");
  // A link where a file should be is not followed, not even to a good copy.
  fs::remove(Backup() + "/Vaultrix.tap");
  WriteFile(tmp / "elsewhere/Vaultrix.tap", files[0].content);
  fs::create_symlink(tmp / "elsewhere/Vaultrix.tap", Backup() + "/Vaultrix.tap");

  ToolRun r = Vxdb({"verify", Backup()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("damaged       /Vaultrix.tap (not a regular file)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("damaged       /Data/Epg/channels.bin (size 7, catalogue 11)\n"), std::string::npos);

}

TEST_F(VxdbTest, ProgressBarOnlyWhenAsked)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  ToolRun r = Vxdb({"verify", "--progress", Backup()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("\r["), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("5/5 files  68.4 KiB/68.4 KiB"), std::string::npos) << r.err;
  EXPECT_EQ(Vxdb({"verify", "--no-progress", Backup()}).err, "");
}

// ---- restore ------------------------------------------------------------

TEST_F(VxdbTest, RestoreGivesBackTheSourceTreeWithItsTimes)
{
  std::vector<File> files = DayOfFiles();
  WriteTree(tmp / "source", files);
  LayBackup(Backup(), kMar5, files);

  ToolRun r = Vxdb({"restore", Backup(), tmp / "restored"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "Restored 5 of 5 files (68.4 KiB) from 2024-03-05 14:30 into " + (tmp / "restored") + ".\n");
  EXPECT_EQ(Tree(tmp / "restored"), Tree(tmp / "source"));
}

TEST_F(VxdbTest, RestoreOfNamedFilesAndFolders)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  ToolRun r = Vxdb({"restore", Backup(), tmp / "t", "Settings/Vaultrix", "/Vaultrix.tap"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto tree = Tree(tmp / "t");
  std::set<std::string> names;
  for (const auto &[path, _] : tree)
    names.insert(path);
  EXPECT_EQ(names, (std::set<std::string>{"/Settings/Vaultrix/Vaultrix.ini", "/Vaultrix.tap"}));

  // "/Settings/Vault" names no folder: nothing is written at all.
  ToolRun bad = Vxdb({"restore", Backup(), tmp / "u", "/Settings/Vault"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "vxdb restore: /Settings/Vault: not in this backup\n");
  EXPECT_FALSE(Exists(tmp / "u"));

  // Nor into the backup itself, which would then change.
  ToolRun into = Vxdb({"restore", Backup(), Backup() + "/Settings/../restored"});
  EXPECT_EQ(into.status, 2);
  EXPECT_EQ(into.err, "vxdb restore: " + Backup() + "/Settings/../restored: lies inside the backup's destination " +
                          (tmp / "Vaultrix") + "; choose a folder elsewhere\n");
  EXPECT_FALSE(Exists(Backup() + "/restored"));
}

TEST_F(VxdbTest, RestoreKeepsExistingFilesUnlessForcedAndNeverWritesThroughLinks)
{
  std::vector<File> files = {{"/", "a.ini", "from the backup", 1709000000}};
  LayBackup(Backup(), kMar5, files);
  // The target's a.ini is hard-linked from another backup, which must keep it.
  WriteFile(tmp / "older/a.ini", "older contents");
  fs::create_directories(tmp / "t");
  fs::create_hard_link(tmp / "older/a.ini", tmp / "t/a.ini");

  ToolRun r = Vxdb({"restore", Backup(), tmp / "t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "failed        /a.ini (exists with other contents; --force replaces it)\n");
  EXPECT_EQ(r.out, "Restored 0 of 1 file (0 B) from 2024-03-05 14:30 into " + (tmp / "t") +
                       ". 1 with problems, listed on standard error.\n");
  EXPECT_EQ(ReadFile(tmp / "t/a.ini"), "older contents");

  ToolRun f = Vxdb({"restore", "--force", Backup(), tmp / "t"});
  EXPECT_EQ(f.status, 0) << f.out;
  EXPECT_EQ(ReadFile(tmp / "t/a.ini"), "from the backup");
  EXPECT_EQ(ReadFile(tmp / "older/a.ini"), "older contents");
  EXPECT_EQ(fs::last_write_time(tmp / "t/a.ini").time_since_epoch(),
            fs::last_write_time(Backup() + "/a.ini").time_since_epoch());
  std::vector<std::string> left;
  for (const auto &e : fs::directory_iterator(tmp / "t"))
    left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"a.ini"}) << "no temporary copies left behind";
}

TEST_F(VxdbTest, RestoreWithholdsDamagedFilesUnlessAskedToKeepThem)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  WriteFile(Backup() + "/Settings/TAPSystem.log", "line one\nline twO\n");
  ToolRun r = Vxdb({"restore", Backup(), tmp / "t"});
  EXPECT_EQ(r.status, 1);
  std::string withheld = "failed        /Settings/TAPSystem.log (damaged in the backup: its contents differ from "
                         "the catalogue; not restored; --keep-damaged restores it anyway)\n";
  EXPECT_NE(r.err.find(withheld), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(tmp / "t/Settings/TAPSystem.log"));
  // The dry run reads the copy, and says what the real run does.
  ToolRun dry = Vxdb({"restore", "-n", Backup(), tmp / "n"});
  EXPECT_EQ(dry.status, 1);
  EXPECT_NE(dry.err.find(withheld), std::string::npos) << dry.err;
  EXPECT_EQ(dry.out.find("/Settings/TAPSystem.log"), std::string::npos) << dry.out;
  EXPECT_TRUE(Exists(tmp / "t/Settings/Vaultrix/Vaultrix.ini"));

  ToolRun k = Vxdb({"restore", "--keep-damaged", Backup(), tmp / "k"});
  EXPECT_EQ(k.status, 1);
  EXPECT_NE(k.err.find("damaged       /Settings/TAPSystem.log"), std::string::npos) << k.err;
  EXPECT_EQ(ReadFile(tmp / "k/Settings/TAPSystem.log"), "line one\nline twO\n");
}

TEST_F(VxdbTest, CraftedCataloguePathsCannotLeaveTheTarget)
{
  // Deep enough that every ".." in these paths stays inside this test's folder.
  std::string backup = tmp / "x/y/z/dest/backup", target = tmp / "x/y/z/target";
  std::vector<File> files = {
      {"/Settings/", "good.ini", "good"},
      {"/../", "esc1", "one"},
      {"/../../../", "esc2", "two"},
      {"/Settings/../../", "esc3", "three"},
      {"/", "../esc4", "four"},
      {"", tmp / "esc5", "five"},      // an absolute name
      {"esc6/", "x", "six"},           // a folder that is not "/..../"
      {"/", "..", "seven"},
      {"/Settings/", "good.ini", "good"},  // listed twice
      {tmp / "x/", "inside", "eight"},     // an absolute-looking folder stays below TARGET
  };
  Pool pool;
  std::vector<VXDBEntry> entries;
  for (const auto &f : files)
    entries.push_back(EntryFor(pool, f));
  WriteFile(backup + "/VXDB.db", Encode(kMar5, entries, pool.bytes));
  WriteFile(backup + "/Settings/good.ini", "good");
  WriteFile(backup + tmp.path() + "/x/inside", "eight");
  // Bait where a naive join would read from.
  WriteFile(tmp / "x/y/z/dest/esc1", "one");
  WriteFile(tmp / "x/y/esc2", "two");
  WriteFile(tmp / "x/y/z/dest/esc3", "three");
  std::set<std::string> before;
  for (const auto &e : fs::recursive_directory_iterator(tmp.path()))
    before.insert(e.path());

  ToolRun r = Vxdb({"restore", backup, target});
  EXPECT_EQ(r.status, 1);
  auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 8u) << r.err;
  std::string outside = " (would land outside " + target + ": ";
  EXPECT_EQ(lines[0], "refused       /../esc1" + outside + "climbs out of its folder with \"..\")");
  EXPECT_EQ(lines[1], "refused       /../../../esc2" + outside + "climbs out of its folder with \"..\")");
  EXPECT_EQ(lines[2], "refused       /Settings/../../esc3" + outside + "climbs out of its folder with \"..\")");
  EXPECT_EQ(lines[3], "refused       /../esc4" + outside + "climbs out of its folder with \"..\")");
  EXPECT_EQ(lines[4], "refused       " + (tmp / "esc5") + outside + "has an absolute file name)");
  EXPECT_EQ(lines[5], "refused       esc6/x (has a malformed folder)");
  EXPECT_EQ(lines[6], "refused       /.." + outside + "climbs out of its folder with \"..\")");
  EXPECT_EQ(lines[7], "refused       /Settings/good.ini (is listed twice)");
  EXPECT_EQ(r.out, "Restored 2 of 10 files (9 B) from 2024-03-05 14:30 into " + target +
                       ". 8 with problems, listed on standard error.\n");

  std::set<std::string> after;
  for (const auto &e : fs::recursive_directory_iterator(tmp.path()))
    if (e.path().string().rfind(target, 0) != 0)
      after.insert(e.path());
  EXPECT_EQ(after, before) << "nothing written outside the target";
  EXPECT_EQ(ReadFile(target + "/Settings/good.ini"), "good");
  EXPECT_EQ(ReadFile(target + tmp.path() + "/x/inside"), "eight");
}

TEST_F(VxdbTest, RestoreFollowsNoSymbolicLinkInTheTargetOrTheBackup)
{
  LayBackup(Backup(), kMar5, {{"/Settings/", "a.ini", "a"}, {"/", "b.bin", "b"}});
  fs::create_directories(tmp / "t");
  fs::create_directories(tmp / "elsewhere");
  fs::create_directory_symlink(tmp / "elsewhere", tmp / "t/Settings");
  fs::remove(Backup() + "/b.bin");
  WriteFile(tmp / "secret", "b");
  fs::create_symlink(tmp / "secret", Backup() + "/b.bin");

  ToolRun r = Vxdb({"restore", Backup(), tmp / "t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "failed        /Settings/a.ini (a folder on its way in the target is a symbolic link)\n"
                   "failed        /b.bin (is a symbolic link in the backup; not restored)\n");
  EXPECT_TRUE(fs::is_empty(tmp / "elsewhere"));
  EXPECT_FALSE(Exists(tmp / "t/b.bin"));
}

TEST_F(VxdbTest, MalformedCataloguesAreRefusedBeforeAnythingIsWritten)
{
  std::string good = CatalogueOf(kMar5, DayOfFiles());
  auto with = [&](size_t at, uint32_t value) {
    std::string c = good;
    VXDBPut32(reinterpret_cast<uint8_t *>(c.data()) + at, value);
    return c;
  };
  size_t firstEntry = VXDB_HEADER_SIZE;
  struct Case {
    std::string bytes, why;
  } cases[] = {
      {"", "shorter than the 36-byte header"},
      {good.substr(0, 35), "shorter than the 36-byte header"},
      {"VXDC" + good.substr(4), "not a catalogue (magic is not VXDB)"},
      {with(VXDB_OFS_VERSION, 2), "unknown catalogue version"},
      {with(VXDB_OFS_NRENTRIES, 0xFFFFFFFF), "entry count negative or too large"},
      {with(VXDB_OFS_NRENTRIES, 0x7FFFFFFF), "entry count negative or too large"},
      {with(VXDB_OFS_NRENTRIES, 6), "entries or text run past the end of the file"},
      {with(VXDB_OFS_TEXTLENGTH, 0), "text length out of range"},
      {good.substr(0, good.size() - 1), "entries or text run past the end of the file"},
      {with(firstEntry + 3 * VXDB_ENTRY_SIZE + VXDB_OFS_NAMEOFFSET, 100000),
       "entry points outside the text pool or into a string (entry 4)"},
      {with(firstEntry + VXDB_OFS_FOLDEROFFSET, 0xFFFFFFF0),
       "entry points outside the text pool or into a string (entry 1)"},
      {with(firstEntry + VXDB_OFS_NAMEOFFSET, 2), "entry points outside the text pool or into a string (entry 1)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.why);
    WriteFile(Backup() + "/VXDB.db", c.bytes);
    ToolRun r = Vxdb({"restore", Backup(), tmp / "t"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vxdb restore: " + Backup() + "/VXDB.db: not a usable catalogue: " + c.why + "\n");
    EXPECT_FALSE(Exists(tmp / "t"));
  }
}

// ---- diff, list, stats ----------------------------------------------------

TEST_F(VxdbTest, DiffNamesAddedRemovedAndChangedFiles)
{
  std::vector<File> day1 = DayOfFiles(), day2 = DayOfFiles();
  day2[1].content += "line three\n";               // changed
  day2[2].mtime += 60;                              // touched only: unchanged
  day2.erase(day2.begin() + 3);                     // removed
  day2.push_back({"/Settings/", "new.ini", "new"});  // added
  LayBackup(Backup("2024-03-05"), kMar5, day1);
  LayBackup(Backup("2024-03-06"), kMar6, day2);

  ToolRun r = Vxdb({"diff", Backup("2024-03-05"), Backup("2024-03-06")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "removed    /Settings/Other/empty.dat\n"
                   "changed    /Settings/TAPSystem.log\n"
                   "added      /Settings/new.ini\n"
                   "From 2024-03-05 14:30 to 2024-03-06 09:05: 1 added, 1 removed, 1 changed, 3 unchanged.\n");

  ToolRun j = Vxdb({"diff", "--json", Backup("2024-03-05"), Backup("2024-03-06") + "/VXDB.db"});
  EXPECT_EQ(j.status, 1);
  EXPECT_NE(j.out.find("\"added\":[{\"path\":\"/Settings/new.ini\",\"new\":{\"size\":3,"), std::string::npos)
      << j.out;
  EXPECT_NE(j.out.find("\"counts\":{\"added\":1,\"removed\":1,\"changed\":1,\"unchanged\":3,\"unknown\":0}"),
            std::string::npos);

  ToolRun same = Vxdb({"diff", "--all", Backup("2024-03-05"), Backup("2024-03-05")});
  EXPECT_EQ(same.status, 0);
  EXPECT_EQ(Lines(same.out).size(), 6u);
  EXPECT_EQ(Lines(same.out)[0], "unchanged  /Data/Epg/channels.bin");
}

TEST_F(VxdbTest, ListShowsTheCatalogue)
{
  LayBackup(Backup(), kMar5, {{"/Settings/", "a\x1b[2Jb.ini", "abc", 1709650000}, {"/", "x", "", 0}});
  ToolRun r = Vxdb({"list", Backup()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Backup of 2024-03-05 14:30: 2 files, 3 B\n"
                   "/Settings/a\\x1B[2Jb.ini  3  2024-03-05 14:46:40  900150983cd24fb0d6963f7d28e17f72\n"
                   "/x                       0  1970-01-01 00:00:00  d41d8cd98f00b204e9800998ecf8427e\n");
  ToolRun j = Vxdb({"list", "--json", Backup() + "/VXDB.db"});
  EXPECT_EQ(j.status, 0);
  EXPECT_NE(j.out.find("{\"path\":\"/Settings/a\\u001b[2Jb.ini\",\"path_escaped\":\"/Settings/a\\\\x1B[2Jb.ini\",\"size\":3,"
                       "\"mtime\":\"2024-03-05T14:46:40+00:00\",\"ctime\":\"2024-03-05T14:46:40+00:00\",\"md5\":\"900150983cd24fb0d6963f7d28e17f72\",\"path_crc\":"),
            std::string::npos)
      << j.out;
}

TEST_F(VxdbTest, StatsCountsHardLinkedFilesOnce)
{
  std::string root = tmp / "Vaultrix";
  LayBackup(root + "/2024-03-05", kMar5,
            {{"/", "a.txt", std::string(100, 'a')}, {"/", "b.txt", std::string(200, 'b')},
             {"/sub/", "c.txt", std::string(300, 'c')}});
  // The next day: a.txt and c.txt unchanged (hard links), b.txt changed, d.txt new.
  std::vector<File> day2 = {{"/", "a.txt", std::string(100, 'a')}, {"/", "b.txt", std::string(250, 'B')},
                            {"/sub/", "c.txt", std::string(300, 'c')}, {"/", "d.txt", std::string(50, 'd')}};
  fs::create_directories(root + "/2024-03-06/sub");
  fs::create_hard_link(root + "/2024-03-05/a.txt", root + "/2024-03-06/a.txt");
  fs::create_hard_link(root + "/2024-03-05/sub/c.txt", root + "/2024-03-06/sub/c.txt");
  WriteFile(root + "/2024-03-06/b.txt", day2[1].content);
  WriteFile(root + "/2024-03-06/d.txt", day2[3].content);
  WriteFile(root + "/2024-03-06/VXDB.db", CatalogueOf(kMar6, day2));
  // A backup that stopped before its catalogue still takes space.
  WriteFile(root + "/2024-03-07/a.txt", std::string(100, 'a'));
  WriteFile(root + "/2024-03-07/" VXDB_UNFINISHED_NAME, "");
  WriteFile(root + "/notes.txt", "not a backup");
  fs::create_directories(root + "/lost+found");
  // Own and Total count the disk's allocation, as du does; Size the bytes.
  auto du = [&](const std::string &rel) { return Du(root + "/" + rel); };
  uint64_t own1 = du("2024-03-05/b.txt") + du("2024-03-05/VXDB.db");
  uint64_t own2 = du("2024-03-06/b.txt") + du("2024-03-06/d.txt") + du("2024-03-06/VXDB.db");
  uint64_t shared = du("2024-03-05/a.txt") + du("2024-03-05/sub/c.txt"), own3 = du("2024-03-07/a.txt");
  uint64_t total1 = shared + own1, total2 = total1 + own2, total3 = total2 + own3;
  auto n = [](uint64_t v) { return std::to_string(v); };

  ToolRun j = Vxdb({"stats", "--json", root});
  EXPECT_EQ(j.status, 0) << j.err;
  EXPECT_EQ(j.out.substr(0, j.out.find(",\"file_system\"")), "{\"root\":\"" + root + "\",\"space_guessed\":false");
  EXPECT_EQ(j.out.substr(j.out.find(",\"backups\"")),
            ",\"backups\":["
            "{\"folder\":\"2024-03-05\",\"date\":\"2024-03-05T14:30:00+00:00\",\"state\":\"complete\",\"files\":3,"
            "\"size\":600,\"disk_size\":" + n(total1) + ",\"own_size\":" + n(own1) + ",\"total_size\":" + n(total1) + "},"
            "{\"folder\":\"2024-03-06\",\"date\":\"2024-03-06T09:05:00+00:00\",\"state\":\"complete\",\"files\":4,"
            "\"size\":700,\"disk_size\":" + n(shared + own2) + ",\"own_size\":" + n(own2) + ",\"total_size\":" + n(total2) + "},"
            "{\"folder\":\"2024-03-07\",\"date\":null,\"state\":\"unfinished\",\"files\":1,"
            "\"size\":100,\"disk_size\":" + n(own3) + ",\"own_size\":" + n(own3) + ",\"total_size\":" + n(total3) + "}]}\n");

  ToolRun t = Vxdb({"stats", root});
  EXPECT_EQ(t.status, 0);
  auto lines = Lines(t.out);
  ASSERT_EQ(lines.size(), 5u) << t.out;
  EXPECT_EQ(lines[3].rfind("2024-03-07                    unfinished", 0), 0u) << lines[3];
  EXPECT_EQ(lines[3].substr(lines[3].size() - vxdb::SizeText(total3).size()), vxdb::SizeText(total3));
  EXPECT_EQ(lines[4], "3 folders take " + vxdb::SizeText(total3) + " on disk.");
}

// Catalogues saved by the plug-in's own code in the PC and the recorder build
// (under the emulator) are checked in; the tool reads both alike.
TEST_F(VxdbTest, ReadsCataloguesWrittenByEitherBuild)
{
  std::string json[2];
  for (int i = 0; i < 2; ++i) {
    std::string file = std::string(VX_SOURCE_DIR "/tests/data/vxdb-") + (i ? "mipsel" : "host") + ".db";
    ToolRun r = Vxdb({"list", "--json", file});
    ASSERT_EQ(r.status, 0) << r.err;
    json[i] = r.out.substr(r.out.find(",\"date\""));
  }
  EXPECT_EQ(json[1], json[0]);
  EXPECT_EQ(json[1], ",\"date\":\"2023-02-20T20:05:00+00:00\",\"date_packed\":3931837445,\"state\":\"complete\","
                     "\"partial\":false,\"size\":4886721345,\"files\":["
                     "{\"path\":\"/a.bin\",\"size\":0,\"mtime\":\"2020-09-13T12:26:40+00:00\","
                     "\"ctime\":\"2023-11-14T22:13:20+00:00\","
                     "\"md5\":\"000102030405060708090a0b0c0d0e0f\",\"path_crc\":" + std::to_string(0x8884497Du) + "},"
                     "{\"path\":\"/Settings/x.ini\",\"size\":1000,\"mtime\":\"2020-09-13T12:26:41+00:00\","
                     "\"ctime\":\"2023-11-14T22:13:21+00:00\","
                     "\"md5\":\"101112131415161718191a1b1c1d1e1f\",\"path_crc\":" +
                         std::to_string(CRC32(0, "/Settings/x.ini", 15)) + "},"
                     "{\"path\":\"/Settings/Sub dir/x.ini\",\"size\":2000,\"mtime\":\"1969-12-31T23:59:59+00:00\","
                     "\"ctime\":\"2023-11-14T22:13:22+00:00\","
                     "\"md5\":\"202122232425262728292a2b2c2d2e2f\",\"path_crc\":" +
                         std::to_string(CRC32(0, "/Settings/Sub dir/x.ini", 23)) + "},"
                     "{\"path\":\"/\xC3\xA4/big\",\"size\":4886718345,\"mtime\":\"2020-09-13T12:26:43+00:00\","
                     "\"ctime\":\"2023-11-14T22:13:23+00:00\","
                     "\"md5\":\"303132333435363738393a3b3c3d3e3f\",\"path_crc\":" +
                         std::to_string(CRC32(0, "/\xC3\xA4/big", 7)) + "}]}\n");
}

// ---- check ----------------------------------------------------------------

// Days of backups as the plug-in lays them: each day hard-links the files of
// the day before, except the log, which changes every day.
void LayDays(const std::string &root, int days)
{
  std::vector<File> files = DayOfFiles();
  std::string before;
  for (int d = 0; d < days; ++d) {
    char name[16];
    snprintf(name, sizeof name, "2024-03-%02d", d + 1);
    std::string day = root + "/" + name;
    files[1].content = "log of day " + std::to_string(d) + "\n";
    for (const auto &f : files) {
      if (!before.empty() && f.name != "TAPSystem.log") {
        fs::create_directories(day + f.folder);
        fs::create_hard_link(before + f.Path(), day + f.Path());
      } else {
        WriteTree(day, {f});
      }
    }
    WriteFile(day + "/VXDB.db", CatalogueOf(kMar5 + (uint32_t(d) << 16), files));
    before = day;
  }
}

TEST_F(VxdbTest, CheckReadsEachFileOnceAndNamesTheOneDamagedByte)
{
  std::string root = tmp / "Vaultrix";
  LayDays(root, 12);
  ToolRun ok = Vxdb({"check", root});
  EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
  // 4 files shared by all days, and one log per day.
  EXPECT_NE(ok.out.find("Checked 12 backups: all intact; read 16 files once, "), std::string::npos) << ok.out;

  std::string log = root + "/2024-03-07/Settings/TAPSystem.log";
  std::string text = ReadFile(log);
  text[4] ^= 1;
  WriteFile(log, text);
  ToolRun bad = Vxdb({"check", root});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("2024-03-07  DAMAGED        5 files\n    damaged       /Settings/TAPSystem.log (contents differ)\n"),
            std::string::npos)
      << bad.out;
  EXPECT_NE(bad.out.find("Checked 12 backups: 1 DAMAGED (2024-03-07); "), std::string::npos) << bad.out;

  // Parts 1 to 3 of 3 read every file once between them and find the damage once.
  uint64_t read = 0, found = 0;
  for (const char *part : {"1/3", "2/3", "3/3"}) {
    ToolRun r = Vxdb({"check", "--json", std::string("--read-data-subset=") + part, root});
    found += r.status == 1;
    auto at = r.out.find("\"files_read\":");
    ASSERT_NE(at, std::string::npos) << r.out;
    read += std::stoull(r.out.substr(at + 13));
  }
  EXPECT_EQ(read, 16u);
  EXPECT_EQ(found, 1u);
}

// ---- after a disaster ------------------------------------------------------

// 10:00 on a day of March 2024, as the plug-in stamps its catalogues.
uint32_t March(int day) { return uint32_t(60369 + day) << 16 | 10 << 8; }

// The backup to restore is found, and an unfinished newest folder
// is passed over with a word.
TEST_F(VxdbTest, ListShowsEveryBackupAndLatestPassesOverWhatIsNotComplete)
{
  std::string root = tmp / "VaultrixBackup";
  std::vector<File> files = DayOfFiles(), failing = DayOfFiles();
  failing[2].failed = true;  // Vaultrix.ini: logged as failed
  LayBackup(root + "/2024-03-01", March(1), files);
  LayBackup(root + "/2024-03-02", March(2), failing);
  LayBackup(root + "/2024-03-03", March(3), files, VXDB_PARTIAL_NAME);
  LayBackup(root + "/2024-03-04", March(4), files);
  WriteFile(root + "/2024-03-04/" VXDB_REMOVING_NAME, "");
  WriteTree(root + "/2024-03-05", files);
  WriteFile(root + "/2024-03-05/" VXDB_UNFINISHED_NAME, "");
  fs::create_directories(root + "/2024-03-06");
  LayBackup(root + "/2024-13-45", March(5), files);

  ToolRun r = Vxdb({"list", root});
  EXPECT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 9u) << r.out;
  EXPECT_EQ(lines[0], "Folder      Backed up         State                        Files        Size");
  EXPECT_EQ(lines[1], "2024-03-05                    unfinished");
  EXPECT_EQ(lines[2], "2024-03-04  2024-03-04 10:00  being removed                    5    68.4 KiB");
  EXPECT_EQ(lines[3], "2024-03-03  2024-03-03 10:00  incomplete                       5    68.4 KiB");
  EXPECT_EQ(lines[4], "2024-03-02  2024-03-02 10:00  complete, 1 not backed up        4    68.4 KiB");
  EXPECT_EQ(lines[5], "2024-03-01  2024-03-01 10:00  complete                         5    68.4 KiB");
  EXPECT_EQ(lines[6], "Not a backup: 2024-03-06 (no catalogue and no marker of the plug-in)");
  EXPECT_EQ(lines[7], "Not a backup: 2024-13-45 (not a calendar date)");
  EXPECT_EQ(lines[8], "5 folders: 1 complete, 1 complete with files not backed up, 1 incomplete, 1 unfinished, 1 "
                      "being removed. Newest complete backup: 2024-03-02 (\"" + root + " latest\").");
  ToolRun j = Vxdb({"list", "--json", root});
  EXPECT_EQ(j.status, 0);
  EXPECT_NE(j.out.find("{\"root\":\"" + root + "\",\"latest\":\"2024-03-02\",\"backups\":[{\"folder\":\"2024-03-05\","
                       "\"date\":null,\"state\":\"unfinished\",\"partial\":false},"),
            std::string::npos)
      << j.out;
  EXPECT_NE(j.out.find("\"state\":\"being_removed\""), std::string::npos);

  ToolRun latest = Vxdb({"list", root, "latest"});
  EXPECT_EQ(latest.status, 0) << latest.err;
  EXPECT_EQ(latest.out.rfind("Backup of 2024-03-02 10:00: 5 files, 68.4 KiB; 1 not backed up\n", 0), 0u) << latest.out;
  EXPECT_EQ(latest.err, "Passing over 2024-03-06: not a backup (no catalogue and no marker of the plug-in).\n"
                        "Passing over 2024-03-05: unfinished (the plug-in began it and never finished).\n"
                        "Passing over 2024-03-04: being removed (a removal that was cut short).\n"
                        "Passing over 2024-03-03: incomplete (a run that did not take every file it listed).\n");
  ToolRun partial = Vxdb({"verify", root + "/2024-03-03"});
  EXPECT_EQ(partial.status, 3);
  EXPECT_EQ(partial.out, "INCOMPLETE: a run that did not take every file it listed; its 5 files, 68.4 KiB, match the "
                         "catalogue of 2024-03-03 10:00.\n");
  ToolRun unfinished = Vxdb({"list", root + "/2024-03-05"});
  EXPECT_EQ(unfinished.status, 2);
  EXPECT_EQ(unfinished.err, "vxdb list: " + root + "/2024-03-05: unfinished (the plug-in began it and never "
                            "finished); it has no catalogue to go by\n");
  // A restore of latest is one command; what it lacks comes from the
  // backup before, named, unless it is to keep to the one backup.
  ToolRun restore = Vxdb({"restore", root, "latest", tmp / "back"});
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_NE(restore.err.find("taken from 2024-03-01: /Settings/Vaultrix/Vaultrix.ini (not backed up in 2024-03-02: "
                             "logged as failed when the backup ran)\n"),
            std::string::npos)
      << restore.err;
  auto day1 = Tree(root + "/2024-03-01");
  day1.erase("/VXDB.db");
  EXPECT_TRUE(Tree(tmp / "back") == day1);
  ToolRun one = Vxdb({"restore", "--this-backup-only", root, "latest", tmp / "one"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_NE(one.err.find("not backed up /Settings/Vaultrix/Vaultrix.ini (logged as failed when the backup ran; not "
                         "restored)\n"),
            std::string::npos)
      << one.err;
  EXPECT_EQ(Tree(tmp / "one").size(), 4u);
  ToolRun none = Vxdb({"restore", root + "/2024-03-05", "latest", tmp / "none"});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find(": no complete backup here"), std::string::npos) << none.err;
}

// A copy the plug-in noted as changed while read is no good copy: restore
// takes the file from the backup before, which holds it intact; kept to the
// one backup, it restores that copy, names it, and exits 3.
TEST_F(VxdbTest, ACopyChangedWhileReadComesFromTheBackupBefore)
{
  std::string root = tmp / "VaultrixBackup";
  std::vector<File> files = DayOfFiles(), later = DayOfFiles();
  later[1].content = "line one\nline tw\xff\n";  // a mix of two versions
  LayBackup(root + "/2024-03-01", March(1), files);
  LayBackup(root + "/2024-03-02", March(2), later);
  std::string notes(VXDB_NOTES_HEADER_SIZE + VXDB_NOTE_SIZE, '\0');
  auto *n = reinterpret_cast<uint8_t *>(notes.data());
  VXDBEncodeNotesHeader(March(2), int32_t(later.size()), 1, n);
  std::string path = later[1].Path();
  VXDBEncodeNote(1, CRC32(0, path.data(), dword(path.size())), VXDB_NOTE_CHANGED, n + VXDB_NOTES_HEADER_SIZE);
  WriteFile(root + "/2024-03-02/" VXDB_NOTES_NAME, notes);

  ToolRun verify = Vxdb({"verify", root, "latest"});
  EXPECT_EQ(verify.status, 3) << verify.out;
  EXPECT_NE(verify.out.find("changed while read /Settings/TAPSystem.log ("), std::string::npos) << verify.out;
  ToolRun r = Vxdb({"restore", root, "latest", tmp / "back"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("taken from 2024-03-01: /Settings/TAPSystem.log (changed while read in 2024-03-02: "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ReadFile(tmp / "back/Settings/TAPSystem.log"), files[1].content);
  ToolRun one = Vxdb({"restore", "--this-backup-only", root, "latest", tmp / "one"});
  EXPECT_EQ(one.status, 3) << one.err;
  EXPECT_NE(one.err.find("changed while read /Settings/TAPSystem.log ("), std::string::npos) << one.err;
  EXPECT_EQ(ReadFile(tmp / "one/Settings/TAPSystem.log"), later[1].content);
}

// Restore never writes bytes that are not the recorded file's, on
// a disk that ignores letter case as exFAT does.
TEST_F(VxdbTest, RestoreFromADiskThatIgnoresCaseWritesOnlyRecordedBytes)
{
  FormattedDisk usb("exfat");
  if (!usb.skip_.empty())
    GTEST_SKIP() << usb.skip_;
  ASSERT_EQ(usb.failed_, "");
  std::string day = usb.Root() + "/VaultrixBackup/2024-03-05";
  // As the plug-in leaves a clash: Case.txt copied, case.txt logged as
  // failed. readme.txt is recorded, but only README.TXT is on the disk, and
  // short.bin holds a byte more than recorded.
  LayBackup(day, kMar5,
            {{"/D/", "Case.txt", "upper"}, {"/D/", "case.txt", "lower, and longer", 1700000000, true},
             {"/D/", "readme.txt", "read me"}, {"/", "short.bin", "twelve bytes"}});
  fs::rename(day + "/D/readme.txt", day + "/D/README.TXT");
  WriteFile(day + "/short.bin", "twelve bytes!");

  ToolRun r = Vxdb({"restore", day, tmp / "t"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "not backed up /D/case.txt (logged as failed when the backup ran; not restored)\n"
                   "failed        /D/readme.txt (missing from the backup: only a name that differs in letter case "
                   "is there; not restored)\n"
                   "failed        /short.bin (damaged in the backup: size 13, catalogue 12; not restored; "
                   "--keep-damaged restores it anyway)\n");
  EXPECT_EQ(NamesIn(tmp / "t/D"), std::set<std::string>{"Case.txt"});
  EXPECT_EQ(ReadFile(tmp / "t/D/Case.txt"), "upper");

  ToolRun k = Vxdb({"restore", "-k", day, tmp / "k", "/short.bin"});
  EXPECT_EQ(k.status, 1);
  EXPECT_EQ(ReadFile(tmp / "k/short.bin"), "twelve bytes") << "no more than the recorded size";
  ToolRun clash = Vxdb({"restore", day, tmp / "c", "/D/Case.txt", "/D/case.txt"});
  EXPECT_EQ(clash.status, 0) << "the disk refused it: every backup on it lacks it";
  EXPECT_EQ(clash.out, "Restored 1 of 2 files (5 B) from 2024-03-05 14:30 into " + (tmp / "c") +
                           ". 1 not backed up, listed on standard error.\n");

  // Both names from a disk that keeps them apart, onto this one: the second
  // never replaces the first, not even with --force.
  LayBackup(Backup(), kMar5, {{"/D/", "Case.txt", "upper"}, {"/D/", "case.txt", "lower, and longer"}});
  ToolRun onto = Vxdb({"restore", "--force", Backup(), usb.Root() + "/restored"});
  EXPECT_EQ(onto.status, 1) << onto.out;
  EXPECT_NE(onto.err.find("failed        /D/case.txt (the target holds a file whose name differs in letter case "
                          "only, and takes it for this one; not restored)\n"),
            std::string::npos)
      << onto.err;
  EXPECT_EQ(ReadFile(usb.Root() + "/restored/D/Case.txt"), "upper");
}

// Files the disk refused leave a backup complete, and, as a removal cut
// short, are no damage.
TEST_F(VxdbTest, FilesTheDiskRefusedLeaveABackupCompleteNotDamaged)
{
  std::string root = tmp / "VaultrixBackup";
  std::vector<File> refused = DayOfFiles();
  refused.push_back({"/D/", "we:ird?.txt", "a name the disk refused", 1700000000, true});
  refused.push_back({"/D/", "case.txt", "a clash", 1700000000, true});
  LayBackup(root + "/2024-03-01", March(1), refused);
  LayBackup(root + "/2024-03-02", March(2), DayOfFiles());
  WriteFile(root + "/2024-03-02/" VXDB_REMOVING_NAME, "");  // prune stopped before the catalogue went
  LayBackup(root + "/2024-03-03", March(3), DayOfFiles());

  ToolRun c = Vxdb({"check", root});
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_EQ(c.out.find("DAMAGED"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("2024-03-01  complete       7 files, 2 not backed up\n"
                       "    not backed up /D/we:ird?.txt (logged as failed when the backup ran)\n"
                       "    not backed up /D/case.txt (logged as failed when the backup ran)\n"
                       "2024-03-02  being removed  a removal was cut short; not checked\n"
                       "2024-03-03  complete       5 files\n"),
            std::string::npos)
      << c.out;
  EXPECT_NE(c.out.find("Checked 2 backups: all intact, 1 complete with files not backed up (2024-03-01), 1 being "
                       "removed not checked; "),
            std::string::npos)
      << c.out;
  ToolRun v = Vxdb({"verify", root + "/2024-03-01"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(Lines(v.out).back(), "Intact: 5 files, 68.4 KiB, match the catalogue of 2024-03-01 10:00; 2 not backed up "
                                 "(logged as failed when the backup ran).");
  ToolRun report = Vxdb({"report", "--check", root, "-o", tmp / "r.html"});
  EXPECT_EQ(report.status, 0) << report.err;
  std::string html = ReadFile(tmp / "r.html");
  EXPECT_EQ(Count(html, "<rect class=\"bar not-all\""), 1u);
  EXPECT_EQ(Count(html, "<rect class=\"bar removing\""), 1u);
  EXPECT_EQ(Count(html, "<rect class=\"bar complete\""), 1u);
  EXPECT_NE(html.find("<td class=\"st not-all\">complete, 2 not backed up</td><td><span class=\"ok\">intact</span>"),
            std::string::npos);
  EXPECT_EQ(Count(html, "<rect class=\"bar damaged\""), 0u) << "nothing painted as damaged";
  EXPECT_NE(html.find("3 backups from 2024-03-01 to 2024-03-03, 0 days without a backup: 1 complete, 1 complete with "
                      "files not backed up, 1 being removed."),
            std::string::npos);
}

// The space comes from the disk itself. On exFAT every day is a
// full copy with the same paths, sizes and times, which a guess took for
// one shared copy.
TEST_F(VxdbTest, SpaceOnAnExfatDiskIsReadFromItsInodes)
{
  FormattedDisk usb("exfat");
  if (!usb.skip_.empty())
    GTEST_SKIP() << usb.skip_;
  ASSERT_EQ(usb.failed_, "");
  std::string root = usb.Root() + "/VaultrixBackup";
  std::vector<File> files = {{"/", "big.bin", Pattern(300000, 1)}, {"/Epg/", "guide.dat", Pattern(50000, 2)}};
  uint64_t onDisk = 0;
  for (int d = 1; d <= 3; ++d) {
    std::string day = root + "/2024-03-0" + std::to_string(d);
    LayBackup(day, March(d), files);
    onDisk += Du(day + "/big.bin") + Du(day + "/Epg/guide.dat") + Du(day + "/VXDB.db");
  }
  EXPECT_GT(onDisk, 3 * (350000 + 100)) << "whole allocation units, more than the sizes";
  ToolRun s = Vxdb({"stats", "--json", root});
  EXPECT_EQ(s.status, 0) << s.err;
  EXPECT_NE(s.out.find("\"space_guessed\":false,\"file_system\":\"fuseblk\""), std::string::npos) << s.out;
  uint64_t day = onDisk / 3;
  EXPECT_NE(s.out.find("\"own_size\":" + std::to_string(day) + ",\"total_size\":" + std::to_string(onDisk) + "}]}"),
            std::string::npos)
      << s.out;
  ToolRun p = Vxdb({"prune", "-n", "--json", "--keep-last", "1", root});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_NE(p.out.find("\"freed_size\":" + std::to_string(2 * day) + ",\"space_guessed\":false}"), std::string::npos)
      << p.out;
  ToolRun text = Vxdb({"stats", root});
  EXPECT_EQ(Lines(text.out).back(), "3 folders take " + vxdb::SizeText(onDisk) + " on disk.");
}

// Dry runs show changes only; one form for scripts.
TEST_F(VxdbTest, DryRunsShowChangesAndScriptsGetOneForm)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  ASSERT_EQ(Vxdb({"restore", Backup(), tmp / "t"}).status, 0);
  EXPECT_EQ(Vxdb({"restore", "-n", Backup(), tmp / "t"}).out,
            "Would restore 0 files and replace 0 (0 B in all) from 2024-03-05 14:30 into " + (tmp / "t") +
                "; 5 in place already.\n");
  WriteFile(tmp / "t/Settings/TAPSystem.log", "edited since");
  fs::remove(tmp / "t/Vaultrix.tap");
  ToolRun dry = Vxdb({"restore", "-n", "-f", Backup(), tmp / "t"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, "restore   /Vaultrix.tap\n"
                     "replace   /Settings/TAPSystem.log\n"
                     "Would restore 1 file and replace 1 (68.4 KiB in all) from 2024-03-05 14:30 into " +
                         (tmp / "t") + "; 3 in place already.\n");
  ToolRun json = Vxdb({"restore", "-n", "-f", "--json", Backup(), tmp / "t"});
  EXPECT_EQ(Count(json.out, "{\"event\":"), 2u) << json.out;
  EXPECT_EQ(json.out.find("in_place\","), std::string::npos) << json.out;

  // Sizes are "size" (or end in "_size") everywhere; times are RFC 3339.
  for (const auto &args : std::vector<std::vector<std::string>>{{"list", "--json", Backup()},
                                                                {"verify", "--json", Backup()},
                                                                {"check", "--json", tmp / "Vaultrix"},
                                                                {"stats", "--json", tmp / "Vaultrix"},
                                                                {"restore", "--json", Backup(), tmp / "u"},
                                                                {"prune", "-n", "--json", "--keep-last=1", tmp / "Vaultrix"}}) {
    ToolRun r = Vxdb(args);
    EXPECT_EQ(r.status, 0) << args[0] << r.err;
    EXPECT_EQ(r.out.find("\"bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("size\":"), std::string::npos) << r.out;
  }
  ToolRun berlin = RunProgram({VX_EMULATOR_ARGV VX_BINARY_DIR "/vxdb", "list", "--json", Backup()}, {"TZ=CET-1"});
  EXPECT_NE(berlin.out.find("\"date\":\"2024-03-05T14:30:00+01:00\""), std::string::npos) << berlin.out;
  // With --json an error is a member of the one document on standard
  // output too, with the exit status.
  ToolRun missing = Vxdb({"verify", "--json", tmp / "none"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "{\"errors\":[\"vxdb verify: " + (tmp / "none") + ": No such file or directory\"],"
                         "\"exit_status\":2}\n");
  ToolRun usage = Vxdb({"verify", "--json", "--jsn", Backup()});
  EXPECT_EQ(usage.out, "{\"errors\":[\"vxdb: verify: unknown option \\\"--jsn\\\"\",\"Try \\\"vxdb verify "
                       "--help\\\".\"],\"exit_status\":2}\n");
}

// ---- a disaster, on the disks owners use ------------------------------------

// What the owner's source held on day d of March 2024: a setting that
// changes on day 3, timers and a readme deleted on day 5, names in three
// scripts, a letter-case pair from day 2, and many small files, whose
// allocation units outweigh their sizes.
std::vector<File> SourceOfDay(int d, bool foldsCase)
{
  std::vector<File> files = {
      {"/Settings/", "config1.ini", d < 3 ? "Volume=5\r\n" : "Volume=7\r\n", 1709200000 + (d < 3 ? 0 : 3)},
      {"/", "big.bin", Pattern(1 << 20, 1), 1709100000},
      {"/Filme/", "\xC3\x89t\xC3\xA9 \xC3\xA0 Paris.rec", "accented", 1709100001},
      {"/\xD0\x9A\xD0\xB0\xD0\xBD\xD0\xB0\xD0\xBB\xD1\x8B/", "\xD1\x81\xD0\xBF\xD0\xB8\xD1\x81\xD0\xBE\xD0\xBA.txt",
       "cyrillic", 1709100002},
      {"/\xE7\x95\xAA\xE7\xB5\x84/", "\xE4\xBA\x88\xE7\xB4\x84.dat", "japanese", 1709100003},
      {"/D/", "Case.txt", "upper", 1709100004},
  };
  if (d >= 2)  // on a disk that ignores letter case the plug-in logs it as failed
    files.push_back({"/D/", "case.txt", "lower", 1709100005, foldsCase});
  for (int t = 7; t <= 15 && d < 5; ++t)
    files.push_back({"/Timers/", "0" + std::to_string(t / 10) + std::to_string(t % 10) + ".tim", "timer", 1709100010});
  if (d < 5)
    files.push_back({"/", "readme.txt", "old readme", 1709100020});
  for (int k = 0; k < 40; ++k)
    files.push_back({"/Small/", "s" + std::to_string(k), std::string(100, char('a' + k % 26)), 1709100030});
  return files;
}

// A day's backup as the plug-in lays it: a file as it was the day before is
// a hard link to that day's copy where the disk takes links, a copy where
// it does not.
void LayLinkedDay(const std::string &day, uint32_t date, const std::vector<File> &files, const std::string &before,
                  const std::vector<File> &was, const char *catalogue = VXDB_FILE_NAME)
{
  for (const auto &f : files) {
    bool same = std::any_of(was.begin(), was.end(), [&](const File &w) {
      return w.Path() == f.Path() && w.content == f.content && w.mtime == f.mtime && !w.failed;
    });
    std::error_code ec;
    if (f.failed)
      continue;
    if (same) {
      fs::create_directories(day + f.folder);
      fs::create_hard_link(before + f.Path(), day + f.Path(), ec);
      if (!ec)
        continue;
    }
    WriteTree(day, {f});
  }
  WriteFile(day + "/" + catalogue, CatalogueOf(date, files));
}

class VxdbOnUsbDisks : public ::testing::TestWithParam<const char *> {
protected:
  TempDir tmp;
};

// Sixteen days come down to these: five complete backups, the last with a
// rotted setting, one made with the clock set ahead, a partial run and one
// that never finished. Every command is read as the owner and as a script
// reads it.
TEST_P(VxdbOnUsbDisks, AfterTheRecordersDiskDiedEveryFileComesBack)
{
  FormattedDisk usb(GetParam());
  if (!usb.skip_.empty())
    GTEST_SKIP() << usb.skip_;
  ASSERT_EQ(usb.failed_, "");
  bool foldsCase = std::string(GetParam()) == "exfat";
  std::string root = usb.Root() + "/VaultrixBackup";
  auto day = [&](const std::string &name) { return root + "/" + name; };
  std::map<std::string, std::vector<File>> held;
  std::string before;
  for (int d = 1; d <= 6; ++d) {
    std::string name = "2024-03-0" + std::to_string(d);
    std::vector<File> files = SourceOfDay(std::min(d, 5), foldsCase);
    if (d == 6) {  // a partial run: the folder limit left three folders unscanned
      files[0].content = "Volume=9\r\n";
      std::erase_if(files, [](const File &f) { return f.folder != "/Settings/" && f.folder != "/D/"; });
    }
    if (d == 5) {  // made after the one that a clock set ahead dated
      LayLinkedDay(day("2027-06-01"), uint32_t(60369 + 400) << 16 | 10 << 8, held[before], day(before), held[before]);
      SetMtime(day("2027-06-01/VXDB.db"), 1709553600);  // written 2024-03-04 12:00
      held["2027-06-01"] = held[before];
      before = "2027-06-01";
    }
    LayLinkedDay(day(name), March(d), files, before.empty() ? "" : day(before), held[before],
                 d == 6 ? VXDB_PARTIAL_NAME : VXDB_FILE_NAME);
    SetMtime(day(name) + (d == 6 ? "/" VXDB_PARTIAL_NAME : "/VXDB.db"), 1709200000 + d * 86400);
    held[name] = files;
    if (d < 6)
      before = name;
  }
  WriteFile(day("2024-03-07/Settings/config1.ini"), "Volume=9\r\n");
  WriteFile(day("2024-03-07/" VXDB_UNFINISHED_NAME), "");
  // The newest complete copy of the setting rots; which earlier copy is
  // intact depends on the disk: where days share it through links, it
  // rotted in all of them.
  std::string config = day("2024-03-05/Settings/config1.ini");
  std::string rotten = ReadFile(config);
  rotten[3] ^= 1;
  WriteFile(config, rotten);
  std::string intactIn, intact;
  for (const char *name : {"2027-06-01", "2024-03-04", "2024-03-03", "2024-03-02", "2024-03-01"})
    if (intactIn.empty() && ReadFile(day(name) + "/Settings/config1.ini") == held[name][0].content) {
      intactIn = name;
      intact = held[name][0].content;
    }
  ASSERT_FALSE(intactIn.empty());

  // The list names every state alike, and the day a clock set ahead dated.
  ToolRun list = Vxdb({"list", root});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("Clock set ahead: 2027-06-01 was dated by a clock set ahead: its catalogue was written on "
                          "2024-03-04; it counts as a backup of that day.\n"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find(foldsCase ? "8 folders: 1 complete, 5 complete with files not backed up, 1 incomplete, 1 "
                                      "unfinished. Newest complete backup: 2024-03-05"
                                    : "8 folders: 6 complete, 1 incomplete, 1 unfinished. Newest complete backup: "
                                      "2024-03-05"),
            std::string::npos)
      << list.out;

  // restore latest: the rotted setting comes from the newest backup that
  // holds it intact, named on a line of its own; the dry run says the same.
  std::string recorder = usb.Root() + "/Recorder/ProgramFiles";
  WriteTree(recorder, held["2024-03-02"]);  // the old disk's last state: deleted timers and all
  WriteFile(recorder + "/Settings/config1.ini", "Volume=3\r\n");
  WriteFile(recorder + "/Old/notes.txt", "the owner's");
  WriteFile(tmp / "precious", "outside");
  std::error_code noLinks;  // exFAT holds none
  fs::create_directory_symlink(tmp.path(), recorder + "/Old/away", noLinks);
  std::string taken = "taken from " + intactIn + ": /Settings/config1.ini (damaged in 2024-03-05: its contents "
                      "differ from the catalogue)\n";
  ToolRun dry = Vxdb({"restore", "-n", "--delete", "--force", root, "latest", recorder});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_NE(dry.out.find("replace   /Settings/config1.ini (from " + intactIn + "; damaged in 2024-03-05: its "
                         "contents differ from the catalogue)\n"),
            std::string::npos)
      << dry.out;
  for (const char *gone : {"delete    /Timers/007.tim\n", "delete    /Timers/015.tim\n", "delete    /Timers/\n",
                           "delete    /readme.txt\n", "delete    /Old/notes.txt\n", "delete    /Old/\n"})
    EXPECT_NE(dry.out.find(gone), std::string::npos) << gone << dry.out;
  EXPECT_EQ(dry.out.find("delete    /Old/away\n") != std::string::npos, !noLinks) << dry.out;
  EXPECT_TRUE(Exists(recorder + "/Timers/007.tim")) << "a dry run changes nothing";
  EXPECT_EQ(ReadFile(recorder + "/Settings/config1.ini"), "Volume=3\r\n");

  ToolRun r = Vxdb({"restore", "--delete", "--force", root, "latest", recorder});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(taken), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Passing over 2024-03-07: unfinished"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("; removed " + std::to_string(noLinks ? 11 : 12) +
                       " files the backup does not hold. 1 taken from an earlier backup"),
            std::string::npos)
      << r.out;
  std::map<std::string, std::string> want;
  for (const auto &f : held["2024-03-05"])
    if (!f.failed)
      want[f.Path()] = f.content;
  want["/Settings/config1.ini"] = intact;
  std::map<std::string, std::string> got;
  for (const auto &[path, file] : Tree(recorder))
    got[path] = file.first;
  EXPECT_EQ(got, want);
  EXPECT_FALSE(Exists(recorder + "/Old"));
  EXPECT_EQ(ReadFile(tmp / "precious"), "outside") << "the link went as a link";
  ToolRun again = Vxdb({"restore", "--delete", root, "latest", recorder});
  EXPECT_EQ(again.status, 0) << again.err;
  // Where the intact copy holds the very bytes recorded, they are the
  // backup's own; else the rerun knows the earlier backup's version.
  bool older = intact != held["2024-03-05"][0].content;
  EXPECT_EQ(again.err.find("in place as in " + intactIn + ": /Settings/config1.ini") != std::string::npos, older)
      << again.err;
  ToolRun one = Vxdb({"restore", "--this-backup-only", root, "latest", tmp / "one"});
  EXPECT_EQ(one.status, 1);
  EXPECT_NE(one.err.find("failed        /Settings/config1.ini (damaged in the backup: its contents differ from the "
                         "catalogue; not restored; --keep-damaged restores it anyway)\n"),
            std::string::npos)
      << one.err;
  EXPECT_EQ(Vxdb({"restore", "-n", "--this-backup-only", root, "latest", tmp / "one"}).status, 1);

  // A backup by its date, as "latest" names one.
  ToolRun dated = Vxdb({"restore", root, "2024-03-02", tmp / "dated", "/Settings"});
  EXPECT_EQ(dated.status, 0) << dated.err;
  EXPECT_EQ(ReadFile(tmp / "dated/Settings/config1.ini"), "Volume=5\r\n");
  ToolRun verify = Vxdb({"verify", root, "2024-03-02"});
  EXPECT_EQ(verify.status, 0) << "files the disk refused leave a backup complete";
  EXPECT_EQ(verify.out, foldsCase ? "not backed up /D/case.txt (logged as failed when the backup ran)\n"
                                    "Intact: 56 files, 1.0 MiB, match the catalogue of 2024-03-02 10:00; 1 not backed "
                                    "up (logged as failed when the backup ran).\n"
                                  : "Intact: 57 files, 1.0 MiB, match the 57 files in the catalogue of 2024-03-02 "
                                    "10:00.\n");
  ToolRun none = Vxdb({"verify", root, "2024-02-29"});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.err, "vxdb verify: " + root + ": no backup of 2024-02-29 here (\"vxdb list " + root +
                          "\" shows what there is)\n");

  // diff against the partial run: what it never reached is not removed.
  ToolRun diff = Vxdb({"diff", root, "2024-03-05", root, "2024-03-06"});
  EXPECT_EQ(diff.status, 1);
  EXPECT_EQ(Lines(diff.out)[0], "2024-03-06 10:00 is incomplete (a run that did not take every file it listed): "
                                "files of the old backup that it does not list are unknown, not removed.");
  EXPECT_NE(diff.out.find("changed    /Settings/config1.ini\n"), std::string::npos) << diff.out;
  EXPECT_EQ(diff.out.find("removed    "), std::string::npos) << diff.out;
  EXPECT_NE(diff.out.find(": 0 added, 0 removed, 1 changed, "), std::string::npos) << diff.out;

  // Space from the disk's allocation: within a tenth of what du says.
  ToolRun stats = Vxdb({"stats", "--json", root});
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_NE(stats.out.find(std::string("\"space_guessed\":false,\"file_system\":\"") +
                           (std::string(GetParam()) == "ntfs-fuse" ? "fuse\"" : "fuseblk\"")),
            std::string::npos)
      << stats.out;
  uint64_t total = std::stoull(stats.out.substr(stats.out.rfind("\"total_size\":") + 13));
  ToolRun du = Exec({"du", "-s", "--block-size=1", root});
  uint64_t used = std::stoull(du.out);
  EXPECT_NEAR(double(total), double(used), 0.1 * double(used)) << stats.out;

  // check: the letter-case twins leave every day complete; the rot is damage.
  ToolRun check = Vxdb({"check", root});
  EXPECT_EQ(check.status, 1) << check.out;
  EXPECT_NE(check.out.find("2024-03-05  DAMAGED  "), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("2024-03-06  INCOMPLETE  "), std::string::npos) << check.out;
  EXPECT_EQ(Count(check.out, "  INCOMPLETE  "), 1u) << check.out;
  EXPECT_NE(check.out.find("2024-03-02  complete       " + vxdb::Plural(held["2024-03-02"].size(), "file") +
                           (foldsCase ? ", 1 not backed up\n    not backed up /D/case.txt" : "\n")),
            std::string::npos)
      << check.out;

  // Every command's --json is one document, whatever it noticed.
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"list", "--json", root},
           {"list", "--json", root, "latest"},
           {"verify", "--json", root, "latest"},
           {"verify", "--json", root, "2024-02-29"},
           {"check", "--json", root},
           {"diff", "--json", root, "2024-03-05", root, "latest"},
           {"stats", "--json", root},
           {"restore", "--json", "-n", "--delete", root, "latest", recorder},
           {"restore", "--json", root, "latest", tmp / "json"},
           {"prune", "--json", "-n", "--keep-last", "2", root}}) {
    ToolRun j = Vxdb(args);
    std::string why;
    EXPECT_TRUE(JsonDocument::Check(j.out, &why)) << args[0] << " " << args[2] << ": " << why;
    bool latest = std::find(args.begin(), args.end(), "latest") != args.end();
    EXPECT_EQ(j.out.find("\"notices\":[\"Passing over 2027-06-01: complete, but dated by a clock set ahead: its "
                         "catalogue was written on 2024-03-04, before 2024-03-05's.\",\"Passing over 2024-03-07: "
                         "unfinished") != std::string::npos,
              latest)
        << j.out.substr(j.out.size() > 400 ? j.out.size() - 400 : 0);
    EXPECT_EQ(j.out.find("\"error\":"), std::string::npos) << "notices and errors are members, not objects";
    EXPECT_EQ(j.out.find("\"exit_status\":" + std::to_string(j.status)) != std::string::npos, j.status != 0)
        << j.out.substr(0, 300);
  }
}

INSTANTIATE_TEST_SUITE_P(Disks, VxdbOnUsbDisks, ::testing::Values("exfat", "ntfs", "ntfs-fuse"), [](const auto &info) {
  std::string name = info.param;
  return name == "exfat" ? "Exfat" : name == "ntfs" ? "NtfsFuseblk" : "NtfsFuse";
});

// ---- a hostile backup disk --------------------------------------------------

const std::vector<std::string> kEmulator = {VX_EMULATOR_ARGV};

// vxdb under a time limit (a hang fails the test rather than stopping it),
// after shell limits such as "ulimit -v 200000".
ToolRun Bounded(const std::string &limits, const std::vector<std::string> &args)
{
  std::vector<std::string> argv = {"sh", "-c", limits + " && exec timeout -s KILL 120 \"$@\"", "sh"};
  argv.insert(argv.end(), kEmulator.begin(), kEmulator.end());
  argv.push_back(VX_BINARY_DIR "/vxdb");
  argv.insert(argv.end(), args.begin(), args.end());
  return Exec(argv);
}

TEST_F(VxdbTest, RestoreRefusesATargetThatALinkOnTheBackupDiskLeadsAway)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  fs::create_directories(tmp / "elsewhere");
  fs::create_directory_symlink(tmp / "elsewhere", tmp / "Vaultrix/restore");
  fs::create_directory_symlink(tmp / "elsewhere", tmp / "mine");
  for (const std::string &target :
       {tmp / "Vaultrix/restore/", tmp / "Vaultrix/restore/sub", tmp / "Vaultrix/new", tmp / "mine/"}) {
    ToolRun r = Vxdb({"restore", Backup(), target});
    EXPECT_EQ(r.status, 2) << target;
    EXPECT_TRUE(r.err.find("is a symbolic link") != std::string::npos ||
                r.err.find("lies inside the backup's destination") != std::string::npos)
        << r.err;
  }
  EXPECT_TRUE(fs::is_empty(tmp / "elsewhere"));
  EXPECT_FALSE(Exists(tmp / "Vaultrix/new"));

  // A link of the owner's own above the target is resolved once, and shown.
  ToolRun ok = Vxdb({"restore", Backup(), tmp / "mine/t"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  std::string real = fs::canonical(tmp / "elsewhere").string() + "/t";
  EXPECT_NE(ok.out.find(" into " + real + ".\n"), std::string::npos) << ok.out;
  EXPECT_EQ(Tree(real).size(), 5u);
}

TEST_F(VxdbTest, FifosAndDevicesNeitherBlockNorFeedTheTool)
{
  LayBackup(Backup(), kMar5, DayOfFiles());
  std::string log = Backup() + "/Settings/TAPSystem.log";
  fs::remove(log);
  ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
  ToolRun v = Bounded("true", {"verify", Backup()});
  EXPECT_EQ(v.status, 1);
  EXPECT_NE(v.out.find("damaged       /Settings/TAPSystem.log (not a regular file)\n"), std::string::npos) << v.out;
  ToolRun r = Bounded("true", {"restore", Backup(), tmp / "t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "failed        /Settings/TAPSystem.log (is not a regular file in the backup; not restored)\n");

  // A catalogue that is a FIFO, or a link to an endless device.
  fs::create_directories(tmp / "fifo");
  ASSERT_EQ(mkfifo((tmp / "fifo/VXDB.db").c_str(), 0644), 0);
  fs::create_directories(tmp / "zero");
  fs::create_symlink("/dev/zero", tmp / "zero/VXDB.db");
  for (const char *bad : {"fifo", "zero"}) {
    std::string b = tmp / bad;
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"list", b}, {"verify", b}, {"diff", b, b}, {"restore", b, tmp / "u"}}) {
      ToolRun c = Bounded("true", args);
      EXPECT_EQ(c.status, 2) << args[0] << " " << bad;
      EXPECT_NE(c.err.find("VXDB.db: not a regular file\n"), std::string::npos) << c.err;
    }
  }
  EXPECT_FALSE(Exists(tmp / "u"));
}

TEST_F(VxdbTest, ACatalogueOfLongSharedFoldersNeedsNoMoreMemoryThanItsSize)
{
  // 2000 entries share one 500 kB folder: 600 kB of catalogue, which would
  // be 1 GB with a copy of the folder per entry.
  Pool pool;
  VXDBEntry first = EntryFor(pool, {"/" + std::string(500000, 'd') + "/", "f", "x"});
  std::vector<VXDBEntry> entries;
  for (int i = 0; i < 2000; ++i) {
    entries.push_back(first);
    entries.back().NameOffset = pool.Add("f" + std::to_string(i));
  }
  WriteFile(Backup() + "/VXDB.db", Encode(kMar5, entries, pool.bytes));
  // Address space limits do not suit the emulator or the sanitizers.
  std::string limits = kEmulator.empty() && !VX_SANITIZE ? "ulimit -v 200000" : "true";
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"list", Backup()}, {"verify", Backup()}, {"restore", Backup(), tmp / "t"}, {"diff", Backup(), Backup()}}) {
    ToolRun r = Bounded(limits, args);
    EXPECT_EQ(r.status, args[0] == "diff" ? 0 : 1) << args[0] << ": " << r.err.substr(0, 300);
    EXPECT_NE((r.out + r.err).find("... (500004 bytes)"), std::string::npos) << args[0];
    EXPECT_EQ(r.err.find("out of memory"), std::string::npos) << args[0];
  }
  EXPECT_TRUE(fs::is_empty(tmp / "t"));
}

TEST_F(VxdbTest, AFileThatKeepsGrowingIsReadNoFurtherThanTheCatalogueSays)
{
  LayBackup(Backup(), kMar5, {{"/", "grows.bin", std::string(1 << 20, 'g')}});
  std::atomic<bool> done{false};
  std::thread writer([&] {
    int fd = open((Backup() + "/grows.bin").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    std::string chunk(1 << 20, 'h');
    for (int i = 0; i < 300 && !done; ++i)
      (void)!write(fd, chunk.data(), chunk.size());
    close(fd);
  });
  // At most 4 MB may be written: a copy to the end would be killed.
  ToolRun r = Bounded("ulimit -f 8192", {"restore", Backup(), tmp / "t"});
  done = true;
  writer.join();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("failed        /grows.bin (damaged in the backup: "), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(tmp / "t")) << "neither the file nor its temporary copy";
}

TEST_F(VxdbTest, ANameThatIsNotUtf8IsListedAndRestoredByItsExactBytes)
{
  // ISO 8859-1 and UTF-8 names side by side: both read "Käse" as UTF-8.
  LayBackup(Backup(), kMar5, {{"/", "K\xE4se", "latin-1"}, {"/", "K\xC3\xA4se", "utf-8"}});
  ToolRun j = Vxdb({"list", "--json", Backup()});
  ASSERT_EQ(j.status, 0);
  size_t at = j.out.find("\"path_escaped\":\"");
  ASSERT_NE(at, std::string::npos) << j.out;
  at += 16;
  std::string escaped = j.out.substr(at, j.out.find('"', at) - at);
  EXPECT_EQ(escaped, "/K\\\\xE4se") << "JSON-quoted";
  escaped.erase(escaped.find('\\'), 1);
  ToolRun r = Vxdb({"restore", Backup(), tmp / "t", escaped});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(tmp / "t/K\xE4se"), "latin-1");
  EXPECT_FALSE(Exists(tmp / "t/K\xC3\xA4se"));
}

// vxdb restore --json whose standard output is a pipe the caller reads,
// and whose standard error goes to a file.
pid_t StartRestore(const std::vector<std::string> &extra, int *pipeOut, const std::string &errFile)
{
  int out[2];
  if (pipe(out) != 0)
    return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    std::vector<std::string> args = kEmulator;
    args.push_back(VX_BINARY_DIR "/vxdb");
    args.push_back("restore");
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  *pipeOut = out[0];
  return pid;
}

std::string Drain(int fd)
{
  std::string all;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    all.append(buf, size_t(n));
  close(fd);
  return all;
}

// Ctrl-C, a killed run and a full disk, as rsync handles them.
TEST_F(VxdbTest, AnInterruptedKilledOrFullRestoreKeepsWhatItFinished)
{
  // More files than a batch takes, with long names, so that the JSON events
  // of the first batch fill a pipe that nobody reads: the restore then
  // stalls with copies still under temporary names.
  std::vector<File> files;
  for (int i = 0; i < 1100; ++i)
    files.push_back({"/d/", std::string(200, 'n') + std::to_string(i), std::to_string(i), 1700000000 + i});
  LayBackup(Backup(), kMar5, files);
  auto count = [&](const std::string &target, bool temporary) {
    size_t n = 0;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(target + "/d", ec))
      n += (e.path().filename().string().rfind(".vxdb-restore-", 0) == 0) == temporary;
    return n;
  };
  auto stall = [&](const std::string &target) {
    size_t last = SIZE_MAX, still = 0;
    for (int i = 0; i < 6000 && still < 20; ++i) {
      usleep(10000);
      size_t now = count(target, false) * 1000 + count(target, true);
      still = now == last && count(target, true) > 0 ? still + 1 : 0;
      last = now;
    }
    return count(target, true);
  };

  // Ctrl-C: what was copied gets its name, the rest goes; a word, and 130.
  std::string target = tmp / "t", errs = tmp / "err";
  int out = -1;
  pid_t pid = StartRestore({"--json", "--progress", Backup(), target}, &out, errs);
  ASSERT_GT(pid, 0);
  EXPECT_GT(stall(target), 0u) << "the restore did not stall with temporary copies";
  kill(pid, SIGINT);
  std::string events = Drain(out);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  std::string said = ReadFile(errs);
  // The bar is wiped before the last words: none stays above them.
  EXPECT_NE(said.find("\r" + std::string(79, ' ') + "\rvxdb restore: interrupted; what was restored stays"),
            std::string::npos)
      << said;
  EXPECT_EQ(said.back(), '\n');
  EXPECT_EQ(count(target, true), 0u);
  size_t restored = Count(events, "{\"event\":\"restored\"");
  EXPECT_GT(restored, 0u);
  EXPECT_EQ(count(target, false), restored) << "every file said restored is there, and no other";
  EXPECT_NE(events.find("\"stopped\":\"interrupted\""), std::string::npos) << events.substr(events.size() - 300);

  // A kill leaves temporary copies; the next run clears them and goes on.
  std::string killed = tmp / "k";
  pid = StartRestore({"--json", Backup(), killed}, &out, errs);
  ASSERT_GT(pid, 0);
  size_t left = stall(killed);
  EXPECT_GT(left, 0u);
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  close(out);
  EXPECT_EQ(count(killed, true), left);
  ToolRun rerun = Vxdb({"restore", Backup(), killed});
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  EXPECT_EQ(rerun.err, "vxdb restore: removed " + std::to_string(left) +
                           " half-written copies of an earlier restore that was cut short\n");
  EXPECT_EQ(count(killed, true), 0u);
  ToolRun again = Vxdb({"restore", Backup(), killed});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(again.out, "Restored 1100 of 1100 files (3.2 KiB; 1100 in place already) from 2024-03-05 14:30 into " +
                           fs::canonical(killed).string() + ".\n");

  // A full disk stops at the first file that does not fit, once.
  std::string small = tmp / "small";
  fs::create_directories(small);
  SmallDisk disk(small, "48k");
  if (!disk.mounted())
    GTEST_SKIP() << "a small disk needs root";
  LayBackup(Backup("2024-03-06"), kMar6, {{"/", "a.bin", Pattern(20000, 1)}, {"/", "b.bin", Pattern(40000, 2)},
                                          {"/", "c.bin", Pattern(30000, 3)}});
  ToolRun full = Vxdb({"restore", Backup("2024-03-06"), small});
  EXPECT_EQ(full.status, 4) << full.out << full.err;
  EXPECT_EQ(Count(full.err, "No space left on device"), 1u) << full.err;
  EXPECT_NE(full.err.find("vxdb restore: stopped: the target is full at /b.bin: cannot write it: No space left on "
                          "device; "),
            std::string::npos)
      << full.err;
  EXPECT_EQ(ReadFile(small + "/a.bin"), Pattern(20000, 1)) << "what fitted is kept";
  EXPECT_FALSE(Exists(small + "/c.bin"));
  EXPECT_EQ(NamesIn(small), std::set<std::string>{"a.bin"});
}

// ---- usage ----------------------------------------------------------------

TEST_F(VxdbTest, UsageErrorsAndUnreadableInputExitWithTwo)
{
  EXPECT_EQ(Vxdb({"--version"}).out.rfind("vxdb 1.0 ", 0), 0u);
  for (const char *cmd : {"list", "verify", "check", "diff", "restore", "stats"}) {
    ToolRun h = Vxdb({cmd, "--help"});
    EXPECT_EQ(h.status, 0) << cmd;
    EXPECT_EQ(h.out.rfind(std::string("Usage: vxdb ") + cmd, 0), 0u) << h.out;
  }
  EXPECT_EQ(Vxdb({"--help"}).status, 0);
  EXPECT_EQ(Vxdb({"help", "diff"}).out.rfind("Usage: vxdb diff", 0), 0u);

  LayBackup(Backup(), kMar5, DayOfFiles());
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "vxdb: no command given\nTry \"vxdb --help\".\n"},
      {{"lst", Backup()}, "vxdb: unknown command \"lst\"\nTry \"vxdb --help\".\n"},
      {{"verify", "--jsn", Backup()}, "vxdb: verify: unknown option \"--jsn\"\nTry \"vxdb verify --help\".\n"},
      {{"restore", "--all", Backup(), tmp / "t"},
       "vxdb: restore: unknown option \"--all\"\nTry \"vxdb restore --help\".\n"},
      {{"diff", Backup()}, "vxdb: diff: too few arguments\nTry \"vxdb diff --help\".\n"},
      {{"list", Backup(), Backup()}, "vxdb: list: too many arguments\nTry \"vxdb list --help\".\n"},
      {{"check", "--read-data-subset=4/3", tmp.path()},
       "vxdb: check: --read-data-subset wants K/N with 1 <= K <= N, not \"4/3\"\nTry \"vxdb check --help\".\n"},
      {{"list", tmp / "none"}, "vxdb list: " + (tmp / "none") + ": No such file or directory\n"},
      {{"verify", tmp.path()}, "vxdb verify: " + tmp.path() +
                                   ": no VXDB.db here (not a backup folder; \"vxdb list\" on its destination shows the backups there)\n"},
      {{"stats", Backup()}, "vxdb stats: " + Backup() + ": no backups here\n"},
      {{"restore", Backup(), tmp / "t", "../x"}, "vxdb restore: ../x: paths in a backup have no \"..\"\n"},
  };
  for (const auto &c : cases) {
    ToolRun r = Vxdb(c.args);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

// ---- on backups that the plug-in made in the simulator ----------------------

// Every path below root, folders included.
std::set<std::string> Listing(const std::string &root)
{
  std::set<std::string> all;
  for (const auto &e : fs::recursive_directory_iterator(root))
    all.insert(e.path());
  return all;
}

class VxdbOnPluginBackups : public ::testing::Test {
protected:
  void SetUp() override
  {
    MakeRecorderDisk(disk.path(), "DestDevice=internal\r\nDestPath=/mnt/hd/Backup\r\n");
    std::vector<std::pair<std::string, std::string>> files = {
        {"/Recorder/settings.ini", "[Timer]\r\nChannel=1\r\n"},
        {"/Recorder/Logs/run.log", Pattern(3000, 1)},
        {"/Epg/guide.dat", Pattern(200000, 2)},
        {"/empty.file", ""},
        {"/with blank/it's.txt", "blank"},
        {"/new\nline/z", "newline"},
        {"/\xE4\xF6\xFC/caf\xC3\xA9", "high bytes"},
    };
    int64_t t = 1700000000;
    for (auto &[rel, content] : files) {
      WriteFile(Pf(rel), content);
      SetMtime(Pf(rel), t += 3607);
    }
  }
  std::string Pf(const std::string &rel) { return disk / ("ProgramFiles" + rel); }
  std::string Day(const std::string &date) { return disk / ("Backup/" + date); }

  // One load of the plug-in on that day, which makes that day's backup.
  void BackUp(const std::string &date)
  {
    TapsimResult r = RunTapsim({"--disk", disk.path(), "--clock", date + " 10:00:00", "--tick-step", "1",
                                "--max-events", "200000"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(Exists(Day(date) + "/VXDB.db")) << r.console;
  }

  TempDir disk, tmp;
};

TEST_F(VxdbOnPluginBackups, VerifyNamesWhatHappenedToTheBackup)
{
  BackUp("2024-03-05");
  ToolRun ok = Vxdb({"verify", Day("2024-03-05")});
  EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
  EXPECT_EQ(ok.out.rfind("Intact: ", 0), 0u) << ok.out;

  std::string guide = Day("2024-03-05") + "/Epg/guide.dat";
  std::string bytes = ReadFile(guide);
  bytes[123456] ^= 1;
  WriteFile(guide, bytes);
  fs::remove(Day("2024-03-05") + "/Recorder/settings.ini");
  WriteFile(Day("2024-03-05") + "/new\nline/added", "added");
  ToolRun r = Vxdb({"verify", Day("2024-03-05")});
  EXPECT_EQ(r.status, 1);
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[3].rfind("DAMAGED: 1 missing, 1 damaged, 1 extra (of ", 0), 0u) << lines[3];
  lines.pop_back();
  // Findings come in the catalogue's order, which is the scan's.
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"damaged       /Epg/guide.dat (contents differ)",
                                             "extra         /new\\x0Aline/added",
                                             "missing       /Recorder/settings.ini"}));
}

TEST_F(VxdbOnPluginBackups, RestoreGivesBackTheSourceOfThatDay)
{
  auto source = Tree(disk / "ProgramFiles");
  BackUp("2024-03-05");
  // The next day's changes do not touch the backup of this one.
  WriteFile(Pf("/Epg/guide.dat"), "changed later");

  ToolRun r = Vxdb({"restore", Day("2024-03-05"), tmp / "restored"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto restored = Tree(tmp / "restored");
  for (const auto &[rel, file] : source) {
    ASSERT_TRUE(restored.count(rel)) << rel;
    EXPECT_EQ(restored[rel].first, file.first) << rel;
    EXPECT_EQ(restored[rel].second, file.second) << rel << ": modification time";
  }
  // Besides, only what the plug-in itself wrote before its scan: its log.
  for (const auto &[rel, file] : restored)
    EXPECT_TRUE(source.count(rel) || rel.rfind("/Settings/", 0) == 0) << rel;
}

TEST_F(VxdbOnPluginBackups, ACraftedCatalogueCannotMakeRestoreWriteOutsideTheTarget)
{
  BackUp("2024-03-05");
  // Rewrite the plug-in's catalogue: entry 1 climbs out, entry 2 is absolute.
  std::string file = Day("2024-03-05") + "/VXDB.db", bytes = ReadFile(file);
  VXDBHeader h;
  VXDBDecodeHeader(reinterpret_cast<const uint8_t *>(bytes.data()), &h);
  ASSERT_GE(h.NrEntries, 3);
  std::string pool = bytes.substr(VXDB_HEADER_SIZE + size_t(h.NrEntries) * VXDB_ENTRY_SIZE);
  std::vector<VXDBEntry> entries(size_t(h.NrEntries));
  for (size_t i = 0; i < entries.size(); ++i)
    VXDBDecodeEntry(reinterpret_cast<const uint8_t *>(bytes.data()) + VXDB_HEADER_SIZE + i * VXDB_ENTRY_SIZE,
                    &entries[i]);
  Pool crafted{pool};
  std::string outside = tmp / "x/escaped";
  entries[0].FolderOffset = crafted.Add("/../../../");
  entries[1].FolderOffset = 0;
  entries[1].NameOffset = crafted.Add(outside);
  WriteFile(file, Encode(h.BackupDate, entries, crafted.bytes));
  auto diskBefore = Listing(disk.path()), tmpBefore = Listing(tmp.path());

  std::string target = tmp / "x/y/z/target";
  ToolRun r = Vxdb({"restore", Day("2024-03-05"), target});
  EXPECT_EQ(r.status, 1);
  auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 2u) << r.err;
  EXPECT_EQ(lines[0].rfind("refused       /../../../", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" (would land outside " + target + ": climbs out of its folder with \"..\")"),
            std::string::npos);
  EXPECT_EQ(lines[1], "refused       " + outside + " (would land outside " + target + ": has an absolute file name)");
  EXPECT_EQ(r.out.rfind("Restored " + std::to_string(h.NrEntries - 2) + " of ", 0), 0u) << r.out;

  EXPECT_EQ(Listing(disk.path()), diskBefore);
  std::set<std::string> tmpAfter;
  for (const auto &p : Listing(tmp.path()))
    if (p.rfind(target, 0) != 0 && target.rfind(p + "/", 0) != 0)
      tmpAfter.insert(p);
  EXPECT_EQ(tmpAfter, tmpBefore);
  EXPECT_EQ(Tree(target).size(), size_t(h.NrEntries - 2));
}

TEST_F(VxdbOnPluginBackups, DiffAndStatsOverTwoDays)
{
  BackUp("2024-03-05");
  WriteFile(Pf("/Epg/guide.dat"), Pattern(150000, 9));
  WriteFile(Pf("/Recorder/added.txt"), "added");
  fs::remove(Pf("/empty.file"));
  BackUp("2024-03-06");

  ToolRun d = Vxdb({"diff", Day("2024-03-05"), Day("2024-03-06")});
  EXPECT_EQ(d.status, 1);
  std::vector<std::string> owners, settings;
  for (const auto &line : Lines(d.out)) {
    if (line.find(" /Settings/") != std::string::npos)
      settings.push_back(line.substr(11));
    else if (line.rfind("From ", 0) != 0)
      owners.push_back(line);
  }
  EXPECT_EQ(owners, (std::vector<std::string>{"changed    /Epg/guide.dat", "added      /Recorder/added.txt",
                                              "removed    /empty.file"}));

  // What the second day alone holds is what it copied: the files that
  // differ from the first day, and its catalogue. The rest are links.
  std::string day1 = Day("2024-03-05"), day2 = Day("2024-03-06");
  uint64_t own2 = Du(day2 + "/Epg/guide.dat") + Du(day2 + "/Recorder/added.txt") + Du(day2 + "/VXDB.db");
  uint64_t own1 = Du(day1 + "/Epg/guide.dat") + Du(day1 + "/empty.file") + Du(day1 + "/VXDB.db");
  uint64_t all1 = 0;
  for (const auto &e : fs::recursive_directory_iterator(day1))
    if (e.is_regular_file())
      all1 += Du(e.path());
  for (const auto &rel : settings) {
    own2 += Du(day2 + rel);
    own1 += Du(day1 + rel);
  }
  ToolRun s = Vxdb({"stats", "--json", disk / "Backup"});
  EXPECT_EQ(s.status, 0) << s.err;
  EXPECT_NE(s.out.find("\"folder\":\"2024-03-05\",\"date\":\"2024-03-05T10:00:00+00:00\",\"state\":\"complete\""),
            std::string::npos)
      << s.out;
  EXPECT_NE(s.out.find("\"own_size\":" + std::to_string(own1) + ",\"total_size\":" + std::to_string(all1) + "}"),
            std::string::npos)
      << s.out;
  EXPECT_NE(s.out.find("\"own_size\":" + std::to_string(own2) + ",\"total_size\":" + std::to_string(all1 + own2) + "}"),
            std::string::npos)
      << s.out;
}

// The README's recipe for a dead recorder disk: ten days of backups on a
// USB disk, the newest folder one the plug-in began and never finished;
// "restore ROOT latest" gives back the newest complete day, byte for byte.
TEST(VxdbDisaster, TheRecordersDiskDiedAndLatestComesBack)
{
  TempDir usb;
  std::string root = usb / "VaultrixBackup";
  fs::create_directories(root);
  BackupScenario b("DestDevice=External\r\nDestPath=/VaultrixBackup\r\n", root);
  b.Source("/Tools/app.tap", Pattern(40000, 1));
  std::map<std::string, std::string> last;
  for (int d = 1; d <= 10; ++d) {
    b.Source("/Recorder/timers.ini", "[Timer]\r\nDay=" + std::to_string(d) + "\r\n");
    if (d % 3 == 0)
      b.Source("/Epg/guide.dat", Pattern(20000 + d, unsigned(d)));
    std::string date = "2024-03-" + std::string(d < 10 ? "0" : "") + std::to_string(d);
    ASSERT_EQ(b.Run(date, {"--ext", "sdb1=" + usb.path()}).status, 0) << b.log;
    ASSERT_TRUE(b.Complete(date)) << b.log;
    last = b.OwnerFiles();
  }
  // The eleventh day stopped half-way: some copies, no catalogue.
  b.Source("/Recorder/timers.ini", "changed on the eleventh day");
  WriteFile(root + "/2024-03-11/Recorder/timers.ini", "changed on the eleventh day");
  WriteFile(root + "/2024-03-11/" VXDB_UNFINISHED_NAME, "");

  ToolRun list = RunVxdbTool({"list", root});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(Lines(list.out)[1], "2024-03-11                    unfinished") << list.out;
  EXPECT_NE(list.out.find("Newest complete backup: 2024-03-10"), std::string::npos) << list.out;
  TempDir pc;
  ToolRun r = RunVxdbTool({"restore", root, "latest", pc / "restored"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "Passing over 2024-03-11: unfinished (the plug-in began it and never finished).\n");
  EXPECT_NE(r.out.find(" from 2024-03-10 10:00 into "), std::string::npos) << r.out;
  for (const auto &[rel, content] : last)
    EXPECT_EQ(ReadFile(pc / ("restored" + rel)), content) << rel;
  EXPECT_EQ(ReadFile(pc / "restored/Recorder/timers.ini"), "[Timer]\r\nDay=10\r\n");
  ToolRun check = RunVxdbTool({"check", root});
  EXPECT_EQ(check.status, 0) << check.out;
}

// One run made while the clock was set ahead, to 2027, is the newest backup
// only until the next one: the plug-in's lookup and vxdb's "latest" both
// take a backup as made when its catalogue was written.
TEST(VxdbDisaster, AClockSetAheadOnceDoesNotMakeAStaleBackupTheNewest)
{
  BackupScenario b;
  std::string root = b.Disk() + "/Backup";
  // Each catalogue as written at 10:05 that day by the recorder's clock.
  auto written = [&](const std::string &folder, int marchDay) {
    SetMtime(root + "/" + folder + "/VXDB.db", 1709251200 + (marchDay - 1) * 86400 + 36300);
  };
  for (int d = 1; d <= 6; ++d) {
    b.Source("/Recorder/timers.ini", "day " + std::to_string(d));
    std::string date = d == 4 ? "2027-06-01" : "2024-03-0" + std::to_string(d);
    if (d == 6) {
      ToolRun latest = RunVxdbTool({"list", root, "latest"});
      EXPECT_EQ(latest.out.rfind("Backup of 2024-03-05 10:00", 0), 0u) << latest.out << latest.err;
    }
    ASSERT_EQ(b.Run(date).status, 0) << b.log;
    ASSERT_TRUE(b.Complete(date)) << b.log;
    written(date, d);
    if (d == 5)
      EXPECT_TRUE(b.Logged("Last backup found: 2027-06-01")) << "the newest made: " << b.log;
  }
  EXPECT_TRUE(b.Logged("Last backup found: 2024-03-05")) << b.log;
  ToolRun list = RunVxdbTool({"list", root});
  EXPECT_NE(list.out.find("Clock set ahead: 2027-06-01 was dated by a clock set ahead: its catalogue was written on "
                          "2024-03-04; it counts as a backup of that day.\n"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("Newest complete backup: 2024-03-06"), std::string::npos) << list.out;
  TempDir pc;
  ASSERT_EQ(RunVxdbTool({"report", root, "-o", pc / "r.html"}).status, 0);
  EXPECT_NE(ReadFile(pc / "r.html").find("<tr><td>2027-06-01 (dated by a clock set ahead: its catalogue was written "
                                         "on 2024-03-04)</td>"),
            std::string::npos);
  ToolRun r = RunVxdbTool({"restore", root, "latest", pc / "t", "/Recorder"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(pc / "t/Recorder/timers.ini"), "day 6");

  // A system clock that stood in 2000 at every backup: no date agrees with
  // it, so it is that clock that is off, and the dates stand, for both.
  for (const char *date : {"2024-03-01", "2024-03-02", "2024-03-03", "2027-06-01", "2024-03-05", "2024-03-06"})
    SetMtime(root + "/" + date + "/VXDB.db", 946684800);
  ToolRun stuck = RunVxdbTool({"list", root});
  EXPECT_EQ(stuck.out.find("Clock set ahead"), std::string::npos) << stuck.out;
  EXPECT_NE(stuck.out.find("Newest complete backup: 2027-06-01"), std::string::npos) << stuck.out;
  ASSERT_EQ(b.Run("2024-03-07").status, 0) << b.log;
  EXPECT_TRUE(b.Logged("Last backup found: 2027-06-01")) << b.log;
}

// The recorder build's plug-in, run under the emulator by the recorder
// build's own simulator, writes a backup that the PC build's vxdb reads. This
// runs in the recorder build's tests, with the PC build's vxdb when that has
// been made (make test builds the PC first). The PC build's tests instead read
// a catalogue saved by the recorder build (ReadsCataloguesWrittenByEitherBuild):
// they never start the other build's simulator, which may be out of date.
TEST_F(VxdbOnPluginBackups, RecorderBuildsBackupReadByThePcTool)
{
#if !defined(__mips__)
  GTEST_SKIP() << "runs in the recorder build's tests";
#endif
  std::string pcTool = VX_SOURCE_DIR "/build/host/vxdb";
  if (!Exists(pcTool))
    GTEST_SKIP() << "no PC build at " << pcTool;
  BackUp("2024-03-05");
  std::string day = Day("2024-03-05");
  ToolRun verify = Exec({pcTool, "verify", day});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  ToolRun list = Exec({pcTool, "list", "--json", day});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("\"date\":\"2024-03-05T10:00:00+00:00\""), std::string::npos) << list.out;
  time_t mtime = time_t(Tree(disk / "ProgramFiles/Epg")["/guide.dat"].second);
  char utc[32];
  strftime(utc, sizeof utc, "%Y-%m-%dT%H:%M:%S+00:00", gmtime(&mtime));
  EXPECT_NE(list.out.find("{\"path\":\"/Epg/guide.dat\",\"size\":200000,\"mtime\":\"" + std::string(utc) + "\""),
            std::string::npos)
      << list.out;
  ToolRun restore = Exec({pcTool, "restore", day, tmp / "restored", "/Epg"});
  EXPECT_EQ(restore.status, 0) << restore.out;
  EXPECT_EQ(ReadFile(tmp / "restored/Epg/guide.dat"), Pattern(200000, 2));
}

// ---- the tool's parts -------------------------------------------------------

TEST(VxdbParts, Md5AgreesWithRfc1321AndThePluginsDigest)
{
  auto hex = [](const std::string &s) {
    vxdb::Md5 m;
    m.Update(s.data(), s.size());
    return vxdb::ToHex(m.Final());
  };
  EXPECT_EQ(hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  std::mt19937 rng(7);
  for (size_t len : {55, 56, 63, 64, 65, 1024, 1025, 100000}) {
    std::string s(len, '\0');
    for (auto &c : s)
      c = char(rng());
    vxdb::Md5 pieces;
    for (size_t at = 0; at < len; at += 37)
      pieces.Update(s.data() + at, std::min<size_t>(37, len - at));
    auto got = pieces.Final();
    auto want = Digest(s);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << len;
  }
}

TEST(VxdbParts, DamagedCataloguesNeverYieldAPathOutOfTheFolder)
{
  std::vector<File> files = DayOfFiles();
  files.push_back({"/a/../", "b", "x"});
  std::string good = CatalogueOf(kMar5, files);
  auto check = [](const std::string &bytes) {
    vxdb::Catalogue cat;
    std::string why;
    if (!vxdb::ParseCatalogue(bytes, &cat, &why))
      return;
    for (const auto &p : vxdb::PlaceEntries(cat)) {
      if (!p.problem.empty())
        continue;
      ASSERT_FALSE(p.parts.empty());
      for (const auto &part : p.parts)
        ASSERT_TRUE(part != ".." && part != "." && !part.empty() && part.find('/') == std::string::npos);
    }
  };
  for (size_t n = 0; n < good.size(); ++n) {
    vxdb::Catalogue cat;
    std::string why;
    EXPECT_FALSE(vxdb::ParseCatalogue(good.substr(0, n), &cat, &why)) << n;
  }
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    std::string bad = good;
    for (int flips = 1 + rng() % 4; flips > 0; --flips)
      bad[rng() % bad.size()] = char(rng());
    check(bad);
  }
}

TEST(VxdbParts, TextsForPeopleAndScripts)
{
  EXPECT_EQ(vxdb::SizeText(0), "0 B");
  EXPECT_EQ(vxdb::SizeText(1023), "1023 B");
  EXPECT_EQ(vxdb::SizeText(1536), "1.5 KiB");
  EXPECT_EQ(vxdb::SizeText(uint64_t(3) << 30), "3.0 GiB");
  EXPECT_EQ(vxdb::SizeText(uint64_t(5) << 40), "5.0 TiB");
  EXPECT_EQ(vxdb::BackupDateText(kMar5), "2024-03-05 14:30");
  EXPECT_EQ(vxdb::Shown("a\nb\\c\x7f"), "a\\x0Ab\\\\c\\x7F");
  // C1 controls and bidirectional overrides would steer or reorder the line.
  EXPECT_EQ(vxdb::Shown("rlo\u202Egnp.exe\xC2\x9B\xE4"), "rlo\\xE2\\x80\\xAEgnp.exe\\xC2\\x9B\\xE4");
  // Valid UTF-8 passes; a stray ISO 8859-1 byte is taken as that character.
  EXPECT_EQ(vxdb::JsonQuote("\"K\xc3\xa4se\"\t"), "\"\\\"K\xc3\xa4se\\\"\\u0009\"");
  EXPECT_EQ(vxdb::JsonQuote("K\xe4se\xed\xa0\x80"), "\"K\xc3\xa4se\xc3\xad\xc2\xa0\xc2\x80\"");

  vxdb::ProgressFigures f{3, 10, 1 << 20, 4 << 20, 2.0};
  EXPECT_EQ(vxdb::ProgressLine(f, 80), "[######...................] 3/10 files  1.0 MiB/4.0 MiB  512.0 KiB/s  0:06 left");
  f.seconds = 0.2;
  EXPECT_EQ(vxdb::ProgressLine(f, 40), "[##.......] 3/10 files  1.0 MiB/4.0 MiB");
}

}  // namespace
