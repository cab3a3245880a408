// The network console: the first pseudo-terminal of the namespace's own
// devpts.  The simulator holds both ends and drains the master all the time,
// because a writer blocks once about 20 KB are waiting.
#pragma once
#include <string>

#include "Common.h"

class Console {
public:
  // Opens the master (so the slave is /dev/pts/0) and the slave in raw mode,
  // so that "\n" arrives as written.  Call after the devpts is mounted.
  bool Open(std::string *err);
  const std::string &slaveName() const { return slaveName_; }
  int master() const { return master_.get(); }

  // Where the console goes: a file as written, or a shared stream (standard
  // output) with every line prefixed.
  void SetSink(int fd, bool prefixLines)
  {
    sink_ = fd;
    prefix_ = prefixLines;
  }

  // Copies everything waiting on the master to the sink; never blocks.
  void Drain();
  // Ends a last line that lacks its newline, then closes both ends.
  void Close();
  // In the plug-in's process: drops the inherited ends without touching them.
  void Forget()
  {
    master_.reset();
    slave_.reset();
  }

private:
  void Emit(const char *data, size_t size);

  UniqueFd master_, slave_;
  std::string slaveName_;
  int sink_ = 1;
  bool prefix_ = true;
  std::string partial_;
};
