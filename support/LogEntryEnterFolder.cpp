#include "Kovlib.h"

/* Enters /ProgramFiles/Settings, creating it when it is missing.  If even
 * that fails, the log goes wherever the host left the current folder. */
void LogEntryEnterFolder(void)
{
  if (HDD_ChangeDir("/ProgramFiles/Settings"))
    return;
  HDD_ChangeDir("/ProgramFiles");
  if (!TAP_Hdd_Exist("Settings"))
    TAP_Hdd_Create("Settings", TAP_ATTR_FOLDER);
  HDD_ChangeDir("Settings");
}
