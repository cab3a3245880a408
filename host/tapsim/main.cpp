// tapsim: the recorder simulator.  The process that starts sets up the
// namespace, then supervises: the plug-in runs in a child, so that a crash is
// reported instead of taking the console and the clean-up with it, while the
// supervisor drains the console and in the end removes what the run left.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "Common.h"
#include "Console.h"
#include "CpuShare.h"
#include "Loader.h"
#include "Options.h"
#include "Sandbox.h"

#ifdef __SANITIZE_ADDRESS__
// In a sanitized build a report in the plug-in ends its run as a crash, so
// that the exit status says so and the event is named.
extern "C" const char *__asan_default_options() { return "abort_on_error=1"; }
extern "C" const char *__ubsan_default_options() { return "abort_on_error=1:print_stacktrace=1"; }
#endif

namespace {

int signalPipe[2] = {-1, -1};
// Static, so that a Die() after it was made still removes it.
CpuShare cpuShare;

void OnSignal(int sig)
{
  int saved = errno;
  unsigned char b = (unsigned char)sig;
  (void)!write(signalPipe[1], &b, 1);
  errno = saved;
}

[[noreturn]] void Die(int status, const std::string &message)
{
  fprintf(stderr, "tapsim: %s\n", message.c_str());
  exit(status);
}

std::string ExecutableDir()
{
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0)
    Die(kExitLoadFailure, "cannot find my own folder (/proc/self/exe)");
  self[n] = 0;
  std::string dir(self);
  return dir.substr(0, dir.rfind('/'));
}

UniqueFd OpenForReading(const std::string &path, const char *what)
{
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    Die(kExitLoadFailure, std::string("cannot load ") + what + " '" + path + "': " + strerror(errno));
  return fd;
}

UniqueFd CreateOutput(const std::string &path, const char *what)
{
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd)
    Die(kExitUsage, std::string("cannot create the ") + what + " file '" + path + "': " + strerror(errno));
  return fd;
}

std::string Where(const RunProgress &p)
{
  char buf[128];
  switch (p.phase) {
  case kPhaseLoad:
    return "while loading the image";
  case kPhaseMain:
    return "in TAP_Main";
  case kPhaseEvent:
    snprintf(buf, sizeof buf, "in event %llu (code 0x%04x, tick %u)", (unsigned long long)p.event, p.code,
             p.tick);
    return buf;
  case kPhaseDone:
    return "after its last event";
  default:
    return "before loading the image";
  }
}

void InstallHandler(int sig, void (*handler)(int))
{
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
  // The plug-in opens the console without O_NOCTTY; a session leader without
  // a terminal would get it, and a hang-up when it closes.
  signal(SIGHUP, SIG_IGN);

  TapsimOptions opts;
  std::string err;
  if (!ParseOptions(argc, argv, &opts, &err)) {
    fprintf(stderr, "tapsim: %s\nTry 'tapsim --help'.\n", err.c_str());
    return kExitUsage;
  }
  if (opts.help) {
    fputs(TapsimUsage(), stdout);
    return kExitPluginExited;
  }

  // Everything the run reads or writes on the machine is opened now: after
  // the namespace is locked, only descriptors opened before stay writable.
  std::string dir = ExecutableDir();
  PluginFiles files;
  files.image = OpenForReading(opts.image, "image");
  files.runtime = OpenForReading(dir + "/libtap.so", "the host runtime");
  if (opts.utf8Firmware)
    files.utf8Firmware = OpenForReading(dir + "/libtapsim_utf8fw.so", "the UTF-8 firmware library");
  if (!opts.noTaskTable)
    files.taskTable = OpenForReading(dir + "/libtapsim_firmware.so", "the firmware's task table");
  DiskSource disk;
  if (!OpenDiskSource(opts.disk, &disk, &err))
    Die(kExitUsage, "--disk: " + err);
  struct stat diskStat;
  if (fstat(disk.fd.get(), &diskStat) != 0)
    Die(kExitUsage, "--disk: " + std::string(strerror(errno)));
  files.diskDevice = diskStat.st_dev;
  for (auto &ext : opts.ext) {
    files.ext.emplace_back();
    if (!OpenDiskSource(ext.dir, &files.ext.back(), &err))
      Die(kExitUsage, "--ext " + ext.name + ": " + err);
  }
  UniqueFd consoleOut, traceOut;
  if (!opts.consoleFile.empty())
    consoleOut = CreateOutput(opts.consoleFile, "console");
  if (!opts.traceFile.empty())
    traceOut = CreateOutput(opts.traceFile, "trace");
  files.traceFd = traceOut.get();
  if (opts.cpuPercent && !cpuShare.Create(opts.cpuPercent, &err))
    Die(kExitSandbox, "--cpu: " + err);
  files.cpuShare = cpuShare.description();
  void *page = mmap(nullptr, sizeof(RunProgress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED)
    Die(kExitSandbox, std::string("mmap: ") + strerror(errno));
  auto *progress = new (page) RunProgress{};

  Sandbox sandbox;
  Console console;
  bool reopened = sandbox.Enter(&err) && ReopenDiskSource(&disk, &err);
  for (auto &ext : files.ext)
    reopened = reopened && ReopenDiskSource(&ext, &err);
  if (!reopened || !sandbox.LockMachine(&err) || !sandbox.MountMnt(&err) ||
      !Sandbox::BindDisk(disk, "hd", &err) || !sandbox.MountDevpts(&err) || !console.Open(&err))
    Die(kExitSandbox, err);
  if (console.slaveName() != "/dev/pts/0")
    fprintf(stderr, "tapsim: warning: the console is %s, not /dev/pts/0\n", console.slaveName().c_str());
  console.SetSink(consoleOut ? consoleOut.get() : STDOUT_FILENO, !consoleOut);

  // Background processes of the plug-in become ours to reap when their
  // parent ends (qemu-user refuses this; they are found by namespace then).
  (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    Die(kExitSandbox, std::string("pipe: ") + strerror(errno));
  InstallHandler(SIGCHLD, OnSignal);
  InstallHandler(SIGINT, OnSignal);
  InstallHandler(SIGTERM, OnSignal);
  fflush(nullptr);

  pid_t child = fork();
  if (child < 0)
    Die(kExitSandbox, std::string("fork: ") + strerror(errno));
  if (child == 0) {
    signal(SIGCHLD, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    close(signalPipe[0]);
    close(signalPipe[1]);
    console.Forget();
    consoleOut.reset();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    // A group of its own: what the plug-in starts in the background stays
    // in it, so that the run can tell while it is still running.
    (void)setpgid(0, 0);
    if (opts.cpuPercent && !cpuShare.Join(&err)) {
      fprintf(stderr, "tapsim: --cpu: %s\n", err.c_str());
      _exit(kExitSandbox);
    }
    _exit(RunPlugin(opts, files, progress));
  }

  int status = 0;
  bool childDone = false, interrupted = false;
  while (!childDone) {
    struct pollfd fds[2] = {{console.master(), POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) {
      // Cannot watch any more: wait for the plug-in without draining.
      while (waitpid(child, &status, 0) < 0 && errno == EINTR)
        ;
      break;
    }
    console.Drain();
    unsigned char sig;
    while (read(signalPipe[0], &sig, 1) == 1) {
      if ((sig == SIGINT || sig == SIGTERM) && !interrupted) {
        interrupted = true;
        kill(child, SIGTERM);
      }
    }
    int st;
    pid_t pid;
    while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
      if (pid == child) {
        childDone = true;
        status = st;
      }
    }
  }

  sandbox.DetachDisks();
  int leftovers = EndLeftoverProcesses();
  console.Close();
  sandbox.TearDown();
  if (leftovers)
    fprintf(stderr, "tapsim: ended %d process%s the plug-in left running\n", leftovers, leftovers == 1 ? "" : "es");
  if (opts.cpuPercent && !cpuShare.Remove())
    fprintf(stderr, "tapsim: could not remove the CPU share's group %s: %s\n", cpuShare.description().c_str(),
            strerror(errno));

  if (interrupted) {
    fprintf(stderr, "tapsim: interrupted\n");
    return kExitInterrupted;
  }
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    fprintf(stderr, "tapsim: the plug-in crashed: signal %d (%s) %s\n", sig, strsignal(sig),
            Where(*progress).c_str());
    return kExitCrash;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kExitCrash;
}
