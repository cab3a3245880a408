#include "Kovlib.h"

static void *vcurTapTask;

dword *FIS_vCurTapTask(void)
{
  if (!vcurTapTask)
    vcurTapTask = TryResolve("_curTapTask");
  return (dword *)vcurTapTask;
}
