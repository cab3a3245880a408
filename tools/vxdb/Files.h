// File access for the tool: descriptors that close themselves, and walks
// that never follow a symbolic link out of the folder they start in.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "Md5.h"

namespace vxdb {

class Progress;

class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&o) noexcept : fd_(o.release()) {}
  Fd &operator=(Fd &&o) noexcept;
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd();
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release();

private:
  int fd_ = -1;
};

// Ctrl-C and SIGTERM: the first asks the running command to stop at its next
// safe point, keeping what is done; a second ends the tool at once.
void WatchInterrupts();
bool Interrupted();

// The text of errno, for messages.
std::string ErrnoText(int err);

// Opens the folder reached by the components below dirfd. Symbolic links are
// refused (ELOOP); create makes missing folders. Sets errno on failure.
Fd OpenFolderBeneath(int dirfd, const std::vector<std::string> &parts, bool create);

// Opens a file by its components below dirfd for reading, refusing symbolic
// links anywhere on the way. The open never blocks (a FIFO opens at once);
// callers check that they got a regular file before reading.
Fd OpenFileBeneath(int dirfd, const std::vector<std::string> &parts);

// Reads a whole regular file of at most limit bytes, without blocking on
// anything else; false with the reason on failure.
bool ReadWholeFile(const std::string &path, size_t limit, std::string *data, std::string *why);

// Writes all n bytes, going on after short writes and interruptions; false
// with errno set on a failure (left as it was when a write took nothing).
bool WriteAll(int fd, const char *data, size_t n);

// The names in the folder dirfd but "." and "..", sorted, read through a
// descriptor of its own. False with errno set when the folder cannot be
// read at all; a read that fails part way leaves the names read so far, and
// its error in readErr when that is given (0 otherwise).
bool SortedNames(int dirfd, std::vector<std::string> *names, int *readErr = nullptr);

struct WalkItem {
  std::string path;  // "/" joined components, beginning with "/"
  struct stat st;
};

// Visits everything below the folder dirfd except folders themselves, depth
// first (a folder's own entries before its subfolders, each in name order),
// without following symbolic links and with a few descriptors open however
// deep the tree. Folders that cannot be read are passed to onError; the walk
// goes on. It stops early when interrupted. enter, when given, sees each
// subfolder with the handle of the folder that holds it, and keeps the walk
// out of it by returning false.
void Walk(int dirfd, const std::function<void(const WalkItem &)> &visit,
          const std::function<void(const std::string &path, int err)> &onError,
          const std::function<bool(int parent, const std::string &name, const WalkItem &)> &enter = nullptr);

// Digests what fd reads until its end or until more than limit bytes came,
// counting the bytes (limit + 1 then); false with errno set on a read error
// (EINTR when interrupted).
bool HashDescriptor(int fd, uint64_t limit, Digest *digest, uint64_t *bytes, Progress *progress);

// Where file systems are mounted, bind mounts included: the mount root
// attribute where the kernel gives it, else the mount points of
// /proc/self/mountinfo, read once, by device and inode.
class Mounts {
public:
  Mounts();
  // Whether the entry name of the folder dirfd, whose status is st, is a
  // mount point.
  bool At(int dirfd, const std::string &name, const struct stat &st) const;

private:
  std::set<std::pair<uint64_t, uint64_t>> points_;
};

// The names a tree holds in one of its folders, by the folder's path ("/"
// joined, "" for the top), each with whether it is a folder; none when the
// tree has no such folder.
using HeldNames = std::function<const std::map<std::string, bool> *(const std::string &folder)>;

// Removes from the folder reached by parts below dirfd what the tree that
// held describes does not hold, depth first, through folder handles: no
// symbolic link is followed (a link goes as a link), and no mount point or
// other file system is entered or removed. An entry is held when it has a
// held name, or, on a disk that ignores letter case, is the file that name
// finds (whatever folding the disk does); another name of a held file goes.
// done hears of each entry that goes (or would go, with dryRun), a folder
// after its contents, and of each left with a problem; paths are the
// disk's names below dirfd. A missing folder holds nothing to remove.
void RemoveUnheld(int dirfd, const std::vector<std::string> &parts, const HeldNames &held, bool dryRun,
                  const std::function<void(const std::string &path, bool folder, const std::string &problem)> &done);

// Splits "a/b/c" at slashes, dropping empty components.
std::vector<std::string> SplitPath(const std::string &path);

}  // namespace vxdb
