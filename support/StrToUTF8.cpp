#include <string.h>

#include "Kovlib.h"

/* ISO/IEC 6937 writes an accented letter as a non-spacing diacritic byte
 * followed by the base letter.  These are the pairs whose precomposed form
 * lies in U+00C0 to U+00FF. */
typedef struct DiacriticPair {
  byte Mark;
  char Letter;
  word CodePoint;
} DiacriticPair;

static const DiacriticPair DiacriticPairs[] = {
  {0xC1, 'A', 0xC0}, {0xC1, 'E', 0xC8}, {0xC1, 'I', 0xCC}, {0xC1, 'O', 0xD2}, {0xC1, 'U', 0xD9},
  {0xC1, 'a', 0xE0}, {0xC1, 'e', 0xE8}, {0xC1, 'i', 0xEC}, {0xC1, 'o', 0xF2}, {0xC1, 'u', 0xF9},
  {0xC2, 'A', 0xC1}, {0xC2, 'E', 0xC9}, {0xC2, 'I', 0xCD}, {0xC2, 'O', 0xD3}, {0xC2, 'U', 0xDA},
  {0xC2, 'Y', 0xDD}, {0xC2, 'a', 0xE1}, {0xC2, 'e', 0xE9}, {0xC2, 'i', 0xED}, {0xC2, 'o', 0xF3},
  {0xC2, 'u', 0xFA}, {0xC2, 'y', 0xFD},
  {0xC3, 'A', 0xC2}, {0xC3, 'E', 0xCA}, {0xC3, 'I', 0xCE}, {0xC3, 'O', 0xD4}, {0xC3, 'U', 0xDB},
  {0xC3, 'a', 0xE2}, {0xC3, 'e', 0xEA}, {0xC3, 'i', 0xEE}, {0xC3, 'o', 0xF4}, {0xC3, 'u', 0xFB},
  {0xC4, 'A', 0xC3}, {0xC4, 'N', 0xD1}, {0xC4, 'O', 0xD5}, {0xC4, 'a', 0xE3}, {0xC4, 'n', 0xF1},
  {0xC4, 'o', 0xF5},
  {0xC8, 'A', 0xC4}, {0xC8, 'E', 0xCB}, {0xC8, 'I', 0xCF}, {0xC8, 'O', 0xD6}, {0xC8, 'U', 0xDC},
  {0xC8, 'a', 0xE4}, {0xC8, 'e', 0xEB}, {0xC8, 'i', 0xEF}, {0xC8, 'o', 0xF6}, {0xC8, 'u', 0xFC},
  {0xC8, 'y', 0xFF},
  {0xCA, 'A', 0xC5}, {0xCA, 'a', 0xE5},
  {0xCB, 'C', 0xC7}, {0xCB, 'c', 0xE7},
};
static_assert(sizeof DiacriticPairs / sizeof DiacriticPairs[0] == 53, "53 diacritic pairs");

static word Combine(byte Mark, char Letter)
{
  for (const DiacriticPair &p : DiacriticPairs)
    if (p.Mark == Mark && p.Letter == Letter)
      return p.CodePoint;
  return 0;
}

static const word *LookupTable(byte Table)
{
  switch (Table) {
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
  default: return UTFLookupISO6937;
  }
}

/* Dest must hold three bytes per byte behind the selector plus the
 * terminator (a 0x10 selector holds a zero: strlen(Source) falls short, the
 * text behind SkipCharTableBytes does not).  Bytes that already form UTF-8
 * sequences pass through, so mixed text comes out wholly in UTF-8.  What
 * cannot be converted is left out and logged. */
int StrToUTF8(const char *Source, char *Dest, dword DefaultTable)
{
  if (!Source || !Dest)
    return 0;

  byte table = (byte)DefaultTable;
  byte first = (byte)Source[0];
  const byte *s = (const byte *)SkipCharTableBytes(Source);
  if (first >= 0x01 && first <= 0x0B)
    table = (byte)(first + 4);
  else if (first == 0x10 && s == (const byte *)Source + 3)
    table = (byte)Source[2];
  else if (first == 0x15) {
    strcpy(Dest, Source + 1);
    return 0;
  }
  const word *lookup = LookupTable(table);
  char *d = Dest;
  int converted = 0;
  byte length;

  while (*s) {
    if (*s < 0x80) {
      *d++ = (char)*s++;
    } else if (isUTF8Char((const char *)s, &length)) {
      memcpy(d, s, length);
      d += length;
      s += length;
    } else if (table == 0 && *s >= 0xC0 && *s <= 0xCF) {
      converted = 1;
      word combined = Combine(s[0], (char)s[1]);
      if (combined) {
        UTF32ToUTF8(combined, d, &length);
        d += length;
      } else {
        LogEntryKovlibPrintf(1, "StrToUTF8: ISO6937 diacritical char %2.2x %2.2x has been ignored", s[0], s[1]);
      }
      /* A diacritic at the very end has no letter to consume. */
      s += s[1] ? 2 : 1;
    } else {
      converted = 1;
      dword codePoint = *s < 0xA0 ? *s : lookup[*s - 0xA0];
      if (codePoint) {
        UTF32ToUTF8(codePoint, d, &length);
        d += length;
      } else {
        /* Writing the unassigned byte as 0 would cut the rest of the text. */
        LogEntryKovlibPrintf(1, "StrToUTF8: character %2.2x unassigned in table %d has been ignored", *s, table);
      }
      s++;
    }
  }
  *d = 0;
  return converted;
}
