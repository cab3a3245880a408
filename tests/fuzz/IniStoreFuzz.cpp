#include "IniStoreFuzz.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/runtime/TapRuntime.h"
#include "tests/support/RecorderNamespace.h"
#include "tests/support/TestSupport.h"

namespace {

const size_t kMaxInput = 2 << 20;

void Check(bool ok, const char *what)
{
  if (!ok) {
    fprintf(stderr, "settings store: %s\n", what);
    abort();
  }
}

// The store's text must stay a terminated string inside its block.
void CheckText()
{
  Check(INIBuffer != nullptr, "store closed after a successful open");
  Check(memchr(INIBuffer, 0, BufferSize) != nullptr, "text not terminated inside its block");
}

// Gets into buffers of the application's sizes, each guarded by a canary.
void GetAll()
{
  static const char *keys[] = {"DestDevice", "DestPath", "MountCommand", "Path", "=", "LastBackup"};
  static const dword sizes[] = {20, 128, 256, 1, 2, 4};
  for (size_t i = 0; i < sizeof keys / sizeof keys[0]; i++) {
    char out[260];
    memset(out, 0x5A, sizeof out);
    Check(INIGetString(keys[i], out, "", sizes[i]) == 1, "get failed");
    Check(strlen(out) < sizes[i] && (byte)out[sizes[i]] == 0x5A, "get overran its buffer");
  }
  (void)INIGetHexWord("LastBackup", 0, 0, 0xFFFF);
}

} // namespace

int IniStoreFuzzOne(const uint8_t *data, size_t size)
{
  static TempDir disk;
  static bool ready;
  if (!ready) {
    MakeRecorderDisk(disk.path(), nullptr);
    std::string err = EnterRecorderNamespace(disk.path());
    Check(err.empty(), err.c_str());
    UseRecorderDisk(disk.path());
    ready = true;
  }
  if (size > kMaxInput)
    return 0;
  const std::string folder = "/ProgramFiles/Settings/Vaultrix";
  const std::string file = disk.path() + folder + "/Vaultrix.ini";
  WriteFile(file, std::string((const char *)data, size));
  Check(HDD_ChangeDir(folder.c_str()), "cannot enter the settings folder");

  Check(INIOpenFile("Vaultrix.ini", nullptr) == 2, "open failed");
  CheckText();
  size_t len = strlen(INIBuffer);
  Check(len > 0 && (INIBuffer[len - 1] == '\n' || INIBuffer[len - 1] == '\r'), "text without a final line end");
  GetAll();

  // Keys and values cut from the input itself, so that they meet its text.
  std::string key((const char *)data, size < 12 ? size : 12);
  std::string value((const char *)data + size / 2, size - size / 2 < 300 ? size - size / 2 : 300);
  INISetHexWord("LastBackup", (word)size);
  INISetString(key.c_str(), value.c_str());
  INISetString("DestPath", value.c_str());
  CheckText();
  GetAll();

  std::string text = INIBuffer;
  Check(INISaveFile("Vaultrix.ini", 2, nullptr) == 1, "save failed");
  Check(ReadFile(file) == text, "saved file differs from the text");
  INICloseFile();
  Check(INIBuffer == nullptr && BufferSize == 0, "close left a block");
  return 0;
}

#ifdef VX_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  return IniStoreFuzzOne(data, size);
}
#endif
