#include <string.h>

#include "Kovlib.h"

int INIGetString(const char *Key, char *Dest, const char *Default, dword Len)
{
  char pattern[INI_PATTERN_SIZE];
  char *start = NULL, *end = NULL;

  if (!Key || !Dest || !Default || !Len)
    return 0;
  dword plen = INIKeyPattern(Key, pattern);
  INIFindStartEnd(pattern, &start, &end, plen + Len);
  /* end before the value's first character: empty, or a line end inside the key */
  if (start && end && end >= start + plen) {
    size_t n = (size_t)(end - (start + plen)) + 1;
    if (n > Len - 1)
      n = Len - 1;
    memcpy(Dest, start + plen, n);
    Dest[n] = 0;
  } else {
    StrCopy(Dest, Len, Default);
  }
  return 1;
}
