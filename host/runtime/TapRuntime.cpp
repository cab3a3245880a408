// The host runtime: our stand-in for the recorder's /tapapi/TMS/libtap.so.
// Every service is exported as a function-pointer data symbol, exactly as
// the recorder's library does it, so the image resolves them the same way.
#include "TapRuntime.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

TapRuntime runtime;

struct HostFile {
  int fd;
  std::string name;
};

struct Listing {
  std::vector<std::pair<std::string, dword>> entries;
  size_t next = 0;
};
Listing listing;
std::unordered_map<void *, dword> blockSizes;

void hostCall(const char *name)
{
  if (runtime.onHostCall)
    runtime.onHostCall(name);
}

// Joins the current folder and a name given to a file call.
std::string diskPath(const char *name)
{
  std::string folder = runtime.currentDir;
  if (name && name[0] == '/')
    folder.clear();
  else if (folder != "/")
    folder += "/";
  return runtime.diskRoot + folder + (name ? name : "");
}

// Resolves a folder path against the current folder, "." and ".." included.
std::string resolveFolder(const char *path)
{
  std::string full = path[0] == '/' ? std::string(path) : runtime.currentDir + "/" + path;
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= full.size()) {
    size_t slash = full.find('/', pos);
    if (slash == std::string::npos)
      slash = full.size();
    std::string part = full.substr(pos, slash - pos);
    if (part == "..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = slash + 1;
  }
  std::string out;
  for (auto &p : parts)
    out += "/" + p;
  return out.empty() ? "/" : out;
}

dword attributeOf(const std::string &path, const char *name)
{
  struct stat st;
  if (strlen(name) >= TAP_ENTRY_NAME_SIZE || lstat(path.c_str(), &st) != 0)
    return TAP_ATTR_OTHER;
  if (S_ISDIR(st.st_mode))
    return TAP_ATTR_FOLDER;
  if (S_ISREG(st.st_mode))
    return TAP_ATTR_FILE;
  return TAP_ATTR_OTHER;
}

void fillEntry(TapFolderEntry *entry)
{
  memset(entry, 0, sizeof *entry);
  if (listing.next >= listing.entries.size())
    return;
  auto &e = listing.entries[listing.next++];
  entry->Attr = e.second;
  // A name that does not fit is cut here and marked TAP_ATTR_OTHER above.
  snprintf(entry->Name, sizeof entry->Name, "%s", e.first.c_str());
}

int64_t wallSeconds()
{
  dword elapsed = TapRuntimeTicks(&runtime) - runtime.tickStart;
  return runtime.clockStart + elapsed / 100;
}

void *rtMemAlloc(dword size)
{
  hostCall("TAP_MemAlloc");
  uint64_t n = ++runtime.allocCalls;
  if (runtime.failAllocAt && (n == runtime.failAllocAt || (runtime.failAllocFrom && n > runtime.failAllocAt))) {
    runtime.allocFailures++;
    return nullptr;
  }
  // Blocks are not zeroed, as on the recorder: callers must clear them.
  void *p = malloc(size ? size : 1);
  if (p) {
    memset(p, 0xA5, size);
    runtime.liveBlocks++;
    blockSizes[p] = size;
    runtime.heldBytes += size;
    runtime.peakBytes = std::max(runtime.peakBytes, runtime.heldBytes);
  }
  return p;
}

int rtMemFree(void *p)
{
  hostCall("TAP_MemFree");
  if (p)
    runtime.liveBlocks--;
  auto block = blockSizes.find(p);
  if (block != blockSizes.end()) {
    runtime.heldBytes -= block->second;
    blockSizes.erase(block);
  }
  free(p);
  return 1;
}

void rtMemSet(void *d, byte v, dword n) { memset(d, v, n); }
void rtMemCpy(void *d, const void *s, dword n) { memcpy(d, s, n); }
int rtMemCmp(const void *a, const void *b, dword n) { return memcmp(a, b, n); }

int rtSPrint(char *dest, const char *format, ...)
{
  va_list ap;
  va_start(ap, format);
  int n = vsprintf(dest, format, ap); // unbounded, as the recorder's
  va_end(ap);
  return n;
}

int rtPrint(const char *format, ...)
{
  hostCall("TAP_Print");
  va_list ap;
  va_start(ap, format);
  char small[1024];
  std::string text;
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0)
    return n;
  if ((size_t)n < sizeof small) {
    text = small;
  } else {
    text.resize((size_t)n + 1);
    va_start(ap, format);
    vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    text.resize((size_t)n);
  }
  if (runtime.onPrint)
    runtime.onPrint(text.c_str());
  fputs(runtime.debugPrefix, runtime.debugConsole);
  fputs(text.c_str(), runtime.debugConsole);
  fflush(runtime.debugConsole);
  return n;
}

dword rtGetTick()
{
  hostCall("TAP_GetTick");
  return TapRuntimeTicks(&runtime);
}

int rtGetTime(word *mjd, byte *hour, byte *min, byte *sec)
{
  hostCall("TAP_GetTime");
  int64_t s = wallSeconds();
  int64_t days = s >= 0 ? s / 86400 : (s - 86399) / 86400;
  int64_t rest = s - days * 86400;
  if (mjd) *mjd = (word)(days + kMjdOfUnixEpoch);
  if (hour) *hour = (byte)(rest / 3600);
  if (min) *min = (byte)(rest / 60 % 60);
  if (sec) *sec = (byte)(rest % 60);
  return 0;
}

void rtExtractMjd(word mjd, word *year, byte *month, byte *day, byte *weekday)
{
  hostCall("TAP_ExtractMjd");
  int y;
  unsigned m, d;
  TapCivilFromDays((int64_t)mjd - kMjdOfUnixEpoch, &y, &m, &d);
  if (year) *year = (word)y;
  if (month) *month = (byte)m;
  if (day) *day = (byte)d;
  if (weekday) *weekday = (byte)((mjd + 2) % 7); // 0 Monday, as MJD 0 was a Wednesday
}

void rtSleep(dword ticks)
{
  hostCall("TAP_Sleep");
  runtime.sleeps++;
  if (runtime.virtualTicks)
    runtime.tick += ticks;
  else
    usleep(ticks * 10000u);
}

void rtExit()
{
  hostCall("TAP_Exit");
  runtime.exited = true;
}

dword rtChangeDir(const char *path)
{
  hostCall("TAP_Hdd_ChangeDir");
  dword fail = runtime.chdirSuccess ? 0 : 1;
  if (!path)
    return fail;
  std::string folder = resolveFolder(path);
  struct stat st;
  if (stat((runtime.diskRoot + folder).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return fail;
  runtime.currentDir = folder;
  TapRuntimeSyncPath(&runtime);
  return runtime.chdirSuccess;
}

int rtExist(const char *name)
{
  hostCall("TAP_Hdd_Exist");
  struct stat st;
  return name && lstat(diskPath(name).c_str(), &st) == 0;
}

dword rtCreate(const char *name, dword attr)
{
  hostCall("TAP_Hdd_Create");
  if (!name)
    return 1;
  std::string p = diskPath(name);
  if (attr == TAP_ATTR_FOLDER)
    return mkdir(p.c_str(), 0777) == 0 ? 0 : 1;
  int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0)
    return 1;
  close(fd);
  return 0;
}

int rtDelete(const char *name)
{
  hostCall("TAP_Hdd_Delete");
  if (!name)
    return 0;
  std::string p = diskPath(name);
  return unlink(p.c_str()) == 0 || rmdir(p.c_str()) == 0;
}

TapFile *rtFopen(const char *name)
{
  hostCall("TAP_Hdd_Fopen");
  if (!name)
    return nullptr;
  struct stat st;
  std::string p = diskPath(name);
  if (lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return nullptr;
  int fd = open(p.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  return reinterpret_cast<TapFile *>(new HostFile{fd, name});
}

HostFile *handle(TapFile *f) { return reinterpret_cast<HostFile *>(f); }

dword rtFlen(TapFile *f)
{
  hostCall("TAP_Hdd_Flen");
  struct stat st;
  if (!f || fstat(handle(f)->fd, &st) != 0)
    return 0;
  return (dword)st.st_size;
}

dword rtFread(void *buf, dword size, dword count, TapFile *f)
{
  hostCall("TAP_Hdd_Fread");
  if (!f || !buf || size == 0)
    return 0;
  size_t want = (size_t)size * count, got = 0;
  while (got < want) {
    ssize_t n = read(handle(f)->fd, (char *)buf + got, want - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    got += (size_t)n;
  }
  return (dword)(got / size);
}

dword rtFwrite(const void *buf, dword size, dword count, TapFile *f)
{
  hostCall("TAP_Hdd_Fwrite");
  if (!f || !buf || size == 0)
    return 0;
  size_t want = (size_t)size * count, done = 0;
  if (++runtime.writeCalls == runtime.failWriteAt) {
    if (runtime.onWrite)
      runtime.onWrite(handle(f)->name.c_str(), buf, want, true);
    return 0;
  }
  while (done < want) {
    ssize_t n = write(handle(f)->fd, (const char *)buf + done, want - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += (size_t)n;
  }
  if (runtime.onWrite)
    runtime.onWrite(handle(f)->name.c_str(), buf, done, false);
  return (dword)(done / size);
}

dword rtFseek(TapFile *f, long pos, dword where)
{
  hostCall("TAP_Hdd_Fseek");
  if (!f)
    return 0;
  int whence = where == 2 ? SEEK_END : where == 1 ? SEEK_CUR : SEEK_SET;
  off_t r = lseek(handle(f)->fd, pos, whence);
  return r < 0 ? 0 : (dword)r;
}

void rtFclose(TapFile *f)
{
  hostCall("TAP_Hdd_Fclose");
  if (!f)
    return;
  close(handle(f)->fd);
  delete handle(f);
}

dword rtFindFirst(TapFolderEntry *entry, const char *)
{
  hostCall("TAP_Hdd_FindFirst");
  listing = Listing();
  std::string folder = diskPath(nullptr);
  if (DIR *d = opendir(folder.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
        continue;
      listing.entries.emplace_back(e->d_name, attributeOf(folder + e->d_name, e->d_name));
    }
    closedir(d);
  }
  std::sort(listing.entries.begin(), listing.entries.end());
  if (entry)
    fillEntry(entry);
  return (dword)listing.entries.size();
}

dword rtFindNext(TapFolderEntry *entry)
{
  hostCall("TAP_Hdd_FindNext");
  if (!entry)
    return 0;
  bool more = listing.next < listing.entries.size();
  fillEntry(entry);
  return more;
}

} // namespace

extern "C" {
void *(*TAP_MemAlloc)(dword) = rtMemAlloc;
int (*TAP_MemFree)(void *) = rtMemFree;
void (*TAP_MemSet)(void *, byte, dword) = rtMemSet;
void (*TAP_MemCpy)(void *, const void *, dword) = rtMemCpy;
int (*TAP_MemCmp)(const void *, const void *, dword) = rtMemCmp;
int (*TAP_SPrint)(char *, const char *, ...) = rtSPrint;
int (*TAP_Print)(const char *, ...) = rtPrint;
dword (*TAP_GetTick)(void) = rtGetTick;
int (*TAP_GetTime)(word *, byte *, byte *, byte *) = rtGetTime;
void (*TAP_ExtractMjd)(word, word *, byte *, byte *, byte *) = rtExtractMjd;
void (*TAP_Sleep)(dword) = rtSleep;
void (*TAP_Exit)(void) = rtExit;
dword (*TAP_Hdd_ChangeDir)(const char *) = rtChangeDir;
int (*TAP_Hdd_Exist)(const char *) = rtExist;
dword (*TAP_Hdd_Create)(const char *, dword) = rtCreate;
int (*TAP_Hdd_Delete)(const char *) = rtDelete;
TapFile *(*TAP_Hdd_Fopen)(const char *) = rtFopen;
dword (*TAP_Hdd_Flen)(TapFile *) = rtFlen;
dword (*TAP_Hdd_Fread)(void *, dword, dword, TapFile *) = rtFread;
dword (*TAP_Hdd_Fwrite)(const void *, dword, dword, TapFile *) = rtFwrite;
dword (*TAP_Hdd_Fseek)(TapFile *, long, dword) = rtFseek;
void (*TAP_Hdd_Fclose)(TapFile *) = rtFclose;
dword (*TAP_Hdd_FindFirst)(TapFolderEntry *, const char *) = rtFindFirst;
dword (*TAP_Hdd_FindNext)(TapFolderEntry *) = rtFindNext;

TapRuntime *TapRuntimeControl()
{
  static bool started;
  if (!started) {
    started = true;
    clock_gettime(CLOCK_MONOTONIC, &runtime.realStart);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    runtime.clockStart = TapDaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) * 86400 +
                         local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  }
  return &runtime;
}
}

