// A plug-in that looks at the recorder the simulator plays and reports what
// it sees through TAP_Print.  It reads its script from /mnt/hd/probe.cmd,
// one "EVENT ACTION [ARGUMENTS]" per line, EVENT 0 being TAP_Main.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/tap.h"

namespace {

char script[16384];
volatile int *volatile nowhere;

// The probe is held to the recorder's C library like any image: no strerror.
const char *ErrorText(int e)
{
  switch (e) {
  case EROFS: return "Read-only file system";
  case ENOENT: return "No such file or directory";
  case EACCES: return "Permission denied";
  case EPERM: return "Operation not permitted";
  case ENOSYS: return "Function not implemented";
  default: return "error";
  }
}

void WriteConsole(const char *data, size_t size)
{
  int fd = open("/dev/pts/0", O_WRONLY); // as the plug-in does: no O_NOCTTY
  if (fd < 0) {
    TAP_Print("console %s\n", ErrorText(errno));
    return;
  }
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0)
      break;
    data += n;
    size -= (size_t)n;
  }
  close(fd);
}

// Uses about `bytes` of stack, a KiB a level.
__attribute__((noinline)) unsigned Deep(unsigned long bytes)
{
  volatile char frame[1024];
  frame[0] = (char)bytes;
  frame[sizeof frame - 1] = 1;
  return bytes > sizeof frame ? Deep(bytes - sizeof frame) + frame[0] : frame[sizeof frame - 1];
}

// The processor time of this thread, in milliseconds.
unsigned long ThreadMs()
{
  struct {
    long sec, nsec;
  } t = {0, 0};
  (void)syscall(SYS_clock_gettime, 3 /* CLOCK_THREAD_CPUTIME_ID */, &t);
  return (unsigned long)t.sec * 1000 + (unsigned long)t.nsec / 1000000;
}

// The kernel calls the floor is tried on, with harmless arguments.
long Call(const char *name)
{
  if (!strcmp(name, "openat")) {
    long fd = syscall(SYS_openat, AT_FDCWD, "/mnt/hd", O_RDONLY | O_DIRECTORY);
    if (fd >= 0)
      close((int)fd);
    return fd >= 0 ? 0 : -1;
  }
  if (!strcmp(name, "syncfs")) {
    int fd = open("/mnt/hd", O_RDONLY | O_DIRECTORY);
    long rc = syscall(SYS_syncfs, fd);
    close(fd);
    return rc;
  }
  if (!strcmp(name, "time"))
    return syscall(SYS_time, NULL) > 0 ? 0 : -1;
  errno = EINVAL;
  return -1;
}

int OpenOnDisk(const char *name, int flags)
{
  char path[512];
  snprintf(path, sizeof path, "/mnt/hd/%s", name);
  return open(path, flags, 0644);
}

void Act(const char *action, char *arg)
{
  if (!strcmp(action, "exist")) {
    struct stat st;
    TAP_Print("exist %s %d\n", arg, lstat(arg, &st) == 0);
  } else if (!strcmp(action, "create")) {
    int fd = open(arg, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    TAP_Print("create %s %s\n", arg, fd >= 0 ? "ok" : ErrorText(errno));
    if (fd >= 0)
      close(fd);
  } else if (!strcmp(action, "console")) {
    char line[1024];
    snprintf(line, sizeof line, "%s\n", arg);
    WriteConsole(line, strlen(line));
  } else if (!strcmp(action, "flood")) {
    size_t size = (size_t)strtoul(arg, nullptr, 10);
    char *text = (char *)TAP_MemAlloc((dword)size);
    for (size_t i = 0; i < size; i++)
      text[i] = i % 64 == 63 ? '\n' : (char)('a' + i % 26);
    WriteConsole(text, size);
    TAP_MemFree(text);
    TAP_Print("flood done\n");
  } else if (!strcmp(action, "crash")) {
    *nowhere = 1;
  } else if (!strcmp(action, "abort")) {
    for (;;) // what the image's abort() does
      TAP_Sleep(1000);
  } else if (!strcmp(action, "exit")) {
    TAP_Exit();
  } else if (!strcmp(action, "system")) {
    TAP_Print("system %d\n", system(arg));
  } else if (!strcmp(action, "tick")) {
    TAP_Print("tick %u\n", (unsigned)TAP_GetTick());
  } else if (!strcmp(action, "time")) {
    word mjd;
    byte h, m, s;
    TAP_GetTime(&mjd, &h, &m, &s);
    TAP_Print("time %u %02u:%02u:%02u\n", mjd, h, m, s);
  } else if (!strcmp(action, "alloc")) {
    void *p = TAP_MemAlloc(16);
    TAP_Print("alloc %s\n", p ? "ok" : "null");
    if (p)
      TAP_MemFree(p);
  } else if (!strcmp(action, "chdir")) {
    TAP_Print("chdir %s %u\n", arg, (unsigned)TAP_Hdd_ChangeDir(arg));
  } else if (!strcmp(action, "list")) {
    char names[4096] = "";
    size_t used = 0;
    if (DIR *d = opendir(arg)) {
      while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
          used += (size_t)snprintf(names + used, used < sizeof names ? sizeof names - used : 0, " %s", e->d_name);
      closedir(d);
    }
    TAP_Print("list%s\n", names);
  } else if (!strcmp(action, "dev")) {
    struct stat st;
    TAP_Print("dev %s %d\n", arg, lstat(arg, &st) == 0 ? (int)st.st_dev : -1);
  } else if (!strcmp(action, "symbol")) {
    void *self = dlopen(NULL, RTLD_LAZY);
    TAP_Print("symbol %s %d\n", arg, self && dlsym(self, arg) != NULL);
  } else if (!strcmp(action, "utf8")) {
    void *self = dlopen(NULL, RTLD_LAZY);
    TAP_Print("utf8 %d\n", self && dlsym(self, "_Z26Appl_ConvertToValidUTF8StrPhi") != NULL);
  } else if (!strcmp(action, "sys")) {
    long rc = Call(arg);
    TAP_Print("sys %s %s\n", arg, rc == 0 ? "ok" : ErrorText(errno));
  } else if (!strcmp(action, "stack")) {
    TAP_Print("stack %u\n", Deep(strtoul(arg, nullptr, 10)) != 0);
  } else if (!strcmp(action, "spin")) {
    unsigned long ms = strtoul(arg, nullptr, 10), start = ThreadMs();
    dword t0 = TAP_GetTick();
    while (ThreadMs() - start < ms)
      ;
    TAP_Print("spin %lu %u\n", ms, (unsigned)(TAP_GetTick() - t0));
  } else if (!strcmp(action, "hold")) {
    void *p = TAP_MemAlloc((dword)strtoul(arg, nullptr, 10));
    TAP_Print("hold %s\n", p ? "ok" : "null");
  } else if (!strcmp(action, "write")) {
    char *size = strchr(arg, ' ');
    if (!size)
      return;
    *size++ = 0;
    static char block[65536];
    unsigned long left = strtoul(size, nullptr, 10);
    int fd = OpenOnDisk(arg, O_WRONLY | O_CREAT | O_TRUNC);
    while (fd >= 0 && left > 0) {
      ssize_t n = write(fd, block, left < sizeof block ? left : sizeof block);
      if (n <= 0)
        break;
      left -= (unsigned long)n;
    }
    if (fd >= 0)
      close(fd);
    TAP_Print("write %s %lu\n", arg, left);
  } else if (!strcmp(action, "fsync")) {
    int fd = OpenOnDisk(arg, O_WRONLY);
    int rc = fsync(fd);
    if (fd >= 0)
      close(fd);
    TAP_Print("fsync %s %s\n", arg, rc == 0 ? "ok" : ErrorText(errno));
  } else if (!strcmp(action, "fwrite")) {
    char *text = strchr(arg, ' ');
    if (!text)
      return;
    *text++ = 0;
    TAP_Hdd_Create(arg, TAP_ATTR_FILE);
    TapFile *f = TAP_Hdd_Fopen(arg);
    unsigned written = f ? (unsigned)TAP_Hdd_Fwrite(text, strlen(text), 1, f) : 0;
    if (f)
      TAP_Hdd_Fclose(f);
    TAP_Print("fwrite %u\n", written);
  }
}

// Runs every line of the script meant for this event; returns 0 when one
// says "nonresident".
int Play(unsigned long event)
{
  int resident = 1;
  for (char *line = script; *line;) {
    char *end = strchr(line, '\n');
    size_t len = end ? (size_t)(end - line) : strlen(line);
    char copy[1024];
    snprintf(copy, sizeof copy, "%.*s", (int)len, line);
    line += len + (end ? 1 : 0);
    char *rest;
    unsigned long at = strtoul(copy, &rest, 10);
    if (rest == copy || at != event)
      continue;
    while (*rest == ' ')
      rest++;
    char *arg = strchr(rest, ' ');
    if (arg)
      *arg++ = 0;
    if (!strcmp(rest, "nonresident"))
      resident = 0;
    else
      Act(rest, arg ? arg : (char *)"");
  }
  return resident;
}

unsigned long events;

int ProbeMain(void)
{
  int fd = open("/mnt/hd/probe.cmd", O_RDONLY);
  if (fd >= 0) {
    ssize_t n = read(fd, script, sizeof script - 1);
    script[n > 0 ? n : 0] = 0;
    close(fd);
  }
  return Play(0);
}

dword ProbeEvent(dword event, dword param)
{
  Play(++events);
  return param;
}

} // namespace

extern "C" int __TAP_Init_(TapInitRecord *record)
{
  record->Main = ProbeMain;
  record->EventHandler = ProbeEvent;
  return 0;
}
