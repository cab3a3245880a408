#include <string.h>

#include "Kovlib.h"

/* One line "<stamp><ProgramName>: <Text>" CR LF in the system log, in
 * ISO 8859-1, with an LF-ended copy on the network console. */
void LogEntryGeneric(const char *ProgramName, int Console, const char *Text)
{
  if (!ProgramName || !Text)
    return;
  HDD_TAP_PushDir();
  LogEntryEnterFolder();
  dword size = (dword)(strlen(ProgramName) + strlen(Text) + 4);
  char *line = (char *)TAP_MemAlloc(size);
  if (line) {
    TAP_MemSet(line, 0, size);
    StrFormat(line, size, "%s: %s", ProgramName, Text);
    char *converted;
    /* Before the stamp: a dropped character logs, and that log line uses
     * the same stamp buffer. */
    StrToISOAlloc(line, &converted);
    if (converted) {
      const char *stamp = LogEntryTimeStamp();
      LogEntryAppend("TAPSystem.log", stamp, converted);
      if (Console)
        PrintNetFormat("%s%s\n", stamp, converted);
      TAP_MemFree(converted);
    }
    TAP_MemFree(line);
  }
  HDD_TAP_PopDir();
}
