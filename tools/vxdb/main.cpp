#include <cerrno>
#include <cstring>
#include <iostream>

#include "Commands.h"
#include "Files.h"

int main(int argc, char **argv)
{
  std::ios::sync_with_stdio(false);
  vxdb::WatchInterrupts();
  int status = vxdb::RunVxdb(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
  errno = 0;
  std::cout.flush();
  if (!std::cout) {
    // A full disk or a closed pipe: what was asked for did not arrive.
    std::cerr << "vxdb: cannot write the output" << (errno ? std::string(": ") + strerror(errno) : "") << "\n";
    return vxdb::kBadInput;
  }
  return status;
}
