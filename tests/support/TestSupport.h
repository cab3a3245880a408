// Shared helpers for the tests: temporary folders, files, and runs of the
// recorder simulator on the image of this build.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "TestConfig.h"
#include "support/Kovlib.h"

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
  std::string path_;
};

// Writes a file, creating its folders; reads a whole file ("" if missing).
void WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);
bool Exists(const std::string &path);
// n bytes that differ from seed to seed.
std::string Pattern(size_t n, unsigned seed);
// How often what stands in text, overlaps included; whether it does at all.
size_t Count(const std::string &text, const std::string &what);
inline bool Contains(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }
// The names in a folder (not "." and ".."); throws when it cannot be read.
std::set<std::string> NamesIn(const std::string &folder);

// A recorder's internal disk: <root>/ProgramFiles with the settings folder.
// settings == nullptr writes no Vaultrix.ini.
void MakeRecorderDisk(const std::string &root, const char *settings);

// One line of tapsim's --trace: an event (index 0 is TAP_Main) and what the
// plug-in wrote and printed while it handled it.
struct TraceWrite {
  std::string file;
  std::string text;
  bool failed = false; // refused by --fail-hdd-write
};
struct TraceEvent {
  uint64_t index = 0;
  bool isMain = false;
  uint32_t tick = 0, code = 0, param = 0, ret = 0;
  uint64_t us = 0, calls = 0;         // duration, host calls made
  uint64_t cpuUs = 0, waitUs = 0;     // of it, on the processor, for the disk
  uint64_t memHeld = 0;               // bytes held through TAP_MemAlloc after it
  uint64_t readBytes = 0;             // bytes the plug-in read through read()
  int stateBefore = -1, stateAfter = -1; // -1: the image's State is unknown
  std::vector<TraceWrite> writes;     // TAP_Hdd_Fwrite
  std::vector<std::string> prints;    // TAP_Print
  bool nestedAsked = false, nestedDelivered = false, nestedExit = false;
  uint32_t nestedCode = 0, nestedParam = 0, nestedRet = 0;
  int nestedStateBefore = -1, nestedStateAfter = -1;
  bool exited = false;                // TAP_Exit was called
  // Whether a write or a print of this event contains text.
  bool Says(const std::string &text) const;
};
std::vector<TraceEvent> ReadTrace(const std::string &path);

struct ProgramRun {
  int status = -1; // exit status, or 128 + signal
  std::string out, err;
};

// Runs a program with an empty standard input and extra NAME=VALUE entries
// in its environment; its output is read back whole.
ProgramRun RunProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
// This build's vxdb (under the emulator in a cross build), times in UTC.
ProgramRun RunVxdbTool(const std::vector<std::string> &args);

struct TapsimResult {
  int status = -1;      // exit status, or 128 + signal
  std::string out;      // tapsim's standard output (its own lines, TAP_Print)
  std::string err;      // its standard error
  std::string console;  // the captured network console
  std::vector<TraceEvent> trace; // unless the caller named its own --trace
};

// Runs the simulator of this build (under the emulator in a cross build) on
// this build's image; args are options such as {"--disk", dir}.  The console
// goes to a file that is read back into the result.
TapsimResult RunTapsim(const std::vector<std::string> &args);
// The same on another image (a test plug-in, a missing file).
TapsimResult RunTapsimOn(const std::string &image, const std::vector<std::string> &args);
// The simulator with exactly these arguments, nothing added.
TapsimResult RunTapsimArgs(const std::vector<std::string> &args);

// Expects each message in text, each after the one before.
void ExpectInOrder(const std::string &text, const std::vector<std::string> &messages);

// The lines of a text, split at LF with a final CR removed.
std::vector<std::string> Lines(const std::string &text);
