#include <string.h>

#include "Kovlib.h"

#define INDEX_MIN_SLOTS 64

/* FNV-1a with a final mix, byte by byte: the same on any host. */
static dword Hash(const char *text)
{
  dword h = 2166136261u;
  for (const unsigned char *p = (const unsigned char *)text; *p; p++)
    h = (h ^ *p) * 16777619u;
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  return h;
}

/* The first offset of the text + 1, or 0, as the linear walk finds it. */
static dword FindLinear(const StringDBRecord *list, const char *text)
{
  for (char *p = list->start; p && p < list->end; p += strlen(p) + 1)
    if (strcmp(p, text) == 0)
      return (dword)(p - list->start) + 1;
  return 0;
}

static dword FindIndexed(const StringDBRecord *list, const char *text, dword hash)
{
  const StringDBIndexRecord *x = &StringDBIndex;
  for (dword at = hash & x->mask; x->slots[at]; at = (at + 1) & x->mask)
    if (strcmp(list->start + x->slots[at] - 1, text) == 0)
      return x->slots[at];
  return 0;
}

static void Put(dword hash, dword offset)
{
  StringDBIndexRecord *x = &StringDBIndex;
  dword at = hash & x->mask;
  while (x->slots[at])
    at = (at + 1) & x->mask;
  x->slots[at] = offset + 1;
  x->count++;
}

static int IndexValid(const StringDBRecord *list)
{
  return StringDBIndex.list == list && list->start && StringDBIndex.start == list->start &&
         StringDBIndex.used == (dword)(list->end - list->start);
}

/* Indexes every string of the list at its first offset, in place of any
 * other list's index; without memory the list is searched linearly. */
static void Build(const StringDBRecord *list)
{
  dword count = 0;
  for (char *p = list->start; p < list->end; p += strlen(p) + 1)
    count++;
  dword slots = INDEX_MIN_SLOTS;
  while (slots / 2 <= count && slots < 0x40000000u)
    slots *= 2;
  if (StringDBIndex.list)
    StringDBDropIndex(StringDBIndex.list);
  dword *table = (dword *)TAP_MemAlloc(slots * sizeof *table);
  if (!table)
    return;
  memset(table, 0, slots * sizeof *table);
  StringDBIndex.list = list;
  StringDBIndex.slots = table;
  StringDBIndex.mask = slots - 1;
  StringDBIndex.count = 0;
  for (char *p = list->start; p < list->end; p += strlen(p) + 1) {
    dword hash = Hash(p);
    if (!FindIndexed(list, p, hash))
      Put(hash, (dword)(p - list->start));
  }
  StringDBIndex.start = list->start;
  StringDBIndex.used = (dword)(list->end - list->start);
}

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
  dword hash = Hash(text);
  int indexed = IndexValid(list);
  dword found = indexed ? FindIndexed(list, text, hash) : FindLinear(list, text);
  if (found)
    return found - 1;
  dword length = (dword)strlen(text);
  dword used = (dword)(list->end - list->start);
  if (list->capacity < used + length + 2) {
    if (!Grow(list, text, used, length))
      return 0;
  } else {
    memcpy(list->end, text, length + 1);
  }
  list->end += length + 1;
  if (indexed && StringDBIndex.count + 1 <= (StringDBIndex.mask + 1) / 2) {
    Put(hash, used);
    StringDBIndex.start = list->start;
    StringDBIndex.used = (dword)(list->end - list->start);
  } else {
    Build(list);
  }
  return used;
}
