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
  /* ASCII only: the C library's case tables are not the recorder's to rely on. */
  char c = Pattern[0];
  char set[3] = {c >= 'a' && c <= 'z' ? (char)(c - 32) : c, c >= 'A' && c <= 'Z' ? (char)(c + 32) : c, 0};
  size_t rest = strlen(Pattern) - 1;
  for (const char *p = strpbrk(Text, set); p; p = strpbrk(p + 1, set)) {
    if (strncasecmp(p + 1, Pattern + 1, rest) == 0)
      return (char *)p;
    if (!p[1])
      break;
  }
  return NULL;
}
