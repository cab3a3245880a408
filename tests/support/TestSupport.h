// Shared helpers for the tests: temporary folders, files, and runs of the
// recorder simulator on the image of this build.
#pragma once
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

// A recorder's internal disk: <root>/ProgramFiles with the settings folder.
// settings == nullptr writes no Vaultrix.ini.
void MakeRecorderDisk(const std::string &root, const char *settings);

struct TapsimResult {
  int status = -1;      // exit status, or 128 + signal
  std::string out;      // tapsim's standard output (its own lines, TAP_Print)
  std::string err;      // its standard error
  std::string console;  // the captured network console
};

// Runs the simulator of this build (under the emulator in a cross build) on
// this build's image; args are options such as {"--disk", dir}.  The console
// goes to a file that is read back into the result.
TapsimResult RunTapsim(const std::vector<std::string> &args);

// The lines of a text, split at LF with a final CR removed.
std::vector<std::string> Lines(const std::string &text);
