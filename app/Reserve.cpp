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

void ResetReserve(void)
{
  DestNearlyFull = 0;
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

/* 1 when a copy of size bytes leaves the reserve free.  Otherwise the copy
 * pass stops here, once; a disk whose free space cannot be read passes. */
int RoomFor(uint64_t size)
{
  uint64_t reserve = ReserveBytes(), free;
  char text[16];
  if (DestNearlyFull)
    return 0;
  if (reserve == 0 || !FreeBytes(DestRoot, &free) || free >= reserve + size)
    return 1;
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
