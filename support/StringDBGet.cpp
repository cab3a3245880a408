#include "Kovlib.h"

/* The offset is not checked against the list: callers pass offsets the
 * list gave them. */
char *StringDBGet(StringDBRecord *list, dword offset)
{
  return list && list->start ? list->start + offset : NULL;
}
