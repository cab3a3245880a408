/* The free-space reserve: a backup leaves MinFreeMB free on its disk, and
 * stops once, before the copy that would eat into it.  State: whether it
 * has stopped. */
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Vaultrix.h"

/* The internal disk also holds the recordings: a backup leaves this much. */
#define INTERNAL_RESERVE_MB 1024

int DestNearlyFull;

/* A copy that finds no room has expired backups removed, round after
 * round, and is tried again after each; a full disk never stops backups
 * for good while something expired is left.  State: the rounds done,
 * whether one is asked for, and whether they are over (a later round
 * removed nothing). */
static int Rounds, Asked, Over;

void ResetReserve(void)
{
  DestNearlyFull = Rounds = Asked = Over = 0;
}

int MayReclaim(void)
{
  return INIKeepDays != 0 && !Over;
}

void AskReclaim(void)
{
  Asked = 1;
}

int ReclaimAsked(void)
{
  int asked = Asked;
  Asked = 0;
  return asked;
}

void EndReclaim(void)
{
  Over = 1;
}

int ReclaimRound(void)
{
  return Rounds;
}

/* The first round removes what the rules let go, which after a complete
 * day is nothing new: only the rounds after it end the reclaim when they
 * remove nothing. */
void ReclaimDone(int removed)
{
  if (Rounds > 0 && !removed)
    Over = 1;
  Rounds++;
}

static uint64_t ReserveBytes(void)
{
  dword mb = INIMinFreeMB != INI_MIN_FREE_UNSET ? INIMinFreeMB : INIDestDevice[0] == 'i' ? INTERNAL_RESERVE_MB : 0;
  return (uint64_t)mb << 20;
}

/* Free bytes for ordinary files on the disk that holds path, through the
 * statfs system call, as the recorder's C library has no statvfs. */
static int FreeBytes(const char *path, uint64_t *bytes)
{
#ifdef SYS_statfs64
  struct statfs64 st;
  if (syscall(SYS_statfs64, path, sizeof st, &st) != 0)
    return 0;
#else
  struct statfs st;
  if (syscall(SYS_statfs, path, &st) != 0)
    return 0;
#endif
  *bytes = (uint64_t)st.f_bavail * (uint64_t)(st.f_frsize ? st.f_frsize : st.f_bsize);
  return 1;
}

/* 1 when a copy of size bytes leaves the reserve free.  Otherwise expired
 * backups make room first while they may (-1), and then the copy pass
 * stops here, once; a disk whose free space cannot be read passes. */
int RoomFor(uint64_t size)
{
  uint64_t reserve = ReserveBytes(), free;
  char text[16];
  if (DestNearlyFull)
    return 0;
  if (reserve == 0 || !FreeBytes(DestRoot, &free) || free >= reserve + size)
    return 1;
  if (MayReclaim())
    return -1;
  DestNearlyFull = 1;
  FileSizeToString((dword)free, (dword)(free >> 32), text);
  LOGF("Destination nearly full: backup stopped, %s free", text);
  return 0;
}

/* Whether the whole source, were it all copied, would eat into the reserve. */
int SpaceShort(void)
{
  uint64_t reserve = ReserveBytes(), free;
  return reserve != 0 && FreeBytes(DestRoot, &free) && free < reserve + TotalSourceFileSize;
}
