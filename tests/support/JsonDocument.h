// Whether a text is exactly one JSON document (RFC 8259), as a script's
// json.load takes it: one value, then nothing but blanks.
#pragma once
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

class JsonDocument {
public:
  // True when text is one document; otherwise why says where it stops.
  static bool Check(const std::string &text, std::string *why)
  {
    JsonDocument d(text);
    bool ok = d.Value(0) && (d.Blanks(), d.at_ == text.size());
    if (!ok)
      *why = "not one JSON document at byte " + std::to_string(d.at_) + ": " + text.substr(d.at_, 60);
    return ok;
  }

private:
  explicit JsonDocument(const std::string &t) : t_(t) {}
  const std::string &t_;
  size_t at_ = 0;

  bool More() const { return at_ < t_.size(); }
  void Blanks() { at_ = std::min(t_.size(), t_.find_first_not_of(" \t\r\n", at_)); }
  bool Take(char c) { return Blanks(), More() && t_[at_] == c ? (++at_, true) : false; }
  bool Word(const char *w) { return t_.compare(at_, strlen(w), w) == 0 ? (at_ += strlen(w), true) : false; }
  bool String()
  {
    if (!Take('"'))
      return false;
    while (More() && t_[at_] != '"') {
      unsigned char c = static_cast<unsigned char>(t_[at_++]);
      if (c < 0x20 || (c == '\\' && (!More() || !strchr("\"\\/bfnrtu", t_[at_]))))
        return false;
      if (c == '\\' && t_[at_++] == 'u')
        for (int k = 0; k < 4; ++k)
          if (!More() || !isxdigit(static_cast<unsigned char>(t_[at_++])))
            return false;
    }
    return Take('"');
  }
  bool Number()
  {
    size_t start = at_;
    while (More() && (isdigit(static_cast<unsigned char>(t_[at_])) || strchr(".eE+-", t_[at_])))
      ++at_;
    return at_ > start && isdigit(static_cast<unsigned char>(t_[at_ - 1]));
  }
  bool Value(int depth)
  {
    Blanks();
    if (depth > 64 || !More())
      return false;
    char open = t_[at_], close = open == '{' ? '}' : ']';
    if (open != '{' && open != '[')
      return open == '"' ? String() : Word("true") || Word("false") || Word("null") || Number();
    ++at_;
    if (Take(close))
      return true;
    do
      if ((open == '{' && !(String() && Take(':'))) || !Value(depth + 1))
        return false;
    while (Take(','));
    return Take(close);
  }
};
