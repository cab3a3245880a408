// A network share on a test host of its own: an OpenSSH server in a network
// namespace of its own, reached from the test process's private network over
// a veth pair, and mounted with sshfs by whoever runs MountCommand().
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/types.h>

#include "RecorderNamespace.h"
#include "TestSupport.h"

// Gives the test process (and the simulators it starts) a network of its
// own with loopback up.  Once per process, before any thread.  "" or why not.
std::string EnterPrivateNetwork();

class ShareServer {
public:
  static constexpr const char *kAddress = "10.213.0.2";
  static constexpr int kPort = 2222;

  ShareServer() = default;
  ~ShareServer() { Stop(); }
  ShareServer(const ShareServer &) = delete;
  ShareServer &operator=(const ShareServer &) = delete;

  // Makes the keys, the veth pair and starts sshd; "" or what failed.  The
  // test process must be in its private network (EnterPrivateNetwork).
  std::string Start();
  // Ends sshfs clients that use this server's key, then sshd and all else
  // in its network; the namespace and the veth pair go with them.
  void Stop();

  // The served folder, as the test sees it.
  std::string Share() const { return dir_ / "share"; }
  // An sshfs command that mounts Share() at mountPoint (its last word).
  std::string MountCommand(const std::string &mountPoint) const;
  // Ends every process whose command line names this server's user key.
  void EndClients() const;

private:
  TempDir dir_;
  pid_t sshd_ = -1;
};

// A suite of Base's tests whose share is served by one ShareServer, started
// once per suite inside the test process's own mount and network namespace;
// each test gets an empty "backup" folder on the share.
template <class Base> class OnShareServer : public Base {
protected:
  static void SetUpTestSuite()
  {
    TempDir nowhere;
    std::string err = EnterRecorderNamespace(nowhere.path());
    if (err.empty())
      err = EnterPrivateNetwork();
    server = new ShareServer;
    if (err.empty())
      err = server->Start();
    startError = new std::string(err);
  }
  static void TearDownTestSuite()
  {
    delete server;
    delete startError;
  }
  void SetUp() override
  {
    ASSERT_EQ(*startError, "");
    std::filesystem::create_directories(server->Share() + "/backup");
  }
  void TearDown() override
  {
    server->EndClients();
    std::filesystem::remove_all(server->Share() + "/backup");
  }
  // Settings for a share mounted by `command` at /mnt/hd/nas.
  std::string Settings(const std::string &command)
  {
    EXPECT_LT(command.size(), 256u) << "MountCommand does not fit its buffer";
    return "DestDevice=NAS\r\nMountCommand=" + command + "\r\nDestPath=/mnt/hd/nas/backup\r\n";
  }

  inline static ShareServer *server;
  inline static std::string *startError;
};
