// Texts the tool shows: sizes, dates, paths made safe for a terminal, and a
// small JSON writer.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vxdb {

// "0 B", "1.5 kB", "2.0 MB": the units of the recorder's own log.
std::string SizeText(uint64_t bytes);

// "1 file", "2 files".
std::string Plural(uint64_t n, const char *word);

// A packed backup date (day number since 1858-11-17 in the upper 16 bits,
// hour and minute below) as "2024-03-05 14:30".
std::string BackupDateText(uint32_t packed);

// Seconds since 1970 as local time, "2024-03-05 14:30:07".
std::string TimeText(int64_t seconds);

// A name from a catalogue or a disk, with control bytes and backslashes
// escaped so that it cannot steer the terminal.
std::string Shown(std::string_view text);

// Compact JSON; strings are written as UTF-8, and a byte that is not part of
// valid UTF-8 is taken as ISO 8859-1.
class Json {
public:
  explicit Json(std::ostream &out) : out_(out) {}
  Json &BeginObject();
  Json &EndObject();
  Json &BeginArray();
  Json &EndArray();
  Json &Key(std::string_view key);
  Json &String(std::string_view value);
  Json &Number(int64_t value);
  Json &Unsigned(uint64_t value);
  Json &Bool(bool value);
  Json &Null();
  // Ends the document with a newline.
  void Finish();

private:
  void Separate();
  std::ostream &out_;
  std::vector<bool> first_;
  bool afterKey_ = false;
};

std::string JsonQuote(std::string_view text);

}  // namespace vxdb
