#include <string.h>

#include "Kovlib.h"

#define MOUNT_POINT_LENGTH 7 /* "/mnt/hd" */

/* dest holds DIR_STACK_ENTRY bytes and is emptied on every failure: -3 no
 * task table, -1 no folder text in the task record, -2 a folder that does
 * not fit (a cut path would name another folder). */
int HDD_TAP_GetCurrentDir(char *dest)
{
  FirmwareTask *table = FIS_vTAPTable();
  dword *index = FIS_vCurTapTask();
  if (dest)
    dest[0] = 0;
  if (!table || !index)
    return -3;
  if (!dest)
    return 0;
  FirmwareTask *task = &table[*index];
  if (!task->Dir || !task->Dir->Path)
    return -1;
  const char *path = task->Dir->Path;
  size_t len = strlen(path);
  path += len < MOUNT_POINT_LENGTH ? len : MOUNT_POINT_LENGTH;
  if (StrCopy(dest, DIR_STACK_ENTRY, path) >= DIR_STACK_ENTRY) {
    dest[0] = 0;
    return -2;
  }
  return 0;
}
