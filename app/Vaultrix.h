/* The backup application: globals and procedures of the Vaultrix unit. */
#ifndef VAULTRIX_APP_H
#define VAULTRIX_APP_H

#include "../support/Kovlib.h"
#include "VXDBFormat.h"

struct stat64;

#define PATH_SIZE 512
#define ROOT_SIZE 256
#define LOGSTRING_SIZE 512
#define INI_DEVICE_SIZE 20
#define INI_PATH_SIZE 128
#define INI_MOUNT_SIZE 256

/* The catalogue record; its nine fields are the 36-byte file header, where
 * the two references are words without meaning. */
typedef struct VXDB {
  char Magic[4];
  dword Version;
  dword BackupDate;
  int32_t EntriesAllocated;
  int32_t NrEntries;
  VXDBEntry *Entries;
  int32_t TextAllocated;
  int32_t TextLength;
  char *Text;
} VXDB;

extern "C" {
/* State machine */
extern dword State, StateTimeout, VXDidNASMount, LastBackup;
extern char SourceRoot[ROOT_SIZE], DestRoot[ROOT_SIZE], LastDestRoot[ROOT_SIZE];
extern char LogString[LOGSTRING_SIZE];
extern VXDB CurrentVXDB, LastVXDB;
int TAP_Main(void);
dword TAP_EventHandler(dword event, dword param);

/* Settings keys */
extern char INIDestDevice[INI_DEVICE_SIZE], INIDestPath[INI_PATH_SIZE], INIMountCommand[INI_MOUNT_SIZE];
extern dword INILastBackup;
/* Days of backups kept besides today's (0: all); the free space in MB a
 * backup leaves on its disk, INI_MIN_FREE_UNSET for the disk's default. */
#define INI_MIN_FREE_UNSET 0xFFFFFFFFu
extern dword INIKeepDays, INIMinFreeMB;
/* Above 1: the quick check, with every file read in full at least once in
 * that many backups.  LastReadStart: which catalogue the plug-in last saved
 * and when that backup began reading files, by the kernel's clock. */
extern dword INIFullCheckDays;
#define INI_READ_START_SIZE 32
extern char INILastReadStart[INI_READ_START_SIZE];
void LoadINI(void);
void INIUpdateBackupDate(void);

/* Destinations */
int FindExtBackupDisk(char *dst);
int FindNASDisk(char *dst);
void MountNAS(void);
void UnmountNAS(void);
int PrepareInternalDest(void);
/* Creates a folder and every missing parent, like mkdir -p, without a shell. */
int MakeFolders(const char *path);
/* The destination during a run: NoteDestination records the device of
 * DestRoot once found; MakeDatedFolder makes the dated folder (DestRoot, of
 * which the first rootLength bytes are the destination root) on that device
 * and removes an earlier catalogue there; MakeBackupFolder creates folders
 * only below it; DestinationThere says it is still there.  1 on success. */
void NoteDestination(void);
int MakeDatedFolder(size_t rootLength);
int MakeBackupFolder(const char *path);
int DestinationThere(void);
/* The copies on the disk: syncfs of the destination, or sync. */
void FlushDestination(void);
/* 1 when DestPath fits every external-disk probe path, else logs why not. */
int ExtDestPathFits(void);
/* How the destination probes look at a path: lstat64, replaced by tests. */
extern int (*DestStat)(const char *path, struct stat64 *st);

/* What the destination disk can hold: found once per run in the dated
 * folder, and the check before a copy takes a destination name. */
extern int DestHoldsLinks, DestIgnoresCase;
void ProbeDestination(const char *folder);
int MayWriteName(const VXDB *current, int32_t index, const char *destination);

/* Copy pass */
extern int32_t TotalCopiedFiles, TotalLinkedFiles, TotalLinkTries, TotalLinkFailures, TotalCopyFailures;
extern uint64_t TotalCopiedSize, TotalLinkedSize, TotalCopyFailureSize;
/* Files taken over unread by the quick check; earlier copies read to prove
 * them; files whose contents changed under unchanged time stamps; earlier
 * copies found damaged. */
extern int32_t TotalQuickFiles, TotalCheckedCopies, TotalSilentChanges, TotalDamagedCopies;
extern uint64_t TotalQuickSize, TotalCheckedSize;
int DoBackup(VXDB *current, VXDB *previous);
int CopyFile(const char *source, const char *destination);

/* Application log and size text */
void WriteLog(char *text);
void FileSizeToString(dword low, dword high, char *out);

/* Catalogue */
void FreeVXDB(VXDB *record);
int LoadVXDB(const char *path, VXDB *record);
int SaveVXDB(const char *path, VXDB *record);
int32_t AddTextToVXDB(const char *text, VXDB *record);
VXDBEntry *AddToVXDB(const char *path, VXDB *record);

/* Source scan and previous-backup lookup */
extern int32_t TotalSourceDirs, TotalSourceFiles;
/* Files and folders the scan refused (path too long, folder not entered). */
extern int32_t TotalRefusedPaths;
/* Entries that are not regular files, passed over by the scan or the copy. */
extern int32_t TotalSkippedEntries;
extern uint64_t TotalSourceFileSize;
int RecursiveScan(void);
void FindLastBackup(VXDB *record);
}

#endif
