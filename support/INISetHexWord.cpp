#include "Kovlib.h"

void INISetHexWord(const char *Key, word Value)
{
  char text[8];
  StrFormat(text, sizeof text, "%04x", Value);
  INISetString(Key, text);
}
