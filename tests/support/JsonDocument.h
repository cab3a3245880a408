// Whether a text is exactly one JSON document (RFC 8259), as a script's
// json.load takes it: one value, then nothing but blanks.
#pragma once
#include <cctype>
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
  void Blanks()
  {
    while (at_ < t_.size() && (t_[at_] == ' ' || t_[at_] == '\t' || t_[at_] == '\n' || t_[at_] == '\r'))
      ++at_;
  }
  bool Take(char c) { return Blanks(), at_ < t_.size() && t_[at_] == c ? (++at_, true) : false; }
  bool Word(const char *w)
  {
    std::string s(w);
    return t_.compare(at_, s.size(), s) == 0 ? (at_ += s.size(), true) : false;
  }
  bool String()
  {
    if (!Take('"'))
      return false;
    while (at_ < t_.size() && t_[at_] != '"') {
      unsigned char c = static_cast<unsigned char>(t_[at_++]);
      if (c < 0x20)
        return false;
      if (c == '\\') {
        if (at_ >= t_.size() || std::string("\"\\/bfnrtu").find(t_[at_]) == std::string::npos)
          return false;
        if (t_[at_++] == 'u')
          for (int k = 0; k < 4; ++k)
            if (at_ >= t_.size() || !isxdigit(static_cast<unsigned char>(t_[at_++])))
              return false;
      }
    }
    return Take('"');
  }
  bool Number()
  {
    size_t start = at_;
    if (at_ < t_.size() && t_[at_] == '-')
      ++at_;
    while (at_ < t_.size() && (isdigit(static_cast<unsigned char>(t_[at_])) || std::string(".eE+-").find(t_[at_]) != std::string::npos))
      ++at_;
    return at_ > start && isdigit(static_cast<unsigned char>(t_[at_ - 1]));
  }
  bool Value(int depth)
  {
    Blanks();
    if (depth > 64 || at_ >= t_.size())
      return false;
    char c = t_[at_];
    if (c == '{' || c == '[') {
      ++at_;
      char end = c == '{' ? '}' : ']';
      if (Take(end))
        return true;
      do {
        if (c == '{' && !(String() && Take(':')))
          return false;
        if (!Value(depth + 1))
          return false;
      } while (Take(','));
      return Take(end);
    }
    if (c == '"')
      return String();
    return Word("true") || Word("false") || Word("null") || Number();
  }

  const std::string &t_;
  size_t at_ = 0;
};
