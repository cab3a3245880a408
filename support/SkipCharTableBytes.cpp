#include "Kovlib.h"

/* Character-table selectors of ETSI EN 300 468, Annex A.  0x10 carries a
 * 16-bit table number.  A zero anywhere in a selector is the text's
 * terminator, nothing is read behind it: a selector cut short ends the text,
 * and the skip stops on that zero.  (The high byte of every defined table is
 * zero, so in a terminated text a 0x10 selector names none.) */
char *SkipCharTableBytes(const char *Text)
{
  if (!Text)
    return NULL;
  byte first = (byte)Text[0];
  if (first == 0x10) {
    if (!Text[1])
      return (char *)(Text + 1);
    return (char *)(Text[2] ? Text + 3 : Text + 2);
  }
  if (first == 0x1F)
    return (char *)(Text[1] ? Text + 2 : Text + 1);
  if (first >= 0x01 && first <= 0x1F)
    return (char *)(Text + 1);
  return (char *)Text;
}
