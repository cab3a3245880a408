#include <ctype.h>
#include <string.h>

#include "Kovlib.h"

/* First occurrence of Pattern in Text, ignoring the case of A to Z only. */
char *stricstr(const char *Text, const char *Pattern)
{
  if (!Text || !Pattern)
    return NULL;
  Text = SkipCharTableBytes(Text);
  Pattern = SkipCharTableBytes(Pattern);
  if (!*Pattern)
    return NULL;
  char set[3] = {(char)toupper((byte)Pattern[0]), (char)tolower((byte)Pattern[0]), 0};
  size_t rest = strlen(Pattern) - 1;
  for (const char *p = strpbrk(Text, set); p; p = strpbrk(p + 1, set)) {
    if (strncasecmp(p + 1, Pattern + 1, rest) == 0)
      return (char *)p;
    if (!p[1])
      break;
  }
  return NULL;
}
