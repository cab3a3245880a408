#include "Kovlib.h"

/* The firmware never changes while the plug-in runs: ask once. */
int isUTFFirmware(void)
{
  static int FirstCall = 1;
  static int Answer = 0;

  if (FirstCall) {
    Answer = FIS_fwAppl_ConvertToValidUTF8Str() != NULL;
    FirstCall = 0;
  }
  return Answer;
}
