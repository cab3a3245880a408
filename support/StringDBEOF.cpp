#include "Kovlib.h"

int StringDBEOF(StringDBRecord *list)
{
  return !list || !list->start || *list->cursor == 0;
}
