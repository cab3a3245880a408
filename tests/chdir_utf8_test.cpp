// The second try of a folder change on a firmware that keeps names in
// UTF-8: a single-byte path is converted, and a path whose UTF-8 form could
// not fit the conversion buffer is refused.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/HostDisk.h"

namespace {

class ChangeDirUTF8 : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    // Plays the UTF-8 firmware for the whole process: the answer is kept.
    ASSERT_NE(dlopen(VX_UTF8FW, RTLD_NOW | RTLD_GLOBAL), nullptr) << dlerror();
    ASSERT_EQ(isUTFFirmware(), 1);
  }

  HostDisk disk;

  void MakeFolder(const std::string &diskPath) { std::filesystem::create_directories(disk / diskPath); }
};

std::string Repeat(const char *s, int n)
{
  std::string out;
  while (n-- > 0)
    out += s;
  return out;
}

} // namespace

TEST_F(ChangeDirUTF8, SingleBytePathFindsItsUtf8Folder)
{
  MakeFolder("/ProgramFiles/Caf\xC3\xA9");
  EXPECT_EQ(HDD_ChangeDir("/ProgramFiles/Caf\xE9"), 1);
  EXPECT_EQ(disk.current(), "/ProgramFiles/Caf\xC3\xA9");
  // ISO 8859-9 unless the path names its own table.
  MakeFolder("/ProgramFiles/\xC4\xB0");
  EXPECT_EQ(HDD_ChangeDir("/ProgramFiles/\xDD"), 1);
  EXPECT_EQ(disk.current(), "/ProgramFiles/\xC4\xB0");
  MakeFolder("/ProgramFiles/\xD1\x89");
  EXPECT_EQ(HDD_ChangeDir(std::string("\x10\x00\x05/ProgramFiles/\xE9", 18).c_str()), 1);
  EXPECT_EQ(disk.current(), "/ProgramFiles/\xD1\x89");
  // Plain ASCII converts to itself and fails again.
  EXPECT_EQ(HDD_ChangeDir("/ProgramFiles/Missing"), 0);
  EXPECT_EQ(disk.current(), "/ProgramFiles/\xD1\x89");
}

TEST_F(ChangeDirUTF8, PathsUpTo255BytesGetTheSecondTry)
{
  std::string a = Repeat("\xE9", 120), b = Repeat("\xE9", 120);
  const std::string parent = "/ProgramFiles/" + Repeat("\xC3\xA9", 120) + "/";
  MakeFolder(parent + Repeat("\xC3\xA9", 120));
  MakeFolder(parent + Repeat("\xC3\xA9", 121));
  std::string path = "/ProgramFiles/" + a + "/" + b;
  ASSERT_EQ(path.size(), 255u);
  EXPECT_EQ(HDD_ChangeDir(path.c_str()), 1);
  // One byte more could outgrow the buffer in the worst case: refused,
  // although this folder exists.
  path += "\xE9";
  EXPECT_EQ(HDD_ChangeDir(path.c_str()), 0);
}

TEST_F(ChangeDirUTF8, WorstCaseExpansionFitsAndLongerIsRefused)
{
  // In ISO/IEC 6937 (table 12, chosen by the selector) every 0xA4 is a
  // three-byte euro sign.  The selector's zero byte hides the rest of the
  // path from strlen; the length check must still see it.
  const std::string euro = "\xE2\x82\xAC";
  MakeFolder("/ProgramFiles/" + Repeat(euro.c_str(), 80) + "/" + Repeat(euro.c_str(), 80) + "/" +
             Repeat(euro.c_str(), 76));
  std::string path = std::string("\x10\x00\x0C", 3) + "/ProgramFiles/" + Repeat("\xA4", 80) + "/" + Repeat("\xA4", 80) +
                     "/" + Repeat("\xA4", 76);
  ASSERT_EQ(path.size(), 255u);
  EXPECT_EQ(HDD_ChangeDir(path.c_str()), 1);
  EXPECT_EQ(disk.current().size(), 14u + 240 + 1 + 240 + 1 + 228);
  std::string overlong = std::string("\x10\x00\x0C", 3) + Repeat("\xA4", 600);
  EXPECT_EQ(HDD_ChangeDir(overlong.c_str()), 0);
}
