// A source tree built to hurt: names with every byte a name can hold, names
// and paths longer than the buffers, names a shell would read, symbolic
// links of every kind, FIFOs, sockets and device nodes.  The backup ends,
// reads no FIFO or device, writes and runs nothing outside the backup, and
// logs and counts what it cannot take.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/BackupScenario.h"

namespace fs = std::filesystem;

namespace {

// Creates /mnt/hd/pwned if a shell ever reads it; holds no slash.
const std::string kSlash = "${PWD%%[a-z]*}";
const std::string kShellName = "$(touch " + kSlash + "mnt" + kSlash + "hd" + kSlash + "pwned)";

// Both firmware kinds: one that keeps names as they are, one in UTF-8, where
// a folder that cannot be entered is tried again in UTF-8.
class HostileSource : public ::testing::TestWithParam<bool> {
protected:
  std::string H(const std::string &rel) { return b.Pf("/Hostile" + rel); }

  void SetUp() override
  {
    alarm(300); // a read that blocks must fail the test, not hang it
    for (int c = 1; c <= 255; c++) {
      if (c == '/')
        continue;
      std::string byte(1, (char)c);
      b.Source("/Hostile/Bytes/f" + byte + "f", "file " + std::to_string(c));
      b.Source("/Hostile/Bytes/d" + byte + "d/inside", "folder " + std::to_string(c));
      names++;
    }
    b.Source("/Hostile/Long/" + std::string(127, 'k'), "longest name the host lists");
    b.Source("/Hostile/Long/" + std::string(255, 'n'), "longer than the host's entry");
    b.Source("/Hostile/Long/" + std::string(200, 'd') + "/inside", "in a folder with a long name");
    names += 3;
    std::string deep = "/Hostile/Deep";
    for (int level = 0; level < 5; level++) {
      deep += "/" + std::string(120, (char)('a' + level));
      b.Source(deep + "/f.txt", "level " + std::to_string(level));
    }
    for (const std::string &name : {kShellName, std::string("`touch pwned2`"), std::string("new\nline"),
                                    std::string(" lead"), std::string("trail "), std::string("it's \"q\""),
                                    std::string("semi;colon&"), std::string("star*?"), std::string("back\\slash"),
                                    std::string("-n"), std::string("..."), std::string("|pipe>")}) {
      b.Source("/Hostile/Shell/" + name, name);
      b.Source("/Hostile/Folders/" + name + "/x", "in " + name);
      names += 2;
    }
    WriteFile(b.Disk() + "/secret", "outside the source");
    fs::create_directories(H("/Links"));
    symlink("../Shell/-n", H("/Links/to-file").c_str());
    symlink("../Shell", H("/Links/to-folder").c_str());
    symlink("nowhere", H("/Links/dangling").c_str());
    symlink("loop-b", H("/Links/loop-a").c_str());
    symlink("loop-a", H("/Links/loop-b").c_str());
    symlink("self", H("/Links/self").c_str());
    symlink("/mnt/hd/secret", H("/Links/outside").c_str());
    symlink("/mnt/hd", H("/Links/disk-root").c_str());
    fs::create_directories(H("/Special"));
    ASSERT_EQ(mkfifo(H("/Special/fifo").c_str(), 0666), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string sock = H("/Special/socket");
    if (sock.size() < sizeof addr.sun_path) {
      memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
      EXPECT_EQ(bind(s, (struct sockaddr *)&addr, sizeof addr), 0);
    }
    close(s);
    devices = mknod(H("/Special/zero").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0 &&
              mknod(H("/Special/loop").c_str(), S_IFBLK | 0666, makedev(7, 0)) == 0;
  }
  void TearDown() override { alarm(0); }

  BackupScenario b;
  int names = 0;
  bool devices = false;
};

TEST_P(HostileSource, EverythingPossibleIsBackedUpTheRestLoggedAndCounted)
{
  TreeSnapshot source = SnapshotTree(b.Pf("/Hostile"));
  std::string secret = ReadFile(b.Disk() + "/secret");
  TapsimResult r = b.Run("2026-12-01", GetParam() ? std::vector<std::string>{"--utf8-firmware"}
                                                   : std::vector<std::string>{});
  ASSERT_EQ(r.status, 0) << r.err;

  // Every regular file is there byte for byte, except those the host cannot
  // name and those beyond the path buffers.
  std::string day = b.Day("2026-12-01");
  int missing = 0;
  for (auto &[rel, seen] : source) {
    if (ReadFile(day + "/Hostile" + rel) == seen.content && Exists(day + "/Hostile" + rel))
      continue;
    missing++;
    bool tooLong = rel.rfind("/Deep/", 0) == 0 || rel.find(std::string(200, 'd')) != std::string::npos ||
                   rel.find(std::string(255, 'n')) != std::string::npos;
    EXPECT_TRUE(tooLong) << rel << " is missing from the backup";
  }
  EXPECT_GE(missing, 4);

  // Links, FIFO, socket and devices are logged by name; every refusal counts.
  for (const char *name : {"to-file", "to-folder", "dangling", "loop-a", "loop-b", "self", "outside", "disk-root",
                           "fifo", "socket"})
    EXPECT_TRUE(b.Logged(std::string(name) + "'")) << name << "\n" << b.log;
  if (devices) {
    EXPECT_TRUE(b.Logged("/Special/zero'")) << b.log;
    EXPECT_TRUE(b.Logged("/Special/loop'")) << b.log;
  }
  EXPECT_TRUE(b.Logged("Name too long, not backed up")) << b.log;
  EXPECT_TRUE(b.Logged("Path too long")) << b.log;
  size_t refused = Count(b.log, "not backed up");
  EXPECT_GE(refused, (size_t)(8 + 2 + (devices ? 2 : 0) + missing));
  // What is no regular file is skipped, not failed.
  size_t skipped = Count(b.log, "Not a file or folder, not backed up") + Count(b.log, "Not a regular file, not backed up");
  EXPECT_GE(skipped, (size_t)(8 + 2 + (devices ? 2 : 0)));
  // Folders count as folders, and every refusal is listed as not backed up.
  size_t folders = Count(b.log, "folder not backed up");
  EXPECT_GE(folders, 1u);
  EXPECT_TRUE(b.Logged("Failed: " + std::to_string(refused - skipped - folders) + " files, ")) << b.log;
  EXPECT_TRUE(b.Logged("Failed: " + std::to_string(folders) + " folders, nothing in them backed up")) << b.log;
  EXPECT_TRUE(b.Logged("Skipped: " + std::to_string(skipped) + " entries")) << b.log;
  ProgramRun list = RunVxdbTool({"list", day});
  EXPECT_EQ(Count(list.out, "not backed up\n"), refused - skipped) << list.out;

  // Nothing outside the backup was written, run or followed.
  EXPECT_EQ(SnapshotTree(b.Pf("/Hostile")), source);
  EXPECT_EQ(ReadFile(b.Disk() + "/secret"), secret);
  for (auto &e : fs::recursive_directory_iterator(b.Disk())) {
    EXPECT_NE(e.path().filename(), "pwned") << e.path();
    EXPECT_NE(e.path().filename(), "pwned2") << e.path();
  }
  EXPECT_FALSE(Exists(day + "/Hostile/Links/outside"));
  EXPECT_FALSE(Exists(day + "/Hostile/Special/fifo"));
  printf("hostile names: %d names tried, %zu entries refused and counted, %d files out of reach\n", names, refused,
         missing);
}

INSTANTIATE_TEST_SUITE_P(Firmware, HostileSource, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Utf8" : "SingleByte"; });

} // namespace
