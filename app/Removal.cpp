/* The removal of expired backups: after a complete backup, the dated
 * folders beyond KeepDays go, one entry per idle event, each first marked
 * and stripped of its catalogue so that a removal cut short is finished
 * later and never taken for a backup.  State: the removal's progress. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vaultrix.h"

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

/* 1 when KeepDays asks for a removal and it has begun: StepRemove then
 * carries it on. */
int StartRemoval(void)
{
  size_t len = strlen(DestRoot);
  if (INIKeepDays == 0 || len < DATE_NAME_LENGTH + 1 || len - DATE_NAME_LENGTH - 1 >= sizeof Removal.Root)
    return 0;
  memset(&Removal, 0, sizeof Removal);
  StrCopy(Removal.Root, len - DATE_NAME_LENGTH, DestRoot);
  StrCopy(Removal.Today, sizeof Removal.Today, DestRoot + len - DATE_NAME_LENGTH - 1);
  Removal.Dir = opendir(Removal.Root);
  if (!Removal.Dir) {
    LOGF("Failed to remove old backups: cannot read '%s'", Removal.Root);
    return 0;
  }
  Removal.Phase = REMOVE_LIST;
  return 1;
}

/* One bounded piece of the removal per idle event; 1 once it is over. */
int StepRemove(void)
{
  switch (Removal.Phase) {
  case REMOVE_LIST: ListRemovalEntry(); break;
  case REMOVE_CHOOSE: ChooseRemovals(); break;
  case REMOVE_OPEN: OpenRemoval(); break;
  case REMOVE_ENTRY: RemoveOneEntry(); break;
  }
  return Removal.Phase == REMOVE_DONE;
}
