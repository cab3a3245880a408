#include "Kovlib.h"

static char sTimeStamp[TIMESTAMP_SIZE];

char *TimeFormat(dword DateTime, byte Sec, dword Format)
{
  word mjd = (word)(DateTime >> 16), year;
  int hour = (DateTime >> 8) & 0xFF, minute = DateTime & 0xFF;
  byte month, day, weekday;

  TAP_ExtractMjd(mjd, &year, &month, &day, &weekday);
  if (mjd == 0)
    year = month = day = 0;
  switch (Format) {
  case 1: StrFormat(sTimeStamp, sizeof sTimeStamp, "%02d:%02d", hour, minute); break;
  case 2: StrFormat(sTimeStamp, sizeof sTimeStamp, "%02d:%02d:%02d", hour, minute, Sec); break;
  case 3: StrFormat(sTimeStamp, sizeof sTimeStamp, "%02d-%02d-%02d", year, month, day); break;
  case 4: StrFormat(sTimeStamp, sizeof sTimeStamp, "%04d-%02d-%02d %02d:%02d", year, month, day, hour, minute); break;
  case 5:
    StrFormat(sTimeStamp, sizeof sTimeStamp, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, Sec);
    break;
  case 6: StrFormat(sTimeStamp, sizeof sTimeStamp, "%04d%02d%02d_%02d%02d", year, month, day, hour, minute); break;
  default: sTimeStamp[0] = 0; break;
  }
  return sTimeStamp;
}
