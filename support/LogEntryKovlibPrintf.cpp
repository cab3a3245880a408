#include "Kovlib.h"

#define KOVLIB_MESSAGE_SIZE 512

/* The support library's own diagnostics, without a program name and
 * without conversion; a message is cut after 511 characters. */
void LogEntryKovlibPrintf(int Console, const char *Format, ...)
{
  char message[KOVLIB_MESSAGE_SIZE];
  va_list ap;

  if (!Format)
    return;
  va_start(ap, Format);
  StrFormatV(message, sizeof message, Format, ap);
  va_end(ap);
  HDD_TAP_PushDir();
  LogEntryEnterFolder();
  const char *stamp = LogEntryTimeStamp();
  LogEntryAppend("Kovlib.log", stamp, message);
  if (Console)
    PrintNetFormat("%s KOVLIB - %s\n", stamp, message);
  HDD_TAP_PopDir();
}
