#include "Output.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace vxdb {

std::string SizeText(uint64_t bytes)
{
  static const char *units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  char buf[32];
  if (bytes < 1024) {
    snprintf(buf, sizeof buf, "%u B", unsigned(bytes));
    return buf;
  }
  double value = double(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 5) {
    value /= 1024;
    ++unit;
  }
  snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
  return buf;
}

std::vector<std::string> SplitLines(std::string_view text)
{
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

std::string Pad(const std::string &s, size_t w, bool right)
{
  std::string fill(w > s.size() ? w - s.size() : 0, ' ');
  return right ? fill + s : s + fill;
}

std::string Plural(uint64_t n, const char *word)
{
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string BackupDateText(uint32_t packed)
{
  using namespace std::chrono;
  const sys_days mjdEpoch = year{1858} / November / 17;
  year_month_day ymd{mjdEpoch + days{packed >> 16}};
  char buf[40];
  snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u", int(ymd.year()), unsigned(ymd.month()),
           unsigned(ymd.day()), unsigned(packed >> 8 & 0xFF), unsigned(packed & 0xFF));
  return buf;
}

namespace {

// Seconds since 1970 in local time; the number itself where that fails.
std::string LocalTime(int64_t seconds, const char *format, bool *ok)
{
  time_t t = time_t(seconds);
  struct tm tm;
  char buf[64];
  *ok = int64_t(t) == seconds && localtime_r(&t, &tm) && strftime(buf, sizeof buf, format, &tm);
  return *ok ? buf : std::to_string(seconds);
}

}  // namespace

std::string TimeText(int64_t seconds)
{
  bool ok;
  return LocalTime(seconds, "%Y-%m-%d %H:%M:%S", &ok);
}

std::string Rfc3339(int64_t seconds)
{
  bool ok;
  std::string s = LocalTime(seconds, "%Y-%m-%dT%H:%M:%S%z", &ok);
  return ok ? s.substr(0, s.size() - 2) + ":" + s.substr(s.size() - 2) : s;  // +0100 -> +01:00
}

std::string BackupDateRfc3339(uint32_t packed)
{
  using namespace std::chrono;
  const sys_days mjdEpoch = year{1858} / November / 17;
  year_month_day ymd{mjdEpoch + days{packed >> 16}};
  struct tm tm = {};
  tm.tm_year = int(ymd.year()) - 1900;
  tm.tm_mon = int(unsigned(ymd.month())) - 1;
  tm.tm_mday = int(unsigned(ymd.day()));
  tm.tm_hour = int(packed >> 8 & 0xFF);
  tm.tm_min = int(packed & 0xFF);
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t == time_t(-1) || tm.tm_hour != int(packed >> 8 & 0xFF))  // no such local time, or out of range
    return BackupDateText(packed);
  return Rfc3339(int64_t(t));
}

size_t Utf8Length(const unsigned char *p, size_t left, uint32_t *codePoint)
{
  unsigned char c = p[0];
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (left < n)
    return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80)
      return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  if (codePoint)
    *codePoint = cp;
  return n;
}

namespace {

// Code points that would steer a terminal or reorder what it shows: C1
// controls, and the bidirectional marks, embeddings, overrides and isolates.
bool Steers(uint32_t cp)
{
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x61C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string Shown(std::string_view text)
{
  std::string s;
  auto *p = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    uint32_t cp = p[i];
    size_t len = cp < 0x80 ? 1 : Utf8Length(p + i, n - i, &cp);
    if (len && p[i] != '\\' && p[i] >= 0x20 && p[i] != 0x7F && !Steers(cp)) {
      s.append(text.data() + i, len);
      i += len;
      continue;
    }
    // Escaped byte by byte: the exact bytes stay recoverable.
    for (size_t end = i + (len ? len : 1); i < end; ++i) {
      char buf[8];
      snprintf(buf, sizeof buf, p[i] == '\\' ? "\\\\" : "\\x%02X", p[i]);
      s += buf;
    }
  }
  return s;
}

bool Unescaped(std::string_view text, std::string *bytes)
{
  auto hex = [](char c) { return isxdigit(static_cast<unsigned char>(c)) ? (isdigit(c) ? c - '0' : (c | 0x20) - 'a' + 10) : -1; };
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *bytes += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      *bytes += '\\';
      i += 1;
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && hex(text[i + 2]) >= 0 && hex(text[i + 3]) >= 0) {
      *bytes += char(hex(text[i + 2]) << 4 | hex(text[i + 3]));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

std::string JsonQuote(std::string_view text)
{
  std::string s = "\"";
  auto *p = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      s += '\\';
      s += char(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      s += buf;
      ++i;
    } else if (c < 0x80) {
      s += char(c);
      ++i;
    } else if (size_t len = Utf8Length(p + i, n - i)) {
      s.append(reinterpret_cast<const char *>(p + i), len);
      i += len;
    } else {
      s += char(0xC0 | c >> 6);
      s += char(0x80 | (c & 0x3F));
      ++i;
    }
  }
  s += '"';
  return s;
}

void Json::Separate()
{
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back())
      out_ << ',';
    first_.back() = false;
  }
}

Json &Json::BeginObject()
{
  Separate();
  out_ << '{';
  first_.push_back(true);
  return *this;
}

std::ostream *Json::held_ = nullptr;
bool Json::open_ = false;

Json &Json::EndObject()
{
  if (first_.size() == 1 && &out_ == held_)
    open_ = true;  // Close ends it
  else
    out_ << '}';
  first_.pop_back();
  return *this;
}

Json &Json::BeginArray()
{
  Separate();
  out_ << '[';
  first_.push_back(true);
  return *this;
}

Json &Json::EndArray()
{
  out_ << ']';
  first_.pop_back();
  return *this;
}

Json &Json::Key(std::string_view key)
{
  Separate();
  out_ << JsonQuote(key) << ':';
  afterKey_ = true;
  return *this;
}

Json &Json::String(std::string_view value)
{
  Separate();
  out_ << JsonQuote(value);
  return *this;
}

Json &Json::Number(int64_t value)
{
  Separate();
  out_ << value;
  return *this;
}

Json &Json::Unsigned(uint64_t value)
{
  Separate();
  out_ << value;
  return *this;
}

Json &Json::Bool(bool value)
{
  Separate();
  out_ << (value ? "true" : "false");
  return *this;
}

Json &Json::Null()
{
  Separate();
  out_ << "null";
  return *this;
}

void Json::Finish()
{
  if (&out_ != held_)
    out_ << '\n';
}

void Json::Hold(std::ostream *out)
{
  held_ = out;
  open_ = false;
}

void Json::Close(std::ostream &out, const std::vector<std::string> &notices, const std::vector<std::string> &errors,
                 int status)
{
  bool members = open_;
  held_ = nullptr;
  open_ = false;
  Json j(out);
  if (members)
    j.first_.push_back(false);  // after the command's own members
  else
    j.BeginObject();
  for (auto [key, list] : {std::pair{"notices", &notices}, std::pair{"errors", &errors}}) {
    if (list->empty())
      continue;
    j.Key(key).BeginArray();
    for (const auto &text : *list)
      j.String(text);
    j.EndArray();
  }
  if (status != 0)
    j.Key("exit_status").Number(status);
  j.EndObject().Finish();
}

void PathFields(Json &j, std::string_view path)
{
  j.Key("path").String(path);
  std::string shown = Shown(path);
  if (shown != path)
    j.Key("path_escaped").String(shown);
}

}  // namespace vxdb
