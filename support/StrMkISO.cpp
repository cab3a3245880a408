#include <string.h>

#include "Kovlib.h"

/* In place: the ISO 8859-1 form is never longer than the UTF-8 form. */
int StrMkISO(char *Text)
{
  int hasSingleByte, hasUTF8;
  char *converted;

  if (!Text)
    return 0;
  if (!*Text)
    return 1;
  GetStringEncoding(Text, &hasSingleByte, &hasUTF8);
  if (hasSingleByte || !hasUTF8)
    return 1;
  StrToISOAlloc(Text, &converted);
  if (!converted)
    return 0;
  strcpy(Text, converted);
  TAP_MemFree(converted);
  return 1;
}
