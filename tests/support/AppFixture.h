// In-process tests of the application unit: a recorder disk as the host
// runtime's internal disk, the application log captured, and a way to run
// the steps that happen once per load (the scan, the copy pass) in a child
// process so that every test gets a fresh load.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "app/Vaultrix.h"
#include "host/firmware/Firmware.h"
#include "host/runtime/TapRuntime.h"
#include "TestSupport.h"

class AppFixture : public ::testing::Test {
protected:
  void SetUp() override
  {
    rt = TapRuntimeControl();
    rt->diskRoot = disk.path();
    rt->currentDir = "/ProgramFiles";
    TapRuntimeSyncPath(rt);
    FirmwareSetTask(0, rt->firmwarePath);
    MakeRecorderDisk(disk.path(), nullptr);
    console = fopen((io / "console").c_str(), "w+");
    rt->debugConsole = console;
    StrCopy(SourceRoot, sizeof SourceRoot, (disk / "ProgramFiles").c_str());
    State = 3;
  }
  void TearDown() override
  {
    rt->debugConsole = stdout;
    fclose(console);
  }

  // Everything the application logged so far, wherever the log writer put it.
  std::string Log()
  {
    fflush(console);
    return ReadFile(io / "console") + ReadFile(disk / "ProgramFiles/Settings/TAPSystem.log");
  }
  bool Logged(const std::string &line) { return Log().find(line) != std::string::npos; }

  // Runs f in a child process and waits; the child's memory is thrown away,
  // its files and log stay.  The exit status, or -1 when it did not exit.
  template <class F> int InChild(F f)
  {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      f();
      fflush(nullptr);
      _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
      ;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Src(const std::string &rel) { return std::string(SourceRoot) + rel; }

  TempDir disk, io;
  TapRuntime *rt = nullptr;
  FILE *console = nullptr;
};
