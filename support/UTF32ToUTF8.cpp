#include "Kovlib.h"

/* Writes no terminator; Out needs room for 4 bytes. */
void UTF32ToUTF8(dword CodePoint, char *Out, byte *LengthOut)
{
  byte b[4];
  byte length;

  if (CodePoint < 0x80) {
    b[0] = (byte)CodePoint;
    length = 1;
  } else if (CodePoint < 0x800) {
    b[0] = (byte)(0xC0 | (CodePoint >> 6 & 0x1F));
    b[1] = (byte)(0x80 | (CodePoint & 0x3F));
    length = 2;
  } else if (CodePoint < 0x10000) {
    b[0] = (byte)(0xE0 | (CodePoint >> 12 & 0x0F));
    b[1] = (byte)(0x80 | (CodePoint >> 6 & 0x3F));
    b[2] = (byte)(0x80 | (CodePoint & 0x3F));
    length = 3;
  } else {
    b[0] = (byte)(0xF0 | (CodePoint >> 18 & 0x07));
    b[1] = (byte)(0x80 | (CodePoint >> 12 & 0x3F));
    b[2] = (byte)(0x80 | (CodePoint >> 6 & 0x3F));
    b[3] = (byte)(0x80 | (CodePoint & 0x3F));
    length = 4;
  }
  if (Out)
    for (int i = 0; i < length; i++)
      Out[i] = (char)b[i];
  if (LengthOut)
    *LengthOut = length;
}
