#include "Kovlib.h"

/* Character-table selectors of ETSI EN 300 468, Annex A.  0x10 carries a
 * 16-bit table number whose high byte is zero for every defined table, so
 * that zero belongs to the selector when a table number follows it; a text
 * that begins 0x10 0x00 therefore holds a third byte (Kovlib.h).  Any other
 * zero in a selector is the terminator: the skip stops on it. */
char *SkipCharTableBytes(const char *Text)
{
  if (!Text)
    return NULL;
  byte first = (byte)Text[0];
  if (first == 0x10) {
    if (Text[2])
      return (char *)(Text + 3);
    return (char *)(Text[1] ? Text + 2 : Text + 1);
  }
  if (first == 0x1F)
    return (char *)(Text[1] ? Text + 2 : Text + 1);
  if (first >= 0x01 && first <= 0x1F)
    return (char *)(Text + 1);
  return (char *)Text;
}
