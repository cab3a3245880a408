#include <string.h>

#include "Kovlib.h"

int StrCopy(char *Dest, dword Size, const char *Source)
{
  if (!Source)
    Source = "";
  size_t len = strlen(Source);
  if (Dest && Size) {
    size_t n = len < Size - 1 ? len : Size - 1;
    memcpy(Dest, Source, n);
    Dest[n] = 0;
  }
  return (int)len;
}
