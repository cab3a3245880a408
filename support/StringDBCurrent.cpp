#include "Kovlib.h"

dword StringDBCurrent(StringDBRecord *list)
{
  return list ? (dword)(list->cursor - list->start) : 0;
}
