#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/mount.h>
#include <unistd.h>

#include "host/runtime/TapRuntime.h"
#include "support/RecorderNamespace.h"
#include "support/TestSupport.h"

namespace {

const char *kAppFolder = "/ProgramFiles/Settings/Vaultrix";

class IniStore : public ::testing::Test {
protected:
  void SetUp() override
  {
    MakeRecorderDisk(disk.path(), nullptr);
    ASSERT_EQ(EnterRecorderNamespace(disk.path()), "");
    UseRecorderDisk(disk.path());
    rt->failWriteAt = 0;
    rt->failAllocAt = 0;
    rt->failAllocFrom = false;
  }
  void TearDown() override
  {
    INICloseFile();
    rt->failWriteAt = 0;
    rt->failAllocAt = 0;
  }

  std::string At(const std::string &rel) { return disk / ("ProgramFiles/" + rel); }
  std::string Text() { return INIBuffer ? INIBuffer : "<closed>"; }
  std::string Get(const char *key, dword len = 64)
  {
    char out[512];
    EXPECT_EQ(INIGetString(key, out, "<default>", len), 1);
    return out;
  }
  // Writes Settings/Vaultrix/Test.ini and opens it from that folder.
  int Open(const std::string &content)
  {
    WriteFile(At("Settings/Vaultrix/Test.ini"), content);
    EXPECT_TRUE(HDD_ChangeDir(kAppFolder));
    return INIOpenFile("Test.ini", nullptr);
  }

  TempDir disk;
  TapRuntime *rt = TapRuntimeControl();
};

TEST_F(IniStore, MissingFileGivesEmptyStoreThatSavesCrLfEntries)
{
  EXPECT_EQ(INIOpenFile("Test.ini", "Vaultrix"), 1);
  EXPECT_EQ(BufferSize, 512u);
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(Get("DestDevice"), "<default>");
  INISetString("DestDevice", "internal");
  INISetHexWord("LastBackup", 0xE8D2);
  EXPECT_EQ(Text(), "DestDevice=internal\r\nLastBackup=e8d2\r\n");

  EXPECT_EQ(INISaveFile("Test.ini", 1, nullptr), 1);
  EXPECT_EQ(ReadFile(At("Test.ini")), Text());
  EXPECT_FALSE(Exists(At("Test.ini.new")));
  INICloseFile();
  EXPECT_EQ(INIBuffer, nullptr);
  EXPECT_EQ(BufferSize, 0u);
  INICloseFile();
}

TEST_F(IniStore, BlockSizesFollowTheFileLength)
{
  EXPECT_EQ(Open(""), 2);
  EXPECT_EQ(BufferSize, 1024u);
  EXPECT_EQ(Text(), "\r\n");
  EXPECT_EQ(Open(std::string(510, 'x') + "\n"), 2);
  EXPECT_EQ(BufferSize, 1024u);
  EXPECT_EQ(Open(std::string(511, 'x') + "\n"), 2);
  EXPECT_EQ(BufferSize, 1536u);

  // 1536 bytes hold the 512-byte text; a 1,100-character value needs one
  // step (2048), a 2,000-character one would need two and is dropped.
  INISetString("Big", std::string(1100, 'v').c_str());
  EXPECT_EQ(BufferSize, 2048u);
  std::string before = Text();
  INISetString("Huge", std::string(2000, 'v').c_str());
  EXPECT_EQ(Text(), before);
  EXPECT_EQ(BufferSize, 2048u);
}

TEST_F(IniStore, KeysMatchWithoutCaseAndTakeTheCallersSpelling)
{
  ASSERT_EQ(Open("destdevice=ext\r\n# DestPath=/plain\r\n"), 2);
  EXPECT_EQ(Get("DestDevice"), "ext");
  // A blank after the comment sign does not comment the entry out.
  EXPECT_EQ(Get("DestPath"), "/plain");
  // Matches need not begin a line: the tail of a longer key matches.
  EXPECT_EQ(Get("Path"), "/plain");
  INISetString("DestDevice", "nas");
  EXPECT_EQ(Text(), "DestDevice=nas\r\n# DestPath=/plain\r\n");
}

TEST_F(IniStore, CommentedEntriesAreSkippedAndKept)
{
  ASSERT_EQ(Open("#DestDevice=a\r\n;DestDevice=b\r\n"), 2);
  EXPECT_EQ(Get("DestDevice"), "<default>");
  INISetString("DestDevice", "i");
  EXPECT_EQ(Text(), "#DestDevice=a\r\n;DestDevice=b\r\nDestDevice=i\r\n");
  EXPECT_EQ(Get("DestDevice"), "i");
}

TEST_F(IniStore, ReplacingKeepsEveryOtherByte)
{
  const std::string head = "; Vaultrix\r\n\r\nA = 1 \r\n";
  const std::string tail = "\r\n  free text\r\nB=2\r\n";
  ASSERT_EQ(Open(head + "DestPath=/mnt/hd/Old" + tail), 2);
  INISetString("DestPath", "/mnt/hd/New Folder");
  EXPECT_EQ(Text(), head + "DestPath=/mnt/hd/New Folder" + tail);
  INISetString("DestPath", "");
  EXPECT_EQ(Text(), head + "DestPath=" + tail);
  EXPECT_EQ(Get("DestPath"), "<default>");
}

TEST_F(IniStore, LfOnlyFileStaysLfAndNewEntriesUseCrLf)
{
  ASSERT_EQ(Open("A=1\nDestPath=/old\nB=2"), 2);
  EXPECT_EQ(Text(), "A=1\nDestPath=/old\nB=2\r\n");
  INISetString("DestPath", "/new");
  INISetHexWord("LastBackup", 0x00AB);
  const std::string expected = "A=1\nDestPath=/new\nB=2\r\nLastBackup=00ab\r\n";
  EXPECT_EQ(Text(), expected);
  // A CR further on must not end an LF line.
  EXPECT_EQ(Get("A"), "1");
  EXPECT_EQ(Get("B"), "2");
  ASSERT_EQ(INISaveFile("Test.ini", 2, nullptr), 1);
  EXPECT_EQ(ReadFile(At("Settings/Vaultrix/Test.ini")), expected);
}

TEST_F(IniStore, StringsAreCutToTheirBuffers)
{
  ASSERT_EQ(Open("DestPath=/abcdefghij\r\nEmpty=\r\n"), 2);
  EXPECT_EQ(Get("DestPath", 5), "/abc");
  EXPECT_EQ(Get("Empty"), "<default>");
  char out[4] = "xyz";
  EXPECT_EQ(INIGetString("DestPath", out, "d", 0), 0);
  EXPECT_EQ(INIGetString(nullptr, out, "d", 4), 0);
  EXPECT_EQ(INIGetString("DestPath", out, nullptr, 4), 0);
  EXPECT_STREQ(out, "xyz");
  EXPECT_EQ(INIGetString("Missing", out, "longdefault", 4), 1);
  EXPECT_STREQ(out, "lon");
}

TEST_F(IniStore, HexWordsAreCheckedAndLimited)
{
  ASSERT_EQ(Open("E=\r\nZ=12zz\r\nF=ffff\r\nFive=12345\r\nLong=123456789\r\nLow=0a\r\nBlank= 12\r\nUp=E8D2\r\n"), 2);
  EXPECT_EQ(INIGetHexWord("E", 7, 0, 0xFFFF), 7);
  EXPECT_EQ(INIGetHexWord("Z", 7, 0, 0xFFFF), 7);
  EXPECT_EQ(INIGetHexWord("Blank", 7, 0, 0xFFFF), 7);
  EXPECT_EQ(INIGetHexWord("Missing", 0x9999, 0, 10), 0x9999);
  EXPECT_EQ(INIGetHexWord("F", 7, 0, 0xFFFF), 0xFFFF);
  EXPECT_EQ(INIGetHexWord("Up", 7, 0, 0xFFFF), 0xE8D2);
  EXPECT_EQ(INIGetHexWord("Five", 7, 0, 0xFFFF), 0x2345);
  EXPECT_EQ(INIGetHexWord("Long", 7, 0, 0xFFFF), 0x6789);
  EXPECT_EQ(INIGetHexWord("Low", 7, 0x20, 0xFFFF), 0x20);
  EXPECT_EQ(INIGetHexWord("F", 7, 0, 0x100), 0x100);
  EXPECT_EQ(INIGetHexWord("Low", 7, 0x30, 0x20), 0x20);
  EXPECT_EQ(INIGetHexWord(nullptr, 7, 0, 0xFFFF), 0);
}

TEST_F(IniStore, KeysLongerThan78CharactersActAsTheirFirst78)
{
  const std::string key = "Key" + std::string(87, 'x'), cut = key.substr(0, 78);
  ASSERT_EQ(Open(key + "=full\r\n"), 2);
  EXPECT_EQ(Get(key.c_str()), "<default>");
  INISetString(key.c_str(), "short");
  EXPECT_EQ(Text(), key + "=full\r\n" + cut + "=short\r\n");
  EXPECT_EQ(Get(key.c_str()), "short");
}

TEST_F(IniStore, LineEndsInKeysOrValuesAreRefused)
{
  ASSERT_EQ(Open("A=1\r\n"), 2);
  INISetString("A", "2\r\nDestPath=/evil");
  INISetString("X\nDestPath", "1");
  INISetString(nullptr, "1");
  INISetString("A", nullptr);
  EXPECT_EQ(Text(), "A=1\r\n");
}

TEST_F(IniStore, SearchOrderAndCurrentFolder)
{
  WriteFile(At("T.ini"), "W=5\r\n");
  WriteFile(At("Settings/T.ini"), "W=4\r\n");
  WriteFile(At("Settings/Vaultrix/T.ini"), "W=3\r\n");
  WriteFile(disk / "Else/T.ini", "W=2\r\n");
  ASSERT_TRUE(HDD_ChangeDir("/Else"));
  EXPECT_EQ(INILocateFile("T.ini", "Vaultrix"), 2);
  ASSERT_TRUE(HDD_ChangeDir("/"));
  EXPECT_EQ(INILocateFile("T.ini", "Vaultrix"), 3);
  EXPECT_EQ(rt->currentDir, "/ProgramFiles/Settings/Vaultrix");
  ASSERT_TRUE(HDD_ChangeDir("/"));
  EXPECT_EQ(INILocateFile("T.ini", "/Vaultrix"), 4);
  EXPECT_EQ(rt->currentDir, "/ProgramFiles/Settings");
  EXPECT_EQ(INILocateFile(nullptr, nullptr), 0);

  // The open reports where it read, and leaves the caller where it was.
  unlink(At("Settings/Vaultrix/T.ini").c_str());
  unlink(At("Settings/T.ini").c_str());
  unlink((disk / "Else/T.ini").c_str());
  ASSERT_TRUE(HDD_ChangeDir("/Else"));
  EXPECT_EQ(INIOpenFile("T.ini", "Vaultrix"), 5);
  EXPECT_EQ(Get("W"), "5");
  EXPECT_EQ(rt->currentDir, "/Else");
  unlink(At("T.ini").c_str());
  EXPECT_EQ(INILocateFile("T.ini", "Vaultrix"), 0);
  EXPECT_EQ(rt->currentDir, "/Else");
  EXPECT_EQ(INIOpenFile(nullptr, nullptr), 1);
}

TEST_F(IniStore, SaveCreatesTheFoldersItNeedsAndRefusesBadLocations)
{
  std::filesystem::remove_all(At("Settings"));
  ASSERT_EQ(INIOpenFile("T.ini", nullptr), 1);
  INISetString("A", "1");
  EXPECT_EQ(INISaveFile("T.ini", 3, ""), 0);
  EXPECT_EQ(INISaveFile("T.ini", 3, nullptr), 0);
  EXPECT_EQ(INISaveFile("T.ini", 6, "App"), 0);
  EXPECT_FALSE(Exists(At("Settings")));
  std::filesystem::create_directories(disk / "Else");
  ASSERT_TRUE(HDD_ChangeDir("/Else"));
  EXPECT_EQ(INISaveFile("T.ini", 3, "App"), 1);
  EXPECT_EQ(ReadFile(At("Settings/App/T.ini")), "A=1\r\n");
  EXPECT_EQ(INISaveFile("T.ini", 4, nullptr), 1);
  EXPECT_EQ(ReadFile(At("Settings/T.ini")), "A=1\r\n");
  EXPECT_EQ(rt->currentDir, "/Else");
  INICloseFile();
  EXPECT_EQ(INISaveFile("T.ini", 2, nullptr), 0);
}

TEST_F(IniStore, FailedWriteLeavesThePreviousFile)
{
  const std::string old = "DestDevice=i\r\nDestPath=/mnt/hd/B\r\n";
  ASSERT_EQ(Open(old), 2);
  INISetHexWord("LastBackup", 0xE8D2);
  rt->failWriteAt = rt->writeCalls + 1;
  EXPECT_EQ(INISaveFile("Test.ini", 2, nullptr), 0);
  EXPECT_EQ(ReadFile(At("Settings/Vaultrix/Test.ini")), old);
  EXPECT_FALSE(Exists(At("Settings/Vaultrix/Test.ini.new")));
  EXPECT_EQ(rt->currentDir, kAppFolder);
}

TEST_F(IniStore, FullDiskLeavesThePreviousFile)
{
  // A disk with room for the old file but not for a second, larger copy.
  ASSERT_EQ(mount("vxfull", disk.path().c_str(), "tmpfs", 0, "size=8k"), 0) << strerror(errno);
  MakeRecorderDisk(disk.path(), nullptr);
  ASSERT_EQ(EnterRecorderNamespace(disk.path()), "");
  const std::string old = "DestDevice=i\r\n" + std::string(3000, '#') + "\r\n";
  ASSERT_EQ(Open(old), 2);
  INISetString("Pad", std::string(1000, 'p').c_str());
  WriteFile(disk / "filler", std::string(4096, 'f'));
  EXPECT_EQ(INISaveFile("Test.ini", 2, nullptr), 0);
  EXPECT_EQ(ReadFile(At("Settings/Vaultrix/Test.ini")), old);
  EXPECT_FALSE(Exists(At("Settings/Vaultrix/Test.ini.new")));
  umount2(disk.path().c_str(), MNT_DETACH);
}

TEST_F(IniStore, LackOfMemoryChangesNothing)
{
  ASSERT_EQ(Open("A=1\r\n"), 2);
  rt->failAllocAt = rt->allocCalls + 1;
  rt->failAllocFrom = true;
  INISetString("A", "2");
  INISetString("B", std::string(1100, 'b').c_str());
  EXPECT_EQ(Text(), "A=1\r\n");
  EXPECT_EQ(Open("A=1\r\n"), 0);
  EXPECT_EQ(INIBuffer, nullptr);
  rt->failAllocAt = 0;
  rt->failAllocFrom = false;
  // A second open releases the first file's block.
  int64_t live = rt->liveBlocks;
  ASSERT_EQ(Open("A=1\r\n"), 2);
  ASSERT_EQ(Open("A=1\r\n"), 2);
  EXPECT_EQ(rt->liveBlocks, live + 1);
}

} // namespace

namespace {

TEST_F(IniStore, ZeroByteEndsTheText)
{
  ASSERT_EQ(Open(std::string("A=1\r\nB=2\0C=3\r\n", 14)), 2);
  EXPECT_EQ(Text(), "A=1\r\nB=2\r\n");
  EXPECT_EQ(Get("C"), "<default>");
  ASSERT_EQ(Open(std::string("\0A=1\r\n", 6)), 2);
  EXPECT_EQ(Text(), "\r\n");
}

TEST_F(IniStore, CrAloneEndsAValueOnlyWithoutLaterLf)
{
  ASSERT_EQ(Open("A=1\rB=2\r"), 2);
  EXPECT_EQ(Get("A"), "1");
  ASSERT_EQ(Open("A=1\rB=2\n"), 2);
  EXPECT_EQ(Get("A"), "1\rB=2");
}

TEST_F(IniStore, MegabyteFileWithLongLinesStaysWhole)
{
  std::string text;
  for (int i = 0; text.size() < (1u << 20); i++)
    text += "Key" + std::to_string(i) + "=" + std::string(i % 7 ? 100 : 20000, 'v') + "\n";
  text += "DestPath=" + std::string(5000, 'p') + "\r\n";
  ASSERT_EQ(Open(text), 2);
  EXPECT_EQ(Get("DestPath", 128), std::string(127, 'p'));
  EXPECT_EQ(Get("Key7", 8), std::string(7, 'v'));
  INISetString("DestPath", "/mnt/hd/B");
  INISetHexWord("LastBackup", 0xE8D2);
  const std::string expected = text.substr(0, text.size() - 5011) + "DestPath=/mnt/hd/B\r\nLastBackup=e8d2\r\n";
  EXPECT_EQ(Text(), expected);
  ASSERT_EQ(INISaveFile("Test.ini", 2, nullptr), 1);
  EXPECT_EQ(ReadFile(At("Settings/Vaultrix/Test.ini")), expected);
}

} // namespace
