/* The previous-backup lookup: the newest catalogue under the destination
 * root, complete or partial, loaded into LastVXDB, with its folder in
 * LastDestRoot; and the guard against a clock that went back behind a
 * later backup.  State: whether the catalogue found is a partial one. */
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vaultrix.h"

#define CANDIDATE_STEP 64
#define CANDIDATE_NAMES_STEP 4096

/* The catalogues a backup folder may hold.  A partial one lists only what
 * its folder holds, so it serves as a base for links too; of two of the
 * same date, the complete one wins. */
static const char *const CatalogueNames[] = {VXDB_FILE_NAME, VXDB_PARTIAL_NAME};
#define CATALOGUE_KINDS 2
static int FoundPartial;

void ResetLookup(void)
{
  FoundPartial = 0;
}

/* Reads the header only, with the checks LoadVXDB makes of it, so that a
 * folder passed over here would fail its full load too; written receives
 * when the catalogue was written. */
static int ReadVXDBDate(const char *path, dword *date, int64_t *written)
{
  VXDBHeader h;
  struct stat64 st;
  int fd = open(path, O_RDONLY | O_NONBLOCK); /* a FIFO must not hang the lookup */
  if (fd < 0)
    return 0;
  int ok = ReadVXDBHeader(fd, &h) && fstat64(fd, &st) == 0;
  close(fd);
  if (ok) {
    *date = h.BackupDate;
    *written = (int64_t)st.st_mtime;
  }
  return ok;
}

void FreeCandidates(CandidateList *list)
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

int AddCandidate(CandidateList *list, dword date, const char *name)
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
  list->Items[list->Count].Order = date;
  list->Items[list->Count].Name = list->NamesUsed;
  list->NamesUsed += length;
  list->Count++;
  return 1;
}

int IsDatedName(const char *name)
{
  static const byte days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int k = 0; k < 10; k++)
    if (k == 4 || k == 7 ? name[k] != '-' : name[k] < '0' || name[k] > '9')
      return 0;
  int year = (name[0] - '0') * 1000 + (name[1] - '0') * 100 + (name[2] - '0') * 10 + (name[3] - '0');
  int month = (name[5] - '0') * 10 + (name[6] - '0'), day = (name[8] - '0') * 10 + (name[9] - '0');
  if (name[10] != 0 || month < 1 || month > 12 || day < 1 || day > days[month - 1])
    return 0;
  return month != 2 || day < 29 || (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0));
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
 * DestRoot + name + "/" + file. */
static int CatalogueFolder(const char *name, const char *file, char *path, size_t size)
{
  struct stat64 st;
  if (StrFormat(path, size, "%s%s/", DestRoot, name) >= (int)sizeof LastDestRoot)
    return 0;
  size_t len = strlen(path);
  path[len - 1] = 0;
  if (lstat64(path, &st) != 0 || (st.st_mode & 0xF000) != 0x4000 || !MayBeBackup(name, path))
    return 0;
  return StrFormat(path + len - 1, size - len + 1, "/%s", file) < (int)(size - len + 1);
}

/* Whether a catalogue (its place among the backups, its date, partial or
 * not) beats the best so far. */
static int Newer(dword order, dword date, int partial, dword bestOrder, dword bestDate, int bestPartial)
{
  if (order != bestOrder)
    return order > bestOrder;
  return date > bestDate || (date == bestDate && bestPartial && !partial);
}

/* Whether the date of some backup agrees with the clock that wrote its
 * catalogue; only then can a date be told to lie ahead (VXDBBackupOrder). */
static int DatesAgree(void)
{
  char path[PATH_SIZE];
  struct dirent *entry;
  dword date;
  int64_t written;
  int agreed = 0;
  DIR *dir = opendir(DestRoot);
  if (!dir)
    return 0;
  while (!agreed && (entry = readdir(dir)) != NULL)
    for (int kind = 0; kind < CATALOGUE_KINDS; kind++)
      if (CatalogueFolder(entry->d_name, CatalogueNames[kind], path, sizeof path) &&
          ReadVXDBDate(path, &date, &written) && date != 0 && !VXDBDatedAhead(date, written))
        agreed = 1;
  closedir(dir);
  return agreed;
}

/* The whole-load walk: every catalogue loaded, the best kept.  What the
 * lookup falls back to when it has no memory for its list. */
static void LoadEveryCatalogue(DIR *dir, VXDB *record)
{
  VXDB candidate;
  char path[PATH_SIZE];
  struct dirent *entry;
  struct stat64 st;
  dword best = 0;
  int agreed = DatesAgree();

  memset(&candidate, 0, sizeof candidate);
  FreeVXDB(&candidate);
  while ((entry = readdir(dir)) != NULL)
    for (int kind = 0; kind < CATALOGUE_KINDS; kind++) {
      if (!CatalogueFolder(entry->d_name, CatalogueNames[kind], path, sizeof path) || !LoadVXDB(path, &candidate))
        continue;
      dword order = stat64(path, &st) == 0 ? VXDBBackupOrder(candidate.BackupDate, (int64_t)st.st_mtime, agreed)
                                           : candidate.BackupDate;
      if (Newer(order, candidate.BackupDate, kind, best, record->BackupDate, FoundPartial)) {
        best = order;
        FreeVXDB(record);
        *record = candidate;
        memset(&candidate, 0, sizeof candidate);
        FreeVXDB(&candidate);
        FoundPartial = kind;
        StrFormat(LastDestRoot, sizeof LastDestRoot, "%s%s/", DestRoot, entry->d_name);
      } else {
        FreeVXDB(&candidate);
      }
    }
}

/* A candidate's name is its folder's followed by the digit of its kind. */
static int KindOf(const CandidateList *list, int32_t k)
{
  const char *name = list->Names + list->Items[k].Name;
  return name[strlen(name) - 1] - '0';
}

/* Headers first, then whole loads from the newest down until one loads:
 * the choice of the whole-load walk (newest loadable place and date, of
 * equal ones the complete one, then the first listed) with one full load
 * in the usual case.  0 when the list could not be kept. */
static int LoadNewestCatalogue(DIR *dir, VXDB *record)
{
  CandidateList list;
  char path[PATH_SIZE], named[PATH_SIZE];
  struct dirent *entry;
  dword date;
  int64_t written;
  int agreed = 0;

  memset(&list, 0, sizeof list);
  while ((entry = readdir(dir)) != NULL)
    for (int kind = 0; kind < CATALOGUE_KINDS; kind++) {
      /* A date of 0 never beats the empty record's. */
      if (CatalogueFolder(entry->d_name, CatalogueNames[kind], path, sizeof path) &&
          ReadVXDBDate(path, &date, &written) && date != 0 &&
          StrFormat(named, sizeof named, "%s%c", entry->d_name, '0' + kind) < (int)sizeof named) {
        if (!AddCandidate(&list, date, named)) {
          FreeCandidates(&list);
          return 0;
        }
        list.Items[list.Count - 1].Order = VXDBBackupOrder(date, written, 1);
        agreed |= !VXDBDatedAhead(date, written);
      }
    }
  for (int32_t k = 0; k < list.Count && !agreed; k++)
    list.Items[k].Order = list.Items[k].Date;
  for (;;) {
    int32_t best = -1;
    for (int32_t k = 0; k < list.Count; k++) {
      const BackupCandidate *c = &list.Items[k], *b = &list.Items[best < 0 ? 0 : best];
      if (c->Date != 0 && (best < 0 || Newer(c->Order, c->Date, KindOf(&list, k), b->Order, b->Date, KindOf(&list, best))))
        best = k;
    }
    if (best < 0)
      break;
    int kind = KindOf(&list, best);
    StrCopy(named, sizeof named, list.Names + list.Items[best].Name);
    named[strlen(named) - 1] = 0;
    if (CatalogueFolder(named, CatalogueNames[kind], path, sizeof path) && LoadVXDB(path, record)) {
      FoundPartial = kind;
      StrFormat(LastDestRoot, sizeof LastDestRoot, "%s%s/", DestRoot, named);
      break;
    }
    list.Items[best].Date = 0; /* broken after all: the next best */
  }
  FreeCandidates(&list);
  return 1;
}

/* The newest catalogue by its own date, not by its folder's name (a date
 * that a clock set ahead gave counts as the day it was written); of equal
 * dates the first listed wins. */
void FindLastBackup(VXDB *record)
{
  CallTraceEnter("FindLastBackup");
  if (!record) {
    CallTraceExit(NULL);
    return;
  }
  FreeVXDB(record);
  FoundPartial = 0;
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
    if (FoundPartial)
      WriteLog((char *)"That backup is incomplete: what it lacks is copied afresh");
  } else {
    WriteLog((char *)"No previous backup found, this might be the first one.");
  }
  CallTraceExit(NULL);
}

/* A backup folder of the destination root: a real folder named as a date,
 * holding a sound catalogue, complete or partial (a partial backup too is
 * a day that a rerun would rewrite). */
static int HoldsBackup(const char *name)
{
  char path[PATH_SIZE];
  struct stat64 st;
  dword date;
  int64_t written;
  if (!IsDatedName(name) || StrFormat(path, sizeof path, "%s%s", DestRoot, name) >= (int)sizeof path ||
      lstat64(path, &st) != 0 || !S_ISDIR(st.st_mode) || !MayBeBackup(name, path))
    return 0;
  size_t len = strlen(path);
  for (const char *catalogue : CatalogueNames)
    if (StrFormat(path + len, sizeof path - len, "/%s", catalogue) < (int)(sizeof path - len) &&
        ReadVXDBDate(path, &date, &written))
      return 1;
  return 0;
}

/* The newest backup dated after today, by its folder's name (which sorts as
 * the date); empty when there is none. */
static void NewestLaterBackup(const char *today, char *newest, size_t size)
{
  struct dirent *entry;
  newest[0] = 0;
  DIR *dir = opendir(DestRoot);
  if (!dir)
    return;
  while ((entry = readdir(dir)) != NULL)
    if (strcmp(entry->d_name, today) > 0 && strcmp(entry->d_name, newest) > 0 && HoldsBackup(entry->d_name))
      StrCopy(newest, size, entry->d_name);
  closedir(dir);
}

/* A backup dated after today means the clock went back.  Only a today's
 * folder that already holds a backup is refused: this run would rewrite an
 * earlier day with links to a later one.  Otherwise today's backup is made,
 * and the owner told.  today is the dated folder's name. */
int RefuseLaterBackup(const char *today)
{
  char newest[16];
  NewestLaterBackup(today, newest, sizeof newest);
  if (!newest[0])
    return 0;
  if (!HoldsBackup(today)) {
    LOGF("A later backup (%s) exists: the recorder's clock may be wrong", newest);
    return 0;
  }
  LOGF("A later backup (%s) exists: the recorder's clock may be wrong; no backup", newest);
  State = STATE_FINISH;
  return 1;
}
