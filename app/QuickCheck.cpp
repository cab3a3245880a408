/* The quick check and the rolling verification: which files the copy pass
 * may take over unread (size and time stamps unchanged since well before
 * the earlier backup began reading), and today's share of files read in
 * full, with their earlier copies.  State: when this backup began reading,
 * the earlier backup's start, and the share. */
#include <stdlib.h>
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
int StampsUnchanged(const VXDBEntry *p, const struct stat64 *st)
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
int InTodaysShare(const VXDBEntry *e)
{
  return e->PathCRC % ShareDays == ShareDay;
}

void StartQuickCheck(const VXDB *previous)
{
  ReadStart = KernelTime();
  ShareDays = INIFullCheckDays > 1 ? INIFullCheckDays : DEFAULT_SHARE_DAYS;
  ShareDay = (LastBackup >> 16) % ShareDays;
  PreviousReadStart = INIFullCheckDays > 1 ? EarlierReadStart(previous) : 0;
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
