#include "TextFuzz.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/RecorderNamespace.h"
#include "tests/support/TestSupport.h"

namespace {

const size_t kMaxInput = 4096;

void Check(bool ok, const char *what)
{
  if (!ok) {
    fprintf(stderr, "text operations: %s\n", what);
    abort();
  }
}

// A heap block of exactly n bytes, so that the sanitizer sees any overrun.
struct Block {
  explicit Block(size_t n) : p((char *)malloc(n ? n : 1)) { memset(p, 0x5A, n); }
  ~Block() { free(p); }
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;
  char *p;
};

// The block for n bytes and a terminator: exactly that, except that a text
// that begins 0x10 0x00 gets its third byte (a zero), which tells the
// three-byte selector from a text that ends at that zero.
size_t BlockFor(const char *bytes, size_t n)
{
  return n == 1 && bytes[0] == 0x10 ? 3 : n + 1;
}

// A text in a block of exactly the bytes it may be read up to.
struct Text : Block {
  explicit Text(const char *s) : Block(BlockFor(s, strlen(s)))
  {
    memset(p, 0, BlockFor(s, strlen(s)));
    memcpy(p, s, strlen(s));
  }
};

// The bytes of a text up to its terminator, a selector's zero included.
size_t TextBytes(const char *text)
{
  const char *rest = SkipCharTableBytes(text);
  return (size_t)(rest - text) + strlen(rest);
}

// The first place where the pattern occurs, ignoring the case of A to Z.
const char *Search(const char *text, const char *pattern)
{
  text = SkipCharTableBytes(text);
  pattern = SkipCharTableBytes(pattern);
  size_t n = strlen(pattern);
  if (n == 0)
    return nullptr;
  for (const char *p = text; *p; p++)
    if (strncasecmp(p, pattern, n) == 0)
      return p;
  return nullptr;
}

void Conversions(const char *text, size_t bytes)
{
  int single, utf8;
  GetStringEncoding(text, &single, &utf8);
  Check(strlenUC(text) <= (int)bytes, "more characters than bytes");

  // Three bytes per byte behind the selector and the terminator.
  // ISO 8859-1 for the round trip, and a table the input chooses (any
  // part, ISO/IEC 6937, or numbers that name none).
  dword chosen = bytes ? (byte)text[bytes - 1] % 20 : 0;
  for (dword table : {1u, chosen}) {
    Block utf(3 * bytes + 1);
    StrToUTF8(text, utf.p, table);
    size_t length = strlen(utf.p);
    Check(length <= 3 * bytes, "UTF-8 form longer than promised");

    Text converted(utf.p);
    Block iso(length + 1);
    StrToISO(converted.p, iso.p);
    Check(strlen(iso.p) <= length, "legacy form longer than the UTF-8 form");

    Text inPlace(utf.p);
    StrMkISO(inPlace.p);
    Check(strcmp(inPlace.p, iso.p) == 0, "in-place conversion differs from the copy");

    // A Latin-1 text without selector and without UTF-8 comes back unchanged.
    if (table == 1 && (byte)text[0] >= 0x20 && !utf8)
      Check(strcmp(iso.p, text) == 0, "Latin-1 text did not survive the round trip");
  }
  char *alloc = nullptr;
  StrToISOAlloc(text, &alloc);
  Check(alloc != nullptr, "no converted copy");
  TAP_MemFree(alloc);
}

void Folding(const char *text)
{
  size_t length = strlen(text);
  Text once(text);
  LowerCase(once.p);
  Check(strlen(once.p) == length, "case folding changed the length");
  Text twice(once.p);
  LowerCase(twice.p);
  Check(strcmp(once.p, twice.p) == 0, "case folding is not idempotent");
}

void Searching(const char *text, const char *pattern)
{
  const char *found = stricstr(text, pattern);
  Check(found == Search(text, pattern), "search finds another place than a plain scan");
}

} // namespace

int TextFuzzOne(const uint8_t *data, size_t size)
{
  static TempDir disk;
  static bool ready;
  static unsigned calls;
  if (!ready) {
    MakeRecorderDisk(disk.path(), nullptr);
    UseRecorderDisk(disk.path()); // where dropped characters are logged
    // A console that opens at the first try: probing twenty missing ones
    // for every logged character would be most of the work.
    static std::string console = disk / "console/";
    WriteFile(console + "0", "");
    PrintNetDevicePrefix = console.c_str();
    ready = true;
  }
  if (size > kMaxInput)
    return 0;
  if (++calls % 256 == 0)
    unlink((disk / "ProgramFiles/Settings/Kovlib.log").c_str());

  // The input, terminated, in a block of exactly the bytes it may be read
  // up to; the text ends at its first zero (or behind a three-byte
  // selector), and the conversions get room for that text only.
  size_t blockSize = BlockFor((const char *)data, size);
  Block text(blockSize);
  memset(text.p, 0, blockSize);
  memcpy(text.p, data, size);
  Conversions(text.p, TextBytes(text.p));
  Folding(text.p);

  // Pattern: what follows the first zero, or the input's second half.
  const char *zero = (const char *)memchr(text.p, 0, size + 1);
  const char *pattern = zero < text.p + size ? zero + 1 : text.p + size / 2;
  Text copy(pattern);
  Searching(text.p, copy.p);
  Searching(text.p, text.p);
  return 0;
}

#ifdef VX_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  return TextFuzzOne(data, size);
}
#endif
