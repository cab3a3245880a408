/* The entry in hand of the copy pass: its source opened without following
 * a link, then hashed and linked to the earlier backup's copy when its
 * contents are unchanged (the earlier copy read first when it is in today's
 * share), or copied and hashed as it is written; a file that changed while
 * it was read is settled, and every copy is made durable before the pass
 * goes on, without an event waiting for the disk to write what that event
 * wrote.  Each event reads a bounded number of bytes and ends after
 * EVENT_TICKS.  State: the entry in hand (Job), the source folder held
 * open, what write-back may do, and what an event may read and write. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utime.h>

#include "Vaultrix.h"

/* Bytes moved per read and write; static, not on the plug-in's small stack.
 * A block takes a few milliseconds to hash on a recorder's processor, so the
 * event's time is looked at often enough. */
#define COPY_BLOCK 65536
/* File data read (and hashed, and written) per idle event at most: a large
 * file takes many events, so that none holds up the recorder for long.  A
 * recorder's processor hashes this much in under three ticks.  An event
 * also ends once the tick shows it has taken EVENT_TICKS. */
#define COPY_EVENT_BYTES 524288
#define EVENT_TICKS 2
/* What the pass's first event may read, and what a copy may write before
 * the pass waits for it: a tick's worth of a recorder's processor and disk.
 * On a fast disk a wait may take up to WAIT_BYTES along. */
#define FIRST_ALLOWANCE (4 * COPY_BLOCK)
#define WAIT_BYTES 8388608
/* A flag sync_file_range refuses, to prove that the flags reach the kernel. */
#define UNKNOWN_SYNC_FLAG 0x40

CopyJob Job; /* its descriptors are set to -1 when the pass starts */

/* A destination that already exists may be a hard link into an earlier
 * backup: it is unlinked, never written into. */
static int RemoveExisting(const char *path)
{
  return unlink(path) == 0 || errno == ENOENT;
}

/* No event waits for the disk to write what it wrote itself: an event
 * starts the write-back of what it wrote, and a later event waits for it
 * before the copy goes on, so that the pass writes no faster than the
 * disk.  A finished copy is synced whole by the next event.  State:
 * whether sync_file_range may start and wait for write-back (-1 not yet
 * known), the bytes an event may read, and the bytes of a copy written
 * between two waits; each halved when the work or the wait took a tick,
 * raised by a block when it took none, so that events stay short on a
 * slow processor or disk. */
static int WriteBackProven;
static dword ReadAllowance, WriteAllowance;
/* The tick at which this event's work began. */
static dword EventStart;

int OutOfTime(void)
{
  return TAP_GetTick() - EventStart >= EVENT_TICKS;
}

/* sync_file_range over the whole file; 0 with errno on failure. */
static int SyncRange(int fd, unsigned flags)
{
#if defined(__mips__) && !defined(__mips64)
  /* o32 passes the two 64-bit arguments in aligned register pairs: the
   * flags are the seventh word, which a C library's syscall() may drop. */
  return syscall(SYS_sync_file_range, fd, 0, 0, 0, 0, 0, flags) == 0;
#else
  return syscall(SYS_sync_file_range, fd, (off_t)0, (off_t)0, flags) == 0;
#endif
}

/* sync_file_range is used only once it took valid flags and refused an
 * unknown one on this pass's first copy: a kernel before 2.6.17, or a C
 * library that drops or garbles the flags (a call with none "succeeds"
 * doing nothing), leaves the waits to fsync. */
static void ProveWriteBack(int fd)
{
  if (WriteBackProven >= 0)
    return;
  WriteBackProven = SyncRange(fd, SYNC_FILE_RANGE_WRITE) &&
                    !SyncRange(fd, SYNC_FILE_RANGE_WRITE | UNKNOWN_SYNC_FLAG) && errno == EINVAL;
}

static void StartWriteBack(int fd)
{
  if (WriteBackProven > 0)
    (void)SyncRange(fd, SYNC_FILE_RANGE_WRITE);
}

/* What earlier events wrote to fd, on the disk; 0 with errno on failure. */
static int WaitWriteBack(int fd)
{
  if (WriteBackProven > 0 &&
      SyncRange(fd, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER))
    return 1;
  if (WriteBackProven > 0 && (errno == EIO || errno == ENOSPC || errno == EDQUOT))
    return 0;
  WriteBackProven = 0; /* not offered for this file system: fsync */
  return fsync(fd) == 0;
}

static void Adapt(dword *allowance, dword since, dword most)
{
  dword took = TAP_GetTick() - since;
  if (took > 0)
    *allowance = *allowance / 2 > COPY_BLOCK ? *allowance / 2 : COPY_BLOCK;
  else
    *allowance = *allowance + COPY_BLOCK < most ? *allowance + COPY_BLOCK : most;
}

/* The wait for what earlier events wrote of the copy in hand; 0 with errno
 * on failure. */
static int PaceWrites(void)
{
  dword before = TAP_GetTick();
  int ok = WaitWriteBack(Job.Out), err = errno;
  Adapt(&WriteAllowance, before, WAIT_BYTES);
  Job.Unwaited = 0;
  errno = err;
  return ok;
}

/* The source folder of the last entry, held open: the entries of a folder
 * follow each other in the catalogue. */
static int SourceFolderFd = -1;
static char SourceFolder[PATH_SIZE];

void CloseSourceFolder(void)
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
      next = OpenAt(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
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
  int in = dir < 0 ? -1 : OpenAt(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW, 0);
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
  Job.OpenedAt = KernelClock();
  return in;
}

/* Stamps kept to the whole second (ext2, ext3, ext4 with small inodes) do
 * not move for a write made within the second they show: a copy of a file
 * stamped in the second of its opening, or later, may mix two versions
 * however still its stamps kept.  Such a copy is read once more after that
 * second, as git treats a racily clean entry.  An old file costs nothing
 * more, nor does any file on a disk that keeps finer stamps. */
static int StampsRacy(const struct stat64 *st)
{
  return st->st_mtim.tv_nsec == 0 && st->st_ctim.tv_nsec == 0 &&
         ((int64_t)st->st_mtime >= (int64_t)Job.OpenedAt || (int64_t)st->st_ctime >= (int64_t)Job.OpenedAt);
}

static int NoSpace(int err)
{
  return err == ENOSPC || err == EDQUOT;
}

/* Ends the entry in hand: descriptors closed, and the entry made to
 * describe what stands in the backup.  Where the backup does not hold the
 * file, nothing stays at its name: not a copy that is not whole, nor a
 * leftover of an earlier attempt of the day. */
static void EndEntry(int outcome)
{
  int held = outcome == ENTRY_COPIED || outcome == ENTRY_LINKED || outcome == ENTRY_UNPROVEN;
  if (Job.Out >= 0)
    close(Job.Out);
  if (Job.In >= 0)
    close(Job.In);
  if (Job.Check >= 0)
    close(Job.Check);
  Job.In = Job.Out = Job.Check = -1;
  if (!held && Job.NameOk)
    (void)unlink(Job.Destination);
  /* A copy proven by reading the source again is described already. */
  if (held && (!Job.Verifying || Job.KeptEarlier)) {
    TAP_MemCpy(Job.Entry->MD5, Job.Md5.digest, sizeof Job.Entry->MD5);
    Job.Entry->FileSize = Job.Done;
    Job.Entry->ChangeTime = Job.KeptEarlier ? Job.Previous->ChangeTime : (int32_t)Job.Stat.st_ctime;
    Job.Entry->ModifyTime = Job.KeptEarlier ? Job.Previous->ModifyTime : (int32_t)Job.Stat.st_mtime;
  }
  Job.Outcome = outcome;
  Job.Reading = READ_NONE;
}

static void EndCheck(int whole);

/* Set while the folder of the entries in hand could not be made because
 * the disk refuses its name. */
static int FolderRefused;

/* A failure for a name or size that the disk will refuse at every backup. */
static void NoteRefusal(int err)
{
  Job.Refused = DiskRefused(err, Job.Destination) || (FolderRefused && err == ENOENT);
}

/* Reads the source again from its start, now to copy it. */
static void StartCopy(void)
{
  int room = RoomFor((uint64_t)Job.Stat.st_size);
  if (room <= 0) {
    EndEntry(room < 0 ? ENTRY_RECLAIM : ENTRY_NO_ROOM);
    return;
  }
  if (lseek64(Job.In, 0, SEEK_SET) != 0) {
    LOGF("Failed to read source '%s'", Job.Source);
    EndEntry(ENTRY_FAILED);
    return;
  }
  Job.Out = RemoveExisting(Job.Destination) ? open(Job.Destination, O_WRONLY | O_CREAT | O_EXCL, 0777) : -1;
  if (Job.Out < 0) {
    int err = errno;
    if (NoSpace(err) && MayReclaim()) {
      EndEntry(ENTRY_RECLAIM);
      return;
    }
    LOGF("Failed to open destination '%s'", Job.Destination);
    LOGF("Reason: %s", RefusalReason(err, Job.Destination));
    NoteRefusal(err);
    EndEntry(ENTRY_FAILED);
    return;
  }
  ProveWriteBack(Job.Out);
  MD5Init(&Job.Md5);
  Job.Done = 0;
  Job.Unwaited = 0;
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

/* The source's size and time stamps, to the finest the disk keeps, as they
 * were when it was opened: otherwise a write may have come between two
 * reads, and the bytes read may mix two versions. */
static int StampsAsOpened(void)
{
  struct stat64 now;
  return fstat64(Job.In, &now) == 0 && now.st_size == Job.Stat.st_size && now.st_mtime == Job.Stat.st_mtime &&
         now.st_mtim.tv_nsec == Job.Stat.st_mtim.tv_nsec && now.st_ctime == Job.Stat.st_ctime &&
         now.st_ctim.tv_nsec == Job.Stat.st_ctim.tv_nsec;
}

/* The earlier backup's copy, whole by its catalogue, that may stand for a
 * file which kept changing. */
static int EarlierCopyThere(void)
{
  struct stat64 st;
  return Job.HasOld && GoodCopy(Job.Previous) && lstat64(Job.Old, &st) == 0 && S_ISREG(st.st_mode) &&
         (uint64_t)st.st_size == Job.Previous->FileSize;
}

/* The earlier copy stands for the file, with its catalogue entry: linked,
 * or where no link can be made, copied and hashed as it is written, so
 * that the entry describes the bytes stored. */
static void KeepEarlier(void)
{
  if (Job.Out >= 0)
    close(Job.Out);
  Job.Out = -1;
  Job.KeptEarlier = 1;
  TAP_MemCpy(Job.Md5.digest, Job.Previous->MD5, sizeof Job.Md5.digest);
  Job.Done = Job.Previous->FileSize;
  if (DestHoldsLinks && (SameFile(Job.Old, Job.Destination) ||
                         (RemoveExisting(Job.Destination) && LinkFile(Job.Old, Job.Destination) == 0))) {
    EndEntry(ENTRY_LINKED);
    return;
  }
  close(Job.In);
  Job.In = open(Job.Old, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_LARGEFILE);
  if (Job.In < 0 || fstat64(Job.In, &Job.Stat) != 0) {
    LOGF("Failed to read '%s'", Job.Old);
    EndEntry(ENTRY_FAILED);
    return;
  }
  StartCopy();
}

/* The source changed while it was read: it is read again after the other
 * entries, REREADS times at most.  Then the earlier copy stands for it
 * where there is one, else the bytes read are kept; either is said in the
 * log.  1 when the copy in hand is to be finished as it is. */
static int SettleChange(void)
{
  if ((Job.Entry->Reserved & ENTRY_SWEEP) < REREADS) {
    Job.Entry->Reserved = (Job.Entry->Reserved & ~ENTRY_TO_PROVE) + 1;
    EndEntry(ENTRY_AGAIN);
    return 0;
  }
  Job.Settled = 1;
  TotalChangedWhileRead++;
  if (EarlierCopyThere()) {
    LOGF("Changed while read, earlier version kept: %s", Job.Source);
    KeepEarlier();
    return 0;
  }
  /* Noted beside the catalogue: never taken for a good copy, never kept
   * as the earlier version, never taken over unread. */
  LOGF("Changed while read, copy may be inconsistent: %s", Job.Source);
  Job.Entry->Reserved |= ENTRY_CHANGED;
  if (Job.Verifying) {
    EndEntry(ENTRY_COPIED); /* the copy made before stands */
    return 0;
  }
  if (Job.Reading == READ_COPY)
    return 1;
  StartCopy(); /* only hashed so far */
  return 0;
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
    Job.Previous->Reserved |= ENTRY_DAMAGED; /* no last good copy of it there */
    StartCopy();
    return;
  }
  LinkEarlier();
}

/* The source read once more, after the second of its stamps: the copy
 * stands when it holds what this reading found, and nothing moved the
 * stamps while it ran (any write now would). */
static void EndVerify(void)
{
  if (!StampsAsOpened() || Job.Done != Job.Entry->FileSize ||
      TAP_MemCmp(Job.Md5.digest, Job.Entry->MD5, sizeof Job.Md5.digest) != 0) {
    (void)SettleChange();
    return;
  }
  EndEntry(ENTRY_COPIED);
}

/* The whole source (or earlier copy) has been read. */
static void EndReading(void)
{
  if (Job.Reading == READ_CHECK) {
    EndCheck(1);
    return;
  }
  MD5Final(&Job.Md5);
  if (Job.Reading == READ_VERIFY) {
    EndVerify();
    return;
  }
  if (!Job.Settled && !StampsAsOpened() && !SettleChange())
    return;
  if (Job.Reading == READ_HASH) {
    if (TAP_MemCmp(Job.Md5.digest, Job.Previous->MD5, sizeof Job.Md5.digest) != 0 ||
        Job.Done != Job.Previous->FileSize) {
      /* Never linked: the earlier backup keeps the version that was good. */
      if (Job.Unchanged) {
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
  if (!Job.Settled && !Job.KeptEarlier && StampsRacy(&Job.Stat))
    Job.Unproven = 1;
  struct utimbuf times;
  times.actime = times.modtime = Job.Stat.st_mtime;
  (void)utime(Job.Destination, &times);
  Job.Reading = READ_WRITTEN;
}

/* A copy written whole in an earlier event goes to the disk, its data, size
 * and times, before it counts as copied. */
void CommitCopy(void)
{
  dword before = TAP_GetTick();
  int ok = fsync(Job.Out) == 0, err = errno;
  Adapt(&WriteAllowance, before, WAIT_BYTES);
  if (close(Job.Out) != 0 && ok) {
    ok = 0;
    err = errno;
  }
  Job.Out = -1;
  if (!ok && NoSpace(err) && MayReclaim()) {
    EndEntry(ENTRY_RECLAIM);
    return;
  }
  if (!ok)
    LOGF("Failed to write destination '%s': %s", Job.Destination, RefusalReason(err, Job.Destination));
  EndEntry(!ok ? ENTRY_FAILED : Job.Unproven ? ENTRY_UNPROVEN : ENTRY_COPIED);
}

static void WriteFailed(void)
{
  int err = errno;
  if (NoSpace(err) && MayReclaim()) {
    EndEntry(ENTRY_RECLAIM);
    return;
  }
  LOGF("Failed to write destination '%s': %s", Job.Destination, RefusalReason(err, Job.Destination));
  NoteRefusal(err);
  EndEntry(ENTRY_FAILED);
}

/* Reads, hashes and (when copying) writes the source, or reads the earlier
 * copy, on: at most ReadAllowance, with no more than WriteAllowance of the
 * copy unwaited for, and no longer than the event's ticks allow.  The
 * one-byte read at the expected end finds the end of the file without
 * another event. */
void ContinueEntry(void)
{
  static byte buffer[COPY_BLOCK];
  dword budget = ReadAllowance, written = 0;
  int probed = 0;
  if (Job.Reading == READ_COPY && Job.Unwaited >= WriteAllowance && !PaceWrites()) {
    WriteFailed();
    return;
  }
  dword start = TAP_GetTick();
  while (Job.Reading == READ_HASH || Job.Reading == READ_COPY || Job.Reading == READ_CHECK ||
         Job.Reading == READ_VERIFY) {
    int checking = Job.Reading == READ_CHECK;
    uint64_t *done = checking ? &Job.Checked : &Job.Done;
    uint64_t size = checking ? Job.Previous->FileSize : (uint64_t)Job.Stat.st_size;
    dword want = budget < COPY_BLOCK ? budget : COPY_BLOCK;
    dword room = Job.Unwaited < WriteAllowance ? WriteAllowance - Job.Unwaited : 0;
    if (Job.Reading == READ_COPY && want > room)
      want = room;
    if (want == 0 || OutOfTime()) {
      if (probed || *done < size)
        break;
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
    if (Job.Reading == READ_COPY) {
      if (!WriteAll(Job.Out, buffer, (dword)got)) {
        WriteFailed();
        return;
      }
      written += (dword)got;
      Job.Unwaited += (dword)got;
    }
  }
  if (written && Job.Out >= 0)
    StartWriteBack(Job.Out);
  Adapt(&ReadAllowance, start, COPY_EVENT_BYTES);
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
  Job.Previous->Reserved |= ENTRY_DAMAGED;
  return 0;
}

/* An earlier copy that is the source file itself (an owner who restored
 * with cp -al): a link to it would make the backup the live file, which
 * every later write changes. */
static int IsSource(const char *old)
{
  struct stat64 st;
  return lstat64(old, &st) == 0 && st.st_dev == Job.Stat.st_dev && st.st_ino == Job.Stat.st_ino;
}

static char LastDir[PATH_SIZE]; /* the folder of the last entry, made */

/* The same file in the earlier backup, when that one holds it, and the
 * path of its copy there. */
static void FindEarlier(VXDB *previous, const VXDBEntry *e, const char *folder, const char *name)
{
  Job.Previous = (VXDBEntry *)FindPrevious(previous, e, folder, name);
  if (Job.Previous && !BackedUp(Job.Previous))
    Job.Previous = NULL;
  Job.HasOld = Job.Previous && StrFormat(Job.Old, sizeof Job.Old, "%s%s%s", LastDestRoot, folder, name) <
                                   (int)sizeof Job.Old && !IsSource(Job.Old);
}

/* A copy made within the second of its source's stamps, read once more
 * once that second is over; until then the pass waits for it. */
static void BeginVerify(VXDB *previous, VXDBEntry *e, const char *folder, const char *name)
{
  int64_t stamped = e->ModifyTime > e->ChangeTime ? e->ModifyTime : e->ChangeTime;
  Job.Verifying = Job.NameOk = 1;
  if ((int64_t)KernelClock() <= stamped) {
    Job.Outcome = ENTRY_WAIT;
    return;
  }
  Job.In = OpenSource(folder, name, &Job.Stat);
  if (Job.In < 0) {
    EndEntry(Job.Outcome);
    return;
  }
  FindEarlier(previous, e, folder, name);
  MD5Init(&Job.Md5);
  Job.Reading = READ_VERIFY;
  if ((uint64_t)Job.Stat.st_size != e->FileSize || (int32_t)Job.Stat.st_mtime != e->ModifyTime ||
      (int32_t)Job.Stat.st_ctime != e->ChangeTime)
    (void)SettleChange();
}

/* Takes up an entry: its folder made, its source opened, and its reading
 * chosen.  A source of the earlier backup's size is hashed first, to be
 * linked if it is unchanged (its digest taken over unread when the quick
 * check may); any other is hashed as it is copied. */
void BeginEntry(VXDB *current, VXDB *previous, VXDBEntry *e)
{
  char dir[PATH_SIZE];
  const char *folder = EntryText(current, e->FolderOffset);
  const char *name = EntryText(current, e->NameOffset);

  Job.Entry = e;
  Job.Scanned = e->FileSize;
  Job.LinkFailed = Job.Unchanged = Job.InShare = Job.Quick = 0;
  Job.NameOk = Job.Refused = Job.HasOld = Job.Settled = Job.KeptEarlier = 0;
  Job.Unproven = Job.Verifying = 0;
  Job.Done = 0;
  Job.Previous = NULL;
  Job.Outcome = ENTRY_FAILED;
  if (StrFormat(dir, sizeof dir, "%s%s", DestRoot, folder) >= (int)sizeof dir ||
      StrFormat(Job.Source, sizeof Job.Source, "%s%s%s", SourceRoot, folder, name) >= (int)sizeof Job.Source ||
      StrFormat(Job.Destination, sizeof Job.Destination, "%s%s%s", DestRoot, folder, name) >=
          (int)sizeof Job.Destination) {
    LOGF("Path too long, not backed up: '%s%s'", folder, name);
    Job.Refused = 1;
    return;
  }
  if (strcmp(dir, LastDir) != 0) {
    /* A folder not made shows as failed files. */
    FolderRefused = !MakeBackupFolder(dir) && DiskRefused(errno, dir);
    StrCopy(LastDir, sizeof LastDir, dir);
  }
  if (e->Reserved & ENTRY_TO_PROVE) {
    BeginVerify(previous, e, folder, name);
    return;
  }
  if (!MayWriteName(current, (int32_t)(e - current->Entries), Job.Destination)) {
    Job.Refused = 1;
    return;
  }
  Job.NameOk = 1;
  Job.In = OpenSource(folder, name, &Job.Stat);
  if (Job.In < 0) {
    EndEntry(Job.Outcome);
    return;
  }
  FindEarlier(previous, e, folder, name);
  /* Where the probe found no hard links, none is tried. */
  if (Job.HasOld && DestHoldsLinks && Job.Previous->FileSize == (uint64_t)Job.Stat.st_size &&
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

/* Before the first entry of a pass. */
void StartEntries(void)
{
  memset(&Job, 0, sizeof Job);
  Job.In = Job.Out = Job.Check = -1;
  Job.Reading = READ_NONE;
  WriteBackProven = -1;
  ReadAllowance = WriteAllowance = FIRST_ALLOWANCE;
}

void StartEntryEvent(void)
{
  EventStart = TAP_GetTick();
}

/* As at load; started: a pass began, so the descriptors are Job's own. */
void ResetEntry(int started)
{
  if (started) {
    const int held[] = {Job.In, Job.Out, Job.Check};
    for (int fd : held)
      if (fd >= 0)
        close(fd);
  }
  CloseSourceFolder();
  memset(&Job, 0, sizeof Job);
  WriteBackProven = -1;
  ReadAllowance = WriteAllowance = FIRST_ALLOWANCE;
  EventStart = 0;
  SourceFolder[0] = LastDir[0] = 0;
  FolderRefused = 0;
}
