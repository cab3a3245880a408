// The settings store's fuzz entry on a fixed set of hostile files (its saved
// corpus is replayed by fuzz_replay_test); the fuzzer itself runs outside
// the test suite.
#include <gtest/gtest.h>

#include <random>

#include "support/TestSupport.h"
#include "tests/fuzz/IniStoreFuzz.h"

namespace {

void Feed(const std::string &bytes)
{
  IniStoreFuzzOne((const uint8_t *)bytes.data(), bytes.size());
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
