#include "ShareServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char *kClientAddress = "10.213.0.1/24";

std::string failed(const std::string &step)
{
  return step + ": " + strerror(errno);
}

// Runs a program with its output silenced; its exit status, or -1.
int Run(std::vector<std::string> args)
{
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status;
  if (pid < 0 || waitpid(pid, &status, 0) != pid)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunChecked(const std::vector<std::string> &args)
{
  if (Run(args) == 0)
    return "";
  std::string line;
  for (auto &a : args)
    line += (line.empty() ? "" : " ") + a;
  return "failed: " + line;
}

bool CanConnect(const char *address, int port)
{
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  // A SYN sent before the server's side is up is retried only after 1 s.
  timeval timeout = {0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address, &sa.sin_addr);
  bool ok = connect(fd, (sockaddr *)&sa, sizeof sa) == 0;
  close(fd);
  return ok;
}

ino_t NamespaceOf(pid_t pid, const char *kind)
{
  struct stat st;
  std::string path = "/proc/" + std::to_string(pid) + "/ns/" + kind;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<pid_t> Processes()
{
  std::vector<pid_t> pids;
  if (DIR *d = opendir("/proc")) {
    while (dirent *e = readdir(d))
      if (pid_t pid = (pid_t)atoi(e->d_name); pid > 0)
        pids.push_back(pid);
    closedir(d);
  }
  return pids;
}

void WaitGone(pid_t pid)
{
  for (int i = 0; i < 500 && kill(pid, 0) == 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// The server side, in the child: its own mount namespace with a tmpfs on
// /run (sshd insists on /run/sshd), its address on the veth end, then sshd.
[[noreturn]] void ServeInChild(int ready, int go, const std::string &config, const std::string &log)
{
  auto die = [](const char *) { _exit(120); };
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
    die("unshare");
  char byte = 1;
  if (write(ready, &byte, 1) != 1 || read(go, &byte, 1) != 1)
    die("handshake");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    die("private /");
  if (mount("vxsshd", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") != 0)
    die("tmpfs /run");
  if (mkdir("/run/sshd", 0755) != 0)
    die("/run/sshd");
  if (Run({"ip", "link", "set", "lo", "up"}) != 0 ||
      Run({"ip", "addr", "add", std::string(ShareServer::kAddress) + "/24", "dev", "vxs0"}) != 0 ||
      Run({"ip", "link", "set", "vxs0", "up"}) != 0)
    die("ip");
  int null = open("/dev/null", O_RDWR);
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  dup2(null, 0);
  dup2(out, 1);
  dup2(out, 2);
  execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(), (char *)nullptr);
  _exit(127);
}

} // namespace

std::string EnterPrivateNetwork()
{
  static bool entered;
  if (entered)
    return "";
  if (unshare(CLONE_NEWNET) != 0)
    return failed("unshare(CLONE_NEWNET)");
  entered = true;
  return RunChecked({"ip", "link", "set", "lo", "up"});
}

std::string ShareServer::Start()
{
  mkdir(Share().c_str(), 0755);
  const std::string hostKey = dir_ / "host_key", userKey = dir_ / "user_key";
  for (auto &key : {hostKey, userKey})
    if (auto err = RunChecked({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key}); !err.empty())
      return err;
  WriteFile(dir_ / "authorized_keys", ReadFile(userKey + ".pub"));
  const std::string config = dir_ / "sshd_config";
  WriteFile(config, "Port " + std::to_string(kPort) + "\nListenAddress " + kAddress + "\nHostKey " + hostKey +
                        "\nPidFile none\nAuthorizedKeysFile " + (dir_ / "authorized_keys") +
                        "\nPubkeyAuthentication yes\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                        "PermitRootLogin prohibit-password\nUsePAM no\nStrictModes no\n"
                        "Subsystem sftp internal-sftp\n");

  int ready[2], go[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0)
    return failed("pipe");
  sshd_ = fork();
  if (sshd_ == 0)
    ServeInChild(ready[1], go[0], config, dir_ / "sshd.log");
  close(ready[1]);
  close(go[0]);
  char byte;
  std::string err;
  if (sshd_ < 0 || read(ready[0], &byte, 1) != 1)
    err = "the server's namespaces could not be made";
  if (err.empty())
    err = RunChecked({"ip", "link", "add", "vxc0", "type", "veth", "peer", "name", "vxs0", "netns",
                      std::to_string(sshd_)});
  if (err.empty())
    err = RunChecked({"ip", "addr", "add", kClientAddress, "dev", "vxc0"});
  if (err.empty())
    err = RunChecked({"ip", "link", "set", "vxc0", "up"});
  if (err.empty() && write(go[1], &byte, 1) != 1)
    err = "the server did not wait";
  close(ready[0]);
  close(go[1]);
  for (int i = 0; err.empty() && !CanConnect(kAddress, kPort); i++) {
    int status;
    if (i == 1000 || waitpid(sshd_, &status, WNOHANG) == sshd_)
      err = "sshd did not start";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!err.empty())
    Stop();
  return err;
}

std::string ShareServer::MountCommand(const std::string &mountPoint) const
{
  return "sshfs -F /dev/null -o IdentityFile=" + (dir_ / "user_key") +
         ",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes -p " + std::to_string(kPort) +
         " root@" + kAddress + ":" + Share() + " " + mountPoint;
}

void ShareServer::EndClients() const
{
  const std::string key = dir_ / "user_key";
  for (pid_t pid : Processes()) {
    std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (pid != getpid() && cmdline.find(key) != std::string::npos) {
      kill(pid, SIGKILL);
      WaitGone(pid);
    }
  }
}

void ShareServer::Stop()
{
  EndClients();
  if (sshd_ <= 0)
    return;
  // sshd's session children leave its process group but not its network.
  ino_t net = NamespaceOf(sshd_, "net");
  for (pid_t pid : Processes())
    if (pid != sshd_ && net && NamespaceOf(pid, "net") == net)
      kill(pid, SIGKILL);
  kill(sshd_, SIGKILL);
  waitpid(sshd_, nullptr, 0);
  sshd_ = -1;
}
