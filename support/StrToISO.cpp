#include <string.h>

#include "Kovlib.h"

/* UTF-8 to ISO 8859-1; what ISO 8859-1 cannot hold is left out and logged.
 * Text that is single-byte already, or has no UTF-8 at all, is copied.
 * Dest must hold strlen(Source) + 1 bytes: the result is never longer. */
void StrToISO(const char *Source, char *Dest)
{
  int hasSingleByte, hasUTF8;
  byte length;

  if (!Source || !Dest)
    return;
  GetStringEncoding(Source, &hasSingleByte, &hasUTF8);
  if (hasSingleByte || !hasUTF8) {
    strcpy(Dest, Source);
    return;
  }
  /* Selector bytes are below 0x100 and stay. */
  while (*Source) {
    dword codePoint = UTF8ToUTF32(Source, &length);
    Source += length;
    /* An overlong zero would end the text early. */
    if (codePoint == 0 || codePoint > 0xFF)
      LogEntryKovlibPrintf(1, "StrToISO: character 0x%4.4x ignored", (unsigned)codePoint);
    else
      *Dest++ = (char)codePoint;
  }
  *Dest = 0;
}
