/* The removal of expired backups (KeepDays), and in a rerun the tidy of
 * today's folder, which loses what its new catalogue does not list.  Both
 * are one walk through folder handles: every step is opened from the one
 * above it and never through a link, and at each idle event the chain is
 * opened again from the destination root and checked against what each
 * step was when it was entered, so that nothing outside the dated folder is
 * ever reached, a folder swapped for a link included.  No mount is crossed.
 * A folder is listed afresh at each event and taken in the order of its
 * names, from the last one taken: a handle's offset is never carried over
 * (an sshfs dies of a seek on a new handle), and no entry is passed over
 * while others go.  State: the progress of the removal or tidy. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../checksum/CRC32.h"
#include "Vaultrix.h"

/* A candidate's Date holds the folder's name as YYYYMMDD, below 2^27; the
 * bits above say what the folder holds and whether it stays.  None of the
 * kinds: a complete backup. */
#define REMOVE_KEEP 0x80000000u
#define REMOVE_HALF 0x40000000u       /* a removal cut short: marked, no catalogue */
#define REMOVE_UNFINISHED 0x20000000u /* a run began it and never finished */
#define REMOVE_PARTIAL 0x10000000u    /* a run that did not take every file */
#define REMOVE_LEFTOVER (REMOVE_HALF | REMOVE_UNFINISHED)
#define REMOVE_KINDS (REMOVE_LEFTOVER | REMOVE_PARTIAL)
#define REMOVE_SEEN 0x08000000u /* its catalogue has been looked at for last good copies */
#define REMOVE_DAY_MASK 0x07FFFFFFu
#define DATE_NAME_LENGTH 10

#define WALK_LEVELS (PATH_SIZE / 2)
#define NAME_SIZE 256
/* Entries taken in one event: of the walk, of the destination root; the
 * listings of one folder in one event. */
#define WALK_BATCH 32
#define LIST_BATCH 8
#define WALK_ROUNDS 2
#define LISTING_SIZE 2048
#define MOUNTS_SIZE 1024
#define MOUNTS_READ 256

enum { REMOVE_LIST = 0, REMOVE_CHOOSE, REMOVE_GUARD, REMOVE_OPEN, REMOVE_WALK, REMOVE_DONE };
enum { TAKEN = 0, ENTERED, FAILED };

#define TIDY_FAILED "Files of an earlier run today not removed"

/* A folder of the walk as it was when entered. */
typedef struct WalkLevel {
  uint64_t Device, Inode;
  int32_t NameAt; /* its name in Rel, up to the next slash */
  byte Seen;      /* this pass of its listing met an entry */
  byte Kept;      /* a tidy left one there */
} WalkLevel;

static struct {
  int Phase;
  int Tidy;             /* only what today's catalogue does not list goes */
  char Root[ROOT_SIZE]; /* the destination root, with its slash */
  uint64_t RootDevice, RootInode;
  char Today[DATE_NAME_LENGTH + 1];
  char Mounts[MOUNTS_SIZE]; /* mount points below the root, relative to it */
  int32_t MountsUsed;
  char Resume[NAME_SIZE]; /* the last name taken of the folder being listed */
  CandidateList List;
  int32_t Next;                    /* the candidate being removed */
  char Name[DATE_NAME_LENGTH + 1]; /* the dated folder walked */
  char Rel[PATH_SIZE];             /* "/" and the folders entered below it, each with its slash */
  int32_t Depth;                   /* the level being listed; 0 the dated folder */
  WalkLevel Levels[WALK_LEVELS];
  int32_t Files;
  uint64_t Freed;
  int TodayHeld;   /* today's catalogue stands: what it holds intact needs no earlier copy */
  int Reclaim;     /* the round of a copy that ran out of room, or -1 */
  int32_t Removed; /* backups removed */
  int32_t *Needed; /* today's entries with no good copy among the backups looked at */
  int32_t NeededCount;
} Removal;

/* The catalogue being looked at for last good copies. */
static VXDB Guard;

static uint64_t Listing[LISTING_SIZE / sizeof(uint64_t)];
/* The next names of a folder in byte order: Order indexes Names. */
static char BatchNames[WALK_BATCH][NAME_SIZE];
static int BatchOrder[WALK_BATCH], BatchCount;

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

static void EndGuard(void)
{
  if (Removal.Needed)
    TAP_MemFree(Removal.Needed);
  Removal.Needed = NULL;
  Removal.NeededCount = 0;
  FreeVXDB(&Guard);
}

static void EndRemoval(void)
{
  FreeCandidates(&Removal.List);
  EndGuard();
  Removal.Phase = REMOVE_DONE;
}

/* A removal cut short lets go of its list; the next begins afresh. */
void ResetRemoval(void)
{
  FreeCandidates(&Removal.List);
  EndGuard();
  memset(&Removal, 0, sizeof Removal);
  BatchCount = 0;
}

int RemovedBackups(void)
{
  return (int)Removal.Removed;
}

/* Keeps one mount point of the table if it lies below the root. */
static int KeepMount(const char *point, const char *root)
{
  size_t length = strlen(root);
  if (strcmp(root, "/") == 0)
    length = 0;
  if (strncmp(point, root, length) != 0 || point[length] != '/' || point[length + 1] == 0)
    return 1;
  int32_t size = (int32_t)strlen(point + length + 1) + 1;
  if (Removal.MountsUsed + size > MOUNTS_SIZE)
    return 0;
  memcpy(Removal.Mounts + Removal.MountsUsed, point + length + 1, (size_t)size);
  Removal.MountsUsed += size;
  return 1;
}

/* The mount table, read once: the second field of each line, with its
 * octal escapes (\040 a blank) undone.  0 when it cannot be read whole.
 * A point is held up to the root's length and a path below it: one longer
 * is too deep for any path the walk builds, which counts as a mount point
 * anyway. */
static int ReadMounts(const char *root)
{
  char chunk[MOUNTS_READ], point[2 * PATH_SIZE];
  int fd = open("/proc/mounts", O_RDONLY), field = 0, escape = 0, code = 0, ok = fd >= 0;
  size_t length = 0;
  ssize_t got = 0;
  while (ok && (got = read(fd, chunk, sizeof chunk)) > 0)
    for (ssize_t k = 0; ok && k < got; k++) {
      char c = chunk[k];
      if (c == '\n' || ((c == ' ' || c == '\t') && field == 1)) {
        point[length < sizeof point ? length : 0] = 0;
        ok = field != 1 || length >= sizeof point || KeepMount(point, root);
        field = c == '\n' ? 0 : 2;
        length = 0;
      } else if (c == ' ' || c == '\t') {
        field++;
      } else if (field == 1 && (escape || c == '\\')) {
        code = escape ? code * 8 + (c - '0') : 0;
        if (++escape == 4) {
          point[length < sizeof point ? length : 0] = (char)code;
          length++;
          escape = 0;
        }
      } else if (field == 1) {
        point[length < sizeof point ? length : 0] = c;
        length++;
      }
    }
  if (fd >= 0)
    close(fd);
  return ok && got == 0;
}

/* The mount point at path (relative to the root), or of the first below it
 * with below set; NULL when there is none. */
static const char *MountAt(const char *path, int below)
{
  size_t length = strlen(path);
  for (int32_t at = 0; at < Removal.MountsUsed; at += (int32_t)strlen(Removal.Mounts + at) + 1) {
    const char *m = Removal.Mounts + at;
    if (strncmp(m, path, length) == 0 && (m[length] == 0 || (below && m[length] == '/')))
      return m;
  }
  return NULL;
}

static void Offer(const char *name, int limit)
{
  int slot = BatchCount, k;
  if (BatchCount == limit) {
    if (strcmp(name, BatchNames[BatchOrder[limit - 1]]) >= 0)
      return;
    slot = BatchOrder[--BatchCount];
  }
  StrCopy(BatchNames[slot], NAME_SIZE, name);
  for (k = BatchCount; k > 0 && strcmp(BatchNames[BatchOrder[k - 1]], name) > 0; k--)
    BatchOrder[k] = BatchOrder[k - 1];
  BatchOrder[k] = slot;
  BatchCount++;
}

/* The first limit names of a fresh folder handle that follow after, in
 * byte order, into the batch; 0 when the folder cannot be read. */
static int NextNames(int folder, const char *after, int limit)
{
  const char *name;
  int length, at;
  BatchCount = 0;
  while ((length = ListFolder(folder, Listing, sizeof Listing)) > 0)
    for (at = 0; (name = NextListed(Listing, length, &at)) != NULL;)
      if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strlen(name) < NAME_SIZE && strcmp(name, after) > 0)
        Offer(name, limit);
  return length == 0;
}

#define BATCH_NAME(k) BatchNames[BatchOrder[k]]

/* fd when it is the folder it was, else -1 with fd closed. */
static int SameFolder(int fd, uint64_t device, uint64_t inode)
{
  FileFacts f;
  if (fd >= 0 && (!StatAt(fd, ".", &f) || f.Device != device || f.Inode != inode)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

/* The destination root, which must be what it was at the start. */
static int OpenRoot(void)
{
  int fd = OpenAt(AT_FDCWD, Removal.Root, O_RDONLY | O_DIRECTORY | O_NONBLOCK, 0);
  return SameFolder(fd, Removal.RootDevice, Removal.RootInode);
}

/* failed: what the log says when the walk cannot begin. */
static int Begin(const char *failed)
{
  FileFacts f;
  char canonical[PATH_SIZE];
  size_t len = strlen(DestRoot);
  if (len < DATE_NAME_LENGTH + 1 || len - DATE_NAME_LENGTH - 1 >= sizeof Removal.Root)
    return 0;
  EndGuard();
  memset(&Removal, 0, sizeof Removal);
  Removal.Reclaim = -1;
  StrCopy(Removal.Root, len - DATE_NAME_LENGTH, DestRoot);
  StrCopy(Removal.Today, sizeof Removal.Today, DestRoot + len - DATE_NAME_LENGTH - 1);
  int fd = OpenAt(AT_FDCWD, Removal.Root, O_RDONLY | O_DIRECTORY | O_NONBLOCK, 0);
  if (fd < 0 || !StatAt(fd, ".", &f)) {
    LOGF("%s: cannot read '%s'", failed, Removal.Root);
    if (fd >= 0)
      close(fd);
    return 0;
  }
  Removal.RootDevice = f.Device;
  Removal.RootInode = f.Inode;
  if (!FolderPath(fd, canonical, sizeof canonical)) {
    StrCopy(canonical, sizeof canonical, Removal.Root);
    canonical[len - DATE_NAME_LENGTH - 2] = 0;
  }
  close(fd);
  if (!ReadMounts(canonical)) {
    LOGF("%s: cannot read the mount table", failed);
    return 0;
  }
  return 1;
}

/* ---- the walk ------------------------------------------------------------- */

static int WalkFailed(const char *what, const char *entry)
{
  char path[PATH_SIZE];
  StrFormat(path, sizeof path, "%s%s%s%s", Removal.Root, Removal.Name, Removal.Rel, entry);
  if (Removal.Tidy) {
    LOGF(TIDY_FAILED ": %s '%s'", what, path);
    Removal.Phase = REMOVE_DONE;
  } else {
    LOGF("Failed to remove backup %s: %s '%s'", Removal.Name, what, path);
    Removal.Phase = REMOVE_OPEN;
  }
  return FAILED;
}

static void BeginWalk(const FileFacts *dated)
{
  WalkLevel *top = &Removal.Levels[0];
  memset(top, 0, sizeof *top);
  top->Device = dated->Device;
  top->Inode = dated->Inode;
  Removal.Resume[0] = 0;
  StrCopy(Removal.Rel, sizeof Removal.Rel, "/");
  Removal.Depth = 0;
  Removal.Files = 0;
  Removal.Freed = 0;
  Removal.Phase = REMOVE_WALK;
}

static const char *LevelName(int32_t depth, char *name)
{
  if (depth == 0)
    return Removal.Name;
  StrCopy(name, PATH_SIZE, Removal.Rel + Removal.Levels[depth].NameAt);
  *strchr(name, '/') = 0;
  return name;
}

/* One step of the chain, which must be the folder it was when entered. */
static int OpenStep(int folder, int32_t depth)
{
  char name[PATH_SIZE];
  const WalkLevel *level = &Removal.Levels[depth];
  return SameFolder(OpenFolderAt(folder, LevelName(depth, name)), level->Device, level->Inode);
}

/* The folder being listed, opened again from the root step by step, with
 * its parent's handle in *parent; -1 when a step is not what it was. */
static int OpenWalk(int *parent)
{
  int up = OpenRoot(), fd = up >= 0 ? OpenStep(up, 0) : -1;
  for (int32_t k = 1; fd >= 0 && k <= Removal.Depth; k++) {
    close(up);
    up = fd;
    fd = OpenStep(up, k);
  }
  if (fd < 0 && up >= 0) {
    close(up);
    up = -1;
  }
  *parent = up;
  return fd;
}

static int Enter(const char *name, const FileFacts *f)
{
  size_t used = strlen(Removal.Rel), length = strlen(name);
  if (Removal.Depth + 1 >= WALK_LEVELS || used + length + 2 > sizeof Removal.Rel)
    return WalkFailed("too deep below", "");
  WalkLevel *level = &Removal.Levels[++Removal.Depth];
  memset(level, 0, sizeof *level);
  level->Device = f->Device;
  level->Inode = f->Inode;
  level->NameAt = (int32_t)used;
  StrFormat(Removal.Rel + used, sizeof Removal.Rel - used, "%s/", name);
  Removal.Resume[0] = 0;
  return ENTERED;
}

/* Back to the parent, which goes on after this folder's name. */
static void Leave(void)
{
  char *name = Removal.Rel + Removal.Levels[Removal.Depth].NameAt;
  StrCopy(Removal.Resume, sizeof Removal.Resume, name);
  *strchr(Removal.Resume, '/') = 0;
  *name = 0;
  Removal.Depth--;
}

/* A path too long to tell counts as a mount point. */
static int IsMountPoint(const char *name)
{
  char path[PATH_SIZE];
  return StrFormat(path, sizeof path, "%s%s%s", Removal.Name, Removal.Rel, name) >= (int)sizeof path ||
         MountAt(path, 0) != NULL;
}

static int ListedToday(const char *name)
{
  char path[PATH_SIZE];
  VXDBEntry probe;
  if (StrFormat(path, sizeof path, "%s%s", Removal.Rel, name) >= (int)sizeof path)
    return 1;
  memset(&probe, 0, sizeof probe);
  probe.PathCRC = CRC32(0, path, (dword)strlen(path));
  /* A name listed as not backed up holds nothing of this backup. */
  const VXDBEntry *e = FindPrevious(&CurrentVXDB, &probe, Removal.Rel, name);
  return e && BackedUp(e);
}

/* The dated folder's own files stay at its top: the marker of a removal
 * until the end; in a tidy, whatever stands beside the catalogue. */
static int KeptAtTop(const char *name)
{
  return Removal.Tidy ? ReservedName(name) : strcmp(name, VXDB_REMOVING_NAME) == 0;
}

/* One entry of the folder being listed: a folder on the root's disk that is
 * no mount point is entered, anything else but a folder is unlinked (a link
 * never followed) unless a tidy finds it in today's catalogue. */
static int TakeEntry(int folder, const char *name)
{
  WalkLevel *level = &Removal.Levels[Removal.Depth];
  FileFacts f;
  if (Removal.Depth == 0 && KeptAtTop(name))
    return TAKEN;
  if (!StatAt(folder, name, &f))
    return errno == ENOENT ? TAKEN : WalkFailed("cannot look at", name);
  level->Seen = 1;
  if (S_ISDIR(f.Mode)) {
    if (f.Device == Removal.RootDevice && !IsMountPoint(name))
      return Enter(name, &f);
    if (!Removal.Tidy)
      return WalkFailed("another file system is mounted at", name);
    char path[PATH_SIZE];
    StrFormat(path, sizeof path, "%s%s%s%s", Removal.Root, Removal.Name, Removal.Rel, name);
    LOGF("Left alone in today's backup: another file system is mounted at '%s'", path);
    level->Kept = 1;
    return TAKEN;
  }
  if (Removal.Tidy && ListedToday(name)) {
    level->Kept = 1;
    return TAKEN;
  }
  if (!RemoveAt(folder, name, 0)) {
    if (errno != ENOENT)
      return WalkFailed("cannot remove", name);
  } else if (S_ISREG(f.Mode) && !(Removal.Depth == 0 && ReservedName(name))) {
    Removal.Files++;
    if (f.Links == 1)
      Removal.Freed += f.Size;
  }
  return TAKEN;
}

/* The marker goes last, and then the folder; a folder that cannot go is
 * marked again, so that the next run finishes it. */
static void FinishRemoval(int root, int dated)
{
  char size[16];
  if ((!RemoveAt(dated, VXDB_REMOVING_NAME, 0) && errno != ENOENT) || !RemoveAt(root, Removal.Name, 1)) {
    (void)MakeMarker(dated, VXDB_REMOVING_NAME);
    WalkFailed("cannot remove", "");
    return;
  }
  (void)fsync(root);
  Removal.Removed++;
  if (DestCountsLinks) {
    FileSizeToString((dword)Removal.Freed, (dword)(Removal.Freed >> 32), size);
    LOGF("Removed backup %s: %d files, %s freed", Removal.Name, (int)Removal.Files, size);
  } else {
    LOGF("Removed backup %s: %d files, space freed unknown (this disk does not count links)", Removal.Name,
         (int)Removal.Files);
  }
  Removal.Phase = REMOVE_OPEN;
}

static void EndTidy(void)
{
  if (Removal.Files > 0)
    LOGF("Removed %d files of an earlier run today that this backup does not hold", (int)Removal.Files);
  Removal.Phase = REMOVE_DONE;
}

/* The listing of the folder at the bottom has ended.  A removal lists it
 * again until a pass finds it empty, and then it goes; a tidy removes it
 * unless it keeps something there. */
static void EndOfFolder(int parent, int folder)
{
  char name[PATH_SIZE];
  WalkLevel *level = &Removal.Levels[Removal.Depth];
  if (level->Seen && !Removal.Tidy) {
    level->Seen = 0;
    Removal.Resume[0] = 0;
  } else if (Removal.Depth == 0) {
    if (Removal.Tidy)
      EndTidy();
    else
      FinishRemoval(parent, folder);
  } else if (!level->Kept && RemoveAt(parent, LevelName(Removal.Depth, name), 1)) {
    Leave();
  } else if (Removal.Tidy) {
    Leave();
    Removal.Levels[Removal.Depth].Kept = 1;
  } else {
    WalkFailed("cannot remove", "");
  }
}

/* Up to a batch of the folder's next names; when its listing is over, the
 * end of the folder, and another pass of it within the same event. */
static void StepWalk(void)
{
  int parent, folder = OpenWalk(&parent), depth = Removal.Depth, k;
  if (folder < 0)
    WalkFailed("no longer the folder it was:", "");
  for (int round = 0; folder >= 0 && round < WALK_ROUNDS && Removal.Phase == REMOVE_WALK && Removal.Depth == depth;
       round++) {
    if (!NextNames(folder, Removal.Resume, WALK_BATCH)) {
      WalkFailed("cannot read", "");
      break;
    }
    for (k = 0; k < BatchCount; k++) {
      StrCopy(Removal.Resume, sizeof Removal.Resume, BATCH_NAME(k));
      if (TakeEntry(folder, BATCH_NAME(k)) != TAKEN)
        break;
    }
    if (k < BatchCount || BatchCount == WALK_BATCH)
      break;
    EndOfFolder(parent, folder);
    /* A folder reopened by the walk must be listed afresh. */
    if (Removal.Depth == depth && Removal.Phase == REMOVE_WALK) {
      close(folder);
      folder = OpenStep(parent, depth);
    }
  }
  if (folder >= 0)
    close(folder);
  if (parent >= 0)
    close(parent);
}

/* ---- the removal ---------------------------------------------------------- */

static int CatalogueIn(int folder, const char *name)
{
  VXDBHeader h;
  int fd = OpenAt(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
  if (fd < 0)
    return 0;
  int ok = ReadVXDBHeader(fd, &h);
  close(fd);
  return ok;
}

/* What a dated folder holds, as a candidate's kind bits; -1 when it is not
 * Vaultrix's. */
static int32_t KindOf(int root, const char *name)
{
  FileFacts f;
  int folder = -1;
  int32_t kind = -1;
  if (StatAt(root, name, &f) && S_ISDIR(f.Mode) && f.Device == Removal.RootDevice &&
      (folder = OpenFolderAt(root, name)) >= 0) {
    if (CatalogueIn(folder, VXDB_FILE_NAME))
      kind = 0;
    else if (CatalogueIn(folder, VXDB_PARTIAL_NAME))
      kind = REMOVE_PARTIAL;
    else if (MarkerAt(folder, VXDB_REMOVING_NAME) == 1)
      kind = REMOVE_HALF;
    else if (MarkerAt(folder, VXDB_UNFINISHED_NAME) == 1)
      kind = REMOVE_UNFINISHED;
  }
  if (folder >= 0)
    close(folder);
  return kind;
}

/* One entry of the destination root: a backup, complete or partial, a
 * folder Vaultrix began or began to remove, or something that is named
 * once and left alone. */
static void ListEntry(int root, const char *name)
{
  dword value = DateNameValue(name);
  if (value == 0)
    return;
  int today = strcmp(name, Removal.Today) == 0;
  int32_t kind = KindOf(root, name);
  if (kind < 0) {
    if (!today)
      LOGF("Not a backup, left alone: '%s%s'", Removal.Root, name);
    return;
  }
  if (!AddCandidate(&Removal.List, value | (dword)kind | (today ? REMOVE_KEEP : 0), name)) {
    WriteLog((char *)"Not enough memory to remove old backups");
    EndRemoval();
  }
}

static void StepList(void)
{
  int root = OpenRoot();
  if (root < 0 || !NextNames(root, Removal.Resume, LIST_BATCH)) {
    LOGF("Failed to remove old backups: cannot read '%s'", Removal.Root);
    EndRemoval();
  } else {
    for (int k = 0; k < BatchCount && Removal.Phase == REMOVE_LIST; k++) {
      StrCopy(Removal.Resume, sizeof Removal.Resume, BATCH_NAME(k));
      ListEntry(root, BATCH_NAME(k));
    }
    if (BatchCount < LIST_BATCH && Removal.Phase == REMOVE_LIST)
      Removal.Phase = REMOVE_CHOOSE;
  }
  if (root >= 0)
    close(root);
}

/* ---- the last good copy ------------------------------------------------------
 * No file that today's backup lists loses its last good copy: for each one
 * it does not hold intact (not backed up, refused, changed while read), or
 * every one while it is not saved yet, the newest backup that holds a good
 * copy stays, whatever the rules say.  Today's catalogue and the newest
 * earlier one are in memory already; the catalogues of the other backups
 * are loaded one per idle event, newest first, each once, and only while
 * some file still has no good copy among those looked at and an expired
 * backup is left to look at.  Memory: the index of each such entry of
 * today's catalogue (4 bytes), and one catalogue at a time. */

/* The folder of a candidate, with its slash, as LastDestRoot names one. */
static int IsLastBackup(const BackupCandidate *c)
{
  char folder[PATH_SIZE];
  StrFormat(folder, sizeof folder, "%s%s/", Removal.Root, Removal.List.Names + c->Name);
  return strcmp(folder, LastDestRoot) == 0;
}

/* Whether db holds a good copy of today's entry e; files says of how many
 * files (a folder's are all the good copies below it). */
static int Covers(const VXDB *db, const VXDBEntry *e, int32_t *files)
{
  char prefix[PATH_SIZE];
  const char *folder = EntryText(&CurrentVXDB, e->FolderOffset), *name = EntryText(&CurrentVXDB, e->NameOffset);
  *files = 0;
  if (!(e->Reserved & ENTRY_FOLDER)) {
    const VXDBEntry *p = FindPrevious(db, e, folder, name);
    *files = p && GoodCopy(p);
    return *files;
  }
  if (StrFormat(prefix, sizeof prefix, "%s%s/", folder, name) >= (int)sizeof prefix)
    return 0;
  size_t length = strlen(prefix);
  int32_t at = -1, below = 0;
  for (int32_t k = 0; k < db->NrEntries; k++) {
    const VXDBEntry *p = &db->Entries[k];
    if (p->FolderOffset != at) {
      at = p->FolderOffset;
      below = strncmp(EntryText(db, at), prefix, length) == 0;
    }
    *files += below && GoodCopy(p);
  }
  return *files > 0;
}

static int HasCatalogue(const BackupCandidate *c)
{
  return !(c->Date & REMOVE_LEFTOVER);
}

/* An expired backup with a catalogue not looked at yet. */
static int ExpiredLeft(void)
{
  for (int32_t k = 0; k < Removal.List.Count; k++) {
    dword d = Removal.List.Items[k].Date;
    if (!(d & (REMOVE_KEEP | REMOVE_SEEN)) && HasCatalogue(&Removal.List.Items[k]))
      return 1;
  }
  return 0;
}

/* What the guard looks at: the newest earlier backup (in memory), or the
 * candidate Guard holds; where it is in the needed entries; the files it
 * has found good copies of there. */
enum { GUARD_NEXT = 0, GUARD_LAST, GUARD_CANDIDATE };
#define GUARD_TICKS 2
static int GuardSource;
static int32_t GuardCandidate, GuardAt, GuardFiles;

/* The entries of today that need a good copy, less those that the newest
 * earlier backup holds (it stays: today's links point into it); 0 when
 * none is needed, or no expired backup could hold one. */
static int StartGuard(void)
{
  char today[PATH_SIZE];
  int32_t count = 0;
  if (!ExpiredLeft())
    return 0;
  for (int32_t k = 0; k < CurrentVXDB.NrEntries; k++)
    count += !Removal.TodayHeld || !GoodCopy(&CurrentVXDB.Entries[k]);
  if (count == 0)
    return 0;
  Removal.Needed = (int32_t *)TAP_MemAlloc((dword)count * sizeof *Removal.Needed);
  if (!Removal.Needed) {
    /* Without it nothing can be shown to have a newer good copy. */
    WriteLog((char *)"Not enough memory to remove old backups");
    EndRemoval();
    return 0;
  }
  for (int32_t k = 0; k < CurrentVXDB.NrEntries; k++)
    if (!Removal.TodayHeld || !GoodCopy(&CurrentVXDB.Entries[k]))
      Removal.Needed[Removal.NeededCount++] = k;
  /* A rerun's newest earlier backup may be today's own folder, whose
   * copies this run replaces. */
  StrFormat(today, sizeof today, "%s%s/", Removal.Root, Removal.Today);
  GuardSource = strcmp(today, LastDestRoot) != 0 ? GUARD_LAST : GUARD_NEXT;
  GuardAt = GuardFiles = 0;
  return 1;
}

/* The newest backup not looked at yet, its catalogue loaded; 0 when every
 * needed file has its copy or no expired backup is left to look at. */
static int NextGuard(void)
{
  char path[PATH_SIZE];
  CandidateList *l = &Removal.List;
  int32_t best = -1;
  for (int32_t k = 0; k < l->Count; k++) {
    BackupCandidate *c = &l->Items[k];
    if ((c->Date & REMOVE_SEEN) || !HasCatalogue(c))
      continue;
    if (strcmp(l->Names + c->Name, Removal.Today) == 0 || IsLastBackup(c)) {
      c->Date |= REMOVE_SEEN;
      continue;
    }
    if (best < 0 || (c->Date & REMOVE_DAY_MASK) > (l->Items[best].Date & REMOVE_DAY_MASK))
      best = k;
  }
  while (best >= 0 && Removal.NeededCount > 0 && ExpiredLeft()) {
    BackupCandidate *c = &l->Items[best];
    const char *name = l->Names + c->Name;
    c->Date |= REMOVE_SEEN;
    StrFormat(path, sizeof path, "%s%s/%s", Removal.Root, name,
              (c->Date & REMOVE_PARTIAL) ? VXDB_PARTIAL_NAME : VXDB_FILE_NAME);
    if (LoadVXDB(path, &Guard)) {
      GuardCandidate = best;
      GuardSource = GUARD_CANDIDATE;
      GuardAt = GuardFiles = 0;
      return 1;
    }
    /* What it holds cannot be told: it stays. */
    if (!(c->Date & REMOVE_KEEP))
      LOGF("Kept backup %s: its catalogue cannot be read", name);
    c->Date |= REMOVE_KEEP;
    return 1;
  }
  return 0;
}

/* One piece of the guard per idle event: a catalogue loaded, or the
 * needed entries looked up in it for as long as the event's ticks allow.
 * A candidate that holds a last good copy is kept, and said so. */
static void StepGuard(void)
{
  dword start = TAP_GetTick();
  if (GuardSource == GUARD_NEXT) {
    if (!NextGuard()) {
      EndGuard();
      Removal.Phase = REMOVE_OPEN;
    }
    return;
  }
  const VXDB *db = GuardSource == GUARD_LAST ? &LastVXDB : &Guard;
  int32_t n;
  while (GuardAt < Removal.NeededCount) {
    if ((GuardAt & 15) == 0 && TAP_GetTick() - start >= GUARD_TICKS)
      return;
    if (Covers(db, &CurrentVXDB.Entries[Removal.Needed[GuardAt]], &n)) {
      GuardFiles += n;
      Removal.Needed[GuardAt] = Removal.Needed[--Removal.NeededCount];
    } else {
      GuardAt++;
    }
  }
  if (GuardSource == GUARD_CANDIDATE) {
    BackupCandidate *c = &Removal.List.Items[GuardCandidate];
    if (GuardFiles > 0 && !(c->Date & REMOVE_KEEP)) {
      c->Date |= REMOVE_KEEP;
      LOGF("Kept backup %s: it holds the last good copy of %d files", Removal.List.Names + c->Name, (int)GuardFiles);
    }
    FreeVXDB(&Guard);
  }
  GuardSource = GUARD_NEXT;
}

/* Marks what stays: today's folder and the one today's links point into,
 * whatever they hold; every backup and unfinished folder of the last
 * KeepDays days; the KeepDays + 1 newest complete backups whatever their
 * dates, or, once a copy found no room and the rules freed none, only the
 * newest.  Removals cut short, then unfinished and partial folders go
 * first, then the rest oldest first. */
static void ChooseRemovals(void)
{
  CandidateList *l = &Removal.List;
  dword mjd = LastBackup >> 16;
  dword oldest = INIKeepDays < mjd ? MjdValue(mjd - INIKeepDays) : 0;
  dword newest = Removal.Reclaim > 0 ? 0 : INIKeepDays;

  for (int32_t k = 0; k < l->Count; k++) {
    BackupCandidate *c = &l->Items[k];
    dword day = c->Date & REMOVE_DAY_MASK, newer = 0;
    if (IsLastBackup(c))
      c->Date |= REMOVE_KEEP;
    if (c->Date & (REMOVE_KEEP | REMOVE_HALF))
      continue;
    for (int32_t j = 0; j < l->Count; j++)
      if (!(l->Items[j].Date & REMOVE_KINDS) && (l->Items[j].Date & REMOVE_DAY_MASK) > day)
        newer++;
    if (day >= oldest || (!(c->Date & REMOVE_KINDS) && newer <= newest))
      c->Date |= REMOVE_KEEP;
  }
  for (int32_t k = 1; k < l->Count; k++)
    for (int32_t j = k; j > 0; j--) {
      BackupCandidate *a = &l->Items[j - 1], *b = &l->Items[j];
      int aFirst = (a->Date & REMOVE_KINDS) != 0, bFirst = (b->Date & REMOVE_KINDS) != 0;
      if (aFirst > bFirst || (aFirst == bFirst && (a->Date & REMOVE_DAY_MASK) <= (b->Date & REMOVE_DAY_MASK)))
        break;
      BackupCandidate t = *a;
      *a = *b;
      *b = t;
    }
  Removal.Next = -1;
  Removal.Phase = REMOVE_OPEN;
  if (StartGuard())
    Removal.Phase = REMOVE_GUARD;
}

/* Its catalogue goes only once the marker stands, each made durable, so
 * that from then on nothing takes the folder for a backup and the next run
 * finishes what this one cuts short. */
static int DropCatalogues(int folder)
{
  return (RemoveAt(folder, VXDB_FILE_NAME, 0) || errno == ENOENT) &&
         (RemoveAt(folder, VXDB_PARTIAL_NAME, 0) || errno == ENOENT) && fsync(folder) == 0;
}

/* Starts on the next folder to go: left alone whole when a file system is
 * mounted in it or its marker's name holds anything but an empty file. */
static void OpenRemoval(void)
{
  FileFacts f;
  do
    Removal.Next++;
  while (Removal.Next < Removal.List.Count && (Removal.List.Items[Removal.Next].Date & REMOVE_KEEP));
  /* Beyond the rules, one backup a round: only as much as the copy needs. */
  if (Removal.Next >= Removal.List.Count || (Removal.Reclaim > 0 && Removal.Removed > 0)) {
    EndRemoval();
    return;
  }
  StrCopy(Removal.Name, sizeof Removal.Name, Removal.List.Names + Removal.List.Items[Removal.Next].Name);
  StrCopy(Removal.Rel, sizeof Removal.Rel, "/");
  const char *mount = MountAt(Removal.Name, 1);
  if (mount) {
    LOGF("Backup %s left alone: a file system is mounted at '%s%s'", Removal.Name, Removal.Root, mount);
    return;
  }
  int root = OpenRoot(), folder = root >= 0 ? OpenFolderAt(root, Removal.Name) : -1, marked = 0;
  if (folder < 0 || !StatAt(folder, ".", &f) || f.Device != Removal.RootDevice)
    WalkFailed("no longer a folder of this disk:", "");
  else if ((marked = MakeMarker(folder, VXDB_REMOVING_NAME)) < 0)
    LOGF("Backup %s left alone: '%s%s/%s' is not Vaultrix's marker", Removal.Name, Removal.Root, Removal.Name,
         VXDB_REMOVING_NAME);
  else if (!marked)
    WalkFailed("cannot mark", "");
  else if (!DropCatalogues(folder))
    WalkFailed("cannot remove the catalogue of", "");
  else
    BeginWalk(&f);
  if (folder >= 0)
    close(folder);
  if (root >= 0)
    close(root);
}

int StartRemoval(int todayHeld, int reclaim)
{
  if (INIKeepDays == 0 || !Begin("Failed to remove old backups"))
    return 0;
  Removal.TodayHeld = todayHeld;
  Removal.Reclaim = reclaim;
  Removal.Phase = REMOVE_LIST;
  return 1;
}

/* In a rerun, today's folder may hold files of the first attempt that the
 * new catalogue does not list: they go before it is saved. */
int StartTidy(void)
{
  FileFacts f;
  if (!DatedFolderExisted || !Begin(TIDY_FAILED))
    return 0;
  int root = OpenRoot();
  int ok = root >= 0 && StatAt(root, Removal.Today, &f) && S_ISDIR(f.Mode);
  if (root >= 0)
    close(root);
  if (!ok)
    return 0;
  Removal.Tidy = 1;
  StrCopy(Removal.Name, sizeof Removal.Name, Removal.Today);
  BeginWalk(&f);
  return 1;
}

/* One bounded piece of the removal or tidy per idle event; 1 once over. */
int StepRemove(void)
{
  switch (Removal.Phase) {
  case REMOVE_LIST: StepList(); break;
  case REMOVE_CHOOSE: ChooseRemovals(); break;
  case REMOVE_GUARD: StepGuard(); break;
  case REMOVE_OPEN: OpenRemoval(); break;
  case REMOVE_WALK: StepWalk(); break;
  }
  return Removal.Phase == REMOVE_DONE;
}
