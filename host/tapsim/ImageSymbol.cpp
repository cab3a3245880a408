#include "ImageSymbol.h"

#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <set>
#include <unistd.h>
#include <vector>

namespace {

bool ReadAt(int fd, off_t at, void *buf, size_t size)
{
  char *p = static_cast<char *>(buf);
  while (size > 0) {
    ssize_t n = pread(fd, p, size, at);
    if (n <= 0)
      return false;
    p += n;
    at += n;
    size -= (size_t)n;
  }
  return true;
}

// Everything the recorder's C library and libdl offer.
const char *const kRecorderLibc[] = {
#include "RecorderLibc.inc"
};

bool IsSanitizerName(const std::string &name)
{
#if defined(__SANITIZE_ADDRESS__)
  // A sanitized image calls into the sanitizer runtimes, which tapsim brings.
  for (const char *prefix : {"__asan_", "__ubsan_", "__sanitizer_", "__lsan_"})
    if (name.compare(0, strlen(prefix), prefix) == 0)
      return true;
#else
  (void)name;
#endif
  return false;
}

struct Symbol {
  std::string name;
  ElfW(Sym) sym;
};

// The named entries of the ELF file's symbol table of `type` (SHT_SYMTAB,
// SHT_DYNSYM; a file has at most one of each); false with a message when it
// has none or it cannot be read.  Images are built for the simulator's own
// machine: the native ELF class.
bool ReadSymbolTable(int fd, ElfW(Word) type, std::vector<Symbol> *out, std::string *err)
{
  std::string table = type == SHT_DYNSYM ? "dynamic symbol table" : "symbol table";
  ElfW(Ehdr) eh;
  if (!ReadAt(fd, 0, &eh, sizeof eh) || memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
    return *err = "not an ELF file", false;
  if (eh.e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      eh.e_shentsize != sizeof(ElfW(Shdr)) || eh.e_shnum == 0)
    return *err = "not an ELF file for this machine, or without section headers", false;
  std::vector<ElfW(Shdr)> sections(eh.e_shnum);
  if (!ReadAt(fd, (off_t)eh.e_shoff, sections.data(), sections.size() * sizeof(ElfW(Shdr))))
    return *err = "cannot read its section headers", false;
  out->clear();
  for (auto &sec : sections) {
    if (sec.sh_type != type)
      continue;
    if (sec.sh_link >= sections.size() || sec.sh_entsize != sizeof(ElfW(Sym)))
      return *err = "its " + table + " is malformed", false;
    auto &strSec = sections[sec.sh_link];
    std::vector<char> strings(strSec.sh_size + 1, 0);
    std::vector<ElfW(Sym)> symbols(sec.sh_size / sizeof(ElfW(Sym)));
    if (!ReadAt(fd, (off_t)strSec.sh_offset, strings.data(), strSec.sh_size) ||
        !ReadAt(fd, (off_t)sec.sh_offset, symbols.data(), symbols.size() * sizeof(ElfW(Sym))))
      return *err = "cannot read its " + table, false;
    for (auto &sym : symbols)
      if (sym.st_name != 0 && sym.st_name < strSec.sh_size)
        out->push_back({&strings[sym.st_name], sym});
    return true;
  }
  return *err = "it has no " + table, false;
}

} // namespace

bool ForeignImports(int imageFd, int runtimeFd, std::vector<std::string> *foreign, std::string *err)
{
  std::vector<Symbol> image, runtime;
  if (!ReadSymbolTable(runtimeFd, SHT_DYNSYM, &runtime, err)) {
    *err = "the host runtime: " + *err;
    return false;
  }
  if (!ReadSymbolTable(imageFd, SHT_DYNSYM, &image, err))
    return false;
  std::set<std::string> offered(std::begin(kRecorderLibc), std::end(kRecorderLibc));
  for (auto &s : runtime)
    if (s.sym.st_shndx != SHN_UNDEF)
      offered.insert(s.name);
  foreign->clear();
  for (auto &s : image)
    if (s.sym.st_shndx == SHN_UNDEF && ELF32_ST_BIND(s.sym.st_info) != STB_WEAK && !offered.count(s.name) &&
        !IsSanitizerName(s.name))
      foreign->push_back(s.name);
  return true;
}

void *FindImageObject(int fd, void *handle, const std::string &name)
{
  std::vector<Symbol> symbols;
  std::string err;
  if (!ReadSymbolTable(fd, SHT_SYMTAB, &symbols, &err))
    return nullptr;
  for (auto &s : symbols) {
    if (ELF32_ST_TYPE(s.sym.st_info) != STT_OBJECT || s.sym.st_shndx == SHN_UNDEF || s.name != name)
      continue;
    struct link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
      return nullptr;
    return reinterpret_cast<void *>(map->l_addr + s.sym.st_value);
  }
  return nullptr;
}
