#include "TestSupport.h"

#include <gtest/gtest.h>

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

std::string Pattern(size_t n, unsigned seed)
{
  std::string s(n, 0);
  for (auto &c : s) {
    seed = seed * 1103515245u + 12345u;
    c = char(seed >> 16);
  }
  return s;
}

size_t Count(const std::string &text, const std::string &what)
{
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    n++;
  return n;
}

std::set<std::string> NamesIn(const std::string &folder)
{
  std::set<std::string> names;
  for (const auto &e : fs::directory_iterator(folder))
    names.insert(e.path().filename());
  return names;
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

ProgramRun RunVxdbTool(const std::vector<std::string> &args)
{
  std::vector<std::string> argv = {VX_EMULATOR_ARGV VX_BINARY_DIR "/vxdb"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, {"TZ=UTC"});
}

ProgramRun RunProgram(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
  TempDir io;
  std::vector<std::string> argv = args;
  std::vector<char *> cargv;
  for (auto &a : argv)
    cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string &e : env)
      putenv(strdup(e.c_str()));
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
  ProgramRun r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(io / "out");
  r.err = ReadFile(io / "err");
  return r;
}

namespace {

TapsimResult Run(const std::vector<std::string> &args)
{
  std::vector<std::string> argv = {VX_EMULATOR_ARGV VX_TAPSIM};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramRun run = RunProgram(argv);
  TapsimResult r;
  r.status = run.status;
  r.out = run.out;
  r.err = run.err;
  return r;
}

bool Has(const std::vector<std::string> &args, const char *option)
{
  for (auto &a : args)
    if (a == option || a.rfind(std::string(option) + "=", 0) == 0)
      return true;
  return false;
}

// A quoted trace value with C escapes, from text[*at] (the opening quote).
std::string Unquote(const std::string &text, size_t *at)
{
  std::string out;
  size_t i = *at + 1;
  for (; i < text.size() && text[i] != '"'; i++) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    switch (c) {
    case 'n': out += '\n'; break;
    case 'r': out += '\r'; break;
    case 't': out += '\t'; break;
    case 'x':
      out += (char)std::stoi(text.substr(i + 1, 2), nullptr, 16);
      i += 2;
      break;
    default: out += c;
    }
  }
  *at = i + 1;
  return out;
}

uint32_t Number(const std::string &v) { return (uint32_t)std::stoul(v, nullptr, 0); }

void StatePair(const std::string &v, int *before, int *after)
{
  size_t gt = v.find('>');
  *before = std::stoi(v.substr(0, gt));
  *after = std::stoi(v.substr(gt + 1));
}

} // namespace

bool TraceEvent::Says(const std::string &text) const
{
  for (auto &w : writes)
    if (w.text.find(text) != std::string::npos)
      return true;
  for (auto &p : prints)
    if (p.find(text) != std::string::npos)
      return true;
  return false;
}

std::vector<TraceEvent> ReadTrace(const std::string &path)
{
  std::vector<TraceEvent> events;
  for (const std::string &line : Lines(ReadFile(path))) {
    TraceEvent ev;
    size_t i = 0;
    while (i < line.size()) {
      size_t eq = line.find('=', i);
      if (eq == std::string::npos)
        break;
      std::string key = line.substr(i, eq - i), value;
      i = eq + 1;
      if (i < line.size() && line[i] == '"') {
        value = Unquote(line, &i);
      } else {
        size_t sp = line.find(' ', i);
        value = line.substr(i, sp == std::string::npos ? std::string::npos : sp - i);
        i = sp == std::string::npos ? line.size() : sp;
      }
      while (i < line.size() && line[i] == ' ')
        i++;
      if (key == "event") ev.index = std::stoull(value);
      else if (key == "tick") ev.tick = Number(value);
      else if (key == "code") { ev.isMain = value == "main"; ev.code = ev.isMain ? 0 : Number(value); }
      else if (key == "param") ev.param = Number(value);
      else if (key == "ret") ev.ret = (uint32_t)std::stoll(value, nullptr, 0);
      else if (key == "us") ev.us = std::stoull(value);
      else if (key == "calls") ev.calls = std::stoull(value);
      else if (key == "cpu") ev.cpuUs = std::stoull(value);
      else if (key == "wait") ev.waitUs = std::stoull(value);
      else if (key == "mem") ev.memHeld = std::stoull(value);
      else if (key == "read") ev.readBytes = std::stoull(value);
      else if (key == "state") StatePair(value, &ev.stateBefore, &ev.stateAfter);
      else if (key == "write" || key == "write-failed") ev.writes.push_back({value, "", key == "write-failed"});
      else if (key == "text" && !ev.writes.empty()) ev.writes.back().text = value;
      else if (key == "print") ev.prints.push_back(value);
      else if (key == "nested") { ev.nestedAsked = true; ev.nestedCode = Number(value); }
      else if (key == "nested-param") ev.nestedParam = Number(value);
      else if (key == "nested-ret") { ev.nestedDelivered = value != "none"; if (ev.nestedDelivered) ev.nestedRet = Number(value); }
      else if (key == "nested-exit") ev.nestedExit = value == "1";
      else if (key == "nested-state") StatePair(value, &ev.nestedStateBefore, &ev.nestedStateAfter);
      else if (key == "exit") ev.exited = value == "1";
    }
    events.push_back(ev);
  }
  return events;
}

TapsimResult RunTapsimOn(const std::string &image, const std::vector<std::string> &args)
{
  TempDir io;
  std::vector<std::string> argv = args;
  bool traced = !Has(args, "--trace");
  if (traced)
    argv.insert(argv.end(), {"--trace", io / "trace"});
  // The suite reruns with folders listed in another order (a test that
  // needs one order asks for it).
  const char *order = getenv("VX_LISTING_ORDER");
  if (order && *order && !Has(args, "--listing-order"))
    argv.insert(argv.end(), {"--listing-order", order});
  // And under another kernel than the recorder's (VX_KERNEL=none, or a version).
  const char *kernel = getenv("VX_KERNEL");
  if (kernel && *kernel && !Has(args, "--kernel"))
    argv.insert(argv.end(), {"--kernel", kernel});
  argv.insert(argv.end(), {"--console", io / "console", image});
  TapsimResult r = Run(argv);
  // Whatever a test expects of the run, a sanitizer report in the plug-in
  // fails it (test plug-ins crash on purpose).
  if (image == VX_IMAGE &&
      (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error:") != std::string::npos))
    ADD_FAILURE() << "sanitizer report in the simulator:\n" << r.err;
  r.console = ReadFile(io / "console");
  if (traced)
    r.trace = ReadTrace(io / "trace");
  return r;
}

TapsimResult RunTapsim(const std::vector<std::string> &args) { return RunTapsimOn(VX_IMAGE, args); }

TapsimResult RunTapsimArgs(const std::vector<std::string> &args) { return Run(args); }

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

void ExpectInOrder(const std::string &text, const std::vector<std::string> &messages)
{
  size_t at = 0;
  for (auto &m : messages) {
    size_t found = text.find(m, at);
    EXPECT_NE(found, std::string::npos) << "\"" << m << "\" not logged (in order) in:\n" << text;
    if (found != std::string::npos)
      at = found + m.size();
  }
}
