#include <stdio.h>

#include "Kovlib.h"

int StrFormatV(char *Dest, dword Size, const char *Format, va_list Args)
{
  if (!Dest || !Size)
    return 0;
  if (!Format) {
    Dest[0] = 0;
    return 0;
  }
  int n = vsnprintf(Dest, Size, Format, Args);
  if (n < 0) {
    Dest[0] = 0;
    return 0;
  }
  return n;
}

int StrFormat(char *Dest, dword Size, const char *Format, ...)
{
  va_list ap;
  va_start(ap, Format);
  int n = StrFormatV(Dest, Size, Format, ap);
  va_end(ap);
  return n;
}
