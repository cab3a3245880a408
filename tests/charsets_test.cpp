// Conversion between the legacy single-byte character sets and UTF-8, with
// every table checked byte by byte against an independent source, glibc's
// iconv, and the bytes where the broadcast variant of ISO/IEC 6937 parts
// from it named.
#include <gtest/gtest.h>
#include <iconv.h>

#include <map>
#include <string>
#include <vector>

#include "support/HostDisk.h"

namespace {

const int kParts[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16};

const word *Table(int part)
{
  switch (part) {
  case 1: return UTFLookupISO8859_1;
  case 2: return UTFLookupISO8859_2;
  case 3: return UTFLookupISO8859_3;
  case 4: return UTFLookupISO8859_4;
  case 5: return UTFLookupISO8859_5;
  case 6: return UTFLookupISO8859_6;
  case 7: return UTFLookupISO8859_7;
  case 8: return UTFLookupISO8859_8;
  case 9: return UTFLookupISO8859_9;
  case 10: return UTFLookupISO8859_10;
  case 11: return UTFLookupISO8859_11;
  case 13: return UTFLookupISO8859_13;
  case 14: return UTFLookupISO8859_14;
  case 15: return UTFLookupISO8859_15;
  case 16: return UTFLookupISO8859_16;
  default: return nullptr;
  }
}

// Where the broadcast variant of ISO/IEC 6937 (ETSI EN 300 468, table 00)
// parts from glibc's ISO_6937.
const std::map<int, dword> kBroadcast = {
  {0xA4, 0x20AC}, // the euro sign, unassigned in ISO/IEC 6937
  {0xD0, 0x2015}, // horizontal bar, where glibc has the em dash
  {0xE2, 0x0110}, // capital D with stroke, where glibc has the capital eth
  {0xF3, 0x03B4}, // Greek small delta, where glibc has the small eth
};

const char *kEmulator[] = {VX_EMULATOR_ARGV nullptr};
const bool kCrossBuild = sizeof kEmulator / sizeof kEmulator[0] > 1;

std::string Utf8(dword cp)
{
  char out[4];
  byte length;
  UTF32ToUTF8(cp, out, &length);
  return std::string(out, length);
}

// glibc's reading of a byte string, as code points; empty if it refuses.
class Iconv {
public:
  explicit Iconv(const char *from) : cd_(iconv_open("UTF-32LE", from)) {}
  ~Iconv()
  {
    if (ok())
      iconv_close(cd_);
  }
  bool ok() const { return cd_ != (iconv_t)-1; }
  std::vector<dword> operator()(const std::string &in)
  {
    char out[64];
    char *ip = const_cast<char *>(in.data()), *op = out;
    size_t il = in.size(), ol = sizeof out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &ip, &il, &op, &ol) == (size_t)-1 || iconv(cd_, nullptr, nullptr, &op, &ol) == (size_t)-1)
      return {};
    std::vector<dword> cps;
    for (const byte *p = (const byte *)out; p < (const byte *)op; p += 4)
      cps.push_back(p[0] | p[1] << 8 | p[2] << 16 | (dword)p[3] << 24);
    return cps;
  }

private:
  iconv_t cd_;
};

// The target's C library of a cross build carries no conversion modules.
#define REQUIRE_ICONV(conv, name)                                                                          \
  if (!(conv).ok()) {                                                                                      \
    if (kCrossBuild)                                                                                       \
      GTEST_SKIP() << "no iconv module for " << (name) << " in the target's C library";                   \
    FAIL() << "iconv cannot read " << (name);                                                              \
  }

class CharacterSets : public ::testing::Test {
protected:
  HostDisk disk;
  ConsoleCapture console;
  size_t logSeen = 0;

  // Library-log messages since the last call, without their time stamps.
  std::vector<std::string> NewLogMessages()
  {
    std::string log = ReadFile(disk / "/ProgramFiles/Settings/Kovlib.log");
    std::vector<std::string> out;
    for (auto &line : Lines(log.substr(logSeen)))
      out.push_back(line.size() >= 20 ? line.substr(20) : line);
    logSeen = log.size();
    return out;
  }

  std::string ToUtf8(const std::string &in, dword table, int *result = nullptr)
  {
    std::vector<char> out(3 * in.size() + 1, 'Z');
    int r = StrToUTF8(in.c_str(), out.data(), table);
    if (result)
      *result = r;
    return out.data();
  }

  std::string ToIso(const std::string &in)
  {
    std::vector<char> out(in.size() + 1, 'Z');
    StrToISO(in.c_str(), out.data());
    return out.data();
  }
};

} // namespace

TEST_F(CharacterSets, Iso8859TablesAreThePublishedMappings)
{
  int checked = 0;
  for (int part : kParts) {
    std::string name = "ISO-8859-" + std::to_string(part);
    Iconv conv(name.c_str());
    REQUIRE_ICONV(conv, name);
    for (int b = 0xA0; b <= 0xFF; b++) {
      std::vector<dword> cps = conv(std::string(1, (char)b));
      dword want = cps.size() == 1 ? cps[0] : 0;
      // The 1987 edition of ISO 8859-7 had no euro, drachma or ypogegrammeni.
      if (part == 7 && (b == 0xA4 || b == 0xA5 || b == 0xAA)) {
        EXPECT_NE(want, 0u) << "iconv follows the 2003 edition";
        want = 0;
      }
      EXPECT_EQ(Table(part)[b - 0xA0], want) << "part " << part << " byte " << std::hex << b;
      checked++;
    }
  }
  EXPECT_EQ(checked, 15 * 96);
}

// Whether glibc reads the byte as a diacritic of some letter.
bool Composes(Iconv &conv, int mark)
{
  for (char letter = 'A'; letter <= 'z'; letter++)
    if (isalpha((unsigned char)letter) && conv(std::string(1, (char)mark) + letter).size() == 1)
      return true;
  return false;
}

TEST_F(CharacterSets, Iso6937TableIsIconvsSaveTheBroadcastVariant)
{
  Iconv conv("ISO_6937");
  REQUIRE_ICONV(conv, "ISO_6937");
  for (int b = 0xA0; b <= 0xFF; b++) {
    std::vector<dword> cps = conv(std::string(1, (char)b));
    dword want = cps.size() == 1 ? cps[0] : 0, got = UTFLookupISO6937[b - 0xA0];
    auto named = kBroadcast.find(b);
    if (named != kBroadcast.end()) {
      EXPECT_NE(want, named->second) << std::hex << b << " is no longer a difference";
      want = named->second;
    } else if (b >= 0xC1 && b <= 0xCF && want == 0 && Composes(conv, b)) {
      // A diacritic that glibc reads only before its letter stands alone
      // as its combining mark.
      EXPECT_GE(got, 0x0300u) << std::hex << b;
      EXPECT_LE(got, 0x036Fu) << std::hex << b;
      continue;
    }
    EXPECT_EQ(got, want) << std::hex << b;
  }
}

TEST_F(CharacterSets, EveryByteOfEveryTableConverts)
{
  // Through the conversion itself, so the choice of table is checked too.
  // A byte the set leaves unassigned is left out and logged; it must not
  // cut the rest of the text.
  std::vector<int> tables(kParts, kParts + 15);
  tables.push_back(12); // 6937 without diacritic combination
  for (int table : tables) {
    const word *lookup = table == 12 ? UTFLookupISO6937 : Table(table);
    for (int b = 0x80; b <= 0xFF; b++) {
      dword cp = b < 0xA0 ? b : lookup[b - 0xA0];
      int result;
      std::string got = ToUtf8(std::string("<") + (char)b + ">", table, &result);
      EXPECT_EQ(result, 1);
      EXPECT_EQ(got, "<" + (cp ? Utf8(cp) : "") + ">") << "table " << table << " byte " << std::hex << b;
    }
  }
  int unassigned = 0;
  for (auto &m : NewLogMessages()) {
    EXPECT_EQ(m.rfind("StrToUTF8: character ", 0), 0u) << m;
    unassigned++;
  }
  // Parts 3, 6, 7, 8 and 11 and the 6937 chart have 7, 45, 6, 36, 8 and 9 holes.
  EXPECT_EQ(unassigned, 7 + 45 + 6 + 36 + 8 + 9);
}

TEST_F(CharacterSets, SelectorsChooseTheTable)
{
  // 0x01 to 0x0B select ISO 8859-5 to -15 (there is no ISO 8859-12: 6937
  // stands in); 0x10 0x00 n selects part n.
  for (int sel = 0x01; sel <= 0x0B; sel++)
    for (int b = 0xA0; b <= 0xFF; b++)
      if (dword cp = (sel == 8 ? UTFLookupISO6937 : Table(sel + 4))[b - 0xA0])
        ASSERT_EQ(ToUtf8(std::string(1, (char)sel) + (char)b, 0), Utf8(cp)) << sel << " " << b;
  for (int part : kParts)
    for (int b = 0xA0; b <= 0xFF; b++)
      if (dword cp = Table(part)[b - 0xA0])
        ASSERT_EQ(ToUtf8(std::string("\x10\x00", 2) + (char)part + (char)b, 0), Utf8(cp)) << part << " " << b;
  EXPECT_EQ(ToUtf8(std::string("\x10\x00\x02\xB9", 4), 0), "\xC5\xA1");
  EXPECT_EQ(ToUtf8("\x05\xDD", 0), "\xC4\xB0");
  // 0x1F and the other selectors are skipped and keep the caller's table.
  EXPECT_EQ(ToUtf8("\x1F\x01\xB9", 2), "\xC5\xA1");
  for (int sel : {0x0C, 0x0D, 0x0E, 0x0F, 0x11, 0x12, 0x13, 0x14, 0x16, 0x1E})
    EXPECT_EQ(ToUtf8(std::string(1, (char)sel) + "\xB9", 2), "\xC5\xA1") << sel;
  // Only the low 8 bits of the caller's table count; 17 and above mean 6937.
  EXPECT_EQ(ToUtf8("\xB9", 0x102), "\xC5\xA1");
  EXPECT_EQ(ToUtf8("\xA4", 17), "\xE2\x82\xAC");
  EXPECT_EQ(ToUtf8("\xA4", 255), "\xE2\x82\xAC");
}

TEST_F(CharacterSets, DiacriticPairsComposeWhatGlibcComposesIntoLatin1)
{
  // The conversion composes a diacritic and its letter where the result is
  // a letter of ISO 8859-1, and only there.
  Iconv conv("ISO_6937");
  REQUIRE_ICONV(conv, "ISO_6937");
  int composed = 0, ignored = 0;
  std::vector<std::string> expectLog;
  for (int mark = 0xC0; mark <= 0xCF; mark++) {
    for (int letter = 0x01; letter <= 0xFF; letter++) {
      std::string pair{(char)mark, (char)letter};
      int result;
      std::string got = ToUtf8("[" + pair + "]", 0, &result);
      if (letter >= 0x80 && letter <= 0xBF) {
        // A lead byte and a continuation byte are UTF-8 and pass as such.
        EXPECT_EQ(got, "[" + pair + "]");
        EXPECT_EQ(result, 0);
        continue;
      }
      EXPECT_EQ(result, 1);
      std::vector<dword> glibc = conv(pair);
      bool listed = letter < 0x80 && glibc.size() == 1 && glibc[0] >= 0xC0 && glibc[0] <= 0xFF;
      if (!listed) {
        EXPECT_EQ(got, "[]") << std::hex << mark << " " << letter;
        char msg[80];
        snprintf(msg, sizeof msg, "StrToUTF8: ISO6937 diacritical char %2.2x %2.2x has been ignored", mark, letter);
        expectLog.push_back(msg);
        ignored++;
        continue;
      }
      composed++;
      EXPECT_EQ(got, "[" + Utf8(glibc[0]) + "]") << std::hex << mark << " " << letter;
    }
  }
  EXPECT_EQ(composed, 53);
  EXPECT_EQ(NewLogMessages(), expectLog);
  EXPECT_EQ(ignored, 16 * 191 - 53);
}

TEST_F(CharacterSets, ToUtf8HandlesTheUsualTexts)
{
  int result;
  EXPECT_EQ(ToUtf8("Ca\xC2" "e", 0, &result), "Ca\xC3\xA9");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ToUtf8("\xA4", 0), "\xE2\x82\xAC");
  // Text already in UTF-8, or marked so, passes unchanged.
  EXPECT_EQ(ToUtf8("Caf\xC3\xA9 \xE2\x82\xAC", 0, &result), "Caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ToUtf8("\x15\xE9t\xE9", 0, &result), "\xE9t\xE9");
  EXPECT_EQ(result, 0);
  // Mixed text comes out wholly in UTF-8.
  EXPECT_EQ(ToUtf8("\xC3\xA9 \xE9", 1), "\xC3\xA9 \xC3\xA9");
  EXPECT_EQ(ToUtf8("plain", 9, &result), "plain");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ToUtf8("", 0, &result), "");
  EXPECT_EQ(result, 0);
  char dest[4] = "xyz";
  EXPECT_EQ(StrToUTF8(nullptr, dest, 0), 0);
  EXPECT_STREQ(dest, "xyz");
  EXPECT_EQ(StrToUTF8("a", nullptr, 0), 0);
}

TEST_F(CharacterSets, UnconvertibleBytesAreLeftOutAndLogged)
{
  EXPECT_EQ(ToUtf8("x\xCF" "cy", 0), "xy");
  EXPECT_EQ(NewLogMessages(), std::vector<std::string>{"StrToUTF8: ISO6937 diacritical char cf 63 has been ignored"});
  // An unassigned byte is dropped, not written as a terminator.
  EXPECT_EQ(ToUtf8("A\xA4" "B", 7), "AB");
  EXPECT_EQ(NewLogMessages(), std::vector<std::string>{"StrToUTF8: character a4 unassigned in table 7 has been ignored"});
}

TEST_F(CharacterSets, ToUtf8NeverReadsPastTheTerminator)
{
  // Guard bytes behind the terminator would compose or convert if read.
  char diacriticAtEnd[] = {'a', '\xC2', 0, 'e', 0};
  char out[16];
  EXPECT_EQ(StrToUTF8(diacriticAtEnd, out, 0), 1);
  EXPECT_STREQ(out, "a");
  EXPECT_EQ(NewLogMessages(), std::vector<std::string>{"StrToUTF8: ISO6937 diacritical char c2 00 has been ignored"});
  char cut10[] = {'\x10', 0, 0, '\xB9', 0};
  EXPECT_EQ(StrToUTF8(cut10, out, 0), 0);
  EXPECT_STREQ(out, "");
  char cut1F[] = {'\x1F', 0, '\xB9', 0};
  EXPECT_EQ(StrToUTF8(cut1F, out, 2), 0);
  EXPECT_STREQ(out, "");
}

TEST_F(CharacterSets, ToIsoKeepsLatin1AndDropsTheRest)
{
  EXPECT_EQ(ToIso("caf\xC3\xA9"), "caf\xE9");
  EXPECT_EQ(ToIso("5 \xE2\x82\xAC!"), "5 !");
  EXPECT_EQ(NewLogMessages(), std::vector<std::string>{"StrToISO: character 0x20ac ignored"});
  EXPECT_EQ(ToIso("\xF0\x9F\x98\x80\xC3\xA9"), "\xE9");
  EXPECT_EQ(NewLogMessages(), std::vector<std::string>{"StrToISO: character 0x1f600 ignored"});
  // Every Latin-1 character comes back as its byte.
  for (dword cp = 0x80; cp <= 0xFF; cp++)
    ASSERT_EQ(ToIso("<" + Utf8(cp) + ">"), std::string("<") + (char)cp + ">") << cp;
  // Single-byte or plain text is copied, even with UTF-8 elsewhere in it.
  EXPECT_EQ(ToIso("\xE9t\xC3\xA9"), "\xE9t\xC3\xA9");
  EXPECT_EQ(ToIso("plain \x85"), "plain \x85");
  EXPECT_EQ(ToIso(""), "");
  // Selector bytes stay; an overlong zero must not end the text.
  EXPECT_EQ(ToIso("\x15" "caf\xC3\xA9"), "\x15" "caf\xE9");
  EXPECT_EQ(ToIso("a\xC0\x80" "b\xC3\xA9"), "ab\xE9");
  EXPECT_EQ(NewLogMessages(), std::vector<std::string>{"StrToISO: character 0x0000 ignored"});
  char dest[4] = "xyz";
  StrToISO(nullptr, dest);
  EXPECT_STREQ(dest, "xyz");
  StrToISO("a", nullptr);
}

namespace {
dword lastAllocSize;
void *(*realAlloc)(dword);
void *RecordingAlloc(dword size)
{
  lastAllocSize = size;
  return realAlloc(size);
}
} // namespace

TEST_F(CharacterSets, ToIsoAllocHoldsEveryByteOfTheSource)
{
  // Copied unchanged, this text has far more bytes than characters.
  std::string in = "\x05\xE9";
  for (int i = 0; i < 40; i++)
    in += "\xC3\xA9";
  realAlloc = TAP_MemAlloc;
  TAP_MemAlloc = RecordingAlloc;
  char *out = nullptr;
  StrToISOAlloc(in.c_str(), &out);
  TAP_MemAlloc = realAlloc;
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out), in);
  EXPECT_GE(lastAllocSize, in.size() + 1);
  TAP_MemFree(out);

  StrToISOAlloc("caf\xC3\xA9", &out);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "caf\xE9");
  TAP_MemFree(out);

  out = (char *)1;
  StrToISOAlloc(nullptr, &out);
  EXPECT_EQ(out, nullptr);
  TapRuntime *rt = TapRuntimeControl();
  rt->failAllocAt = rt->allocCalls + 1;
  out = (char *)1;
  StrToISOAlloc("x", &out);
  rt->failAllocAt = 0;
  EXPECT_EQ(out, nullptr);
  StrToISOAlloc("x", nullptr);
}

TEST_F(CharacterSets, MkIsoConvertsInPlace)
{
  char utf8[] = "caf\xC3\xA9 cr\xC3\xA8me";
  EXPECT_EQ(StrMkISO(utf8), 1);
  EXPECT_STREQ(utf8, "caf\xE9 cr\xE8me");
  char single[] = "caf\xE9";
  EXPECT_EQ(StrMkISO(single), 1);
  EXPECT_STREQ(single, "caf\xE9");
  char plain[] = "Vaultrix V1.0";
  int64_t calls = TapRuntimeControl()->allocCalls;
  EXPECT_EQ(StrMkISO(plain), 1);
  EXPECT_STREQ(plain, "Vaultrix V1.0");
  EXPECT_EQ(TapRuntimeControl()->allocCalls, (uint64_t)calls);
  char empty[] = "";
  EXPECT_EQ(StrMkISO(empty), 1);
  EXPECT_EQ(StrMkISO(nullptr), 0);

  TapRuntime *rt = TapRuntimeControl();
  rt->failAllocAt = rt->allocCalls + 1;
  char again[] = "caf\xC3\xA9";
  EXPECT_EQ(StrMkISO(again), 0);
  rt->failAllocAt = 0;
  EXPECT_STREQ(again, "caf\xC3\xA9");
}
