/* The source scan: /ProgramFiles walked breadth first, one folder entry
 * per idle event, every regular file listed in CurrentVXDB without being
 * read.  State: the folder queue and the entry in hand, the totals, and
 * whether the scan stopped at its folder limit. */
#include <string.h>

#include "Vaultrix.h"

extern "C" {
int32_t TotalSourceDirs, TotalSourceFiles;
uint64_t TotalSourceFileSize;
/* Entries that are not regular files (links, FIFOs, sockets, devices):
 * logged by name and counted apart from the files that failed. */
int32_t TotalSkippedEntries;
}

#define SCAN_ROOT "/ProgramFiles"
#define SCAN_QUEUE_SIZE 1024
#define SCAN_MAX_FOLDERS 1000 /* the 1002nd folder taken ends the scan */

enum { SCAN_START = 0, SCAN_NEXT_FOLDER = 1, SCAN_NEXT_ENTRY = 2, SCAN_REPORT = 3 };

/* Entries the scan could not take (a path beyond its buffer, a folder it
 * could not enter); the copy pass reports them among its failures. */
int32_t TotalRefusedPaths;

/* Set when the scan stopped at its folder limit: the catalogue misses
 * folders, so the backup is not recorded as done. */
int ScanIncomplete;

static int32_t ScanState, NrFiles, EntryAt, MaxLoop;
static StringDBRecord StringDB;
static TapFolderEntry FolderEntry;
/* Set while the scan holds its queue and its bracket of the current folder. */
static int ScanOpen;

static void CloseScan(void)
{
  if (!ScanOpen)
    return;
  StringDBDestroy(&StringDB);
  HDD_TAP_PopDir();
  ScanOpen = 0;
}

/* A scan cut short (the catalogue full, the run stopped) lets go of what it
 * holds here. */
void ResetScan(void)
{
  CloseScan();
  ScanState = NrFiles = EntryAt = MaxLoop = 0;
  memset(&FolderEntry, 0, sizeof FolderEntry);
  TotalSourceDirs = TotalSourceFiles = TotalRefusedPaths = TotalSkippedEntries = ScanIncomplete = 0;
  TotalSourceFileSize = 0;
}

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
    ScanOpen = 1;
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
      CloseScan();
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
    EntryAt = 0;
    ScanState = SCAN_NEXT_ENTRY;
    break;

  case SCAN_NEXT_ENTRY:
    if (EntryAt >= NrFiles) {
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
    EntryAt++;
    break;

  case SCAN_REPORT:
    FileSizeToString((dword)TotalSourceFileSize, (dword)(TotalSourceFileSize >> 32), path);
    LOGF("Scan result: %d folders, %d files, %s", (int)TotalSourceDirs, (int)TotalSourceFiles, path);
    CloseScan();
    done = 1;
    break;
  }
  CallTraceExit(NULL);
  return done;
}
