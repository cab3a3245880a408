#include "Kovlib.h"

dword Now(byte *Sec)
{
  word mjd;
  byte hour, minute, seconds;
  TAP_GetTime(&mjd, &hour, &minute, Sec ? Sec : &seconds);
  return (dword)mjd << 16 | (dword)hour << 8 | minute;
}
