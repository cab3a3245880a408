#include "Kovlib.h"

/* Characters behind the selector bytes; a byte outside any complete UTF-8
 * sequence counts as one character. */
int strlenUC(const char *Text)
{
  int count = 0;
  byte length;

  if (!Text)
    return 0;
  for (Text = SkipCharTableBytes(Text); *Text; Text += length, count++)
    isUTF8Char(Text, &length);
  return count;
}
