#include "Kovlib.h"

/* Character-table selectors of ETSI EN 300 468, Annex A.  0x10 carries a
 * 16-bit table number whose high byte is 0x00 for every defined table, so
 * that zero belongs to the selector; a zero in place of the low byte, or
 * after 0x1F, ends the text and the skip stops on it. */
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
