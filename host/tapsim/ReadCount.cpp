#include "ReadCount.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include "Interpose.h"

namespace {

uintptr_t gLow, gHigh; // the image's mapped range
uint64_t gBytes;

struct Range {
  ElfW(Addr) base;
  uintptr_t low, high;
};

int FindRange(struct dl_phdr_info *info, size_t, void *data)
{
  Range *r = static_cast<Range *>(data);
  if (info->dlpi_addr != r->base)
    return 0;
  for (int i = 0; i < info->dlpi_phnum; i++) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD)
      continue;
    uintptr_t low = info->dlpi_addr + ph.p_vaddr, high = low + ph.p_memsz;
    if (!r->low || low < r->low)
      r->low = low;
    if (high > r->high)
      r->high = high;
  }
  return r->high != 0;
}

} // namespace

void ReadCountWatch(void *handle)
{
  struct link_map *map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
    return;
  Range r = {map->l_addr, 0, 0};
  dl_iterate_phdr(FindRange, &r);
  gLow = r.low;
  gHigh = r.high;
}

uint64_t ReadCountBytes() { return gBytes; }

bool InImage(const void *address) { return (uintptr_t)address >= gLow && (uintptr_t)address < gHigh; }

extern "C" ssize_t read(int fd, void *buffer, size_t size)
{
  // Straight to the C library's read: syscall() is tapsim's own too.
  static auto real = Real<ssize_t (*)(int, void *, size_t)>("read");
  ssize_t got = real(fd, buffer, size);
  uintptr_t from = (uintptr_t)__builtin_return_address(0);
  if (got > 0 && from >= gLow && from < gHigh)
    gBytes += (uint64_t)got;
  return got;
}
