/* Finding the destination: the internal disk's folder, an external disk
 * among /mnt/sd*, or a network share mounted by the owner's command, and
 * the guard that keeps the destination out of the source.  State: whether
 * this run launched the mount command (VXDidNASMount, in the state
 * machine's globals) and the device DestPath lay on before it. */
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Vaultrix.h"

/* "/mnt/sd" + letter + partition + DestPath + "/" */
#define EXT_PROBE_SIZE 80
#define EXT_DEST_PATH_MAX (EXT_PROBE_SIZE - 11)
/* Major 8, minor 2: the recorder's own disk partition. */
#define UNMOUNTED_DEVICE 2050

int (*DestStat)(const char *path, struct stat64 *st) = lstat64;

int MakeFolders(const char *path)
{
  CallTraceEnter("MakeFolders");
  char buffer[PATH_SIZE];
  int ok = path && path[0] && StrCopy(buffer, sizeof buffer, path) < (int)sizeof buffer;
  for (char *p = buffer + 1; ok && *p; p++) {
    if (*p != '/')
      continue;
    *p = 0;
    if (mkdir(buffer, 0777) != 0 && errno != EEXIST)
      ok = 0;
    *p = '/';
  }
  if (ok && mkdir(buffer, 0777) != 0 && errno != EEXIST)
    ok = 0;
  struct stat64 st;
  ok = ok && lstat64(buffer, &st) == 0 && S_ISDIR(st.st_mode);
  CallTraceExit(NULL);
  return ok;
}

int ExtDestPathFits(void)
{
  CallTraceEnter("ExtDestPathFits");
  int ok = strlen(INIDestPath) <= EXT_DEST_PATH_MAX;
  if (!ok)
    LOGF("DestPath is too long for an external disk (%d characters at most)!", EXT_DEST_PATH_MAX);
  CallTraceExit(NULL);
  return ok;
}

/* Copies a probe path that exists into dst; 0 when it does not exist or the
 * path does not fit the probe buffer. */
static int ProbeExt(char *dst, const char *format, ...) __attribute__((format(printf, 2, 3)));
static int ProbeExt(char *dst, const char *format, ...)
{
  char probe[EXT_PROBE_SIZE];
  struct stat64 st;
  va_list ap;
  va_start(ap, format);
  int fits = StrFormatV(probe, sizeof probe, format, ap) < (int)sizeof probe;
  va_end(ap);
  if (!fits || DestStat(probe, &st) != 0)
    return 0;
  StrCopy(dst, ROOT_SIZE, probe);
  return 1;
}

int FindExtBackupDisk(char *dst)
{
  CallTraceEnter("FindExtBackupDisk");
  dst[0] = 0;
  for (char disk = 'b'; disk <= 'z'; disk++) {
    int found = ProbeExt(dst, "/mnt/sd%c%s/", disk, INIDestPath);
    for (int partition = 1; !found && partition <= 8; partition++)
      found = ProbeExt(dst, "/mnt/sd%c%d%s/", disk, partition, INIDestPath);
    if (found) {
      CallTraceExit(NULL);
      return 1;
    }
  }
  CallTraceExit(NULL);
  return 0;
}

/* The device of the deepest folder of DestPath that existed before this
 * run's mount command: a DestPath still on it afterwards is no share (the
 * command failed, or made the folder itself), whatever the command's
 * words. */
static dev_t CommandDevice;
static int CommandDeviceKnown;

void ResetDestination(void)
{
  CommandDevice = 0;
  CommandDeviceKnown = 0;
}

/* 1 when the len bytes of word name an absolute folder other than the root
 * that holds DestPath: DestPath is that folder or lies below it. */
static int HoldsDestPath(const char *word, size_t len)
{
  while (len > 1 && word[len - 1] == '/')
    len--;
  return len > 1 && word[0] == '/' && strncmp(INIDestPath, word, len) == 0 &&
         (INIDestPath[len] == 0 || INIDestPath[len] == '/');
}

/* The mount command's mount point: the last of its words that holds
 * DestPath, since options may follow the mount point; without one, the last
 * word.  NULL when the command has no blank or the word is no absolute
 * folder below the root. */
static const char *MountPoint(void)
{
  static char point[INI_MOUNT_SIZE];
  const char *blank = strrchr(INIMountCommand, ' ');
  if (!blank)
    return NULL;
  const char *chosen = blank + 1;
  size_t length = strlen(chosen);
  for (const char *word = INIMountCommand; *word;) {
    const char *end = strchr(word, ' ');
    size_t len = end ? (size_t)(end - word) : strlen(word);
    if (HoldsDestPath(word, len)) {
      chosen = word;
      length = len;
    }
    word += len;
    while (*word == ' ')
      word++;
  }
  while (length > 1 && chosen[length - 1] == '/')
    length--;
  TAP_MemCpy(point, chosen, (dword)length);
  point[length] = 0;
  return point[0] == '/' && point[1] ? point : NULL;
}

/* Before this run's command: 0 when the mount point holds DestPath but
 * nothing is mounted there, that is it lies on the device of the folder
 * above it (a bare folder is no share).  A share mounted by other means
 * counts. */
static int ShareMountedAtItsPoint(void)
{
  char parent[INI_MOUNT_SIZE];
  const char *point = MountPoint();
  if (!point || !HoldsDestPath(point, strlen(point)))
    return 1;
  StrCopy(parent, sizeof parent, point);
  char *slash = strrchr(parent, '/');
  slash[slash == parent ? 1 : 0] = 0;
  struct stat64 at, above;
  return DestStat(point, &at) == 0 && DestStat(parent, &above) == 0 && at.st_dev != above.st_dev;
}

int FindNASDisk(char *dst)
{
  CallTraceEnter("FindNASDisk");
  struct stat64 st;
  dst[0] = 0;
  /* The recorder's own disk partition: a share folder there is not mounted. */
  int found = DestStat(INIDestPath, &st) == 0 && st.st_dev != UNMOUNTED_DEVICE;
  if (found && VXDidNASMount && CommandDeviceKnown)
    found = st.st_dev != CommandDevice;
  else if (found)
    found = ShareMountedAtItsPoint();
  if (found) {
    size_t len = strlen(INIDestPath);
    /* Without the slash the dated folders would land beside DestPath. */
    StrFormat(dst, ROOT_SIZE, "%s%s", INIDestPath, len && INIDestPath[len - 1] == '/' ? "" : "/");
  }
  CallTraceExit(NULL);
  return found;
}

/* 1 with the device of the deepest folder of DestPath that exists. */
static int DeepestFolderDevice(dev_t *device)
{
  char path[INI_PATH_SIZE];
  struct stat64 st;
  StrCopy(path, sizeof path, INIDestPath);
  while (DestStat(path, &st) != 0) {
    char *slash = strrchr(path, '/');
    if (!slash || (slash == path && !path[1]))
      return 0;
    slash[slash == path ? 1 : 0] = 0;
  }
  *device = st.st_dev;
  return 1;
}

void MountNAS(void)
{
  CallTraceEnter("MountNAS");
  if (!INIMountCommand[0]) {
    CallTraceExit(NULL);
    return;
  }
  VXDidNASMount = 1;
  LOGF("Launching mount command '%s'", INIMountCommand);
  const char *point = MountPoint();
  if (point && !MakeFolders(point))
    LOGF("Failed to create mount point '%s'", point);
  CommandDeviceKnown = DeepestFolderDevice(&CommandDevice);
  StrFormat(LogString, sizeof LogString, "%s &", INIMountCommand);
  (void)system(LogString);
  CallTraceExit(NULL);
}

/* Lazily: a share that no longer answers must not hold up the end. */
void UnmountNAS(void)
{
  CallTraceEnter("UnmountNAS");
  const char *point = MountPoint();
  if (point) {
    (void)umount2(point, MNT_DETACH);
    (void)rmdir(point);
  }
  CallTraceExit(NULL);
}

/* 1 when the folder inner is outer or lies below it.  Judged by the
 * identity (device, inode) of each folder met on the way up from inner by
 * "..", so other spellings, symbolic links and bind mounts are seen through;
 * a tail of inner that does not exist yet is judged by the part that does.
 * A walk that cannot be finished counts as inside. */
int FolderWithin(const char *inner, const char *outer)
{
  static char path[PATH_SIZE];
  struct stat64 target, here, up;
  if (stat64(outer, &target) != 0)
    return 0;
  if (StrCopy(path, sizeof path, inner) >= (int)sizeof path)
    return 1;
  while (stat64(path, &here) != 0) {
    char *slash = strrchr(path, '/');
    if (!slash)
      StrCopy(path, sizeof path, ".");
    else if (slash == path && path[1] == 0)
      return 0;
    else if (slash == path)
      path[1] = 0; /* the root is what exists of "/name" */
    else
      *slash = 0;
  }
  for (;;) {
    if (here.st_dev == target.st_dev && here.st_ino == target.st_ino)
      return 1;
    size_t len = strlen(path);
    if (StrCopy(path + len, sizeof path - len, "/..") >= (int)(sizeof path - len) || stat64(path, &up) != 0)
      return 1;
    if (up.st_dev == here.st_dev && up.st_ino == here.st_ino)
      return 0; /* the root, its own parent */
    here = up;
  }
}

/* 1 when the last word of out (behind root) is "..". */
static int EndsInUp(const char *out, size_t root, size_t used)
{
  size_t start = used;
  while (start > root && out[start - 1] != '/')
    start--;
  return used - start == 2 && out[start] == '.' && out[start + 1] == '.';
}

/* path with "." and ".." resolved by its words alone, into out (as large
 * as path, and a byte more).  A folder that does not exist yet is judged
 * this way: mkdir makes "/mnt/hd/New/../ProgramFiles/B" inside the source
 * once New is made, though the walk up from what exists sees nothing of it. */
static void Normalise(const char *path, char *out)
{
  size_t used = 0;
  if (path[0] == '/')
    out[used++] = '/';
  const size_t root = used;
  for (const char *word = path; *word;) {
    const char *slash = strchr(word, '/');
    size_t len = slash ? (size_t)(slash - word) : strlen(word);
    int up = len == 2 && word[0] == '.' && word[1] == '.';
    if (up && used > root && !EndsInUp(out, root, used)) {
      while (used > root && out[used - 1] != '/')
        used--;
      if (used > root)
        used--;
    } else if ((up && root == 0) || (!up && len && !(len == 1 && word[0] == '.'))) {
      /* ".." of the root is the root; above a relative start it stays */
      if (used > root)
        out[used++] = '/';
      memcpy(out + used, word, len);
      used += len;
    }
    word += len;
    while (*word == '/')
      word++;
  }
  if (used == 0)
    out[used++] = '.';
  out[used] = 0;
}

/* A destination inside the source would back itself up, growing with
 * every backup until the folder limit.  Judged by what exists and by the
 * words of the path, refused when either lies inside. */
int RefuseDestInSource(void)
{
  char normal[ROOT_SIZE + 1];
  Normalise(DestRoot, normal);
  if (!FolderWithin(DestRoot, SourceRoot) && !FolderWithin(normal, SourceRoot))
    return 0;
  WriteLog((char *)"DestPath lies inside the source folder!");
  State = STATE_FINISH;
  return 1;
}

int PrepareInternalDest(void)
{
  CallTraceEnter("PrepareInternalDest");
  size_t len = strlen(INIDestPath);
  if ((len == 0 || INIDestPath[len - 1] != '/') && len + 1 < sizeof INIDestPath) {
    INIDestPath[len++] = '/';
    INIDestPath[len] = 0;
  }
  /* A DestPath that fills its buffer gets its slash in DestRoot only. */
  int slash = len && INIDestPath[len - 1] == '/';
  StrFormat(DestRoot, sizeof DestRoot, "%s%s", INIDestPath, slash ? "" : "/");
  LOGF("Destination: internal disk @ '%s'", DestRoot);
  if (RefuseDestInSource()) {
    CallTraceExit(NULL);
    return 0;
  }
  int ok = MakeFolders(DestRoot);
  if (!ok) {
    WriteLog((char *)"Destination path does not exist!");
    State = STATE_FINISH;
  }
  NoteDestination();
  CallTraceExit(NULL);
  return ok;
}
