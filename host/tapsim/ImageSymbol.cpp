#include "ImageSymbol.h"

#include <cstring>
#include <dlfcn.h>
#include <link.h>
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

} // namespace

void *FindImageObject(int fd, void *handle, const std::string &name)
{
  // Images are built for the simulator's own machine: the native ELF class.
  ElfW(Ehdr) eh;
  if (!ReadAt(fd, 0, &eh, sizeof eh) || memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_shentsize != sizeof(ElfW(Shdr)) || eh.e_shnum == 0)
    return nullptr;
  std::vector<ElfW(Shdr)> sections(eh.e_shnum);
  if (!ReadAt(fd, (off_t)eh.e_shoff, sections.data(), sections.size() * sizeof(ElfW(Shdr))))
    return nullptr;
  for (auto &sec : sections) {
    if (sec.sh_type != SHT_SYMTAB || sec.sh_link >= sections.size() || sec.sh_entsize != sizeof(ElfW(Sym)))
      continue;
    auto &strSec = sections[sec.sh_link];
    std::vector<char> strings(strSec.sh_size + 1, 0);
    std::vector<ElfW(Sym)> symbols(sec.sh_size / sizeof(ElfW(Sym)));
    if (!ReadAt(fd, (off_t)strSec.sh_offset, strings.data(), strSec.sh_size) ||
        !ReadAt(fd, (off_t)sec.sh_offset, symbols.data(), symbols.size() * sizeof(ElfW(Sym))))
      return nullptr;
    for (auto &sym : symbols) {
      if (ELF32_ST_TYPE(sym.st_info) != STT_OBJECT || sym.st_name >= strSec.sh_size || sym.st_shndx == SHN_UNDEF)
        continue;
      if (name != &strings[sym.st_name])
        continue;
      struct link_map *map = nullptr;
      if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return nullptr;
      return reinterpret_cast<void *>(map->l_addr + sym.st_value);
    }
  }
  return nullptr;
}
