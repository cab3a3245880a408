// Helpers of the benchmark run: reproducible recorder-like trees, the day-3
// changes, a year of earlier catalogues, and timing of one command with the
// resources of everything it started.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "app/VXDBFormat.h"

namespace {

[[noreturn]] void die(const char *what, const std::string &arg = "")
{
  fprintf(stderr, "benchtool: %s%s%s: %s\n", what, arg.empty() ? "" : " ", arg.c_str(), strerror(errno));
  exit(1);
}

// xorshift64*: fast, and the same tree from the same seed on every machine.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next()
  {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1Dull;
  }
  uint64_t Below(uint64_t n) { return n ? Next() % n : 0; }
  double Unit() { return (double)(Next() >> 11) / 9007199254740992.0; }
  // Log-uniform in [lo, hi]: many small, few large, as on a real disk.
  uint64_t LogUniform(uint64_t lo, uint64_t hi)
  {
    return (uint64_t)std::exp(std::log((double)lo) + Unit() * (std::log((double)hi) - std::log((double)lo)));
  }
};

void MakeDirs(const std::string &path)
{
  for (size_t at = 1; at <= path.size(); at++)
    if (at == path.size() || path[at] == '/') {
      std::string part = path.substr(0, at);
      if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
        die("mkdir", part);
    }
}

void WriteRandom(const std::string &path, uint64_t size, Rng &rng)
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0)
    die("create", path);
  static uint64_t block[1 << 15];
  while (size > 0) {
    size_t n = size < sizeof block ? (size_t)size : sizeof block;
    for (size_t i = 0; i < (n + 7) / 8; i++)
      block[i] = rng.Next();
    if (write(fd, block, n) != (ssize_t)n)
      die("write", path);
    size -= n;
  }
  close(fd);
}

const char *const kSyllables[] = {"ep",  "gu", "ide", "tim", "er",  "rec", "or", "der", "log", "set",
                                  "ting", "cha", "nel", "fav", "list", "skin", "font", "icon", "data", "mp"};
const char *const kExtensions[] = {".ini", ".log", ".dat", ".txt", ".cfg", ".bin", ".xml", ".db"};

std::string Word(Rng &rng)
{
  std::string w;
  int n = 1 + (int)rng.Below(3);
  for (int i = 0; i < n; i++)
    w += kSyllables[rng.Below(sizeof kSyllables / sizeof *kSyllables)];
  return w;
}

// Folder names: plug-in-like words, unique among siblings.
std::vector<std::string> MakeFolders(const std::string &root, int count, Rng &rng)
{
  std::vector<std::string> folders = {root};
  for (int i = 1; i < count; i++) {
    // Shallow trees: parents are picked among the earlier folders, the root
    // and its children more often.
    size_t parent = rng.Below(std::min<size_t>(folders.size(), 1 + (size_t)rng.Below(folders.size())));
    std::string name = folders[parent] + "/" + Word(rng);
    name[folders[parent].size() + 1] &= ~0x20; // capitalised, as plug-ins name theirs
    name += std::to_string(i);
    MakeDirs(name);
    folders.push_back(name);
  }
  return folders;
}

std::string FileName(Rng &rng, int serial)
{
  return Word(rng) + "_" + std::to_string(serial) + kExtensions[rng.Below(sizeof kExtensions / sizeof *kExtensions)];
}

// The recorder's /ProgramFiles scaled by `scale`: ~200 folders; ~5080 files
// of 200 B to 16 KiB, ~900 of 50 KiB to 2 MiB, ~20 of 20 to 150 MiB.
int GenTree(const std::string &root, uint64_t seed, double scale)
{
  Rng rng(seed);
  MakeDirs(root);
  int nFolders = std::max(5, (int)std::lround(200 * scale));
  int nSmall = std::max(10, (int)std::lround(5080 * scale));
  int nMedium = std::max(2, (int)std::lround(900 * scale));
  int nLarge = std::max(1, (int)std::lround(20 * scale));
  std::vector<std::string> folders = MakeFolders(root, nFolders, rng);
  uint64_t total = 0;
  int serial = 0;
  auto add = [&](uint64_t size) {
    const std::string &folder = folders[rng.Below(folders.size())];
    WriteRandom(folder + "/" + FileName(rng, serial++), size, rng);
    total += size;
  };
  for (int i = 0; i < nSmall; i++)
    add(rng.LogUniform(200, 16384));
  for (int i = 0; i < nMedium; i++)
    add(rng.LogUniform(50 << 10, 2 << 20));
  for (int i = 0; i < nLarge; i++)
    add((20ull << 20) + rng.Below((130ull << 20) + 1));
  printf("%d folders, %d files, %" PRIu64 " bytes\n", nFolders, serial, total);
  return 0;
}

// Only small files, spread over at most 1000 folders below the root (the
// root makes the 1001st), for the time per file at each size.
int SmallTree(const std::string &root, int files, uint64_t seed)
{
  Rng rng(seed);
  MakeDirs(root);
  int nFolders = std::min(1000, std::max(1, (files + 59) / 60));
  std::vector<std::string> folders;
  for (int i = 0; i < nFolders; i++) {
    std::string f = root + "/" + Word(rng) + std::to_string(i);
    MakeDirs(f);
    folders.push_back(f);
  }
  uint64_t total = 0;
  for (int i = 0; i < files; i++) {
    uint64_t size = rng.LogUniform(200, 16384);
    WriteRandom(folders[(size_t)i % folders.size()] + "/" + FileName(rng, i), size, rng);
    total += size;
  }
  printf("%d folders, %d files, %" PRIu64 " bytes\n", nFolders + 1, files, total);
  return 0;
}

void ListFiles(const std::string &dir, std::vector<std::pair<std::string, uint64_t>> &out)
{
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    std::string p = dir + "/" + n;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0)
      continue;
    if (S_ISDIR(st.st_mode))
      ListFiles(p, out);
    else if (S_ISREG(st.st_mode))
      out.push_back({p, (uint64_t)st.st_size});
  }
}

// Day 3: 2% of the small files and one large file get new contents (same
// sizes, new times), as a day of recordings and settings changes leaves them.
int Mutate(const std::string &root, uint64_t seed)
{
  Rng rng(seed);
  std::vector<std::pair<std::string, uint64_t>> files;
  ListFiles(root, files);
  std::vector<size_t> small, large;
  for (size_t i = 0; i < files.size(); i++) {
    if (files[i].first.find("/Settings/") != std::string::npos)
      continue; // the plug-in's own settings and logs change by themselves
    if (files[i].second <= 16384)
      small.push_back(i);
    else if (files[i].second >= (20ull << 20))
      large.push_back(i);
  }
  size_t changed = 0;
  for (size_t i : small)
    if (rng.Below(50) == 0) {
      WriteRandom(files[i].first, files[i].second, rng);
      changed++;
    }
  if (!large.empty()) {
    const auto &f = files[large[rng.Below(large.size())]];
    WriteRandom(f.first, f.second, rng);
    printf("changed %zu small files and %s\n", changed, f.first.c_str());
  } else {
    printf("changed %zu small files\n", changed);
  }
  return 0;
}

// Days since 1858-11-17 (the Modified Julian Date) of a civil date.
int64_t Mjd(int y, int m, int d)
{
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 40587;
}

// N earlier backups: the given catalogue under N dated folders, one a day
// up to the day before `last` (YYYY-MM-DD), each with its own date.
int Catalogues(const std::string &source, const std::string &destRoot, int count, const std::string &last)
{
  FILE *f = fopen(source.c_str(), "rb");
  if (!f)
    die("open", source);
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    bytes.insert(bytes.end(), buf, buf + n);
  fclose(f);
  if (VXDBValidate(bytes.data(), bytes.size(), nullptr, nullptr) != VXDB_OK) {
    fprintf(stderr, "benchtool: %s is not a valid catalogue\n", source.c_str());
    return 1;
  }
  int y, m, d;
  if (sscanf(last.c_str(), "%d-%d-%d", &y, &m, &d) != 3)
    return 1;
  int64_t lastMjd = Mjd(y, m, d);
  for (int i = count; i >= 1; i--) {
    int64_t mjd = lastMjd - i;
    // Back from MJD to the civil date for the folder's name.
    time_t t = (time_t)(mjd - 40587) * 86400;
    struct tm tm;
    gmtime_r(&t, &tm);
    char name[32];
    snprintf(name, sizeof name, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    std::string dir = destRoot + "/" + name;
    MakeDirs(dir);
    VXDBPut32(bytes.data() + VXDB_OFS_BACKUPDATE, (uint32_t)mjd << 16 | 3u << 8);
    FILE *o = fopen((dir + "/" VXDB_FILE_NAME).c_str(), "wb");
    if (!o || fwrite(bytes.data(), 1, bytes.size(), o) != bytes.size() || fclose(o) != 0)
      die("write", dir);
  }
  printf("%d catalogues of %zu bytes\n", count, bytes.size());
  return 0;
}

// Drops a tree's pages from the page cache (after a sync they are clean),
// so that the copies the runs leave do not push the source tree out.
int Evict(const std::string &root)
{
  std::vector<std::pair<std::string, uint64_t>> files;
  ListFiles(root, files);
  for (const auto &f : files) {
    int fd = open(f.first.c_str(), O_RDONLY);
    if (fd >= 0) {
      (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      close(fd);
    }
  }
  return 0;
}

double Seconds(const struct timeval &tv)
{
  return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

// Runs a command with its output into LOG and prints "wall cpu maxrss_kib";
// the times and memory are those of the command and every process it waited
// for (wait4 of the child).
int Time(const std::string &log, char **argv)
{
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0)
    die("fork");
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
      die("open", log);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    execvp(argv[0], argv);
    die("exec", argv[0]);
  }
  int status;
  struct rusage ru;
  while (wait4(pid, &status, 0, &ru) < 0)
    if (errno != EINTR)
      die("wait4");
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  printf("%.3f %.3f %ld\n", wall, Seconds(ru.ru_utime) + Seconds(ru.ru_stime), ru.ru_maxrss);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "benchtool: %s failed (status %d), see %s\n", argv[0], status, log.c_str());
    return 1;
  }
  return 0;
}

int Usage()
{
  fprintf(stderr, "usage: benchtool gentree DIR SEED SCALE\n"
                  "       benchtool smalltree DIR FILES SEED\n"
                  "       benchtool mutate DIR SEED\n"
                  "       benchtool catalogues VXDB.db DESTROOT COUNT LAST-DAY\n"
                  "       benchtool evict DIR...\n"
                  "       benchtool time LOG COMMAND [ARGS...]\n");
  return 2;
}

} // namespace

int main(int argc, char **argv)
{
  if (argc < 2)
    return Usage();
  std::string cmd = argv[1];
  if (cmd == "gentree" && argc == 5)
    return GenTree(argv[2], strtoull(argv[3], nullptr, 0), atof(argv[4]));
  if (cmd == "smalltree" && argc == 5)
    return SmallTree(argv[2], atoi(argv[3]), strtoull(argv[4], nullptr, 0));
  if (cmd == "mutate" && argc == 4)
    return Mutate(argv[2], strtoull(argv[3], nullptr, 0));
  if (cmd == "catalogues" && argc == 6)
    return Catalogues(argv[2], argv[3], atoi(argv[4]), argv[5]);
  if (cmd == "evict") {
    for (int i = 2; i < argc; i++)
      Evict(argv[i]);
    return 0;
  }
  if (cmd == "time" && argc >= 4)
    return Time(argv[2], argv + 3);
  return Usage();
}
