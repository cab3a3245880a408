/* The application log and the size text: every message of every stage goes
 * through WriteLog to the system log and the console.  State: whether the
 * settings folders have been made yet. */
#include <string.h>

#include "Vaultrix.h"

/* Every byte of a LogString written as "\xNN", and the terminator. */
#define ESCAPED_SIZE (4 * LOGSTRING_SIZE)

/* 1 when the system log would still convert the text from UTF-8. */
static int StillUTF8(const char *text)
{
  int singleByte, utf8;
  GetStringEncoding(text, &singleByte, &utf8);
  return utf8 && !singleByte;
}

/* A file name may hold any byte but "/": a CR or LF in it would begin a
 * line of its own, which reads as the plug-in's.  Bytes below 0x20 are
 * written as "\x0d"; so are bytes of 0x80 and above in a text that is
 * still UTF-8 (a conversion that found no memory), since the system log's
 * own conversion turns an overlong sequence into such a byte.  Cut at a
 * whole escape when it does not fit. */
static const char *Visible(const char *text)
{
  static char escaped[ESCAPED_SIZE];
  int highToo = StillUTF8(text);
  size_t used = 0;
  for (const byte *c = (const byte *)text; *c; c++) {
    int escape = *c < 0x20 || (highToo && *c >= 0x80);
    if (used + (escape ? 4 : 1) >= sizeof escaped)
      break;
    if (escape)
      used += (size_t)StrFormat(escaped + used, (dword)(sizeof escaped - used), "\\x%2.2x", *c);
    else
      escaped[used++] = (char)*c;
  }
  escaped[used] = 0;
  return escaped;
}

/* A character the log's ISO 8859-1 cannot hold is written as "\u20ac"
 * rather than dropped: a name made of such characters would otherwise be
 * logged as nothing.  Only a text still in UTF-8 is spelled so; cut at a
 * whole character when it does not fit. */
static char *Spelled(char *text)
{
  static char spelled[2 * LOGSTRING_SIZE];
  byte length = 1;
  const char *c = text;
  if (!StillUTF8(text))
    return text;
  while (*c && UTF8ToUTF32(c, &length) <= 0xFF)
    c += length;
  if (!*c)
    return text; /* converted in place, as ever */
  size_t used = 0;
  for (c = text; *c;) {
    dword cp = UTF8ToUTF32(c, &length);
    char piece[12];
    int n = cp > 0xFF ? StrFormat(piece, sizeof piece, cp > 0xFFFF ? "\\U%8.8x" : "\\u%4.4x", (unsigned)cp)
                      : StrFormat(piece, sizeof piece, "%.*s", (int)length, c);
    if (used + (size_t)n >= sizeof spelled)
      break;
    memcpy(spelled + used, piece, (size_t)n);
    used += (size_t)n;
    c += length;
  }
  spelled[used] = 0;
  return spelled;
}

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
  /* Until nothing is left to convert: a conversion can make a new UTF-8
   * sequence of bytes that were two characters (each pass shortens). */
  text = Spelled(text);
  while (StillUTF8(text) && StrMkISO(text))
    ;
  LogEntryGeneric(PROGRAM_NAME, 1, Visible(text));
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
