#include "Kovlib.h"

/* 1 when a complete multi-byte UTF-8 sequence starts at Text.  Overlong
 * forms and surrogates are accepted; only the byte pattern counts. */
int isUTF8Char(const char *Text, byte *LengthOut)
{
  byte length = 1;
  int result = 0;

  if (Text) {
    const byte *p = (const byte *)Text;
    int follow = (p[0] & 0xE0) == 0xC0 ? 1 : (p[0] & 0xF0) == 0xE0 ? 2 : (p[0] & 0xF8) == 0xF0 ? 3 : 0;
    int i = 1;
    /* Stops at the first byte that is no continuation, the terminator too. */
    while (i <= follow && (p[i] & 0xC0) == 0x80)
      i++;
    if (follow && i > follow) {
      length = (byte)(follow + 1);
      result = 1;
    }
  }
  if (LengthOut)
    *LengthOut = length;
  return result;
}
