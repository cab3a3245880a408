#include <string.h>

#include "Kovlib.h"

int StringDBInit(StringDBRecord *list, dword size)
{
  if (!list)
    return 0;
  list->capacity = size;
  list->start = NULL;
  if (size > 0) {
    list->start = (char *)TAP_MemAlloc(size);
    if (!list->start)
      list->capacity = 0;
    else
      memset(list->start, 0, size);
  }
  list->cursor = list->end = list->start;
  return size == 0 || list->start != NULL;
}
