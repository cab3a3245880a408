// Lower-casing of Latin-1 letters in both forms, and the case-insensitive
// search that finds settings keys.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/TestSupport.h"

namespace {

std::string Lower(std::string text)
{
  LowerCase(text.data());
  return text;
}

std::string Utf8(dword cp)
{
  char out[4];
  byte length;
  UTF32ToUTF8(cp, out, &length);
  return std::string(out, length);
}

// The byte offset of the match behind the text's start, or -1.
long Find(const std::string &text, const std::string &pattern)
{
  const char *hit = stricstr(text.c_str(), pattern.c_str());
  return hit ? hit - text.c_str() : -1;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

} // namespace

TEST(LowerCase, FoldsEverySingleByte)
{
  // Outside UTF-8 sequences: A to Z, and the Latin-1 capitals up to Y with
  // acute (not the multiplication sign, not the thorn).
  for (int b = 0x01; b <= 0xFF; b++) {
    int want = b;
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDD && b != 0xD7))
      want = b + 0x20;
    EXPECT_EQ(Lower(std::string(1, (char)b)), std::string(1, (char)want)) << std::hex << b;
  }
}

TEST(LowerCase, FoldsEveryTwoByteLetterOfLatin1Only)
{
  for (dword cp = 0x80; cp < 0x800; cp++) {
    dword want = cp >= 0xC0 && cp <= 0xDE && cp != 0xD7 ? cp + 0x20 : cp;
    ASSERT_EQ(Lower(Utf8(cp)), Utf8(want)) << std::hex << cp;
  }
  // Longer sequences never change (Cyrillic, Greek and the rest included).
  for (dword cp = 0x800; cp < 0x110000; cp += cp < 0x10000 ? 1 : 97)
    ASSERT_EQ(Lower(Utf8(cp)), Utf8(cp)) << std::hex << cp;
}

TEST(LowerCase, DecidesTheFormCharacterByCharacter)
{
  EXPECT_EQ(Lower("\xC3\x84" "B"), "\xC3\xA4" "b");
  EXPECT_EQ(Lower("\xC4" "B"), "\xE4" "b");
  EXPECT_EQ(Lower("\xC3\x9E"), "\xC3\xBE");
  EXPECT_EQ(Lower("\xDE"), "\xDE");
  // A byte pair that is valid UTF-8 is one letter, even if meant as two.
  EXPECT_EQ(Lower("\xC3\xA9"), "\xC3\xA9");
  // A lead byte without its continuation is a Latin-1 capital.
  EXPECT_EQ(Lower("\xC3"), "\xE3");
  EXPECT_EQ(Lower("\xC3" "A"), "\xE3" "a");
  EXPECT_EQ(Lower("\xC9T\xC3\x89 \xE2\x82\xAC 42!"), "\xE9t\xC3\xA9 \xE2\x82\xAC 42!");
  EXPECT_EQ(Lower("NAS"), "nas");
  EXPECT_EQ(Lower(""), "");
  LowerCase(nullptr);
}

TEST(CaseInsensitiveSearch, FindsTheFirstMatchIgnoringAsciiCase)
{
  EXPECT_EQ(Find("/MNT/usb", "mnt"), 1);
  EXPECT_EQ(Find("DestPath=/x\r\nDestDevice=i", "destdevice"), 13);
  EXPECT_EQ(Find("abC", "c"), 2);
  EXPECT_EQ(Find("abc", "C"), 2);
  EXPECT_EQ(Find("aaab", "aab"), 1);
  EXPECT_EQ(Find("abc", "abcd"), -1);
  EXPECT_EQ(Find("abc", "x"), -1);
  // Bytes of 0x80 and above must agree exactly.
  EXPECT_EQ(Find("CAF\xC9", "caf\xE9"), -1);
  EXPECT_EQ(Find("caf\xC9", "AF\xC9"), 1);
  EXPECT_EQ(Find("abc", ""), -1);
  EXPECT_EQ(stricstr(nullptr, "a"), nullptr);
  EXPECT_EQ(stricstr("a", nullptr), nullptr);
}

TEST(CaseInsensitiveSearch, SkipsSelectorBytesOnBothSides)
{
  const std::string selectors[] = {"", "\x05", "\x15", std::string("\x10\x00\x02", 3), "\x1F\x41"};
  for (const std::string &ts : selectors) {
    for (const std::string &ps : selectors) {
      std::string text = ts + "Mount /MNT/usb";
      std::string pattern = ps + "mnt";
      const char *hit = stricstr(text.data(), pattern.data());
      ASSERT_NE(hit, nullptr);
      EXPECT_EQ(std::string(hit, 3), "MNT");
      EXPECT_EQ(hit, text.data() + ts.size() + 7) << "a pointer into the caller's text";
      // A pattern of selector bytes only is empty.
      EXPECT_EQ(stricstr(text.data(), ps.data()), nullptr);
    }
  }
  // 0x1F's second byte is part of the selector, not a letter to find.
  EXPECT_EQ(Find("\x1F" "Abc", "a"), -1);
  // Selector bytes inside a text are plain bytes.
  EXPECT_EQ(Find("ab\x05" "c", "\x05\x05" "C"), 2);
  EXPECT_EQ(Find("ab\x05" "c", "B\x05"), 1);
}

TEST(CaseInsensitiveSearch, AgreesWithAPlainSearchOnManyTexts)
{
  const char alphabet[] = {'a', 'A', 'b', 'B', '\xC1', '\xE1', '='};
  std::mt19937 rng(3);
  auto word = [&](int max) {
    std::string s(rng() % (max + 1), ' ');
    for (char &c : s)
      c = alphabet[rng() % sizeof alphabet];
    return s;
  };
  for (int i = 0; i < 20000; i++) {
    std::string text = word(8), pattern = word(3);
    long want = -1;
    for (size_t at = 0; !pattern.empty() && want < 0 && at + pattern.size() <= text.size(); at++) {
      size_t k = 0;
      while (k < pattern.size() && AsciiLower(text[at + k]) == AsciiLower(pattern[k]))
        k++;
      if (k == pattern.size())
        want = (long)at;
    }
    ASSERT_EQ(Find(text, pattern), want) << "'" << text << "' '" << pattern << "'";
  }
}
