#include <string.h>

#include "Kovlib.h"

/* Appends "<stamp><text>" CR LF to a log in the current folder, creating the
 * file when it is missing.  Logs only grow: nothing is ever truncated. */
void LogEntryAppend(const char *FileName, const char *Stamp, const char *Text)
{
  if (!TAP_Hdd_Exist(FileName))
    TAP_Hdd_Create(FileName, TAP_ATTR_FILE);
  TapFile *file = TAP_Hdd_Fopen(FileName);
  if (!file)
    return;
  TAP_Hdd_Fseek(file, 0, 2);
  TAP_Hdd_Fwrite(Stamp, (dword)strlen(Stamp), 1, file);
  TAP_Hdd_Fwrite(Text, (dword)strlen(Text), 1, file);
  TAP_Hdd_Fwrite("\r\n", 2, 1, file);
  TAP_Hdd_Fclose(file);
}
