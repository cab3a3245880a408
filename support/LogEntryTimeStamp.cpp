#include <string.h>

#include "Kovlib.h"

/* "YYYY-MM-DD hh:mm:ss " in TimeFormat's own buffer, valid until its next
 * call. */
char *LogEntryTimeStamp(void)
{
  byte sec;
  dword now = Now(&sec);
  char *stamp = TimeFormat(now, sec, 5);
  size_t length = strlen(stamp);
  if (length + 1 < TIMESTAMP_SIZE) {
    stamp[length] = ' ';
    stamp[length + 1] = 0;
  }
  return stamp;
}
