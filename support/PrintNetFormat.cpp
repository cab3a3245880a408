#include "Kovlib.h"

void PrintNetFormat(const char *Format, ...)
{
  va_list ap;
  va_start(ap, Format);
  int n = StrFormatV(puffer, sizeof puffer, Format, ap);
  va_end(ap);
  /* A cut line keeps its LF, so the next line still starts on its own. */
  if (n >= (int)sizeof puffer)
    puffer[sizeof puffer - 2] = '\n';
  PrintNet(puffer);
}
