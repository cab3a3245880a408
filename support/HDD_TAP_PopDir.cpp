#include "Kovlib.h"

int HDD_TAP_PopDir(void)
{
  char path[DIR_STACK_ENTRY];
  if (TAPDirStackDepth < 0)
    return 0;
  /* Copied first: entering it may push onto the very slot being popped. */
  StrCopy(path, sizeof path, TAPDirStack[TAPDirStackDepth]);
  TAPDirStackDepth--;
  return path[0] && HDD_ChangeDir(path);
}
