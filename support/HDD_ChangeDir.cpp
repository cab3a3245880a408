#include <string.h>

#include "Kovlib.h"

int ReturnTypeToBeChecked = 1;
dword ChDirSuccessful;

/* Room for the UTF-8 form of a 255-byte path: a single-byte character
 * becomes at most 3 bytes.  Longer paths get no second try.  The length is
 * counted as the conversion reads the path: a 0x10 selector holds a zero
 * byte, behind which strlen would not look. */
#define UTF8_PATH_MAX 255

int HDD_ChangeDir(const char *path)
{
  char buffer[3 * UTF8_PATH_MAX + 1];

  if (ReturnTypeToBeChecked) {
    HDD_TAP_PushDir();
    dword result = TAP_Hdd_ChangeDir("/ProgramFiles");
    ReturnTypeToBeChecked = 0;
    ChDirSuccessful = result;
    HDD_TAP_PopDir();
  }
  if (!path)
    return 0;
  if (TAP_Hdd_ChangeDir(path) == ChDirSuccessful)
    return 1;
  const char *text = SkipCharTableBytes(path);
  if (!isUTFFirmware() || (size_t)(text - path) + strlen(text) > UTF8_PATH_MAX)
    return 0;
  StrToUTF8(path, buffer, 9);
  return TAP_Hdd_ChangeDir(buffer) == ChDirSuccessful;
}
