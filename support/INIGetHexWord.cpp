#include "Kovlib.h"

static int HexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

word INIGetHexWord(const char *Key, word Default, word Min, word Max)
{
  char pattern[INI_PATTERN_SIZE];
  char *start = NULL, *end = NULL;

  if (!Key)
    return 0;
  dword plen = INIKeyPattern(Key, pattern);
  INIFindStartEnd(pattern, &start, &end, plen + 4);
  if (!start || !end || end < start + plen)
    return Default;
  for (const char *p = start + plen; p <= end; p++)
    if (HexDigit(*p) < 0)
      return Default;
  /* The whole run of digits counts, also past the four tested; only its low
   * 16 bits are kept, the same on every word size. */
  dword value = 0;
  for (const char *p = start + plen; HexDigit(*p) >= 0; p++)
    value = value << 4 | (dword)HexDigit(*p);
  value &= 0xFFFF;
  if (value < Min)
    value = Min;
  if (value > Max)
    value = Max;
  return (word)value;
}
