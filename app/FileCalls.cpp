/* File calls that several stages make: whole reads and writes, folder
 * syncs that make a rename or a removal durable, and the link system call.
 * No state. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
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
static int SyncFolder(const char *path)
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

/* ---- calls on a name within an open folder --------------------------------
 * The last step of such a name is never followed as a link, so a call can
 * reach only what that folder holds.  The recorder's C library has none of
 * these calls: they go through syscall.  A kernel before 2.6.16 has no *at
 * calls (ENOSYS): the call is then made on the name from within the folder,
 * entered with fchdir (through syscall too), and the process's own folder,
 * which a firmware may keep as its current one, is given back at once. */

#if defined(__mips__) && _MIPS_SIM == _ABIO32
/* The MIPS o32 kernel's struct stat64, which fstatat64 fills. */
typedef struct KernelStat {
  dword Device, Pad0[3];
  uint64_t Inode;
  dword Mode, Links, Uid, Gid, RawDevice, Pad1[3];
  int64_t Size;
  dword Times[6], BlockSize, Pad2;
  uint64_t Blocks;
} KernelStat;
static_assert(sizeof(KernelStat) == 104, "o32 stat64 is 104 bytes");
#define STAT_AT SYS_fstatat64
#define FACT(k, field, mips) ((k).mips)
#elif defined(SYS_newfstatat)
/* Where the kernel has newfstatat, its record is the C library's stat. */
typedef struct stat KernelStat;
#define STAT_AT SYS_newfstatat
#define FACT(k, field, mips) ((k).field)
#else
typedef struct stat64 KernelStat;
#define STAT_AT SYS_fstatat64
#define FACT(k, field, mips) ((k).field)
#endif

/* Makes folder the current one, for a call on a name within it; the folder
 * that was current comes back as a handle for LeaveFolder, or -1 with errno.
 * AT_FDCWD stays where it is. */
static int EnterFolder(int folder)
{
  if (folder == AT_FDCWD)
    return AT_FDCWD;
  int here = open(".", O_RDONLY | O_DIRECTORY | O_NONBLOCK);
  if (here >= 0 && syscall(SYS_fchdir, folder) != 0) {
    int err = errno;
    close(here);
    errno = err;
    here = -1;
  }
  return here;
}

static void LeaveFolder(int here)
{
  if (here == AT_FDCWD)
    return;
  int err = errno;
  (void)syscall(SYS_fchdir, here);
  close(here);
  errno = err;
}

int OpenAt(int folder, const char *name, int flags, int mode)
{
#ifdef O_LARGEFILE
  flags |= O_LARGEFILE;
#endif
  int fd = folder == AT_FDCWD ? -1 : (int)syscall(SYS_openat, folder, name, flags, mode);
  if (folder != AT_FDCWD && (fd >= 0 || errno != ENOSYS))
    return fd;
  int here = EnterFolder(folder);
  if (here == -1)
    return -1;
  fd = open(name, flags, mode);
  LeaveFolder(here);
  return fd;
}

int OpenFolderAt(int folder, const char *name)
{
  return OpenAt(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK, 0);
}

static void TakeFacts(const struct stat64 *st, FileFacts *facts)
{
  facts->Device = (uint64_t)st->st_dev;
  facts->Inode = (uint64_t)st->st_ino;
  facts->Size = (uint64_t)st->st_size;
  facts->Mode = (dword)st->st_mode;
  facts->Links = (dword)st->st_nlink;
}

/* StatAt where the kernel has no fstatat: lstat64 never follows the name. */
static int StatWithin(int folder, const char *name, FileFacts *facts)
{
  struct stat64 st;
  int ok;
  if (strcmp(name, ".") == 0 && folder != AT_FDCWD) {
    ok = fstat64(folder, &st) == 0;
  } else {
    int here = EnterFolder(folder);
    if (here == -1)
      return 0;
    ok = lstat64(name, &st) == 0;
    LeaveFolder(here);
  }
  if (ok)
    TakeFacts(&st, facts);
  return ok;
}

int StatAt(int folder, const char *name, FileFacts *facts)
{
  KernelStat k;
  if (syscall(STAT_AT, folder, name, &k, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOSYS && StatWithin(folder, name, facts);
  facts->Device = (uint64_t)FACT(k, st_dev, Device);
  facts->Inode = (uint64_t)FACT(k, st_ino, Inode);
  facts->Size = (uint64_t)FACT(k, st_size, Size);
  facts->Mode = (dword)FACT(k, st_mode, Mode);
  facts->Links = (dword)FACT(k, st_nlink, Links);
  return 1;
}

int RemoveAt(int folder, const char *name, int isFolder)
{
  if (syscall(SYS_unlinkat, folder, name, isFolder ? AT_REMOVEDIR : 0) == 0)
    return 1;
  if (errno != ENOSYS)
    return 0;
  int here = EnterFolder(folder);
  if (here == -1)
    return 0;
  int ok = (isFolder ? rmdir(name) : unlink(name)) == 0;
  LeaveFolder(here);
  return ok;
}

int ListFolder(int folder, void *buffer, dword size)
{
  return (int)syscall(SYS_getdents64, folder, buffer, size);
}

/* A getdents64 record: inode (8 bytes), offset (8), record length (2),
 * type (1), then the name; records are 8-byte aligned. */
#define DIRENT_LENGTH 16
#define DIRENT_NAME 19

const char *NextListed(const void *buffer, int length, int *at)
{
  const byte *record = (const byte *)buffer + *at;
  word reclen;
  if (*at + DIRENT_NAME >= length)
    return NULL;
  memcpy(&reclen, record + DIRENT_LENGTH, sizeof reclen);
  if (reclen <= DIRENT_NAME || *at + reclen > length)
    return NULL;
  *at += reclen;
  return (const char *)record + DIRENT_NAME;
}

int MarkerAt(int folder, const char *name)
{
  FileFacts facts;
  if (!StatAt(folder, name, &facts))
    return errno == ENOENT ? 0 : -1;
  return S_ISREG(facts.Mode) && facts.Size == 0 ? 1 : -1;
}

int MakeMarker(int folder, const char *name)
{
  int fd = OpenAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0666);
  int made;
  if (fd >= 0) {
    made = fsync(fd) == 0;
    close(fd);
  } else {
    made = errno == EEXIST ? MarkerAt(folder, name) : 0;
  }
  if (made < 0)
    return -1;
  return made && fsync(folder) == 0;
}

int FolderPath(int folder, char *path, dword size)
{
  char link[32];
  StrFormat(link, sizeof link, "/proc/self/fd/%d", folder);
#ifdef SYS_readlink
  long length = syscall(SYS_readlink, link, path, size - 1);
#else
  long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, size - 1);
#endif
  if (length <= 0 || length >= (long)size - 1)
    return 0;
  path[length] = 0;
  return path[0] == '/';
}
