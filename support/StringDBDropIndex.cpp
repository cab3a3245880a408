#include <string.h>

#include "Kovlib.h"

StringDBIndexRecord StringDBIndex;

void StringDBDropIndex(const StringDBRecord *list)
{
  if (!list || StringDBIndex.list != list)
    return;
  if (StringDBIndex.slots)
    TAP_MemFree(StringDBIndex.slots);
  memset(&StringDBIndex, 0, sizeof StringDBIndex);
}
