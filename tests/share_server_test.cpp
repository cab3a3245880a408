#include <gtest/gtest.h>

#include <sys/mount.h>

#include "support/RecorderNamespace.h"
#include "support/ShareServer.h"

namespace {

// The fixture itself: a share that sshfs mounts from the test's network and
// that writes reach on the server's side.
TEST(ShareServer, SshfsMountReachesTheServer)
{
  TempDir disk;
  ASSERT_EQ(EnterRecorderNamespace(disk.path()), "");
  ASSERT_EQ(EnterPrivateNetwork(), "");
  ShareServer server;
  ASSERT_EQ(server.Start(), "");
  TempDir mnt;
  ASSERT_EQ(system((server.MountCommand(mnt.path()) + " 2>/dev/null").c_str()), 0);
  WriteFile(mnt / "hello", "over the wire");
  EXPECT_EQ(ReadFile(server.Share() + "/hello"), "over the wire");
  EXPECT_EQ(link((mnt / "hello").c_str(), (mnt / "again").c_str()), 0);
  EXPECT_EQ(umount(mnt.path().c_str()), 0);
  server.Stop();
}

} // namespace
