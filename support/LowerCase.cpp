#include <string.h>

#include "Kovlib.h"

/* The Latin-1 letters in UTF-8 (U+00C0 to U+00DE and U+00E0 to U+00FE
 * without the multiplication and division signs) and as single bytes, where
 * the pair stops at Y with acute.  Upper and lower case correspond by
 * position. */
static const char UTF8Upper[64] =
    "\xC3\x80\xC3\x81\xC3\x82\xC3\x83\xC3\x84\xC3\x85\xC3\x86\xC3\x87\xC3\x88\xC3\x89"
    "\xC3\x8A\xC3\x8B\xC3\x8C\xC3\x8D\xC3\x8E\xC3\x8F\xC3\x90\xC3\x91\xC3\x92\xC3\x93"
    "\xC3\x94\xC3\x95\xC3\x96\xC3\x98\xC3\x99\xC3\x9A\xC3\x9B\xC3\x9C\xC3\x9D\xC3\x9E";
static const char UTF8Lower[64] =
    "\xC3\xA0\xC3\xA1\xC3\xA2\xC3\xA3\xC3\xA4\xC3\xA5\xC3\xA6\xC3\xA7\xC3\xA8\xC3\xA9"
    "\xC3\xAA\xC3\xAB\xC3\xAC\xC3\xAD\xC3\xAE\xC3\xAF\xC3\xB0\xC3\xB1\xC3\xB2\xC3\xB3"
    "\xC3\xB4\xC3\xB5\xC3\xB6\xC3\xB8\xC3\xB9\xC3\xBA\xC3\xBB\xC3\xBC\xC3\xBD\xC3\xBE";
static const char AnsiUpper[30] =
    "\xC0\xC1\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xCA\xCB\xCC\xCD\xCE\xCF"
    "\xD0\xD1\xD2\xD3\xD4\xD5\xD6\xD8\xD9\xDA\xDB\xDC\xDD";
static const char AnsiLower[30] =
    "\xE0\xE1\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF"
    "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF8\xF9\xFA\xFB\xFC\xFD";
static_assert(sizeof UTF8Upper == sizeof UTF8Lower && sizeof AnsiUpper == sizeof AnsiLower, "tables correspond");

/* In place, character by character: a complete UTF-8 sequence is folded as
 * one letter, any other byte as a Latin-1 letter or an ASCII one. */
void LowerCase(char *Text)
{
  char sequence[8];
  byte length;

  if (!Text)
    return;
  while (*Text) {
    isUTF8Char(Text, &length);
    if (length >= 2) {
      TAP_MemCpy(sequence, Text, length);
      sequence[length] = 0;
      const char *found = strstr(UTF8Upper, sequence);
      if (found)
        TAP_MemCpy(Text, UTF8Lower + (found - UTF8Upper), length);
      Text += length;
    } else {
      const char *found = strchr(AnsiUpper, *Text);
      if (found)
        *Text = AnsiLower[found - AnsiUpper];
      else if (*Text >= 'A' && *Text <= 'Z')
        *Text = (char)(*Text + 32);
      Text++;
    }
  }
}
