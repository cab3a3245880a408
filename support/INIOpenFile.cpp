#include <string.h>

#include "Kovlib.h"

#define BLOCK_STEP 512
/* Beyond this the block size would wrap; no settings file comes near it. */
#define LARGEST_FILE (0xFFFFFFFFu - 2 * BLOCK_STEP)

static int EmptyStore(void)
{
  INIBuffer = (char *)TAP_MemAlloc(BLOCK_STEP);
  if (!INIBuffer)
    return 0;
  memset(INIBuffer, 0, BLOCK_STEP);
  BufferSize = BLOCK_STEP;
  return 1;
}

/* Reads the file into a block with at least 512 bytes to spare, so that
 * the line end added below always fits.  1 when the text was read. */
static int ReadText(TapFile *file)
{
  dword length = TAP_Hdd_Flen(file);
  if (length > LARGEST_FILE)
    return 0;
  dword size = (length / BLOCK_STEP + 2) * BLOCK_STEP;
  char *block = (char *)TAP_MemAlloc(size);
  if (!block)
    return 0;
  memset(block, 0, size);
  INIBuffer = block;
  BufferSize = size;

  /* Only a file that is empty on disk may read as empty: a read that brought
   * nothing of a longer file is a failure, or a save would wipe the file. */
  int ok = length == 0 || TAP_Hdd_Fread(block, length, 1, file) != 0;
  size_t len = strlen(block);
  if (len == 0)
    memcpy(block, "\r\n", 3);
  else if (block[len - 1] != '\r' && block[len - 1] != '\n')
    memcpy(block + len, "\r\n", 3);
  return ok;
}

#define COMPARE_STEP 256

/* 1 when the file's bytes are a proper prefix of the copy's: what a save
 * without rename leaves when it is cut short while it rewrites the file. */
static int ProperPrefixOf(const char *FileName, const char *copy)
{
  char a[COMPARE_STEP], b[COMPARE_STEP];
  TapFile *file = TAP_Hdd_Fopen(FileName);
  TapFile *whole = file ? TAP_Hdd_Fopen(copy) : NULL;
  dword left = file ? TAP_Hdd_Flen(file) : 0;
  int prefix = whole && left < TAP_Hdd_Flen(whole);
  while (prefix && left > 0) {
    dword step = left < COMPARE_STEP ? left : COMPARE_STEP;
    prefix = TAP_Hdd_Fread(a, step, 1, file) == 1 && TAP_Hdd_Fread(b, step, 1, whole) == 1 && memcmp(a, b, step) == 0;
    left -= step;
  }
  if (whole)
    TAP_Hdd_Fclose(whole);
  if (file)
    TAP_Hdd_Fclose(file);
  return prefix;
}

/* The copy a save without rename writes first is the complete text only
 * while the file is missing or a proper prefix of it; any other copy is a
 * leftover, and the owner's file wins over it. */
static const char *NameToRead(const char *FileName, const char *copy)
{
  if (!copy || !TAP_Hdd_Exist(copy))
    return FileName;
  return !TAP_Hdd_Exist(FileName) || ProperPrefixOf(FileName, copy) ? copy : FileName;
}

int INIOpenFile(const char *FileName, const char *AppName)
{
  char copy[INI_NAME_SIZE];
  INICloseFile();
  HDD_TAP_PushDir();
  int hasCopy = FileName && StrFormat(copy, sizeof copy, "%s%s", FileName, INI_COPY_SUFFIX) < (int)sizeof copy;
  int location = INILocateFile(FileName, AppName);
  if (location == 0 && hasCopy)
    location = INILocateFile(copy, AppName);
  if (location == 0) {
    HDD_TAP_PopDir();
    return EmptyStore();
  }
  TapFile *file = TAP_Hdd_Fopen(NameToRead(FileName, hasCopy ? copy : NULL));
  if (!file) {
    HDD_TAP_PopDir();
    return 0;
  }
  int ok = ReadText(file);
  TAP_Hdd_Fclose(file);
  HDD_TAP_PopDir();
  return ok ? location : 0;
}
