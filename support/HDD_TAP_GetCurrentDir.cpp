#include <string.h>

#include "Kovlib.h"

#define MOUNT_POINT_LENGTH 7 /* "/mnt/hd" */

/* dest holds DIR_STACK_ENTRY bytes.  A folder that does not fit is refused
 * with -2 and dest emptied: a cut path would name another folder. */
int HDD_TAP_GetCurrentDir(char *dest)
{
  FirmwareTask *table = FIS_vTAPTable();
  dword *index = FIS_vCurTapTask();
  if (!table || !index) {
    if (dest)
      dest[0] = 0;
    return -3;
  }
  if (!dest)
    return 0;
  FirmwareTask *task = &table[*index];
  if (!task->Dir || !task->Dir->Path)
    return 0;
  const char *path = task->Dir->Path;
  size_t len = strlen(path);
  path += len < MOUNT_POINT_LENGTH ? len : MOUNT_POINT_LENGTH;
  if (StrCopy(dest, DIR_STACK_ENTRY, path) >= DIR_STACK_ENTRY) {
    dest[0] = 0;
    return -2;
  }
  return 0;
}
