// UTF-8 primitives, character-table selectors and the classification of a
// whole text.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

namespace {

struct Char {
  int result;
  int length;
};

Char Classify(const std::string &text)
{
  byte length = 0;
  int result = isUTF8Char(text.c_str(), &length);
  return {result, length};
}

dword Decode(const std::string &text, int *length)
{
  byte l = 0;
  dword cp = UTF8ToUTF32(text.c_str(), &l);
  *length = l;
  return cp;
}

std::string Encode(dword cp)
{
  char out[5] = {};
  byte length = 0;
  UTF32ToUTF8(cp, out, &length);
  return std::string(out, length);
}

std::pair<int, int> Encoding(const char *text)
{
  int single = -1, utf8 = -1;
  GetStringEncoding(text, &single, &utf8);
  return {single, utf8};
}

} // namespace

TEST(Utf8Char, RecognisesOnlyCompleteMultiByteSequences)
{
  EXPECT_EQ(Classify("\xC3\xA9").result, 1);
  EXPECT_EQ(Classify("\xC3\xA9").length, 2);
  EXPECT_EQ(Classify("\xE2\x82\xAC").length, 3);
  EXPECT_EQ(Classify("\xF0\x9F\x98\x80").length, 4);
  // Cut short by the terminator, by a non-continuation byte, or no lead at all.
  for (const char *t : {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xC3\x41", "\xE2\x41\xAC", "A", "\xA9", "\xF8\x80\x80\x80"}) {
    EXPECT_EQ(Classify(t).result, 0) << t;
    EXPECT_EQ(Classify(t).length, 1) << t;
  }
  // The byte pattern alone counts: overlong forms and surrogates pass.
  EXPECT_EQ(Classify("\xC0\x80").result, 1);
  EXPECT_EQ(Classify("\xED\xA0\x80").result, 1);
  byte length = 9;
  EXPECT_EQ(isUTF8Char(nullptr, &length), 0);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(isUTF8Char("\xC3\xA9", nullptr), 1);
}

TEST(Utf8Decode, DecodesSequencesAndPassesLoneBytesAsLatin1)
{
  int length;
  EXPECT_EQ(Decode("\xE2\x82\xAC", &length), 0x20ACu);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(Decode("\xC3\xA9", &length), 0xE9u);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(Decode("\xF4\x8F\xBF\xBF", &length), 0x10FFFFu);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(Decode("\xE9", &length), 0xE9u);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(Decode("\xE2\x82", &length), 0xE2u);
  EXPECT_EQ(length, 1);
  EXPECT_EQ(Decode("A", &length), 0x41u);
  byte l = 7;
  EXPECT_EQ(UTF8ToUTF32(nullptr, &l), 0u);
  EXPECT_EQ(l, 1);
}

TEST(Utf8Encode, RoundTripsEveryCodePoint)
{
  EXPECT_EQ(Encode(0x20AC), "\xE2\x82\xAC");
  EXPECT_EQ(Encode(0xE9), "\xC3\xA9");
  EXPECT_EQ(Encode(0x41), "A");
  EXPECT_EQ(Encode(0), std::string(1, '\0'));
  // Every code point encodes to the length its range calls for and decodes
  // back to itself (surrogates included: no validity test either way).
  for (dword cp = 1; cp <= 0x10FFFF; cp++) {
    std::string s = Encode(cp);
    size_t want = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    ASSERT_EQ(s.size(), want) << cp;
    int length;
    ASSERT_EQ(Decode(s, &length), cp);
    ASSERT_EQ((size_t)length, want);
  }
  byte length = 0;
  UTF32ToUTF8(0x20AC, nullptr, &length);
  EXPECT_EQ(length, 3);
  char out[4] = {};
  UTF32ToUTF8(0xE9, out, nullptr);
  EXPECT_EQ(std::string(out, 2), "\xC3\xA9");
}

TEST(CharacterCount, CountsCharactersBehindTheSelector)
{
  EXPECT_EQ(strlenUC("\xC3\xA9x"), 2);
  EXPECT_EQ(strlenUC("\x15\xC3\xA9x"), 2);
  EXPECT_EQ(strlenUC("\x15"), 0);
  EXPECT_EQ(strlenUC("\xE9x\xC3"), 3);
  EXPECT_EQ(strlenUC(""), 0);
  EXPECT_EQ(strlenUC(nullptr), 0);
}

TEST(Selector, SkipsAsEtsiAnnexADefines)
{
  const char *t = "\x10\x00\x02Text";
  EXPECT_EQ(SkipCharTableBytes(t), t + 3);
  t = "\x1F\x01Text";
  EXPECT_EQ(SkipCharTableBytes(t), t + 2);
  for (int b = 0x01; b <= 0x1F; b++) {
    if (b == 0x10 || b == 0x1F)
      continue;
    char s[] = {(char)b, 'x', 0};
    EXPECT_EQ(SkipCharTableBytes(s), s + 1) << b;
  }
  for (int b = 0x20; b <= 0xFF; b++) {
    char s[] = {(char)b, 'x', 0};
    EXPECT_EQ(SkipCharTableBytes(s), s) << b;
  }
  t = "";
  EXPECT_EQ(SkipCharTableBytes(t), t);
  EXPECT_EQ(SkipCharTableBytes(nullptr), nullptr);
}

TEST(Selector, TextCutShortInsideItsSelectorEndsOnItsTerminator)
{
  // Guard bytes behind the terminator must never be reached.
  char cut1F[] = {'\x1F', 0, 'X', 'X'};
  EXPECT_EQ(SkipCharTableBytes(cut1F), cut1F + 1);
  char cut10[] = {'\x10', 0, 0, 'X'};
  EXPECT_EQ(*SkipCharTableBytes(cut10), 0);
  EXPECT_LE(SkipCharTableBytes(cut10), cut10 + 1);
  char odd10[] = {'\x10', 'A', 0, 'X'};
  EXPECT_EQ(SkipCharTableBytes(odd10), odd10 + 2);
  EXPECT_EQ(strlenUC(cut1F), 0);
  EXPECT_EQ(strlenUC(cut10), 0);
}

TEST(Selector, ThreeByteSelectorIsReadWholeByEveryTextFunction)
{
  // Broadcast texts choose ISO 8859 parts 1 to 4 this way; the zero is the
  // table number's high byte, not the end of the text.
  const char latin2[] = "\x10\x00\x02\xB9t\xC3\xA9\x41";
  EXPECT_EQ(SkipCharTableBytes(latin2), latin2 + 3);
  EXPECT_EQ(strlenUC(latin2), 4);
  EXPECT_EQ(Encoding(latin2), std::make_pair(1, 1));
  EXPECT_EQ(stricstr(latin2, "\x10\x00\x01T\xC3\xA9" "a"), latin2 + 4);
  char utf8[8];
  EXPECT_EQ(StrToUTF8("\x10\x00\x02\xB9", utf8, 0), 1);
  EXPECT_EQ(std::string(utf8), "\xC5\xA1");
  // Without a table number behind the zero, the text ends there.
  const char empty[] = {'\x10', 0, 0, 'X', 0};
  EXPECT_EQ(SkipCharTableBytes(empty), empty + 1);
  EXPECT_EQ(strlenUC(empty), 0);
  EXPECT_EQ(stricstr("Xa", empty), nullptr);
  EXPECT_EQ(stricstr(empty, "X"), nullptr);
}

TEST(Encoding, ClassifiesSingleByteUtf8AndPlainText)
{
  EXPECT_EQ(Encoding("caf\xE9"), std::make_pair(1, 0));
  EXPECT_EQ(Encoding("caf\xC3\xA9"), std::make_pair(0, 1));
  EXPECT_EQ(Encoding("plain"), std::make_pair(0, 0));
  EXPECT_EQ(Encoding(""), std::make_pair(0, 0));
  EXPECT_EQ(Encoding(nullptr), std::make_pair(0, 0));
  // Lone C1 control bytes do not make a text single-byte.
  EXPECT_EQ(Encoding("a\x85\x9F"), std::make_pair(0, 0));
  // A lone 0xA0 or above wins over UTF-8 sequences elsewhere.
  EXPECT_EQ(Encoding("\xC3\xA9 \xE9"), std::make_pair(1, 1));
  // Selector bytes are not characters of the text.
  EXPECT_EQ(Encoding("\x10\x00\x09\xC3\xA9"), std::make_pair(0, 1));
  GetStringEncoding("\xE9", nullptr, nullptr);
}

TEST(Firmware, AnswerIsAskedOnceAndKept)
{
  // This process plays a firmware without UTF-8 name handling until the
  // function appears; the answer of the first call stands.
  ASSERT_EQ(FIS_fwAppl_ConvertToValidUTF8Str(), nullptr);
  EXPECT_EQ(isUTFFirmware(), 0);
  void *fw = dlopen(VX_UTF8FW, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(fw, nullptr) << dlerror();
  EXPECT_NE(FIS_fwAppl_ConvertToValidUTF8Str(), nullptr);
  EXPECT_EQ(isUTFFirmware(), 0);
}
