#include "Kovlib.h"

/* Character-table selectors of ETSI EN 300 468, Annex A.  The skip never
 * passes the terminating zero of a text cut short inside its selector. */
char *SkipCharTableBytes(const char *Text)
{
  if (!Text)
    return NULL;
  byte first = (byte)Text[0];
  int skip = 0;
  if (first == 0x10)
    skip = 3;
  else if (first == 0x1F)
    skip = 2;
  else if (first >= 0x01 && first <= 0x1F)
    skip = 1;
  for (int i = 0; i < skip && *Text; i++)
    Text++;
  return (char *)Text;
}
