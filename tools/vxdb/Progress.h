// A one-line progress bar for long runs: files and bytes done, rate and the
// time left. It draws only when given a stream, which the caller does only
// for a terminal.
#pragma once
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace vxdb {

struct ProgressFigures {
  uint64_t files = 0, totalFiles = 0;
  uint64_t bytes = 0, totalBytes = 0;
  double seconds = 0;  // since the start
};

// The line for the figures, at most width columns.
std::string ProgressLine(const ProgressFigures &f, size_t width);

class Progress {
public:
  Progress(std::ostream *out, uint64_t totalFiles, uint64_t totalBytes);
  ~Progress();
  void AddBytes(uint64_t n);
  void FileDone();
  // Draws the last figures, then clears the line so that messages can
  // follow.
  void Finish();

private:
  void Draw(bool force);
  std::ostream *out_;
  ProgressFigures f_;
  std::chrono::steady_clock::time_point start_, lastDraw_;
  bool drawn_ = false;
};

}  // namespace vxdb
