/* Temporary minimal versions, replaced by the settings-file store. */
#include "Kovlib.h"

char *INIBuffer;
dword BufferSize;
int INIOpenFile(const char *, const char *) { return 1; }
int INIGetString(const char *, char *Dest, const char *Default, dword Len) { StrCopy(Dest, Len, Default); return 1; }
word INIGetHexWord(const char *, word Default, word, word) { return Default; }
void INISetHexWord(const char *, word) {}
int INISaveFile(const char *, int, const char *) { return 0; }
void INICloseFile(void) {}
