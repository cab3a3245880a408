/* The settings keys: read from Vaultrix.ini when a backup starts; the day
 * of a completed backup (and the quick check's LastReadStart, which that
 * stage words) written back when it ends.  State: the INI values, read by
 * every later stage, and empty again before each run. */
#include <stdio.h>

#include "Vaultrix.h"

#define SETTINGS_FILE "Vaultrix.ini"

extern "C" {
char INIDestDevice[INI_DEVICE_SIZE], INIDestPath[INI_PATH_SIZE], INIMountCommand[INI_MOUNT_SIZE];
dword INILastBackup, INIKeepDays, INIMinFreeMB = INI_MIN_FREE_UNSET, INIFullCheckDays;
dword INIBackupTime = INI_TIME_UNSET;
char INILastReadStart[INI_READ_START_SIZE];
}

/* A key missing from this day's file must not keep yesterday's value. */
void ResetSettings(void)
{
  INIDestDevice[0] = INIDestPath[0] = INIMountCommand[0] = INILastReadStart[0] = 0;
  INILastBackup = INIKeepDays = INIFullCheckDays = 0;
  INIMinFreeMB = INI_MIN_FREE_UNSET;
  INIBackupTime = INI_TIME_UNSET;
}

/* A decimal count; missing or empty gives the default, anything else that
 * is not a plain number is logged and gives the default too. */
static dword INIGetCount(const char *key, dword fallback)
{
  char text[12];
  dword value = 0;
  INIGetString(key, text, "", sizeof text);
  if (!text[0])
    return fallback;
  for (const char *c = text; *c; c++) {
    value = value * 10 + (dword)(*c - '0');
    if (*c < '0' || *c > '9' || value > 999999) {
      LOGF("%s is not a number of 0 to 999999: '%s', ignored", key, text);
      return fallback;
    }
  }
  return value;
}

/* A time of day as H:MM or HH:MM, in minutes after midnight; missing or
 * empty gives none, anything else is logged and gives none too. */
static dword INIGetTime(const char *key)
{
  char text[16];
  dword hour = 0, minute = 0, *part = &hour;
  int digits = 0, ok = 1;
  INIGetString(key, text, "", sizeof text);
  if (!text[0])
    return INI_TIME_UNSET;
  for (const char *c = text; ok && *c; c++) {
    if (*c == ':' && part == &hour && digits > 0) {
      part = &minute;
      digits = 0;
      continue;
    }
    ok = *c >= '0' && *c <= '9' && ++digits <= 2;
    *part = *part * 10 + (dword)(*c - '0');
  }
  if (!ok || part != &minute || digits != 2 || hour > 23 || minute > 59) {
    LOGF("%s is not a time of day as HH:MM: '%s', ignored", key, text);
    return INI_TIME_UNSET;
  }
  return hour * 60 + minute;
}

int LoadINI(void)
{
  CallTraceEnter("LoadINI");
  HDD_TAP_PushDir();
  HDD_ChangeDir(SETTINGS_FOLDER);
  int location = INIOpenFile(SETTINGS_FILE, NULL);
  if (location == 1) {
    WriteLog((char *)"Vaultrix.ini not found!");
  } else {
    INIGetString("DestDevice", INIDestDevice, "", sizeof INIDestDevice);
    INIGetString("DestPath", INIDestPath, "", sizeof INIDestPath);
    INIGetString("MountCommand", INIMountCommand, "", sizeof INIMountCommand);
    INILastBackup = INIGetHexWord("LastBackup", 0, 0, 0xFFFF);
    INIKeepDays = INIGetCount("KeepDays", 0);
    INIMinFreeMB = INIGetCount("MinFreeMB", INI_MIN_FREE_UNSET);
    INIFullCheckDays = INIGetCount("FullCheckDays", 0);
    INIGetString("LastReadStart", INILastReadStart, "", sizeof INILastReadStart);
    INIBackupTime = INIGetTime("BackupTime");
  }
  INICloseFile();
  HDD_TAP_PopDir();
  CallTraceExit(NULL);
  return location > 1;
}

/* The settings were found in a fallback folder and are now saved to the
 * application's own: from then on only that file is read, so the owner must
 * know which one to edit. */
static void TellSettingsMoved(int location)
{
  const char *folder = location == 4 ? "/ProgramFiles/Settings" : location == 5 ? "/ProgramFiles" : NULL;
  if (folder)
    LOGF("Settings read from %s/%s are saved to %s/%s; edit that file from now on", folder, SETTINGS_FILE,
         SETTINGS_FOLDER, SETTINGS_FILE);
}

void INIUpdateBackupDate(void)
{
  CallTraceEnter("INIUpdateBackupDate");
  INILastBackup = LastBackup >> 16;
  HDD_TAP_PushDir();
  HDD_ChangeDir(SETTINGS_FOLDER);
  /* A file that is there but could not be read must not be replaced by the
   * bits that were read: the user would lose the destination keys. */
  int location = INIOpenFile(SETTINGS_FILE, PROGRAM_NAME);
  if (location != 0) {
    INISetHexWord("LastBackup", (word)INILastBackup);
    if (ReadStartText(INILastReadStart, sizeof INILastReadStart))
      INISetString("LastReadStart", INILastReadStart);
    if (!INISaveFile(SETTINGS_FILE, 2, NULL))
      WriteLog((char *)"Vaultrix.ini could not be saved!");
    else
      TellSettingsMoved(location);
  } else {
    WriteLog((char *)"Vaultrix.ini could not be read, backup date not saved!");
  }
  INICloseFile();
  HDD_TAP_PopDir();
  CallTraceExit(NULL);
}
