#include <string.h>

#include "Kovlib.h"

dword StringDBNext(StringDBRecord *list)
{
  if (!list || !list->start || list->cursor >= list->end)
    return 0;
  list->cursor += strlen(list->cursor) + 1;
  return (dword)(list->cursor - list->start);
}
