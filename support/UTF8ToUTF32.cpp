#include "Kovlib.h"

/* A byte that starts no complete sequence reads as an ISO 8859-1 character. */
dword UTF8ToUTF32(const char *Text, byte *LengthOut)
{
  byte length = 1;

  if (LengthOut)
    *LengthOut = 1;
  if (!Text)
    return 0;
  const byte *p = (const byte *)Text;
  if (!isUTF8Char(Text, &length))
    return p[0];
  if (LengthOut)
    *LengthOut = length;
  switch (length) {
  case 2: return (dword)(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
  case 3: return (dword)(p[0] & 0x0F) << 12 | (dword)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
  default: return (dword)(p[0] & 0x07) << 18 | (dword)(p[1] & 0x3F) << 12 | (dword)(p[2] & 0x3F) << 6 | (p[3] & 0x3F);
  }
}
