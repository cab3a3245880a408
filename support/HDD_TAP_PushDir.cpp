#include "Kovlib.h"

char TAPDirStack[DIR_STACK_DEPTH][DIR_STACK_ENTRY];
int TAPDirStackDepth = -1;

int HDD_TAP_PushDir(void)
{
  TAPDirStackDepth++;
  if (TAPDirStackDepth < DIR_STACK_DEPTH && HDD_TAP_GetCurrentDir(TAPDirStack[TAPDirStackDepth]) == 0)
    return 1;
  TAPDirStackDepth--;
  return 0;
}
