/* What the destination disk can hold: hard links, names that differ in
 * letter case only, and the names it refuses.  State: the probe's two
 * answers for this run. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vaultrix.h"


/* Owners' USB disks are often exFAT or FAT: no hard links, one file for
 * names that differ in letter case only, some characters refused.  Until
 * the probe has looked, and when it cannot tell, a disk is taken to hold
 * links and to keep case. */
int DestHoldsLinks = 1, DestIgnoresCase = 0, DestCountsLinks = 1;

void ResetDiskProbe(void)
{
  DestHoldsLinks = 1;
  DestIgnoresCase = 0;
  DestCountsLinks = 1;
}

#define PROBE_NAME VXDB_PROBE_NAME
#define PROBE_OTHER_CASE "vxdb.PROBE"
#define PROBE_LINK VXDB_PROBE_LINK_NAME

void ProbeDestination(const char *folder)
{
  CallTraceEnter("ProbeDestination");
  char probe[PATH_SIZE], other[PATH_SIZE], linked[PATH_SIZE];
  struct stat64 st;
  ResetDiskProbe();
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
    DestCountsLinks = !DestHoldsLinks || (lstat64(probe, &st) == 0 && st.st_nlink >= 2);
    (void)unlink(linked);
    (void)unlink(probe);
    if (!DestHoldsLinks)
      WriteLog((char *)"Destination cannot hold hard links: every file is copied");
    if (DestIgnoresCase)
      WriteLog((char *)"Destination ignores letter case");
  }
  CallTraceExit(NULL);
}

/* Some drivers refuse a name as if it were missing: the folder is there. */
static int FolderThere(const char *destination)
{
  char folder[PATH_SIZE];
  struct stat64 st;
  StrCopy(folder, sizeof folder, destination);
  char *slash = strrchr(folder, '/');
  if (slash)
    *slash = 0;
  return slash && lstat64(folder, &st) == 0;
}

/* Why the destination refused to take a file, for its log line. */
const char *RefusalReason(int err, const char *destination)
{
  static char other[24];
  switch (err) {
  case EINVAL:
  case EILSEQ:
  case ENAMETOOLONG:
    return "the disk does not accept this name";
  case ENOENT:
    return FolderThere(destination) ? "the disk does not accept this name" : "its folder could not be made";
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

int DiskRefused(int err, const char *destination)
{
  return err == EINVAL || err == EILSEQ || err == ENAMETOOLONG || err == EFBIG ||
         (err == ENOENT && FolderThere(destination));
}

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
 * are one file, and the second copy would remove the first.  The files this
 * run wrote are the entries backed up so far, whichever their order: a file
 * read again after the others meets the names they took. */
int MayWriteName(const VXDB *current, int32_t index, const char *destination)
{
  CallTraceEnter("MayWriteName");
  char mine[PATH_SIZE], theirs[PATH_SIZE], earlier[PATH_SIZE];
  struct stat64 found, st;
  int ok = 1;
  if (lstat64(destination, &found) == 0 && EntryPath(current, &current->Entries[index], 1, mine)) {
    size_t length = strlen(mine);
    for (int32_t k = 0; ok && k < current->NrEntries; k++) {
      const VXDBEntry *p = &current->Entries[k];
      if (k == index ||
          strlen(EntryText(current, p->FolderOffset)) + strlen(EntryText(current, p->NameOffset)) != length ||
          !BackedUp(p) || !EntryPath(current, p, 1, theirs) || strcmp(mine, theirs) != 0)
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
