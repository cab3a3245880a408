#include "Kovlib.h"

int StringDBDestroy(StringDBRecord *list)
{
  if (!list)
    return 0;
  StringDBDropIndex(list);
  if (list->start)
    TAP_MemFree(list->start);
  list->start = NULL;
  StringDBInit(list, 0);
  return 1;
}
