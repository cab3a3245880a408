#include "Kovlib.h"

/* HasSingleByte: a byte of 0xA0 or above outside any UTF-8 sequence (lone
 * 0x80 to 0x9F are control codes and do not count).  HasUTF8: at least one
 * complete multi-byte sequence. */
void GetStringEncoding(const char *Text, int *HasSingleByteOut, int *HasUTF8Out)
{
  int singleByte = 0, utf8 = 0;
  byte length;

  if (Text) {
    for (Text = SkipCharTableBytes(Text); *Text; Text += length) {
      if (isUTF8Char(Text, &length))
        utf8 = 1;
      else if ((byte)*Text >= 0xA0)
        singleByte = 1;
    }
  }
  if (HasSingleByteOut)
    *HasSingleByteOut = singleByte;
  if (HasUTF8Out)
    *HasUTF8Out = utf8;
}
