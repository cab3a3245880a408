#include <string.h>

#include "Kovlib.h"

/* The list always keeps one spare zero byte after the last string: it is
 * what StringDBEOF finds at the end. */
static int Grow(StringDBRecord *list, const char *text, dword used, dword length)
{
  dword need = used + length + 2;
  dword size = list->capacity > 0 ? list->capacity + 4096 : 2 * length;
  if (size < need)
    size = need;
  char *buffer = (char *)TAP_MemAlloc(size);
  if (!buffer)
    return 0;
  memset(buffer, 0, size);
  if (list->start)
    memcpy(buffer, list->start, list->capacity);
  /* Copy the text before the old buffer goes, in case it lies inside it. */
  memcpy(buffer + used, text, length + 1);
  if (list->start)
    TAP_MemFree(list->start);
  list->cursor = buffer + (list->cursor - list->start);
  list->start = buffer;
  list->end = buffer + used;
  list->capacity = size;
  return 1;
}

dword StringDBAdd(StringDBRecord *list, const char *text)
{
  if (!list || !text)
    return 0;
  for (char *p = list->start; p && p < list->end; p += strlen(p) + 1)
    if (strcmp(p, text) == 0)
      return (dword)(p - list->start);
  dword length = (dword)strlen(text);
  dword used = (dword)(list->end - list->start);
  if (list->capacity < used + length + 2) {
    if (!Grow(list, text, used, length))
      return 0;
  } else {
    memcpy(list->end, text, length + 1);
  }
  list->end += length + 1;
  return used;
}
