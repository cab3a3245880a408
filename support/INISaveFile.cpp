#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Kovlib.h"

#define TEMP_SUFFIX ".new"
#define LINUX_PATH_SIZE (DIR_STACK_ENTRY + 8 + INI_NAME_SIZE)

/* Enters the folder that a location code names, creating "Settings" and the
 * application's folder for 3 and 4. */
static int EnterLocation(int Location, const char *AppName)
{
  if (Location == 2)
    return 1;
  if (!HDD_ChangeDir("/ProgramFiles"))
    return 0;
  if (Location == 5)
    return 1;
  if (!TAP_Hdd_Exist("Settings"))
    TAP_Hdd_Create("Settings", TAP_ATTR_FOLDER);
  if (!HDD_ChangeDir("Settings"))
    return 0;
  if (Location == 4)
    return 1;
  if (!TAP_Hdd_Exist(AppName))
    TAP_Hdd_Create(AppName, TAP_ATTR_FOLDER);
  return HDD_ChangeDir(AppName);
}

/* The Linux path of a file named relative to the current folder, or of an
 * absolute name on the internal disk. */
static int LinuxPath(const char *name, char *dest, dword size)
{
  if (name[0] == '/')
    return StrFormat(dest, size, "/mnt/hd%s", name) < (int)size;
  char folder[LINUX_PATH_SIZE];
  if (!HDD_TAP_GetCurrentDirLinux(folder, sizeof folder))
    return 0;
  return StrFormat(dest, size, "%s/%s", folder, name) < (int)size;
}

/* Writes the text into a new file by the host's calls, so that the disk sees
 * it as it sees every settings file. */
static int WriteNewFile(const char *name)
{
  TAP_Hdd_Delete(name);
  TAP_Hdd_Create(name, TAP_ATTR_FILE);
  TapFile *file = TAP_Hdd_Fopen(name);
  if (!file)
    return 0;
  dword length = (dword)strlen(INIBuffer);
  /* nothing to write is a complete write */
  int ok = length == 0 || TAP_Hdd_Fwrite(INIBuffer, length, 1, file) == 1;
  TAP_Hdd_Fclose(file);
  return ok;
}

/* Pushes the new file's data to the disk before it takes the old one's
 * name, so that a power cut leaves one whole file or the other. */
static int Flush(const char *path)
{
  int fd = open(path, O_RDONLY);
  if (fd < 0)
    return 0;
  int ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

/* Makes the names in the folder of a Linux path durable (a rename, a
 * removal); without the path, every disk's. */
static void FlushNames(const char *path)
{
  char folder[LINUX_PATH_SIZE];
  char *slash = path && StrCopy(folder, sizeof folder, path) < (int)sizeof folder ? strrchr(folder, '/') : NULL;
  if (slash) {
    slash[slash == folder ? 1 : 0] = 0;
    if (Flush(folder))
      return;
  }
  (void)syscall(SYS_sync);
}

/* After a save, by either way, no copy stays beside the file: a leftover
 * copy would be read instead of the file once the owner's edit leaves it a
 * prefix of the copy.  path: the file's Linux path, when known. */
static void DropCopy(const char *FileName, const char *path)
{
  char copy[INI_NAME_SIZE];
  if (StrFormat(copy, sizeof copy, "%s%s", FileName, INI_COPY_SUFFIX) < (int)sizeof copy && TAP_Hdd_Exist(copy))
    TAP_Hdd_Delete(copy);
  FlushNames(path);
}

/* 1 when the file holds exactly the text. */
static int HoldsText(const char *name)
{
  dword length = (dword)strlen(INIBuffer);
  TapFile *file = TAP_Hdd_Fopen(name);
  if (!file)
    return 0;
  int ok = TAP_Hdd_Flen(file) == length;
  char *copy = ok && length ? (char *)TAP_MemAlloc(length) : NULL;
  if (ok && length)
    ok = copy && TAP_Hdd_Fread(copy, length, 1, file) == 1 && memcmp(copy, INIBuffer, length) == 0;
  if (copy)
    TAP_MemFree(copy);
  TAP_Hdd_Fclose(file);
  return ok;
}

/* Without the Linux path (a firmware without the task table) only the host's
 * calls remain, and they cannot rename.  A checked copy is written first and
 * kept until the file itself is rewritten, checked and on the disk, so that
 * a failure or a cut in between leaves a complete copy beside a missing or
 * partly written file, which the next load reads. */
static int ReplaceByHost(const char *FileName)
{
  char copy[INI_NAME_SIZE];
  if (StrFormat(copy, sizeof copy, "%s%s", FileName, INI_COPY_SUFFIX) >= (int)sizeof copy)
    return 0;
  if (!WriteNewFile(copy) || !HoldsText(copy)) {
    TAP_Hdd_Delete(copy);
    return 0;
  }
  if (!WriteNewFile(FileName) || !HoldsText(FileName))
    return 0;
  (void)syscall(SYS_sync);
  DropCopy(FileName, NULL);
  return 1;
}

/* The old file is replaced only by a complete new one: the text goes to a
 * temporary file beside it, which then takes the old file's name. */
static int Replace(const char *FileName)
{
  char temp[INI_NAME_SIZE], tempPath[LINUX_PATH_SIZE], finalPath[LINUX_PATH_SIZE];
  if (StrFormat(temp, sizeof temp, "%s%s", FileName, TEMP_SUFFIX) >= (int)sizeof temp)
    return 0;
  if (!LinuxPath(temp, tempPath, sizeof tempPath) || !LinuxPath(FileName, finalPath, sizeof finalPath))
    return ReplaceByHost(FileName);
  if (WriteNewFile(temp) && Flush(tempPath) && rename(tempPath, finalPath) == 0) {
    DropCopy(FileName, finalPath);
    return 1;
  }
  TAP_Hdd_Delete(temp);
  return 0;
}

int INISaveFile(const char *FileName, int Location, const char *AppName)
{
  if (!INIBuffer || !FileName || !FileName[0] || Location < 0 || Location >= 6)
    return 0;
  if (Location == 3 && (!AppName || !AppName[0]))
    return 0;
  if (Location < 2)
    Location = 5;
  HDD_TAP_PushDir();
  int ok = EnterLocation(Location, AppName) && Replace(FileName);
  HDD_TAP_PopDir();
  return ok;
}
