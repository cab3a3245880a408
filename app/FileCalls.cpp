/* File calls that several stages make: whole reads and writes, folder
 * syncs that make a rename or a removal durable, and the link system call.
 * No state. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Vaultrix.h"

int ReadAll(int fd, void *buffer, dword size)
{
  byte *p = (byte *)buffer;
  while (size > 0) {
    ssize_t got = read(fd, p, size);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return 0;
    p += got;
    size -= (dword)got;
  }
  return 1;
}

int WriteAll(int fd, const void *buffer, dword size)
{
  const byte *p = (const byte *)buffer;
  while (size > 0) {
    ssize_t put = write(fd, p, size);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return 0;
    p += put;
    size -= (dword)put;
  }
  return 1;
}

/* Makes what was done in a folder durable; the result is the fsync's. */
int SyncFolder(const char *path)
{
  int fd = open(path, O_RDONLY);
  if (fd < 0)
    return 0;
  int ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

/* Makes the names in the folder of path durable (a rename, a removal):
 * fsync of the folder itself.  1 on success. */
int SyncFolderOf(const char *path)
{
  char folder[PATH_SIZE];
  if (StrCopy(folder, sizeof folder, path) >= (int)sizeof folder)
    return 0;
  char *slash = strrchr(folder, '/');
  if (!slash)
    return 0;
  slash[slash == folder ? 1 : 0] = 0;
  return SyncFolder(folder);
}

/* The link system call, reached through syscall() as the recorder's C
 * library offers it (4009 on MIPS o32); hosts without link use linkat. */
int LinkFile(const char *existing, const char *name)
{
#ifdef SYS_link
  return (int)syscall(SYS_link, existing, name);
#else
  return (int)syscall(SYS_linkat, AT_FDCWD, existing, AT_FDCWD, name, 0);
#endif
}
