#include <string.h>

#include "Kovlib.h"

dword INIKeyPattern(const char *Key, char *Pattern)
{
  size_t len = Key ? strlen(Key) : 0;
  if (len > INI_KEY_MAX)
    len = INI_KEY_MAX;
  memcpy(Pattern, Key, len);
  Pattern[len] = '=';
  Pattern[len + 1] = 0;
  return (dword)len + 1;
}
