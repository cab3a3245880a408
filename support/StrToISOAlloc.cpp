#include <string.h>

#include "Kovlib.h"

/* The buffer is sized from the byte length: a text copied unchanged, or one
 * with selector bytes, has more bytes than characters.  The caller releases
 * it with TAP_MemFree. */
void StrToISOAlloc(const char *Source, char **DestOut)
{
  if (!DestOut)
    return;
  *DestOut = NULL;
  if (!Source)
    return;
  dword size = (dword)strlen(Source) + 1;
  char *dest = (char *)TAP_MemAlloc(size);
  if (!dest)
    return;
  TAP_MemSet(dest, 0, size);
  StrToISO(Source, dest);
  *DestOut = dest;
}
