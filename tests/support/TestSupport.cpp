#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern "C" const dword __tap_ud__ = 0x2A565854;

// No test may write to the machine's terminals: the network console points
// nowhere unless a test points it at a folder of its own.
static const bool consoleSilenced = (PrintNetDevicePrefix = "/nonexistent/vaultrix-console/", true);

TempDir::TempDir()
{
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vxtest.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data()))
    throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir()
{
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string &path, const std::string &content)
{
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
}

std::string ReadFile(const std::string &path)
{
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string &path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void MakeRecorderDisk(const std::string &root, const char *settings)
{
  fs::create_directories(root + "/ProgramFiles/Settings/Vaultrix");
  if (settings)
    WriteFile(root + "/ProgramFiles/Settings/Vaultrix/Vaultrix.ini", settings);
}

TapsimResult RunTapsim(const std::vector<std::string> &args)
{
  TempDir io;
  std::vector<std::string> argv = {VX_EMULATOR_ARGV VX_TAPSIM};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.end(), {"--console", io / "console", VX_IMAGE});
  std::vector<char *> cargv;
  for (auto &a : argv)
    cargv.push_back(a.data());
  cargv.push_back(nullptr);

  TapsimResult r;
  pid_t pid = fork();
  if (pid == 0) {
    int out = open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
    ;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(io / "out");
  r.err = ReadFile(io / "err");
  r.console = ReadFile(io / "console");
  return r;
}

std::vector<std::string> Lines(const std::string &text)
{
  std::vector<std::string> lines;
  std::string line;
  std::istringstream s(text);
  while (std::getline(s, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}
