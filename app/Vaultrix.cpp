/* Vaultrix: a dated, de-duplicated daily backup of /ProgramFiles, taken in
 * small steps on the recorder's idle events. */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vaultrix.h"

#define PROGRAM_NAME "Vaultrix"
#define PROGRAM_VERSION "Vaultrix V1.0"
#define SETTINGS_FOLDER "/ProgramFiles/Settings/Vaultrix"
#define SETTINGS_FILE "Vaultrix.ini"
#define WAIT_TICKS 30000
#define PROBE_TICKS 500
/* "/mnt/sd" + letter + partition + DestPath + "/" */
#define EXT_PROBE_SIZE 80
#define EXT_DEST_PATH_MAX (EXT_PROBE_SIZE - 11)
/* Major 8, minor 2: the recorder's own disk partition. */
#define UNMOUNTED_DEVICE 2050

enum { STATE_START = 0, STATE_WAIT = 1, STATE_SCAN = 2, STATE_COPY = 3, STATE_RESERVED = 4, STATE_FINISH = 5 };

extern "C" {
dword State, StateTimeout, VXDidNASMount, LastBackup;
char SourceRoot[ROOT_SIZE], DestRoot[ROOT_SIZE], LastDestRoot[ROOT_SIZE];
char LogString[LOGSTRING_SIZE];
VXDB CurrentVXDB, LastVXDB;
char INIDestDevice[INI_DEVICE_SIZE], INIDestPath[INI_PATH_SIZE], INIMountCommand[INI_MOUNT_SIZE];
dword INILastBackup;
int32_t TotalCopiedFiles, TotalLinkedFiles, TotalLinkTries, TotalLinkFailures, TotalCopyFailures;
uint64_t TotalCopiedSize, TotalLinkedSize, TotalCopyFailureSize;
int32_t TotalSourceDirs, TotalSourceFiles;
uint64_t TotalSourceFileSize;
}

#define LOGF(...) (StrFormat(LogString, sizeof LogString, __VA_ARGS__), WriteLog(LogString))

/* ------------------------------------------------------------------------
 * Application log and size text
 * ---------------------------------------------------------------------- */

void WriteLog(char *text)
{
  static dword FirstCall = 1;
  CallTraceEnter("WriteLog");
  HDD_TAP_PushDir();
  if (FirstCall) {
    HDD_ChangeDir("/ProgramFiles");
    TAP_Hdd_Create("Settings", TAP_ATTR_FOLDER);
    HDD_ChangeDir("Settings");
    TAP_Hdd_Create(PROGRAM_NAME, TAP_ATTR_FOLDER);
    FirstCall = 0;
  }
  HDD_ChangeDir(SETTINGS_FOLDER);
  StrMkISO(text);
  LogEntryGeneric(PROGRAM_NAME, 1, text);
  HDD_TAP_PopDir();
  CallTraceExit(NULL);
}

/* out must hold 16 bytes: 9 characters in the supported range (below 4 TiB),
 * at most 13 above it. */
void FileSizeToString(dword low, dword high, char *out)
{
  CallTraceEnter("FileSizeToString");
  if (out) {
    uint64_t s = (uint64_t)high << 32 | low;
    const float k = 1.0f / 1024.0f;
    if (s < 1024)
      StrFormat(out, 16, "%d B", (int)low);
    else if (s < (1ull << 20))
      StrFormat(out, 16, "%.1f kB", (double)((float)s * k));
    else if (s < (1ull << 30))
      StrFormat(out, 16, "%.1f MB", (double)((float)(s >> 10) * k));
    else if (s < (1ull << 40))
      StrFormat(out, 16, "%.1f GB", (double)((float)(s >> 20) * k));
    else
      StrFormat(out, 16, "%.1f TB", (double)((float)(s >> 30) * k));
  }
  CallTraceExit(NULL);
}

/* ------------------------------------------------------------------------
 * Settings keys
 * ---------------------------------------------------------------------- */

void LoadINI(void)
{
  CallTraceEnter("LoadINI");
  HDD_TAP_PushDir();
  HDD_ChangeDir(SETTINGS_FOLDER);
  if (INIOpenFile(SETTINGS_FILE, NULL) == 1) {
    WriteLog((char *)"Vaultrix.ini not found!");
  } else {
    INIGetString("DestDevice", INIDestDevice, "", sizeof INIDestDevice);
    INIGetString("DestPath", INIDestPath, "", sizeof INIDestPath);
    INIGetString("MountCommand", INIMountCommand, "", sizeof INIMountCommand);
    INILastBackup = INIGetHexWord("LastBackup", 0, 0, 0xFFFF);
  }
  INICloseFile();
  HDD_TAP_PopDir();
  CallTraceExit(NULL);
}

void INIUpdateBackupDate(void)
{
  CallTraceEnter("INIUpdateBackupDate");
  INILastBackup = LastBackup >> 16;
  HDD_TAP_PushDir();
  HDD_ChangeDir(SETTINGS_FOLDER);
  /* A file that is there but could not be read must not be replaced by the
   * bits that were read: the user would lose the destination keys. */
  if (INIOpenFile(SETTINGS_FILE, PROGRAM_NAME) != 0) {
    INISetHexWord("LastBackup", (word)INILastBackup);
    if (!INISaveFile(SETTINGS_FILE, 2, NULL))
      WriteLog((char *)"Vaultrix.ini could not be saved!");
  } else {
    WriteLog((char *)"Vaultrix.ini could not be read, backup date not saved!");
  }
  INICloseFile();
  HDD_TAP_PopDir();
  CallTraceExit(NULL);
}

/* ------------------------------------------------------------------------
 * Destinations
 * ---------------------------------------------------------------------- */

int (*DestStat)(const char *path, struct stat64 *st) = lstat64;

int MakeFolders(const char *path)
{
  CallTraceEnter("MakeFolders");
  char buffer[PATH_SIZE];
  int ok = path && path[0] && StrCopy(buffer, sizeof buffer, path) < (int)sizeof buffer;
  for (char *p = buffer + 1; ok && *p; p++) {
    if (*p != '/')
      continue;
    *p = 0;
    if (mkdir(buffer, 0777) != 0 && errno != EEXIST)
      ok = 0;
    *p = '/';
  }
  if (ok && mkdir(buffer, 0777) != 0 && errno != EEXIST)
    ok = 0;
  struct stat64 st;
  ok = ok && lstat64(buffer, &st) == 0 && S_ISDIR(st.st_mode);
  CallTraceExit(NULL);
  return ok;
}

int ExtDestPathFits(void)
{
  CallTraceEnter("ExtDestPathFits");
  int ok = strlen(INIDestPath) <= EXT_DEST_PATH_MAX;
  if (!ok)
    LOGF("DestPath is too long for an external disk (%d characters at most)!", EXT_DEST_PATH_MAX);
  CallTraceExit(NULL);
  return ok;
}

/* Copies a probe path that exists into dst; 0 when it does not exist or the
 * path does not fit the probe buffer. */
static int ProbeExt(char *dst, const char *format, ...) __attribute__((format(printf, 2, 3)));
static int ProbeExt(char *dst, const char *format, ...)
{
  char probe[EXT_PROBE_SIZE];
  struct stat64 st;
  va_list ap;
  va_start(ap, format);
  int fits = StrFormatV(probe, sizeof probe, format, ap) < (int)sizeof probe;
  va_end(ap);
  if (!fits || DestStat(probe, &st) != 0)
    return 0;
  StrCopy(dst, ROOT_SIZE, probe);
  return 1;
}

int FindExtBackupDisk(char *dst)
{
  CallTraceEnter("FindExtBackupDisk");
  dst[0] = 0;
  for (char disk = 'b'; disk <= 'z'; disk++) {
    int found = ProbeExt(dst, "/mnt/sd%c%s/", disk, INIDestPath);
    for (int partition = 1; !found && partition <= 8; partition++)
      found = ProbeExt(dst, "/mnt/sd%c%d%s/", disk, partition, INIDestPath);
    if (found) {
      CallTraceExit(NULL);
      return 1;
    }
  }
  CallTraceExit(NULL);
  return 0;
}

int FindNASDisk(char *dst)
{
  CallTraceEnter("FindNASDisk");
  struct stat64 st;
  dst[0] = 0;
  /* The recorder's own disk partition: a share folder there is not mounted. */
  if (DestStat(INIDestPath, &st) != 0 || st.st_dev == UNMOUNTED_DEVICE) {
    CallTraceExit(NULL);
    return 0;
  }
  size_t len = strlen(INIDestPath);
  /* Without the slash the dated folders would land beside DestPath. */
  StrFormat(dst, ROOT_SIZE, "%s%s", INIDestPath, len && INIDestPath[len - 1] == '/' ? "" : "/");
  CallTraceExit(NULL);
  return 1;
}

/* The mount command's last word, or NULL when it has no blank. */
static const char *MountPoint(void)
{
  const char *blank = strrchr(INIMountCommand, ' ');
  return blank ? blank + 1 : NULL;
}

void MountNAS(void)
{
  CallTraceEnter("MountNAS");
  if (!INIMountCommand[0]) {
    CallTraceExit(NULL);
    return;
  }
  VXDidNASMount = 1;
  LOGF("Launching mount command '%s'", INIMountCommand);
  const char *point = MountPoint();
  if (point && point[0] && !MakeFolders(point))
    LOGF("Failed to create mount point '%s'", point);
  StrFormat(LogString, sizeof LogString, "%s &", INIMountCommand);
  (void)system(LogString);
  CallTraceExit(NULL);
}

void UnmountNAS(void)
{
  CallTraceEnter("UnmountNAS");
  const char *point = MountPoint();
  if (point && point[0]) {
    (void)umount(point);
    (void)rmdir(point);
  }
  CallTraceExit(NULL);
}

int PrepareInternalDest(void)
{
  CallTraceEnter("PrepareInternalDest");
  size_t len = strlen(INIDestPath);
  if ((len == 0 || INIDestPath[len - 1] != '/') && len + 1 < sizeof INIDestPath) {
    INIDestPath[len++] = '/';
    INIDestPath[len] = 0;
  }
  /* A DestPath that fills its buffer gets its slash in DestRoot only. */
  int slash = len && INIDestPath[len - 1] == '/';
  StrFormat(DestRoot, sizeof DestRoot, "%s%s", INIDestPath, slash ? "" : "/");
  LOGF("Destination: internal disk @ '%s'", DestRoot);
  int ok = MakeFolders(DestRoot);
  if (!ok) {
    WriteLog((char *)"Destination path does not exist!");
    State = STATE_FINISH;
  }
  CallTraceExit(NULL);
  return ok;
}

/* ------------------------------------------------------------------------
 * Catalogue
 * ---------------------------------------------------------------------- */

void FreeVXDB(VXDB *record)
{
  CallTraceEnter("FreeVXDB");
  if (record) {
    if (record->Entries)
      TAP_MemFree(record->Entries);
    if (record->Text)
      TAP_MemFree(record->Text);
    memset(record, 0, sizeof *record);
    record->TextLength = 1;
  }
  CallTraceExit(NULL);
}

int LoadVXDB(const char *path, VXDB *record)
{
  CallTraceEnter("LoadVXDB");
  FreeVXDB(record);
  CallTraceExit(NULL);
  return 0;
}

int SaveVXDB(const char *path, VXDB *record)
{
  CallTraceEnter("SaveVXDB");
  CallTraceExit(NULL);
  return 0;
}

int32_t AddTextToVXDB(const char *text, VXDB *record)
{
  CallTraceEnter("AddTextToVXDB");
  CallTraceExit(NULL);
  return -1;
}

VXDBEntry *AddToVXDB(const char *path, VXDB *record)
{
  CallTraceEnter("AddToVXDB");
  CallTraceExit(NULL);
  return NULL;
}

/* ------------------------------------------------------------------------
 * Source scan and previous-backup lookup
 * ---------------------------------------------------------------------- */

int RecursiveScan(void)
{
  CallTraceEnter("RecursiveScan");
  FreeVXDB(&CurrentVXDB);
  CallTraceExit(NULL);
  return 1;
}

void FindLastBackup(VXDB *record)
{
  CallTraceEnter("FindLastBackup");
  FreeVXDB(record);
  WriteLog((char *)"No previous backup found, this might be the first one.");
  CallTraceExit(NULL);
}

/* ------------------------------------------------------------------------
 * Copy pass
 * ---------------------------------------------------------------------- */

int CopyFile(const char *source, const char *destination)
{
  CallTraceEnter("CopyFile");
  CallTraceExit(NULL);
  return 0;
}

int DoBackup(VXDB *current, VXDB *previous)
{
  CallTraceEnter("DoBackup");
  CallTraceExit(NULL);
  return 1;
}

/* ------------------------------------------------------------------------
 * Entry and state machine
 * ---------------------------------------------------------------------- */

/* Tick comparisons by difference, so that a wrap of the 32-bit counter
 * during the wait changes nothing. */
static int TickPassed(dword tick, dword deadline)
{
  return (int32_t)(tick - deadline) > 0;
}

static dword NextCheck;

static void StartWait(void)
{
  StateTimeout = TAP_GetTick() + WAIT_TICKS;
  State = STATE_WAIT;
  /* Probe on the very next idle event. */
  NextCheck = TAP_GetTick() - 1;
}

static void StepStart(void)
{
  word mjd;
  byte hour, minute, second;

  VXDidNASMount = 0;
  LoadINI();
  TAP_GetTime(&mjd, &hour, &minute, &second);
  if ((dword)mjd == INILastBackup) {
    WriteLog((char *)"Today's backup has been done already.");
    State = STATE_FINISH;
    return;
  }
  LastBackup = Now(NULL);
  StrCopy(SourceRoot, sizeof SourceRoot, "/mnt/hd/ProgramFiles");
  State = STATE_SCAN;
  LowerCase(INIDestDevice);
  switch (INIDestDevice[0]) {
  case 'i':
    PrepareInternalDest();
    break;
  case 'e':
    if (!ExtDestPathFits()) {
      State = STATE_FINISH;
      break;
    }
    if (!FindExtBackupDisk(DestRoot))
      WriteLog((char *)"Destination: external disk not found, waiting up to 3 minutes");
    StartWait();
    break;
  case 'n':
    if (!FindNASDisk(DestRoot)) {
      WriteLog((char *)"Destination: NAS not mounted, waiting up to 3 minutes");
      MountNAS();
    }
    StartWait();
    break;
  default:
    WriteLog((char *)"No valid destination, check Vaultrix.ini!");
    State = STATE_FINISH;
    break;
  }
}

static void StepWait(void)
{
  if (!TickPassed(TAP_GetTick(), NextCheck))
    return;
  if (INIDestDevice[0] == 'e' && FindExtBackupDisk(DestRoot)) {
    LOGF("Destination: external disk @ '%s'", DestRoot);
    State = STATE_SCAN;
  } else if (INIDestDevice[0] == 'n' && FindNASDisk(DestRoot)) {
    LOGF("Destination: NAS @ '%s'", DestRoot);
    State = STATE_SCAN;
  }
  if (TickPassed(TAP_GetTick(), StateTimeout)) {
    WriteLog((char *)"Destination: mount wait timeout!");
    State = STATE_FINISH;
  }
  NextCheck = TAP_GetTick() + PROBE_TICKS;
}

static void StepScan(void)
{
  word year;
  byte month, day, weekday;

  if (!RecursiveScan())
    return;
  FindLastBackup(&LastVXDB);
  TAP_ExtractMjd((word)(LastBackup >> 16), &year, &month, &day, &weekday);
  size_t len = strlen(DestRoot);
  if (StrFormat(DestRoot + len, sizeof DestRoot - len, "%4.4d-%2.2d-%2.2d/", year, month, day) >=
      (int)(sizeof DestRoot - len)) {
    DestRoot[len] = 0;
    WriteLog((char *)"Destination path too long for the dated folder!");
    State = STATE_FINISH;
    return;
  }
  if (!MakeFolders(DestRoot))
    LOGF("Failed to create '%s'", DestRoot);
  State = STATE_COPY;
}

static void StepCopy(void)
{
  if (!DoBackup(&CurrentVXDB, &LastVXDB))
    return;
  if (StrFormat(LogString, sizeof LogString, "%s%s", DestRoot, VXDB_FILE_NAME) < (int)sizeof LogString)
    (void)SaveVXDB(LogString, &CurrentVXDB);
  INIUpdateBackupDate();
  State = STATE_FINISH;
}

static void StepFinish(void)
{
  if (VXDidNASMount)
    UnmountNAS();
  WriteLog((char *)"Exiting");
  TAP_Exit();
}

int TAP_Main(void)
{
  CallTraceInit();
  CallTraceEnable(0);
  CallTraceEnter("TAP_Main");
  StrFormat(LogString, sizeof LogString, "%s", PROGRAM_VERSION);
  WriteLog(LogString);
  CallTraceExit(NULL);
  return 1;
}

dword TAP_EventHandler(dword event, dword param)
{
  static dword DoNotReenter;
  dword code = event & 0xFFFF;

  if (DoNotReenter)
    return param;
  DoNotReenter = 1;
  CallTraceEnter("TAP_EventHandler");
  if (code == EVT_IDLE && State <= STATE_FINISH) {
    switch (State) {
    case STATE_START: StepStart(); break;
    case STATE_WAIT: StepWait(); break;
    case STATE_SCAN: StepScan(); break;
    case STATE_COPY: StepCopy(); break;
    case STATE_RESERVED: break;
    case STATE_FINISH: StepFinish(); break;
    }
  }
  if (code == EVT_STOP)
    TAP_Exit();
  CallTraceExit(NULL);
  DoNotReenter = 0;
  return param;
}
