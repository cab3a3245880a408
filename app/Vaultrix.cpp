/* Vaultrix: a dated, de-duplicated daily backup of /ProgramFiles, taken in
 * small steps on the recorder's idle events. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utime.h>

#include "../checksum/CRC32.h"
#include "../checksum/Md5.h"
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

enum { STATE_START = 0, STATE_WAIT = 1, STATE_SCAN = 2, STATE_COPY = 3, STATE_REMOVE = 4, STATE_FINISH = 5 };

extern "C" {
dword State, StateTimeout, VXDidNASMount, LastBackup;
char SourceRoot[ROOT_SIZE], DestRoot[ROOT_SIZE], LastDestRoot[ROOT_SIZE];
char LogString[LOGSTRING_SIZE];
VXDB CurrentVXDB, LastVXDB;
char INIDestDevice[INI_DEVICE_SIZE], INIDestPath[INI_PATH_SIZE], INIMountCommand[INI_MOUNT_SIZE];
dword INILastBackup, INIKeepDays, INIMinFreeMB = INI_MIN_FREE_UNSET, INIFullCheckDays;
char INILastReadStart[INI_READ_START_SIZE];
int32_t TotalCopiedFiles, TotalLinkedFiles, TotalLinkTries, TotalLinkFailures, TotalCopyFailures;
uint64_t TotalCopiedSize, TotalLinkedSize, TotalCopyFailureSize;
int32_t TotalQuickFiles, TotalCheckedCopies, TotalSilentChanges, TotalDamagedCopies;
uint64_t TotalQuickSize, TotalCheckedSize;
int32_t TotalSourceDirs, TotalSourceFiles;
uint64_t TotalSourceFileSize;
}

/* When this backup began reading files, by the kernel's clock (0 before),
 * and the number of its share of files read in full. */
static dword ReadStart, ShareDay;

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
    INIKeepDays = INIGetCount("KeepDays", 0);
    INIMinFreeMB = INIGetCount("MinFreeMB", INI_MIN_FREE_UNSET);
    INIFullCheckDays = INIGetCount("FullCheckDays", 0);
    INIGetString("LastReadStart", INILastReadStart, "", sizeof INILastReadStart);
  }
  INICloseFile();
  HDD_TAP_PopDir();
  CallTraceExit(NULL);
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
    /* Only where the quick check is on: the default leaves the file as it
     * was but for the date. */
    if (INIFullCheckDays > 1 && ReadStart) {
      StrFormat(INILastReadStart, sizeof INILastReadStart, "%08lx %lu %lu", (unsigned long)LastBackup,
                (unsigned long)ReadStart, (unsigned long)ShareDay);
      INISetString("LastReadStart", INILastReadStart);
    }
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

static const char *MountPoint(void);

/* 0 when the mount command's mount point holds DestPath (at or below it) but
 * nothing is mounted there yet: the folder made for the share, or a mount
 * that failed, is no share.  Mounted means on another device than the
 * folder above it. */
static int ShareMountedAtItsPoint(void)
{
  char point[INI_MOUNT_SIZE], parent[INI_MOUNT_SIZE];
  const char *word = MountPoint();
  if (!word || word[0] != '/')
    return 1;
  size_t len = strlen(word);
  while (len > 1 && word[len - 1] == '/')
    len--;
  if (strncmp(INIDestPath, word, len) != 0 || (INIDestPath[len] && INIDestPath[len] != '/' && len > 1))
    return 1;
  TAP_MemCpy(point, word, (dword)len);
  point[len] = 0;
  StrCopy(parent, sizeof parent, point);
  char *slash = strrchr(parent, '/');
  slash[slash == parent ? 1 : 0] = 0;
  struct stat64 at, above;
  return DestStat(point, &at) == 0 && DestStat(parent, &above) == 0 && at.st_dev != above.st_dev;
}

int FindNASDisk(char *dst)
{
  CallTraceEnter("FindNASDisk");
  struct stat64 st;
  dst[0] = 0;
  /* The recorder's own disk partition: a share folder there is not mounted. */
  if (DestStat(INIDestPath, &st) != 0 || st.st_dev == UNMOUNTED_DEVICE || !ShareMountedAtItsPoint()) {
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

/* 1 when the folder inner is outer or lies below it.  Judged by the
 * identity (device, inode) of each folder met on the way up from inner by
 * "..", so other spellings, symbolic links and bind mounts are seen through;
 * a tail of inner that does not exist yet is judged by the part that does.
 * A walk that cannot be finished counts as inside. */
static int FolderWithin(const char *inner, const char *outer)
{
  static char path[PATH_SIZE];
  struct stat64 target, here, up;
  if (stat64(outer, &target) != 0)
    return 0;
  if (StrCopy(path, sizeof path, inner) >= (int)sizeof path)
    return 1;
  while (stat64(path, &here) != 0) {
    char *slash = strrchr(path, '/');
    if (!slash)
      StrCopy(path, sizeof path, ".");
    else if (slash == path && path[1] == 0)
      return 0;
    else if (slash == path)
      path[1] = 0; /* the root is what exists of "/name" */
    else
      *slash = 0;
  }
  for (;;) {
    if (here.st_dev == target.st_dev && here.st_ino == target.st_ino)
      return 1;
    size_t len = strlen(path);
    if (StrCopy(path + len, sizeof path - len, "/..") >= (int)(sizeof path - len) || stat64(path, &up) != 0)
      return 1;
    if (up.st_dev == here.st_dev && up.st_ino == here.st_ino)
      return 0; /* the root, its own parent */
    here = up;
  }
}

/* A destination inside the source would back itself up, growing with
 * every backup until the folder limit. */
static int RefuseDestInSource(void)
{
  if (!FolderWithin(DestRoot, SourceRoot))
    return 0;
  WriteLog((char *)"DestPath lies inside the source folder!");
  State = STATE_FINISH;
  return 1;
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
  if (RefuseDestInSource()) {
    CallTraceExit(NULL);
    return 0;
  }
  int ok = MakeFolders(DestRoot);
  if (!ok) {
    WriteLog((char *)"Destination path does not exist!");
    State = STATE_FINISH;
  }
  NoteDestination();
  CallTraceExit(NULL);
  return ok;
}

/* ------------------------------------------------------------------------
 * Catalogue
 * ---------------------------------------------------------------------- */

/* Entries encoded per write while saving. */
#define VXDB_SAVE_BATCH 64

static int ReadAll(int fd, void *buffer, dword size)
{
  byte *p = (byte *)buffer;
  while (size > 0) {
    ssize_t got = read(fd, p, size);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return 0;
    p += got;
    size -= (dword)got;
  }
  return 1;
}

static int WriteAll(int fd, const void *buffer, dword size)
{
  const byte *p = (const byte *)buffer;
  while (size > 0) {
    ssize_t put = write(fd, p, size);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return 0;
    p += put;
    size -= (dword)put;
  }
  return 1;
}

/* Indexes beside the records, so that a catalogue of n files costs n
 * searches of a few probes rather than n linear walks: the strings of a
 * text pool by their bytes, and the entries of a catalogue by PathCRC.  An
 * index is open addressing with linear probing over int32 slots (-1 empty),
 * at most half full.  It only speeds a search up: a record whose index
 * cannot be had (no memory, or none of the few places free) is searched
 * linearly, with the same result.  An index is valid while its record still
 * holds the buffer and the count it was built over; FreeVXDB drops it. */
#define VXDB_INDEX_PLACES 4
#define VXDB_INDEX_MIN_SLOTS 256

typedef struct VXDBIndex {
  const VXDB *Owner;
  const void *Base;  /* the record's Text or Entries when last brought up to date */
  int32_t Covered;   /* its TextLength or NrEntries then */
  int32_t Used;      /* slots in use */
  dword Mask;        /* slots - 1; the slot count is a power of two */
  int32_t *Slots;
} VXDBIndex;

static VXDBIndex TextIndexes[VXDB_INDEX_PLACES], EntryIndexes[VXDB_INDEX_PLACES];

/* FNV-1a with a final mix, so that the low bits that pick a slot depend on
 * every byte; byte by byte, the same on any host. */
static dword Mix(dword h)
{
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  return h ^ (h >> 16);
}

static dword TextHash(const char *text)
{
  dword h = 2166136261u;
  for (const byte *p = (const byte *)text; *p; p++)
    h = (h ^ *p) * 16777619u;
  return Mix(h);
}

static void DropIndex(VXDBIndex *places, const VXDB *owner)
{
  for (int i = 0; i < VXDB_INDEX_PLACES; i++)
    if (places[i].Owner == owner) {
      if (places[i].Slots)
        TAP_MemFree(places[i].Slots);
      memset(&places[i], 0, sizeof places[i]);
    }
}

/* The owner's index if it still describes the record, else none (and a
 * stale one is dropped). */
static VXDBIndex *ValidIndex(VXDBIndex *places, const VXDB *owner, const void *base, int32_t covered)
{
  for (int i = 0; i < VXDB_INDEX_PLACES; i++)
    if (places[i].Owner == owner) {
      if (base && places[i].Base == base && places[i].Covered == covered)
        return &places[i];
      DropIndex(places, owner);
      return NULL;
    }
  return NULL;
}

/* An empty table of at least 2 x count slots in a free place; none when
 * there is no free place or no memory. */
static VXDBIndex *NewIndex(VXDBIndex *places, const VXDB *owner, int32_t count)
{
  VXDBIndex *index = NULL;
  for (int i = 0; i < VXDB_INDEX_PLACES && !index; i++)
    if (!places[i].Owner)
      index = &places[i];
  dword slots = VXDB_INDEX_MIN_SLOTS;
  while (slots < 0x10000000u && slots / 2 <= (dword)count)
    slots *= 2;
  if (!index || slots / 2 <= (dword)count)
    return NULL;
  int32_t *table = (int32_t *)TAP_MemAlloc(slots * sizeof *table);
  if (!table)
    return NULL;
  memset(table, 0xFF, slots * sizeof *table);
  index->Owner = owner;
  index->Slots = table;
  index->Mask = slots - 1;
  index->Used = 0;
  return index;
}

static void PutSlot(VXDBIndex *index, dword hash, int32_t value)
{
  dword at = hash & index->Mask;
  while (index->Slots[at] >= 0)
    at = (at + 1) & index->Mask;
  index->Slots[at] = value;
  index->Used++;
}

/* The offset of the first string equal to text, as the walk from offset 0
 * meets them; -1 when there is none. */
static int32_t FindTextLinear(const VXDB *record, const char *text)
{
  for (int32_t at = 0; at < record->TextLength; at += (int32_t)strlen(record->Text + at) + 1)
    if (strcmp(record->Text + at, text) == 0)
      return at;
  return -1;
}

static int32_t FindTextIndexed(const VXDBIndex *index, const VXDB *record, const char *text, dword hash)
{
  for (dword at = hash & index->Mask; index->Slots[at] >= 0; at = (at + 1) & index->Mask)
    if (strcmp(record->Text + index->Slots[at], text) == 0)
      return index->Slots[at];
  return -1;
}

/* Indexes the whole pool in the order of the linear walk, each string at
 * its first offset.  A pool whose last string runs past TextLength (never
 * one built here or loaded) stays unindexed: the walk reads past the end. */
static int FreeIndexPlace(const VXDBIndex *places)
{
  for (int i = 0; i < VXDB_INDEX_PLACES; i++)
    if (!places[i].Owner)
      return 1;
  return 0;
}

static void BuildTextIndex(const VXDB *record)
{
  if (!record->Text || record->TextLength < 1 || record->Text[record->TextLength - 1] != 0 ||
      !FreeIndexPlace(TextIndexes))
    return;
  int32_t count = 0;
  for (int32_t at = 0; at < record->TextLength; at += (int32_t)strlen(record->Text + at) + 1)
    count++;
  VXDBIndex *index = NewIndex(TextIndexes, record, count);
  if (!index)
    return;
  for (int32_t at = 0; at < record->TextLength; at += (int32_t)strlen(record->Text + at) + 1) {
    dword hash = TextHash(record->Text + at);
    if (FindTextIndexed(index, record, record->Text + at, hash) < 0)
      PutSlot(index, hash, at);
  }
  index->Base = record->Text;
  index->Covered = record->TextLength;
}

/* The string just appended at offset at: into the index, which doubles
 * when it would be more than half full; rebuilt from the pool when there
 * was none. */
static void IndexNewText(VXDBIndex *index, const VXDB *record, int32_t at, dword hash)
{
  if (!index) {
    BuildTextIndex(record);
    return;
  }
  if ((dword)index->Used + 1 > (index->Mask + 1) / 2) {
    DropIndex(TextIndexes, record);
    BuildTextIndex(record);
    return;
  }
  PutSlot(index, hash, at);
  index->Base = record->Text;
  index->Covered = record->TextLength;
}

/* The CRC index of a catalogue's entries, built on first use. */
static VXDBIndex *EntryIndexOf(const VXDB *record)
{
  if (!record->Entries || record->NrEntries <= 0)
    return NULL;
  VXDBIndex *index = ValidIndex(EntryIndexes, record, record->Entries, record->NrEntries);
  if (index)
    return index;
  index = NewIndex(EntryIndexes, record, record->NrEntries);
  if (!index)
    return NULL;
  /* In catalogue order: entries of equal CRC then lie along one probe
   * sequence in that order, so the first match is the linear search's. */
  for (int32_t k = 0; k < record->NrEntries; k++)
    PutSlot(index, Mix(record->Entries[k].PathCRC), k);
  index->Base = record->Entries;
  index->Covered = record->NrEntries;
  return index;
}

void FreeVXDB(VXDB *record)
{
  CallTraceEnter("FreeVXDB");
  if (record) {
    if (record->Entries)
      TAP_MemFree(record->Entries);
    if (record->Text)
      TAP_MemFree(record->Text);
    DropIndex(TextIndexes, record);
    DropIndex(EntryIndexes, record);
    memset(record, 0, sizeof *record);
    record->TextLength = 1;
  }
  CallTraceExit(NULL);
}

/* The file is untrusted: its counts are checked against its size before
 * anything is allocated, and its offsets against its text pool before any
 * entry is used.  A failed load leaves the record empty. */
static int LoadVXDBFrom(int fd, VXDB *record)
{
  struct stat64 st;
  byte raw[VXDB_HEADER_SIZE];
  VXDBHeader h;

  if (fstat64(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ReadAll(fd, raw, sizeof raw))
    return 0;
  VXDBDecodeHeader(raw, &h);
  if (VXDBCheckHeader(&h, (uint64_t)st.st_size) != VXDB_OK)
    return 0;
  memcpy(record->Magic, h.Magic, sizeof record->Magic);
  record->Version = h.Version;
  record->BackupDate = h.BackupDate;
  record->NrEntries = record->EntriesAllocated = h.NrEntries;
  record->TextLength = record->TextAllocated = h.TextLength;
  if (h.NrEntries == 0) {
    record->TextAllocated = 0;
    return 1;
  }
  dword entryBytes = (dword)h.NrEntries * VXDB_ENTRY_SIZE;
  record->Entries = (VXDBEntry *)TAP_MemAlloc(entryBytes);
  if (!record->Entries || !ReadAll(fd, record->Entries, entryBytes))
    return 0;
  record->Text = (char *)TAP_MemAlloc((dword)h.TextLength);
  if (!record->Text || !ReadAll(fd, record->Text, (dword)h.TextLength))
    return 0;
  if (VXDBCheckBody((const uint8_t *)record->Entries, h.NrEntries, (const uint8_t *)record->Text, h.TextLength,
                    NULL) != VXDB_OK)
    return 0;
  for (int32_t i = 0; i < h.NrEntries; i++)
    VXDBDecodeEntry((const uint8_t *)&record->Entries[i], &record->Entries[i]);
  return 1;
}

int LoadVXDB(const char *path, VXDB *record)
{
  CallTraceEnter("LoadVXDB");
  FreeVXDB(record);
  int ok = 0;
  if (path && record) {
    /* Non-blocking: a FIFO under the destination root must not hang the
     * lookup; LoadVXDBFrom reads regular files only. */
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd >= 0) {
      ok = LoadVXDBFrom(fd, record);
      close(fd);
    }
    if (!ok)
      FreeVXDB(record);
  }
  CallTraceExit(NULL);
  return ok;
}

static int SaveVXDBTo(int fd, VXDB *record)
{
  byte raw[VXDB_SAVE_BATCH * VXDB_ENTRY_SIZE];
  VXDBHeader h;

  memcpy(h.Magic, record->Magic, sizeof h.Magic);
  h.Version = record->Version;
  h.BackupDate = record->BackupDate;
  h.EntriesAllocated = record->EntriesAllocated;
  h.NrEntries = record->NrEntries;
  h.EntriesRef = 0; /* the reference words mean nothing on disk */
  h.TextAllocated = record->TextAllocated;
  h.TextLength = record->TextLength;
  h.TextRef = 0;
  VXDBEncodeHeader(&h, raw);
  if (!WriteAll(fd, raw, VXDB_HEADER_SIZE))
    return 0;
  for (int32_t i = 0; i < record->NrEntries;) {
    int32_t n = 0;
    for (; n < VXDB_SAVE_BATCH && i < record->NrEntries; n++, i++)
      VXDBEncodeEntry(&record->Entries[i], raw + n * VXDB_ENTRY_SIZE);
    if (!WriteAll(fd, raw, (dword)n * VXDB_ENTRY_SIZE))
      return 0;
  }
  if (record->Text && !WriteAll(fd, record->Text, (dword)record->TextLength))
    return 0;
  return fsync(fd) == 0;
}

/* Makes what was done in a folder durable; the result is the fsync's. */
static int SyncFolder(const char *path)
{
  int fd = open(path, O_RDONLY);
  if (fd < 0)
    return 0;
  int ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

/* Makes the names in the folder of path durable (a rename, a removal):
 * fsync of the folder itself.  1 on success. */
static int SyncFolderOf(const char *path)
{
  char folder[PATH_SIZE];
  if (StrCopy(folder, sizeof folder, path) >= (int)sizeof folder)
    return 0;
  char *slash = strrchr(folder, '/');
  if (!slash)
    return 0;
  slash[slash == folder ? 1 : 0] = 0;
  return SyncFolder(folder);
}

/* Written beside the old catalogue, synced, renamed over it, and its folder
 * synced: "VXDB.db" is always either the old or the whole new catalogue, and
 * once this returns 1 it stays the new one through a power cut. */
int SaveVXDB(const char *path, VXDB *record)
{
  CallTraceEnter("SaveVXDB");
  char temp[PATH_SIZE];
  int ok = 0;

  if (!path || !record) {
    CallTraceExit(NULL);
    return 0;
  }
  memcpy(record->Magic, VXDB_MAGIC, sizeof record->Magic);
  record->Version = VXDB_VERSION;
  record->BackupDate = LastBackup;
  if (StrFormat(temp, sizeof temp, "%s%s", path, VXDB_SAVE_SUFFIX) < (int)sizeof temp) {
    (void)unlink(temp);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL, 0777);
    if (fd >= 0) {
      ok = SaveVXDBTo(fd, record);
      ok = close(fd) == 0 && ok;
      ok = ok && rename(temp, path) == 0;
      if (!ok)
        (void)unlink(temp);
      ok = ok && SyncFolderOf(path);
    }
  }
  if (!ok)
    WriteLog((char *)"Failed to save the Vaultrix database");
  CallTraceExit(NULL);
  return ok;
}

int32_t AddTextToVXDB(const char *text, VXDB *record)
{
  CallTraceEnter("AddTextToVXDB");
  if (!text || !record) {
    CallTraceExit(NULL);
    return -1;
  }
  dword hash = TextHash(text);
  VXDBIndex *index = ValidIndex(TextIndexes, record, record->Text, record->TextLength);
  if (record->TextAllocated >= 1 && record->TextLength >= 1) {
    int32_t at = index ? FindTextIndexed(index, record, text, hash) : FindTextLinear(record, text);
    if (at >= 0) {
      CallTraceExit(NULL);
      return at;
    }
  }
  int32_t length = (int32_t)strlen(text);
  int32_t used = record->TextLength;
  if (used + length + 2 >= record->TextAllocated) {
    int32_t size = used + length + VXDB_TEXT_STEP;
    char *grown = (uint64_t)used + (uint64_t)length + VXDB_TEXT_STEP <= VXDB_MAX_BODY ? (char *)TAP_MemAlloc((dword)size)
                                                                                    : NULL;
    if (!grown) {
      LOGF("Failed to increase the VDXD text to %d characters!", (int)size);
      State = STATE_FINISH;
      CallTraceExit(NULL);
      return -1;
    }
    memset(grown, 0, (dword)size);
    if (record->TextAllocated > 0) {
      memcpy(grown, record->Text, (dword)used);
      TAP_MemFree(record->Text);
    }
    record->TextAllocated = size;
    record->Text = grown;
  }
  memcpy(record->Text + used, text, (dword)length + 1);
  record->TextLength += length + 1;
  IndexNewText(index, record, used, hash);
  CallTraceExit(NULL);
  return used;
}

/* A source file at the catalogue's place would be overwritten by the
 * catalogue, or deleted by its save.  Letter case is ignored: on a FAT disk
 * vxdb.db is VXDB.db. */
static int ReservedForCatalogue(const char *relative)
{
  static const char *const reserved[] = {"/" VXDB_FILE_NAME, "/" VXDB_FILE_NAME VXDB_SAVE_SUFFIX};
  for (size_t k = 0; k < sizeof reserved / sizeof reserved[0]; k++)
    if (strlen(relative) == strlen(reserved[k]) && strncasecmp(relative, reserved[k], strlen(relative)) == 0)
      return 1;
  return 0;
}

/* Entries that are not regular files (links, FIFOs, sockets, devices):
 * logged by name and counted apart from the files that failed. */
int32_t TotalSkippedEntries;

/* path must be SourceRoot followed by the file's relative path.  The scan
 * lists without hashing: the copy pass hashes the bytes it reads. */
static VXDBEntry *AppendEntry(const char *path, VXDB *record, int hash)
{
  CallTraceEnter("AddToVXDB");
  struct stat64 st;
  char folder[PATH_SIZE];
  size_t rootLength = strlen(SourceRoot);

  if (!record || !path || strncmp(path, SourceRoot, rootLength) != 0 || lstat64(path, &st) != 0) {
    CallTraceExit(NULL);
    return NULL;
  }
  /* Listed as a file, but replaced since: a FIFO or device is never read. */
  if (!S_ISREG(st.st_mode)) {
    LOGF("Not a regular file, not backed up: '%s'", path);
    TotalSkippedEntries++;
    CallTraceExit(NULL);
    return NULL;
  }
  const char *relative = path + rootLength;
  if (ReservedForCatalogue(relative)) {
    LOGF("Name reserved for the catalogue, not backed up: '%s'", path);
    TotalRefusedPaths++;
    CallTraceExit(NULL);
    return NULL;
  }
  const char *slash = strrchr(relative, '/');
  if (slash && (size_t)(slash - relative) + 1 >= sizeof folder) {
    LOGF("Path too long, not backed up: '%s'", path);
    CallTraceExit(NULL);
    return NULL;
  }
  if (record->NrEntries >= record->EntriesAllocated) {
    int32_t slots = record->EntriesAllocated + VXDB_ENTRY_STEP;
    uint64_t bytes = (uint64_t)slots * VXDB_ENTRY_SIZE;
    VXDBEntry *grown = bytes <= VXDB_MAX_BODY ? (VXDBEntry *)TAP_MemAlloc((dword)bytes) : NULL;
    if (!grown) {
      LOGF("Failed to increase the VDXD to %d entries!", (int)slots);
      State = STATE_FINISH;
      CallTraceExit(NULL);
      return NULL;
    }
    memset(grown, 0, (dword)bytes);
    if (record->EntriesAllocated > 0) {
      memcpy(grown, record->Entries, (dword)record->NrEntries * VXDB_ENTRY_SIZE);
      TAP_MemFree(record->Entries);
    }
    record->Entries = grown;
    record->EntriesAllocated = slots;
  }
  VXDBEntry *entry = &record->Entries[record->NrEntries];
  memset(entry, 0, sizeof *entry);
  entry->ChangeTime = (int32_t)st.st_ctime;
  entry->ModifyTime = (int32_t)st.st_mtime;
  entry->FileSize = (uint64_t)st.st_size;
  if (hash)
    (void)MD5AbsFile(path, entry->MD5); /* unreadable: the digest stays zero */
  entry->PathCRC = CRC32(0, relative, (dword)strlen(relative));
  const char *name = relative;
  if (slash) {
    size_t n = (size_t)(slash - relative) + 1;
    memcpy(folder, relative, n);
    folder[n] = 0;
    entry->FolderOffset = AddTextToVXDB(folder, record);
    name = slash + 1;
  }
  entry->NameOffset = AddTextToVXDB(name, record);
  record->NrEntries++;
  CallTraceExit(NULL);
  return entry;
}

VXDBEntry *AddToVXDB(const char *path, VXDB *record)
{
  return AppendEntry(path, record, 1);
}

/* ------------------------------------------------------------------------
 * Source scan and previous-backup lookup
 * ---------------------------------------------------------------------- */

#define SCAN_ROOT "/ProgramFiles"
#define SCAN_QUEUE_SIZE 1024
#define SCAN_MAX_FOLDERS 1000 /* the 1002nd folder taken ends the scan */

enum { SCAN_START = 0, SCAN_NEXT_FOLDER = 1, SCAN_NEXT_ENTRY = 2, SCAN_REPORT = 3 };

/* Entries the scan could not take (a path beyond its buffer, a folder it
 * could not enter); the copy pass reports them among its failures. */
int32_t TotalRefusedPaths;

/* Set when the scan stopped at its folder limit: the catalogue misses
 * folders, so the backup is not recorded as done. */
static int ScanIncomplete;

/* Folders queued but not listed: the one at the cursor and all after it. */
static int32_t FoldersLeft(const StringDBRecord *queue)
{
  int32_t n = 0;
  for (const char *p = queue->cursor; p && p < queue->end && *p; p += strlen(p) + 1)
    n++;
  return n;
}

static void RefusePath(const char *what, const char *folder, const char *name)
{
  LOGF("%s: '%s/%s'", what, folder, name);
  TotalRefusedPaths++;
}

/* A folder the queue could not take would be missing from a backup that
 * still counts as done: out of memory ends the run instead. */
static void QueueFolder(StringDBRecord *queue, const char *path)
{
  dword at = StringDBAdd(queue, path);
  const char *queued = StringDBGet(queue, at);
  if (!queued || strcmp(queued, path) != 0) {
    LOGF("Failed to queue the folder '%s'!", path);
    State = STATE_FINISH;
  }
}

int RecursiveScan(void)
{
  CallTraceEnter("RecursiveScan");
  static int32_t ScanState, NrFiles, i, MaxLoop;
  static StringDBRecord StringDB;
  static TapFolderEntry FolderEntry;
  char path[PATH_SIZE];
  int done = 0;

  const char *folder = StringDBGet(&StringDB, StringDBCurrent(&StringDB));
  switch (ScanState) {
  case SCAN_START:
    WriteLog((char *)"Performing recursive scan");
    FreeVXDB(&CurrentVXDB);
    TotalSourceFileSize = 0;
    TotalSourceFiles = TotalSourceDirs = MaxLoop = TotalRefusedPaths = ScanIncomplete = TotalSkippedEntries = 0;
    HDD_TAP_PushDir();
    (void)StringDBInit(&StringDB, SCAN_QUEUE_SIZE); /* a failure shows when the root is queued */
    QueueFolder(&StringDB, SCAN_ROOT);
    ScanState = SCAN_NEXT_FOLDER;
    break;

  case SCAN_NEXT_FOLDER:
    if (StringDBEOF(&StringDB)) {
      ScanState = SCAN_REPORT;
      break;
    }
    if (MaxLoop++ > SCAN_MAX_FOLDERS) {
      WriteLog((char *)"Recursive scan seems to be in an endless loop!");
      /* Subfolders of these were never seen: the count is at least. */
      int32_t left = FoldersLeft(&StringDB);
      LOGF("%d folders were not scanned", (int)left);
      TotalRefusedPaths += left;
      ScanIncomplete = 1;
      StringDBDestroy(&StringDB);
      HDD_TAP_PopDir();
      done = 1;
      break;
    }
    /* Listing anyway would list the previous folder under this one's name. */
    if (!HDD_ChangeDir(folder)) {
      LOGF("Failed to enter '%s'", folder);
      TotalRefusedPaths++;
      NrFiles = 0;
    } else {
      TotalSourceDirs++;
      NrFiles = (int32_t)TAP_Hdd_FindFirst(&FolderEntry, "");
    }
    i = 0;
    ScanState = SCAN_NEXT_ENTRY;
    break;

  case SCAN_NEXT_ENTRY:
    if (i >= NrFiles) {
      StringDBNext(&StringDB);
      ScanState = SCAN_NEXT_FOLDER;
      break;
    }
    if (FolderEntry.Attr == TAP_ATTR_FOLDER) {
      if (StrFormat(path, sizeof path, "%s/%s", folder, FolderEntry.Name) < (int)sizeof path)
        QueueFolder(&StringDB, path);
      else
        RefusePath("Path too long, folder not backed up", folder, FolderEntry.Name);
    } else if (FolderEntry.Attr == TAP_ATTR_FILE) {
      /* SourceRoot is "/mnt/hd" + SCAN_ROOT: the folder's Linux path. */
      if (StrFormat(path, sizeof path, "%s%s/%s", SourceRoot, folder + strlen(SCAN_ROOT), FolderEntry.Name) <
          (int)sizeof path) {
        VXDBEntry *entry = AppendEntry(path, &CurrentVXDB, 0);
        if (entry) {
          TotalSourceFiles++;
          TotalSourceFileSize += entry->FileSize;
        }
      } else {
        RefusePath("Path too long, file not backed up", folder, FolderEntry.Name);
      }
    } else if (strlen(FolderEntry.Name) + 1 >= sizeof FolderEntry.Name) {
      /* The host cut the name to fit its entry and could not say what it is. */
      RefusePath("Name too long, not backed up", folder, FolderEntry.Name);
    } else {
      LOGF("Not a file or folder, not backed up: '%s/%s'", folder, FolderEntry.Name);
      TotalSkippedEntries++;
    }
    TAP_Hdd_FindNext(&FolderEntry);
    i++;
    break;

  case SCAN_REPORT:
    FileSizeToString((dword)TotalSourceFileSize, (dword)(TotalSourceFileSize >> 32), path);
    LOGF("Scan result: %d folders, %d files, %s", (int)TotalSourceDirs, (int)TotalSourceFiles, path);
    StringDBDestroy(&StringDB);
    HDD_TAP_PopDir();
    done = 1;
    break;
  }
  CallTraceExit(NULL);
  return done;
}

/* Folders of the destination root whose catalogue header is sound, with the
 * date it states: the lookup loads only the best of them whole. */
typedef struct BackupCandidate {
  dword Date;
  int32_t Name; /* offset of the folder's name in the name buffer */
} BackupCandidate;

typedef struct CandidateList {
  BackupCandidate *Items;
  int32_t Count, Allocated;
  char *Names;
  int32_t NamesUsed, NamesAllocated;
} CandidateList;

#define CANDIDATE_STEP 64
#define CANDIDATE_NAMES_STEP 4096

/* Reads the header only, with the checks LoadVXDB makes of it, so that a
 * folder passed over here would fail its full load too. */
static int ReadVXDBDate(const char *path, dword *date)
{
  struct stat64 st;
  byte raw[VXDB_HEADER_SIZE];
  VXDBHeader h;
  int fd = open(path, O_RDONLY | O_NONBLOCK); /* a FIFO must not hang the lookup */
  if (fd < 0)
    return 0;
  int ok = fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadAll(fd, raw, sizeof raw);
  if (ok) {
    VXDBDecodeHeader(raw, &h);
    ok = VXDBCheckHeader(&h, (uint64_t)st.st_size) == VXDB_OK;
    *date = h.BackupDate;
  }
  close(fd);
  return ok;
}

static void FreeCandidates(CandidateList *list)
{
  if (list->Items)
    TAP_MemFree(list->Items);
  if (list->Names)
    TAP_MemFree(list->Names);
  memset(list, 0, sizeof *list);
}

/* Moves a buffer into a larger one; 0 when there is no memory, with the old
 * buffer kept. */
static int GrowBuffer(void **buffer, int32_t used, int32_t size)
{
  void *grown = TAP_MemAlloc((dword)size);
  if (!grown)
    return 0;
  if (*buffer) {
    memcpy(grown, *buffer, (dword)used);
    TAP_MemFree(*buffer);
  }
  *buffer = grown;
  return 1;
}

static int AddCandidate(CandidateList *list, dword date, const char *name)
{
  const int32_t item = (int32_t)sizeof(BackupCandidate);
  int32_t length = (int32_t)strlen(name) + 1;
  if (list->Count == list->Allocated) {
    if (!GrowBuffer((void **)&list->Items, list->Count * item, (list->Allocated + CANDIDATE_STEP) * item))
      return 0;
    list->Allocated += CANDIDATE_STEP;
  }
  if (list->NamesUsed + length > list->NamesAllocated) {
    int32_t size = list->NamesAllocated + length + CANDIDATE_NAMES_STEP;
    if (!GrowBuffer((void **)&list->Names, list->NamesUsed, size))
      return 0;
    list->NamesAllocated = size;
  }
  memcpy(list->Names + list->NamesUsed, name, (dword)length);
  list->Items[list->Count].Date = date;
  list->Items[list->Count].Name = list->NamesUsed;
  list->NamesUsed += length;
  list->Count++;
  return 1;
}

static int IsDatedName(const char *name)
{
  for (int k = 0; k < 10; k++)
    if (k == 4 || k == 7 ? name[k] != '-' : name[k] < '0' || name[k] > '9')
      return 0;
  return name[10] == 0;
}

/* Every backup folder is named by its date, as "%4.4d-%2.2d-%2.2d"; any
 * other folder holding a catalogue is a copy, not a backup.  A folder that
 * holds the source is never one: linking to it would link to live files. */
static int MayBeBackup(const char *name, const char *folder)
{
  return IsDatedName(name) && !FolderWithin(SourceRoot, folder);
}

/* The folder path of a directory entry that could hold a catalogue: a real
 * folder (links are not followed) whose own path, with "/", fits
 * LastDestRoot, since only such a folder can be chosen.  path receives
 * DestRoot + name + "/VXDB.db". */
static int CatalogueFolder(const char *name, char *path, size_t size)
{
  struct stat64 st;
  if (StrFormat(path, size, "%s%s/", DestRoot, name) >= (int)sizeof LastDestRoot)
    return 0;
  size_t len = strlen(path);
  path[len - 1] = 0;
  if (lstat64(path, &st) != 0 || (st.st_mode & 0xF000) != 0x4000 || !MayBeBackup(name, path))
    return 0;
  return StrFormat(path + len - 1, size - len + 1, "/%s", VXDB_FILE_NAME) < (int)(size - len + 1);
}

/* The whole-load walk: every catalogue loaded, the best kept.  What the
 * lookup falls back to when it has no memory for its list. */
static void LoadEveryCatalogue(DIR *dir, VXDB *record)
{
  VXDB candidate;
  char path[PATH_SIZE];
  struct dirent *entry;

  memset(&candidate, 0, sizeof candidate);
  FreeVXDB(&candidate);
  while ((entry = readdir(dir)) != NULL) {
    if (!CatalogueFolder(entry->d_name, path, sizeof path) || !LoadVXDB(path, &candidate))
      continue;
    if (record->BackupDate < candidate.BackupDate) {
      FreeVXDB(record);
      *record = candidate;
      memset(&candidate, 0, sizeof candidate);
      FreeVXDB(&candidate);
      StrFormat(LastDestRoot, sizeof LastDestRoot, "%s%s/", DestRoot, entry->d_name);
    } else {
      FreeVXDB(&candidate);
    }
  }
}

/* Headers first, then whole loads from the newest down until one loads:
 * the choice of the whole-load walk (newest loadable date, of equal dates
 * the first listed) with one full load in the usual case.  0 when the list
 * could not be kept. */
static int LoadNewestCatalogue(DIR *dir, VXDB *record)
{
  CandidateList list;
  char path[PATH_SIZE];
  struct dirent *entry;
  dword date;

  memset(&list, 0, sizeof list);
  while ((entry = readdir(dir)) != NULL) {
    /* A date of 0 never beats the empty record's. */
    if (CatalogueFolder(entry->d_name, path, sizeof path) && ReadVXDBDate(path, &date) && date != 0 &&
        !AddCandidate(&list, date, entry->d_name)) {
      FreeCandidates(&list);
      return 0;
    }
  }
  for (;;) {
    int32_t best = -1;
    for (int32_t k = 0; k < list.Count; k++)
      if (list.Items[k].Date != 0 && (best < 0 || list.Items[k].Date > list.Items[best].Date))
        best = k;
    if (best < 0)
      break;
    const char *name = list.Names + list.Items[best].Name;
    if (CatalogueFolder(name, path, sizeof path) && LoadVXDB(path, record)) {
      StrFormat(LastDestRoot, sizeof LastDestRoot, "%s%s/", DestRoot, name);
      break;
    }
    list.Items[best].Date = 0; /* broken after all: the next best */
  }
  FreeCandidates(&list);
  return 1;
}

/* The newest catalogue by its own date, not by its folder's name; of equal
 * dates the first listed wins. */
void FindLastBackup(VXDB *record)
{
  CallTraceEnter("FindLastBackup");
  if (!record) {
    CallTraceExit(NULL);
    return;
  }
  FreeVXDB(record);
  DIR *dir = opendir(DestRoot);
  if (dir) {
    int listed = LoadNewestCatalogue(dir, record);
    closedir(dir);
    if (!listed && (dir = opendir(DestRoot)) != NULL) {
      LoadEveryCatalogue(dir, record);
      closedir(dir);
    }
  }
  if (record->BackupDate != 0) {
    word year;
    byte month, day, weekday;
    TAP_ExtractMjd((word)(record->BackupDate >> 16), &year, &month, &day, &weekday);
    LOGF("Last backup found: %4.4d-%2.2d-%2.2d", year, month, day);
  } else {
    WriteLog((char *)"No previous backup found, this might be the first one.");
  }
  CallTraceExit(NULL);
}

/* ------------------------------------------------------------------------
 * What the destination disk can hold
 * ---------------------------------------------------------------------- */

/* Owners' USB disks are often exFAT or FAT: no hard links, one file for
 * names that differ in letter case only, some characters refused.  Until
 * the probe has looked, and when it cannot tell, a disk is taken to hold
 * links and to keep case. */
int DestHoldsLinks = 1, DestIgnoresCase = 0;

#define PROBE_NAME "VXDB.probe"
#define PROBE_OTHER_CASE "vxdb.PROBE"
#define PROBE_LINK "VXDB.probe.link"

static int LinkFile(const char *existing, const char *name);

void ProbeDestination(const char *folder)
{
  CallTraceEnter("ProbeDestination");
  char probe[PATH_SIZE], other[PATH_SIZE], linked[PATH_SIZE];
  struct stat64 st;
  DestHoldsLinks = 1;
  DestIgnoresCase = 0;
  int fd = -1;
  /* A file of either name that is already there (an owner's, in a rerun)
   * is left alone, and the disk keeps the defaults. */
  if (StrFormat(probe, sizeof probe, "%s" PROBE_NAME, folder) < (int)sizeof probe &&
      StrFormat(other, sizeof other, "%s" PROBE_OTHER_CASE, folder) < (int)sizeof other &&
      StrFormat(linked, sizeof linked, "%s" PROBE_LINK, folder) < (int)sizeof linked &&
      lstat64(other, &st) != 0 && lstat64(linked, &st) != 0)
    fd = open(probe, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd >= 0) {
    close(fd);
    DestIgnoresCase = lstat64(other, &st) == 0;
    DestHoldsLinks = LinkFile(probe, linked) == 0;
    (void)unlink(linked);
    (void)unlink(probe);
    if (!DestHoldsLinks)
      WriteLog((char *)"Destination cannot hold hard links: every file is copied");
    if (DestIgnoresCase)
      WriteLog((char *)"Destination ignores letter case");
  }
  CallTraceExit(NULL);
}

/* Why the destination refused to take a file, for its log line. */
static const char *RefusalReason(int err, const char *destination)
{
  static char other[24];
  char folder[PATH_SIZE];
  struct stat64 st;
  switch (err) {
  case EINVAL:
  case EILSEQ:
  case ENAMETOOLONG:
    return "the disk does not accept this name";
  case ENOENT: {
    /* Some drivers refuse a name as if it were missing. */
    StrCopy(folder, sizeof folder, destination);
    char *slash = strrchr(folder, '/');
    if (slash)
      *slash = 0;
    return slash && lstat64(folder, &st) == 0 ? "the disk does not accept this name" : "its folder could not be made";
  }
  case EFBIG:
    return "the file is too large for this disk";
  case ENOSPC:
  case EDQUOT:
    return "the disk is full";
  case EROFS:
    return "the disk is read-only";
  case EACCES:
  case EPERM:
    return "permission denied";
  case EIO:
    return "input/output error";
  default:
    StrFormat(other, sizeof other, "error %d", err);
    return other;
  }
}

static const char *EntryText(const VXDB *db, int32_t offset);

/* An entry's relative path; with fold, in one letter case, as a disk that
 * ignores case compares names.  0 when it does not fit. */
static int EntryPath(const VXDB *db, const VXDBEntry *e, int fold, char *out)
{
  if (StrFormat(out, PATH_SIZE, "%s%s", EntryText(db, e->FolderOffset), EntryText(db, e->NameOffset)) >= PATH_SIZE)
    return 0;
  if (fold)
    LowerCase(out);
  return 1;
}

/* Whether the copy of entry index may take its destination name.  A copy
 * replaces what it finds there (a leftover of an earlier run), but never a
 * file this run wrote: on a disk that ignores case, Case.txt and case.txt
 * are one file, and the second copy would remove the first. */
int MayWriteName(const VXDB *current, int32_t index, const char *destination)
{
  CallTraceEnter("MayWriteName");
  char mine[PATH_SIZE], theirs[PATH_SIZE], earlier[PATH_SIZE];
  struct stat64 found, st;
  int ok = 1;
  if (lstat64(destination, &found) == 0 && EntryPath(current, &current->Entries[index], 1, mine)) {
    size_t length = strlen(mine);
    for (int32_t k = 0; ok && k < index; k++) {
      const VXDBEntry *p = &current->Entries[k];
      if (strlen(EntryText(current, p->FolderOffset)) + strlen(EntryText(current, p->NameOffset)) != length ||
          !EntryPath(current, p, 1, theirs) || strcmp(mine, theirs) != 0)
        continue;
      if (!EntryPath(current, p, 0, theirs))
        continue;
      /* Where the probe could not tell, the disk's own answer: one file. */
      ok = !DestIgnoresCase && !(StrFormat(earlier, sizeof earlier, "%s%s", DestRoot, theirs) < (int)sizeof earlier &&
                                 lstat64(earlier, &st) == 0 && st.st_dev == found.st_dev && st.st_ino == found.st_ino);
      if (!ok && EntryPath(current, &current->Entries[index], 0, mine))
        LOGF("Name clashes with '%s' on this disk: %s", theirs, mine);
    }
  }
  CallTraceExit(NULL);
  return ok;
}

/* ------------------------------------------------------------------------
 * The destination during a run
 * ---------------------------------------------------------------------- */

/* The device of the destination root when it was found, and of the dated
 * folder once made: a destination that vanishes (a USB disk pulled, a share
 * dropped) leaves a bare folder of the recorder's own disk at its path, and
 * nothing may be made there in its place. */
static dev_t DestRootDevice, DatedDevice;
static int DestRootKnown, DatedKnown;

/* A folder at path on the given device. */
static int FolderOn(const char *path, dev_t device)
{
  struct stat64 st;
  return lstat64(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == device;
}

/* Called when DestRoot names the destination that was found. */
void NoteDestination(void)
{
  struct stat64 st;
  DestRootKnown = lstat64(DestRoot, &st) == 0 && S_ISDIR(st.st_mode);
  DestRootDevice = DestRootKnown ? st.st_dev : 0;
}

/* The dated folder is still the one this run made. */
int DestinationThere(void)
{
  return DatedKnown && FolderOn(DestRoot, DatedDevice);
}

/* Creates the folders of path below the dated folder DestRoot, never the
 * dated folder or anything above it.  1 when path is a folder afterwards. */
int MakeBackupFolder(const char *path)
{
  CallTraceEnter("MakeBackupFolder");
  char buffer[PATH_SIZE];
  size_t root = strlen(DestRoot);
  int ok = DestinationThere() && strncmp(path, DestRoot, root) == 0 &&
           StrCopy(buffer, sizeof buffer, path) < (int)sizeof buffer;
  /* Each component after the dated folder, at the slash or end behind it. */
  for (char *p = buffer + root; ok && *p;) {
    p++;
    if ((*p == '/' || *p == 0) && p[-1] != '/') {
      char kept = *p;
      *p = 0;
      if (mkdir(buffer, 0777) != 0 && errno != EEXIST)
        ok = 0;
      *p = kept;
    }
  }
  ok = ok && FolderOn(buffer, DatedDevice);
  CallTraceExit(NULL);
  return ok;
}

/* The path of the dated folder's catalogue; 0 when it does not fit. */
static int TodaysCatalogue(char *path)
{
  return StrFormat(path, PATH_SIZE, "%s%s", DestRoot, VXDB_FILE_NAME) < PATH_SIZE;
}

/* A catalogue describes its folder only while no file there has been
 * replaced: a rerun into today's folder removes it, durably, first. */
static int DropCatalogue(void)
{
  char path[PATH_SIZE];
  if (!TodaysCatalogue(path))
    return 0;
  if (unlink(path) != 0)
    return errno == ENOENT;
  return SyncFolderOf(path);
}

/* Makes the dated folder DestRoot, one level below the destination root
 * (rootLength bytes of it), which must still be the destination that was
 * found.  1 when the copy pass may write there. */
int MakeDatedFolder(size_t rootLength)
{
  CallTraceEnter("MakeDatedFolder");
  char root[ROOT_SIZE];
  StrCopy(root, sizeof root, DestRoot);
  root[rootLength < sizeof root ? rootLength : sizeof root - 1] = 0;
  int ok = 0;
  if (!DestRootKnown || !FolderOn(root, DestRootDevice)) {
    LOGF("Destination vanished: '%s'", root);
  } else if ((mkdir(DestRoot, 0777) != 0 && errno != EEXIST) || !FolderOn(DestRoot, DestRootDevice)) {
    LOGF("Failed to create '%s'", DestRoot);
  } else {
    DatedDevice = DestRootDevice;
    DatedKnown = 1;
    ok = DropCatalogue();
    if (!ok)
      LOGF("Failed to remove the old catalogue of '%s'", DestRoot);
  }
  CallTraceExit(NULL);
  return ok;
}

/* Every copy on the disk before the catalogue that lists it.  The copy pass
 * syncs each copy as it ends, so little is left: syncfs flushes only the
 * destination's file system, sync all of them where the kernel has no
 * syncfs. */
void FlushDestination(void)
{
  CallTraceEnter("FlushDestination");
  int fd = open(DestRoot, O_RDONLY | O_DIRECTORY);
  long done = -1;
#ifdef SYS_syncfs
  if (fd >= 0)
    done = syscall(SYS_syncfs, fd);
#endif
  if (fd >= 0)
    close(fd);
  if (done != 0)
    (void)syscall(SYS_sync);
  CallTraceExit(NULL);
}

/* ------------------------------------------------------------------------
 * Free space reserve
 * ---------------------------------------------------------------------- */

/* The internal disk also holds the recordings: a backup leaves this much. */
#define INTERNAL_RESERVE_MB 1024

static int DestNearlyFull;

static uint64_t ReserveBytes(void)
{
  dword mb = INIMinFreeMB != INI_MIN_FREE_UNSET ? INIMinFreeMB : INIDestDevice[0] == 'i' ? INTERNAL_RESERVE_MB : 0;
  return (uint64_t)mb << 20;
}

/* Free bytes for ordinary files on the disk that holds path, through the
 * statfs system call, as the recorder's C library has no statvfs. */
static int FreeBytes(const char *path, uint64_t *bytes)
{
#ifdef SYS_statfs64
  struct statfs64 st;
  if (syscall(SYS_statfs64, path, sizeof st, &st) != 0)
    return 0;
#else
  struct statfs st;
  if (syscall(SYS_statfs, path, &st) != 0)
    return 0;
#endif
  *bytes = (uint64_t)st.f_bavail * (uint64_t)(st.f_frsize ? st.f_frsize : st.f_bsize);
  return 1;
}

/* 1 when a copy of size bytes leaves the reserve free.  Otherwise the copy
 * pass stops here, once; a disk whose free space cannot be read passes. */
static int RoomFor(uint64_t size)
{
  uint64_t reserve = ReserveBytes(), free;
  char text[16];
  if (DestNearlyFull)
    return 0;
  if (reserve == 0 || !FreeBytes(DestRoot, &free) || free >= reserve + size)
    return 1;
  DestNearlyFull = 1;
  FileSizeToString((dword)free, (dword)(free >> 32), text);
  LOGF("Destination nearly full: backup stopped, %s free", text);
  return 0;
}

/* Whether the whole source, were it all copied, would eat into the reserve. */
static int SpaceShort(void)
{
  uint64_t reserve = ReserveBytes(), free;
  return reserve != 0 && FreeBytes(DestRoot, &free) && free < reserve + TotalSourceFileSize;
}

/* ------------------------------------------------------------------------
 * Copy pass
 * ---------------------------------------------------------------------- */

/* Bytes moved per read and write; static, not on the plug-in's small stack. */
#define COPY_BLOCK 262144
/* File data read (and hashed, and written) per idle event at most: a large
 * file takes many events, so that none holds up the recorder for long. */
#define COPY_EVENT_BYTES (4 * COPY_BLOCK)
/* Data of this pass a flush waits for at most, and copies that share one
 * disk commit. */
#define SYNC_BYTES (4 * COPY_EVENT_BYTES)
#define SYNC_FILES 128

enum { PASS_START = 0, PASS_COPYING = 1, PASS_FINISHED = 2 };
/* What is being read: nothing, the source for a digest to compare with the
 * earlier backup's, the source for the copy (hashed as it is written), or
 * the earlier backup's copy, to prove it before it is linked to. */
enum { READ_NONE = 0, READ_HASH = 1, READ_COPY = 2, READ_CHECK = 3 };
/* ENTRY_NO_ROOM: not copied to keep the free-space reserve; the pass stops. */
enum { ENTRY_FAILED = 0, ENTRY_COPIED = 1, ENTRY_LINKED = 2, ENTRY_SKIPPED = 3, ENTRY_NO_ROOM = 4 };
enum { DURABLE_WRITTEN = 0, DURABLE_FINISHED = 1, DURABLE_ALL = 2 };

/* The entry in hand, kept across idle events. */
typedef struct CopyJob {
  int32_t Reading;
  int32_t Outcome;
  int32_t LinkFailed;         /* copying after a failed hard link */
  int32_t Unchanged;          /* size and time stamps as in the earlier backup */
  int32_t InShare;            /* in today's share of files read in full */
  int32_t Quick;              /* digest taken over unread */
  int In, Out, Check;         /* -1 when not open */
  uint64_t Done;              /* bytes of the source read in this reading */
  uint64_t Checked;           /* bytes of the earlier copy read */
  uint64_t Scanned;           /* the size the scan saw: the summary counts it */
  struct stat64 Stat;         /* the source as opened */
  MD5Context Md5;
  VXDBEntry *Entry;
  const VXDBEntry *Previous;  /* the same file in the earlier backup, or none */
  char Source[PATH_SIZE], Destination[PATH_SIZE], Old[PATH_SIZE];
} CopyJob;

static CopyJob Job; /* its descriptors are set to -1 when the pass starts */

/* The link system call, reached through syscall() as the recorder's C
 * library offers it (4009 on MIPS o32); hosts without link use linkat. */
static int LinkFile(const char *existing, const char *name)
{
#ifdef SYS_link
  return (int)syscall(SYS_link, existing, name);
#else
  return (int)syscall(SYS_linkat, AT_FDCWD, existing, AT_FDCWD, name, 0);
#endif
}

/* A destination that already exists may be a hard link into an earlier
 * backup: it is unlinked, never written into. */
static int RemoveExisting(const char *path)
{
  return unlink(path) == 0 || errno == ENOENT;
}

/* Writes a file's data to the disk and waits for it, without the disk
 * commit of fsync; 0 with errno on failure or where it is not offered. */
static int WriteBack(int fd)
{
  const unsigned flags = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
#if defined(__mips__) && !defined(__mips64)
  /* o32 passes the two 64-bit arguments in aligned register pairs. */
  return syscall(SYS_sync_file_range, fd, 0, 0, 0, 0, 0, flags) == 0;
#else
  return syscall(SYS_sync_file_range, fd, (off_t)0, (off_t)0, flags) == 0;
#endif
}

/* Copies reach the disk before the catalogue that lists them, and no flush
 * waits for more than SYNC_BYTES of this pass's data.  A file being written
 * is flushed every SYNC_BYTES.  A finished copy has its data written back
 * at once; the disk commit that makes it durable, costly per file, is
 * shared: one fsync per SYNC_FILES copies or SYNC_BYTES commits every copy
 * written back before it (the journal commits in order).  Without
 * sync_file_range each copy is flushed alone.  DURABLE_ALL, at the end of
 * the pass, commits what is left.  0 when the disk reported a failure. */
static int MakeDurable(int fd, dword written, int what)
{
  static uint64_t InFile, Finished;
  static int32_t FinishedFiles, NoWriteBack;
  static char LastFinished[PATH_SIZE];
  InFile += written;
  if (what == DURABLE_WRITTEN) {
    if (InFile < SYNC_BYTES)
      return 1;
    InFile = 0;
    return fsync(fd) == 0;
  }
  if (what == DURABLE_FINISHED) {
    Finished += InFile;
    InFile = 0;
    if (!NoWriteBack && !WriteBack(fd)) {
      if (errno == EIO || errno == ENOSPC || errno == EDQUOT)
        return 0;
      NoWriteBack = 1; /* not offered here: a flush per copy */
    }
    if (!NoWriteBack && ++FinishedFiles < SYNC_FILES && Finished < SYNC_BYTES) {
      StrCopy(LastFinished, sizeof LastFinished, Job.Destination);
      return 1;
    }
    Finished = 0;
    FinishedFiles = 0;
    LastFinished[0] = 0;
    return fsync(fd) == 0;
  }
  /* The last copy's commit takes every earlier one along. */
  int ok = 1;
  if (LastFinished[0]) {
    int last = open(LastFinished, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    ok = last < 0 || fsync(last) == 0;
    if (last >= 0)
      close(last);
  }
  Finished = 0;
  FinishedFiles = 0;
  LastFinished[0] = 0;
  return ok;
}

static int OpenAt(int dir, const char *name, int flags)
{
  return (int)syscall(SYS_openat, dir, name, flags | O_NOFOLLOW | O_LARGEFILE, 0);
}

/* The source folder of the last entry, held open: the entries of a folder
 * follow each other in the catalogue. */
static int SourceFolderFd = -1;
static char SourceFolder[PATH_SIZE];

static void CloseSourceFolder(void)
{
  if (SourceFolderFd >= 0)
    close(SourceFolderFd);
  SourceFolderFd = -1;
}

/* A folder of the source ("/" and its parts, each followed by "/"), opened
 * from SourceRoot one part at a time with no part followed through a
 * symbolic link, so that a folder replaced by a link since the scan cannot
 * lead the copy outside the source.  -1 with errno otherwise. */
static int OpenSourceFolder(const char *folder)
{
  char part[PATH_SIZE];
  if (SourceFolderFd >= 0 && strcmp(folder, SourceFolder) == 0)
    return SourceFolderFd;
  CloseSourceFolder();
  int fd = open(SourceRoot, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  for (const char *p = folder; fd >= 0 && *p;) {
    if (*p == '/') {
      p++;
      continue;
    }
    const char *end = strchr(p, '/');
    size_t n = end ? (size_t)(end - p) : strlen(p);
    memcpy(part, p, n);
    part[n] = 0;
    int next = -1;
    if (strcmp(part, ".") == 0 || strcmp(part, "..") == 0)
      errno = ENOENT;
    else
      next = OpenAt(fd, part, O_RDONLY | O_DIRECTORY);
    /* A link met as a folder reads as "not a folder": say which it is. */
    struct stat64 st;
    if (next < 0 && errno == ENOTDIR &&
        StrFormat(part, sizeof part, "%s%.*s", SourceRoot, (int)(p + n - folder), folder) < (int)sizeof part &&
        lstat64(part, &st) == 0 && S_ISLNK(st.st_mode))
      errno = ELOOP;
    int saved = errno;
    close(fd);
    errno = saved;
    fd = next;
    p += n;
  }
  if (fd >= 0) {
    StrCopy(SourceFolder, sizeof SourceFolder, folder);
    SourceFolderFd = fd;
  }
  return fd;
}

/* The source as a regular file below SourceRoot, opened so that a FIFO or
 * device put in its place is never read or blocks, and no link is
 * followed.  Otherwise -1 with Job.Outcome saying why, logged. */
static int OpenSource(const char *folder, const char *name, struct stat64 *st)
{
  Job.Outcome = ENTRY_SKIPPED;
  if (lstat64(Job.Source, st) == 0 && !S_ISREG(st->st_mode)) {
    LOGF("Not a regular file, not backed up: '%s'", Job.Source);
    return -1;
  }
  int dir = OpenSourceFolder(folder);
  if (dir < 0 && errno == ELOOP) {
    LOGF("Source folder behind a link, not backed up: '%s'", Job.Source);
    return -1;
  }
  int in = dir < 0 ? -1 : OpenAt(dir, name, O_RDONLY | O_NONBLOCK);
  if (in < 0 && errno == ELOOP) {
    LOGF("Not a regular file, not backed up: '%s'", Job.Source);
    return -1;
  }
  if (in < 0) {
    LOGF("Failed to open source '%s'", Job.Source);
    Job.Outcome = ENTRY_FAILED;
    return -1;
  }
  if (fstat64(in, st) != 0 || !S_ISREG(st->st_mode)) {
    LOGF("Not a regular file, not backed up: '%s'", Job.Source);
    close(in);
    return -1;
  }
  return in;
}

/* Ends the entry in hand: descriptors closed, a copy that is not whole
 * removed, and the entry made to describe what stands in the backup. */
static void EndEntry(int outcome)
{
  if (Job.Out >= 0)
    close(Job.Out);
  if (Job.Out >= 0 && outcome != ENTRY_COPIED)
    (void)unlink(Job.Destination);
  if (Job.In >= 0)
    close(Job.In);
  if (Job.Check >= 0)
    close(Job.Check);
  Job.In = Job.Out = Job.Check = -1;
  if (outcome == ENTRY_COPIED || outcome == ENTRY_LINKED) {
    TAP_MemCpy(Job.Entry->MD5, Job.Md5.digest, sizeof Job.Entry->MD5);
    Job.Entry->FileSize = Job.Done;
    Job.Entry->ChangeTime = (int32_t)Job.Stat.st_ctime;
    Job.Entry->ModifyTime = (int32_t)Job.Stat.st_mtime;
  }
  Job.Outcome = outcome;
  Job.Reading = READ_NONE;
}

static void EndCheck(int whole);

/* Reads the source again from its start, now to copy it. */
static void StartCopy(void)
{
  if (!RoomFor((uint64_t)Job.Stat.st_size)) {
    EndEntry(ENTRY_NO_ROOM);
    return;
  }
  if (lseek64(Job.In, 0, SEEK_SET) != 0) {
    LOGF("Failed to read source '%s'", Job.Source);
    EndEntry(ENTRY_FAILED);
    return;
  }
  Job.Out = RemoveExisting(Job.Destination) ? open(Job.Destination, O_WRONLY | O_CREAT | O_EXCL, 0777) : -1;
  if (Job.Out < 0) {
    LOGF("Failed to open destination '%s': %s", Job.Destination, RefusalReason(errno, Job.Destination));
    EndEntry(ENTRY_FAILED);
    return;
  }
  MD5Init(&Job.Md5);
  Job.Done = 0;
  Job.Quick = 0;
  Job.Reading = READ_COPY;
}

/* The destination already is the earlier copy (a rerun into the newest
 * earlier backup's own folder, or a link an interrupted run made). */
static int SameFile(const char *a, const char *b)
{
  struct stat64 sa, sb;
  return lstat64(a, &sa) == 0 && lstat64(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

static void LinkEarlier(void)
{
  TotalLinkTries++;
  if (SameFile(Job.Old, Job.Destination) ||
      (RemoveExisting(Job.Destination) && LinkFile(Job.Old, Job.Destination) == 0)) {
    EndEntry(ENTRY_LINKED);
    return;
  }
  Job.LinkFailed = 1;
  StartCopy();
}

/* The source's time stamps as they were when it was opened: a change seen
 * while it was being read is no silent one. */
static int StampsAsOpened(void)
{
  struct stat64 now;
  return fstat64(Job.In, &now) == 0 && now.st_mtime == Job.Stat.st_mtime && now.st_ctime == Job.Stat.st_ctime &&
         now.st_size == Job.Stat.st_size;
}

/* The earlier copy is read before it is linked to.  One that is not there
 * is left to the link, which then fails; one that cannot be read is taken
 * as damaged. */
static void StartCheck(void)
{
  Job.Check = open(Job.Old, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_LARGEFILE);
  if (Job.Check < 0 && errno == ENOENT) {
    LinkEarlier();
    return;
  }
  MD5Init(&Job.Md5);
  Job.Checked = 0;
  Job.Reading = READ_CHECK;
  if (Job.Check < 0)
    EndCheck(0);
}

/* The earlier copy has been read (whole: no read failed): linked to when it
 * holds what its catalogue says, else the file is copied afresh, so that
 * the damage spreads no further. */
static void EndCheck(int whole)
{
  if (Job.Check >= 0)
    close(Job.Check);
  Job.Check = -1;
  if (whole)
    MD5Final(&Job.Md5);
  TotalCheckedCopies++;
  TotalCheckedSize += Job.Checked;
  if (!whole || Job.Checked != Job.Previous->FileSize ||
      TAP_MemCmp(Job.Md5.digest, Job.Previous->MD5, sizeof Job.Md5.digest) != 0) {
    LOGF("Backup copy damaged: %s", Job.Old);
    TotalDamagedCopies++;
    StartCopy();
    return;
  }
  LinkEarlier();
}

/* The whole source (or earlier copy) has been read. */
static void EndReading(void)
{
  if (Job.Reading == READ_CHECK) {
    EndCheck(1);
    return;
  }
  MD5Final(&Job.Md5);
  if (Job.Reading == READ_HASH) {
    if (TAP_MemCmp(Job.Md5.digest, Job.Previous->MD5, sizeof Job.Md5.digest) != 0 ||
        Job.Done != Job.Previous->FileSize) {
      /* Never linked: the earlier backup keeps the version that was good. */
      if (Job.Unchanged && StampsAsOpened()) {
        LOGF("Contents changed without a new time stamp: %s", Job.Source);
        TotalSilentChanges++;
      }
      StartCopy();
      return;
    }
    if (Job.InShare)
      StartCheck();
    else
      LinkEarlier();
    return;
  }
  struct utimbuf times;
  times.actime = times.modtime = Job.Stat.st_mtime;
  (void)utime(Job.Destination, &times);
  int ok = MakeDurable(Job.Out, 0, DURABLE_FINISHED);
  ok = close(Job.Out) == 0 && ok;
  Job.Out = -1;
  if (!ok) {
    LOGF("Failed to write destination '%s': %s", Job.Destination, RefusalReason(errno, Job.Destination));
    (void)unlink(Job.Destination);
  }
  EndEntry(ok ? ENTRY_COPIED : ENTRY_FAILED);
}

/* Reads, hashes and (when copying) writes the source, or reads the earlier
 * copy, on, at most budget bytes.  The one-byte read at the expected end
 * finds the end of the file without another event. */
static void ContinueEntry(void)
{
  static byte buffer[COPY_BLOCK];
  dword budget = COPY_EVENT_BYTES;
  int probed = 0;
  while (Job.Reading != READ_NONE) {
    int checking = Job.Reading == READ_CHECK;
    uint64_t *done = checking ? &Job.Checked : &Job.Done;
    uint64_t size = checking ? Job.Previous->FileSize : (uint64_t)Job.Stat.st_size;
    dword want = budget < COPY_BLOCK ? budget : COPY_BLOCK;
    if (want == 0) {
      if (probed || *done < size)
        return;
      probed = want = 1;
    }
    ssize_t got = read(checking ? Job.Check : Job.In, buffer, want);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0 && checking) {
      EndCheck(0);
      continue;
    }
    if (got < 0) {
      LOGF("Failed to read source '%s'", Job.Source);
      EndEntry(ENTRY_FAILED);
      return;
    }
    if (got == 0) {
      EndReading();
      continue;
    }
    MD5Update(&Job.Md5, buffer, (dword)got);
    *done += (uint64_t)got;
    budget -= (dword)got < budget ? (dword)got : budget;
    if (Job.Reading == READ_COPY &&
        (!WriteAll(Job.Out, buffer, (dword)got) || !MakeDurable(Job.Out, (dword)got, DURABLE_WRITTEN))) {
      LOGF("Failed to write destination '%s': %s", Job.Destination, RefusalReason(errno, Job.Destination));
      EndEntry(ENTRY_FAILED);
      return;
    }
  }
}

/* folder + name of one entry; both offsets were checked when the catalogue
 * was built or loaded. */
static const char *EntryText(const VXDB *db, int32_t offset)
{
  return db->Text && offset >= 0 && offset < db->TextLength ? db->Text + offset : "";
}

static int SameJoined(const char *a1, const char *a2, const char *b1, const char *b2)
{
  for (;;) {
    if (!*a1)
      a1 = a2, a2 = "";
    if (!*b1)
      b1 = b2, b2 = "";
    if (*a1 != *b1)
      return 0;
    if (!*a1)
      return 1;
    a1++, b1++;
  }
}

/* The earlier entry of the same file: equal path CRC and, against CRC
 * collisions, equal relative path; the first such entry in catalogue order. */
static int SamePath(const VXDB *previous, const VXDBEntry *p, const VXDBEntry *e, const char *folder,
                    const char *name)
{
  return p->PathCRC == e->PathCRC &&
         SameJoined(EntryText(previous, p->FolderOffset), EntryText(previous, p->NameOffset), folder, name);
}

static const VXDBEntry *FindPrevious(const VXDB *previous, const VXDBEntry *e, const char *folder, const char *name)
{
  const VXDBIndex *index = EntryIndexOf(previous);
  if (index) {
    for (dword at = Mix(e->PathCRC) & index->Mask; index->Slots[at] >= 0; at = (at + 1) & index->Mask)
      if (SamePath(previous, &previous->Entries[index->Slots[at]], e, folder, name))
        return &previous->Entries[index->Slots[at]];
    return NULL;
  }
  for (int32_t k = 0; k < previous->NrEntries; k++)
    if (SamePath(previous, &previous->Entries[k], e, folder, name))
      return &previous->Entries[k];
  return NULL;
}

/* An earlier copy cut short (a power cut before it reached the disk, a hand
 * that truncated it) must not be linked to: every later backup would share
 * the damage.  Its size is checked against its catalogue; a copy that is
 * not there at all fails the link as before. */
static int EarlierCopyWhole(const char *old, const VXDBEntry *p)
{
  struct stat64 st;
  if (lstat64(old, &st) != 0)
    return 1;
  if (S_ISREG(st.st_mode) && (uint64_t)st.st_size == p->FileSize)
    return 1;
  LOGF("Earlier copy is not whole, copied instead: '%s'", old);
  return 0;
}

/* ------------------------------------------------------------------------
 * Quick check and rolling verification
 * ---------------------------------------------------------------------- */

/* Seconds by which a file's time stamps must precede the moment the earlier
 * backup began reading, for its digest to be taken over unread.  A write
 * sets the change time to its own moment, so a file written after that
 * moment shows a later time; one written in the very second it was read,
 * or across a small step of the clock, is inside the margin and read. */
#define QUICK_MARGIN 60
/* Without the quick check, each earlier copy is still proven once in this
 * many days. */
#define DEFAULT_SHARE_DAYS 30

static dword ShareDays;
/* The earlier backup's ReadStart; 0 when not known: nothing is taken over. */
static dword PreviousReadStart;

/* Seconds since 1970 by the clock that stamps the source's files, which
 * need not be the recorder's local time the TAP clock gives. */
static dword KernelTime(void)
{
#ifdef SYS_time
  return (dword)syscall(SYS_time, NULL);
#else
  struct {
    long sec, nsec;
  } now = {0, 0};
  (void)syscall(SYS_clock_gettime, 0 /* CLOCK_REALTIME */, &now);
  return (dword)now.sec;
#endif
}

/* A number in the text at *at, in base 10 or 16, ended by end: 1 and the
 * text after it, or 0. */
static int TakeNumber(const char **at, int base, char end, unsigned long *value)
{
  char *after;
  char c = (char)(**at | 0x20);
  if (!((c >= '0' && c <= '9') || (base == 16 && c >= 'a' && c <= 'f')))
    return 0;
  *value = strtoul(*at, &after, base);
  if (*after != end)
    return 0;
  *at = after + (end != 0);
  return 1;
}

/* The settings' LastReadStart ("BackupDate start share") when it belongs to
 * the earlier catalogue and the clock has not gone back since; today's
 * share is then the one after the earlier backup's, so that every share
 * comes in turn however many days the recorder was off. */
static dword EarlierReadStart(const VXDB *previous)
{
  const char *text = INILastReadStart;
  unsigned long date, start, share;
  if (!TakeNumber(&text, 16, ' ', &date) || !TakeNumber(&text, 10, ' ', &start) ||
      !TakeNumber(&text, 10, 0, &share) || previous->NrEntries == 0 || date != previous->BackupDate ||
      start > ReadStart)
    return 0;
  ShareDay = (dword)((share + 1) % ShareDays);
  return (dword)start;
}

/* Size and both time stamps as the earlier entry has them, both safely
 * before the earlier backup began reading, and a digest that came from
 * reading the file: nothing can have written it since. */
static int StampsUnchanged(const VXDBEntry *p, const struct stat64 *st)
{
  static const byte unread[16] = {0};
  int64_t before = (int64_t)PreviousReadStart - QUICK_MARGIN;
  return PreviousReadStart != 0 && p->FileSize == (uint64_t)st->st_size &&
         (int64_t)p->ModifyTime == (int64_t)st->st_mtime && (int64_t)p->ChangeTime == (int64_t)st->st_ctime &&
         p->ModifyTime < before && p->ChangeTime < before && TAP_MemCmp(p->MD5, unread, sizeof unread) != 0;
}

/* Today's share of the files, read in full whatever their time stamps, and
 * whose earlier copies are read before a link: every file once in
 * ShareDays backups. */
static int InTodaysShare(const VXDBEntry *e)
{
  return e->PathCRC % ShareDays == ShareDay;
}

static void StartQuickCheck(const VXDB *previous)
{
  ReadStart = KernelTime();
  ShareDays = INIFullCheckDays > 1 ? INIFullCheckDays : DEFAULT_SHARE_DAYS;
  ShareDay = (LastBackup >> 16) % ShareDays;
  PreviousReadStart = INIFullCheckDays > 1 ? EarlierReadStart(previous) : 0;
}

/* Takes up an entry: its folder made, its source opened, and its reading
 * chosen.  A source of the earlier backup's size is hashed first, to be
 * linked if it is unchanged (its digest taken over unread when the quick
 * check may); any other is hashed as it is copied. */
static void BeginEntry(VXDB *current, VXDB *previous, VXDBEntry *e)
{
  static char LastDir[PATH_SIZE];
  char dir[PATH_SIZE];
  const char *folder = EntryText(current, e->FolderOffset);
  const char *name = EntryText(current, e->NameOffset);

  Job.Entry = e;
  Job.Scanned = e->FileSize;
  Job.LinkFailed = Job.Unchanged = Job.InShare = Job.Quick = 0;
  Job.Done = 0;
  Job.Outcome = ENTRY_FAILED;
  if (StrFormat(dir, sizeof dir, "%s%s", DestRoot, folder) >= (int)sizeof dir ||
      StrFormat(Job.Source, sizeof Job.Source, "%s%s%s", SourceRoot, folder, name) >= (int)sizeof Job.Source ||
      StrFormat(Job.Destination, sizeof Job.Destination, "%s%s%s", DestRoot, folder, name) >=
          (int)sizeof Job.Destination) {
    LOGF("Path too long, not backed up: '%s%s'", folder, name);
    return;
  }
  if (strcmp(dir, LastDir) != 0) {
    (void)MakeBackupFolder(dir); /* a folder not made shows as failed files */
    StrCopy(LastDir, sizeof LastDir, dir);
  }
  if (!MayWriteName(current, (int32_t)(e - current->Entries), Job.Destination))
    return;
  Job.In = OpenSource(folder, name, &Job.Stat);
  if (Job.In < 0)
    return;
  Job.Previous = FindPrevious(previous, e, folder, name);
  /* Where the probe found no hard links, none is tried. */
  if (Job.Previous && DestHoldsLinks && Job.Previous->FileSize == (uint64_t)Job.Stat.st_size &&
      StrFormat(Job.Old, sizeof Job.Old, "%s%s%s", LastDestRoot, folder, name) < (int)sizeof Job.Old &&
      EarlierCopyWhole(Job.Old, Job.Previous)) {
    Job.Unchanged = StampsUnchanged(Job.Previous, &Job.Stat);
    Job.InShare = InTodaysShare(e);
    if (Job.Unchanged && !Job.InShare) {
      TAP_MemCpy(Job.Md5.digest, Job.Previous->MD5, sizeof Job.Md5.digest);
      Job.Done = Job.Previous->FileSize;
      Job.Quick = 1;
      LinkEarlier();
      return;
    }
    MD5Init(&Job.Md5);
    Job.Reading = READ_HASH;
  } else {
    StartCopy();
  }
}

static void CountCopy(int copied, uint64_t size)
{
  if (copied) {
    TotalCopiedFiles++;
    TotalCopiedSize += size;
  } else {
    TotalCopyFailures++;
    TotalCopyFailureSize += size;
  }
}

/* The summary of an entry done with. */
static void CountEntry(void)
{
  switch (Job.Outcome) {
  case ENTRY_LINKED:
    TotalLinkedFiles++;
    TotalLinkedSize += Job.Scanned;
    TotalQuickFiles += Job.Quick;
    TotalQuickSize += Job.Quick ? Job.Scanned : 0;
    break;
  case ENTRY_COPIED:
    CountCopy(1, Job.Scanned);
    TotalLinkFailures += Job.LinkFailed;
    break;
  case ENTRY_SKIPPED:
    TotalSkippedEntries++;
    break;
  case ENTRY_NO_ROOM:
    break;
  default:
    CountCopy(0, Job.Scanned);
    break;
  }
}

/* A plain copy of one file, whole or not at all; 1 when it was made. */
int CopyFile(const char *source, const char *destination)
{
  CallTraceEnter("CopyFile");
  static byte buffer[COPY_BLOCK];
  struct stat64 st;
  int ok = 0;
  int in = lstat64(source, &st) == 0 && S_ISREG(st.st_mode) ? open(source, O_RDONLY | O_NONBLOCK | O_NOFOLLOW) : -1;
  int out = in >= 0 && RemoveExisting(destination) ? open(destination, O_WRONLY | O_CREAT | O_EXCL, 0777) : -1;
  if (out >= 0) {
    ssize_t got;
    while ((got = read(in, buffer, sizeof buffer)) > 0 && WriteAll(out, buffer, (dword)got))
      ;
    ok = got == 0 && fsync(out) == 0;
    ok = close(out) == 0 && ok;
    if (!ok)
      (void)unlink(destination);
  }
  if (in >= 0)
    close(in);
  CallTraceExit(NULL);
  return ok;
}

/* The last flush of the pass, so that the catalogue saved next lists only
 * copies that are on the disk. */
static void EndPass(void)
{
  CloseSourceFolder();
  if (!MakeDurable(-1, 0, DURABLE_ALL))
    LOGF("Failed to write '%s' to the disk", DestRoot);
}

int DoBackup(VXDB *current, VXDB *previous)
{
  CallTraceEnter("DoBackup");
  static int32_t DoBackupState, Index;
  char size[16];
  int done = 0;

  switch (DoBackupState) {
  case PASS_START:
    DoBackupState = PASS_COPYING;
    Index = 0;
    Job.In = Job.Out = Job.Check = -1;
    TotalCopiedFiles = TotalLinkedFiles = TotalLinkTries = TotalLinkFailures = 0;
    TotalCopiedSize = TotalLinkedSize = TotalCopyFailureSize = 0;
    TotalQuickFiles = TotalCheckedCopies = TotalSilentChanges = TotalDamagedCopies = 0;
    TotalQuickSize = TotalCheckedSize = 0;
    StartQuickCheck(previous);
    /* What the scan could not take is missing from this backup too. */
    TotalCopyFailures = TotalRefusedPaths;
    break;

  case PASS_COPYING:
    if (Job.Reading == READ_NONE && (Index >= current->NrEntries || DestNearlyFull)) {
      EndPass();
      DoBackupState = PASS_FINISHED;
      break;
    }
    if (Job.Reading == READ_NONE)
      BeginEntry(current, previous, &current->Entries[Index]);
    ContinueEntry();
    if (Job.Reading == READ_NONE) {
      CountEntry();
      Index++;
    }
    break;

  case PASS_FINISHED:
    FileSizeToString((dword)TotalCopiedSize, (dword)(TotalCopiedSize >> 32), size);
    LOGF("Copied: %d files, %s", (int)TotalCopiedFiles, size);
    FileSizeToString((dword)TotalLinkedSize, (dword)(TotalLinkedSize >> 32), size);
    StrFormat(LogString, sizeof LogString, "DeDupe: %d files, %s", (int)TotalLinkedFiles, size);
    if (TotalLinkFailures > 0) {
      size_t len = strlen(LogString);
      StrFormat(LogString + len, sizeof LogString - len, " (%d of %d hard links failed)", (int)TotalLinkFailures,
                (int)TotalLinkTries);
    }
    WriteLog(LogString);
    if (TotalCopyFailures != 0) {
      FileSizeToString((dword)TotalCopyFailureSize, (dword)(TotalCopyFailureSize >> 32), size);
      LOGF("Failed: %d files, %s", (int)TotalCopyFailures, size);
    }
    if (TotalSkippedEntries != 0)
      LOGF("Skipped: %d entries", (int)TotalSkippedEntries);
    if (TotalQuickFiles != 0) {
      FileSizeToString((dword)TotalQuickSize, (dword)(TotalQuickSize >> 32), size);
      LOGF("Quick check: %d files unchanged, not read, %s", (int)TotalQuickFiles, size);
    }
    if (TotalCheckedCopies != 0) {
      FileSizeToString((dword)TotalCheckedSize, (dword)(TotalCheckedSize >> 32), size);
      LOGF("Checked: %d earlier copies, %s", (int)TotalCheckedCopies, size);
    }
    if (TotalSilentChanges != 0)
      LOGF("Changed without a new time stamp: %d files", (int)TotalSilentChanges);
    if (TotalDamagedCopies != 0)
      LOGF("Damaged backup copies replaced: %d files", (int)TotalDamagedCopies);
    done = 1;
    break;
  }
  CallTraceExit(NULL);
  return done;
}

/* ------------------------------------------------------------------------
 * Removal of expired backups
 * ---------------------------------------------------------------------- */

/* A candidate's Date holds the folder's name as YYYYMMDD; these bits mark
 * what the removal found out about it. */
#define REMOVE_HALF 0x80000000u /* no catalogue, a marker: removal cut short */
#define REMOVE_KEEP 0x40000000u
#define REMOVE_DAY_MASK 0x0FFFFFFFu
#define DATE_NAME_LENGTH 10

enum { REMOVE_LIST = 0, REMOVE_CHOOSE, REMOVE_OPEN, REMOVE_ENTRY, REMOVE_DONE };

/* Progress of the removal across idle events. */
static struct {
  int Phase;
  dword After;              /* the state that follows the removal */
  DIR *Dir;                 /* the destination root, listed one entry per event */
  char Root[ROOT_SIZE];     /* DestRoot without the dated folder */
  char Today[DATE_NAME_LENGTH + 1];
  CandidateList List;
  int32_t Next;             /* the candidate being removed */
  char Path[PATH_SIZE];     /* the folder being emptied: the backup, or below it */
  size_t TopLength;         /* length of the backup folder's own path */
  dev_t Device;
  int32_t Files;
  uint64_t Freed;
} Removal;

/* YYYYMMDD of a name made exactly of YYYY-MM-DD, else 0. */
static dword DateNameValue(const char *name)
{
  dword value = 0;
  if (!IsDatedName(name))
    return 0;
  for (int i = 0; i < DATE_NAME_LENGTH; i++)
    if (i != 4 && i != 7)
      value = value * 10 + (dword)(name[i] - '0');
  return value;
}

static dword MjdValue(dword mjd)
{
  word year;
  byte month, day, weekday;
  TAP_ExtractMjd((word)mjd, &year, &month, &day, &weekday);
  return (dword)year * 10000 + (dword)month * 100 + day;
}

static int RemovalPath(char *path, const char *name, const char *file)
{
  return StrFormat(path, PATH_SIZE, "%s%s%s%s", Removal.Root, name, file ? "/" : "", file ? file : "") <
         PATH_SIZE;
}

static int IsRegularFile(const char *path)
{
  struct stat64 st;
  return lstat64(path, &st) == 0 && S_ISREG(st.st_mode);
}

static void EndRemoval(void)
{
  if (Removal.Dir)
    closedir(Removal.Dir);
  Removal.Dir = NULL;
  FreeCandidates(&Removal.List);
  Removal.Phase = REMOVE_DONE;
}

/* Takes one entry of the destination root: a backup (a dated folder whose
 * catalogue header loads), a backup whose removal was cut short, or a decoy
 * that is named once and left alone. */
static void ListRemovalEntry(void)
{
  char path[PATH_SIZE];
  struct stat64 st;
  struct dirent *entry = readdir(Removal.Dir);
  dword date = 0;

  if (!entry) {
    closedir(Removal.Dir);
    Removal.Dir = NULL;
    Removal.Phase = REMOVE_CHOOSE;
    return;
  }
  dword value = DateNameValue(entry->d_name);
  int today = strcmp(entry->d_name, Removal.Today) == 0;
  if (value == 0 || !RemovalPath(path, entry->d_name, NULL))
    return;
  if (lstat64(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    LOGF("Not a backup, left alone: '%s'", path);
    return;
  }
  RemovalPath(path, entry->d_name, VXDB_FILE_NAME);
  if (!ReadVXDBDate(path, &date)) {
    if (today)
      return; /* today's backup, still being written */
    RemovalPath(path, entry->d_name, VXDB_REMOVING_NAME);
    if (!IsRegularFile(path)) {
      RemovalPath(path, entry->d_name, NULL);
      LOGF("Not a backup, left alone: '%s'", path);
      return;
    }
    value |= REMOVE_HALF;
  } else {
    /* A marker beside a catalogue: a removal cut short before it began. */
    RemovalPath(path, entry->d_name, VXDB_REMOVING_NAME);
    if (IsRegularFile(path))
      (void)unlink(path);
  }
  if (!AddCandidate(&Removal.List, value, entry->d_name)) {
    WriteLog((char *)"Not enough memory to remove old backups");
    EndRemoval();
  }
}

/* Marks what stays: every backup of the last KeepDays days before today's,
 * the KeepDays + 1 newest whatever the dates, today's and the one today's
 * links point into.  What remains is sorted oldest first. */
static void ChooseRemovals(void)
{
  CandidateList *l = &Removal.List;
  dword mjd = LastBackup >> 16, today = MjdValue(mjd);
  dword oldest = INIKeepDays < mjd ? MjdValue(mjd - INIKeepDays) : 0;
  char folder[PATH_SIZE];

  for (int32_t k = 0; k < l->Count; k++) {
    BackupCandidate *c = &l->Items[k];
    const char *name = l->Names + c->Name;
    dword day = c->Date & REMOVE_DAY_MASK;
    StrFormat(folder, sizeof folder, "%s%s/", Removal.Root, name);
    if (strcmp(name, Removal.Today) == 0 || strcmp(folder, LastDestRoot) == 0) {
      c->Date |= REMOVE_KEEP;
      continue;
    }
    if (c->Date & REMOVE_HALF)
      continue;
    dword newer = 0;
    for (int32_t j = 0; j < l->Count; j++) {
      dword other = l->Items[j].Date;
      if (!(other & REMOVE_HALF) && ((other & REMOVE_DAY_MASK) > day || ((other & REMOVE_DAY_MASK) == day && j < k)))
        newer++;
    }
    if (newer <= INIKeepDays || (day >= oldest && day <= today))
      c->Date |= REMOVE_KEEP;
  }
  /* Oldest first, so that a removal cut short has taken the oldest. */
  for (int32_t k = 1; k < l->Count; k++)
    for (int32_t j = k; j > 0 && (l->Items[j].Date & REMOVE_DAY_MASK) < (l->Items[j - 1].Date & REMOVE_DAY_MASK); j--) {
      BackupCandidate t = l->Items[j];
      l->Items[j] = l->Items[j - 1];
      l->Items[j - 1] = t;
    }
  Removal.Next = -1;
  Removal.Phase = REMOVE_OPEN;
}

static void RemovalFailed(const char *what)
{
  LOGF("Failed to remove backup %s: %s '%s'", Removal.List.Names + Removal.List.Items[Removal.Next].Name, what,
       Removal.Path);
  EndRemoval();
}

/* Starts on the next folder to go.  A complete backup first gets the marker
 * and loses its catalogue, each made durable, so that from then on nothing
 * takes it for a backup, and the next run finishes it. */
static void OpenRemoval(void)
{
  char path[PATH_SIZE];
  struct stat64 st;

  do
    Removal.Next++;
  while (Removal.Next < Removal.List.Count && (Removal.List.Items[Removal.Next].Date & REMOVE_KEEP));
  if (Removal.Next >= Removal.List.Count) {
    EndRemoval();
    return;
  }
  const BackupCandidate *c = &Removal.List.Items[Removal.Next];
  const char *name = Removal.List.Names + c->Name;
  RemovalPath(Removal.Path, name, NULL);
  Removal.TopLength = strlen(Removal.Path);
  Removal.Files = 0;
  Removal.Freed = 0;
  if (lstat64(Removal.Path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    RemovalFailed("no longer a folder:");
    return;
  }
  Removal.Device = st.st_dev;
  if (!(c->Date & REMOVE_HALF)) {
    RemovalPath(path, name, VXDB_REMOVING_NAME);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int marked = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
      close(fd);
    if (!marked || !SyncFolder(Removal.Path)) {
      RemovalFailed("cannot mark");
      return;
    }
    RemovalPath(path, name, VXDB_FILE_NAME);
    if (unlink(path) != 0 || !SyncFolder(Removal.Path)) {
      RemovalFailed("cannot remove the catalogue of");
      return;
    }
  }
  Removal.Phase = REMOVE_ENTRY;
}

/* One entry of the folder being emptied: a file or link is unlinked (a link
 * is never followed), a folder on the same disk is entered, an empty folder
 * goes and its parent is taken up again; the marker goes last. */
static void RemoveOneEntry(void)
{
  char child[PATH_SIZE], size[16];
  struct stat64 st;
  struct dirent *entry;
  int top = strlen(Removal.Path) == Removal.TopLength;
  DIR *dir = opendir(Removal.Path);

  if (!dir) {
    RemovalFailed("cannot read");
    return;
  }
  while ((entry = readdir(dir)) != NULL)
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
        !(top && strcmp(entry->d_name, VXDB_REMOVING_NAME) == 0))
      break;
  int fits = entry && StrFormat(child, sizeof child, "%s/%s", Removal.Path, entry->d_name) < (int)sizeof child;
  closedir(dir);
  if (entry && !fits) {
    RemovalFailed("path too long below");
    return;
  }
  if (entry) {
    if (lstat64(child, &st) != 0) {
      RemovalFailed("cannot look at");
    } else if (S_ISDIR(st.st_mode)) {
      if (st.st_dev != Removal.Device)
        RemovalFailed("another disk is mounted at");
      else
        StrCopy(Removal.Path, sizeof Removal.Path, child);
    } else if (unlink(child) != 0) {
      StrCopy(Removal.Path, sizeof Removal.Path, child);
      RemovalFailed("cannot remove");
    } else if (S_ISREG(st.st_mode)) {
      Removal.Files++;
      if (st.st_nlink == 1)
        Removal.Freed += (uint64_t)st.st_size;
    }
    return;
  }
  if (!top) {
    if (rmdir(Removal.Path) != 0) {
      RemovalFailed("cannot remove");
      return;
    }
    *strrchr(Removal.Path, '/') = 0;
    return;
  }
  StrCopy(child, sizeof child, Removal.Path);
  StrFormat(child + Removal.TopLength, sizeof child - Removal.TopLength, "/%s", VXDB_REMOVING_NAME);
  if ((unlink(child) != 0 && errno != ENOENT) || rmdir(Removal.Path) != 0) {
    RemovalFailed("cannot remove");
    return;
  }
  (void)SyncFolder(Removal.Root);
  FileSizeToString((dword)Removal.Freed, (dword)(Removal.Freed >> 32), size);
  LOGF("Removed backup %s: %d files, %s freed", Removal.List.Names + Removal.List.Items[Removal.Next].Name,
       (int)Removal.Files, size);
  Removal.Phase = REMOVE_OPEN;
}

/* Enters the removal state when KeepDays asks for it; after, the state to
 * go to once it is done (or at once, when it has nothing to do). */
static void StartRemoval(dword after)
{
  size_t len = strlen(DestRoot);
  State = after;
  if (INIKeepDays == 0 || len < DATE_NAME_LENGTH + 1 || len - DATE_NAME_LENGTH - 1 >= sizeof Removal.Root)
    return;
  memset(&Removal, 0, sizeof Removal);
  Removal.After = after;
  StrCopy(Removal.Root, len - DATE_NAME_LENGTH, DestRoot);
  StrCopy(Removal.Today, sizeof Removal.Today, DestRoot + len - DATE_NAME_LENGTH - 1);
  Removal.Dir = opendir(Removal.Root);
  if (!Removal.Dir) {
    LOGF("Failed to remove old backups: cannot read '%s'", Removal.Root);
    return;
  }
  Removal.Phase = REMOVE_LIST;
  State = STATE_REMOVE;
}

/* One bounded piece of the removal per idle event. */
static void StepRemove(void)
{
  switch (Removal.Phase) {
  case REMOVE_LIST: ListRemovalEntry(); break;
  case REMOVE_CHOOSE: ChooseRemovals(); break;
  case REMOVE_OPEN: OpenRemoval(); break;
  case REMOVE_ENTRY: RemoveOneEntry(); break;
  }
  if (Removal.Phase == REMOVE_DONE)
    State = Removal.After;
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
    NoteDestination();
    State = STATE_SCAN;
  } else if (INIDestDevice[0] == 'n' && FindNASDisk(DestRoot)) {
    LOGF("Destination: NAS @ '%s'", DestRoot);
    NoteDestination();
    State = STATE_SCAN;
  }
  if (State == STATE_SCAN)
    (void)RefuseDestInSource();
  if (TickPassed(TAP_GetTick(), StateTimeout)) {
    WriteLog((char *)"Destination: mount wait timeout!");
    State = STATE_FINISH;
  }
  NextCheck = TAP_GetTick() + PROBE_TICKS;
}

/* The newest folder under the destination root named as a backup, by its
 * name (which sorts as the date); empty when there is none. */
static void NewestDatedFolder(char *newest, size_t size)
{
  char path[PATH_SIZE];
  struct stat64 st;
  struct dirent *entry;
  newest[0] = 0;
  DIR *dir = opendir(DestRoot);
  if (!dir)
    return;
  while ((entry = readdir(dir)) != NULL)
    if (IsDatedName(entry->d_name) && strcmp(entry->d_name, newest) > 0 &&
        StrFormat(path, sizeof path, "%s%s", DestRoot, entry->d_name) < (int)sizeof path && lstat64(path, &st) == 0 &&
        S_ISDIR(st.st_mode))
      StrCopy(newest, size, entry->d_name);
  closedir(dir);
}

/* A backup dated after today means the clock went back: today's folder may
 * be an earlier backup that this run would overwrite with links to a later
 * one.  today is the dated folder's name. */
static int RefuseLaterBackup(const char *today)
{
  char newest[16];
  NewestDatedFolder(newest, sizeof newest);
  if (strcmp(newest, today) <= 0)
    return 0;
  LOGF("A later backup (%s) exists: the recorder's clock may be wrong; no backup", newest);
  State = STATE_FINISH;
  return 1;
}

static void StepScan(void)
{
  word year;
  byte month, day, weekday;

  if (!RecursiveScan())
    return;
  FindLastBackup(&LastVXDB);
  TAP_ExtractMjd((word)(LastBackup >> 16), &year, &month, &day, &weekday);
  char today[16];
  StrFormat(today, sizeof today, "%4.4d-%2.2d-%2.2d", year, month, day);
  if (RefuseLaterBackup(today))
    return;
  size_t len = strlen(DestRoot);
  if (StrFormat(DestRoot + len, sizeof DestRoot - len, "%s/", today) >= (int)(sizeof DestRoot - len)) {
    DestRoot[len] = 0;
    WriteLog((char *)"Destination path too long for the dated folder!");
    State = STATE_FINISH;
    return;
  }
  if (!MakeDatedFolder(len)) {
    State = STATE_FINISH;
    return;
  }
  ProbeDestination(DestRoot);
  /* Expired backups make room first rather than the reserve stopping us. */
  if (SpaceShort())
    StartRemoval(STATE_COPY);
  else
    State = STATE_COPY;
}

/* The copies, then the catalogue that lists them, then the date that marks
 * the day done: a day whose catalogue could not be saved is tried again at
 * the next load.  1 when the day was marked done. */
static int SaveBackup(void)
{
  char path[PATH_SIZE];
  if (!TodaysCatalogue(path) || !SaveVXDB(path, &CurrentVXDB)) {
    WriteLog((char *)"Backup date not saved: the catalogue could not be saved.");
    return 0;
  }
  if (ScanIncomplete) {
    WriteLog((char *)"Backup incomplete, the next load tries again");
    return 0;
  }
  INIUpdateBackupDate();
  return 1;
}

enum { COPY_PASS = 0, COPY_FLUSH = 1, COPY_SAVE = 2 };

static void StepCopy(void)
{
  static int Phase;
  if (!DestinationThere()) {
    LOGF("Destination vanished: '%s', backup stopped.", DestRoot);
    State = STATE_FINISH;
    return;
  }
  switch (Phase) {
  case COPY_PASS:
    if (DoBackup(&CurrentVXDB, &LastVXDB))
      Phase = COPY_FLUSH;
    if (DestNearlyFull)
      State = STATE_FINISH; /* no catalogue, no date: the next load tries again */
    break;
  case COPY_FLUSH:
    FlushDestination();
    Phase = COPY_SAVE;
    break;
  case COPY_SAVE:
    /* Old backups go only when today's holds every file it could; names the
     * scan refused will be refused every day and must not stop the removal. */
    if (SaveBackup() && TotalCopyFailures == TotalRefusedPaths)
      StartRemoval(STATE_FINISH);
    else
      State = STATE_FINISH;
    break;
  }
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

/* A stop that arrived while another event was being handled: the guard
 * turned it away, but the owner asked to stop, so the next event ends. */
static dword StopPending;

static void RememberStop(dword code)
{
  if (code == EVT_STOP)
    StopPending = 1;
}

dword TAP_EventHandler(dword event, dword param)
{
  static dword DoNotReenter;
  dword code = event & 0xFFFF;

  if (DoNotReenter) {
    RememberStop(code);
    return param;
  }
  if (StopPending)
    code = EVT_STOP;
  DoNotReenter = 1;
  CallTraceEnter("TAP_EventHandler");
  if (code == EVT_IDLE && State <= STATE_FINISH) {
    switch (State) {
    case STATE_START: StepStart(); break;
    case STATE_WAIT: StepWait(); break;
    case STATE_SCAN: StepScan(); break;
    case STATE_COPY: StepCopy(); break;
    case STATE_REMOVE: StepRemove(); break;
    case STATE_FINISH: StepFinish(); break;
    }
  }
  if (code == EVT_STOP)
    TAP_Exit();
  CallTraceExit(NULL);
  DoNotReenter = 0;
  return param;
}
