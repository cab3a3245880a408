// Replays every fuzz entry point on its seed corpus and on every input that
// ever crashed it (tests/fuzz/crashes/<target>/), so that a find stays fixed.
// The fuzzers themselves run in `make fuzz-smoke` and `make fuzz`.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"
#include "tests/fuzz/IniStoreFuzz.h"
#include "tests/fuzz/TextFuzz.h"
#include "tests/fuzz/VxdbLoadFuzz.h"

namespace {

// Feeds every file of the target's corpus and crash folders; the number fed.
int Replay(const std::string &target, int (*one)(const uint8_t *, size_t))
{
  int files = 0;
  for (const char *kind : {"corpus", "crashes"}) {
    std::filesystem::path dir = std::filesystem::path(VX_SOURCE_DIR "/tests/fuzz") / kind / target;
    if (!std::filesystem::is_directory(dir))
      continue;
    for (auto &entry : std::filesystem::directory_iterator(dir)) {
      SCOPED_TRACE(entry.path().string());
      std::string bytes = ReadFile(entry.path());
      one((const uint8_t *)bytes.data(), bytes.size());
      files++;
    }
  }
  return files;
}

TEST(FuzzReplay, CatalogueLoader) { EXPECT_GT(Replay("vxdb_load", VxdbLoadFuzzOne), 0); }

TEST(FuzzReplay, TextOperations) { EXPECT_GT(Replay("text", TextFuzzOne), 0); }

TEST(FuzzReplay, SettingsStore) { EXPECT_GT(Replay("ini_store", IniStoreFuzzOne), 0); }

} // namespace
