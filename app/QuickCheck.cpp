/* The quick check and the rolling verification: which files the copy pass
 * may take over unread (size and time stamps unchanged since well before
 * the earlier backup began reading), and today's share of files read in
 * full, with their earlier copies; the share moves on by one at each
 * backup, kept in "VXDB.share" in the destination root.  State: when this
 * backup began reading, the earlier backup's start, and the share. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Vaultrix.h"

/* When this backup began reading files, by the kernel's clock (0 before),
 * and the share of files it reads in full. */
static dword ReadStart, ShareDay;

/* Seconds by which a file's time stamps must precede the moment the earlier
 * backup began reading, for its digest to be taken over unread.  A write
 * sets the change time to its own moment, so a file written after that
 * moment shows a later time; one written in the very second it was read,
 * or across a small step of the clock, is inside the margin and read. */
#define QUICK_MARGIN 60
/* Without the quick check, each earlier copy is still proven once in this
 * many backups. */
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

dword (*KernelClock)(void) = KernelTime;

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
 * before the earlier backup began reading, and a good copy that came from
 * reading the file: nothing can have written it since.  A copy noted as
 * changed while read is read again, whatever its stamps. */
int StampsUnchanged(const VXDBEntry *p, const struct stat64 *st)
{
  int64_t before = (int64_t)PreviousReadStart - QUICK_MARGIN;
  return PreviousReadStart != 0 && p->FileSize == (uint64_t)st->st_size &&
         (int64_t)p->ModifyTime == (int64_t)st->st_mtime && (int64_t)p->ChangeTime == (int64_t)st->st_ctime &&
         p->ModifyTime < before && p->ChangeTime < before && GoodCopy(p);
}

/* Today's share of the files, read in full whatever their time stamps, and
 * whose earlier copies are read before a link: every file once in
 * ShareDays backups. */
int InTodaysShare(const VXDBEntry *e)
{
  return e->PathCRC % ShareDays == ShareDay;
}

/* The file of the share in the destination root, the folder above the
 * dated one, with a suffix; 0 when the path does not fit. */
static int ShareFile(char *path, const char *suffix)
{
  size_t len = (size_t)StrCopy(path, PATH_SIZE, DestRoot);
  if (len >= PATH_SIZE)
    return 0;
  while (len > 0 && path[len - 1] == '/')
    len--;
  while (len > 0 && path[len - 1] != '/')
    len--;
  return len > 0 && StrFormat(path + len, PATH_SIZE - len, "%s%s", VXDB_SHARE_NAME, suffix) < (int)(PATH_SIZE - len);
}

/* The share after the one the last backup read, from "share days"; 0 for
 * a file that is missing, not ours or not of this many shares. */
static int LoadShare(dword *share)
{
  char path[PATH_SIZE], text[32];
  struct stat64 st;
  unsigned long last, days;
  if (!ShareFile(path, ""))
    return 0;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0)
    return 0;
  ssize_t got = fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text, sizeof text - 1) : -1;
  close(fd);
  if (got <= 0)
    return 0;
  text[got] = 0;
  const char *at = text;
  if (!TakeNumber(&at, 10, ' ', &last) || !TakeNumber(&at, 10, '\n', &days) || days != ShareDays || last >= days)
    return 0;
  *share = (dword)((last + 1) % days);
  return 1;
}

/* Today's share, for the next backup to take the one after: written beside
 * and renamed, never through a link or over something that is not a file. */
void SaveShare(void)
{
  char path[PATH_SIZE], temp[PATH_SIZE], text[32];
  struct stat64 st;
  if (!ShareFile(path, "") || !ShareFile(temp, VXDB_SAVE_SUFFIX))
    return;
  if (lstat64(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    LOGF("Not a file, left alone: '%s'", path);
    return;
  }
  int length = StrFormat(text, sizeof text, "%lu %lu\n", (unsigned long)ShareDay, (unsigned long)ShareDays);
  (void)unlink(temp);
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  int ok = fd >= 0 && WriteAll(fd, text, (dword)length) && fsync(fd) == 0;
  if (fd >= 0) {
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp, path) == 0;
    if (!ok)
      (void)unlink(temp);
  }
  if (!ok || !SyncFolderOf(path))
    LOGF("Failed to save '%s'", path);
}

void ResetQuickCheck(void)
{
  ReadStart = ShareDay = ShareDays = PreviousReadStart = 0;
}

void StartQuickCheck(const VXDB *previous)
{
  ReadStart = KernelClock();
  ShareDays = INIFullCheckDays > 1 ? INIFullCheckDays : DEFAULT_SHARE_DAYS;
  ShareDay = (LastBackup >> 16) % ShareDays;
  PreviousReadStart = INIFullCheckDays > 1 ? EarlierReadStart(previous) : 0;
  (void)LoadShare(&ShareDay); /* a bad file leaves the share above */
}

/* A clock that went back while the pass ran may have stamped a rewrite
 * before this backup's start: the next backup must take nothing over. */
void EndQuickCheck(void)
{
  if (!ReadStart || KernelClock() >= ReadStart)
    return;
  ReadStart = 0;
  if (INIFullCheckDays > 1)
    WriteLog((char *)"The clock went back during the backup: the next backup reads every file");
}

/* Only where the quick check is on: by default the settings file stays as
 * it was but for the date. */
int ReadStartText(char *text, size_t size)
{
  if (INIFullCheckDays <= 1 || !ReadStart)
    return 0;
  StrFormat(text, size, "%08lx %lu %lu", (unsigned long)LastBackup, (unsigned long)ReadStart,
            (unsigned long)ShareDay);
  return 1;
}
