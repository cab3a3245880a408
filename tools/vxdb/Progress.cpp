#include "Progress.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Output.h"

namespace vxdb {
namespace {

std::string Duration(double seconds)
{
  uint64_t s = uint64_t(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    snprintf(buf, sizeof buf, "%u:%02u:%02u", unsigned(s / 3600), unsigned(s / 60 % 60), unsigned(s % 60));
  else
    snprintf(buf, sizeof buf, "%u:%02u", unsigned(s / 60), unsigned(s % 60));
  return buf;
}

size_t TerminalWidth()
{
  struct winsize ws;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
    return ws.ws_col;
  return 80;
}

}  // namespace

std::string ProgressLine(const ProgressFigures &f, size_t width)
{
  std::string figures = std::to_string(f.files) + "/" + std::to_string(f.totalFiles) + " files  " +
                        SizeText(f.bytes) + "/" + SizeText(f.totalBytes);
  // A rate needs a moment of history before it means anything.
  if (f.seconds >= 1 && f.bytes > 0) {
    double rate = f.bytes / f.seconds;
    figures += "  " + SizeText(uint64_t(rate)) + "/s";
    if (f.totalBytes >= f.bytes)
      figures += "  " + Duration((f.totalBytes - f.bytes) / rate) + " left";
  }
  // One column stays free so that the line never wraps.
  if (width <= figures.size() + 4)
    return figures.substr(0, width ? width - 1 : 0);
  size_t barWidth = std::min<size_t>(30, width - figures.size() - 4);
  double share = f.totalBytes ? double(f.bytes) / f.totalBytes
                 : f.totalFiles ? double(f.files) / f.totalFiles
                                : 1.0;
  size_t filled = std::min(barWidth, size_t(share * barWidth));
  return "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] " + figures;
}

Progress::Progress(std::ostream *out, uint64_t totalFiles, uint64_t totalBytes)
    : out_(out), start_(std::chrono::steady_clock::now()), lastDraw_(start_)
{
  f_.totalFiles = totalFiles;
  f_.totalBytes = totalBytes;
  Draw(true);
}

Progress::~Progress() { Finish(); }

void Progress::AddBytes(uint64_t n)
{
  f_.bytes += n;
  Draw(false);
}

void Progress::FileDone()
{
  ++f_.files;
  Draw(false);
}

void Progress::Draw(bool force)
{
  if (!out_)
    return;
  auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
    return;
  lastDraw_ = now;
  f_.seconds = std::chrono::duration<double>(now - start_).count();
  size_t width = TerminalWidth();
  std::string line = ProgressLine(f_, width);
  *out_ << '\r' << line << std::string(width > line.size() + 1 ? width - line.size() - 1 : 0, ' ') << std::flush;
  drawn_ = true;
}

void Progress::Finish()
{
  if (!out_ || !drawn_)
    return;
  // The last figures, then a clean line: what follows (a message, or the
  // summary after Ctrl-C) does not stand below a stale bar.
  Draw(true);
  size_t width = TerminalWidth();
  *out_ << '\r' << std::string(width > 1 ? width - 1 : 0, ' ') << '\r' << std::flush;
  drawn_ = false;
}

}  // namespace vxdb
