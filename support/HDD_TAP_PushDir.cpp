#include "Kovlib.h"

char TAPDirStack[DIR_STACK_DEPTH][DIR_STACK_ENTRY];
int TAPDirStackDepth = -1;

/* A folder that cannot be read (no task table) is pushed as an empty entry,
 * which the pop skips: pushes and pops stay paired. */
int HDD_TAP_PushDir(void)
{
  if (TAPDirStackDepth + 1 >= DIR_STACK_DEPTH)
    return 0;
  TAPDirStackDepth++;
  return HDD_TAP_GetCurrentDir(TAPDirStack[TAPDirStackDepth]) == 0;
}
