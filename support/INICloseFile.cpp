#include "Kovlib.h"

void INICloseFile(void)
{
  if (INIBuffer)
    TAP_MemFree(INIBuffer);
  INIBuffer = NULL;
  BufferSize = 0;
}
