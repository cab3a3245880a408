/* The application log and the size text: every message of every stage goes
 * through WriteLog to the system log and the console.  State: whether the
 * settings folders have been made yet. */
#include "Vaultrix.h"
void WriteLog(char *text)
{
  static dword FirstCall = 1;
  CallTraceEnter("WriteLog");
  HDD_TAP_PushDir();
  if (FirstCall) {
    HDD_ChangeDir("/ProgramFiles");
    TAP_Hdd_Create("Settings", TAP_ATTR_FOLDER);
    HDD_ChangeDir("Settings");
    TAP_Hdd_Create(PROGRAM_NAME, TAP_ATTR_FOLDER);
    FirstCall = 0;
  }
  HDD_ChangeDir(SETTINGS_FOLDER);
  StrMkISO(text);
  LogEntryGeneric(PROGRAM_NAME, 1, text);
  HDD_TAP_PopDir();
  CallTraceExit(NULL);
}

/* out must hold 16 bytes: 9 characters in the supported range (below 4 TiB),
 * at most 13 above it. */
void FileSizeToString(dword low, dword high, char *out)
{
  CallTraceEnter("FileSizeToString");
  if (out) {
    uint64_t s = (uint64_t)high << 32 | low;
    const float k = 1.0f / 1024.0f;
    if (s < 1024)
      StrFormat(out, 16, "%d B", (int)low);
    else if (s < (1ull << 20))
      StrFormat(out, 16, "%.1f kB", (double)((float)s * k));
    else if (s < (1ull << 30))
      StrFormat(out, 16, "%.1f MB", (double)((float)(s >> 10) * k));
    else if (s < (1ull << 40))
      StrFormat(out, 16, "%.1f GB", (double)((float)(s >> 20) * k));
    else
      StrFormat(out, 16, "%.1f TB", (double)((float)(s >> 30) * k));
  }
  CallTraceExit(NULL);
}
