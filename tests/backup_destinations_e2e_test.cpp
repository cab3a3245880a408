// Two days of backups onto an external USB disk and onto a network share,
// through the simulator; the second day must cost no space where the
// destination has hard links, and must still be whole where it has none.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/mount.h>
#include <sys/stat.h>

#include "support/BackupScenario.h"
#include "support/RecorderNamespace.h"
#include "support/ShareServer.h"
#include "support/TestSupport.h"

namespace {

const std::vector<std::pair<std::string, std::string>> kFiles = {
    {"/Recorder/settings.ini", "[Timer]\r\nChannel=1\r\n"},
    {"/Recorder/Logs/run log.txt", std::string(5000, 'r')},
    {"/Epg/guide.dat", std::string(70000, 'g')},
    {"/empty.file", ""},
};

class BackupElsewhere : public ::testing::Test {
protected:
  void Day(const std::string &ini, const std::string &date, std::vector<std::string> extra = {}, bool realTime = false)
  {
    if (!Exists(disk / "ProgramFiles")) {
      MakeRecorderDisk(disk.path(), nullptr);
      for (auto &[rel, content] : kFiles)
        WriteFile(disk / ("ProgramFiles" + rel), content);
    }
    // The settings as the owner wrote them; the date of the day before.
    WriteFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini", ini);
    std::vector<std::string> args = {"--disk", disk.path(), "--clock", date + " 10:00:00"};
    if (!realTime)
      args.insert(args.end(), {"--tick-step", "100", "--max-events", "5000"});
    args.insert(args.end(), extra.begin(), extra.end());
    std::string systemLog = disk / "ProgramFiles/Settings/TAPSystem.log";
    size_t before = ReadFile(systemLog).size();
    TapsimResult r = RunTapsim(args);
    EXPECT_EQ(r.status, 0) << r.err;
    log = r.out + r.console + ReadFile(systemLog).substr(before);
  }
  bool Logged(const std::string &text) { return log.find(text) != std::string::npos; }
  // Every file of the owner's in both dated folders below root, with the
  // source's contents; linked or not.
  void ExpectBothDays(const std::string &root, bool linked)
  {
    for (auto &[rel, content] : kFiles) {
      std::string one = root + "/2026-12-01" + rel, two = root + "/2026-12-02" + rel;
      EXPECT_EQ(ReadFile(one), content) << one;
      EXPECT_EQ(ReadFile(two), content) << two;
      EXPECT_NE(Inode(two), 0u) << two;
      if (linked)
        EXPECT_EQ(Inode(one), Inode(two)) << rel << " was not linked";
      else
        EXPECT_NE(Inode(one), Inode(two)) << rel;
    }
  }

  TempDir disk;
  std::string log;
};

TEST_F(BackupElsewhere, ExternalDiskTwoDays)
{
  TempDir usb;
  std::filesystem::create_directories(usb / "Backup");
  const std::string ini = "DestDevice=ext\r\nDestPath=/Backup\r\n";
  Day(ini, "2026-12-01", {"--ext", "sdb1=" + usb.path()});
  EXPECT_TRUE(Logged("Destination: external disk @ '/mnt/sdb1/Backup/'")) << log;
  EXPECT_TRUE(Logged("DeDupe: 0 files, 0 B")) << log;
  Day(ini, "2026-12-02", {"--ext", "sdb1=" + usb.path()});
  EXPECT_TRUE(Logged("Last backup found: 2026-12-01")) << log;
  EXPECT_FALSE(Logged("hard links failed")) << log;
  ExpectBothDays(usb / "Backup", true);
  EXPECT_TRUE(Exists(usb / "Backup/2026-12-02/VXDB.db"));
}

// The share lives on its own host; the simulator reaches it over the network.
class BackupOnShare : public OnShareServer<BackupElsewhere> {};

TEST_F(BackupOnShare, MountedByEachRunTwoDaysLinkedOnTheServer)
{
  const std::string ini = Settings(server->MountCommand("/mnt/hd/nas"));
  Day(ini, "2026-12-01", {}, true);
  EXPECT_TRUE(Logged("Destination: NAS @ '/mnt/hd/nas/backup/'")) << log;
  EXPECT_TRUE(Logged("DeDupe: 0 files, 0 B")) << log;
  Day(ini, "2026-12-02", {}, true);
  EXPECT_TRUE(Logged("Last backup found: 2026-12-01")) << log;
  EXPECT_FALSE(Logged("hard links failed")) << log;
  ExpectBothDays(server->Share() + "/backup", true);
  EXPECT_FALSE(Exists(disk / "nas")) << "the share stayed mounted";
}

// The server drops off the network in the middle of the copies.  Mounted
// with keep-alives, as the examples are, sshfs gives up within seconds: no
// event waits longer, and the backup ends without a catalogue or a date.
TEST_F(BackupOnShare, AServerThatStopsAnsweringHoldsNoEventLongerThanTheKeepAlives)
{
  MakeRecorderDisk(disk.path(), nullptr);
  for (auto &[rel, content] : kFiles)
    WriteFile(disk / ("ProgramFiles" + rel), content);
  for (unsigned i = 0; i < 40; i++)
    WriteFile(disk / ("ProgramFiles/Media/part" + std::to_string(i) + ".ts"), Pattern(300000, i));
  std::string command = server->MountCommand("/mnt/hd/nas");
  command.insert(command.find(",StrictHostKeyChecking"), ",ServerAliveInterval=1,ServerAliveCountMax=2");
  const std::string ini = Settings(command);
  // The link goes down once the copies have begun.
  std::string down = "1=(while [ ! -e /mnt/hd/nas/backup/2026-12-01/Media ]; do sleep 0.02; done; "
                     "ip link set vxc0 down) >/dev/null 2>&1 &";
  TempDir io;
  Day(ini, "2026-12-01", {"--at-event", down, "--trace", io / "trace"}, true);
  EXPECT_EQ(system("ip link set vxc0 up"), 0);
  uint64_t longest = 0;
  for (auto &ev : ReadTrace(io / "trace"))
    longest = std::max(longest, ev.us);
  // Two keep-alives a second apart go unanswered, then ssh gives up.
  EXPECT_GT(longest, 1000000u) << "no event met the dead link";
  EXPECT_LT(longest, 10000000u);
  EXPECT_TRUE(Logged("vanished") || Logged("Failed")) << log;
  EXPECT_EQ(ReadFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini").find("LastBackup"), std::string::npos);
  EXPECT_FALSE(Exists(server->Share() + "/backup/2026-12-01/VXDB.db"));
}

TEST_F(BackupOnShare, AShareWithoutHardLinksGetsCopies)
{
  // An SFTP server that refuses hard links, mounted before the runs.
  std::filesystem::create_directories(disk / "nas");
  std::string command = server->MountCommand(disk / "nas");
  command.insert(command.find(" -p "), " -o 'sftp_server=/usr/lib/openssh/sftp-server -P hardlink'");
  ASSERT_EQ(system((command + " 2>/dev/null").c_str()), 0);
  const std::string ini = Settings("true /mnt/hd/unused");
  Day(ini, "2026-12-01");
  Day(ini, "2026-12-02");
  EXPECT_TRUE(Logged("Last backup found: 2026-12-01")) << log;
  // The probe found no hard links: every file copied, none tried as a link.
  EXPECT_TRUE(Logged("Destination cannot hold hard links: every file is copied")) << log;
  EXPECT_TRUE(Logged("DeDupe: 0 files, 0 B\r\n")) << log;
  EXPECT_FALSE(Logged("hard links failed")) << log;
  EXPECT_FALSE(Logged("Failed:")) << log;
  ExpectBothDays(server->Share() + "/backup", false);
  EXPECT_EQ(umount((disk / "nas").c_str()), 0);
}

} // namespace
