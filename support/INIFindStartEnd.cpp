#include <string.h>

#include "Kovlib.h"

/* A match counts as commented out when "#" or ";" stands directly before
 * it; at the very start of the text its own first character is looked at. */
static int Commented(const char *match)
{
  char before = match == INIBuffer ? match[0] : match[-1];
  return before == '#' || before == ';';
}

void INIFindStartEnd(const char *Pattern, char **Start, char **End, dword MaxLen)
{
  if (!Start || !End || !MaxLen)
    return;
  if (!INIBuffer || !Pattern) {
    *Start = NULL;
    return;
  }
  *End = NULL;
  char *match = stricstr(INIBuffer, Pattern);
  while (match && Commented(match))
    match = stricstr(match + 1, Pattern);
  *Start = match;
  if (!match)
    return;

  char *cr = strchr(match, '\r');
  char *lf = strchr(match, '\n');
  if (cr && (!lf || lf == cr + 1))
    *End = cr - 1;
  else if (lf)
    *End = lf - 1;
  else
    return;
  if (*End >= match && (dword)(*End - match) >= MaxLen)
    *End = match + MaxLen - 1;
}
