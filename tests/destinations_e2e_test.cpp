// Backups to each kind of destination, through the simulator: a folder on
// the internal disk, external USB disks, and a real network share.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/mount.h>

#include "support/RecorderNamespace.h"
#include "support/ShareServer.h"
#include "support/SmallDisk.h"
#include "support/TestSupport.h"

namespace {

const char *kClock = "2026-12-06 10:00:00";
const char *kDated = "2026-12-06";

class DestinationDay : public ::testing::Test {
protected:
  // Virtual ticks run the 30000-tick wait in 300 events (slowed to real time
  // while a mount command runs).
  TapsimResult Run(const std::string &ini, std::vector<std::string> extra = {})
  {
    MakeRecorderDisk(disk.path(), ini.c_str());
    std::vector<std::string> args = {"--disk", disk.path(), "--clock", kClock, "--tick-step", "100", "--max-events",
                                     "2000"};
    args.insert(args.end(), extra.begin(), extra.end());
    TapsimResult r = RunTapsim(args);
    logged = r.out + r.console + ReadFile(disk / "ProgramFiles/Settings/TAPSystem.log");
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  }
  void ExpectLogged(const std::vector<std::string> &messages) { ExpectInOrder(logged, messages); }
  bool Logged(const std::string &message) { return logged.find(message) != std::string::npos; }

  TempDir disk;
  std::string logged;
};

TEST_F(DestinationDay, InternalFolderIsMadeWhateverItsSlashOrBlanks)
{
  for (std::string folder : {"Backup", "Backup/", "My Backup", "Deep/er/Backup"}) {
    SCOPED_TRACE(folder);
    Run("DestDevice=Internal\r\nDestPath=/mnt/hd/" + folder + "\r\n");
    if (folder.back() != '/')
      folder += "/";
    ExpectLogged({"Destination: internal disk @ '/mnt/hd/" + folder + "'", "Exiting"});
    EXPECT_TRUE(Exists(disk / (folder + kDated)));
  }
}

TEST_F(DestinationDay, ExternalDiskPresentAtStartIsNamedOnTheFirstProbe)
{
  TempDir usb;
  WriteFile(usb / "Backup/keep", "");
  Run("DestDevice=EXT\r\nDestPath=/Backup\r\n", {"--ext", "sdb1=" + usb.path()});
  ExpectLogged({"Destination: external disk @ '/mnt/sdb1/Backup/'", "Exiting"});
  EXPECT_FALSE(Logged("not found"));
  EXPECT_TRUE(Exists(usb / "Backup/" + kDated));
}

TEST_F(DestinationDay, ExternalDiskPluggedInWhileWaiting)
{
  TempDir usb;
  WriteFile(usb / "Backup/keep", "");
  Run("DestDevice=ext\r\nDestPath=/Backup\r\n", {"--ext", "sdc=" + usb.path() + "@5000"});
  ExpectLogged({"Destination: external disk not found, waiting up to 3 minutes",
                "Destination: external disk @ '/mnt/sdc/Backup/'", "Exiting"});
  EXPECT_TRUE(Exists(usb / "Backup/" + kDated));
}

TEST_F(DestinationDay, ExternalDiskThatNeverComesEndsTheWait)
{
  TempDir usb; // present, but without the folder
  Run("DestDevice=ext\r\nDestPath=/Backup\r\n", {"--ext", "sdb=" + usb.path()});
  ExpectLogged({"Destination: external disk not found, waiting up to 3 minutes", "Destination: mount wait timeout!",
                "Exiting"});
  EXPECT_FALSE(Logged("Destination: external disk @"));
}

TEST_F(DestinationDay, ExternalPathTooLongForTheProbeIsRefused)
{
  Run("DestDevice=ext\r\nDestPath=/" + std::string(69, 'x') + "\r\n");
  ExpectLogged({"DestPath is too long for an external disk (69 characters at most)!", "Exiting"});
  EXPECT_FALSE(Logged("waiting"));
}

TEST_F(DestinationDay, ShareFolderOnTheInternalDiskIsNoShare)
{
  // The recorder's own disk is device 8:2: a folder there is not mounted.
  WriteFile(disk / "nas/keep", "");
  Run("DestDevice=NAS\r\nDestPath=/mnt/hd/nas/\r\n");
  ExpectLogged({"Destination: NAS not mounted, waiting up to 3 minutes", "Destination: mount wait timeout!"});
  EXPECT_FALSE(Exists(disk / ("nas/" + std::string(kDated))));
  EXPECT_EQ(ReadFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini").find("LastBackup"), std::string::npos);
}

TEST_F(DestinationDay, MountPointIsUsedOnlyOnceSomethingIsMountedThere)
{
  const std::string ini = "ProgramFiles/Settings/Vaultrix/Vaultrix.ini";
  // The command fails: the folder made for the mount point is no share.
  Run("DestDevice=NAS\r\nMountCommand=false /mnt/nas\r\nDestPath=/mnt/nas/\r\n");
  ExpectLogged({"Launching mount command 'false /mnt/nas'", "Destination: mount wait timeout!", "Exiting"});
  EXPECT_FALSE(Logged("Destination: NAS @"));
  EXPECT_FALSE(Logged("Copied:"));
  EXPECT_EQ(ReadFile(disk / ini).find("LastBackup"), std::string::npos);

  // The command mounts after a second of real time: under virtual ticks the
  // wait still sees it.
  Run("DestDevice=NAS\r\nMountCommand=sh -c 'sleep 1; mount -t tmpfs share /mnt/nas' /mnt/nas\r\n"
      "DestPath=/mnt/nas/\r\n");
  ExpectLogged({"Destination: NAS not mounted, waiting up to 3 minutes", "Destination: NAS @ '/mnt/nas/'", "Copied:",
                "Exiting"});
  EXPECT_NE(ReadFile(disk / ini).find("LastBackup"), std::string::npos);
}

TEST_F(DestinationDay, AShareCountsOnlyOnAnotherDeviceThanBeforeTheCommand)
{
  // The mount point is a folder the owner made on a USB disk, which is not
  // the recorder's own disk, so that what lands there is seen from outside.
  TempDir usb;
  SmallDisk usbDisk(usb.path(), "8m");
  ASSERT_TRUE(usbDisk.mounted());
  const std::string ini = "ProgramFiles/Settings/Vaultrix/Vaultrix.ini";
  const struct {
    const char *command, *destPath;
  } failing[] = {{"false //srv/share /mnt/sdb1/nas -o ro", "/mnt/sdb1/nas/"},
                 {"false //srv/share /mnt/sdb1/nas ", "/mnt/sdb1/nas/"},
                 {"mkdir -p /mnt/sdb1/nas/Vaultrix -m 755", "/mnt/sdb1/nas/Vaultrix/"}};
  for (auto &day : failing) {
    SCOPED_TRACE(day.command);
    std::filesystem::create_directories(usb / "nas");
    Run(std::string("DestDevice=NAS\r\nMountCommand=") + day.command + "\r\nDestPath=" + day.destPath + "\r\n",
        {"--ext", "sdb1=" + usb.path()});
    ExpectLogged({"Launching mount command", "Destination: mount wait timeout!", "Exiting"});
    EXPECT_FALSE(Logged("Copied:"));
    EXPECT_EQ(ReadFile(disk / ini).find("LastBackup"), std::string::npos);
    for (auto &e : std::filesystem::recursive_directory_iterator(usb.path()))
      EXPECT_TRUE(e.is_directory() && e.path().filename() != kDated) << e.path();
    std::filesystem::remove_all(usb / "nas");
  }

  // Options after the mount point of a mount that works.
  std::filesystem::create_directories(usb / "nas");
  Run("DestDevice=NAS\r\nMountCommand=mount -t tmpfs share /mnt/sdb1/nas -o size=4m\r\nDestPath=/mnt/sdb1/nas/\r\n",
      {"--ext", "sdb1=" + usb.path()});
  ExpectLogged({"Destination: NAS @ '/mnt/sdb1/nas/'", "Copied:", "Exiting"});
  EXPECT_NE(ReadFile(disk / ini).find("LastBackup"), std::string::npos);
  EXPECT_FALSE(Exists(usb / "nas")) << "the share stayed mounted";
}

TEST_F(DestinationDay, AStopUnmountsTheShareThisRunMounted)
{
  for (int k = 0; k < 200; k++)
    WriteFile(disk / ("ProgramFiles/Data/f" + std::to_string(k)), "x");
  TapsimResult r = Run("DestDevice=NAS\r\nMountCommand=mount -t tmpfs share /mnt/hd/nas\r\nDestPath=/mnt/hd/nas/\r\n",
                       {"--event", "300=0x0900"});
  auto stop = std::find_if(r.trace.begin(), r.trace.end(), [](const TraceEvent &e) { return e.code == 0x0900; });
  ASSERT_NE(stop, r.trace.end());
  EXPECT_TRUE(stop->stateBefore == 2 || stop->stateBefore == 3) << "not in the middle of the backup";
  EXPECT_TRUE(stop->exited);
  EXPECT_FALSE(Exists(disk / "nas")) << "the share stayed mounted";
  EXPECT_EQ(ReadFile(disk / "ProgramFiles/Settings/Vaultrix/Vaultrix.ini").find("LastBackup"), std::string::npos);
}

TEST_F(DestinationDay, EmptyMountCommandLaunchesNothing)
{
  Run("DestDevice=NAS\r\nDestPath=/mnt/nas/backup/\r\n");
  ExpectLogged({"Destination: NAS not mounted, waiting up to 3 minutes", "Destination: mount wait timeout!"});
  EXPECT_FALSE(Logged("Launching"));
}

// The share lives on its own host; the simulator reaches it over the network.
class ShareDay : public OnShareServer<DestinationDay> {};

TEST_F(ShareDay, MountedByTheRunAndUnmountedAtItsEnd)
{
  const std::string command = server->MountCommand("/mnt/hd/nas");
  Run(Settings(command));
  ExpectLogged({"Destination: NAS not mounted, waiting up to 3 minutes", "Launching mount command '" + command + "'",
                "Destination: NAS @ '/mnt/hd/nas/backup/'", "Exiting"});
  // The dated folder went over the wire, into the folder DestPath names.
  EXPECT_TRUE(Exists(server->Share() + "/backup/" + kDated));
  // Unmounted: the mount point could be removed, which a mount would block.
  EXPECT_FALSE(Exists(disk / "nas"));
}

TEST_F(ShareDay, AlreadyMountedIsUsedAndLeftMounted)
{
  std::filesystem::create_directories(disk / "nas");
  ASSERT_EQ(system((server->MountCommand(disk / "nas") + " 2>/dev/null").c_str()), 0);
  // The command's mount point is an empty folder of its own, so that an
  // unmount at the end would show as that folder gone.
  std::filesystem::create_directories(disk / "spare");
  Run(Settings(server->MountCommand("/mnt/hd/spare")));
  ExpectLogged({"Destination: NAS @ '/mnt/hd/nas/backup/'", "Exiting"});
  EXPECT_FALSE(Logged("NAS not mounted"));
  EXPECT_FALSE(Logged("Launching"));
  EXPECT_TRUE(Exists(server->Share() + "/backup/" + kDated));
  EXPECT_TRUE(Exists(disk / "spare"));
  EXPECT_EQ(umount((disk / "nas").c_str()), 0);
}

TEST_F(ShareDay, FailingMountCommandEndsInTheWaitTimeout)
{
  // A typing error in the share's path.  sshfs runs to its end before the
  // wait begins (only the last command goes to the background), so the fast
  // virtual clock cannot outrun it; the last word stays the mount point.
  std::string command = server->MountCommand("/mnt/hd/nas") + "; touch /mnt/hd/tried; true /mnt/hd/nas";
  command.replace(command.find(server->Share()), server->Share().size(), server->Share() + "/missing");
  Run(Settings(command));
  ExpectLogged({"Launching mount command", "Destination: mount wait timeout!", "Exiting"});
  EXPECT_TRUE(Exists(disk / "tried"));
  EXPECT_FALSE(Logged("Destination: NAS @"));
  EXPECT_FALSE(Exists(server->Share() + "/backup/" + kDated));
}

} // namespace
