/* The destination during a run: today's dated folder made on the disk that
 * was found, and watched, so that nothing is made in the place of a disk
 * that vanished, and marked unfinished until its catalogue stands; the final
 * flush before the catalogue.  State: the devices of the destination root
 * and of the dated folder, whether the folder was there before, and how far
 * the flush has come. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vaultrix.h"

/* The device of the destination root when it was found, and of the dated
 * folder once made: a destination that vanishes (a USB disk pulled, a share
 * dropped) leaves a bare folder of the recorder's own disk at its path, and
 * nothing may be made there in its place. */
static dev_t DestRootDevice, DatedDevice;
static int DestRootKnown, DatedKnown;
int DatedFolderExisted;

/* Nothing of an earlier run's disk is taken for this run's. */
void ResetDatedFolder(void)
{
  DestRootDevice = DatedDevice = 0;
  DestRootKnown = DatedKnown = DatedFolderExisted = 0;
  StartFlush();
}

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

/* A catalogue describes its folder only while no file there has been
 * replaced: a rerun into today's folder removes it, complete or partial,
 * and its notes, durably, first; the notes a folder holds are then always
 * those of the catalogue saved after them. */
static int DropCatalogue(void)
{
  static const char *const names[] = {VXDB_FILE_NAME, VXDB_PARTIAL_NAME, VXDB_NOTES_NAME};
  char path[PATH_SIZE];
  for (const char *name : names) {
    if (StrFormat(path, sizeof path, "%s%s", DestRoot, name) >= (int)sizeof path)
      return 0;
    if (unlink(path) != 0 ? errno != ENOENT : !SyncFolderOf(path))
      return 0;
  }
  return 1;
}

/* The dated folder is Vaultrix's own, unfinished, until its catalogue
 * stands: such a folder may be removed once expired.  A rerun keeps the
 * marker of its first attempt; anything else by that name in today's folder
 * is not the owner's (the name is refused in the source) and is replaced. */
static int MarkUnfinished(void)
{
  int folder = OpenAt(AT_FDCWD, DestRoot, O_RDONLY | O_DIRECTORY | O_NONBLOCK, 0);
  if (folder < 0)
    return 0;
  int made = MakeMarker(folder, VXDB_UNFINISHED_NAME);
  if (made < 0 && RemoveAt(folder, VXDB_UNFINISHED_NAME, 0))
    made = MakeMarker(folder, VXDB_UNFINISHED_NAME);
  close(folder);
  return made == 1;
}

void ClearUnfinished(void)
{
  int folder = OpenAt(AT_FDCWD, DestRoot, O_RDONLY | O_DIRECTORY | O_NONBLOCK, 0);
  if (folder < 0)
    return;
  if (RemoveAt(folder, VXDB_UNFINISHED_NAME, 0))
    (void)fsync(folder);
  close(folder);
}

/* Makes the dated folder DestRoot, one level below the destination root
 * (rootLength bytes of it), which must still be the destination that was
 * found, and marks it unfinished before an earlier catalogue there goes, so
 * that it is never without both.  1 when the copy pass may write there. */
int MakeDatedFolder(size_t rootLength)
{
  CallTraceEnter("MakeDatedFolder");
  char root[ROOT_SIZE];
  StrCopy(root, sizeof root, DestRoot);
  root[rootLength < sizeof root ? rootLength : sizeof root - 1] = 0;
  int ok = 0, there = DestRootKnown && FolderOn(root, DestRootDevice);
  int made = there && mkdir(DestRoot, 0777) == 0;
  DatedFolderExisted = there && !made && errno == EEXIST;
  if (!there) {
    LOGF("Destination vanished: '%s'", root);
  } else if ((!made && !DatedFolderExisted) || !FolderOn(DestRoot, DestRootDevice)) {
    LOGF("Failed to create '%s'", DestRoot);
  } else if (!MarkUnfinished()) {
    LOGF("Failed to mark '%s' as unfinished", DestRoot);
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

/* ---- the final flush --------------------------------------------------------
 * Every copy is on the disk before the catalogue that lists it, and so are
 * the names that lead to it.  The copy pass synced each copy as it ended;
 * what is left are the folders, synced a few per event so that no event
 * waits for the whole disk: each folder of the catalogue with those above
 * it that the folder before did not share (so every folder once), then the
 * dated folder and the destination root.  State: the entry reached, and the
 * folder of the last entry synced. */

#define FLUSH_FOLDERS 32
#define FLUSH_TICKS 2

static int32_t FlushIndex;
static char FlushedFolder[PATH_SIZE];

void StartFlush(void)
{
  FlushIndex = 0;
  FlushedFolder[0] = 0;
}

/* Syncs a folder of the backup; one that is not there holds nothing.  0
 * with errno on failure. */
static int SyncBackupFolder(const char *path)
{
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR;
  int ok = fsync(fd) == 0, err = errno;
  close(fd);
  errno = err;
  return ok;
}

/* The folder rel ("/" and its parts, each with its slash) of the backup and
 * those above it, down to the first that rel shares with done. */
static int SyncFoldersOf(const char *rel, const char *done, char *path)
{
  size_t shared = 1, k;
  for (k = 0; rel[k] && rel[k] == done[k]; k++)
    if (rel[k] == '/')
      shared = k + 1;
  size_t stop = strlen(DestRoot) + shared - 1;
  /* Too long for the pass, or no folder: nothing was made there. */
  if (rel[0] != '/' || StrFormat(path, PATH_SIZE, "%s%s", DestRoot, rel + 1) >= PATH_SIZE)
    return 1;
  for (size_t len = strlen(path); len > stop;) {
    path[len] = 0;
    if (!SyncBackupFolder(path))
      return 0;
    for (len--; len > 0 && path[len - 1] != '/';)
      len--;
  }
  return 1;
}

int StepFlush(void)
{
  CallTraceEnter("StepFlush");
  char path[PATH_SIZE];
  dword start = TAP_GetTick();
  int synced = 0, result = 0, ok = 1;
  for (; ok && FlushIndex < CurrentVXDB.NrEntries; FlushIndex++) {
    const char *folder = EntryText(&CurrentVXDB, CurrentVXDB.Entries[FlushIndex].FolderOffset);
    if (strcmp(folder, FlushedFolder) == 0)
      continue;
    if (synced == FLUSH_FOLDERS || TAP_GetTick() - start >= FLUSH_TICKS)
      break;
    ok = SyncFoldersOf(folder, FlushedFolder, path);
    StrCopy(FlushedFolder, sizeof FlushedFolder, folder);
    synced++;
  }
  if (ok && FlushIndex == CurrentVXDB.NrEntries) {
    /* The dated folder, without its slash, and its name in the root. */
    size_t len = (size_t)StrCopy(path, sizeof path, DestRoot);
    path[len > 1 ? len - 1 : len] = 0;
    ok = SyncBackupFolder(path) && SyncFolderOf(path);
    result = 1;
  }
  if (!ok) {
    LOGF("Failed to write '%s' to the disk", path);
    result = -1;
  }
  CallTraceExit(NULL);
  return result;
}
