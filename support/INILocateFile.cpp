#include "Kovlib.h"

/* Search order: the current folder, then the application's folder, then
 * "/ProgramFiles/Settings", then "/ProgramFiles".  Leaves the current folder
 * where the file was found (unchanged when it was found nowhere). */
int INILocateFile(const char *FileName, const char *AppName)
{
  char saved[DIR_STACK_ENTRY] = "";
  const char *endIn = saved;
  int location = 0;

  if (!FileName)
    return 0;
  if (TAP_Hdd_Exist(FileName))
    return 2;
  /* Unknown (no task table): the search ends where it found the file. */
  (void)HDD_TAP_GetCurrentDir(saved);

  if (HDD_ChangeDir("/ProgramFiles")) {
    if (TAP_Hdd_Exist(FileName)) {
      endIn = "/ProgramFiles";
      location = 5;
    }
    if (HDD_ChangeDir("Settings")) {
      if (TAP_Hdd_Exist(FileName)) {
        endIn = "/ProgramFiles/Settings";
        location = 4;
      }
      if (AppName && AppName[0] && AppName[0] != '/' && HDD_ChangeDir(AppName) && TAP_Hdd_Exist(FileName))
        return 3;
    }
  }
  if (endIn[0])
    HDD_ChangeDir(endIn);
  return location;
}
