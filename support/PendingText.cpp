/* Temporary minimal versions, replaced by the text, log and trace operations. */
#include <string.h>
#include "Kovlib.h"

int CallTraceInitialized, CallTraceEnabled, CallTraceDoNotReenter, CallLevel;
void CallTraceInit(void) {}
void CallTraceEnable(int) {}
void CallTraceEnter(const char *) {}
void CallTraceExit(dword *) {}
char puffer[PUFFER_SIZE];
void LogEntryGeneric(const char *ProgramName, int Console, const char *Text) { TAP_Print("%s: %s\n", ProgramName, Text); }
int StrMkISO(char *) { return 1; }
void LowerCase(char *Text) { for (; *Text; Text++) if (*Text >= 'A' && *Text <= 'Z') *Text += 32; }
int isUTFFirmware(void) { return FIS_fwAppl_ConvertToValidUTF8Str() != NULL; }
int StrToUTF8(const char *Source, char *Dest, dword) { strcpy(Dest, Source); return 0; }
