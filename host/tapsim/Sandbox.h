// The recorder's file system view, in a private mount namespace: the
// machine read-only, a tmpfs on /mnt with the disks bound below it, and a
// devpts instance of its own on /dev/pts.  Nothing of it is visible outside.
#pragma once
#include <string>
#include <vector>

#include "Common.h"

// A disk folder, held open so that it can be bound after /mnt is covered.
// A bind takes its source from the caller's own namespace, so the folder is
// opened once to check it and again inside the namespace (ReopenDiskSource).
struct DiskSource {
  std::string dir;
  UniqueFd fd;            // O_PATH
  bool readOnly = false;  // it was read-only on the machine: keep it so
};
bool OpenDiskSource(const std::string &dir, DiskSource *out, std::string *err);
bool ReopenDiskSource(DiskSource *disk, std::string *err);

struct MountEntry {
  std::string mountPoint;
  std::string options; // per-mount options, e.g. "rw,nosuid,relatime"
  std::string fsType;
  std::string root;          // the folder of its file system mounted there
  std::string superOptions;  // the file system's, e.g. "rw,cpu" for a cgroup
};
bool ReadMounts(std::vector<MountEntry> *out, std::string *err);
// Whether a comma-separated list of options holds name.
bool HasOption(const std::string &options, const char *name);

class Sandbox {
public:
  Sandbox() = default;
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;
  ~Sandbox() { TearDown(); }

  // unshare(CLONE_NEWNS), or without privilege a user namespace with it;
  // then / recursively private.  Must run before any thread exists.
  bool Enter(std::string *err);
  bool inUserNamespace() const { return userNamespace_; }

  // Remounts every mount of the machine read-only, in this namespace only.
  bool LockMachine(std::string *err);

  // A small tmpfs on /mnt, and a fresh devpts instance on /dev/pts.
  bool MountMnt(std::string *err);
  bool MountDevpts(std::string *err);

  // Binds a disk at /mnt/<name>, writable unless the source was read-only.
  // Also used by the process that runs the plug-in, for disks plugged in late.
  static bool BindDisk(const DiskSource &disk, const std::string &name, std::string *err);

  // Lazily unmounts every disk under /mnt, the plug-in's own mounts (a
  // network share) included, so that their processes can end.
  void DetachDisks();

  // Lazily unmounts everything the run mounted, including what the plug-in
  // mounted under /mnt itself; safe to call twice.
  void TearDown();

private:
  bool userNamespace_ = false;
  bool entered_ = false;
  bool mntMounted_ = false;
  bool devptsMounted_ = false;
};

// Ends the processes the run left behind in the namespace (a network mount's
// daemon, a background command): SIGTERM, a grace period, then SIGKILL, each
// by its process id.  Returns how many there were.
int EndLeftoverProcesses();
