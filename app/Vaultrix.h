/* The backup application: what its stages share.  A backup flows through
 * them in this order, each stage in a file of its own, driven one step per
 * idle event by the state machine in Vaultrix.cpp:
 *
 *   Settings     Vaultrix.ini            -> the INI values
 *   Destination  the INI values          -> DestRoot, the destination root
 *   Scan         /ProgramFiles           -> CurrentVXDB, every file listed
 *   Lookup       the destination root    -> LastVXDB and LastDestRoot, the
 *                                           newest earlier backup
 *   DatedFolder  DestRoot + today's date -> today's folder, watched while
 *                                           the run lasts
 *   DiskProbe    today's folder          -> what the disk can hold
 *   Reserve      the disk's free space   -> whether a copy may go ahead
 *   CopyPass     CurrentVXDB, LastVXDB   -> copies and links; CurrentVXDB
 *   CopyEntry      (one entry in hand,     then describes the bytes in
 *   QuickCheck     which files it may      today's folder
 *                  take over unread)
 *   Catalogue    CurrentVXDB             -> "VXDB.db", or "VXDB.partial"
 *                                           when the backup is not complete,
 *                                           and its notes "VXDB.notes"
 *   Removal      the destination root    -> expired backups removed, but
 *                                           never the last good copy of a
 *                                           file CurrentVXDB lists
 *
 * Log carries every stage's messages; FileCalls holds the few file calls
 * that several stages make.  What is not declared here is static in the
 * file of its stage.  Each stage with state of its own has a Reset function
 * that puts it as it was at load, holding no memory and no handle: a
 * resident plug-in calls them all before each backup and before it waits. */
#ifndef VAULTRIX_APP_H
#define VAULTRIX_APP_H

#include <sys/stat.h>

#include "../checksum/Md5.h"
#include "../support/Kovlib.h"
#include "VXDBFormat.h"

#define PATH_SIZE 512
#define ROOT_SIZE 256
#define LOGSTRING_SIZE 512
#define INI_DEVICE_SIZE 20
#define INI_PATH_SIZE 128
#define INI_MOUNT_SIZE 256

#define PROGRAM_NAME "Vaultrix"
#define SETTINGS_FOLDER "/ProgramFiles/Settings/Vaultrix"

/* STATE_SLEEP: resident between daily backups (BackupTime set). */
enum { STATE_START = 0, STATE_WAIT = 1, STATE_SCAN = 2, STATE_COPY = 3, STATE_REMOVE = 4, STATE_FINISH = 5,
       STATE_SLEEP = 6 };

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

/* Folders of the destination root, each with a date: the lookup's (whose
 * catalogue header is sound, so that only the best is loaded whole), and
 * the removal's (named by their date). */
typedef struct BackupCandidate {
  dword Date;
  int32_t Name; /* offset of the folder's name in the name buffer */
  dword Order;  /* the lookup's: where it stands among the backups (VXDBBackupOrder) */
} BackupCandidate;

typedef struct CandidateList {
  BackupCandidate *Items;
  int32_t Count, Allocated;
  char *Names;
  int32_t NamesUsed, NamesAllocated;
} CandidateList;

/* A name in a folder as fstatat sees it, never following a link. */
typedef struct FileFacts {
  uint64_t Device, Inode, Size;
  dword Mode, Links;
} FileFacts;

/* An entry's Reserved word, which is always zero on disk, says in memory
 * what the entry is: the readings the copy pass still owes it (its sweep),
 * the notes that go to VXDB.notes (VXDB_NOTE_ bits, shifted), and what
 * this run found.  Cleared when a catalogue is loaded and when it is saved. */
#define ENTRY_SWEEP 0xFFu
#define ENTRY_NOTE_SHIFT 8
#define ENTRY_NOTES (0xFFu << ENTRY_NOTE_SHIFT)
#define ENTRY_CHANGED (VXDB_NOTE_CHANGED << ENTRY_NOTE_SHIFT)
#define ENTRY_FOLDER (VXDB_NOTE_FOLDER << ENTRY_NOTE_SHIFT)
#define ENTRY_REFUSED 0x10000u  /* the scan could not take it: never copied */
#define ENTRY_TO_PROVE 0x20000u /* copied on whole-second stamps, to be read once more */
#define ENTRY_DAMAGED 0x40000u  /* of an earlier backup: this run found its copy damaged */

#define LOGF(...) (StrFormat(LogString, sizeof LogString, __VA_ARGS__), WriteLog(LogString))

extern "C" {
/* State machine and entry points (Vaultrix.cpp).  LastBackup: the moment
 * this backup began, which names the dated folder. */
extern dword State, StateTimeout, VXDidNASMount, LastBackup;
extern char SourceRoot[ROOT_SIZE], DestRoot[ROOT_SIZE], LastDestRoot[ROOT_SIZE];
extern char LogString[LOGSTRING_SIZE];
/* This backup's catalogue, built by the scan and completed by the copy
 * pass; the newest earlier one, found by the lookup. */
extern VXDB CurrentVXDB, LastVXDB;
int TAP_Main(void);
dword TAP_EventHandler(dword event, dword param);

/* Application log and size text (Log.cpp) */
void WriteLog(char *text);
void FileSizeToString(dword low, dword high, char *out);

/* Settings keys (Settings.cpp) */
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
/* BackupTime, in minutes after midnight: the plug-in stays loaded and backs
 * up daily at that time; INI_TIME_UNSET: one backup per load. */
#define INI_TIME_UNSET 0xFFFFFFFFu
extern dword INIBackupTime;
/* 1 when the settings file was found and read. */
int LoadINI(void);
void INIUpdateBackupDate(void);
void ResetSettings(void);

/* Destinations (Destination.cpp) */
int FindExtBackupDisk(char *dst);
int FindNASDisk(char *dst);
void MountNAS(void);
void UnmountNAS(void);
int PrepareInternalDest(void);
/* Creates a folder and every missing parent, like mkdir -p, without a shell. */
int MakeFolders(const char *path);
/* 1 when DestPath fits every external-disk probe path, else logs why not. */
int ExtDestPathFits(void);
/* How the destination probes look at a path: lstat64, replaced by tests. */
extern int (*DestStat)(const char *path, struct stat64 *st);
/* 1 when the folder inner is outer or lies below it, by identity. */
int FolderWithin(const char *inner, const char *outer);
/* Ends the run when DestRoot lies inside the source; 1 then. */
int RefuseDestInSource(void);
void ResetDestination(void);

/* The destination during a run (DatedFolder.cpp): NoteDestination records
 * the device of DestRoot once found; MakeDatedFolder makes the dated folder
 * (DestRoot, of which the first rootLength bytes are the destination root)
 * on that device and removes an earlier catalogue there; MakeBackupFolder
 * creates folders only below it; DestinationThere says it is still there.
 * 1 on success. */
void NoteDestination(void);
int MakeDatedFolder(size_t rootLength);
int MakeBackupFolder(const char *path);
int DestinationThere(void);
/* Whether MakeDatedFolder found today's folder already there (a rerun). */
extern int DatedFolderExisted;
/* The folder's marker as unfinished goes once its catalogue stands. */
void ClearUnfinished(void);
/* The final flush before the catalogue, in steps: StartFlush, then
 * StepFlush once per idle event until it gives 1 (done) or -1 (failed,
 * logged). */
void StartFlush(void);
int StepFlush(void);
void ResetDatedFolder(void);

/* What the destination disk can hold (DiskProbe.cpp): found once per run in
 * the dated folder, and the check before a copy takes a destination name. */
extern int DestHoldsLinks, DestIgnoresCase;
/* 0 where a file's link count stays 1 with a second link (sshfs): what a
 * removal frees cannot be told there. */
extern int DestCountsLinks;
void ProbeDestination(const char *folder);
int MayWriteName(const VXDB *current, int32_t index, const char *destination);
/* Why the destination refused to take a file, for its log line; whether
 * it refused the file for its name or size, as it will at every backup. */
const char *RefusalReason(int err, const char *destination);
int DiskRefused(int err, const char *destination);
void ResetDiskProbe(void);

/* Source scan (Scan.cpp) */
extern int32_t TotalSourceDirs, TotalSourceFiles;
/* Files and folders the scan refused (a name or path too long, a reserved
 * name, an entry it could not read, a folder not entered), each listed in
 * the catalogue as not backed up. */
extern int32_t TotalRefusedPaths, TotalRefusedFolders;
/* Entries that are not regular files, passed over by the scan or the copy. */
extern int32_t TotalSkippedEntries;
extern uint64_t TotalSourceFileSize;
/* Set when the scan stopped at its folder limit: the catalogue misses
 * folders, so the backup is not recorded as done. */
extern int ScanIncomplete;
int RecursiveScan(void);
void ResetScan(void);

/* Catalogue (Catalogue.cpp) */
void FreeVXDB(VXDB *record);
int LoadVXDB(const char *path, VXDB *record);
/* A catalogue's header from fd, checked as a load checks it; 1 when sound. */
int ReadVXDBHeader(int fd, VXDBHeader *h);
int SaveVXDB(const char *path, VXDB *record);
/* Today's catalogue as "VXDB.db" when complete, else "VXDB.partial". */
int SaveTodaysCatalogue(VXDB *record, int complete);
int32_t AddTextToVXDB(const char *text, VXDB *record);
VXDBEntry *AddToVXDB(const char *path, VXDB *record);
/* AddToVXDB, with the digest left to the copy pass when hash is 0. */
VXDBEntry *AppendEntry(const char *path, VXDB *record, int hash);
/* An entry the scan met and could not take (ENTRY_REFUSED, with
 * ENTRY_FOLDER for a folder): folder ("/a/b/") and name cut to a path the
 * catalogue's readers take, listed once; unique: not looked for first. */
void AppendRefused(const char *folder, const char *name, int isFolder, int unique, VXDB *record);
/* Why a source entry could not be looked at or read, for its log line. */
const char *ReadFailure(int err);
/* Copied whole, read, and not found damaged by this run, nor noted as
 * changed while read. */
int GoodCopy(const VXDBEntry *e);
/* The text at an offset of the pool; "" for one outside it. */
const char *EntryText(const VXDB *db, int32_t offset);
/* The earlier entry of the file folder + name, whose CRC e holds. */
const VXDBEntry *FindPrevious(const VXDB *previous, const VXDBEntry *e, const char *folder, const char *name);
/* 0 for an entry listed but not backed up (its digest all zero). */
int BackedUp(const VXDBEntry *e);
void DropEntry(VXDB *record, int32_t index);
/* A name the plug-in writes beside a catalogue, in any letter case. */
int ReservedName(const char *name);

/* Previous-backup lookup (Lookup.cpp) */
void FindLastBackup(VXDB *record);
/* A real calendar day as YYYY-MM-DD: the only name a backup folder has. */
int IsDatedName(const char *name);
int AddCandidate(CandidateList *list, dword date, const char *name);
void FreeCandidates(CandidateList *list);
/* Ends the run when today's folder holds a backup and a later backup
 * exists (the clock went back); 1 then. */
int RefuseLaterBackup(const char *today);
void ResetLookup(void);

/* Quick check and rolling verification (QuickCheck.cpp).  ReadStartText:
 * the settings' LastReadStart for this backup; 0 when none is kept.
 * EndQuickCheck looks at the clock again when the pass is over; SaveShare
 * keeps the share read in full for the next backup.  KernelClock: the
 * kernel's seconds, replaced by tests. */
void StartQuickCheck(const VXDB *previous);
void EndQuickCheck(void);
void SaveShare(void);
extern dword (*KernelClock)(void);
int StampsUnchanged(const VXDBEntry *p, const struct stat64 *st);
int InTodaysShare(const VXDBEntry *e);
int ReadStartText(char *text, size_t size);
void ResetQuickCheck(void);

/* The entry in hand (CopyEntry.cpp), which the copy pass takes up, carries
 * on over idle events, and counts once it is done with. */
/* What is being read: nothing, the source for a digest to compare with the
 * earlier backup's, the source for the copy (hashed as it is written), or
 * the earlier backup's copy, to prove it before it is linked to.
 * READ_WRITTEN: a copy read and written whole, which the next event makes
 * durable.  READ_VERIFY: the source read once more, to prove a copy made
 * within the second of its stamps. */
enum { READ_NONE = 0, READ_HASH = 1, READ_COPY = 2, READ_CHECK = 3, READ_WRITTEN = 4, READ_VERIFY = 5 };
/* ENTRY_NO_ROOM: not copied to keep the free-space reserve; the pass stops.
 * ENTRY_AGAIN: changed while read, to be read again after the others.
 * ENTRY_UNPROVEN: copied, to be read again after the others once the
 * second of its stamps has passed; ENTRY_WAIT: that second has not passed
 * yet.  ENTRY_RECLAIM: no room, to be tried again once expired backups
 * have gone. */
enum { ENTRY_FAILED = 0, ENTRY_COPIED = 1, ENTRY_LINKED = 2, ENTRY_SKIPPED = 3, ENTRY_NO_ROOM = 4, ENTRY_AGAIN = 5,
       ENTRY_UNPROVEN = 6, ENTRY_WAIT = 7, ENTRY_RECLAIM = 8 };
/* Readings of a file that changed while read, after the first.  An entry
 * waiting for one holds the count in Reserved, which is zero again before
 * the pass ends. */
#define REREADS 2

/* The entry in hand, kept across idle events. */
typedef struct CopyJob {
  int32_t Reading;
  int32_t Outcome;
  int32_t LinkFailed;         /* copying after a failed hard link */
  int32_t Unchanged;          /* size and time stamps as in the earlier backup */
  int32_t InShare;            /* in today's share of files read in full */
  int32_t Quick;              /* digest taken over unread */
  int32_t NameOk;             /* the destination name is this entry's to take */
  int32_t Refused;            /* failed for a name or size the disk refuses */
  int32_t HasOld;             /* Old names the earlier copy, not the source */
  int32_t Settled;            /* no more readings, whatever the source does */
  int32_t KeptEarlier;        /* the earlier copy stands for a changing file */
  int32_t Unproven;           /* copied within the second of the source's stamps */
  int32_t Verifying;          /* reading to prove the copy already in the backup */
  dword OpenedAt;             /* the kernel's second when the source was opened */
  int In, Out, Check;         /* -1 when not open */
  uint64_t Done;              /* bytes of the source read in this reading */
  uint64_t Checked;           /* bytes of the earlier copy read */
  uint64_t Scanned;           /* the size the scan saw: the summary counts it */
  dword Unwaited;             /* bytes of the copy written, not yet waited for */
  struct stat64 Stat;         /* the source as opened */
  MD5Context Md5;
  VXDBEntry *Entry;
  VXDBEntry *Previous;        /* the same file in the earlier backup, or none */
  char Source[PATH_SIZE], Destination[PATH_SIZE], Old[PATH_SIZE];
} CopyJob;

extern CopyJob Job;
void StartEntries(void);
void StartEntryEvent(void);
void ResetEntry(int started);
void BeginEntry(VXDB *current, VXDB *previous, VXDBEntry *e);
void ContinueEntry(void);
/* The copy read and written whole (READ_WRITTEN) made durable. */
void CommitCopy(void);
/* 1 once this event has taken its ticks. */
int OutOfTime(void);
void CloseSourceFolder(void);

/* Copy pass (CopyPass.cpp) */
extern int32_t TotalCopiedFiles, TotalLinkedFiles, TotalLinkTries, TotalLinkFailures, TotalCopyFailures;
extern uint64_t TotalCopiedSize, TotalLinkedSize, TotalCopyFailureSize;
/* Files taken over unread by the quick check; earlier copies read to prove
 * them; files whose contents changed under unchanged time stamps; earlier
 * copies found damaged. */
extern int32_t TotalQuickFiles, TotalCheckedCopies, TotalSilentChanges, TotalDamagedCopies;
/* Failed files the destination refuses at every backup (a name clash, a
 * name or size the disk rejects); files that still changed while read
 * after their last reading. */
extern int32_t TotalRefusedNames, TotalChangedWhileRead;
extern uint64_t TotalQuickSize, TotalCheckedSize;
int DoBackup(VXDB *current, VXDB *previous);
void ResetCopyPass(void);

/* Free-space reserve (Reserve.cpp): set once a copy would eat into it. */
extern int DestNearlyFull;
/* 1: room; 0: the reserve stopped the pass (logged); -1: expired backups
 * are to be removed first, and the copy tried again. */
int RoomFor(uint64_t size);
int SpaceShort(void);
/* When a copy runs out of room: whether removing expired backups may still
 * make some (KeepDays set, and the last round removed something), asking
 * for it, and the rounds: 0 removes what the rules let go, each later one
 * the oldest expired complete backup that KeepDays + 1 would keep. */
int MayReclaim(void);
void AskReclaim(void);
int ReclaimAsked(void);
int ReclaimRound(void);
void ReclaimDone(int removed);
void EndReclaim(void);
void ResetReserve(void);

/* Removal of expired backups, and of the files a rerun's catalogue does not
 * list from today's folder, one walk through folder handles (Removal.cpp).
 * Each Start says whether it began; StepRemove carries it on, 1 once over.
 * todayHeld: today's catalogue stands, so that what it holds intact needs
 * no earlier copy; reclaim: the round of a copy that ran out of room, or
 * -1.  RemovedBackups: how many the last removal took. */
int StartRemoval(int todayHeld, int reclaim);
int StartTidy(void);
int StepRemove(void);
int RemovedBackups(void);
void ResetRemoval(void);

/* File calls several stages make (FileCalls.cpp); 1 on success. */
int ReadAll(int fd, void *buffer, dword size);
int WriteAll(int fd, const void *buffer, dword size);
int SyncFolderOf(const char *path);
int LinkFile(const char *existing, const char *name);
/* Calls on a name within an open folder, never following it as a link
 * (FileCalls.cpp).  OpenAt and OpenFolderAt give a handle or -1; the others
 * 1 on success, 0 with errno set. */
int OpenAt(int folder, const char *name, int flags, int mode);
/* With O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK. */
int OpenFolderAt(int folder, const char *name);
int StatAt(int folder, const char *name, FileFacts *facts);
int RemoveAt(int folder, const char *name, int isFolder);
/* The folder's next records (getdents64): their bytes, 0 at the end, -1 on
 * failure.  NextListed: the name of the record at *at, which it moves on;
 * NULL after the last. */
int ListFolder(int folder, void *buffer, dword size);
const char *NextListed(const void *buffer, int length, int *at);
/* 1: an empty regular file by that name; 0: none; -1: something else. */
int MarkerAt(int folder, const char *name);
/* An empty file made durable under that name, never through a link, into a
 * FIFO or over anything there: 1 when it stands (made now, or an empty file
 * was there), -1 when something else holds the name, 0 on failure. */
int MakeMarker(int folder, const char *name);
/* The path by which the kernel knows an open folder. */
int FolderPath(int folder, char *path, dword size);
}

#endif
