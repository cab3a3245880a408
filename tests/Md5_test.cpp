#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "checksum/Md5.h"
#include "host/runtime/TapRuntime.h"
#include "support/TestSupport.h"

static std::string Hex(const byte *d)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 16; i++) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

static std::string OfText(const char *text)
{
  byte d[16];
  EXPECT_EQ(MD5String(text, d), 1);
  return Hex(d);
}

// Contents whose digests were computed with an independent MD5.
static std::string Pattern(size_t n)
{
  std::string s(n, 0);
  for (size_t i = 0; i < n; i++)
    s[i] = (char)((i * 7 + 3) % 256);
  return s;
}

struct SizedFile {
  size_t size;
  const char *md5;
};
static const SizedFile kFiles[] = {
    {0, "d41d8cd98f00b204e9800998ecf8427e"},
    {64, "7160b8fb5e9e4023d549c3971fbaeead"},
    {1024, "a66351d9c8f941b70a02eaf9c41e69c3"},
    {1025, "ee57403eb3428e1a0be41fad4a70b174"},
    {100000, "59f08777fcd1aa2b8e0c8f892cfaae09"},
};

TEST(Md5, Rfc1321TestSuite)
{
  EXPECT_EQ(OfText(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(OfText("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(OfText("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(OfText("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(OfText("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(OfText("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(OfText("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, FeedingInPiecesGivesTheSameDigest)
{
  std::string data = Pattern(1025);
  for (dword piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 1000u}) {
    MD5Context c;
    MD5Init(&c);
    for (size_t at = 0; at < data.size(); at += piece)
      MD5Update(&c, (const byte *)data.data() + at, (dword)std::min<size_t>(piece, data.size() - at));
    MD5Final(&c);
    EXPECT_EQ(Hex(c.digest), "ee57403eb3428e1a0be41fad4a70b174") << piece;
  }
}

TEST(Md5, MissingTextFailsAndLeavesTheDestination)
{
  byte d[16];
  memset(d, 0x5A, sizeof d);
  EXPECT_EQ(MD5String(nullptr, d), 0);
  EXPECT_EQ(d[0], 0x5A);
  EXPECT_EQ(MD5String("abc", nullptr), 1);
}

TEST(Md5, AbsoluteFilesOfBlockBoundarySizes)
{
  TempDir dir;
  for (auto &f : kFiles) {
    std::string path = dir / ("f" + std::to_string(f.size));
    WriteFile(path, Pattern(f.size));
    byte d[16];
    ASSERT_EQ(MD5AbsFile(path.c_str(), d), 1) << f.size;
    EXPECT_EQ(Hex(d), f.md5) << f.size;
  }
}

TEST(Md5, AbsoluteFileThatCannotBeReadLeavesTheDestination)
{
  TempDir dir;
  byte d[16];
  memset(d, 0x5A, sizeof d);
  EXPECT_EQ(MD5AbsFile((dir / "missing").c_str(), d), 0);
  EXPECT_EQ(MD5AbsFile(nullptr, d), 0);
  // A folder opens but every read fails: no digest of nothing.
  EXPECT_EQ(MD5AbsFile(dir.path().c_str(), d), 0);
  EXPECT_EQ(d[0], 0x5A);
}

TEST(Md5, RecorderFilesThroughTheHost)
{
  TempDir disk;
  MakeRecorderDisk(disk.path(), nullptr);
  TapRuntime *rt = TapRuntimeControl();
  rt->diskRoot = disk.path();
  rt->currentDir = "/ProgramFiles";
  for (auto &f : kFiles) {
    std::string name = "f" + std::to_string(f.size);
    WriteFile(disk / ("ProgramFiles/" + name), Pattern(f.size));
    byte d[16];
    ASSERT_EQ(MD5File(name.c_str(), d), 1) << f.size;
    EXPECT_EQ(Hex(d), f.md5) << f.size;
  }
  byte d[16] = {0x5A};
  EXPECT_EQ(MD5File("missing", d), 0);
  EXPECT_EQ(MD5File(nullptr, d), 0);
  EXPECT_EQ(d[0], 0x5A);
}
