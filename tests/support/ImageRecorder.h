// A recorder whose internal disk is an ext4 image on a loop device, for the
// trials that change the disk behind the file system's back with debugfs
// while it is unmounted.  Needs root: the test is skipped without it.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <unistd.h>

#include "BackupScenario.h"
#include "PowerCut.h"

class ImageRecorder : public ::testing::Test {
protected:
  void SetUp() override
  {
    if (geteuid() != 0)
      GTEST_SKIP() << "disk images need root";
    ASSERT_EQ(MakeExt4Image(image, 64 << 20), "");
    Mount();
  }

  void Mount()
  {
    disk = std::make_unique<MountedImage>(image);
    ASSERT_TRUE(disk->ok()) << disk->error();
    b.UseDisk(disk->root());
  }

  // debugfs -w on the image, which must not be mounted: its output.
  std::string Debugfs(const std::string &request)
  {
    ProgramRun r = RunProgram({"debugfs", "-w", "-R", request, image});
    EXPECT_EQ(r.status, 0) << request << ": " << r.err;
    return r.out;
  }

  TempDir work;
  std::string image = work / "disk.img";
  std::unique_ptr<MountedImage> disk;
  BackupScenario b;
};
