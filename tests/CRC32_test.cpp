#include <gtest/gtest.h>

#include <cstring>

#include "checksum/CRC32.h"

static dword Crc(dword start, const char *text)
{
  return CRC32(start, text, (dword)strlen(text));
}

TEST(CRC32, CheckValuesOfBothStartValues)
{
  EXPECT_EQ(Crc(0, "123456789"), 0x89A1897Fu);
  EXPECT_EQ(Crc(0xFFFFFFFFu, "123456789"), 0x0376E6E7u); // CRC-32/MPEG-2
  EXPECT_EQ(Crc(0, "abc"), 0x2C17398Cu);
  EXPECT_EQ(Crc(0, "/a.bin"), 0x8884497Du);
}

TEST(CRC32, TableIsTheMsbFirstTableOfThePolynomial)
{
  CRC32(0, "x", 1);
  EXPECT_EQ(CRCTableOK, 1);
  EXPECT_EQ(CRC32Table[0], 0u);
  EXPECT_EQ(CRC32Table[1], 0x04C11DB7u);
  EXPECT_EQ(CRC32Table[128], 0x690CE0EEu);
}

TEST(CRC32, NoDataReturnsTheStartValueWithoutBuildingTheTable)
{
  CRCTableOK = 0;
  EXPECT_EQ(CRC32(0x12345678u, nullptr, 10), 0x12345678u);
  EXPECT_EQ(CRCTableOK, 0);
  EXPECT_EQ(CRC32(0, "abc", 0), 0u);
  EXPECT_EQ(Crc(0, "123456789"), 0x89A1897Fu);
}

TEST(CRC32, PiecesChainToTheWhole)
{
  const char *text = "/Settings/Vaultrix/Vaultrix.ini";
  for (dword cut = 0; cut <= strlen(text); cut++) {
    dword first = CRC32(0, text, cut);
    EXPECT_EQ(CRC32(first, text + cut, (dword)strlen(text) - cut), Crc(0, text)) << cut;
  }
}

TEST(CRC32, HighBytesAreTakenUnsigned)
{
  // The table index must not pick up a sign extension of 0xE4.
  const char text[] = "\xE4";
  EXPECT_EQ(CRC32(0, text, 1), CRC32Table[0xE4]);
}
