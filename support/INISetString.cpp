#include <string.h>

#include "Kovlib.h"

#define GROWTH_STEP 1024

/* One growth step: the next multiple of 1,024 above the present size. */
static dword NextSize(void)
{
  return (BufferSize / GROWTH_STEP + 1) * GROWTH_STEP;
}

static char *NewBlock(dword size)
{
  char *block = (char *)TAP_MemAlloc(size);
  if (block)
    memset(block, 0, size);
  return block;
}

static void Replace(const char *pattern, dword plen, const char *Value, char *start, char *end)
{
  size_t len = strlen(INIBuffer), vlen = strlen(Value);
  size_t head = (size_t)(start - INIBuffer), tail = len - (size_t)(end + 1 - INIBuffer);
  size_t needed = head + plen + vlen + tail + 1;
  dword size = BufferSize;
  if (size < needed) {
    size = NextSize();
    if (size < needed)
      return;
  }
  char *block = NewBlock(size);
  if (!block)
    return;
  memcpy(block, INIBuffer, head);
  memcpy(block + head, pattern, plen);
  memcpy(block + head + plen, Value, vlen);
  memcpy(block + head + plen + vlen, end + 1, tail);
  TAP_MemFree(INIBuffer);
  INIBuffer = block;
  BufferSize = size;
}

static void Append(const char *pattern, dword plen, const char *Value)
{
  size_t len = strlen(INIBuffer), vlen = strlen(Value);
  size_t needed = len + plen + vlen + 3;
  if (BufferSize < needed) {
    dword size = NextSize();
    if (size < needed)
      return;
    char *block = NewBlock(size);
    if (!block)
      return;
    memcpy(block, INIBuffer, BufferSize);
    TAP_MemFree(INIBuffer);
    INIBuffer = block;
    BufferSize = size;
  }
  char *p = INIBuffer + len;
  memcpy(p, pattern, plen);
  memcpy(p + plen, Value, vlen);
  memcpy(p + plen + vlen, "\r\n", 3);
}

void INISetString(const char *Key, const char *Value)
{
  char pattern[INI_PATTERN_SIZE];
  char *start = NULL, *end = NULL;

  if (!Key || !Value || !INIBuffer)
    return;
  dword plen = INIKeyPattern(Key, pattern);
  /* A line end inside would split the entry and leave a stray line behind. */
  if (strpbrk(pattern, "\r\n") || strpbrk(Value, "\r\n"))
    return;
  INIFindStartEnd(pattern, &start, &end, BufferSize);
  if (start && end)
    Replace(pattern, plen, Value, start, end);
  else
    Append(pattern, plen, Value);
}
