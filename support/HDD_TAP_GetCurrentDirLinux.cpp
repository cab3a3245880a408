#include "Kovlib.h"

int HDD_TAP_GetCurrentDirLinux(char *dest, dword size)
{
  char folder[DIR_STACK_ENTRY];
  if (!dest || !size)
    return 0;
  dest[0] = 0;
  if (HDD_TAP_GetCurrentDir(folder) != 0)
    return 0;
  if (StrFormat(dest, size, "/mnt/hd%s", folder) >= (int)size) {
    dest[0] = 0;
    return 0;
  }
  return 1;
}
