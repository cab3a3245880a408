// Replays the settings store's fuzz entry on the saved corpus and on a fixed
// set of hostile files; the fuzzer itself runs outside the test suite.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "support/TestSupport.h"
#include "tests/fuzz/IniStoreFuzz.h"

namespace {

void Feed(const std::string &bytes)
{
  IniStoreFuzzOne((const uint8_t *)bytes.data(), bytes.size());
}

TEST(IniStoreFuzz, ReplaysTheCorpus)
{
  int files = 0;
  for (auto &entry : std::filesystem::directory_iterator(VX_SOURCE_DIR "/tests/fuzz/corpus/ini_store")) {
    SCOPED_TRACE(entry.path().string());
    Feed(ReadFile(entry.path()));
    files++;
  }
  EXPECT_GT(files, 0);
}

TEST(IniStoreFuzz, SurvivesHostileFiles)
{
  Feed("");
  Feed(std::string(1, '\0'));
  Feed("LastBackup=");
  Feed(std::string(300, '=') + "\r");
  Feed("DestPath=" + std::string(70000, 'x'));
  Feed(std::string(1 << 20, '\n'));
  std::mt19937 random(2024);
  for (int i = 0; i < 200; i++) {
    std::string bytes(random() % 3000, 0);
    for (auto &b : bytes)
      b = "DestPath=#;\r\n\0\x10\x1fxX"[random() % 15];
    Feed(bytes);
  }
}

} // namespace
