// Unit tests that reach the internal disk by its Linux path need it at
// /mnt/hd, as on the recorder.  This gives the test process a private mount
// namespace with a tmpfs on /mnt, so the machine's own /mnt is never touched.
#pragma once
#include <string>

// A mount namespace of the test process alone (the simulator's inherits
// it), made once; "" or what failed.  Needs root.
std::string EnterPrivateMounts();

// Binds diskDir at /mnt/hd (again on every call, replacing the previous
// disk).  The first call makes the namespace, so it must come before the
// process starts any thread.  Needs root.  Returns "" or what failed.
std::string EnterRecorderNamespace(const std::string &diskDir);

// Points the host runtime and the firmware's task table at diskDir, with
// /ProgramFiles as the current folder.
void UseRecorderDisk(const std::string &diskDir);
