/* The source scan: /ProgramFiles walked breadth first, one folder entry
 * per idle event, every regular file listed in CurrentVXDB without being
 * read.  State: the folder queue and the entry in hand, the totals, and
 * whether the scan stopped at its folder limit. */
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

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

/* Files and folders the scan could not take (a path beyond its buffer, a
 * folder it could not enter); the copy pass reports them among its
 * failures. */
int32_t TotalRefusedPaths, TotalRefusedFolders;

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
  TotalSourceDirs = TotalSourceFiles = TotalRefusedPaths = TotalRefusedFolders = TotalSkippedEntries = 0;
  ScanIncomplete = 0;
  TotalSourceFileSize = 0;
}

/* A scan folder ("/ProgramFiles/a") as the catalogue names folders ("/a/"). */
static void CatalogueFolder(const char *folder, char *out)
{
  StrFormat(out, PATH_SIZE, "%s/", folder + strlen(SCAN_ROOT));
}

/* What the scan met and cannot take: logged, counted as a file or a folder,
 * and listed as not backed up, so that every reader names it and the last
 * good copy of what it was stays. */
static void Refuse(const char *what, const char *folder, const char *name, int isFolder)
{
  char relative[PATH_SIZE];
  LOGF("%s: '%s/%s'", what, folder, name);
  if (isFolder)
    TotalRefusedFolders++;
  else
    TotalRefusedPaths++;
  CatalogueFolder(folder, relative);
  AppendRefused(relative, name, isFolder, 0, &CurrentVXDB);
}

/* A folder that cannot be entered or listed, by its scan path.  Without
 * the top nothing at all is listed: such a backup is not complete. */
static void RefuseFolder(const char *what, const char *folder)
{
  char parent[PATH_SIZE];
  const char *slash = strrchr(folder, '/');
  if (strcmp(folder, SCAN_ROOT) == 0 || !slash) {
    LOGF("%s: '%s'", what, folder);
    TotalRefusedFolders++;
    ScanIncomplete = 1;
    return;
  }
  StrFormat(parent, sizeof parent, "%.*s", (int)(slash - folder), folder);
  Refuse(what, parent, slash + 1, 1);
}

/* Folders queued but not listed: the one at the cursor and all after it,
 * each listed as not backed up.  Queued paths are unique, so no entry is
 * looked for first. */
static int32_t FoldersLeft(const StringDBRecord *queue)
{
  char parent[PATH_SIZE];
  int32_t n = 0;
  for (const char *p = queue->cursor; p && p < queue->end && *p; p += strlen(p) + 1) {
    const char *slash = strrchr(p, '/');
    size_t root = strlen(SCAN_ROOT);
    if (slash && (size_t)(slash - p) >= root) {
      StrFormat(parent, sizeof parent, "%.*s/", (int)(slash - p - root), p + root);
      AppendRefused(parent, slash + 1, 1, 1, &CurrentVXDB);
    }
    n++;
  }
  return n;
}

/* A folder the host lists as empty may be one it could not read: opened,
 * or listed to its end, by the plug-in itself to tell. */
static void CheckEmptyFolder(const char *folder)
{
  char path[PATH_SIZE];
  if (StrFormat(path, sizeof path, "%s%s", SourceRoot, folder + strlen(SCAN_ROOT)) >= (int)sizeof path)
    return;
  DIR *dir = opendir(path);
  int err = dir ? 0 : errno;
  if (dir) {
    errno = 0;
    while (readdir(dir))
      ;
    err = errno;
    closedir(dir);
  }
  if (err && err != ENOENT) {
    char what[96];
    StrFormat(what, sizeof what, "Cannot read, folder not backed up (%s)", ReadFailure(err));
    RefuseFolder(what, folder);
  }
}

/* The name whose first bytes the host gave (it cuts a name to fit its
 * entry), looked up in the folder itself; NULL when none is found.  isDir
 * says whether it is a folder. */
static const char *FullName(const char *folder, const char *cut, int *isDir)
{
  static char name[256];
  char path[PATH_SIZE];
  struct stat64 st;
  struct dirent *e;
  size_t length = strlen(cut);
  const char *found = NULL;
  *isDir = 0;
  if (StrFormat(path, sizeof path, "%s%s", SourceRoot, folder + strlen(SCAN_ROOT)) >= (int)sizeof path)
    return NULL;
  DIR *dir = opendir(path);
  if (!dir)
    return NULL;
  while (!found && (e = readdir(dir)) != NULL)
    if (strncmp(e->d_name, cut, length) == 0 && strlen(e->d_name) > length) {
      StrCopy(name, sizeof name, e->d_name);
      found = name;
    }
  closedir(dir);
  size_t used = strlen(path);
  *isDir = found && StrFormat(path + used, sizeof path - used, "/%s", found) < (int)(sizeof path - used) &&
           lstat64(path, &st) == 0 && S_ISDIR(st.st_mode);
  return found;
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

/* Whether the folder's own listing calls name a folder: it does so even
 * when the entry's inode cannot be read. */
static int ListedAsFolder(const char *folder, const char *name)
{
  char path[PATH_SIZE];
  struct dirent *e;
  int isDir = 0;
  if (StrFormat(path, sizeof path, "%s%s", SourceRoot, folder + strlen(SCAN_ROOT)) >= (int)sizeof path)
    return 0;
  DIR *dir = opendir(path);
  if (!dir)
    return 0;
  while (!isDir && (e = readdir(dir)) != NULL)
    isDir = e->d_type == DT_DIR && strcmp(e->d_name, name) == 0;
  closedir(dir);
  return isDir;
}

/* A folder of the listing: queued, unless its path does not fit or, at the
 * top, its name is one the catalogue's files take in the dated folder. */
static void TakeFolder(const char *folder, const char *name)
{
  char path[PATH_SIZE];
  if (strcmp(folder, SCAN_ROOT) == 0 && ReservedName(name))
    Refuse("Name reserved for the catalogue, folder not backed up", folder, name, 1);
  else if (StrFormat(path, sizeof path, "%s/%s", folder, name) < (int)sizeof path)
    QueueFolder(&StringDB, path);
  else
    Refuse("Path too long, folder not backed up", folder, name, 1);
}

static void TakeFile(const char *folder, const char *name)
{
  char path[PATH_SIZE];
  /* SourceRoot is "/mnt/hd" + SCAN_ROOT: the folder's Linux path. */
  if (StrFormat(path, sizeof path, "%s%s/%s", SourceRoot, folder + strlen(SCAN_ROOT), name) >= (int)sizeof path) {
    Refuse("Path too long, file not backed up", folder, name, 0);
    return;
  }
  VXDBEntry *entry = AppendEntry(path, &CurrentVXDB, 0);
  if (entry) {
    TotalSourceFiles++;
    TotalSourceFileSize += entry->FileSize;
  }
}

/* An entry the host could not call a file or a folder: a name it cut, one
 * it could not look at (looked at again here, to say why), or a link,
 * FIFO, socket or device, which is no file to back up. */
static void TakeOther(const char *folder, const char *name)
{
  char path[PATH_SIZE];
  struct stat64 st;
  int isDir = 0;
  if (strlen(name) + 1 >= sizeof FolderEntry.Name) {
    const char *full = FullName(folder, name, &isDir);
    Refuse(isDir ? "Name too long, folder not backed up" : "Name too long, not backed up", folder, full ? full : name,
           isDir);
  } else if (StrFormat(path, sizeof path, "%s%s/%s", SourceRoot, folder + strlen(SCAN_ROOT), name) >=
             (int)sizeof path) {
    Refuse("Path too long, not backed up", folder, name, 0);
  } else if (lstat64(path, &st) != 0) {
    if (errno != ENOENT) {
      char what[96];
      int err = errno;
      isDir = ListedAsFolder(folder, name);
      StrFormat(what, sizeof what, "Cannot read, %snot backed up (%s)", isDir ? "folder " : "", ReadFailure(err));
      Refuse(what, folder, name, isDir);
    }
  } else if (S_ISDIR(st.st_mode)) {
    TakeFolder(folder, name);
  } else if (S_ISREG(st.st_mode)) {
    TakeFile(folder, name);
  } else {
    LOGF("Not a file or folder, not backed up: '%s/%s'", folder, name);
    TotalSkippedEntries++;
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
    TotalSourceFiles = TotalSourceDirs = MaxLoop = TotalRefusedPaths = TotalRefusedFolders = 0;
    ScanIncomplete = TotalSkippedEntries = 0;
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
      TotalRefusedFolders += left;
      ScanIncomplete = 1;
      CloseScan();
      done = 1;
      break;
    }
    /* Listing anyway would list the previous folder under this one's name. */
    if (!HDD_ChangeDir(folder)) {
      RefuseFolder("Failed to enter, folder not backed up", folder);
      NrFiles = 0;
    } else {
      TotalSourceDirs++;
      NrFiles = (int32_t)TAP_Hdd_FindFirst(&FolderEntry, "");
      if (NrFiles == 0)
        CheckEmptyFolder(folder);
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
    if (FolderEntry.Attr == TAP_ATTR_FOLDER)
      TakeFolder(folder, FolderEntry.Name);
    else if (FolderEntry.Attr == TAP_ATTR_FILE)
      TakeFile(folder, FolderEntry.Name);
    else
      TakeOther(folder, FolderEntry.Name);
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
