// Texts the tool shows: sizes, dates, paths made safe for a terminal, and a
// small JSON writer.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vxdb {

// "0 B", "1.5 KiB", "2.0 MiB": powers of 1024, named as such.
std::string SizeText(uint64_t bytes);

// The lines of a text, without their ends; no empty last line.
std::vector<std::string> SplitLines(std::string_view text);

// s with blanks after it (before it, for a number) to fill w bytes.
std::string Pad(const std::string &s, size_t w, bool right = false);

// "1 file", "2 files".
std::string Plural(uint64_t n, const char *word);

// A packed backup date (day number since 1858-11-17 in the upper 16 bits,
// hour and minute below) as "2024-03-05 14:30".
std::string BackupDateText(uint32_t packed);

// Seconds since 1970 as local time, "2024-03-05 14:30:07".
std::string TimeText(int64_t seconds);

// The same moment for scripts: RFC 3339 with the local offset,
// "2024-03-05T14:30:07+01:00".
std::string Rfc3339(int64_t seconds);

// A packed backup date in RFC 3339. The recorder keeps no time zone; its
// clock is taken to run in the PC's zone, as it does in the owner's home.
std::string BackupDateRfc3339(uint32_t packed);

// Length of the valid UTF-8 sequence at p (left bytes available), or 0.
// Only a valid one writes its code point to codePoint, when that is given.
size_t Utf8Length(const unsigned char *p, size_t left, uint32_t *codePoint = nullptr);

// A name from a catalogue or a disk as a terminal may show it: printable
// UTF-8 as it is; control characters (C0, DEL, C1), bidirectional controls,
// bytes that are not UTF-8 and the backslash as \xNN (\\ for the
// backslash), one per byte, so that the exact bytes can be recovered.
std::string Shown(std::string_view text);

// The bytes that Shown escaped; false when text is not in that form.
bool Unescaped(std::string_view text, std::string *bytes);

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

  // With --json a run prints one document, whatever it says beside its
  // result. Once Hold names the run's stream, the object a command writes
  // there is left open at its end, and Close adds the notices, the errors
  // and a failing exit status as its last members (or makes the object,
  // when the command wrote none).
  static void Hold(std::ostream *out);
  static void Close(std::ostream &out, const std::vector<std::string> &notices,
                    const std::vector<std::string> &errors, int status);

private:
  void Separate();
  std::ostream &out_;
  std::vector<bool> first_;
  bool afterKey_ = false;
  static std::ostream *held_;
  static bool open_;
};

std::string JsonQuote(std::string_view text);

// Writes "path" as text for people and, when that text cannot carry the
// exact bytes, "path_escaped" in the form Shown gives, which Unescaped (and
// so restore) takes back.
void PathFields(Json &j, std::string_view path);

}  // namespace vxdb
